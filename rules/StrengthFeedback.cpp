#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "rules/StrengthFeedback.h"
#include "rules/StrengthMatching.h"

namespace kl {

namespace {

constexpr std::u16string_view kExtraWords = u"Add another word or two. Uncommon words are better.";

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

} // namespace

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

namespace detail {

TKLStrengthFeedback StrengthFeedback(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence) {
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

} // namespace detail

} // namespace kl
