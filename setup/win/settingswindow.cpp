// The settings window on Windows: a dialog (settings.rc) over the form of
// setup/settingsform.h. The state of each bitness, the test phrase and the
// repair run on threads of their own, each posting its outcome to the
// dialog, so that the window answers while a large bank loads or the user is
// asked for elevation.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

// The system's declarations first: the shell's, the common controls' and the
// audio devices' need them.
// clang-format off
#include "kvplatform.h"
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <propsys.h>
// clang-format on

#include "host/modulecheck.h"
#include "hostlink/hostlink.h"
#include "hostlink/protocol.h"
#include "setup/settingsform.h"
#include "setup/settingswindow.h"
#include "setup/state.h"
#include "setup/win/settingsids.h"

namespace {

// What the threads post: lParam carries a std::string the dialog takes over.
const UINT WM_KV_STATE = WM_APP + 1;
const UINT WM_KV_PLAYED = WM_APP + 2;
const UINT WM_KV_REPAIRED = WM_APP + 3;

// The device's friendly name, a property of every audio endpoint.
const PROPERTYKEY kFriendlyName = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

// An output device as the list shows it, and as OutputDevice= names it: by its
// name, or by its id where the name has characters the ANSI code page of
// KVHOST.INI lacks.
struct OutputDevice {
  std::string shown;
  std::string value;
};

struct Window {
  HWND dialog = nullptr;
  std::vector<OutputDevice> devices;  // the list's entries after the default
  HWND owner = nullptr;
  std::string installDir;
  SettingsFiles files;
  // Each look at the state has a number; only the latest one's is shown.
  LONG stateLook = 0;
  bool settingVolume = false;
};

Window window;

std::string textOf(int id) {
  HWND control = GetDlgItem(window.dialog, id);
  std::vector<char> text((size_t)GetWindowTextLengthA(control) + 1);
  GetWindowTextA(control, text.data(), (int)text.size());
  return text.data();
}

void say(const std::string& status) { SetDlgItemTextA(window.dialog, IDC_STATUS, status.c_str()); }

// Hands `text` to the dialog; dropped when the dialog is gone.
void post(UINT message, WPARAM wParam, const std::string& text) {
  std::string* copy = new std::string(text);
  if (!PostMessageA(window.dialog, message, wParam, reinterpret_cast<LPARAM>(copy))) delete copy;
}

std::string takePosted(LPARAM lParam) {
  std::string* text = reinterpret_cast<std::string*>(lParam);
  std::string out = *text;
  delete text;
  return out;
}

HANDLE startThread(LPTHREAD_START_ROUTINE body, void* argument) {
  HANDLE thread = CreateThread(nullptr, 0, body, argument, 0, nullptr);
  if (thread) CloseHandle(thread);
  return thread;
}

std::string ownProgram() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  return std::string(self, n < sizeof self ? n : 0);
}

// The setup program of the other bitness, as the package lays them out: the
// 64-bit one in x64\ below the 32-bit one.
std::string otherSetupProgram() {
  std::string self = ownProgram();
  std::string dir = self.substr(0, self.find_last_of("\\/") + 1);
  if (hostBits() == 32) return dir + "x64\\" + KV_SETUP_PROGRAM;
  if (dir.size() > 4 && lstrcmpiA(dir.substr(dir.size() - 4).c_str(), "x64\\") == 0)
    return dir.substr(0, dir.size() - 4) + KV_SETUP_PROGRAM;
  return "";
}

// What `commandLine` prints on standard output; empty when it cannot run.
std::string outputOf(const std::string& commandLine) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return "";
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                window.installDir.c_str(), &si, &pi);
  CloseHandle(writeEnd);
  std::string out;
  if (started) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(readEnd);
  return out;
}

std::string lines(const std::vector<std::string>& text) {
  std::string out;
  for (const std::string& line : text) out += line + "\r\n";
  return out;
}

// ---- the state of each bitness --------------------------------------------------------

DWORD WINAPI lookAtState(void* number) {
  std::string text = lines(describeState(ownBitnessState(window.installDir, window.files)));
  // The other bitness's own setup program loads its library and bank; where it
  // is missing, the library is found by the files' headers alone.
  std::string other = otherSetupProgram();
  std::string theirs;
  if (!other.empty() && GetFileAttributesA(other.c_str()) != INVALID_FILE_ATTRIBUTES)
    theirs = outputOf("\"" + other + "\" /STATE");
  if (theirs.empty()) theirs = lines(describeState(otherBitnessState(window.installDir, window.files)));
  std::string shown = hostBits() == 32 ? text + theirs : theirs + text;
  std::string crlf;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\n' && (i == 0 || shown[i - 1] != '\r')) crlf += '\r';
    crlf += shown[i];
  }
  post(WM_KV_STATE, (WPARAM)(LONG_PTR)number, crlf);
  return 0;
}

