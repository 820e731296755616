#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "random/KLRandom.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

constexpr std::uint32_t F = 0xFFFFFFFFu;

// Seed digest 20 21 ... 3F, and the AES-256 encryptions under it of the
// counter images 0, 1 and 2, computed with an independent AES implementation.
std::array<std::uint8_t, 32> KnownSeed() {
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(0x20 + i);
  return seed;
}
const char* const kKnownBlocks[] = {"F34744EBCD337F209C19E3AC13D82DEC", "0E75FD70F4D114AED8613280BE6C2B49",
                                    "69D5E80ACB0FA8E457F07E154016AFCD"};

std::unique_ptr<TKLFastRandomGenerator> KnownGenerator() {
  return TKLFastRandomGenerator::CreateFromSeedDigestForTesting(KnownSeed().data());
}

ByteArray Draw(TKLBaseRandomGenerator& Generator, std::int32_t Size) {
  ByteArray out(static_cast<std::size_t>(std::max(Size, 0)));
  Generator.Generate(out.data(), Size);
  return out;
}

bool SameCounter(const TInt128& X, const TInt128& Y) { return X.a == Y.a && X.b == Y.b && X.c == Y.c && X.d == Y.d; }

// ---- Fast generator ----

TEST(FastRandomGenerator, FirstBlocksAreTheEncryptionsOfTheCounterValues) {
  auto generator = KnownGenerator();
  const ByteArray out = Draw(*generator, 48);
  EXPECT_EQ(test::ToHex(out), std::string(kKnownBlocks[0]) + kKnownBlocks[1] + kKnownBlocks[2]);
}

TEST(FastRandomGenerator, ShortRequestsEachStartAFreshBlock) {
  auto generator = KnownGenerator();
  const ByteArray first = Draw(*generator, 8);
  const ByteArray second = Draw(*generator, 8);
  const ByteArray third = Draw(*generator, 3);
  EXPECT_EQ(test::ToHex(first), std::string(kKnownBlocks[0]).substr(0, 16));
  EXPECT_EQ(test::ToHex(second), std::string(kKnownBlocks[1]).substr(0, 16));
  EXPECT_EQ(test::ToHex(third), std::string(kKnownBlocks[2]).substr(0, 6));
}

TEST(FastRandomGenerator, CounterAdvancesByTheBlocksEachRequestProduces) {
  const struct {
    std::int32_t Size;
    std::uint32_t Blocks;
  } cases[] = {{0, 0}, {-5, 0}, {-16, 0}, {1, 1}, {15, 1}, {16, 1}, {17, 2}, {32, 2}, {33, 3}, {1000, 63}};
  for (const auto& c : cases) {
    auto generator = KnownGenerator();
    Draw(*generator, c.Size);
    EXPECT_EQ(generator->GetCounter().a, c.Blocks) << "Size " << c.Size;
  }
}

TEST(FastRandomGenerator, EmptyAndNegativeRequestsWriteNothing) {
  auto generator = KnownGenerator();
  for (const std::int32_t size : {0, -1, -5, -17}) {
    std::uint8_t buffer[32];
    std::memset(buffer, 0xA5, sizeof(buffer));
    generator->Generate(buffer, size);
    EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](std::uint8_t b) { return b == 0xA5; }));
  }
  EXPECT_EQ(test::ToHex(Draw(*generator, 16)), kKnownBlocks[0]);
}

TEST(FastRandomGenerator, WritesExactlyTheRequestedBytes) {
  auto generator = KnownGenerator();
  std::uint8_t buffer[40];
  std::memset(buffer, 0xA5, sizeof(buffer));
  generator->Generate(buffer + 4, 21);
  EXPECT_EQ(test::ToHex(buffer + 4, 21), std::string(kKnownBlocks[0]) + std::string(kKnownBlocks[1]).substr(0, 10));
  for (const std::size_t i : {0u, 1u, 2u, 3u, 25u, 26u, 39u}) EXPECT_EQ(buffer[i], 0xA5) << i;
}

TEST(FastRandomGenerator, CounterStepsThroughItsWordsAndWraps) {
  const struct {
    TInt128 From, To;
  } cases[] = {
      {{0, 0, 0, 0}, {1, 0, 0, 0}},
      {{0xFFFFFFFE, 0, 0, 0}, {F, 0, 0, 0}},
      {{F, 0, 0, 0}, {F, 1, 0, 0}},
      {{F, 1, 0, 0}, {F, 2, 0, 0}},
      {{F, F, 0, 0}, {F, F, 1, 0}},
      {{F, F, F, 0}, {F, F, F, 1}},
      {{F, F, F, 0xFFFFFFFE}, {F, F, F, F}},
      {{F, F, F, F}, {0, 0, 0, 0}},
      // A lower word below the maximum grows even when higher words are set.
      {{7, F, 3, F}, {8, F, 3, F}},
      {{F, 5, F, 9}, {F, 6, F, 9}},
  };
  for (const auto& c : cases) {
    TInt128 counter = c.From;
    TKLFastRandomGenerator::AdvanceCounter(counter);
    EXPECT_TRUE(SameCounter(counter, c.To))
        << std::hex << c.From.a << ' ' << c.From.b << ' ' << c.From.c << ' ' << c.From.d;
  }
}

