#include "host/claim.h"

#include "host/hold.h"
#include "hostlink/shared.h"

namespace {
// How long a refusal (or other answer) this host did not store is watched
// before the host gives up: a late host takes its stray answer back at once.
const DWORD kStrayAnswerWaitMs = 1000;
}  // namespace

BOOL claimChannel(const ChannelClaim& ch, DWORD hwndSelf) {
  hostHoldPoint("KVHOST.claim");
  // An acceptance in a channel that names no host is a late host's, stored
  // after the open cleared the block: it is left there for the host that is
  // named next, which serves as it would after its own.
  DWORD dwStatus = *ch.pdwStatus;
  if (dwStatus != CHANNEL_IDLE && dwStatus != CHANNEL_ACCEPTED) return FALSE;
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
  // A refusal (or any other answer) stored over its cleared status is taken
  // back, or it would answer for the host that open started. An acceptance is
  // left: the host named in the channel serves under it as under its own.
  // Taken back, it could be that host's own, stored after a clear that came
  // after this host's store: the two cannot be told apart.
  if (*ch.phwndHost != hwndSelf) {
    if (lBefore == (LONG)CHANNEL_IDLE && dwAnswer != CHANNEL_ACCEPTED)
      InterlockedCompareExchange(plStatus, (LONG)CHANNEL_IDLE, (LONG)dwAnswer);
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
    // A late host's acceptance, stored before this host's, serves this host
    // as its own (no host takes an acceptance back), and so does an open
    // that took it.
    if (dwStatus == CHANNEL_ACCEPTED || dwStatus == CHANNEL_OPEN) return TRUE;
    // A late host's refusal is taken back by that host at once: then this
    // host answers anew.
    if (GetTickCount() - dwStart >= kStrayAnswerWaitMs) return FALSE;
    if (dwStatus != CHANNEL_IDLE) Sleep(1);
  }
}
