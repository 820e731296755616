// Estimate how many guesses a password takes, and refuse weak ones.
#include <cstdio>

#include "foundation/KLGeneral.h"
#include "rules/KLStrength.h"

int main() {
  kl::TKLStrengthEstimator estimator;
  estimator.SetUserInputs({u"alice", u"examplebank"}); // the most likely words of all

  const kl::TKLStrengthResult weak = estimator.Estimate(u"Alice2024!");
  const kl::TKLStrengthResult strong = estimator.Estimate(u"tangerine-voltage-meadow");
  std::printf("weak: score %d, 10^%.1f guesses, %s offline; %s\n", weak.Score, weak.GuessesLog10,
              kl::StrToUTF8(weak.CrackTimesDisplay.OfflineSlowHashing).c_str(),
              kl::StrToUTF8(weak.Feedback.Suggestions.front()).c_str());
  std::printf("strong: score %d, 10^%.1f guesses\n", strong.Score, strong.GuessesLog10);

  const kl::TKLStrengthRule rule(3, {u"alice"}); // TOO_WEAK below score 3
  return weak.Score < 3 && strong.Score == 4 && !rule.Validate(u"Alice2024!") ? 0 : 1;
}
