#include <gtest/gtest.h>

#include <sodium.h>

#include <string>
#include <vector>

#include "crypto/KLPasswordHash.h"
#include "foundation/Exceptions.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::MessageOf;
using test::U;

TKLPasswordHashParameters Small(std::uint32_t MemoryKiB = 8, std::uint32_t Passes = 1) {
  TKLPasswordHashParameters parameters;
  parameters.MemoryKiB = MemoryKiB;
  parameters.Passes = Passes;
  return parameters;
}

TEST(PasswordHash, HashesVerifyTheirPasswordOnly) {
  const std::vector<String> passwords = {u"", u"secret", U("p\xC3\xA4ss \xE2\x82\xAC\xF0\x9F\x94\x91"),
                                         String(1000, u'x')};
  for (const String& password : passwords) {
    const String hash = HashPassword(password, Small(16, 2));
    EXPECT_EQ(hash.substr(0, 28), u"$argon2id$v=19$m=16,t=2,p=1$") << test::Narrow(hash);
    EXPECT_TRUE(VerifyPassword(hash, password, Small()));
    EXPECT_FALSE(VerifyPassword(hash, password + u"x", Small()));
    EXPECT_NE(hash, HashPassword(password, Small(16, 2))) << "the salt is fresh each time";
    const TKLPasswordHashInfo info = DescribePasswordHash(hash);
    EXPECT_EQ(info.Algorithm, u"argon2id");
    EXPECT_EQ(info.Lanes, 1u);
    EXPECT_EQ(info.SaltSize, KLPasswordHashSaltSize);
    EXPECT_EQ(info.TagSize, KLPasswordHashTagSize);
  }
}

// Made by the Argon2 reference implementation (python3-argon2 and the argon2
// command): one to sixteen lanes, salts of 8 to 32 bytes, tags of 16 to 64.
TEST(PasswordHash, StringsFromOtherImplementationsVerify) {
  const std::vector<String> hashes = {
      u"$argon2id$v=19$m=1024,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4",
      u"$argon2id$v=19$m=1024,t=2,p=4$c2FsdHNhbHRzYWx0c2FsdA$EKGBq2DW/aIQ53AxewziA2tiJC98W9ZqNCL+K36XI+A",
      u"$argon2id$v=19$m=2048,t=3,p=4$c2FsdHNhbHRzYWx0Mg$ankcXpx1tEo1PstIkTbNJ5xSghCYmMYxDpLbClC8yeI",
      u"$argon2id$v=19$m=8,t=1,p=1$c3Nzc3Nzc3M$Zsab9RJsC+57fxq7h2eFwQ",
      u"$argon2id$v=19$m=32,t=1,p=4$c3Nzc3Nzc3Nzc3Nzc3Nzcw$y3x0Qqt+cXtnpsYsskheEvz/"
      u"4MkqZC45EylQpZ4fufwMV+97JdhkCVwpS/m6HT7LrW4yMlxz4RzlMEPV3ZIo3Q",
      u"$argon2id$v=19$m=128,t=1,p=16$c3Nzc3Nzc3Nzc3Nzc3Nzcw$u+M3cmI/gpWJSYThYDfM5/UDxsVsUnd08JJJ6D9EG6Y",
  };
  for (const String& hash : hashes) {
    EXPECT_TRUE(VerifyPassword(hash, u"secret")) << test::Narrow(hash);
    EXPECT_FALSE(VerifyPassword(hash, u"secreu")) << test::Narrow(hash);
  }
}

TEST(PasswordHash, UnpairedSurrogatesAreRefusedNotReplaced) {
  const String lone = u"pass\xD800word";
  EXPECT_THROW(HashPassword(lone, Small()), EConvertError);
  // The text U+FFFD would stand for verifies; the lone surrogate is refused.
  const String hash = HashPassword(u"pass\xFFFDword", Small());
  EXPECT_TRUE(VerifyPassword(hash, u"pass\xFFFDword"));
  EXPECT_THROW(VerifyPassword(hash, lone), EConvertError);
}

TEST(PasswordHash, MalformedStringsAreRefused) {
  const String tail = u"$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  const std::vector<String> bad = {
      u"",
      u"argon2id$v=19$m=1024,t=2,p=1" + tail,
      u"$argon2i$v=19$m=1024,t=2,p=1" + tail,
      u"$argon2id$v=16$m=1024,t=2,p=1" + tail,
      u"$argon2id$m=1024,t=2,p=1" + tail,
      u"$argon2id$v=19$m=01024,t=2,p=1" + tail,
      u"$argon2id$v=19$m=1024,t=2" + tail,
      u"$argon2id$v=19$t=2,m=1024,p=1" + tail,
      u"$argon2id$v=19$m=1024,t=0,p=1" + tail,
      u"$argon2id$v=19$m=1024,t=2,p=0" + tail,
      u"$argon2id$v=19$m=8,t=2,p=2" + tail,
      u"$argon2id$v=19$m=99999999999,t=2,p=1" + tail,
      u"$argon2id$v=19$m=1024,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA==$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4",
      u"$argon2id$v=19$m=1024,t=2,p=1$c2Fsd$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4",
      u"$argon2id$v=19$m=1024,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl",
      u"$argon2id$v=19$m=1024,t=2,p=1" + tail + u"$",
      u"$argon2id$v=19$m=1024,t=2,p=1" + tail + u"\xE9",
      u"$argon2id$v=19$m=1024,t=2,p=1" + tail + String(500, u'A'),
  };
  for (const String& hash : bad) {
    EXPECT_EQ(MessageOf([&] { VerifyPassword(hash, u"secret"); }), SInvalidPasswordHash) << test::Narrow(hash);
    EXPECT_TRUE(NeedsRehash(hash));
  }
}

