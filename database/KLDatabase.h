#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "crypto/KLPasswordHash.h"
#include "foundation/Export.h"
#include "foundation/FileStamp.h"
#include "foundation/KLGeneral.h"
#include "foundation/RankedList.h"
#include "foundation/StringList.h"
#include "foundation/Types.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"

namespace kl {

class TKLStorage;

namespace detail {
class TUserLookupIndex;
class TUserKeyList;
} // namespace detail

KL_DECLARE_EXCEPTION(EKLPasswordDatabaseError, EKLException);
// An attempt on an account that reached the database's limit of consecutive
// failures: refused without looking at the password until the account is unlocked.
KL_DECLARE_EXCEPTION(EKLAccountLockedError, EKLPasswordDatabaseError);

class TKLPepper;

inline constexpr const char* SDatabaseNotOpened = "Database is not opened";
inline constexpr const char* SUserDoesNotExist = "User does not exist in the database";
inline constexpr const char* SUserAlreadyExists = "User already exists";
inline constexpr const char* SDatabaseCorrupted = "Database is corrupted";
inline constexpr const char* SInvalidUserName = "Invalid user name";
inline constexpr const char* SAccountLocked = "Account locked after too many failed attempts";
inline constexpr const char* SInvalidMaxFailures = "The limit of failed attempts must be 0 or more";

inline constexpr std::size_t KLDatabaseSaltSize = 16;
inline constexpr std::size_t KLDatabaseHashSize = 32;
// Consecutive failed attempts after which an account is locked, unless the
// database says otherwise.
inline constexpr std::int32_t KLDefaultMaxFailures = 100;

// One user as a database hands it out: identifier, name, salt and hash. A
// plain value; the caller owns its copy. How Salt and Hash read depends on the
// record's scheme (HashSchemeOf).
struct TKLDatabaseRecord {
  std::int32_t UID = 0;
  String Username;
  String Salt;
  String Hash;
  // The account's consecutive failed attempts: handed out by ForEachRecord
  // and stored by ImportRecord, so that a copy keeps every lockout; 0 elsewhere.
  std::int32_t Failures = 0;
};

// The forms a user's password is stored in:
//  hsArgon2id: Salt empty, Hash an Argon2id string ($argon2id$v=19$...).
//  hsWrappedSHA256: an old record upgraded in place: Salt its old salt in hex,
//    Hash an Argon2id string over the old SHA-256 digest, under the identifier
//    KLWrappedHashIdentifier ($kl-sha256-argon2id$v=19$...).
//  hsSHA256: the old form, weak (one fast hash per guess): Salt 16 bytes and
//    Hash SHA-256(salt followed by the UTF-8 password), both in hex.
//  hsKeyedArgon2id: Salt empty, Hash an Argon2id string whose tag is
//    HMAC-SHA-256 under a server key (TKLPepper) of the Argon2id output, the
//    key named after the identifier: $kl-argon2id-hmac$k=<key ID>$v=19$...
enum TKLHashScheme { hsSHA256, hsArgon2id, hsWrappedSHA256, hsKeyedArgon2id };

inline constexpr const char16_t* KLWrappedHashIdentifier = u"kl-sha256-argon2id";
inline constexpr const char16_t* KLKeyedHashIdentifier = u"kl-argon2id-hmac";

// The scheme of a record, told by its Hash alone; a hash in no form the
// database writes counts as hsSHA256 (Verify then judges it).
KL_API TKLHashScheme HashSchemeOf(const TKLDatabaseRecord& Record) noexcept;

// Base of the user password databases: password hashes under user names, never
// a password. New and changed passwords are stored as Argon2id strings; records
// in the old salted SHA-256 form still verify, and are replaced on a successful
// Verify or wrapped by UpgradeHashes. Descendants keep the records; this class
// does the hashing, the look-ups and verification through its abstract operations.
// Look-ups answer as a walk over the records in position order would (first
// match wins; a damaged record met before the match raises its error), but use
// an index that is rebuilt only after a change, so they cost constant time.
// Passwords are hashed in their NFKC form, so one typed composed or decomposed
// verifies against the same record; a record made before that verifies with
// the password as it was typed then, and is rehashed in NFKC on success. User
// names are compared in NFC (new names are stored so): names that differ only
// by composition are one name.
// Raises EKLPasswordDatabaseError. One thread at a time, look-ups included.
class KL_API TKLPasswordDatabase : public TKLRandomBasedComponent {
public:
  // Told of a save on destruction that failed, with its error. It runs inside
  // the destructor: the database can still be asked for its URI, and whatever
  // the handler throws is dropped.
  using TSaveErrorEvent = std::function<void(const TKLPasswordDatabase& Sender, const std::exception& Error)>;

