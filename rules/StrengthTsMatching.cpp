// The matchers of the zxcvbn-ts profile. Each finds every stretch of its kind,
// in the order the oracle finds them, since the scoring keeps the first of
// equally cheap coverings.
#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <tuple>

#include "rules/StrengthTs.h"

namespace kl::detail {

namespace {

bool IsDigit(Char C) noexcept { return C >= u'0' && C <= u'9'; }

// JavaScript's \s.
bool IsJsSpace(Char C) noexcept {
  return (C >= 9 && C <= 13) || C == 0x20 || C == 0xA0 || C == 0x1680 || (C >= 0x2000 && C <= 0x200A) || C == 0x2028 ||
         C == 0x2029 || C == 0x202F || C == 0x205F || C == 0x3000 || C == 0xFEFF;
}

// ---- dictionaries -----------------------------------------------------------

// Every word of the context's dictionaries (only the ordered lists when
// WordSequenceOnly, and then no user inputs) in Password, looked up in lower
// case: by start, then end, then the order of the dictionaries.
// Keep(i, j) may pass over words the caller would drop anyway; Keep(i, npos)
// false skips the start i altogether.
template <class K>
void DictionaryMatchWhere(std::u16string_view Password, const TTsContext& C, bool WordSequenceOnly, K&& Keep,
                          std::vector<TKLStrengthMatch>& Out) {
  String lower = TsLower(Password);
  const TWipeOnExit wipeLower(lower);
  const std::size_t n = Password.size();
  const std::size_t limit = std::min(n, lower.size());
  struct THit {
    std::size_t J;
    std::int32_t Order;
    std::int32_t Rank;
  };
  std::vector<THit> hits;
  for (std::size_t i = 0; i < n; ++i) {
    hits.clear();
    if (!Keep(i, std::u16string_view::npos)) continue;
    for (std::size_t p = 0; p < C.Packs.size(); ++p) {
      const std::vector<std::int32_t>& order = C.Order[p];
      C.Packs[p]->Words.ForEachWordAt(
          lower, i, limit, [&](std::size_t j, std::span<const TTsWordTree::TEntry> entries) {
            for (const TTsWordTree::TEntry& e : entries) {
              const std::int32_t o = order[e.List];
              if (o < 0 || (WordSequenceOnly && !C.Dictionaries[static_cast<std::size_t>(o)].IsWordSequence) ||
                  !Keep(i, j))
                continue;
              hits.push_back({j, o, e.Rank});
            }
          });
    }
    if (!WordSequenceOnly && !C.UserWords.empty()) {
      const std::size_t last = std::min(limit, i + C.LongestUserWord);
      for (std::size_t j = i; j < last; ++j) {
        const auto it = C.UserWords.find(std::u16string(lower.substr(i, j - i + 1)));
        if (it != C.UserWords.end() && Keep(i, j))
          hits.push_back({j, static_cast<std::int32_t>(C.Dictionaries.size()) - 1, it->second});
      }
    }
    std::sort(hits.begin(), hits.end(),
              [](const THit& a, const THit& b) { return std::tie(a.J, a.Order) < std::tie(b.J, b.Order); });
    for (const THit& h : hits) {
      TKLStrengthMatch m = MakeMatch(mpDictionary, Password, i, h.J);
      m.MatchedWord = lower.substr(i, h.J - i + 1);
      m.Rank = h.Rank;
      const TTsDictionary& d = C.Dictionaries[static_cast<std::size_t>(h.Order)];
      m.DictionaryName = d.Name;
      m.Dictionary = d.Pack == nullptr ? sdUserInputs : sdLanguagePack;
      Out.push_back(std::move(m));
    }
  }
}

void DictionaryMatch(std::u16string_view Password, const TTsContext& C, bool WordSequenceOnly,
                     std::vector<TKLStrengthMatch>& Out) {
  DictionaryMatchWhere(
      Password, C, WordSequenceOnly, [](std::size_t, std::size_t) { return true; }, Out);
}

void ReverseDictionaryMatch(std::u16string_view Password, const TTsContext& C, bool WordSequenceOnly,
                            std::vector<TKLStrengthMatch>& Out) {
  String reversed(Password.rbegin(), Password.rend());
  const TWipeOnExit wipeReversed(reversed);
  std::vector<TKLStrengthMatch> found;
  DictionaryMatch(reversed, C, WordSequenceOnly, found);
  const auto n = static_cast<std::int32_t>(Password.size());
  for (TKLStrengthMatch& m : found) {
    std::reverse(m.Token.begin(), m.Token.end());
    m.Reversed = true;
    const std::int32_t i = n - 1 - m.J, j = n - 1 - m.I;
    m.I = i;
    m.J = j;
    Out.push_back(std::move(m));
  }
}

// ---- l33t -------------------------------------------------------------------

struct TL33tRow {
  Char Letter;
  std::array<std::u16string_view, 6> Subs;
};

constexpr TL33tRow kL33tTable[] = {
    {u'a', {u"4", u"@"}},
    {u'b', {u"8"}},
    {u'c', {u"(", u"{", u"[", u"<"}},
    {u'd', {u"6", u"|)"}},
    {u'e', {u"3"}},
    {u'f', {u"#"}},
    {u'g', {u"6", u"9", u"&"}},
    {u'h', {u"#", u"|-|"}},
    {u'i', {u"1", u"!", u"|"}},
    {u'k', {u"<", u"|<"}},
    {u'l', {u"!", u"1", u"|", u"7"}},
    {u'm', {u"^^", u"nn", u"2n", u"/\\\\/\\\\"}},
    {u'n', {u"//"}},
    {u'o', {u"0", u"()"}},
    {u'q', {u"9"}},
    {u'u', {u"|_|"}},
    {u's', {u"$", u"5"}},
    {u't', {u"+", u"7"}},
    {u'v', {u"<", u">", u"/"}},
    {u'w', {u"^/", u"uu", u"vv", u"2u", u"2v", u"\\\\/\\\\/"}},
    {u'x', {u"%", u"><"}},
    {u'z', {u"2"}},
};

// Each substitution with the letters it may stand for, in the table's order.
struct TL33tSubs {
  std::vector<std::pair<std::u16string, std::u16string>> Subs;
  std::size_t Longest = 0;

