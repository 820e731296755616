#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "crypto/KLPKCS5.h"
#include "passwords/KLPasswords.h"
#include "random/KLRandom.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

// The default alphabet as it must stand, character for character: derived
// passwords depend on every position.
const String kDefaultAlphabet =
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?";

// Hands out a fixed byte sequence, then zeros, and counts what was drawn.
class TScriptedGenerator : public TKLBaseRandomGenerator {
public:
  explicit TScriptedGenerator(ByteArray Script = {}) : FScript(std::move(Script)) {}
  void Generate(void* P, std::int32_t Size) override {
    auto* out = static_cast<std::uint8_t*>(P);
    for (std::int32_t i = 0; i < Size; ++i, ++Drawn) out[i] = Drawn < FScript.size() ? FScript[Drawn] : 0;
  }
  std::size_t Drawn = 0;

private:
  ByteArray FScript;
};

std::unique_ptr<TKLFastRandomGenerator> Seeded(std::uint8_t Seed) {
  std::array<std::uint8_t, 32> digest{};
  digest.fill(Seed);
  return TKLFastRandomGenerator::CreateFromSeedDigestForTesting(digest.data());
}

void OnlyCustom(TKLPasswordGenerator& Generator, const String& Chars) {
  Generator.SetUseUpperCase(false);
  Generator.SetUseLowerCase(false);
  Generator.SetUseDigits(false);
  Generator.SetUseSymbols(false);
  Generator.SetUseCustomChars(true);
  Generator.SetCustomChars(Chars);
}

String Range(Char First, std::size_t Count) {
  String chars;
  for (std::size_t i = 0; i < Count; ++i) chars.push_back(static_cast<Char>(First + i));
  return chars;
}

// ---- Settings and alphabet ----

TEST(PasswordGenerator, StartsWithTheDefaultSettings) {
  TKLPasswordGenerator generator;
  EXPECT_TRUE(generator.GetUseUpperCase());
  EXPECT_TRUE(generator.GetUseLowerCase());
  EXPECT_TRUE(generator.GetUseDigits());
  EXPECT_TRUE(generator.GetUseSymbols());
  EXPECT_FALSE(generator.GetUseSpace());
  EXPECT_FALSE(generator.GetUseCustomChars());
  EXPECT_EQ(generator.GetCustomChars(), u"");
  EXPECT_EQ(generator.GetDefaultLength(), 16);
  EXPECT_EQ(generator.GetDefaultIterationCount(), 500);
  EXPECT_FALSE(generator.GetOwnRandomGenerator());
  EXPECT_EQ(generator.CreateAlphabet(), kDefaultAlphabet);

  const String password = generator.Generate();
  EXPECT_EQ(password.size(), 16u);
  for (const Char c : password) EXPECT_NE(kDefaultAlphabet.find(c), String::npos);
}

TEST(PasswordGenerator, AlphabetJoinsTheEnabledSetsInTheirFixedOrder) {
  const struct {
    bool Upper, Lower, Digits, Symbols, Space, Custom;
    String CustomChars, Expected;
  } cases[] = {
      {false, false, true, false, false, false, u"", u"0123456789"},
      {false, false, false, false, true, false, u"", u" "},
      {false, false, false, false, false, true, u"ba", u"ba"},
      {false, false, true, false, true, true, u"xx", u"0123456789 xx"},
      {true, false, false, false, false, true, u"A", u"ABCDEFGHIJKLMNOPQRSTUVWXYZA"},
      {false, true, false, true, false, false, u"ignored",
       u"abcdefghijklmnopqrstuvwxyz~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?"},
      {true, true, true, true, true, true, u"\u00e9", kDefaultAlphabet + u" \u00e9"},
  };
  for (const auto& c : cases) {
    TKLPasswordGenerator generator;
    generator.SetUseUpperCase(c.Upper);
    generator.SetUseLowerCase(c.Lower);
    generator.SetUseDigits(c.Digits);
    generator.SetUseSymbols(c.Symbols);
    generator.SetUseSpace(c.Space);
    generator.SetUseCustomChars(c.Custom);
    generator.SetCustomChars(c.CustomChars);
    EXPECT_EQ(generator.CreateAlphabet(), c.Expected) << test::Narrow(c.Expected);
  }
}