  explicit TKLPasswordDatabase(TComponent* AOwner = nullptr);
  ~TKLPasswordDatabase() override;

  // Called when SaveOnDestroy's save fails (a full disk, a folder that went,
  // a file changed meanwhile): without it such a failure is silent, and every
  // change since the last Save is lost.
  const TSaveErrorEvent& GetOnSaveError() const noexcept { return FOnSaveError; }
  void SetOnSaveError(TSaveErrorEvent Value) { FOnSaveError = std::move(Value); }

  // When set, Save refuses with EFileChangedError, writing nothing, if the file
  // changed on disk since Open or the last Save (another process saved it):
  // saving would silently drop that process's changes. Off by default.
  bool GetRefuseChangedFile() const noexcept { return FRefuseChangedFile; }
  void SetRefuseChangedFile(bool Value) noexcept { FRefuseChangedFile = Value; }

  const String& GetURI() const noexcept { return FURI; }
  bool GetOpened() const noexcept { return !FURI.empty(); }
  std::int32_t GetCount() const { return GetUserCount(); }

  virtual void CreateNew(const String& URI) = 0;
  virtual void Open(const String& URI) = 0;
  virtual void Save() = 0;
  // Adds a user and returns its new UID, or, when the user exists and
  // ChangeIfExists is set, gives it a new salt and hash and returns its UID.
  virtual std::int32_t AddUser(const String& Username, const String& Password, bool ChangeIfExists) = 0;
  virtual bool DeleteUser(std::int32_t UID) = 0;

  // The UID of the first user named Username (exact comparison); -1 if none.
  virtual std::int32_t GetUID(const String& Username) const;
  // The name of the first user with this UID; empty if none.
  virtual String GetUsername(std::int32_t UID) const;
  // True when the first user named Username has a UID of 1 or more.
  bool Exists(const String& Username) const;
  // Deletes the first user named Username if its UID is 1 or more; true then,
  // whatever the deletion by UID answers.
  bool DeleteUser(const String& Username);
  // True when Password is the user's password. Raises SUserDoesNotExist for an
  // unknown user and SDatabaseCorrupted for a record it cannot read: an old-form
  // or wrapped salt or hash that is empty, of odd length, not hexadecimal, or
  // (the hash) not exactly 32 bytes long; a malformed Argon2id string, or one
  // whose base64 libsodium would not decode. A string asking for more than the
  // bounds of GetHashParameters raises EKLPasswordHashError before anything is
  // allocated.
  // Verify may change the database: on success, a record in the old or the
  // wrapped form, or one weaker than GetHashParameters, gets a fresh Argon2id
  // string (not with WeakLegacyHashes set, and not for a password holding an
  // unpaired surrogate, which an old record accepts as before and Argon2id
  // cannot take). The database is then modified, and Save, or the save on
  // destruction, writes the new hash. So Verify is not const, and a database
  // shared between threads needs the caller's lock around it too.
  // Each attempt is counted before its hash is computed, in one atomic step
  // with the check of the limit (one statement on the row for the SQL
  // databases), so that however many attempts run at once, at most the limit
  // are ever checked: an account at the limit raises EKLAccountLockedError
  // before any hashing. A wrong password keeps its count (the database is then
  // modified); a success sets the count back to zero; an attempt that ends in
  // an error (no free hashing slot in time: EKLHashBusyError; a damaged
  // record; a key not loaded) gives its count back. While a check runs, the
  // failure count includes it.
  // Every answer costs at least one Argon2id computation at the current cost
  // (GetHashParameters), whatever the record: an unknown name is answered after
  // one; a record in the old form or at a lower cost is checked and, unless a
  // success rehashes it at the current cost, followed by one on a fixed salt,
  // so that the time of the answer does not tell whether the account exists.
  // A keyed record whose key is not loaded raises EKLPepperError; one whose
  // key is loaded with other bytes than the records were made with (its check
  // value differs from the one stored, see TKLPepper::CheckValue) raises
  // EKLPepperMismatchError and counts nothing. A key's check value is stored
  // the first time the key makes a hash or verifies a password successfully:
  // a database made before check values were stored gets them on first use.
  bool Verify(const String& Username, const String& Password);

