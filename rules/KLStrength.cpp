#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdio>
#include <cstring>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "rules/KLStrength.h"
#include "rules/StrengthMatching.h"

namespace kl {

TKLStrengthMatch::~TKLStrengthMatch() {
  WipeString(Token);
  WipeString(MatchedWord);
  WipeString(BaseToken);
}

namespace {

// Guesses a second of each attack scenario.
constexpr double kOnlineThrottlingRate = 100.0 / 3600.0;
constexpr double kOnlineNoThrottlingRate = 10;
constexpr double kOfflineSlowHashingRate = 1e4;
constexpr double kOfflineFastHashingRate = 1e10;

constexpr std::u16string_view kExtraWords = u"Add another word or two. Uncommon words are better.";

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

bool StartsUpper(const String& W) {
  return W.size() >= 2 && W[0] >= u'A' && W[0] <= u'Z' &&
         std::none_of(W.begin() + 1, W.end(), [](Char c) { return c >= u'A' && c <= u'Z'; });
}

bool AllUpper(const String& W) {
  return !W.empty() && std::none_of(W.begin(), W.end(), [](Char c) { return c >= u'a' && c <= u'z'; });
}

TKLStrengthFeedback DictionaryFeedback(const TKLStrengthMatch& M, bool IsSoleMatch) {
  TKLStrengthFeedback f;
  if (M.Dictionary == sdPasswords) {
    if (IsSoleMatch && !M.L33t && !M.Reversed) {
      f.Warning = M.Rank <= 10    ? u"This is a top-10 common password"
                  : M.Rank <= 100 ? u"This is a top-100 common password"
                                  : u"This is a very common password";
    } else if (std::log10(M.Guesses) <= 4) {
      f.Warning = u"This is similar to a commonly used password";
    }
  } else if (M.Dictionary == sdEnglishWikipedia) {
    if (IsSoleMatch) f.Warning = u"A word by itself is easy to guess";
  } else if (M.Dictionary == sdSurnames || M.Dictionary == sdMaleNames || M.Dictionary == sdFemaleNames) {
    f.Warning = IsSoleMatch ? u"Names and surnames by themselves are easy to guess"
                            : u"Common names and surnames are easy to guess";
  }
  if (StartsUpper(M.Token))
    f.Suggestions.emplace_back(u"Capitalization doesn't help very much");
  else if (AllUpper(M.Token) &&
           std::any_of(M.Token.begin(), M.Token.end(), [](Char c) { return detail::LowerChar(c) != c; }))
    f.Suggestions.emplace_back(u"All-uppercase is almost as easy to guess as all-lowercase");
  if (M.Reversed && M.Token.size() >= 4) f.Suggestions.emplace_back(u"Reversed words aren't much harder to guess");
  if (M.L33t) f.Suggestions.emplace_back(u"Predictable substitutions like '@' instead of 'a' don't help very much");
  return f;
}

// Feedback about one match; false when there is nothing particular to say.
bool MatchFeedback(const TKLStrengthMatch& M, bool IsSoleMatch, TKLStrengthFeedback& F) {
  switch (M.Pattern) {
    case mpDictionary:
      F = DictionaryFeedback(M, IsSoleMatch);
      return true;
    case mpSpatial:
      F.Warning =
          M.Turns == 1 ? u"Straight rows of keys are easy to guess" : u"Short keyboard patterns are easy to guess";
      F.Suggestions = {u"Use a longer keyboard pattern with more turns"};
      return true;
    case mpRepeat:
      F.Warning = M.BaseToken.size() == 1
                      ? u"Repeats like \"aaa\" are easy to guess"
                      : u"Repeats like \"abcabcabc\" are only slightly harder to guess than \"abc\"";
      F.Suggestions = {u"Avoid repeated words and characters"};
      return true;
    case mpSequence:
      F.Warning = u"Sequences like abc or 6543 are easy to guess";
      F.Suggestions = {u"Avoid sequences"};
      return true;
    case mpRegex:
      F.Warning = u"Recent years are easy to guess";
      F.Suggestions = {u"Avoid recent years", u"Avoid years that are associated with you"};
      return true;
    case mpDate:
      F.Warning = u"Dates are often easy to guess";
      F.Suggestions = {u"Avoid dates and years that are associated with you"};
      return true;
    case mpBruteforce:
    case mpSeparator:
    case mpWordSequence:
      break;
  }
  return false;
}

// Good scores get no feedback; otherwise the feedback is about the longest
// match (the first of equals), led by the advice to add words.
TKLStrengthFeedback Feedback(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence) {
  TKLStrengthFeedback f;
  if (Sequence.empty()) {
    f.Suggestions = {u"Use a few words, avoid common phrases", u"No need for symbols, digits, or uppercase letters"};
    return f;
  }
  if (Score > 2) return f;
  const TKLStrengthMatch* longest = &Sequence.front();
  for (const TKLStrengthMatch& m : Sequence)
    if (m.Token.size() > longest->Token.size()) longest = &m;
  MatchFeedback(*longest, Sequence.size() == 1, f);
  f.Suggestions.insert(f.Suggestions.begin(), String(kExtraWords));
  return f;
}

} // namespace

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

String DisplayCrackTime(double Seconds) {
  constexpr double minute = 60, hour = minute * 60, day = hour * 24, month = day * 31, year = month * 12,
                   century = year * 100;
  if (!(Seconds >= 1)) return u"less than a second";
  if (Seconds >= century) return u"centuries";
  struct TUnit {
    double Length;
    std::u16string_view Name;
  };
  constexpr TUnit units[] = {{year, u"year"}, {month, u"month"},   {day, u"day"},
                             {hour, u"hour"}, {minute, u"minute"}, {1, u"second"}};
  for (const TUnit& unit : units) {
    if (Seconds < unit.Length) continue;
    const auto count = static_cast<std::int64_t>(std::floor(Seconds / unit.Length + 0.5));
    String text;
    for (Char c : std::to_string(count)) text.push_back(c);
    text += u" ";
    text += unit.Name;
    if (count != 1) text += u"s";
    return text;
  }
  return u"less than a second";
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
  if (FProfile == spZxcvbnTs) return EstimateTs(Password);
  const std::int32_t year = FReferenceYear > 0 ? FReferenceYear : CurrentYear();
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
  r.CrackTimesSeconds = {r.Guesses / kOnlineThrottlingRate, r.Guesses / kOnlineNoThrottlingRate,
                         r.Guesses / kOfflineSlowHashingRate, r.Guesses / kOfflineFastHashingRate};
  r.CrackTimesDisplay = {DisplayCrackTime(r.CrackTimesSeconds.OnlineThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OnlineNoThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineSlowHashing),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineFastHashing)};
  r.Feedback = Feedback(r.Score, r.Sequence);
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
      .AddText("warning", r.Feedback.Warning);
}

} // namespace kl
