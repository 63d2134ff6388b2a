// Every program and the module carry version information, and the programs a
// manifest that runs them as their invoker: the driver's configuration
// command starts KVSETUP.EXE without elevation.
#include <string>

#include "support.h"

namespace {

// The fixed version record and the file description of a file; false without.
bool versionOf(const std::string& path, VS_FIXEDFILEINFO& fixed, std::string& description) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return false;
  std::string data(size, '\0');
  if (!GetFileVersionInfoA(path.c_str(), 0, size, &data[0])) return false;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof fixed) return false;
  fixed = *static_cast<VS_FIXEDFILEINFO*>(value);
  if (!VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileDescription", &value, &length)) return false;
  description = static_cast<const char*>(value);
  return true;
}

// The program's manifest (resource 1 of type RT_MANIFEST), empty without.
std::string manifestOf(const std::string& path) {
  HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!image) return "";
  std::string text;
  HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  if (found) {
    HGLOBAL loaded = LoadResource(image, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    if (bytes) text.assign(bytes, SizeofResource(image, found));
  }
  FreeLibrary(image);
  return text;
}

}  // namespace

TEST(WineResourcesTest, TheModuleAndEveryProgramCarryVersionInformationAndTheProgramsRunAsInvoker) {
  const std::string dir = kvwine::installDir();
  const std::string files[] = {dir + "\\KVDRVR32.DLL", dir + "\\" + kvwine::kHostExe, dir + "\\KVSETUP.EXE"};
  for (const std::string& path : files) {
    VS_FIXEDFILEINFO fixed = {};
    std::string description;
    ASSERT_TRUE(versionOf(path, fixed, description)) << path;
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu) << path;
    EXPECT_EQ(HIWORD(fixed.dwFileVersionMS), 1u) << path;
    EXPECT_NE(description.find("Kelvasong"), std::string::npos) << path;
    bool program = path.size() > 4 && path.substr(path.size() - 4) == ".EXE";
    EXPECT_EQ(fixed.dwFileType, program ? (DWORD)VFT_APP : (DWORD)VFT_DLL) << path;
    if (program) {
      std::string manifest = manifestOf(path);
      EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << path << ": " << manifest;
    }
  }
}
