#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "rules/KLPolicies.h"
#include "rules/KLStrength.h"
#include "rules/StrengthCorpus.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

constexpr std::int32_t kYear = 2026;

TKLStrengthResult Estimate(const std::string& Password, const std::vector<String>& UserInputs = {}) {
  TKLStrengthEstimator estimator;
  estimator.SetReferenceYear(kYear);
  estimator.SetUserInputs(UserInputs);
  return estimator.Estimate(U(Password));
}

// What the cheapest covering of a password looks like: its patterns in order
// and the guesses, as the published model prices them.
struct ShapeCase {
  const char* Password;
  std::vector<TKLMatchPattern> Patterns;
  double Guesses;
};

class StrengthShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(StrengthShape, FindsTheCheapestCovering) {
  const ShapeCase& c = GetParam();
  const TKLStrengthResult r = Estimate(c.Password);
  std::vector<TKLMatchPattern> patterns;
  for (const auto& m : r.Sequence) patterns.push_back(m.Pattern);
  EXPECT_EQ(patterns, c.Patterns);
  EXPECT_NEAR(r.Guesses, c.Guesses, c.Guesses * 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Patterns, StrengthShape,
                         testing::Values(
                             // rank 2; l33t: two substitutions each doubling; reversed doubles
                             ShapeCase{"password", {mpDictionary}, 3}, ShapeCase{"p@ssw0rd", {mpDictionary}, 9},
                             ShapeCase{"drowssap", {mpDictionary}, 5},
                             ShapeCase{"p4@ssword", {mpBruteforce, mpDictionary}, 1231600},
                             // capitalised first letter doubles the rank
                             ShapeCase{"Password", {mpDictionary}, 5},
                             // one row of qwerty, no turn; a repeat of a base
                             ShapeCase{"vbnm,.", {mpSpatial}, 2161}, ShapeCase{"aaaaaa", {mpRepeat}, 73},
                             ShapeCase{"abcdef", {mpSequence}, 25}, ShapeCase{"1990", {mpRegex}, 37},
                             ShapeCase{"1991-10-10", {mpDate}, 51101}, ShapeCase{"", {}, 1},
                             // a stretch of no known kind is brute-forced, ten guesses a character
                             ShapeCase{"xkqjpassword", {mpBruteforce, mpDictionary}, 1010000}));

TEST(Strength, UserInputsCountAsTheMostLikelyWords) {
  const auto without = Estimate("klausberger77");
  const auto with = Estimate("klausberger77", {U("KlausBerger")});
  EXPECT_LT(with.GuessesLog10, without.GuessesLog10 - 3);
  ASSERT_FALSE(with.Sequence.empty());
  EXPECT_EQ(with.Sequence[0].Dictionary, sdUserInputs);
  EXPECT_EQ(with.Sequence[0].Rank, 1);
}

TEST(Strength, ScoreThresholdsAndCrackTimes) {
  const struct {
    double Guesses;
    int Score;
  } table[] = {{1, 0}, {1004, 0}, {1005, 1}, {1e6 + 4, 1}, {1e6 + 5, 2}, {1e8 + 5, 3}, {1e10 + 5, 4}};
  for (const auto& row : table) EXPECT_EQ(GuessesToScore(row.Guesses), row.Score) << row.Guesses;
  EXPECT_EQ(DisplayCrackTime(0.5), u"less than a second");
  EXPECT_EQ(DisplayCrackTime(1.4), u"1 second");
  EXPECT_EQ(DisplayCrackTime(7200), u"2 hours");
  EXPECT_EQ(DisplayCrackTime(86400.0 * 31 * 12 * 100), u"centuries");
  const auto r = Estimate("correcthorsebatterystaple");
  EXPECT_DOUBLE_EQ(r.CrackTimesSeconds.OfflineFastHashing * 1e10, r.Guesses);
  EXPECT_DOUBLE_EQ(r.CrackTimesSeconds.OnlineThrottling, r.Guesses * 36);
}

TEST(Strength, FeedbackNamesTheWeakness) {
  EXPECT_EQ(Estimate("password").Feedback.Warning, u"This is a top-10 common password");
  EXPECT_EQ(Estimate("vbnm,.").Feedback.Warning, u"Straight rows of keys are easy to guess");
  const auto l33t = Estimate("P@ssw0rd");
  EXPECT_EQ(l33t.Feedback.Suggestions.front(), u"Add another word or two. Uncommon words are better.");
  EXPECT_EQ(l33t.Feedback.Suggestions.back(),
            u"Predictable substitutions like '@' instead of 'a' don't help very much");
  EXPECT_TRUE(Estimate("correct horse battery staple ocean").Feedback.Suggestions.empty());
  EXPECT_EQ(Estimate("").Feedback.Suggestions.size(), 2u);
}

// A long password costs a bounded prefix plus a linear scan; repetitive and
// structured inputs, the expensive ones for the search, are included.
TEST(Strength, LongInputsCostBoundedTime) {
  const std::vector<String> inputs = {String(1 << 20, u'a'), U(std::string(1 << 18, '1') + "1991"), [] {
                                        String s;
                                        while (s.size() < (1u << 20)) s += u"p@ssw0rd1991qwerty";
                                        return s;
                                      }()};
  for (const String& p : inputs) {
    const auto start = std::chrono::steady_clock::now();
    const auto r = TKLStrengthEstimator().Estimate(p);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.Truncated);
    EXPECT_EQ(r.Score, 4);
    EXPECT_EQ(r.Sequence.back().J + 1, static_cast<std::int32_t>(p.size()));
    // Generous: far above the real cost, far below any quadratic behaviour.
    EXPECT_LT(elapsed, std::chrono::seconds(2));
  }
}

