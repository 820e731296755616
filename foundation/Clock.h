#pragma once

#include <array>
#include <cstdint>

#include "foundation/Export.h"

namespace kl {

// The current local date and time as a day count: days since 30 December
// 1899, the time of day as the fraction.
using TDateTime = double;

KL_API TDateTime Now();

// Whole seconds since 1 January 1970 00:00 of a day count, rounded to the
// nearest second, without any time-zone conversion (local wall-clock time
// counted as if it were UTC).
KL_API std::int64_t DateTimeToUnixSeconds(TDateTime Value);
KL_API TDateTime UnixSecondsToDateTime(std::int64_t Seconds);

// Local wall-clock time now, as whole seconds since 1970 (see above).
KL_API std::int64_t NowUnixSeconds();

// The 80-bit x87 extended-precision image of a double: 64-bit significand with
// its explicit integer bit, then the sign-and-exponent word, both
// little-endian. Computed from the value's bits, not from long double.
KL_API std::array<std::uint8_t, 10> DoubleToExtended80(double Value) noexcept;

} // namespace kl
