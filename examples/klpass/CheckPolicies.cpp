#include "CheckPolicies.h"

#include <utility>

#include "rules/KLPolicies.h"
#include "rules/KLStrength.h"

namespace klpass {

namespace {

constexpr std::int32_t kMinLength = 8;
constexpr std::int32_t kMaxLength = 64;
constexpr std::int32_t kKeyboardRun = 4;
constexpr std::int32_t kDigitRun = 3;
constexpr std::int32_t kCharacterRun = 3;
constexpr const char16_t* kForbiddenPattern = u"(?i)p[a@4]ss";

constexpr const char16_t* kCommonPasswords[] = {u"password", u"123456",   u"12345678", u"qwerty",  u"letmein",
                                                u"iloveyou", u"admin",    u"welcome",  u"monkey",  u"dragon",
                                                u"sunshine", u"football", u"abc123",   u"passw0rd"};

std::unique_ptr<kl::TKLPasswordRule> PrintableAscii() {
  kl::String printable;
  for (char16_t c = u' '; c <= u'~'; ++c) printable.push_back(c);
  auto rule = std::make_unique<kl::TKLAllowedCharacterRule>();
  rule->SetAllowedChars(printable);
  return rule;
}

std::unique_ptr<kl::TKLPasswordRule> CommonWords(const std::vector<kl::String>& ExtraWords) {
  auto rule = std::make_unique<kl::TKLDictionaryRule>();
  for (const char16_t* word : kCommonPasswords) rule->AddWord(word);
  for (const kl::String& word : ExtraWords) rule->AddWord(word);
  return rule;
}

// The classic policy: all twelve rules.
std::unique_ptr<kl::TKLPasswordRulesList> ClassicPolicy(const TCheckPolicyOptions& Options) {
  auto policy = std::make_unique<kl::TKLPasswordRulesList>();
  policy->Add(std::make_unique<kl::TKLUppercaseCharacterRule>());
  policy->Add(std::make_unique<kl::TKLLowercaseCharacterRule>());
  policy->Add(std::make_unique<kl::TKLDigitsRule>());
  policy->Add(PrintableAscii());
  policy->Add(std::make_unique<kl::TKLLengthRule>(kMinLength, kMaxLength));
  policy->Add(std::make_unique<kl::TKLWhitespaceRule>());
  policy->Add(std::make_unique<kl::TKLUsernameRule>(Options.User));
  policy->Add(CommonWords(Options.Words));
  policy->Add(std::make_unique<kl::TKLQwertySequenceRule>(kKeyboardRun));
  policy->Add(std::make_unique<kl::TKLNumericalSequenceRule>(kDigitRun));
  policy->Add(std::make_unique<kl::TKLRepeatCharacterRule>(kCharacterRun));
  policy->Add(std::make_unique<kl::TKLRegularExpressionRule>(kForbiddenPattern));
  if (Options.MinScore > 0) {
    auto strength = std::make_unique<kl::TKLStrengthRule>(Options.MinScore, CheckUserInputs(Options));
    strength->GetEstimator().SetProfile(Options.Profile);
    strength->GetEstimator().SetLanguages(Options.Languages);
    policy->Add(std::move(strength));
  }
  return policy;
}

// The NIST policy; the user name and the dictionary's words are words of the
// context, refused as blocklist entries.
std::unique_ptr<kl::TKLPasswordRulesList> NistPolicy(const TCheckPolicyOptions& Options) {
  kl::TKLNistPolicyOptions options;
  options.SingleFactor = !Options.MultiFactor;
  options.MinimumStrengthScore = Options.MinScore;
  options.ContextWords = CheckUserInputs(Options);
  options.StrengthProfile = Options.Profile;
  options.StrengthLanguages = Options.Languages;
  return kl::CreateNistPolicy(options);
}

} // namespace

std::vector<kl::String> CheckUserInputs(const TCheckPolicyOptions& Options) {
  std::vector<kl::String> inputs;
  if (!Options.User.empty()) inputs.push_back(Options.User);
  inputs.insert(inputs.end(), Options.Words.begin(), Options.Words.end());
  return inputs;
}

std::unique_ptr<kl::TKLPasswordRulesList> CreateCheckPolicy(const TCheckPolicyOptions& Options) {
  return Options.Nist ? NistPolicy(Options) : ClassicPolicy(Options);
}

} // namespace klpass
