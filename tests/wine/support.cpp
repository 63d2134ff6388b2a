// Support for the Wine suite; see support.h.
#include "support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <setupapi.h>
#include <devguid.h>
#include <tlhelp32.h>

#include <map>

#include "hostlink/protocol.h"

namespace kvwine {

namespace {

std::map<std::string, HelperFn>& helpers() {
  static std::map<std::string, HelperFn> m;
  return m;
}

std::string selfPath() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

}  // namespace

std::string installDir() {
  char dir[MAX_PATH];
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", dir, sizeof dir, "KELVASON.INI");
  return dir;
}

std::string systemDir() {
  char dir[MAX_PATH];
  GetSystemDirectoryA(dir, sizeof dir);
  return dir;
}

std::string readFile(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::map<std::string, std::string> keyValues(HKEY root, const char* path, REGSAM view) {
  std::map<std::string, std::string> values;
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return values;
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[1024];
    DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    std::string text = std::to_string(type) + ":";
    if (type == REG_DWORD) {
      text += std::to_string(*reinterpret_cast<DWORD*>(data));
    } else {
      text += std::string(reinterpret_cast<char*>(data), dataSize);
    }
    values[name] = text;
  }
  RegCloseKey(key);
  return values;
}

bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); !done();) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(10);
  }
  return true;
}

int kelvasongMidiDevice() {
  UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    MIDIOUTCAPSA caps = {};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && strcmp(caps.szPname, "Kelvasong (NT)") == 0)
      return (int)i;
  }
  return -1;
}

void clearRecords(const char* name) {
  for (const char* file : {"KVMIDIIN.RAW", "KVMIDIIN.TXT", "KVWAVEOUT.WAV", "KVWAVEOUT.TXT"})
    if (!name || strncmp(file, name, strlen(name)) == 0) DeleteFileA((installDir() + "\\" + file).c_str());
}

bool Driver::load() {
  if (!loadKvModule("KVDRVR32.DLL", this)) return false;
  return modMessage && wodMessage && driverProc;
}

HelperRegistration::HelperRegistration(const char* name, HelperFn fn) { helpers()[name] = fn; }

int runHelper(int argc, char** argv) {
  if (argc < 3 || strcmp(argv[1], "--kv-helper") != 0) return -1;
  auto it = helpers().find(argv[2]);
  if (it == helpers().end()) {
    fprintf(stderr, "no helper %s\n", argv[2]);
    return 99;
  }
  return it->second(argc - 2, argv + 2);
}

void say(const std::string& line) {
  fputs((line + "\n").c_str(), stdout);
  fflush(stdout);
}

bool hear(std::string& line) {
  char buf[1024];
  if (!fgets(buf, sizeof buf, stdin)) return false;
  line = buf;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

Child Child::helper(const std::string& name, const std::vector<std::string>& args) {
  std::string cmd = "\"" + selfPath() + "\" --kv-helper " + name;
  for (const std::string& a : args) cmd += " \"" + a + "\"";
  return Child(cmd);
}

Child::Child(const std::string& commandLine, const std::string& directory, bool errorsToo) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &toChild_, &sa, 0) || !CreatePipe(&fromChild_, &childOut, &sa, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return;
  }
  SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = childIn;
  si.hStdOutput = childOut;
  si.hStdError = errorsToo ? childOut : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi;
  std::vector<char> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back('\0');
  // Wine answers ERROR_INTERNAL_ERROR when the new process ends inside Wine's
  // own start, before any of the program has run; seldom, on a loaded machine.
  // That start is tried again: nothing of the program can have happened yet.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 3; ++attempt) {
    started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             directory.empty() ? nullptr : directory.c_str(), &si, &pi);
    if (started || GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (started) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
  } else {
    ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
  }
  CloseHandle(childIn);
  CloseHandle(childOut);
}

Child::Child(Child&& other) noexcept
    : process_(other.process_), toChild_(other.toChild_), fromChild_(other.fromChild_), buffered_(other.buffered_) {
  other.process_ = other.toChild_ = other.fromChild_ = nullptr;
}

Child::~Child() {
  if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) terminate();
  for (HANDLE h : {process_, toChild_, fromChild_})
    if (h) CloseHandle(h);
}

void Child::send(const std::string& line) {
  std::string l = line + "\n";
  DWORD written;
  WriteFile(toChild_, l.data(), (DWORD)l.size(), &written, nullptr);
}

std::string Child::expectLine(DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    DWORD avail = 0;
    if (!PeekNamedPipe(fromChild_, nullptr, 0, nullptr, &avail, nullptr)) {
      ADD_FAILURE() << "the child ended without a line; so far: " << buffered_;
      return "";
    }
    if (avail > 0) {
      char buf[4096];
      DWORD n = 0;
      ReadFile(fromChild_, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr);
      buffered_.append(buf, n);
      continue;
    }
    if (GetTickCount() - start > timeoutMs) {
      ADD_FAILURE() << "no line from the child in " << timeoutMs << " ms; so far: " << buffered_;
      return "";
    }
    // Anonymous pipes cannot be waited on; the child's end is the other signal.
    WaitForSingleObject(process_, 1);
  }
}

