// Merging two copies of one vault of 1,000, 10,000 and 100,000 records, each
// copy with a tenth of the records changed (a different tenth on each side)
// and the other copy deleting a hundredth: one whole Merge per figure, the
// copy it changes made afresh outside the timing. The time per record should
// stay level as the vault grows.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"

namespace {

using kl::String;
using kl::TKLPassStorage;

std::unique_ptr<TKLPassStorage> Load(kl::TMemoryStream& Saved) {
  Saved.SetPosition(0);
  auto store = std::make_unique<TKLPassStorage>();
  store->LoadFromStream(Saved, u"");
  return store;
}

void Save(TKLPassStorage& Store, kl::TMemoryStream& Out) {
  Out.SetSize(0);
  Store.SaveToStream(Out, u"");
}

void BM_Merge(benchmark::State& State) {
  const std::int64_t count = State.range(0);
  TKLPassStorage base;
  for (std::int64_t i = 0; i < count; ++i) {
    const String n = kl::IntToStr(i);
    base.Add(u"Site " + n, u"user" + n, u"pw-" + n, u"https://site" + n + u".example", u"", u"Group " + kl::IntToStr(i % 20));
  }
  kl::TMemoryStream saved, mine, theirs;
  Save(base, saved);
  auto a = Load(saved), b = Load(saved);
  for (std::int64_t i = 0; i < count; i += 10) a->GetRecord(static_cast<std::int32_t>(i))->SetPassword(u"changed in a");
  for (std::int64_t i = 5; i < count; i += 10) b->GetRecord(static_cast<std::int32_t>(i))->SetPassword(u"changed in b");
  for (std::int64_t i = count - 1; i >= 0; i -= 100) b->DeleteRecord(b->GetRecord(static_cast<std::int32_t>(i)), true);
  Save(*a, mine);
  Save(*b, theirs);
  auto source = Load(theirs);
  for (auto _ : State) {
    State.PauseTiming();
    auto target = Load(mine);
    State.ResumeTiming();
    benchmark::DoNotOptimize(target->Merge(*source));
    State.PauseTiming();
    target.reset();
    State.ResumeTiming();
  }
  State.counters["records/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_Merge)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
