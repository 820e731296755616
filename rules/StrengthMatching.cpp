#include <algorithm>
#include <cstdlib>
#include <optional>

#include "foundation/SecureMemory.h"
#include "rules/StrengthMatching.h"

namespace kl::detail {

Char LowerChar(Char C) noexcept {
  if (C >= u'A' && C <= u'Z') return static_cast<Char>(C + 32);
  if (C < 0xC0) return C;
  if ((C <= 0xDE && C != 0xD7) || (C >= 0x391 && C <= 0x3A9 && C != 0x3A2) || (C >= 0x410 && C <= 0x42F))
    return static_cast<Char>(C + 32);
  if (C >= 0x400 && C <= 0x40F) return static_cast<Char>(C + 80);
  return C;
}

String LowerText(std::u16string_view Text) {
  String lower(Text);
  for (Char& c : lower) c = LowerChar(c);
  return lower;
}

namespace {

bool IsAsciiDigit(Char C) noexcept { return C >= u'0' && C <= u'9'; }
bool IsAsciiLower(Char C) noexcept { return C >= u'a' && C <= u'z'; }
bool IsAsciiUpper(Char C) noexcept { return C >= u'A' && C <= u'Z'; }

// A wiped working copy of (a transformation of) the password.
class TScratch {
public:
  explicit TScratch(String Text) : FText(std::move(Text)) {}
  ~TScratch() { WipeString(FText); }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;
  const String& Get() const noexcept { return FText; }

private:
  String FText;
};

// ---- dictionaries ---------------------------------------------------------

// Calls Found(i, j, dictionary, rank) for every word of the lists, then of the
// user inputs, in Text (compared in lower case). One word at most ends at each
// (i, j) in the built-in lists; a user input found at the same place comes
// after it.
template <class F>
void ForEachWord(std::u16string_view Text, const TMatchContext& Context, F&& Found) {
  const TScratch lower(LowerText(Text));
  const std::u16string_view text = lower.Get();
  auto walk = [&](const TWordTrie& trie) {
    for (std::size_t i = 0; i < text.size(); ++i)
      trie.ForEachWordAt(text, i, [&](std::size_t j, TKLStrengthDictionary dictionary, std::int32_t rank) {
        Found(i, j, dictionary, rank, text.substr(i, j - i + 1));
      });
  };
  walk(TStrengthData::Get().Words);
  if (Context.UserWords != nullptr && !Context.UserWords->IsEmpty()) walk(*Context.UserWords);
}

TKLStrengthMatch MakeDictionaryMatch(std::u16string_view Password, std::size_t I, std::size_t J,
                                     TKLStrengthDictionary Dictionary, std::int32_t Rank, std::u16string_view Word) {
  TKLStrengthMatch m = MakeMatch(mpDictionary, Password, I, J);
  m.MatchedWord = String(Word);
  m.Rank = Rank;
  m.Dictionary = Dictionary;
  return m;
}

void DictionaryMatch(std::u16string_view Password, const TMatchContext& Context, std::vector<TKLStrengthMatch>& Out) {
  ForEachWord(
      Password, Context,
      [&](std::size_t i, std::size_t j, TKLStrengthDictionary dictionary, std::int32_t rank, std::u16string_view word) {
        Out.push_back(MakeDictionaryMatch(Password, i, j, dictionary, rank, word));
      });
}

void ReverseDictionaryMatch(std::u16string_view Password, const TMatchContext& Context,
                            std::vector<TKLStrengthMatch>& Out) {
  const TScratch reversed(String(Password.rbegin(), Password.rend()));
  std::vector<TKLStrengthMatch> found;
  DictionaryMatch(reversed.Get(), Context, found);
  const auto last = static_cast<std::int32_t>(Password.size()) - 1;
  for (auto& m : found) {
    std::reverse(m.Token.begin(), m.Token.end());
    m.Reversed = true;
    const std::int32_t i = last - m.J;
    m.J = last - m.I;
    m.I = i;
  }
  for (auto& m : found) Out.push_back(std::move(m));
}

// The common substitutes of each letter, letters in alphabetical order.
struct TL33tEntry {
  Char Letter;
  std::u16string_view Substitutes;
};
constexpr std::array<TL33tEntry, 12> kL33tTable = {{
    {u'a', u"4@"},
    {u'b', u"8"},
    {u'c', u"({[<"},
    {u'e', u"3"},
    {u'g', u"69"},
    {u'i', u"1!|"},
    {u'l', u"1|7"},
    {u'o', u"0"},
    {u's', u"$5"},
    {u't', u"+7"},
    {u'x', u"%"},
    {u'z', u"2"},
}};

using TL33tSub = std::vector<std::pair<Char, Char>>; // (substitute, letter)

// The substitution tables to try: letter by letter, each letter whose
// substitutes occur in the password takes one of them (one substitute per
// letter and table); a substitute already claimed by an earlier letter either
// stays with it or moves to this one, giving two tables. At most a few dozen
// tables result, as only 12 letters and a handful of shared substitutes exist.
std::vector<TL33tSub> EnumerateL33tSubs(std::u16string_view Password) {
  std::vector<TL33tSub> subs(1);
  for (const TL33tEntry& entry : kL33tTable) {
    std::vector<TL33tSub> next;
    bool relevant = false;
    for (Char sub : entry.Substitutes) {
      if (Password.find(sub) == std::u16string_view::npos) continue;
      relevant = true;
      for (const TL33tSub& current : subs) {
        auto claimed = std::find_if(current.begin(), current.end(), [&](const auto& p) { return p.first == sub; });
        if (claimed == current.end()) {
          TL33tSub extended = current;
          extended.emplace_back(sub, entry.Letter);
          next.push_back(std::move(extended));
        } else {
          TL33tSub moved = current;
          moved.erase(moved.begin() + (claimed - current.begin()));
          moved.emplace_back(sub, entry.Letter);
          next.push_back(current);
          next.push_back(std::move(moved));
        }
      }
    }
    if (!relevant) continue;
    // Drop tables that map the same substitutes to the same letters.
    std::vector<TL33tSub> unique;
    std::vector<TL33tSub> seen;
    for (TL33tSub& sub : next) {
      TL33tSub key = sub;
      std::sort(key.begin(), key.end());
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
      seen.push_back(std::move(key));
      unique.push_back(std::move(sub));
    }
    subs = std::move(unique);
  }
  if (subs.size() == 1 && subs[0].empty()) subs.clear();
  return subs;
}

void L33tMatch(std::u16string_view Password, const TMatchContext& Context, std::vector<TKLStrengthMatch>& Out) {
  std::vector<std::size_t> substitutedBefore(Password.size() + 1); // substituted characters in Password[0..k)
  for (const TL33tSub& sub : EnumerateL33tSubs(Password)) {
    String subbed(Password);
    for (std::size_t k = 0; k < subbed.size(); ++k) {
      substitutedBefore[k + 1] = substitutedBefore[k];
      for (const auto& [from, to] : sub)
        if (subbed[k] == from) {
          subbed[k] = to;
          ++substitutedBefore[k + 1];
          break;
        }
    }
    const TScratch scratch(std::move(subbed));
    ForEachWord(scratch.Get(), Context,
                [&](std::size_t i, std::size_t j, TKLStrengthDictionary dictionary, std::int32_t rank,
                    std::u16string_view word) {
                  // Only words that needed a substitution; single characters would
                  // make every '1' an 'i' and every '4' an 'a'.
                  if (j == i || substitutedBefore[j + 1] == substitutedBefore[i]) return;
                  TKLStrengthMatch m = MakeDictionaryMatch(Password, i, j, dictionary, rank, word);
                  for (const auto& pair : sub)
                    if (m.Token.find(pair.first) != String::npos) m.L33tSub.push_back(pair);
                  m.L33t = true;
                  Out.push_back(std::move(m));
                });
  }
}

// ---- keyboards ------------------------------------------------------------

void SpatialMatchOn(std::u16string_view Password, const TKeyboard& Board, TKLKeyboardGraph Graph,
                    std::vector<TKLStrengthMatch>& Out) {
  const bool isKeyboard = Graph == kgQwerty || Graph == kgDvorak;
  const std::size_t n = Password.size();
  std::size_t i = 0;
  while (i + 1 < n) {
    std::size_t j = i + 1;
    int lastDirection = -1;
    std::int32_t turns = 0;
    std::int32_t shifted = isKeyboard && IsShiftedKey(Password[i]) ? 1 : 0;
    for (;;) {
      const Char prev = Password[j - 1];
      bool found = false;
      if (j < n && prev < 128 && Board.HasKey[prev]) {
        const Char cur = Password[j];
        const auto& neighbours = Board.Neighbours[prev];
        for (std::size_t d = 0; d < neighbours.size(); ++d) {
          const std::size_t at = neighbours[d].find(cur);
          if (at == std::u16string::npos) continue;
          found = true;
          if (at == 1) ++shifted;
          if (lastDirection != static_cast<int>(d)) {
            ++turns;
            lastDirection = static_cast<int>(d);
          }
          break;
        }
      }
      if (found) {
        ++j;
        continue;
      }
      if (j - i > 2) {
        TKLStrengthMatch m = MakeMatch(mpSpatial, Password, i, j - 1);
        m.Graph = Graph;
        m.Turns = turns;
        m.ShiftedCount = shifted;
        Out.push_back(std::move(m));
      }
      i = j;
      break;
    }
  }
}

void SpatialMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  const auto& boards = TStrengthData::Get().Keyboards;
  for (std::size_t g = 0; g < boards.size(); ++g)
    SpatialMatchOn(Password, boards[g], static_cast<TKLKeyboardGraph>(g), Out);
}

// ---- repeats --------------------------------------------------------------

// Characters that never belong to a repeat: the line terminators.
bool IsLineTerminator(Char C) noexcept { return C == u'\n' || C == u'\r' || C == 0x2028 || C == 0x2029; }

bool SameRun(std::u16string_view S, std::size_t A, std::size_t B, std::size_t Len) noexcept {
  return S.compare(A, Len, S.substr(B, Len)) == 0;
}

// The number of back-to-back copies of S[At..At+Len) from At on.
std::size_t CountCopies(std::u16string_view S, std::size_t At, std::size_t Len, std::size_t End) noexcept {
  std::size_t copies = 1;
  while (At + (copies + 1) * Len <= End && SameRun(S, At, At + copies * Len, Len)) ++copies;
  return copies;
}

void RepeatMatch(std::u16string_view Password, const TMatchContext& Context, std::vector<TKLStrengthMatch>& Out) {
  std::size_t from = 0;
  while (from < Password.size()) {
    const auto found = FindRepeat(Password, from);
    if (!found) break;
    TKLStrengthMatch m = MakeMatch(mpRepeat, Password, found->Start, found->Start + found->Length - 1);
    m.BaseToken = String(Password.substr(found->Start, found->BaseLength));
    std::vector<TKLStrengthMatch> baseMatches = Omnimatch(m.BaseToken, Context);
    m.BaseGuesses = MostGuessableMatchSequence(m.BaseToken, baseMatches, Context.ReferenceYear).Guesses;
    m.RepeatCount = static_cast<std::int32_t>(found->Length / found->BaseLength);
    from = found->Start + found->Length;
    Out.push_back(std::move(m));
  }
}

// ---- sequences ------------------------------------------------------------

constexpr std::int32_t kMaxSequenceDelta = 5;

void AddSequence(std::u16string_view Password, std::size_t I, std::size_t J, std::int32_t Delta,
                 std::vector<TKLStrengthMatch>& Out) {
  const std::int32_t step = std::abs(Delta);
  if (!(J - I > 1 || step == 1) || step == 0 || step > kMaxSequenceDelta) return;
  TKLStrengthMatch m = MakeMatch(mpSequence, Password, I, J);
  const auto all = [&](bool (*test)(Char) noexcept) { return std::all_of(m.Token.begin(), m.Token.end(), test); };
  if (all(IsAsciiLower)) {
    m.SequenceKind = skLower;
    m.SequenceSpace = 26;
  } else if (all(IsAsciiUpper)) {
    m.SequenceKind = skUpper;
    m.SequenceSpace = 26;
  } else if (all(IsAsciiDigit)) {
    m.SequenceKind = skDigits;
    m.SequenceSpace = 10;
  } else {
    m.SequenceKind = skUnicode;
    m.SequenceSpace = 26;
  }
  m.Ascending = Delta > 0;
  Out.push_back(std::move(m));
}

// Maximal runs of one constant step between neighbouring code units; two
// neighbouring runs share their boundary character.
void SequenceMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  const std::size_t n = Password.size();
  if (n < 2) return;
  std::size_t i = 0;
  std::int32_t lastDelta = static_cast<std::int32_t>(Password[1]) - static_cast<std::int32_t>(Password[0]);
  for (std::size_t k = 1; k < n; ++k) {
    const std::int32_t delta = static_cast<std::int32_t>(Password[k]) - static_cast<std::int32_t>(Password[k - 1]);
    if (delta == lastDelta) continue;
    AddSequence(Password, i, k - 1, lastDelta, Out);
    i = k - 1;
    lastDelta = delta;
  }
  AddSequence(Password, i, n - 1, lastDelta, Out);
}

