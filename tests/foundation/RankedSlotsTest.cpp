#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "foundation/RankedSlots.h"

namespace kl {
namespace {

// Random appends, removals and compactions against a plain vector of the live
// slots, checking every position both ways after each step.
TEST(RankedSlots, AgreesWithAVectorOfLiveSlots) {
  std::mt19937 random(19);
  for (int run = 0; run < 20; ++run) {
    TRankedSlots slots;
    std::vector<std::uint32_t> live; // live slots in order
    const int steps = run < 10 ? 200 : 3000;
    for (int step = 0; step < steps; ++step) {
      const auto action = static_cast<unsigned>(random() % 10);
      if (action < 5 || live.empty()) {
        live.push_back(slots.Append());
      } else if (action < 9) {
        const std::size_t at = random() % live.size();
        slots.Kill(live[at]);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
      }
      if (slots.WantsCompaction() || action == 9) {
        for (std::size_t i = 0; i < live.size(); ++i) live[i] = static_cast<std::uint32_t>(i);
        slots.Compacted();
      }
      ASSERT_EQ(slots.GetLiveCount(), live.size());
      ASSERT_FALSE(slots.WantsCompaction() && slots.GetDeadCount() < slots.GetLiveCount());
      for (std::size_t i = 0; i < live.size(); i += 1 + live.size() / 40) {
        ASSERT_EQ(slots.SlotAt(static_cast<std::uint32_t>(i)), live[i]);
        ASSERT_EQ(slots.PositionOf(live[i]), i);
        ASSERT_TRUE(slots.IsLive(live[i]));
      }
      if (!live.empty()) {
        ASSERT_EQ(slots.NextLive(0), live.front());
      }
    }
    slots.Clear();
    ASSERT_EQ(slots.GetLiveCount() + slots.GetDeadCount(), 0U);
    ASSERT_EQ(slots.Append(), 0U);
  }
}

} // namespace
} // namespace kl
