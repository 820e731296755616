// Pass-store throughput for vaults of 1,000, 10,000 and 100,000 records: Add,
// Search with each equality, List, and an encrypted save and load, with the key
// derivation and without it (the key a store keeps), beside the storage file's
// own writing and reading of the same content. Every figure is for one whole
// operation over the vault. Deleting one record, by position or by reference,
// is measured at 10,000, 100,000 and 1,000,000 records, and should barely grow.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/StorageContent.h"

namespace {

using kl::String;
using kl::TKLPassStorage;

constexpr int kRepetitions = 5;
constexpr int kGroups = 20;
const String kPassword = u"correct horse battery staple";

// Record i of a deterministic vault: the texts a password manager typically holds.
void AddRecord(TKLPassStorage& Store, std::int64_t I) {
  const String n = kl::IntToStr(I);
  Store.Add(u"Site " + n, u"user" + n + u"@example.com", u"pw-" + n + u"-Xq7!zR2#",
            u"https://site" + n + u".example.com/login", u"security questions in the other vault",
            u"Group " + kl::IntToStr(I % kGroups));
}

std::unique_ptr<TKLPassStorage> MakeVault(std::int64_t Count) {
  auto store = std::make_unique<TKLPassStorage>();
  for (std::int64_t i = 0; i < Count; ++i) AddRecord(*store, i);
  return store;
}

void SetCounters(benchmark::State& State) {
  State.counters["records/s"] =
      benchmark::Counter(static_cast<double>(State.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Add(benchmark::State& State) {
  for (auto _ : State) {
    State.PauseTiming();
    auto store = std::make_unique<TKLPassStorage>();
    State.ResumeTiming();
    for (std::int64_t i = 0; i < State.range(0); ++i) AddRecord(*store, i);
    State.PauseTiming();
    store.reset();
    State.ResumeTiming();
  }
  SetCounters(State);
}

template <kl::TKLSearchEquality Equality>
void BM_Search(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  // Contains: a run that a tenth of the titles hold; equals: one title;
  // not-equals: every title but one, so the result list is as large as it gets.
  const String value = Equality == kl::seContains ? String(u"7") : String(u"Site 500");
  kl::TPointerList<kl::TKLPassRecord> recs;
  for (auto _ : State) {
    recs.Clear();
    store->Search(kl::spTitle, Equality, value, recs);
    benchmark::DoNotOptimize(recs.GetCount());
  }
  SetCounters(State);
}

void BM_List(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  kl::TPointerList<kl::TKLPassRecord> recs;
  for (auto _ : State) {
    recs.Clear();
    store->List(u"Group 3", recs);
    benchmark::DoNotOptimize(recs.GetCount());
  }
  SetCounters(State);
}

void BM_SaveEncrypted(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  for (auto _ : State) {
    kl::TMemoryStream strm;
    store->SaveToStream(strm, kPassword);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

void BM_LoadEncrypted(benchmark::State& State) {
  kl::TMemoryStream saved;
  MakeVault(State.range(0))->SaveToStream(saved, kPassword);
  for (auto _ : State) {
    saved.SetPosition(0);
    TKLPassStorage store;
    store.LoadFromStream(saved, kPassword);
    benchmark::DoNotOptimize(store.GetCount());
    State.PauseTiming(); // destroying the records is not part of the load
    for (std::int32_t i = 0; i < store.GetCount(); ++i) delete store.GetRecord(i);
    store.Clear();
    State.ResumeTiming();
  }
  SetCounters(State);
}

// The derivation excluded: a store keeps the key of its last save or load,
// so after one save every further save under the same password reuses it.
void BM_SaveKeptKey(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  kl::TMemoryStream first;
  store->SaveToStream(first, kPassword);
  for (auto _ : State) {
    kl::TMemoryStream strm;
    store->SaveToStream(strm, kPassword);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

// Loads into the store that saved the file, so that its kept key opens it;
// the appended records are taken out and destroyed while the clock is paused
// (Clear would forget the key).
void BM_LoadKeptKey(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  kl::TMemoryStream saved;
  store->SaveToStream(saved, kPassword);
  const std::int32_t held = store->GetCount();
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

// The storage file alone, for the same vault: its content (made once) written
// and read back encrypted with a kept key, no record made or read. A save or
// load with the kept key costs this plus the store's own work.
struct TVaultContent {
  explicit TVaultContent(std::int64_t Count) : Store(MakeVault(Count)) {
    kl::TMemoryStream plain;
    Store->SaveToStream(plain, u"");
    plain.SetPosition(0);
    Loaded = kl::detail::ReadStorageFile(plain, u"", {}, nullptr);
    Write(Encrypted); // derives the key, kept from here on
  }
  // The write enciphers the content where it lies: each gets a fresh copy.
  void Write(kl::TStream& Strm) {
    kl::detail::TContentBuffer content(Loaded.Size + 64);
    content.Append(Loaded.Buffer->Data(), Loaded.Size);
    kl::detail::WriteStorageFile(Strm, kPassword, {}, *Store->GetRandomGenerator(), Key, content);
  }

  std::unique_ptr<TKLPassStorage> Store;
  kl::detail::TLoadedContent Loaded;
  std::shared_ptr<kl::detail::TStorageKey> Key;
  kl::TMemoryStream Encrypted;
};

void BM_FileWriteKeptKey(benchmark::State& State) {
  TVaultContent content(State.range(0));
  for (auto _ : State) {
    kl::TMemoryStream strm;
    content.Write(strm);
    benchmark::DoNotOptimize(strm.GetSize());
  }
  SetCounters(State);
}

void BM_FileReadKeptKey(benchmark::State& State) {
  TVaultContent content(State.range(0));
  for (auto _ : State) {
    content.Encrypted.SetPosition(0);
    const kl::detail::TLoadedContent read = kl::detail::ReadStorageFile(content.Encrypted, kPassword, {}, content.Key);
    benchmark::DoNotOptimize(read.Records);
  }
  SetCounters(State);
}

// A batch of deletions spread over the vault, timed; the deleted records are
// added back while the clock is paused, so the vault keeps its size and the
// dead slots the deletions leave pile up until the list closes its gaps, as
// they would in use. The figure is the time of one deletion.
constexpr std::int32_t kDeletions = 1000;

template <bool ByReference>
void BM_DeleteOne(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  std::vector<kl::TKLPassRecord*> removed(kDeletions);
  std::uint64_t seed = 1;
  for (auto _ : State) {
    const std::int32_t count = store->GetCount();
    if constexpr (ByReference) {
      State.PauseTiming();
      for (std::int32_t j = 0; j < kDeletions; ++j) {
        removed[j] = store->GetRecord(static_cast<std::int32_t>((seed + 7919u * j) % count));
      }
      State.ResumeTiming();
      for (kl::TKLPassRecord* rec : removed) benchmark::DoNotOptimize(store->Delete(rec));
    } else {
      for (std::int32_t j = 0; j < kDeletions; ++j) {
        const auto at = static_cast<std::int32_t>((seed + 7919u * j) % (count - j));
        removed[j] = store->GetRecord(at);
        benchmark::DoNotOptimize(store->Delete(at));
      }
    }
    State.PauseTiming();
    for (kl::TKLPassRecord* rec : removed) store->Add(rec);
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    State.ResumeTiming();
  }
  State.counters["per deletion"] =
      benchmark::Counter(kDeletions, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void DeletionSizes(benchmark::internal::Benchmark* B) {
  B->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
  B->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->MinTime(0.2);
}

void Sizes(benchmark::internal::Benchmark* B) {
  B->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
  B->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->MinTime(0.05);
}

BENCHMARK(BM_Add)->Apply(Sizes);
BENCHMARK(BM_Search<kl::seContains>)->Apply(Sizes);
BENCHMARK(BM_Search<kl::seEquals>)->Apply(Sizes);
BENCHMARK(BM_Search<kl::seNotEquals>)->Apply(Sizes);
BENCHMARK(BM_List)->Apply(Sizes);
BENCHMARK(BM_SaveEncrypted)->Apply(Sizes);
BENCHMARK(BM_LoadEncrypted)->Apply(Sizes);
BENCHMARK(BM_SaveKeptKey)->Apply(Sizes);
BENCHMARK(BM_LoadKeptKey)->Apply(Sizes);
BENCHMARK(BM_FileWriteKeptKey)->Apply(Sizes);
BENCHMARK(BM_FileReadKeptKey)->Apply(Sizes);
BENCHMARK(BM_DeleteOne<false>)->Name("BM_DeleteOneByPosition")->Apply(DeletionSizes);
BENCHMARK(BM_DeleteOne<true>)->Name("BM_DeleteOneByReference")->Apply(DeletionSizes);

} // namespace

BENCHMARK_MAIN();
