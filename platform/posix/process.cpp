// Processes: CreateProcessA with the platform's command-line rules, process
// handles that can be waited on, and the command line a process was given.
//
// A started process is the caller's child on the host. Its handle is a pidfd;
// when the last handle is closed before the child has ended, a reaper thread
// collects it later, so no zombie outlives its parent's interest.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

const char kCommandLineEnv[] = "KV_COMMAND_LINE";

int pidfdOpen(pid_t pid) { return (int)syscall(SYS_pidfd_open, pid, 0); }

// ---- collecting children whose handles were closed -------------------------------

class Reaper {
 public:
  void adopt(int pidfd) {
    std::lock_guard<std::mutex> g(lock_);
    if (wake_ < 0) {
      wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      std::thread(&Reaper::run, this).detach();
    }
    pending_.push_back(pidfd);
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }

 private:
  void run() {
    std::vector<int> watched;
    for (;;) {
      {
        std::lock_guard<std::mutex> g(lock_);
        watched.insert(watched.end(), pending_.begin(), pending_.end());
        pending_.clear();
      }
      std::vector<struct pollfd> fds(1 + watched.size());
      fds[0] = {wake_, POLLIN, 0};
      for (size_t i = 0; i < watched.size(); ++i) fds[i + 1] = {watched[i], POLLIN, 0};
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents) {
        uint64_t n;
        (void)!read(wake_, &n, sizeof n);
      }
      for (size_t i = watched.size(); i-- > 0;) {
        if (!fds[i + 1].revents) continue;
        siginfo_t info;
        waitid((idtype_t)P_PIDFD, (id_t)watched[i], &info, WEXITED | WNOHANG);
        close(watched[i]);
        watched.erase(watched.begin() + (long)i);
      }
    }
  }

  std::mutex lock_;
  std::vector<int> pending_;
  int wake_ = -1;
};

Reaper& reaper() {
  static Reaper* r = new Reaper;  // its thread runs until the process ends
  return *r;
}

// ---- process objects -------------------------------------------------------------

class Process : public plat::Object {
 public:
  pid_t pid = 0;
  int pidfd = -1;
  std::mutex lock;
  bool exited = false;
  DWORD exitCode = STILL_ACTIVE;

  ~Process() override {
    if (pidfd < 0) return;
    if (refresh()) {
      siginfo_t info;
      waitid((idtype_t)P_PIDFD, (id_t)pidfd, &info, WEXITED | WNOHANG);
      close(pidfd);
    } else {
      reaper().adopt(pidfd);
    }
  }

