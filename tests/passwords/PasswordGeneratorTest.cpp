#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "crypto/KLPKCS5.h"
#include "passwords/KLPasswords.h"
#include "passwords/PasswordConstraints.h"
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

// ---- Minimum counts, exclusions, entropy ----

// Keeps only the listed characters of the four standard sets by excluding the
// rest, so that small alphabets can be counted by hand or by enumeration.
String ExcludeAllBut(const String& Keep) {
  String excluded;
  for (const auto set : {TKLPasswordGenerator::UpperCaseChars, TKLPasswordGenerator::LowerCaseChars,
                         TKLPasswordGenerator::DigitChars, TKLPasswordGenerator::SymbolChars}) {
    for (const Char c : set) {
      if (Keep.find(c) == String::npos) excluded.push_back(c);
    }
  }
  return excluded;
}

// Settings for the tables below.
struct TConstraintCase {
  const char* Name;
  std::function<void(TKLPasswordGenerator&)> Apply;
};

int SetOf(Char C) {
  const std::u16string_view sets[] = {TKLPasswordGenerator::UpperCaseChars, TKLPasswordGenerator::LowerCaseChars,
                                      TKLPasswordGenerator::DigitChars, TKLPasswordGenerator::SymbolChars};
  for (int i = 0; i < 4; ++i) {
    if (sets[i].find(C) != std::u16string_view::npos) return i;
  }
  return 4;
}

TEST(PasswordGenerator, MinimumsAndExclusionsHoldInEveryDraw) {
  const struct {
    TConstraintCase Settings;
    std::int32_t Len;
    std::array<int, 5> Minimum; // upper, lower, digits, symbols, other
    String Forbidden;
  } cases[] = {
      {{"each set", [](auto& g) { g.SetRequireEachSet(true); }}, 4, {1, 1, 1, 1, 0}, u""},
      {{"minimums and each",
        [](auto& g) {
          g.SetRequireEachSet(true);
          g.SetMinDigits(3);
          g.SetMinSymbols(2);
        }},
       8,
       {1, 1, 3, 2, 0},
       u""},
      {{"no look-alikes, excluded characters",
        [](auto& g) {
          g.SetExcludeLookAlikes(true);
          g.SetExcludeChars(u"ABC$");
          g.SetMinUpperCase(2);
        }},
       12,
       {2, 0, 0, 0, 0},
       String(TKLPasswordGenerator::DefaultLookAlikeChars) + u"ABC$"},
      {{"space and custom each",
        [](auto& g) {
          g.SetUseUpperCase(false);
          g.SetUseSymbols(false);
          g.SetUseSpace(true);
          g.SetUseCustomChars(true);
          g.SetCustomChars(u"\u00e9a"); // 'a' counts for the lower case set
          g.SetRequireEachSet(true);
        }},
       5,
       {0, 1, 1, 0, 2},
       u"A"},
  };
  auto random = Seeded(4);
  for (const auto& c : cases) {
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(random.get());
    c.Settings.Apply(generator);
    for (int draw = 0; draw < 25000; ++draw) {
      const String password = generator.Generate(c.Len);
      ASSERT_EQ(password.size(), static_cast<std::size_t>(c.Len)) << c.Settings.Name;
      std::array<int, 5> counts{};
      for (const Char ch : password) {
        ++counts[SetOf(ch)];
        ASSERT_EQ(c.Forbidden.find(ch), String::npos) << c.Settings.Name;
      }
      for (int i = 0; i < 5; ++i) ASSERT_GE(counts[i], c.Minimum[i]) << c.Settings.Name << ' ' << i;
    }
  }
}

// Chi-square of counts against expected shares, and the 99.9th percentile of
// its distribution by the Wilson-Hilferty approximation.
void ExpectFitting(const std::vector<double>& Counts, const std::vector<double>& Expected, const std::string& What) {
  double chiSquare = 0;
  for (std::size_t i = 0; i < Counts.size(); ++i) {
    chiSquare += (Counts[i] - Expected[i]) * (Counts[i] - Expected[i]) / Expected[i];
  }
  const double dof = static_cast<double>(Counts.size() - 1);
  const double h = 2.0 / (9 * dof);
  EXPECT_LT(chiSquare, dof * std::pow(1 - h + 3.09 * std::sqrt(h), 3)) << What;
}