  // Hands every record to Visitor, in position order for the file databases
  // (UID order for the SQL ones, which stream them and hold none). The record
  // is wiped after the call; Visitor may throw, which ends the walk.
  using TRecordVisitor = std::function<void(const TKLDatabaseRecord& Record)>;
  virtual void ForEachRecord(const TRecordVisitor& Visitor) const;
  // Stores Record as it is, UID, name, salt, hash and failure count
  // unchanged, as a copy between databases needs; UIDs handed out later stay
  // above it. Raises SUserAlreadyExists when its name or UID is taken,
  // SInvalidUserName for a name the database cannot hold, and
  // SDatabaseCorrupted for a UID below 1 or a negative failure count.
  virtual void ImportRecord(const TKLDatabaseRecord& Record) = 0;

  // Wraps every record of the old form: its SHA-256 digest becomes the input of
  // Argon2id, so that no fast hash stays in the file; the salt stays for
  // Verify, which turns a wrapped record into a plain Argon2id one on the next
  // success. Returns the number of records wrapped. A damaged old record raises
  // SDatabaseCorrupted before any record is changed. Slow by design: one
  // Argon2id computation a record.
  std::int32_t UpgradeHashes();
  // The same, telling Progress after each old record it has dealt with how many
  // of them it has done, out of how many it found (called only when there are some).
  using TUpgradeProgress = std::function<void(std::int32_t Done, std::int32_t Total)>;
  std::int32_t UpgradeHashes(const TUpgradeProgress& Progress);

  // The cost of new hashes and the bounds on stored ones (defaults: 64 MiB,
  // 2 passes; at most 1 GiB and 16 passes). Raises EKLPasswordHashError for
  // values Argon2id cannot take or above their own bounds.
  const TKLPasswordHashParameters& GetHashParameters() const noexcept { return FHashParameters; }
  void SetHashParameters(const TKLPasswordHashParameters& Value);
  // Weak, for compatibility only: new and changed passwords are stored in the
  // old salted SHA-256 form, which a stolen file gives up at billions of
  // guesses a second, and Verify leaves old records as they are. For an
  // application whose other readers of the file know only that form. Off by default.
  bool GetWeakLegacyHashes() const noexcept { return FWeakLegacyHashes; }
  void SetWeakLegacyHashes(bool Value) noexcept { FWeakLegacyHashes = Value; }
  // Whether the records changed since the last Open or Save (a new database
  // counts as changed until saved).
  bool GetModified() const noexcept { return FModified; }

  // Throttling. Each account counts its consecutive failed Verify calls; a
  // success sets the count back to zero. Once the count reaches MaxFailures,
  // Verify raises EKLAccountLockedError for that account, the right password
  // included, until Unlock. MaxFailures is a setting of the database, stored
  // in it (default KLDefaultMaxFailures; 0 never locks). Changing it marks the
  // database modified.
  std::int32_t GetMaxFailures() const;
  void SetMaxFailures(std::int32_t Value);
  // The consecutive failures of the first user named Username; raises
  // SUserDoesNotExist for an unknown user.
  std::int32_t GetFailureCount(const String& Username) const;
  // Sets that count back to zero; raises SUserDoesNotExist for an unknown user.
  void Unlock(const String& Username);
  // An optional pause after each failed Verify, doubling with every
  // consecutive failure from Base up to Max (both at most an hour); no pause
  // when Base is zero (the default). It holds the caller, not the account: a
  // service wants it where its threads are cheap.
  std::chrono::milliseconds GetFailureDelay() const noexcept { return FFailureDelay; }
  std::chrono::milliseconds GetMaxFailureDelay() const noexcept { return FMaxFailureDelay; }
  void SetFailureDelay(std::chrono::milliseconds Base, std::chrono::milliseconds Max);

