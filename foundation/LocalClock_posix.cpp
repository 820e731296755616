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

} // namespace kl::detail
