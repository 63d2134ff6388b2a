// Installation and removal on the machine: the module staged in the system
// directory, its aliases among the registered multimedia drivers, the MIDI
// mapper settings, and the host copies in the install directory.
//
// Every path and key name is checked against its buffer before anything is
// written: a directory too long for the fixed buffers makes the call answer -1
// with the machine untouched.
#include "install/install.h"

#include <string.h>

#include "hostlink/protocol.h"
#include "hostlink/hostlink.h"
#include "hostlink/shared.h"
#include "install/registry.h"
#include "install/slots.h"
#include "midiout/midiout.h"

namespace {

const char szForce[] = "Force";

const DWORD cbPath = 260;
const DWORD cbText = 520;
// Formatted alias names ("midi9") are short; names the lookup finds are
// copied exactly as they are stored, up to its 31 characters.
const DWORD cchAlias = 32;
// The system directory leaves room for "\KVDRVR32.DLL" in a path buffer.
const DWORD cchTargetDir = 247;
const int nAliasNames = 10;
const int nDeviceEntries = 32;
const UINT nTempNames = 256;
const int cchTempStem = 8;
const DWORD MOVE_REPLACE_AT_START = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

const KvMapperValue* const aMapperValues = KV_MIDIMAP_VALUES;
const int nMapperValues = (int)(sizeof KV_MIDIMAP_VALUES / sizeof KV_MIDIMAP_VALUES[0]);

static_assert(sizeof(MIDIOUTCAPSW) == 84, "MIDI capability record");

// The host programs in the install directory. Without an install directory
// there is nothing to copy or delete: its paths would name the drive's root.
struct HostPaths {
  BOOL fDirectory;
  CHAR szBase[cbPath];
  CHAR szMidiCopy[cbPath];
  CHAR szWaveCopy[cbPath];
};

// "%s\%s" into szDest, or -1 when it does not fit cbDest bytes.
int joinPath(LPSTR szDest, DWORD cbDest, LPCSTR szDir, LPCSTR szName) {
  if ((DWORD)lstrlenA(szDir) + 1 + (DWORD)lstrlenA(szName) + 1 > cbDest) return -1;
  wsprintfA(szDest, "%s\\%s", szDir, szName);
  return 0;
}

int hostPaths(HostPaths* pPaths) {
  CHAR szDir[cbText];
  getInstallDir(szDir, cbText);
  pPaths->fDirectory = szDir[0] != '\0';
  if (!pPaths->fDirectory) return 0;
  const SharedNames& names = kvSharedDA.names;
  if (joinPath(pPaths->szBase, cbPath, szDir, names.szHostExe) != 0 ||
      joinPath(pPaths->szMidiCopy, cbPath, szDir, names.szMidiHostExe) != 0 ||
      joinPath(pPaths->szWaveCopy, cbPath, szDir, names.szWaveHostExe) != 0)
    return -1;
  return 0;
}

// The system directory of this module's bitness, named as the system start
// sees it. A 32-bit module on 64-bit Windows names SysWOW64 itself: its
// process sees SysWOW64 as system32, but the file operations recorded for the
// next system start are carried out without that redirection.
UINT moduleSystemDir(LPSTR szDir, UINT cchDir) {
  BOOL fWow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &fWow64) && fWow64) return GetSystemWow64DirectoryA(szDir, cchDir);
  return GetSystemDirectoryA(szDir, cchDir);
}

// The system directory and "\KVDRVR32.DLL" after it.
int targetPath(LPSTR szTarget) {
  CHAR szSystemDir[cchTargetDir];
  UINT cch = moduleSystemDir(szSystemDir, cchTargetDir);
  if (cch == 0 || cch >= cchTargetDir) return -1;
  return joinPath(szTarget, cbPath, szSystemDir, KV_DRIVER_FILE);
}

void clearDeviceEntries(void) {
  CHAR szKey[cbText];
  for (int n = 0; n < nDeviceEntries; ++n) {
    wsprintfA(szKey, "%s\\%s<%04u>", KV_MEDIA_RESOURCES_KEY, KV_DRIVER_FILE, (UINT)n);
    regWriteString(HKEY_LOCAL_MACHINE, szKey, NULL, szForce);
  }
}

