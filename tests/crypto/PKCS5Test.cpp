#include <gtest/gtest.h>

#include <random>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLPKCS5.h"
#include "crypto/TestJson.h"
#include "foundation/KLGeneral.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TSHA256Implementation;
using test::Hex;
using test::ToHex;

ByteArray DeriveBytes(const TSHA256Implementation& Impl, const ByteArray& Password, const ByteArray& Salt,
                      std::uint32_t Iterations, std::size_t Length) {
  ByteArray out(Length);
  detail::PBKDF2HMACSHA256(Impl, Password.data(), Password.size(), Salt.data(), Salt.size(), Iterations, out.data(),
                           out.size());
  return out;
}

// PBKDF2 as written in RFC 8018, one HMAC call per iteration: the reference the
// saved-state loop is checked against.
ByteArray ReferencePBKDF2(const ByteArray& Password, const ByteArray& Salt, int Iterations, std::size_t Length) {
  ByteArray out;
  for (std::uint32_t block = 1; out.size() < Length; ++block) {
    ByteArray u = Salt;
    for (int s = 24; s >= 0; s -= 8) u.push_back(static_cast<std::uint8_t>(block >> s));
    ByteArray t(32, 0);
    for (int i = 0; i < Iterations; ++i) {
      u = DigestToBytes(MAC256Calculate(u, Password));
      for (int j = 0; j < 32; ++j) t[j] ^= u[j];
    }
    out.insert(out.end(), t.begin(), t.end());
  }
  out.resize(Length);
  return out;
}

std::string ImplName(const ::testing::TestParamInfo<const TSHA256Implementation*>& Info) { return Info.param->Name; }

class PBKDF2Path : public ::testing::TestWithParam<const TSHA256Implementation*> {};

INSTANTIATE_TEST_SUITE_P(All, PBKDF2Path, ::testing::ValuesIn(detail::AvailableSHA256Implementations()), ImplName);

TEST_P(PBKDF2Path, Vectors) {
  for (const auto& row : test::ReadVectorFile("pbkdf2_sha256.txt")) {
    EXPECT_EQ(ToHex(DeriveBytes(*GetParam(), Hex(row[0]), Hex(row[1]), static_cast<std::uint32_t>(std::stoul(row[2])),
                                std::stoul(row[3]))),
              row[4] == "-" ? "" : row[4])
        << row[0] << " " << row[2];
  }
}

TEST_P(PBKDF2Path, Wycheproof) {
  const test::JsonValue doc = test::ReadJsonFile("wycheproof/pbkdf2_hmacsha256_test.json");
  for (const auto& group : doc["testGroups"].Items) {
    for (const auto& t : group["tests"].Items) {
      if (t["iterationCount"].Int() > 10000) continue; // the long runs are covered by the vector file
      const ByteArray dk = DeriveBytes(*GetParam(), Hex(t["password"].String), Hex(t["salt"].String),
                                       static_cast<std::uint32_t>(t["iterationCount"].Int()),
                                       static_cast<std::size_t>(t["dkLen"].Int()));
      EXPECT_EQ(dk == Hex(t["dk"].String), t["result"].String == "valid") << "tcId " << t["tcId"].Int();
    }
  }
}

TEST_P(PBKDF2Path, AgreesWithPlainHMACOnRandomInputs) {
  std::mt19937 rng(9);
  for (int n = 0; n < 60; ++n) {
    ByteArray password(rng() % 100), salt(rng() % 80);
    for (auto& b : password) b = static_cast<std::uint8_t>(rng());
    for (auto& b : salt) b = static_cast<std::uint8_t>(rng());
    const int iterations = 1 + static_cast<int>(rng() % 20);
    const std::size_t length = rng() % 100;
    ASSERT_EQ(DeriveBytes(*GetParam(), password, salt, static_cast<std::uint32_t>(iterations), length),
              ReferencePBKDF2(password, salt, iterations, length))
        << password.size() << " " << salt.size() << " " << iterations << " " << length;
  }
}

TEST(Derive, TakesThePasswordAsUTF8) {
  for (const auto& row : test::ReadVectorFile("pbkdf2_sha256.txt")) {
    const ByteArray pw = Hex(row[0]);
    const String password = test::U(std::string(pw.begin(), pw.end()));
    EXPECT_EQ(ToHex(Derive(password, Hex(row[1]), std::stoi(row[2]), std::stoi(row[3]))), row[4] == "-" ? "" : row[4]);
  }
  EXPECT_EQ(Derive(u"\u00e9t\u00e9", ByteArray{'s', 'e', 'l'}, 10, 20),
            Derive(test::U("\xC3\xA9t\xC3\xA9"), ByteArray{'s', 'e', 'l'}, 10, 20));
}

TEST(Derive, LengthsCutTheBlockSequence) {
  const ByteArray salt{'s', 'a', 'l', 't'};
  const ByteArray full = Derive(u"password", salt, 3, 96);
  for (int len : {0, 1, 31, 32, 33, 48, 64, 95}) {
    const ByteArray key = Derive(u"password", salt, 3, len);
    EXPECT_EQ(key, ByteArray(full.begin(), full.begin() + len)) << len;
  }
}

TEST(Derive, RefusesIterationCountsBelowOneAndNegativeLengths) {
  for (int iterations : {0, -1, -1000}) {
    try {
      Derive(u"pw", {}, iterations, 32);
      ADD_FAILURE() << "no error for " << iterations;
    } catch (const EKLException&) {
    }
  }
  EXPECT_THROW(Derive(u"pw", {}, 1, -1), ERangeError);
  EXPECT_TRUE(Derive(u"", {}, 1, 0).empty());
}

} // namespace
} // namespace kl
