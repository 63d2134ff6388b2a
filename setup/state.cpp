// The state of the product for each bitness (see state.h).
#include "setup/state.h"

#include "host/fluidbind.h"
#include "host/modulecheck.h"
#include "host/settings.h"
#include "host/synth.h"
#include "hostlink/protocol.h"
#include "install/slots.h"
#include "kvplatform.h"

namespace {

bool isFile(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The digits in the names of the host programs of `bits`: this program's
// own, or the other bitness's.
std::string digitsOf(int bits) {
  std::string own = KV_PROGRAM_DIGITS;
  if (bits == hostBits()) return own;
  return own == "16" ? "64" : "16";
}

// Whether a bitness's programs run here: 64-bit ones only on 64-bit Windows.
bool bitnessOnSystem(int bits) {
  if (bits == hostBits() || bits == 32) return true;
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

void lookAtRegistration(BitnessState* s) {
  HKEY key;
  REGSAM view = s->bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  LSTATUS st = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ | view, &key);
  if (st == ERROR_FILE_NOT_FOUND) return;
  if (st != ERROR_SUCCESS) {
    s->registryRead = false;
    return;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[MAX_PATH * 2];
    DWORD cch = sizeof name, size = sizeof data - 1, type = 0;
    st = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
    if (st == ERROR_MORE_DATA) continue;
    if (st != ERROR_SUCCESS) break;
    data[size] = 0;
    char prefix[5] = {};
    lstrcpynA(prefix, name, sizeof prefix);
    bool alias = lstrcmpiA(prefix, "midi") == 0 || lstrcmpiA(prefix, "wave") == 0;
    if (alias && type == REG_SZ && namesDriverFile(reinterpret_cast<char*>(data))) s->aliases.push_back(name);
  }
  RegCloseKey(key);
}

// What both bitnesses share: the registration and the host programs.
BitnessState baseState(const std::string& dir, int bits) {
  BitnessState s;
  s.bits = bits;
  s.onSystem = bitnessOnSystem(bits);
  if (!s.onSystem) return s;
  lookAtRegistration(&s);
  std::string digits = digitsOf(bits);
  s.host = "KVTSK" + digits + ".EXE";
  s.hostThere = isFile(dir + "\\" + s.host);
  for (std::string copy : {"KVMIDI" + digits + ".EXE", "KVWAVE" + digits + ".EXE"})
    if (!isFile(dir + "\\" + copy)) s.missingCopies.push_back(copy);
  return s;
}

HostSettings settingsIn(const std::string& dir, const SettingsFiles& files) {
  std::vector<std::string> said;
  HostSettings settings = loadHostSettings(files, &said);
  settings.folder = dir;
  return settings;
}

std::string joined(const std::vector<std::string>& names, const char* last) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
  return out;
}

}  // namespace

BitnessState ownBitnessState(const std::string& dir, const SettingsFiles& files) {
  BitnessState s = baseState(dir, hostBits());
  HostSettings settings = settingsIn(dir, files);
  FluidLibrary library;
  s.libraryLoads = loadFluidSynth(settings, &library);
  s.library =
      library.path + " (" + library.source + "): " + (s.libraryLoads ? "loads" : "does not load: " + library.why);
  SoundFontChoice font;
  if (!findSoundFont(settings, &font)) {
    s.bank = font.why;
    return s;
  }
  std::string why;
  s.bankLoads = s.libraryLoads && createSynth(settings, &why) != nullptr;
  s.bank = font.path + " (" + font.source + "): " +
           (!s.libraryLoads ? "not tried without FluidSynth"
            : s.bankLoads   ? "loads"
                            : "does not load: " + why);
  return s;
}

BitnessState otherBitnessState(const std::string& dir, const SettingsFiles& files) {
  int bits = hostBits() == 64 ? 32 : 64;
  BitnessState s = baseState(dir, bits);
  if (!s.onSystem) return s;
  HostSettings settings = settingsIn(dir, files);
  FluidLibrary library;
  findFluidSynth(settings, bits, &library);
  int found = moduleFileBits(library.path.c_str());
  std::string what = found ? "a " + std::to_string(found) + "-bit library" : isFile(library.path) ? "a library" : "";
  s.library = library.path + " (" + library.source + "): " +
              (what.empty() ? "not there" : what + ", not loaded here: its own setup program tells whether it loads");
  SoundFontChoice font;
  s.bank = findSoundFont(settings, &font) ? font.path + " (" + font.source + "): not loaded here" : font.why;
  return s;
}

std::vector<std::string> describeState(const BitnessState& s) {
  std::vector<std::string> lines = {std::to_string(s.bits) + "-bit programs"};
  if (!s.onSystem) {
    lines.push_back("  none on this system");
    return lines;
  }
  std::string registered = !s.registryRead ? "cannot be read"
                           : s.aliases.empty()
                               ? "no (no alias among the registered drivers names " + std::string(KV_DRIVER_FILE) + ")"
                               : "yes, as " + joined(s.aliases, " and ");
  lines.push_back("  registered  " + registered);
  std::string host = s.host + (s.hostThere ? " present" : " missing");
  if (!s.missingCopies.empty())
    host += ", " + joined(s.missingCopies, " and ") + " missing";
  else
    host += ", copies present";
  lines.push_back("  host        " + host);
  lines.push_back("  FluidSynth  " + s.library);
  lines.push_back("  SoundFont   " + s.bank);
  return lines;
}
