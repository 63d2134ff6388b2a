// The Windows package (scripts/package.sh) installed whole into a 64-bit
// prefix by its 32-bit setup program: both modules, each into its own system
// directory and registry view, both hosts, clients of both bitnesses playing,
// and one removal that takes both. wine-test.sh lays the package out in
// C:\PKG for the 32-bit suite, with the 64-bit suite's binary in C:\kvtests\x64.
#include <stdio.h>

#include <algorithm>
#include <map>
#include <vector>

#include "hostlink/protocol.h"
#include "note.h"
#include "support.h"
#include "tones.h"

using kvwine::Child;

namespace {

const char kPackage[] = "C:\\PKG";
// As this 32-bit process reaches each system directory.
const char kModule32[] = "C:\\windows\\syswow64\\KVDRVR32.DLL";
const char kModule64[] = "C:\\windows\\Sysnative\\KVDRVR32.DLL";

int driverAliases(REGSAM view) {
  int n = 0;
  for (auto& v : kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, view))
    if (v.second == std::to_string(REG_SZ) + ":" + std::string("KVDRVR32.DLL", 13)) ++n;
  return n;
}

DWORD run(const std::string& commandLine) { return kvwine::runShown(commandLine, kPackage, true); }

class WinePackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sizeof(void*) == 8) GTEST_SKIP() << "the 32-bit suite installs the package";
    if (!kvwine::exists(std::string(kPackage) + "\\KVSETUP.EXE") || !kvwine::exists(kvwine::kOtherSuite))
      GTEST_SKIP() << "no package in C:\\PKG (scripts/package.sh before wine-test.sh)";
    // Nothing of the product in either system directory; the package as the
    // install directory, with the suite's host settings.
    DeleteFileA(kModule32);
    DeleteFileA(kModule64);
    CopyFileA((kvwine::installDir() + "\\KVHOST.INI").c_str(), (std::string(kPackage) + "\\KVHOST.INI").c_str(), FALSE);
    ASSERT_EQ(run(std::string(kPackage) + "\\KVSETUP.EXE /DIR " + kPackage), 0u);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    run(std::string(kPackage) + "\\KVSETUP.EXE /DIR C:\\KV");
    CopyFileA("C:\\KV\\KVDRVR32.DLL", kModule32, FALSE);
  }
  void systemStart() { ASSERT_EQ(run("C:\\windows\\system32\\wineboot.exe -r"), 0u); }
  std::string in(const char* name) const { return std::string(kPackage) + "\\" + name; }
};

}  // namespace

