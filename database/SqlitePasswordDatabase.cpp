#include <sqlite3.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <limits>
#include <string>
#include <unordered_map>

#include "database/KLSqlDatabase.h"
#include "database/SqlUserStore.h"

namespace kl {

namespace {

// Each step brings the schema from the version before it to its own (the
// first makes it). Steps are only ever appended.
constexpr const char* kMigrations[] = {
    // 1: the users.
    "CREATE TABLE klp_users (uid INTEGER PRIMARY KEY AUTOINCREMENT CHECK (uid BETWEEN 1 AND 2147483647), "
    "name TEXT NOT NULL UNIQUE, salt TEXT NOT NULL, hash TEXT NOT NULL)",
    // 2: consecutive failed verifications, kept with each user so that every
    // process sees them, and the settings of the database (the failure limit).
    "ALTER TABLE klp_users ADD COLUMN failures INTEGER NOT NULL DEFAULT 0 CHECK (failures >= 0); "
    "CREATE TABLE klp_settings (name TEXT PRIMARY KEY, value INTEGER NOT NULL)",
    // 3: the check value of each pepper key the records are made with.
    "CREATE TABLE klp_key_checks (key_id TEXT PRIMARY KEY, check_value TEXT NOT NULL)",
};
static_assert(std::size(kMigrations) == KLSqlSchemaVersion);

[[noreturn]] void RaiseSqlite(sqlite3* Db, int Code) {
  const int primary = Code & 0xFF;
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  }
  std::string message = SDatabaseStatementFailed;
  message += ": ";
  message += Db != nullptr ? sqlite3_errmsg(Db) : sqlite3_errstr(Code);
  throw EKLPasswordDatabaseError(message);
}

// One prepared statement in use: bound, stepped, and reset when the scope
// ends, so that no read transaction outlives the call.
class TStatement {
public:
  TStatement(sqlite3* Db, sqlite3_stmt* Stmt) noexcept : FDb(Db), FStmt(Stmt) {}
  ~TStatement() {
    sqlite3_reset(FStmt);
    sqlite3_clear_bindings(FStmt);
  }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int Index, std::int64_t Value) {
    Check(sqlite3_bind_int64(FStmt, Index, Value));
    return *this;
  }
  // Copied by SQLite (its copy is not wiped: SQLite's own memory).
  TStatement& Bind(int Index, const RawByteString& Text) {
    Check(sqlite3_bind_text64(FStmt, Index, Text.data(), Text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
  }
  // True for a row, false when done.
  bool Step() {
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    RaiseSqlite(FDb, rc);
  }
  std::int64_t Int(int Column) const noexcept { return sqlite3_column_int64(FStmt, Column); }
  String Text(int Column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, Column));
    if (data == nullptr) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
    return detail::StoredText(data, static_cast<std::size_t>(sqlite3_column_bytes(FStmt, Column)));
  }
  // uid, name, salt, hash.
  TKLDatabaseRecord Record() const {
    const std::int64_t uid = Int(0);
    if (uid < 1 || uid > std::numeric_limits<std::int32_t>::max()) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
    return TKLDatabaseRecord{static_cast<std::int32_t>(uid), Text(1), Text(2), Text(3), 0};
  }
  void Check(int Code) const {
    if (Code != SQLITE_OK) RaiseSqlite(FDb, Code);
  }

private:
  sqlite3* FDb;
  sqlite3_stmt* FStmt;
};

class TSqliteUserStore final : public detail::TSqlUserStore {
public:
  TSqliteUserStore(String Path, std::int32_t BusyTimeout) : FPath(std::move(Path)), FBusyTimeout(BusyTimeout) {}
  ~TSqliteUserStore() override {
    for (auto& [sql, stmt] : FStatements) sqlite3_finalize(stmt);
    sqlite3_close_v2(FDb);
  }

