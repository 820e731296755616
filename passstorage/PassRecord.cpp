#include <algorithm>
#include <string>
#include <utility>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/PassRecordRules.h"
#include "random/KLRandom.h"

namespace kl {

namespace {

// One generator for the UUIDs of every record made in the process: made at
// first use, and safe to share (Generate holds its lock).
TKLPassUuid NewUuid() {
  static TKLFastRandomGenerator generator;
  TKLPassUuid uuid;
  generator.Generate(uuid.data(), static_cast<std::int32_t>(uuid.size()));
  return uuid;
}

void WipeField(TKLPassField& Field) noexcept {
  WipeString(Field.Value);
  WipeString(Field.Name);
}

} // namespace

namespace detail {

bool IsValidItemName(const String& Name) noexcept {
  if (Name.empty() || Name.size() > KLPassMaxNameLength) return false;
  return std::all_of(Name.begin(), Name.end(), [](Char c) { return c >= 0x20 && c != 0x7F; });
}

bool IsValidCustomField(const String& Name, const String& Value) noexcept {
  if (!IsValidItemName(Name)) return false;
  for (const Char* standard : KLPassStandardFieldNames) {
    if (Name == standard) return false;
  }
  return Value.size() <= KLPassMaxFieldValueBytes && UTF8Size(Value) <= KLPassMaxFieldValueBytes;
}

bool IsValidTag(const String& Tag) noexcept {
  if (Tag.empty() || Tag.size() > KLPassMaxTagLength) return false;
  return std::all_of(Tag.begin(), Tag.end(), [](Char c) { return c >= 0x20 && c != 0x7F && c != u',' && c != u';'; });
}

std::size_t UTF8Size(std::u16string_view Text) noexcept {
  std::size_t size = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char16_t c = Text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) {
      size += 4;
      ++i;
    } else {
      size += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    }
  }
  return size;
}

} // namespace detail

TKLPassRecord::TKLPassRecord() : FGroup(DefaultPassGroup), FCreationDate(NowUnixSeconds()), FUuid(NewUuid()) {}

TKLPassRecord::TKLPassRecord(const String& Title, const String& Username, const String& Password, const String& URL,
                             const String& Note, const String& Group)
    : FGroup(Group),
      FTitle(Title),
      FUsername(Username),
      FPassword(Password),
      FURL(URL),
      FNote(Note),
      FCreationDate(NowUnixSeconds()),
      FUuid(NewUuid()) {}

// Every text is wiped, not the password alone: notes hold recovery codes and
// PINs as often as anything else.
TKLPassRecord::~TKLPassRecord() {
  for (String* text : {&FGroup, &FTitle, &FUsername, &FPassword, &FURL, &FNote}) WipeString(*text);
  for (TKLPassField& field : FCustomFields) WipeField(field);
}

void TKLPassRecord::Accessed() {
  if (!FIsVersion) FLastAccessDate = NowUnixSeconds();
}

String TKLPassRecord::GetField(TField Field) {
  Accessed();
  return this->*Field;
}

// The old text is wiped before it is replaced, since assigning could free its
// buffer unwiped. The copy is made first, so a failed allocation changes nothing.
void TKLPassRecord::SetField(TField Field, const String& Value) {
  String& field = this->*Field;
  if (field == Value) return;
  String copy(Value);
  if (Field != &TKLPassRecord::FGroup) BeginChange();
  WipeString(field);
  field = std::move(copy);
  if (Field == &TKLPassRecord::FGroup) {
    FLocationChangeDate = NowUnixSeconds();
  } else {
    FModificationDate = NowUnixSeconds();
  }
}

// The group is where the record is, not what it holds: reading it stamps nothing.
String TKLPassRecord::GetGroup() { return FGroup; }
String TKLPassRecord::GetTitle() { return GetField(&TKLPassRecord::FTitle); }
String TKLPassRecord::GetUsername() { return GetField(&TKLPassRecord::FUsername); }
String TKLPassRecord::GetPassword() { return GetField(&TKLPassRecord::FPassword); }
String TKLPassRecord::GetURL() { return GetField(&TKLPassRecord::FURL); }
String TKLPassRecord::GetNote() { return GetField(&TKLPassRecord::FNote); }

