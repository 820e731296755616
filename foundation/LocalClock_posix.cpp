#include <ctime>

#include "foundation/LocalClock.h"

namespace kl::detail {

TLocalNow ReadLocalClock() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  localtime_r(&ts.tv_sec, &local);
  return {static_cast<std::int64_t>(timegm(&local)), static_cast<std::int32_t>(ts.tv_nsec)};
}

bool LocalZoneOffset(std::int64_t UtcSeconds, std::int64_t& Offset) noexcept {
  const auto instant = static_cast<time_t>(UtcSeconds);
  std::tm local{};
  if (static_cast<std::int64_t>(instant) != UtcSeconds || localtime_r(&instant, &local) == nullptr) return false;
  Offset = static_cast<std::int64_t>(timegm(&local)) - UtcSeconds;
  return true;
}

} // namespace kl::detail
