#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kl {

// Positions in a sequence whose items are removed without closing the gap.
// Each item keeps the slot it was appended at; a removal marks its slot dead in
// a Fenwick tree of dead counts, so the position of a slot and the slot at a
// position take logarithmic time (constant time while no slot is dead, when
// the tree is not even built). The owner moves its live items down and calls
// Compacted once WantsCompaction says dead slots outnumber live ones, which
// keeps memory within twice the items and removals amortised logarithmic.
class TRankedSlots {
public:
  std::uint32_t GetSlotCount() const noexcept { return FSlots; }
  std::uint32_t GetLiveCount() const noexcept { return FSlots - FDead; }
  std::uint32_t GetDeadCount() const noexcept { return FDead; }

  // Makes room for Count slots in all, so that appending up to there cannot fail.
  void Reserve(std::size_t Count) {
    if (!FTree.empty()) {
      FTree.reserve(Count + 1);
      FDeadBits.reserve((Count + 63) / 64);
    }
  }

  // A new live slot after the last one.
  std::uint32_t Append() {
    const std::uint32_t slot = FSlots;
    if (!FTree.empty()) {
      // The new node covers the slots (i - lowbit(i), i], all before it but itself.
      const std::uint32_t index = slot + 1;
      const std::uint32_t low = index & (0 - index);
      if ((slot & 63) == 0) FDeadBits.reserve(FDeadBits.size() + 1);
      FTree.push_back(DeadBefore(slot) - DeadBefore(index - low));
      if ((slot & 63) == 0) FDeadBits.push_back(0);
    }
    ++FSlots;
    return slot;
  }

  bool IsLive(std::uint32_t Slot) const noexcept {
    return Slot < FSlots && (FDeadBits.empty() || (FDeadBits[Slot / 64] >> (Slot % 64) & 1) == 0);
  }

  // Marks a live slot dead. Only the first removal can fail (building the
  // tree), and then nothing has changed.
  void Kill(std::uint32_t Slot) {
    if (FTree.empty()) {
      std::vector<std::uint32_t> tree(static_cast<std::size_t>(FSlots) + 1, 0);
      std::vector<std::uint64_t> bits((static_cast<std::size_t>(FSlots) + 63) / 64, 0);
      FTree.swap(tree);
      FDeadBits.swap(bits);
    }
    FDeadBits[Slot / 64] |= std::uint64_t{1} << (Slot % 64);
    for (std::uint32_t i = Slot + 1; i <= FSlots; i += i & (0 - i)) ++FTree[i];
    ++FDead;
  }

  // The number of live slots before Slot.
  std::uint32_t PositionOf(std::uint32_t Slot) const noexcept { return Slot - DeadBefore(Slot); }

  // The live slot at Position, which must be below GetLiveCount().
  std::uint32_t SlotAt(std::uint32_t Position) const noexcept {
    if (FDead == 0) return Position;
    // The longest run of slots holding at most Position live ones ends just
    // before the slot sought.
    std::uint32_t index = 0;
    std::uint32_t live = 0;
    std::uint32_t step = 1;
    while (step <= FSlots / 2) step <<= 1;
    for (; step != 0; step >>= 1) {
      const std::uint32_t next = index + step;
      if (next <= FSlots && live + (step - FTree[next]) <= Position) {
        index = next;
        live += step - FTree[next];
      }
    }
    return index;
  }

  // The next live slot from Slot on, or GetSlotCount() when none is left.
  std::uint32_t NextLive(std::uint32_t Slot) const noexcept {
    while (Slot < FSlots && !IsLive(Slot)) ++Slot;
    return Slot;
  }

  bool WantsCompaction() const noexcept { return FDead != 0 && FDead >= FSlots - FDead; }

  // The owner has moved its live items to slots 0 to GetLiveCount() - 1, in order.
  void Compacted() noexcept {
    FSlots -= FDead;
    FDead = 0;
    std::vector<std::uint32_t>().swap(FTree);
    std::vector<std::uint64_t>().swap(FDeadBits);
  }

  void Clear() noexcept {
    FSlots = FDead;
    Compacted();
  }

private:
  // Dead slots among the first Count.
  std::uint32_t DeadBefore(std::uint32_t Count) const noexcept {
    if (FTree.empty()) return 0;
    std::uint32_t dead = 0;
    for (std::uint32_t i = Count; i != 0; i -= i & (0 - i)) dead += FTree[i];
    return dead;
  }

  std::uint32_t FSlots = 0;
  std::uint32_t FDead = 0;
  std::vector<std::uint32_t> FTree;     // 1-based; empty while no slot is dead
  std::vector<std::uint64_t> FDeadBits; // a set bit per dead slot; empty likewise
};

} // namespace kl
