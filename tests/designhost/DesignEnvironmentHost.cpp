// A design environment's view of the library: it loads libklpassword.so with
// dlopen (no link-time dependency), finds the three entry points, initialises
// the package, registers every unit's components, lists the palette page,
// creates each class by name under one owner, destroys the owner (which takes
// the components with it), finalises and unloads. Exit code 0 on success.
#include <dlfcn.h>

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

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: DesignEnvironmentHost path/to/libklpassword.so");
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return Fail(std::string("dlopen: ") + dlerror());

  auto initialize = reinterpret_cast<void (*)()>(dlsym(library, "Initialize"));
  auto finalize = reinterpret_cast<void (*)()>(dlsym(library, "Finalize"));
  auto getTable = reinterpret_cast<const TKLPackageInfoTable* (*)()>(dlsym(library, "GetPackageInfoTable"));
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
  const std::vector<std::string> expected = {"TKLFastRandomGenerator", "TKLTextPasswordDatabase",
                                             "TKLBinaryPasswordDatabase", "TKLPassStorage", "TKLPasswordGenerator"};
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
  if (dlclose(library) != 0) return Fail(std::string("dlclose: ") + dlerror());
  std::printf("design environment test passed\n");
  return 0;
}
