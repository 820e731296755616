#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "rules/StrengthMatching.h"

namespace kl::detail {

namespace {

constexpr double kBruteforceCardinality = 10;
constexpr double kMinGuessesBeforeGrowingSequence = 10000;
constexpr double kMinSubmatchGuessesSingleChar = 10;
constexpr double kMinSubmatchGuessesMultiChar = 50;
constexpr std::int32_t kMinYearSpace = 20;

// n choose k, in floating point as the counts grow past any integer.
double Choose(double N, double K) {
  if (K > N) return 0;
  if (K == 0) return 1;
  double r = 1;
  for (double d = 1; d <= K; ++d) {
    r *= N;
    r /= d;
    N -= 1;
  }
  return r;
}

double Factorial(std::int32_t N) {
  double f = 1;
  for (std::int32_t i = 2; i <= N; ++i) f *= i;
  return f;
}

bool IsUpper(Char C) noexcept { return C >= u'A' && C <= u'Z'; }
bool IsLower(Char C) noexcept { return C >= u'a' && C <= u'z'; }

// Powers of a base, computed once; infinity beyond what a double holds.
template <int Base>
double PowerOf(std::size_t Exponent) {
  static const std::array<double, 400> powers = [] {
    std::array<double, 400> p{};
    for (std::size_t e = 0; e < p.size(); ++e) p[e] = std::pow(static_cast<double>(Base), static_cast<double>(e));
    return p;
  }();
  return Exponent < powers.size() ? powers[Exponent] : HUGE_VAL;
}

double BruteforceGuesses(std::size_t Length) {
  double guesses = PowerOf<static_cast<int>(kBruteforceCardinality)>(Length);
  if (std::isinf(guesses)) guesses = DBL_MAX;
  const double floor = Length == 1 ? kMinSubmatchGuessesSingleChar + 1 : kMinSubmatchGuessesMultiChar + 1;
  return std::max(guesses, floor);
}

// Capitalising only the first or the last letter, or all of them, doubles the
// guesses; any other mix counts every way of placing that many capitals.
double UppercaseVariations(const String& Word) {
  const auto upper = static_cast<std::size_t>(std::count_if(Word.begin(), Word.end(), IsUpper));
  const auto lower = static_cast<std::size_t>(std::count_if(Word.begin(), Word.end(), IsLower));
  if (upper == 0) return 1;
  const std::size_t n = Word.size();
  const bool startUpper = n >= 2 && IsUpper(Word[0]) && upper == 1;
  const bool endUpper = n >= 2 && IsUpper(Word[n - 1]) && upper == 1;
  if (startUpper || endUpper || lower == 0) return 2;
  double variations = 0;
  for (std::size_t i = 1; i <= std::min(upper, lower); ++i)
    variations += Choose(static_cast<double>(upper + lower), static_cast<double>(i));
  return variations;
}

// Each substitution used doubles the guesses when it replaces every copy of
// its letter; a mix of substituted and plain copies counts the ways to choose.
double L33tVariations(const TKLStrengthMatch& M) {
  if (!M.L33t) return 1;
  double variations = 1;
  for (const auto& [subbed, letter] : M.L33tSub) {
    std::size_t s = 0, u = 0; // substituted and plain copies of the letter
    for (Char c : M.Token) {
      const Char lower = LowerChar(c);
      s += lower == subbed;
      u += lower == letter;
    }
    if (s == 0 || u == 0) {
      variations *= 2;
      continue;
    }
    double possibilities = 0;
    for (std::size_t i = 1; i <= std::min(u, s); ++i)
      possibilities += Choose(static_cast<double>(u + s), static_cast<double>(i));
    variations *= possibilities;
  }
  return variations;
}

double DictionaryGuesses(const TKLStrengthMatch& M) {
  return M.Rank * UppercaseVariations(M.Token) * L33tVariations(M) * (M.Reversed ? 2 : 1);
}

// The paths of this length or shorter with this many turns or fewer, from
// any starting key; shifted keys count like capitals.
double SpatialGuesses(const TKLStrengthMatch& M) {
  const auto& boards = TStrengthData::Get().Keyboards;
  const TKeyboard& reference = M.Graph == kgQwerty || M.Graph == kgDvorak ? boards[kgQwerty] : boards[kgKeypad];
  const double s = reference.KeyCount;
  const double d = reference.AverageDegree;
  const auto length = static_cast<std::int32_t>(M.J - M.I + 1);
  double guesses = 0;
  for (std::int32_t i = 2; i <= length; ++i) {
    const std::int32_t possibleTurns = std::min(M.Turns, i - 1);
    for (std::int32_t j = 1; j <= possibleTurns; ++j) guesses += Choose(i - 1, j - 1) * s * std::pow(d, j);
  }
  if (M.ShiftedCount > 0) {
    const std::int32_t shifted = M.ShiftedCount;
    const std::int32_t unshifted = length - shifted;
    if (unshifted == 0) {
      guesses *= 2;
    } else {
      double variations = 0;
      for (std::int32_t i = 1; i <= std::min(shifted, unshifted); ++i) variations += Choose(shifted + unshifted, i);
      guesses *= variations;
    }
  }
  return guesses;
}

// Obvious starting points ('a', 'z', '0', '1', '9') are tried first; going
// down doubles the guesses.
double SequenceGuesses(const TKLStrengthMatch& M) {
  const Char first = M.Token.empty() ? Char(0) : M.Token[0];
  double base = 26;
  if (std::u16string_view(u"aAzZ019").find(first) != std::u16string_view::npos)
    base = 4;
  else if (first >= u'0' && first <= u'9')
    base = 10;
  if (!M.Ascending) base *= 2;
  return base * static_cast<double>(M.Token.size());
}

double YearSpace(std::int32_t Year, std::int32_t ReferenceYear) {
  return std::max(std::abs(Year - ReferenceYear), kMinYearSpace);
}

double GuessesOf(const TKLStrengthMatch& M, std::int32_t ReferenceYear) {
  switch (M.Pattern) {
    case mpDictionary:
      return DictionaryGuesses(M);
    case mpSpatial:
      return SpatialGuesses(M);
    case mpRepeat:
      return M.BaseGuesses * M.RepeatCount;
    case mpSequence:
      return SequenceGuesses(M);
    case mpRegex:
      return YearSpace(M.Year, ReferenceYear);
    case mpDate:
      return YearSpace(M.Year, ReferenceYear) * 365 * (M.Separator != 0 ? 4 : 1);
    case mpBruteforce:
    case mpSeparator:
    case mpWordSequence:
      break;
  }
  return BruteforceGuesses(static_cast<std::size_t>(M.J - M.I + 1));
}

// The best cover of the prefix ending at k with l parts: its guesses g
// (l! * product + growth floor), the bare product pi and its last match.
struct TEntry {
  std::int32_t L;
  double G;
  double Pi;
  TKLStrengthMatch* M;
};

class TSequenceSearch {
public:
  TSequenceSearch(std::u16string_view Password, std::int32_t ReferenceYear)
      : FN(Password.size()), FYear(ReferenceYear), FOptimal(Password.size()) {}

