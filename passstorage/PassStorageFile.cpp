#include <array>
#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/Clock.h"
#include "foundation/Convert.h"
#include "foundation/FileStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"
#include "storage/StorageFormat.h"

namespace kl {

namespace {

// The eight values of a record, each under the record's key followed by its
// leaf name, in the order in which they are written.
enum TLeaf : std::size_t { lfTitle, lfName, lfPwd, lfURL, lfNote, lfCDate, lfMDate, lfADate, lfCount };

constexpr std::array<std::u16string_view, lfCount> kLeafNames = {u"/title", u"/name",  u"/pwd",   u"/url",
                                                                 u"/note",  u"/cdate", u"/mdate", u"/adate"};

std::size_t LeafIndex(std::u16string_view Leaf) noexcept {
  for (std::size_t i = 0; i < lfCount; ++i) {
    if (kLeafNames[i] == Leaf) return i;
  }
  return lfCount;
}

[[noreturn]] void RaiseCorrupted() { throw EKLPassStorageException(SStorageCorrupted); }

// A record key (group "/" position) met in a loaded storage, with the first
// value found under each of its leaves; only those are read, as a lookup
// would. Views point into the keys of the storage's values, which stay put
// while the records are made.
struct TPendingRecord {
  std::u16string_view Key;
  std::array<const TKLValue*, lfCount> Leaves{};
  std::size_t Next = 0; // the next record of the same group, 0 for none
};

struct TPendingGroup {
  std::u16string_view Name;
  std::size_t First = 0; // records are numbered from 1 so that 0 ends a chain
  std::size_t Last = 0;
};

// Sorts the keys of a loaded storage into groups and records in one pass,
// each in order of first occurrence. A key G "/" i "/" leaf belongs to the
// record G "/" i; a key G "/" i with no leaf names a record that has no values
// and so fails as corrupted when it is reached. A key with no group separator
// after its first character, or one ending right after it, lies under no
// record. The group is found from the second character on, as a listing of
// the root does, so a key beginning with "/" yields a group beginning with
// "/", never the empty group.
class TRecordIndex {
public:
  explicit TRecordIndex(const TKLStorage& Storage) {
    FRecords.emplace_back(); // index 0 stands for "none"
    for (std::int32_t i = 0; i < Storage.GetCount(); ++i) Place(*Storage.GetValue(i));
  }

  const std::vector<TPendingGroup>& Groups() const noexcept { return FGroups; }
  const TPendingRecord& Record(std::size_t Index) const noexcept { return FRecords[Index]; }

private:
  void Place(const TKLValue& Value) {
    const std::u16string_view key = Value.GetKey();
    const std::size_t groupEnd = key.find(u'/', 1);
    if (groupEnd == std::u16string_view::npos || groupEnd + 1 == key.size()) return;
    const std::size_t recordEnd = key.find(u'/', groupEnd + 1);
    const std::u16string_view recordKey = key.substr(0, recordEnd);
    TPendingRecord& rec = FRecords[RecordFor(recordKey, key.substr(0, groupEnd))];
    if (recordEnd == std::u16string_view::npos) return;
    const std::size_t leaf = LeafIndex(key.substr(recordEnd));
    if (leaf < lfCount && rec.Leaves[leaf] == nullptr) rec.Leaves[leaf] = &Value;
  }

  // The eight values of a record usually follow one another, so the last
  // record found is tried before the hash.
  std::size_t RecordFor(std::u16string_view RecordKey, std::u16string_view Group) {
    if (FLastRecord != 0 && FRecords[FLastRecord].Key == RecordKey) return FLastRecord;
    auto [it, added] = FRecordIndex.try_emplace(RecordKey, FRecords.size());
    if (added) {
      FRecords.push_back(TPendingRecord{RecordKey, {}, 0});
      Chain(GroupFor(Group), it->second);
    }
    FLastRecord = it->second;
    return it->second;
  }

  TPendingGroup& GroupFor(std::u16string_view Group) {
    auto [it, added] = FGroupIndex.try_emplace(Group, FGroups.size());
    if (added) FGroups.push_back(TPendingGroup{Group, 0, 0});
    return FGroups[it->second];
  }

  void Chain(TPendingGroup& Group, std::size_t Record) noexcept {
    if (Group.Last == 0) {
      Group.First = Record;
    } else {
      FRecords[Group.Last].Next = Record;
    }
    Group.Last = Record;
  }

