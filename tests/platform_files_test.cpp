// Files, profiles, text and paths of the emulated machine.
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

class FilesTest : public kvtest::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(platMachineInit());
  }
};

TEST_F(FilesTest, WindowsPathsMapIntoTheMachineRoot) {
  char host[512];
  ASSERT_TRUE(platHostPath("C:\\KV\\Sub/file.ini", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_c/KV/Sub/file.ini");
  ASSERT_TRUE(platHostPath("d:\\x", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_d/x");
  ASSERT_TRUE(platHostPath("/usr/lib/x.so", host, sizeof host));
  EXPECT_STREQ(host, "/usr/lib/x.so");
  ASSERT_TRUE(platHostPath("\\WINDOWS\\win.ini", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_c/WINDOWS/win.ini");
  // An existing entry is found whatever the case of the name.
  ASSERT_TRUE(platHostPath("c:\\windows\\SYSTEM32", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_c/WINDOWS/system32");
  EXPECT_FALSE(platHostPath("C:\\KV", host, 4));
}

// ".." stops at a drive's root, as on the platform, also for a path relative
// to a current directory on a drive; a path of another machine or of the
// device namespace names nothing here. No file call reaches outside the root.
TEST_F(FilesTest, NoWindowsPathLeavesItsDrive) {
  char host[512];
  struct Case {
    const char* win;
    const char* host;
  };
  const Case onDrive[] = {
      {"C:\\..", "/drive_c"},
      {"C:\\..\\..\\..\\etc\\passwd", "/drive_c/etc/passwd"},
      {"C:\\a\\..\\..\\b", "/drive_c/b"},
      {"C:..\\x", "/drive_c/x"},
      {"\\..\\y", "/drive_c/y"},
      {"d:/../../z/./w", "/drive_d/z/w"},
  };
  for (const Case& c : onDrive) {
    ASSERT_TRUE(platHostPath(c.win, host, sizeof host)) << c.win;
    EXPECT_EQ(std::string(host), root + c.host) << c.win;
  }

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((root + "/drive_c/WINDOWS/system32").c_str()), 0);
  ASSERT_TRUE(platHostPath("..\\..\\..\\..\\r", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_c/r");
  ASSERT_TRUE(platHostPath("s", host, sizeof host));
  EXPECT_EQ(std::string(host), root + "/drive_c/WINDOWS/system32/s");

  // Outside the drives, a relative path stays relative to the host's directory.
  std::string scratch = root + "/scratch";
  ASSERT_EQ(mkdir(scratch.c_str(), 0777), 0);
  ASSERT_EQ(chdir(scratch.c_str()), 0);
  for (const char* win : {"\\\\server\\share\\x", "\\\\server", "\\\\.\\pipe\\x", "\\\\?\\C:\\x", "\\/server\\x"}) {
    SCOPED_TRACE(win);
    SetLastError(0);
    EXPECT_FALSE(platHostPath(win, host, sizeof host));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_PATHNAME);
    EXPECT_EQ(CreateFileA(win, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_PATHNAME);
    EXPECT_FALSE(CreateDirectoryA(win, nullptr));
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", (std::string(win) + "\\x.ini").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_PATHNAME);
  }
  EXPECT_EQ(rmdir(scratch.c_str()), 0) << "something was made in the host's directory";
  ASSERT_EQ(chdir(cwd), 0);

  // Two levels above drive_c lies the directory that holds the machine root.
  std::string name = root.substr(root.rfind('/') + 1) + "-escaped";
  std::string outside = root.substr(0, root.rfind('/')) + "/" + name;
  HANDLE file = CreateFileA(("C:\\..\\..\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  bool escaped = unlink(outside.c_str()) == 0;
  EXPECT_FALSE(escaped) << outside;
  EXPECT_EQ(GetFileAttributesA(("C:\\" + name).c_str()), (DWORD)FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FilesTest, SystemDirectoryFollowsThePlatformsSizeRule) {
  char buf[MAX_PATH];
  UINT n = GetSystemDirectoryA(buf, sizeof buf);
  EXPECT_STREQ(buf, "C:\\WINDOWS\\system32");
  EXPECT_EQ(n, 19u);
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetSystemDirectoryA(buf, 19), 20u) << "too small: the size needed, terminator included";
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(GetSystemDirectoryA(buf, 20), 19u);
}

TEST_F(FilesTest, CreateCopyDeleteAndMove) {
  HANDLE h = CreateFileA("C:\\WINDOWS\\system32\\KVDRVR32.001", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  CloseHandle(h);
  EXPECT_EQ(CreateFileA("C:\\WINDOWS\\system32\\KVDRVR32.001", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);

  std::string sys = root + "/drive_c/WINDOWS/system32/";
  kvtest::writeFile(sys + "source.bin", "new contents");
  EXPECT_FALSE(CopyFileA("C:\\WINDOWS\\system32\\source.bin", "C:\\WINDOWS\\system32\\KVDRVR32.001", TRUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.001"), "abc");
  EXPECT_TRUE(CopyFileA("C:\\WINDOWS\\system32\\source.bin", "C:\\WINDOWS\\system32\\KVDRVR32.001", FALSE));
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.001"), "new contents");
  EXPECT_FALSE(CopyFileA("C:\\WINDOWS\\system32\\none.bin", "C:\\WINDOWS\\system32\\x.bin", FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

  EXPECT_FALSE(MoveFileExA("C:\\WINDOWS\\system32\\source.bin", "C:\\WINDOWS\\system32\\KVDRVR32.001", 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\source.bin", "C:\\WINDOWS\\system32\\KVDRVR32.001",
                          MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\system32\\source.bin"), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\system32\\KVDRVR32.001"));
  EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\system32\\KVDRVR32.001"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

  platFaultInject("CopyFileA", 1, 1);
  kvtest::writeFile(sys + "a.bin", "a");
  EXPECT_FALSE(CopyFileA("C:\\WINDOWS\\system32\\a.bin", "C:\\WINDOWS\\system32\\b.bin", FALSE));
  EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\system32\\b.bin"), INVALID_FILE_ATTRIBUTES);
}

// What a writer that fills in a header at the end needs: moving the file
// pointer from each origin, the size, and the refusals that leave the pointer
// where it was.
TEST_F(FilesTest, TheFilePointerMovesAndTheSizeIsKnown) {
  HANDLE h = CreateFileA("C:\\seek.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u) << "the pointer follows the writes";
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
  ASSERT_TRUE(WriteFile(h, "ab", 2, &done, nullptr));
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  char buf[4] = {};
  ASSERT_TRUE(ReadFile(h, buf, 3, &done, nullptr));
  EXPECT_EQ(std::string(buf, done), "789");
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u) << "a refused move leaves the pointer";
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  // With a high half, positions past 4 GiB are reached and reported.
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER) << "no room for the answer";
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  DWORD sizeHigh = 7;
  EXPECT_EQ(GetFileSize(h, &sizeHigh), 10u);
  EXPECT_EQ(sizeHigh, 0u);
  CloseHandle(h);
  EXPECT_EQ(kvtest::readFile(root + "/drive_c/seek.bin"), "01ab456789");
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// A stalled disk: every write of the file takes the delay longer, and a
// write that comes after the delay is taken away is quick again.
TEST_F(FilesTest, ADelayMakesEveryCallOfTheOperationWaitFirst) {
  HANDLE h = CreateFileA("C:\\slow.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  platDelayInject("WriteFile", 150);
  DWORD done = 0;
  for (int i = 0; i < 2; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteFile(h, "ab", 2, &done, nullptr));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150)) << "write " << i;
  }
  // The clock the platform's waits read does not shorten it.
  platClockFreeze(FALSE);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteFile(h, "cd", 2, &done, nullptr));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
  platClockThaw();
  platDelayInject("WriteFile", 0);
  EXPECT_EQ(platFaultCalls("WriteFile"), 3u) << "delayed calls are counted as others are";
  ASSERT_TRUE(WriteFile(h, "ef", 2, &done, nullptr));
  CloseHandle(h);
  EXPECT_EQ(kvtest::readFile(root + "/drive_c/slow.bin"), "ababcdef") << "a delayed call still does its work";
}

TEST_F(FilesTest, DelayedReplacementAndDeletionWaitForTheSystemStart) {
  std::string sys = root + "/drive_c/WINDOWS/system32/";
  kvtest::writeFile(sys + "KVDRVR32.DLL", "old module");
  kvtest::writeFile(sys + "KVDRVR32.003", "new module");
  kvtest::writeFile(sys + "OBSOLETE.DLL", "obsolete");
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\KVDRVR32.003", "C:\\WINDOWS\\system32\\KVDRVR32.DLL",
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\OBSOLETE.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.DLL"), "old module");
  EXPECT_EQ(kvtest::readFile(sys + "OBSOLETE.DLL"), "obsolete");

  EXPECT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.DLL"), "new module");
  EXPECT_EQ(access((sys + "KVDRVR32.003").c_str(), F_OK), -1);
  EXPECT_EQ(access((sys + "OBSOLETE.DLL").c_str(), F_OK), -1);
  // The record is cleared: a second start has nothing to do.
  kvtest::writeFile(sys + "OBSOLETE.DLL", "back");
  EXPECT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::readFile(sys + "OBSOLETE.DLL"), "back");

  // Recorded operations run in order: a deletion recorded before a replacement
  // of the same file leaves the replacement in place.
  kvtest::writeFile(sys + "KVDRVR32.004", "newer module");
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\KVDRVR32.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\KVDRVR32.004", "C:\\WINDOWS\\system32\\KVDRVR32.DLL", 5));
  EXPECT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.DLL"), "newer module");

  platFaultInject("MoveFileExA", 1, 1);
  EXPECT_FALSE(MoveFileExA("C:\\WINDOWS\\system32\\KVDRVR32.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::readFile(sys + "KVDRVR32.DLL"), "newer module");

  // A deletion of a file that is already gone is done; a replacement whose
  // source is missing still fails, and the operations after it still run.
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\GONE.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\GONE.000", "C:\\WINDOWS\\system32\\GONE.DLL", 5));
  EXPECT_TRUE(MoveFileExA("C:\\WINDOWS\\system32\\KVDRVR32.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(platSystemStart(), 1);
  EXPECT_EQ(access((sys + "KVDRVR32.DLL").c_str(), F_OK), -1);
}

TEST_F(FilesTest, ProfileStringsFollowThePlatformsIniRules) {
  kvtest::writeFile(root + "/drive_c/WINDOWS/kelvason.ini",
                    "; comment\r\n"
                    "[KelvasongSetup]\r\n"
                    "  KVDirectory  =  C:\\KV\\  \r\n"
                    "Quoted=\"  spaced value  \"\r\n"
                    "Single='x'\r\n"
                    "Half=\"open\r\n"
                    "Empty=\r\n"
                    "[ Debug ]\r\n"
                    "kvdirectory=D:\\Dbg\r\n"
                    "[debug]\r\n"
                    "kvdirectory=second section is not read\r\n");
  char buf[64];
  EXPECT_EQ(GetPrivateProfileStringA("kelvasongsetup", "kvDIRECTORY", "", buf, sizeof buf, "KELVASON.INI"), 6u);
  EXPECT_STREQ(buf, "C:\\KV\\");
  GetPrivateProfileStringA("KelvasongSetup", "Quoted", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "  spaced value  ");
  GetPrivateProfileStringA("KelvasongSetup", "Single", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "x");
  GetPrivateProfileStringA("KelvasongSetup", "Half", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "\"open");
  EXPECT_EQ(GetPrivateProfileStringA("KelvasongSetup", "Empty", "dflt", buf, sizeof buf, "KELVASON.INI"), 0u);
  EXPECT_STREQ(buf, "");
  GetPrivateProfileStringA("DEBUG", "KVDirectory", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "D:\\Dbg");

  // A missing key or file gives the default (without its trailing blanks).
  EXPECT_EQ(GetPrivateProfileStringA("DEBUG", "Missing", "C:\\Default  ", buf, sizeof buf, "KELVASON.INI"), 10u);
  EXPECT_STREQ(buf, "C:\\Default");
  GetPrivateProfileStringA("DEBUG", "KVDirectory", "none", buf, sizeof buf, "OTHER.INI");
  EXPECT_STREQ(buf, "none");

  // The result is cut to the buffer and always terminated.
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", buf, 4, "KELVASON.INI"), 3u);
  EXPECT_STREQ(buf, "C:\\");
  EXPECT_EQ(buf[4], 'x');
  EXPECT_EQ(GetPrivateProfileStringA("DEBUG", "Missing", "longdefault", buf, 5, "KELVASON.INI"), 4u);
  EXPECT_STREQ(buf, "long");
}

TEST_F(FilesTest, WrittenProfileValuesAreReadBack) {
  EXPECT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV", "KELVASON.INI"));
  EXPECT_TRUE(WritePrivateProfileStringA("DEBUG", "KVDirectory", "D:\\X", "KELVASON.INI"));
  EXPECT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV2", "KELVASON.INI"));
  char buf[64];
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "C:\\KV2");
  EXPECT_TRUE(WritePrivateProfileStringA("DEBUG", "KVDirectory", nullptr, "KELVASON.INI"));
  EXPECT_EQ(GetPrivateProfileStringA("DEBUG", "KVDirectory", "", buf, sizeof buf, "KELVASON.INI"), 0u);
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", buf, sizeof buf, "KELVASON.INI");
  EXPECT_STREQ(buf, "C:\\KV2");
}

TEST_F(FilesTest, CodePage932HasLeadBytesAndItsTrailBytesMayBeBackslashes) {
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_FALSE(IsDBCSLeadByte(0x95));
  ASSERT_TRUE(platSetAnsiCodePage(932));
  EXPECT_EQ(GetACP(), 932u);
  EXPECT_TRUE(IsDBCSLeadByte(0x81));
  EXPECT_TRUE(IsDBCSLeadByte(0x95));
  EXPECT_TRUE(IsDBCSLeadByte(0xFC));
  EXPECT_FALSE(IsDBCSLeadByte(0x5C));
  EXPECT_FALSE(IsDBCSLeadByte(0xA0));
  // U+8868 is the two bytes 0x95 0x5C: one character whose second byte is '\'.
  const WCHAR text[] = {0x8868, 'A', 0};
  char out[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr), 4);
  EXPECT_EQ((unsigned char)out[0], 0x95);
  EXPECT_EQ(out[1], '\\');
  EXPECT_STREQ(out + 2, "A");

  ASSERT_TRUE(platSetAnsiCodePage(1252));
  BOOL usedDefault = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 2, out, sizeof out, nullptr, &usedDefault), 2);
  EXPECT_EQ(out[0], '?');
  EXPECT_TRUE(usedDefault);
}

// GetACP reads the machine's setting without the profile API, as on the
// platform: it leaves the last error alone, and a fault a test injects into
// the profile's reads does not change the code page.
TEST_F(FilesTest, ReadingTheCodePageLeavesTheLastErrorAndTheProfileAlone) {
  ASSERT_TRUE(platSetAnsiCodePage(932));  // the next GetACP reads the setting
  platFaultClear();
  platFaultInject("GetPrivateProfileStringA", 1, 0);
  SetLastError(12345);
  EXPECT_EQ(GetACP(), 932u);
  EXPECT_EQ(GetLastError(), 12345u);
  EXPECT_EQ(platFaultCalls("GetPrivateProfileStringA"), 0u);
  platFaultClear();
}

TEST(Text, WsprintfFormatsAndStopsAt1024Bytes) {
  char buf[1100];
  EXPECT_EQ(wsprintfA(buf, "%s\\%s %s %s", "C:\\KV", "KVMIDI16.EXE", "/OpenKvMidiOut$", "C:\\DRV\\KVDRVR32.DLL"), 54);
  EXPECT_STREQ(buf, "C:\\KV\\KVMIDI16.EXE /OpenKvMidiOut$ C:\\DRV\\KVDRVR32.DLL");
  wsprintfA(buf, "%s\\%s /CONFIG 0 -w %u %u", "C:\\KV", "KVSETUP.EXE", 500u, 4000000000u);
  EXPECT_STREQ(buf, "C:\\KV\\KVSETUP.EXE /CONFIG 0 -w 500 4000000000");
  wsprintfA(buf, "[%.8s][%03u][%04u][%d][%x][%X][%5d][%-4u]", "KVDRVR32.DLL", 7u, 31u, -12, 0xBEEFu, 0xBEEFu, 42, 9u);
  EXPECT_STREQ(buf, "[KVDRVR32][007][0031][-12][beef][BEEF][   42][9   ]");
  wsprintfA(buf, "%s<%04u>", "KVDRVR32.DLL", 12345u);
  EXPECT_STREQ(buf, "KVDRVR32.DLL<12345>");
  std::string big(2000, 'a');
  EXPECT_EQ(wsprintfA(buf, "%s", big.c_str()), 1023);
  EXPECT_EQ(strlen(buf), 1023u);
}

TEST(Text, StringFunctions) {
  EXPECT_EQ(lstrcmpiA("csrss.exe", "CSRSS.EXE"), 0);
  EXPECT_NE(lstrcmpA("csrss.exe", "CSRSS.EXE"), 0);
  EXPECT_LT(lstrcmpiA("a", "B"), 0);
  const WCHAR w[] = {'K', 'V', 0};
  EXPECT_EQ(lstrlenW(w), 2);
  EXPECT_EQ(lstrlenA("KVTSK16.EXE"), 11);
  char dst[16];
  EXPECT_EQ(lstrcpyA(dst, "KVWAVE16.EXE"), dst);
  EXPECT_STREQ(dst, "KVWAVE16.EXE");
}

TEST(Memory, IsBadReadPtrTestsRealMemory) {
  static const char data[64] = "readable";
  EXPECT_FALSE(IsBadReadPtr(data, sizeof data));
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
  long page = sysconf(_SC_PAGESIZE);
  char* pages =
      static_cast<char*>(mmap(nullptr, (size_t)page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, (size_t)page, PROT_NONE), 0);
  EXPECT_FALSE(IsBadReadPtr(pages, (UINT_PTR)page));
  EXPECT_TRUE(IsBadReadPtr(pages + page - 16, 32)) << "a range that runs into an unreadable page";
  EXPECT_TRUE(IsBadReadPtr(pages + page, 1));
  munmap(pages, (size_t)page * 2);
  EXPECT_TRUE(IsBadReadPtr(pages, 1)) << "unmapped";
}
