#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/Export.h"
#include "foundation/FileStamp.h"
#include "foundation/KLGeneral.h"
#include "foundation/PointerList.h"
#include "foundation/RankedList.h"
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

// The group of a record made without arguments.
inline constexpr const Char* DefaultPassGroup = u"General";

class TKLPassStorage;
namespace detail {
// The import and export of records (KLPassExchange), which reads texts in
// place and restores time stamps as a load does.
struct TPassExchangeAccess;
} // namespace detail

// One entry of the password-manager store: six texts and three time stamps
// (local wall-clock seconds since 1970) that the record keeps itself. Every
// getter of a text stamps the last-access time; a setter stamps the
// modification time only when the text really changes. Replaced texts and the
// password on destruction are wiped; copies handed out by the getters are the
// caller's. A plain object: its creator destroys it unless a store took it
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
  // 0 until a text is read through its getter.
  std::int64_t GetLastAccessDate() const noexcept { return FLastAccessDate; }

private:
  friend class TKLPassStorage;
  friend struct detail::TPassExchangeAccess;
  using TField = String TKLPassRecord::*;
  // A record with every field empty or 0, for a load to fill in without
  // reading the clock.
  struct TBlank {};
  explicit TKLPassRecord(TBlank) noexcept {}

  // In-place read for the store's listing, search and save: stamps the access
  // time with Now (one clock reading for a whole pass) without copying the text.
  const String& ReadField(TField Field, std::int64_t Now) noexcept {
    FLastAccessDate = Now;
    return this->*Field;
  }
  String GetField(TField Field);
  void SetField(TField Field, const String& Value);

  String FGroup;
  String FTitle;
  String FUsername;
  String FPassword;
  String FURL;
  String FNote;
  std::int64_t FCreationDate = 0;
  std::int64_t FModificationDate = 0;
  std::int64_t FLastAccessDate = 0;
  // The store that holds this record, so that a second Add is refused, and
  // the record's slot in that store's list, so that Delete finds it at once.
  TKLPassStorage* FStore = nullptr;
  std::uint32_t FSlot = 0;
};

enum TKLSearchParam : std::int32_t { spTitle, spUsername, spPassword, spURL, spNote };
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

  // "Wrong group name" when Group contains "/"; the empty group is accepted.
  static void CheckGroup(const String& Group);

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
  // Empties the store without destroying the records, and wipes the key
  // kept from the last encrypted load or save.
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
  // group could not be loaded back: an empty group or one containing "/".
  // Nothing is written then. An empty Password saves unencrypted.
  void SaveToStream(TStream& Strm, const String& Password);
  // Appends the stored records after those already held, grouped: all
  // records of the first group met in the storage, then the next group's.
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

private:
  friend struct detail::TPassExchangeAccess;
  // Appends a record that no store holds and returns its position.
  std::int32_t Take(TKLPassRecord* Rec);
  // Appends every record, or none when the list cannot grow.
  void TakeAll(std::vector<std::unique_ptr<TKLPassRecord>>& Recs);
  void CheckSavableGroups() const;

  // In position order; each record knows its slot (FSlot).
  TRankedList<TKLPassRecord*> FList;
  TKLKdfParameters FKdf;
  bool FAllowLegacyFormat = false;
  std::uint8_t FLoadedVersion = 0;
  std::uint8_t FSaveVersion = KLStorageVersion3;
  std::shared_ptr<detail::TStorageKey> FKey;
  bool FRefuseChangedFile = false;
  // The file last loaded or saved, and its stamp as it was then.
  String FFileName;
  TFileStamp FFileStamp;
};

} // namespace kl
