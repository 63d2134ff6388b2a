// The host's two settings files: the user's own, in the user's application
// data, wins key by key over the machine's in the install directory; the
// settings window keeps in the user's file only what differs from the
// machine's, and writes it whole or not at all, also when the writer is
// stopped between writing and replacing.
#include <shlobj.h>
#include <signal.h>

#include <string>
#include <vector>

#include "host/settings.h"
#include "host/settingsfiles.h"
#include "kv/plat.h"
#include "product.h"
#include "setup/settingsform.h"

namespace {

const char kMachine[] = "C:\\KV\\KVHOST.INI";

std::string hostPathOf(const std::string& winPath) {
  char host[4096];
  return platHostPath(winPath.c_str(), host, sizeof host) ? host : "";
}

class SettingsFilesTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    user = userSettingsFile(true);
    ASSERT_FALSE(user.empty());
  }
  void userSetting(const char* key, const char* value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value, user.c_str()));
  }
  HostSettings combined() {
    said.clear();
    return loadHostSettings(settingsFiles("C:\\KV"), &said);
  }
  std::string userText() { return kvtest::readFile(hostPathOf(user)); }
  std::string user;
  std::vector<std::string> said;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(SettingsFilesTest, TheUsersFileLiesInTheUsersApplicationDataBelowTheMachineRoot) {
  char folder[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
  EXPECT_EQ(user, std::string(folder) + "\\Kelvasong\\KVHOST.INI");
  EXPECT_EQ(std::string(folder, 9), "C:\\Users\\");
  EXPECT_TRUE(has(folder, "\\AppData\\Roaming")) << folder;
  EXPECT_EQ(hostPathOf(folder).rfind(root + "/drive_c/Users/", 0), 0u) << hostPathOf(folder);
  EXPECT_EQ(settingsFiles("C:\\KV").user, user);
  EXPECT_EQ(settingsFiles("C:\\KV").machine, kMachine);
  // Without the folder the host reads the machine's file alone.
  platFaultInject("SHGetFolderPathA", 1, 1);
  EXPECT_EQ(settingsFiles("C:\\KV").user, "");
}

TEST_F(SettingsFilesTest, TheUsersSettingsWinKeyByKeyAndAnUnusableOneGivesWayToTheMachines) {
  hostSetting("Gain", "1");
  hostSetting("Polyphony", "64");
  hostSetting("SoundFont", "C:\\KV\\MACHINE.SF2");
  hostSetting("LatencyMs", "40");
  userSetting("Gain", "2.5");
  // Present but empty: the user chose the default search over the machine's bank.
  userSetting("SoundFont", "");
  userSetting("LatencyMs", "soon");
  HostSettings s = combined();
  EXPECT_EQ(s.gain, 2.5);
  EXPECT_EQ(s.polyphony, 64u) << "the user's file does not have it";
  EXPECT_EQ(s.soundFont, "");
  EXPECT_EQ(s.soundFontFrom, kUserSettingsLabel);
  EXPECT_EQ(s.midiRecord, "KVMIDIIN") << "the machine's diagnostic keys hold";
  EXPECT_EQ(s.latencyMs, 40u);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0],
            "the user's KVHOST.INI: LatencyMs=soon is not a whole number from 1 to 1000; using KVHOST.INI's 40");
  // Both unusable: the default.
  hostSetting("LatencyMs", "later");
  s = combined();
  EXPECT_EQ(s.latencyMs, 20u);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_TRUE(has(said[0], "LatencyMs=soon is not a whole number from 1 to 1000; using the default 20")) << said[0];
  EXPECT_EQ(said[1], "KVHOST.INI: LatencyMs=later is not a whole number from 1 to 1000; using the default 20");
}

TEST_F(SettingsFilesTest, TheSetupProgramShowsTheBankTheUsersFileNames) {
  userSetting("SoundFont", "C:\\KV\\MINE.SF2");
  std::string out;
  kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/CONFIG"}, &out);
  EXPECT_TRUE(has(out, "cannot read the SoundFont C:\\KV\\MINE.SF2 (SoundFont= in the user's KVHOST.INI)")) << out;
  EXPECT_TRUE(has(out, "install directory  C:\\KV")) << "without windows /CONFIG prints\n" << out;
}