  TL33tSubs() {
    for (const TL33tRow& row : kL33tTable)
      for (std::u16string_view s : row.Subs) {
        if (s.empty()) continue;
        auto it = std::find_if(Subs.begin(), Subs.end(), [&](const auto& e) { return e.first == s; });
        if (it == Subs.end()) it = Subs.insert(Subs.end(), {std::u16string(s), u""});
        it->second.push_back(row.Letter);
        Longest = std::max(Longest, s.size());
      }
  }
  bool IsPrefix(std::u16string_view P) const {
    return std::any_of(Subs.begin(), Subs.end(), [&](const auto& e) { return e.first.starts_with(P); });
  }
  const std::u16string* Letters(std::u16string_view S) const {
    for (const auto& e : Subs)
      if (e.first == S) return &e.second;
    return nullptr;
  }
};

const TL33tSubs& L33tSubs() {
  static const TL33tSubs subs;
  return subs;
}

struct TChange {
  std::size_t I; // in the substituted text
  Char Letter;
  std::u16string_view Substitution;
};

struct TSubbed {
  TSubbed(String Text, std::vector<TChange> Made) : Password(std::move(Text)), Changes(std::move(Made)) {}
  TSubbed(TSubbed&&) noexcept = default;
  TSubbed& operator=(TSubbed&&) noexcept = default;
  ~TSubbed() { WipeString(Password); }

  String Password;
  std::vector<TChange> Changes;
};

constexpr std::size_t kL33tMaxSubstitutions = 100;

// The texts the password may stand for with its l33t substitutions undone:
// first those with every possible substitution made, then those with some
// left, at most kL33tMaxSubstitutions in all, wider substitutions first.
class TCleanPasswords {
public:
  TCleanPasswords(std::u16string_view Text) : FText(Text) {}

