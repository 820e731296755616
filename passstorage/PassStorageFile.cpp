#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/Clock.h"
#include "foundation/FileStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/PassRecordRules.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageFormat.h"

namespace kl {

namespace {

// The eight values of a record, each under the record's key followed by its
// leaf name, in the order in which they are written.
enum TLeaf : std::size_t { lfTitle, lfName, lfPwd, lfURL, lfNote, lfCDate, lfMDate, lfADate, lfCount };

constexpr std::array<std::string_view, lfCount> kLeafBytes = {"/title", "/name",  "/pwd",   "/url",
                                                              "/note",  "/cdate", "/mdate", "/adate"};
constexpr std::size_t kTextLeaves = lfNote + 1;

std::size_t LeafIndex(std::string_view Leaf) noexcept {
  for (std::size_t i = 0; i < lfCount; ++i) {
    if (kLeafBytes[i] == Leaf) return i;
  }
  return lfCount;
}

[[noreturn]] void RaiseCorrupted() { throw EKLPassStorageException(SStorageCorrupted); }

// A note longer than one value holds (65,535 bytes of UTF-8) is saved in
// pieces: the first under "/note", as every note, the next under "/note.2",
// "/note.3" and so on. A reader that knows only the eight leaves skips the
// others and keeps the first piece.
constexpr std::string_view kNotePieceLeaf = "/note.";
// The code units of a piece: at three bytes each at most, it always fits.
constexpr std::size_t kNotePieceUnits = KLStorageMaxFieldSize / 3;
// The most pieces a load accepts for one note (4 GiB of text, more than any
// file a load takes), so that a piece number is bounded before it is used.
constexpr std::uint32_t kMaxNotePieces = 65536;

// The record's UUID, 16 bytes. A record loaded without one (saved by an
// earlier release) is given a random one.
constexpr std::string_view kUuidLeaf = "/uuid";

// A record's earlier versions: version N (from 1, the oldest) under
// "/hist.N" followed by the leaves of a record (but "/uuid" and "/hist."),
// its shared attachments as "/attach.K/same". An older reader skips them.
constexpr std::string_view kVersionLeaf = "/hist.";
constexpr std::uint32_t kMaxVersions = 1u << 20;

// Values of the vault itself, under keys holding no "/" (which lie under no
// record, so an older reader skips them): "deleted.N" (bytes: a deleted
// object's 16-byte UUID and its 8-byte time), and the settings that differ
// from a new store's.
constexpr std::string_view kDeletedKey = "deleted.";
constexpr std::string_view kRecycleBinKey = "recycle-bin";
constexpr std::string_view kRecycleBinGroupKey = "recycle-bin.group";
constexpr std::string_view kHistoryItemsKey = "history.max-items";
constexpr std::string_view kHistoryBytesKey = "history.max-bytes";
// A nested bin's path; "recycle-bin.group" names a bin at the top, as an
// earlier release wrote it.
constexpr std::string_view kRecycleBinPathKey = "recycle-bin.path";
// The groups the store lists, N from 1 in the store's order: "group.N"
// (bytes: UUID, then the creation, modification, access, location-change and
// expiry times, 8 bytes each, then 1 when the group expires), "group.N.path",
// "group.N.name" (the root's name, when it has one) and "group.N.notes" with
// its pieces "group.N.notes.K" as a long note has.
constexpr std::string_view kGroupKey = "group.";
constexpr std::size_t kGroupBytes = KLPassUuidSize + 5 * 8 + 1;
constexpr std::uint32_t kMaxGroups = 1u << 20;
// A record whose group is not one name at the top (nested, the root, or a
// name holding "/") lies under a key group of its names joined by U+2215, as
// an earlier release shows it, and keeps its path under this leaf.
constexpr std::string_view kGroupLeaf = "/group";

// The number N of a leaf "/note.N" (N from 2, written without leading zeros);
// 0 for any other leaf.
std::uint32_t NotePieceNumber(std::string_view Leaf) noexcept {
  if (!Leaf.starts_with(kNotePieceLeaf)) return 0;
  const std::string_view digits = Leaf.substr(kNotePieceLeaf.size());
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || digits[0] == '0' || number < 2 ||
      number > kMaxNotePieces) {
    return 0;
  }
  return number;
}

// Numbers byte strings that live elsewhere and stay put, in the order in
// which they are first met: an open-addressing table of 8-byte cells (number
// and hash) over the list of strings, with no allocation per string.
class TViewIndex {
public:
  explicit TViewIndex(std::size_t Expected) {
    FCells.resize(CellsFor(Expected));
    FKeys.reserve(Expected);
  }

  // The number of Key; Added tells whether Key was new and took the next one.
  std::uint32_t FindOrAdd(std::string_view Key, bool& Added) {
    const std::size_t hash = std::hash<std::string_view>()(Key);
    const std::uint32_t tag = TagOf(hash);
    const std::size_t mask = FCells.size() - 1;
    std::size_t cell = hash & mask;
    for (; FCells[cell].Tag != 0; cell = (cell + 1) & mask) {
      if (FCells[cell].Tag == tag && FKeys[FCells[cell].Number] == Key) {
        Added = false;
        return FCells[cell].Number;
      }
    }
    Added = true;
    if (FKeys.size() >= 0xFFFFFFFE) throw std::bad_alloc(); // numbers and one more fit 32 bits
    const auto number = static_cast<std::uint32_t>(FKeys.size());
    FKeys.push_back(Key);
    if (2 * FKeys.size() > FCells.size()) {
      Rehash();
    } else {
      FCells[cell] = TCell{tag, number};
    }
    return number;
  }

private:
  struct TCell {
    std::uint32_t Tag = 0;
    std::uint32_t Number = 0;
  };

  // The high half of a hash, never 0, which marks an empty cell.
  static std::uint32_t TagOf(std::size_t Hash) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(Hash) >> 32) | 1;
  }

  static std::size_t CellsFor(std::size_t Keys) noexcept {
    std::size_t cells = 16;
    while (cells < 2 * Keys + 2) cells *= 2;
    return cells;
  }

  // Places every key again in a table of twice the size.
  void Rehash() {
    std::vector<TCell> cells(2 * FCells.size());
    const std::size_t mask = cells.size() - 1;
    for (std::uint32_t number = 0; number < FKeys.size(); ++number) {
      const std::size_t hash = std::hash<std::string_view>()(FKeys[number]);
      std::size_t cell = hash & mask;
      while (cells[cell].Tag != 0) cell = (cell + 1) & mask;
      cells[cell] = TCell{TagOf(hash), number};
    }
    FCells.swap(cells);
  }

  std::vector<TCell> FCells;
  std::vector<std::string_view> FKeys;
};

