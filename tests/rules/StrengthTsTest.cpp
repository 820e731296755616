#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KLGeneral.h"
#include "rules/KLStrength.h"
#include "rules/StrengthTs.h"
#include "rules/StrengthTsCorpus.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

constexpr std::int32_t kYear = 2026;

String Utf16(const std::string& Text) {
  return UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size());
}

// Languages: codes separated by commas.
TKLStrengthResult EstimateTs(const std::string& Password, const std::string& Languages,
                             const std::vector<String>& UserInputs = {}) {
  std::vector<std::string> codes;
  std::stringstream list(Languages);
  for (std::string code; std::getline(list, code, ',');) codes.push_back(code);
  TKLStrengthEstimator e;
  e.SetReferenceYear(kYear);
  e.SetProfile(spZxcvbnTs);
  e.SetLanguages(codes);
  e.SetUserInputs(UserInputs);
  return e.Estimate(Utf16(Password));
}

TEST(StrengthTsProfile, IsChosenAndNamedWhileTheDefaultStays) {
  TKLStrengthEstimator e;
  e.SetReferenceYear(kYear);
  EXPECT_EQ(e.GetProfile(), spZxcvbn);
  const TKLStrengthResult before = e.Estimate(u"Schmetterling2024");
  EXPECT_EQ(before.Profile, spZxcvbn);
  e.SetProfile(spZxcvbnTs);
  e.SetLanguages({"de"});
  const TKLStrengthResult ts = e.Estimate(u"Schmetterling2024");
  EXPECT_EQ(ts.Profile, spZxcvbnTs);
  EXPECT_LT(ts.GuessesLog10, before.GuessesLog10 - 3); // the German word is known
  e.SetProfile(spZxcvbn);
  EXPECT_EQ(e.Estimate(u"Schmetterling2024").GuessesLog10, before.GuessesLog10);
  EXPECT_THROW(e.SetProfile(static_cast<TKLStrengthProfile>(7)), EKLException);
}

TEST(StrengthTsProfile, UnknownLanguageIsRefusedByNameAndNothingChanges) {
  EXPECT_EQ(StrengthLanguages(), (std::vector<std::string>{"en", "de", "fr", "es-es", "it", "nl-be", "pl", "pt-br"}));
  TKLStrengthEstimator e;
  e.SetLanguages({"fr", "de"});
  try {
    e.SetLanguages({"de", "xx"});
    FAIL() << "no exception";
  } catch (const EKLException& x) {
    const std::string m = x.what();
    EXPECT_NE(m.find("'xx'"), std::string::npos) << m;
    EXPECT_NE(m.find("es-es"), std::string::npos) << m;
  }
  EXPECT_EQ(e.GetLanguages(), (std::vector<std::string>{"fr", "de"}));
}

// Answers of zxcvbn-ts 4.2.0 with common + English + the language: the
// covering's last pattern, the list it names and guesses (log10).
struct TsCase {
  const char* Password;
  const char* Language;
  TKLMatchPattern Last;
  const char* Dictionary;
  double Log10;
};

class StrengthTsKnown : public testing::TestWithParam<TsCase> {};

TEST_P(StrengthTsKnown, AgreesWithTheOracle) {
  const TsCase& c = GetParam();
  const TKLStrengthResult r = EstimateTs(c.Password, c.Language);
  ASSERT_FALSE(r.Sequence.empty());
  EXPECT_EQ(r.Sequence.back().Pattern, c.Last) << c.Password;
  EXPECT_EQ(r.Sequence.back().DictionaryName, c.Dictionary) << c.Password;
  EXPECT_NEAR(r.GuessesLog10, c.Log10, 1e-9) << c.Password;
}