void TKLPassRecord::SetGroup(const String& Value) { SetField(&TKLPassRecord::FGroup, Value); }
void TKLPassRecord::SetTitle(const String& Value) { SetField(&TKLPassRecord::FTitle, Value); }
void TKLPassRecord::SetUsername(const String& Value) { SetField(&TKLPassRecord::FUsername, Value); }
void TKLPassRecord::SetPassword(const String& Value) { SetField(&TKLPassRecord::FPassword, Value); }
void TKLPassRecord::SetURL(const String& Value) { SetField(&TKLPassRecord::FURL, Value); }
void TKLPassRecord::SetNote(const String& Value) { SetField(&TKLPassRecord::FNote, Value); }

void TKLPassRecord::Touch() { FModificationDate = NowUnixSeconds(); }

// A version is kept only for a record a store holds, once per edit; a record
// being filled in before it joins a store, or a version itself, keeps none.
void TKLPassRecord::BeginChange() {
  if (FStore == nullptr || FEditOpen || FIsVersion) return;
  std::unique_ptr<TKLPassRecord> version = Snapshot();
  FHistory.push_back(std::move(version));
  FEditOpen = true;
  TrimHistory(FStore->GetHistoryMaxItems(), FStore->GetHistoryMaxBytes());
}

std::unique_ptr<TKLPassRecord> TKLPassRecord::Snapshot() const {
  std::unique_ptr<TKLPassRecord> copy(new TKLPassRecord(TBlank{}));
  copy->FIsVersion = true;
  copy->FGroup = FGroup;
  copy->FTitle = FTitle;
  copy->FUsername = FUsername;
  copy->FPassword = FPassword;
  copy->FURL = FURL;
  copy->FNote = FNote;
  copy->FCreationDate = FCreationDate;
  copy->FModificationDate = FModificationDate;
  copy->FLastAccessDate = FLastAccessDate;
  copy->FLocationChangeDate = FLocationChangeDate;
  copy->FUuid = FUuid;
  copy->FCustomFields = FCustomFields;
  copy->FTags = FTags;
  copy->FExpires = FExpires;
  copy->FExpiryDate = FExpiryDate;
  copy->FAttachments = FAttachments; // the bytes are shared, not copied
  return copy;
}

// The bytes of the versions: texts, field names and values and tags at two
// bytes a code unit, and each attachment's bytes once however many versions
// share them, counted with the newest version holding them, so that dropping
// the oldest version frees exactly what is counted with it. Linear in what
// the versions hold.
void TKLPassRecord::TrimHistory(std::int32_t MaxItems, std::int64_t MaxBytes) noexcept {
  if (MaxItems >= 0 && FHistory.size() > static_cast<std::size_t>(MaxItems)) {
    FHistory.erase(FHistory.begin(), FHistory.end() - MaxItems);
  }
  if (MaxBytes < 0 || FHistory.empty()) return;
  std::vector<std::uint64_t> own(FHistory.size(), 0);
  std::uint64_t total = 0;
  try {
    std::vector<const void*> seen;
    for (std::size_t i = FHistory.size(); i-- > 0;) {
      const TKLPassRecord& v = *FHistory[i];
      std::uint64_t bytes = 0;
      for (const String* text : {&v.FTitle, &v.FUsername, &v.FPassword, &v.FURL, &v.FNote}) bytes += 2 * text->size();
      for (const TKLPassField& field : v.FCustomFields) bytes += 2 * (field.Name.size() + field.Value.size());
      for (const String& tag : v.FTags) bytes += 2 * tag.size();
      for (const TAttachment& attachment : v.FAttachments) {
        bytes += 2 * attachment.Name.size();
        if (std::find(seen.begin(), seen.end(), attachment.Data.get()) == seen.end()) {
          seen.push_back(attachment.Data.get());
          bytes += attachment.Data->size();
        }
      }
      own[i] = bytes;
      total += bytes;
    }
  } catch (...) {
    return; // no room to count: the versions stay until the next change
  }
  std::size_t drop = 0;
  while (drop < FHistory.size() && total > static_cast<std::uint64_t>(MaxBytes)) total -= own[drop++];
  FHistory.erase(FHistory.begin(), FHistory.begin() + static_cast<std::ptrdiff_t>(drop));
}

