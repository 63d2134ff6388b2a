#include "host/claim.h"

#include "host/hold.h"
#include "hostlink/shared.h"

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
  if (!answerChannel(ch, hwndSelf, CHANNEL_ACCEPTED) && *ch.phwndHost != hwndSelf) return FALSE;
  DWORD dwStatus = *ch.pdwStatus;
  return dwStatus == CHANNEL_ACCEPTED || dwStatus == CHANNEL_OPEN;
}
