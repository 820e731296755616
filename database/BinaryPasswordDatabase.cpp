#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "database/KLDatabase.h"
#include "database/UserLookupIndex.h"
#include "foundation/Convert.h"
#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"

namespace kl {

namespace {

constexpr const char16_t* UsersKey = u"users";
constexpr const char16_t* IndexKey = u"index";
constexpr const char16_t* NameLeaf = u"/name";
constexpr const char16_t* SaltLeaf = u"/salt";
constexpr const char16_t* HashLeaf = u"/pwd";
// Present only while the account has failed attempts, and the limit only when
// it is not the default, so that files without them stay as they were.
constexpr const char16_t* FailuresLeaf = u"/failures";
constexpr const char16_t* MaxFailuresKey = u"max-failures";
// "key-checks/<ID>": the check value of each pepper key the records use.
constexpr const char16_t* KeyChecksPrefix = u"key-checks/";
// A user key is "users/" followed by the UID in decimal.
constexpr std::size_t UserKeyPrefixLength = 6;

[[noreturn]] void RaiseCorrupted() { throw EKLPasswordDatabaseError(SDatabaseCorrupted); }

String UserKey(std::int32_t UID) { return String(UsersKey) + u"/" + IntToStr(UID); }

// The first value under Key when it is a text value, as GetString would read it.
const TKLStringValue* StringValueAt(const TKLStorage& Storage, const String& Key) {
  const TKLValue* value = Storage.Get(Key);
  if (value == nullptr || value->GetValueType() != TKLStringValue::TypeCode) return nullptr;
  return dynamic_cast<const TKLStringValue*>(value);
}

} // namespace

namespace detail {

// The sub-keys of "users" as the storage lists them, with a set to tell at once
// whether a key is among them, and each user's three text values once found.
// The value objects stay valid while the storage holds them; the database
// drops this list whenever it removes values or writes keys of its own making.
// Taking a user out leaves a gap that the list closes later, all at once: a
// removal costs amortised logarithmic time.
class TUserKeyList {
public:
  struct TUserValues {
    const TKLStringValue* Name = nullptr;
    const TKLStringValue* Salt = nullptr;
    const TKLStringValue* Hash = nullptr;
  };

  explicit TUserKeyList(const TKLStorage& Storage) : FStorage(Storage) {
    TStringList listed;
    Storage.GetSubKeys(UsersKey, listed, false);
    std::vector<String> keys = listed.TakeLines();
    FUsers.Reserve(keys.size());
    FKnown.reserve(keys.size());
    for (String& key : keys) {
      FKnown.insert(key);
      FUsers.Append(TUser{std::move(key), {}});
    }
  }

  std::int32_t GetCount() const noexcept { return FUsers.GetCount(); }
  const String& Get(std::int32_t Index) const { return FUsers.Get(Index).Key; }
  bool Contains(const String& Key) const { return FKnown.count(Key) != 0; }

  // The user's name, salt and hash values; "Database is corrupted" when one is
  // missing or not a text. Index must be valid.
  const TUserValues& Values(std::int32_t Index) {
    TUser& user = FUsers.Get(Index);
    if (user.Values.Name != nullptr) return user.Values;
    TUserValues found;
    found.Name = StringValueAt(FStorage, user.Key + NameLeaf);
    found.Salt = StringValueAt(FStorage, user.Key + SaltLeaf);
    found.Hash = StringValueAt(FStorage, user.Key + HashLeaf);
    if (found.Name == nullptr || found.Salt == nullptr || found.Hash == nullptr) RaiseCorrupted();
    user.Values = found;
    return user.Values;
  }

  // A key whose first value was just appended to the storage lists last. If
  // this fails the list is left uneven; the caller then drops it.
  void Append(const String& Key) {
    FKnown.insert(Key);
    FUsers.Append(TUser{Key, {}});
  }

  // Every value under the key at Index was just removed from the storage; the
  // keys after it keep their order. Index must be valid. If this fails the
  // caller drops the list.
  void RemoveAt(std::int32_t Index) {
    const TUser removed = FUsers.Remove(FUsers.SlotAt(Index));
    FKnown.erase(removed.Key);
  }

private:
  struct TUser {
    String Key;
    TUserValues Values;
  };

