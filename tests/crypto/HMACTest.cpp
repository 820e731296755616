#include <gtest/gtest.h>

#include "crypto/KLHMAC.h"
#include "crypto/TestJson.h"
#include "foundation/Exceptions.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::ToHex;

std::string Tag(const TMessageDigest256& D) { return ToHex(DigestBytes(D), SHA256DigestSize); }

TEST(HMACSHA256, VectorsWithDataFirstAndKeySecond) {
  const auto rows = test::ReadVectorFile("hmac_sha256.txt");
  ASSERT_GE(rows.size(), 10u);
  for (const auto& row : rows) EXPECT_EQ(Tag(MAC256Calculate(Hex(row[1]), Hex(row[0]))), row[2]) << row[0];
}

TEST(HMACSHA256, IncrementalUpdatesMatchOneCall) {
  for (const auto& row : test::ReadVectorFile("hmac_sha256.txt")) {
    const ByteArray key = Hex(row[0]), data = Hex(row[1]);
    for (std::size_t cut = 0; cut <= data.size(); cut += 5) {
      TMACSHA256Context ctx;
      MAC256Initialize(ctx, key);
      MAC256Update(ctx, data.data(), static_cast<std::int32_t>(cut));
      MAC256Update(ctx, data.data() + cut, static_cast<std::int32_t>(data.size() - cut));
      EXPECT_EQ(Tag(MAC256Finalize(ctx)), row[2]);
    }
  }
}

TEST(HMACSHA256, NegativeLengthRaisesRangeError) {
  TMACSHA256Context ctx;
  MAC256Initialize(ctx, ByteArray{1, 2, 3});
  EXPECT_THROW(MAC256Update(ctx, "x", -1), ERangeError);
}

// Tags shorter than the digest are its leading bytes; invalid cases are tags
// that must not match.
TEST(HMACSHA256, Wycheproof) {
  const test::JsonValue doc = test::ReadJsonFile("wycheproof/hmac_sha256_test.json");
  int checked = 0;
  for (const auto& group : doc["testGroups"].Items) {
    const std::size_t tagBytes = static_cast<std::size_t>(group["tagSize"].Int()) / 8;
    for (const auto& t : group["tests"].Items) {
      const std::string tag = Tag(MAC256Calculate(Hex(t["msg"].String), Hex(t["key"].String)));
      const std::string expected = ToHex(Hex(t["tag"].String));
      const bool match = tag.substr(0, 2 * tagBytes) == expected;
      EXPECT_EQ(match, t["result"].String == "valid") << "tcId " << t["tcId"].Int();
      ++checked;
    }
  }
  EXPECT_EQ(checked, doc["numberOfTests"].Int());
}

} // namespace
} // namespace kl