TEST_F(WinePackageTest, OneInstallationServesBothBitnessesAndOneRemovalTakesBoth) {
  const auto view32Before = kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, KEY_WOW64_32KEY);
  const auto view64Before = kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, KEY_WOW64_64KEY);
  const auto mapperBefore = kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0);

  ASSERT_EQ(run(in("KVSETUP.EXE") + " /INSTALL"), 0u);
  EXPECT_EQ(driverAliases(KEY_WOW64_32KEY), 2) << "a MIDI and a wave alias in the 32-bit view";
  EXPECT_EQ(driverAliases(KEY_WOW64_64KEY), 2) << "a MIDI and a wave alias in the 64-bit view";
  for (const char* host : {"KVMIDI16.EXE", "KVWAVE16.EXE", "KVMIDI64.EXE", "KVWAVE64.EXE"})
    EXPECT_TRUE(kvwine::exists(in(host))) << host;
  EXPECT_EQ(kvwine::mediaDevices(), 1) << "the 64-bit setup program registers the restart-proof device";
  // The wave device's instance window, for programs that start none.
  EXPECT_TRUE(kvwine::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }))
      << "the installation started the instance window";
  systemStart();
  EXPECT_TRUE(kvwine::exists(kModule32) && kvwine::readFile(kModule32) == kvwine::readFile(in("KVDRVR32.DLL")))
      << "the 32-bit module in SysWOW64";
  EXPECT_TRUE(kvwine::exists(kModule64) && kvwine::readFile(kModule64) == kvwine::readFile(in("x64\\KVDRVR32.DLL")))
      << "the 64-bit module in System32";

  // A client of each bitness plays through its own module and host.
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string playing = " --gtest_brief=1 --gtest_filter=WineMidiTest.Messages*";
  EXPECT_EQ(run(std::string("\"") + self + "\"" + playing), 0u) << "a 32-bit client";
  EXPECT_EQ(run(std::string(kvwine::kOtherSuite) + playing), 0u) << "a 64-bit client";

  // It sounds out of the box: a note from each bitness's client at its pitch.
  kvwine::expectA4From(false, kPackage);
  kvwine::expectA4From(true, kPackage);
  // A chord of 16 notes sounds whole: each pitch stands out where it lies. A4
  // up to E5 in semitones on channel 1, and a quarter-tone above each on
  // channel 2 (its pitch bent by 50 cents): no note lies on another's
  // overtone, the lowest overtone being an octave above the lowest note.
  std::string chord = "C0 C1 5000E1";
  for (int n = 0x45; n <= 0x4C; ++n) {
    char on[2][16];
    snprintf(on[0], sizeof on[0], " 64%02X90", n);
    snprintf(on[1], sizeof on[1], " 64%02X91", n);
    chord += std::string(on[0]) + on[1];
  }
  std::string text;
  unsigned rate = 0;
  std::vector<double> s = kvwine::playFrom(false, kPackage, chord + " +1200", &text, &rate);
  EXPECT_NE(text.find("# 16 note-ons played\n"), std::string::npos) << text;
  size_t start = kvwine::soundStart(s);
  ASSERT_LT(start, s.size()) << "the record is silent\n" << text;
  std::vector<double> strengths;
  for (int k = 0; k < 16; ++k)
    strengths.push_back(
        kvwine::strengthAt(s, start + rate / 10, rate * 8 / 10, rate, kvwine::noteHz(69 + k / 2, k % 2 ? 50 : 0)));
  std::vector<double> sorted = strengths;
  std::sort(sorted.begin(), sorted.end());
  for (int k = 0; k < 16; ++k) {
    printf("%7.2f Hz: %8.2f\n", kvwine::noteHz(69 + k / 2, k % 2 ? 50 : 0), strengths[k]);
    EXPECT_GT(strengths[k], sorted[8] / 10) << "the note at " << kvwine::noteHz(69 + k / 2, k % 2 ? 50 : 0) << " Hz";
  }

  // As an elevated run started by an unelevated one: both reports in its file.
  ASSERT_EQ(run(in("KVSETUP.EXE") + " /REMOVE /REPORT " + in("REPORT.TXT")), 0u);
  const std::string report = kvwine::readFile(in("REPORT.TXT"));
  printf("%s", report.c_str());
  EXPECT_NE(report.find("Removing the Kelvasong driver with C:\\PKG\\KVDRVR32.DLL"), std::string::npos);
  EXPECT_NE(report.find("Removing the Kelvasong driver with C:\\PKG\\x64\\KVDRVR32.DLL"), std::string::npos);
  DeleteFileA(in("REPORT.TXT").c_str());
  EXPECT_EQ(kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, KEY_WOW64_32KEY), view32Before);
  EXPECT_EQ(kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, KEY_WOW64_64KEY), view64Before);
  EXPECT_EQ(kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0), mapperBefore) << "the user's mapper settings";
  for (const char* host : {"KVMIDI16.EXE", "KVWAVE16.EXE", "KVMIDI64.EXE", "KVWAVE64.EXE"})
    EXPECT_FALSE(kvwine::exists(in(host))) << host;
  EXPECT_TRUE(kvwine::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) == nullptr; }))
      << "the removal ended the instance window";
  EXPECT_EQ(kvwine::mediaDevices(), 0) << "the device goes with the last registration";
  systemStart();
  EXPECT_FALSE(kvwine::exists(kModule32));
  EXPECT_FALSE(kvwine::exists(kModule64));
}
