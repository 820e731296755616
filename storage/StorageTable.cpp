#include "storage/StorageTable.h"

#include <algorithm>
#include <cstring>

#include "crypto/KLSHA256.h"
#include "foundation/PointerList.h"
#include "foundation/SecureMemory.h"
#include "random/SeedSource.h"
#include "storage/StorageFields.h"

namespace kl::detail {

namespace {

constexpr std::uint32_t kGone = 0xFFFFFFFE;
// Keys up to this many code units are encoded on the stack when looked up.
constexpr std::size_t kShortKey = 128;

// A per-process secret, so that a hostile file cannot choose keys that all
// land in one chain of cells.
std::uint64_t HashSeed() {
  static const std::uint64_t seed = [] {
    TSHA256Context context;
    SHA256Initialize(context);
    GatherSeedMaterial(context);
    TMessageDigest256 digest = SHA256Finalize(context);
    std::uint64_t value = 0;
    std::memcpy(&value, DigestBytes(digest), sizeof(value));
    SecureZeroObject(digest);
    SecureZeroObject(context);
    return value;
  }();
  return seed;
}

// A key's bytes as the table compares them, on the stack when short.
class TKeyBytes {
public:
  explicit TKeyBytes(std::u16string_view Key) {
    std::uint8_t* out = FShort;
    if (Key.size() > kShortKey) {
      FLong = std::make_unique<std::uint8_t[]>(3 * Key.size());
      out = FLong.get();
    }
    FData = out;
    FSize = EncodeUTF8(Key, out, true);
  }
  const std::uint8_t* Data() const noexcept { return FData; }
  std::size_t Size() const noexcept { return FSize; }

private:
  std::uint8_t FShort[3 * kShortKey];
  std::unique_ptr<std::uint8_t[]> FLong;
  const std::uint8_t* FData;
  std::size_t FSize;
};

// A value made from a record; the data decoded as the loader always has.
std::unique_ptr<TKLValue> MakeValue(const TRecordView& Record) {
  const String key = UTF8ToStr(Record.Key(), Record.KeySize);
  switch (Record.Type) {
    case vtBool:
      return std::make_unique<TKLBoolValue>(key, Record.Bool());
    case vtInt:
      return std::make_unique<TKLIntValue>(key, Record.Int());
    case vtLong:
      return std::make_unique<TKLLongValue>(key, Record.Long());
    case vtString: {
      String text = UTF8ToStr(Record.Counted(), Record.CountedSize());
      auto value = std::make_unique<TKLStringValue>(key, text);
      WipeString(text);
      return value;
    }
    default: {
      ByteArray bytes(Record.Counted(), Record.Counted() + Record.CountedSize());
      auto value = std::make_unique<TKLBlobValue>(key, bytes);
      WipeBytes(bytes);
      return value;
    }
  }
}

// The bytes a key is compared by, allocated for an entry of its own.
std::unique_ptr<std::uint8_t[]> OwnKeyBytes(std::u16string_view Key, std::uint32_t& Size) {
  auto bytes = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(1, 3 * Key.size()));
  Size = static_cast<std::uint32_t>(EncodeUTF8(Key, bytes.get(), true));
  return bytes;
}

// Writes a value through its class; SWrongValueType when its code names
// another class, SStorageValueTooLong when a field does not fit its count.
void WriteValueRecord(detail::TContentWriter& Writer, const TKLValue& Value) {
  const String& key = Value.GetKey();
  switch (Value.GetValueType()) {
    case vtBool:
      if (const auto* typed = detail::AsTyped<TKLBoolValue>(&Value)) return Writer.PutBool(key, typed->GetValue());
      break;
    case vtInt:
      if (const auto* typed = detail::AsTyped<TKLIntValue>(&Value)) return Writer.PutInt(key, typed->GetValue());
      break;
    case vtLong:
      if (const auto* typed = detail::AsTyped<TKLLongValue>(&Value)) return Writer.PutLong(key, typed->GetValue());
      break;
    case vtString:
      if (const auto* typed = detail::AsTyped<TKLStringValue>(&Value)) return Writer.PutString(key, typed->GetValue());
      break;
    case vtBlob:
      if (const auto* typed = detail::AsTyped<TKLBlobValue>(&Value)) {
        const ByteArray& bytes = typed->GetValue();
        return Writer.PutBlob(key, bytes.data(), bytes.size());
      }
      break;
    default:
      break;
  }
  throw EKLStorageException(SWrongValueType);
}

} // namespace