  const TKLStorage& FStorage;
  TRankedList<TUser> FUsers;
  std::unordered_set<String> FKnown;
};

} // namespace detail

TKLBinaryPasswordDatabase::TKLBinaryPasswordDatabase(TComponent* AOwner)
    : TKLPasswordDatabase(AOwner), FDB(std::make_unique<TKLStorage>(nullptr)) {}

TKLBinaryPasswordDatabase::~TKLBinaryPasswordDatabase() {
  SaveOnDestroy(FSaveOnDestroy);
  WipeString(FPassword);
}

void TKLBinaryPasswordDatabase::SetPassword(const String& Value) {
  String copy = Value;
  WipeString(FPassword);
  FPassword = std::move(copy);
  FDB->ForgetDerivedKey();
}

const TKLKdfParameters& TKLBinaryPasswordDatabase::GetKdfParameters() const noexcept { return FDB->GetKdfParameters(); }
void TKLBinaryPasswordDatabase::SetKdfParameters(const TKLKdfParameters& Value) { FDB->SetKdfParameters(Value); }
bool TKLBinaryPasswordDatabase::GetAllowLegacyFormat() const noexcept { return FDB->GetAllowLegacyFormat(); }
void TKLBinaryPasswordDatabase::SetAllowLegacyFormat(bool Value) noexcept { FDB->SetAllowLegacyFormat(Value); }
std::uint8_t TKLBinaryPasswordDatabase::GetLoadedVersion() const noexcept { return FDB->GetLoadedVersion(); }
std::uint8_t TKLBinaryPasswordDatabase::GetSaveVersion() const noexcept { return FDB->GetSaveVersion(); }
void TKLBinaryPasswordDatabase::SetSaveVersion(std::uint8_t Value) { FDB->SetSaveVersion(Value); }

void TKLBinaryPasswordDatabase::SetRandomGenerator(TKLBaseRandomGenerator* Value) {
  TKLPasswordDatabase::SetRandomGenerator(Value);
  FDB->SetRandomGenerator(Value);
  FStorageGenerator = Value;
}

detail::TUserKeyList& TKLBinaryPasswordDatabase::UserKeys() const {
  if (!FUserKeys) FUserKeys = std::make_unique<detail::TUserKeyList>(*FDB);
  return *FUserKeys;
}

void TKLBinaryPasswordDatabase::StorageChanged() noexcept {
  FUserKeys.reset();
  RecordsChanged();
}

std::int32_t TKLBinaryPasswordDatabase::GetUserCount() const { return UserKeys().GetCount(); }

TKLDatabaseRecord TKLBinaryPasswordDatabase::GetRecord(std::int32_t Index) const {
  detail::TUserKeyList& keys = UserKeys();
  TKLDatabaseRecord record;
  record.UID = StrToInt(keys.Get(Index).substr(UserKeyPrefixLength));
  const auto& values = keys.Values(Index);
  record.Username = values.Name->GetValue();
  record.Salt = values.Salt->GetValue();
  record.Hash = values.Hash->GetValue();
  return record;
}

void TKLBinaryPasswordDatabase::CreateNew(const String& URI) {
  FDB->Clear();
  StorageChanged();
  FIndex = 0;
  FURI = URI;
  FModified = true;
  RecordLoadedStamp(TFileStamp()); // a new file: one that appears meanwhile is someone else's
}

// The file is loaded into a storage of its own, which replaces the database's
// only once it has passed every check: a failed Open changes nothing.
void TKLBinaryPasswordDatabase::Open(const String& URI) {
  const TFileStamp stamp = TFileStamp::Of(URI);
  auto loaded = std::make_unique<TKLStorage>(nullptr);
  loaded->SetRandomGenerator(FStorageGenerator);
  loaded->SetKdfParameters(FDB->GetKdfParameters());
  loaded->SetAllowLegacyFormat(FDB->GetAllowLegacyFormat());
  loaded->SetSaveVersion(FDB->GetSaveVersion());
  loaded->LoadFromFile(URI, FPassword);
  if (loaded->GetCount() == 0) RaiseCorrupted();
  std::int32_t index = 0;
  if (!loaded->GetInt(IndexKey, index, 0)) RaiseCorrupted();
  String uri = URI;
  FDB.swap(loaded);
  StorageChanged();
  FIndex = index;
  FURI = std::move(uri);
  FModified = false;
  RecordLoadedStamp(stamp);
}

// As the storage's own SaveToFile, through the base class's change check.
void TKLBinaryPasswordDatabase::Save() {
  if (!GetOpened()) throw EKLPasswordDatabaseError(SDatabaseNotOpened);
  FDB->PutInt(IndexKey, FIndex, true);
  SaveToURI([&](TStream& Strm) { FDB->SaveToStream(Strm, FPassword); });
  FModified = false;
}

std::int32_t TKLBinaryPasswordDatabase::AddUser(const String& Username, const String& Password, bool ChangeIfExists) {
  // Stored in NFC, the form names are compared in.
  const String name = NormalizeUserName(Username);
  const bool exists = Exists(name);
  if (exists && !ChangeIfExists) throw EKLPasswordDatabaseError(SUserAlreadyExists);
  const std::int32_t uid = exists ? ChangeUser(name, Password) : AddNewUser(name, Password);
  FModified = true;
  return uid;
}

// The new user's key lists last, so the caches can take it in, unless values
// under that key were already there (only a hand-made storage holds such).
std::int32_t TKLBinaryPasswordDatabase::AddNewUser(const String& Username, const String& Password) {
  String salt;
  String hash;
  const detail::TWipeTextOnExit wipeSalt(salt);
  const detail::TWipeTextOnExit wipeHash(hash);
  MakeHashRecord(Password, salt, hash);
  const std::int32_t uid = detail::NextUserID(FIndex);
  const String key = UserKey(uid);
  const bool keyIsNew = FUserKeys && !FUserKeys->Contains(key);
  FIndex = uid;
  try {
    FDB->PutString(key + NameLeaf, Username, false);
    FDB->PutString(key + SaltLeaf, salt, false);
    FDB->PutString(key + HashLeaf, hash, false);
  } catch (...) {
    StorageChanged();
    throw;
  }
  if (!keyIsNew) {
    StorageChanged();
    return uid;
  }
  try {
    FUserKeys->Append(key);
  } catch (...) {
    StorageChanged();
    return uid;
  }
  UserAppended(uid, Username);
  return uid;
}

// The values are replaced in place, so no user moves, unless the user's key is
// not the plain decimal form of its UID (users/007 for UID 7): then the writes
// make new keys.
std::int32_t TKLBinaryPasswordDatabase::ChangeUser(const String& Username, const String& Password) {
  const std::int32_t position = FindUserPosition(Username);
  const std::int32_t uid = GetUID(Username);
  String salt;
  String hash;
  const detail::TWipeTextOnExit wipeSalt(salt);
  const detail::TWipeTextOnExit wipeHash(hash);
  MakeHashRecord(Password, salt, hash);
  const String key = UserKey(uid);
  const bool inPlace = UserKeys().Get(position) == key;
  try {
    FDB->PutString(key + NameLeaf, Username, true);
    FDB->PutString(key + SaltLeaf, salt, true);
    FDB->PutString(key + HashLeaf, hash, true);
  } catch (...) {
    StorageChanged();
    throw;
  }
  if (!inPlace) StorageChanged();
  return uid;
}

// When the caches know where the user stands and that no other key carries
// its UID, they drop that one user; otherwise they are built again on next use.
bool TKLBinaryPasswordDatabase::DeleteUser(std::int32_t UID) {
  const String key = UserKey(UID);
  std::int32_t position = -1;
  if (FUserKeys) {
    position = FindUniqueUIDPosition(UID);
    if (position >= FUserKeys->GetCount() || (position >= 0 && FUserKeys->Get(position) != key)) position = -1;
  }
  std::int32_t removed = 0;
  try {
    removed = FDB->Remove(key, true);
  } catch (...) {
    StorageChanged();
    throw;
  }
  if (removed == 0) return false;
  FModified = true;
  // A hand-made storage may hold the key itself more than once; Remove takes
  // only its first value, so the key can still be listed.
  if (position < 0 || FDB->Get(key) != nullptr) {
    StorageChanged();
    return true;
  }
  try {
    FUserKeys->RemoveAt(position);
  } catch (...) {
    StorageChanged();
    return true;
  }
  UserRemoved(position);
  return true;
}

// The count lives in its own value beside the user's three; adding or taking
// it out moves no user, so the caches hold.
std::int32_t TKLBinaryPasswordDatabase::ReadFailureCount(std::int32_t Position) const {
  std::int32_t count = 0;
  FDB->GetInt(UserKeys().Get(Position) + FailuresLeaf, count, 0);
  return count < 0 ? 0 : count;
}

std::int32_t TKLBinaryPasswordDatabase::AddFailure(std::int32_t Position) {
  std::int32_t count = ReadFailureCount(Position);
  if (count < std::numeric_limits<std::int32_t>::max()) ++count;
  FDB->PutInt(UserKeys().Get(Position) + FailuresLeaf, count, true);
  FModified = true;
  return count;
}

void TKLBinaryPasswordDatabase::ClearFailures(std::int32_t Position) {
  const String key = UserKeys().Get(Position) + FailuresLeaf;
  if (FDB->Get(key) == nullptr) return;
  FDB->Remove(key, false);
  FModified = true;
}

void TKLBinaryPasswordDatabase::ReturnAttempt(std::int32_t Position) {
  const std::int32_t count = ReadFailureCount(Position);
  if (count == 0) return;
  if (count == 1) {
    ClearFailures(Position);
    return;
  }
  FDB->PutInt(UserKeys().Get(Position) + FailuresLeaf, count - 1, true);
  FModified = true;
}

String TKLBinaryPasswordDatabase::ReadKeyCheck(const String& ID) const {
  String check;
  FDB->GetString(KeyChecksPrefix + ID, check, String());
  return check;
}

String TKLBinaryPasswordDatabase::RecordKeyCheck(const String& ID, const String& Check) {
  String stored = ReadKeyCheck(ID);
  if (!stored.empty()) return stored;
  FDB->PutString(KeyChecksPrefix + ID, Check, true);
  FModified = true;
  return Check;
}

std::int32_t TKLBinaryPasswordDatabase::ReadMaxFailures() const {
  std::int32_t limit = KLDefaultMaxFailures;
  FDB->GetInt(MaxFailuresKey, limit, KLDefaultMaxFailures);
  return limit < 0 ? KLDefaultMaxFailures : limit;
}

void TKLBinaryPasswordDatabase::WriteMaxFailures(std::int32_t Value) {
  if (Value == KLDefaultMaxFailures) {
    FDB->Remove(MaxFailuresKey, false);
  } else {
    FDB->PutInt(MaxFailuresKey, Value, true);
  }
}

// The values are replaced in place (the value objects stay, so the caches
// hold); the hash goes first, and is put back if the salt cannot follow.
// Rare (a copy between databases): the caches are simply built again.
void TKLBinaryPasswordDatabase::ImportRecord(const TKLDatabaseRecord& Record) {
  if (!GetOpened()) throw EKLPasswordDatabaseError(SDatabaseNotOpened);
  if (Record.UID < 1 || Record.Failures < 0) RaiseCorrupted();
  if (GetUID(Record.Username) != -1 || FindUIDPosition(Record.UID) >= 0) {
    throw EKLPasswordDatabaseError(SUserAlreadyExists);
  }
  const String key = UserKey(Record.UID);
  try {
    FDB->PutString(key + NameLeaf, Record.Username, false);
    FDB->PutString(key + SaltLeaf, Record.Salt, false);
    FDB->PutString(key + HashLeaf, Record.Hash, false);
    if (Record.Failures > 0) FDB->PutInt(key + FailuresLeaf, Record.Failures, false);
  } catch (...) {
    StorageChanged();
    throw;
  }
  StorageChanged();
  FIndex = std::max(FIndex, Record.UID);
  FModified = true;
}

void TKLBinaryPasswordDatabase::ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) {
  detail::TUserKeyList& keys = UserKeys();
  const String key = keys.Get(Position);
  String oldHash = keys.Values(Position).Hash->GetValue();
  const detail::TWipeTextOnExit wipeOldHash(oldHash);
  FDB->PutString(key + HashLeaf, Hash, true);
  try {
    FDB->PutString(key + SaltLeaf, Salt, true);
  } catch (...) {
    FDB->PutString(key + HashLeaf, oldHash, true);
    throw;
  }
}

} // namespace kl
