// Strength advice in the user's language: the zxcvbn-ts model with German and
// French language packs, whose words it knows and whose texts it speaks.
#include <cstdio>

#include "foundation/KLGeneral.h"
#include "rules/KLStrength.h"

int main() {
  kl::TKLStrengthEstimator estimator;
  estimator.SetProfile(kl::spZxcvbnTs); // the packs' model (the default is zxcvbn 4.4.2's)
  estimator.SetLanguages({"de", "fr"}); // texts in the first; common and English always loaded
  const kl::TKLStrengthResult result = estimator.Estimate(u"Sommerferien");
  std::printf("%s: score %d, %s offline; %s\n", result.Language.c_str(), result.Score,
              kl::StrToUTF8(result.CrackTimesDisplay.OfflineSlowHashing).c_str(),
              kl::StrToUTF8(result.Feedback.Suggestions.empty() ? u"" : result.Feedback.Suggestions.front()).c_str());
  const kl::String inFrench = kl::DisplayCrackTime(3600 * 5, "fr"); // "5 heures"
  std::printf("%s\n", kl::StrToUTF8(inFrench).c_str());
  return result.Language == "de" && result.Score <= 2 && inFrench == u"5 heures" ? 0 : 1;
}
