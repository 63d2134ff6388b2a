// The machine has no dialogs: the setup program prints the configuration.
#include "setup/settingswindow.h"

int runSettingsWindow(const char*) { return -1; }
