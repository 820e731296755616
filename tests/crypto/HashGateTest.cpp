// The process-wide bound on Argon2id computations: checked by counting slots,
// never by timing, with timeouts long enough for any machine where a caller is
// meant to wait and zero where it is meant to be refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "crypto/KLHashGate.h"
#include "crypto/KLPasswordHash.h"

namespace kl {
namespace {

// Where a caller is meant to wait, long enough for any machine; elsewhere no
// wait at all, so that a gate that never frees a slot fails a test at once.
constexpr std::chrono::milliseconds kLongWait{120000};

TKLPasswordHashParameters Cheap() {
  TKLPasswordHashParameters parameters;
  parameters.MemoryKiB = 8;
  parameters.Passes = 1;
  return parameters;
}

class HashGateTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetHashConcurrency(2);
    SetHashWaitTimeout(std::chrono::milliseconds{0});
  }
  void TearDown() override {
    SetHashConcurrency(0);
    SetHashWaitTimeout(KLDefaultHashWaitTimeout);
  }

  // Spins until a caller waits for a slot, or Done says there is no point;
  // the wait is generous, and nothing is asserted about how long it took.
  static void AwaitWaiter(const std::atomic<bool>& Done) {
    for (int i = 0; i < 120000 && GetHashGateStatistics().Waiting == 0 && !Done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST_F(HashGateTest, ZeroStandsForTheNumberOfCores) {
  SetHashConcurrency(0);
  const unsigned cores = std::thread::hardware_concurrency();
  EXPECT_EQ(GetHashConcurrency(), cores == 0 ? 1u : cores);
  SetHashConcurrency(3);
  EXPECT_EQ(GetHashConcurrency(), 3u);
}

TEST_F(HashGateTest, PeakKeepsTheMostAtOnce) {
  ResetHashGatePeak();
  {
    const TKLHashSlot first;
    const TKLHashSlot second;
  }
  const TKLHashSlot alone;
  EXPECT_EQ(GetHashGateStatistics().Peak, 2u);
  EXPECT_EQ(GetHashGateStatistics().Running, 1u);
}

// With every slot held, a caller with no time to wait is refused, by a hash
// or a verification as by a bare slot; a freed slot admits the next one.
TEST_F(HashGateTest, CallerBeyondTheBoundIsRefusedWhenItCannotWait) {
  const String hash = HashPassword(u"pw", Cheap());
  auto first = std::make_unique<TKLHashSlot>();
  const TKLHashSlot second;
  const std::uint64_t refused = GetHashGateStatistics().Refusals;
  EXPECT_THROW(TKLHashSlot(), EKLHashBusyError);
  EXPECT_THROW(HashPassword(u"pw", Cheap()), EKLHashBusyError);
  EXPECT_THROW(VerifyPassword(hash, u"pw", Cheap()), EKLHashBusyError);
  EXPECT_EQ(GetHashGateStatistics().Refusals, refused + 3);
  EXPECT_EQ(GetHashGateStatistics().Running, 2u);
  first.reset();
  EXPECT_TRUE(VerifyPassword(hash, u"pw", Cheap()));
}

// A waiter that gave up must not hold back those behind it; one still
// waiting gets the first slot freed.
TEST_F(HashGateTest, WaitersAreServedAndAbandonedTurnsSkipped) {
  auto held = std::make_unique<std::vector<std::unique_ptr<TKLHashSlot>>>();
  held->push_back(std::make_unique<TKLHashSlot>());
  held->push_back(std::make_unique<TKLHashSlot>());
  std::atomic<bool> served{false};
  std::atomic<bool> refused{false};
  SetHashWaitTimeout(kLongWait);
  std::thread patient([&] {
    try {
      const TKLHashSlot slot;
      served = true;
    } catch (const EKLHashBusyError&) {
      refused = true;
    }
  });
  AwaitWaiter(served);
  SetHashWaitTimeout(std::chrono::milliseconds{0});
  if (served) {
    patient.join();
    FAIL() << "admitted beyond the bound";
  }
  EXPECT_THROW(TKLHashSlot(), EKLHashBusyError);
  held->pop_back();
  patient.join();
  EXPECT_TRUE(served);
  EXPECT_FALSE(refused) << "the freed slot went to nobody";
  const TKLHashSlot next; // the refused caller's turn is skipped, not waited for
  EXPECT_EQ(GetHashGateStatistics().Running, 2u);
}

// Many threads at once: never more than the bound running, every computation
// done, none refused while the wait is long.
TEST_F(HashGateTest, ConcurrentHashesStayWithinTheBoundAndNoneIsLost) {
  constexpr int kThreads = 8;
  constexpr int kEach = 4;
  TKLPasswordHashParameters cost = Cheap();
  cost.MemoryKiB = 1024;
  ResetHashGatePeak();
  const TKLHashGateStatistics before = GetHashGateStatistics();
  SetHashWaitTimeout(kLongWait);
  std::atomic<int> verified{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      try {
        for (int i = 0; i < kEach; ++i) {
          if (VerifyPassword(HashPassword(u"pw", cost), u"pw", cost)) ++verified;
        }
      } catch (const EKLHashBusyError&) {
        ++refused;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const TKLHashGateStatistics after = GetHashGateStatistics();
  EXPECT_EQ(verified, kThreads * kEach);
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(after.Computations - before.Computations, 2u * kThreads * kEach);
  EXPECT_EQ(after.Refusals, before.Refusals);
  EXPECT_LE(after.Peak, 2u);
  EXPECT_EQ(after.Running, 0u);
}

} // namespace
} // namespace kl
