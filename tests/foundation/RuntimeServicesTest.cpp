#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "foundation/Clock.h"
#include "foundation/Exceptions.h"
#include "foundation/Regex.h"
#include "foundation/SecureMemory.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

TEST(Clock, DayCountConvertsToUnixSecondsRoundedToNearest) {
  EXPECT_EQ(DateTimeToUnixSeconds(25569.0), 0);
  EXPECT_EQ(DateTimeToUnixSeconds(25570.5), 129600); // 2 January 1970, 12:00
  EXPECT_EQ(DateTimeToUnixSeconds(25569.0 + 1.4 / 86400), 1);
  EXPECT_EQ(DateTimeToUnixSeconds(25569.0 + 1.6 / 86400), 2);
  EXPECT_EQ(DateTimeToUnixSeconds(UnixSecondsToDateTime(1700000000)), 1700000000);
}

// Seconds since 1970 of a broken-down date and time read as UTC (days from
// the civil date by the usual era arithmetic), independent of the library.
std::int64_t AsIfUtc(const std::tm& T) {
  const std::int64_t year = T.tm_year + 1900 - (T.tm_mon < 2 ? 1 : 0);
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t month = T.tm_mon + 1;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + T.tm_mday - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = era * 146097 + dayOfEra - 719468;
  return days * 86400 + T.tm_hour * 3600 + T.tm_min * 60 + T.tm_sec;
}

TEST(Clock, NowIsLocalWallClockTimeWithoutZoneConversion) {
  const std::time_t t = std::time(nullptr);
  const std::tm local = *std::localtime(&t);
  const auto expected = AsIfUtc(local);
  EXPECT_NEAR(static_cast<double>(NowUnixSeconds()), static_cast<double>(expected), 2.0);
  EXPECT_NEAR(static_cast<double>(DateTimeToUnixSeconds(Now())), static_cast<double>(expected), 2.0);
}

TEST(Clock, Extended80ImageMatchesTheX87Layout) {
  struct Case {
    double value;
    const char* hex; // significand little-endian, then sign and exponent
  };
  const Case cases[] = {
      {1.0, "0000000000000080FF3F"},     {-2.0, "000000000000008000C0"},   {0.0, "00000000000000000000"},
      {45000.5, "000000000080C8AF0E40"}, {5e-324, "0000000000000080CD3B"}, // smallest subnormal double, normal here
  };
  for (const Case& c : cases) {
    const auto image = DoubleToExtended80(c.value);
    EXPECT_EQ(test::ToHex(image.data(), image.size()), c.hex) << c.value;
  }
#if defined(__x86_64__) || defined(__i386__)
  // Cross-check against the hardware format where long double is x87.
  for (double v : {1.0 / 3.0, 46000.123456789, -1e300, 2.5e-310}) {
    long double ld = v;
    unsigned char raw[16] = {};
    std::memcpy(raw, &ld, 10);
    const auto image = DoubleToExtended80(v);
    EXPECT_EQ(test::ToHex(image.data(), 10), test::ToHex(raw, 10)) << v;
  }
#endif
}

TEST(SecureMemory, ConstantTimeEqualAndWipes) {
  const std::uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 5};
  EXPECT_TRUE(ConstantTimeEqual(a, a, 4));
  EXPECT_FALSE(ConstantTimeEqual(a, b, 4));
  EXPECT_TRUE(ConstantTimeEqual(a, b, 3));
  ByteArray bytes{1, 2, 3};
  WipeBytes(bytes);
  EXPECT_TRUE(bytes.empty());
  String text = u"secret password that is long enough to live on the heap";
  WipeString(text);
  EXPECT_TRUE(text.empty());
}

// A text cut short keeps its old characters beyond the new end, in the same
// block: the wipes clear the whole capacity.
TEST(SecureMemory, WipesReachBeyondTheLengthToTheCapacity) {
  auto allZero = [](const void* Data, std::size_t Size) {
    const volatile std::uint8_t* p = static_cast<const volatile std::uint8_t*>(Data);
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < Size; ++i) any = static_cast<std::uint8_t>(any | p[i]);
    return any == 0;
  };
  String text(200, u'S');
  text.resize(3);
  const Char* textData = text.data();
  const std::size_t textBytes = text.capacity() * sizeof(Char);
  RawByteString raw(200, 'S');
  raw.resize(3);
  const char* rawData = raw.data();
  const std::size_t rawBytes = raw.capacity();
  ByteArray bytes(200, 0x53);
  bytes.resize(3);
  const std::uint8_t* bytesData = bytes.data();
  const std::size_t bytesSize = bytes.capacity();
  WipeString(text);
  WipeRawBytes(raw);
  WipeBytes(bytes);
  EXPECT_TRUE(allZero(textData, textBytes));
  EXPECT_TRUE(allZero(rawData, rawBytes));
  EXPECT_TRUE(allZero(bytesData, bytesSize));
}

TEST(Regex, MatchesAnywhereOverUtf16CodeUnits) {
  TRegEx digits(u"[0-9]{4}");
  EXPECT_TRUE(digits.IsMatch(u"ab1234"));
  EXPECT_FALSE(digits.IsMatch(u"ab123"));
  TRegEx anchored(u"^admin");
  EXPECT_TRUE(anchored.IsMatch(u"admin1"));
  EXPECT_FALSE(anchored.IsMatch(u"myadmin"));
  TRegEx any(u"^.$"); // one code unit: a character outside the BMP is two
  EXPECT_TRUE(any.IsMatch(u"\u00e9"));
  EXPECT_FALSE(any.IsMatch(u"\U0001F600"));
  EXPECT_FALSE(anchored.IsMatch(u""));
}

TEST(Regex, BadPatternRaisesWithMessageAndOffset) {
  try {
    TRegEx bad(u"ab(c");
    FAIL();
  } catch (const ERegexError& e) {
    EXPECT_NE(std::string(e.what()).find("offset 4"), std::string::npos) << e.what();
  }
}

} // namespace
} // namespace kl