  // The server keys applied to new hashes (HMAC-SHA-256 over the Argon2id
  // output), shared with the caller, who may hand the same keys to several
  // databases. Null (the default) stores hashes without one. Records made
  // under a key that is no longer current are re-keyed on their next
  // successful Verify; a record naming a key not loaded raises EKLPepperError
  // (SPepperKeyNotLoaded).
  const std::shared_ptr<const TKLPepper>& GetPepper() const noexcept { return FPepper; }
  void SetPepper(std::shared_ptr<const TKLPepper> Value) noexcept { FPepper = std::move(Value); }

protected:
  virtual TKLDatabaseRecord GetRecord(std::int32_t Index) const = 0;
  virtual std::int32_t GetUserCount() const = 0;

  // SHA-256 of Salt followed by Password.
  ByteArray GetPasswordHash(const ByteArray& Salt, const ByteArray& Password) const;
  // The stored salt and hash texts of the first user named Username; false,
  // leaving them untouched, if there is none.
  bool GetDataByName(const String& Username, String& Salt, String& Hash) const;
  // A fresh random salt and the hash of Password under it, as hex text (the old form).
  void TransformPassword(const String& Password, String& Salt, String& Hash) const;
  // The stored form of a new or changed password: an Argon2id string with an
  // empty salt, or the old form with WeakLegacyHashes. Raises EConvertError
  // (SInvalidUTF16) for text holding an unpaired surrogate.
  // With a pepper, the current key's check value is compared with the stored
  // one first (EKLPepperMismatchError), and stored when there is none.
  void MakeHashRecord(const String& Password, String& Salt, String& Hash);
  // Replaces the salt and hash of the user at Position, leaving its place,
  // UID and name; all or nothing.
  virtual void ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) = 0;

  // The record operations go through these. The defaults work by position on
  // records held in memory, as the file databases keep them; a database that
  // keeps its records elsewhere answers them itself without loading them all;
  // its Position is then whatever key it finds a user by again (the SQL
  // databases: the UID), for these and the failure-count operations below.
  // The first user named Username and its position; false if none.
  virtual bool FindRecord(const String& Username, TKLDatabaseRecord& Record, std::int32_t& Position) const;
  // Reads again the record that a walk or FindRecord met at Position with
  // this UID; false when it has gone meanwhile.
  virtual bool ReadRecord(std::int32_t Position, std::int32_t UID, TKLDatabaseRecord& Record) const;
  // Replaces the salt and hash of the user read as Current (at Position),
  // unless its stored hash is no longer Current.Hash because someone changed
  // it meanwhile: false then, and nothing changed. So a rehash never
  // overwrites a newer password.
  virtual bool ReplaceHashIf(std::int32_t Position, const TKLDatabaseRecord& Current, const String& Salt,
                             const String& Hash);
  // The walk behind ForEachRecord, with each record's position.
  virtual void WalkRecords(
      const std::function<void(std::int32_t Position, const TKLDatabaseRecord& Record)>& Visitor) const;

