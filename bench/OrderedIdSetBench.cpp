// The ordered id index against std::set<std::uint32_t> with the same comparator: 10^6 ids standing for storage keys
// ("group 17/123456/title"), ordered by key and then id. Run with --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true for medians. "per_id" is the time per id handled; "bytes_per_id" the node
// bytes per id (requested from the allocator, without its own overhead) once every id is in.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/OrderedIdSet.h"

namespace {

using namespace kl;

constexpr std::uint32_t kIds = 1000000;

const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> out(kIds);
    for (std::uint32_t id = 0; id < kIds; ++id) {
      out[id] = "group " + std::to_string(id % 100) + "/" + std::to_string(id) + "/title";
    }
    return out;
  }();
  return keys;
}

// Ids in a random order, and the same ids sorted by key.
const std::vector<std::uint32_t>& Shuffled() {
  static const std::vector<std::uint32_t> ids = [] {
    std::vector<std::uint32_t> out(kIds);
    for (std::uint32_t id = 0; id < kIds; ++id) out[id] = id;
    std::shuffle(out.begin(), out.end(), std::mt19937(42));
    return out;
  }();
  return ids;
}

// Ordered by key, ties by id; transparent so that std::set can also search by a key that has no id.
struct TByKey {
  using is_transparent = void;
  const std::vector<std::string>* Keys = &::Keys();
  bool operator()(std::uint32_t A, std::uint32_t B) const {
    const int order = (*Keys)[A].compare((*Keys)[B]);
    return order != 0 ? order < 0 : A < B;
  }
  bool operator()(std::uint32_t A, std::string_view B) const { return (*Keys)[A] < B; }
  bool operator()(std::string_view A, std::uint32_t B) const { return A <= (*Keys)[B]; }
};

const std::vector<std::uint32_t>& Sorted() {
  static const std::vector<std::uint32_t> ids = [] {
    std::vector<std::uint32_t> out = Shuffled();
    std::sort(out.begin(), out.end(), TByKey());
    return out;
  }();
  return ids;
}

// Counts the bytes std::set's nodes take.
std::size_t gSetBytes = 0;
template <class T>
struct TCountingAllocator {
  using value_type = T;
  TCountingAllocator() = default;
  template <class U>
  TCountingAllocator(const TCountingAllocator<U>&) noexcept {}
  T* allocate(std::size_t N) {
    gSetBytes += N * sizeof(T);
    return std::allocator<T>().allocate(N);
  }
  void deallocate(T* P, std::size_t N) noexcept {
    gSetBytes -= N * sizeof(T);
    std::allocator<T>().deallocate(P, N);
  }
  template <class U>
  bool operator==(const TCountingAllocator<U>&) const noexcept {
    return true;
  }
};

using TTree = TOrderedIdSet<TByKey>;
using TStdSet = std::set<std::uint32_t, TByKey, TCountingAllocator<std::uint32_t>>;

void PerId(benchmark::State& State) {
  State.counters["per_id"] =
      benchmark::Counter(kIds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Insert_Tree(benchmark::State& State) {
  for (auto _ : State) {
    TTree tree;
    for (std::uint32_t id : Shuffled()) tree.Insert(id);
    State.counters["bytes_per_id"] = static_cast<double>(tree.MemoryBytes()) / kIds;
    State.PauseTiming();
    tree.Clear();
    State.ResumeTiming();
  }
  PerId(State);
}

void BM_Insert_StdSet(benchmark::State& State) {
  for (auto _ : State) {
    TStdSet set;
    for (std::uint32_t id : Shuffled()) set.insert(id);
    State.counters["bytes_per_id"] = static_cast<double>(gSetBytes) / kIds;
    State.PauseTiming();
    set.clear();
    State.ResumeTiming();
  }
  PerId(State);
}

void BM_Assign_Tree(benchmark::State& State) {
  for (auto _ : State) {
    TTree tree;
    tree.Assign(Sorted().data(), Sorted().size());
    State.counters["bytes_per_id"] = static_cast<double>(tree.MemoryBytes()) / kIds;
    State.PauseTiming();
    tree.Clear();
    State.ResumeTiming();
  }
  PerId(State);
}

// std::set's nearest equivalent: sorted ids appended with an end hint.
void BM_Assign_StdSet(benchmark::State& State) {
  for (auto _ : State) {
    TStdSet set;
    for (std::uint32_t id : Sorted()) set.insert(set.end(), id);
    State.PauseTiming();
    set.clear();
    State.ResumeTiming();
  }
  PerId(State);
}

void BM_Erase_Tree(benchmark::State& State) {
  for (auto _ : State) {
    State.PauseTiming();
    TTree tree;
    for (std::uint32_t id : Shuffled()) tree.Insert(id);
    State.ResumeTiming();
    for (auto id = Shuffled().rbegin(); id != Shuffled().rend(); ++id) benchmark::DoNotOptimize(tree.Erase(*id));
  }
  PerId(State);
}

void BM_Erase_StdSet(benchmark::State& State) {
  for (auto _ : State) {
    State.PauseTiming();
    TStdSet set;
    for (std::uint32_t id : Shuffled()) set.insert(id);
    State.ResumeTiming();
    for (auto id = Shuffled().rbegin(); id != Shuffled().rend(); ++id) benchmark::DoNotOptimize(set.erase(*id));
  }
  PerId(State);
}

// Lower bounds by key (a prefix that no id has), in random order, over the full set built by random inserts.
std::vector<std::string> Probes() {
  std::vector<std::string> probes;
  probes.reserve(kIds);
  for (std::uint32_t id : Shuffled()) probes.push_back(Keys()[id].substr(0, Keys()[id].size() - 2));
  return probes;
}

void BM_LowerBound_Tree(benchmark::State& State) {
  TTree tree;
  for (std::uint32_t id : Shuffled()) tree.Insert(id);
  const std::vector<std::string> probes = Probes();
  for (auto _ : State) {
    for (const std::string& probe : probes) {
      benchmark::DoNotOptimize(*tree.LowerBound([&](std::uint32_t Id) { return Keys()[Id] < probe; }));
    }
  }
  PerId(State);
}

void BM_LowerBound_StdSet(benchmark::State& State) {
  TStdSet set;
  for (std::uint32_t id : Shuffled()) set.insert(id);
  const std::vector<std::string> probes = Probes();
  for (auto _ : State) {
    for (const std::string& probe : probes) benchmark::DoNotOptimize(*set.lower_bound(std::string_view(probe)));
  }
  PerId(State);
}

} // namespace

BENCHMARK(BM_Insert_Tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert_StdSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assign_Tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assign_StdSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Erase_Tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Erase_StdSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerBound_Tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerBound_StdSet)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
