#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/Export.h"
#include "foundation/FileStamp.h"
#include "foundation/KLGeneral.h"
#include "foundation/PointerList.h"
#include "foundation/RankedList.h"
#include "foundation/SecureMemory.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"

namespace kl {

KL_DECLARE_EXCEPTION(EKLPassStorageException, EKLException);

inline constexpr const char* SWrongGroupName = "Wrong group name";
inline constexpr const char* SStorageCorrupted = "The storage is corrupted";
inline constexpr const char* SRecordAlreadyHeld = "The record is already held by a store";
inline constexpr const char* SRecordMissing = "The record is missing";
// KDBX files: wrong credentials and damage after the header cannot be told
// apart, so they share one message.
inline constexpr const char* SKdbxWrongKey = "Wrong credentials or damaged KDBX file";
inline constexpr const char* SKdbxDamaged = "The KDBX file is damaged";
inline constexpr const char* SKdbxUnsupported = "Unsupported KDBX file";
inline constexpr const char* SKdbxTwofish = "KDBX files enciphered with Twofish are not supported";
inline constexpr const char* SKdbxTooLarge = "The KDBX file exceeds the reader's limits";
inline constexpr const char* SKdbxBadParameters = "Unsupported KDBX key-derivation parameters";
inline constexpr const char* SKdbxKeyFile = "The key file is not valid";
// A KDBX save refused before anything is written; the message goes on to name
// the entry.
inline constexpr const char* SKdbxUnpairedSurrogate = "A KDBX file cannot carry a text holding an unpaired surrogate";
inline constexpr const char* SKdbxTooDeep = "A KDBX file cannot nest groups this deep";
// The start of the message that refuses a key derivation above the store's
// limit; the rest names the file's costs and the limit.
inline constexpr const char* SKdbxKdfTooCostly = "The KDBX file's key derivation costs more than accepted";
inline constexpr const char* SWrongCustomField = "Wrong custom field name, or the value is too long";
inline constexpr const char* SWrongTag = "Wrong tag";
inline constexpr const char* SWrongAttachment = "Wrong attachment name, or the attachment is too large";
inline constexpr const char* STooManyRecordItems = "Too many custom fields, tags or attachments in one record";
inline constexpr const char* SRecordTooLarge = "The record's custom fields and attachments exceed 256 MiB together";
// A KDBX load refused for one entry beyond the bounds above; the message goes
// on to name the entry and what is beyond them.
inline constexpr const char* SKdbxEntryTooLarge = "The KDBX file holds an entry beyond the record's bounds";

// A record's identifier: 16 bytes, random when the record is made, kept
// through saves and loads (and as the UUID of a KDBX entry).
inline constexpr std::size_t KLPassUuidSize = 16;
using TKLPassUuid = std::array<std::uint8_t, KLPassUuidSize>;

// Bounds on what one record carries, checked by the setters and again by a
// load, so that a hostile file cannot make a record larger than an
// application could build. They hold what KeePass databases carry in
// practice (certificates and keys in custom fields, a thousand fields, scans
// as attachments); the sum of a record's custom field values (two bytes per
// UTF-16 code unit, as held) and attachment bytes is bounded as a whole.
// Texts are counted in UTF-16 code units, a custom field's value in bytes of
// UTF-8 as well.
inline constexpr std::size_t KLPassMaxCustomFields = 4096;
inline constexpr std::size_t KLPassMaxNameLength = 1024;          // field and attachment names
inline constexpr std::size_t KLPassMaxFieldValueBytes = 1u << 20; // 1 MiB
inline constexpr std::size_t KLPassMaxTags = 256;
inline constexpr std::size_t KLPassMaxTagLength = 256;
inline constexpr std::size_t KLPassMaxAttachments = 256;
inline constexpr std::size_t KLPassMaxAttachmentSize = 64u << 20; // 64 MiB each
inline constexpr std::size_t KLPassMaxRecordBytes = 256u << 20;   // fields' values and attachments together

// A custom text of a record: KDBX's string fields beyond the standard five.
// One-time-password secrets live in the field "otp" (an otpauth:// URI),
// passkeys in fields named "KPEX_PASSKEY_...". Protected marks a value that
// should be kept hidden when shown and stored protected in KDBX; every value
// is wiped by the record, whatever its flag.
struct TKLPassField {
  String Name;
  String Value;
  bool Protected = false;
};

// The names KDBX gives the standard five texts: a custom field may not take one.
inline constexpr const Char* KLPassStandardFieldNames[] = {u"Title", u"UserName", u"Password", u"URL", u"Notes"};

// The group of a record made without arguments.
inline constexpr const Char* DefaultPassGroup = u"General";
// The group deleted records move to, while the store's recycle bin is on.
inline constexpr const Char* DefaultRecycleBinGroup = u"Recycle Bin";
// The history bounds of a new store: versions kept per record, and the bytes
// of one record's versions together.
inline constexpr std::int32_t KLPassDefaultHistoryMaxItems = 10;
inline constexpr std::int64_t KLPassDefaultHistoryMaxBytes = 6 * 1024 * 1024;

// A record removed for good: its UUID and when (the store's clock), so that a
// merge with another copy of the vault does not bring it back.
struct TKLPassDeletedObject {
  TKLPassUuid Uuid{};
  std::int64_t DeletionDate = 0;
};

// A group of the store's tree, named by its path: the names from the top
// down joined by "/", where a name's own "/" is written "\/" and a "\" that
// ends the name or comes before "/" or "\" is written "\\" (any other "\"
// stands for itself, so that a name like "C:\Users" reads as it is). The
// empty path is the root, which holds the records of no group. A record's
// group is such a path; the store lists each group it knows once, parents
// before their subgroups, with what KeePass keeps of a group: its UUID, its
// notes and its times (the store's clock, as a record's), kept through saves,
// KDBX files, imports and merges. A group a record names but the store does
// not list is listed, with a fresh UUID and the present time, when the store
// is first saved as KDBX; a vault of our own format saves only what is listed.
struct TKLPassGroup {
  String Path;
  TKLPassUuid Uuid{};
  // The root's name, as a KDBX file names its top group; empty elsewhere
  // (a group's name is the last of its path).
  String Name;
  String Notes;
  std::int64_t CreationDate = 0;
  std::int64_t ModificationDate = 0;
  std::int64_t LastAccessDate = 0;
  std::int64_t LocationChangeDate = 0;
  bool Expires = false;
  std::int64_t ExpiryDate = 0;
};

// The names of a group path, from the top down (none for the root), and the
// path of a list of names; JoinGroupPath(SplitGroupPath(P)) == P for every
// path the store accepts, and SplitGroupPath(JoinGroupPath(N)) == N for
// every list of names but one empty name alone (the root's path).
KL_API std::vector<String> SplitGroupPath(const String& Path);
KL_API String JoinGroupPath(const std::vector<String>& Names);
// Path + "/" + the escaped Name; Name's path alone when Path is the root.
KL_API String GroupPathChild(const String& Path, const String& Name);
// False for a path holding an empty name ("A//B", "/A", "A/"): the check
// TKLPassStorage::CheckGroup makes, without raising.
KL_API bool IsValidGroupPath(const String& Path);

// What TKLPassStorage::Merge did, in records: added from the other copy,
// updated with its newer content, moved where its newer location says,
// deleted by its newer deletion, and matched but kept as they were.
struct TKLMergeReport {
  std::int32_t Added = 0;
  std::int32_t Updated = 0;
  std::int32_t Moved = 0;
  std::int32_t Deleted = 0;
  std::int32_t Kept = 0;
};

// What DeleteRecord did.
enum TKLPassDeleteResult : std::int32_t { drNotHeld, drRecycled, drRemoved };

class TKLPassStorage;
class TKLPassQuery; // KLPassSearch.h
namespace detail {
// What a KDBX file held that the records do not model, kept for its next save.
struct TKdbxState;
struct TKdbxReader;
struct TKdbxWriter;
// The import and export of records (KLPassExchange), which reads texts in
// place and restores time stamps as a load does.
struct TPassExchangeAccess;
// What a load of the vault's own format reads beside the eight leaves.
class TPendingExtras;
} // namespace detail

// One entry of the password-manager store: six texts and three time stamps
// (local wall-clock seconds since 1970) that the record keeps itself, a
// 16-byte UUID, and what KDBX entries carry beside: custom fields in order,
// tags, an expiry time and attachments, and its earlier versions. Every getter
// of a text but the group, a custom field's value or an attachment stamps the
// last-access time of this record alone; a setter stamps the modification
// time only when something really changes (SetGroup the location-change time). Replaced texts,
// field values and attachment bytes, and all of them on destruction, are
// wiped; copies handed out by the getters are the caller's. Setters check the
// bounds above and change nothing when they refuse (EKLPassStorageException).
// A plain object: its creator destroys it unless a store took it
// (TKLPassStorage::Add). Not copyable; one thread at a time.
class KL_API TKLPassRecord {
public:
  TKLPassRecord();
  TKLPassRecord(const String& Title, const String& Username, const String& Password, const String& URL,
                const String& Note, const String& Group);
  ~TKLPassRecord();

