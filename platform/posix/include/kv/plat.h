// Services of the Linux platform layer that have no Win32 counterpart: the
// emulated machine, fault injection for tests, and the platform tools' verbs.
// Driver logic never includes this header; tests, tools and the host may.
#pragma once

#include "kv/types.h"

extern "C" {

// The machine root: the directory below which every piece of the emulated
// machine's state lives. Chosen by the environment variable KV_MACHINE_ROOT,
// otherwise $XDG_STATE_HOME/kvmachine or ~/.local/state/kvmachine.
#define PLAT_ROOT_ENV "KV_MACHINE_ROOT"
const char* platMachineRoot(void);

// Creates the machine's directories (drive C, the Windows and system
// directories, the object namespace) if they are missing. Every platform
// operation that needs them does this itself; tools call it to show the layout.
BOOL platMachineInit(void);

// Translates a Windows-style path into the host path it names on this machine.
// Answers FALSE when the result does not fit into cbHost bytes.
BOOL platHostPath(LPCSTR winPath, char* hostPath, DWORD cbHost);

// Sets the machine's ANSI code page (1252 by default; 932, 936, 949, 950 and
// 1250 to 1258 are known). Stored in the machine root, read by every process.
BOOL platSetAnsiCodePage(UINT codePage);

// Sets where the machine's Windows is installed (C:\WINDOWS by default; its
// system directory is system32 below it). Stored in the machine root, read by
// every process; null or empty goes back to the default.
BOOL platSetWindowsDirectory(LPCSTR winDir);

// Carries out, in the order they were recorded, the file replacements and
// deletions that MoveFileExA recorded with MOVEFILE_DELAY_UNTIL_REBOOT, and
// clears the record. Answers the number of operations that failed.
int platSystemStart(void);

// The file operation number `index` (from 0, in the order they were recorded)
// that waits for the next system start: its source and its target (empty for
// a deletion) as Windows paths, each cut to fit its buffer. FALSE past the
// last one.
BOOL platPendingFileOperation(DWORD index, LPSTR source, DWORD cbSource, LPSTR target, DWORD cbTarget);

// The registry store: one file below the machine root. The host path of the
// machine's store; FALSE when it does not fit into cbPath bytes.
BOOL platRegistryStorePath(LPSTR path, DWORD cbPath);
// Reads the machine's store whole without changing it: ERROR_SUCCESS when it
// is intact, ERROR_FILE_NOT_FOUND when the machine has none yet (the first
// registry call makes it), ERROR_REGISTRY_CORRUPT when it is damaged (cut
// short, empty, not a store, or a store with damaged tables), or why it could
// not be read.
LSTATUS platRegistryCheck(void);
// Puts a damaged store aside, with its log, as registry.db.damaged-TIME (its
// host path goes to `aside`) and makes a new, empty store. An intact store is
// left alone (ERROR_ALREADY_EXISTS), and so is a machine without a store
// (ERROR_FILE_NOT_FOUND). Programs of the machine that still hold the old
// store answer that it is damaged until they open the new one.
LSTATUS platRegistryRenew(LPSTR aside, DWORD cbAside);

// Module glue. The entry code linked into every module calls these from its
// constructor and destructor: the module's shared sections are mapped before
// its process attach runs, and a module whose attach answers FALSE is refused
// by LoadLibraryA.
BOOL platMapModuleSection(HMODULE module, void* start, size_t size, const char* sectionName);
void platUnmapModuleSections(HMODULE module);
void platModuleAttachFailed(HMODULE module);

// Fault injection: make calls of a named platform operation fail. Counting from
// the next call (1), call number `nth` fails, and so do the `count` - 1 calls
// after it; `count` 0 means every call from the nth on. A failing call does what
// the real call does when the system refuses it: it answers the operation's
// failure value and sets the last error. The environment variable
// PLAT_FAULTS_ENV ("Op=nth[:count],Op2=...") seeds the table at process start,
// so a test can make operations fail in a process it starts.
#define PLAT_FAULTS_ENV "KV_PLATFORM_FAULTS"
void platFaultInject(const char* op, unsigned nth, unsigned count);
void platFaultClear(void);
// Number of calls of `op` since the process started or since platFaultClear.
unsigned platFaultCalls(const char* op);
// The operations counted so far, in order of their names: the name of number
// `index` (from 0) into `name`, cut to fit cbName bytes, and its count of
// calls; 0 past the last one (a counted operation has at least one call).
unsigned platFaultCountedOp(unsigned index, char* name, unsigned cbName);
// When the environment names a file here, every process appends to it at its
// normal end one line "PROGRAM OP=CALLS" for each operation it counted.
#define PLAT_FAULT_CALLS_ENV "KV_PLATFORM_FAULT_CALLS"

// Hold points: a test stops a process at an exact step of a hand-off between
// processes and lets it go on when the other side has made its move. A hold
// on `op` (any operation that fault injection counts, or a point named with
// platHoldPoint) holds the calling thread at call number `nth` of `op`,
// counted as platFaultInject counts: the process sets the named event
// "KVHold.TAG.held" and waits for "KVHold.TAG.go"; after PLAT_HOLD_GUARD_MS
// without it the thread goes on, so a test that fails never leaves a process
// hanging. PLAT_HOLDS_ENV ("Op=nth@TAG,Op2=*@TAG2") seeds the holds at
// process start; the processes a process starts inherit the variable.
// With nth PLAT_HOLD_EVERY_CALL ("*"), every call is held: each says once that
// it is held, and each platHoldRelease lets one go on, so a test can step a
// process through a loop of calls.
#define PLAT_HOLDS_ENV "KV_PLATFORM_HOLDS"
#define PLAT_HOLD_GUARD_MS 60000
#define PLAT_HOLD_EVERY_CALL 0xFFFFFFFFu
void platHoldInject(const char* op, unsigned nth, const char* tag);
// A named step of a program's own logic, counted and held like an operation.
void platHoldPoint(const char* name);
// For the test: waits until a process is held at TAG (FALSE after timeoutMs),
// and lets it go on.
BOOL platHoldWait(const char* tag, DWORD timeoutMs);
void platHoldRelease(const char* tag);

// Delays: every call of `op` (an operation that fault injection counts) takes
// `ms` milliseconds of real time longer, before it does its work, as on a disk
// or a system that stalls; 0 takes the delay away. PLAT_DELAYS_ENV
// ("WriteFile=200,Op2=ms") seeds them at process start; the processes a
// process starts inherit the variable.
#define PLAT_DELAYS_ENV "KV_PLATFORM_DELAYS"
void platDelayInject(const char* op, unsigned ms);

// The clock behind GetTickCount, timeGetTime and the time-outs of
// WaitForSingleObject and Sleep, which a test can stop and move on by hand.
// platClockFreeze stops it at its reading, for this process or, with
// fMachine, through the machine root for this process and every process of
// the machine that starts after. While it stands, GetTickCount and
// timeGetTime answer its reading (and are counted, see platFaultCalls), and a
// wait or sleep of more than 1 ms ends only when signalled or when the clock
// has been moved past its end; one of 1 ms or less, a poll for something
// other than the time, still passes in real time. SendMessageTimeoutA keeps
// the real clock. platClockAdvance moves a stopped clock on
// (FALSE when it runs); platClockThaw lets it run again from its reading,
// never back. platClockWaiters: the threads of this process that wait for the
// stopped clock now; each of their looks at it is counted as "ClockWait".
BOOL platClockFreeze(BOOL fMachine);
BOOL platClockAdvance(DWORD ms);
void platClockThaw(void);
unsigned platClockWaiters(void);

// The multimedia layer's driver modules. Which modules serve a device type
// ("midi" for MIDI output, "wave" for wave output) is, in this order: the path
// given to platMmUseDriver, or the PATH of "TYPE=PATH" in the environment
// variable PLAT_MM_DRIVERS_ENV (entries separated by ';', e.g.
// "midi=/opt/kv/KVDRVR32.DLL;wave=/opt/kv/KVDRVR32.DLL"), or, as the platform
// itself does, those of the type's aliases (midi, midi1 ... midi9; wave,
// wave1 ...) registered under HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
// \Drivers32, in that order; one that cannot be loaded is left out, and the
// devices are numbered across the others. A path is a Windows or a host path,
// as LoadLibraryA takes it. The modules are loaded into the process when a
// device of their type is first used and stay loaded until the process exits
// or another module is chosen for their types. platMmUseDriver with a null path goes back to the environment.
// Answers FALSE (ERROR_BUSY) while a device of the type is open, and
// ERROR_INVALID_PARAMETER for an unknown type.
#define PLAT_MM_DRIVERS_ENV "KV_MM_DRIVERS"
BOOL platMmUseDriver(const char* type, const char* path);

// Test hook: while set, DefDriverProc hands its five arguments to the hook and
// answers what the hook answers. Null restores the platform's default answers.
typedef LRESULT (*PLAT_DEFDRIVERPROC_HOOK)(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                                           LPARAM lParam2);
void platSetDefDriverProcHook(PLAT_DEFDRIVERPROC_HOOK hook);

// Test hook: while set, every DriverCallback call is shown to the hook with its
// seven arguments before it is delivered as usual, so tests see the flags a
// driver passes even for notifications that reach nobody.
typedef void (*PLAT_DRIVERCALLBACK_HOOK)(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                                         DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
void platSetDriverCallbackHook(PLAT_DRIVERCALLBACK_HOOK hook);

}  // extern "C"
