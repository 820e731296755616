// The zxcvbn-ts profile: processor time per password with every language pack loaded,
// side by side with zxcvbn-ts under node configured with the same packs on the
// same corpus in the same run; and the start-up, the first estimate of a fresh
// process with one pack and with all (time and resident memory it adds).

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// 100 passwords of each language's corpus (node needs minutes for more).
const std::vector<kl::String>& Corpus() {
  static const std::vector<kl::String> corpus = [] {
    std::vector<kl::String> c;
    for (const std::string& l : kl::StrengthLanguages()) {
      const std::vector<kl::String> one = kl::test::BuildTsStrengthCorpus(l);
      for (std::size_t i = 0; i < one.size(); i += one.size() / 100) c.push_back(one[i]);
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

// Node's own processor time per password over one pass of the corpus after a
// warm-up (compare it with the CPU column of the estimate above); node's
// start-up is not counted.
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

// The first estimate of a fresh process (this program run again, so that
// nothing is loaded yet): its processor time (the manual time: on a busy
// machine the wall time mostly measures the neighbours), its wall time and
// the resident memory it adds.
// Argument 0: one pack (German); 1: all packs.
void BM_TsFirstEstimate(benchmark::State& State) {
  const std::string languages = State.range(0) == 1 ? AllLanguagesArgument() : "de";
  double kib = 0, wall = 0;
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    State.SkipWithError("the program's own path is unknown");
    return;
  }
  for (auto _ : State) {
    const std::string command = std::string("\"") + self + "\" --first-estimate=" + languages;
    FILE* child = popen(command.c_str(), "r");
    double seconds = 0;
    const int got = child != nullptr ? std::fscanf(child, "%lf %lf %lf", &seconds, &wall, &kib) : 0;
    if (child == nullptr || pclose(child) != 0 || got != 3) {
      State.SkipWithError("the fresh process did not answer");
      return;
    }
    State.SetIterationTime(seconds);
  }
  State.counters["added_resident_KiB"] = kib;
  State.counters["wall_ms"] = wall * 1e3;
}
BENCHMARK(BM_TsFirstEstimate)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond)
    ->ReportAggregatesOnly(true);

int FirstEstimate(const std::string& Languages) {
  std::vector<std::string> codes;
  for (std::size_t at = 0; at <= Languages.size();) {
    const std::size_t comma = std::min(Languages.find(',', at), Languages.size());
    codes.push_back(Languages.substr(at, comma - at));
    at = comma + 1;
  }
  kl::TKLStrengthEstimator estimator;
  estimator.SetProfile(kl::spZxcvbnTs);
  estimator.SetLanguages(codes);
  const long before = ResidentKiB();
  const auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  const double cpuStart = cpu();
  const auto start = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(estimator.Estimate(u"Schmetterling2024").Guesses);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.9f %.9f %ld\n", cpu() - cpuStart, wall, ResidentKiB() - before);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  const std::string flag = "--first-estimate=";
  if (argc == 2 && std::string(argv[1]).rfind(flag, 0) == 0) return FirstEstimate(argv[1] + flag.size());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
