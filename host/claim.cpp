#include "host/claim.h"

#include "host/hold.h"
#include "hostlink/shared.h"

namespace {
// How long an acceptance this host did not store is watched before the host
// gives up: a late host takes its stray acceptance back at once, and an open
// that is waiting takes it for this host's within a millisecond or two.
const DWORD kStrayAnswerWaitMs = 1000;
}  // namespace

BOOL claimChannel(const ChannelClaim& ch, DWORD hwndSelf) {
  hostHoldPoint("KVHOST.claim");
  if (*ch.pdwStatus != CHANNEL_IDLE) return FALSE;
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(ch.phwndHost), (LONG)hwndSelf, 0) == 0;
}

BOOL answerChannel(const ChannelClaim& ch, DWORD hwndSelf, DWORD dwAnswer) {
  volatile LONG* plStatus = reinterpret_cast<volatile LONG*>(ch.pdwStatus);
  hostHoldPoint("KVHOST.answer");
  if (*ch.phwndHost != hwndSelf) return FALSE;
  hostHoldPoint("KVHOST.store");
  LONG lBefore = InterlockedCompareExchange(plStatus, (LONG)dwAnswer, (LONG)CHANNEL_IDLE);
  hostHoldPoint("KVHOST.stored");
  // An open that cleared the block after the claim named no host, or another.
  // An answer stored over its cleared status is taken back, or the host that
  // open started would never find the channel idle to claim.
  if (*ch.phwndHost != hwndSelf) {
    if (lBefore == (LONG)CHANNEL_IDLE) InterlockedCompareExchange(plStatus, (LONG)CHANNEL_IDLE, (LONG)dwAnswer);
    return FALSE;
  }
  return lBefore == (LONG)CHANNEL_IDLE;
}

BOOL acceptChannel(const ChannelClaim& ch, DWORD hwndSelf) {
  DWORD dwStart = GetTickCount();
  for (;;) {
    if (answerChannel(ch, hwndSelf, CHANNEL_ACCEPTED)) return TRUE;
    if (*ch.phwndHost != hwndSelf) return FALSE;
    DWORD dwStatus = *ch.pdwStatus;
    // The open took a stray acceptance of a late host for this host's: the
    // session is this host's.
    if (dwStatus == CHANNEL_OPEN) return TRUE;
    // An acceptance this host did not store is a late host's, which it takes
    // back (the open then waits for this host's own) unless the open takes it
    // first. Counted as this host's, it could be taken back under a session.
    if (dwStatus != CHANNEL_ACCEPTED || GetTickCount() - dwStart >= kStrayAnswerWaitMs) return FALSE;
    Sleep(1);
  }
}
