// The zxcvbn-ts profile: time per password with every language pack loaded,
// side by side with zxcvbn-ts under node configured with the same packs on the
// same corpus in the same run; and the start-up, the first estimate of a fresh
// process with one pack and with all (time and resident memory it adds).

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "rules/KLStrength.h"
#include "rules/StrengthTsCorpus.h"

namespace {

std::string AllLanguagesArgument() {
  std::string all;
  for (const std::string& l : kl::StrengthLanguages()) all += (all.empty() ? "" : ",") + l;
  return all;
}

// 400 passwords of each language's corpus.
const std::vector<kl::String>& Corpus() {
  static const std::vector<kl::String> corpus = [] {
    std::vector<kl::String> c;
    for (const std::string& l : kl::StrengthLanguages()) {
      const std::vector<kl::String> one = kl::test::BuildTsStrengthCorpus(l);
      for (std::size_t i = 0; i < one.size(); i += one.size() / 400) c.push_back(one[i]);
    }
    return c;
  }();
  return corpus;
}

void BM_TsEstimateCorpusAllPacks(benchmark::State& State) {
  const auto& corpus = Corpus();
  kl::TKLStrengthEstimator estimator;
  estimator.SetProfile(kl::spZxcvbnTs);
  estimator.SetLanguages(kl::StrengthLanguages());
  estimator.Estimate(corpus[0]); // loads the packs outside the timing
  std::size_t i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(estimator.Estimate(corpus[i]).Guesses);
    if (++i == corpus.size()) i = 0;
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_TsEstimateCorpusAllPacks)->Repetitions(5)->ReportAggregatesOnly(true);

// Node's own time per password over one pass of the corpus after a warm-up;
// node's start-up is not counted.
void BM_TsReferenceUnderNodeAllPacks(benchmark::State& State) {
  if (!kl::test::TsOracleAvailable()) {
    State.SkipWithError("node or the zxcvbn-ts packages not found (KL_NODE, KL_ZXCVBN_TS_MODULES)");
    return;
  }
  for (auto _ : State) {
    const auto ns = kl::test::TimeTsStrengthOracle(AllLanguagesArgument(), Corpus(), 1);
    if (!ns) {
      State.SkipWithError("the oracle did not run");
      return;
    }
    State.SetIterationTime(*ns * 1e-9);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_TsReferenceUnderNodeAllPacks)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The first estimate of a fresh process (forked before anything is loaded):
// its time and the resident memory it adds. Argument 0: one pack (German);
// 1: all packs.
void BM_TsFirstEstimate(benchmark::State& State) {
  const bool all = State.range(0) == 1;
  double kib = 0;
  for (auto _ : State) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
      State.SkipWithError("pipe failed");
      return;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_fds[0]);
      kl::TKLStrengthEstimator estimator;
      estimator.SetProfile(kl::spZxcvbnTs);
      estimator.SetLanguages(all ? kl::StrengthLanguages() : std::vector<std::string>{"de"});
      const long before = ResidentKiB();
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(estimator.Estimate(u"Schmetterling2024").Guesses);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double result[2] = {seconds, static_cast<double>(ResidentKiB() - before)};
      const ssize_t written = write(pipe_fds[1], result, sizeof result);
      _exit(written == sizeof result ? 0 : 1);
    }
    close(pipe_fds[1]);
    double result[2] = {0, 0};
    const ssize_t got = read(pipe_fds[0], result, sizeof result);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != sizeof result) {
      State.SkipWithError("the child did not answer");
      return;
    }
    State.SetIterationTime(result[0]);
    kib = result[1];
  }
  State.counters["added_resident_KiB"] = kib;
}
BENCHMARK(BM_TsFirstEstimate)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Repetitions(5)
    ->Unit(benchmark::kMillisecond)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
