#pragma once

#include <cstdint>
#include <memory>

#include "database/KLDatabase.h"

namespace kl {

namespace detail {
class TSqlUserStore;
} // namespace detail

// The server cannot be reached or the connection went down mid-operation (the
// operation then changed nothing), or the database was made by a newer
// version of the library: a condition of the place, not of the records.
KL_DECLARE_EXCEPTION(EKLDatabaseUnavailable, EKLPasswordDatabaseError);

inline constexpr const char* SDatabaseUnreachable = "Cannot connect to the user database";
inline constexpr const char* SDatabaseConnectionLost = "Connection to the user database lost; nothing was changed";
inline constexpr const char* SDatabaseSchemaTooNew = "The user database was made by a newer version of the library";
inline constexpr const char* SDatabaseAlreadyExists = "A user database already exists there";
inline constexpr const char* SDatabaseNotUserDatabase = "Not a user database";
inline constexpr const char* SDatabaseStatementFailed = "User database statement failed";

// The version of the schema this library writes and reads; Open migrates an
// older one forward.
inline constexpr std::int32_t KLSqlSchemaVersion = 3;

// Base of the user databases kept in an SQL database: one row per user in the
// table klp_users (uid, name, salt, hash, failures; the name as text),
// looked up through its indexes, never loaded whole; settings (the failure
// limit) in klp_settings, pepper keys' check values in klp_key_checks
// (docs/formats/user-stores.md describes the schema). Every operation is its own transaction and
// is durable when it returns; Save has nothing left to write and destruction writes nothing. A rehash after Verify and
// UpgradeHashes replace a hash only if it is still the one read (compare-and-swap), so they never undo a change another
// process made meanwhile. Names must be valid UTF-16 without NUL (SInvalidUserName otherwise). Raises
// EKLPasswordDatabaseError, EKLDatabaseUnavailable for an unreachable server, a lost connection or a newer schema. One
// thread at a time; processes and servers may share the database.
class KL_API TKLSqlPasswordDatabase : public TKLPasswordDatabase {
public:
  explicit TKLSqlPasswordDatabase(TComponent* AOwner = nullptr);
  ~TKLSqlPasswordDatabase() override;

  // Makes the schema in an empty database (an SQLite file is created);
  // SDatabaseAlreadyExists when a user database is there already.
  void CreateNew(const String& URI) override;
  // Opens and checks the schema, migrating an older one forward; a newer one
  // raises SDatabaseSchemaTooNew. Costs the same for any number of users. On
  // failure the database is left as it was.
  void Open(const String& URI) override;
  // Nothing to write: every change is stored when its operation returns.
  void Save() override;
  // Closes the connection; the database is then not opened.
  void Close() noexcept;
  std::int32_t AddUser(const String& Username, const String& Password, bool ChangeIfExists) override;
  using TKLPasswordDatabase::DeleteUser;
  bool DeleteUser(std::int32_t UID) override;
  std::int32_t GetUID(const String& Username) const override;
  String GetUsername(std::int32_t UID) const override;
  // Streams the users in UID order, a page at a time, so that memory stays
  // bounded; users added or removed during the walk may or may not be met.
  void ForEachRecord(const TRecordVisitor& Visitor) const override;
  void ImportRecord(const TKLDatabaseRecord& Record) override;
  // The schema version found by the last Open (after migration: KLSqlSchemaVersion).
  std::int32_t GetSchemaVersion() const noexcept { return FSchemaVersion; }

protected:
  // The store for URI, not yet connected; raises for a URI of another kind.
  virtual std::unique_ptr<detail::TSqlUserStore> MakeStore(const String& URI) const = 0;
  detail::TSqlUserStore& Store() const;

