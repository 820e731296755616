#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "rules/KLStrength.h"
#include "rules/StrengthFeedback.h"
#include "rules/StrengthTsCorpus.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TStrengthTextKind;
using test::U;

TKLStrengthResult Estimate(const std::string& Password, const std::vector<std::string>& Languages = {}) {
  TKLStrengthEstimator estimator;
  estimator.SetReferenceYear(2026);
  estimator.SetUserInputs({u"alice"});
  estimator.SetLanguages(Languages);
  return estimator.Estimate(U(Password));
}

std::string Keys(const TKLStrengthFeedback& F) {
  std::string keys = F.WarningKey + ":";
  for (const std::string& k : F.SuggestionKeys) keys += " " + k;
  return keys;
}

// The 4.4.2 profile: a password for each key its rules give, with the English
// warning it always had, byte for byte.
struct Zxcvbn4Case {
  const char* Password;
  const char* Keys;
  const char16_t* Warning;
};

class StrengthFeedbackZxcvbn : public testing::TestWithParam<Zxcvbn4Case> {};

TEST_P(StrengthFeedbackZxcvbn, KeysAndEnglishTextsOfEachWeakness) {
  const TKLStrengthResult r = Estimate(GetParam().Password);
  EXPECT_EQ(Keys(r.Feedback), GetParam().Keys);
  EXPECT_EQ(r.Feedback.Warning, GetParam().Warning);
  ASSERT_EQ(r.Feedback.Suggestions.size(), r.Feedback.SuggestionKeys.size());
  for (std::size_t i = 0; i < r.Feedback.Suggestions.size(); ++i)
    EXPECT_EQ(r.Feedback.Suggestions[i],
              detail::StrengthText("en", TStrengthTextKind::tkSuggestion, r.Feedback.SuggestionKeys[i], true));
  EXPECT_EQ(r.Language, "en");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, StrengthFeedbackZxcvbn,
    testing::Values(
        Zxcvbn4Case{"password", "topTen: anotherWord", u"This is a top-10 common password"},
        Zxcvbn4Case{"Football", "topHundred: anotherWord capitalization", u"This is a top-100 common password"},
        Zxcvbn4Case{"ASDFGHJKL", "common: anotherWord allUppercase", u"This is a very common password"},
        Zxcvbn4Case{"P@ssw0rd", "similarToCommon: anotherWord capitalization l33t",
                    u"This is similar to a commonly used password"},
        Zxcvbn4Case{"drowssap", "similarToCommon: anotherWord reverseWords",
                    u"This is similar to a commonly used password"},
        Zxcvbn4Case{"mississippi", "wordByItself: anotherWord", u"A word by itself is easy to guess"},
        Zxcvbn4Case{"smith", "namesByThemselves: anotherWord", u"Names and surnames by themselves are easy to guess"},
        Zxcvbn4Case{"williamsjohnson", "commonNames: anotherWord", u"Common names and surnames are easy to guess"},
        Zxcvbn4Case{"vbnm,.", "straightRow: anotherWord longerKeyboardPattern",
                    u"Straight rows of keys are easy to guess"},
        Zxcvbn4Case{"zxcvfr", "keyPattern: anotherWord longerKeyboardPattern",
                    u"Short keyboard patterns are easy to guess"},
        Zxcvbn4Case{"aaaaaaaa", "simpleRepeat: anotherWord repeated", u"Repeats like \"aaa\" are easy to guess"},
        Zxcvbn4Case{"abcabcabcabc", "extendedRepeat: anotherWord repeated",
                    u"Repeats like \"abcabcabc\" are only slightly harder to guess than \"abc\""},
        Zxcvbn4Case{"abcdefgh", "sequences: anotherWord sequences", u"Sequences like abc or 6543 are easy to guess"},
        Zxcvbn4Case{"2019", "recentYears: anotherWord recentYears associatedYears", u"Recent years are easy to guess"},
        Zxcvbn4Case{"13/05/1987", "dates: anotherWord dates", u"Dates are often easy to guess"},
        // The 4.4.2 model says nothing about the user's own words.
        Zxcvbn4Case{"alice1990", ": anotherWord", u""}, Zxcvbn4Case{"", ": useWords noNeed", u""},
        Zxcvbn4Case{"correct horse battery staple", ":", u""}));