// ---- years and dates ------------------------------------------------------

// Years 1900 to 2019, scanned left to right without overlap.
void RecentYearMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  std::size_t p = 0;
  while (p + 4 <= Password.size()) {
    const std::u16string_view t = Password.substr(p, 4);
    const bool digits = IsAsciiDigit(t[2]) && IsAsciiDigit(t[3]);
    const bool year =
        digits && ((t[0] == u'1' && t[1] == u'9') || (t[0] == u'2' && t[1] == u'0' && (t[2] == u'0' || t[2] == u'1')));
    if (!year) {
      ++p;
      continue;
    }
    TKLStrengthMatch m = MakeMatch(mpRegex, Password, p, p + 3);
    m.Year = (t[0] - u'0') * 1000 + (t[1] - u'0') * 100 + (t[2] - u'0') * 10 + (t[3] - u'0');
    Out.push_back(std::move(m));
    p += 4;
  }
}

constexpr std::int32_t kDateMinYear = 1000;
constexpr std::int32_t kDateMaxYear = 2050;

struct TDmy {
  std::int32_t Year;
  std::int32_t Month;
  std::int32_t Day;
};

std::optional<std::pair<std::int32_t, std::int32_t>> IntsToDayMonth(std::int32_t A, std::int32_t B) {
  for (const auto& [d, m] : {std::pair{A, B}, std::pair{B, A}})
    if (d >= 1 && d <= 31 && m >= 1 && m <= 12) return std::pair{d, m};
  return std::nullopt;
}