  void Run(std::vector<TKLStrengthMatch>& Matches) {
    std::vector<std::vector<TKLStrengthMatch*>> byEnd(FN);
    for (auto& m : Matches) byEnd[static_cast<std::size_t>(m.J)].push_back(&m);
    for (auto& list : byEnd)
      std::stable_sort(list.begin(), list.end(), [](const auto* a, const auto* b) { return a->I < b->I; });
    for (std::size_t k = 0; k < FN; ++k) {
      for (TKLStrengthMatch* m : byEnd[k]) {
        if (m->I == 0) {
          Update(m, 1);
          continue;
        }
        for (const TEntry& e : Row(m->I - 1)) Update(m, e.L + 1);
      }
      BruteforceUpdate(static_cast<std::int32_t>(k));
    }
  }

  // The cheapest cover of the whole password, fewest parts on a tie.
  std::vector<const TKLStrengthMatch*> Unwind(double& Guesses) const {
    std::vector<const TKLStrengthMatch*> sequence;
    if (FN == 0) return sequence;
    const auto& last = FOptimal[FN - 1];
    const TEntry* best = &last.front();
    for (const TEntry& e : last)
      if (e.G < best->G) best = &e;
    Guesses = best->G;
    std::int32_t k = static_cast<std::int32_t>(FN) - 1;
    std::int32_t l = best->L;
    while (k >= 0) {
      const TEntry* e = Find(k, l);
      sequence.push_back(e->M);
      k = e->M->I - 1;
      --l;
    }
    std::reverse(sequence.begin(), sequence.end());
    return sequence;
  }

private:
  const std::vector<TEntry>& Row(std::int32_t K) const { return FOptimal[static_cast<std::size_t>(K)]; }

  const TEntry* Find(std::int32_t K, std::int32_t L) const {
    for (const TEntry& e : Row(K))
      if (e.L == L) return &e;
    return nullptr;
  }