// The zxcvbn-ts rules over the matches of its profile: the list's name picks
// the warning, Latin-1 capitals count, word sequences have advice of their own.
TKLStrengthMatch Word(const char* Token, const char* List, std::int32_t Rank = 1000, double Guesses = 1e6) {
  TKLStrengthMatch m;
  m.Pattern = mpDictionary;
  m.Token = U(Token);
  m.DictionaryName = List;
  m.Rank = Rank;
  m.Guesses = Guesses;
  return m;
}

TKLStrengthMatch Other(TKLMatchPattern Pattern, const char* Token) {
  TKLStrengthMatch m;
  m.Pattern = Pattern;
  m.Token = U(Token);
  return m;
}

TKLStrengthMatch With(TKLStrengthMatch M, void (*Change)(TKLStrengthMatch&)) {
  Change(M);
  return M;
}

struct TsCase {
  std::vector<TKLStrengthMatch> Sequence; // the first is the longest
  const char* Keys;
};

class StrengthFeedbackTs : public testing::TestWithParam<TsCase> {};

TEST_P(StrengthFeedbackTs, KeysFollowTheListAndPattern) {
  const TKLStrengthFeedback f = detail::StrengthFeedback(1, GetParam().Sequence, spZxcvbnTs, "en");
  EXPECT_EQ(Keys(f), GetParam().Keys);
  ASSERT_EQ(f.Suggestions.size(), f.SuggestionKeys.size());
  for (std::size_t i = 0; i < f.Suggestions.size(); ++i)
    EXPECT_EQ(f.Suggestions[i], detail::StrengthText("en", TStrengthTextKind::tkSuggestion, f.SuggestionKeys[i]));
}

const TKLStrengthMatch kTail = Other(mpBruteforce, "7");

