#include "passwords/PasswordConstraints.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "passwords/KLPasswords.h"

namespace kl::detail {

namespace {

// Whole-password redraws a caller may have to wait for on average; beyond
// this the minimums are refused as too narrow for random drawing.
constexpr double kMaxExpectedDraws = 65536;

// Counts by inclusion and exclusion over the classes with a minimum: a
// password misses the minimums when some set S of classes each falls short,
// and the chance that exactly k_c characters come from each class c of S (and
// the rest from outside S) is multinomial. Terms are kept as logarithms; the
// number of terms is the product of (minimum + 1), which the bound on the
// minimum total keeps small.
class TInclusionExclusion {
public:
  TInclusionExclusion(const std::vector<TCharacterPlan::TClass>& Classes, std::int64_t Len) : FLen(Len) {
    std::uint64_t total = 0;
    for (const auto& c : Classes) total += c.Size;
    FTotal = total;
    std::int64_t minimumTotal = 0;
    for (const auto& c : Classes) {
      if (c.Minimum > 0) FConstrained.push_back({c.Size, c.Minimum});
      minimumTotal += c.Minimum;
    }
    // ln(n! / (n - t)!) for every t a term can take: t stays below the minimum total.
    FLogFalling.assign(static_cast<std::size_t>(std::min(minimumTotal, Len)) + 1, 0.0);
    for (std::size_t t = 1; t < FLogFalling.size(); ++t) {
      FLogFalling[t] = FLogFalling[t - 1] + std::log(static_cast<double>(Len - static_cast<std::int64_t>(t) + 1));
    }
  }

  double Probability() {
    Visit(0, false, 0, 0, 0.0);
    return std::clamp(FSum, 0.0, 1.0);
  }

private:
  struct TTerm {
    std::uint32_t Size;
    std::int32_t Minimum;
  };

  // Taken characters come from the classes chosen so far, whose sizes add up
  // to Covered; LogPart holds the sum of k ln(w) - ln(k!) over them.
  void Visit(std::size_t Index, bool Negative, std::int64_t Taken, std::uint64_t Covered, double LogPart) {
    if (Index == FConstrained.size()) {
      AddTerm(Negative, Taken, Covered, LogPart);
      return;
    }
    Visit(Index + 1, Negative, Taken, Covered, LogPart);
    const TTerm& c = FConstrained[Index];
    const double logShare = std::log(static_cast<double>(c.Size) / static_cast<double>(FTotal));
    for (std::int32_t k = 0; k < c.Minimum && Taken + k <= FLen; ++k) {
      Visit(Index + 1, !Negative, Taken + k, Covered + c.Size, LogPart + k * logShare - std::lgamma(k + 1.0));
    }
  }

  void AddTerm(bool Negative, std::int64_t Taken, std::uint64_t Covered, double LogPart) {
    const std::int64_t rest = FLen - Taken;
    double log = LogPart + FLogFalling[static_cast<std::size_t>(Taken)];
    if (rest > 0) {
      if (Covered == FTotal) return; // nothing is left outside S for the rest
      log += static_cast<double>(rest) * std::log1p(-static_cast<double>(Covered) / static_cast<double>(FTotal));
    }
    FSum += Negative ? -std::exp(log) : std::exp(log);
  }

  std::int64_t FLen;
  std::uint64_t FTotal = 0;
  std::vector<TTerm> FConstrained;
  std::vector<double> FLogFalling;
  double FSum = 0;
};

} // namespace

std::vector<char32_t> SplitCharacters(std::u16string_view Text) {
  std::vector<char32_t> result;
  result.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char16_t unit = Text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) {
      result.push_back(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (Text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      throw EKLPasswordError(SInvalidCharacters);
    } else {
      result.push_back(unit);
    }
  }
  return result;
}

TCharacterPlan::TCharacterPlan(const std::array<TCharacterSet, 6>& Sets, const String& Excluded) {
  const std::vector<char32_t> excludedList = SplitCharacters(Excluded);
  const std::unordered_set<char32_t> excluded(excludedList.begin(), excludedList.end());
  std::unordered_set<char32_t> seen;
  for (const TCharacterSet& set : Sets) {
    if (set.Minimum < 0) throw EKLPasswordError(SNegativeMinimum);
    if (!set.Enabled) {
      if (set.Minimum > 0) throw EKLPasswordError(SMinimumForUnusedSet);
      continue;
    }
    const auto classIndex = static_cast<std::uint8_t>(FClasses.size());
    TClass added{0, set.Minimum};
    bool anyLeft = false;
    for (const char32_t c : SplitCharacters(set.Chars)) {
      if (excluded.contains(c)) continue;
      anyLeft = true;
      // A character counts for the first enabled set that holds it, once.
      if (!seen.insert(c).second) continue;
      FCharacters.push_back(c);
      FClassOf.push_back(classIndex);
      ++added.Size;
    }
    if (!anyLeft && set.Minimum > 0) throw EKLPasswordError(SMinimumForUnusedSet);
    // Custom characters that the other sets hold already form no class of their own.
    if (added.Size == 0) continue;
    FClasses.push_back(added);
    FMinimumTotal += set.Minimum;
  }
  if (FCharacters.empty()) throw EKLPasswordError(SEmptyAlphabet);
  if (FMinimumTotal > TKLPasswordGenerator::MaxMinimumTotal) throw EKLPasswordError(SMinimumsTooLarge);
}

double TCharacterPlan::AcceptanceProbability(std::int64_t Len) const {
  if (!HasMinimums()) return 1.0;
  if (Len < FMinimumTotal) return 0.0;
  if (Len != FCachedLength) {
    FCachedProbability = TInclusionExclusion(FClasses, Len).Probability();
    FCachedLength = Len;
  }
  return FCachedProbability;
}

double TCharacterPlan::Log2Count(std::int64_t Len) const {
  const double p = AcceptanceProbability(Len);
  if (p <= 0) return -HUGE_VAL;
  return static_cast<double>(Len) * std::log2(static_cast<double>(FCharacters.size())) + std::log2(p);
}

void TCharacterPlan::CheckLength(std::int64_t Len) const {
  if (!HasMinimums()) return;
  if (Len < FMinimumTotal) throw EKLPasswordError(SMinimumsAboveLength);
  if (AcceptanceProbability(Len) * kMaxExpectedDraws < 1.0) throw EKLPasswordError(SMinimumsTooNarrow);
}

} // namespace kl::detail