// Each deleted only when it holds nothing any more.
void deleteEmptyProductKeys(void) {
  regWriteString(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, NULL, NULL);
  regWriteString(HKEY_CURRENT_USER, KV_PRODUCT_KEY, NULL, NULL);
  regWriteString(HKEY_CURRENT_USER, KV_MAKER_KEY, NULL, NULL);
}

// A read that answers "not read" is told apart from a registry that failed,
// so that a failing read never makes a value count as absent: 0 read; 1 there
// is no such value (none, another type, empty, too long for the buffer);
// -1 the registry failed.
int readString(HKEY hRoot, LPCSTR szSubKey, LPCSTR szName, LPSTR szText) {
  if (regReadString(hRoot, szSubKey, szName, "", szText, cbText) == 0) return 0;
  DWORD dwType = REG_NONE, cbData = 0;
  int nInfo = regValueInfo(hRoot, szSubKey, szName, &dwType, &cbData);
  if (nInfo != 0) return nInfo;
  BOOL fString = dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
  return fString && cbData > 0 && cbData <= cbText ? -1 : 1;
}

int readDword(HKEY hRoot, LPCSTR szSubKey, LPCSTR szName, LPDWORD pdwValue) {
  if (regReadDword(hRoot, szSubKey, szName, 0, pdwValue) == 0) return 0;
  DWORD dwType = REG_NONE, cbData = 0;
  int nInfo = regValueInfo(hRoot, szSubKey, szName, &dwType, &cbData);
  if (nInfo != 0) return nInfo;
  return dwType == REG_DWORD && cbData == sizeof(DWORD) ? -1 : 1;
}

// Reads mapper value i into szText or *pdwValue, as readString.
int readMapperValue(int i, LPCSTR szSubKey, LPSTR szText, LPDWORD pdwValue) {
  if (aMapperValues[i].fString) return readString(HKEY_CURRENT_USER, szSubKey, aMapperValues[i].szName, szText);
  return readDword(HKEY_CURRENT_USER, szSubKey, aMapperValues[i].szName, pdwValue);
}

int writeMapperValue(int i, LPCSTR szSubKey, LPCSTR szText, DWORD dwValue) {
  if (aMapperValues[i].fString) return regWriteString(HKEY_CURRENT_USER, szSubKey, aMapperValues[i].szName, szText);
  return regWriteDword(HKEY_CURRENT_USER, szSubKey, aMapperValues[i].szName, dwValue);
}

// Deletes mapper value i; 0 also when it did not exist.
int deleteMapperValue(int i, LPCSTR szSubKey) {
  LPCSTR szName = aMapperValues[i].szName;
  if (regWriteString(HKEY_CURRENT_USER, szSubKey, szName, NULL) == 0) return 0;
  DWORD dwType, cbData;
  return regValueInfo(HKEY_CURRENT_USER, szSubKey, szName, &dwType, &cbData) == 1 ? 0 : -1;
}

// ---- removal --------------------------------------------------------------------

// Gives the user's settings back from the saved set. Every saved value is
// written back before the saved set goes, so that a removal stopped by a
// failing write can run again with the whole set. Without a saved set (no
// installation reached its saving step) the mapper stays as it is.
int restoreMapper(void) {
  int nSaved = regKeyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY);
  if (nSaved < 0) return -1;
  if (nSaved > 0) return 0;
  CHAR szText[cbText];
  for (int i = 0; i < nMapperValues; ++i) {
    DWORD dwValue = 0;
    int nRead = readMapperValue(i, KV_MIDIMAP_SAVE_KEY, szText, &dwValue);
    if (nRead < 0) return -1;
    // A value the set does not hold did not exist before the installation.
    int nDone =
        nRead == 0 ? writeMapperValue(i, KV_MIDIMAP_KEY, szText, dwValue) : deleteMapperValue(i, KV_MIDIMAP_KEY);
    if (nDone != 0) return -1;
  }
  // The set goes whole, in one deletion: a set left partly or wholly empty
  // would make the next removal take values the user had for ones that did
  // not exist, and delete them. When it stays, the removal can run again.
  return RegDeleteKeyA(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY) == ERROR_SUCCESS ? 0 : -1;
}