  TKLPassRecord(const TKLPassRecord&) = delete;
  TKLPassRecord& operator=(const TKLPassRecord&) = delete;

  String GetGroup();
  String GetTitle();
  String GetUsername();
  String GetPassword();
  String GetURL();
  String GetNote();

  // Any text is accepted, a group with "/" included; only the store checks groups.
  void SetGroup(const String& Value);
  void SetTitle(const String& Value);
  void SetUsername(const String& Value);
  void SetPassword(const String& Value);
  void SetURL(const String& Value);
  void SetNote(const String& Value);

  std::int64_t GetCreationDate() const noexcept { return FCreationDate; }
  // 0 until a text is changed.
  std::int64_t GetModificationDate() const noexcept { return FModificationDate; }
  // 0 until a text is read through its getter. Only the getters of this
  // record stamp it: the store's listing, search and save read in place and
  // leave it as it was.
  std::int64_t GetLastAccessDate() const noexcept { return FLastAccessDate; }
  // When the record last moved to another group (SetGroup, the recycle bin);
  // 0 until it moves. A move does not stamp the modification time nor keep a
  // version.
  std::int64_t GetLocationChangeDate() const noexcept { return FLocationChangeDate; }

  // Earlier versions of the record, oldest first. A record held by a store
  // keeps a copy of itself (every text, custom field, tag, the expiry and the
  // attachments, whose bytes the copy shares) before its first change since
  // it was added, loaded or saved, or since EndEdit: one version per edit,
  // however many fields it changes. The store's history bounds
  // (SetHistoryMaxItems, SetHistoryMaxBytes) drop the oldest versions.
  std::int32_t GetHistoryCount() const noexcept { return static_cast<std::int32_t>(FHistory.size()); }
  // The version at Index (0 the oldest), owned by this record; EListError
  // outside 0 .. count - 1. Its getters do not stamp its access time.
  TKLPassRecord* GetHistoryItem(std::int32_t Index) const;
  // Makes the version at Index the record's content again (texts, fields,
  // tags, expiry, attachments; the group and UUID stay), keeping the present
  // content as a version first, and stamps the modification time.
  void RestoreHistoryItem(std::int32_t Index);
  // Forgets every version.
  void ClearHistory() noexcept { FHistory.clear(); }
  // The next change keeps a version again, as after a save.
  void EndEdit() noexcept { FEditOpen = false; }

