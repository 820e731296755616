#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/Clock.h"
#include "foundation/Convert.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageFormat.h"

namespace kl {

namespace {

// The eight values of a record, each under the record's key followed by its
// leaf name, in the order in which they are written.
enum TLeaf : std::size_t { lfTitle, lfName, lfPwd, lfURL, lfNote, lfCDate, lfMDate, lfADate, lfCount };

constexpr std::array<std::u16string_view, lfCount> kLeafNames = {u"/title", u"/name",  u"/pwd",   u"/url",
                                                                 u"/note",  u"/cdate", u"/mdate", u"/adate"};
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

// The value record that starts at Bytes, in content already checked.
detail::TRecordView RecordAt(const std::uint8_t* Bytes) noexcept {
  detail::TRecordView view;
  view.Bytes = Bytes;
  view.KeySize = static_cast<std::uint16_t>(Bytes[0] | Bytes[1] << 8);
  view.Type = Bytes[2 + view.KeySize];
  return view;
}

// A record key (group "/" position) met in a loaded storage, with the first
// value record found under each of its leaves; only those are read, as a
// lookup would. Keys are the UTF-8 bytes of the records in the loaded content,
// which stays put while the records are made.
struct TPendingRecord {
  std::string_view Key;
  std::array<const std::uint8_t*, lfCount> Leaves{};
  std::size_t Next = 0; // the next record of the same group, 0 for none
};

struct TPendingGroup {
  std::string_view Name;
  std::size_t First = 0; // records are numbered from 1 so that 0 ends a chain
  std::size_t Last = 0;
};

// Sorts the value records of loaded content into groups and records in one
// pass, each in order of first occurrence. A key G "/" i "/" leaf belongs to
// the record G "/" i; a key G "/" i with no leaf names a record that has no
// values and so fails as corrupted when it is reached. A key with no group
// separator after its first character, or one ending right after it, lies
// under no record. The group is found from the second character on, as a
// listing of the root does, so a key beginning with "/" yields a group
// beginning with "/", never the empty group. In UTF-8 searching from the
// second byte is the same: a character after the first ASCII one never
// holds the byte "/".
//
// Keys compare as their texts do: a key that is not well-formed UTF-8 reads
// as the text its malformed parts decode to (each a U+FFFD), so it is indexed
// under the UTF-8 of that text, kept aside, and meets a well-formed key of
// the same text.
class TRecordIndex {
public:
  TRecordIndex(const std::uint8_t* Content, std::size_t Size, std::size_t Records) {
    FRecords.reserve(Records / lfCount + 2);
    FRecords.emplace_back(); // index 0 stands for "none"
    FRecordIndex.reserve(Records / lfCount + 1);
    detail::TRecordCursor cursor(Content, Size);
    detail::TRecordView record;
    while (cursor.Next(record)) {
      Place(record, detail::IsCanonicalRecord(record) ? record.KeyBytes() : Reencoded(record));
    }
  }

  const std::vector<TPendingGroup>& Groups() const noexcept { return FGroups; }
  const TPendingRecord& Record(std::size_t Index) const noexcept { return FRecords[Index]; }
  std::size_t GetRecordCount() const noexcept { return FRecords.size() - 1; }

private:
  void Place(const detail::TRecordView& Record, std::string_view Key) {
    const std::size_t groupEnd = Key.find('/', 1);
    if (groupEnd == std::string_view::npos || groupEnd + 1 == Key.size()) return;
    const std::size_t recordEnd = Key.find('/', groupEnd + 1);
    const std::string_view recordKey = Key.substr(0, recordEnd);
    TPendingRecord& rec = FRecords[RecordFor(recordKey, Key.substr(0, groupEnd))];
    if (recordEnd == std::string_view::npos) return;
    const std::size_t leaf = LeafIndex(Key.substr(recordEnd));
    if (leaf < lfCount && rec.Leaves[leaf] == nullptr) rec.Leaves[leaf] = Record.Bytes;
  }

  std::string_view Reencoded(const detail::TRecordView& Record) {
    const String text = UTF8ToStr(Record.Key(), Record.KeySize);
    FKeptKeys.push_back(StrToUTF8(text));
    return FKeptKeys.back();
  }

  // The eight values of a record usually follow one another, so the last
  // record found is tried before the hash.
  std::size_t RecordFor(std::string_view RecordKey, std::string_view Group) {
    if (FLastRecord != 0 && FRecords[FLastRecord].Key == RecordKey) return FLastRecord;
    auto [it, added] = FRecordIndex.try_emplace(RecordKey, FRecords.size());
    if (added) {
      FRecords.push_back(TPendingRecord{RecordKey, {}, 0});
      Chain(GroupFor(Group), it->second);
    }
    FLastRecord = it->second;
    return it->second;
  }

