#include <cfloat>
#include <cmath>

#include "rules/StrengthTs.h"

namespace kl {

std::vector<std::string> StrengthLanguages() {
  std::vector<std::string> codes;
  for (const detail::TTsPackText& pack : detail::TsPackTexts())
    if (pack.Code != "common") codes.emplace_back(pack.Code);
  return codes;
}

// Only the start of a long password is analysed, as the oracle does: its cost
// grows with the square of the length at worst, so the cap bounds it.
TKLStrengthResult TKLStrengthEstimator::EstimateTs(const String& Password) const {
  const std::int32_t year = FReferenceYear > 0 ? FReferenceYear : detail::CurrentYear();
  const detail::TTsContext context = detail::MakeTsContext(FLanguages, FUserInputs, year);
  const std::u16string_view text = std::u16string_view(Password).substr(0, static_cast<std::size_t>(MaxTsLength));
  detail::TGuessSequence best = detail::TsEstimate(text, context);
  TKLStrengthResult r;
  r.Profile = spZxcvbnTs;
  r.Truncated = Password.size() > static_cast<std::size_t>(MaxTsLength);
  r.Guesses = best.Guesses;
  r.GuessesLog10 = best.Guesses == 0 ? 0 : std::log(best.Guesses) / std::log(10.0);
  r.Sequence = std::move(best.Sequence);
  r.Score = GuessesToScore(r.Guesses);
  r.CrackTimesSeconds = detail::CrackTimesOf(r.Guesses);
  r.CrackTimesDisplay = {DisplayCrackTime(r.CrackTimesSeconds.OnlineThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OnlineNoThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineSlowHashing),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineFastHashing)};
  return r;
}

} // namespace kl
