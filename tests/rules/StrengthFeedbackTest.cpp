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
#include <type_traits>
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

TKLStrengthResult Estimate(const std::string& Password, TKLStrengthProfile Profile = spZxcvbn,
                           const std::vector<std::string>& Languages = {}) {
  TKLStrengthEstimator estimator;
  estimator.SetReferenceYear(2026);
  estimator.SetUserInputs({u"zorglubb"});
  estimator.SetProfile(Profile);
  estimator.SetLanguages(Languages);
  return estimator.Estimate(U(Password));
}

// "warningKey: suggestionKey...", the feedback as an application keys it.
std::string Keys(const TKLStrengthFeedback& F) {
  std::string keys = F.WarningKey + ":";
  for (const std::string& k : F.SuggestionKeys) keys += " " + k;
  return keys;
}

// The 4.4.2 profile: a password for each key, with the English it always had.
TEST(StrengthFeedback, Zxcvbn4KeysAndEnglishTexts) {
  const struct {
    const char* Password;
    const char* Keys;
    const char16_t* Warning;
  } cases[] = {
      {"password", "topTen: anotherWord", u"This is a top-10 common password"},
      {"Football", "topHundred: anotherWord capitalization", u"This is a top-100 common password"},
      {"ASDFGHJKL", "common: anotherWord allUppercase", u"This is a very common password"},
      {"P@ssw0rd", "similarToCommon: anotherWord capitalization l33t", u"This is similar to a commonly used password"},
      {"drowssap", "similarToCommon: anotherWord reverseWords", u"This is similar to a commonly used password"},
      {"mississippi", "wordByItself: anotherWord", u"A word by itself is easy to guess"},
      {"smith", "namesByThemselves: anotherWord", u"Names and surnames by themselves are easy to guess"},
      {"williamsjohnson", "commonNames: anotherWord", u"Common names and surnames are easy to guess"},
      {"vbnm,.", "straightRow: anotherWord longerKeyboardPattern", u"Straight rows of keys are easy to guess"},
      {"zxcvfr", "keyPattern: anotherWord longerKeyboardPattern", u"Short keyboard patterns are easy to guess"},
      {"aaaaaaaa", "simpleRepeat: anotherWord repeated", u"Repeats like \"aaa\" are easy to guess"},
      {"abcabcabcabc", "extendedRepeat: anotherWord repeated",
       u"Repeats like \"abcabcabc\" are only slightly harder to guess than \"abc\""},
      {"abcdefgh", "sequences: anotherWord sequences", u"Sequences like abc or 6543 are easy to guess"},
      {"2019", "recentYears: anotherWord recentYears associatedYears", u"Recent years are easy to guess"},
      {"13/05/1987", "dates: anotherWord dates", u"Dates are often easy to guess"},
      {"zorglubb1990", ": anotherWord", u""}, // the 4.4.2 model says nothing of the user's words
      {"", ": useWords noNeed", u""},
      {"correct horse battery staple", ":", u""},
  };
  for (const auto& c : cases) {
    const TKLStrengthResult r = Estimate(c.Password);
    EXPECT_EQ(Keys(r.Feedback), c.Keys) << c.Password;
    EXPECT_EQ(r.Feedback.Warning, c.Warning) << c.Password;
    EXPECT_EQ(r.Feedback.Suggestions.size(), r.Feedback.SuggestionKeys.size()) << c.Password;
  }
  EXPECT_EQ(Estimate("P@ssw0rd").Feedback.Suggestions.back(),
            u"Predictable substitutions like '@' instead of 'a' don't help very much");
}

