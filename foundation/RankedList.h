#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/PointerList.h"
#include "foundation/RankedSlots.h"

namespace kl {

// An ordered list whose items are taken out without closing the gap. Each item
// stays in the slot it was appended at; positions count the live slots
// (TRankedSlots), so reaching an item by position and taking one out cost
// logarithmic time, and reaching one by position is constant while nothing was
// taken out. Once dead slots outnumber live ones, one linear pass moves the
// live items down, in order: the removals before it pay for it, so a removal
// is amortised logarithmic. An owner that keeps an item's slot learns of each
// move through the callback given to Remove. A position outside 0 to
// GetCount() - 1 raises EListError and changes nothing. Removed items are the
// caller's to wipe; the list keeps only moved-from husks of them.
template <class T>
class TRankedList {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>,
                "removal and compaction move items and must not fail half-way");

  template <bool Const>
  class TIterator {
    using TList = std::conditional_t<Const, const TRankedList, TRankedList>;

  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = std::conditional_t<Const, const T*, T*>;
    using reference = std::conditional_t<Const, const T&, T&>;

    TIterator() noexcept = default;
    TIterator(TList* List, std::uint32_t Slot) noexcept : FList(List), FSlot(Slot) {}
    reference operator*() const noexcept { return FList->FItems[FSlot]; }
    pointer operator->() const noexcept { return &FList->FItems[FSlot]; }
    TIterator& operator++() noexcept {
      FSlot = FList->FSlots.NextLive(FSlot + 1);
      return *this;
    }
    TIterator operator++(int) noexcept {
      TIterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const TIterator& Other) const noexcept { return FSlot == Other.FSlot; }
    bool operator!=(const TIterator& Other) const noexcept { return FSlot != Other.FSlot; }

  private:
    TList* FList = nullptr;
    std::uint32_t FSlot = 0;
  };

public:
  using iterator = TIterator<false>;
  using const_iterator = TIterator<true>;

  TRankedList() = default;
  // Takes Items over, in order, without copying them.
  explicit TRankedList(std::vector<T>&& Items) noexcept : FItems(std::move(Items)) {
    // Without dead slots there is no tree to grow: appending only counts.
    for (std::size_t i = 0; i < FItems.size(); ++i) FSlots.Append();
  }

  std::int32_t GetCount() const noexcept { return static_cast<std::int32_t>(FSlots.GetLiveCount()); }

  // Makes room for Extra more items, so that appending them cannot fail.
  void Reserve(std::size_t Extra) {
    const std::size_t count = FItems.size() + Extra;
    FItems.reserve(count);
    FSlots.Reserve(count);
  }

  // Appends Item after the last one and returns its slot. On failure the list
  // is as it was.
  std::uint32_t Append(T Item) {
    FItems.push_back(std::move(Item));
    try {
      return FSlots.Append();
    } catch (...) {
      FItems.pop_back();
      throw;
    }
  }

  // The slot of the item at Index.
  std::uint32_t SlotAt(std::int32_t Index) const {
    if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
    return FSlots.SlotAt(static_cast<std::uint32_t>(Index));
  }
  // The position of the item in a live Slot.
  std::int32_t PositionOf(std::uint32_t Slot) const noexcept {
    return static_cast<std::int32_t>(FSlots.PositionOf(Slot));
  }
  bool IsLive(std::uint32_t Slot) const noexcept { return FSlots.IsLive(Slot); }

  const T& Get(std::int32_t Index) const { return FItems[SlotAt(Index)]; }
  T& Get(std::int32_t Index) { return FItems[SlotAt(Index)]; }
  const T& AtSlot(std::uint32_t Slot) const noexcept { return FItems[Slot]; }
  T& AtSlot(std::uint32_t Slot) noexcept { return FItems[Slot]; }

  // Takes the item in a live Slot out and returns it. Only the first removal
  // after an append to a list without dead slots can fail (it builds the rank
  // tree), and then nothing has changed. When the removal leaves dead slots
  // outnumbering live ones, the live items move down and Moved(Item, NewSlot)
  // is called for each that changed slot; it must not throw.
  template <class F>
  T Remove(std::uint32_t Slot, F&& Moved) {
    FSlots.Kill(Slot);
    T item = std::move(FItems[Slot]);
    if (FSlots.WantsCompaction()) Compact(Moved);
    return item;
  }
  T Remove(std::uint32_t Slot) {
    return Remove(Slot, [](T&, std::uint32_t) noexcept {});
  }

  // Drops every item without wiping it.
  void Clear() noexcept {
    FItems.clear();
    FSlots.Clear();
  }

  iterator begin() noexcept { return iterator(this, FSlots.NextLive(0)); }
  iterator end() noexcept { return iterator(this, FSlots.GetSlotCount()); }
  const_iterator begin() const noexcept { return const_iterator(this, FSlots.NextLive(0)); }
  const_iterator end() const noexcept { return const_iterator(this, FSlots.GetSlotCount()); }

private:
  template <class F>
  void Compact(F& Moved) noexcept {
    std::uint32_t to = 0;
    const std::uint32_t slots = FSlots.GetSlotCount();
    for (std::uint32_t from = FSlots.NextLive(0); from < slots; from = FSlots.NextLive(from + 1), ++to) {
      if (from == to) continue;
      FItems[to] = std::move(FItems[from]);
      Moved(FItems[to], to);
    }
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(to), FItems.end());
    FSlots.Compacted();
  }

  std::vector<T> FItems; // by slot; dead slots hold moved-from items
  TRankedSlots FSlots;
};

} // namespace kl
