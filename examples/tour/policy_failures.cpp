// Tell the user why a password fails: codes, parameters and messages, in
// English or in the application's own words; and the ready-made NIST policy.
#include <cstdio>

#include "foundation/KLGeneral.h"
#include "rules/KLPolicies.h"

int main() {
  const auto policy = kl::CreateNistPolicy(); // 15 to 64 characters, no common passwords
  const kl::TKLRuleFailures failures = policy->GetFailures(u"Password");
  for (const kl::TKLRuleFailure& failure : failures) {
    std::printf("%s: %s\n", failure.GetCode().c_str(), kl::StrToUTF8(failure.GetMessage()).c_str());
  }

  kl::TKLRuleMessages german; // the application's own texts, by code
  german.SetTemplate(kl::kTooShort, u"Mindestens {minimum} Zeichen, nicht {length}.");
  const kl::String message = german.Format(failures.at(0));
  std::printf("%s\n", kl::StrToUTF8(message).c_str());

  const bool passphraseOk = policy->GetFailures(u"correct horse battery staple").empty();
  return failures.size() == 2 && message == u"Mindestens 15 Zeichen, nicht 8." && passphraseOk ? 0 : 1;
}