TKLPassRecord* TKLPassRecord::GetHistoryItem(std::int32_t Index) const {
  if (Index < 0 || Index >= GetHistoryCount()) {
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  }
  return FHistory[static_cast<std::size_t>(Index)].get();
}

// The version is copied before the present content is kept, which may drop
// the oldest versions and so move the one asked for.
void TKLPassRecord::RestoreHistoryItem(std::int32_t Index) {
  std::unique_ptr<TKLPassRecord> from = GetHistoryItem(Index)->Snapshot();
  FEditOpen = false;
  BeginChange();
  for (TField text : {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername, &TKLPassRecord::FPassword,
                      &TKLPassRecord::FURL, &TKLPassRecord::FNote}) {
    WipeString(this->*text);
    (this->*text).swap((*from).*text);
  }
  for (TKLPassField& field : FCustomFields) WipeField(field);
  FCustomFields.swap(from->FCustomFields);
  FTags.swap(from->FTags);
  FExpires = from->FExpires;
  FExpiryDate = from->FExpiryDate;
  FAttachments.swap(from->FAttachments);
  Touch();
}

std::vector<TKLPassField>::iterator TKLPassRecord::FindField(const String& Name) noexcept {
  return std::find_if(FCustomFields.begin(), FCustomFields.end(), [&](const TKLPassField& F) { return F.Name == Name; });
}

std::vector<TKLPassRecord::TAttachment>::iterator TKLPassRecord::FindAttachment(const String& Name) noexcept {
  return std::find_if(FAttachments.begin(), FAttachments.end(), [&](const TAttachment& A) { return A.Name == Name; });
}

TKLPassField TKLPassRecord::GetCustomField(std::int32_t Index) {
  if (Index < 0 || Index >= GetCustomFieldCount()) {
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  }
  Accessed();
  return FCustomFields[static_cast<std::size_t>(Index)];
}

std::vector<TKLPassField> TKLPassRecord::GetCustomFields() {
  if (!FCustomFields.empty()) Accessed();
  return FCustomFields;
}

bool TKLPassRecord::FindCustomField(const String& Name, TKLPassField& Field) {
  const auto found = FindField(Name);
  if (found == FCustomFields.end()) return false;
  Field = *found;
  Accessed();
  return true;
}

void TKLPassRecord::SetCustomField(const String& Name, const String& Value, bool Protected) {
  if (!detail::IsValidCustomField(Name, Value)) throw EKLPassStorageException(SWrongCustomField);
  const auto found = FindField(Name);
  const std::size_t held = detail::HeldBytes(FCustomFields, FAttachments);
  const std::size_t replaced = found == FCustomFields.end() ? 0 : 2 * found->Value.size();
  if (held - replaced + 2 * Value.size() > KLPassMaxRecordBytes) throw EKLPassStorageException(SRecordTooLarge);
  if (found == FCustomFields.end()) {
    if (FCustomFields.size() >= KLPassMaxCustomFields) throw EKLPassStorageException(STooManyRecordItems);
    TKLPassField field{Name, Value, Protected};
    FCustomFields.reserve(FCustomFields.size() + 1);
    BeginChange();
    FCustomFields.push_back(std::move(field));
  } else {
    if (found->Value == Value && found->Protected == Protected) return;
    String copy(Value);
    BeginChange();
    WipeString(found->Value);
    found->Value = std::move(copy);
    found->Protected = Protected;
  }
  Touch();
}

