#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/KLSHA256.h"

namespace kl::detail {

// Feeds the platform's seed material into Context, the operating system's
// random source first and the local date and time (80-bit extended day count)
// last. One implementation per platform. The system's bytes come first and
// fill exactly one SHA-256 block. Raises EKLRandomError when the system source
// fails.
void GatherSeedMaterial(TSHA256Context& Context);

inline constexpr std::size_t SystemSeedBytes = 64;

// Fills Buffer with Size bytes of the system's random source; false on failure.
using TSystemRandomSource = bool (*)(std::uint8_t* Buffer, std::size_t Size);
// Replaces the system source (null restores it): for tests that prove what
// reaches the seed and what a failing source does.
void SetSystemRandomSourceForTesting(TSystemRandomSource Source) noexcept;

// A number that changes in every child process made by fork (0 before any
// fork); generators compare it with the one they were seeded under.
std::uint64_t ForkGeneration() noexcept;

} // namespace kl::detail
