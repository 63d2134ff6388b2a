// The registry: a tree of keys below the predefined roots, each key holding
// named values of raw bytes with a type. The store is shared by every process
// of the machine and survives crashes; every call is one atomic change.
#pragma once

#include "kv/kernel.h"
#include "kv/types.h"

extern "C" {

typedef DWORD REGSAM;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Predefined roots. Like the platform's, they are 32-bit values sign-extended
// to pointer width, never closed and always open with every access right.
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

// Access rights. The registry checks KEY_QUERY_VALUE for reading values and
// asking about a key, KEY_SET_VALUE for setting and deleting values,
// KEY_ENUMERATE_SUB_KEYS for listing subkeys and KEY_CREATE_SUB_KEY for
// creating a key below the handle's key.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_EXECUTE 0x00020019u
#define KEY_ALL_ACCESS 0x000F003Fu

// Value types. Data is stored exactly as given: a string written without its
// terminator is read back without it.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// RegCreateKeyExA options (only non-volatile keys are kept) and dispositions.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Error codes only the registry answers.
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BADKEY 1010L
#define ERROR_REGISTRY_IO_FAILED 1016L

// Key paths are relative to the given key, components separated by '\'; a path
// starting with '\' is refused with ERROR_BAD_PATHNAME. Key names are at most
// 255 bytes. Names of keys and values compare without regard to ASCII case
// (the second bytes of double-byte characters of the machine's code page
// excepted) and keep the spelling they were created with. A null or empty
// value name names the key's default value.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
// A key that still has subkeys is refused with ERROR_ACCESS_DENIED. Handles
// still open on a deleted key answer ERROR_KEY_DELETED from then on.
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

// A buffer that is too small gives ERROR_MORE_DATA with the needed size in
// *lpcbData and leaves the buffer alone; no buffer gives the size only.
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData);
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Enumeration by index: values in the order they were first created, subkeys
// in the order of their names without regard to case; ERROR_NO_MORE_ITEMS past
// the last. A name capacity counts the terminator. When the name or the data
// does not fit, the answer is ERROR_MORE_DATA, the type and the needed data
// size are reported and neither buffer nor the name capacity is changed.
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Lengths of names are in characters without the terminator. Keys carry no
// security descriptor here: its size is answered as 0.
LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime);

}  // extern "C"
