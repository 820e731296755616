#include "package/KLPackage.h"

#include <mutex>

#include "package/UnitTable.h"

namespace {

std::mutex gLock;
int gInitCount = 0;

} // namespace

// Initialisation is counted, so that nested Initialize / Finalize pairs from
// several hosts of one loaded copy run each unit's start-up and shut-down once.
extern "C" void Initialize() {
  std::lock_guard<std::mutex> lock(gLock);
  if (gInitCount++ > 0) return;
  const kl::detail::UnitList units = kl::detail::Units();
  for (std::int32_t i = 0; i < units.Count; ++i) units.Items[i].Startup();
}

extern "C" void Finalize() {
  std::lock_guard<std::mutex> lock(gLock);
  if (gInitCount == 0 || --gInitCount > 0) return;
  const kl::detail::UnitList units = kl::detail::Units();
  for (std::int32_t i = units.Count - 1; i >= 0; --i) units.Items[i].Shutdown();
}

extern "C" const TKLPackageInfoTable* GetPackageInfoTable() {
  static const TKLPackageInfoTable table = [] {
    const kl::detail::UnitList units = kl::detail::Units();
    return TKLPackageInfoTable{units.Count, units.Items, &kl::detail::DesignServices()};
  }();
  return &table;
}