  // A new record draws its UUID from the operating system's random source.
  // Setting one does not stamp the modification time (an import keeps the
  // identity of what it imports); no uniqueness is enforced.
  const TKLPassUuid& GetUuid() const noexcept { return FUuid; }
  void SetUuid(const TKLPassUuid& Value) noexcept { FUuid = Value; }

  // Custom fields, in the order they were added. A name is 1 to
  // KLPassMaxNameLength code units, unique in the record, and none of
  // KLPassStandardFieldNames; names compare exactly (case counts).
  std::int32_t GetCustomFieldCount() const noexcept { return static_cast<std::int32_t>(FCustomFields.size()); }
  // EListError outside 0 .. count - 1.
  TKLPassField GetCustomField(std::int32_t Index);
  std::vector<TKLPassField> GetCustomFields();
  // False, Field untouched, when the record has no field of that name.
  bool FindCustomField(const String& Name, TKLPassField& Field);
  // Replaces the value and flag of the field of that name in its place, or
  // appends a new field.
  void SetCustomField(const String& Name, const String& Value, bool Protected = false);
  // Replaces every field at once (duplicates refused); all checked first.
  void SetCustomFields(const std::vector<TKLPassField>& Fields);
  bool DeleteCustomField(const String& Name);

  // Tags in order, each 1 to KLPassMaxTagLength code units with no ',' or
  // ';' (KDBX's separators) and no control character; a repeated tag is kept
  // once.
  const std::vector<String>& GetTags() const noexcept { return FTags; }
  void SetTags(const std::vector<String>& Value);