TEST(FastRandomGenerator, SameSeedGivesSameOutputAndFreshSeedsDiffer) {
  auto x = KnownGenerator();
  auto y = KnownGenerator();
  EXPECT_EQ(Draw(*x, 100), Draw(*y, 100));

  TKLFastRandomGenerator a, b;
  const ByteArray outA = Draw(a, 64);
  const ByteArray outB = Draw(b, 64);
  EXPECT_NE(outA, outB);
  EXPECT_NE(test::ToHex(outA).substr(0, 32), kKnownBlocks[0]);
}

// Many threads share one generator. Each call's blocks must come from
// consecutive counter values, and no value may be used twice: every output
// block is located in the generator's single-threaded reference sequence.
TEST(FastRandomGenerator, ConcurrentCallsNeverReuseACounterValue) {
  constexpr int kThreads = 6;
  constexpr int kCallsPerThread = 400;
  auto shared = KnownGenerator();
  std::vector<std::vector<ByteArray>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCallsPerThread; ++i) results[t].push_back(Draw(*shared, 16 * (1 + (i + t) % 5)));
    });
  }
  for (auto& thread : threads) thread.join();

  const std::uint32_t total = shared->GetCounter().a;
  auto reference = KnownGenerator();
  const ByteArray sequence = Draw(*reference, static_cast<std::int32_t>(16 * total));
  std::map<ByteArray, std::uint32_t> indexOf;
  for (std::uint32_t i = 0; i < total; ++i) indexOf[ByteArray(&sequence[16 * i], &sequence[16 * i] + 16)] = i;
  ASSERT_EQ(indexOf.size(), total);

  std::set<std::uint32_t> used;
  for (const auto& perThread : results) {
    for (const ByteArray& call : perThread) {
      std::uint32_t first = 0;
      for (std::size_t block = 0; block < call.size() / 16; ++block) {
        const auto found = indexOf.find(ByteArray(&call[16 * block], &call[16 * block] + 16));
        ASSERT_NE(found, indexOf.end());
        if (block == 0) first = found->second;
        EXPECT_EQ(found->second, first + block);
        EXPECT_TRUE(used.insert(found->second).second) << "counter value used twice: " << found->second;
      }
    }
  }
  EXPECT_EQ(used.size(), total);
}

// ---- Random-based component ----

// A generator that records its destruction and fills buffers with one value.
class TMarkerGenerator : public TKLBaseRandomGenerator {
public:
  TMarkerGenerator(bool* Destroyed, TComponent* AOwner = nullptr)
      : TKLBaseRandomGenerator(AOwner), FDestroyed(Destroyed) {}
  ~TMarkerGenerator() override {
    if (FDestroyed != nullptr) *FDestroyed = true;
  }
  void Generate(void* P, std::int32_t Size) override {
    if (Size > 0) std::memset(P, 0x5A, static_cast<std::size_t>(Size));
  }

private:
  bool* FDestroyed;
};

// Records the generators that SetRandomGenerator receives, to show that the
// fallback on a freed generator goes through the virtual setter.
class TRecordingComponent : public TKLRandomBasedComponent {
public:
  using TKLRandomBasedComponent::TKLRandomBasedComponent;
  void SetRandomGenerator(TKLBaseRandomGenerator* Value) override {
    Received.push_back(Value);
    TKLRandomBasedComponent::SetRandomGenerator(Value);
  }
  std::vector<TKLBaseRandomGenerator*> Received;
};

TEST(RandomBasedComponent, EachComponentHasItsOwnSeparatelySeededGenerator) {
  TKLRandomBasedComponent first, second;
  ASSERT_NE(first.GetRandomGenerator(), nullptr);
  EXPECT_NE(first.GetRandomGenerator(), second.GetRandomGenerator());
  EXPECT_NE(dynamic_cast<TKLFastRandomGenerator*>(first.GetRandomGenerator()), nullptr);
  EXPECT_NE(Draw(*first.GetRandomGenerator(), 32), Draw(*second.GetRandomGenerator(), 32));
  EXPECT_FALSE(first.GetOwnRandomGenerator());
}

TEST(RandomBasedComponent, PluggedGeneratorIsUsedUntilUnplugged) {
  TKLRandomBasedComponent component;
  TKLBaseRandomGenerator* own = component.GetRandomGenerator();
  bool destroyed = false;
  TMarkerGenerator plugged(&destroyed);
  component.SetRandomGenerator(&plugged);
  EXPECT_EQ(component.GetRandomGenerator(), &plugged);
  EXPECT_EQ(Draw(*component.GetRandomGenerator(), 4), ByteArray(4, 0x5A));
  component.SetRandomGenerator(&plugged); // setting it again changes nothing
  EXPECT_EQ(component.GetRandomGenerator(), &plugged);
  component.SetRandomGenerator(nullptr);
  EXPECT_EQ(component.GetRandomGenerator(), own);
  component.SetRandomGenerator(nullptr); // nothing plugged: nothing happens
  EXPECT_EQ(component.GetRandomGenerator(), own);
  EXPECT_FALSE(destroyed);
}

