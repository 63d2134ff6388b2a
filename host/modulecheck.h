// Whether this host can serve a module: a host loads the module it serves, so
// only a module of its own bitness. Under WOW64 a 32-bit host handed the
// 64-bit module's path would load the 32-bit module in its place and serve
// that module's channel, while the 64-bit client waits in vain.
#pragma once

// The bitness of the program code in the module file at `path` (32 or 64), read
// from its file header with the file system's redirection off; 0 when the file
// cannot be read or its header is of no kind known here (its load decides).
int moduleFileBits(const char* path);

// This host's own bitness.
inline int hostBits() { return (int)sizeof(void*) * 8; }