std::int32_t TwoToFourDigitYear(std::int32_t Y) { return Y > 99 ? Y : (Y > 50 ? Y + 1900 : Y + 2000); }

// Reads three numbers as a day, month and year: the middle one is never the
// year; a full year (1000-2050) first or last wins; else a two-digit year.
std::optional<TDmy> IntsToDmy(const std::array<std::int32_t, 3>& Ints) {
  if (Ints[1] > 31 || Ints[1] <= 0) return std::nullopt;
  int over12 = 0, over31 = 0, under1 = 0;
  for (std::int32_t v : Ints) {
    if ((v > 99 && v < kDateMinYear) || v > kDateMaxYear) return std::nullopt;
    over31 += v > 31;
    over12 += v > 12;
    under1 += v <= 0;
  }
  if (over31 >= 2 || over12 == 3 || under1 >= 2) return std::nullopt;
  const std::array<std::array<std::int32_t, 3>, 2> splits = {
      {{Ints[2], Ints[0], Ints[1]}, {Ints[0], Ints[1], Ints[2]}}};
  for (const auto& [y, a, b] : splits)
    if (y >= kDateMinYear && y <= kDateMaxYear) {
      const auto dm = IntsToDayMonth(a, b);
      if (!dm) return std::nullopt;
      return TDmy{y, dm->second, dm->first};
    }
  for (const auto& [y, a, b] : splits)
    if (const auto dm = IntsToDayMonth(a, b)) return TDmy{TwoToFourDigitYear(y), dm->second, dm->first};
  return std::nullopt;
}