INSTANTIATE_TEST_SUITE_P(
    Oracle, StrengthTsKnown,
    testing::Values(TsCase{"Schmetterling2024", "de", mpRegex, "", 6.211334163732549},
                    TsCase{"Schmetterling", "de", mpDictionary, "commonWords-de", 4.208683161037416},
                    TsCase{"qwertzuiop", "de", mpSpatial, "", 3.601734148260104},
                    TsCase{"azertyuiop", "fr", mpSpatial, "", 3.5978048424042925},
                    TsCase{"eins-zwei-drei", "de", mpWordSequence, "cardinalNumbers-de", 1.1139433523068367},
                    TsCase{"ÉCOLE", "fr", mpDictionary, "wikipedia-fr", 2.5250448070368448},
                    TsCase{"Łódź1990", "pl", mpRegex, "", 5.335858911319817},
                    TsCase{"contraseña", "es-es", mpDictionary, "commonWords-es-es", 3.752202153176521},
                    TsCase{"p4ssw0rd", "en", mpDictionary, "passwords-common", 0.9542425094393249},
                    TsCase{"drowssap", "en", mpDictionary, "passwords-common", 0.6989700043360187},
                    TsCase{"2015_06_04", "en", mpDate, "", 4.486586315143262},
                    TsCase{"a-b-c-d-e", "en", mpBruteforce, "", 9.000000000434293},
                    TsCase{"correct horse battery staple", "en", mpDictionary, "diceware-common", 19.7220819284034},
                    TsCase{"aaaaaaa", "en", mpRepeat, "", 1.9294189257142926},
                    TsCase{"schmetterlinG", "de", mpDictionary, "commonWords-de", 4.208683161037416},
                    TsCase{"afkpu", "en", mpSequence, "", 1.322219294733919},
                    TsCase{"111504", "en", mpDate, "", 3.9047696259065945},
                    TsCase{"contraseña", "de", mpBruteforce, "", 7.670115916485488},
                    TsCase{"hund_katze_maus1", "de", mpBruteforce, "", 13.310990527134578},
                    TsCase{"p4ss", "en", mpDictionary, "passwords-common", 2.1492191126553797},
                    TsCase{"password4", "en", mpBruteforce, "", 4.045322978786657},
                    TsCase{"onetwothreefour", "en", mpWordSequence, "cardinalNumbers-en", 1.9867717342662448},
                    TsCase{"blue.green.red", "en", mpWordSequence, "rainbowColors-en", 1.1139433523068367},
                    // Italian and Polish both name a list "commonWords": the later pack's takes its place.
                    TsCase{"farfalla", "it", mpDictionary, "commonWords", 3.95592815689695},
                    TsCase{"farfalla", "it,pl", mpDictionary, "passwords-common", 4.515873843711678}));

// The user inputs are the likeliest words of all, compared in lower case:
// the first costs one guess, plus the one of the covering's floor.
TEST(StrengthTsProfile, UserInputsRankFirstInLowerCase) {
  const TKLStrengthResult r = EstimateTs("schmetterling", "de", {u"Schmetterling", u"Alice"});
  ASSERT_EQ(r.Sequence.size(), 1u);
  EXPECT_EQ(r.Sequence[0].DictionaryName, "userInputs");
  EXPECT_EQ(r.Sequence[0].Dictionary, sdUserInputs);
  EXPECT_DOUBLE_EQ(r.Guesses, 2);
  EXPECT_DOUBLE_EQ(EstimateTs("ALICE", "de", {u"Schmetterling", u"Alice"}).Guesses, 2 * 2 + 1);
  // A lone substitute is no word, even of a one-letter input: '4' stays brute force.
  EXPECT_NEAR(EstimateTs("password4", "en", {u"a"}).GuessesLog10, 4.045322978786657, 1e-9);
}

// Lower case as JavaScript gives it: every script, a letter that lowers to
// two code units, the final sigma by its place (across case-ignorable
// characters such as an apostrophe or a soft hyphen), letters beyond the BMP.
TEST(StrengthTsLetters, LowerCaseFollowsJavaScript) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {{u"ÄÖÜ", u"äöü"},
                                                                        {u"ΑΣ", u"ας"},
                                                                        {u"ΑΣΑ", u"ασα"},
                                                                        {u"Σ", u"σ"},
                                                                        {u"ΑΣ1", u"ας1"},
                                                                        {u"Γ'Σ1", u"γ'ς1"},
                                                                        {u"ΓΣ\u00adǄ", u"γσ\u00adǆ"},
                                                                        {u"İ", u"i\u0307"},
                                                                        {u"ẞ", u"ß"},
                                                                        {u"ǅ", u"ǆ"},
                                                                        {u"\U00010400", u"\U00010428"},
                                                                        {u"ŁÓDŹ", u"łódź"},
                                                                        {u"ДОМ", u"дом"},
                                                                        {u"Ⴀ", u"ⴀ"},
                                                                        {u"ABC1!", u"abc1!"}};
  for (const auto& [upper, lower] : cases) EXPECT_EQ(detail::TsLower(upper), lower) << test::Narrow(upper);
}

