#include "host/fluidbind.h"

const char kFluidSynthLibrary[] = "libfluidsynth-3.dll";

namespace {

DWORD attributesOf(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool isFolder(const std::string& path) {
  DWORD a = attributesOf(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool isFile(const std::string& path) {
  DWORD a = attributesOf(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string inFolder(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  char last = dir[dir.size() - 1];
  return dir + (last == '\\' || last == '/' ? "" : "\\") + name;
}

}  // namespace

bool loadFluidSynth(const HostSettings& settings, FluidLibrary* lib) {
  *lib = FluidLibrary();
  std::string beside = settings.folder.empty() ? std::string() : inFolder(settings.folder, kFluidSynthLibrary);
  HMODULE h = nullptr;
  if (!settings.fluidSynth.empty()) {
    lib->source = "FluidSynth= in KVHOST.INI";
    // A relative path is taken from the host's current directory (its install
    // directory), made full: only a full path loads the DLLs beside it.
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(settings.fluidSynth.c_str(), sizeof full, full, nullptr);
    std::string named = n > 0 && n < sizeof full ? std::string(full, n) : settings.fluidSynth;
    lib->path = isFolder(named) ? inFolder(named, kFluidSynthLibrary) : named;
  } else if (!beside.empty() && isFile(beside)) {
    lib->source = "beside the host";
    lib->path = beside;
  } else {
    lib->source = "on the system's search path";
    lib->path = kFluidSynthLibrary;
  }
  // A full path loads the libraries it needs from its own folder.
  if (lib->path == kFluidSynthLibrary)
    h = LoadLibraryA(lib->path.c_str());
  else
    h = LoadLibraryExA(lib->path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!h) {
    DWORD error = GetLastError();
    if (lib->path == kFluidSynthLibrary)
      lib->why = std::string("no FluidSynth: ") + kFluidSynthLibrary +
                 " is neither beside the host nor on the system's search path (error " + std::to_string(error) +
                 "), and KVHOST.INI names none (FluidSynth=)";
    else
      lib->why = "cannot load the FluidSynth library " + lib->path + " (" + lib->source + ", error " +
                 std::to_string(error) + ")";
    return false;
  }
  std::string missing;
  int count = 0;
#define KV_FLUID_TAKE(ret, name, params)                                                                     \
  lib->api.name = reinterpret_cast<ret(__cdecl*) params>(reinterpret_cast<void*>(GetProcAddress(h, #name))); \
  if (!lib->api.name) {                                                                                      \
    missing += (count++ ? ", " : "") + std::string(#name);                                                   \
  }
  KV_FLUID_FUNCTIONS(KV_FLUID_TAKE)
#undef KV_FLUID_TAKE
  if (count) {
    lib->why = "the FluidSynth library " + lib->path + " (" + lib->source + ") lacks " +
               (count == 1 ? "the function " : "the functions ") + missing;
    return false;
  }
  return true;
}

bool findSoundFont(const HostSettings& settings, SoundFontChoice* font) {
  *font = SoundFontChoice();
  if (!settings.soundFont.empty()) {
    font->path = settings.soundFont;
    font->source = "SoundFont= in KVHOST.INI";
  } else if (!settings.folder.empty() && !(font->path = soundFontIn(settings.folder)).empty()) {
    font->source = "beside the host";
  } else {
    for (const char* const* p = kSystemSoundFonts; *p; ++p) {
      if (soundFontFile(*p, &font->openPath, &font->size)) {
        font->path = *p;
        font->source = "installed";
        return true;
      }
    }
    font->why = "no SoundFont: KVHOST.INI names none (SoundFont=), and there is no .sf2 file beside the host";
    if (*kSystemSoundFontPackages)
      font->why += std::string(" nor a General MIDI SoundFont installed (") + kSystemSoundFontPackages + ")";
    return false;
  }
  if (soundFontFile(font->path, &font->openPath, &font->size)) return true;
  font->why = "cannot read the SoundFont " + font->path + " (" + font->source + ")";
  return false;
}
