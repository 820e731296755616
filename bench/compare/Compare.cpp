// Runs each operation of Operations.h for the previous release ("baseline")
// and for this tree ("current"), the two side by side for every size, and ends
// with one Markdown table of the medians: CPU time (with throughput where the
// case has one), the per-value counters, and the ratio baseline / current, so
// that a figure above 1 means the current code is faster or smaller.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Operations.h"

namespace {

struct TCase {
  const char* Name;
  void (*Baseline)(benchmark::State&);
  void (*Current)(benchmark::State&);
  std::vector<std::int64_t> Sizes;
  benchmark::TimeUnit Unit;
  // Removals run Work / size iterations: the untimed re-adding between them
  // counts towards the wall time only, so the automatic iteration count, which
  // aims at a timed total, could make a fast removal with a slow re-add run
  // for minutes. Zero: the automatic count.
  std::int64_t Work = 0;
};

#define KL_COMPARE_BOTH(Name) #Name, ops_baseline::Name, ops_current::Name

const TCase kCases[] = {
    {KL_COMPARE_BOTH(VaultSaveEncrypted), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(VaultLoadEncrypted), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(StorageSavePlain), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(StorageLoadPlain), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(StorageSaveEncrypted), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(StorageLoadEncrypted), {100000}, benchmark::kMillisecond},
    {KL_COMPARE_BOTH(StorageRemoveOne), {10000, 100000, 1000000}, benchmark::kMicrosecond, 100000000},
    {KL_COMPARE_BOTH(VaultDeleteOne), {10000, 100000}, benchmark::kMicrosecond, 100000000},
    {KL_COMPARE_BOTH(TextDatabaseDeleteUser), {10000, 100000}, benchmark::kMicrosecond, 10000000},
    {KL_COMPARE_BOTH(BinaryDatabaseDeleteUser), {10000, 100000}, benchmark::kMicrosecond, 10000000},
};
const TCase kMemory = {KL_COMPARE_BOTH(StorageMemoryPerValue), {5000000}, benchmark::kMillisecond};

constexpr const char* kSides[] = {"baseline", "current"};

// The medians (or the single run, without repetitions) of one case at one size.
struct TRow {
  std::string Case;
  std::string Size;
  std::map<std::string, benchmark::BenchmarkReporter::Run> Sides;
};

// The console output as usual, then the comparison table.
class TCompareReporter : public benchmark::ConsoleReporter {
public:
  // Colours only on a terminal.
  TCompareReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& Reports) override {
    ConsoleReporter::ReportRuns(Reports);
    for (const Run& run : Reports) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if ((!median && !single) || run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const auto slash = name.rfind('/');
      if (slash == std::string::npos) continue;
      Row(name.substr(0, slash), run.run_name.args).Sides[name.substr(slash + 1)] = run;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n| Case | Size | Baseline | Current | Baseline / current |\n|---|---|---|---|---|\n");
    for (const TRow& row : FRows) {
      if (row.Sides.size() != 2) continue;
      const Run& base = row.Sides.at(kSides[0]);
      const Run& cur = row.Sides.at(kSides[1]);
      if (base.counters.count("loaded_B/value") == 0) {
        std::printf("| %s | %s | %s | %s | %s |\n", row.Case.c_str(), row.Size.c_str(), Time(base).c_str(),
                    Time(cur).c_str(), Figure(base.GetAdjustedCPUTime() / cur.GetAdjustedCPUTime()).c_str());
        continue;
      }
      for (const char* counter : {"loaded_B/value", "read_B/value"}) {
        const double b = base.counters.at(counter).value, c = cur.counters.at(counter).value;
        std::printf("| %s %s | %s | %s B | %s B | %s |\n", row.Case.c_str(), counter, row.Size.c_str(),
                    Figure(b).c_str(), Figure(c).c_str(), Figure(b / c).c_str());
      }
    }
  }

private:
  TRow& Row(const std::string& Case, const std::string& Size) {
    for (TRow& row : FRows) {
      if (row.Case == Case && row.Size == Size) return row;
    }
    FRows.push_back({Case, Size, {}});
    return FRows.back();
  }

  // Three significant digits or more, never an exponent.
  static std::string Figure(double Value) {
    char text[48];
    const int decimals = Value >= 100 ? 0 : Value >= 10 ? 1 : Value >= 1 ? 2 : 3;
    std::snprintf(text, sizeof text, "%.*f", decimals, Value);
    return text;
  }

  static std::string Time(const Run& R) {
    std::string out = Figure(R.GetAdjustedCPUTime()) + " " + benchmark::GetTimeUnitString(R.time_unit);
    char text[48];
    const auto bytes = R.counters.find("bytes_per_second");
    if (bytes != R.counters.end()) {
      std::snprintf(text, sizeof text, " (%.0f MB/s)", bytes->second.value / 1e6);
      out += text;
    }
    return out;
  }

  std::vector<TRow> FRows;
};

void Register(const TCase& Case, bool OneIteration) {
  for (const std::int64_t size : Case.Sizes) {
    for (const char* side : kSides) {
      auto* function = side == kSides[0] ? Case.Baseline : Case.Current;
      auto* b = benchmark::RegisterBenchmark((std::string(Case.Name) + "/" + side).c_str(), function);
      b->Arg(size)->Unit(Case.Unit);
      if (Case.Work != 0) b->Iterations(Case.Work / size);
      if (OneIteration) b->Iterations(1)->Repetitions(1)->ReportAggregatesOnly(false);
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  for (const TCase& c : kCases) Register(c, false);
  Register(kMemory, true);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TCompareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
