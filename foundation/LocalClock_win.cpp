#include <windows.h>

#include "foundation/LocalClock.h"

namespace kl::detail {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;           // FILETIME counts 100 ns ticks
constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600; // FILETIME's epoch to the Unix one

} // namespace

// The system time with the finest resolution the system offers, shifted by
// the zone's current bias to local time: the same wall clock a user sees.
TLocalNow ReadLocalClock() noexcept {
  FILETIME utc{};
  FILETIME local{};
  GetSystemTimePreciseAsFileTime(&utc);
  FileTimeToLocalFileTime(&utc, &local);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  const auto seconds =
      static_cast<std::int64_t>(ticks / kTicksPerSecond) - static_cast<std::int64_t>(kSecondsFrom1601To1970);
  return {seconds, static_cast<std::int32_t>((ticks % kTicksPerSecond) * 100)};
}

} // namespace kl::detail
