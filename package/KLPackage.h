#pragma once

#include <cstdint>

#include "foundation/Export.h"

// The library's entry points as a loadable package. A host finds the three
// functions with dlsym (or GetProcAddress): Initialize after loading,
// Finalize before unloading, and GetPackageInfoTable, which lists every unit
// in dependency order with its start-up, shut-down and, for the units that
// offer components, Register operation. Register hands the unit's component
// classes to the design-time registry; the table's design services let a host
// that knows only these C entry points list a palette page and create and
// destroy components by class name.
extern "C" {

typedef void (*TKLUnitProc)();

struct TKLUnitInfo {
  const char* Name;      // "KLRandom", ...
  TKLUnitProc Startup;   // never null
  TKLUnitProc Shutdown;  // never null
  TKLUnitProc Register;  // null for units that offer no components
};

// Design-time services over the registry, with UTF-8 names. Components are
// passed as opaque pointers to the library's TComponent.
struct TKLDesignServices {
  std::int32_t (*GetClassCount)(const char* Page);
  // The class name at Index on Page, or null; valid until the next call.
  const char* (*GetClassName)(const char* Page, std::int32_t Index);
  // Creates a registered class under Owner (may be null); null if unknown.
  void* (*CreateComponent)(const char* ClassName, void* Owner);
  // A plain component to own others.
  void* (*CreateOwner)();
  void (*DestroyComponent)(void* Component);
};

struct TKLPackageInfoTable {
  std::int32_t UnitCount;
  const TKLUnitInfo* Units;
  const TKLDesignServices* DesignServices;
};

KL_API void Initialize();
KL_API void Finalize();
KL_API const TKLPackageInfoTable* GetPackageInfoTable();

} // extern "C"

namespace kl {

// The palette page every component of the library is registered on.
inline constexpr const char16_t* SPalettePage = u"Keyloft Password SDK";

} // namespace kl
