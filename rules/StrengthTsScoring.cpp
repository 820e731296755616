// The scoring of the zxcvbn-ts profile: each match's guesses, and the covering
// of the password that needs the fewest, with the same arithmetic in the same
// order as the oracle, so that equal inputs give equal doubles.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>

#include "rules/StrengthTs.h"

namespace kl::detail {

namespace {

constexpr double kMinSubmatchGuessesSingleChar = 10;
constexpr double kMinSubmatchGuessesMultiChar = 50;
constexpr double kMinGuessesBeforeGrowingSequence = 10000;
constexpr double kMinYearSpace = 21;
constexpr double kSeparatorCount = 10;

double Choose(double N, double K) {
  double count = N;
  if (K > count) return 0;
  if (K == 0) return 1;
  double r = 1;
  for (double i = 1; i <= K; ++i) {
    r *= count;
    r /= i;
    count -= 1;
  }
  return r;
}

double Factorial(std::size_t N) {
  double r = 1;
  for (std::size_t i = 2; i <= N; ++i) r *= static_cast<double>(i);
  return r;
}

// ---- dictionary words -----------------------------------------------------------

// The letters the capitalisation count looks at: ASCII and Latin-1 letters
// (the oracle's class [A-Za-z\xbf-\xdf] taken without regard to case).
bool IsCaseLetter(Char C) noexcept {
  return (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z') || (C >= 0xBF && C <= 0xFE && C != 0xF7);
}
bool IsUpperClass(Char C) noexcept { return (C >= u'A' && C <= u'Z') || (C >= 0xBF && C <= 0xDF); }
bool IsLowerClass(Char C) noexcept { return (C >= u'a' && C <= u'z') || (C >= 0xDF && C <= 0xFF); }

double UppercaseVariations(std::u16string_view Token) {
  String w;
  const TWipeOnExit wipeWord(w);
  for (Char c : Token)
    if (IsCaseLetter(c)) w.push_back(c);
  const auto noUpper = [&] { return !w.empty() && std::none_of(w.begin(), w.end(), IsUpperClass); };
  if (noUpper() || TsLower(w) == w) return 1;
  const std::size_t n = w.size();
  const bool startUpper = n >= 2 && IsUpperClass(w[0]) && std::none_of(w.begin() + 1, w.end(), IsUpperClass);
  const bool endUpper = n >= 2 && IsUpperClass(w[n - 1]) && std::none_of(w.begin(), w.end() - 1, IsUpperClass);
  const bool allUpper = std::none_of(w.begin(), w.end(), IsLowerClass);
  if (startUpper || endUpper || allUpper) return 2;
  const auto upper = static_cast<double>(std::count_if(w.begin(), w.end(), IsUpperClass));
  const auto lower = static_cast<double>(std::count_if(w.begin(), w.end(), IsLowerClass));
  double variations = 0;
  for (double i = 1; i <= std::min(upper, lower); ++i) variations += Choose(upper + lower, i);
  return variations;
}

std::size_t CountOccurrences(std::u16string_view Text, std::u16string_view Part) {
  std::size_t count = 0;
  for (std::size_t at = Text.find(Part); at != std::u16string_view::npos; at = Text.find(Part, at + Part.size()))
    ++count;
  return count;
}

double L33tVariations(const TKLStrengthMatch& M) {
  if (!M.L33t) return 1;
  String lower = TsLower(M.Token);
  const TWipeOnExit wipeLower(lower);
  double variations = 1;
  for (const auto& [substitution, letter] : M.L33tChanges) {
    const auto subbed = static_cast<double>(CountOccurrences(lower, substitution));
    const auto unsubbed = static_cast<double>(CountOccurrences(lower, letter));
    if (subbed == 0 || unsubbed == 0) {
      variations *= 2;
      continue;
    }
    double possibilities = 0;
    for (double i = 1; i <= std::min(unsubbed, subbed); ++i) possibilities += Choose(unsubbed + subbed, i);
    variations *= possibilities;
  }
  return variations;
}

double DictionaryGuesses(const TKLStrengthMatch& M) {
  return static_cast<double>(M.Rank) * UppercaseVariations(M.Token) * L33tVariations(M) * (M.Reversed ? 2 : 1);
}

// ---- the other patterns -----------------------------------------------------------

double SpatialGuesses(const TKLStrengthMatch& M) {
  const TTsGraph* graph = nullptr;
  for (const TTsGraph& g : TsGraphs())
    if (g.Graph == M.Graph) graph = &g;
  if (graph == nullptr) return 0;
  const double s = graph->StartingPositions, d = graph->AverageDegree;
  const auto length = static_cast<double>(M.Token.size());
  const auto turns = static_cast<double>(M.Turns);
  double guesses = 0;
  for (double i = 2; i <= length; ++i) {
    const double possibleTurns = std::min(turns, i - 1);
    for (double j = 1; j <= possibleTurns; ++j) guesses += Choose(i - 1, j - 1) * s * std::pow(d, j);
  }
  if (M.ShiftedCount != 0) {
    const auto shifted = static_cast<double>(M.ShiftedCount);
    const double unshifted = length - shifted;
    if (unshifted == 0) {
      guesses *= 2;
    } else {
      double variations = 0;
      for (double i = 1; i <= std::min(shifted, unshifted); ++i) variations += Choose(shifted + unshifted, i);
      guesses *= variations;
    }
  }
  return std::floor(guesses + 0.5);
}

double SequenceGuesses(const TKLStrengthMatch& M) {
  const Char first = M.Token[0];
  double base;
  if (std::u16string_view(u"aAzZ019").find(first) != std::u16string_view::npos)
    base = 4;
  else if (first >= u'0' && first <= u'9')
    base = 10;
  else
    base = 26;
  if (!M.Ascending) base *= 2;
  return base * static_cast<double>(M.Token.size());
}

double YearSpace(std::int32_t Year, std::int32_t ReferenceYear) {
  return std::max(static_cast<double>(std::abs(Year - ReferenceYear)), kMinYearSpace);
}

double BruteforceGuesses(std::size_t Length) {
  double guesses = std::pow(10.0, static_cast<double>(Length));
  if (std::isinf(guesses)) guesses = DBL_MAX;
  return std::max(guesses, Length == 1 ? kMinSubmatchGuessesSingleChar + 1 : kMinSubmatchGuessesMultiChar + 1);
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
    case mpSeparator:
      return kSeparatorCount;
    case mpWordSequence:
      return Factorial(M.Words.size()) * std::pow(2.0, static_cast<double>(M.Words.size()) - 2);
    case mpBruteforce:
      break;
  }
  return BruteforceGuesses(M.Token.size());
}

// ---- the cheapest covering ----------------------------------------------------------

// The best covering of the prefix ending at k with l parts: its total, its
// product and its last match (an index into the matches, or a brute-force
// stretch from I).
struct TEntry {
  double G;
  double Pi;
  std::int32_t Match; // -1: brute force from I to k
  std::size_t I;
};

class TSearch {
public:
  TSearch(std::u16string_view Password, std::vector<TKLStrengthMatch>& Matches, std::int32_t ReferenceYear)
      : FPassword(Password), FMatches(Matches), FYear(ReferenceYear), FBest(Password.size()) {}