  std::vector<TSubbed> All() {
    Walk(true, true, 0, 0, {}, 0);
    FChanges.clear();
    Walk(false, true, 0, 0, {}, 0);
    WipeString(FBuffer);
    return std::move(FFinal);
  }

private:
  void Walk(bool OnlyFull, bool IsFull, std::size_t Index, std::size_t SubIndex, std::u16string_view LastSub,
            std::int32_t Consecutive) {
    if (FFinal.size() >= kL33tMaxSubstitutions) return;
    if (Index == FText.size()) {
      if (OnlyFull == IsFull) FFinal.emplace_back(FBuffer, FChanges);
      return;
    }
    const TL33tSubs& table = L33tSubs();
    std::size_t widest = 0;
    while (Index + widest < FText.size() && widest < table.Longest && table.IsPrefix(FText.substr(Index, widest + 1)))
      ++widest;
    bool hasSubs = false;
    for (std::size_t w = widest; w >= 1; --w) {
      const std::u16string_view sub = FText.substr(Index, w);
      const std::u16string* letters = table.Letters(sub);
      if (letters == nullptr) continue;
      if (!LastSub.empty() && LastSub == sub && Consecutive >= 3) continue;
      hasSubs = true;
      for (Char letter : *letters) {
        FBuffer.push_back(letter);
        FChanges.push_back({SubIndex, letter, sub});
        Walk(OnlyFull, IsFull, Index + w, SubIndex + 1, sub, LastSub == sub ? Consecutive + 1 : 1);
        FChanges.pop_back();
        FBuffer.pop_back();
        if (FFinal.size() >= kL33tMaxSubstitutions) return;
      }
    }
    if (!OnlyFull || !hasSubs) {
      FBuffer.push_back(FText[Index]);
      Walk(OnlyFull, IsFull && !hasSubs, Index + 1, SubIndex + 1, LastSub, Consecutive);
      FBuffer.pop_back();
    }
  }

