#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "rules/JsonNumber.h"

namespace {

std::string ToChars(double Value) {
  char text[40];
  return std::string(text, std::to_chars(text, text + sizeof(text), Value).ptr);
}

// The printf-based form stands in for to_chars where the standard library
// lacks it (the WebAssembly build), and both must print every number alike, or
// the browser's JSON would differ from klpass's. Edges of the fixed/scientific
// choice, then doubles drawn over the whole range and the estimator's own.
TEST(ShortestDoubleText, MatchesToChars) {
  const double edges[] = {0,     -0.0,   1,       100,     1e15, 1e16,    1e17,    123456789,
                          0.001, 0.0001, 0.00001, 1.5e-7,  1e21, 1e22,    2.5e300, 5e-324,
                          1e-5,  1234.5, 9.5,     1e+100,  0.1,  1.0 / 3, 3.6e6,   1.7976931348623157e308,
                          -2.5,  11e10,  1e9,     123e-20, 4e-4, 31557600};
  for (const double value : edges) EXPECT_EQ(kl::detail::ShortestDoubleText(value), ToChars(value)) << value;

  std::mt19937_64 random(20261209);
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    if (!std::isfinite(value)) continue;
    ++compared;
    ASSERT_EQ(kl::detail::ShortestDoubleText(value), ToChars(value)) << bits;
    // Guesses and crack times: whole numbers and powers of ten with a few digits.
    const double guesses = std::round(std::pow(10.0, static_cast<double>(i % 400) / 20.0) * (1 + i % 7));
    ASSERT_EQ(kl::detail::ShortestDoubleText(guesses), ToChars(guesses)) << guesses;
    const double hours = guesses / 100 * 3600;
    ASSERT_EQ(kl::detail::ShortestDoubleText(hours), ToChars(hours)) << hours;
  }
  EXPECT_GT(compared, 19000);
}

} // namespace
