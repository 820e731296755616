#include "rules/KLPolicies.h"

#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"
#include "rules/KLStrength.h"

namespace kl {

namespace {

// Counted in the NFKC form the user databases hash: e + U+0301 is one
// character, as U+00E9 is. A lone surrogate counts as one character, as it
// would once replaced.
std::int64_t CodePoints(const String& Text) {
  String normal = NormalizePassword(Text);
  const auto count = static_cast<std::int64_t>(CodePointCount(normal));
  WipeString(normal);
  return count;
}

} // namespace

bool TKLCodePointLengthRule::Validate(const String& Password) const {
  const std::int64_t count = CodePoints(Password);
  return count >= FMinimum && count <= FMaximum;
}

void TKLCodePointLengthRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  const std::int64_t count = CodePoints(Password);
  if (count >= FMinimum && count <= FMaximum) return;
  Failures.emplace_back(count < FMinimum ? kTooShort : kTooLong)
      .AddNumber("minimum", FMinimum)
      .AddNumber("maximum", FMaximum)
      .AddNumber("length", count);
}

std::unique_ptr<TKLPasswordRulesList> CreateNistPolicy(const TKLNistPolicyOptions& Options) {
  if (Options.MaximumLength < kNistMinMaximumLength) throw EKLException(SNistMaximumTooSmall);
  if (Options.MinimumStrengthScore < 0 || Options.MinimumStrengthScore > 4) throw EKLException(SNistScoreOutOfRange);

  auto policy = std::make_unique<TKLPasswordRulesList>();
  const std::int32_t minimum = Options.SingleFactor ? kNistMinLengthSingleFactor : kNistMinLengthMultiFactor;
  policy->Add(std::make_unique<TKLCodePointLengthRule>(minimum, Options.MaximumLength));
  auto blocklist = std::make_unique<TKLBlocklistRule>(Options.UseCommonPasswords);
  for (const String& word : Options.ContextWords) blocklist->AddWord(word);
  for (const auto& filter : Options.Filters) blocklist->AddFilter(filter);
  policy->Add(std::move(blocklist));
  // The context words are the estimator's own words too: a password built on
  // the service's or the user's name scores as low as it deserves.
  if (Options.MinimumStrengthScore > 0) {
    auto strength = std::make_unique<TKLStrengthRule>(Options.MinimumStrengthScore, Options.ContextWords);
    strength->GetEstimator().SetProfile(Options.StrengthProfile);
    strength->GetEstimator().SetLanguages(Options.StrengthLanguages);
    policy->Add(std::move(strength));
  }
  return policy;
}

} // namespace kl
