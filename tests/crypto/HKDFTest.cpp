#include <gtest/gtest.h>

#include "crypto/KLHKDF.h"
#include "foundation/Exceptions.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::ToHex;

TEST(HKDFSHA256, ExtractAndExpandGiveTheReferenceKeys) {
  const auto rows = test::ReadVectorFile("hkdf_sha256.txt");
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    const ByteArray ikm = Hex(row[0]), salt = Hex(row[1]), info = Hex(row[2]), okm = Hex(row[4]);
    std::uint8_t prk[SHA256DigestSize];
    HKDFExtract(salt.data(), salt.size(), ikm.data(), ikm.size(), prk);
    EXPECT_EQ(ToHex(prk, sizeof(prk)), row[3]);
    ByteArray out(okm.size());
    HKDFExpand(prk, info.data(), info.size(), out.data(), out.size());
    EXPECT_EQ(ToHex(out), row[4]);
  }
}

TEST(HKDFSHA256, OutputIsBoundedBy255Digests) {
  const std::uint8_t prk[SHA256DigestSize] = {};
  ByteArray out(HKDFSHA256MaxOutput + 1);
  EXPECT_NO_THROW(HKDFExpand(prk, "i", 1, out.data(), HKDFSHA256MaxOutput));
  EXPECT_THROW(HKDFExpand(prk, "i", 1, out.data(), out.size()), ERangeError);
}

} // namespace
} // namespace kl