// UTF8ToStr, with a short way for ASCII, the usual case.
String Decode(const std::uint8_t* Bytes, std::size_t Size) {
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < Size; ++i) any |= Bytes[i];
  if (any >= 0x80) return UTF8ToStr(Bytes, Size);
  String text(Size, u'\0');
  for (std::size_t i = 0; i < Size; ++i) text[i] = Bytes[i];
  return text;
}

// Where a load puts the leaves of a record, and how it makes one.
struct TRecordFields {
  std::array<String TKLPassRecord::*, kTextLeaves> Texts;
  std::array<std::int64_t TKLPassRecord::*, lfCount - kTextLeaves> Dates;
  TKLPassUuid TKLPassRecord::*Uuid;
  std::unique_ptr<TKLPassRecord> (*Make)();
};

// A record key (group "/" position) met in a loaded storage, and the record
// made for it as its values are met: the first value under each leaf fills
// the field when it has the leaf's type, as a lookup of the leaf would find
// it. The record is whole when every leaf was met with its type.
struct TPendingRecord {
  std::unique_ptr<TKLPassRecord> Rec;
  std::uint32_t Next = 0; // the next record of the same group, 0 for none
  std::uint8_t Met = 0;   // leaves met, one bit each
  std::uint8_t Typed = 0; // leaves whose first value had the leaf's type
  // The further pieces of a long note, by number, as met.
  std::vector<std::pair<std::uint32_t, String>> NotePieces;
  bool HasUuid = false;
  // The group path, when the record lies under a key group that is not it.
  std::optional<String> Path;
  // Custom fields, tags, expiry and attachments, made when the first is met.
  std::unique_ptr<detail::TPendingExtras> Extras;
  // The record's versions by number, as met (see kVersionLeaf).
  std::map<std::uint32_t, std::unique_ptr<TPendingRecord>> Versions;

  bool IsWhole() const noexcept { return Typed == (1u << lfCount) - 1; }
};

struct TPendingGroup {
  std::string_view Name;
  std::uint32_t First = 0; // records are numbered from 1 so that 0 ends a chain
  std::uint32_t Last = 0;
};

// Sorts the value records of loaded content into groups and records in one
// pass, each in order of first occurrence. A key G "/" i "/" leaf belongs to
// the record G "/" i; a key G "/" i with no leaf names a record that has no
// values and so fails as corrupted when it is reached. A key with no group
// separator after its first character, or one ending right after it, lies
// under no record. The group is found from the second character on, as a
// listing of the root does, so a key beginning with "/" yields a group
// beginning with "/", never the empty group. Searching the UTF-8 bytes from
// the second byte finds the same "/": no other character's bytes hold it.
//
// Keys compare as their texts do: a key that is not well-formed UTF-8 reads
// as the text its malformed parts decode to (each a U+FFFD), so it is indexed
// under the UTF-8 of that text, kept aside, and meets a well-formed key of
// the same text.
class TRecordIndex {
public:
  TRecordIndex(const std::uint8_t* Content, std::size_t Size, std::size_t Records, const TRecordFields& Fields)
      : FFields(Fields), FRecordIndex(Records / lfCount + 1), FGroupIndex(16) {
    FRecords.reserve(Records / lfCount + 2);
    FRecords.emplace_back(); // index 0 stands for "none"
    detail::TRecordCursor cursor(Content, Size);
    detail::TRecordView record;
    while (cursor.Next(record)) {
      const std::string_view key = record.KeyBytes();
      // The values of a record usually follow one another: a key made of the
      // last record's key, "/" and a leaf belongs to it. Its leaf is then
      // matched in bytes: one of the eight is ASCII, and bytes that are not
      // well-formed never read as one. The key up to the record's end is
      // well-formed, so it reads as that record's key whatever follows.
      if (FLast != 0 && key.size() > FLastKey.size() && key[FLastKey.size()] == '/' &&
          key.compare(0, FLastKey.size(), FLastKey) == 0) {
        Attach(FRecords[FLast], key.substr(FLastKey.size()), record);
      } else if (key.find('/') == std::string_view::npos) {
        FVaultValues.push_back(record);
      } else {
        Place(record, IsWellFormedKey(key) ? key : Reencoded(record));
      }
    }
  }

  const std::vector<TPendingGroup>& Groups() const noexcept { return FGroups; }
  // The values under keys with no "/", the vault's own.
  const std::vector<detail::TRecordView>& VaultValues() const noexcept { return FVaultValues; }
  TPendingRecord& Record(std::size_t Index) noexcept { return FRecords[Index]; }
  std::size_t GetRecordCount() const noexcept { return FRecords.size() - 1; }

private:
  static bool IsWellFormedKey(std::string_view Key) noexcept {
    std::uint8_t any = 0;
    for (const char c : Key) any |= static_cast<std::uint8_t>(c);
    return any < 0x80 || IsValidUTF8(reinterpret_cast<const std::uint8_t*>(Key.data()), Key.size());
  }

  void Attach(TPendingRecord& Pending, std::string_view Leaf, const detail::TRecordView& Value,
              bool InVersion = false) {
    const std::size_t leaf = LeafIndex(Leaf);
    if (leaf == lfCount) {
      if (Leaf.starts_with(kVersionLeaf)) {
        const std::size_t slash = Leaf.find('/', kVersionLeaf.size());
        std::uint32_t number = 0;
        const char* digits = Leaf.data() + kVersionLeaf.size();
        const char* end = slash == std::string_view::npos ? Leaf.data() + Leaf.size() : Leaf.data() + slash;
        const auto [stop, error] = std::from_chars(digits, end, number);
        if (InVersion || slash == std::string_view::npos || error != std::errc() || stop != end || *digits == '0' ||
            number == 0 || number > kMaxVersions) {
          RaiseCorrupted();
        }
        std::unique_ptr<TPendingRecord>& version = Pending.Versions[number];
        if (!version) version.reset(new TPendingRecord{FFields.Make(), 0, 0, 0, {}, false, {}, nullptr, {}});
        Attach(*version, Leaf.substr(slash), Value, true);
      } else if (const std::uint32_t piece = NotePieceNumber(Leaf); piece != 0) {
        if (Value.Type != vtString) RaiseCorrupted();
        Pending.NotePieces.emplace_back(piece, Decode(Value.Counted(), Value.CountedSize()));
      } else if (Leaf == kGroupLeaf && !InVersion) {
        if (Value.Type != vtString) RaiseCorrupted();
        if (!Pending.Path) Pending.Path = Decode(Value.Counted(), Value.CountedSize());
      } else if (Leaf == kUuidLeaf) {
        if (Value.Type != vtBlob || Value.CountedSize() != KLPassUuidSize) RaiseCorrupted();
        if (!Pending.HasUuid) std::memcpy(((*Pending.Rec).*FFields.Uuid).data(), Value.Counted(), KLPassUuidSize);
        Pending.HasUuid = true;
      } else {
        TakeExtra(Pending, Leaf, Value);
      }
      return;
    }
    const auto bit = static_cast<std::uint8_t>(1u << leaf);
    if ((Pending.Met & bit) != 0) return;
    Pending.Met |= bit;
    if (leaf < kTextLeaves) {
      if (Value.Type != vtString) return;
      (*Pending.Rec).*FFields.Texts[leaf] = Decode(Value.Counted(), Value.CountedSize());
    } else {
      if (Value.Type != vtLong) return;
      (*Pending.Rec).*FFields.Dates[leaf - kTextLeaves] = Value.Long();
    }
    Pending.Typed |= bit;
  }

