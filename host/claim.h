// How a host takes its place in a channel block (MIDI or wave). The open clears
// the block, hwndHost included, before it starts its host: the first host to
// name itself in a cleared, idle channel serves that open. A late host of an
// earlier open finds the channel named for another host and leaves it alone.
// The handshake's states and who writes each word in each are tabled in
// hostlink/launch.cpp.
#pragma once

#include "kvplatform.h"

// The two words of a channel block that the claim and the answer change.
struct ChannelClaim {
  volatile DWORD* pdwStatus;
  volatile DWORD* phwndHost;
};

// Names hwndSelf in a channel that names no host and is idle (or holds a late
// host's stray acceptance); TRUE when it did.
BOOL claimChannel(const ChannelClaim& ch, DWORD hwndSelf);
// Stores CHANNEL_ACCEPTED over CHANNEL_IDLE. TRUE when the channel is this
// host's to serve: it still names hwndSelf and holds an acceptance (this
// host's, or a late host's stray one, which no host takes back) or is open.
// A stray refusal is waited out until its host has taken it back.
BOOL acceptChannel(const ChannelClaim& ch, DWORD hwndSelf);
// Stores another answer (a refusal, or any other value) over CHANNEL_IDLE, only
// while the channel names hwndSelf.
BOOL answerChannel(const ChannelClaim& ch, DWORD hwndSelf, DWORD dwAnswer);
