#include "host/fluidbind.h"

#include "host/modulecheck.h"

const char kFluidSynthLibrary[] = "libfluidsynth-3.dll";

const char* fluidSynthFolder(int bits) { return bits == 64 ? "x64" : "x86"; }

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

void findFluidSynth(const HostSettings& settings, int bits, FluidLibrary* lib) {
  *lib = FluidLibrary();
  // A library of the other bitness would not load (or, named by a bare name,
  // be passed over by the loader without a word): it is said and passed over.
  auto ownBitness = [&](const std::string& path, const std::string& source) {
    int found = moduleFileBits(path.c_str());
    if (found == 0 || found == bits) {
      lib->path = path;
      lib->source = source;
      return true;
    }
    lib->passedOver.push_back(path + " (" + source + ") is a " + std::to_string(found) + "-bit library; this " +
                              std::to_string(bits) + "-bit host passed it over");
    return false;
  };
  if (!settings.fluidSynth.empty()) {
    // A relative path is taken from the host's current directory (its install
    // directory), made full: only a full path loads the DLLs beside it.
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(settings.fluidSynth.c_str(), sizeof full, full, nullptr);
    std::string named = n > 0 && n < sizeof full ? std::string(full, n) : settings.fluidSynth;
    if (ownBitness(isFolder(named) ? inFolder(named, kFluidSynthLibrary) : named,
                   "FluidSynth= in " + settings.fluidSynthFrom))
      return;
  }
  if (!settings.folder.empty()) {
    std::string beside = inFolder(settings.folder, kFluidSynthLibrary);
    if (isFile(beside) && ownBitness(beside, "beside the host")) return;
    std::string own = inFolder(inFolder(settings.folder, fluidSynthFolder(bits)), kFluidSynthLibrary);
    if (isFile(own) && ownBitness(own, std::string("in the host's ") + fluidSynthFolder(bits) + " folder")) return;
  }
  lib->path = kFluidSynthLibrary;
  lib->source = "on the system's search path";
}

bool loadFluidSynth(const HostSettings& settings, FluidLibrary* lib) {
  findFluidSynth(settings, hostBits(), lib);
  // A full path loads the libraries it needs from its own folder.
  HMODULE h = lib->path == kFluidSynthLibrary
                  ? LoadLibraryA(lib->path.c_str())
                  : LoadLibraryExA(lib->path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!h) {
    DWORD error = GetLastError();
    if (lib->path != kFluidSynthLibrary)
      lib->why = "cannot load the FluidSynth library " + lib->path + " (" + lib->source + ", error " +
                 std::to_string(error) + ")";
    else if (error == ERROR_BAD_EXE_FORMAT)
      lib->why = std::string("the ") + kFluidSynthLibrary + " on the system's search path is not a " +
                 std::to_string(hostBits()) + "-bit library";
    else
      lib->why = std::string("no FluidSynth: ") + kFluidSynthLibrary +
                 " is neither beside the host, nor in the host's " + fluidSynthFolder(hostBits()) +
                 " folder, nor on the system's search path (error " + std::to_string(error) + "), and " +
                 (settings.fluidSynth.empty() ? "KVHOST.INI names none (FluidSynth=)"
                                              : "the one KVHOST.INI names (FluidSynth=) is of the other bitness");
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
    font->source = "SoundFont= in " + settings.soundFontFrom;
  } else if (!settings.folder.empty() && !(font->path = soundFontIn(settings.folder)).empty()) {
    font->source = "beside the host";
  } else {
    SystemSoundFonts system = systemSoundFonts();
    for (const std::string& path : system.paths) {
      if (soundFontFile(path, &font->openPath, &font->size)) {
        font->path = path;
        font->source = system.source;
        return true;
      }
    }
    font->why = "no SoundFont: KVHOST.INI names none (SoundFont=), and there is no .sf2 file beside the host nor " +
                system.missing;
    return false;
  }
  if (soundFontFile(font->path, &font->openPath, &font->size)) return true;
  font->why = "cannot read the SoundFont " + font->path + " (" + font->source + ")";
  return false;
}