// Whole passwords of a four-character alphabet (A, B, 0, 1) and length 3: the
// 64 passwords without constraints, the 48 that hold a letter and a digit with
// them, each as likely as the others.
TEST(PasswordGenerator, EveryPasswordThatMeetsTheMinimumsIsEquallyLikely) {
  for (const bool each : {false, true}) {
    auto random = Seeded(5);
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(random.get());
    generator.SetUseLowerCase(false);
    generator.SetUseSymbols(false);
    generator.SetExcludeChars(ExcludeAllBut(u"AB01"));
    generator.SetRequireEachSet(each);
    std::map<String, double> counts;
    constexpr int kDraws = 48 * 300;
    for (int i = 0; i < kDraws; ++i) ++counts[generator.Generate(3)];
    const std::size_t outcomes = each ? 48 : 64;
    ASSERT_EQ(counts.size(), outcomes);
    std::vector<double> observed;
    for (const auto& [password, count] : counts) observed.push_back(count);
    ExpectFitting(observed, std::vector<double>(outcomes, double(kDraws) / static_cast<double>(outcomes)),
                  each ? "each" : "free");
  }
}

// Over the default alphabet with each set and two digits required, the set of
// the character at every position follows the exact share (no position or set
// is favoured, as it would be if required characters were placed first), and
// within a set every character is equally likely.
TEST(PasswordGenerator, PositionsAndSetsAreUnbiasedUnderMinimums) {
  auto random = Seeded(6);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  generator.SetRequireEachSet(true);
  generator.SetMinDigits(2);
  constexpr int kLen = 6, kDraws = 40000;
  std::array<std::array<double, 4>, kLen> bySet{};
  std::map<Char, double> byChar;
  for (int i = 0; i < kDraws; ++i) {
    const String password = generator.Generate(kLen);
    for (int p = 0; p < kLen; ++p) {
      ++bySet[p][SetOf(password[p])];
      ++byChar[password[p]];
    }
  }
  // Share of set c at a position: its size times the number of ways to fill
  // the other positions with c's minimum lowered by one, over the total.
  const std::array<int, 4> sizes = {26, 26, 10, 32}, minimums = {1, 1, 2, 1};
  auto log2Count = [&](int Len, int Lowered) {
    std::array<detail::TCharacterSet, 6> sets{};
    const std::u16string_view chars[] = {TKLPasswordGenerator::UpperCaseChars, TKLPasswordGenerator::LowerCaseChars,
                                         TKLPasswordGenerator::DigitChars, TKLPasswordGenerator::SymbolChars};
    for (int c = 0; c < 4; ++c) sets[c] = {chars[c], true, minimums[c] - (c == Lowered ? 1 : 0)};
    return detail::TCharacterPlan(sets, u"").Log2Count(Len);
  };
  std::vector<double> observed, expected;
  for (int c = 0; c < 4; ++c) {
    const double share = sizes[c] * std::exp2(log2Count(kLen - 1, c) - log2Count(kLen, -1));
    for (int p = 0; p < kLen; ++p) {
      observed.push_back(bySet[p][c]);
      expected.push_back(share * kDraws);
    }
  }
  ExpectFitting(observed, expected, "sets by position");
  for (int c = 0; c < 4; ++c) {
    std::vector<double> inSet;
    double total = 0;
    for (const auto& [ch, count] : byChar) {
      if (SetOf(ch) == c) inSet.push_back(count), total += count;
    }
    ASSERT_EQ(inSet.size(), static_cast<std::size_t>(sizes[c]));
    ExpectFitting(inSet, std::vector<double>(inSet.size(), total / sizes[c]), "characters of set " + std::to_string(c));
  }
}

