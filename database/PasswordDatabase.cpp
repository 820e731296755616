#include <algorithm>
#include <limits>
#include <thread>
#include <string_view>
#include <vector>

#include "crypto/Argon2id.h"
#include "crypto/KLSHA256.h"
#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "database/UserLookupIndex.h"
#include "foundation/AtomicFile.h"
#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"

namespace kl {

EKLPasswordDatabaseError::~EKLPasswordDatabaseError() = default;
EKLAccountLockedError::~EKLAccountLockedError() = default;

namespace detail {

void TUserLookupIndex::Reserve(std::int32_t Count) {
  if (Count <= 0) return;
  FByName.reserve(static_cast<std::size_t>(Count));
  FByUID.reserve(static_cast<std::size_t>(Count));
  FRecords.Reserve(static_cast<std::size_t>(Count));
}

void TUserLookupIndex::Append(std::int32_t UID, const String& Username) {
  if (FDamaged) return;
  const std::uint32_t slot = FRecords.Append(TRecordKeys{nullptr, UID});
  // emplace keeps an existing entry: the first record of a name or UID wins.
  const auto name = FByName.emplace(NormalizeUserName(Username), TNameSlot{slot, UID});
  const bool newUID = FByUID.emplace(UID, slot).second;
  if (!name.second || !newUID) FShared = true;
  FRecords.AtSlot(slot).Name = &name.first->first;
}

void TUserLookupIndex::AppendDamaged(std::exception_ptr Error) noexcept {
  if (!FDamaged) FDamaged = std::move(Error);
}

// With every name and UID on one record, each record has exactly one entry in
// each map, so taking its two entries out gives what a new walk would; the
// positions of the later records follow from their slots.
bool TUserLookupIndex::RemoveAt(std::int32_t Position) noexcept {
  if (FDamaged || FShared || Position < 0 || Position >= FRecords.GetCount()) return false;
  TRecordKeys removed{};
  try {
    removed = FRecords.Remove(FRecords.SlotAt(Position), [this](const TRecordKeys& Moved, std::uint32_t Slot) noexcept {
      FByName.find(*Moved.Name)->second.Slot = Slot;
      FByUID.find(Moved.UID)->second = Slot;
    });
  } catch (...) {
    return false;
  }
  FByName.erase(FByName.find(*removed.Name));
  FByUID.erase(removed.UID);
  return true;
}

void TUserLookupIndex::RaiseIfDamaged() const {
  if (FDamaged) std::rethrow_exception(FDamaged);
}

TUserLookupIndex::TNameEntry TUserLookupIndex::FindName(const String& Username) const {
  const auto found = FByName.find(NormalizeUserName(Username));
  if (found != FByName.end()) return {FRecords.PositionOf(found->second.Slot), found->second.UID};
  RaiseIfDamaged();
  return {-1, -1};
}

std::int32_t TUserLookupIndex::FindUID(std::int32_t UID) const {
  const auto found = FByUID.find(UID);
  if (found != FByUID.end()) return FRecords.PositionOf(found->second);
  RaiseIfDamaged();
  return -1;
}

std::int32_t TUserLookupIndex::FindUniqueUID(std::int32_t UID) const noexcept {
  if (FDamaged || FShared) return -1;
  const auto found = FByUID.find(UID);
  return found != FByUID.end() ? FRecords.PositionOf(found->second) : -1;
}

std::int32_t NextUserID(std::int32_t Last) {
  if (Last == std::numeric_limits<std::int32_t>::max()) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  return Last + 1;
}

} // namespace detail

namespace {

void HashUpdate(TSHA256Context& Context, const ByteArray& Bytes) {
  constexpr std::size_t chunk = std::size_t{1} << 30;
  for (std::size_t done = 0; done < Bytes.size(); done += chunk) {
    const std::size_t n = std::min(chunk, Bytes.size() - done);
    SHA256Update(Context, Bytes.data() + done, static_cast<std::uint32_t>(n));
  }
}

// The password bytes the old form hashes: an unpaired surrogate encodes as
// U+FFFD, as it always has, so that old records keep verifying.
SecureBytes PasswordBytes(const String& Password) {
  RawByteString utf8 = StrToUTF8(Password);
  SecureBytes bytes(RawByteStringToBytes(utf8));
  WipeRawBytes(utf8);
  return SecureBytes(std::move(bytes.Get()));
}

bool StartsWith(const String& Text, std::u16string_view Prefix) noexcept {
  return std::u16string_view(Text).substr(0, Prefix.size()) == Prefix;
}

// A record's hex field, decoded: text that is not hex is a damaged record like
// any other, not a conversion the caller asked for.
ByteArray RecordHexToBytes(const String& Text) {
  try {
    return HexStrToBytes(Text);
  } catch (const EConvertError&) {
    throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  }
}

// The old form's salt and 32-byte digest, decoded; SDatabaseCorrupted when
// either is empty, odd or not hex, or the digest is not 32 bytes.
void DecodeOldForm(const TKLDatabaseRecord& Record, SecureBytes& Salt, SecureBytes& Digest) {
  // Hex never starts with '$': a hash string cut short, or of a kind no database writes.
  if (StartsWith(Record.Hash, u"$")) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  SecureBytes salt(RecordHexToBytes(Record.Salt));
  SecureBytes digest(RecordHexToBytes(Record.Hash));
  if (salt.size() == 0 || digest.size() != KLDatabaseHashSize) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  std::swap(Salt.Get(), salt.Get());
  std::swap(Digest.Get(), digest.Get());
}

// A malformed hash string is a damaged record; a string asking for too much
// keeps its own error, so that the bound can be seen and raised.
template <class F>
auto ReadingHashString(F&& Action) {
  try {
    return Action();
  } catch (const EKLPasswordHashError& e) {
    if (e.GetMessage() == SInvalidPasswordHash) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
    throw;
  }
}

// A keyed record is the Argon2id string of the keyed identifier with the key's
// field after the identifier: "$kl-argon2id-hmac$k=<ID>$v=19$...".
constexpr std::u16string_view KeyedPrefix = u"$kl-argon2id-hmac$k=";

// The key ID of a keyed record, and the record without its key field, which
// the hash-string reader takes.
void SplitKeyed(const String& Hash, String& ID, String& Inner) {
  const std::size_t end = Hash.find(u'$', KeyedPrefix.size());
  if (!StartsWith(Hash, KeyedPrefix) || end == String::npos) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  ID = Hash.substr(KeyedPrefix.size(), end - KeyedPrefix.size());
  if (!TKLPepper::IsValidID(ID)) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  Inner = u"$";
  Inner.append(KLKeyedHashIdentifier).append(Hash, end);
}

} // namespace

// What a keyed record's check leaves for re-keying it under the current key:
// the Argon2id output, its salt and cost, so that no second Argon2id is needed.
struct TKLPasswordDatabase::TKeyedMatch {
  String ID;
  std::uint8_t Salt[KLPasswordHashSaltSize] = {};
  SecureBytes Output{KLPasswordHashTagSize};
  TKLPasswordHashParameters Cost;
};

TKLHashScheme HashSchemeOf(const TKLDatabaseRecord& Record) noexcept {
  const std::u16string_view hash(Record.Hash);
  const std::u16string_view wrapped(KLWrappedHashIdentifier);
  if (StartsWith(Record.Hash, u"$argon2id$")) return hsArgon2id;
  if (StartsWith(Record.Hash, KeyedPrefix)) return hsKeyedArgon2id;
  if (hash.size() > wrapped.size() + 1 && hash[0] == u'$' && hash.substr(1, wrapped.size()) == wrapped &&
      hash[wrapped.size() + 1] == u'$') {
    return hsWrappedSHA256;
  }
  return hsSHA256;
}

TKLPasswordDatabase::TKLPasswordDatabase(TComponent* AOwner) : TKLRandomBasedComponent(AOwner) {}

TKLPasswordDatabase::~TKLPasswordDatabase() = default;

void TKLPasswordDatabase::SaveOnDestroy(bool Wanted) noexcept {
  if (!GetOpened() || !Wanted) return;
  try {
    Save();
  } catch (const std::exception& e) {
    SaveFailedOnDestroy(e); // the atomic save left the file as it was
  } catch (...) {
  }
}

void TKLPasswordDatabase::SaveFailedOnDestroy(const std::exception& Error) const noexcept {
  if (!FOnSaveError) return;
  try {
    FOnSaveError(*this, Error);
  } catch (...) {
    // A destructor cannot pass it on.
  }
}

void TKLPasswordDatabase::SaveToURI(const std::function<void(TStream&)>& Writer) {
  if (FRefuseChangedFile) {
    FFileStamp = SaveFileAtomically(FURI, Writer, FFileStamp);
  } else {
    SaveFileAtomically(FURI, Writer);
    FFileStamp = TFileStamp::Of(FURI);
  }
}

// One walk over every record builds the index; it is kept until a descendant
// reports a change. Only the library's own errors mark a record as damaged:
// anything else (out of memory) leaves no index behind and reaches the caller.
const detail::TUserLookupIndex& TKLPasswordDatabase::Lookups() const {
  if (FLookups) return *FLookups;
  auto index = std::make_unique<detail::TUserLookupIndex>();
  const std::int32_t count = GetUserCount();
  index->Reserve(count);
  for (std::int32_t i = 0; i < count; ++i) {
    TKLDatabaseRecord record;
    try {
      record = GetRecord(i);
    } catch (const Exception&) {
      index->AppendDamaged(std::current_exception());
      break;
    }
    WipeString(record.Salt);
    WipeString(record.Hash);
    index->Append(record.UID, record.Username);
  }
  FLookups = std::move(index);
  return *FLookups;
}

void TKLPasswordDatabase::UserAppended(std::int32_t UID, const String& Username) noexcept {
  if (!FLookups) return;
  try {
    FLookups->Append(UID, Username);
  } catch (...) {
    FLookups.reset();
  }
}

void TKLPasswordDatabase::UserRemoved(std::int32_t Position) noexcept {
  if (FLookups && !FLookups->RemoveAt(Position)) FLookups.reset();
}

std::int32_t TKLPasswordDatabase::FindUniqueUIDPosition(std::int32_t UID) const noexcept {
  return FLookups ? FLookups->FindUniqueUID(UID) : -1;
}

void TKLPasswordDatabase::RecordsChanged() noexcept { FLookups.reset(); }

std::int32_t TKLPasswordDatabase::FindUserPosition(const String& Username) const {
  return Lookups().FindName(Username).Position;
}

std::int32_t TKLPasswordDatabase::FindUIDPosition(std::int32_t UID) const { return Lookups().FindUID(UID); }

std::int32_t TKLPasswordDatabase::GetUID(const String& Username) const { return Lookups().FindName(Username).UID; }

String TKLPasswordDatabase::GetUsername(std::int32_t UID) const {
  const std::int32_t position = FindUIDPosition(UID);
  if (position < 0) return {};
  TKLDatabaseRecord record = GetRecord(position);
  WipeString(record.Salt);
  WipeString(record.Hash);
  return std::move(record.Username);
}

bool TKLPasswordDatabase::Exists(const String& Username) const { return GetUID(Username) >= 1; }

bool TKLPasswordDatabase::DeleteUser(const String& Username) {
  const std::int32_t uid = GetUID(Username);
  if (uid < 1) return false;
  DeleteUser(uid);
  return true;
}

bool TKLPasswordDatabase::GetDataByName(const String& Username, String& Salt, String& Hash) const {
  const std::int32_t position = FindUserPosition(Username);
  if (position < 0) return false;
  TKLDatabaseRecord record = GetRecord(position);
  Salt = std::move(record.Salt);
  Hash = std::move(record.Hash);
  return true;
}

ByteArray TKLPasswordDatabase::GetPasswordHash(const ByteArray& Salt, const ByteArray& Password) const {
  TSHA256Context context;
  WipeOnExit<TSHA256Context> wipeContext(context);
  SHA256Initialize(context);
  HashUpdate(context, Salt);
  HashUpdate(context, Password);
  TMessageDigest256 digest = SHA256Finalize(context);
  WipeOnExit<TMessageDigest256> wipeDigest(digest);
  return DigestToBytes(digest);
}

void TKLPasswordDatabase::TransformPassword(const String& Password, String& Salt, String& Hash) const {
  SecureBytes salt(KLDatabaseSaltSize);
  GetRandomGenerator()->Generate(salt.data(), static_cast<std::int32_t>(salt.size()));
  const SecureBytes password = PasswordBytes(Password);
  const SecureBytes hash(GetPasswordHash(salt.Get(), password.Get()));
  String saltText = BytesToHexStr(salt.Get());
  String hashText = BytesToHexStr(hash.Get());
  WipeString(Salt);
  WipeString(Hash);
  Salt = std::move(saltText);
  Hash = std::move(hashText);
}

void TKLPasswordDatabase::SetHashParameters(const TKLPasswordHashParameters& Value) {
  detail::CheckHashParameters(Value);
  FHashParameters = Value;
}

// The salt comes from the component's generator, as every random byte it uses.
String TKLPasswordDatabase::HashWithFreshSalt(const String& Algorithm, const ByteArray& Password) const {
  SecureBytes salt(KLPasswordHashSaltSize);
  GetRandomGenerator()->Generate(salt.data(), static_cast<std::int32_t>(salt.size()));
  return detail::HashPasswordBytes(Algorithm, Password.data(), Password.size(), salt.data(), FHashParameters);
}

// Every new hash is of the password's NFKC form, so that it verifies however
// the password is typed.
void TKLPasswordDatabase::MakeHashRecord(const String& Password, String& Salt, String& Hash) {
  if (!IsValidUTF16(Password)) throw EConvertError(SInvalidUTF16);
  String normal = NormalizePassword(Password);
  const detail::TWipeTextOnExit wipeNormal(normal);
  if (FWeakLegacyHashes) {
    TransformPassword(normal, Salt, Hash);
    return;
  }
  // A key loaded with other bytes than the records were made with would make
  // a hash no right key verifies.
  if (FPepper && CheckKey(FPepper->GetCurrentID())) {
    const String check = FPepper->CheckValue(FPepper->GetCurrentID());
    if (RecordKeyCheck(FPepper->GetCurrentID(), check) != check) {
      throw EKLPepperMismatchError(std::string(SPepperKeyMismatch) + ": " + StrToUTF8(FPepper->GetCurrentID()));
    }
  }
  RawByteString utf8 = StrToUTF8Strict(normal);
  SecureBytes password(RawByteStringToBytes(utf8));
  WipeRawBytes(utf8);
  String hash;
  if (FPepper) {
    TKeyedMatch fresh;
    GetRandomGenerator()->Generate(fresh.Salt, static_cast<std::int32_t>(sizeof fresh.Salt));
    fresh.Cost = FHashParameters;
    detail::Argon2id(password.data(), password.size(), fresh.Salt, fresh.Cost.Passes, fresh.Cost.MemoryKiB,
                     fresh.Output.data(), fresh.Output.size());
    hash = KeyedHash(FPepper->GetCurrentID(), fresh);
  } else {
    hash = HashWithFreshSalt(u"argon2id", password.Get());
  }
  WipeString(Salt);
  WipeString(Hash);
  Hash = std::move(hash);
}

// The check value is not secret (a MAC of a fixed label), so a plain
// comparison tells nothing worth hiding.
bool TKLPasswordDatabase::CheckKey(const String& ID) const {
  const String stored = ReadKeyCheck(ID);
  if (stored.empty()) return true;
  if (stored != FPepper->CheckValue(ID)) {
    throw EKLPepperMismatchError(std::string(SPepperKeyMismatch) + ": " + StrToUTF8(ID));
  }
  return false;
}

// The stored tag is HMAC-SHA-256 under the named key of the Argon2id output.
String TKLPasswordDatabase::KeyedHash(const String& ID, const TKeyedMatch& Match) const {
  TMessageDigest256 tag = FPepper->Apply(ID, Match.Output.data(), Match.Output.size());
  WipeOnExit<TMessageDigest256> wipeTag(tag);
  String inner = detail::FormatHashString(KLKeyedHashIdentifier, Match.Salt, DigestBytes(tag), Match.Cost);
  String hash = String(KeyedPrefix) + ID + inner.substr(1 + std::char_traits<char16_t>::length(KLKeyedHashIdentifier));
  WipeString(inner);
  return hash;
}

bool TKLPasswordDatabase::VerifyKeyed(const String& Hash, const String& Password, TKeyedMatch& Keyed) const {
  String inner;
  const detail::TWipeTextOnExit wipeInner(inner);
  SplitKeyed(Hash, Keyed.ID, inner);
  if (!FPepper || !FPepper->Contains(Keyed.ID)) {
    throw EKLPepperError(std::string(SPepperKeyNotLoaded) + ": " + StrToUTF8(Keyed.ID));
  }
  SecureBytes stored(KLPasswordHashTagSize);
  Keyed.Cost = ReadingHashString(
      [&] { return detail::ReadHashString(inner, KLKeyedHashIdentifier, FHashParameters, Keyed.Salt, stored.data()); });
  RawByteString utf8 = StrToUTF8Strict(Password);
  const SecureBytes password(RawByteStringToBytes(utf8));
  WipeRawBytes(utf8);
  detail::Argon2id(password.data(), password.size(), Keyed.Salt, Keyed.Cost.Passes, Keyed.Cost.MemoryKiB,
                   Keyed.Output.data(), Keyed.Output.size());
  TMessageDigest256 tag = FPepper->Apply(Keyed.ID, Keyed.Output.data(), Keyed.Output.size());
  WipeOnExit<TMessageDigest256> wipeTag(tag);
  return ConstantTimeEqual(DigestBytes(tag), stored.data(), KLPasswordHashTagSize);
}

bool TKLPasswordDatabase::VerifyRecord(const TKLDatabaseRecord& Record, const String& Password, TKeyedMatch& Keyed,
                                       bool& AtCurrentCost) const {
  const auto atLeast = [&](std::uint64_t MemoryKiB, std::uint64_t Passes) {
    return MemoryKiB >= FHashParameters.MemoryKiB && Passes >= FHashParameters.Passes;
  };
  AtCurrentCost = false;
  const TKLHashScheme scheme = HashSchemeOf(Record);
  if (scheme == hsArgon2id) {
    const bool match = ReadingHashString([&] { return VerifyPassword(Record.Hash, Password, FHashParameters); });
    const TKLPasswordHashInfo info = DescribePasswordHash(Record.Hash);
    AtCurrentCost = atLeast(info.MemoryKiB, info.Passes);
    return match;
  }
  if (scheme == hsKeyedArgon2id) {
    const bool match = VerifyKeyed(Record.Hash, Password, Keyed);
    AtCurrentCost = atLeast(Keyed.Cost.MemoryKiB, Keyed.Cost.Passes);
    return match;
  }
  SecureBytes salt;
  SecureBytes stored;
  if (scheme == hsWrappedSHA256) {
    salt.Get() = RecordHexToBytes(Record.Salt);
    if (salt.size() == 0) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  } else {
    DecodeOldForm(Record, salt, stored);
  }
  const SecureBytes password = PasswordBytes(Password);
  const SecureBytes computed(GetPasswordHash(salt.Get(), password.Get()));
  if (scheme == hsSHA256) return ConstantTimeEqual(computed.data(), stored.data(), KLDatabaseHashSize);
  const bool match = ReadingHashString([&] {
    return detail::VerifyPasswordBytes(Record.Hash, KLWrappedHashIdentifier, computed.data(), computed.size(),
                                       FHashParameters);
  });
  const TKLPasswordHashInfo info = DescribePasswordHash(Record.Hash);
  AtCurrentCost = atLeast(info.MemoryKiB, info.Passes);
  return match;
}

void TKLPasswordDatabase::Rehash(std::int32_t Position, const TKLDatabaseRecord& Current, const String& Password) {
  String salt;
  String hash;
  const detail::TWipeTextOnExit wipeSalt(salt);
  const detail::TWipeTextOnExit wipeHash(hash);
  MakeHashRecord(Password, salt, hash);
  if (ReplaceHashIf(Position, Current, salt, hash)) FModified = true;
}

// An unknown name costs what a wrong password on a fresh record costs, so the
// time of the answer does not tell whether the account exists; a record
// cheaper than that is topped up to it. A locked account is refused before
// any hashing: its owner already knows it exists.
//
// The attempt is counted before the hash is computed, with the limit checked
// in the same step: counting after would let every attempt already in flight
// be checked, as many per lockout as an attacker opens connections.
bool TKLPasswordDatabase::Verify(const String& Username, const String& Password) {
  TKLDatabaseRecord record;
  std::int32_t position = -1;
  const detail::TWipeTextOnExit wipeSalt(record.Salt);
  const detail::TWipeTextOnExit wipeHash(record.Hash);
  if (!FindRecord(Username, record, position)) {
    VerifyDummy(Password); // an unknown name costs what a known one does
    throw EKLPasswordDatabaseError(SUserDoesNotExist);
  }
  // A key that is missing or not the records' own is the configuration's
  // fault: said before anything is counted.
  const TKLHashScheme scheme = HashSchemeOf(record);
  bool keyUnchecked = false;
  String keyID;
  if (scheme == hsKeyedArgon2id) {
    String inner;
    const detail::TWipeTextOnExit wipeInner(inner);
    SplitKeyed(record.Hash, keyID, inner);
    if (!FPepper || !FPepper->Contains(keyID)) {
      throw EKLPepperError(std::string(SPepperKeyNotLoaded) + ": " + StrToUTF8(keyID));
    }
    keyUnchecked = CheckKey(keyID);
  }
  const std::int32_t limit = ReadMaxFailures();
  // The file databases count in memory: an attempt that ends as it began
  // leaves them as unmodified as it found them.
  const bool wasModified = FModified;
  const std::int32_t count = TakeAttempt(position, limit);
  if (count < 0) throw EKLAccountLockedError(SAccountLocked);
  if (count == 0) {
    VerifyDummy(Password); // deleted meanwhile
    throw EKLPasswordDatabaseError(SUserDoesNotExist);
  }
  TKeyedMatch keyed;
  bool atCost = false;
  bool match = false;
  // The password's NFKC form first, which every hash made now is of; then, for
  // a password that normalising changes, the password as typed, which a record
  // made before passwords were normalised may hold. A match on that one is
  // rehashed below, so the next attempt needs one check.
  String normal = NormalizePassword(Password);
  const detail::TWipeTextOnExit wipeNormal(normal);
  bool matchedAsTyped = false;
  try {
    match = VerifyRecord(record, normal, keyed, atCost);
    if (!match && normal != Password) matchedAsTyped = match = VerifyRecord(record, Password, keyed, atCost);
  } catch (...) {
    try {
      ReturnAttempt(position);
    } catch (...) {
      // The error the caller must see is the first: a lost connection that
      // keeps the count is the safe way to be wrong.
    }
    FModified = wasModified;
    throw;
  }
  const bool topUp = !atCost && !FWeakLegacyHashes;
  if (!match) {
    if (topUp) VerifyDummy(Password);
    FailedAttempt(count);
    return false;
  }
  ClearFailures(position); // a success ends the run of failures
  if (count == 1) FModified = wasModified;
  if (keyUnchecked) RecordKeyCheck(keyID, FPepper->CheckValue(keyID));
  if (FWeakLegacyHashes || !IsValidUTF16(Password)) {
    if (topUp) VerifyDummy(Password);
    return true;
  }
  if (scheme == hsKeyedArgon2id && atCost && !matchedAsTyped) {
    // At the current cost, only a key that is no longer current needs a change:
    // the Argon2id output at hand is keyed again, with its salt and cost.
    if (keyed.ID != FPepper->GetCurrentID()) {
      if (CheckKey(FPepper->GetCurrentID())) {
        RecordKeyCheck(FPepper->GetCurrentID(), FPepper->CheckValue(FPepper->GetCurrentID()));
      }
      String hash = KeyedHash(FPepper->GetCurrentID(), keyed);
      const detail::TWipeTextOnExit wipeNew(hash);
      if (ReplaceHashIf(position, record, String(), hash)) FModified = true;
    }
    return true;
  }
  // A weaker record is rehashed at the current cost, which is the top-up.
  const bool weaker =
      matchedAsTyped || scheme != hsArgon2id || NeedsRehash(record.Hash, FHashParameters) || FPepper != nullptr;
  if (weaker) {
    Rehash(position, record, Password);
  } else if (topUp) {
    VerifyDummy(Password);
  }
  return true;
}

std::int32_t TKLPasswordDatabase::TakeAttempt(std::int32_t Position, std::int32_t Limit) {
  if (Limit > 0 && ReadFailureCount(Position) >= Limit) return -1;
  return AddFailure(Position);
}

void TKLPasswordDatabase::FailedAttempt(std::int32_t Count) {
  const std::int32_t count = Count;
  if (FFailureDelay.count() <= 0) return;
  std::chrono::milliseconds delay = FFailureDelay;
  for (std::int32_t i = 1; i < count && delay < FMaxFailureDelay; ++i) delay *= 2;
  PauseAfterFailure(std::min(delay, FMaxFailureDelay));
}

void TKLPasswordDatabase::PauseAfterFailure(std::chrono::milliseconds Delay) { std::this_thread::sleep_for(Delay); }

// The work of checking a password against a record at the current cost, with
// a fixed salt; the result is dropped. A password that normalising changes is
// checked twice against a record (normalised, then as typed), and so here.
void TKLPasswordDatabase::VerifyDummy(const String& Password) const {
  String normal = NormalizePassword(Password);
  const detail::TWipeTextOnExit wipeNormal(normal);
  DummyCheck(normal);
  if (normal != Password) DummyCheck(Password);
}

void TKLPasswordDatabase::DummyCheck(const String& Password) const {
  const SecureBytes password = PasswordBytes(Password);
  if (FWeakLegacyHashes) {
    const SecureBytes salt(KLDatabaseSaltSize);
    SecureBytes digest(GetPasswordHash(salt.Get(), password.Get()));
    return;
  }
  static constexpr std::uint8_t salt[KLPasswordHashSaltSize] = {};
  String hash = detail::HashPasswordBytes(u"argon2id", password.data(), password.size(), salt, FHashParameters);
  WipeString(hash);
}

std::int32_t TKLPasswordDatabase::GetMaxFailures() const { return ReadMaxFailures(); }

void TKLPasswordDatabase::SetMaxFailures(std::int32_t Value) {
  if (Value < 0) throw EKLPasswordDatabaseError(SInvalidMaxFailures);
  if (Value == ReadMaxFailures()) return;
  WriteMaxFailures(Value);
  FModified = true;
}

std::int32_t TKLPasswordDatabase::GetFailureCount(const String& Username) const {
  const std::int32_t position = PositionOf(Username);
  return ReadFailureCount(position);
}

std::int32_t TKLPasswordDatabase::PositionOf(const String& Username) const {
  TKLDatabaseRecord record;
  std::int32_t position = -1;
  const detail::TWipeTextOnExit wipeSalt(record.Salt);
  const detail::TWipeTextOnExit wipeHash(record.Hash);
  if (!FindRecord(Username, record, position)) throw EKLPasswordDatabaseError(SUserDoesNotExist);
  return position;
}

void TKLPasswordDatabase::Unlock(const String& Username) {
  const std::int32_t position = PositionOf(Username);
  ClearFailures(position);
}

// Both are held to an hour, so that doubling the pause can never overflow.
void TKLPasswordDatabase::SetFailureDelay(std::chrono::milliseconds Base, std::chrono::milliseconds Max) {
  constexpr std::chrono::milliseconds hour = std::chrono::hours{1};
  FFailureDelay = std::clamp(Base, std::chrono::milliseconds{0}, hour);
  FMaxFailureDelay = std::clamp(Max, FFailureDelay, hour);
}

bool TKLPasswordDatabase::FindRecord(const String& Username, TKLDatabaseRecord& Record, std::int32_t& Position) const {
  Position = FindUserPosition(Username);
  if (Position < 0) return false;
  Record = GetRecord(Position);
  return true;
}

bool TKLPasswordDatabase::ReadRecord(std::int32_t Position, std::int32_t, TKLDatabaseRecord& Record) const {
  Record = GetRecord(Position);
  return true;
}

// Records held in memory change only through this object, so the record at
// Position is still the one read.
bool TKLPasswordDatabase::ReplaceHashIf(std::int32_t Position, const TKLDatabaseRecord&, const String& Salt,
                                        const String& Hash) {
  ReplaceHash(Position, Salt, Hash);
  return true;
}

void TKLPasswordDatabase::WalkRecords(
    const std::function<void(std::int32_t Position, const TKLDatabaseRecord& Record)>& Visitor) const {
  const std::int32_t count = GetUserCount();
  for (std::int32_t i = 0; i < count; ++i) {
    TKLDatabaseRecord record = GetRecord(i);
    const detail::TWipeTextOnExit wipeSalt(record.Salt);
    const detail::TWipeTextOnExit wipeHash(record.Hash);
    Visitor(i, record);
  }
}

void TKLPasswordDatabase::ForEachRecord(const TRecordVisitor& Visitor) const {
  WalkRecords([&](std::int32_t Position, const TKLDatabaseRecord& Record) {
    TKLDatabaseRecord record = Record;
    const detail::TWipeTextOnExit wipeSalt(record.Salt);
    const detail::TWipeTextOnExit wipeHash(record.Hash);
    record.Failures = ReadFailureCount(Position);
    Visitor(record);
  });
}

// Every old record is checked before the first is changed, so a damaged one
// stops the upgrade with nothing done. A failure later (memory) leaves the
// records wrapped so far wrapped: each record is whole either way. A record
// that another process changed or removed meanwhile is left to it.
std::int32_t TKLPasswordDatabase::UpgradeHashes() { return UpgradeHashes(TUpgradeProgress{}); }

std::int32_t TKLPasswordDatabase::UpgradeHashes(const TUpgradeProgress& Progress) {
  std::vector<std::pair<std::int32_t, std::int32_t>> found;
  WalkRecords([&](std::int32_t Position, const TKLDatabaseRecord& Record) {
    if (HashSchemeOf(Record) != hsSHA256) return;
    SecureBytes salt;
    SecureBytes digest;
    DecodeOldForm(Record, salt, digest);
    found.emplace_back(Position, Record.UID);
  });
  std::int32_t wrapped = 0;
  const auto total = static_cast<std::int32_t>(found.size());
  std::int32_t done = 0;
  for (const auto& [position, uid] : found) {
    // Counted before the record is dealt with, so that a record skipped below
    // still moves the count on.
    ++done;
    const auto report = [&] {
      if (Progress) Progress(done, total);
    };
    TKLDatabaseRecord record;
    const detail::TWipeTextOnExit wipeSalt(record.Salt);
    const detail::TWipeTextOnExit wipeHash(record.Hash);
    if (!ReadRecord(position, uid, record) || HashSchemeOf(record) != hsSHA256) {
      report();
      continue;
    }
    SecureBytes salt;
    SecureBytes digest;
    DecodeOldForm(record, salt, digest);
    String hash = HashWithFreshSalt(KLWrappedHashIdentifier, digest.Get());
    const detail::TWipeTextOnExit wipeWrapped(hash);
    if (ReplaceHashIf(position, record, record.Salt, hash)) {
      FModified = true;
      ++wrapped;
    }
    report();
  }
  return wrapped;
}

} // namespace kl
