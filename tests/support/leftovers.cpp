#include "leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/posix/windowing.h"

namespace kvtest {

namespace {

bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// Every file below `dir`, as paths relative to `base`.
void listFiles(const std::string& base, const std::string& dir, std::set<std::string>& out) {
  for (const std::string& name : entriesOf(dir)) {
    std::string path = dir + "/" + name;
    if (isDir(path))
      listFiles(base, path, out);
    else
      out.insert(path.substr(base.size() + 1));
  }
}

// A process token's liveness: its entry exists and its process still holds
// the entry's lock.
bool tokenAlive(const std::string& root, const std::string& token) {
  int fd = open((root + "/procs/" + token).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool alive = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  return alive;
}

// The processes that hold a lock on each file (by device and inode), from
// /proc/locks: a named object is held open while its opener's lock is there.
std::multimap<std::string, pid_t> fileLocks() {
  std::multimap<std::string, pid_t> locks;
  std::ifstream f("/proc/locks");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, kind, mode, access, pid, file;
    in >> id >> kind;
    if (kind == "->") in >> kind;
    in >> mode >> access >> pid >> file;
    // MAJOR:MINOR:INODE, the device numbers in hexadecimal.
    locks.emplace(file, (pid_t)atoi(pid.c_str()));
  }
  return locks;
}

}  // namespace

std::set<pid_t> machineProcesses(const std::string& root) {
  std::set<pid_t> pids;
  std::string marker = "KV_MACHINE_ROOT=" + root;
  for (const std::string& name : entriesOf("/proc")) {
    pid_t pid = (pid_t)atoi(name.c_str());
    if (pid <= 0 || pid == getpid()) continue;
    std::ifstream f("/proc/" + name + "/environ", std::ios::binary);
    std::string env((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < env.size(); at += strlen(env.c_str() + at) + 1)
      if (marker == env.c_str() + at) pids.insert(pid);
  }
  return pids;
}

std::string commandOf(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline");
  std::string cmd;
  std::getline(f, cmd);
  for (char& c : cmd)
    if (c == '\0') c = ' ';
  return cmd;
}

std::set<std::string> liveProcesses(const std::string& root) {
  std::set<std::string> live;
  for (const std::string& name : entriesOf(root + "/procs"))
    if (name[0] != '.' && tokenAlive(root, name)) live.insert(name);
  return live;
}

std::set<pid_t> entryProcesses(const std::string& root) {
  std::set<pid_t> pids;
  for (const std::string& name : entriesOf(root + "/procs")) pids.insert((pid_t)atoi(name.c_str() + (name[0] == '.')));
  return pids;
}

std::map<std::string, std::set<pid_t>> heldObjects(const std::string& root) {
  std::map<std::string, std::set<pid_t>> held;
  std::string objects = root + "/objects";
  // No lock file: no object was ever opened.
  int ns = open((objects + "/.namespace-lock").c_str(), O_RDWR | O_CLOEXEC);
  if (ns < 0) return held;
  flock(ns, LOCK_EX);
  std::multimap<std::string, pid_t> locks = fileLocks();
  std::set<std::string> files;
  listFiles(objects, objects, files);
  for (const std::string& object : files) {
    struct stat st;
    if (object[0] == '.' || stat((objects + "/" + object).c_str(), &st) != 0) continue;
    char id[64];
    snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev), (unsigned long long)st.st_ino);
    auto range = locks.equal_range(id);
    for (auto it = range.first; it != range.second; ++it) held[object].insert(it->second);
  }
  flock(ns, LOCK_UN);
  close(ns);
  return held;
}

std::set<std::string> machineFiles(const std::string& root) {
  std::set<std::string> files;
  listFiles(root, root, files);
  for (auto it = files.begin(); it != files.end();) it = it->compare(0, 6, "procs/") == 0 ? files.erase(it) : ++it;
  return files;
}

std::vector<std::string> findLeftovers(const std::string& root, const std::set<pid_t>& survivors,
                                       const std::set<std::string>& baseline) {
  std::vector<std::string> found;
  for (pid_t pid : machineProcesses(root))
    if (!survivors.count(pid)) found.push_back("process " + std::to_string(pid) + ": " + commandOf(pid));

  for (auto& object : heldObjects(root))
    for (pid_t holder : object.second)
      if (!survivors.count(holder))
        found.push_back("object " + object.first + " held by " + std::to_string(holder) + ": " + commandOf(holder));

  for (const std::string& name : entriesOf(root + "/procs")) {
    bool ended = name[0] == '.' ? kill((pid_t)atoi(name.c_str() + 1), 0) != 0 : !tokenAlive(root, name);
    if (ended) found.push_back("entry procs/" + name + " of an ended process");
  }

  std::ifstream f(root + "/objects/user/window-table", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() >= sizeof(plat::user::Table)) {
    const plat::user::Table* t = reinterpret_cast<const plat::user::Table*>(bytes.data());
    for (const plat::user::WindowSlot& w : t->windows)
      if (w.hwnd && !tokenAlive(root, w.token))
        found.push_back("window " + std::string(w.className) + " of ended process " + std::to_string(w.pid));
    for (const plat::user::QueueSlot& q : t->queues)
      if (q.serial && !tokenAlive(root, q.token)) found.push_back("queue of ended process " + std::to_string(q.pid));
  }

  for (const std::string& file : machineFiles(root))
    if (!baseline.count(file)) found.push_back("file " + file);
  return found;
}

std::string lines(const std::vector<std::string>& found) {
  std::string out;
  for (const std::string& f : found) out += "  " + f + "\n";
  return out;
}

}  // namespace kvtest
