// Strength estimation: time per password over the comparison corpus (the same
// passwords the agreement test uses), side by side with the reference package
// run by node on the same corpus in the same run; a 1 MB password; and the
// one-off build of the word and keyboard data on first use.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "rules/KLStrength.h"
#include "rules/StrengthCorpus.h"
#include "rules/StrengthMatching.h"

namespace {

const std::vector<kl::String>& Corpus() {
  static const std::vector<kl::String> corpus = kl::test::BuildStrengthCorpus();
  return corpus;
}

// One iteration estimates one password; the corpus is cycled through.
void BM_EstimateCorpus(benchmark::State& State) {
  const auto& corpus = Corpus();
  kl::TKLStrengthEstimator estimator;
  estimator.Estimate(corpus[0]); // builds the shared data outside the timing
  std::size_t i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(estimator.Estimate(corpus[i]).Guesses);
    if (++i == corpus.size()) i = 0;
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_EstimateCorpus)->Repetitions(5)->ReportAggregatesOnly(true);

// Node's own time per password over one pass of the whole corpus, after a
// warm-up; node's start-up is not counted. Reported as manual time per password.
void BM_ReferenceUnderNode(benchmark::State& State) {
  if (!kl::test::OracleAvailable()) {
    State.SkipWithError("node or the reference package not found (KL_NODE, KL_ZXCVBN_MODULE)");
    return;
  }
  for (auto _ : State) {
    const auto ns = kl::test::TimeStrengthOracle(Corpus(), 1);
    if (!ns) {
      State.SkipWithError("the reference did not run");
      return;
    }
    State.SetIterationTime(*ns * 1e-9);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_ReferenceUnderNode)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_Estimate1MB(benchmark::State& State) {
  kl::String password;
  while (password.size() < (1u << 20)) password += u"p@ssw0rd1991qwerty";
  kl::TKLStrengthEstimator estimator;
  for (auto _ : State) benchmark::DoNotOptimize(estimator.Estimate(password).Guesses);
}
BENCHMARK(BM_Estimate1MB)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_BuildData(benchmark::State& State) {
  for (auto _ : State) benchmark::DoNotOptimize(kl::detail::TStrengthData::Build().Keyboards[0].KeyCount);
}
BENCHMARK(BM_BuildData)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
