// Elevation on Windows: the token's elevation, and the "runas" verb of the
// shell, which asks the user for consent. The elevated run has a console of
// its own, hidden; it writes its report to a file this run shows.
#include <stdio.h>

// The shell's declarations need the system's own first.
// clang-format off
#include "kvplatform.h"
#include <shellapi.h>
// clang-format on

#include "setup/elevation.h"

bool processElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return read && elevation.TokenIsElevated != 0;
}

namespace {

std::string quoted(const std::string& arg) { return "\"" + arg + "\""; }

void showReport(const char* path) {
  FILE* report = fopen(path, "rb");
  if (!report) return;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, report)) > 0) fwrite(buffer, 1, n, stdout);
  fclose(report);
  fflush(stdout);
}

}  // namespace

int runElevatedWithReport(const std::vector<std::string>& args) {
  char self[MAX_PATH], tempDir[MAX_PATH], report[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self || GetTempPathA(sizeof tempDir, tempDir) == 0 ||
      GetTempFileNameA(tempDir, "KVS", 0, report) == 0) {
    fprintf(stderr, "KVSETUP: cannot prepare the elevated run (error %u)\n", (unsigned)GetLastError());
    return 1;
  }
  std::string parameters;
  for (const std::string& arg : args) parameters += quoted(arg) + " ";
  parameters += "/REPORT " + quoted(report);
  SHELLEXECUTEINFOA run = {};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  run.lpVerb = "runas";
  run.lpFile = self;
  run.lpParameters = parameters.c_str();
  run.nShow = SW_HIDE;
  printf("KVSETUP: changing the registered drivers needs elevation; asking for it\n");
  fflush(stdout);
  if (!ShellExecuteExA(&run) || !run.hProcess) {
    DWORD error = GetLastError();
    DeleteFileA(report);
    if (error == ERROR_CANCELLED)
      fprintf(stderr, "KVSETUP: elevation was refused: run it as administrator. Nothing was changed.\n");
    else
      fprintf(stderr, "KVSETUP: cannot run elevated (error %u): run it as administrator. Nothing was changed.\n",
              (unsigned)error);
    return 1;
  }
  WaitForSingleObject(run.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(run.hProcess, &code);
  CloseHandle(run.hProcess);
  showReport(report);
  DeleteFileA(report);
  return (int)code;
}