  // The expiry time, in the clock of the other dates, and whether the record
  // expires at all (KDBX keeps both; the time means nothing while Expires is
  // false). A record made new does not expire.
  bool GetExpires() const noexcept { return FExpires; }
  void SetExpires(bool Value);
  std::int64_t GetExpiryDate() const noexcept { return FExpiryDate; }
  void SetExpiryDate(std::int64_t Value);
  // True when the record expires at Now or before.
  bool IsExpired(std::int64_t Now) const noexcept { return FExpires && FExpiryDate <= Now; }

  // Attachments: a name (rules as a field's, unique) and up to
  // KLPassMaxAttachmentSize bytes, in the order they were added.
  std::int32_t GetAttachmentCount() const noexcept { return static_cast<std::int32_t>(FAttachments.size()); }
  std::vector<String> GetAttachmentNames() const;
  // False, Data untouched, when there is no attachment of that name.
  bool GetAttachment(const String& Name, ByteArray& Data);
  // Replaces the bytes of the attachment of that name in its place, or
  // appends a new one.
  void SetAttachment(const String& Name, const ByteArray& Data);
  bool DeleteAttachment(const String& Name);

private:
  friend class TKLPassStorage;
  friend class TKLPassQuery; // reads the texts in place, as the store's search does
  friend struct detail::TPassExchangeAccess;
  friend struct detail::TKdbxReader;
  friend struct detail::TKdbxWriter;
  friend class detail::TPendingExtras;
  using TField = String TKLPassRecord::*;
  // A record with every field empty or 0, for a load to fill in without
  // reading the clock.
  struct TBlank {};
  explicit TKLPassRecord(TBlank) noexcept {}

  // In-place read for the store's listing, search and save: stamps the access
  // time with Now (one clock reading for a whole pass) without copying the text.
  const String& ReadField(TField Field) const noexcept { return this->*Field; }
  String GetField(TField Field);
  void SetField(TField Field, const String& Value);
  // Stamps the access time of a record, not of a version.
  void Accessed();
  // Called by every setter once its checks passed and before it changes
  // anything: keeps the version the change replaces (see the history above).
  void BeginChange();
  // A copy of the content, as a version.
  std::unique_ptr<TKLPassRecord> Snapshot() const;
  // Drops the oldest versions beyond the bounds.
  void TrimHistory(std::int32_t MaxItems, std::int64_t MaxBytes) noexcept;
  // An attachment's bytes are never changed in place, only replaced: records
  // loaded from one stored binary (a KDBX file's many references to one
  // attachment) share a single copy, wiped when the last of them lets go.
  struct TAttachment {
    String Name;
    std::shared_ptr<const SecureBytes> Data;
  };
  std::vector<TKLPassField>::iterator FindField(const String& Name) noexcept;
  std::vector<TAttachment>::iterator FindAttachment(const String& Name) noexcept;
  void Touch();

  String FGroup;
  String FTitle;
  String FUsername;
  String FPassword;
  String FURL;
  String FNote;
  std::int64_t FCreationDate = 0;
  std::int64_t FModificationDate = 0;
  std::int64_t FLastAccessDate = 0;
  TKLPassUuid FUuid{};
  std::vector<TKLPassField> FCustomFields;
  std::vector<String> FTags;
  bool FExpires = false;
  std::int64_t FExpiryDate = 0;
  std::vector<TAttachment> FAttachments;
  std::int64_t FLocationChangeDate = 0;
  std::vector<std::unique_ptr<TKLPassRecord>> FHistory;
  // True from the first change of an edit until EndEdit, a save or a load.
  bool FEditOpen = false;
  bool FIsVersion = false;
  // The store that holds this record, so that a second Add is refused, and
  // the record's slot in that store's list, so that Delete finds it at once.
  TKLPassStorage* FStore = nullptr;
  std::uint32_t FSlot = 0;
};

// spCustomFields matches a record when one of its custom field values does
// (seNotEquals: when none equals Value).
// The format a store saves in: the library's own vault format or KeePass's KDBX 4.
enum TKLPassFileFormat : std::int32_t { pfVault, pfKdbx };

enum TKLKdbxKdf : std::int32_t { kkAesKdf, kkArgon2d, kkArgon2id };
enum TKLKdbxCipher : std::int32_t { kcAes256, kcChaCha20 };

// The key derivation and cipher of a KDBX file. The defaults are those
// KeePassXC gives a new database: Argon2id, 64 MiB, 2 lanes, AES-256; the
// iterations are a fixed 10 here (KdbxCalibrateIterations times them).
// MemoryBytes is in bytes as the file stores it (Argon2 only); Iterations
// are Argon2 passes or AES-KDF rounds. SetKdbxSettings refuses what a load
// would refuse (EKLPassStorageException).
struct TKLKdbxSettings {
  TKLKdbxKdf Kdf = kkArgon2id;
  TKLKdbxCipher Cipher = kcAes256;
  std::uint64_t Iterations = 10;
  std::uint64_t MemoryBytes = 64 * 1024 * 1024;
  std::uint32_t Parallelism = 2;
};

// What the last KDBX load kept that the records do not show, counted so that
// an export to another format can say what it leaves behind.
struct TKLKdbxCarried {
  std::int32_t HistoryEntries = 0;
  std::int32_t RecycledEntries = 0; // entries of groups deleted into the recycle bin
  std::int32_t CustomIcons = 0;
  std::int32_t DeletedObjects = 0;
  std::int32_t CustomData = 0; // items of Meta's, groups' and entries' custom data
  std::int32_t Icons = 0;      // entries and groups with an icon other than the default or a custom one
  std::int32_t AutoTypeAssociations = 0;
  std::int32_t GroupSettings = 0; // groups with notes, a default auto-type sequence or their own switches
  std::int32_t DatabaseSettings = 0; // the database's name, description, default user name and colour, when set