  void Create() override {
#ifndef _WIN32
    // A new database holds hashes: its owner's only, as every file the library
    // makes; SQLite gives its log and shared-memory files the database's mode.
    const RawByteString path = StrToUTF8Strict(FPath);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
#endif
    Connect(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    // Kept in the file: every later connection writes ahead to the log.
    Execute("PRAGMA journal_mode=WAL");
    Transaction([&] {
      TStatement tables = Prepare("SELECT count(*) FROM sqlite_schema WHERE name IN ('klp_users', 'klp_settings')");
      tables.Step();
      if (tables.Int(0) != 0 || SchemaVersion() != 0) throw EKLPasswordDatabaseError(SDatabaseAlreadyExists);
      Migrate(0);
    });
  }

  std::int32_t Open() override {
    Connect(SQLITE_OPEN_READWRITE);
    const std::int32_t found = SchemaVersion();
    CheckVersion(found);
    if (found < KLSqlSchemaVersion) {
      Transaction([&] {
        const std::int32_t now = SchemaVersion(); // another process may have migrated meanwhile
        CheckVersion(now);
        Migrate(now);
      });
    }
    return found;
  }

  bool FindByName(const String& Username, TKLDatabaseRecord& Record) override {
    const detail::TUtf8Field name(Username);
    TStatement s = Prepare("SELECT uid, name, salt, hash FROM klp_users WHERE name = ?1");
    return ReadOne(s.Bind(1, name.Get()), Record);
  }

  bool FindByUID(std::int32_t UID, TKLDatabaseRecord& Record) override {
    TStatement s = Prepare("SELECT uid, name, salt, hash FROM klp_users WHERE uid = ?1");
    return ReadOne(s.Bind(1, UID), Record);
  }

  bool FindAt(std::int32_t Index, TKLDatabaseRecord& Record) override {
    TStatement s = Prepare("SELECT uid, name, salt, hash FROM klp_users ORDER BY uid LIMIT 1 OFFSET ?1");
    return ReadOne(s.Bind(1, Index), Record);
  }

  std::int32_t Insert(const String& Username, const String& Salt, const String& Hash) override {
    const detail::TUtf8Field name(Username);
    const detail::TUtf8Field salt(Salt);
    const detail::TUtf8Field hash(Hash);
    TStatement s = Prepare(
        "INSERT INTO klp_users (name, salt, hash) VALUES (?1, ?2, ?3) "
        "ON CONFLICT (name) DO NOTHING RETURNING uid");
    s.Bind(1, name.Get()).Bind(2, salt.Get()).Bind(3, hash.Get());
    const std::int32_t uid = s.Step() ? static_cast<std::int32_t>(s.Int(0)) : 0;
    while (s.Step()) {
    }
    return uid;
  }

  std::int32_t Update(const String& Username, const String& Salt, const String& Hash) override {
    const detail::TUtf8Field name(Username);
    const detail::TUtf8Field salt(Salt);
    const detail::TUtf8Field hash(Hash);
    TStatement s = Prepare("UPDATE klp_users SET salt = ?2, hash = ?3 WHERE name = ?1 RETURNING uid");
    s.Bind(1, name.Get()).Bind(2, salt.Get()).Bind(3, hash.Get());
    const std::int32_t uid = s.Step() ? static_cast<std::int32_t>(s.Int(0)) : 0;
    while (s.Step()) {
    }
    return uid;
  }

  bool Delete(std::int32_t UID) override {
    TStatement s = Prepare("DELETE FROM klp_users WHERE uid = ?1");
    s.Bind(1, UID).Step();
    return sqlite3_changes(FDb) > 0;
  }

  bool ReplaceIf(std::int32_t UID, const String& OldHash, const String& Salt, const String& Hash) override {
    const detail::TUtf8Field old(OldHash);
    const detail::TUtf8Field salt(Salt);
    const detail::TUtf8Field hash(Hash);
    TStatement s = Prepare("UPDATE klp_users SET salt = ?3, hash = ?4 WHERE uid = ?1 AND hash = ?2");
    s.Bind(1, UID).Bind(2, old.Get()).Bind(3, salt.Get()).Bind(4, hash.Get()).Step();
    return sqlite3_changes(FDb) > 0;
  }

  std::int32_t Count() override {
    TStatement s = Prepare("SELECT count(*) FROM klp_users");
    s.Step();
    return static_cast<std::int32_t>(s.Int(0));
  }

  void Page(std::int32_t AfterUID, std::int32_t Limit, std::vector<TKLDatabaseRecord>& Records) override {
    TStatement s =
        Prepare("SELECT uid, name, salt, hash, failures FROM klp_users WHERE uid > ?1 ORDER BY uid LIMIT ?2");
    s.Bind(1, AfterUID).Bind(2, Limit);
    while (s.Step()) {
      Records.push_back(s.Record());
      Records.back().Failures = Count32(s.Int(4));
    }
  }

  // SQLite keeps the largest UID ever stored for AUTOINCREMENT, so UIDs handed
  // out later stay above an imported one.
  bool Import(const TKLDatabaseRecord& Record) override {
    const detail::TUtf8Field name(Record.Username);
    const detail::TUtf8Field salt(Record.Salt);
    const detail::TUtf8Field hash(Record.Hash);
    // Checked first: a refused insert would still move AUTOINCREMENT's counter.
    bool stored = false;
    Transaction([&] {
      TStatement taken = Prepare("SELECT 1 FROM klp_users WHERE uid = ?1 OR name = ?2");
      if (taken.Bind(1, Record.UID).Bind(2, name.Get()).Step()) return;
      TStatement s = Prepare("INSERT INTO klp_users (uid, name, salt, hash, failures) VALUES (?1, ?2, ?3, ?4, ?5)");
      s.Bind(1, Record.UID).Bind(2, name.Get()).Bind(3, salt.Get()).Bind(4, hash.Get()).Bind(5, Record.Failures).Step();
      stored = true;
    });
    return stored;
  }

  std::int32_t Failures(std::int32_t UID) override {
    TStatement s = Prepare("SELECT failures FROM klp_users WHERE uid = ?1");
    return s.Bind(1, UID).Step() ? Count32(s.Int(0)) : 0;
  }

  std::int32_t AddFailure(std::int32_t UID) override {
    TStatement s = Prepare(
        "UPDATE klp_users SET failures = failures + (failures < 2147483647) WHERE uid = ?1 "
        "RETURNING failures");
    const std::int32_t count = s.Bind(1, UID).Step() ? Count32(s.Int(0)) : 0;
    while (s.Step()) {
    }
    return count;
  }

  void ClearFailures(std::int32_t UID) override {
    TStatement s = Prepare("UPDATE klp_users SET failures = 0 WHERE uid = ?1 AND failures <> 0");
    s.Bind(1, UID).Step();
  }

  // The limit is checked and the attempt counted by one statement, under the
  // database's write lock: two connections can never both pass the check.
  std::int32_t TakeAttempt(std::int32_t UID, std::int32_t Limit) override {
    TStatement s = Prepare(
        "UPDATE klp_users SET failures = failures + (failures < 2147483647) "
        "WHERE uid = ?1 AND (?2 <= 0 OR failures < ?2) RETURNING failures");
    if (s.Bind(1, UID).Bind(2, Limit).Step()) {
      const std::int32_t count = Count32(s.Int(0));
      while (s.Step()) {
      }
      return count;
    }
    TStatement exists = Prepare("SELECT 1 FROM klp_users WHERE uid = ?1");
    return exists.Bind(1, UID).Step() ? -1 : 0;
  }

  void ReturnAttempt(std::int32_t UID) override {
    TStatement s = Prepare("UPDATE klp_users SET failures = failures - 1 WHERE uid = ?1 AND failures > 0");
    s.Bind(1, UID).Step();
  }

  String ReadKeyCheck(const String& ID) override {
    const detail::TUtf8Field id(ID);
    TStatement s = Prepare("SELECT check_value FROM klp_key_checks WHERE key_id = ?1");
    return s.Bind(1, id.Get()).Step() ? s.Text(0) : String();
  }

  String RecordKeyCheck(const String& ID, const String& Check) override {
    const detail::TUtf8Field id(ID);
    const detail::TUtf8Field check(Check);
    TStatement s = Prepare("INSERT INTO klp_key_checks (key_id, check_value) VALUES (?1, ?2) ON CONFLICT DO NOTHING");
    s.Bind(1, id.Get()).Bind(2, check.Get()).Step();
    return ReadKeyCheck(ID);
  }

  std::int32_t ReadSetting(const char* Name, std::int32_t Default) override {
    TStatement s = Prepare("SELECT value FROM klp_settings WHERE name = ?1");
    if (!s.Bind(1, RawByteString(Name)).Step()) return Default;
    const std::int64_t value = s.Int(0);
    return value < 0 || value > std::numeric_limits<std::int32_t>::max() ? Default : static_cast<std::int32_t>(value);
  }

  void WriteSetting(const char* Name, std::int32_t Value) override {
    TStatement s = Prepare(
        "INSERT INTO klp_settings (name, value) VALUES (?1, ?2) "
        "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
    s.Bind(1, RawByteString(Name)).Bind(2, Value).Step();
  }

private:
  static std::int32_t Count32(std::int64_t Value) {
    if (Value < 0 || Value > std::numeric_limits<std::int32_t>::max())
      throw EKLPasswordDatabaseError(SDatabaseCorrupted);
    return static_cast<std::int32_t>(Value);
  }

  void Connect(int Flags) {
    const RawByteString path = StrToUTF8Strict(FPath);
    const int rc = sqlite3_open_v2(path.c_str(), &FDb, Flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string message = std::string(SDatabaseUnreachable) + ": " + (FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc));
      throw EKLDatabaseUnavailable(message);
    }
    sqlite3_extended_result_codes(FDb, 1);
    sqlite3_busy_timeout(FDb, FBusyTimeout);
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    // Durable when a statement returns, also through a power cut; hashes of
    // deleted users are overwritten, not left in free pages.
    Execute("PRAGMA synchronous=FULL");
    Execute("PRAGMA secure_delete=ON");
    Execute("PRAGMA trusted_schema=OFF");
  }

  void Execute(const char* Sql) {
    const int rc = sqlite3_exec(FDb, Sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) RaiseSqlite(FDb, rc);
  }

  TStatement Prepare(const char* Sql) {
    auto found = FStatements.find(Sql);
    if (found == FStatements.end()) {
      sqlite3_stmt* stmt = nullptr;
      const int rc = sqlite3_prepare_v3(FDb, Sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
      if (rc != SQLITE_OK) RaiseSqlite(FDb, rc);
      found = FStatements.emplace(Sql, stmt).first;
    }
    return TStatement(FDb, found->second);
  }

  bool ReadOne(TStatement& Stmt, TKLDatabaseRecord& Record) {
    if (!Stmt.Step()) return false;
    Record = Stmt.Record();
    return true;
  }

  std::int32_t SchemaVersion() {
    TStatement s = Prepare("PRAGMA user_version");
    s.Step();
    return static_cast<std::int32_t>(s.Int(0));
  }

  static void CheckVersion(std::int32_t Version) {
    if (Version > KLSqlSchemaVersion) throw EKLDatabaseUnavailable(SDatabaseSchemaTooNew);
    if (Version < 1) throw EKLPasswordDatabaseError(SDatabaseNotUserDatabase);
  }

  void Migrate(std::int32_t From) {
    for (std::int32_t v = From; v < KLSqlSchemaVersion; ++v) Execute(kMigrations[v]);
    Execute(("PRAGMA user_version=" + std::to_string(KLSqlSchemaVersion)).c_str());
  }

  // Takes the write lock at the start, so that two processes never both read
  // and then both write.
  template <class F>
  void Transaction(F&& Body) {
    Execute("BEGIN IMMEDIATE");
    try {
      Body();
      Execute("COMMIT");
    } catch (...) {
      sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  String FPath;
  std::int32_t FBusyTimeout;
  sqlite3* FDb = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> FStatements;
};

} // namespace

TKLSqlitePasswordDatabase::TKLSqlitePasswordDatabase(TComponent* AOwner) : TKLSqlPasswordDatabase(AOwner) {}

TKLSqlitePasswordDatabase::~TKLSqlitePasswordDatabase() = default;

std::unique_ptr<detail::TSqlUserStore> TKLSqlitePasswordDatabase::MakeStore(const String& URI) const {
  String path = UserDatabaseKindOf(URI) == udkSqlite ? URI.substr(7) : URI;
  if (path.empty() || UserDatabaseKindOf(URI) == udkPostgres) throw EKLDatabaseUnavailable(SDatabaseUnreachable);
  return std::make_unique<TSqliteUserStore>(std::move(path), FBusyTimeout);
}

} // namespace kl