  // Records M as the last of l parts when no cover of the same prefix with l
  // or fewer parts is as cheap. Returns whether it was recorded.
  bool Update(TKLStrengthMatch* M, std::int32_t L) {
    double pi = EstimateMatchGuesses(*M, FN, FYear);
    if (L > 1) pi *= Find(M->I - 1, L - 1)->Pi;
    double g = Factorial(L) * pi;
    g += PowerOf<static_cast<int>(kMinGuessesBeforeGrowingSequence)>(static_cast<std::size_t>(L - 1));
    auto& row = FOptimal[static_cast<std::size_t>(M->J)];
    auto at = row.begin();
    for (; at != row.end() && at->L <= L; ++at)
      if (at->G <= g) return false;
    if (at != row.begin() && std::prev(at)->L == L)
      *std::prev(at) = TEntry{L, g, pi, M};
    else
      row.insert(at, TEntry{L, g, pi, M});
    return true;
  }

  // Brute force over Password[i..k] on its own, or after any cover of the
  // prefix before i that does not itself end in brute force (one longer
  // stretch is always cheaper than two).
  void BruteforceUpdate(std::int32_t K) {
    TKLStrengthMatch candidate;
    candidate.Pattern = mpBruteforce;
    candidate.J = K;
    candidate.I = 0;
    Offer(candidate, 1);
    for (std::int32_t i = 1; i <= K; ++i) {
      candidate.I = i;
      candidate.Guesses = 0;
      const auto& before = Row(i - 1);
      for (std::size_t e = 0; e < before.size(); ++e)
        if (before[e].M->Pattern != mpBruteforce) Offer(candidate, before[e].L + 1);
    }
  }

  void Offer(TKLStrengthMatch& Candidate, std::int32_t L) {
    if (!Update(&Candidate, L)) return;
    // Recorded: give the entry a match of its own that outlives the candidate.
    FBruteforce.push_back(Candidate);
    auto& row = FOptimal[static_cast<std::size_t>(Candidate.J)];
    for (TEntry& e : row)
      if (e.M == &Candidate) e.M = &FBruteforce.back();
  }

  std::size_t FN;
  std::int32_t FYear;
  std::vector<std::vector<TEntry>> FOptimal; // by k: entries sorted by L
  std::deque<TKLStrengthMatch> FBruteforce;
};

} // namespace

double EstimateMatchGuesses(TKLStrengthMatch& Match, std::size_t PasswordLength, std::int32_t ReferenceYear) {
  if (Match.Guesses > 0) return Match.Guesses;
  const auto length = static_cast<std::size_t>(Match.J - Match.I + 1);
  double floor = 1;
  if (length < PasswordLength) floor = length == 1 ? kMinSubmatchGuessesSingleChar : kMinSubmatchGuessesMultiChar;
  Match.Guesses = std::max(GuessesOf(Match, ReferenceYear), floor);
  return Match.Guesses;
}

std::size_t CopyShift(std::u16string_view Text, std::size_t Start, std::size_t End, std::size_t MaxShift) {
  const std::size_t back = std::min(Start, MaxShift);
  const std::size_t length = End - Start;
  if (back == 0 || length == 0) return 0;
  // The window Text[Start - back..End) read backwards, R, and its Z-function:
  // Z[p] >= length says R[p..p + length) == R[0..length), that is each
  // character of the stretch equals the one p places before it.
  const std::size_t size = back + length;
  const auto R = [&](std::size_t i) { return Text[End - 1 - i]; };
  std::vector<std::size_t> z(size, 0);
  std::size_t left = 0, right = 0; // the rightmost match R[left..right) found so far
  for (std::size_t i = 1; i <= back; ++i) {
    std::size_t k = i < right ? std::min(right - i, z[i - left]) : 0;
    while (i + k < size && R(k) == R(i + k)) ++k;
    z[i] = k;
    if (i + k > right) left = i, right = i + k;
    if (i <= back && k >= length) return i;
  }
  return 0;
}

std::int32_t ClampedPosition(std::size_t Position) noexcept {
  return static_cast<std::int32_t>(std::min<std::size_t>(Position, INT32_MAX));
}

TGuessSequence MostGuessableMatchSequence(std::u16string_view Password, std::vector<TKLStrengthMatch>& Matches,
                                          std::int32_t ReferenceYear) {
  TGuessSequence result;
  if (Password.empty()) return result;
  TSequenceSearch search(Password, ReferenceYear);
  search.Run(Matches);
  for (const TKLStrengthMatch* m : search.Unwind(result.Guesses)) {
    result.Sequence.push_back(*m);
    TKLStrengthMatch& added = result.Sequence.back();
    if (added.Pattern == mpBruteforce)
      added.Token =
          String(Password.substr(static_cast<std::size_t>(added.I), static_cast<std::size_t>(added.J - added.I + 1)));
  }
  return result;
}

} // namespace kl::detail