// Entropy against a count of every string over the alphabet that meets the
// minimums, enumerated.
TEST(PasswordGenerator, EntropyCountsThePasswordsThatMeetTheMinimumsExactly) {
  const struct {
    TConstraintCase Settings;
    String Alphabet;
    std::array<int, 5> Minimum;
    std::int32_t Len;
  } cases[] = {
      {{"free", [](auto&) {}}, u"AB01", {0, 0, 0, 0, 0}, 4},
      {{"each", [](auto& g) { g.SetRequireEachSet(true); }}, u"AB01", {1, 0, 1, 0, 0}, 4},
      {{"two digits", [](auto& g) { g.SetMinDigits(2); }}, u"ABC012", {0, 0, 2, 0, 0}, 5},
      {{"all four",
        [](auto& g) {
          g.SetUseLowerCase(true);
          g.SetUseSymbols(true);
          g.SetRequireEachSet(true);
          g.SetMinUpperCase(2);
        }},
       u"ABab0#",
       {2, 1, 1, 1, 0},
       6},
      {{"custom overlapping and new",
        [](auto& g) {
          g.SetUseCustomChars(true);
          g.SetCustomChars(u"A\u00e9");
          g.SetRequireEachSet(true);
        }},
       u"AB01\u00e9",
       {1, 0, 1, 0, 1},
       4},
  };
  for (const auto& c : cases) {
    TKLPasswordGenerator generator;
    generator.SetUseLowerCase(false);
    generator.SetUseSymbols(false);
    generator.SetExcludeChars(ExcludeAllBut(c.Alphabet));
    c.Settings.Apply(generator);
    std::uint64_t valid = 0, total = 1;
    for (int i = 0; i < c.Len; ++i) total *= c.Alphabet.size();
    for (std::uint64_t index = 0; index < total; ++index) {
      std::array<int, 5> counts{};
      for (std::uint64_t rest = index, i = 0; i < static_cast<std::uint64_t>(c.Len); ++i, rest /= c.Alphabet.size()) {
        ++counts[SetOf(c.Alphabet[static_cast<std::size_t>(rest % c.Alphabet.size())])];
      }
      bool ok = true;
      for (int s = 0; s < 5; ++s) ok = ok && counts[s] >= c.Minimum[s];
      valid += ok;
    }
    EXPECT_NEAR(generator.GetEntropy(c.Len), std::log2(static_cast<double>(valid)), 1e-9) << c.Settings.Name;
  }
  // A range adds the choice of length to the mean of its lengths.
  TKLPasswordGenerator generator;
  EXPECT_NEAR(generator.GetEntropy(8, 12), 2 + 9.5 * std::log2(94.0), 1e-9);
  EXPECT_NEAR(generator.GetEntropy(), 16 * std::log2(94.0), 1e-9);
}

TEST(PasswordGenerator, SettingsNoPasswordCanMeetAreRefusedBeforeDrawing) {
  const struct {
    TConstraintCase Settings;
    const char* Message;
  } cases[] = {
      {{"minimums above the length", [](auto& g) { g.SetMinDigits(17); }}, SMinimumsAboveLength},
      {{"minimums above the bound",
        [](auto& g) {
          g.SetDefaultLength(200);
          g.SetMinUpperCase(33);
          g.SetMinLowerCase(32);
        }},
       SMinimumsTooLarge},
      {{"minimum of a set that is off",
        [](auto& g) {
          g.SetUseSymbols(false);
          g.SetMinSymbols(1);
        }},
       SMinimumForUnusedSet},
      {{"each set with the digits excluded",
        [](auto& g) {
          g.SetRequireEachSet(true);
          g.SetExcludeChars(u"0123456789");
        }},
       SMinimumForUnusedSet},
      {{"negative minimum", [](auto& g) { g.SetMinLowerCase(-1); }}, SNegativeMinimum},
      {{"hopelessly narrow", [](auto& g) { g.SetMinDigits(14); }}, SMinimumsTooNarrow},
      {{"just too narrow", [](auto& g) { g.SetMinDigits(9); }}, SMinimumsTooNarrow},
      {{"everything excluded",
        [](auto& g) {
          g.SetUseSymbols(false);
          g.SetExcludeChars(ExcludeAllBut(u""));
        }},
       SEmptyAlphabet},
      {{"unpaired surrogate",
        [](auto& g) {
          g.SetUseCustomChars(true);
          g.SetCustomChars(String(u"a") + Char(0xD800));
        }},
       SInvalidCharacters},
  };
  for (const auto& c : cases) {
    TScriptedGenerator random;
    TKLPasswordGenerator generator;
    generator.SetRandomGenerator(&random);
    c.Settings.Apply(generator);
    const std::function<void()> forms[] = {
        [&] { generator.Generate(); },
        [&] { generator.Generate(generator.GetDefaultLength(), generator.GetDefaultLength() + 4); },
        [&] { generator.GetEntropy(); },
    };
    for (const auto& form : forms) {
      try {
        form();
        ADD_FAILURE() << c.Settings.Name << ": no exception";
      } catch (const EKLPasswordError& e) {
        EXPECT_STREQ(e.what(), c.Message) << c.Settings.Name;
      }
    }
    EXPECT_EQ(random.Drawn, 0u) << c.Settings.Name;
  }
}

// The limits themselves are allowed: minimums adding up to the bound, and
// minimums met by about one draw in ten thousand (8 digits of 16 characters).
TEST(PasswordGenerator, SettingsAtTheLimitsAreAccepted) {
  const TConstraintCase cases[] = {
      {"minimums at the bound",
       [](auto& g) {
         g.SetDefaultLength(200);
         g.SetMinUpperCase(32);
         g.SetMinLowerCase(32);
       }},
      {"narrow but within reach", [](auto& g) { g.SetMinDigits(8); }},
  };
  for (const auto& c : cases) {
    TKLPasswordGenerator generator;
    c.Apply(generator);
    EXPECT_NO_THROW(generator.GetEntropy()) << c.Name;
  }
}

// ---- Characters outside the Basic Multilingual Plane ----

