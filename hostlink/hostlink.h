// The host link: the install directory, the start of the synthesizer host with
// the wait for its answer, and the commands sent to the host's window.
#pragma once

#include "kvplatform.h"

// The driver module's own handle, stored at process attach.
extern HMODULE ghModule;

// Fills szDir with the install directory from "KELVASON.INI" without trailing
// path separators (empty when the file has no value) and answers szDir.
char* getInstallDir(char* szDir, DWORD cbDir);
// This module's path for its host: a 32-bit module on 64-bit Windows names
// SysWOW64, not system32. Answers its length, or 0 when it does not fit.
DWORD getModulePathForHost(char* szPath, DWORD cchPath);

// Start the host copy for a channel whose block the open has just cleared, and
// wait until that host answers in the status word, its process ends or the
// time-out passes. 0 when the host this call started answered; -1 when no host
// could be started (the module's own path is unknown, or no host program ran),
// its process ended without an answer or the time ran out. A late host of an
// earlier open that answers instead is told to close, and the wait goes on.
// The MIDI launcher takes an acceptance by moving the status on to
// CHANNEL_OPEN in one interlocked step: an acceptance that a dismissed late
// host takes back before that step is not taken, and the wait goes on.
int startMidiHost(const char* szVerb, DWORD dwTimeoutMs);
int startWaveHost(DWORD dwTimeoutMs);

// How a host command travels to the host's window.
enum HostDelivery {
  HOST_SEND_OR_POST,  // 100 ms timed send; a post when it was not delivered
  HOST_SEND_TIMED,    // 100 ms timed send only
  HOST_SEND_BLOCKING  // plain send, waiting for the host without limit
};

// Sends host command wCode to the channel window hwndHost as message uHostMsg.
// TRUE when the host handled it within the timed send (always for the blocking
// send); a command that was only posted may reach the host later, or never.
BOOL sendHostCommand(DWORD hwndHost, DWORD uHostMsg, WPARAM wCode, LPARAM lParam, HostDelivery delivery);

// The host of a channel whose owner has gone is told to close (wCloseCmd, sent
// or posted). TRUE when it has left the channel: its window is gone, or the
// status reads CHANNEL_IDLE once the command was handled. A host that did not
// handle the timed send, on a busy machine, is watched a little while longer.
BOOL hostLeavesChannel(volatile DWORD* pdwStatus, DWORD hwndHost, DWORD uHostMsg, WPARAM wCloseCmd);

extern "C" DWORD WINAPI setgkMidiOutLong(DWORD dwOffset, DWORD dwValue);
extern "C" DWORD WINAPI setgkWaveOutLong(DWORD dwOffset, DWORD dwValue);
