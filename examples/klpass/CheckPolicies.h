#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Types.h"
#include "rules/KLRules.h"
#include "rules/KLStrength.h"

namespace klpass {

// What shapes the policies of `klpass check`: the classic rule set or the NIST
// one, the user name and the extra dictionary words (both also the strength
// estimator's own words), and a minimum strength score. The web build judges
// with the very same policies, so that a password gets one verdict in the
// browser and on the server.
struct TCheckPolicyOptions {
  bool Nist = false;
  bool MultiFactor = false;  // NIST only: 8 characters at least instead of 15
  std::int32_t MinScore = 0; // 0 for none, up to kl::kMaxStrengthScore
  kl::String User;           // may be empty
  std::vector<kl::String> Words;
  // The strength estimator's model and languages (texts in the first).
  kl::TKLStrengthProfile Profile = kl::spZxcvbn;
  std::vector<std::string> Languages;
};

// The estimator's own words for these options: the user name, then the words.
std::vector<kl::String> CheckUserInputs(const TCheckPolicyOptions& Options);

// Builds the policy. Raises kl::EKLException for options the NIST guidance
// refuses (a minimum score out of range) and for a profile or language the
// build lacks.
std::unique_ptr<kl::TKLPasswordRulesList> CreateCheckPolicy(const TCheckPolicyOptions& Options);

} // namespace klpass