  // A leaf of neither kind is skipped, so that a later release may add more.
  static void TakeExtra(TPendingRecord& Pending, std::string_view Leaf, const detail::TRecordView& Value) {
    if (Pending.Extras) {
      Pending.Extras->Take(Leaf, Value);
      return;
    }
    auto extras = std::make_unique<detail::TPendingExtras>();
    if (extras->Take(Leaf, Value)) Pending.Extras = std::move(extras);
  }

  void Place(const detail::TRecordView& Record, std::string_view Key) {
    const std::size_t groupEnd = Key.find('/', 1);
    if (groupEnd == std::string_view::npos || groupEnd + 1 == Key.size()) return;
    const std::size_t recordEnd = Key.find('/', groupEnd + 1);
    TPendingRecord& rec = FRecords[RecordFor(Key.substr(0, recordEnd), Key.substr(0, groupEnd))];
    if (recordEnd != std::string_view::npos) Attach(rec, Key.substr(recordEnd), Record);
  }

  // A key read as text and encoded again, kept in place while the index lives.
  std::string_view Reencoded(const detail::TRecordView& Record) {
    FKeptKeys.push_back(StrToUTF8(UTF8ToStr(Record.Key(), Record.KeySize)));
    return FKeptKeys.back();
  }

  std::uint32_t RecordFor(std::string_view RecordKey, std::string_view Group) {
    bool added = false;
    const std::uint32_t record = FRecordIndex.FindOrAdd(RecordKey, added) + 1;
    if (added) {
      FRecords.push_back(TPendingRecord{FFields.Make(), 0, 0, 0, {}, false, {}, nullptr, {}});
      Chain(GroupFor(Group), record);
    }
    FLast = record;
    FLastKey = RecordKey;
    return record;
  }

  TPendingGroup& GroupFor(std::string_view Group) {
    bool added = false;
    const std::size_t group = FGroupIndex.FindOrAdd(Group, added);
    if (added) FGroups.push_back(TPendingGroup{Group, 0, 0});
    return FGroups[group];
  }

  void Chain(TPendingGroup& Group, std::uint32_t Record) noexcept {
    if (Group.Last == 0) {
      Group.First = Record;
    } else {
      FRecords[Group.Last].Next = Record;
    }
    Group.Last = Record;
  }

  const TRecordFields& FFields;
  std::vector<TPendingRecord> FRecords;
  std::vector<TPendingGroup> FGroups;
  TViewIndex FRecordIndex;
  TViewIndex FGroupIndex;
  // The record the last key belonged to (0 for none), and its key.
  std::uint32_t FLast = 0;
  std::string_view FLastKey;
  // Keys read as text and encoded again; a deque keeps them in place.
  std::deque<std::string> FKeptKeys;
  std::vector<detail::TRecordView> FVaultValues;
};

// Appends the pieces of a long note to its first, in order: they must be
// numbered 2, 3, ... without a gap or a number twice, or the file is damaged.
void JoinNotePieces(TPendingRecord& Pending, String TKLPassRecord::*Note) {
  if (Pending.NotePieces.empty()) return;
  std::sort(Pending.NotePieces.begin(), Pending.NotePieces.end(),
            [](const auto& A, const auto& B) { return A.first < B.first; });
  std::uint32_t expected = 2;
  for (auto& [number, text] : Pending.NotePieces) {
    if (number != expected++) RaiseCorrupted();
    (*Pending.Rec).*Note += text;
  }
  Pending.NotePieces.clear();
}

// The key group a record lies under: its path when that is one name at the
// top holding no "/" (as every group of an earlier release), otherwise its
// names joined by U+2215 (the root: the default group), which an earlier
// release shows as one group; the path itself is kept under kGroupLeaf.
String KeyGroupOf(const String& Path, bool& Nested) {
  // The usual group, one name holding neither "/" nor a backslash, costs no split.
  if (!Path.empty() && Path.find_first_of(u"/\\") == String::npos) {
    Nested = false;
    return Path;
  }
  const std::vector<String> names = SplitGroupPath(Path);
  Nested = names.size() != 1 || names[0].find(u'/') != String::npos || GroupPathChild(String(), names[0]) != Path;
  if (!Nested) return names[0];
  if (names.empty()) return DefaultPassGroup;
  String key;
  for (const String& name : names) {
    if (!key.empty()) key += u'\u2215';
    for (Char c : name) key += c == u'/' ? u'\u2215' : c;
  }
  return key;
}

// The 8-byte little-endian times of the vault's own values.
void PutLE64(std::uint8_t* Out, std::int64_t Value) noexcept {
  for (std::size_t b = 0; b < 8; ++b) Out[b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(Value) >> (8 * b));
}

std::int64_t LE64(const std::uint8_t* In) noexcept {
  std::uint64_t value = 0;
  for (std::size_t b = 0; b < 8; ++b) value |= static_cast<std::uint64_t>(In[b]) << (8 * b);
  return static_cast<std::int64_t>(value);
}

std::uint32_t GroupNumber(std::string_view Key, std::string_view& Rest) {
  std::size_t end = kGroupKey.size();
  while (end < Key.size() && Key[end] >= '0' && Key[end] <= '9') ++end;
  std::uint32_t number = 0;
  const auto [stop, error] = std::from_chars(Key.data() + kGroupKey.size(), Key.data() + end, number);
  if (error != std::errc() || end == kGroupKey.size() || Key[kGroupKey.size()] == '0' || number > kMaxGroups) {
    RaiseCorrupted();
  }
  Rest = Key.substr(end);
  return number;
}

// The UTF-8 of Text at Out, which has room for 3 bytes per code unit, as the
// content writer encodes it; ASCII, the usual case, is copied straight.
std::size_t EncodeText(std::u16string_view Text, std::uint8_t* Out) noexcept {
  char16_t any = 0;
  for (const char16_t c : Text) any |= c;
  if (any >= 0x80) return detail::EncodeUTF8(Text, Out);
  for (std::size_t i = 0; i < Text.size(); ++i) Out[i] = static_cast<std::uint8_t>(Text[i]);
  return Text.size();
}

