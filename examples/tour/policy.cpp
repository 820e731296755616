// Check a candidate password against a policy of rules.
#include <cstdio>

#include "passwords/KLPasswords.h"
#include "rules/KLRules.h"

int main() {
  kl::TKLPasswordRulesList policy; // owns the rules added to it
  policy.Add(new kl::TKLLengthRule(10, 64));
  policy.Add(new kl::TKLUppercaseCharacterRule());
  policy.Add(new kl::TKLDigitsRule());
  policy.Add(new kl::TKLUsernameRule(u"alice"));
  policy.Add(new kl::TKLRepeatCharacterRule(3)); // no "aaa"

  const kl::TKLPassword weak(u"alice2024");
  const kl::TKLPassword strong(u"Vintage-Kettle-42");
  std::printf("weak: %d, strong: %d\n", weak.Validate(&policy), strong.Validate(&policy));
  return !weak.Validate(&policy) && strong.Validate(&policy) ? 0 : 1;
}