TEST(PasswordGenerator, SurrogatePairsAreOneCharacterOfTheAlphabet) {
  const String grin = u"\U0001F600", key = u"\U0001F511";
  auto random = Seeded(7);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  OnlyCustom(generator, grin + key);
  const String password = generator.Generate(200);
  ASSERT_EQ(password.size(), 400u);
  std::map<String, int> seen;
  for (std::size_t i = 0; i < password.size(); i += 2) ++seen[password.substr(i, 2)];
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen.contains(grin) && seen.contains(key));

  // Derived: each derived byte picks one of the two characters by its parity.
  const ByteArray bytes = Derive(u"key", ByteArray{'s', 'i', 't', 'e'}, 500, 12);
  String expected;
  for (const std::uint8_t b : bytes) expected += b % 2 == 0 ? grin : key;
  EXPECT_EQ(generator.Generate(u"key", u"site", 12), expected);
}

// ---- Passphrases ----

TEST(PasswordGenerator, PassphrasesFollowTheirSettings) {
  auto random = Seeded(8);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  EXPECT_EQ(generator.GetPassphraseWords(), 6);
  const TKLWordList& eff = generator.GetWordList();
  std::set<String> list;
  for (std::size_t i = 0; i < eff.GetCount(); ++i) list.insert(eff.Get(i));
  auto split = [](const String& Text, Char Separator) {
    std::vector<String> words(1);
    for (const Char c : Text) {
      if (c == Separator) {
        words.emplace_back();
      } else {
        words.back().push_back(c);
      }
    }
    return words;
  };
  for (const String& word : split(generator.GeneratePassphrase(), u'-')) EXPECT_TRUE(list.contains(word));
  EXPECT_NEAR(generator.GetPassphraseEntropy(), 6 * std::log2(7776.0), 1e-9);

  generator.SetPassphraseSeparator(u" ");
  generator.SetCapitalizeWords(true);
  generator.SetPassphraseExtra(peDigit);
  generator.SetExcludeLookAlikes(true);
  std::map<std::size_t, int> places;
  for (int i = 0; i < 3000; ++i) {
    const std::vector<String> words = split(generator.GeneratePassphrase(3), u' ');
    ASSERT_EQ(words.size(), 3u);
    for (std::size_t w = 0; w < 3; ++w) {
      String word = words[w];
      const std::size_t digit = word.find_first_of(u"0123456789");
      if (digit != String::npos) {
        ASSERT_TRUE((digit == 0 && w == 0) || digit == word.size() - 1);
        EXPECT_EQ(String(u"01").find(word[digit]), String::npos); // look-alikes left out
        ++places[digit == 0 ? 0 : w + 1];
        word.erase(digit, 1);
      }
      ASSERT_TRUE(word[0] >= u'A' && word[0] <= u'Z');
      word[0] = static_cast<Char>(word[0] + 32);
      EXPECT_TRUE(list.contains(word));
    }
  }
  std::vector<double> observed;
  for (const auto& [place, count] : places) observed.push_back(count);
  ASSERT_EQ(observed.size(), 4u);
  ExpectFitting(observed, std::vector<double>(4, 750), "places of the digit");
  EXPECT_NEAR(generator.GetPassphraseEntropy(3), 3 * std::log2(7776.0) + std::log2(8.0) + 2, 1e-9);
}

TEST(PasswordGenerator, PassphraseWordsAreDrawnUniformlyFromALoadedList) {
  auto random = Seeded(9);
  TKLPasswordGenerator generator;
  generator.SetRandomGenerator(random.get());
  generator.SetWordList(TKLWordList({u"alpha", u"beta", u"gamma", u"beta", u"delta", u"epsilon"}));
  std::map<String, double> counts;
  for (int i = 0; i < 5000; ++i) ++counts[generator.GeneratePassphrase(1)];
  std::vector<double> observed;
  for (const auto& [word, count] : counts) observed.push_back(count);
  ASSERT_EQ(observed.size(), 5u);
  ExpectFitting(observed, std::vector<double>(5, 1000), "words");
  EXPECT_NEAR(generator.GetPassphraseEntropy(4), 4 * std::log2(5.0), 1e-12);

  TScriptedGenerator none;
  generator.SetRandomGenerator(&none);
  EXPECT_THROW(generator.GeneratePassphrase(0), EKLPasswordError);
  generator.SetPassphraseExtra(peSymbol);
  generator.SetExcludeChars(String(TKLPasswordGenerator::SymbolChars));
  EXPECT_THROW(generator.GeneratePassphrase(), EKLPasswordError);
  EXPECT_EQ(none.Drawn, 0u);
}

} // namespace
} // namespace kl
