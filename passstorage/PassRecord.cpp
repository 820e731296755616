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

String TKLPassRecord::GetField(TField Field) { return ReadField(Field, NowUnixSeconds()); }

// The old text is wiped before it is replaced, since assigning could free its
// buffer unwiped. The copy is made first, so a failed allocation changes nothing.
void TKLPassRecord::SetField(TField Field, const String& Value) {
  String& field = this->*Field;
  if (field == Value) return;
  String copy(Value);
  WipeString(field);
  field = std::move(copy);
  FModificationDate = NowUnixSeconds();
}

String TKLPassRecord::GetGroup() { return GetField(&TKLPassRecord::FGroup); }
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
  FLastAccessDate = NowUnixSeconds();
  return FCustomFields[static_cast<std::size_t>(Index)];
}

std::vector<TKLPassField> TKLPassRecord::GetCustomFields() {
  if (!FCustomFields.empty()) FLastAccessDate = NowUnixSeconds();
  return FCustomFields;
}

bool TKLPassRecord::FindCustomField(const String& Name, TKLPassField& Field) {
  const auto found = FindField(Name);
  if (found == FCustomFields.end()) return false;
  Field = *found;
  FLastAccessDate = NowUnixSeconds();
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
    FCustomFields.push_back(TKLPassField{Name, Value, Protected});
  } else {
    if (found->Value == Value && found->Protected == Protected) return;
    String copy(Value);
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
  for (TKLPassField& field : FCustomFields) WipeField(field);
  FCustomFields.swap(copy);
  Touch();
}

bool TKLPassRecord::DeleteCustomField(const String& Name) {
  const auto found = FindField(Name);
  if (found == FCustomFields.end()) return false;
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
  FTags.swap(tags);
  Touch();
}

void TKLPassRecord::SetExpires(bool Value) noexcept {
  if (FExpires == Value) return;
  FExpires = Value;
  FModificationDate = NowUnixSeconds();
}

void TKLPassRecord::SetExpiryDate(std::int64_t Value) noexcept {
  if (FExpiryDate == Value) return;
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
  FLastAccessDate = NowUnixSeconds();
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
    FAttachments.push_back(TAttachment{Name, std::make_shared<const SecureBytes>(ByteArray(Data))});
  } else {
    if (found->Data->Get() == Data) return;
    found->Data = std::make_shared<const SecureBytes>(ByteArray(Data));
  }
  Touch();
}

bool TKLPassRecord::DeleteAttachment(const String& Name) {
  const auto found = FindAttachment(Name);
  if (found == FAttachments.end()) return false;
  FAttachments.erase(found);
  Touch();
  return true;
}

} // namespace kl