  TPendingGroup& GroupFor(std::string_view Group) {
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
  std::unordered_map<std::string_view, std::size_t> FRecordIndex;
  std::unordered_map<std::string_view, std::size_t> FGroupIndex;
  std::size_t FLastRecord = 0;
  // Keys read as text and encoded again; a deque keeps them in place.
  std::deque<std::string> FKeptKeys;
};

// The leaves of a record, each of the type the saved form gives it; else the
// storage is corrupted.
void CheckLeaves(const TPendingRecord& Rec) {
  for (std::size_t leaf = 0; leaf < lfCount; ++leaf) {
    const std::uint8_t* bytes = Rec.Leaves[leaf];
    if (bytes == nullptr || RecordAt(bytes).Type != (leaf < kTextLeaves ? vtString : vtLong)) RaiseCorrupted();
  }
}

String TextOf(const TPendingRecord& Rec, TLeaf Leaf) {
  const detail::TRecordView record = RecordAt(Rec.Leaves[Leaf]);
  return UTF8ToStr(record.Counted(), record.CountedSize());
}

std::int64_t LongOf(const TPendingRecord& Rec, TLeaf Leaf) { return RecordAt(Rec.Leaves[Leaf]).Long(); }

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
// written: the empty group would give keys beginning with "/", and a "/"
// inside a name would shift the key's elements; neither could be loaded back.
void TKLPassStorage::CheckSavableGroups() const {
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    const String& group = GetRecord(i)->FGroup;
    if (group.empty() || group.find(u'/') != String::npos) throw EKLPassStorageException(SWrongGroupName);
  }
}

// Each text is read through the record (stamping its access time with this
// save's time, which is then written as the access time) and written in place.
// The content is built whole before the first byte is written, so that a
// refused save leaves the stream as it was.
void TKLPassStorage::SaveToStream(TStream& Strm, const String& Password) {
  CheckSavableGroups();
  // Room for the content when every character is ASCII, plus the largest
  // single value in its widest form: the writer then does not grow (and copy
  // secrets) for the usual vault.
  std::size_t estimate = 256;
  std::size_t widest = 0;
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    const TKLPassRecord& rec = *GetRecord(i);
    const std::size_t group = rec.FGroup.size() + 12; // "/" i, at most 11 characters
    estimate += 8 * (3 + group) + 42 + 5 * 2 + 3 * 8; // counts, types, leaf names, longs
    for (const String* text : {&rec.FTitle, &rec.FUsername, &rec.FPassword, &rec.FURL, &rec.FNote}) {
      estimate += text->size();
      widest = std::max(widest, text->size() + group);
    }
  }
  detail::TContentWriter writer(estimate + 3 * widest);
  const std::int64_t now = NowUnixSeconds();
  static constexpr TKLPassRecord::TField kTexts[] = {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername,
                                                     &TKLPassRecord::FPassword, &TKLPassRecord::FURL,
                                                     &TKLPassRecord::FNote};
  String key;
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    TKLPassRecord& rec = *GetRecord(i);
    key = rec.ReadField(&TKLPassRecord::FGroup, now);
    key += u'/';
    key += IntToStr(i);
    const std::size_t base = key.size();
    auto leafKey = [&](TLeaf Leaf) -> std::u16string_view {
      key.resize(base);
      key += kLeafNames[Leaf];
      return key;
    };
    for (std::size_t t = 0; t < std::size(kTexts); ++t) {
      writer.PutString(leafKey(static_cast<TLeaf>(lfTitle + t)), rec.ReadField(kTexts[t], now));
    }
    writer.PutLong(leafKey(lfCDate), rec.FCreationDate);
    writer.PutLong(leafKey(lfMDate), rec.FModificationDate);
    writer.PutLong(leafKey(lfADate), rec.FLastAccessDate);
  }
  writer.Finish();
  // The kept key changes only with a save that succeeded.
  std::shared_ptr<detail::TStorageKey> kept = FKey;
  detail::WriteStorageFile(Strm, Password, detail::TStorageFileOptions{FKdf, FAllowLegacyFormat, FSaveVersion},
                           *GetRandomGenerator(), kept, writer.Buffer());
  FKey = std::move(kept);
}

// The records are made aside and join the store only once all of them are.
void TKLPassStorage::LoadFromStream(TStream& Strm, const String& Password) {
  detail::TLoadedContent loaded = detail::ReadStorageFile(
      Strm, Password, detail::TStorageFileOptions{FKdf, FAllowLegacyFormat, FSaveVersion}, FKey);
  const TRecordIndex index(loaded.Buffer->Data(), loaded.Size, loaded.Records);
  std::vector<std::unique_ptr<TKLPassRecord>> made;
  made.reserve(index.GetRecordCount());
  for (const TPendingGroup& group : index.Groups()) {
    // Only a key beginning with "/" gives such a group; its records could
    // never be saved again.
    if (group.Name[0] == '/') RaiseCorrupted();
    const String name = UTF8ToStr(reinterpret_cast<const std::uint8_t*>(group.Name.data()), group.Name.size());
    for (std::size_t r = group.First; r != 0; r = index.Record(r).Next) {
      const TPendingRecord& pending = index.Record(r);
      CheckLeaves(pending);
      auto rec = std::make_unique<TKLPassRecord>();
      rec->FGroup = name;
      rec->FTitle = TextOf(pending, lfTitle);
      rec->FUsername = TextOf(pending, lfName);
      rec->FPassword = TextOf(pending, lfPwd);
      rec->FURL = TextOf(pending, lfURL);
      rec->FNote = TextOf(pending, lfNote);
      rec->FCreationDate = LongOf(pending, lfCDate);
      rec->FModificationDate = LongOf(pending, lfMDate);
      rec->FLastAccessDate = LongOf(pending, lfADate);
      made.push_back(std::move(rec));
    }
  }
  if (loaded.Key) {
    FKdf = loaded.Key->GetParameters();
    FKey = std::move(loaded.Key);
  }
  FLoadedVersion = loaded.Version;
  for (auto& rec : made) {
    FList.Add(rec.get());
    rec.release()->FStore = this;
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