  std::int32_t Total() const noexcept {
    return HistoryEntries + RecycledEntries + CustomIcons + DeletedObjects + CustomData + Icons +
           AutoTypeAssociations + GroupSettings + DatabaseSettings;
  }
};

// What a KDBX file's outer header says, read without its key: the version
// (0x00030001 for 3.1, 0x00040000, 0x00040001), whether the payload is
// gzipped, and the cipher and key derivation with their costs (AES-KDF
// leaves MemoryBytes and Parallelism 0).
struct TKLKdbxFileInfo {
  std::uint32_t Version = 0;
  bool Compressed = false;
  TKLKdbxSettings Settings;
};

// True when the stream's next eight bytes are KDBX's signature; the position
// is restored.
KL_API bool IsKdbxStream(TStream& Strm);
// Reads the header of a KDBX file (its hash checked where the version has
// one); raises EKLPassStorageException with the load's messages for a file
// that is not one or is damaged there.
KL_API TKLKdbxFileInfo ReadKdbxFileInfo(TStream& Strm);
KL_API TKLKdbxFileInfo ReadKdbxFileInfo(const String& FileName);
// The work a KDBX key derivation costs, estimated from its settings before
// anything is derived: Argon2 in mebibyte-passes (memory in MiB, rounded up,
// times passes), AES-KDF in KLKdbxAesRoundsPerCostUnit rounds per unit, about
// as long as one mebibyte-pass. The defaults (64 MiB, 10 passes) cost 640; a
// derivation calibrated to one second on a current machine costs about 1,000.
inline constexpr std::uint64_t KLKdbxAesRoundsPerCostUnit = 25000;
KL_API std::uint64_t KdbxKdfCost(const TKLKdbxSettings& Settings) noexcept;
// The largest cost a KDBX load accepts unless told otherwise: about sixteen
// times the one-second calibration (1 GiB and 16 passes, or 64 MiB and 256
// passes, or 409,600,000 AES-KDF rounds), more than anyone waits for on
// opening a vault and far below what the file format allows (4 GiB and 2^20
// passes, days of work that anyone who can write the file could ask for).
inline constexpr std::uint64_t KLKdbxDefaultCostLimit = 16384;
// No limit beyond the reader's fixed bounds: every cost the format allows.
inline constexpr std::uint64_t KLKdbxNoCostLimit = ~std::uint64_t{0};

// The Argon2 passes (or AES-KDF rounds) that take about TargetMilliseconds
// with Settings' other costs on this machine.
KL_API std::uint64_t KdbxCalibrateIterations(const TKLKdbxSettings& Settings, std::uint32_t TargetMilliseconds);

enum TKLSearchParam : std::int32_t { spTitle, spUsername, spPassword, spURL, spNote, spCustomFields };
enum TKLSearchEquality : std::int32_t { seContains, seEquals, seNotEquals };

// The password-manager store: an ordered list of records, each in a named
// group, with listing, search, and saving to / loading from a stream or file
// in the encrypted storage format. The store owns every record it holds and
// destroys them with itself; Delete and Clear hand records back to whoever
// holds references. A record must not be added to two stores: Add refuses a
// record that this or another store holds. Lists filled by List and Search
// only refer to records the store still owns. Raises EKLPassStorageException,
// EListError for bad positions, and the storage's, stream's and file's errors
// unchanged. One thread at a time.
class KL_API TKLPassStorage : public TKLRandomBasedComponent {
public:
  explicit TKLPassStorage(TComponent* AOwner = nullptr);
  ~TKLPassStorage() override;

