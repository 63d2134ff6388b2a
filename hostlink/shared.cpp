// The shared sections themselves and the exported names of the channel blocks.
#include "hostlink/protocol.h"
#include "hostlink/shared.h"

KV_SHARED_BSS SharedBS kvSharedBS = {};

KV_SHARED_DATA SharedDA kvSharedDA = {{
    -1,
    "KVTSK" KV_PROGRAM_DIGITS ".EXE",
    "KVMIDI" KV_PROGRAM_DIGITS ".EXE",
    "KVWAVE" KV_PROGRAM_DIGITS ".EXE",
    KV_MIDI_OWNER_MUTEX_NAME,
    -1,
}};

KV_EXPORT_DATA_AT(gkMidiOut, kvSharedBS, 0, 4140);
KV_EXPORT_DATA_AT(gkWaveOut, kvSharedBS, 0x1030, 65584);