TEST(StrengthTsLength, OnlyTheStartOfALongPasswordIsAnalysed) {
  TKLStrengthEstimator e;
  e.SetReferenceYear(kYear);
  e.SetProfile(spZxcvbnTs);
  String head;
  for (int i = 0; head.size() < 256; ++i) head += (i % 2 ? u"Kx9#" : u"q7Lm");
  const TKLStrengthResult capped = e.Estimate(head);
  EXPECT_FALSE(capped.Truncated);
  const TKLStrengthResult longer = e.Estimate(head + String(100000, u'z'));
  EXPECT_TRUE(longer.Truncated);
  EXPECT_EQ(longer.GuessesLog10, capped.GuessesLog10);
  EXPECT_EQ(longer.Sequence.back().J, 255);
}

// Several threads start with the packs unloaded and different languages:
// each gets the answer one thread alone gets.
TEST(StrengthTsPacks, LoadOnceForThreadsThatAskTogether) {
  const std::vector<std::string> languages = {"de", "fr", "pl", "it", "de", "fr"};
  const std::vector<String> words = {u"Schmetterling", u"papillon", u"motyl", u"farfalla"};
  std::vector<std::vector<double>> seen(languages.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < languages.size(); ++t)
    threads.emplace_back([&, t] {
      TKLStrengthEstimator e;
      e.SetProfile(spZxcvbnTs);
      e.SetLanguages({languages[t]});
      for (const String& w : words) seen[t].push_back(e.Estimate(w).GuessesLog10);
    });
  for (std::thread& t : threads) t.join();
  for (std::size_t t = 0; t < languages.size(); ++t) {
    TKLStrengthEstimator e;
    e.SetProfile(spZxcvbnTs);
    e.SetLanguages({languages[t]});
    ASSERT_EQ(seen[t].size(), words.size());
    for (std::size_t w = 0; w < words.size(); ++w) EXPECT_EQ(seen[t][w], e.Estimate(words[w]).GuessesLog10);
  }
}

// For each language, a corpus built from its pack against zxcvbn-ts under node
// with the same packs: the score agrees for 98 % or more, guesses_log10 within
// 0.2 for 95 % or more.
TEST(StrengthTsOracle, AgreesPerLanguage) {
  if (!test::TsOracleAvailable()) GTEST_SKIP() << "node or the zxcvbn-ts packages not configured";
  for (const std::string& language : StrengthLanguages()) {
    const std::vector<String> corpus = test::BuildTsStrengthCorpus(language);
    ASSERT_GE(corpus.size(), 3000u);
    const auto oracle = test::RunTsStrengthOracle(language, corpus);
    ASSERT_TRUE(oracle.has_value()) << "the oracle did not run for " << language;
    TKLStrengthEstimator e;
    e.SetProfile(spZxcvbnTs);
    e.SetLanguages({language});
    std::size_t scores = 0, close = 0, shown = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
      const TKLStrengthResult r = e.Estimate(corpus[i]);
      const test::OracleAnswer& o = (*oracle)[i];
      scores += r.Score == o.Score;
      close += std::fabs(r.GuessesLog10 - o.GuessesLog10) <= 0.2;
      if ((r.Score != o.Score || std::fabs(r.GuessesLog10 - o.GuessesLog10) > 1e-6) && shown++ < 5)
        std::printf("  %s differs: '%s' score %d/%d log10 %.6f/%.6f\n", language.c_str(),
                    test::Narrow(corpus[i]).c_str(), r.Score, o.Score, r.GuessesLog10, o.GuessesLog10);
    }
    const double n = static_cast<double>(corpus.size());
    std::printf("%-6s %zu passwords: score %.2f %%, guesses_log10 within 0.2 %.2f %%\n", language.c_str(),
                corpus.size(), 100.0 * static_cast<double>(scores) / n, 100.0 * static_cast<double>(close) / n);
    EXPECT_GE(static_cast<double>(scores), 0.98 * n) << language;
    EXPECT_GE(static_cast<double>(close), 0.95 * n) << language;
  }
}

} // namespace
} // namespace kl