  std::int32_t GetCount() const noexcept { return FList.GetCount(); }
  // The record at Index (0-based), still owned by the store; EListError
  // outside. Constant time until a record is deleted, logarithmic after.
  TKLPassRecord* GetRecord(std::int32_t Index) const { return FList.Get(Index); }

  // "Wrong group name" when the group path holds an empty name ("A//B",
  // "/A", "A/"); the empty path (the root) is accepted. Add, List and the
  // group setters check it.
  static void CheckGroup(const String& Group);

  // The groups the store lists (see TKLPassGroup), parents before their
  // subgroups; nullptr from FindGroup for a path it does not list.
  const std::vector<TKLPassGroup>& GetGroups() const noexcept { return FGroups; }
  const TKLPassGroup* FindGroup(const String& Path) const;
  // Lists Group, or replaces what the store lists at its path; its parents
  // that the store does not list yet are listed with fresh UUIDs and the
  // present time, as is Group when its UUID is all zero. "Wrong group name"
  // for a path CheckGroup refuses, or a UUID another listed group has;
  // nothing changes then. Records are not moved: a record's group is its
  // path. Linear in the groups listed.
  void PutGroup(const TKLPassGroup& Group);
  // Lists, as PutGroup does, every group the other store lists and this one
  // does not (by path); of a group both list, the version modified later.
  void PutGroups(const std::vector<TKLPassGroup>& Groups);
  // Moves the group listed at From, its subgroups and their records to To,
  // keeping every UUID: the group's location-change time is stamped when its
  // parent changes and its modification time when its name does (not its
  // records' times: they stay in their group); To's missing parents are listed,
  // and the recycle bin follows when it is within. "Wrong group name" for a
  // path CheckGroup refuses, the root, a From not listed, a To listed already
  // or within From; nothing changes then. A KDBX save moves the file's group.
  void MoveGroup(const String& From, const String& To);
  // Lists every group a record names that the store does not list yet (with
  // its parents, fresh UUIDs and the present time), as a save does first.
  void ListRecordGroups();

  // Takes ownership of Rec and returns its position. When the group check
  // fails, or Rec is already held by a store, nothing changes and Rec stays
  // the caller's.
  std::int32_t Add(TKLPassRecord* Rec);
  std::int32_t Add(const String& Title, const String& Username, const String& Password, const String& URL,
                   const String& Note, const String& Group);

  // Removes without destroying; the record belongs to the caller again.
  // False when the store does not hold Rec, or Index is out of range. The
  // records after it move up one place. Amortised logarithmic in the records.
  bool Delete(TKLPassRecord* Rec);
  bool Delete(std::int32_t Index);

  // Deletes as a password manager does. While the recycle bin is on and Rec
  // is outside it, Rec moves to the bin's group (stamping its location-change
  // time) and stays held: drRecycled. Otherwise (the bin off, Rec already in
  // the bin, or Permanently) the store destroys Rec and records its UUID and
  // the time among the deleted objects: drRemoved; Rec is gone then.
  // drNotHeld, nothing done, for a record the store does not hold.
  TKLPassDeleteResult DeleteRecord(TKLPassRecord* Rec, bool Permanently = false);
  // On by default; its group DefaultRecycleBinGroup unless set (a group the
  // store's format accepts).
  bool GetRecycleBinEnabled() const noexcept { return FRecycleBinEnabled; }
  void SetRecycleBinEnabled(bool Value) noexcept { FRecycleBinEnabled = Value; }
  const String& GetRecycleBinGroup() const noexcept { return FRecycleBinGroup; }
  void SetRecycleBinGroup(const String& Value);
  // The records removed for good, oldest first; saved with the vault.
  const std::vector<TKLPassDeletedObject>& GetDeletedObjects() const noexcept { return FDeleted; }
  // Records the deletions another copy made (an import, a merge), but those
  // of a UUID recorded already. Linear in the deleted objects.
  void AddDeletedObjects(const std::vector<TKLPassDeletedObject>& Objects);