TEST(StrengthRule, RefusesPasswordsBelowTheMinimumScore) {
  EXPECT_THROW(TKLStrengthRule(5), EKLException);
  EXPECT_THROW(TKLStrengthRule(-1), EKLException);
  const TKLStrengthRule rule(3, {U("alice")});
  EXPECT_FALSE(rule.Validate(U("password1")));
  EXPECT_FALSE(rule.Validate(U("alice2024!")));
  EXPECT_TRUE(rule.Validate(U("tangerine-voltage-meadow")));
  EXPECT_TRUE(TKLStrengthRule(0).Validate(U("")));
}

TEST(StrengthRule, ReportsTooWeakWithScoreAndWarning) {
  TKLPasswordRulesList list;
  list.Add(new TKLStrengthRule(2));
  EXPECT_TRUE(list.GetFailures(U("tangerine-voltage-meadow")).empty());
  const TKLRuleFailures failures = list.GetFailures(U("password"));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kTooWeak);
  EXPECT_EQ(failures[0].FindParameter("score")->Value, u"0");
  EXPECT_EQ(failures[0].FindParameter("warning")->Value, u"This is a top-10 common password");
  EXPECT_EQ(failures[0].GetMessage(), u"The password is too easy to guess: strength 0 of 4, at least 2 needed.");
}

TEST(StrengthRule, NistPolicyRefusesWeakPasswordsOnlyWhenAsked) {
  const String weak = U("aaaaaaaaaaaaaaaaaaaa");
  TKLNistPolicyOptions options;
  EXPECT_TRUE(CreateNistPolicy(options)->GetFailures(weak).empty());
  options.MinimumStrengthScore = 3;
  options.ContextWords = {U("examplebank")};
  const auto policy = CreateNistPolicy(options);
  const TKLRuleFailures failures = policy->GetFailures(weak);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kTooWeak);
  // The context words weigh in the estimate, not only in the blocklist.
  const TKLRuleFailures context = policy->GetFailures(U("examplebank2024"));
  ASSERT_EQ(context.size(), 1u);
  EXPECT_EQ(context[0].GetCode(), kTooWeak);
  EXPECT_TRUE(policy->GetFailures(U("tangerine-voltage-meadow")).empty());
}

// The estimator against the reference package under node on a corpus of
// ten thousand and more passwords of every kind.
TEST(StrengthOracle, ScoresAgreeWithReference) {
  if (!test::OracleAvailable()) GTEST_SKIP() << "node or the reference package not configured";
  const std::vector<String> corpus = test::BuildStrengthCorpus();
  ASSERT_GE(corpus.size(), 10000u);
  const auto oracle = test::RunStrengthOracle(corpus);
  ASSERT_TRUE(oracle.has_value()) << "the reference did not run";
  TKLStrengthEstimator estimator;
  std::size_t sameScore = 0, closeGuesses = 0, shown = 0;
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    const auto r = estimator.Estimate(corpus[i]);
    const auto& o = (*oracle)[i];
    sameScore += r.Score == o.Score;
    const bool close = std::fabs(r.GuessesLog10 - o.GuessesLog10) <= 0.2;
    closeGuesses += close;
    if ((!close || r.Score != o.Score) && shown++ < 25)
      std::printf("differs: '%s' score %d/%d log10 %.3f/%.3f\n", test::Narrow(corpus[i]).c_str(), r.Score, o.Score,
                  r.GuessesLog10, o.GuessesLog10);
  }
  const auto total = static_cast<double>(corpus.size());
  const double scoreShare = 100.0 * static_cast<double>(sameScore) / total;
  const double guessShare = 100.0 * static_cast<double>(closeGuesses) / total;
  std::printf("agreement on %zu passwords: score %.2f %%, guesses_log10 within 0.2 %.2f %%\n", corpus.size(),
              scoreShare, guessShare);
  EXPECT_GE(scoreShare, 98.0);
  EXPECT_GE(guessShare, 95.0);
}

} // namespace
} // namespace kl
