// What installation and removal change on the machine, looked at before and
// after, and told to the user in plain words.
#include "setup/report.h"

#include <stdio.h>
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/protocol.h"
#include "install/slots.h"
#include "setup/mediadevice.h"

namespace {

// A value as the user reads it: "text" for strings, the number for DWORDs.
std::string describeValue(DWORD type, const BYTE* data, DWORD size) {
  if (type == REG_DWORD && size == 4) {
    DWORD v;
    memcpy(&v, data, 4);
    return std::to_string(v);
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::string text(reinterpret_cast<const char*>(data), size);
    return "\"" + text.substr(0, text.find('\0')) + "\"";
  }
  return "(" + std::to_string(size) + " bytes of type " + std::to_string(type) + ")";
}

// The values of a key whose names pass `wanted`, described.
std::map<std::string, std::string> readValues(HKEY root, const char* path, bool (*wanted)(const char* name)) {
  std::map<std::string, std::string> values;
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[1024];
    DWORD cch = sizeof name, size = sizeof data, type = 0;
    LSTATUS st = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
    if (st == ERROR_MORE_DATA) continue;
    if (st != ERROR_SUCCESS) break;
    if (wanted(name)) values[name] = describeValue(type, data, size);
  }
  RegCloseKey(key);
  return values;
}

bool isAlias(const char* name) {
  char prefix[5] = {};
  lstrcpynA(prefix, name, sizeof prefix);
  return lstrcmpiA(prefix, "midi") == 0 || lstrcmpiA(prefix, "wave") == 0;
}
bool isMapperValue(const char* name) {
  for (const KvMapperValue& v : KV_MIDIMAP_VALUES)
    if (lstrcmpiA(v.szName, name) == 0) return true;
  return false;
}

bool keyExists(HKEY root, const char* path) {
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

const char* const kHostCopies[] = {"KVMIDI" KV_PROGRAM_DIGITS ".EXE", "KVWAVE" KV_PROGRAM_DIGITS ".EXE"};

std::string valueOr(const std::map<std::string, std::string>& m, const std::string& name, const char* absent) {
  auto it = m.find(name);
  return it == m.end() ? absent : it->second;
}

// True for a described alias value (a string, in quotes) that names this
// driver's file.
bool namesDriver(const std::string& described) {
  return described.size() >= 2 && described.front() == '"' && described.back() == '"' &&
         namesDriverFile(described.substr(1, described.size() - 2).c_str());
}

}  // namespace

bool registryDamaged() {
  if (RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_REGISTRY_CORRUPT)
    return false;
  fprintf(stderr,
          "KVSETUP: the registry store is damaged: %s\n"
          "KVSETUP: the driver's registration cannot be read, and nothing was changed.\n",
          registryStoreName().c_str());
  std::string mend = registryStoreMend();
  if (!mend.empty()) fprintf(stderr, "KVSETUP: %s.\n", mend.c_str());
  return true;
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

MachineState lookAtMachine() {
  MachineState s;
  s.aliases = readValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, isAlias);
  s.mapper = readValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, isMapperValue);
  s.mapperSaved = keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY);
  s.pending = pendingFileOperations();
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  s.installDir = dir;
  for (int i = 0; i < 2; ++i) s.hostCopies[i] = dir[0] && fileExists(s.installDir + "\\" + kHostCopies[i]);
  return s;
}