  // Merges another copy of the vault into this one. Records are matched by
  // UUID. Of two versions of a record the one modified later wins (on a tie,
  // the one whose texts compare greater) and the other joins its history,
  // even when only its modification time differs (as KeePass keeps every
  // stamp); the histories are united, a version kept once (same modification time
  // and content), then bounded as every history is. A record moves to the
  // group of the version whose location changed later. A record the other
  // copy deleted after its last change and move here is destroyed; one
  // deleted before is kept (the deletion undone), and one deleted here that
  // the other copy changed since comes back. The deleted objects are united
  // but for records alive after the merge. A record only the other copy holds
  // is added as a copy. Nothing is lost without a trace in a history or the
  // deleted objects; merging again changes nothing, and A merged into B holds
  // the same records (by UUID, with the same content, group and history) as B
  // merged into A. Linear in the records and their versions. Groups are
  // matched by UUID too: of a group both copies list, the version modified
  // later gives its name, notes and times, and the version moved later its
  // place, with the records it holds (a record moved later by itself goes
  // where it was moved); groups only the other copy lists are added; two
  // groups of one path are one, the one listed here.
  TKLMergeReport Merge(const TKLPassStorage& Source);

  // The bounds of every record's history (see TKLPassRecord): versions kept
  // per record (negative: no bound) and the bytes of one record's versions
  // (negative: no bound). Saved with the vault; checked at each change.
  std::int32_t GetHistoryMaxItems() const noexcept { return FHistoryMaxItems; }
  void SetHistoryMaxItems(std::int32_t Value) noexcept { FHistoryMaxItems = Value; }
  std::int64_t GetHistoryMaxBytes() const noexcept { return FHistoryMaxBytes; }
  void SetHistoryMaxBytes(std::int64_t Value) noexcept { FHistoryMaxBytes = Value; }
  // Empties the store without destroying the records, forgets the deleted
  // objects and the groups listed, and wipes the key kept from the last
  // encrypted load or save.
  void Clear();

  // Append to Recs (not emptied first), in position order.
  void List(const String& Group, TPointerList<TKLPassRecord>& Recs);
  void Search(TKLSearchParam Param, TKLSearchEquality Equality, const String& Value, TPointerList<TKLPassRecord>& Recs);

  // The file settings, as on TKLStorage: the Argon2id cost of encrypted
  // saves, whether legacy (unauthenticated) files load, the version of the
  // last load, and the version of encrypted saves (3, or 2 unauthenticated).
  // The key derived at a load or save is kept, so that saving again under the
  // same master password does not derive it again.
  const TKLKdfParameters& GetKdfParameters() const noexcept { return FKdf; }
  void SetKdfParameters(const TKLKdfParameters& Value);
  bool GetAllowLegacyFormat() const noexcept { return FAllowLegacyFormat; }
  void SetAllowLegacyFormat(bool Value) noexcept { FAllowLegacyFormat = Value; }
  std::uint8_t GetLoadedVersion() const noexcept { return FLoadedVersion; }
  std::uint8_t GetSaveVersion() const noexcept { return FSaveVersion; }
  void SetSaveVersion(std::uint8_t Value);

  // Saving first refuses ("Wrong group name") a store holding a record whose
  // group path CheckGroup refuses. Nothing is written then. An empty Password
  // saves unencrypted.
  void SaveToStream(TStream& Strm, const String& Password);
  // Appends the stored records after those already held, grouped by group
  // path: all records of the first path met in the storage, then the next
  // path's (the order a listing grouped by path gave before the save).
  // A failed load adds nothing. Loading a version-3 file sets the KDF
  // parameters to the file's.
  void LoadFromStream(TStream& Strm, const String& Password);
  // Replaces the file whole or not at all. A Password that is not valid UTF-16
  // raises EConvertError (SInvalidUTF16) here and in the three above.
  void SaveToFile(const String& FileName, const String& Password);
  void LoadFromFile(const String& FileName, const String& Password);

  // When set, SaveToFile refuses with EFileChangedError, writing nothing, to
  // replace the file last loaded or saved if it changed on disk since (another
  // process saved it): saving would silently drop that process's records.
  // Another file name is saved unchecked. Off by default.
  bool GetRefuseChangedFile() const noexcept { return FRefuseChangedFile; }
  void SetRefuseChangedFile(bool Value) noexcept { FRefuseChangedFile = Value; }

