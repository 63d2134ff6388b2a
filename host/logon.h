// The instance window's look at the driver's registration as a user logs on.
// Windows' MIDI repair deletes the driver's midiN value, and updates have
// dropped its Drivers32 entries: programs then no longer find the device. The
// setup program beside this one tells whether that happened (KVSETUP.EXE
// /CHECK); if it did, the user is offered the repair (KVSETUP.EXE /REPAIR)
// once, not at every logon: a note in the user's own product key says it was
// offered, until the registration is whole again or the product is removed.
#pragma once

// Starts the look on a thread of its own, so that the instance window keeps
// answering its messages while the question waits for the user.
void startLogonCheck();