INSTANTIATE_TEST_SUITE_P(
    Keys, StrengthFeedbackTs,
    testing::Values(TsCase{{Word("hallo", "passwords", 10)}, "topTen: anotherWord"},
                    TsCase{{Word("hallo", "passwords", 100)}, "topHundred: anotherWord"},
                    TsCase{{Word("hallo", "passwords", 101)}, "common: anotherWord"},
                    TsCase{{With(Word("h4ll0", "passwords", 7, 1e4), [](TKLStrengthMatch& m) { m.L33t = true; })},
                           "similarToCommon: anotherWord l33t"},
                    TsCase{{Word("hallo1", "passwords", 7, 1.1e4), kTail}, ": anotherWord"},
                    TsCase{{Word("schmetterling", "wikipedia")}, "wordByItself: anotherWord"},
                    TsCase{{Word("schmetterling", "wikipedia"), kTail}, ": anotherWord"},
                    TsCase{{Word("schmidt", "lastnames-de")}, "namesByThemselves: anotherWord"},
                    TsCase{{Word("katarzyna", "femaleFirstnames"), kTail}, "commonNames: anotherWord"},
                    TsCase{{Word("alice", "userInputs"), kTail}, "userInputs: anotherWord"},
                    TsCase{{Word("haus", "commonWords-de")}, ": anotherWord"},
                    TsCase{{Word("Ärger", "commonWords-de")}, ": anotherWord capitalization"},
                    TsCase{{Word("MOTDEPASSE", "commonWords-fr")}, ": anotherWord allUppercase"},
                    TsCase{{Word("ÉTÉ", "commonWords-fr")}, ": anotherWord allUppercase"},
                    TsCase{{Word("ŻĄŁĆ", "commonWords-pl")}, ": anotherWord allUppercase"},  // capitals beyond Latin-1
                    TsCase{{Word("1234", "passwords-common", 5000)}, "common: anotherWord"}, // nothing to lower
                    TsCase{{With(Word("olah", "commonWords-de"), [](TKLStrengthMatch& m) { m.Reversed = true; })},
                           ": anotherWord reverseWords"},
                    TsCase{{With(Word("ttam", "commonWords-de"),
                                 [](TKLStrengthMatch& m) {
                                   m.Token = u"tam";
                                   m.Reversed = true;
                                 })},
                           ": anotherWord"},
                    TsCase{{With(Other(mpSpatial, "qwertz"), [](TKLStrengthMatch& m) { m.Turns = 1; })},
                           "straightRow: anotherWord longerKeyboardPattern"},
                    TsCase{{With(Other(mpSpatial, "qwsxcde"), [](TKLStrengthMatch& m) { m.Turns = 3; })},
                           "keyPattern: anotherWord longerKeyboardPattern"},
                    TsCase{{With(Other(mpRepeat, "zzzz"), [](TKLStrengthMatch& m) { m.BaseToken = u"z"; })},
                           "simpleRepeat: anotherWord repeated"},
                    TsCase{{With(Other(mpRepeat, "abab"), [](TKLStrengthMatch& m) { m.BaseToken = u"ab"; })},
                           "extendedRepeat: anotherWord repeated"},
                    TsCase{{Other(mpSequence, "abcd")}, "sequences: anotherWord sequences"},
                    TsCase{{Other(mpRegex, "2019")}, "recentYears: anotherWord recentYears associatedYears"},
                    TsCase{{Other(mpDate, "1.2.1990")}, "dates: anotherWord dates"},
                    TsCase{{With(Other(mpWordSequence, "einszweidrei"),
                                 [](TKLStrengthMatch& m) {
                                   m.Words = {u"eins", u"zwei", u"drei"};
                                 })},
                           "sequences: anotherWord sequences useWords"},
                    TsCase{{With(Other(mpWordSequence, "zweieins"),
                                 [](TKLStrengthMatch& m) {
                                   m.Words = {u"zwei", u"eins"};
                                   m.Ascending = false;
                                 })},
                           ": anotherWord anotherWord"},
                    TsCase{{Other(mpSeparator, "-"), Other(mpBruteforce, "-")}, ": anotherWord"},
                    TsCase{{}, ": useWords noNeed"},
                    // Of matches equally long, the first speaks.
                    TsCase{{Other(mpDate, "1990"), Other(mpSequence, "abcd")}, "dates: anotherWord dates"}));

// The same keys from whole estimates of the zxcvbn-ts profile, a password for
// each, in the pack's language and words.
struct TsEstimateCase {
  const char* Language;
  const char* Password;
  const char* Keys;
};

class StrengthFeedbackTsEstimate : public testing::TestWithParam<TsEstimateCase> {};