  TKLDatabaseRecord GetRecord(std::int32_t Index) const override;
  std::int32_t GetUserCount() const override;
  void ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) override;
  bool FindRecord(const String& Username, TKLDatabaseRecord& Record, std::int32_t& Position) const override;
  bool ReadRecord(std::int32_t Position, std::int32_t UID, TKLDatabaseRecord& Record) const override;
  bool ReplaceHashIf(std::int32_t Position, const TKLDatabaseRecord& Current, const String& Salt,
                     const String& Hash) override;
  void WalkRecords(
      const std::function<void(std::int32_t Position, const TKLDatabaseRecord& Record)>& Visitor) const override;
  // Position is the UID here; each call one statement.
  std::int32_t ReadFailureCount(std::int32_t Position) const override;
  std::int32_t AddFailure(std::int32_t Position) override;
  void ClearFailures(std::int32_t Position) override;
  std::int32_t TakeAttempt(std::int32_t Position, std::int32_t Limit) override;
  void ReturnAttempt(std::int32_t Position) override;
  String ReadKeyCheck(const String& ID) const override;
  String RecordKeyCheck(const String& ID, const String& Check) override;
  std::int32_t ReadMaxFailures() const override;
  void WriteMaxFailures(std::int32_t Value) override;

private:
  void Connect(const String& URI, bool Create);

  std::unique_ptr<detail::TSqlUserStore> FStore;
  std::int32_t FSchemaVersion = 0;
};

// Users in an SQLite file, URI "sqlite:PATH" (a bare path is taken too). The
// file is kept in write-ahead-log mode with full synchronous writes; writers
// wait for each other up to GetBusyTimeout. Deleted rows are overwritten on disk.
class KL_API TKLSqlitePasswordDatabase : public TKLSqlPasswordDatabase {
public:
  explicit TKLSqlitePasswordDatabase(TComponent* AOwner = nullptr);
  ~TKLSqlitePasswordDatabase() override;

  // How long an operation waits for another process's write, in milliseconds
  // (default 60000); then it fails with SQLite's "database is locked".
  std::int32_t GetBusyTimeout() const noexcept { return FBusyTimeout; }
  void SetBusyTimeout(std::int32_t Value) noexcept { FBusyTimeout = Value < 0 ? 0 : Value; }

protected:
  std::unique_ptr<detail::TSqlUserStore> MakeStore(const String& URI) const override;

private:
  std::int32_t FBusyTimeout = 60000;
};

// Users in a PostgreSQL database, URI "postgresql://..." or "postgres://..."
// (any libpq connection string). Names are text, sent and read as UTF-8 (the
// connection's client encoding), so that a DBA, a report or a join reads them;
// the database's encoding must hold them (UTF8 holds every name). Open
// migrates a database of an earlier schema, whose names were bytea, in one
// transaction. A lost connection is
// opened again by the next operation. Where the library was built without
// PostgreSQL, CreateNew and Open raise SDatabaseUnreachable.
class KL_API TKLPostgresPasswordDatabase : public TKLSqlPasswordDatabase {
public:
  explicit TKLPostgresPasswordDatabase(TComponent* AOwner = nullptr);
  ~TKLPostgresPasswordDatabase() override;

  // Whether this build can reach PostgreSQL servers at all.
  static bool Available() noexcept;

protected:
  std::unique_ptr<detail::TSqlUserStore> MakeStore(const String& URI) const override;
};

// The kind of user database a URI names: "sqlite:PATH", "postgresql://..." or
// "postgres://...", or else a file path (text or encrypted, as the caller says).
enum TKLUserDatabaseKind { udkFile, udkSqlite, udkPostgres };
KL_API TKLUserDatabaseKind UserDatabaseKindOf(const String& URI) noexcept;

// URI as it may be shown in a message or a listing: the password of a
// postgresql:// or postgres:// URI, in its user information or a password
// parameter, replaced by "****" (as PostgreSQL's own tools show one); any
// other text unchanged. A URI on a command line is seen by every local user
// (/proc): prefer PGPASSFILE (~/.pgpass) or PGPASSWORD for the password.
KL_API String RedactUserDatabaseURI(const String& URI);

// A new, unopened database of the kind URI names; a file path gives a text
// database, or an encrypted one when Encrypted is set.
KL_API std::unique_ptr<TKLPasswordDatabase> MakeUserDatabase(const String& URI, bool Encrypted = false);

} // namespace kl