TEST(IniSectionTest, ChangesTouchOnlyTheirKeysInTheFirstSectionOfTheName) {
  const std::string text =
      "; mine\r\n[Other]\r\nGain=9\r\n[host]\r\n  gain = 1 \r\nPolyphony=8\r\n; a note\r\nGAIN=3\r\n\r\n"
      "[Later]\r\nX=1\r\n[Host]\r\nGain=7\r\n";
  std::vector<SettingChange> changes = {{"Gain", false, "0.25"}, {"Polyphony", true, ""}, {"Reverb", false, "0"}};
  EXPECT_EQ(editIniSection(text, "Host", changes),
            "; mine\r\n[Other]\r\nGain=9\r\n[host]\r\nGain=0.25\r\n; a note\r\nReverb=0\r\n\r\n"
            "[Later]\r\nX=1\r\n[Host]\r\nGain=7\r\n");
  EXPECT_EQ(editIniSection("", "Host", changes), "[Host]\r\nGain=0.25\r\nReverb=0\r\n");
  EXPECT_EQ(editIniSection("[Other]\nA=1", "Host", {{"Chorus", false, "1"}}),
            "[Other]\r\nA=1\r\n\r\n[Host]\r\nChorus=1\r\n");
  EXPECT_EQ(editIniSection("[Host]\r\nGain=1\r\n", "Host", {{"Gain", true, ""}}), "[Host]\r\n");
}

// Apply keeps in the user's file what differs from the machine's settings, so
// that a later change of the machine's reaches the user for every other key.
TEST_F(SettingsFilesTest, ApplyKeepsWhatDiffersFromTheMachineAndRefusesWhatTheHostCannotUse) {
  hostSetting("Polyphony", "128");
  userSetting("Chorus", "0");
  SettingsForm form = formFor(combined());
  EXPECT_EQ(form.polyphony, "128");
  EXPECT_FALSE(form.chorus);
  EXPECT_EQ(form.gain, "0.5");
  form.gain = "0.75";
  form.soundFont = "C:\\Banks\\Big.sf2";
  form.chorus = true;
  std::string why;
  ASSERT_TRUE(applyForm(form, settingsFiles("C:\\KV"), &why)) << why;
  EXPECT_EQ(userText(), "[Host]\r\nSoundFont=C:\\Banks\\Big.sf2\r\nGain=0.75\r\n");
  HostSettings s = combined();
  EXPECT_EQ(s.gain, 0.75);
  EXPECT_EQ(s.soundFont, "C:\\Banks\\Big.sf2");
  EXPECT_TRUE(s.chorus);

  // The machine's value again (written otherwise): the user follows the machine.
  form.gain = "0.50";
  ASSERT_TRUE(applyForm(form, settingsFiles("C:\\KV"), &why)) << why;
  EXPECT_EQ(userText(), "[Host]\r\nSoundFont=C:\\Banks\\Big.sf2\r\n");

  const std::string before = userText();
  for (auto bad : std::vector<std::pair<std::string, std::string>>{
           {"0", "Polyphony=0 is not a whole number from 1 to 65535"}, {"", "Polyphony needs a value"}}) {
    form.polyphony = bad.first;
    EXPECT_FALSE(applyForm(form, settingsFiles("C:\\KV"), &why));
    EXPECT_EQ(why, bad.second);
    EXPECT_EQ(userText(), before);
  }
  form.polyphony = "128";
  form.gain = "loud";
  EXPECT_FALSE(applyForm(form, settingsFiles("C:\\KV"), &why));
  EXPECT_EQ(why, "Gain=loud is not a number from 0 to 10");
}

