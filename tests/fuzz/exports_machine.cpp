// The machine the fuzzer of the module's exports runs on: the install
// directory and host settings it prepares, the module's exports, and the hosts
// its inputs leave behind (see exports_decoder.h).
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "kv/plat.h"
#include "tests/fuzz/exports_decoder.h"
#include "tests/support/machine.h"

namespace kvfuzz {

const char HOST_INI[] = "C:\\KV\\KVHOST.INI";

// Host settings that make a host cheap to start: no SoundFont to load, no
// sound server, no records.
const char* const DEFAULT_HOST_SETTINGS[kHostSettings][2] = {
    {"Answer", "accept"},      {"AnswerDelayMs", "0"}, {"NeverLingerMs", "0"}, {"Consume", "normal"},
    {"OnClose", "idle"},       {"Crash", "never"},     {"MidiRecord", ""},     {"WaveRecord", ""},
    {"SoundServer", "none"},   {"Reverb", "0"},        {"Chorus", "0"},        {"Polyphony", "16"},
    {"SoundFont", "NONE.SF2"},
};

namespace {

// How long the hosts of an input may take to end by themselves once its
// devices are closed; then they are ended.
const DWORD HOST_END_WAIT_MS = 50;

bool readLink(const std::string& path, std::string* out) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  if (n <= 0) return false;
  out->assign(buf, (size_t)n);
  return true;
}

// The processes of the machine at root (the hosts): those whose program lies
// below the root. Ended ones have no program any more.
template <typename Fn>
int forEachProcess(const std::string& root, Fn fn) {
  std::string rootReal;
  char buf[4096];
  rootReal = realpath(root.c_str(), buf) ? buf : root;
  int n = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  while (struct dirent* e = readdir(proc)) {
    pid_t pid = (pid_t)atoi(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    std::string exe;
    if (!readLink("/proc/" + std::string(e->d_name) + "/exe", &exe)) continue;
    if (exe.compare(0, rootReal.size() + 1, rootReal + "/") != 0) continue;
    ++n;
    fn(pid);
  }
  closedir(proc);
  return n;
}

template <typename Fn>
int forEachHost(Fn fn) {
  return forEachProcess(platMachineRoot(), fn);
}

}  // namespace

void endHosts() {
  DWORD t0 = GetTickCount();
  while (forEachHost([](pid_t) {}) > 0 && GetTickCount() - t0 < HOST_END_WAIT_MS) Sleep(1);
  forEachHost([](pid_t pid) { kill(pid, SIGKILL); });
  t0 = GetTickCount();
  while (forEachHost([](pid_t) {}) > 0 && GetTickCount() - t0 < 2000) Sleep(1);
}

std::string prepareMachine(const std::string& buildDir) {
  std::string why = kvtest::setUpProductMachine(buildDir);
  if (!why.empty()) return why;
  for (const auto& kv : DEFAULT_HOST_SETTINGS)
    if (!WritePrivateProfileStringA("Host", kv[0], kv[1], HOST_INI)) return "no KVHOST.INI";
  return "";
}

bool loadExports(const std::string& path, Exports* ex) {
  if (!loadKvModule(path.c_str(), ex)) return false;
  return ex->driverProc && ex->modMessage && ex->wodMessage && ex->setMidiLong && ex->setWaveLong && ex->midi &&
         ex->wave;
}

void endMachineProcesses(const std::string& root) {
  forEachProcess(root, [](pid_t pid) { kill(pid, SIGKILL); });
}

}  // namespace kvfuzz
