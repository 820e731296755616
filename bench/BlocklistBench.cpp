// Compiled blocklists at 10^6 and 10^8 synthetic SHA-1 hashes: the time to
// build and write the file, bytes an entry, and the time of one look-up, beside
// the plain alternative of binary search in the sorted 8-byte keys (which
// takes 3.5 times the memory).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>

#include <ctime>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rules/KLBlocklist.h"

namespace {

void SyntheticDigest(std::uint64_t Index, std::uint8_t (&Digest)[kl::kSHA1DigestSize]) {
  std::uint64_t z = Index * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  for (std::uint8_t& byte : Digest) {
    z = (z ^ (z >> 29)) * 0xBF58476D1CE4E5B9ull;
    byte = static_cast<std::uint8_t>(z >> 56);
  }
}

std::uint64_t KeyOf(const std::uint8_t (&Digest)[kl::kSHA1DigestSize]) {
  std::uint64_t key = 0;
  for (int i = 0; i < 8; ++i) key = key << 8 | Digest[i];
  return key;
}

// One compiled list, built once per size and kept for the look-ups.
struct TList {
  std::uint64_t Count = 0;
  double BuildSeconds = 0;
  double BytesPerEntry = 0;
  std::vector<std::uint64_t> SortedKeys; // the reference
  std::unique_ptr<kl::TKLBlocklistFilter> Filter;
};

const TList& List(std::uint64_t Count) {
  static std::map<std::uint64_t, TList> lists;
  TList& list = lists[Count];
  if (list.Filter) return list;
  const std::string file =
      (std::filesystem::temp_directory_path() / ("kl-bench-" + std::to_string(Count) + ".klbf")).string();
  // Processor time of adding and saving: the build runs on one thread (runs
  // beyond the memory limit are sorted and written out while adding), and the
  // machine is shared.
  std::uint8_t digest[kl::kSHA1DigestSize];
  for (std::uint64_t i = 0; i < Count; ++i) {
    SyntheticDigest(i, digest);
    list.SortedKeys.push_back(KeyOf(digest));
  }
  const std::clock_t start = std::clock();
  {
    kl::TKLBlocklistCompiler compiler;
    for (std::uint64_t i = 0; i < Count; ++i) {
      SyntheticDigest(i, digest);
      compiler.AddSHA1(digest);
    }
    compiler.SaveToFile(kl::String(file.begin(), file.end()));
  }
  list.BuildSeconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  list.Count = Count;
  list.BytesPerEntry = static_cast<double>(std::filesystem::file_size(file)) / static_cast<double>(Count);
  list.Filter = std::make_unique<kl::TKLBlocklistFilter>(kl::String(file.begin(), file.end()));
  std::filesystem::remove(file); // the open file stays readable
  std::sort(list.SortedKeys.begin(), list.SortedKeys.end());
  return list;
}

// Building and writing the file, once (processor time, synthetic hashes included).
void BM_BlocklistBuild(benchmark::State& State) {
  const TList& list = List(static_cast<std::uint64_t>(State.range(0)));
  for (auto _ : State) State.SetIterationTime(list.BuildSeconds);
  State.counters["entries_per_s"] = static_cast<double>(list.Count) / list.BuildSeconds;
  State.counters["bytes_per_entry"] = list.BytesPerEntry;
}
BENCHMARK(BM_BlocklistBuild)->Arg(1000000)->Arg(100000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Probes: half members, half not, in random order, so that every look-up
// misses the caches as a real one does.
std::vector<std::array<std::uint8_t, kl::kSHA1DigestSize>> Probes(std::uint64_t Count) {
  std::vector<std::array<std::uint8_t, kl::kSHA1DigestSize>> probes(1 << 16);
  std::mt19937_64 rng(5);
  std::uint8_t digest[kl::kSHA1DigestSize];
  for (std::size_t i = 0; i < probes.size(); ++i) {
    SyntheticDigest(i % 2 ? rng() % Count : Count + rng() % Count, digest);
    std::copy(std::begin(digest), std::end(digest), probes[i].begin());
  }
  return probes;
}

void BM_BlocklistFilterLookup(benchmark::State& State) {
  const TList& list = List(static_cast<std::uint64_t>(State.range(0)));
  const auto probes = Probes(list.Count);
  std::size_t i = 0, found = 0;
  for (auto _ : State) {
    const auto& probe = probes[i++ & (probes.size() - 1)];
    found += list.Filter->ContainsSHA1(reinterpret_cast<const std::uint8_t(&)[kl::kSHA1DigestSize]>(*probe.data()));
  }
  benchmark::DoNotOptimize(found);
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_BlocklistFilterLookup)->Arg(1000000)->Arg(100000000);

void BM_SortedKeysLookup(benchmark::State& State) {
  const TList& list = List(static_cast<std::uint64_t>(State.range(0)));
  const auto probes = Probes(list.Count);
  std::size_t i = 0, found = 0;
  for (auto _ : State) {
    const auto& probe = probes[i++ & (probes.size() - 1)];
    found += std::binary_search(list.SortedKeys.begin(), list.SortedKeys.end(),
                                KeyOf(reinterpret_cast<const std::uint8_t(&)[kl::kSHA1DigestSize]>(*probe.data())));
  }
  benchmark::DoNotOptimize(found);
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_SortedKeysLookup)->Arg(1000000)->Arg(100000000);

// A password as the rule checks it: trimmed, folded, SHA-1 of both forms.
void BM_BlocklistPasswordCheck(benchmark::State& State) {
  const TList& list = List(static_cast<std::uint64_t>(State.range(0)));
  const kl::String passwords[] = {u"Correct Horse Battery", u"tr0ub4dor&3", u"Summer2024!", u"xK9#mQ2$vL7&wZ5^"};
  std::size_t i = 0, found = 0;
  for (auto _ : State) found += list.Filter->Contains(passwords[i++ & 3]);
  benchmark::DoNotOptimize(found);
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_BlocklistPasswordCheck)->Arg(100000000);

} // namespace

BENCHMARK_MAIN();