// The zxcvbn-ts profile: a password for each key, in the pack's words.
TEST(StrengthFeedback, TsKeysOfWholeEstimates) {
  const struct {
    const char* Language;
    const char* Password;
    const char* Keys;
  } cases[] = {
      {"de", "password", "topTen: anotherWord"},
      {"fr", "football", "topHundred: anotherWord"},
      {"de", "Passwort", "common: anotherWord capitalization"},
      {"de", "P@ssw0rd", "similarToCommon: anotherWord capitalization l33t"},
      {"de", "drowssap", "similarToCommon: anotherWord reverseWords"},
      {"fr", "république", "wordByItself: anotherWord"},
      {"de", "müller", "namesByThemselves: anotherWord"},
      {"de", "müllerschmidt", "commonNames: anotherWord"},
      {"fr", "zorglubb1990", "userInputs: anotherWord"},
      {"de", "qwertzuiop", "straightRow: anotherWord longerKeyboardPattern"},
      {"de", "zxcvfr", "keyPattern: anotherWord longerKeyboardPattern"},
      {"de", "aaaaaaaa", "simpleRepeat: anotherWord repeated"},
      {"de", "abcabcabc", "extendedRepeat: anotherWord repeated"},
      {"de", "abcdefgh", "sequences: anotherWord sequences"},
      {"de", "2019", "recentYears: anotherWord recentYears associatedYears"},
      {"de", "13.05.1987", "dates: anotherWord dates"},
      {"de", "einszweidrei", "sequences: anotherWord sequences useWords"},
      {"de", "dreizweieins", "sequences: anotherWord anotherWord useWords"},
      {"de", "SCHMETTERLING", ": anotherWord allUppercase"},
      {"de", "Ärger", ": anotherWord capitalization"},
      {"de", "hallo-welt", ": anotherWord"},
      {"pl", "", ": useWords noNeed"},
  };
  for (const auto& c : cases) {
    const TKLStrengthResult r = Estimate(c.Password, spZxcvbnTs, {c.Language});
    EXPECT_EQ(Keys(r.Feedback), c.Keys) << c.Password;
    const String warning = detail::StrengthText(c.Language, TStrengthTextKind::tkWarning, r.Feedback.WarningKey);
    EXPECT_EQ(r.Feedback.Warning, warning) << c.Password;
  }
}

TKLStrengthMatch Match(TKLMatchPattern Pattern, const char* Token, const char* List = "", std::int32_t Rank = 1000,
                       double Guesses = 1e6) {
  TKLStrengthMatch m;
  m.Pattern = Pattern;
  m.Token = U(Token);
  m.DictionaryName = List;
  m.Rank = Rank;
  m.Guesses = Guesses;
  return m;
}

