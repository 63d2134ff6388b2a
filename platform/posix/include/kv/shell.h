// The shell's known folders: where a user's own files live on the machine.
// Shared code includes <shlobj.h>, as on the system, which brings this.
#pragma once

#include "kv/types.h"

extern "C" {

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define FAILED(hr) ((HRESULT)(hr) < 0)

// The user's roaming application data (%APPDATA%): C:\Users\NAME\AppData\Roaming,
// NAME being the account the process runs as. Like every user profile's, the
// folder is there when asked for: the call makes it.
#define CSIDL_APPDATA 0x001a
// Makes the folder when it is missing.
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

// Fills `pszPath` (MAX_PATH bytes) with the folder CSIDL names: S_OK, or
// E_INVALIDARG for a folder the machine does not keep, E_FAIL when the folder
// cannot be made.
HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);

}  // extern "C"
