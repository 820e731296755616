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

TKLStorage::TKLStorage(TComponent* AOwner) : TKLRandomBasedComponent(AOwner) {}

TKLStorage::~TKLStorage() { Clear(); }

TKLValue* TKLStorage::GetValue(std::int32_t Index) const {
  if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
  return FList[static_cast<std::size_t>(Index)];
}

void TKLStorage::Clear() noexcept {
  for (TKLValue* value : FList) delete value;
  FList.clear();
  FIndex.clear();
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

// Moves every value of Source behind those held, in order. Into an empty
// storage the values and the index change hands whole, without a failure
// point; otherwise each is appended (only running out of memory can stop it).
void TKLStorage::TakeValues(TKLStorage& Source) {
  if (FList.empty()) {
    FList.swap(Source.FList);
    FIndex.swap(Source.FIndex);
    for (TKLValue* value : FList) value->FStorage = this;
    return;
  }
  FList.reserve(FList.size() + Source.FList.size());
  for (TKLValue*& slot : Source.FList) {
    std::unique_ptr<TKLValue> value(slot);
    slot = nullptr;
    value->FStorage = nullptr;
    value->FPrevSame = value->FNextSame = nullptr;
    Append(std::move(value));
  }
  Source.FList.clear();
  Source.FIndex.clear();
}

// --- The key index ---
//
// FIndex maps each key present to the chain of values under it, linked in
// storage order. The first of the chain is what a scan from position 0 would
// find; positions are kept in the values so that Get can report them.

std::int32_t TKLStorage::Append(std::unique_ptr<TKLValue> Value) {
  if (FList.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    RaiseListIndexError(static_cast<std::int64_t>(FList.size()));
  }
  // Everything that may throw comes first, so that a failure changes nothing.
  if (FList.size() == FList.capacity()) FList.reserve(FList.empty() ? 16 : FList.size() * 2);
  TKeyChain& chain = FIndex.try_emplace(Value->FKey).first->second;
  const auto position = static_cast<std::int32_t>(FList.size());
  TKLValue* value = Value.release();
  value->FStorage = this;
  value->FPosition = position;
  Link(*value, chain);
  FList.push_back(value);
  return position;
}

// Inserts Value into Chain by position; an appended value goes last at once.
void TKLStorage::Link(TKLValue& Value, TKeyChain& Chain) noexcept {
  TKLValue* before = Chain.Last;
  while (before != nullptr && before->FPosition > Value.FPosition) before = before->FPrevSame;
  TKLValue* after = before != nullptr ? before->FNextSame : Chain.First;
  Value.FPrevSame = before;
  Value.FNextSame = after;
  (before != nullptr ? before->FNextSame : Chain.First) = &Value;
  (after != nullptr ? after->FPrevSame : Chain.Last) = &Value;
}

void TKLStorage::Unlink(TKLValue& Value) noexcept {
  const auto it = FIndex.find(Value.FKey);
  TKeyChain& chain = it->second;
  (Value.FPrevSame != nullptr ? Value.FPrevSame->FNextSame : chain.First) = Value.FNextSame;
  (Value.FNextSame != nullptr ? Value.FNextSame->FPrevSame : chain.Last) = Value.FPrevSame;
  Value.FPrevSame = Value.FNextSame = nullptr;
  if (chain.First == nullptr) FIndex.erase(it);
}

// Called by TKLValue::SetKey for a value this storage holds.
void TKLStorage::KeyChanging(TKLValue& Value, const String& NewKey) {
  if (NewKey == Value.FKey) return;
  String key = NewKey;
  TKeyChain& chain = FIndex.try_emplace(key).first->second;
  Unlink(Value); // may drop the old key's entry; the new one is another entry
  Value.FKey = std::move(key);
  Link(Value, chain);
}

bool TKLStorage::TKeyOrder::operator()(const String& A, const String& B) const noexcept {
  const int order = std::memcmp(A.data(), B.data(), std::min(A.size(), B.size()) * sizeof(Char));
  return order != 0 ? order < 0 : A.size() < B.size();
}

bool TKLStorage::ByPosition(const TKLValue* A, const TKLValue* B) noexcept { return A->FPosition < B->FPosition; }

void TKLStorage::Renumber(std::size_t From) noexcept {
  for (std::size_t i = From; i < FList.size(); ++i) FList[i]->FPosition = static_cast<std::int32_t>(i);
}

// --- Storing and looking up ---

template <class TValue, class T>
std::int32_t TKLStorage::Put(const String& Key, const T& Value, bool Replace) {
  bool fits = detail::FitsStorageField(Key);
  if constexpr (std::is_same_v<T, String> || std::is_same_v<T, ByteArray>)
    fits = fits && detail::FitsStorageField(Value);
  if (!fits) throw EKLStorageException(SStorageValueTooLong);
  std::int32_t index = 0;
  TKLValue* found = Get(Key, index);
  if (found == nullptr) return Append(std::make_unique<TValue>(Key, Value));
  if (!Replace) throw EKLStorageException(SKeyAlreadyExists);
  TValue* typed = detail::AsTyped<TValue>(found);
  if (typed == nullptr) throw EKLStorageException(SWrongValueType);
  typed->SetValue(Value);
  return index;
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
  const auto it = FIndex.find(Key);
  if (it == FIndex.end()) return nullptr;
  TKLValue* first = it->second.First;
  Index = first->FPosition;
  return first;
}

TKLValue* TKLStorage::Get(const String& Key) const {
  std::int32_t index = 0;
  return Get(Key, index);
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

// The index entries of the keys beneath a path other than the root: the keys
// that begin with the prefix and are longer than it. They stand together in
// the ordered index, right after the prefix itself.
std::pair<TKLStorage::TKeyIndex::const_iterator, TKLStorage::TKeyIndex::const_iterator> TKLStorage::KeysBeneath(
    const String& Prefix) const {
  auto first = FIndex.lower_bound(Prefix);
  if (first != FIndex.end() && first->first == Prefix) ++first;
  auto last = first;
  while (last != FIndex.end() && last->first.compare(0, Prefix.size(), Prefix) == 0) ++last;
  return {first, last};
}

// The values beneath Prefix in storage order. Under the root that is every
// value, even one whose key does not begin with "/"; elsewhere only the keys
// beneath are visited, and their values put back in storage order.
std::vector<TKLValue*> TKLStorage::ValuesBeneath(const String& Prefix) const {
  if (IsRootPrefix(Prefix)) return FList;
  std::vector<std::pair<std::int32_t, TKLValue*>> found;
  const auto [first, last] = KeysBeneath(Prefix);
  for (auto it = first; it != last; ++it) {
    for (TKLValue* value = it->second.First; value != nullptr; value = value->FNextSame) {
      found.emplace_back(value->FPosition, value);
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<TKLValue*> values;
  values.reserve(found.size());
  for (const auto& [position, value] : found) values.push_back(value);
  return values;
}

void TKLStorage::GetSubKeys(const String& Key, TStringList& List, bool Recursive) const {
  const String prefix = SubKeyPrefix(Key);
  const std::vector<TKLValue*> values = ValuesBeneath(prefix);
  if (Recursive) {
    for (const TKLValue* value : values) List.Add(value->FKey);
    return;
  }
  // Child folders are listed once: once per call, and not again when List
  // already holds the path (from the caller or as a leaf of this call). Only
  // entries that begin with the prefix can equal a path listed here. Every view
  // points into a value's key or into the copy of the caller's entries, none of
  // which changes during the call.
  const bool root = IsRootPrefix(prefix);
  std::vector<String> given;
  for (const String& entry : List) {
    if (root || entry.compare(0, prefix.size(), prefix) == 0) given.push_back(entry);
  }
  std::set<std::u16string_view> listed(given.begin(), given.end());
  std::u16string_view lastChild;
  bool haveLastChild = false;
  const std::size_t length = prefix.size();
  for (const TKLValue* value : values) {
    const std::u16string_view path(value->FKey);
    const std::u16string_view rest = length < path.size() ? path.substr(length) : std::u16string_view();
    const std::size_t slash = rest.find(u'/');
    if (slash == std::u16string_view::npos) {
      List.Add(value->FKey);
      listed.insert(path);
      continue;
    }
    const std::u16string_view child = path.substr(0, length + slash);
    // The values of one folder usually stand together: skip the set then.
    if (haveLastChild && child == lastChild) continue;
    lastChild = child;
    haveLastChild = true;
    if (listed.insert(child).second) List.Add(String(child));
  }
}

void TKLStorage::Remove(std::int32_t Index) {
  TKLValue* value = GetValue(Index);
  Unlink(*value);
  FList.erase(FList.begin() + Index);
  Renumber(static_cast<std::size_t>(Index));
  delete value;
}

// Removes the first value under Key and, when Recursive, every value beneath
// it (under the root: every value), closing the gaps in one pass from the
// first value removed.
std::int32_t TKLStorage::Remove(const String& Key, bool Recursive) {
  std::int32_t index = 0;
  TKLValue* own = Get(Key, index);
  if (!Recursive) {
    if (own == nullptr) return 0;
    Remove(index);
    return 1;
  }
  const String prefix = SubKeyPrefix(Key);
  std::vector<TKLValue*> doomed = ValuesBeneath(prefix);
  // Every value under a key beneath the path goes, so the index drops those
  // keys whole; the value under the path itself (never beneath it, except
  // under the root) leaves its chain alone.
  if (IsRootPrefix(prefix)) {
    FIndex.clear();
  } else {
    if (own != nullptr) {
      doomed.insert(std::lower_bound(doomed.begin(), doomed.end(), own, ByPosition), own);
      Unlink(*own);
    }
    const auto [first, last] = KeysBeneath(prefix);
    FIndex.erase(first, last);
  }
  if (doomed.empty()) return 0;
  const auto first = static_cast<std::size_t>(doomed.front()->FPosition);
  std::size_t kept = first;
  auto next = doomed.begin();
  for (std::size_t i = first; i < FList.size(); ++i) {
    TKLValue* value = FList[i];
    if (next != doomed.end() && *next == value) {
      ++next;
      delete value;
    } else {
      value->FPosition = static_cast<std::int32_t>(kept);
      FList[kept++] = value;
    }
  }
  FList.resize(kept);
  return static_cast<std::int32_t>(doomed.size());
}

} // namespace kl