// The zxcvbn-ts rules at their edges, over matches made by hand: ranks and
// guesses at the bounds, the list's name, capitals of every script, reversed
// words of four letters, the first of equally long matches.
TEST(StrengthFeedback, TsRulesAtTheirEdges) {
  auto l33t = Match(mpDictionary, "h4ll0", "passwords-common", 7, 1e4);
  l33t.L33t = true;
  auto reversed4 = Match(mpDictionary, "olah", "commonWords-de");
  auto reversed3 = Match(mpDictionary, "lah", "commonWords-de");
  reversed4.Reversed = reversed3.Reversed = true;
  const TKLStrengthMatch tail = Match(mpBruteforce, "7");
  const struct {
    std::vector<TKLStrengthMatch> Sequence;
    const char* Keys;
  } cases[] = {
      {{Match(mpDictionary, "hallo", "passwords-common", 10)}, "topTen: anotherWord"},
      {{Match(mpDictionary, "hallo", "passwords-common", 100)}, "topHundred: anotherWord"},
      {{Match(mpDictionary, "hallo", "passwords-common", 101)}, "common: anotherWord"},
      {{l33t}, "similarToCommon: anotherWord l33t"},
      {{Match(mpDictionary, "hallo1", "passwords-common", 7, 1.1e4), tail}, ": anotherWord"},
      {{Match(mpDictionary, "schmetterling", "wikipedia"), tail}, ": anotherWord"},
      {{Match(mpDictionary, "katarzyna", "femaleFirstnames"), tail}, "commonNames: anotherWord"},
      {{Match(mpDictionary, "ÉTÉ", "commonWords-fr")}, ": anotherWord allUppercase"},
      {{Match(mpDictionary, "ŻĄŁĆ", "commonWords-pl")}, ": anotherWord allUppercase"},
      {{Match(mpDictionary, "1234", "passwords-common", 5000)}, "common: anotherWord"},
      {{reversed4}, ": anotherWord reverseWords"},
      {{reversed3}, ": anotherWord"},
      {{Match(mpDate, "1990"), Match(mpSequence, "abcd")}, "dates: anotherWord dates"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Keys(detail::StrengthFeedback(1, c.Sequence, spZxcvbnTs, "en")), c.Keys)
        << test::Narrow(c.Sequence[0].Token);
  // Good scores get none.
  EXPECT_EQ(Keys(detail::StrengthFeedback(3, {Match(mpSequence, "abcd")}, spZxcvbnTs, "de")), ":");
  EXPECT_EQ(Keys(detail::StrengthFeedback(3, {Match(mpSequence, "abcd")}, spZxcvbn, "en")), ":");
}

// Texts in the first language; zxcvbn 4.4.2's own English only in its profile.
TEST(StrengthFeedback, TextsInTheFirstLanguage) {
  const struct {
    TKLStrengthProfile Profile;
    std::vector<std::string> Languages;
    const char* Language;
    const char16_t* Warning;
    const char16_t* Suggestion;
  } cases[] = {
      {spZxcvbn, {}, "en", u"This is a top-10 common password", u"Add another word or two. Uncommon words are better."},
      {spZxcvbnTs, {}, "en", u"This is a heavily used password.", u"Add more words that are less common."},
      {spZxcvbnTs,
       {"de", "fr"},
       "de",
       u"Dies ist ein sehr häufig verwendetes Passwort.",
       u"Weitere Wörter, die weniger häufig vorkommen, hinzufügen."},
      {spZxcvbn, {"fr", "de"}, "fr", u"Ce mot de passe est très utilisé.", u"Ajoutez des mots moins courants."},
      {spZxcvbn,
       {"pl"},
       "pl",
       u"To jest przesadnie często używane hasło.",
       u"Dodaj więcej słów, które są mniej popularne."},
  };
  for (const auto& c : cases) {
    const TKLStrengthResult r = Estimate("password", c.Profile, c.Languages);
    EXPECT_EQ(r.Language, c.Language);
    EXPECT_EQ(r.Feedback.WarningKey, "topTen");
    EXPECT_EQ(r.Feedback.Warning, c.Warning) << c.Language;
    EXPECT_EQ(r.Feedback.Suggestions.at(0), c.Suggestion) << c.Language;
    EXPECT_EQ(r.CrackTimesDisplay.OnlineThrottling, DisplayCrackTime(108, c.Language)) << c.Language;
  }
}

// The count picks the singular (1 only: the packs have two forms) or the
// plural, and fills the pack's place for it; no pack means English.
TEST(StrengthFeedback, CrackTimesInWords) {
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
      {100 * year, "de", u"Jahrhunderte"},
      {day, "fr", u"1 jour"},
      {3 * day, "fr", u"3 jours"},
      {2 * month, "es-es", u"2 meses"},
      {2 * hour, "xx", u"2 hours"},
      {108, "en", u"2 minutes"},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayCrackTime(c.Seconds, c.Language), c.Text) << c.Seconds << c.Language;
  EXPECT_EQ(DisplayCrackTime(2 * hour), u"2 hours");
}

