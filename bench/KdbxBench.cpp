// KDBX load and save beside the vault's own format, for 10,000 and 100,000
// records, with the key derivation taken out of both: the KDBX file uses
// AES-KDF at one round, the vault's own file the key its store keeps after a
// first save. What remains is the records, the document, the ciphers and gzip.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"

namespace {

using kl::String;
using kl::TKLPassStorage;

constexpr int kGroups = 20;
const String kPassword = u"correct horse battery staple";

std::unique_ptr<TKLPassStorage> MakeVault(std::int64_t Count, kl::TKLPassFileFormat Format) {
  auto store = std::make_unique<TKLPassStorage>();
  if (Format == kl::pfKdbx) {
    kl::TKLKdbxSettings cheap;
    cheap.Kdf = kl::kkAesKdf;
    cheap.Iterations = 1;
    store->SetKdbxSettings(cheap);
  }
  store->SetSaveFormat(Format);
  for (std::int64_t i = 0; i < Count; ++i) {
    const String n = kl::IntToStr(i);
    store->Add(u"Site " + n, u"user" + n + u"@example.com", u"pw-" + n + u"-Xq7!zR2#",
               u"https://site" + n + u".example.com/login", u"security questions in the other vault",
               u"Group " + kl::IntToStr(i % kGroups));
  }
  return store;
}

void SetCounters(benchmark::State& State) {
  State.counters["records/s"] =
      benchmark::Counter(static_cast<double>(State.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

// A save after a first one: for the vault's format the key is kept from then
// on, and a KDBX store saves into the document its first save made.
template <kl::TKLPassFileFormat Format>
void BM_Save(benchmark::State& State) {
  auto store = MakeVault(State.range(0), Format);
  kl::TMemoryStream first;
  store->SaveToStream(first, kPassword);
  for (auto _ : State) {
    kl::TMemoryStream strm;
    store->SaveToStream(strm, kPassword);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

// A KDBX file opened and saved again: the store keeps the document it read
// and puts the records back into it.
void BM_SaveKdbxLoaded(benchmark::State& State) {
  kl::TMemoryStream saved;
  MakeVault(State.range(0), kl::pfKdbx)->SaveToStream(saved, kPassword);
  saved.SetPosition(0);
  TKLPassStorage store;
  store.LoadFromStream(saved, kPassword);
  for (auto _ : State) {
    kl::TMemoryStream strm;
    store.SaveToStream(strm, kPassword);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  for (std::int32_t i = 0; i < store.GetCount(); ++i) delete store.GetRecord(i);
  store.Clear();
  SetCounters(State);
}

// Loads into the store that saved the file (its kept key opens the vault's
// format); the records a load adds are destroyed while the clock is paused.
template <kl::TKLPassFileFormat Format>
void BM_Load(benchmark::State& State) {
  auto store = MakeVault(State.range(0), Format);
  kl::TMemoryStream saved;
  store->SaveToStream(saved, kPassword);
  const std::int32_t held = Format == kl::pfKdbx ? 0 : store->GetCount();
  if (Format == kl::pfKdbx) {
    for (std::int32_t i = 0; i < store->GetCount(); ++i) delete store->GetRecord(i);
    store->Clear();
  }
  for (auto _ : State) {
    saved.SetPosition(0);
    store->LoadFromStream(saved, kPassword);
    benchmark::DoNotOptimize(store->GetCount());
    State.PauseTiming();
    while (store->GetCount() > held) {
      std::unique_ptr<kl::TKLPassRecord> rec(store->GetRecord(store->GetCount() - 1));
      store->Delete(store->GetCount() - 1);
    }
    State.ResumeTiming();
  }
  SetCounters(State);
}

void Sizes(benchmark::internal::Benchmark* B) {
  B->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

} // namespace

BENCHMARK(BM_Save<kl::pfKdbx>)->Name("BM_SaveKdbx")->Apply(Sizes);
BENCHMARK(BM_SaveKdbxLoaded)->Apply(Sizes);
BENCHMARK(BM_Save<kl::pfVault>)->Name("BM_SaveVault")->Apply(Sizes);
BENCHMARK(BM_Load<kl::pfKdbx>)->Name("BM_LoadKdbx")->Apply(Sizes);
BENCHMARK(BM_Load<kl::pfVault>)->Name("BM_LoadVault")->Apply(Sizes);

BENCHMARK_MAIN();
