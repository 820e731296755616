#pragma once

#include "crypto/KLSHA256.h"

namespace kl::detail {

// Feeds the platform's seed material into Context, the operating system's
// random source first and the local date and time (80-bit extended day count)
// last. One implementation per platform.
void GatherSeedMaterial(TSHA256Context& Context);

} // namespace kl::detail