std::uint32_t HashKeyBytes(const std::uint8_t* Bytes, std::size_t Size) noexcept {
  static const std::uint64_t seed = HashSeed();
  std::uint64_t h = seed ^ (Size * 0x9E3779B97F4A7C15ULL);
  for (; Size >= 8; Bytes += 8, Size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, Bytes, 8);
    h = (h ^ word) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  std::uint64_t tail = 0;
  if (Size != 0) std::memcpy(&tail, Bytes, Size);
  h = (h ^ tail) * 0x94D049BB133111EBULL;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

TStorageTable::~TStorageTable() { Clear(); }

// --- Entries and records ---

TRecordView TStorageTable::RecordOf(const TEntry& Entry) const noexcept {
  TRecordView record;
  record.Bytes = Entry.Key - 2;
  record.KeySize = static_cast<std::uint16_t>(Entry.KeySize);
  record.Type = Entry.Type;
  record.Size = static_cast<std::uint32_t>(3 + Entry.KeySize + record.DataFieldSize());
  return record;
}

TKLValue* TStorageTable::ValueAt(std::uint32_t Slot) {
  TEntry& entry = FEntries[Slot];
  if (entry.Value != nullptr) return entry.Value;
  const TRecordView record = RecordOf(entry);
  std::unique_ptr<TKLValue> value = MakeValue(record);
  value->FStorage = &FOwner;
  value->FSlot = Slot;
  entry.Value = value.release();
  // From now on the object holds the value; the record's copy of a text or
  // array is wiped (its key stays: the table compares by it).
  if (record.Type == vtString || record.Type == vtBlob) {
    SecureZero(const_cast<std::uint8_t*>(record.Counted()), record.CountedSize());
  }
  return entry.Value;
}

String TStorageTable::KeyAt(std::uint32_t Slot) const {
  const TEntry& entry = FEntries[Slot];
  if (entry.Value != nullptr) return entry.Value->FKey;
  return UTF8ToStr(entry.Key, entry.KeySize);
}

void TStorageTable::Release(TEntry& Entry) noexcept {
  if (Entry.Value != nullptr) {
    delete Entry.Value;
  } else if (!Entry.OwnsKey && (Entry.Type == vtString || Entry.Type == vtBlob)) {
    const TRecordView record = RecordOf(Entry);
    SecureZero(const_cast<std::uint8_t*>(record.Counted()), record.CountedSize());
  }
  if (Entry.OwnsKey) delete[] Entry.Key;
  Entry.Value = nullptr;
  Entry.Key = nullptr;
  Entry.OwnsKey = false;
}

// --- The hash of keys ---

std::uint32_t TStorageTable::FindBytes(const std::uint8_t* Key, std::size_t Size, std::uint32_t Hash) const noexcept {
  if (FCells.empty()) return kNone;
  const std::size_t mask = FCells.size() - 1;
  for (std::size_t cell = Hash & mask;; cell = (cell + 1) & mask) {
    const std::uint32_t slot = FCells[cell];
    if (slot == kNone) return kNone;
    if (slot == kGone) continue;
    const TEntry& entry = FEntries[slot];
    if (entry.Hash == Hash && entry.KeySize == Size && std::memcmp(entry.Key, Key, Size) == 0) return slot;
  }
}

std::uint32_t TStorageTable::Find(std::u16string_view Key) const {
  const TKeyBytes bytes(Key);
  return FindBytes(bytes.Data(), bytes.Size(), HashKeyBytes(bytes.Data(), bytes.Size()));
}

// The cell of the first slot of a key.
std::size_t TStorageTable::CellOf(std::uint32_t Slot) const noexcept {
  const std::size_t mask = FCells.size() - 1;
  std::size_t cell = FEntries[Slot].Hash & mask;
  while (FCells[cell] != Slot) cell = (cell + 1) & mask;
  return cell;
}

// Cells for Keys keys in all, at most three quarters full counting removed
// cells; growing doubles them.
void TStorageTable::ReserveCells(std::size_t Keys) {
  if ((Keys + 1) * 4 <= FCells.size() * 3) return;
  std::size_t cells = 16;
  while (cells * 3 < (Keys + 1) * 4) cells *= 2;
  Rehash(cells);
}

// Rebuilds the cells from the live slots. Chains are kept in storage order,
// so the first slot met under a key is the one its cell names.
void TStorageTable::Rehash(std::size_t Cells) {
  std::vector<std::uint32_t> cells(Cells, kNone);
  FCells.swap(cells);
  FUsedCells = 0;
  const std::size_t mask = FCells.size() - 1;
  for (std::uint32_t slot = 0; slot < FSlots.GetSlotCount(); ++slot) {
    if (!FSlots.IsLive(slot)) continue;
    const TEntry& entry = FEntries[slot];
    if (FindBytes(entry.Key, entry.KeySize, entry.Hash) != kNone) continue;
    std::size_t cell = entry.Hash & mask;
    while (FCells[cell] != kNone) cell = (cell + 1) & mask;
    FCells[cell] = slot;
    ++FUsedCells;
  }
}

// Puts a slot into the chain of its key, in storage order; the first slot of
// a key has the key's cell. Appended slots go last at once.
void TStorageTable::Link(std::uint32_t Slot) noexcept {
  TEntry& entry = FEntries[Slot];
  entry.NextSame = kNone;
  entry.PrevSame = Slot;
  const std::uint32_t first = FindBytes(entry.Key, entry.KeySize, entry.Hash);
  if (first == kNone) {
    const std::size_t mask = FCells.size() - 1;
    std::size_t cell = entry.Hash & mask;
    while (FCells[cell] != kNone && FCells[cell] != kGone) cell = (cell + 1) & mask;
    if (FCells[cell] == kNone) ++FUsedCells;
    FCells[cell] = Slot;
    return;
  }
  if (Slot < first) {
    FCells[CellOf(first)] = Slot;
    entry.NextSame = first;
    entry.PrevSame = FEntries[first].PrevSame;
    FEntries[first].PrevSame = Slot;
    return;
  }
  // Back from the last to the slot before this one (at the latest the first).
  std::uint32_t before = FEntries[first].PrevSame;
  while (before > Slot) before = FEntries[before].PrevSame;
  const std::uint32_t after = FEntries[before].NextSame;
  entry.PrevSame = before;
  entry.NextSame = after;
  FEntries[before].NextSame = Slot;
  (after != kNone ? FEntries[after].PrevSame : FEntries[first].PrevSame) = Slot;
}

void TStorageTable::Unlink(std::uint32_t Slot) noexcept {
  TEntry& entry = FEntries[Slot];
  const std::uint32_t next = entry.NextSame;
  const std::uint32_t prev = entry.PrevSame;
  if (FEntries[prev].NextSame != Slot) {
    // The first of its key (its back link names the last).
    const std::size_t cell = CellOf(Slot);
    if (next == kNone) {
      FCells[cell] = kGone;
    } else {
      FCells[cell] = next;
      FEntries[next].PrevSame = prev;
    }
  } else {
    FEntries[prev].NextSame = next;
    if (next != kNone) {
      FEntries[next].PrevSame = prev;
    } else {
      FEntries[FindBytes(entry.Key, entry.KeySize, entry.Hash)].PrevSame = prev;
    }
  }
  entry.NextSame = kNone;
  entry.PrevSame = Slot;
}

// --- Changes ---

std::uint32_t TStorageTable::Append(std::unique_ptr<TKLValue> Value) {
  if (FSlots.GetSlotCount() >= 0x7FFFFFFF) RaiseListIndexError(static_cast<std::int64_t>(FSlots.GetSlotCount()));
  std::uint32_t keySize = 0;
  std::unique_ptr<std::uint8_t[]> key = OwnKeyBytes(Value->FKey, keySize);
  // Everything that may fail comes first.
  if (FEntries.size() == FEntries.capacity()) FEntries.reserve(std::max<std::size_t>(16, FEntries.size() * 2));
  FSlots.Reserve(FEntries.size() + 1);
  ReserveCells(FUsedCells + 1);
  const std::uint32_t slot = FSlots.Append();
  TEntry entry{};
  entry.Key = key.release();
  entry.KeySize = keySize;
  entry.Hash = HashKeyBytes(entry.Key, keySize);
  entry.Type = static_cast<std::uint8_t>(Value->FValueType);
  entry.OwnsKey = true;
  entry.Value = Value.release();
  entry.Value->FStorage = &FOwner;
  entry.Value->FSlot = slot;
  FEntries.push_back(entry);
  Link(slot);
  OrderedInsert(slot);
  return slot;
}

void TStorageTable::Drop(std::uint32_t Slot) {
  FSlots.Kill(Slot); // the only step that can fail (the first removal builds the tree)
  OrderedErase(Slot);
  Unlink(Slot);
  Release(FEntries[Slot]);
}

void TStorageTable::Remove(std::uint32_t Slot) {
  Drop(Slot);
  if (FSlots.WantsCompaction()) Compact();
}

void TStorageTable::Remove(const std::vector<std::uint32_t>& Slots) {
  for (const std::uint32_t slot : Slots) Drop(slot);
  if (FSlots.WantsCompaction()) Compact();
}

void TStorageTable::Rekey(TKLValue& Value, const String& NewKey) {
  const std::uint32_t slot = Value.FSlot;
  std::uint32_t keySize = 0;
  std::unique_ptr<std::uint8_t[]> key = OwnKeyBytes(NewKey, keySize);
  String text = NewKey;
  ReserveCells(FUsedCells + 1);
  OrderedErase(slot);
  Unlink(slot);
  TEntry& entry = FEntries[slot];
  if (entry.OwnsKey) delete[] entry.Key;
  entry.Key = key.release();
  entry.KeySize = keySize;
  entry.Hash = HashKeyBytes(entry.Key, keySize);
  entry.OwnsKey = true;
  Value.FKey = std::move(text);
  Link(slot);
  OrderedInsert(slot);
}

void TStorageTable::Clear() noexcept {
  for (std::uint32_t slot = 0; slot < FSlots.GetSlotCount(); ++slot) {
    if (FSlots.IsLive(slot)) Release(FEntries[slot]);
  }
  FOrdered.reset();
  std::vector<TEntry>().swap(FEntries);
  std::vector<std::uint32_t>().swap(FCells);
  FUsedCells = 0;
  FSlots.Clear();
  FBuffers.clear(); // each wipes itself
}

// Moves the live entries down over the dead ones, in order, and rebuilds the
// cells. Linear, and run only once dead slots outnumber live ones.
void TStorageTable::Compact() noexcept {
  const std::uint32_t slots = FSlots.GetSlotCount();
  std::uint32_t kept = 0;
  for (std::uint32_t slot = 0; slot < slots; ++slot) {
    if (!FSlots.IsLive(slot)) continue;
    TEntry& entry = FEntries[slot];
    // Chain links point at slots that move too: renumber through the old
    // slot's new place, which is known once each entry has moved. The
    // previous link always points backwards (or at the chain's last), so
    // chains are rebuilt below instead.
    if (entry.Value != nullptr) entry.Value->FSlot = kept;
    FEntries[kept++] = entry;
  }
  FEntries.resize(kept);
  FSlots.Compacted();
  FOrdered.reset(); // its slots are gone; the next listing sorts again
  // Relink every chain in order: cells from scratch, then each entry behind
  // the earlier ones under its key.
  std::fill(FCells.begin(), FCells.end(), kNone);
  FUsedCells = 0;
  for (std::uint32_t slot = 0; slot < kept; ++slot) Link(slot);
}

// --- Key order ---

bool TStorageTable::TKeyOrder::operator()(std::uint32_t A, std::uint32_t B) const noexcept {
  const TEntry& a = Table->FEntries[A];
  const TEntry& b = Table->FEntries[B];
  const int order = std::memcmp(a.Key, b.Key, std::min(a.KeySize, b.KeySize));
  if (order != 0) return order < 0;
  if (a.KeySize != b.KeySize) return a.KeySize < b.KeySize;
  return A < B;
}

const TStorageTable::TOrdered& TStorageTable::Ordered() const {
  if (!FOrdered) {
    std::vector<std::uint32_t> slots;
    slots.reserve(GetCount());
    for (std::uint32_t slot = 0; slot < FSlots.GetSlotCount(); ++slot) {
      if (FSlots.IsLive(slot)) slots.push_back(slot);
    }
    const TKeyOrder order{this};
    std::sort(slots.begin(), slots.end(), order);
    auto ordered = std::make_unique<TOrdered>(order);
    ordered->Assign(slots.data(), slots.size());
    FOrdered = std::move(ordered);
  }
  return *FOrdered;
}

// The tree is only a cache of the order: when it cannot grow it is dropped,
// to be made again by the next listing.
void TStorageTable::OrderedInsert(std::uint32_t Slot) noexcept {
  if (!FOrdered) return;
  try {
    FOrdered->Insert(Slot);
  } catch (...) {
    FOrdered.reset();
  }
}

void TStorageTable::OrderedErase(std::uint32_t Slot) noexcept {
  if (FOrdered) FOrdered->Erase(Slot);
}

// --- Listing ---

std::vector<std::uint32_t> TStorageTable::SlotsBeneath(std::u16string_view Prefix, bool Root) const {
  std::vector<std::uint32_t> slots;
  if (Root) {
    slots.reserve(GetCount());
    for (std::uint32_t slot = 0; slot < FSlots.GetSlotCount(); ++slot) {
      if (FSlots.IsLive(slot)) slots.push_back(slot);
    }
    return slots;
  }
  // The keys beginning with the prefix stand together in key order, the
  // prefix itself (never listed) first among them.
  const TKeyBytes prefix(Prefix);
  const std::size_t size = prefix.Size();
  const auto before = [&](std::uint32_t Slot) {
    const TEntry& entry = FEntries[Slot];
    const int order = std::memcmp(entry.Key, prefix.Data(), std::min<std::size_t>(entry.KeySize, size));
    return order != 0 ? order < 0 : entry.KeySize < size;
  };
  const TOrdered& ordered = Ordered();
  for (auto it = ordered.LowerBound(before); it != ordered.end(); ++it) {
    const TEntry& entry = FEntries[*it];
    if (entry.KeySize < size || std::memcmp(entry.Key, prefix.Data(), size) != 0) break;
    if (entry.KeySize > size) slots.push_back(*it);
  }
  std::sort(slots.begin(), slots.end());
  return slots;
}

// --- Files ---

void TStorageTable::Write(TContentWriter& Writer) const {
  for (std::uint32_t slot = 0; slot < FSlots.GetSlotCount(); ++slot) {
    if (!FSlots.IsLive(slot)) continue;
    const TEntry& entry = FEntries[slot];
    if (entry.Value != nullptr) {
      WriteValueRecord(Writer, *entry.Value);
    } else {
      Writer.PutRecord(RecordOf(entry));
    }
  }
  FLastWritten = Writer.Buffer().Size();
}

void TStorageTable::Take(TLoadedContent& Loaded) {
  const std::size_t count = Loaded.Records;
  if (FSlots.GetSlotCount() + count >= 0x7FFFFFFF) {
    RaiseListIndexError(static_cast<std::int64_t>(FSlots.GetSlotCount() + count));
  }
  // Room for everything first: past this point only the values made for
  // odd records can fail, and then the entries pushed are dropped again.
  const std::size_t base = FEntries.size();
  FEntries.reserve(base + count);
  FSlots.Reserve(base + count);
  ReserveCells(FUsedCells + count);
  FBuffers.reserve(FBuffers.size() + 1);
  // Records that would not be written back as they are (malformed UTF-8, a
  // boolean byte other than 0 or 1) become value objects at once, with keys
  // of their own; every other record stays where it is.
  std::vector<std::unique_ptr<TKLValue>> made;
  std::vector<std::unique_ptr<std::uint8_t[]>> keys;
  try {
    TRecordCursor cursor(Loaded.Buffer->Data(), Loaded.Size);
    TRecordView record;
    while (cursor.Next(record)) {
      TEntry entry{};
      entry.Type = record.Type;
      if (IsCanonicalRecord(record)) {
        entry.Key = record.Key();
        entry.KeySize = record.KeySize;
      } else {
        made.push_back(MakeValue(record));
        keys.push_back(OwnKeyBytes(made.back()->FKey, entry.KeySize));
        entry.Key = keys.back().get();
        entry.OwnsKey = true;
        entry.Value = made.back().get();
      }
      entry.Hash = HashKeyBytes(entry.Key, entry.KeySize);
      FEntries.push_back(entry);
    }
  } catch (...) {
    FEntries.resize(base);
    throw;
  }

  // Nothing below can fail.
  for (std::size_t i = base; i < FEntries.size(); ++i) {
    const std::uint32_t slot = FSlots.Append();
    if (TKLValue* value = FEntries[i].Value) {
      value->FStorage = &FOwner;
      value->FSlot = slot;
    }
    Link(slot);
    OrderedInsert(slot);
  }
  for (auto& value : made) value.release();
  for (auto& key : keys) key.release();
  FBuffers.push_back(std::move(Loaded.Buffer));
}

} // namespace kl::detail
