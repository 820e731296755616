#include <windows.h>

#include <ctime>

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

bool LocalZoneOffset(std::int64_t UtcSeconds, std::int64_t& Offset) noexcept {
  const auto instant = static_cast<__time64_t>(UtcSeconds);
  std::tm local{};
  if (_localtime64_s(&local, &instant) != 0) return false;
  const __time64_t wall = _mkgmtime64(&local);
  if (wall == -1) return false;
  Offset = static_cast<std::int64_t>(wall) - UtcSeconds;
  return true;
}

} // namespace kl::detail