TEST_P(StrengthFeedbackTsEstimate, KeysOfEachWeakness) {
  TKLStrengthEstimator estimator;
  estimator.SetReferenceYear(2026);
  estimator.SetUserInputs({u"zorglubb"});
  estimator.SetProfile(spZxcvbnTs);
  estimator.SetLanguages({GetParam().Language});
  const TKLStrengthResult r = estimator.Estimate(U(GetParam().Password));
  EXPECT_EQ(Keys(r.Feedback), GetParam().Keys);
  EXPECT_EQ(r.Feedback.Warning,
            r.Feedback.WarningKey.empty()
                ? String()
                : detail::StrengthText(GetParam().Language, TStrengthTextKind::tkWarning, r.Feedback.WarningKey));
  EXPECT_EQ(r.Language, GetParam().Language);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, StrengthFeedbackTsEstimate,
    testing::Values(TsEstimateCase{"de", "password", "topTen: anotherWord"},
                    TsEstimateCase{"fr", "football", "topHundred: anotherWord"},
                    TsEstimateCase{"de", "Passwort", "common: anotherWord capitalization"},
                    TsEstimateCase{"de", "P@ssw0rd", "similarToCommon: anotherWord capitalization l33t"},
                    TsEstimateCase{"de", "drowssap", "similarToCommon: anotherWord reverseWords"},
                    TsEstimateCase{"fr", "république", "wordByItself: anotherWord"},
                    TsEstimateCase{"de", "müller", "namesByThemselves: anotherWord"},
                    TsEstimateCase{"de", "müllerschmidt", "commonNames: anotherWord"},
                    TsEstimateCase{"fr", "zorglubb1990", "userInputs: anotherWord"},
                    TsEstimateCase{"de", "qwertzuiop", "straightRow: anotherWord longerKeyboardPattern"},
                    TsEstimateCase{"de", "zxcvfr", "keyPattern: anotherWord longerKeyboardPattern"},
                    TsEstimateCase{"de", "aaaaaaaa", "simpleRepeat: anotherWord repeated"},
                    TsEstimateCase{"de", "abcabcabc", "extendedRepeat: anotherWord repeated"},
                    TsEstimateCase{"de", "abcdefgh", "sequences: anotherWord sequences"},
                    TsEstimateCase{"de", "2019", "recentYears: anotherWord recentYears associatedYears"},
                    TsEstimateCase{"de", "13.05.1987", "dates: anotherWord dates"},
                    TsEstimateCase{"de", "einszweidrei", "sequences: anotherWord sequences useWords"},
                    TsEstimateCase{"de", "dreizweieins", "sequences: anotherWord anotherWord useWords"},
                    TsEstimateCase{"de", "SCHMETTERLING", ": anotherWord allUppercase"},
                    TsEstimateCase{"de", "Ärger", ": anotherWord capitalization"},
                    TsEstimateCase{"de", "hallo-welt", ": anotherWord"},
                    TsEstimateCase{"pl", "", ": useWords noNeed"}));

TEST(StrengthFeedback, GoodScoresGetNoFeedback) {
  for (const TKLStrengthProfile profile : {spZxcvbn, spZxcvbnTs}) {
    const TKLStrengthFeedback f = detail::StrengthFeedback(3, {Other(mpSequence, "abcd")}, profile, "de");
    EXPECT_TRUE(f.WarningKey.empty() && f.Warning.empty() && f.Suggestions.empty() && f.SuggestionKeys.empty());
  }
}

// Texts in the first language; zxcvbn 4.4.2's own English only in its
// profile's English.
struct LanguageCase {
  TKLStrengthProfile Profile;
  std::vector<std::string> Languages;
  const char* Language;
  const char16_t* Warning;
  const char16_t* Suggestion;
};

class StrengthFeedbackLanguage : public testing::TestWithParam<LanguageCase> {};

TEST_P(StrengthFeedbackLanguage, TextsInTheFirstLanguage) {
  const LanguageCase& c = GetParam();
  const std::vector<TKLStrengthMatch> sequence = {Word("password", "passwords", 2)};
  TKLStrengthResult r;
  r.Profile = c.Profile;
  r.Score = 0;
  r.Sequence = sequence;
  detail::DescribeStrength(r, c.Languages);
  EXPECT_EQ(r.Language, c.Language);
  EXPECT_EQ(r.Feedback.WarningKey, "topTen");
  EXPECT_EQ(r.Feedback.Warning, c.Warning);
  EXPECT_EQ(r.Feedback.Suggestions.at(0), c.Suggestion);
  EXPECT_EQ(r.CrackTimesDisplay.OnlineThrottling, DisplayCrackTime(0, c.Language));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, StrengthFeedbackLanguage,
    testing::Values(
        LanguageCase{spZxcvbn,
                     {},
                     "en",
                     u"This is a top-10 common password",
                     u"Add another word or two. Uncommon words are better."},
        LanguageCase{
            spZxcvbnTs, {}, "en", u"This is a heavily used password.", u"Add more words that are less common."},
        LanguageCase{spZxcvbnTs,
                     {"de", "fr"},
                     "de",
                     u"Dies ist ein sehr häufig verwendetes Passwort.",
                     u"Weitere Wörter, die weniger häufig vorkommen, hinzufügen."},
        LanguageCase{
            spZxcvbn, {"fr", "de"}, "fr", u"Ce mot de passe est très utilisé.", u"Ajoutez des mots moins courants."}));

