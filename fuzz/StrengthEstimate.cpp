// Arbitrary bytes as a password (UTF-16 code units, little-endian) and, after
// a zero unit, a user input: the estimate must never raise, and must cover the
// whole password, left to right without gaps, with a score that fits its
// guesses; so must the zxcvbn-ts profile with every language pack, over the
// first MaxTsLength units. Any crash, hang, leak or sanitizer report is a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rules/KLStrength.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  kl::String units;
  for (std::size_t i = 0; i + 1 < Size; i += 2) units.push_back(static_cast<char16_t>(Data[i] | (Data[i + 1] << 8)));
  const std::size_t split = units.find(u'\0');
  const kl::String password = units.substr(0, split);
  kl::TKLStrengthEstimator estimator;
  if (split != kl::String::npos) estimator.SetUserInputs({units.substr(split + 1)});
  const auto check = [&](const kl::TKLStrengthResult& r, std::size_t Covered) {
    std::int32_t next = 0;
    for (const kl::TKLStrengthMatch& m : r.Sequence) {
      if (m.I != next || m.J < m.I || m.Token != password.substr(static_cast<std::size_t>(m.I), m.Token.size()))
        std::abort();
      next = m.J + 1;
    }
    if (next != static_cast<std::int32_t>(Covered) || !(r.Guesses >= 1) || r.Score != kl::GuessesToScore(r.Guesses))
      std::abort();
  };
  check(estimator.Estimate(password), password.size());
  estimator.SetProfile(kl::spZxcvbnTs);
  estimator.SetLanguages(kl::StrengthLanguages());
  check(estimator.Estimate(password),
        std::min(password.size(), static_cast<std::size_t>(kl::TKLStrengthEstimator::MaxTsLength)));
  return 0;
}
