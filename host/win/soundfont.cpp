// SoundFont files on Windows. FluidSynth opens a file by a UTF-8 name, and
// KVHOST.INI holds the path in the ANSI code page: a name with letters beyond
// ASCII is converted for it.
#include <string.h>

#include <vector>

#include "host/fluidbind.h"

// The system's own General MIDI bank, in DLS, which FluidSynth reads. It
// lies in the 64-bit system directory only: a 32-bit host on 64-bit Windows
// reaches it through Sysnative, as its System32 is SysWOW64. FluidSynth opens
// the file itself, later too (it loads samples as presets are chosen), so the
// file system's redirection cannot be turned off around it. Sysnative exists
// only for such a host.
SystemSoundFonts systemSoundFonts() {
  SystemSoundFonts system;
  char windows[MAX_PATH], systemDir[MAX_PATH];
  UINT w = GetWindowsDirectoryA(windows, sizeof windows);
  UINT d = GetSystemDirectoryA(systemDir, sizeof systemDir);
  if (w > 0 && w < sizeof windows) system.paths.push_back(std::string(windows) + "\\Sysnative\\drivers\\gm.dls");
  std::string own = d > 0 && d < sizeof systemDir ? std::string(systemDir) + "\\drivers\\gm.dls" : "gm.dls";
  system.paths.push_back(own);
  system.source = "the system's own General MIDI bank: none is named or beside the host";
  system.missing = "the system's General MIDI bank (" + own + ")";
  return system;
}

namespace {

std::string utf8FromAnsi(const std::string& ansi) {
  int wide = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  if (wide <= 0) return ansi;
  std::vector<wchar_t> w((size_t)wide);
  MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, w.data(), wide);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return ansi;
  std::vector<char> utf8((size_t)bytes);
  WideCharToMultiByte(CP_UTF8, 0, w.data(), -1, utf8.data(), bytes, nullptr, nullptr);
  return utf8.data();
}

}  // namespace

bool soundFontFile(const std::string& path, std::string* openPath, long long* size) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER n = {};
  BOOL sized = GetFileSizeEx(f, &n);
  CloseHandle(f);
  if (!sized) return false;
  *openPath = utf8FromAnsi(path);
  *size = (long long)n.QuadPart;
  return true;
}

std::string soundFontIn(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "\\*.sf2").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return "";
  std::string first;
  do {
    // "*.sf2" also matches a longer extension through the file's short name.
    size_t n = strlen(found.cFileName);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || n < 5 || lstrcmpiA(found.cFileName + n - 4, ".sf2") != 0)
      continue;
    if (first.empty() || lstrcmpiA(found.cFileName, first.c_str()) < 0) first = found.cFileName;
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return first.empty() ? "" : dir + "\\" + first;
}