  // Per-account protection state, kept with the user so that every process
  // sharing the database sees it. Position is as for GetRecord. A descendant
  // on a shared store makes each of AddFailure and ClearFailures one atomic
  // step there. The file databases keep the count beside the record and write
  // nothing for a count of zero.
  // The consecutive failed attempts of the user at Position.
  virtual std::int32_t ReadFailureCount(std::int32_t Position) const = 0;
  // Adds one to that count (saturating at the largest int32) and returns the new count.
  virtual std::int32_t AddFailure(std::int32_t Position) = 0;
  // Sets the count back to zero (a success or an unlock).
  virtual void ClearFailures(std::int32_t Position) = 0;
  // Counts an attempt before it is checked, in one atomic step: the new count,
  // or -1, counting nothing, when Limit is above 0 and the count has reached
  // it; 0 when the user has gone. The default reads and adds, which is atomic
  // for records held in memory by one thread.
  virtual std::int32_t TakeAttempt(std::int32_t Position, std::int32_t Limit);
  // Gives back one counted attempt (never below zero): an attempt that ended
  // in an error rather than an answer.
  virtual void ReturnAttempt(std::int32_t Position) = 0;
  // The check value stored for the pepper key ID (TKLPepper::CheckValue);
  // empty when none is.
  virtual String ReadKeyCheck(const String& ID) const = 0;
  // Stores Check for ID unless a value is stored already; returns the value
  // stored afterwards (the one found, when another was there first).
  virtual String RecordKeyCheck(const String& ID, const String& Check) = 0;
  // The database-level limit of consecutive failures (0: none), as stored;
  // a database that stores none answers KLDefaultMaxFailures.
  virtual std::int32_t ReadMaxFailures() const = 0;
  virtual void WriteMaxFailures(std::int32_t Value) = 0;
  // Waits Delay after a failed attempt; tests replace it to count the pauses.
  virtual void PauseAfterFailure(std::chrono::milliseconds Delay);

  // The position of the first user named Username, -1 if none (a damaged
  // record before it raises its error).
  std::int32_t FindUserPosition(const String& Username) const;
  // The position of the first user with this UID, likewise.
  std::int32_t FindUIDPosition(std::int32_t UID) const;
  // The position of the user with this UID when the index is at hand and
  // knows that user to be the only one with it; -1 otherwise. Builds nothing.
  std::int32_t FindUniqueUIDPosition(std::int32_t UID) const noexcept;
  // Descendants report every change of their records: a user appended last,
  // the user at a position taken out, or any other change, after which the
  // index is rebuilt on next use.
  void UserAppended(std::int32_t UID, const String& Username) noexcept;
  void UserRemoved(std::int32_t Position) noexcept;
  void RecordsChanged() noexcept;

  // Destructors call it with their save-on-destroy setting: saves an open
  // database when Wanted, handing a failure to the handler; never throws.
  void SaveOnDestroy(bool Wanted) noexcept;
  // Hands a failed save on destruction to the handler; never throws.
  void SaveFailedOnDestroy(const std::exception& Error) const noexcept;
  // Descendants save through this: Writer fills the file, replaced atomically,
  // under the change check when it is asked for. Records the new stamp.
  void SaveToURI(const std::function<void(TStream&)>& Writer);
  // The file's stamp as Open found it, taken before reading it.
  void RecordLoadedStamp(const TFileStamp& Stamp) noexcept { FFileStamp = Stamp; }

  String FURI;
  bool FModified = false;

private:
  struct TKeyedMatch;
  const detail::TUserLookupIndex& Lookups() const;
  bool VerifyRecord(const TKLDatabaseRecord& Record, const String& Password, TKeyedMatch& Keyed,
                    bool& AtCurrentCost) const;
  // Compares the loaded key ID's check value with the stored one; true when
  // none is stored yet. EKLPepperMismatchError when they differ.
  bool CheckKey(const String& ID) const;
  bool VerifyKeyed(const String& Hash, const String& Password, TKeyedMatch& Keyed) const;
  String KeyedHash(const String& ID, const TKeyedMatch& Match) const;
  void Rehash(std::int32_t Position, const TKLDatabaseRecord& Current, const String& Password);
  // The pause after a failed attempt that made the count Count.
  void FailedAttempt(std::int32_t Count);
  // The position of the first user named Username; SUserDoesNotExist if none.
  std::int32_t PositionOf(const String& Username) const;
  void VerifyDummy(const String& Password) const;
  void DummyCheck(const String& Password) const;
  String HashWithFreshSalt(const String& Algorithm, const ByteArray& Password) const;

  TKLPasswordHashParameters FHashParameters;
  std::shared_ptr<const TKLPepper> FPepper;
  std::chrono::milliseconds FFailureDelay{0};
  std::chrono::milliseconds FMaxFailureDelay{0};
  bool FWeakLegacyHashes = false;

  mutable std::unique_ptr<detail::TUserLookupIndex> FLookups;
  TSaveErrorEvent FOnSaveError;
  bool FRefuseChangedFile = false;
  TFileStamp FFileStamp;
};

