#include <gtest/gtest.h>

#include <string>

#include "crypto/Argon2id.h"
#include "foundation/KLGeneral.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::ToHex;

// Answers computed by the reference implementation's command-line tool.
TEST(Argon2id, MatchesTheReferenceImplementation) {
  const auto rows = test::ReadVectorFile("argon2id.txt");
  ASSERT_EQ(rows.size(), 5u);
  for (const auto& row : rows) {
    const ByteArray password = Hex(row[0]), salt = Hex(row[1]), expected = Hex(row[4]);
    ByteArray out(expected.size());
    detail::Argon2id(password.data(), password.size(), salt.data(), static_cast<std::uint32_t>(std::stoul(row[2])),
                     std::stoull(row[3]), out.data(), out.size());
    EXPECT_EQ(ToHex(out), row[4]) << row[0];
  }
}

TEST(Argon2id, RefusesParametersOutsideLibsodiumsRange) {
  const std::uint8_t salt[detail::Argon2idSaltSize] = {};
  std::uint8_t out[32];
  EXPECT_THROW(detail::Argon2id("p", 1, salt, 0, 64, out, sizeof(out)), EKLException);
  EXPECT_THROW(detail::Argon2id("p", 1, salt, 1, 4, out, sizeof(out)), EKLException);
  EXPECT_THROW(detail::Argon2id("p", 1, salt, 1, 64, out, 8), EKLException);
}

} // namespace
} // namespace kl