// A stored string is a cost the attacker may choose: beyond the bounds it is
// refused from its text, before libsodium takes any memory (4 TiB here).
TEST(PasswordHash, CostBeyondTheBoundsIsRefusedBeforeAnyWork) {
  const String tail = u"$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  for (const char16_t* costs :
       {u"m=4294967295,t=2,p=1", u"m=1048577,t=1,p=1", u"m=1024,t=4294967295,p=1", u"m=1024,t=17,p=1"}) {
    EXPECT_EQ(MessageOf([&] { VerifyPassword(u"$argon2id$v=19$" + String(costs) + tail, u"secret"); }),
              SPasswordHashTooCostly)
        << test::Narrow(costs);
  }
  TKLPasswordHashParameters tight = Small();
  tight.MaxMemoryKiB = 512;
  const String hash = u"$argon2id$v=19$m=1024,t=2,p=1" + tail;
  EXPECT_EQ(MessageOf([&] { VerifyPassword(hash, u"secret", tight); }), SPasswordHashTooCostly);
  EXPECT_TRUE(VerifyPassword(hash, u"secret", Small()));
  tight.MaxMemoryKiB = 1024; // the bounds themselves are allowed
  tight.MaxPasses = 2;
  EXPECT_TRUE(VerifyPassword(hash, u"secret", tight));
}

TEST(PasswordHash, ParametersOutsideTheirRangeAreRefused) {
  TKLPasswordHashParameters aboveBound = Small(2048);
  aboveBound.MaxMemoryKiB = 1024;
  for (const TKLPasswordHashParameters& parameters : {Small(7), Small(8, 0), Small(8, 17), aboveBound}) {
    EXPECT_EQ(MessageOf([&] { HashPassword(u"pw", parameters); }), SInvalidHashParameters);
  }
}

TEST(PasswordHash, NeedsRehashWhenWeakerThanTheCurrentParameters) {
  const String tail = u"$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  const TKLPasswordHashParameters current = Small(1024, 2);
  struct Case {
    String Hash;
    bool Expected;
  };
  const std::vector<Case> cases = {
      {u"$argon2id$v=19$m=1024,t=2,p=1" + tail, false},
      {u"$argon2id$v=19$m=4096,t=3,p=4" + tail, false},
      {u"$argon2id$v=19$m=1023,t=2,p=1" + tail, true},
      {u"$argon2id$v=19$m=1024,t=1,p=1" + tail, true},
      {u"$argon2id$v=19$m=8,t=1,p=1$c3Nzc3Nzc3M$Zsab9RJsC+57fxq7h2eFwQ", true},
      {u"$argon2id$v=19$m=1024,t=2,p=1$c3Nzc3Nzc3M$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4", true},
      {u"$argon2id$v=19$m=1024,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$Zsab9RJsC+57fxq7h2eFwQ", true},
      {u"$argon2i$v=19$m=1024,t=2,p=1" + tail, true},
      {u"$kl-sha256-argon2id$v=19$m=1024,t=2,p=1" + tail, true},
      {u"67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C", true},
  };
  for (const Case& c : cases) EXPECT_EQ(NeedsRehash(c.Hash, current), c.Expected) << test::Narrow(c.Hash);
}

// The parser and libsodium's decoder must agree on every salt and tag text:
// a string the parser passes but libsodium cannot decode would never verify,
// and its record would never be reported damaged. Every last digit, on texts
// of each length modulo 4.
TEST(PasswordHash, ParserAcceptsExactlyTheBase64LibsodiumDecodes) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string salt = "c2FsdHNhbHRzYWx0c2FsdA", tag = "azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  const auto decodes = [](const std::string& Text) {
    unsigned char bytes[64];
    std::size_t size = 0;
    const char* end = nullptr;
    return sodium_base642bin(bytes, sizeof bytes, Text.data(), Text.size(), nullptr, &size, &end,
                             sodium_base64_VARIANT_ORIGINAL_NO_PADDING) == 0 &&
           end == Text.data() + Text.size();
  };
  for (const bool inSalt : {true, false}) {
    const std::string& base = inSalt ? salt : tag;
    for (std::size_t length = base.size() - 3; length <= base.size(); ++length) {
      for (const char last : alphabet) {
        const std::string varied = base.substr(0, length - 1) + last;
        const std::string text =
            "$argon2id$v=19$m=1024,t=2,p=1$" + (inSalt ? varied : salt) + "$" + (inSalt ? tag : varied);
        const bool parsed = MessageOf([&] { DescribePasswordHash(String(text.begin(), text.end())); }) == "(nothing)";
        EXPECT_EQ(parsed, decodes(varied)) << text;
      }
    }
  }
  // A right password on a tag with a stray low bit is a damaged string, not a mismatch.
  EXPECT_EQ(
      MessageOf([] { VerifyPassword(u"$argon2id$v=19$m=8,t=1,p=1$c3Nzc3Nzc3M$Zsab9RJsC+57fxq7h2eFwR", u"secret"); }),
      SInvalidPasswordHash);
}

} // namespace
} // namespace kl