// A user database in a text file: a first line with the last UID handed out,
// then one line per user, "UID:name:salt:hash" (an Argon2id record has an
// empty salt: "UID:name::$argon2id$..."). An account with failed attempts
// has ":failures=N" after its hash; the counter is followed by
// ":key-check=ID=HEX" for each pepper key's check value, then, for a limit
// other than the default, ":max-failures=N". The whole file is held in
// memory; Save rewrites it atomically. User names holding ':', CR or LF are
// refused (SInvalidUserName). Raises EKLPasswordDatabaseError, and file errors
// unchanged. One thread at a time.
class KL_API TKLTextPasswordDatabase : public TKLPasswordDatabase {
public:
  explicit TKLTextPasswordDatabase(TComponent* AOwner = nullptr);
  // Saves when opened and SaveOnDestroy is set. A failure there goes to
  // OnSaveError; the file then stays as it was.
  ~TKLTextPasswordDatabase() override;

  // Whether destruction saves an opened database (default true). A failed
  // save there reaches OnSaveError only: a caller who must know that the file
  // was written calls Save first.
  bool GetSaveOnDestroy() const noexcept { return FSaveOnDestroy; }
  void SetSaveOnDestroy(bool Value) noexcept { FSaveOnDestroy = Value; }

  // Parses one user line; raises SDatabaseCorrupted for fewer than three
  // colons or a UID that is not a decimal integer. The hash keeps any further
  // colons, but for a trailing failure count, which is not part of it.
  static void Split(const String& Line, std::int32_t& UID, String& Username, String& Salt, String& Hash);

  // Open refuses a file larger than this (EFOpenError); see TStringList.
  std::int64_t GetMaxFileSize() const noexcept { return FMaxFileSize; }
  void SetMaxFileSize(std::int64_t Value) noexcept { FMaxFileSize = Value < 0 ? 0 : Value; }

  void CreateNew(const String& URI) override;
  // Loads the file. A negative counter, and a line that is not valid UTF-8
  // (SDatabaseCorrupted followed by SInvalidUTF8Line and the line's number in
  // the file), raise EKLPasswordDatabaseError. On failure the database is left
  // exactly as it was.
  void Open(const String& URI) override;
  void Save() override;
  std::int32_t AddUser(const String& Username, const String& Password, bool ChangeIfExists) override;
  using TKLPasswordDatabase::DeleteUser;
  bool DeleteUser(std::int32_t UID) override;
  void ImportRecord(const TKLDatabaseRecord& Record) override;

protected:
  TKLDatabaseRecord GetRecord(std::int32_t Index) const override;
  std::int32_t GetUserCount() const override;
  void ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) override;
  std::int32_t ReadFailureCount(std::int32_t Position) const override;
  std::int32_t AddFailure(std::int32_t Position) override;
  void ClearFailures(std::int32_t Position) override;
  void ReturnAttempt(std::int32_t Position) override;
  String ReadKeyCheck(const String& ID) const override;
  String RecordKeyCheck(const String& ID, const String& Check) override;
  std::int32_t ReadMaxFailures() const override { return FMaxFailures; }
  void WriteMaxFailures(std::int32_t Value) override { FMaxFailures = Value; }

  // Open from the file's content already in memory, URI naming where Save
  // writes it; the same checks and the same all-or-nothing outcome as Open.
  void OpenFromText(const String& Text, const String& URI);

private:
  void TakeOver(std::unique_ptr<TStringList> Lines, const String& URI);
  void PutFailureCount(std::int32_t Position, std::int32_t Count);

  // The user lines in file order; removing one leaves a gap that the list
  // closes later, all at once. Lines are wiped when they go.
  TRankedList<String> FList;
  std::int32_t FIndex = 0;
  std::int32_t FMaxFailures = KLDefaultMaxFailures;
  // The pepper keys' check values (identifier, check value), in the order recorded.
  std::vector<std::pair<String, String>> FKeyChecks;
  bool FSaveOnDestroy = true;
  std::int64_t FMaxFileSize = KLDefaultMaxTextFileSize;
};

