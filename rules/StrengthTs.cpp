#include <cfloat>
#include <cmath>

#include "foundation/Clock.h"
#include "rules/StrengthTs.h"

namespace kl {

namespace {

// Guesses a second of each attack scenario, as in the other profile.
constexpr double kOnlineThrottlingRate = 100.0 / 3600.0;
constexpr double kOnlineNoThrottlingRate = 10;
constexpr double kOfflineSlowHashingRate = 1e4;
constexpr double kOfflineFastHashingRate = 1e10;

std::int32_t YearOfClock() {
  // Days to the civil year (proleptic Gregorian), from the Unix time.
  const std::int64_t seconds = NowUnixSeconds();
  const std::int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  return static_cast<std::int32_t>(yoe + era * 400 + (mp < 10 ? 0 : 1));
}

} // namespace

std::vector<std::string> StrengthLanguages() {
  std::vector<std::string> codes;
  for (const detail::TTsPackText& pack : detail::TsPackTexts())
    if (pack.Code != "common") codes.emplace_back(pack.Code);
  return codes;
}

// Only the start of a long password is analysed, as the oracle does: its cost
// grows with the square of the length at worst, so the cap bounds it.
TKLStrengthResult TKLStrengthEstimator::EstimateTs(const String& Password) const {
  const std::int32_t year = FReferenceYear > 0 ? FReferenceYear : YearOfClock();
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
  r.CrackTimesSeconds = {r.Guesses / kOnlineThrottlingRate, r.Guesses / kOnlineNoThrottlingRate,
                         r.Guesses / kOfflineSlowHashingRate, r.Guesses / kOfflineFastHashingRate};
  r.CrackTimesDisplay = {DisplayCrackTime(r.CrackTimesSeconds.OnlineThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OnlineNoThrottling),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineSlowHashing),
                         DisplayCrackTime(r.CrackTimesSeconds.OfflineFastHashing)};
  return r;
}

} // namespace kl
