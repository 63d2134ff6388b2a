// The driver module's exports as the product's other programs reach them (the
// host, the setup program, the tools, the benchmarks and the tests): their
// types, and one loader that finds them all.
#pragma once

#include "hostlink/shared.h"
#include "kvplatform.h"

typedef LRESULT(WINAPI* DriverProcFn)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
typedef DWORD(APIENTRY* DeviceMessageFn)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                         DWORD_PTR dwParam2);
typedef DWORD(WINAPI* SetLongFn)(DWORD dwOffset, DWORD dwValue);
typedef int(WINAPI* InstallFn)(void);

struct KvModule {
  HMODULE handle = nullptr;
  DriverProcFn driverProc = nullptr;
  DeviceMessageFn modMessage = nullptr;
  DeviceMessageFn wodMessage = nullptr;
  SetLongFn setMidiLong = nullptr;
  SetLongFn setWaveLong = nullptr;
  MidiChannel* midi = nullptr;
  WaveChannel* wave = nullptr;
  InstallFn installDriver = nullptr;
  InstallFn removeDriver = nullptr;
  InstallFn midiNumber = nullptr;
};

// Loads the module at szPath into this process, as a client's multimedia layer
// does, and finds its exports; one it lacks stays null. FALSE when the module
// cannot be loaded.
inline BOOL loadKvModule(const char* szPath, KvModule* pModule) {
  HMODULE h = LoadLibraryA(szPath);
  if (!h) return FALSE;
  auto proc = [h](const char* szName) { return reinterpret_cast<void*>(GetProcAddress(h, szName)); };
  pModule->handle = h;
  pModule->driverProc = reinterpret_cast<DriverProcFn>(proc("DriverProc"));
  pModule->modMessage = reinterpret_cast<DeviceMessageFn>(proc("modMessage"));
  pModule->wodMessage = reinterpret_cast<DeviceMessageFn>(proc("wodMessage"));
  pModule->setMidiLong = reinterpret_cast<SetLongFn>(proc("setgkMidiOutLong"));
  pModule->setWaveLong = reinterpret_cast<SetLongFn>(proc("setgkWaveOutLong"));
  pModule->midi = static_cast<MidiChannel*>(proc("gkMidiOut"));
  pModule->wave = static_cast<WaveChannel*>(proc("gkWaveOut"));
  pModule->installDriver = reinterpret_cast<InstallFn>(proc("kvInstallDriverNT"));
  pModule->removeDriver = reinterpret_cast<InstallFn>(proc("kvRemoveDriverNT"));
  pModule->midiNumber = reinterpret_cast<InstallFn>(proc("getKVMidiNumber"));
  return TRUE;
}