// Says, in plain words, what differs between before and after.
void tellChanges(const MachineState& before, const MachineState& after) {
  printf("driver aliases (HKLM\\%s):\n", KV_DRIVERS32_KEY);
  bool any = false;
  for (auto& a : after.aliases) {
    std::string old = valueOr(before.aliases, a.first, "");
    if (old == a.second) continue;
    any = true;
    if (old.empty())
      printf("  %-8s registered: %s\n", a.first.c_str(), a.second.c_str());
    else
      printf("  %-8s changed from %s to %s\n", a.first.c_str(), old.c_str(), a.second.c_str());
  }
  for (auto& b : before.aliases) {
    if (after.aliases.count(b.first)) continue;
    any = true;
    printf("  %-8s unregistered (it was %s)\n", b.first.c_str(), b.second.c_str());
  }
  if (!any) printf("  unchanged\n");

  printf("MIDI mapper (HKCU\\%s):\n", KV_MIDIMAP_KEY);
  any = false;
  for (const KvMapperValue& v : KV_MIDIMAP_VALUES) {
    const char* name = v.szName;
    std::string old = valueOr(before.mapper, name, "(none)"), now = valueOr(after.mapper, name, "(none)");
    if (old == now) continue;
    any = true;
    printf("  %-33s %s -> %s\n", name, old.c_str(), now.c_str());
  }
  if (!any) printf("  unchanged\n");
  if (after.mapperSaved && !before.mapperSaved) printf("  your settings are saved for the removal\n");
  if (!after.mapperSaved && before.mapperSaved) printf("  your saved settings were given back\n");

  printf("waiting for the next system start:\n");
  for (size_t i = 0; i < after.pending.size(); ++i) {
    const PendingOperation& op = after.pending[i];
    bool isNew = i >= before.pending.size();
    if (op.target.empty())
      printf("  delete %s%s\n", op.source.c_str(), isNew ? "" : " (from before)");
    else
      printf("  replace %s with %s%s\n", op.target.c_str(), op.source.c_str(), isNew ? "" : " (from before)");
  }
  if (after.pending.empty()) printf("  nothing\n");

  printf("host copies in %s:\n", after.installDir.empty() ? "(no install directory)" : after.installDir.c_str());
  any = false;
  for (int i = 0; i < 2; ++i) {
    if (before.hostCopies[i] == after.hostCopies[i]) continue;
    any = true;
    printf("  %s %s\n", kHostCopies[i], after.hostCopies[i] ? "made" : "deleted");
  }
  if (!any) printf("  unchanged\n");
}

// Whether this driver holds a MIDI or a wave alias.
void ownAliases(const MachineState& s, bool& midi, bool& wave) {
  midi = wave = false;
  for (auto& a : s.aliases) {
    if (!namesDriver(a.second)) continue;
    (lstrcmpiA(a.first.substr(0, 4).c_str(), "midi") == 0 ? midi : wave) = true;
  }
}

// What an installation that answered -1 did not get done.
void tellInstallFailures(const MachineState& after) {
  bool midi, wave;
  ownAliases(after, midi, wave);
  bool replacement = false;
  for (auto& op : after.pending)
    if (!op.target.empty() && namesDriverFile(op.target.c_str())) replacement = true;
  printf("what failed:\n");
  if (!midi) printf("  no MIDI alias could be registered (all ten names taken, or the registry refused)\n");
  if (!wave) printf("  no wave alias could be registered (all ten names taken, or the registry refused)\n");
  if (!replacement) printf("  the module's copy into the system directory is not waiting for the system start\n");
  if (!after.mapperSaved) printf("  the mapper settings were not saved, so the mapper was left as it was\n");
}

// What a removal that answered -1 did not get done.
void tellRemoveFailures(const MachineState& before, const MachineState& after) {
  bool midiBefore, waveBefore, midi, wave;
  ownAliases(before, midiBefore, waveBefore);
  ownAliases(after, midi, wave);
  printf("what failed:\n");
  if (after.mapperSaved)
    printf("  the saved mapper settings could not all be given back; they are kept for the next removal\n");
  else if (!midiBefore)
    printf("  no MIDI alias of this driver is registered (is it installed?)\n");
  else if (midi)
    printf("  the MIDI alias could not be unregistered\n");
  else if (wave)
    printf("  the wave alias could not be unregistered; the module stays in the system directory\n");
  if (!midiBefore && waveBefore) printf("  the driver's wave alias stays\n");
}

// The restart-proof media device: registered with the aliases the
// installation chose, removed with the last registration.
void tellMediaDevice(const MachineState& after, bool installing) {
  std::string said;
  if (installing) {
    std::string midi, wave;
    for (auto& a : after.aliases) {
      if (!namesDriver(a.second)) continue;
      (lstrcmpiA(a.first.substr(0, 4).c_str(), "midi") == 0 ? midi : wave) = a.first;
    }
    said = registerMediaDevice(midi, wave);
  } else {
    said = removeMediaDevice();
  }
  if (!said.empty()) printf("restart-proof device:\n  %s\n", said.c_str());
}

// The length of an install directory too long for the paths of the host
// copies in it (a separator, the name and a terminator within MAX_PATH),
// which makes the driver refuse to install or remove anything; 0 when it fits.
size_t tooLongInstallDir(size_t& longest) {
  size_t name = 0;
  for (const char* copy : kHostCopies) name = strlen(copy) > name ? strlen(copy) : name;
  longest = MAX_PATH - 2 - name;
  std::vector<char> dir(MAX_PATH);
  while (strlen(getInstallDir(dir.data(), (DWORD)dir.size())) + 2 >= dir.size()) dir.resize(dir.size() * 2);
  size_t length = strlen(dir.data());
  return length > longest ? length : 0;
}
