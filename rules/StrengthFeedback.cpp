#include "rules/StrengthFeedback.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/StrengthMatching.h"
#include "rules/StrengthTs.h"

namespace kl {

namespace detail {
extern const std::string_view kStrengthTextsText;
}

namespace {

using detail::TStrengthTextKind;

constexpr std::string_view kEnglish = "en";

// Keys as an application sees them: one warning (empty for none) and the
// suggestions in order. The views point at literals.
struct TFeedbackKeys {
  std::string_view Warning;
  std::vector<std::string_view> Suggestions;
};

struct TFixedText {
  TStrengthTextKind Kind;
  std::string_view Key;
  std::u16string_view Text;
};

// zxcvbn 4.4.2's own English, which its profile keeps byte for byte. The times
// are the same words as the English pack's.
constexpr TFixedText kEnglish4Texts[] = {
    {TStrengthTextKind::tkWarning, "straightRow", u"Straight rows of keys are easy to guess"},
    {TStrengthTextKind::tkWarning, "keyPattern", u"Short keyboard patterns are easy to guess"},
    {TStrengthTextKind::tkWarning, "simpleRepeat", u"Repeats like \"aaa\" are easy to guess"},
    {TStrengthTextKind::tkWarning, "extendedRepeat",
     u"Repeats like \"abcabcabc\" are only slightly harder to guess than \"abc\""},
    {TStrengthTextKind::tkWarning, "sequences", u"Sequences like abc or 6543 are easy to guess"},
    {TStrengthTextKind::tkWarning, "recentYears", u"Recent years are easy to guess"},
    {TStrengthTextKind::tkWarning, "dates", u"Dates are often easy to guess"},
    {TStrengthTextKind::tkWarning, "topTen", u"This is a top-10 common password"},
    {TStrengthTextKind::tkWarning, "topHundred", u"This is a top-100 common password"},
    {TStrengthTextKind::tkWarning, "common", u"This is a very common password"},
    {TStrengthTextKind::tkWarning, "similarToCommon", u"This is similar to a commonly used password"},
    {TStrengthTextKind::tkWarning, "wordByItself", u"A word by itself is easy to guess"},
    {TStrengthTextKind::tkWarning, "namesByThemselves", u"Names and surnames by themselves are easy to guess"},
    {TStrengthTextKind::tkWarning, "commonNames", u"Common names and surnames are easy to guess"},
    {TStrengthTextKind::tkSuggestion, "l33t",
     u"Predictable substitutions like '@' instead of 'a' don't help very much"},
    {TStrengthTextKind::tkSuggestion, "reverseWords", u"Reversed words aren't much harder to guess"},
    {TStrengthTextKind::tkSuggestion, "allUppercase", u"All-uppercase is almost as easy to guess as all-lowercase"},
    {TStrengthTextKind::tkSuggestion, "capitalization", u"Capitalization doesn't help very much"},
    {TStrengthTextKind::tkSuggestion, "dates", u"Avoid dates and years that are associated with you"},
    {TStrengthTextKind::tkSuggestion, "recentYears", u"Avoid recent years"},
    {TStrengthTextKind::tkSuggestion, "associatedYears", u"Avoid years that are associated with you"},
    {TStrengthTextKind::tkSuggestion, "sequences", u"Avoid sequences"},
    {TStrengthTextKind::tkSuggestion, "repeated", u"Avoid repeated words and characters"},
    {TStrengthTextKind::tkSuggestion, "longerKeyboardPattern", u"Use a longer keyboard pattern with more turns"},
    {TStrengthTextKind::tkSuggestion, "anotherWord", u"Add another word or two. Uncommon words are better."},
    {TStrengthTextKind::tkSuggestion, "useWords", u"Use a few words, avoid common phrases"},
    {TStrengthTextKind::tkSuggestion, "noNeed", u"No need for symbols, digits, or uppercase letters"},
    {TStrengthTextKind::tkTime, "ltSecond", u"less than a second"},
    {TStrengthTextKind::tkTime, "second", u"{base} second"},
    {TStrengthTextKind::tkTime, "seconds", u"{base} seconds"},
    {TStrengthTextKind::tkTime, "minute", u"{base} minute"},
    {TStrengthTextKind::tkTime, "minutes", u"{base} minutes"},
    {TStrengthTextKind::tkTime, "hour", u"{base} hour"},
    {TStrengthTextKind::tkTime, "hours", u"{base} hours"},
    {TStrengthTextKind::tkTime, "day", u"{base} day"},
    {TStrengthTextKind::tkTime, "days", u"{base} days"},
    {TStrengthTextKind::tkTime, "month", u"{base} month"},
    {TStrengthTextKind::tkTime, "months", u"{base} months"},
    {TStrengthTextKind::tkTime, "year", u"{base} year"},
    {TStrengthTextKind::tkTime, "years", u"{base} years"},
    {TStrengthTextKind::tkTime, "centuries", u"centuries"},
};

const std::u16string_view* English4Text(TStrengthTextKind Kind, std::string_view Key) {
  for (const TFixedText& t : kEnglish4Texts)
    if (t.Kind == Kind && t.Key == Key) return &t.Text;
  return nullptr;
}

constexpr std::string_view SectionName(TStrengthTextKind Kind) {
  switch (Kind) {
    case TStrengthTextKind::tkWarning:
      return "warnings";
    case TStrengthTextKind::tkSuggestion:
      return "suggestions";
    case TStrengthTextKind::tkTime:
      break;
  }
  return "timeEstimation";
}

// The packs' texts by "pack\tsection\tkey", read once from the compiled-in
// lines "pack\tsection\tkey\ttext" (UTF-8), and grown by the packs a host
// hands in while it runs. Entries are never changed or removed, so a text
// found stays where it is while others are added.
using TPackTexts = std::map<std::string, String, std::less<>>;

// Adds the lines "pack\tsection\tkey\ttext" of Lines; a key present already keeps its text.
void AddLines(TPackTexts& Texts, std::string_view Lines) {
  while (!Lines.empty()) {
    const std::size_t end = std::min(Lines.find('\n'), Lines.size());
    const std::string_view line = Lines.substr(0, end);
    Lines.remove_prefix(std::min(end + 1, Lines.size()));
    const std::size_t split = line.rfind('\t');
    if (split == std::string_view::npos) continue;
    Texts.emplace(std::string(line.substr(0, split)), UTF8ToStr(RawByteString(line.substr(split + 1))));
  }
}

struct TPackTextStore {
  std::shared_mutex Lock;
  TPackTexts Texts;
  TPackTextStore() { AddLines(Texts, detail::kStrengthTextsText); }
};

TPackTextStore& PackTexts() {
  static TPackTextStore store;
  return store;
}

const String* PackText(std::string_view Language, TStrengthTextKind Kind, std::string_view Key) {
  std::string name(Language);
  name += '\t';
  name += SectionName(Kind);
  name += '\t';
  name += Key;
  TPackTextStore& store = PackTexts();
  const std::shared_lock lock(store.Lock);
  const auto found = store.Texts.find(name);
  return found == store.Texts.end() ? nullptr : &found->second;
}

// --- the rules of zxcvbn 4.4.2 ---------------------------------------------

bool StartsUpper(const String& W) {
  return W.size() >= 2 && W[0] >= u'A' && W[0] <= u'Z' &&
         std::none_of(W.begin() + 1, W.end(), [](Char c) { return c >= u'A' && c <= u'Z'; });
}

bool AllUpper(const String& W) {
  return !W.empty() && std::none_of(W.begin(), W.end(), [](Char c) { return c >= u'a' && c <= u'z'; });
}

bool HasCapital(const String& W) {
  return std::any_of(W.begin(), W.end(), [](Char c) { return detail::LowerChar(c) != c; });
}

// The advice on a word's spelling, the same in both models but for which
// letters count as capitals and what lower case is (AllUpperWord: no small
// letter, and lower case changes it).
void SpellingKeys(const TKLStrengthMatch& M, bool StartsUpperWord, bool AllUpperWord, TFeedbackKeys& K) {
  if (StartsUpperWord)
    K.Suggestions.push_back("capitalization");
  else if (AllUpperWord)
    K.Suggestions.push_back("allUppercase");
  if (M.Reversed && M.Token.size() >= 4) K.Suggestions.push_back("reverseWords");
  if (M.L33t) K.Suggestions.push_back("l33t");
}

std::string_view CommonPasswordWarning(const TKLStrengthMatch& M, bool IsSoleMatch) {
  if (IsSoleMatch && !M.L33t && !M.Reversed) return M.Rank <= 10 ? "topTen" : M.Rank <= 100 ? "topHundred" : "common";
  if (std::log10(M.Guesses) <= 4) return "similarToCommon";
  return {};
}

TFeedbackKeys DictionaryKeys(const TKLStrengthMatch& M, bool IsSoleMatch) {
  TFeedbackKeys k;
  if (M.Dictionary == sdPasswords) {
    k.Warning = CommonPasswordWarning(M, IsSoleMatch);
  } else if (M.Dictionary == sdEnglishWikipedia) {
    if (IsSoleMatch) k.Warning = "wordByItself";
  } else if (M.Dictionary == sdSurnames || M.Dictionary == sdMaleNames || M.Dictionary == sdFemaleNames) {
    k.Warning = IsSoleMatch ? "namesByThemselves" : "commonNames";
  }
  SpellingKeys(M, StartsUpper(M.Token), AllUpper(M.Token) && HasCapital(M.Token), k);
  return k;
}

// The keys of the patterns both models treat alike; the others leave K as it is.
void CommonPatternKeys(const TKLStrengthMatch& M, TFeedbackKeys& K) {
  switch (M.Pattern) {
    case mpSpatial:
      K = {M.Turns == 1 ? "straightRow" : "keyPattern", {"longerKeyboardPattern"}};
      break;
    case mpRepeat:
      K = {M.BaseToken.size() == 1 ? "simpleRepeat" : "extendedRepeat", {"repeated"}};
      break;
    case mpSequence:
      K = {"sequences", {"sequences"}};
      break;
    case mpRegex: // a recent year, the only regular expression of either model
      K = {"recentYears", {"recentYears", "associatedYears"}};
      break;
    case mpDate:
      K = {"dates", {"dates"}};
      break;
    default:
      break;
  }
}

TFeedbackKeys MatchKeys(const TKLStrengthMatch& M, bool IsSoleMatch) {
  TFeedbackKeys k;
  if (M.Pattern == mpDictionary) return DictionaryKeys(M, IsSoleMatch);
  CommonPatternKeys(M, k);
  return k;
}

// --- the rules of zxcvbn-ts 4.2.0 -------------------------------------------

// Capitals as its patterns take them: A-Z and the Latin-1 block from U+00BF to
// U+00DF; small letters a-z and U+00DF to U+00FF.
bool IsTsCapital(Char C) { return (C >= u'A' && C <= u'Z') || (C >= 0xBF && C <= 0xDF); }
bool IsTsSmall(Char C) { return (C >= u'a' && C <= u'z') || (C >= 0xDF && C <= 0xFF); }

bool TsStartsUpper(const String& W) {
  return W.size() >= 2 && IsTsCapital(W[0]) && std::none_of(W.begin() + 1, W.end(), IsTsCapital);
}

bool TsAllUpper(const String& W) { return !W.empty() && std::none_of(W.begin(), W.end(), IsTsSmall); }

// JavaScript's lower case changes the word: it holds a capital of any script.
// The lowered copy is a piece of the password, wiped once compared.
bool TsHasCapital(const String& W) {
  String lower = detail::TsLower(W);
  const bool changes = lower != W;
  WipeString(lower);
  return changes;
}

bool Contains(std::string_view Text, std::string_view Part) { return Text.find(Part) != std::string_view::npos; }

// The list decides the warning, by its name: the packs name their lists
// "passwords", "wikipedia", "firstnames-de", "lastnames", "userInputs"...
std::string_view TsDictionaryWarning(const TKLStrengthMatch& M, bool IsSoleMatch) {
  const std::string& name = M.DictionaryName;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  if (Contains(name, "passwords")) return CommonPasswordWarning(M, IsSoleMatch);
  if (Contains(name, "wikipedia")) return IsSoleMatch ? "wordByItself" : "";
  if (Contains(lower, "names")) return IsSoleMatch ? "namesByThemselves" : "commonNames";
  if (Contains(name, "userInputs")) return "userInputs";
  return {};
}

TFeedbackKeys TsWordSequenceKeys(const TKLStrengthMatch& M) {
  TFeedbackKeys k;
  if (M.Words.size() >= 3) k.Warning = "sequences";
  k.Suggestions.push_back(M.Ascending ? "sequences" : "anotherWord");
  if (M.Words.size() > 2) k.Suggestions.push_back("useWords");
  return k;
}

TFeedbackKeys TsMatchKeys(const TKLStrengthMatch& M, bool IsSoleMatch) {
  TFeedbackKeys k;
  if (M.Pattern == mpDictionary) {
    k.Warning = TsDictionaryWarning(M, IsSoleMatch);
    SpellingKeys(M, TsStartsUpper(M.Token), TsAllUpper(M.Token) && TsHasCapital(M.Token), k);
  } else if (M.Pattern == mpWordSequence) {
    k = TsWordSequenceKeys(M);
  } else {
    CommonPatternKeys(M, k);
  }
  return k;
}

// --- both --------------------------------------------------------------------

TFeedbackKeys FeedbackKeys(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence,
                           TKLStrengthProfile Profile) {
  if (Sequence.empty()) return {{}, {"useWords", "noNeed"}};
  if (Score > 2) return {};
  const TKLStrengthMatch* longest = &Sequence.front();
  for (const TKLStrengthMatch& m : Sequence)
    if (m.Token.size() > longest->Token.size()) longest = &m;
  const bool sole = Sequence.size() == 1;
  TFeedbackKeys k = Profile == spZxcvbnTs ? TsMatchKeys(*longest, sole) : MatchKeys(*longest, sole);
  k.Suggestions.insert(k.Suggestions.begin(), "anotherWord");
  return k;
}

// The unit a time is told in and the count of it (0 where the text has none),
// as both models round it.
std::pair<std::string_view, std::int64_t> TimeKey(double Seconds) {
  constexpr double minute = 60, hour = minute * 60, day = hour * 24, month = day * 31, year = month * 12,
                   century = year * 100;
  if (!(Seconds >= 1)) return {"ltSecond", 0};
  if (Seconds >= century) return {"centuries", 0};
  struct TUnit {
    double Length;
    std::string_view Singular, Plural;
  };
  constexpr TUnit units[] = {{year, "year", "years"}, {month, "month", "months"},    {day, "day", "days"},
                             {hour, "hour", "hours"}, {minute, "minute", "minutes"}, {1, "second", "seconds"}};
  for (const TUnit& unit : units) {
    if (Seconds < unit.Length) continue;
    const auto count = static_cast<std::int64_t>(std::floor(Seconds / unit.Length + 0.5));
    return {count == 1 ? unit.Singular : unit.Plural, count};
  }
  return {"ltSecond", 0};
}

String TimeText(double Seconds, std::string_view Language, bool English4) {
  const auto [key, count] = TimeKey(Seconds);
  String text = detail::StrengthText(Language, TStrengthTextKind::tkTime, key, English4);
  constexpr std::u16string_view placeholder = u"{base}";
  const std::size_t at = text.find(placeholder);
  if (at != String::npos) {
    const std::string digits = std::to_string(count);
    text.replace(at, placeholder.size(), String(digits.begin(), digits.end()));
  }
  return text;
}

} // namespace

String DisplayCrackTime(double Seconds) { return TimeText(Seconds, kEnglish, true); }

String DisplayCrackTime(double Seconds, std::string_view Language) { return TimeText(Seconds, Language, false); }

namespace detail {

void AddStrengthTexts(std::string_view Language, std::string_view Lines) {
  TPackTexts added;
  std::string prefixed;
  while (!Lines.empty()) {
    const std::size_t end = std::min(Lines.find('\n'), Lines.size());
    prefixed.append(Language).append("\t").append(Lines.substr(0, end)).append("\n");
    Lines.remove_prefix(std::min(end + 1, Lines.size()));
  }
  AddLines(added, prefixed);
  TPackTextStore& store = PackTexts();
  const std::unique_lock lock(store.Lock);
  store.Texts.merge(added);
}

String StrengthText(std::string_view Language, TStrengthTextKind Kind, std::string_view Key, bool English4) {
  if (English4 && Language == kEnglish) {
    if (const std::u16string_view* text = English4Text(Kind, Key)) return String(*text);
  }
  if (const String* text = PackText(Language, Kind, Key)) return *text;
  if (const String* text = PackText(kEnglish, Kind, Key)) return *text;
  // Builds without the packs' texts still speak zxcvbn 4.4.2's English.
  if (const std::u16string_view* text = English4Text(Kind, Key)) return String(*text);
  return {};
}

TKLStrengthFeedback StrengthFeedback(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence,
                                     TKLStrengthProfile Profile, std::string_view Language) {
  const TFeedbackKeys keys = FeedbackKeys(Score, Sequence, Profile);
  const bool english4 = Profile == spZxcvbn;
  TKLStrengthFeedback f;
  if (!keys.Warning.empty()) {
    f.WarningKey = keys.Warning;
    f.Warning = StrengthText(Language, TStrengthTextKind::tkWarning, keys.Warning, english4);
  }
  for (const std::string_view key : keys.Suggestions) {
    f.SuggestionKeys.emplace_back(key);
    f.Suggestions.push_back(StrengthText(Language, TStrengthTextKind::tkSuggestion, key, english4));
  }
  return f;
}

void DescribeStrength(TKLStrengthResult& Result, const std::vector<std::string>& Languages) {
  Result.Language = Languages.empty() ? std::string(kEnglish) : Languages.front();
  const bool english4 = Result.Profile == spZxcvbn;
  const TKLCrackTimes& t = Result.CrackTimesSeconds;
  Result.CrackTimesDisplay = {TimeText(t.OnlineThrottling, Result.Language, english4),
                              TimeText(t.OnlineNoThrottling, Result.Language, english4),
                              TimeText(t.OfflineSlowHashing, Result.Language, english4),
                              TimeText(t.OfflineFastHashing, Result.Language, english4)};
  Result.Feedback = StrengthFeedback(Result.Score, Result.Sequence, Result.Profile, Result.Language);
}

} // namespace detail

} // namespace kl