  // KeePass's KDBX files. A load tells them by their signature (KDBX 3.1 and
  // 4.x; the password and the key file set here make the composite key) and
  // sets the save format to pfKdbx; such a store then saves as KDBX 4 with
  // the settings the file had, carrying through what the records do not
  // model (icons, auto-type, history, group settings, Meta, custom data, the
  // groups deleted into the recycle bin). The file's recycle bin is the
  // store's: on or off as the file has it, its group the bin group's path,
  // whose entries are records; a record deleted into it is saved into the
  // file's bin (made, as KeePassXC makes it, where the file has none). An
  // empty Password with a key file uses the key file alone. A failed load
  // changes nothing.
  TKLPassFileFormat GetSaveFormat() const noexcept { return FSaveFormat; }
  void SetSaveFormat(TKLPassFileFormat Value) noexcept { FSaveFormat = Value; }
  // The key file's contents (any form KeePass accepts); empty for none.
  // Copied and wiped with the store.
  void SetKeyFile(const ByteArray& Contents);
  // KDF and cipher of KDBX saves; those of the file after a KDBX load.
  const TKLKdbxSettings& GetKdbxSettings() const noexcept { return FKdbxSettings; }
  void SetKdbxSettings(const TKLKdbxSettings& Value);
  // The version of the last KDBX load (0x00030001, 0x00040000, 0x00040001),
  // 0 when the last load was not KDBX.
  std::uint32_t GetKdbxLoadedVersion() const noexcept { return FKdbxLoadedVersion; }
  // All zero when no KDBX file was loaded.
  TKLKdbxCarried GetKdbxCarried() const;
  // The largest key-derivation cost (KdbxKdfCost) a KDBX load accepts: a file
  // asking for more is refused (SKdbxKdfTooCostly, naming its cost) before
  // anything is derived. KLKdbxDefaultCostLimit unless set; raising it (up to
  // KLKdbxNoCostLimit) accepts a costlier file knowingly.
  std::uint64_t GetKdbxCostLimit() const noexcept { return FKdbxCostLimit; }
  void SetKdbxCostLimit(std::uint64_t Value) noexcept { FKdbxCostLimit = Value; }

private:
  friend struct detail::TPassExchangeAccess;
  // Appends a record that no store holds and returns its position. Editing:
  // the record is being made, and its changes until the next save keep no
  // version.
  std::int32_t Take(TKLPassRecord* Rec, bool Editing = false);
  // Closes every record's edit after a save.
  void EndEdits() noexcept;
  // Appends every record, or none when the list cannot grow.
  void TakeAll(std::vector<std::unique_ptr<TKLPassRecord>>& Recs);
  void CheckSavableGroups() const;
  void GiveUuids(const std::vector<TKLPassRecord*>& Recs);
  void SearchCustomFields(TKLSearchEquality Equality, const String& Value, TPointerList<TKLPassRecord>& Recs);
  void CheckStoreGroup(const String& Group) const;
  void LoadKdbx(TStream& Strm, const String& Password);
  void SaveKdbx(TStream& Strm, const String& Password);

  // In position order; each record knows its slot (FSlot).
  TRankedList<TKLPassRecord*> FList;
  TKLKdfParameters FKdf;
  bool FAllowLegacyFormat = false;
  std::uint8_t FLoadedVersion = 0;
  std::uint8_t FSaveVersion = KLStorageVersion3;
  std::shared_ptr<detail::TStorageKey> FKey;
  bool FRefuseChangedFile = false;
  TKLPassFileFormat FSaveFormat = pfVault;
  TKLKdbxSettings FKdbxSettings;
  std::uint32_t FKdbxLoadedVersion = 0;
  std::uint64_t FKdbxCostLimit = KLKdbxDefaultCostLimit;
  SecureBytes FKeyFile;
  std::shared_ptr<detail::TKdbxState> FKdbx;
  bool FRecycleBinEnabled = true;
  String FRecycleBinGroup = DefaultRecycleBinGroup;
  std::vector<TKLPassGroup> FGroups;
  std::vector<TKLPassDeletedObject> FDeleted;
  std::int32_t FHistoryMaxItems = KLPassDefaultHistoryMaxItems;
  std::int64_t FHistoryMaxBytes = KLPassDefaultHistoryMaxBytes;
  // The file last loaded or saved, and its stamp as it was then.
  String FFileName;
  TFileStamp FFileStamp;
};

} // namespace kl
