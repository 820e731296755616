// The C++ side of python/bench/bench.py's strength rows: the estimates the
// Python package makes, timed here through the C++ class on the same
// passwords, a round at a time, whenever the Python side asks, so that both
// sides take turns in one run on one machine.
//
//   bench_StrengthPeerTimer PROFILE LANGUAGE PASSWORDS_FILE [check]
//     PROFILE zxcvbn or zxcvbn-ts, LANGUAGE a pack's code or "-" for none;
//     with "check", each password is also checked against the NIST policy
//     as a C++ caller who shows the verdict does it: the rules, the estimate
//     and each failure's message in the estimate's language. Each line
//     "REPEAT" on standard input times REPEAT passes over the passwords and
//     answers one line: the processor seconds per password.

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "rules/KLPolicies.h"
#include "rules/KLRuleFailures.h"
#include "rules/KLStrength.h"

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "check")) {
    std::fprintf(stderr, "usage: bench_StrengthPeerTimer zxcvbn|zxcvbn-ts LANGUAGE|- PASSWORDS_FILE [check]\n");
    return 2;
  }
  const auto policy = argc == 5 ? kl::CreateNistPolicy() : nullptr;
  kl::TKLStrengthEstimator estimator;
  estimator.SetProfile(std::string(argv[1]) == "zxcvbn-ts" ? kl::spZxcvbnTs : kl::spZxcvbn);
  if (std::string(argv[2]) != "-") estimator.SetLanguages({argv[2]});
  std::vector<kl::String> passwords;
  std::ifstream file(argv[3]);
  for (std::string line; std::getline(file, line);) passwords.push_back(kl::UTF8ToStr(line));
  if (passwords.empty()) return 2;
  for (const kl::String& password : passwords) { // the packs and the blocklist load once
    (void)estimator.Estimate(password);
    if (policy) (void)policy->GetFailures(password);
  }
  std::int32_t score = 0;
  for (std::string request; std::getline(std::cin, request);) {
    const long repeat = std::stol(request);
    const std::clock_t start = std::clock();
    for (long r = 0; r < repeat; ++r) {
      for (const kl::String& password : passwords) {
        const kl::TKLStrengthResult strength = estimator.Estimate(password);
        score += strength.Score;
        if (!policy) continue;
        const kl::TKLRuleMessages& messages = kl::TKLRuleMessages::ForLanguage(strength.Language);
        for (const kl::TKLRuleFailure& failure : policy->GetFailures(password))
          score += static_cast<std::int32_t>(messages.Format(failure, true).size());
      }
    }
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    std::printf("%.9g\n", seconds / static_cast<double>(repeat * static_cast<long>(passwords.size())));
    std::fflush(stdout);
  }
  return score < 0 ? 1 : 0;
}
