// A design environment's view of the library: it loads the shared library
// (libklpassword.so with dlopen, klpassword.dll with LoadLibrary; no link-time
// dependency), finds the three entry points, initialises
// the package, registers every unit's components, lists the palette page,
// creates each class by name under one owner, destroys the owner (which takes
// the components with it), finalises and unloads. Exit code 0 on success.
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package/KLPackage.h"

namespace {

int Fail(const std::string& What) {
  std::fprintf(stderr, "FAIL: %s\n", What.c_str());
  return 1;
}

// The system's loader: open, find a symbol, close (true on success).
#if defined(_WIN32)
void* OpenLibrary(const char* Path) { return reinterpret_cast<void*>(LoadLibraryA(Path)); }
void* Symbol(void* Library, const char* Name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Library), Name));
}
bool CloseLibrary(void* Library) { return FreeLibrary(static_cast<HMODULE>(Library)) != 0; }
std::string LoaderError() { return "Windows error " + std::to_string(GetLastError()); }
#else
void* OpenLibrary(const char* Path) { return dlopen(Path, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* Library, const char* Name) { return dlsym(Library, Name); }
bool CloseLibrary(void* Library) { return dlclose(Library) == 0; }
std::string LoaderError() { return dlerror(); }
#endif

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: DesignEnvironmentHost path/to/the/library");
  void* library = OpenLibrary(argv[1]);
  if (library == nullptr) return Fail("cannot load the library: " + LoaderError());

  auto initialize = reinterpret_cast<void (*)()>(Symbol(library, "Initialize"));
  auto finalize = reinterpret_cast<void (*)()>(Symbol(library, "Finalize"));
  auto getTable = reinterpret_cast<const TKLPackageInfoTable* (*)()>(Symbol(library, "GetPackageInfoTable"));
  if (initialize == nullptr || finalize == nullptr || getTable == nullptr) return Fail("missing entry point");

  initialize();
  const TKLPackageInfoTable* table = getTable();
  std::vector<std::string> registering;
  for (std::int32_t i = 0; i < table->UnitCount; ++i) {
    const TKLUnitInfo& unit = table->Units[i];
    if (unit.Register != nullptr) {
      registering.push_back(unit.Name);
      unit.Register();
    }
  }
  const std::vector<std::string> expectedUnits = {"KLRandom", "KLDatabase", "KLPassStorage", "KLPasswords"};
  if (registering != expectedUnits) return Fail("units offering components differ");

  const TKLDesignServices& services = *table->DesignServices;
  const char* page = "Keyloft Password SDK";
  const std::vector<std::string> expected = {"TKLFastRandomGenerator",      "TKLTextPasswordDatabase",
                                             "TKLBinaryPasswordDatabase",   "TKLSqlitePasswordDatabase",
                                             "TKLPostgresPasswordDatabase", "TKLPassStorage",
                                             "TKLPasswordGenerator"};
  std::vector<std::string> listed;
  for (std::int32_t i = 0; i < services.GetClassCount(page); ++i) listed.emplace_back(services.GetClassName(page, i));
  if (listed != expected) return Fail("palette page lists other classes");

  void* owner = services.CreateOwner();
  for (const std::string& name : listed) {
    if (services.CreateComponent(name.c_str(), owner) == nullptr) return Fail("cannot create " + name);
    std::printf("created %s\n", name.c_str());
  }
  if (services.CreateComponent("TNoSuchClass", owner) != nullptr) return Fail("created an unknown class");
  services.DestroyComponent(owner);

  finalize();
  if (services.GetClassCount(page) != 0) return Fail("registrations survive Finalize");
  if (!CloseLibrary(library)) return Fail("cannot unload the library: " + LoaderError());
  std::printf("design environment test passed\n");
  return 0;
}
