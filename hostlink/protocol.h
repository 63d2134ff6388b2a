// The names the driver module, its host, the setup program and the tools agree
// on: the windows and the command message, the host's verbs, the owner
// mutexes, the INI files and the registry keys. Each is written here once, so
// no two programs can disagree on it.
#pragma once

// The driver module's file name, in the system directory and in the registered
// drivers' values; the description the registration gives it.
const char KV_DRIVER_FILE[] = "KVDRVR32.DLL";
const char KV_DRIVER_DESCRIPTION[] = "Kelvasong Software-WaveTable-Synthesizer";
// The setup program, in the install directory: the driver's configuration
// command starts it.
const char KV_SETUP_PROGRAM[] = "KVSETUP.EXE";
// The MIDI output device's name, as its capabilities give it; the settings
// window's title.
const char KV_MIDI_DEVICE_NAME[] = "Kelvasong (NT)";
const char KV_SETTINGS_WINDOW_TITLE[] = "Kelvasong Settings";
// Its exit codes, kept stable for the programs that start it (the instance
// window at logon, the settings window's Repair button, the setup file's
// uninstaller).
const int KV_SETUP_DONE = 0;           // done; /REPAIR: repaired or nothing to repair; /CHECK: registered
const int KV_SETUP_FAILED = 1;         // failed, elevation refused; /CHECK: cannot tell
const int KV_SETUP_USAGE = 2;          // the command line was not understood
const int KV_SETUP_NEEDS_REPAIR = 3;   // /CHECK: a registration is lost, /REPAIR puts it back
const int KV_SETUP_NOT_INSTALLED = 4;  // /CHECK: nothing of the registration is there

// The install directory: key KVDirectory of section [KelvasongSetup] of
// KELVASON.INI in the Windows directory; the same key of [DEBUG] overrides it.
const char KV_INI_FILE[] = "KELVASON.INI";
const char KV_INI_SECTION[] = "KelvasongSetup";
const char KV_INI_DEBUG_SECTION[] = "DEBUG";
const char KV_INI_DIR_KEY[] = "KVDirectory";
// The host's settings: section [Host] of KVHOST.INI in the install directory
// (the machine's), and of KVHOST.INI in the folder Kelvasong of the user's
// application data (the user's own, which wins key by key).
const char KV_HOST_INI_FILE[] = "KVHOST.INI";
const char KV_HOST_INI_SECTION[] = "Host";
const char KV_USER_SETTINGS_FOLDER[] = "Kelvasong";

// The product's instance window, without which the wave open starts no host;
// each host's command window, and the registered message its commands come as.
const char KV_INSTANCE_WINDOW_CLASS[] = "KVInstWinClass";
// Held by the instance window's program while it runs, so that a second one
// ends at once; and the value under the machine's Run key that starts it at
// every user's logon.
const char KV_INSTANCE_MUTEX[] = "KVInstWinClass-instance";
const char KV_INSTANCE_RUN_VALUE[] = "KelvasongInstance";
const char KV_HOST_WINDOW_CLASS[] = "KVHostWinClass";
const char KV_HOST_COMMAND_MESSAGE[] = "KVHostCommand";

// The host's command lines: "HOST VERB MODULE", "HOST /Instance", or
// "HOST /Logon", the instance window started at logon, which also checks the
// driver's registration and offers its repair.
const char KV_VERB_MIDI[] = "/OpenKvMidiOut$";
const char KV_VERB_WAVE[] = "/OpenKvWaveOut$";
const char KV_VERB_INSTANCE[] = "/Instance";
const char KV_VERB_LOGON[] = "/Logon";

// The owner mutexes, in the namespace every session shares, so that a client
// of one session finds a live owner of another one holding it. The MIDI one's
// name is also kept, without the namespace, in the module's shared names.
#define KV_OWNER_MUTEX_NAMESPACE "Global\\"
#define KV_MIDI_OWNER_MUTEX_NAME "$_RT_MutexForKVDRVR32-modOpen_$"
const char KV_MIDI_OWNER_MUTEX[] = KV_OWNER_MUTEX_NAMESPACE KV_MIDI_OWNER_MUTEX_NAME;
const char KV_WAVE_OWNER_MUTEX[] = KV_OWNER_MUTEX_NAMESPACE "$_RT_MutexForKVDRVR32-wodOpen_$";

// The registry keys installation and removal write, save and give back.
const char KV_DRIVERS32_KEY[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const char KV_USER_INSTALLABLE_KEY[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Userinstallable.drivers";
const char KV_RELATED_DESC_KEY[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\related.desc";
const char KV_DRIVERS_DESC_KEY[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
const char KV_MEDIA_RESOURCES_KEY[] = "SYSTEM\\CurrentControlSet\\Control\\MediaResources\\MIDI";
const char KV_MIDIMAP_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap";
// The product's own key under HKCU, below its maker's, where the user's mapper
// settings are kept while the driver is installed.
#define KV_MAKER_KEY_NAME "Software\\Orvellin"
#define KV_PRODUCT_KEY_NAME KV_MAKER_KEY_NAME "\\Kelvasong"
const char KV_MAKER_KEY[] = KV_MAKER_KEY_NAME;
const char KV_PRODUCT_KEY[] = KV_PRODUCT_KEY_NAME;
const char KV_MIDIMAP_SAVE_KEY[] = KV_PRODUCT_KEY_NAME "\\MIDIMapSave";
// In the product's key: set once the instance window has offered the user to
// repair a lost registration, so that it is offered once, not at every logon;
// gone again once the registration is whole, and with the removal.
const char KV_REPAIR_OFFERED_VALUE[] = "RepairOffered";
// The mapper's values in KV_MIDIMAP_KEY that installation saves into
// KV_MIDIMAP_SAVE_KEY, sets, and removal gives back, always in this order;
// strings (REG_SZ) or numbers (REG_DWORD).
struct KvMapperValue {
  const char* szName;
  bool fString;
};
const KvMapperValue KV_MIDIMAP_VALUES[] = {
    {"CurrentInstrument", true}, {"UseScheme", false},     {"AutoScheme", false},
    {"DeviceInterface", true},   {"RelativeIndex", false}, {"SetupPreferredAudioDevicesCount", false},
    {"szPname", true},
};
