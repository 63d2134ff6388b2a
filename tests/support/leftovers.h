// What the processes of an emulated machine hold and leave behind, looked at
// from outside without changing anything: the kill test and the fault sweep
// check with it that the dead and the failed leave nothing.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kvtest {

// The processes, other than this one, whose environment names the machine root.
std::set<pid_t> machineProcesses(const std::string& root);
// A process's command line, its arguments joined by spaces.
std::string commandOf(pid_t pid);
// The tokens of the machine's live processes: entries of procs/ whose process
// still holds the entry's lock.
std::set<std::string> liveProcesses(const std::string& root);
// The processes the entries of procs/ name, whether they run or not.
std::set<pid_t> entryProcesses(const std::string& root);
// The named objects some process holds open ("KIND/NAME" below objects/), with
// the processes that hold each, read under the namespace lock so that no open
// is half done.
std::map<std::string, std::set<pid_t>> heldObjects(const std::string& root);
// Every file below the machine root but the liveness entries of procs/, as
// paths relative to the root.
std::set<std::string> machineFiles(const std::string& root);

// What a machine root holds that processes which have ended should not have
// left, while only the `survivors` run. Each finding is one line:
// - "process": a process of the machine (its environment names the root) that
//   is neither this test nor a survivor: a stray host, client or program;
// - "object": a named object that a process other than the survivors holds open;
// - "entry": a liveness entry in procs/ whose process has ended, or one left
//   half made (a dot name) by a process that has ended;
// - "window", "queue": a used slot of the machine's window table whose process
//   has ended;
// - "file": a file of machineFiles() that is not in `baseline`.
// An entry, a window and a queue stay until the next process starts after
// their process has ended (so that an entry's absence always means an ended
// process): the check is made while a process started after them (a
// survivor) runs, and then finds none.
std::vector<std::string> findLeftovers(const std::string& root, const std::set<pid_t>& survivors,
                                       const std::set<std::string>& baseline);
// The findings as indented lines, for a failure message.
std::string lines(const std::vector<std::string>& found);

}  // namespace kvtest
