#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "foundation/Types.h"

namespace kl::detail {

// What an SQL user database asks of its server: each call one statement or
// one transaction, committed when it returns. Names are valid UTF-16 without
// NUL (the caller checks). A call that fails changes nothing and raises
// EKLPasswordDatabaseError, or EKLDatabaseUnavailable when the server cannot
// be reached; the next call connects again.
class TSqlUserStore {
public:
  virtual ~TSqlUserStore() = default;

  // Makes the schema; SDatabaseAlreadyExists when one is there.
  virtual void Create() = 0;
  // Checks the schema and migrates it forward; returns the version found.
  virtual std::int32_t Open() = 0;

  virtual bool FindByName(const String& Username, TKLDatabaseRecord& Record) = 0;
  virtual bool FindByUID(std::int32_t UID, TKLDatabaseRecord& Record) = 0;
  // The user at Index in UID order.
  virtual bool FindAt(std::int32_t Index, TKLDatabaseRecord& Record) = 0;
  // The new user's UID; 0 when the name is taken.
  virtual std::int32_t Insert(const String& Username, const String& Salt, const String& Hash) = 0;
  // Gives the user named Username a new salt and hash; its UID, 0 if none.
  virtual std::int32_t Update(const String& Username, const String& Salt, const String& Hash) = 0;
  virtual bool Delete(std::int32_t UID) = 0;
  // Replaces salt and hash of the user with UID while its hash is OldHash.
  virtual bool ReplaceIf(std::int32_t UID, const String& OldHash, const String& Salt, const String& Hash) = 0;
  virtual std::int32_t Count() = 0;
  // Up to Limit users with a UID above AfterUID, in UID order.
  virtual void Page(std::int32_t AfterUID, std::int32_t Limit, std::vector<TKLDatabaseRecord>& Records) = 0;
  // Stores Record with its UID; false when the name or UID is taken.
  virtual bool Import(const TKLDatabaseRecord& Record) = 0;

  // The consecutive failures of the user with UID (0 if none), one more
  // (saturating; the new count, 0 if no such user), none.
  virtual std::int32_t Failures(std::int32_t UID) = 0;
  virtual std::int32_t AddFailure(std::int32_t UID) = 0;
  virtual void ClearFailures(std::int32_t UID) = 0;
  // One statement: adds an attempt unless Limit is above 0 and the count has
  // reached it. The new count; -1 when at the limit (nothing counted); 0 when
  // there is no such user.
  virtual std::int32_t TakeAttempt(std::int32_t UID, std::int32_t Limit) = 0;
  // Takes one attempt back, never below zero.
  virtual void ReturnAttempt(std::int32_t UID) = 0;
  // The check value stored for a pepper key (klp_key_checks), empty if none;
  // stores one unless there is one, and answers the one stored afterwards.
  virtual String ReadKeyCheck(const String& ID) = 0;
  virtual String RecordKeyCheck(const String& ID, const String& Check) = 0;
  // A setting of the database (klp_settings); Default when it has none.
  virtual std::int32_t ReadSetting(const char* Name, std::int32_t Default) = 0;
  virtual void WriteSetting(const char* Name, std::int32_t Value) = 0;
};

// The UTF-8 text of a stored field, wiped when it goes.
class TUtf8Field {
public:
  explicit TUtf8Field(const String& Text) : FBytes(StrToUTF8Strict(Text)) {}
  ~TUtf8Field() { WipeRawBytes(FBytes); }
  TUtf8Field(const TUtf8Field&) = delete;
  TUtf8Field& operator=(const TUtf8Field&) = delete;
  const RawByteString& Get() const noexcept { return FBytes; }

private:
  RawByteString FBytes;
};

// Calls Found with the place of each password a postgresql:// URI carries
// (its user information's, and each password parameter's), in order.
void ForEachURIPassword(const String& URI, const std::function<void(std::size_t At, std::size_t Length)>& Found);

// Decodes a stored field; text that is not UTF-8 means the row was not
// written by this library.
String StoredText(const char* Data, std::size_t Length);

} // namespace kl::detail
