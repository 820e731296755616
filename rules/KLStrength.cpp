#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "rules/KLStrength.h"
#include "rules/StrengthFeedback.h"
#include "rules/StrengthMatching.h"

namespace kl {

namespace detail {

namespace {

// Guesses a second of each attack scenario.
constexpr double kOnlineThrottlingRate = 100.0 / 3600.0;
constexpr double kOnlineNoThrottlingRate = 10;
constexpr double kOfflineSlowHashingRate = 1e4;
constexpr double kOfflineFastHashingRate = 1e10;

} // namespace

// The year of the local clock, from the day count (proleptic Gregorian).
std::int32_t CurrentYear() {
  const std::int64_t seconds = NowUnixSeconds();
  const std::int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<std::int32_t>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

TKLCrackTimes CrackTimesOf(double Guesses) {
  return {Guesses / kOnlineThrottlingRate, Guesses / kOnlineNoThrottlingRate, Guesses / kOfflineSlowHashingRate,
          Guesses / kOfflineFastHashingRate};
}

} // namespace detail

TKLStrengthMatch::~TKLStrengthMatch() {
  WipeString(Token);
  WipeString(MatchedWord);
  WipeString(BaseToken);
}

std::int32_t GuessesToScore(double Guesses) noexcept {
  // A little slack, so that a count just over a threshold by rounding still
  // takes the lower score.
  constexpr double delta = 5;
  if (Guesses < 1e3 + delta) return 0;
  if (Guesses < 1e6 + delta) return 1;
  if (Guesses < 1e8 + delta) return 2;
  if (Guesses < 1e10 + delta) return 3;
  return 4;
}

TKLStrengthEstimator::TKLStrengthEstimator() : FUserWords(std::make_unique<detail::TWordTrie>()) {}

TKLStrengthEstimator::~TKLStrengthEstimator() = default;

void TKLStrengthEstimator::SetUserInputs(const std::vector<String>& Value) {
  auto words = std::make_unique<detail::TWordTrie>();
  std::int32_t rank = 0;
  for (const String& word : Value) words->Add(detail::LowerText(word), sdUserInputs, ++rank);
  words->Freeze();
  std::vector<String> copy = Value;
  FUserWords = std::move(words);
  FUserInputs = std::move(copy);
}

void TKLStrengthEstimator::SetProfile(TKLStrengthProfile Value) {
  if (Value != spZxcvbn && Value != spZxcvbnTs) throw EKLException(SStrengthProfileUnknown);
  if (Value == spZxcvbnTs && StrengthLanguages().empty()) throw EKLException(SStrengthTsUnavailable);
  FProfile = Value;
}

void TKLStrengthEstimator::SetLanguages(const std::vector<std::string>& Value) {
  const std::vector<std::string> known = StrengthLanguages();
  for (const std::string& code : Value) {
    if (std::find(known.begin(), known.end(), code) != known.end()) continue;
    std::string message = "Unknown strength language '" + code + "'; known: ";
    for (std::size_t i = 0; i < known.size(); ++i) message += (i == 0 ? "" : ", ") + known[i];
    if (known.empty()) message += "none (this build has no language packs)";
    throw EKLException(message);
  }
  std::vector<std::string> copy = Value;
  FLanguages = std::move(copy);
}

TKLStrengthResult TKLStrengthEstimator::Estimate(const String& Password) const {
  if (FProfile == spZxcvbnTs) {
    TKLStrengthResult ts = EstimateTs(Password);
    detail::DescribeStrength(ts, FLanguages);
    return ts;
  }
  const std::int32_t year = FReferenceYear > 0 ? FReferenceYear : detail::CurrentYear();
  const detail::TMatchContext context{FUserWords.get(), year};
  const std::u16string_view text(Password);
  const auto window = static_cast<std::size_t>(MaxEstimatedLength);

  TKLStrengthResult r;
  r.GuessesLog10 = 0;
  r.Truncated = text.size() > window;
  std::size_t start = 0;
  do {
    std::size_t end = std::min(text.size(), start + window);
    // Where the text after the window only repeats the characters shortly
    // before it, the repetition is followed back to where it began, and the
    // window ends there.
    std::size_t shift = 0, stop = end;
    if (end < text.size()) shift = detail::CopyShift(text, end, std::min(text.size(), end + window), window);
    if (shift != 0) {
      while (stop < text.size() && text[stop] == text[stop - shift]) ++stop;
      while (end > start && end > shift && text[end - 1] == text[end - 1 - shift]) --end;
    }
    if (end > start && start > 0 && GuessesToScore(std::pow(10.0, r.GuessesLog10)) == kMaxStrengthScore) {
      // Nothing further can lower the score: the window is priced as brute
      // force, the most its analysis could give, and the work stays linear.
      // Neighbouring such windows make one match, its text taken at the end.
      r.GuessesLog10 += static_cast<double>(end - start);
      if (r.Sequence.back().Pattern != mpBruteforce || !r.Sequence.back().Token.empty() ||
          static_cast<std::size_t>(r.Sequence.back().J) + 1 != start) {
        TKLStrengthMatch& tail = r.Sequence.emplace_back();
        tail.Pattern = mpBruteforce;
        tail.I = detail::ClampedPosition(start);
      }
      r.Sequence.back().J = detail::ClampedPosition(end - 1);
    } else if (end > start || start == 0) {
      const std::u16string_view piece = text.substr(start, end - start);
      std::vector<TKLStrengthMatch> matches = detail::Omnimatch(piece, context);
      detail::TGuessSequence best = detail::MostGuessableMatchSequence(piece, matches, year);
      r.GuessesLog10 += std::log(best.Guesses) / std::log(10.0);
      r.Guesses = best.Guesses; // the whole answer when the password is one window
      for (TKLStrengthMatch& m : best.Sequence) {
        m.I = detail::ClampedPosition(start + static_cast<std::size_t>(m.I));
        m.J = detail::ClampedPosition(start + static_cast<std::size_t>(m.J));
        r.Sequence.push_back(std::move(m));
      }
    }
    if (shift != 0) {
      // Priced as the repeat of the last Shift characters it is, but the
      // copies beyond those that fill a window add nothing: a long password
      // is not strong by repetition alone.
      TKLStrengthMatch run;
      run.Pattern = mpRepeat;
      run.I = detail::ClampedPosition(end);
      run.J = detail::ClampedPosition(stop - 1);
      run.Token = String(text.substr(end, stop - end));
      run.BaseToken = String(text.substr(end - shift, shift));
      const std::size_t copies = 1 + (stop - end + shift - 1) / shift;
      run.RepeatCount = detail::ClampedPosition(copies);
      run.Guesses = static_cast<double>(std::min(copies, detail::MostCountedCopies(shift, window)));
      r.GuessesLog10 += std::log10(run.Guesses);
      r.Sequence.push_back(std::move(run));
    }
    start = stop;
  } while (start < text.size());
  if (r.Truncated) r.Guesses = std::min(std::pow(10.0, r.GuessesLog10), DBL_MAX);
  for (TKLStrengthMatch& m : r.Sequence) {
    if (m.Pattern != mpBruteforce || !m.Token.empty()) continue;
    const auto length = static_cast<std::size_t>(m.J - m.I) + 1;
    m.Token = String(text.substr(static_cast<std::size_t>(m.I), length));
    m.Guesses = std::min(std::pow(10.0, static_cast<double>(length)), DBL_MAX);
  }
  r.Score = GuessesToScore(r.Guesses);
  r.CrackTimesSeconds = detail::CrackTimesOf(r.Guesses);
  detail::DescribeStrength(r, FLanguages);
  return r;
}

TKLStrengthResult EstimatePasswordStrength(const String& Password, const std::vector<String>& UserInputs) {
  TKLStrengthEstimator estimator;
  estimator.SetUserInputs(UserInputs);
  return estimator.Estimate(Password);
}

TKLStrengthRule::TKLStrengthRule(std::int32_t MinScore, const std::vector<String>& UserInputs) : FMinScore(MinScore) {
  if (MinScore < 0 || MinScore > kMaxStrengthScore) throw EKLException(SStrengthScoreOutOfRange);
  FEstimator.SetUserInputs(UserInputs);
}

bool TKLStrengthRule::Validate(const String& Password) const {
  return FEstimator.Estimate(Password).Score >= FMinScore;
}

void TKLStrengthRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  const TKLStrengthResult r = FEstimator.Estimate(Password);
  if (r.Score >= FMinScore) return;
  char log10[32];
  std::snprintf(log10, sizeof log10, "%.2f", r.GuessesLog10);
  Failures.emplace_back(kTooWeak)
      .AddNumber("score", r.Score)
      .AddNumber("minimum", FMinScore)
      .AddText("guesses_log10", String(log10, log10 + std::strlen(log10)))
      .AddText("warning", r.Feedback.Warning)
      .AddText("warning_key", String(r.Feedback.WarningKey.begin(), r.Feedback.WarningKey.end()));
}

} // namespace kl
