#include <gtest/gtest.h>

#include <sodium.h>

#include <string>
#include <vector>

#include "rules/KLHistoryRule.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::U;

// Hashes made outside the library (Python's hashlib, libsodium's own string API).
void AddEarlierPasswords(TKLHistoryRule& rule) {
  const ByteArray salt = Hex("000102030405060708090A0B0C0D0E0F");
  rule.AddSaltedHash(salt, Hex("87891eca147420609e0c74b9fd0698690ea22d442d45686fa751d064d84f1f56")); // Summer2024!
  rule.AddSaltedHash(salt, Hex("5f8163850ceedd2c51f2c3db6e66219b4a5a8c0aa8c382677392238ebcc3f367")); // naïve
  EXPECT_GE(sodium_init(), 0);
  char encoded[crypto_pwhash_STRBYTES];
  const std::string old = "correct horse";
  EXPECT_EQ(crypto_pwhash_str_alg(encoded, old.data(), old.size(), 1, 8192, crypto_pwhash_ALG_ARGON2ID13), 0);
  rule.AddPasswordHash(encoded);
}

TEST(HistoryRule, RefusesEveryEarlierPasswordAndNothingElse) {
  TKLHistoryRule rule;
  AddEarlierPasswords(rule);
  for (const char* used : {"Summer2024!", "naïve", "correct horse"}) EXPECT_FALSE(rule.Validate(U(used))) << used;
  for (const char* fresh : {"summer2024!", "Summer2024", "naive", "correct horse ", ""}) {
    EXPECT_TRUE(rule.Validate(U(fresh))) << fresh;
  }
  TKLRuleFailures failures;
  rule.CollectFailures(u"Summer2024!", failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kHistoryViolation);
  EXPECT_EQ(failures[0].FindParameter("count")->Value, u"3");
}

// Stored strings are attacker-controlled input: costs beyond the ceilings,
// other algorithms and malformed text are refused before anything runs.
TEST(HistoryRule, RefusesHostileOrMalformedHashesWhenAdded) {
  TKLHistoryRule rule;
  const std::string tail = "$c29tZXNhbHRzb21lc2FsdA$VGhpcyBpcyBub3QgYSByZWFsIGhhc2ggdmFsdWUhIQ";
  for (const std::string& bad : std::vector<std::string>{
           "$argon2id$v=19$m=4294967295,t=1,p=1" + tail, "$argon2id$v=19$m=65536,t=100000,p=1" + tail,
           "$argon2i$v=19$m=65536,t=2,p=1" + tail,
           std::string("$argon2id$v=19$m=65536,t=2,p=1$"), "$argon2id$v=19$m=,t=2,p=1" + tail,
           std::string("plain text"), "$argon2id$v=19$m=65536,t=2,p=1" + tail + std::string(300, 'A')}) {
    EXPECT_THROW(rule.AddPasswordHash(bad), EKLException) << bad;
  }
  EXPECT_THROW(rule.AddSaltedHash({}, ByteArray(32)), EKLException);
  EXPECT_THROW(rule.AddSaltedHash(ByteArray(kHistoryMaxSaltSize + 1), ByteArray(32)), EKLException);
  EXPECT_THROW(rule.AddSaltedHash(ByteArray(16), ByteArray(31)), EKLException);
  EXPECT_EQ(rule.GetCount(), 0);
  EXPECT_TRUE(rule.Validate(u"anything"));
}


// The limits themselves are allowed: the longest salt (and a password under
// it is recognised), the dearest stored hash the ceilings let through.
TEST(HistoryRule, TakesHashesAtTheLimits) {
  TKLHistoryRule salted;
  const ByteArray salt(kHistoryMaxSaltSize, 0x5A);
  const std::string used = "Summer2024!";
  ByteArray input = salt;
  input.insert(input.end(), used.begin(), used.end());
  ByteArray hash(crypto_hash_sha256_BYTES);
  crypto_hash_sha256(hash.data(), input.data(), input.size());
  EXPECT_NO_THROW(salted.AddSaltedHash(salt, hash));
  EXPECT_FALSE(salted.Validate(U(used.c_str())));

  TKLHistoryRule stored;
  const std::string tail = "$c29tZXNhbHRzb21lc2FsdA$VGhpcyBpcyBub3QgYSByZWFsIGhhc2ggdmFsdWUhIQ";
  EXPECT_NO_THROW(stored.AddPasswordHash("$argon2id$v=19$m=1048576,t=32,p=1" + tail));
  EXPECT_EQ(stored.GetCount(), 1);
}

} // namespace
} // namespace kl
