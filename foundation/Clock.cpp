#include "foundation/Clock.h"

#include <cmath>
#include <cstring>

#include "foundation/LocalClock.h"

namespace kl {

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a day count
constexpr double kSecondsPerDay = 86400.0;

} // namespace

TDateTime Now() {
  const detail::TLocalNow now = detail::ReadLocalClock();
  const double seconds = static_cast<double>(now.WallSeconds) + static_cast<double>(now.Nanoseconds) / 1e9;
  return kUnixEpochDays + seconds / kSecondsPerDay;
}

std::int64_t DateTimeToUnixSeconds(TDateTime Value) {
  return static_cast<std::int64_t>(std::llround((Value - kUnixEpochDays) * kSecondsPerDay));
}

TDateTime UnixSecondsToDateTime(std::int64_t Seconds) {
  return kUnixEpochDays + static_cast<double>(Seconds) / kSecondsPerDay;
}

std::int64_t NowUnixSeconds() {
  const detail::TLocalNow now = detail::ReadLocalClock();
  return now.WallSeconds + (now.Nanoseconds >= 500000000L ? 1 : 0);
}

std::array<std::uint8_t, 10> DoubleToExtended80(double Value) noexcept {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &Value, sizeof(bits));
  const bool negative = (bits >> 63) != 0;
  const auto exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);

  std::uint64_t significand = 0;
  int extExponent = 0;
  if (exponent == 0x7FF) {  // infinity or NaN
    extExponent = 0x7FFF;
    significand = (std::uint64_t{1} << 63) | (fraction << 11);
    if (fraction != 0) significand |= std::uint64_t{1} << 62;  // quiet NaN
  } else if (exponent != 0) {
    extExponent = exponent - 1023 + 16383;
    significand = (std::uint64_t{1} << 63) | (fraction << 11);
  } else if (fraction != 0) {  // subnormal double: normal in extended format
    int top = 51;
    while (((fraction >> top) & 1) == 0) --top;
    significand = fraction << (63 - top);
    extExponent = top - 1074 + 16383;
  }
  const std::uint16_t signExp = static_cast<std::uint16_t>((negative ? 0x8000 : 0) | extExponent);

  std::array<std::uint8_t, 10> out{};
  for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(significand >> (8 * i));
  out[8] = static_cast<std::uint8_t>(signExp & 0xFF);
  out[9] = static_cast<std::uint8_t>(signExp >> 8);
  return out;
}

} // namespace kl
