// SoundFont files on Linux: Debian's General MIDI SoundFonts where no other is
// found; a Windows path (C:\KV\GM.SF2) names a file of the
// emulated machine, as the platform's own file calls take it; a host path
// passes unchanged.
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "host/fluidbind.h"
#include "kv/plat.h"

SystemSoundFonts systemSoundFonts() {
  SystemSoundFonts system;
  system.paths = {"/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"};
  system.source = "installed: none is named or beside the host";
  system.missing = "a General MIDI SoundFont installed (fluid-soundfont-gm, timgm6mb-soundfont)";
  return system;
}

namespace {

std::string hostPathOf(const std::string& path) {
  std::vector<char> host(path.size() + 4096, 0);
  if (!platHostPath(path.c_str(), host.data(), (DWORD)host.size())) return path;
  return host.data();
}

}  // namespace

bool soundFontFile(const std::string& path, std::string* openPath, long long* size) {
  std::string host = hostPathOf(path);
  FILE* f = fopen(host.c_str(), "rb");
  if (!f) return false;
  long long n = fseek(f, 0, SEEK_END) == 0 ? (long long)ftell(f) : -1;
  fclose(f);
  if (n < 0) return false;
  *openPath = host;
  *size = n;
  return true;
}

std::string soundFontIn(const std::string& dir) {
  std::error_code error;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(hostPathOf(dir), error)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".sf2") == 0 && entry.is_regular_file(error))
      names.push_back(name);
  }
  if (names.empty()) return "";
  std::string first = *std::min_element(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  return dir + "\\" + first;
}