TEST(StrengthFeedback, EstimatesCarryTheirLanguage) {
  const TKLStrengthResult r = Estimate("password", {"pl"});
  EXPECT_EQ(r.Language, "pl");
  EXPECT_EQ(r.Feedback.Warning, u"To jest przesadnie często używane hasło.");
  EXPECT_EQ(r.CrackTimesDisplay.OfflineSlowHashing, u"mniej niż sekunda");
}

// The count picks singular or plural (1 only is singular, as the packs have
// two forms) and fills the pack's place for it.
TEST(StrengthFeedback, CrackTimesInWordsWithTheirPlurals) {
  constexpr double hour = 3600, day = 24 * hour, month = 31 * day, year = 12 * month;
  const struct {
    double Seconds;
    const char* Language;
    const char16_t* Text;
  } cases[] = {
      {0.5, "de", u"weniger als eine Sekunde"},
      {1.4, "de", u"1 Sekunde"},
      {59.6, "de", u"60 Sekunden"},
      {hour, "de", u"1 Stunde"},
      {2 * hour, "de", u"2 Stunden"},
      {5 * day, "de", u"5 Tage"},
      {100 * year, "de", u"Jahrhunderte"},
      {day, "fr", u"1 jour"},
      {3 * day, "fr", u"3 jours"},
      {year, "fr", u"1 année"},
      {2 * month, "es-es", u"2 meses"},
      {1, "fr", u"1 seconde"},
      {2 * hour, "xx", u"2 hours"}, // no pack: English
      {2 * hour, "en", u"2 hours"},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayCrackTime(c.Seconds, c.Language), c.Text) << c.Seconds << c.Language;
  EXPECT_EQ(DisplayCrackTime(2 * hour), u"2 hours");
}

// Every language the estimator offers has its pack's texts compiled in; a
// language or key without one falls back to English, and an unknown key to
// nothing.
TEST(StrengthFeedback, EveryLanguageHasItsTextsAndEnglishFillsGaps) {
  const std::u16string english = detail::StrengthText("en", TStrengthTextKind::tkWarning, "topTen");
  EXPECT_EQ(english, u"This is a heavily used password.");
  for (const std::string& language : StrengthLanguages()) {
    if (language == "en") continue;
    EXPECT_NE(detail::StrengthText(language, TStrengthTextKind::tkWarning, "topTen"), english) << language;
    EXPECT_NE(detail::StrengthText(language, TStrengthTextKind::tkSuggestion, "pwned"),
              detail::StrengthText("en", TStrengthTextKind::tkSuggestion, "pwned"))
        << language;
  }
  EXPECT_EQ(detail::StrengthText("xx", TStrengthTextKind::tkWarning, "topTen"), english);
  EXPECT_EQ(detail::StrengthText("common", TStrengthTextKind::tkTime, "hours"), u"{base} hours");
  // The 4.4.2 English has no text of its own for the user's words: the pack's.
  EXPECT_EQ(detail::StrengthText("en", TStrengthTextKind::tkWarning, "userInputs", true),
            u"There should not be any personal or page related data.");
  EXPECT_EQ(detail::StrengthText("de", TStrengthTextKind::tkWarning, "noSuchKey"), u"");
}

TEST(StrengthRule, TooWeakWarningInTheEstimatorsLanguage) {
  TKLStrengthRule rule(3);
  rule.GetEstimator().SetLanguages({"de"});
  TKLRuleFailures failures;
  rule.CollectFailures(u"password", failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].FindParameter("warning")->Value, u"Dies ist ein sehr häufig verwendetes Passwort.");
  EXPECT_EQ(failures[0].FindParameter("warning_key")->Value, u"topTen");
}

