#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/OrderedIdSet.h"

// Allocation failure on demand for this test program: the n-th allocation from now throws std::bad_alloc. Kept out
// of line, where the compiler cannot pair the malloc and free inside them with new and delete.
namespace {
thread_local long gAllocationsBeforeFailure = -1;
} // namespace

[[gnu::noinline]] void* operator new(std::size_t Size) {
  if (gAllocationsBeforeFailure == 0) {
    gAllocationsBeforeFailure = -1;
    throw std::bad_alloc();
  }
  if (gAllocationsBeforeFailure > 0) --gAllocationsBeforeFailure;
  if (void* block = std::malloc(Size == 0 ? 1 : Size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* Block) noexcept { std::free(Block); }
[[gnu::noinline]] void operator delete(void* Block, std::size_t) noexcept { std::free(Block); }

namespace kl {
namespace {

// Ids ordered by short keys with many ties, the ties broken by id, as the storage orders them. kProbe stands for a
// key that no id has, ordered before the ids of an equal key, so that the model finds lower bounds by key alone.
constexpr std::uint32_t kProbe = 0xFFFFFFFF;
struct TKeys {
  std::vector<std::string> OfId;
  std::string Probe;
  const std::string& Of(std::uint32_t Id) const { return Id == kProbe ? Probe : OfId[Id]; }
};
struct TByKey {
  const TKeys* Keys;
  bool operator()(std::uint32_t A, std::uint32_t B) const {
    const int order = Keys->Of(A).compare(Keys->Of(B));
    if (order != 0) return order < 0;
    return A != B && (A == kProbe || (B != kProbe && A < B));
  }
};
using TModel = std::set<std::uint32_t, TByKey>;

std::string RandomKey(std::mt19937& Random, char Letters) {
  std::string key(Random() % 4, 'a');
  for (auto& c : key) c = static_cast<char>('a' + Random() % static_cast<unsigned>(Letters));
  return key;
}

TKeys RandomKeys(std::size_t Count, std::mt19937& Random) {
  TKeys keys;
  keys.OfId.resize(Count);
  for (auto& key : keys.OfId) key = RandomKey(Random, 3);
  return keys;
}

template <class TSet>
void ExpectSameAs(const TSet& Set, const TModel& Model) {
  ASSERT_EQ(Set.Validate(), nullptr);
  ASSERT_EQ(Set.Size(), Model.size());
  ASSERT_EQ(Set.Empty(), Model.empty());
  ASSERT_TRUE(std::equal(Set.begin(), Set.end(), Model.begin(), Model.end()));
}

// One random step: insert an absent id, erase a present one, or erase an absent one (false); then a lower bound by
// that id, and one by a random key that may belong to no id (the first id of that key or after).
template <class TSet>
void RandomStep(TSet& Set, TModel& Model, TKeys& Keys, double InsertShare, std::mt19937& Random) {
  const std::uint32_t id = static_cast<std::uint32_t>(Random() % Keys.OfId.size());
  const bool present = Model.count(id) != 0;
  const bool grow = std::uniform_real_distribution<>(0, 1)(Random) < InsertShare;
  if (!present && grow) {
    Set.Insert(id);
    Model.insert(id);
  } else if (!present) {
    ASSERT_FALSE(Set.Erase(id));
  } else if (!grow) {
    ASSERT_TRUE(Set.Erase(id));
    Model.erase(id);
  }
  const TByKey less = Model.key_comp();
  Keys.Probe = RandomKey(Random, 4);
  const struct {
    std::uint32_t ModelProbe;
    std::function<bool(std::uint32_t)> Before;
  } probes[] = {{id, [&](std::uint32_t Other) { return less(Other, id); }},
                {kProbe, [&](std::uint32_t Other) { return Keys.OfId[Other] < Keys.Probe; }}};
  for (const auto& probe : probes) {
    const auto found = Set.LowerBound(probe.Before);
    const auto expected = Model.lower_bound(probe.ModelProbe);
    ASSERT_EQ(found == Set.end(), expected == Model.end());
    if (expected != Model.end()) {
      ASSERT_EQ(*found, *expected);
    }
  }
}

struct TRandomCase {
  std::size_t Universe;  // ids 0 .. Universe - 1
  std::size_t MinHeight; // inner levels the tree must reach when grown
};

// Grows to about 90 % of the universe, edits at balance, shrinks to empty, then is reused.
template <std::size_t Capacity>
void MatchesModelUnderRandomEdits(const TRandomCase& Case) {
  SCOPED_TRACE(testing::Message() << "capacity " << Capacity << ", universe " << Case.Universe);
  std::mt19937 random(static_cast<unsigned>(Capacity * 7919 + Case.Universe));
  TKeys keys = RandomKeys(Case.Universe, random);
  TModel model(TByKey{&keys});
  TOrderedIdSet<TByKey, Capacity> set(TByKey{&keys});
  std::size_t height = 0;
  const struct {
    double InsertShare;
    std::size_t Steps;
  } phases[] = {{0.95, Case.Universe * 3}, {0.5, Case.Universe * 2}, {0.05, Case.Universe * 4}, {0.7, Case.Universe}};
  for (const auto& phase : phases) {
    for (std::size_t step = 0; step < phase.Steps; ++step) {
      ASSERT_NO_FATAL_FAILURE(RandomStep(set, model, keys, phase.InsertShare, random));
      height = std::max(height, set.Height());
      if (step % (Case.Universe / 4) == 0) {
        ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
      }
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
    if (&phase == &phases[2]) {
      for (std::uint32_t id = 0; id < Case.Universe; ++id) ASSERT_EQ(set.Erase(id), model.erase(id) == 1);
      ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
      EXPECT_EQ(set.MemoryBytes(), 0u);
      EXPECT_TRUE(set.begin() == set.end());
    }
  }
  EXPECT_GE(height, Case.MinHeight);
  TOrderedIdSet<TByKey, Capacity> moved(std::move(set));
  ASSERT_NO_FATAL_FAILURE(ExpectSameAs(moved, model));
  ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, TModel(TByKey{&keys})));
}

TEST(OrderedIdSet, MatchesStdSetUnderRandomInsertsErasesAndLowerBounds) {
  MatchesModelUnderRandomEdits<4>({600, 4});
  MatchesModelUnderRandomEdits<5>({400, 3});
  MatchesModelUnderRandomEdits<16>({5000, 3});
  MatchesModelUnderRandomEdits<62>({40000, 2});
}

// Assign from sorted ids at sizes around node boundaries, then random edits on the tree it built.
template <std::size_t Capacity>
void AssignThenEdits(std::size_t Count) {
  SCOPED_TRACE(testing::Message() << "capacity " << Capacity << ", count " << Count);
  std::mt19937 random(static_cast<unsigned>(Count));
  TKeys keys = RandomKeys(Count * 2 + 1, random);
  TModel model(TByKey{&keys});
  while (model.size() < Count) model.insert(static_cast<std::uint32_t>(random() % keys.OfId.size()));
  const std::vector<std::uint32_t> sorted(model.begin(), model.end());
  TOrderedIdSet<TByKey, Capacity> set(TByKey{&keys});
  set.Insert(static_cast<std::uint32_t>(keys.OfId.size() - 1)); // replaced by Assign
  set.Assign(sorted.data(), sorted.size());
  ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
  for (std::size_t step = 0; step < Count * 2 + 8; ++step) {
    ASSERT_NO_FATAL_FAILURE(RandomStep(set, model, keys, 0.5, random));
  }
  ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
}

TEST(OrderedIdSet, AssignBuildsAValidTreeThatLaterEditsKeepValid) {
  for (std::size_t count : {0, 1, 2, 4, 5, 9, 17, 64, 1000}) AssignThenEdits<4>(count);
  for (std::size_t count : {0, 1, 31, 62, 63, 124, 125, 3844, 3845, 20000}) AssignThenEdits<62>(count);
}

// Every allocation that an insert (splits up to a new root) or an Assign makes fails in turn: the set is left as it
// was, then the operation succeeds.
TEST(OrderedIdSet, FailedAllocationLeavesTheSetAsItWas) {
  std::mt19937 random(19);
  TKeys keys = RandomKeys(400, random);
  std::vector<std::uint32_t> order(keys.OfId.size());
  for (std::uint32_t id = 0; id < order.size(); ++id) order[id] = id;
  std::shuffle(order.begin(), order.end(), random);
  TModel model(TByKey{&keys});
  TOrderedIdSet<TByKey, 4> set(TByKey{&keys});
  const std::size_t assignAt = 300;        // Assign then takes all the ids
  long mostForAnInsert = 0, forAssign = 0; // allocations that succeeded
  for (std::size_t k = 0; k <= assignAt; ++k) {
    TModel next = model;
    next.insert(order.begin() + static_cast<std::ptrdiff_t>(k),
                order.begin() + static_cast<std::ptrdiff_t>(k == assignAt ? order.size() : k + 1));
    const std::vector<std::uint32_t> sorted(next.begin(), next.end());
    for (long allowed = 0;; ++allowed) {
      const std::size_t bytes = set.MemoryBytes();
      gAllocationsBeforeFailure = allowed;
      try {
        if (k == assignAt) {
          set.Assign(sorted.data(), sorted.size());
        } else {
          set.Insert(order[k]);
        }
        gAllocationsBeforeFailure = -1;
        if (k == assignAt) {
          forAssign = allowed;
        } else {
          mostForAnInsert = std::max(mostForAnInsert, allowed);
        }
        break;
      } catch (const std::bad_alloc&) {
        ASSERT_EQ(set.MemoryBytes(), bytes);
        ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
      }
    }
    model = next;
    ASSERT_NO_FATAL_FAILURE(ExpectSameAs(set, model));
  }
  EXPECT_GT(set.Height(), 3u);
  EXPECT_GE(mostForAnInsert, 3); // a leaf and two inner nodes, up to a new root
  EXPECT_GE(forAssign, 100);
}

} // namespace
} // namespace kl