  std::vector<TPendingRecord> FRecords;
  std::vector<TPendingGroup> FGroups;
  std::unordered_map<std::u16string_view, std::size_t> FRecordIndex;
  std::unordered_map<std::u16string_view, std::size_t> FGroupIndex;
  std::size_t FLastRecord = 0;
};

const String& TextOf(const TPendingRecord& Rec, TLeaf Leaf) {
  const auto* value = dynamic_cast<const TKLStringValue*>(Rec.Leaves[Leaf]);
  if (value == nullptr || value->GetValueType() != vtString) RaiseCorrupted();
  return value->GetValue();
}

std::int64_t LongOf(const TPendingRecord& Rec, TLeaf Leaf) {
  const auto* value = dynamic_cast<const TKLLongValue*>(Rec.Leaves[Leaf]);
  if (value == nullptr || value->GetValueType() != vtLong) RaiseCorrupted();
  return value->GetValue();
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

// The storage a save or load goes through takes this store's settings and
// its kept key.
void TKLPassStorage::Configure(TKLStorage& Storage) const {
  Storage.SetRandomGenerator(GetRandomGenerator());
  Storage.FKdf = FKdf;
  Storage.FAllowLegacyFormat = FAllowLegacyFormat;
  Storage.FSaveVersion = FSaveVersion;
  Storage.FKey = FKey;
}

// Refuses a group that the saved form cannot carry before anything is
// written: the empty group would give keys beginning with "/", and a "/"
// inside a name would shift the key's elements; neither could be loaded back.
void TKLPassStorage::CheckSavableGroups() const {
  for (const TKLPassRecord* rec : FList) {
    const String& group = rec->FGroup;
    if (group.empty() || group.find(u'/') != String::npos) throw EKLPassStorageException(SWrongGroupName);
  }
}

// Each text is read through the record (stamping its access time with this
// save's time, which is then written as the access time) and written in place.
void TKLPassStorage::SaveToStream(TStream& Strm, const String& Password) {
  CheckSavableGroups();
  TKLStorage storage;
  Configure(storage);
  const std::int64_t now = NowUnixSeconds();
  static constexpr TKLPassRecord::TField kTexts[] = {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername,
                                                     &TKLPassRecord::FPassword, &TKLPassRecord::FURL,
                                                     &TKLPassRecord::FNote};
  String key;
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    TKLPassRecord& rec = *FList.Get(i);
    key = rec.ReadField(&TKLPassRecord::FGroup, now);
    key += u'/';
    key += IntToStr(i);
    const std::size_t base = key.size();
    auto leafKey = [&](TLeaf Leaf) -> const String& {
      key.resize(base);
      key += kLeafNames[Leaf];
      return key;
    };
    for (std::size_t t = 0; t < std::size(kTexts); ++t) {
      storage.PutString(leafKey(static_cast<TLeaf>(lfTitle + t)), rec.ReadField(kTexts[t], now), false);
    }
    storage.PutLong(leafKey(lfCDate), rec.FCreationDate, false);
    storage.PutLong(leafKey(lfMDate), rec.FModificationDate, false);
    storage.PutLong(leafKey(lfADate), rec.FLastAccessDate, false);
  }
  storage.SaveToStream(Strm, Password);
  FKey = storage.FKey;
}

// The records are made aside and join the store only once all of them are.
void TKLPassStorage::LoadFromStream(TStream& Strm, const String& Password) {
  TKLStorage storage;
  Configure(storage);
  storage.LoadFromStream(Strm, Password);
  const TRecordIndex index(storage);
  std::vector<std::unique_ptr<TKLPassRecord>> loaded;
  for (const TPendingGroup& group : index.Groups()) {
    // Only a key beginning with "/" gives such a group; its records could
    // never be saved again.
    if (group.Name.find(u'/') != std::u16string_view::npos) RaiseCorrupted();
    for (std::size_t r = group.First; r != 0; r = index.Record(r).Next) {
      const TPendingRecord& pending = index.Record(r);
      auto rec =
          std::make_unique<TKLPassRecord>(TextOf(pending, lfTitle), TextOf(pending, lfName), TextOf(pending, lfPwd),
                                          TextOf(pending, lfURL), TextOf(pending, lfNote), String(group.Name));
      rec->FCreationDate = LongOf(pending, lfCDate);
      rec->FModificationDate = LongOf(pending, lfMDate);
      rec->FLastAccessDate = LongOf(pending, lfADate);
      loaded.push_back(std::move(rec));
    }
  }
  FKey = storage.FKey;
  FKdf = storage.GetKdfParameters();
  FLoadedVersion = storage.GetLoadedVersion();
  TakeAll(loaded);
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
