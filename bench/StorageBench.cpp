// The storage at the scale its callers reach: 100,000 values laid out as the
// password-manager store lays them out (groups of records of eight leaves).
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// for medians. "per_value" is the time per value handled.
#include <benchmark/benchmark.h>

#include <memory>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>
#include <vector>

#include "crypto/KLPKCS5.h"
#include "foundation/MemoryStream.h"
#include "foundation/StringList.h"
#include "storage/KLStorage.h"

namespace {

using namespace kl;

constexpr int kGroups = 10;
constexpr int kRecordsPerGroup = 1250;
constexpr const char16_t* kLeaves[] = {u"title", u"user", u"pwd", u"url", u"note", u"created", u"changed", u"expires"};
constexpr int kValues = kGroups * kRecordsPerGroup * 8;
const String kPassword = u"benchmark password";

String Ascii(const std::string& Text) { return String(Text.begin(), Text.end()); }

const std::vector<String>& Keys() {
  static const std::vector<String> keys = [] {
    std::vector<String> out;
    for (int g = 0; g < kGroups; ++g) {
      for (int r = 0; r < kRecordsPerGroup; ++r) {
        const String record =
            Ascii("Group " + std::to_string(g) + "/" + std::to_string(g * kRecordsPerGroup + r) + "/");
        for (const char16_t* leaf : kLeaves) out.push_back(record + leaf);
      }
    }
    return out;
  }();
  return keys;
}

String Group(int G) { return Ascii("Group " + std::to_string(G)); }

void Fill(TKLStorage& Storage) {
  const String text = u"some text of an ordinary length";
  for (const String& key : Keys()) Storage.PutString(key, text, false);
}

void PerValue(benchmark::State& State, double ValuesPerIteration) {
  State.counters["per_value"] = benchmark::Counter(
      ValuesPerIteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Put(benchmark::State& State) {
  for (auto _ : State) {
    auto storage = std::make_unique<TKLStorage>();
    Fill(*storage);
    State.PauseTiming();
    storage.reset();
    State.ResumeTiming();
  }
  PerValue(State, kValues);
}

void BM_Get(benchmark::State& State) {
  TKLStorage storage;
  Fill(storage);
  for (auto _ : State) {
    for (const String& key : Keys()) benchmark::DoNotOptimize(storage.Get(key));
  }
  PerValue(State, kValues);
}

// The listings the store makes: the groups under the root (a pass over every
// value), then each group's records (a pass over the group's values).
void BM_GetSubKeysRoot(benchmark::State& State) {
  TKLStorage storage;
  Fill(storage);
  for (auto _ : State) {
    TStringList list;
    storage.GetSubKeys(u"/", list, false);
    benchmark::DoNotOptimize(list.GetCount());
  }
  PerValue(State, kValues);
}

void BM_GetSubKeysOfEachGroup(benchmark::State& State) {
  TKLStorage storage;
  Fill(storage);
  for (auto _ : State) {
    TStringList list;
    for (int g = 0; g < kGroups; ++g) storage.GetSubKeys(Group(g), list, false);
    benchmark::DoNotOptimize(list.GetCount());
  }
  PerValue(State, kValues);
}

void BM_GetSubKeysRecursive(benchmark::State& State) {
  TKLStorage storage;
  Fill(storage);
  for (auto _ : State) {
    TStringList list;
    storage.GetSubKeys(u"", list, true);
    benchmark::DoNotOptimize(list.GetCount());
  }
  PerValue(State, kValues);
}

// Every group removed with its records, one recursive Remove each.
void BM_RemoveRecursive(benchmark::State& State) {
  for (auto _ : State) {
    State.PauseTiming();
    auto storage = std::make_unique<TKLStorage>();
    Fill(*storage);
    State.ResumeTiming();
    for (int g = 0; g < kGroups; ++g) benchmark::DoNotOptimize(storage->Remove(Group(g), true));
    State.PauseTiming();
    storage.reset();
    State.ResumeTiming();
  }
  PerValue(State, kValues);
}

// One record (eight values) removed from the full storage: a scan of all.
void BM_RemoveOneRecord(benchmark::State& State) {
  TKLStorage storage;
  Fill(storage);
  int next = 0;
  for (auto _ : State) {
    const String record = Ascii("Group 0/" + std::to_string(next++ % kRecordsPerGroup));
    benchmark::DoNotOptimize(storage.Remove(record, true));
  }
}

void BM_Save(benchmark::State& State, const String& Password) {
  TKLStorage storage;
  Fill(storage);
  std::int64_t bytes = 0;
  for (auto _ : State) {
    TMemoryStream stream;
    storage.SaveToStream(stream, Password);
    bytes = stream.GetSize();
  }
  State.SetBytesProcessed(State.iterations() * bytes);
  PerValue(State, kValues);
}

void BM_Load(benchmark::State& State, const String& Password) {
  TMemoryStream stream;
  {
    TKLStorage storage;
    Fill(storage);
    storage.SaveToStream(stream, Password);
  }
  for (auto _ : State) {
    auto storage = std::make_unique<TKLStorage>();
    stream.SetPosition(0);
    storage->LoadFromStream(stream, Password);
    State.PauseTiming();
    storage.reset();
    State.ResumeTiming();
  }
  State.SetBytesProcessed(State.iterations() * stream.GetSize());
  PerValue(State, kValues);
}

#if defined(__GLIBC__)
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Memory per value beyond its key and data (their bytes in the file) for a
// plain storage of five million small values: right after the load, and once
// every value has been asked for (which makes its value object).
void BM_MemoryPerValue(benchmark::State& State) {
  constexpr int kCount = 5000000;
  TMemoryStream stream;
  double payload = 0;
  {
    TKLStorage storage;
    for (int i = 0; i < kCount; ++i) {
      const String key = Ascii("v/" + std::to_string(i));
      storage.PutInt(key, i, false);
      payload += static_cast<double>(key.size() + 4);
    }
    storage.SaveToStream(stream, String());
  }
  for (auto _ : State) {
    stream.SetPosition(0);
    const std::size_t before = HeapInUse();
    auto storage = std::make_unique<TKLStorage>();
    storage->LoadFromStream(stream, String());
    const std::size_t loaded = HeapInUse();
    for (std::int32_t i = 0; i < storage->GetCount(); ++i) benchmark::DoNotOptimize(storage->GetValue(i));
    const std::size_t touched = HeapInUse();
    State.counters["loaded_bytes_per_value"] = (static_cast<double>(loaded - before) - payload) / kCount;
    State.counters["touched_bytes_per_value"] = (static_cast<double>(touched - before) - payload) / kCount;
    State.counters["file_MB"] = static_cast<double>(stream.GetSize()) / 1e6;
  }
}
BENCHMARK(BM_MemoryPerValue)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

// The password-key derivation that every encrypted save and load runs once.
void BM_KeyDerivation(benchmark::State& State) {
  const ByteArray salt(64, 0x5A);
  for (auto _ : State) benchmark::DoNotOptimize(Derive(kPassword, salt, KLStorageKeyIterations, 48));
}

BENCHMARK(BM_Put)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Get)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetSubKeysRoot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetSubKeysOfEachGroup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetSubKeysRecursive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveRecursive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveOneRecord)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Save, plain, String())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Save, encrypted, kPassword)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, plain, String())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, encrypted, kPassword)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeyDerivation)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
