#include "rules/KLStrength.h"

namespace kl {

std::vector<std::string> StrengthLanguages() {
  return {"en", "de", "fr", "es-es", "it", "nl-be", "pl", "pt-br"};
}

TKLStrengthResult TKLStrengthEstimator::EstimateTs(const String& Password) const {
  // Filled in by the zxcvbn-ts matchers and scoring.
  TKLStrengthResult r = TKLStrengthEstimator().Estimate(Password);
  r.Profile = spZxcvbnTs;
  return r;
}

} // namespace kl
