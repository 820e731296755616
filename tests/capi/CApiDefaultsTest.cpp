// The C interface's defaults (a 0 or an option never set) are the C++
// library's own: a default copied by hand into the C layer, and changed on one
// side only, shows here.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "capi/klpassword.h"
#include "crypto/KLPasswordHash.h"
#include "passwords/KLPasswords.h"
#include "rules/KLPolicies.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace {

std::string CostOf(std::uint32_t MemoryKiB, std::uint32_t Passes) {
  return "$m=" + std::to_string(MemoryKiB) + ",t=" + std::to_string(Passes) + ",p=1$";
}

TEST(CApiDefaults, HashCostIsTheLibrarys) {
  const kl::TKLPasswordHashParameters defaults;
  char hash[KLP_HASH_MAX_BYTES];
  std::size_t len = sizeof hash;
  ASSERT_EQ(klp_hash_password("pw", 0, 0, hash, &len), KLP_OK);
  EXPECT_NE(std::string(hash).find(CostOf(defaults.MemoryKiB, defaults.Passes)), std::string::npos) << hash;
  EXPECT_EQ(klp_needs_rehash(hash, 0, 0), KLP_OK);
  EXPECT_EQ(klp_needs_rehash(hash, defaults.MemoryKiB, defaults.Passes), KLP_OK);
  EXPECT_EQ(klp_needs_rehash(hash, defaults.MemoryKiB, defaults.Passes + 1), KLP_NEEDS_REHASH);
}

TEST(CApiDefaults, GeneratorOptionsAreTheLibrarys) {
  kl::TKLPasswordGenerator cpp;
  const struct {
    int Option;
    std::int32_t Expected;
  } options[] = {
      {KLP_GEN_USE_UPPERCASE, cpp.GetUseUpperCase()},
      {KLP_GEN_USE_LOWERCASE, cpp.GetUseLowerCase()},
      {KLP_GEN_USE_DIGITS, cpp.GetUseDigits()},
      {KLP_GEN_USE_SYMBOLS, cpp.GetUseSymbols()},
      {KLP_GEN_USE_SPACE, cpp.GetUseSpace()},
      {KLP_GEN_USE_CUSTOM, cpp.GetUseCustomChars()},
      {KLP_GEN_REQUIRE_EACH_SET, cpp.GetRequireEachSet()},
      {KLP_GEN_MIN_UPPERCASE, cpp.GetMinUpperCase()},
      {KLP_GEN_MIN_LOWERCASE, cpp.GetMinLowerCase()},
      {KLP_GEN_MIN_DIGITS, cpp.GetMinDigits()},
      {KLP_GEN_MIN_SYMBOLS, cpp.GetMinSymbols()},
      {KLP_GEN_EXCLUDE_LOOKALIKES, cpp.GetExcludeLookAlikes()},
      {KLP_GEN_DEFAULT_LENGTH, cpp.GetDefaultLength()},
      {KLP_GEN_ITERATIONS, cpp.GetDefaultIterationCount()},
      {KLP_GEN_PASSPHRASE_WORDS, cpp.GetPassphraseWords()},
      {KLP_GEN_CAPITALIZE_WORDS, cpp.GetCapitalizeWords()},
      {KLP_GEN_PASSPHRASE_EXTRA, static_cast<std::int32_t>(cpp.GetPassphraseExtra())},
  };
  klp_generator_t* generator = nullptr;
  ASSERT_EQ(klp_generator_init(&generator), KLP_OK);
  for (const auto& option : options) {
    std::int32_t value = -1;
    ASSERT_EQ(klp_generator_get_option(generator, option.Option, &value), KLP_OK);
    EXPECT_EQ(value, option.Expected) << "option " << option.Option;
  }
  // The same defaults give the same derived password as the C++ generator.
  char* derived = nullptr;
  ASSERT_EQ(klp_generator_derive(generator, "master", "example.com", 0, &derived), KLP_OK);
  EXPECT_EQ(kl::test::U(derived), cpp.Generate(u"master", u"example.com"));
  klp_secret_free(derived);
  klp_generator_destroy(generator);
}

TEST(CApiDefaults, FileCostsAreTheLibrarys) {
  const kl::TKLKdfParameters defaults;
  kl::test::TempDir temp;
  klp_users_t* users = nullptr;
  ASSERT_EQ(klp_users_init(&users, KLP_USERS_ENCRYPTED, "master"), KLP_OK);
  ASSERT_EQ(klp_users_create(users, temp.File("users.db").c_str()), KLP_OK);
  klp_users_destroy(users);
  klp_vault_t* vault = nullptr;
  ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
  ASSERT_EQ(klp_vault_create(vault, temp.File("v.klv").c_str(), "master"), KLP_OK);
  klp_vault_destroy(vault);
  for (const char* name : {"users.db", "v.klv"}) {
    std::uint32_t memory = 0, passes = 0;
    ASSERT_EQ(klp_file_info(temp.File(name).c_str(), nullptr, nullptr, nullptr, &memory, &passes), KLP_OK);
    EXPECT_EQ(memory, defaults.MemoryKiB) << name;
    EXPECT_EQ(passes, defaults.Passes) << name;
  }
}

TEST(CApiDefaults, NistMaximumLengthIsTheLibrarys) {
  const std::int32_t maximum = kl::TKLNistPolicyOptions{}.MaximumLength;
  klp_policy_t* policy = nullptr;
  ASSERT_EQ(klp_policy_init_nist(&policy, 0, 0, 0, nullptr, 0), KLP_OK);
  for (const std::int32_t length : {maximum, maximum + 1}) {
    klp_check_result_t* result = nullptr;
    const int status = klp_policy_check(policy, std::string(static_cast<std::size_t>(length), 'q').c_str(), &result);
    EXPECT_EQ(status, length <= maximum ? KLP_OK : KLP_CHECK_FAILED) << length;
    klp_check_result_destroy(result);
  }
  klp_policy_destroy(policy);
}

} // namespace