DWORD Child::wait(DWORD timeoutMs) {
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_, &code);
  return code;
}

DWORD Child::finish(std::string& output, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  output.swap(buffered_);
  buffered_.clear();
  for (;;) {
    bool ended = WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    DWORD avail = 0;
    while (PeekNamedPipe(fromChild_, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
      char buf[4096];
      DWORD n = 0;
      if (!ReadFile(fromChild_, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr)) break;
      output.append(buf, n);
    }
    if (ended) return wait(0);
    if (GetTickCount() - start > timeoutMs) return STILL_ACTIVE;
    WaitForSingleObject(process_, 5);
  }
}

void Child::terminate() {
  TerminateProcess(process_, 9);
  WaitForSingleObject(process_, 10000);
}

DWORD runShown(const std::string& commandLine, const std::string& directory, bool errorsToo) {
  Child program(commandLine, directory, errorsToo);
  std::string output;
  DWORD code = program.finish(output);
  printf("> %s\n%s", commandLine.c_str(), output.c_str());
  fflush(stdout);
  return code;
}

std::string playSteps(const std::vector<std::string>& steps) {
  int device = kelvasongMidiDevice();
  if (device < 0) return "the layer lists no Kelvasong device among " + std::to_string(midiOutGetNumDevs());
  HMIDIOUT out = nullptr;
  MMRESULT rc = midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL);
  if (rc != MMSYSERR_NOERROR) return "midiOutOpen answered " + std::to_string(rc);
  std::vector<DWORD> hosts = processesNamed(kMidiHostExe);
  HANDLE host = hosts.size() == 1 ? OpenProcess(SYNCHRONIZE, FALSE, hosts[0]) : nullptr;
  std::string error;
  for (const std::string& step : steps) {
    if (!step.empty() && step[0] == '+') {
      Sleep((DWORD)strtoul(step.c_str() + 1, nullptr, 10));
    } else if ((rc = midiOutShortMsg(out, (DWORD)strtoul(step.c_str(), nullptr, 16))) != MMSYSERR_NOERROR) {
      error = "midiOutShortMsg " + step + " answered " + std::to_string(rc);
      break;
    }
  }
  rc = midiOutClose(out);
  if (error.empty() && rc != MMSYSERR_NOERROR) error = "midiOutClose answered " + std::to_string(rc);
  if (!host) return error.empty() ? std::to_string(hosts.size()) + " hosts ran, not one" : error;
  if (WaitForSingleObject(host, 20000) != WAIT_OBJECT_0 && error.empty()) error = "the host did not end";
  CloseHandle(host);
  return error;
}

KV_HELPER(play) {
  std::string error = playSteps(std::vector<std::string>(argv + 1, argv + argc));
  if (!error.empty()) fprintf(stderr, "%s\n", error.c_str());
  return error.empty() ? 0 : 1;
}

void startInstanceWindow(std::unique_ptr<Child>& instance) {
  instance.reset(new Child(installDir() + "\\" + kHostExe + " " + KV_VERB_INSTANCE, installDir()));
  std::string said = instance->expectLine();
  ASSERT_TRUE(said.find("instance window open") != std::string::npos ||
              said.find("the instance window is open already") != std::string::npos)
      << said;
  ASSERT_TRUE(waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }));
}

std::vector<DWORD> processesNamed(const char* exeName) {
  std::vector<DWORD> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32 pe = {};
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
    if (lstrcmpiA(pe.szExeFile, exeName) == 0) ids.push_back(pe.th32ProcessID);
  CloseHandle(snap);
  return ids;
}

bool waitForProcessesToEnd(const char* exeName, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (DWORD id : processesNamed(exeName)) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!h) continue;
    DWORD spent = GetTickCount() - start;
    DWORD r = WaitForSingleObject(h, spent < timeoutMs ? timeoutMs - spent : 0);
    CloseHandle(h);
    if (r != WAIT_OBJECT_0) return false;
  }
  return true;
}

}  // namespace kvwine

int main(int argc, char** argv) {
  int helper = kvwine::runHelper(argc, argv);
  if (helper >= 0) return helper;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace kvwine {

int mediaDevices(std::string* midiAlias) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_MEDIA, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return -1;
  int found = 0;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0;; ++i) {
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set, i, &data)) break;
    char ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                           sizeof ids - 2, nullptr) ||
        lstrcmpiA(ids, "ROOT\\KVDRVR32") != 0)
      continue;
    if (found++ == 0 && midiAlias) {
      HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
      char alias[64] = {};
      DWORD size = sizeof alias - 1;
      if (key != INVALID_HANDLE_VALUE) {
        RegGetValueA(key, "Drivers\\midi\\KVDRVR32.DLL", "Alias", RRF_RT_REG_SZ, nullptr, alias, &size);
        RegCloseKey(key);
      }
      *midiAlias = alias;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace kvwine