[[noreturn]] void RaiseTooLong() { throw EKLStorageException(SStorageValueTooLong); }

// Composes the value records of one vault record exactly as the content
// writer would write them (a key or text longer than a field holds raises
// what it raises), encoding the key's group and position once for the eight,
// and hands each to the writer. The scratch space is wiped at each vault
// record and when the composer goes.
class TRecordComposer {
public:
  void Begin(const String& Group, std::int32_t Position) {
    FScratch.Truncate(0);
    FPrefix.resize(3 * Group.size() + 12);
    const std::size_t size = EncodeText(Group, reinterpret_cast<std::uint8_t*>(FPrefix.data()));
    FPrefix[size] = '/';
    const auto end = std::to_chars(FPrefix.data() + size + 1, FPrefix.data() + FPrefix.size(), Position).ptr;
    FPrefix.resize(static_cast<std::size_t>(end - FPrefix.data()));
  }

  // For the vault's own values, whose keys are their leaves.
  void BeginVault() {
    FScratch.Truncate(0);
    FPrefix.clear();
  }

  void PutText(detail::TContentWriter& Writer, TLeaf Leaf, std::u16string_view Text) {
    PutText(Writer, kLeafBytes[Leaf], Text);
  }

  // A note too long for one value goes in pieces (see kNotePieceLeaf); one
  // that fits is written as every other text, so such files do not change.
  void PutNote(detail::TContentWriter& Writer, std::u16string_view Text) {
    PutPieces(Writer, kLeafBytes[lfNote], kNotePieceLeaf, Text);
  }

  // A text under Leaf when it fits one value; else in pieces, the first under
  // Leaf and piece K (from 2) under PieceLeaf followed by K.
  void PutPieces(detail::TContentWriter& Writer, std::string_view Leaf, std::string_view PieceLeaf,
                 std::u16string_view Text) {
    if (Text.size() <= kNotePieceUnits || detail::UTF8Size(Text) <= KLStorageMaxFieldSize) {
      PutText(Writer, Leaf, Text);
      return;
    }
    std::string leaf(Leaf);
    for (std::uint32_t piece = 1; !Text.empty(); ++piece) {
      std::size_t units = std::min(Text.size(), kNotePieceUnits);
      // A surrogate pair stays whole in one piece.
      if (units < Text.size() && Text[units - 1] >= 0xD800 && Text[units - 1] <= 0xDBFF) --units;
      if (piece > 1) leaf = std::string(PieceLeaf) + std::to_string(piece);
      PutText(Writer, leaf, Text.substr(0, units));
      Text.remove_prefix(units);
    }
  }

  void PutText(detail::TContentWriter& Writer, std::string_view Leaf, std::u16string_view Text) {
    if (Text.size() > KLStorageMaxFieldSize) RaiseTooLong();
    std::uint8_t* data = Head(Leaf, vtString, 2 + 3 * Text.size());
    const std::size_t size = EncodeText(Text, data + 2);
    if (size > KLStorageMaxFieldSize) RaiseTooLong();
    data[0] = static_cast<std::uint8_t>(size);
    data[1] = static_cast<std::uint8_t>(size >> 8);
    Emit(Writer, 2 + size);
  }

  void PutLong(detail::TContentWriter& Writer, TLeaf Leaf, std::int64_t Value) { PutLong(Writer, kLeafBytes[Leaf], Value); }

  void PutLong(detail::TContentWriter& Writer, std::string_view Leaf, std::int64_t Value) {
    std::uint8_t* data = Head(Leaf, vtLong, 8);
    for (std::size_t i = 0; i < 8; ++i) {
      data[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(Value) >> (8 * i));
    }
    Emit(Writer, 8);
  }

  void PutBool(detail::TContentWriter& Writer, std::string_view Leaf, bool Value) {
    Head(Leaf, vtBool, 1)[0] = Value ? 1 : 0;
    Emit(Writer, 1);
  }

  // Size is at most a field's 65,535 bytes.
  void PutBlob(detail::TContentWriter& Writer, std::string_view Leaf, const std::uint8_t* Data, std::size_t Size) {
    std::uint8_t* data = Head(Leaf, vtBlob, 2 + Size);
    data[0] = static_cast<std::uint8_t>(Size);
    data[1] = static_cast<std::uint8_t>(Size >> 8);
    if (Size != 0) std::memcpy(data + 2, Data, Size);
    Emit(Writer, 2 + Size);
  }

private:
  // Writes the key and type code after the records composed so far, with
  // room for Data more bytes; returns where the data goes.
  std::uint8_t* Head(std::string_view Leaf, std::uint8_t Type, std::size_t Data) {
    const std::string_view leaf = Leaf;
    const std::size_t keySize = FPrefix.size() + leaf.size();
    if (keySize > KLStorageMaxFieldSize) RaiseTooLong();
    FScratch.Ensure(3 + keySize + Data);
    std::uint8_t* record = FScratch.End();
    record[0] = static_cast<std::uint8_t>(keySize);
    record[1] = static_cast<std::uint8_t>(keySize >> 8);
    std::memcpy(record + 2, FPrefix.data(), FPrefix.size());
    std::memcpy(record + 2 + FPrefix.size(), leaf.data(), leaf.size());
    record[2 + keySize] = Type;
    FView.Bytes = record;
    FView.KeySize = static_cast<std::uint16_t>(keySize);
    FView.Type = Type;
    return record + 3 + keySize;
  }

  void Emit(detail::TContentWriter& Writer, std::size_t Data) {
    FView.Size = static_cast<std::uint32_t>(3 + FView.KeySize + Data);
    FScratch.Advance(FView.Size);
    Writer.PutRecord(FView);
  }

  std::string FPrefix; // group "/" position, in UTF-8
  detail::TContentBuffer FScratch;
  detail::TRecordView FView;
};

// What a record carries beyond the eight leaves, as the save sees it.
struct TRecordAttachment {
  const String* Name;
  const ByteArray* Data;
  std::int64_t Ref; // a version's reference to bytes written before (AttachmentRef), or 0
};

struct TRecordExtras {
  const TKLPassUuid* Uuid; // none for a version
  const std::vector<TKLPassField>& Fields;
  const std::vector<String>& Tags;
  bool Expires;
  std::int64_t Expiry;
  std::int64_t Location;
  std::vector<TRecordAttachment> Attachments;
};

