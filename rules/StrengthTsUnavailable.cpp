// The zxcvbn-ts profile for builds that leave the language packs out (the web
// build, whose size is the point): no languages, and the profile cannot be chosen.
#include "rules/KLStrength.h"
#include "rules/StrengthTs.h"

namespace kl {

std::vector<std::string> StrengthLanguages() { return {}; }

TKLStrengthResult TKLStrengthEstimator::EstimateTs(const String& Password) const {
  // SetProfile refuses spZxcvbnTs here, so this is never reached; answer with the
  // profile that exists rather than a made-up estimate.
  TKLStrengthEstimator fallback;
  fallback.SetUserInputs(FUserInputs);
  fallback.SetReferenceYear(FReferenceYear);
  return fallback.Estimate(Password);
}

namespace detail {

// The feedback links to it; without the profile nothing asks.
String TsLower(std::u16string_view Text) { return String(Text); }

} // namespace detail

} // namespace kl