  // Notes the exit status if the process has ended; leaves it collectable.
  bool refresh() {
    std::lock_guard<std::mutex> g(lock);
    if (exited) return true;
    siginfo_t info = {};
    if (waitid((idtype_t)P_PIDFD, (id_t)pidfd, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
      return false;
    exited = true;
    exitCode = info.si_code == CLD_EXITED ? (DWORD)info.si_status : (DWORD)(0xC0000000u | (DWORD)info.si_status);
    return true;
  }

  DWORD wait(DWORD ms) override {
    unsigned long long until = plat::monotonicMs() + ms;
    for (;;) {
      if (refresh()) return WAIT_OBJECT_0;
      int timeout = -1;
      if (ms != INFINITE) {
        unsigned long long now = plat::monotonicMs();
        if (now >= until) return WAIT_TIMEOUT;
        timeout = (int)(until - now);
      }
      struct pollfd p = {pidfd, POLLIN, 0};
      if (poll(&p, 1, timeout) < 0 && errno != EINTR) return plat::failErrno(WAIT_FAILED);
    }
  }
};

// The handle of a started process's main thread: it ends with the process.
class MainThread : public plat::Object {
 public:
  std::shared_ptr<Process> process;
  DWORD wait(DWORD ms) override { return process->wait(ms); }
};

// ---- command lines ---------------------------------------------------------------

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Splits a command line as the platform's C runtime does: the program token
// ends at the first blank or at its closing quote, without escapes; in the
// arguments 2n backslashes before a quote give n backslashes and toggle
// quoting, 2n+1 give n backslashes and a literal quote, and "" inside quotes
// gives a literal quote.
std::vector<std::string> splitCommandLine(const char* line) {
  std::vector<std::string> args;
  const char* p = line;
  std::string first;
  if (*p == '"') {
    for (++p; *p && *p != '"'; ++p) first += *p;
    if (*p == '"') ++p;
  } else {
    for (; *p && !isBlank(*p); ++p) first += *p;
  }
  args.push_back(first);
  for (;;) {
    while (isBlank(*p)) ++p;
    if (!*p) break;
    std::string arg;
    bool quoted = false;
    while (*p && (quoted || !isBlank(*p))) {
      size_t slashes = 0;
      while (*p == '\\') {
        ++slashes;
        ++p;
      }
      if (*p == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2) {
          arg += '"';
          ++p;
        } else if (quoted && p[1] == '"') {
          arg += '"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else {
        arg.append(slashes, '\\');
        if (*p && (quoted || !isBlank(*p))) arg += *p++;
      }
    }
    args.push_back(arg);
  }
  return args;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hasExtension(const std::string& name) {
  size_t sep = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  return dot != std::string::npos && (sep == std::string::npos || dot > sep);
}

}  // namespace

namespace plat {

std::string searchPath(std::string name, const char* defaultExtension) {
  if (!hasExtension(name)) name += defaultExtension;
  bool hasPath = name.find_first_of("\\/:") != std::string::npos;
  if (hasPath) {
    std::string host = plat::hostPath(name.c_str());
    return isRegularFile(host) ? host : std::string();
  }
  std::vector<std::string> dirs = {".", plat::systemDirHost(), plat::windowsDirHost()};
  if (const char* path = getenv("PATH")) {
    std::string all(path);
    size_t pos = 0;
    while (pos <= all.size()) {
      size_t end = all.find(':', pos);
      if (end == std::string::npos) end = all.size();
      if (end > pos) dirs.push_back(all.substr(pos, end - pos));
      pos = end + 1;
    }
  }
  for (const std::string& dir : dirs) {
    std::string host = plat::hostPath((dir + "/" + name).c_str());
    if (isRegularFile(host)) return host;
  }
  return std::string();
}

}  // namespace plat

namespace {

std::string findProgram(const std::string& name) { return plat::searchPath(name, ".exe"); }

// The program a command line names when no application name is given: a quoted
// first token as it stands, otherwise the shortest blank-separated prefix that
// names an existing program.
std::string programOfCommandLine(const char* line) {
  if (*line == '"') {
    const char* end = strchr(line + 1, '"');
    std::string name = end ? std::string(line + 1, end) : std::string(line + 1);
    return findProgram(name);
  }
  const char* p = line;
  for (;;) {
    while (*p && !isBlank(*p)) ++p;
    std::string found = findProgram(std::string(line, p));
    if (!found.empty() || !*p) return found;
    while (isBlank(*p)) ++p;
    if (!*p) return std::string();
  }
}

std::vector<std::string> environmentFor(LPVOID block, const char* commandLine) {
  std::vector<std::string> env;
  if (block) {
    for (const char* p = static_cast<const char*>(block); *p; p += strlen(p) + 1) env.emplace_back(p);
    // The machine is where the process runs, whatever its environment says.
    bool hasRoot = false;
    for (const std::string& e : env) hasRoot |= e.compare(0, strlen(PLAT_ROOT_ENV) + 1, PLAT_ROOT_ENV "=") == 0;
    if (!hasRoot) env.push_back(std::string(PLAT_ROOT_ENV "=") + plat::machineRoot());
  } else {
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, kCommandLineEnv, sizeof kCommandLineEnv - 1) != 0) env.emplace_back(*e);
  }
  env.push_back(std::string(kCommandLineEnv) + "=" + commandLine);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

// ---- this process's command line --------------------------------------------------

std::string& startCommandLine() {
  static std::string line;
  return line;
}

__attribute__((constructor)) void captureCommandLine() {
  if (const char* line = getenv(kCommandLineEnv)) {
    startCommandLine() = line;
    unsetenv(kCommandLineEnv);
    return;
  }
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string raw;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) raw.append(buf, (size_t)n);
  close(fd);
  std::string line;
  for (size_t pos = 0; pos < raw.size();) {
    std::string arg(raw.c_str() + pos);
    pos += arg.size() + 1;
    if (!line.empty()) line += ' ';
    if (arg.empty() || arg.find_first_of(" \t\"") != std::string::npos) {
      line += '"';
      for (char c : arg) {
        if (c == '"') line += '\\';
        line += c;
      }
      line += '"';
    } else {
      line += arg;
    }
  }
  startCommandLine() = line;
}

}  // namespace