  TGuessSequence Run() {
    const std::size_t n = FPassword.size();
    TGuessSequence result;
    if (n == 0) return result;
    std::vector<std::vector<std::int32_t>> byEnd(n);
    for (std::size_t m = 0; m < FMatches.size(); ++m)
      byEnd[static_cast<std::size_t>(FMatches[m].J)].push_back(static_cast<std::int32_t>(m));
    for (auto& list : byEnd)
      std::stable_sort(list.begin(), list.end(), [&](std::int32_t a, std::int32_t b) {
        return FMatches[static_cast<std::size_t>(a)].I < FMatches[static_cast<std::size_t>(b)].I;
      });
    for (std::size_t k = 0; k < n; ++k) {
      for (std::int32_t m : byEnd[k]) {
        const auto i = static_cast<std::size_t>(FMatches[static_cast<std::size_t>(m)].I);
        if (i == 0) {
          Update(m, 0, k, 1);
          continue;
        }
        std::vector<std::size_t> lengths;
        for (const auto& [l, e] : FBest[i - 1]) lengths.push_back(l);
        for (std::size_t l : lengths) Update(m, i, k, l + 1);
      }
      BruteforceUpdate(k);
    }
    return Unwind();
  }

private:
  double GuessesOfMatch(std::int32_t M, std::size_t I, std::size_t K) {
    const std::size_t length = K - I + 1;
    const double least =
        length < FPassword.size() ? (length == 1 ? kMinSubmatchGuessesSingleChar : kMinSubmatchGuessesMultiChar) : 1;
    if (M < 0) return std::max(BruteforceGuesses(length), least);
    TKLStrengthMatch& match = FMatches[static_cast<std::size_t>(M)];
    if (match.Guesses == 0) match.Guesses = std::max(GuessesOf(match, FYear), least);
    return match.Guesses;
  }

