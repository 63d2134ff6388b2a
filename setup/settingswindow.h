// The settings window: the bank, the volume, the polyphony, the output
// latency, reverb and chorus, and the output device, kept in the user's own
// KVHOST.INI; the state of each bitness's registration and synthesizer; a test
// phrase through the installed MIDI device, and the repair of a registration
// that Windows removed. The driver's configuration command and the Start menu
// open it.
#pragma once

// Shows the window until it is closed; `owner` is the number of the window
// that asked (the configuration command's), or null. Answers the program's
// exit code, or -1 where the system has no windows: then the configuration is
// printed instead.
int runSettingsWindow(const char* owner);
