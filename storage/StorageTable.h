#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "foundation/OrderedIdSet.h"
#include "foundation/RankedSlots.h"
#include "foundation/Types.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"

namespace kl::detail {

// The values of a storage. Each value has an entry, numbered by its slot in
// storage order; removal leaves the slot dead (TRankedSlots turns slots into
// positions) until dead slots outnumber live ones and the table compacts.
// Loaded values stay as their records in the loaded content until a caller
// asks for one: only then is its value object made (and the copy of its data
// in the content wiped). Keys are found through an open-addressing hash of
// their bytes, which leads to the first value under the key; later values
// under the same key are chained behind it in storage order. Key bytes are
// UTF-8, with unpaired surrogates kept in their own three-byte form, so that
// two keys are equal exactly when their UTF-16 texts are. The slots in key
// order, which a sub-tree listing needs, are kept in a B+ tree made on the
// first such listing and dropped when slots renumber.
// The hash the table finds keys by: of a key's bytes, under a secret drawn
// once per process from the system's random source.
std::uint32_t HashKeyBytes(const std::uint8_t* Bytes, std::size_t Size) noexcept;

class TStorageTable {
public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  explicit TStorageTable(TKLStorage& Owner) noexcept : FOwner(Owner) {}
  ~TStorageTable();
  TStorageTable(const TStorageTable&) = delete;
  TStorageTable& operator=(const TStorageTable&) = delete;

  std::uint32_t GetCount() const noexcept { return FSlots.GetLiveCount(); }
  std::uint32_t SlotAt(std::uint32_t Position) const noexcept { return FSlots.SlotAt(Position); }
  std::uint32_t PositionOf(std::uint32_t Slot) const noexcept { return FSlots.PositionOf(Slot); }
  // The first slot under Key, or kNone.
  std::uint32_t Find(std::u16string_view Key) const;
  // The value in a live slot, made from its record on first use.
  TKLValue* ValueAt(std::uint32_t Slot);
  // The key of a live slot as text, without making its value.
  String KeyAt(std::uint32_t Slot) const;

  // Appends a value the storage has just made; returns its slot.
  std::uint32_t Append(std::unique_ptr<TKLValue> Value);
  // Destroys the value in a live slot, or in each of distinct live slots.
  // Only the first removal ever can fail, and then nothing has changed.
  void Remove(std::uint32_t Slot);
  void Remove(const std::vector<std::uint32_t>& Slots);
  // Moves a held value to another key, keeping its position.
  void Rekey(TKLValue& Value, const String& NewKey);
  void Clear() noexcept;

  // Live slots in storage order whose keys begin with Prefix (which ends
  // with "/") and are longer than it; every live slot for the root.
  std::vector<std::uint32_t> SlotsBeneath(std::u16string_view Prefix, bool Root) const;

  // Appends the records of every value in storage order.
  void Write(TContentWriter& Writer) const;
  // A guess of the content's size, for the writer's first buffer: the last
  // content written, or a typical size per value.
  std::size_t ContentSizeHint() const noexcept {
    return FLastWritten != 0 ? FLastWritten + FLastWritten / 8 : std::size_t{64} * GetCount() + 64;
  }
  // Appends the records of checked content: every allocation comes first, so
  // that a failure changes nothing.
  void Take(TLoadedContent& Loaded);

private:
  struct TEntry {
    const std::uint8_t* Key; // key bytes; in a loaded record, the record's own
    TKLValue* Value;         // the value object, once made
    std::uint32_t KeySize;
    std::uint32_t Hash;
    std::uint32_t NextSame; // the next slot under the same key, or kNone
    std::uint32_t PrevSame; // the slot before it under the key; on the first, the last
    std::uint8_t Type;      // the record's type code
    bool OwnsKey;           // Key was allocated for this entry
  };

  // Slots by their key bytes, then by slot.
  struct TKeyOrder {
    const TStorageTable* Table;
    bool operator()(std::uint32_t A, std::uint32_t B) const noexcept;
  };
  using TOrdered = TOrderedIdSet<TKeyOrder>;

  const TOrdered& Ordered() const;
  void OrderedInsert(std::uint32_t Slot) noexcept;
  void OrderedErase(std::uint32_t Slot) noexcept;

  std::uint32_t FindBytes(const std::uint8_t* Key, std::size_t Size, std::uint32_t Hash) const noexcept;
  std::size_t CellOf(std::uint32_t Slot) const noexcept;
  void Link(std::uint32_t Slot) noexcept;
  void Unlink(std::uint32_t Slot) noexcept;
  void ReserveCells(std::size_t Keys);
  void Rehash(std::size_t Cells);
  void Drop(std::uint32_t Slot);
  void Compact() noexcept;
  void Release(TEntry& Entry) noexcept;
  TRecordView RecordOf(const TEntry& Entry) const noexcept;

  TKLStorage& FOwner;
  std::vector<TEntry> FEntries;
  TRankedSlots FSlots;
  std::vector<std::uint32_t> FCells; // slots of first values; kNone empty, kGone removed
  std::size_t FUsedCells = 0;        // cells not empty
  std::vector<std::unique_ptr<TContentBuffer>> FBuffers;
  mutable std::size_t FLastWritten = 0;
  mutable std::unique_ptr<TOrdered> FOrdered; // null until a sub-tree is listed
};

} // namespace kl::detail