// Every step of the write that can fail leaves the old file as it was, and
// nothing beside it.
TEST_F(SettingsFilesTest, AWriteThatFailsAtAnyStepLeavesTheOldFileWhole) {
  userSetting("Gain", "0.25");
  userSetting("Polyphony", "32");
  const std::string before = userText();
  struct Step {
    const char* op;
    unsigned nth;  // CreateFileA: the first call reads the old file
    const char* said;
  } steps[] = {{"CreateFileA", 1, "cannot read"},
               {"CreateFileA", 2, "cannot create"},
               {"WriteFile", 1, "cannot write"},
               {"FlushFileBuffers", 1, "cannot flush"},
               {"MoveFileExA", 1, "cannot replace"}};
  for (const Step& step : steps) {
    platFaultClear();
    platFaultInject(step.op, step.nth, 1);
    std::string why;
    EXPECT_FALSE(writeUserSettings(user, {{"Gain", false, "4"}}, &why)) << step.op;
    EXPECT_EQ(why.rfind(step.said, 0), 0u) << step.op << ": " << why;
    EXPECT_EQ(userText(), before) << step.op;
    EXPECT_FALSE(kvtest::fileExists(hostPathOf(user + ".new"))) << step.op;
  }
  platFaultClear();
  std::string why;
  ASSERT_TRUE(writeUserSettings(user, {{"Gain", false, "4"}}, &why)) << why;
  EXPECT_EQ(userText(), "[Host]\r\nGain=4\r\nPolyphony=32\r\n");
}

// Writes the user's settings with Gain=ARG; the platform holds it before the
// replace when the test asks.
KV_HELPER(write_user_settings) {
  std::string why;
  bool written = argc == 2 && writeUserSettings(userSettingsFile(true), {{"Gain", false, argv[1]}}, &why);
  kvtest::say(written ? "written" : why);
  return written ? 0 : 1;
}

// A writer that dies between writing the new file and replacing the old one
// (a crash, a power cut) leaves the old file whole; the next write goes
// through over what it left.
TEST_F(SettingsFilesTest, AWriterStoppedBetweenWritingAndReplacingLeavesTheOldFileWhole) {
  userSetting("Gain", "0.25");
  const std::string before = userText();
  setenv(PLAT_HOLDS_ENV, "MoveFileExA=1@settings-replace", 1);
  kvtest::Child writer("write_user_settings", {"3"});
  unsetenv(PLAT_HOLDS_ENV);
  ASSERT_TRUE(platHoldWait("settings-replace", 20000)) << "the writer never came to the replace";
  EXPECT_EQ(kvtest::readFile(hostPathOf(user + ".new")), "[Host]\r\nGain=3\r\n") << "written and flushed before";
  EXPECT_EQ(userText(), before);
  writer.kill();
  EXPECT_EQ(writer.wait(), -SIGKILL);
  EXPECT_EQ(userText(), before);
  HostSettings s = combined();
  EXPECT_EQ(s.gain, 0.25);
  EXPECT_TRUE(said.empty());

  kvtest::Child again("write_user_settings", {"2"});
  EXPECT_EQ(again.expectLine(), "written");
  EXPECT_EQ(again.wait(), 0);
  EXPECT_EQ(userText(), "[Host]\r\nGain=2\r\n");
  EXPECT_FALSE(kvtest::fileExists(hostPathOf(user + ".new")));
}

TEST_F(SettingsFilesTest, TheStateTellsTheRegistrationTheHostsAndTheSynthesizer) {
  std::string out;
  ASSERT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/STATE"}, &out), 0) << out;
  EXPECT_TRUE(has(out, "  registered  no (no alias among the registered drivers names KVDRVR32.DLL)\n")) << out;
  EXPECT_TRUE(has(out, "  host        KVTSK16.EXE present, copies present\n")) << out;
  ASSERT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/INSTALL"}, &out), 0) << out;
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVWAVE16.EXE"));
  userSetting("FluidSynth", "C:\\Nowhere\\libfluidsynth-3.dll");
  ASSERT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/STATE"}, &out), 0) << out;
  EXPECT_TRUE(has(out, "  registered  yes, as midi and wave\n")) << out;
  EXPECT_TRUE(has(out, "  host        KVTSK16.EXE present, KVWAVE16.EXE missing\n")) << out;
  EXPECT_TRUE(has(out,
                  "  FluidSynth  C:\\Nowhere\\libfluidsynth-3.dll (FluidSynth= in the user's KVHOST.INI): does not "
                  "load: cannot load"))
      << out;
  EXPECT_TRUE(has(out, ": not tried without FluidSynth\n")) << out;
  userSetting("FluidSynth", nullptr);
  ASSERT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/STATE"}, &out), 0) << out;
  EXPECT_TRUE(has(out, "): loads\n  SoundFont   ")) << out;
  EXPECT_EQ(out.substr(out.size() - 8), ": loads\n") << out;
}
