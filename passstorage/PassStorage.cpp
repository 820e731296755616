#include <memory>
#include <string_view>
#include <unordered_set>

#include "foundation/Clock.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

EKLPassStorageException::~EKLPassStorageException() = default;

namespace {

bool Matches(const String& Field, TKLSearchEquality Equality, const String& Value) noexcept {
  switch (Equality) {
    case seContains:
      return !Value.empty() && Field.find(Value) != String::npos;
    case seEquals:
      return Field == Value;
    case seNotEquals:
      return Field != Value;
  }
  return false;
}

} // namespace

TKLPassStorage::TKLPassStorage(TComponent* AOwner) : TKLRandomBasedComponent(AOwner) {}

TKLPassStorage::~TKLPassStorage() {
  for (TKLPassRecord* rec : FList) delete rec;
  FList.Clear();
}

void TKLPassStorage::CheckStoreGroup(const String& Group) const { CheckGroup(Group); }

std::int32_t TKLPassStorage::Add(TKLPassRecord* Rec) {
  if (Rec == nullptr) throw EKLPassStorageException(SRecordMissing);
  // The back reference makes this check constant-time; a record taken twice
  // would be destroyed twice.
  if (Rec->FStore != nullptr) throw EKLPassStorageException(SRecordAlreadyHeld);
  CheckStoreGroup(Rec->GetGroup());
  return Take(Rec, true);
}

std::int32_t TKLPassStorage::Add(const String& Title, const String& Username, const String& Password, const String& URL,
                                 const String& Note, const String& Group) {
  CheckStoreGroup(Group);
  auto rec = std::make_unique<TKLPassRecord>(Title, Username, Password, URL, Note, Group);
  const std::int32_t index = Take(rec.get(), true);
  rec.release();
  return index;
}

std::int32_t TKLPassStorage::Take(TKLPassRecord* Rec, bool Editing) {
  Rec->FSlot = FList.Append(Rec);
  Rec->FStore = this;
  Rec->FEditOpen = Editing;
  return FList.GetCount() - 1;
}

void TKLPassStorage::EndEdits() noexcept {
  for (TKLPassRecord* rec : FList) rec->FEditOpen = false;
}

void TKLPassStorage::SetRecycleBinGroup(const String& Value) {
  if (Value.empty()) throw EKLPassStorageException(SWrongGroupName);
  CheckStoreGroup(Value);
  FRecycleBinGroup = Value;
}

void TKLPassStorage::AddDeletedObjects(const std::vector<TKLPassDeletedObject>& Objects) {
  std::unordered_set<std::string_view> known;
  const auto key = [](const TKLPassUuid& Uuid) {
    return std::string_view(reinterpret_cast<const char*>(Uuid.data()), Uuid.size());
  };
  std::vector<TKLPassDeletedObject> added;
  for (const TKLPassDeletedObject& object : FDeleted) known.insert(key(object.Uuid));
  for (const TKLPassDeletedObject& object : Objects) {
    if (known.insert(key(object.Uuid)).second) added.push_back(object);
  }
  FDeleted.insert(FDeleted.end(), added.begin(), added.end());
}

// The deleted object is recorded before the record goes, so that a failed
// allocation leaves both as they were.
TKLPassDeleteResult TKLPassStorage::DeleteRecord(TKLPassRecord* Rec, bool Permanently) {
  if (Rec == nullptr || Rec->FStore != this) return drNotHeld;
  if (FRecycleBinEnabled && !Permanently && Rec->FGroup != FRecycleBinGroup) {
    Rec->SetGroup(FRecycleBinGroup);
    return drRecycled;
  }
  FDeleted.push_back(TKLPassDeletedObject{Rec->FUuid, NowUnixSeconds()});
  Delete(Rec);
  delete Rec;
  return drRemoved;
}

void TKLPassStorage::TakeAll(std::vector<std::unique_ptr<TKLPassRecord>>& Recs) {
  FList.Reserve(Recs.size());
  for (auto& rec : Recs) Take(rec.release());
}

// The record's slot leads to it without a search, and the list leaves the gap
// open until the dead slots outnumber the live ones; the records that the
// closing moves learn their new slots.
bool TKLPassStorage::Delete(TKLPassRecord* Rec) {
  if (Rec == nullptr || Rec->FStore != this) return false;
  FList.Remove(Rec->FSlot, [](TKLPassRecord* Moved, std::uint32_t Slot) noexcept { Moved->FSlot = Slot; });
  Rec->FStore = nullptr;
  return true;
}

bool TKLPassStorage::Delete(std::int32_t Index) {
  if (Index < 0 || Index >= GetCount()) return false;
  return Delete(FList.Get(Index));
}

void TKLPassStorage::Clear() {
  for (TKLPassRecord* rec : FList) rec->FStore = nullptr;
  FList.Clear();
  FDeleted.clear();
  FGroups.clear();
  FKey.reset();
}

// Listing and search read each field in place, stamping no record's access
// time: linear in the records, allocating only for the result.
void TKLPassStorage::List(const String& Group, TPointerList<TKLPassRecord>& Recs) {
  CheckStoreGroup(Group);
  for (TKLPassRecord* rec : FList) {
    if (rec->ReadField(&TKLPassRecord::FGroup) == Group) Recs.Add(rec);
  }
}

void TKLPassStorage::Search(TKLSearchParam Param, TKLSearchEquality Equality, const String& Value,
                            TPointerList<TKLPassRecord>& Recs) {
  TKLPassRecord::TField field = nullptr;
  switch (Param) {
    case spTitle:
      field = &TKLPassRecord::FTitle;
      break;
    case spUsername:
      field = &TKLPassRecord::FUsername;
      break;
    case spPassword:
      field = &TKLPassRecord::FPassword;
      break;
    case spURL:
      field = &TKLPassRecord::FURL;
      break;
    case spNote:
      field = &TKLPassRecord::FNote;
      break;
    case spCustomFields:
      SearchCustomFields(Equality, Value, Recs);
      return;
  }
  if (field == nullptr) return;
  for (TKLPassRecord* rec : FList) {
    if (Matches(rec->ReadField(field), Equality, Value)) Recs.Add(rec);
  }
}

// A record matches when any custom field's value does; for seNotEquals, when
// none equals Value, so that it is the exact complement of seEquals.
void TKLPassStorage::SearchCustomFields(TKLSearchEquality Equality, const String& Value,
                                        TPointerList<TKLPassRecord>& Recs) {
  const TKLSearchEquality each = Equality == seNotEquals ? seEquals : Equality;
  for (TKLPassRecord* rec : FList) {
    bool any = false;
    for (const TKLPassField& field : rec->FCustomFields) {
      if (Matches(field.Value, each, Value)) {
        any = true;
        break;
      }
    }
    if (any != (Equality == seNotEquals)) Recs.Add(rec);
  }
}

} // namespace kl