std::int32_t ParseDigits(std::u16string_view Digits) {
  std::int32_t v = 0;
  for (Char c : Digits) v = v * 10 + (c - u'0');
  return v;
}

// Where a run of digits may be cut into day, month and year, by its length.
constexpr std::array<std::array<std::array<int, 2>, 4>, 9> kDateSplits = {{
    {},
    {},
    {},
    {},
    {{{1, 2}, {2, 3}}},
    {{{1, 3}, {2, 3}}},
    {{{1, 2}, {2, 4}, {4, 5}}},
    {{{1, 3}, {2, 3}, {4, 5}, {4, 6}}},
    {{{2, 4}, {4, 6}}},
}};

bool IsDateSeparator(Char C) noexcept {
  constexpr std::u16string_view spaces =
      u"\t\n\v\f\r \u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200A\u2028\u2029"
      u"\u202F\u205F\u3000\uFEFF";
  return C == u'/' || C == u'\\' || C == u'_' || C == u'.' || C == u'-' || spaces.find(C) != std::u16string_view::npos;
}

// 'd1 s d2 s d3' with d1 and d3 of 1-4 digits, d2 of 1-2, the same separator twice.
std::optional<std::pair<Char, std::array<std::int32_t, 3>>> SplitSeparatedDate(std::u16string_view T) {
  auto digitRun = [&](std::size_t from) {
    std::size_t to = from;
    while (to < T.size() && IsAsciiDigit(T[to])) ++to;
    return to - from;
  };
  const std::size_t a = digitRun(0);
  if (a < 1 || a > 4 || a >= T.size() || !IsDateSeparator(T[a])) return std::nullopt;
  const Char sep = T[a];
  const std::size_t b = digitRun(a + 1);
  const std::size_t secondSep = a + 1 + b;
  if (b < 1 || b > 2 || secondSep >= T.size() || T[secondSep] != sep) return std::nullopt;
  const std::size_t c = digitRun(secondSep + 1);
  if (c < 1 || c > 4 || secondSep + 1 + c != T.size()) return std::nullopt;
  return std::pair{sep, std::array{ParseDigits(T.substr(0, a)), ParseDigits(T.substr(a + 1, b)),
                                   ParseDigits(T.substr(secondSep + 1))}};
}