// Deletes every alias of this driver under szPrefix ("MIDI" or "WAVE"), each
// under the exact name the lookup found, so that an alias such as midi0 never
// takes another driver's midi with it. Answers the number deleted, or -1 when
// a deletion failed. The MIDI aliases take their Userinstallable.drivers entry
// (when it names this driver) and their related.desc entry with them.
int removeAliases(LPCSTR szPrefix, BOOL fWithEntries) {
  int nRemoved = 0;
  for (int i = 0; i < nAliasNames; ++i) {
    CHAR szAlias[cchAlias];
    BOOL fFailed = FALSE;
    if (lookupDriverAlias(szPrefix, szAlias, cchAlias, &fFailed) < 0) {
      // A key that could not be read is no proof that no alias is left.
      if (fFailed) return -1;
      break;
    }
    if (regWriteString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, szAlias, NULL) != 0) return -1;
    ++nRemoved;
    if (!fWithEntries) continue;
    CHAR szText[cbText];
    if (regReadString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, szAlias, "", szText, cbText) == 0 &&
        namesDriverFile(szText))
      regWriteString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, szAlias, NULL);
    regWriteString(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, szAlias, NULL);
  }
  return nRemoved;
}

// ---- installation ----------------------------------------------------------------

// The first of prefix, prefix1 ... prefix9 that is free: no string value that
// fits the buffer, an empty one, or one that already names this driver. A
// registry that cannot be read frees no name.
int findFreeAlias(LPCSTR szPrefix, LPSTR szAlias) {
  CHAR szText[cbText];
  for (int i = 0; i < nAliasNames; ++i) {
    if (i == 0)
      lstrcpyA(szAlias, szPrefix);
    else
      wsprintfA(szAlias, "%s%u", szPrefix, (UINT)i);
    int nRead = readString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, szAlias, szText);
    if (nRead < 0) return -1;
    if (nRead > 0 || szText[0] == '\0' || namesDriverFile(szText)) return 0;
  }
  return -1;
}

// Creates the first free temporary name KVDRVR32.000 ... .255 in the system
// directory; the name goes to szTemp.
int createTempFile(LPSTR szTemp, LPCSTR szSystemDir, LPCSTR szOwnFile) {
  for (UINT i = 0; i < nTempNames; ++i) {
    wsprintfA(szTemp, "%s\\%.8s.%03u", szSystemDir, szOwnFile, i);
    HANDLE hFile = CreateFileA(szTemp, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile != INVALID_HANDLE_VALUE) {
      CloseHandle(hFile);
      return 0;
    }
  }
  return -1;
}

// A failing installation takes its temporary copy away again, so that
// repeated failures do not use up the temporary names.
int failWithTemp(LPCSTR szTemp) {
  DeleteFileA(szTemp);
  return -1;
}

// Saves the user's mapper settings into MIDIMapSave, which exists afterwards
// even when the mapper held none of them, so that removal can tell a saved set
// from none. A failing save leaves no partial set behind and answers -1. A set
// saved already is kept: the module of the other bitness, which shares the
// user's settings, saved it and pointed the mapper here.
int saveMapper(void) {
  int nSaved = regKeyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY);
  if (nSaved <= 0) return nSaved;
  if (regCreateKey(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY) != 0) return -1;
  CHAR szText[cbText];
  for (int i = 0; i < nMapperValues; ++i) {
    DWORD dwValue = 0;
    int nRead = readMapperValue(i, KV_MIDIMAP_KEY, szText, &dwValue);
    int nDone = nRead < 0    ? -1
                : nRead == 0 ? writeMapperValue(i, KV_MIDIMAP_SAVE_KEY, szText, dwValue)
                             : deleteMapperValue(i, KV_MIDIMAP_SAVE_KEY);
    if (nDone != 0) {
      regWriteString(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, NULL, szForce);
      deleteEmptyProductKeys();
      return -1;
    }
  }
  return 0;
}

