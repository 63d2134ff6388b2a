// What a client plays through the devices, checked against the host's records;
// the device tests and the installation test both play it.
#pragma once

#include "support.h"

namespace kvwine {

// A phrase of short messages with running status and a system-exclusive buffer
// longer than the ring, through the multimedia layer; the host's record holds
// them complete and in order.
void playMidiPhrase();
// 600 ms of signal through wodMessage, paused and restarted, then a muted
// buffer; the host's record holds the signal sample for sample. The instance
// window must exist.
void streamSignal(Driver& drv);

}  // namespace kvwine