// The leaves beyond the eight, after Prefix (empty for the record, "/hist.N"
// for a version); those a record does not use are not written, so that a
// record without the new data is stored as before, but for its UUID.
void PutExtras(TRecordComposer& composer, detail::TContentWriter& Writer, const TRecordExtras& Rec,
               const std::string& Prefix = std::string()) {
  if (Rec.Uuid != nullptr) composer.PutBlob(Writer, kUuidLeaf, Rec.Uuid->data(), Rec.Uuid->size());
  for (std::size_t i = 0; i < Rec.Fields.size(); ++i) {
    const TKLPassField& field = Rec.Fields[i];
    const std::string prefix = Prefix + "/field." + std::to_string(i + 1);
    composer.PutText(Writer, prefix + "/name", field.Name);
    composer.PutPieces(Writer, prefix + "/value", prefix + "/value.", field.Value);
    if (field.Protected) composer.PutBool(Writer, prefix + "/protected", true);
  }
  for (std::size_t i = 0; i < Rec.Tags.size(); ++i) {
    composer.PutText(Writer, Prefix + "/tag." + std::to_string(i + 1), Rec.Tags[i]);
  }
  if (Rec.Expires) composer.PutBool(Writer, Prefix + "/expires", true);
  if (Rec.Expiry != 0) composer.PutLong(Writer, Prefix + "/expiry", Rec.Expiry);
  if (Rec.Location != 0) composer.PutLong(Writer, Prefix + "/ldate", Rec.Location);
  for (std::size_t i = 0; i < Rec.Attachments.size(); ++i) {
    const auto [name, bytes, ref] = Rec.Attachments[i];
    const std::string prefix = Prefix + "/attach." + std::to_string(i + 1);
    composer.PutText(Writer, prefix + "/name", *name);
    if (ref != 0) {
      composer.PutLong(Writer, prefix + "/same", ref);
      continue;
    }
    const std::uint8_t* data = bytes->data();
    std::size_t left = bytes->size();
    std::uint32_t piece = 1;
    do {
      const std::size_t size = std::min(left, detail::kAttachmentPieceSize);
      composer.PutBlob(Writer, piece == 1 ? prefix + "/data" : prefix + "/data." + std::to_string(piece), data, size);
      data += size;
      left -= size;
      ++piece;
    } while (left != 0);
  }
}

// The bytes the extra leaves of Rec add to the content at most, beyond
// their keys' shared prefix, counting texts as ASCII (the writer's estimate).
std::size_t ExtrasEstimate(const std::vector<TKLPassField>& Fields, const std::vector<String>& Tags,
                           std::size_t Attachments, std::size_t AttachmentBytes, std::size_t Prefix) {
  std::size_t size = 3 * (3 + Prefix + 10) + 18 + 8 + 1 + 1;
  for (const TKLPassField& field : Fields) {
    const std::size_t pieces = field.Value.size() / kNotePieceUnits;
    size += (3 + pieces) * (3 + Prefix + 24) + field.Name.size() + field.Value.size() + 5;
  }
  for (const String& tag : Tags) size += 3 + Prefix + 16 + tag.size();
  const std::size_t pieces = Attachments + AttachmentBytes / detail::kAttachmentPieceSize;
  return size + (Attachments + pieces) * (3 + Prefix + 28 + 2) + AttachmentBytes;
}

} // namespace

void TKLPassStorage::SetKdfParameters(const TKLKdfParameters& Value) {
  detail::CheckKdfParameters(Value);
  FKdf = Value;
}

void TKLPassStorage::SetSaveVersion(std::uint8_t Value) {
  detail::CheckSaveVersion(Value);
  FSaveVersion = Value;
}

// Refuses a group that the saved form cannot carry before anything is
// written: a path with an empty name could not be told from another.
void TKLPassStorage::CheckSavableGroups() const {
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    if (!IsValidGroupPath(GetRecord(i)->FGroup)) throw EKLPassStorageException(SWrongGroupName);
  }
}

// Each text is read in place, stamping no access time, and written as it is.
// The content is built whole before the first byte is written, so that a
// refused save leaves the stream as it was.
void TKLPassStorage::SaveToStream(TStream& Strm, const String& Password) {
  if (FSaveFormat == pfKdbx) {
    SaveKdbx(Strm, Password);
    EndEdits();
    return;
  }
  CheckSavableGroups();
  // Room for the content when every character is ASCII, plus the largest
  // single value in its widest form: the writer then does not grow (and copy
  // secrets) for the usual vault.
  std::size_t estimate = 256;
  std::size_t widest = 0;
  for (const TKLPassGroup& group : FGroups) {
    estimate += 3 * 24 + kGroupBytes + group.Path.size() + group.Name.size() + group.Notes.size();
  }
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    const TKLPassRecord& rec = *GetRecord(i);
    const std::size_t group = 2 * rec.FGroup.size() + 20; // "/" i, at most 11 characters; the path leaf
    estimate += 8 * (3 + group) + 42 + 5 * 2 + 3 * 8; // counts, types, leaf names, longs
    for (const String* text : {&rec.FTitle, &rec.FUsername, &rec.FPassword, &rec.FURL, &rec.FNote}) {
      estimate += text->size();
      widest = std::max(widest, text->size() + group);
    }
    std::size_t attachmentBytes = 0; // names included
    for (const auto& attachment : rec.FAttachments) attachmentBytes += attachment.Name.size() + attachment.Data->size();
    estimate += ExtrasEstimate(rec.FCustomFields, rec.FTags, rec.FAttachments.size(), attachmentBytes, group);
    for (const TKLPassField& field : rec.FCustomFields) {
      widest = std::max(widest, std::min(field.Value.size(), kNotePieceUnits) + group);
    }
    for (const auto& version : rec.FHistory) {
      const std::size_t prefix = group + 16; // "/hist.N"
      estimate += 8 * (3 + prefix) + 42 + 5 * 2 + 3 * 8;
      std::size_t own = 0;
      for (const String* text : {&version->FTitle, &version->FUsername, &version->FPassword, &version->FURL,
                                 &version->FNote}) {
        estimate += text->size();
        widest = std::max(widest, text->size() + prefix);
      }
      for (const auto& attachment : version->FAttachments) {
        own += attachment.Name.size() + 8;
        const bool shared = std::any_of(rec.FAttachments.begin(), rec.FAttachments.end(),
                                        [&](const auto& held) { return held.Data == attachment.Data; });
        if (!shared) own += attachment.Data->size();
      }
      estimate += ExtrasEstimate(version->FCustomFields, version->FTags, version->FAttachments.size(), own, prefix);
    }
  }
  estimate += FDeleted.size() * (3 + 16 + 2 + KLPassUuidSize + 8) + 256;
  detail::TContentWriter writer(estimate + 3 * widest);
  static constexpr TKLPassRecord::TField kTexts[] = {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername,
                                                     &TKLPassRecord::FPassword, &TKLPassRecord::FURL,
                                                     &TKLPassRecord::FNote};