TEST(PasswordGenerator, GeneratedCharactersComeOnlyFromTheAlphabetAndUseAllOfIt) {
  const String alphabets[] = {u"0123456789", u" ", u"ab", u"aab", Range(0x4E00, 300)};
  for (const String& alphabet : alphabets) {
    auto random = Seeded(1);
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(random.get());
    OnlyCustom(generator, alphabet);
    const String password = generator.Generate(static_cast<std::int32_t>(alphabet.size() * 40));
    const std::set<Char> used(password.begin(), password.end());
    EXPECT_EQ(used, std::set<Char>(alphabet.begin(), alphabet.end())) << alphabet.size();
  }
}

TEST(PasswordGenerator, EmptyAlphabetFailsBeforeDrawingOrMakingAnything) {
  TScriptedGenerator random;
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(&random);
  OnlyCustom(generator, u"");
  TKLPassword previous(u"untouched");
  TKLPassword* out = &previous;
  const std::function<void()> forms[] = {
      [&] { generator.Generate(); },
      [&] { generator.Generate(5); },
      [&] { generator.Generate(0); },
      [&] { generator.Generate(-1); },
      [&] { generator.Generate(8, 12); },
      [&] { generator.Generate(out); },
      [&] { generator.Generate(out, 5); },
      [&] { generator.Generate(u"key", u"site"); },
      [&] { generator.Generate(u"key", u"site", 5); },
      [&] { generator.Generate(u"key", u"site", out); },
      [&] { generator.GeneratePassword(); },
  };
  for (const auto& form : forms) {
    try {
      form();
      ADD_FAILURE() << "no exception";
    } catch (const EKLPasswordError& e) {
      EXPECT_STREQ(e.what(), "Empty alphabet");
    }
  }
  generator.SetUseCustomChars(false);
  EXPECT_THROW(generator.CreateAlphabet(), EKLPasswordError);
  EXPECT_EQ(random.Drawn, 0u);
  EXPECT_EQ(out, &previous);
  EXPECT_EQ(previous.GetValue(), u"untouched");
}

// ---- Lengths ----

TEST(PasswordGenerator, LengthsAndBoundsAreChecked) {
  TScriptedGenerator random;
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(&random);
  EXPECT_EQ(generator.Generate(0), u"");
  EXPECT_THROW(generator.Generate(-1), ERangeError);
  EXPECT_THROW(generator.Generate(INT_MIN), ERangeError);
  generator.SetDefaultLength(-3);
  EXPECT_THROW(generator.Generate(), ERangeError);
  EXPECT_THROW(generator.GeneratePassword(), ERangeError);
  EXPECT_THROW(generator.Generate(-5, 3), ERangeError);
  for (const auto& [from, to] : std::map<int, int>{{8, 8}, {12, 8}, {0, 0}, {-1, -3}, {INT_MAX, INT_MIN}}) {
    EXPECT_THROW(generator.Generate(from, to), EKLPasswordError) << from << ' ' << to;
  }
  EXPECT_EQ(random.Drawn, 0u);
  EXPECT_EQ(generator.Generate(0, 1), u"");
  EXPECT_EQ(generator.Generate(7, 8).size(), 7u);
}

TEST(PasswordGenerator, RangedLengthsRunFromTheLowerBoundToBelowTheUpper) {
  auto random = Seeded(2);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  std::map<std::size_t, int> lengths;
  for (int i = 0; i < 400; ++i) ++lengths[generator.Generate(8, 12).size()];
  ASSERT_EQ(lengths.size(), 4u);
  EXPECT_EQ(lengths.begin()->first, 8u);
  EXPECT_EQ(lengths.rbegin()->first, 11u);
  for (const auto& [length, count] : lengths) EXPECT_GT(count, 60) << length;
}

// ---- Uniformity ----

