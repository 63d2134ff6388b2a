// Ending the product's instance window for the removal, which deletes its
// program's file next: on Windows a running program's file cannot be deleted.
#pragma once

#include "kvplatform.h"

// Asks the window to close and waits, at most `timeoutMs`, until its program
// has ended; true when it has.
bool closeAndAwait(HWND window, DWORD timeoutMs);
