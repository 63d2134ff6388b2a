// The driver's aliases among the registered multimedia drivers: the value of
// the Drivers32 key (midi, midi1 ..., wave, wave1 ...) under which this driver
// file is registered, and the file-name rule used to recognise it.
#pragma once

#include "kvplatform.h"

// The number of the first alias (in the registry's enumeration order) whose
// name is szPrefix (4 letters, any case) alone or followed by a decimal number
// and whose string data names this driver's file; 0 for the bare prefix. -1
// when there is none or the key cannot be read.
int findDriverSlot(LPCSTR szPrefix);

// findDriverSlot that also copies the alias's value name, exactly as it is
// stored, into szAlias (cchAlias characters, at least 32 for every name the
// lookup can answer). -1 also when the name does not fit.
int findDriverAlias(LPCSTR szPrefix, LPSTR szAlias, DWORD cchAlias);

// findDriverAlias that also tells, in *pfFailed, whether a -1 comes from a key
// that could not be read to its end rather than from finding none.
int lookupDriverAlias(LPCSTR szPrefix, LPSTR szAlias, DWORD cchAlias, BOOL* pfFailed);

// True when szPath's file name is this driver's file, "KVDRVR32.DLL", in any
// letter case.
bool namesDriverFile(LPCSTR szPath);

// The driver's MIDI alias number, for the program that installs the product.
extern "C" int WINAPI getKVMidiNumber(void);

// The driver's wave alias number.
int getKVWaveNumber(void);

// Where the file name in szPath begins: after the last ':', '\' or '/' that is
// not the second byte of a double-byte character of the machine's code page.
// Null for no text.
LPCSTR fileNameTail(LPCSTR szPath);
