#pragma once

#include <cstdint>

namespace kl::detail {

// The local wall-clock time now: seconds since 1970 counted as if local time
// were UTC (no time-zone conversion afterwards), and the nanoseconds within
// the second. One implementation per platform.
struct TLocalNow {
  std::int64_t WallSeconds;
  std::int32_t Nanoseconds;
};

TLocalNow ReadLocalClock() noexcept;

// How far local wall-clock time is ahead of UTC at the instant UtcSeconds, in
// seconds (daylight saving included); false where the platform cannot tell
// (an instant outside what its time functions take).
bool LocalZoneOffset(std::int64_t UtcSeconds, std::int64_t& Offset) noexcept;

} // namespace kl::detail
