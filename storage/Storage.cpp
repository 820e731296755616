#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <string_view>
#include <type_traits>

#include "foundation/PointerList.h"
#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"
#include "storage/StorageFields.h"
#include "storage/StorageFormat.h"
#include "storage/StorageTable.h"

namespace kl {

namespace detail {

bool FitsStorageField(const String& Text) {
  // A code unit takes one to three UTF-8 bytes (a surrogate pair four for two).
  if (Text.size() * 3 <= KLStorageMaxFieldSize) return true;
  if (Text.size() > KLStorageMaxFieldSize) return false;
  RawByteString utf8 = StrToUTF8(Text);
  const bool fits = utf8.size() <= KLStorageMaxFieldSize;
  WipeRawBytes(utf8);
  return fits;
}

} // namespace detail

namespace {

// The path beneath which GetSubKeys and a recursive Remove look: Key with a
// trailing "/". The empty prefix and "/" stand for the root.
String SubKeyPrefix(const String& Key) {
  String prefix = Key;
  if (!prefix.empty() && prefix.back() != u'/') prefix.push_back(u'/');
  return prefix;
}

bool IsRootPrefix(const String& Prefix) noexcept { return Prefix.empty() || Prefix == u"/"; }

} // namespace

TKLStorage::TKLStorage(TComponent* AOwner)
    : TKLRandomBasedComponent(AOwner), FTable(std::make_unique<detail::TStorageTable>(*this)) {}

TKLStorage::~TKLStorage() { Clear(); }

std::int32_t TKLStorage::GetCount() const noexcept { return static_cast<std::int32_t>(FTable->GetCount()); }

TKLValue* TKLStorage::GetValue(std::int32_t Index) const {
  if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
  return FTable->ValueAt(FTable->SlotAt(static_cast<std::uint32_t>(Index)));
}

void TKLStorage::Clear() noexcept {
  FTable->Clear();
  FLoaded = false;
  FLoadedVersion = 0;
  ForgetDerivedKey();
}

void TKLStorage::ForgetDerivedKey() noexcept { FKey.reset(); }

void TKLStorage::SetKdfParameters(const TKLKdfParameters& Value) {
  detail::CheckKdfParameters(Value);
  FKdf = Value;
}

void TKLStorage::SetSaveVersion(std::uint8_t Value) {
  detail::CheckSaveVersion(Value);
  FSaveVersion = Value;
}

// Called by TKLValue::SetKey for a value this storage holds.
void TKLStorage::KeyChanging(TKLValue& Value, const String& NewKey) {
  if (NewKey == Value.FKey) return;
  FTable->Rekey(Value, NewKey);
}

// --- Storing and looking up ---

template <class TValue, class T>
std::int32_t TKLStorage::Put(const String& Key, const T& Value, bool Replace) {
  bool fits = detail::FitsStorageField(Key);
  if constexpr (std::is_same_v<T, String> || std::is_same_v<T, ByteArray>)
    fits = fits && detail::FitsStorageField(Value);
  if (!fits) throw EKLStorageException(SStorageValueTooLong);
  const std::uint32_t slot = FTable->Find(Key);
  if (slot == detail::TStorageTable::kNone) {
    return static_cast<std::int32_t>(FTable->PositionOf(FTable->Append(std::make_unique<TValue>(Key, Value))));
  }
  if (!Replace) throw EKLStorageException(SKeyAlreadyExists);
  TValue* typed = detail::AsTyped<TValue>(FTable->ValueAt(slot));
  if (typed == nullptr) throw EKLStorageException(SWrongValueType);
  typed->SetValue(Value);
  return static_cast<std::int32_t>(FTable->PositionOf(slot));
}

std::int32_t TKLStorage::PutBool(const String& Key, bool Value, bool Replace) {
  return Put<TKLBoolValue>(Key, Value, Replace);
}

std::int32_t TKLStorage::PutInt(const String& Key, std::int32_t Value, bool Replace) {
  return Put<TKLIntValue>(Key, Value, Replace);
}

std::int32_t TKLStorage::PutLong(const String& Key, std::int64_t Value, bool Replace) {
  return Put<TKLLongValue>(Key, Value, Replace);
}

std::int32_t TKLStorage::PutString(const String& Key, const String& Value, bool Replace) {
  return Put<TKLStringValue>(Key, Value, Replace);
}

std::int32_t TKLStorage::PutBlob(const String& Key, const ByteArray& Value, bool Replace) {
  return Put<TKLBlobValue>(Key, Value, Replace);
}

TKLValue* TKLStorage::Get(const String& Key, std::int32_t& Index) const {
  const std::uint32_t slot = FTable->Find(Key);
  if (slot == detail::TStorageTable::kNone) return nullptr;
  TKLValue* value = FTable->ValueAt(slot);
  Index = static_cast<std::int32_t>(FTable->PositionOf(slot));
  return value;
}

TKLValue* TKLStorage::Get(const String& Key) const {
  const std::uint32_t slot = FTable->Find(Key);
  return slot == detail::TStorageTable::kNone ? nullptr : FTable->ValueAt(slot);
}

template <class TValue, class T>
bool TKLStorage::GetTyped(const String& Key, T& Value, const T& DefaultValue) const {
  const TValue* typed = detail::AsTyped<TValue>(Get(Key));
  Value = typed != nullptr ? typed->GetValue() : DefaultValue;
  return typed != nullptr;
}

bool TKLStorage::GetBool(const String& Key, bool& Value, bool DefaultValue) const {
  return GetTyped<TKLBoolValue>(Key, Value, DefaultValue);
}

bool TKLStorage::GetInt(const String& Key, std::int32_t& Value, std::int32_t DefaultValue) const {
  return GetTyped<TKLIntValue>(Key, Value, DefaultValue);
}

bool TKLStorage::GetLong(const String& Key, std::int64_t& Value, std::int64_t DefaultValue) const {
  return GetTyped<TKLLongValue>(Key, Value, DefaultValue);
}

bool TKLStorage::GetString(const String& Key, String& Value, const String& DefaultValue) const {
  return GetTyped<TKLStringValue>(Key, Value, DefaultValue);
}

bool TKLStorage::GetBlob(const String& Key, ByteArray& Value) const {
  return GetTyped<TKLBlobValue>(Key, Value, ByteArray());
}

// --- The tree ---

void TKLStorage::GetSubKeys(const String& Key, TStringList& List, bool Recursive) const {
  const String prefix = SubKeyPrefix(Key);
  const bool root = IsRootPrefix(prefix);
  const std::vector<std::uint32_t> slots = FTable->SlotsBeneath(prefix, root);
  if (Recursive) {
    for (const std::uint32_t slot : slots) List.Add(FTable->KeyAt(slot));
    return;
  }
  // Child folders are listed once: once per call, and not again when List
  // already holds the path (from the caller or as a leaf of this call). Only
  // entries that begin with the prefix can equal a path listed here.
  std::set<String> listed;
  for (const String& entry : List) {
    if (root || entry.compare(0, prefix.size(), prefix) == 0) listed.insert(entry);
  }
  String lastChild;
  bool haveLastChild = false;
  const std::size_t length = prefix.size();
  for (const std::uint32_t slot : slots) {
    String path = FTable->KeyAt(slot);
    const std::u16string_view rest =
        length < path.size() ? std::u16string_view(path).substr(length) : std::u16string_view();
    const std::size_t slash = rest.find(u'/');
    if (slash == std::u16string_view::npos) {
      List.Add(path);
      listed.insert(std::move(path));
      continue;
    }
    path.resize(length + slash);
    // The values of one folder usually stand together: skip the set then.
    if (haveLastChild && path == lastChild) continue;
    haveLastChild = true;
    lastChild = path;
    if (listed.insert(path).second) List.Add(path);
  }
}

void TKLStorage::Remove(std::int32_t Index) {
  if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
  FTable->Remove(FTable->SlotAt(static_cast<std::uint32_t>(Index)));
}

// Removes the first value under Key and, when Recursive, every value beneath
// it (under the root: every value).
std::int32_t TKLStorage::Remove(const String& Key, bool Recursive) {
  const std::uint32_t own = FTable->Find(Key);
  if (!Recursive) {
    if (own == detail::TStorageTable::kNone) return 0;
    FTable->Remove(own);
    return 1;
  }
  const String prefix = SubKeyPrefix(Key);
  const bool root = IsRootPrefix(prefix);
  std::vector<std::uint32_t> doomed = FTable->SlotsBeneath(prefix, root);
  // The value under the path itself is never beneath it, except under the root.
  if (!root && own != detail::TStorageTable::kNone) doomed.push_back(own);
  if (root && doomed.size() == static_cast<std::size_t>(GetCount())) {
    FTable->Clear();
    return static_cast<std::int32_t>(doomed.size());
  }
  FTable->Remove(doomed);
  return static_cast<std::int32_t>(doomed.size());
}

} // namespace kl