// A user database kept in an encrypted storage file, one key per user:
// "users/<UID>/name", ".../salt" and ".../pwd" (salt empty and pwd the
// Argon2id string for a record in that form), ".../failures" (an integer,
// only while the account has failed attempts), "index" for the last UID
// handed out, "max-failures" for a limit other than the default and
// "key-checks/<ID>" for each pepper key's check value. The storage (owned) is held in memory; Save writes
// it atomically, encrypted with Password. The storage password copy is wiped on destruction. Raises
// EKLPasswordDatabaseError, and the storage's and file errors unchanged. One thread at a time.
class KL_API TKLBinaryPasswordDatabase : public TKLPasswordDatabase {
public:
  explicit TKLBinaryPasswordDatabase(TComponent* AOwner = nullptr);
  // Saves when opened and SaveOnDestroy is set, a failure going to
  // OnSaveError (the file then stays as it was), then wipes the password copy.
  ~TKLBinaryPasswordDatabase() override;

  // Whether destruction saves an opened database (default true). A failed
  // save there reaches OnSaveError only: a caller who must know that the file
  // was written calls Save first.
  bool GetSaveOnDestroy() const noexcept { return FSaveOnDestroy; }
  void SetSaveOnDestroy(bool Value) noexcept { FSaveOnDestroy = Value; }
  // The storage password used by Open and Save; empty writes an unencrypted file.
  const String& GetPassword() const noexcept { return FPassword; }
  void SetPassword(const String& Value);

  // The file settings, as on TKLStorage: the Argon2id cost of encrypted
  // saves, whether legacy (unauthenticated) files open, the version of the
  // last Open, and the version of encrypted saves (3, or 2 unauthenticated).
  // The key derived at Open or Save is kept until the password changes, so an
  // open-change-save derives it once.
  const TKLKdfParameters& GetKdfParameters() const noexcept;
  void SetKdfParameters(const TKLKdfParameters& Value);
  bool GetAllowLegacyFormat() const noexcept;
  void SetAllowLegacyFormat(bool Value) noexcept;
  std::uint8_t GetLoadedVersion() const noexcept;
  std::uint8_t GetSaveVersion() const noexcept;
  void SetSaveVersion(std::uint8_t Value);

  // Also hands the generator to the storage, whose encryption draws from it.
  void SetRandomGenerator(TKLBaseRandomGenerator* Value) override;

  void CreateNew(const String& URI) override;
  // Loads the file with Password. On failure the database is left exactly as it was.
  void Open(const String& URI) override;
  void Save() override;
  std::int32_t AddUser(const String& Username, const String& Password, bool ChangeIfExists) override;
  using TKLPasswordDatabase::DeleteUser;
  bool DeleteUser(std::int32_t UID) override;
  void ImportRecord(const TKLDatabaseRecord& Record) override;

protected:
  TKLDatabaseRecord GetRecord(std::int32_t Index) const override;
  std::int32_t GetUserCount() const override;
  void ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) override;
  std::int32_t ReadFailureCount(std::int32_t Position) const override;
  std::int32_t AddFailure(std::int32_t Position) override;
  void ClearFailures(std::int32_t Position) override;
  void ReturnAttempt(std::int32_t Position) override;
  String ReadKeyCheck(const String& ID) const override;
  String RecordKeyCheck(const String& ID, const String& Check) override;
  std::int32_t ReadMaxFailures() const override;
  void WriteMaxFailures(std::int32_t Value) override;

private:
  detail::TUserKeyList& UserKeys() const;
  void StorageChanged() noexcept;
  std::int32_t AddNewUser(const String& Username, const String& Password);
  std::int32_t ChangeUser(const String& Username, const String& Password);

  std::unique_ptr<TKLStorage> FDB;
  std::int32_t FIndex = 0;
  bool FSaveOnDestroy = true;
  String FPassword;
  // The generator last plugged in, handed on to every storage this database makes.
  TKLBaseRandomGenerator* FStorageGenerator = nullptr;
  // The sub-keys of "users" in storage order and the users' values, found once per change.
  mutable std::unique_ptr<detail::TUserKeyList> FUserKeys;
};

} // namespace kl