// Each version's attachment whose bytes the record or an earlier version
// holds is written as a reference to it, so that bytes that several versions
// share are stored once.
  const auto putVersions = [](TRecordComposer& composer, detail::TContentWriter& Writer, const TKLPassRecord& Rec) {
  std::unordered_map<const SecureBytes*, std::int64_t> written;
  for (std::size_t k = 0; k < Rec.FAttachments.size(); ++k) {
    written.emplace(Rec.FAttachments[k].Data.get(), detail::AttachmentRef(0, static_cast<std::uint32_t>(k + 1)));
  }
  for (std::size_t v = 0; v < Rec.FHistory.size(); ++v) {
    const TKLPassRecord& version = *Rec.FHistory[v];
    const std::string prefix = std::string(kVersionLeaf) + std::to_string(v + 1);
    composer.PutText(Writer, prefix + "/title", version.FTitle);
    composer.PutText(Writer, prefix + "/name", version.FUsername);
    composer.PutText(Writer, prefix + "/pwd", version.FPassword);
    composer.PutText(Writer, prefix + "/url", version.FURL);
    composer.PutPieces(Writer, prefix + "/note", prefix + "/note.", version.FNote);
    composer.PutLong(Writer, prefix + "/cdate", version.FCreationDate);
    composer.PutLong(Writer, prefix + "/mdate", version.FModificationDate);
    composer.PutLong(Writer, prefix + "/adate", version.FLastAccessDate);
    std::vector<TRecordAttachment> attachments;
    for (std::size_t k = 0; k < version.FAttachments.size(); ++k) {
      const auto& attachment = version.FAttachments[k];
      const auto [it, added] = written.emplace(attachment.Data.get(),
                                               detail::AttachmentRef(static_cast<std::uint32_t>(v + 1),
                                                                     static_cast<std::uint32_t>(k + 1)));
      attachments.push_back(TRecordAttachment{&attachment.Name, &attachment.Data->Get(), added ? 0 : it->second});
    }
    PutExtras(composer, Writer,
              TRecordExtras{nullptr, version.FCustomFields, version.FTags, version.FExpires, version.FExpiryDate,
                            version.FLocationChangeDate, std::move(attachments)},
              prefix);
  }
  };
  // The vault's own values.
  const auto putVaultValues = [this](TRecordComposer& composer, detail::TContentWriter& Writer) {
  composer.BeginVault();
  for (std::size_t i = 0; i < FDeleted.size(); ++i) {
    std::uint8_t bytes[KLPassUuidSize + 8];
    std::memcpy(bytes, FDeleted[i].Uuid.data(), KLPassUuidSize);
    PutLE64(bytes + KLPassUuidSize, FDeleted[i].DeletionDate);
    composer.PutBlob(Writer, std::string(kDeletedKey) + std::to_string(i + 1), bytes, sizeof(bytes));
  }
  if (!FRecycleBinEnabled) composer.PutBool(Writer, kRecycleBinKey, false);
  if (FRecycleBinGroup != DefaultRecycleBinGroup) {
    bool nested = false;
    const String top = KeyGroupOf(FRecycleBinGroup, nested);
    if (nested) {
      composer.PutText(Writer, kRecycleBinPathKey, FRecycleBinGroup);
    } else {
      composer.PutText(Writer, kRecycleBinGroupKey, top);
    }
  }
  for (std::size_t i = 0; i < FGroups.size(); ++i) {
    const TKLPassGroup& group = FGroups[i];
    const std::string key = std::string(kGroupKey) + std::to_string(i + 1);
    std::uint8_t bytes[kGroupBytes];
    std::memcpy(bytes, group.Uuid.data(), KLPassUuidSize);
    const std::int64_t times[] = {group.CreationDate, group.ModificationDate, group.LastAccessDate,
                                  group.LocationChangeDate, group.ExpiryDate};
    for (std::size_t t = 0; t < 5; ++t) PutLE64(bytes + KLPassUuidSize + 8 * t, times[t]);
    bytes[kGroupBytes - 1] = group.Expires ? 1 : 0;
    composer.PutBlob(Writer, key, bytes, sizeof(bytes));
    composer.PutText(Writer, key + ".path", group.Path);
    if (!group.Name.empty()) composer.PutText(Writer, key + ".name", group.Name);
    if (!group.Notes.empty()) composer.PutPieces(Writer, key + ".notes", key + ".notes.", group.Notes);
  }
  if (FHistoryMaxItems != KLPassDefaultHistoryMaxItems) composer.PutLong(Writer, kHistoryItemsKey, FHistoryMaxItems);
  if (FHistoryMaxBytes != KLPassDefaultHistoryMaxBytes) composer.PutLong(Writer, kHistoryBytesKey, FHistoryMaxBytes);
};
  TRecordComposer composer;
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    TKLPassRecord& rec = *GetRecord(i);
    bool nested = false;
    composer.Begin(KeyGroupOf(rec.FGroup, nested), i);
    for (std::size_t t = 0; t + 1 < std::size(kTexts); ++t) {
      composer.PutText(writer, static_cast<TLeaf>(lfTitle + t), rec.ReadField(kTexts[t]));
    }
    composer.PutNote(writer, rec.ReadField(&TKLPassRecord::FNote));
    composer.PutLong(writer, lfCDate, rec.FCreationDate);
    composer.PutLong(writer, lfMDate, rec.FModificationDate);
    composer.PutLong(writer, lfADate, rec.FLastAccessDate);
    std::vector<TRecordAttachment> attachments;
    for (const auto& attachment : rec.FAttachments) {
      attachments.push_back(TRecordAttachment{&attachment.Name, &attachment.Data->Get(), 0});
    }
    PutExtras(composer, writer,
              TRecordExtras{&rec.FUuid, rec.FCustomFields, rec.FTags, rec.FExpires, rec.FExpiryDate,
                            rec.FLocationChangeDate, std::move(attachments)});
    if (nested) composer.PutText(writer, kGroupLeaf, rec.FGroup);
    if (!rec.FHistory.empty()) putVersions(composer, writer, rec);
  }
  putVaultValues(composer, writer);
  writer.Finish();
  // The kept key changes only with a save that succeeded.
  std::shared_ptr<detail::TStorageKey> kept = FKey;
  detail::WriteStorageFile(Strm, Password, detail::TStorageFileOptions{FKdf, FAllowLegacyFormat, FSaveVersion},
                           *GetRandomGenerator(), kept, writer.Buffer());
  FKey = std::move(kept);
  EndEdits();
}