TEST(RandomBasedComponent, FreedGeneratorIsDroppedThroughTheVirtualSetter) {
  TRecordingComponent component;
  TKLBaseRandomGenerator* own = component.GetRandomGenerator();
  {
    TComponent owner;
    auto* plugged = new TMarkerGenerator(nullptr, &owner);
    component.SetRandomGenerator(plugged);
  } // the owner frees the plugged generator
  EXPECT_EQ(component.GetRandomGenerator(), own);
  ASSERT_EQ(component.Received.size(), 2u);
  EXPECT_EQ(component.Received[1], nullptr);
}

TEST(RandomBasedComponent, UnownedPluggedGeneratorOutlivesTheComponent) {
  bool destroyed = false;
  TMarkerGenerator plugged(&destroyed);
  {
    TKLRandomBasedComponent component;
    component.SetRandomGenerator(&plugged);
  }
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(Draw(plugged, 2), ByteArray(2, 0x5A));
  // The component's free-notification request went with it: destroying the
  // generator now must not reach back into the dead component (ASan checks).
}

TEST(RandomBasedComponent, OwnedPluggedGeneratorDiesWithTheComponent) {
  bool firstDestroyed = false, secondDestroyed = false;
  auto* first = new TMarkerGenerator(&firstDestroyed);
  auto* second = new TMarkerGenerator(&secondDestroyed);
  {
    TKLRandomBasedComponent component;
    component.SetOwnRandomGenerator(true);
    component.SetRandomGenerator(first);
    component.SetRandomGenerator(second); // replacing never destroys the first
    EXPECT_FALSE(firstDestroyed);
  }
  EXPECT_TRUE(secondDestroyed);
  EXPECT_FALSE(firstDestroyed);
  delete first;
}

TEST(RandomBasedComponent, OwnedGeneratorWithAnOwnerOfItsOwnLeavesThatOwnerConsistent) {
  TComponent owner;
  bool destroyed = false;
  auto* plugged = new TMarkerGenerator(&destroyed, &owner);
  {
    TKLRandomBasedComponent component;
    component.SetOwnRandomGenerator(true);
    component.SetRandomGenerator(plugged);
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(owner.GetComponentCount(), 0);
}

TEST(RandomBasedComponent, OwnedComponentDiesWithItsOwnerAlongsideItsGenerator) {
  bool destroyed = false;
  {
    TComponent owner;
    auto* component = new TKLRandomBasedComponent(&owner);
    auto* plugged = new TMarkerGenerator(&destroyed, &owner);
    component->SetRandomGenerator(plugged);
  } // reverse order of insertion: the generator goes first, then the component
  EXPECT_TRUE(destroyed);
}

// The stream runs unchanged to the counter's last value; the block after it
// comes from a new key, where a wrap would have repeated the first block.
TEST(FastRandomGenerator, RekeysAfterTheLastCounterValueInsteadOfWrapping) {
  const TInt128 nearEnd{F, F, F, F - 1};
  auto generator = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(KnownSeed().data(), nearEnd);
  auto reference = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(KnownSeed().data(), nearEnd);
  const ByteArray expected = Draw(*reference, 32); // the two last blocks, before it rekeys
  const ByteArray drawn = Draw(*generator, 48);
  EXPECT_EQ(ByteArray(drawn.begin(), drawn.begin() + 32), expected);
  EXPECT_NE(test::ToHex(drawn.data() + 32, 16), kKnownBlocks[0]);
  EXPECT_TRUE(SameCounter(generator->GetCounter(), TInt128{1, 0, 0, 0}));
}

// Many threads make components, plug one shared generator into them, draw,
// unplug some and destroy the rest with it still plugged in: every step changes
// the shared generator's free-notification links.
TEST(RandomBasedComponent, OneGeneratorSharedByComponentsOnManyThreads) {
  TKLFastRandomGenerator shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 200; ++i) {
        std::vector<std::unique_ptr<TKLRandomBasedComponent>> components;
        for (int j = 0; j < 4; ++j) components.push_back(std::make_unique<TKLRandomBasedComponent>());
        for (int k = 0; k < 50; ++k) {
          for (auto& component : components) component->SetRandomGenerator(&shared);
          components[static_cast<std::size_t>(k + t) % 4]->SetRandomGenerator(nullptr);
        }
        std::uint8_t byte = 0;
        components.front()->GetRandomGenerator()->Generate(&byte, 1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Every link went with its component: destroying the generator now tells no one.
  TKLRandomBasedComponent survivor;
  survivor.SetRandomGenerator(&shared);
  EXPECT_EQ(survivor.GetRandomGenerator(), &shared);
  survivor.SetRandomGenerator(nullptr);
}

} // namespace
} // namespace kl