// Every language offered has its own texts; a language or key without one
// takes the English pack's, and an unknown key nothing.
TEST(StrengthFeedback, EveryLanguageHasItsTextsAndEnglishFillsGaps) {
  const String english = detail::StrengthText("en", TStrengthTextKind::tkWarning, "topTen");
  EXPECT_EQ(english, u"This is a heavily used password.");
  for (const std::string& language : StrengthLanguages())
    EXPECT_TRUE(language == "en" || detail::StrengthText(language, TStrengthTextKind::tkWarning, "topTen") != english)
        << language;
  EXPECT_EQ(detail::StrengthText("xx", TStrengthTextKind::tkWarning, "topTen"), english);
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

// zxcvbn-ts under node (tests/rules/strength_ts_feedback_oracle.js): a line a
// password, the score, guesses and feedback as keys, texts and time words.
std::optional<std::vector<std::string>> RunFeedbackOracle(const std::string& Language,
                                                          const std::vector<String>& Passwords) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("kl_ts_feedback_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  {
    std::ofstream in(folder / "in.txt", std::ios::binary);
    char unit[8];
    for (const String& p : Passwords) {
      in << '"';
      for (const Char c : p) in.write(unit, std::snprintf(unit, sizeof unit, "\\u%04x", static_cast<unsigned>(c)));
      in << "\"\n";
    }
  }
  const std::string command = "\"" + std::string(std::getenv("KL_NODE")) +
                              "\" \"" KL_STRENGTH_TS_FEEDBACK_ORACLE_SCRIPT "\" \"" +
                              std::getenv("KL_ZXCVBN_TS_MODULES") + "\" " + Language + " \"" +
                              (folder / "in.txt").string() + "\" \"" + (folder / "out.txt").string() + "\"";
  std::vector<std::string> lines;
  if (std::system(command.c_str()) == 0) {
    std::ifstream out(folder / "out.txt", std::ios::binary);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (lines.size() != Passwords.size()) return std::nullopt;
  return lines;
}

// The same line from the library's estimate.
std::string FeedbackLine(const TKLStrengthResult& R, const std::string& Score, const std::string& Log10) {
  auto list = [](const auto& Items) {
    std::string joined;
    for (const auto& item : Items) {
      if constexpr (std::is_same_v<std::decay_t<decltype(item)>, String>)
        joined += (joined.empty() ? "" : "\x1e") + StrToUTF8(item);
      else
        joined += (joined.empty() ? "" : "\x1e") + item;
    }
    return joined;
  };
  const TKLCrackTimesDisplay& d = R.CrackTimesDisplay;
  return Score + "\t" + Log10 + "\t" + R.Feedback.WarningKey + "\t" + list(R.Feedback.SuggestionKeys) + "\t" +
         StrToUTF8(R.Feedback.Warning) + "\t" + list(R.Feedback.Suggestions) + "\t" +
         list(
             std::vector<String>{d.OnlineThrottling, d.OnlineNoThrottling, d.OfflineSlowHashing, d.OfflineFastHashing});
}

// Wherever the profile finds the oracle's covering (score and guesses alike),
// the keys, texts and time words are the oracle's, in every language, on
// every fifth password of the agreement corpus (the oracle runs twice a
// password, and slowly).
TEST(StrengthTsOracle, FeedbackAgreesPerLanguage) {
  if (!test::TsOracleAvailable()) GTEST_SKIP() << "node or the zxcvbn-ts packages not configured";
  for (const std::string& language : StrengthLanguages()) {
    const std::vector<String> whole = test::BuildTsStrengthCorpus(language);
    std::vector<String> corpus;
    for (std::size_t i = 0; i < whole.size(); i += 5) corpus.push_back(whole[i]);
    const auto oracle = RunFeedbackOracle(language, corpus);
    ASSERT_TRUE(oracle.has_value()) << "the oracle did not run for " << language;
    TKLStrengthEstimator estimator;
    estimator.SetProfile(spZxcvbnTs);
    estimator.SetLanguages({language});
    std::size_t compared = 0, differ = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
      std::istringstream fields((*oracle)[i]);
      std::string score, log10;
      std::getline(fields, score, '\t');
      std::getline(fields, log10, '\t');
      const TKLStrengthResult r = estimator.Estimate(corpus[i]);
      if (std::to_string(r.Score) != score || std::fabs(r.GuessesLog10 - std::stod(log10)) > 1e-9) continue;
      ++compared;
      const std::string mine = FeedbackLine(r, score, log10);
      if (mine != (*oracle)[i] && differ++ < 5) std::printf("%s\n  against %s\n", mine.c_str(), (*oracle)[i].c_str());
    }
    std::printf("%s: feedback of %zu passwords compared, %zu differ\n", language.c_str(), compared, differ);
    EXPECT_GE(compared, corpus.size() * 9 / 10) << language;
    EXPECT_EQ(differ, 0u) << language;
  }
}

} // namespace
} // namespace kl