// The records are made aside as their values are read, and join the store
// only once every one of them is whole.
void TKLPassStorage::LoadFromStream(TStream& Strm, const String& Password) {
  // KDBX files are told by their signature; the stream is put back where it was.
  const std::int64_t start = Strm.GetPosition();
  std::uint8_t head[8];
  const std::int32_t got = Strm.Read(head, sizeof(head));
  Strm.SetPosition(start);
  if (detail::IsKdbxSignature(head, static_cast<std::size_t>(std::max(got, 0)))) return LoadKdbx(Strm, Password);
  detail::TLoadedContent loaded = detail::ReadStorageFile(
      Strm, Password, detail::TStorageFileOptions{FKdf, FAllowLegacyFormat, FSaveVersion}, FKey);
  static constexpr TRecordFields kFields{
      {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername, &TKLPassRecord::FPassword, &TKLPassRecord::FURL,
       &TKLPassRecord::FNote},
      {&TKLPassRecord::FCreationDate, &TKLPassRecord::FModificationDate, &TKLPassRecord::FLastAccessDate},
      &TKLPassRecord::FUuid,
      [] { return std::unique_ptr<TKLPassRecord>(new TKLPassRecord(TKLPassRecord::TBlank{})); }};
  TRecordIndex index(loaded.Buffer->Data(), loaded.Size, loaded.Records, kFields);
  // A record's versions, numbered from 1 without a gap, each whole; an
  // attachment reference names the record's own attachment or one of an
  // earlier version.
  const auto applyVersions = [](TPendingRecord& Pending, const String& Group) {
    TKLPassRecord& rec = *Pending.Rec;
    rec.FHistory.reserve(Pending.Versions.size());
    std::uint32_t expected = 1;
    for (auto& [number, version] : Pending.Versions) {
      if (number != expected++ || !version->IsWhole()) RaiseCorrupted();
      JoinNotePieces(*version, kFields.Texts[lfNote]);
      const std::uint32_t self = number;
      const auto resolve = [&rec, self](std::int64_t Ref) -> std::shared_ptr<const SecureBytes> {
        const auto from = static_cast<std::uint32_t>(static_cast<std::uint64_t>(Ref) >> 32);
        const auto k = static_cast<std::uint32_t>(static_cast<std::uint64_t>(Ref) & 0xFFFFFFFFu);
        if (Ref < 0 || from >= self) RaiseCorrupted();
        const TKLPassRecord& holder = from == 0 ? rec : *rec.FHistory[from - 1];
        if (k == 0 || k > holder.FAttachments.size()) RaiseCorrupted();
        return holder.FAttachments[k - 1].Data;
      };
      if (version->Extras) version->Extras->Apply(*version->Rec, resolve);
      version->Rec->FIsVersion = true;
      version->Rec->FGroup = Group;
      version->Rec->FUuid = rec.FUuid;
      rec.FHistory.push_back(std::move(version->Rec));
    }
    Pending.Versions.clear();
  };
  // The vault's own values; unknown ones are skipped, as unknown leaves are.
  std::vector<TKLPassDeletedObject> deleted;
  std::optional<bool> recycleBin;
  std::optional<String> recycleBinGroup;
  std::optional<std::int64_t> historyItems, historyBytes;
  // The listed groups by number: what "group.N" holds, its path, name and
  // notes with their pieces.
  struct TPendingGroupInfo {
    std::optional<TKLPassGroup> Group;
    std::optional<String> Path;
    String Name;
    std::vector<std::pair<std::uint32_t, String>> Notes; // piece 1 is "group.N.notes"
  };
  std::map<std::uint32_t, TPendingGroupInfo> listed;
  for (const detail::TRecordView& value : index.VaultValues()) {
    const std::string_view key = value.KeyBytes();
    if (key.starts_with(kDeletedKey)) {
      if (value.Type != vtBlob || value.CountedSize() != KLPassUuidSize + 8) RaiseCorrupted();
      TKLPassDeletedObject& object = deleted.emplace_back();
      std::memcpy(object.Uuid.data(), value.Counted(), KLPassUuidSize);
      object.DeletionDate = LE64(value.Counted() + KLPassUuidSize);
    } else if (key == kRecycleBinKey) {
      if (value.Type != vtBool || value.Data()[0] > 1) RaiseCorrupted();
      recycleBin = value.Bool();
    } else if (key == kRecycleBinGroupKey || key == kRecycleBinPathKey) {
      if (value.Type != vtString) RaiseCorrupted();
      const String text = Decode(value.Counted(), value.CountedSize());
      String path = key == kRecycleBinPathKey ? text : GroupPathChild(String(), text);
      if (path.empty() || !IsValidGroupPath(path)) RaiseCorrupted();
      if (!recycleBinGroup || key == kRecycleBinPathKey) recycleBinGroup = std::move(path);
    } else if (key.starts_with(kGroupKey)) {
      std::string_view rest;
      const std::uint32_t number = GroupNumber(key, rest);
      TPendingGroupInfo& info = listed[number];
      if (rest.empty()) {
        if (value.Type != vtBlob || value.CountedSize() != kGroupBytes || value.Counted()[kGroupBytes - 1] > 1) {
          RaiseCorrupted();
        }
        TKLPassGroup group;
        std::memcpy(group.Uuid.data(), value.Counted(), KLPassUuidSize);
        const std::uint8_t* times = value.Counted() + KLPassUuidSize;
        group.CreationDate = LE64(times);
        group.ModificationDate = LE64(times + 8);
        group.LastAccessDate = LE64(times + 16);
        group.LocationChangeDate = LE64(times + 24);
        group.ExpiryDate = LE64(times + 32);
        group.Expires = value.Counted()[kGroupBytes - 1] == 1;
        info.Group = std::move(group);
      } else if (rest == ".path" || rest == ".name" || rest == ".notes" || rest.starts_with(".notes.")) {
        if (value.Type != vtString) RaiseCorrupted();
        String text = Decode(value.Counted(), value.CountedSize());
        if (rest == ".path") {
          info.Path = std::move(text);
        } else if (rest == ".name") {
          info.Name = std::move(text);
        } else {
          std::uint32_t piece = 1;
          if (rest != ".notes") {
            const std::string_view digits = rest.substr(7);
            const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), piece);
            if (error != std::errc() || stop != digits.data() + digits.size() || digits[0] == '0' || piece < 2 ||
                piece > kMaxGroups) {
              RaiseCorrupted();
            }
          }
          info.Notes.emplace_back(piece, std::move(text));
        }
      }
    } else if (key == kHistoryItemsKey || key == kHistoryBytesKey) {
      if (value.Type != vtLong) RaiseCorrupted();
      std::int64_t bound = value.Long();
      if (key == kHistoryItemsKey) {
        historyItems = std::clamp<std::int64_t>(bound, -1, INT32_MAX);
      } else {
        historyBytes = std::max<std::int64_t>(bound, -1);
      }
    }
  }
  // The listed groups: numbered from 1 without a gap, each with its bytes and
  // path, no path twice, the notes' pieces without a gap.
  std::vector<TKLPassGroup> groups;
  groups.reserve(listed.size());
  {
    std::uint32_t expected = 1;
    std::unordered_set<String> paths;
    for (auto& [number, info] : listed) {
      if (number != expected++ || !info.Path || !IsValidGroupPath(*info.Path) || paths.contains(*info.Path)) {
        RaiseCorrupted();
      }
      if (!info.Group) RaiseCorrupted();
      // A saved list holds each group's parent before it (the root needs no
      // entry): a load makes no group the file does not list, so a hostile
      // file of deep paths costs no more memory than its own bytes.
      std::vector<String> names = SplitGroupPath(*info.Path);
      if (names.size() > 1) {
        names.pop_back();
        if (!paths.contains(JoinGroupPath(names))) RaiseCorrupted();
      }
      paths.insert(*info.Path);
      TKLPassGroup& group = groups.emplace_back(std::move(*info.Group));
      group.Path = std::move(*info.Path);
      if (group.Path.empty()) group.Name = std::move(info.Name);
      std::sort(info.Notes.begin(), info.Notes.end(),
                [](const auto& A, const auto& B) { return A.first < B.first; });
      std::uint32_t piece = 1;
      for (auto& [n, text] : info.Notes) {
        if (n != piece++) RaiseCorrupted();
        group.Notes += text;
      }
    }
  }
  std::vector<std::unique_ptr<TKLPassRecord>> made;
  made.reserve(index.GetRecordCount());
  std::vector<TKLPassRecord*> withoutUuid;
  // Each record's number in file order, for the regrouping below.
  std::vector<std::uint32_t> fileOrder;
  fileOrder.reserve(index.GetRecordCount());
  bool anyPath = false;
  for (const TPendingGroup& group : index.Groups()) {
    // Only a key beginning with "/" gives such a group; its records could
    // never be saved again.
    if (group.Name[0] == '/') RaiseCorrupted();
    const String name = Decode(reinterpret_cast<const std::uint8_t*>(group.Name.data()), group.Name.size());
    const String top = GroupPathChild(String(), name);
    for (std::uint32_t r = group.First; r != 0; r = index.Record(r).Next) {
      TPendingRecord& pending = index.Record(r);
      if (!pending.IsWhole()) RaiseCorrupted();
      if (pending.Path && !IsValidGroupPath(*pending.Path)) RaiseCorrupted();
      const String& path = pending.Path ? *pending.Path : top;
      JoinNotePieces(pending, kFields.Texts[lfNote]);
      if (pending.Extras) pending.Extras->Apply(*pending.Rec);
      if (!pending.Versions.empty()) applyVersions(pending, path);
      if (!pending.HasUuid) withoutUuid.push_back(pending.Rec.get());
      pending.Rec->FGroup = path;
      anyPath = anyPath || pending.Path.has_value();
      fileOrder.push_back(r);
      made.push_back(std::move(pending.Rec));
    }
  }
  // Records lie grouped by their key group, which two paths may share (the
  // root's records and those of "General"; a nested "A/B" and an earlier
  // release's one group named with U+2215). Grouped by path instead, each
  // path where its first record lies in the file, they come back in the
  // order of a listing grouped by path before the save, so that the numbers
  // people are shown stay the same.
  if (anyPath) {
    std::unordered_map<String, std::uint32_t> first;
    for (std::size_t i = 0; i < made.size(); ++i) {
      const auto [at, added] = first.try_emplace(made[i]->FGroup, fileOrder[i]);
      if (!added) at->second = std::min(at->second, fileOrder[i]);
    }
    std::vector<std::size_t> order(made.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
      const std::uint32_t fa = first[made[A]->FGroup], fb = first[made[B]->FGroup];
      return fa != fb ? fa < fb : fileOrder[A] < fileOrder[B];
    });
    std::vector<std::unique_ptr<TKLPassRecord>> regrouped;
    regrouped.reserve(made.size());
    for (const std::size_t i : order) regrouped.push_back(std::move(made[i]));
    made.swap(regrouped);
  }
  GiveUuids(withoutUuid);
  for (TKLPassRecord* rec : withoutUuid) {
    for (auto& version : rec->FHistory) version->FUuid = rec->FUuid;
  }
  if (loaded.Key) {
    FKdf = loaded.Key->GetParameters();
    FKey = std::move(loaded.Key);
  }
  FLoadedVersion = loaded.Version;
  FDeleted.reserve(FDeleted.size() + deleted.size());
  PutGroups(groups);
  TakeAll(made);
  FDeleted.insert(FDeleted.end(), deleted.begin(), deleted.end());
  if (recycleBin) FRecycleBinEnabled = *recycleBin;
  if (recycleBinGroup) FRecycleBinGroup = std::move(*recycleBinGroup);
  if (historyItems) FHistoryMaxItems = static_cast<std::int32_t>(*historyItems);
  if (historyBytes) FHistoryMaxBytes = *historyBytes;
}