void DateMatch(std::u16string_view Password, std::int32_t ReferenceYear, std::vector<TKLStrengthMatch>& Out) {
  const std::size_t n = Password.size();
  std::vector<TKLStrengthMatch> found;
  auto push = [&](std::size_t i, std::size_t j, Char separator, const TDmy& dmy) {
    TKLStrengthMatch m = MakeMatch(mpDate, Password, i, j);
    m.Separator = separator;
    m.Year = dmy.Year;
    m.Month = dmy.Month;
    m.Day = dmy.Day;
    found.push_back(std::move(m));
  };
  // Without separators: 4 ('1191') to 8 ('11111991') digits; of the readings,
  // the one whose year lies closest to the reference year.
  for (std::size_t i = 0; i + 4 <= n; ++i)
    for (std::size_t len = 4; len <= 8 && i + len <= n; ++len) {
      const std::u16string_view token = Password.substr(i, len);
      if (!std::all_of(token.begin(), token.end(), IsAsciiDigit)) continue;
      std::optional<TDmy> best;
      for (const auto& [k, l] : kDateSplits[len]) {
        if (k == 0) break;
        const auto dmy =
            IntsToDmy({ParseDigits(token.substr(0, static_cast<std::size_t>(k))),
                       ParseDigits(token.substr(static_cast<std::size_t>(k), static_cast<std::size_t>(l - k))),
                       ParseDigits(token.substr(static_cast<std::size_t>(l)))});
        if (dmy && (!best || std::abs(dmy->Year - ReferenceYear) < std::abs(best->Year - ReferenceYear))) best = dmy;
      }
      if (best) push(i, i + len - 1, 0, *best);
    }
  // With separators: 6 ('1/1/91') to 10 ('11/11/1991') characters.
  for (std::size_t i = 0; i + 6 <= n; ++i)
    for (std::size_t len = 6; len <= 10 && i + len <= n; ++len) {
      const auto split = SplitSeparatedDate(Password.substr(i, len));
      if (!split) continue;
      if (const auto dmy = IntsToDmy(split->second)) push(i, i + len - 1, split->first, *dmy);
    }
  // A date inside a longer date ('15_06_04' in '2015_06_04') is noise.
  for (std::size_t a = 0; a < found.size(); ++a) {
    bool inner = false;
    for (std::size_t b = 0; b < found.size() && !inner; ++b)
      inner = a != b && found[b].I <= found[a].I && found[b].J >= found[a].J;
    if (!inner) Out.push_back(found[a]);
  }
}

} // namespace

