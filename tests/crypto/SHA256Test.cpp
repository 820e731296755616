#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLSHA256.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TSHA256Implementation;
using test::Hex;
using test::ToHex;

// The message of a vector line: hex, or "pattern N" (byte i = (i*7+3) mod 251),
// or "million-a".
ByteArray VectorMessage(const std::vector<std::string>& Row) {
  if (Row[0] == "pattern") {
    ByteArray out(std::stoul(Row[1]));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>((i * 7 + 3) % 251);
    return out;
  }
  if (Row[0] == "million-a") return ByteArray(1000000, 'a');
  return Hex(Row[0]);
}

std::string Digest(const TSHA256Implementation& Impl, const ByteArray& Message) {
  TSHA256Context ctx;
  SHA256Initialize(ctx);
  detail::SHA256Update(Impl, ctx, Message.data(), static_cast<std::uint32_t>(Message.size()));
  const TMessageDigest256 d = detail::SHA256Finalize(Impl, ctx);
  return ToHex(DigestBytes(d), SHA256DigestSize);
}

std::string ImplName(const ::testing::TestParamInfo<const TSHA256Implementation*>& Info) { return Info.param->Name; }

class SHA256Path : public ::testing::TestWithParam<const TSHA256Implementation*> {};

INSTANTIATE_TEST_SUITE_P(All, SHA256Path, ::testing::ValuesIn(detail::AvailableSHA256Implementations()), ImplName);

TEST_P(SHA256Path, Vectors) {
  const auto rows = test::ReadVectorFile("sha256.txt");
  ASSERT_GT(rows.size(), 130u);
  for (const auto& row : rows)
    EXPECT_EQ(Digest(*GetParam(), VectorMessage(row)), row.back()) << row[0] << " " << row[1];
}

TEST_P(SHA256Path, RandomMessagesAgreeWithThePortablePath) {
  std::mt19937 rng(3);
  for (int n = 0; n < 300; ++n) {
    ByteArray msg(rng() % 3000);
    for (auto& b : msg) b = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(Digest(*GetParam(), msg), Digest(detail::PortableSHA256(), msg)) << msg.size() << " bytes";
  }
}

TEST_P(SHA256Path, HMACIterationsAgreeWithThePortablePath) {
  std::mt19937 rng(5);
  for (std::uint32_t count : {0u, 1u, 2u, 3u, 17u, 1000u}) {
    std::uint32_t inner[8], outer[8], u[8], t[8];
    for (auto* words : {inner, outer, u, t})
      for (int i = 0; i < 8; ++i) words[i] = static_cast<std::uint32_t>(rng());
    std::uint32_t u2[8], t2[8];
    std::memcpy(u2, u, sizeof(u));
    std::memcpy(t2, t, sizeof(t));
    GetParam()->IterateHMAC(inner, outer, u, t, count);
    detail::PortableSHA256().IterateHMAC(inner, outer, u2, t2, count);
    EXPECT_EQ(ToHex(u, 32), ToHex(u2, 32)) << count;
    EXPECT_EQ(ToHex(t, 32), ToHex(t2, 32)) << count;
  }
}

ByteArray Pattern(std::size_t N) {
  ByteArray out(N);
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + 3) % 251);
  return out;
}

std::string HashInPieces(const ByteArray& Message, const std::vector<std::size_t>& Cuts) {
  TSHA256Context ctx;
  SHA256Initialize(ctx);
  std::size_t from = 0;
  for (std::size_t cut : Cuts) {
    SHA256Update(ctx, Message.data() + from, static_cast<std::uint32_t>(cut - from));
    from = cut;
  }
  SHA256Update(ctx, Message.data() + from, static_cast<std::uint32_t>(Message.size() - from));
  const TMessageDigest256 d = SHA256Finalize(ctx);
  return ToHex(DigestBytes(d), SHA256DigestSize);
}

TEST(SHA256, EverySplitOfAMessageGivesOneDigest) {
  for (std::size_t len = 0; len <= 200; ++len) {
    const ByteArray msg = Pattern(len);
    const TMessageDigest256 whole = SHA256Calculate(msg.data(), static_cast<std::uint32_t>(len));
    const std::string expected = ToHex(DigestBytes(whole), SHA256DigestSize);
    for (std::size_t a = 0; a <= len; ++a) {
      ASSERT_EQ(HashInPieces(msg, {a}), expected) << len << " split at " << a;
      for (std::size_t b = a; b <= len && len <= 70; ++b) ASSERT_EQ(HashInPieces(msg, {a, b}), expected);
    }
    std::vector<std::size_t> bytewise;
    for (std::size_t i = 1; i < len; ++i) bytewise.push_back(i);
    ASSERT_EQ(HashInPieces(msg, bytewise), expected) << len << " byte by byte";
  }
}

TEST(SHA256, EmptyUpdateLeavesTheContextUnchanged) {
  TSHA256Context a, b;
  SHA256Initialize(a);
  SHA256Update(a, "abc", 3);
  b = a;
  SHA256Update(a, nullptr, 0);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
}

TEST(SHA256, DigestImageIsTheStandardByteOrder) {
  const TMessageDigest256 d = SHA256Calculate("abc", 3);
  const ByteArray bytes = DigestToBytes(d);
  EXPECT_EQ(ToHex(bytes), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(ToHex(&d, sizeof(d)), ToHex(bytes));
}

} // namespace
} // namespace kl