// One draw from the store's generator for all of them.
void TKLPassStorage::GiveUuids(const std::vector<TKLPassRecord*>& Recs) {
  constexpr std::size_t kBatch = 4096;
  std::vector<std::uint8_t> bytes;
  for (std::size_t first = 0; first < Recs.size(); first += kBatch) {
    const std::size_t count = std::min(kBatch, Recs.size() - first);
    bytes.resize(count * KLPassUuidSize);
    GetRandomGenerator()->Generate(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    for (std::size_t i = 0; i < count; ++i) {
      std::memcpy(Recs[first + i]->FUuid.data(), bytes.data() + i * KLPassUuidSize, KLPassUuidSize);
    }
  }
}

void TKLPassStorage::SaveToFile(const String& FileName, const String& Password) {
  CheckSavableGroups();
  const auto writer = [&](TStream& Strm) { SaveToStream(Strm, Password); };
  if (FRefuseChangedFile && FileName == FFileName) {
    FFileStamp = SaveFileAtomically(FileName, writer, FFileStamp);
  } else {
    SaveFileAtomically(FileName, writer);
    FFileStamp = TFileStamp::Of(FileName);
  }
  FFileName = FileName;
}

// The stamp is taken before the file is read: a save that raced with the read
// makes the later change check refuse, never miss.
void TKLPassStorage::LoadFromFile(const String& FileName, const String& Password) {
  const TFileStamp stamp = TFileStamp::Of(FileName);
  TFileStream file(FileName, fmOpenRead);
  LoadFromStream(file, Password);
  FFileName = FileName;
  FFileStamp = stamp;
}

} // namespace kl
