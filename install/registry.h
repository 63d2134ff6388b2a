// Registry value operations for installation and removal. Each opens the key
// it needs, does one thing, closes the key again and answers 0 (done) or -1
// (not done); none keeps state between calls or tells why it failed.
#pragma once

#include "kvplatform.h"

// Reads a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value into szDest (cbDest
// bytes), terminated at its last stored byte. Anything else (missing key or
// value, a value too large for the buffer, empty data, another type) gives
// szDefault, cut to fit, and -1. szDest always holds a terminated string
// afterwards, provided cbDest is at least 1.
int regReadString(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPCSTR szDefault, LPSTR szDest, DWORD cbDest);

// Reads a REG_DWORD value of exactly 4 bytes into *pdwResult; anything else
// stores dwDefault there and answers -1.
int regReadDword(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, DWORD dwDefault, LPDWORD pdwResult);

// With a value name and data: creates the key path as needed and sets the value.
// With a value name and no data: deletes the value.
// Without a value name, with REG_SZ data "Force": deletes the key and its whole
// subtree. Without a value name otherwise: deletes the key if it holds no
// subkeys and no values. The key deletions refuse an empty path, which would
// name the root itself.
int regWriteValue(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, const BYTE* pbData, DWORD cbData, DWORD dwType);

// regWriteValue with szText as REG_SZ, terminator included (no data without text).
int regWriteString(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPCSTR szText);

// regWriteValue with dwValue as REG_DWORD.
int regWriteDword(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, DWORD dwValue);

// 0 when the key exists, 1 when it does not, -1 when the registry cannot tell.
int regKeyExists(HKEY hRoot, LPCSTR szSubKey);

// The type and size of a value: 0 when it exists, 1 when it or its key does
// not, -1 when the registry cannot tell.
int regValueInfo(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPDWORD pdwType, LPDWORD pcbData);

// Creates the key path as needed; 0 when the key exists afterwards.
int regCreateKey(HKEY hRoot, LPCSTR szSubKey);

// Copies szSource with its terminator when it is shorter than cbCount bytes,
// otherwise exactly cbCount bytes and no terminator. Answers szDest.
LPSTR copyBounded(LPSTR szDest, LPCSTR szSource, DWORD cbCount);

// 0 when both roots the installation changes answer an inquiry; -1 when the
// registry cannot be read at all (its store is damaged), and nothing should
// be installed or removed.
int regRootsReadable(void);
