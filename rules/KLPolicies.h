#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "rules/KLBlocklist.h"
#include "rules/KLRules.h"
#include "rules/KLStrength.h"

namespace kl {

inline constexpr std::int32_t kNistMinLengthSingleFactor = 15;
inline constexpr std::int32_t kNistMinLengthMultiFactor = 8;
inline constexpr std::int32_t kNistMinMaximumLength = 64;

inline constexpr const char* SNistMaximumTooSmall = "The policy must accept passwords of at least 64 characters";
inline constexpr const char* SNistScoreOutOfRange = "The minimum strength score must lie between 0 and 4";

// What shapes the ready-made policy after NIST SP 800-63B revision 4. The
// defaults are the strict reading: a password that is the only factor, the
// library's common passwords refused.
struct TKLNistPolicyOptions {
  bool SingleFactor = true;                           // the only authentication factor: 15 characters at least, else 8
  std::int32_t MaximumLength = kNistMinMaximumLength; // 64 or more
  bool UseCommonPasswords = true;
  // Further lists: compiled filters (breached passwords) and words of the
  // context (the service's name, the user name), refused in blocklist form.
  std::vector<std::shared_ptr<const TKLBlocklistFilter>> Filters;
  std::vector<String> ContextWords;
  // 0 for none; 1 to 4 refuses passwords the strength estimator scores lower
  // (TOO_WEAK), with the context words as its own words.
  std::int32_t MinimumStrengthScore = 0;
  // The estimator's profile and languages (TKLStrengthEstimator::SetProfile,
  // SetLanguages): TOO_WEAK's warning is in the first language.
  TKLStrengthProfile StrengthProfile = spZxcvbn;
  std::vector<std::string> StrengthLanguages;
};

// The policy in one call: length counted in Unicode characters (a surrogate
// pair is one), no composition rules, the blocklist, and optionally a minimum
// strength score. Raises EKLException for options outside the guidance, and
// for a strength profile or language the build lacks.
KL_API std::unique_ptr<TKLPasswordRulesList> CreateNistPolicy(const TKLNistPolicyOptions& Options = {});

// A length requirement counted in Unicode code points of the password's NFKC
// form (the form the user databases hash) rather than in UTF-16 code units:
// Minimum <= count <= Maximum. Fails with kTooShort or kTooLong.
class KL_API TKLCodePointLengthRule : public TKLPasswordRule {
public:
  TKLCodePointLengthRule(std::int32_t Minimum, std::int32_t Maximum) : FMinimum(Minimum), FMaximum(Maximum) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FMinimum;
  std::int32_t FMaximum;
};

} // namespace kl