// ---- pieces the zxcvbn-ts model shares ------------------------------------

TKLStrengthMatch MakeMatch(TKLMatchPattern Pattern, std::u16string_view Password, std::size_t I, std::size_t J) {
  TKLStrengthMatch m;
  m.Pattern = Pattern;
  m.I = static_cast<std::int32_t>(I);
  m.J = static_cast<std::int32_t>(J);
  m.Token = String(Password.substr(I, J - I + 1));
  return m;
}

bool IsShiftedKey(Char C) noexcept {
  constexpr std::u16string_view shifted = u"~!@#$%^&*()_+QWERTYUIOP{}|ASDFGHJKL:\"ZXCVBNM<>?";
  return shifted.find(C) != std::u16string_view::npos;
}

// The leftmost repeat at or after From: at the first position where some run
// is directly followed by a copy of itself, both the longest and the shortest
// such run are tried with as many copies as follow; the longer total wins (the
// shortest run on a tie), and a long run that is itself periodic is reduced to
// its shortest period.
std::optional<TRepeatFound> FindRepeat(std::u16string_view S, std::size_t From) {
  const std::size_t n = S.size();
  for (std::size_t s = From; s + 1 < n; ++s) {
    std::size_t end = s; // the line ends here: no run crosses it
    while (end < n && !IsLineTerminator(S[end])) ++end;
    std::size_t shortest = 0;
    std::size_t longest = 0;
    for (std::size_t len = 1; s + 2 * len <= end; ++len)
      if (SameRun(S, s, s + len, len)) {
        if (shortest == 0) shortest = len;
        longest = len;
      }
    if (shortest == 0) continue;
    const std::size_t lazyLength = shortest * CountCopies(S, s, shortest, end);
    const std::size_t greedyLength = longest * CountCopies(S, s, longest, end);
    if (greedyLength <= lazyLength) return TRepeatFound{s, lazyLength, shortest};
    std::size_t base = 1;
    while (greedyLength % base != 0 || CountCopies(S, s, base, s + greedyLength) * base != greedyLength) ++base;
    return TRepeatFound{s, greedyLength, base};
  }
  return std::nullopt;
}

std::vector<TKLStrengthMatch> Omnimatch(std::u16string_view Password, const TMatchContext& Context) {
  std::vector<TKLStrengthMatch> matches;
  DictionaryMatch(Password, Context, matches);
  ReverseDictionaryMatch(Password, Context, matches);
  L33tMatch(Password, Context, matches);
  SpatialMatch(Password, matches);
  RepeatMatch(Password, Context, matches);
  SequenceMatch(Password, matches);
  RecentYearMatch(Password, matches);
  DateMatch(Password, Context.ReferenceYear, matches);
  return matches;
}

} // namespace kl::detail