  std::u16string_view FText;
  String FBuffer;
  std::vector<TChange> FChanges;
  std::vector<TSubbed> FFinal;
};

void L33tMatch(std::u16string_view Password, const TTsContext& C, bool WordSequenceOnly,
               std::vector<TKLStrengthMatch>& Out) {
  const std::vector<TSubbed> subbed = TCleanPasswords(Password).All();
  std::set<std::tuple<std::int32_t, std::int32_t, std::string, String>> seen;
  const std::size_t first = Out.size();
  bool hasFullMatch = false;
  std::vector<TKLStrengthMatch> found;
  for (const TSubbed& s : subbed) {
    if (hasFullMatch) break;
    found.clear();
    // Only words over a change can be l33t, and a word over the whole text
    // ends the search: the others would be dropped below.
    std::vector<std::size_t> nextChange(s.Password.size() + 1, std::u16string_view::npos);
    for (std::size_t c = s.Changes.size(); c-- > 0;) nextChange[s.Changes[c].I] = s.Changes[c].I;
    for (std::size_t k = s.Password.size(); k-- > 0;)
      if (nextChange[k] == std::u16string_view::npos) nextChange[k] = nextChange[k + 1];
    const std::size_t last = s.Password.size() - 1;
    DictionaryMatchWhere(
        s.Password, C, WordSequenceOnly,
        [&](std::size_t i, std::size_t j) {
          if (j == std::u16string_view::npos) return i == 0 || nextChange[i] != std::u16string_view::npos;
          return (nextChange[i] != std::u16string_view::npos && j >= nextChange[i]) || (i == 0 && j == last);
        },
        found);
    for (TKLStrengthMatch& m : found) {
      // The stretch of the password the word came from, and the changes in it.
      auto i = static_cast<std::ptrdiff_t>(m.I), j = static_cast<std::ptrdiff_t>(m.J);
      std::vector<std::pair<String, String>> changes;
      for (const TChange& c : s.Changes) {
        const auto diff = static_cast<std::ptrdiff_t>(c.Substitution.size()) - 1;
        if (static_cast<std::int32_t>(c.I) < m.I) {
          i += diff;
          j += diff;
        } else if (static_cast<std::int32_t>(c.I) <= m.J) {
          j += diff;
          std::pair<String, String> change{String(c.Substitution), String(1, c.Letter)};
          if (std::find(changes.begin(), changes.end(), change) == changes.end()) changes.push_back(std::move(change));
        }
      }
      if (!hasFullMatch) hasFullMatch = i == 0 && j == static_cast<std::ptrdiff_t>(Password.size()) - 1;
      String token(Password.substr(static_cast<std::size_t>(i), static_cast<std::size_t>(j - i + 1)));
      const TWipeOnExit wipeToken(token);
      String lowered = TsLower(token);
      const TWipeOnExit wipeLowered(lowered);
      auto key =
          std::make_tuple(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j), m.DictionaryName, m.MatchedWord);
      if (lowered == m.MatchedWord || seen.count(key) != 0) continue;
      seen.insert(std::move(key));
      m.I = static_cast<std::int32_t>(i);
      m.J = static_cast<std::int32_t>(j);
      m.Token = token;
      m.L33t = true;
      m.L33tChanges = std::move(changes);
      Out.push_back(std::move(m));
    }
  }
  while (!seen.empty()) WipeString(std::get<3>(seen.extract(seen.begin()).value()));
  // A single character is too often a word ('1' for 'i', '4' for 'a') to count.
  Out.erase(std::remove_if(Out.begin() + static_cast<std::ptrdiff_t>(first), Out.end(),
                           [](const TKLStrengthMatch& m) { return m.Token.size() <= 1; }),
            Out.end());
}

// ---- spatial ------------------------------------------------------------------

void SpatialMatchOn(std::u16string_view Password, const TTsGraph& G, std::vector<TKLStrengthMatch>& Out) {
  const std::size_t n = Password.size();
  static const std::vector<std::u16string> none;
  std::size_t i = 0;
  while (i + 1 < n) {
    std::size_t j = i + 1;
    int lastDirection = -1;
    std::int32_t turns = 0;
    std::int32_t shifted = !G.IsKeypad && IsShiftedKey(Password[i]) ? 1 : 0;
    for (;;) {
      const auto it = G.Neighbours.find(Password[j - 1]);
      const std::vector<std::u16string>& adjacent = it == G.Neighbours.end() ? none : it->second;
      bool found = false;
      if (j < n) {
        for (std::size_t d = 0; d < adjacent.size(); ++d) {
          const std::size_t at = adjacent[d].find(Password[j]);
          if (adjacent[d].empty() || at == std::u16string::npos) continue;
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
        m.Graph = G.Graph;
        m.Turns = turns;
        m.ShiftedCount = shifted;
        Out.push_back(std::move(m));
      }
      i = j;
      break;
    }
  }
}

// ---- repeats (found as the 4.4.2 model finds them, FindRepeat) ---------------

void RepeatMatch(std::u16string_view Password, const TTsContext& C, std::vector<TKLStrengthMatch>& Out) {
  std::size_t from = 0;
  while (from < Password.size()) {
    const auto found = FindRepeat(Password, from);
    if (!found) break;
    TKLStrengthMatch m = MakeMatch(mpRepeat, Password, found->Start, found->Start + found->Length - 1);
    m.BaseToken = String(Password.substr(found->Start, found->BaseLength));
    std::vector<TKLStrengthMatch> baseMatches = TsOmnimatch(m.BaseToken, C);
    m.BaseGuesses = TsMostGuessableMatchSequence(m.BaseToken, baseMatches, C.ReferenceYear).Guesses;
    m.RepeatCount = static_cast<std::int32_t>(found->Length / found->BaseLength);
    from = found->Start + found->Length;
    Out.push_back(std::move(m));
  }
}

// ---- sequences ----------------------------------------------------------------

bool IsTsLower(Char C) noexcept { return (C >= u'a' && C <= u'z') || (C >= 0xDF && C <= 0xFF); }
bool IsTsUpper(Char C) noexcept { return (C >= u'A' && C <= u'Z') || (C >= 0xBF && C <= 0xDF); }

void AddSequence(std::u16string_view Password, std::size_t I, std::size_t J, std::int32_t Delta,
                 std::vector<TKLStrengthMatch>& Out) {
  const std::int32_t magnitude = Delta < 0 ? -Delta : Delta;
  if (!(J - I > 1 || magnitude == 1) || magnitude == 0 || magnitude > 5) return;
  TKLStrengthMatch m = MakeMatch(mpSequence, Password, I, J);
  const std::u16string_view t = Password.substr(I, J - I + 1);
  auto all = [&](bool (*f)(Char) noexcept) { return std::all_of(t.begin(), t.end(), f); };
  m.SequenceKind = all(IsTsLower) ? skLower : all(IsTsUpper) ? skUpper : all(IsDigit) ? skDigits : skUnicode;
  m.SequenceSpace = m.SequenceKind == skDigits ? 10 : 26;
  m.Ascending = Delta > 0;
  Out.push_back(std::move(m));
}

void SequenceMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  if (Password.size() <= 1) return;
  std::size_t i = 0;
  std::int32_t lastDelta = static_cast<std::int32_t>(Password[1]) - Password[0];
  for (std::size_t k = 1; k < Password.size(); ++k) {
    const std::int32_t delta = static_cast<std::int32_t>(Password[k]) - Password[k - 1];
    if (delta == lastDelta) continue;
    AddSequence(Password, i, k - 1, lastDelta, Out);
    i = k - 1;
    lastDelta = delta;
  }
  AddSequence(Password, i, Password.size() - 1, lastDelta, Out);
}

// ---- years and dates ----------------------------------------------------------

void RegexMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  for (std::size_t p = 0; p + 4 <= Password.size();) {
    const std::u16string_view t = Password.substr(p, 4);
    const bool year = std::all_of(t.begin(), t.end(), IsDigit) &&
                      ((t[0] == u'1' && t[1] == u'9') || (t[0] == u'2' && t[1] == u'0' && t[2] <= u'2'));
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
  std::int32_t Year, Month, Day;
};

std::optional<std::pair<std::int32_t, std::int32_t>> DayMonth(std::int32_t A, std::int32_t B) {
  if (A >= 1 && A <= 31 && B >= 1 && B <= 12) return std::make_pair(A, B);
  if (B >= 1 && B <= 31 && A >= 1 && A <= 12) return std::make_pair(B, A);
  return std::nullopt;
}

std::int32_t TwoToFourDigitYear(std::int32_t Year) {
  if (Year > 99) return Year;
  return Year > 50 ? Year + 1900 : Year + 2000;
}

std::optional<TDmy> MapIntegersToDayMonthYear(const std::array<std::int32_t, 3>& V) {
  if (V[1] > 31 || V[1] <= 0) return std::nullopt;
  int over12 = 0, over31 = 0, under1 = 0;
  for (std::int32_t x : V) {
    if ((x > 99 && x < kDateMinYear) || x > kDateMaxYear) return std::nullopt;
    over31 += x > 31;
    over12 += x > 12;
    under1 += x <= 0;
  }
  if (over31 >= 2 || over12 == 3 || under1 >= 2) return std::nullopt;
  const std::array<std::tuple<std::int32_t, std::int32_t, std::int32_t>, 2> splits{std::make_tuple(V[2], V[0], V[1]),
                                                                                   std::make_tuple(V[0], V[1], V[2])};
  for (const auto& [y, a, b] : splits) {
    if (kDateMinYear <= y && y <= kDateMaxYear) {
      const auto dm = DayMonth(a, b);
      if (!dm) return std::nullopt;
      return TDmy{y, dm->second, dm->first};
    }
  }
  for (const auto& [y, a, b] : splits) {
    const auto dm = DayMonth(a, b);
    if (dm) return TDmy{TwoToFourDigitYear(y), dm->second, dm->first};
  }
  return std::nullopt;
}

std::int32_t ParseDigits(std::u16string_view T) {
  std::int32_t v = 0;
  for (Char c : T) v = v * 10 + (c - u'0');
  return v;
}

void AddDate(std::u16string_view Password, std::size_t I, std::size_t J, Char Separator, const TDmy& D,
             std::vector<TKLStrengthMatch>& Out) {
  TKLStrengthMatch m = MakeMatch(mpDate, Password, I, J);
  m.Separator = Separator;
  m.Year = D.Year;
  m.Month = D.Month;
  m.Day = D.Day;
  Out.push_back(std::move(m));
}

void DatesWithoutSeparator(std::u16string_view Password, std::int32_t ReferenceYear,
                           std::vector<TKLStrengthMatch>& Out) {
  static constexpr std::array<std::array<std::pair<int, int>, 4>, 9> splits{{
      {},
      {},
      {},
      {},
      {{{1, 2}, {2, 3}}},
      {{{1, 3}, {2, 3}, {2, 4}}},
      {{{1, 2}, {2, 4}, {4, 5}}},
      {{{1, 3}, {2, 3}, {4, 5}, {4, 6}}},
      {{{2, 4}, {4, 6}}},
  }};
  const std::size_t n = Password.size();
  const std::size_t lastStart = n >= 4 ? n - 4 : 4 - n;
  for (std::size_t i = 0; i <= lastStart; ++i) {
    for (std::size_t j = i + 3; j <= i + 7 && j < n; ++j) {
      const std::u16string_view t = Password.substr(i, j - i + 1);
      if (!std::all_of(t.begin(), t.end(), IsDigit)) continue;
      std::optional<TDmy> best;
      for (const auto& [k, l] : splits[t.size()]) {
        if (k == 0) break;
        const auto dmy = MapIntegersToDayMonthYear(
            {ParseDigits(t.substr(0, static_cast<std::size_t>(k))),
             ParseDigits(t.substr(static_cast<std::size_t>(k), static_cast<std::size_t>(l - k))),
             ParseDigits(t.substr(static_cast<std::size_t>(l)))});
        if (dmy && (!best || std::abs(dmy->Year - ReferenceYear) < std::abs(best->Year - ReferenceYear))) best = dmy;
      }
      if (best) AddDate(Password, i, j, 0, *best, Out);
    }
  }
}

bool IsDateSeparator(Char C) noexcept {
  return IsJsSpace(C) || C == u'/' || C == u'\\' || C == u'_' || C == u'.' || C == u'-';
}

void DatesWithSeparator(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  const std::size_t n = Password.size();
  const std::size_t lastStart = n >= 6 ? n - 6 : 6 - n;
  for (std::size_t i = 0; i <= lastStart; ++i) {
    for (std::size_t j = i + 5; j <= i + 9 && j < n; ++j) {
      const std::u16string_view t = Password.substr(i, j - i + 1);
      // digits{1,4} sep digits{1,2} sep digits{1,4}, the same separator twice
      std::size_t a = 0;
      while (a < t.size() && IsDigit(t[a])) ++a;
      if (a < 1 || a > 4 || a >= t.size() || !IsDateSeparator(t[a])) continue;
      std::size_t b = a + 1;
      while (b < t.size() && IsDigit(t[b])) ++b;
      if (b - a - 1 < 1 || b - a - 1 > 2 || b >= t.size() || t[b] != t[a]) continue;
      const std::size_t c = t.size() - b - 1;
      if (c < 1 || c > 4 || !std::all_of(t.begin() + static_cast<std::ptrdiff_t>(b) + 1, t.end(), IsDigit)) continue;
      const auto dmy = MapIntegersToDayMonthYear(
          {ParseDigits(t.substr(0, a)), ParseDigits(t.substr(a + 1, b - a - 1)), ParseDigits(t.substr(b + 1))});
      if (dmy) AddDate(Password, i, j, t[a], *dmy, Out);
    }
  }
}

void DateMatch(std::u16string_view Password, std::int32_t ReferenceYear, std::vector<TKLStrengthMatch>& Out) {
  std::vector<TKLStrengthMatch> found;
  DatesWithoutSeparator(Password, ReferenceYear, found);
  DatesWithSeparator(Password, found);
  // A date inside another is noise ('2015_06_04' holds '15_06_04').
  std::vector<TKLStrengthMatch> kept;
  for (std::size_t a = 0; a < found.size(); ++a) {
    bool inside = false;
    for (std::size_t b = 0; b < found.size() && !inside; ++b)
      inside = a != b && found[b].I <= found[a].I && found[b].J >= found[a].J;
    if (!inside) kept.push_back(std::move(found[a]));
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& x, const auto& y) { return std::tie(x.I, x.J) < std::tie(y.I, y.J); });
  for (TKLStrengthMatch& m : kept) Out.push_back(std::move(m));
}