void refreshState() {
  SetDlgItemTextA(window.dialog, IDC_STATE, "Looking at the installation...");
  LONG number = InterlockedIncrement(&window.stateLook);
  if (!startThread(lookAtState, reinterpret_cast<void*>((LONG_PTR)number)))
    SetDlgItemTextA(window.dialog, IDC_STATE, "Cannot look at the installation.");
}

// ---- the test phrase ------------------------------------------------------------------

// A C major arpeggio on the piano, then its chord.
DWORD WINAPI playPhrase(void*) {
  UINT device = midiOutGetNumDevs();
  for (UINT i = 0; i < midiOutGetNumDevs(); ++i) {
    MIDIOUTCAPSA caps = {};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && strcmp(caps.szPname, KV_MIDI_DEVICE_NAME) == 0)
      device = i;
  }
  if (device == midiOutGetNumDevs()) {
    post(WM_KV_PLAYED, 0,
         std::string(KV_MIDI_DEVICE_NAME) + " is not among the MIDI devices: is the driver installed? (Repair)");
    return 0;
  }
  HMIDIOUT out = nullptr;
  MMRESULT rc = midiOutOpen(&out, device, 0, 0, CALLBACK_NULL);
  if (rc != MMSYSERR_NOERROR) {
    char why[MAXERRORLENGTH] = "";
    midiOutGetErrorTextA(rc, why, sizeof why);
    post(WM_KV_PLAYED, 0, std::string("Cannot open ") + KV_MIDI_DEVICE_NAME + ": " + why);
    return 0;
  }
  const int notes[] = {60, 64, 67, 72};
  midiOutShortMsg(out, 0x0000C0);
  for (int note : notes) {
    midiOutShortMsg(out, 0x640090 | (DWORD)note << 8);
    Sleep(250);
    midiOutShortMsg(out, 0x000080 | (DWORD)note << 8);
  }
  for (int note : notes) midiOutShortMsg(out, 0x640090 | (DWORD)note << 8);
  Sleep(1000);
  for (int note : notes) midiOutShortMsg(out, 0x000080 | (DWORD)note << 8);
  midiOutClose(out);
  post(WM_KV_PLAYED, 1, std::string("Played the test phrase on ") + KV_MIDI_DEVICE_NAME + ".");
  return 0;
}

// ---- the repair ---------------------------------------------------------------------

// KVSETUP.EXE /REPAIR, elevated for that step only: it registers again a
// bitness whose registration Windows removed.
DWORD WINAPI repair(void*) {
  // The shell's verbs may need COM on the thread that asks for them.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  std::string self = ownProgram();
  SHELLEXECUTEINFOA run = {};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  run.hwnd = window.dialog;
  run.lpVerb = "runas";
  run.lpFile = self.c_str();
  run.lpParameters = "/REPAIR";
  run.lpDirectory = window.installDir.c_str();
  run.nShow = SW_HIDE;
  if (!ShellExecuteExA(&run) || !run.hProcess) {
    DWORD error = GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    post(WM_KV_REPAIRED, 0,
         error == ERROR_CANCELLED ? "Nothing was repaired: elevation was refused."
                                  : "Cannot run the repair (error " + std::to_string(error) + ").");
    return 0;
  }
  WaitForSingleObject(run.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(run.hProcess, &code);
  CloseHandle(run.hProcess);
  if (SUCCEEDED(com)) CoUninitialize();
  post(WM_KV_REPAIRED, code == 0, code == 0 ? "Repaired: both bitnesses are registered." : "The repair failed.");
  return 0;
}

// ---- the controls ----------------------------------------------------------------------

void showGainOnSlider(const std::string& text) {
  char* end = nullptr;
  double gain = strtod(text.c_str(), &end);
  if (end == text.c_str() || !isfinite(gain)) return;
  long position = lround(gain / KV_VOLUME_STEP);
  if (position < 0) position = 0;
  if (position > KV_VOLUME_STEPS) position = KV_VOLUME_STEPS;
  SendDlgItemMessageA(window.dialog, IDC_VOLUME, TBM_SETPOS, TRUE, position);
}

void gainFromSlider() {
  LRESULT position = SendDlgItemMessageA(window.dialog, IDC_VOLUME, TBM_GETPOS, 0, 0);
  window.settingVolume = true;
  SetDlgItemTextA(window.dialog, IDC_GAIN, gainText((double)position * KV_VOLUME_STEP).c_str());
  window.settingVolume = false;
}

// The active output devices, by the system's own enumeration.
std::vector<OutputDevice> outputDevices() {
  std::vector<OutputDevice> names;
  IMMDeviceEnumerator* devices = nullptr;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(&devices))))
    return names;
  IMMDeviceCollection* active = nullptr;
  UINT count = 0;
  if (SUCCEEDED(devices->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &active)) &&
      SUCCEEDED(active->GetCount(&count))) {
    for (UINT i = 0; i < count; ++i) {
      IMMDevice* device = nullptr;
      IPropertyStore* properties = nullptr;
      if (SUCCEEDED(active->Item(i, &device)) && SUCCEEDED(device->OpenPropertyStore(STGM_READ, &properties))) {
        PROPVARIANT name;
        PropVariantInit(&name);
        LPWSTR id = nullptr;
        if (SUCCEEDED(properties->GetValue(kFriendlyName, &name)) && name.vt == VT_LPWSTR &&
            SUCCEEDED(device->GetId(&id))) {
          char text[512], idText[512];
          BOOL lost = FALSE;
          if (WideCharToMultiByte(CP_ACP, 0, name.pwszVal, -1, text, sizeof text, nullptr, &lost) > 0 &&
              WideCharToMultiByte(CP_ACP, 0, id, -1, idText, sizeof idText, nullptr, nullptr) > 0)
            names.push_back({text, lost ? idText : text});
        }
        CoTaskMemFree(id);
        PropVariantClear(&name);
      }
      if (properties) properties->Release();
      if (device) device->Release();
    }
  }
  if (active) active->Release();
  devices->Release();
  return names;
}

