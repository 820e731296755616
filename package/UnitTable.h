#pragma once

#include <cstdint>

#include "package/KLPackage.h"

namespace kl::detail {

struct UnitList {
  std::int32_t Count;
  const TKLUnitInfo* Items;
};

// The units in dependency order: the runtime first, the library's own after.
UnitList Units();

const TKLDesignServices& DesignServices();

} // namespace kl::detail