// zxcvbn-ts under node, for each password: the score, guesses_log10, and the
// feedback as keys, texts and crack times in Language's words, one line each.
std::optional<std::vector<std::vector<std::string>>> RunFeedbackOracle(const std::string& Language,
                                                                       const std::vector<String>& Passwords) {
  const char* node = std::getenv("KL_NODE");
  const char* modules = std::getenv("KL_ZXCVBN_TS_MODULES");
  if (node == nullptr || modules == nullptr) return std::nullopt;
  const auto folder =
      std::filesystem::temp_directory_path() / ("kl_ts_feedback_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  {
    std::ofstream in(folder / "in.txt", std::ios::binary);
    for (const String& p : Passwords) {
      std::string json = "\"";
      for (const Char c : p) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
        json += escaped;
      }
      in << json << "\"\n";
    }
  }
  const std::string command = "\"" + std::string(node) + "\" \"" KL_STRENGTH_TS_FEEDBACK_ORACLE_SCRIPT "\" \"" +
                              modules + "\" " + Language + " \"" + (folder / "in.txt").string() + "\" \"" +
                              (folder / "out.txt").string() + "\"";
  std::vector<std::vector<std::string>> answers;
  if (std::system(command.c_str()) == 0) {
    std::ifstream out(folder / "out.txt", std::ios::binary);
    for (std::string line; std::getline(out, line);) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
      fields.resize(7);
      answers.push_back(fields);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (answers.size() != Passwords.size()) return std::nullopt;
  return answers;
}

template <class T, class F>
std::string Joined(const std::vector<T>& Items, F&& Text) {
  std::string joined;
  for (std::size_t i = 0; i < Items.size(); ++i) joined += (i ? "\x1e" : "") + Text(Items[i]);
  return joined;
}

// Wherever the profile finds the oracle's covering (score and guesses alike),
// the feedback's keys and texts and the crack times in words are the
// oracle's, in every language, on every fifth password of the agreement
// corpus (the oracle runs twice a password, and slowly).
TEST(StrengthTsOracle, FeedbackAgreesPerLanguage) {
  if (!test::TsOracleAvailable()) GTEST_SKIP() << "node or the zxcvbn-ts packages not configured";
  for (const std::string& language : StrengthLanguages()) {
    const std::vector<String> whole = test::BuildTsStrengthCorpus(language);
    std::vector<String> corpus;
    for (std::size_t i = 0; i < whole.size(); i += 5) corpus.push_back(whole[i]);
    const auto oracle = RunFeedbackOracle(language, corpus);
    ASSERT_TRUE(oracle.has_value()) << "the oracle did not run for " << language;
    TKLStrengthEstimator estimator;
    estimator.SetReferenceYear(2026);
    estimator.SetProfile(spZxcvbnTs);
    estimator.SetLanguages({language});
    std::size_t compared = 0, differ = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
      const std::vector<std::string>& o = (*oracle)[i];
      const TKLStrengthResult r = estimator.Estimate(corpus[i]);
      if (std::to_string(r.Score) != o[0] || std::fabs(r.GuessesLog10 - std::stod(o[1])) > 1e-9) continue;
      ++compared;
      const TKLCrackTimesDisplay& d = r.CrackTimesDisplay;
      const std::vector<std::string> mine = {
          o[0],
          o[1],
          r.Feedback.WarningKey,
          Joined(r.Feedback.SuggestionKeys, [](const std::string& k) { return k; }),
          StrToUTF8(r.Feedback.Warning),
          Joined(r.Feedback.Suggestions, [](const String& t) { return StrToUTF8(t); }),
          Joined(
              std::vector<String>{d.OnlineThrottling, d.OnlineNoThrottling, d.OfflineSlowHashing, d.OfflineFastHashing},
              [](const String& t) { return StrToUTF8(t); })};
      if (mine == o) continue;
      if (differ++ < 5)
        std::printf("%s '%s': %s | %s | %s against %s | %s | %s\n", language.c_str(), test::Narrow(corpus[i]).c_str(),
                    mine[2].c_str(), mine[3].c_str(), mine[6].c_str(), o[2].c_str(), o[3].c_str(), o[6].c_str());
    }
    std::printf("%s: feedback of %zu passwords compared, %zu differ\n", language.c_str(), compared, differ);
    EXPECT_GE(compared, corpus.size() * 9 / 10) << language;
    EXPECT_EQ(differ, 0u) << language;
  }
}

} // namespace
} // namespace kl