void TKLPassRecord::SetCustomFields(const std::vector<TKLPassField>& Fields) {
  if (Fields.size() > KLPassMaxCustomFields) throw EKLPassStorageException(STooManyRecordItems);
  for (std::size_t i = 0; i < Fields.size(); ++i) {
    if (!detail::IsValidCustomField(Fields[i].Name, Fields[i].Value)) throw EKLPassStorageException(SWrongCustomField);
    for (std::size_t j = 0; j < i; ++j) {
      if (Fields[j].Name == Fields[i].Name) throw EKLPassStorageException(SWrongCustomField);
    }
  }
  if (detail::HeldBytes(Fields, FAttachments) > KLPassMaxRecordBytes) throw EKLPassStorageException(SRecordTooLarge);
  std::vector<TKLPassField> copy(Fields);
  BeginChange();
  for (TKLPassField& field : FCustomFields) WipeField(field);
  FCustomFields.swap(copy);
  Touch();
}

bool TKLPassRecord::DeleteCustomField(const String& Name) {
  const auto found = FindField(Name);
  if (found == FCustomFields.end()) return false;
  BeginChange();
  WipeField(*found);
  FCustomFields.erase(found);
  Touch();
  return true;
}

void TKLPassRecord::SetTags(const std::vector<String>& Value) {
  std::vector<String> tags;
  for (const String& tag : Value) {
    if (!detail::IsValidTag(tag)) throw EKLPassStorageException(SWrongTag);
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
  }
  if (tags.size() > KLPassMaxTags) throw EKLPassStorageException(STooManyRecordItems);
  if (tags == FTags) return;
  BeginChange();
  FTags.swap(tags);
  Touch();
}

void TKLPassRecord::SetExpires(bool Value) {
  if (FExpires == Value) return;
  BeginChange();
  FExpires = Value;
  FModificationDate = NowUnixSeconds();
}

void TKLPassRecord::SetExpiryDate(std::int64_t Value) {
  if (FExpiryDate == Value) return;
  BeginChange();
  FExpiryDate = Value;
  FModificationDate = NowUnixSeconds();
}

std::vector<String> TKLPassRecord::GetAttachmentNames() const {
  std::vector<String> names;
  names.reserve(FAttachments.size());
  for (const TAttachment& attachment : FAttachments) names.push_back(attachment.Name);
  return names;
}

bool TKLPassRecord::GetAttachment(const String& Name, ByteArray& Data) {
  const auto found = FindAttachment(Name);
  if (found == FAttachments.end()) return false;
  ByteArray copy(found->Data->Get());
  WipeBytes(Data);
  Data = std::move(copy);
  Accessed();
  return true;
}

void TKLPassRecord::SetAttachment(const String& Name, const ByteArray& Data) {
  if (!detail::IsValidItemName(Name) || Data.size() > KLPassMaxAttachmentSize) {
    throw EKLPassStorageException(SWrongAttachment);
  }
  const auto found = FindAttachment(Name);
  const std::size_t held = detail::HeldBytes(FCustomFields, FAttachments);
  const std::size_t replaced = found == FAttachments.end() ? 0 : found->Data->size();
  if (held - replaced + Data.size() > KLPassMaxRecordBytes) throw EKLPassStorageException(SRecordTooLarge);
  if (found == FAttachments.end()) {
    if (FAttachments.size() >= KLPassMaxAttachments) throw EKLPassStorageException(STooManyRecordItems);
    TAttachment attachment{Name, std::make_shared<const SecureBytes>(ByteArray(Data))};
    FAttachments.reserve(FAttachments.size() + 1);
    BeginChange();
    FAttachments.push_back(std::move(attachment));
  } else {
    if (found->Data->Get() == Data) return;
    auto bytes = std::make_shared<const SecureBytes>(ByteArray(Data));
    BeginChange();
    found->Data = std::move(bytes);
  }
  Touch();
}

bool TKLPassRecord::DeleteAttachment(const String& Name) {
  const auto found = FindAttachment(Name);
  if (found == FAttachments.end()) return false;
  BeginChange();
  FAttachments.erase(found);
  Touch();
  return true;
}

} // namespace kl
