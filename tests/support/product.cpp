#include "product.h"

#include <fstream>
#include <sstream>

#include "kv/plat.h"

namespace kvtest {

std::string driverModulePath() { return buildDir() + "/KVDRVR32.DLL"; }

bool DriverModule::load(const std::string& path) {
  handle = LoadLibraryA(path.c_str());
  if (!handle) return false;
  auto proc = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(handle, name)); };
  modMessage = reinterpret_cast<DeviceMessageFn>(proc("modMessage"));
  wodMessage = reinterpret_cast<DeviceMessageFn>(proc("wodMessage"));
  driverProc = reinterpret_cast<DriverProcFn>(proc("DriverProc"));
  setMidiLong = reinterpret_cast<SetLongFn>(proc("setgkMidiOutLong"));
  setWaveLong = reinterpret_cast<SetLongFn>(proc("setgkWaveOutLong"));
  midi = static_cast<MidiChannel*>(proc("gkMidiOut"));
  wave = static_cast<WaveChannel*>(proc("gkWaveOut"));
  return modMessage && midi && wave && setMidiLong && setWaveLong;
}

void ProductTest::SetUp() {
  MachineTest::SetUp();
  ASSERT_TRUE(platMachineInit());
  ASSERT_TRUE(CreateDirectoryA("C:\\KV", nullptr));
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV\\", "KELVASON.INI"));
  installProgram("KVTSK16.EXE", "KVTSK16.EXE");
  installProgram("KVTSK16.EXE", "KVMIDI16.EXE");
  installProgram("KVTSK16.EXE", "KVWAVE16.EXE");
}

void ProductTest::hostSetting(const char* key, const char* value) {
  ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value, "C:\\KV\\KVHOST.INI"));
}

void ProductTest::installProgram(const char* buildName, const char* name) {
  std::string target = std::string("C:\\KV\\") + name;
  ASSERT_TRUE(CopyFileA((buildDir() + "/" + buildName).c_str(), target.c_str(), FALSE)) << name;
}

std::string ProductTest::readInstallFile(const char* name) const {
  std::ifstream f(installDir() + "/" + name, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace kvtest
