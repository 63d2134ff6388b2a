// The MIDI output device: modMessage and the producer side of the shared MIDI
// byte ring.
//
// Lock order: csMidi is taken before either wave lock and is never held while
// the system-wide gate, the owner mutex, the host, the ring or a client
// callback is used, with one exception: at process detach the wave device is
// shut down inside csMidi, so its close command to the host and its last
// WOM_DONE and WOM_CLOSE callbacks come while csMidi is held (a callback that
// calls back into the MIDI device re-enters it on the same thread).
#pragma once

#include "kvplatform.h"

// Copies cbData bytes into the ring under the writer lock. MMSYSERR_NOERROR,
// MMSYSERR_ERROR (channel not open) or MIDIERR_NOTREADY (gave up).
DWORD midiWriteBytes(const BYTE* pbData, DWORD cbData);
// Writes one packed short message, with running status supplied when it has
// no status byte. Dropped messages answer MMSYSERR_NOERROR.
DWORD midiSendShort(DWORD dwMessage);
// Ends every note on all 16 channels with its release, the pedals' notes
// too, through the ring as short messages are written, then forgets running
// status. Answers as midiWriteBytes.
DWORD midiWriteNotesOff(void);

void midiDeviceInit(HMODULE hModule);
// Runs inner (the wave device's shutdown) while csMidi is held, then closes the
// MIDI channel if this process had it open.
void midiDeviceShutdown(void (*inner)(void));
// Closes this process's channel: tells the host (leaving the status idle when
// the command was not delivered) and frees the gate, whatever the status says.
// A channel another open has taken over since is left alone. Always
// MMSYSERR_NOERROR.
DWORD midiCloseChannel(void);
DWORD modGetDevCaps(BYTE* pbCaps, DWORD cbCaps);

extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2);