// ---- separators -----------------------------------------------------------------

constexpr std::u16string_view kSeparators = u" ,;:|/\\_.-";

void SeparatorMatch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Out) {
  // The separator used most (the first met of equals), if used twice or more.
  std::vector<std::pair<Char, std::int32_t>> counts;
  for (Char c : Password) {
    if (kSeparators.find(c) == std::u16string_view::npos) continue;
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& e) { return e.first == c; });
    if (it == counts.end())
      counts.emplace_back(c, 1);
    else
      ++it->second;
  }
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  if (counts.empty() || counts[0].second < 2) return;
  const Char s = counts[0].first;
  // Each single use of it after another character (not a line feed).
  for (std::size_t p = 0; p + 1 < Password.size();) {
    if (Password[p] != s && Password[p] != u'\n' && Password[p + 1] == s &&
        (p + 2 >= Password.size() || Password[p + 2] != s)) {
      TKLStrengthMatch m = MakeMatch(mpSeparator, Password, p + 1, p + 1);
      m.Separator = s;
      Out.push_back(std::move(m));
      p += 2;
    } else {
      ++p;
    }
  }
}

// ---- word sequences -------------------------------------------------------------

void WordSequenceMatch(std::u16string_view Password, const TTsContext& C, std::vector<TKLStrengthMatch>& Out) {
  std::vector<TKLStrengthMatch> words;
  DictionaryMatch(Password, C, true, words);
  L33tMatch(Password, C, true, words);
  ReverseDictionaryMatch(Password, C, true, words);
  if (words.empty()) return;
  std::stable_sort(words.begin(), words.end(), [](const TKLStrengthMatch& a, const TKLStrengthMatch& b) {
    return std::make_tuple(a.I, a.J, a.Reversed, a.L33t, a.Rank) <
           std::make_tuple(b.I, b.J, b.Reversed, b.L33t, b.Rank);
  });
  std::vector<const TKLStrengthMatch*> kept; // apart from each other, the earlier first
  for (const TKLStrengthMatch& m : words)
    if (kept.empty() || m.I > kept.back()->J) kept.push_back(&m);

  auto joins = [&](const TKLStrengthMatch& last, const TKLStrengthMatch& next) {
    const std::u16string_view between =
        Password.substr(static_cast<std::size_t>(last.J) + 1, static_cast<std::size_t>(next.I - last.J - 1));
    if (between.empty() || between == u" " || between == u"-" || between == u"_" || between == u".") return true;
    return between.size() == 1 && TsLower(between) != between; // camelCase
  };
  auto emit = [&](const std::vector<const TKLStrengthMatch*>& run) {
    if (run.size() < 2) return;
    TKLStrengthMatch m = MakeMatch(mpWordSequence, Password, static_cast<std::size_t>(run.front()->I),
                                   static_cast<std::size_t>(run.back()->J));
    m.Ascending = true;
    std::vector<std::pair<std::string, std::int32_t>> names;
    std::int32_t most = 0;
    for (std::size_t k = 0; k < run.size(); ++k) {
      m.Words.push_back(run[k]->MatchedWord);
      if (k > 0 && run[k]->Rank < run[k - 1]->Rank) m.Ascending = false;
      auto it =
          std::find_if(names.begin(), names.end(), [&](const auto& e) { return e.first == run[k]->DictionaryName; });
      if (it == names.end()) it = names.insert(names.end(), {run[k]->DictionaryName, 0});
      if (++it->second > most) {
        most = it->second;
        m.DictionaryName = it->first;
      }
    }
    Out.push_back(std::move(m));
  };
  for (std::size_t start = 0; start < kept.size(); ++start) {
    std::vector<const TKLStrengthMatch*> run{kept[start]};
    for (std::size_t next = start + 1; next < kept.size(); ++next) {
      if (joins(*run.back(), *kept[next])) {
        run.push_back(kept[next]);
      } else {
        emit(run);
        run = {kept[next]};
      }
    }
    emit(run);
  }
}

} // namespace

std::vector<TKLStrengthMatch> TsOmnimatch(std::u16string_view Password, const TTsContext& Context) {
  std::vector<TKLStrengthMatch> matches;
  DateMatch(Password, Context.ReferenceYear, matches);
  DictionaryMatch(Password, Context, false, matches);
  L33tMatch(Password, Context, false, matches);
  ReverseDictionaryMatch(Password, Context, false, matches);
  RegexMatch(Password, matches);
  RepeatMatch(Password, Context, matches);
  SequenceMatch(Password, matches);
  for (const TTsGraph& g : TsGraphs()) SpatialMatchOn(Password, g, matches);
  SeparatorMatch(Password, matches);
  WordSequenceMatch(Password, Context, matches);
  std::stable_sort(matches.begin(), matches.end(), [](const TKLStrengthMatch& a, const TKLStrengthMatch& b) {
    return std::tie(a.I, a.J) < std::tie(b.I, b.J);
  });
  return matches;
}

} // namespace kl::detail
