// Whether a process of the machine still runs: every process holds a locked
// file below procs/ in the machine root for as long as it lives, so another
// process can tell that it has ended, however it ended.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace plat {

namespace {

// Removes the entries of processes that have ended, however they ended: an
// entry stays until then, so that its absence always means an ended process.
// An entry not yet named is one whose process was killed between creating and
// locking it, unless that process still runs.
void sweepProcessEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string& name : names) {
    if (name[0] != '.') {
      processAlive(name);
    } else if (kill((pid_t)atoi(name.c_str() + 1), 0) != 0 && errno == ESRCH) {
      unlink((dir + "/" + name).c_str());
    }
  }
}

}  // namespace

const std::string& processToken() {
  // Never destroyed: modules' process detach at exit still asks for it.
  static std::mutex& lock = *new std::mutex;
  static std::string& token = *new std::string;
  static std::string& tokenRoot = *new std::string;
  std::lock_guard<std::mutex> g(lock);
  std::string root = machineRoot();
  if (!token.empty() && tokenRoot == root) return token;
  std::string dir = root + "/procs";
  makeDirs(dir);
  sweepProcessEntries(dir);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::string name = std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "-" + std::to_string(ts.tv_nsec);
  // The exclusive lock lives as long as the process: the kernel drops it when
  // the process ends, however it ends. The file gets its name only once it is
  // locked, so nobody can see it unlocked and take it for a dead process's.
  std::string pending = dir + "/." + name;
  int fd = open(pending.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 && flock(fd, LOCK_EX) == 0) rename(pending.c_str(), (dir + "/" + name).c_str());
  token = name;
  tokenRoot = root;
  return token;
}

bool processAlive(const std::string& token) {
  if (token.empty()) return false;
  std::string path = machineRoot() + "/procs/" + token;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool alive = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  if (!alive) unlink(path.c_str());
  return alive;
}

}  // namespace plat