namespace plat {
const char* inheritedCommandLine() { return startCommandLine().c_str(); }
}  // namespace plat

extern "C" LPSTR WINAPI GetCommandLineA(void) { return &startCommandLine()[0]; }

extern "C" BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                                      LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                      LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation) {
  if (plat::faultHit("CreateProcessA")) return plat::fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine))
    return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string commandLine = lpCommandLine ? lpCommandLine : lpApplicationName;
  std::string program =
      lpApplicationName ? plat::hostPath(lpApplicationName) : programOfCommandLine(commandLine.c_str());
  if (program.empty() || !isRegularFile(program)) return plat::fail(ERROR_FILE_NOT_FOUND, FALSE);

  std::string cwd;
  if (lpCurrentDirectory && *lpCurrentDirectory) {
    cwd = plat::hostPath(lpCurrentDirectory);
    struct stat st;
    if (stat(cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return plat::fail(ERROR_DIRECTORY, FALSE);
  }

  std::vector<std::string> args = splitCommandLine(commandLine.c_str());
  std::vector<std::string> env = environmentFor(lpEnvironment, commandLine.c_str());
  std::vector<char*> argv = pointers(args), envp = pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  // A detached process has no console: its standard streams lead nowhere
  // instead of to the caller's.
  if (dwCreationFlags & DETACHED_PROCESS) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  // A detached process leaves the caller's session; a new process group leaves
  // its group, so signals aimed at the caller's group do not reach it.
  if (dwCreationFlags & DETACHED_PROCESS) {
    flags |= POSIX_SPAWN_SETSID;
  } else if (dwCreationFlags & CREATE_NEW_PROCESS_GROUP) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return plat::fail(plat::win32FromErrno(rc), FALSE);

  auto process = std::make_shared<Process>();
  process->pid = pid;
  process->pidfd = pidfdOpen(pid);
  auto thread = std::make_shared<MainThread>();
  thread->process = process;
  lpProcessInformation->hProcess = plat::handleInsert(process);
  lpProcessInformation->hThread = plat::handleInsert(thread);
  lpProcessInformation->dwProcessId = (DWORD)pid;
  lpProcessInformation->dwThreadId = (DWORD)pid;
  return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  auto p = plat::handleAs<Process>(hProcess);
  if (!p || !lpExitCode) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  p->refresh();
  std::lock_guard<std::mutex> g(p->lock);
  *lpExitCode = p->exitCode;
  return TRUE;
}

extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  (void)uExitCode;
  auto p = plat::handleAs<Process>(hProcess);
  if (!p) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (syscall(SYS_pidfd_send_signal, p->pidfd, SIGKILL, nullptr, 0) != 0 && errno != ESRCH)
    return plat::failErrno(FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI GetProcessId(HANDLE hProcess) {
  if (hProcess == plat::currentProcessPseudo()) return (DWORD)getpid();
  auto p = plat::handleAs<Process>(hProcess);
  return p ? (DWORD)p->pid : plat::fail(ERROR_INVALID_HANDLE, 0u);
}

extern "C" BOOL WINAPI IsWow64Process(HANDLE, PBOOL Wow64Process) {
  if (!Wow64Process) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  *Wow64Process = FALSE;
  return TRUE;
}

extern "C" BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID*) { return plat::fail(ERROR_INVALID_FUNCTION, FALSE); }
extern "C" BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID) { return plat::fail(ERROR_INVALID_FUNCTION, FALSE); }

extern "C" void WINAPI ExitProcess(UINT uExitCode) { exit((int)uExitCode); }
