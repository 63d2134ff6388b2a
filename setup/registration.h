// The setup program's verbs that change or check the driver's registration:
// /INSTALL, /REMOVE, /REPAIR and /CHECK, each for the module beside the
// program and, on 64-bit Windows, the other bitness's by its own setup
// program, or for one module named on the command line.
#pragma once

#include <string>
#include <vector>

// Whether `arg` is one of the verbs below.
bool isRegistrationVerb(const char* arg);

// Runs `args`: VERB [MODULE] [/USER SID] [/REPORT FILE]. /USER names the
// account whose own settings the run changes (an elevated run is told its
// invoker); /REPORT sends everything the run says to FILE, appended.
int runRegistrationVerb(const std::vector<std::string>& args);