void fillDevices(const std::string& chosen) {
  HWND combo = GetDlgItem(window.dialog, IDC_DEVICE);
  SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("The system's default device"));
  window.devices = outputDevices();
  int selected = 0;
  for (size_t i = 0; i < window.devices.size(); ++i) {
    const OutputDevice& d = window.devices[i];
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(d.shown.c_str()));
    if (d.value == chosen || d.shown == chosen) selected = (int)i + 1;
  }
  // A device named in the settings that is not there now stays chosen.
  if (!chosen.empty() && selected == 0) {
    window.devices.push_back({chosen + " (not there now)", chosen});
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(window.devices.back().shown.c_str()));
    selected = (int)window.devices.size();
  }
  SendMessageA(combo, CB_SETCURSEL, (WPARAM)selected, 0);
}

std::string chosenDevice() {
  LRESULT at = SendDlgItemMessageA(window.dialog, IDC_DEVICE, CB_GETCURSEL, 0, 0);
  if (at <= 0 || (size_t)at > window.devices.size()) return "";
  return window.devices[(size_t)at - 1].value;
}

void fill(const SettingsForm& form) {
  SetDlgItemTextA(window.dialog, IDC_BANK, form.soundFont.c_str());
  SendDlgItemMessageA(window.dialog, IDC_VOLUME, TBM_SETRANGE, FALSE, MAKELPARAM(0, KV_VOLUME_STEPS));
  SendDlgItemMessageA(window.dialog, IDC_VOLUME, TBM_SETTICFREQ, 10, 0);
  SetDlgItemTextA(window.dialog, IDC_GAIN, form.gain.c_str());
  showGainOnSlider(form.gain);
  SetDlgItemTextA(window.dialog, IDC_POLYPHONY, form.polyphony.c_str());
  SetDlgItemTextA(window.dialog, IDC_LATENCY, form.latencyMs.c_str());
  CheckDlgButton(window.dialog, IDC_REVERB, form.reverb ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(window.dialog, IDC_CHORUS, form.chorus ? BST_CHECKED : BST_UNCHECKED);
  fillDevices(form.outputDevice);
}

SettingsForm formOfControls() {
  SettingsForm form;
  form.soundFont = textOf(IDC_BANK);
  form.gain = textOf(IDC_GAIN);
  form.polyphony = textOf(IDC_POLYPHONY);
  form.latencyMs = textOf(IDC_LATENCY);
  form.reverb = IsDlgButtonChecked(window.dialog, IDC_REVERB) == BST_CHECKED;
  form.chorus = IsDlgButtonChecked(window.dialog, IDC_CHORUS) == BST_CHECKED;
  form.outputDevice = chosenDevice();
  return form;
}

void browse() {
  // The dialog starts at the bank chosen now; it refuses to open at all on a
  // name that is not a file.
  char file[MAX_PATH] = "";
  std::string now = textOf(IDC_BANK);
  DWORD attributes = GetFileAttributesA(now.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    lstrcpynA(file, now.c_str(), sizeof file);
  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = window.dialog;
  ofn.lpstrFilter = "Sound banks (*.sf2, *.dls)\0*.sf2;*.dls\0All files\0*.*\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrTitle = "Choose a SoundFont or DLS bank";
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (GetOpenFileNameA(&ofn)) SetDlgItemTextA(window.dialog, IDC_BANK, file);
}

// Writes the user's file; says what happened. True when it was written.
bool apply() {
  std::string why;
  if (!applyForm(formOfControls(), window.files, &why)) {
    say("Not saved: " + why + ".");
    return false;
  }
  say("Saved. The synthesizer takes the settings at the next open of the device.");
  refreshState();
  return true;
}

void placeWindow() {
  RECT area, mine;
  if (!window.owner || !IsWindow(window.owner) || !GetWindowRect(window.owner, &area))
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  GetWindowRect(window.dialog, &mine);
  int w = mine.right - mine.left, h = mine.bottom - mine.top;
  SetWindowPos(window.dialog, nullptr, area.left + (area.right - area.left - w) / 2,
               area.top + (area.bottom - area.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void start(HWND dialog) {
  window.dialog = dialog;
  SetWindowTextA(dialog, KV_SETTINGS_WINDOW_TITLE);
  std::vector<std::string> said;
  fill(formFor(loadHostSettings(window.files, &said)));
  std::string where =
      "Your settings: " + (window.files.user.empty() ? "(no application-data folder)" : window.files.user) +
      "\r\nThey win over the machine's: " + window.files.machine;
  SetDlgItemTextA(dialog, IDC_WHERE, where.c_str());
  if (!said.empty()) say(said[0]);
  SendDlgItemMessageA(dialog, IDC_REPAIR, BCM_SETSHIELD, 0, TRUE);
  placeWindow();
  refreshState();
  SetForegroundWindow(dialog);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: start(dialog); return TRUE;
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(dialog, IDC_VOLUME)) gainFromSlider();
      return TRUE;
    case WM_KV_STATE: {
      std::string text = takePosted(lParam);
      if ((LONG)wParam == window.stateLook) SetDlgItemTextA(dialog, IDC_STATE, text.c_str());
      return TRUE;
    }
    case WM_KV_PLAYED:
      say(takePosted(lParam));
      EnableWindow(GetDlgItem(dialog, IDC_PLAY), TRUE);
      return TRUE;
    case WM_KV_REPAIRED:
      say(takePosted(lParam));
      EnableWindow(GetDlgItem(dialog, IDC_REPAIR), TRUE);
      refreshState();
      return TRUE;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE: browse(); return TRUE;
        case IDC_GAIN:
          if (HIWORD(wParam) == EN_CHANGE && !window.settingVolume) showGainOnSlider(textOf(IDC_GAIN));
          return TRUE;
        case IDC_APPLY: apply(); return TRUE;
        case IDOK:
          if (apply()) EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL: EndDialog(dialog, IDCANCEL); return TRUE;
        case IDC_PLAY:
          EnableWindow(GetDlgItem(dialog, IDC_PLAY), FALSE);
          say("Playing the test phrase...");
          if (!startThread(playPhrase, nullptr)) EnableWindow(GetDlgItem(dialog, IDC_PLAY), TRUE);
          return TRUE;
        case IDC_REPAIR:
          EnableWindow(GetDlgItem(dialog, IDC_REPAIR), FALSE);
          say("Repairing: Windows asks for your consent...");
          if (!startThread(repair, nullptr)) EnableWindow(GetDlgItem(dialog, IDC_REPAIR), TRUE);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

}  // namespace

int runSettingsWindow(const char* owner) {
  // One window: asked again, the open one comes to the front.
  if (HWND open = FindWindowA("#32770", KV_SETTINGS_WINDOW_TITLE)) {
    SetForegroundWindow(open);
    return 0;
  }
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  window.installDir = dir;
  window.files = settingsFiles(window.installDir);
  window.owner = owner ? reinterpret_cast<HWND>((ULONG_PTR)strtoul(owner, nullptr, 10)) : nullptr;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The device list and the file browser are the shell's and the audio
  // system's objects, which want a single-threaded apartment.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INT_PTR ended = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, dialogProc, 0);
  if (SUCCEEDED(com)) CoUninitialize();
  return ended == -1 ? 1 : 0;
}
