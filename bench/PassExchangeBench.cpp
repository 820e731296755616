// Moving a vault of 100,000 records out and in: export to and import from each
// of the library's own layouts and the Bitwarden JSON export, in memory,
// beside the encrypted save and load of the same vault as the yardstick.

#include <benchmark/benchmark.h>

#include <memory>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassExchange.h"

namespace {

using kl::String;
using kl::TKLPassStorage;

constexpr std::int64_t kRecords = 100000;
constexpr int kGroups = 20;
const String kPassword = u"correct horse battery staple";

// The records of the store benchmarks, with a note that needs quoting in CSV.
std::unique_ptr<TKLPassStorage> MakeVault() {
  auto store = std::make_unique<TKLPassStorage>();
  for (std::int64_t i = 0; i < kRecords; ++i) {
    const String n = kl::IntToStr(i);
    store->Add(u"Site " + n, u"user" + n + u"@example.com", u"pw-" + n + u"-Xq7!zR2#",
               u"https://site" + n + u".example.com/login", u"security questions, \"first pet\"",
               u"Group " + kl::IntToStr(i % kGroups));
  }
  return store;
}

void SetCounters(benchmark::State& State) {
  State.counters["records/s"] =
      benchmark::Counter(static_cast<double>(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

template <kl::TKLExchangeFormat Format>
void BM_Export(benchmark::State& State) {
  auto store = MakeVault();
  for (auto _ : State) {
    kl::TMemoryStream strm;
    kl::ExportPassRecords(*store, strm, {Format, false});
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

template <kl::TKLExchangeFormat Format>
void BM_Import(benchmark::State& State) {
  kl::TMemoryStream exported;
  kl::ExportPassRecords(*MakeVault(), exported, {Format, false});
  State.counters["file MB"] = static_cast<double>(exported.GetSize()) / 1e6;
  for (auto _ : State) {
    exported.SetPosition(0);
    TKLPassStorage store;
    kl::ImportPassRecords(store, exported, {Format, {}});
    benchmark::DoNotOptimize(store.GetCount());
    State.PauseTiming(); // destroying the records is not part of the import
    for (std::int32_t i = store.GetCount() - 1; i >= 0; --i) delete store.GetRecord(i);
    store.Clear();
    State.ResumeTiming();
  }
  SetCounters(State);
}

void BM_SaveEncrypted(benchmark::State& State) {
  auto store = MakeVault();
  for (auto _ : State) {
    kl::TMemoryStream strm;
    store->SaveToStream(strm, kPassword);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

void BM_LoadEncrypted(benchmark::State& State) {
  kl::TMemoryStream saved;
  MakeVault()->SaveToStream(saved, kPassword);
  for (auto _ : State) {
    saved.SetPosition(0);
    TKLPassStorage store;
    store.LoadFromStream(saved, kPassword);
    benchmark::DoNotOptimize(store.GetCount());
    State.PauseTiming();
    for (std::int32_t i = store.GetCount() - 1; i >= 0; --i) delete store.GetRecord(i);
    store.Clear();
    State.ResumeTiming();
  }
  SetCounters(State);
}

void Options(benchmark::internal::Benchmark* B) {
  B->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.5);
}

BENCHMARK(BM_Export<kl::exCsv>)->Apply(Options);
BENCHMARK(BM_Export<kl::exJson>)->Apply(Options);
BENCHMARK(BM_Export<kl::exBitwardenJson>)->Apply(Options);
BENCHMARK(BM_SaveEncrypted)->Apply(Options);
BENCHMARK(BM_Import<kl::exCsv>)->Apply(Options);
BENCHMARK(BM_Import<kl::exJson>)->Apply(Options);
BENCHMARK(BM_Import<kl::exBitwardenJson>)->Apply(Options);
BENCHMARK(BM_LoadEncrypted)->Apply(Options);

} // namespace

BENCHMARK_MAIN();