void pointMapperHere(void) {
  CHAR szText[cbText];
  wsprintfA(szText, "%s<0000>", KV_DRIVER_FILE);
  regWriteString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "CurrentInstrument", szText);
  regWriteDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "UseScheme", 0);
  regWriteDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "AutoScheme", 0);
  regWriteString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "DeviceInterface", "");
  regWriteDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "RelativeIndex", 0);
  regWriteDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "SetupPreferredAudioDevicesCount", 0);
  MIDIOUTCAPSW caps;
  memset(&caps, 0, sizeof caps);
  modGetDevCaps(reinterpret_cast<BYTE*>(&caps), sizeof caps);
  caps.szPname[MAXPNAMELEN - 1] = 0;
  if (WideCharToMultiByte(CP_ACP, 0, caps.szPname, lstrlenW(caps.szPname) + 1, szText, (int)cbText, NULL, NULL) == 0)
    szText[0] = '\0';
  regWriteString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "szPname", szText);
}

}  // namespace

// Neither export changes anything on a registry it cannot read: not even the
// host copies and the module's copy, which go with a registration.
extern "C" int WINAPI kvRemoveDriverNT(void) {
  if (regRootsReadable() != 0) return -1;
  HostPaths paths;
  CHAR szTarget[cbPath];
  if (hostPaths(&paths) != 0 || targetPath(szTarget) != 0) return -1;

  if (paths.fDirectory) {
    DeleteFileA(paths.szMidiCopy);
    DeleteFileA(paths.szWaveCopy);
  }
  if (restoreMapper() != 0) return -1;
  deleteEmptyProductKeys();

  if (removeAliases("MIDI", TRUE) <= 0) return -1;
  regWriteString(HKEY_LOCAL_MACHINE, KV_DRIVERS_DESC_KEY, KV_DRIVER_FILE, NULL);
  clearDeviceEntries();
  if (removeAliases("WAVE", FALSE) < 0) return -1;

  MoveFileExA(szTarget, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 0;
}

extern "C" int WINAPI kvInstallDriverNT(void) {
  if (regRootsReadable() != 0) return -1;
  CHAR szOwn[cbPath];
  DWORD cchOwn = GetModuleFileNameA(ghModule, szOwn, cbPath);
  if (cchOwn == 0 || cchOwn >= cbPath) return -1;
  LPCSTR szOwnFile = fileNameTail(szOwn);
  int cchStem = lstrlenA(szOwnFile) < cchTempStem ? lstrlenA(szOwnFile) : cchTempStem;
  CHAR szSystemDir[cbPath];
  UINT cchSystemDir = moduleSystemDir(szSystemDir, cbPath);
  // The temporary name: the directory, "\", the stem, "." and three digits.
  if (cchSystemDir == 0 || cchSystemDir + 1 + (UINT)cchStem + 4 >= cbPath) return -1;
  CHAR szTarget[cbPath];
  HostPaths paths;
  if (targetPath(szTarget) != 0 || hostPaths(&paths) != 0) return -1;

  if (getKVMidiNumber() >= 0 || getKVWaveNumber() >= 0) kvRemoveDriverNT();

  CHAR szTemp[cbPath];
  if (createTempFile(szTemp, szSystemDir, szOwnFile) != 0) return -1;
  if (!CopyFileA(szOwn, szTemp, FALSE)) return failWithTemp(szTemp);

  CHAR szMidiAlias[cchAlias];
  if (findFreeAlias("midi", szMidiAlias) != 0) return failWithTemp(szTemp);
  if (regWriteString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, szMidiAlias, KV_DRIVER_FILE) != 0)
    return failWithTemp(szTemp);
  regWriteString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, szMidiAlias, KV_DRIVER_FILE);
  regWriteString(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, szMidiAlias, "");
  regWriteString(HKEY_LOCAL_MACHINE, KV_DRIVERS_DESC_KEY, KV_DRIVER_FILE, KV_DRIVER_DESCRIPTION);
  clearDeviceEntries();

  CHAR szWaveAlias[cchAlias];
  if (findFreeAlias("wave", szWaveAlias) != 0) return failWithTemp(szTemp);
  if (regWriteString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, szWaveAlias, KV_DRIVER_FILE) != 0)
    return failWithTemp(szTemp);

  if (!MoveFileExA(szTemp, szTarget, MOVE_REPLACE_AT_START)) return failWithTemp(szTemp);

  // From here the temporary copy is promised to the next system start.
  if (saveMapper() != 0) return -1;
  pointMapperHere();

  if (paths.fDirectory) {
    CopyFileA(paths.szBase, paths.szMidiCopy, FALSE);
    CopyFileA(paths.szBase, paths.szWaveCopy, FALSE);
  }
  return 0;
}