  void Update(std::int32_t M, std::size_t I, std::size_t K, std::size_t L) {
    double pi = GuessesOfMatch(M, I, K);
    if (L > 1) pi *= FBest[I - 1].at(L - 1).Pi;
    const double g = Factorial(L) * pi + std::pow(kMinGuessesBeforeGrowingSequence, static_cast<double>(L) - 1);
    for (const auto& [l, e] : FBest[K])
      if (l <= L && e.G <= g) return;
    FBest[K][L] = TEntry{g, pi, M, I};
  }

  void BruteforceUpdate(std::size_t K) {
    Update(-1, 0, K, 1);
    for (std::size_t i = 1; i <= K; ++i) {
      std::vector<std::size_t> lengths;
      for (const auto& [l, e] : FBest[i - 1])
        if (e.Match >= 0) lengths.push_back(l); // never two brute-force stretches in a row
      for (std::size_t l : lengths) Update(-1, i, K, l + 1);
    }
  }

  TGuessSequence Unwind() {
    const std::size_t n = FPassword.size();
    std::size_t length = 0;
    double g = HUGE_VAL;
    for (const auto& [l, e] : FBest[n - 1])
      if (e.G < g) {
        length = l;
        g = e.G;
      }
    TGuessSequence result;
    result.Guesses = g;
    std::vector<TKLStrengthMatch> reversed;
    for (std::size_t k = n - 1; length > 0;) {
      const TEntry& e = FBest[k].at(length);
      if (e.Match >= 0) {
        reversed.push_back(FMatches[static_cast<std::size_t>(e.Match)]);
      } else {
        TKLStrengthMatch b;
        b.Pattern = mpBruteforce;
        b.I = static_cast<std::int32_t>(e.I);
        b.J = static_cast<std::int32_t>(k);
        b.Token = String(FPassword.substr(e.I, k - e.I + 1));
        b.Guesses = GuessesOfMatch(-1, e.I, k);
        reversed.push_back(std::move(b));
      }
      --length;
      if (e.I == 0) break;
      k = e.I - 1;
    }
    result.Sequence.assign(std::make_move_iterator(reversed.rbegin()), std::make_move_iterator(reversed.rend()));
    return result;
  }

  std::u16string_view FPassword;
  std::vector<TKLStrengthMatch>& FMatches;
  std::int32_t FYear;
  std::vector<std::map<std::size_t, TEntry>> FBest; // by end k: by number of parts
};

} // namespace

double TsEstimateMatchGuesses(TKLStrengthMatch& Match, std::size_t PasswordLength, std::int32_t ReferenceYear) {
  const std::size_t length = Match.Token.size();
  const double least =
      length < PasswordLength ? (length == 1 ? kMinSubmatchGuessesSingleChar : kMinSubmatchGuessesMultiChar) : 1;
  Match.Guesses = std::max(GuessesOf(Match, ReferenceYear), least);
  return Match.Guesses;
}

TGuessSequence TsMostGuessableMatchSequence(std::u16string_view Password, std::vector<TKLStrengthMatch>& Matches,
                                            std::int32_t ReferenceYear) {
  return TSearch(Password, Matches, ReferenceYear).Run();
}

TGuessSequence TsEstimate(std::u16string_view Password, const TTsContext& Context) {
  std::vector<TKLStrengthMatch> matches = TsOmnimatch(Password, Context);
  return TsMostGuessableMatchSequence(Password, matches, Context.ReferenceYear);
}

} // namespace kl::detail
