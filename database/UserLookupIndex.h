#pragma once

#include <cstdint>
#include <exception>
#include <unordered_map>

#include "foundation/RankedList.h"

#include "foundation/SecureMemory.h"
#include "foundation/Types.h"

namespace kl::detail {

// The answers of a password database's look-ups, built by one walk over its
// records in position order. Only the first record of each name and of each
// UID is kept, and the walk stops at the first record that cannot be read: a
// look-up that finds no match before that record raises its error again, just
// as a walk from position 0 would. Holds no salts or hashes. Records keep the
// slot they were appended at, and positions are counted over the records still
// held, so taking one out costs amortised logarithmic time. Names are filed
// and looked up in NFC: two names that differ only by composition are one.
class TUserLookupIndex {
public:
  // Position and UID are -1 when no record has the name.
  struct TNameEntry {
    std::int32_t Position;
    std::int32_t UID;
  };

  void Reserve(std::int32_t Count);
  // Adds the record at the next position. Records after a damaged one are
  // never reached by a walk and are ignored.
  void Append(std::int32_t UID, const String& Username);
  // The record at the next position could not be read; Error is what reading it raised.
  void AppendDamaged(std::exception_ptr Error) noexcept;
  // Takes out the record at Position; the records after it move up one. False
  // when the answers cannot be kept in place: a damaged record was met, a name
  // or UID stands on more than one record (the one behind would have to be
  // found again), or memory ran out; the index must then be dropped.
  bool RemoveAt(std::int32_t Position) noexcept;

  // The first record named Username; raises the damaged record's error when
  // there is no match before it.
  TNameEntry FindName(const String& Username) const;
  // The position of the first record with UID, or -1; raises likewise.
  std::int32_t FindUID(std::int32_t UID) const;
  // The position of the record with UID when it is the only one and no
  // damaged record was met; -1 otherwise. Never raises.
  std::int32_t FindUniqueUID(std::int32_t UID) const noexcept;

private:
  struct TNameSlot {
    std::uint32_t Slot;
    std::int32_t UID;
  };
  // What a slot's record was filed under. Name points to the key in FByName,
  // which stays put while the entry lives.
  struct TRecordKeys {
    const String* Name;
    std::int32_t UID;
  };

  void RaiseIfDamaged() const;

  std::unordered_map<String, TNameSlot> FByName;
  std::unordered_map<std::int32_t, std::uint32_t> FByUID;
  TRankedList<TRecordKeys> FRecords;
  // Some name or UID stands on more than one record.
  bool FShared = false;
  std::exception_ptr FDamaged;
};

// The UID after Last. Raises "Database is corrupted" when Last is already the
// largest identifier (only a damaged or hand-edited database holds it).
std::int32_t NextUserID(std::int32_t Last);

// Wipes a text at scope exit, also when an exception leaves the scope.
class TWipeTextOnExit {
public:
  explicit TWipeTextOnExit(String& Text) noexcept : FText(Text) {}
  ~TWipeTextOnExit() { WipeString(FText); }
  TWipeTextOnExit(const TWipeTextOnExit&) = delete;
  TWipeTextOnExit& operator=(const TWipeTextOnExit&) = delete;

private:
  String& FText;
};

} // namespace kl::detail