TEST(PasswordGenerator, RandomNumberRejectsValuesThatWouldFavourLowNumbers) {
  const struct {
    std::int32_t Lower, Upper;
    ByteArray Script;
    std::int32_t Expected;
    std::size_t Drawn;
  } cases[] = {
      {0, 3, {0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0, 0, 0}, 2, 8}, // 2^32 - 1 is the one value rejected for 3
      {0, 3, {0xFE, 0xFF, 0xFF, 0xFF}, 2, 4},                // 2^32 - 2 is accepted
      {INT_MIN, INT_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, INT_MIN, 8},
      {INT_MIN, INT_MAX, {0xFE, 0xFF, 0xFF, 0xFF}, INT_MAX - 1, 4},
      {-10, 10, {0, 0, 0, 0x80}, -2, 4}, // the most negative 32-bit value: 2^31 mod 20 = 8
      {5, 6, {0xFF, 0xFF, 0xFF, 0xFF}, 5, 4},
      {INT_MAX - 1, INT_MAX, {0x12, 0x34, 0x56, 0x78}, INT_MAX - 1, 4},
      {INT_MIN, INT_MIN + 1, {0, 0, 0, 0x80}, INT_MIN, 4},
      {-1, 2, {4, 0, 0, 0}, 0, 4},
  };
  for (const auto& c : cases) {
    TScriptedGenerator random(c.Script);
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(&random);
    EXPECT_EQ(generator.GetRandomNumber(c.Lower, c.Upper), c.Expected) << c.Lower << ' ' << c.Upper;
    EXPECT_EQ(random.Drawn, c.Drawn) << c.Lower << ' ' << c.Upper;
  }
  TKLPasswordGenerator generator;
  EXPECT_THROW(generator.GetRandomNumber(4, 4), EKLPasswordError);
  EXPECT_THROW(generator.GetRandomNumber(INT_MAX, INT_MIN), EKLPasswordError);
}

TEST(PasswordGenerator, RandomCharactersRejectBytesThatWouldFavourTheFirstCharacters) {
  // 94 characters: bytes from 188 up are rejected, so 187 is the last accepted.
  TScriptedGenerator bytes({188, 255, 187, 0, 93, 94});
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(&bytes);
  EXPECT_EQ(generator.Generate(4), u"?A?A");

  // 300 characters: two bytes a value, little-endian; from 65400 up rejected.
  TScriptedGenerator words({0x2C, 0x01, 0x2B, 0x01, 0x78, 0xFF, 0x77, 0xFF});
  const String wide = Range(0x4E00, 300);
  OnlyCustom(generator, wide);
  generator.SetRandomGenerator(&words);
  EXPECT_EQ(generator.Generate(3), String({wide[0], wide[299], wide[299]}));
}

// Chi-square over a 94-character alphabet. The old byte-remainder mapping makes
// the first 68 characters half again as likely as the rest (statistic in the
// tens of thousands here); a fair draw stays near its 93 degrees of freedom.
// The seeded generator makes the run deterministic.
TEST(PasswordGenerator, RandomPasswordsAreUnbiasedOverTheDefaultAlphabet) {
  auto random = Seeded(3);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  constexpr int kPerCharacter = 2000;
  std::map<Char, int> counts;
  for (int i = 0; i < 94; ++i) {
    for (const Char c : generator.Generate(kPerCharacter)) ++counts[c];
  }
  ASSERT_EQ(counts.size(), 94u);
  double chiSquare = 0;
  for (const auto& [c, count] : counts) {
    const double d = count - kPerCharacter;
    chiSquare += d * d / kPerCharacter;
  }
  EXPECT_LT(chiSquare, 140.0); // above the 99.9th percentile for 93 degrees of freedom
}

// ---- Derived passwords ----

// Expected values computed independently (PBKDF2-HMAC-SHA-256, then byte mod
// alphabet length).
TEST(PasswordGenerator, DerivedPasswordsMatchKnownValues) {
  const struct {
    std::string MasterKey, URI;
    std::int32_t Iterations, Len;
    bool DigitsOnly;
    std::string Expected;
  } cases[] = {
      {"correct horse battery staple", "https://example.com/login", 500, 16, false, "ufVt|mIsrrLT!JWf"},
      {"Schlüssel ☃", "https://bücher.example/", 500, 20, false, "LZ#xnG5\\][dj5Wt8*7Ja"},
      {"master", "example.org", 1, 12, true, "744295606117"},
  };
  for (const auto& c : cases) {
    TScriptedGenerator random;
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(&random);
    generator.SetDefaultIterationCount(c.Iterations);
    if (c.DigitsOnly) OnlyCustom(generator, u"0123456789");
    EXPECT_EQ(test::Narrow(generator.Generate(U(c.MasterKey), U(c.URI), c.Len)), c.Expected);
    generator.SetDefaultLength(c.Len);
    EXPECT_EQ(test::Narrow(generator.Generate(U(c.MasterKey), U(c.URI))), c.Expected);
    EXPECT_EQ(random.Drawn, 0u);
  }
}

TEST(PasswordGenerator, DerivedPasswordsAreReproducibleAndShorterOnesArePrefixes) {
  TKLPasswordGenerator first, second;
  EXPECT_EQ(first.Generate(u"key", u"site.example"), second.Generate(u"key", u"site.example"));
  const String long40 = first.Generate(u"key", u"site.example", 40);
  EXPECT_EQ(long40.size(), 40u);
  EXPECT_EQ(second.Generate(u"key", u"site.example", 8), long40.substr(0, 8));
  EXPECT_EQ(second.Generate(u"key", u"site.example", 33), long40.substr(0, 33));
  EXPECT_EQ(first.Generate(u"key", u"site.example", 0), u"");
}

TEST(PasswordGenerator, EveryInputOfADerivedPasswordChangesIt) {
  TKLPasswordGenerator reference;
  const String base = reference.Generate(u"key", u"site.example", 24);
  const std::function<String(TKLPasswordGenerator&)> changes[] = {
      [](TKLPasswordGenerator& g) { return g.Generate(u"key", u"site.example2", 24); },
      [](TKLPasswordGenerator& g) { return g.Generate(u"key", u"Site.example", 24); },
      [](TKLPasswordGenerator& g) { return g.Generate(u"Key", u"site.example", 24); },
      [](TKLPasswordGenerator& g) {
        g.SetDefaultIterationCount(501);
        return g.Generate(u"key", u"site.example", 24);
      },
      [](TKLPasswordGenerator& g) {
        g.SetUseSpace(true);
        return g.Generate(u"key", u"site.example", 24);
      },
      [](TKLPasswordGenerator& g) {
        g.SetUseUpperCase(false);
        return g.Generate(u"key", u"site.example", 24);
      },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    TKLPasswordGenerator generator;
    EXPECT_NE(changes[i](generator), base) << i;
  }
}

TEST(PasswordGenerator, DerivationWithoutIterationsFailsWithTheDerivationsError) {
  TKLPasswordGenerator generator;
  for (const std::int32_t iterations : {0, -1, INT_MIN}) {
    generator.SetDefaultIterationCount(iterations);
    for (const std::int32_t len : {0, 16}) {
      try {
        generator.Generate(u"key", u"site", len);
        ADD_FAILURE() << "no exception for " << iterations << ' ' << len;
      } catch (const EKLPasswordError&) {
        ADD_FAILURE() << "the generator's own error";
      } catch (const EKLException& e) {
        EXPECT_STREQ(e.what(), SInvalidIterations);
      }
    }
  }
  generator.SetDefaultIterationCount(1);
  EXPECT_THROW(generator.Generate(u"key", u"site", -1), ERangeError);
}

// ---- TKLPassword forms ----

TEST(PasswordGenerator, PasswordFormsHandOutANewObjectEachCall) {
  TKLPasswordGenerator generator;
  TKLPassword* first = nullptr;
  generator.Generate(first);
  ASSERT_NE(first, nullptr);
  TKLPassword* second = first;
  generator.Generate(second, 7);
  ASSERT_NE(second, first); // the first object is left to its owner
  EXPECT_EQ(first->GetValue().size(), 16u);
  EXPECT_EQ(second->GetValue().size(), 7u);
  EXPECT_FALSE(second->GetShared());
  delete first;
  delete second;

  const String expected = generator.Generate(u"key", u"site", 12);
  TKLPassword* derived = nullptr;
  generator.Generate(u"key", u"site", derived, 12);
  std::unique_ptr<TKLPassword> owned(derived);
  EXPECT_EQ(owned->GetValue(), expected);
  EXPECT_EQ(generator.GeneratePassword(u"key", u"site", 12)->GetValue(), expected);
  generator.SetDefaultLength(12);
  EXPECT_EQ(generator.GeneratePassword(u"key", u"site")->GetValue(), expected);
  EXPECT_EQ(generator.GeneratePassword(5)->GetValue().size(), 5u);
  EXPECT_FALSE(generator.GeneratePassword()->GetShared());
}

} // namespace
} // namespace kl
