// The SQL user databases beside the text database, at 1,000,000 users, in one
// run: a look-up by name, and DeleteUser of one user (the user is put back with
// the clock paused). The text database deletes in memory; its durable
// equivalent is the Save after it, measured as well. Then verifications per
// second by 16 clients, each on its own connection (SQLite, PostgreSQL), at the
// default Argon2id cost, beside the reference: bare libsodium's
// crypto_pwhash_str_verify of a hash of the same cost, as many verifications on
// all cores at once, which is the hash alone (the library's own VerifyPassword in
// the same way follows, for its share). A client whose verification the
// library refuses (its bound on hashes in flight waits 30 s at most, which a
// busy machine can pass) is counted and its error reported in the row, and the
// run goes on.
//
// The databases are filled once per run, directly in one transaction (SQLite,
// PostgreSQL) or in memory (text), with old-form records (one SHA-256 each), so
// the figures show the look-up and the statement, not the hash. PostgreSQL runs
// in a throwaway cluster (scripts/pg-test-cluster.sh, with fsync on), or on the
// server KL_BENCH_POSTGRES names (a URI of an empty database).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sodium.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crypto/KLPasswordHash.h"
#include "crypto/KLSHA256.h"
#include "database/KLSqlDatabase.h"
#include "foundation/Convert.h"
#include "foundation/KLGeneral.h"

namespace {

using kl::String;

constexpr std::int64_t kUsers = 1000000;
const char* const kSalt = "00112233445566778899aabbccddeeff";

std::string OldFormHash() {
  kl::ByteArray input = kl::HexStrToBytes(kl::UTF8ToStr(kSalt));
  for (const char c : std::string("pw")) input.push_back(static_cast<std::uint8_t>(c));
  return kl::StrToUTF8(kl::BytesToHexStr(
      kl::DigestToBytes(kl::SHA256Calculate(input.data(), static_cast<std::uint32_t>(input.size())))));
}

String UserName(std::int64_t I) { return u"user" + kl::IntToStr(I); }

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() / ("kl-sql-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

void Check(bool Ok, const std::string& What) {
  if (!Ok) throw std::runtime_error(What);
}

// The throwaway cluster, stopped at exit.
struct TCluster {
  std::string State;
  std::string URI;
  TCluster() {
    if (const char* given = std::getenv("KL_BENCH_POSTGRES")) {
      URI = given;
      return;
    }
    State = (Folder() / "postgres.uri").string();
    const std::string script = std::string(KL_SOURCE_DIR) + "/scripts/pg-test-cluster.sh";
    Check(std::system(("KL_PG_FSYNC=on bash '" + script + "' start '" + State + "'").c_str()) == 0, "cluster start");
    std::ifstream(State) >> URI;
    Check(URI.rfind("postgresql://", 0) == 0, "no PostgreSQL server: " + URI);
  }
  ~TCluster() {
    if (!State.empty()) {
      const std::string script = std::string(KL_SOURCE_DIR) + "/scripts/pg-test-cluster.sh";
      (void)std::system(("bash '" + script + "' stop '" + State + "'").c_str());
    }
    std::filesystem::remove_all(Folder());
  }
};

TCluster& Cluster() {
  static TCluster cluster;
  return cluster;
}

String TextFile() {
  static const String file = [] {
    const String path = kl::UTF8ToStr((Folder() / "users.txt").string());
    kl::TKLTextPasswordDatabase db;
    db.SetSaveOnDestroy(false);
    db.CreateNew(path);
    const String salt = kl::UTF8ToStr(kSalt);
    const String hash = kl::UTF8ToStr(OldFormHash());
    for (std::int64_t i = 0; i < kUsers; ++i)
      db.ImportRecord({static_cast<std::int32_t>(i + 1), UserName(i), salt, hash});
    db.Save();
    return path;
  }();
  return file;
}

String SqliteURI() {
  static const String uri = [] {
    const std::string path = (Folder() / "users.db").string();
    {
      kl::TKLSqlitePasswordDatabase db;
      db.CreateNew(kl::UTF8ToStr("sqlite:" + path));
    }
    sqlite3* raw = nullptr;
    Check(sqlite3_open(path.c_str(), &raw) == SQLITE_OK, "sqlite open");
    sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(raw, "INSERT INTO klp_users (name, salt, hash) VALUES (?1, ?2, ?3)", -1, &insert, nullptr);
    const std::string hash = OldFormHash();
    for (std::int64_t i = 0; i < kUsers; ++i) {
      const std::string name = "user" + std::to_string(i);
      sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, kSalt, -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, hash.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, "sqlite commit");
    sqlite3_close(raw);
    return kl::UTF8ToStr("sqlite:" + path);
  }();
  return uri;
}

void Admin(const std::string& URI, const std::string& Sql) {
  PGconn* conn = PQconnectdb(URI.c_str());
  Check(PQstatus(conn) == CONNECTION_OK, PQerrorMessage(conn));
  PGresult* result = PQexec(conn, Sql.c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
  const std::string error = PQresultErrorMessage(result);
  PQclear(result);
  PQfinish(conn);
  Check(ok, error);
}

String PostgresURI() {
  static const String uri = [] {
    const std::string server = Cluster().URI;
    {
      kl::TKLPostgresPasswordDatabase db;
      db.CreateNew(kl::UTF8ToStr(server));
    }
    Admin(server, "INSERT INTO klp_users (name, salt, hash) SELECT convert_to('user' || g, 'UTF8'), '" +
                      std::string(kSalt) + "', '" + OldFormHash() + "' FROM generate_series(0, " +
                      std::to_string(kUsers - 1) + ") AS g; ANALYZE klp_users");
    return kl::UTF8ToStr(server);
  }();
  return uri;
}

template <class DB>
std::unique_ptr<DB> Opened(const String& URI) {
  auto db = std::make_unique<DB>();
  db->SetWeakLegacyHashes(true);
  if constexpr (std::is_same_v<DB, kl::TKLTextPasswordDatabase>) db->SetSaveOnDestroy(false);
  db->Open(URI);
  return db;
}

template <class DB>
String Place() {
  if constexpr (std::is_same_v<DB, kl::TKLTextPasswordDatabase>) return TextFile();
  if constexpr (std::is_same_v<DB, kl::TKLSqlitePasswordDatabase>) return SqliteURI();
  if constexpr (std::is_same_v<DB, kl::TKLPostgresPasswordDatabase>) return PostgresURI();
}

template <class DB>
void BM_LookUp(benchmark::State& State) {
  auto db = Opened<DB>(Place<DB>());
  db->GetUID(UserName(0)); // the text database builds its index on the first look-up
  std::int64_t i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(db->GetUID(UserName(i)));
    i = (i + 7919) % kUsers;
  }
}

template <class DB>
void BM_DeleteUser(benchmark::State& State) {
  auto db = Opened<DB>(Place<DB>());
  const String salt = kl::UTF8ToStr(kSalt);
  const String hash = kl::UTF8ToStr(OldFormHash());
  db->GetUID(UserName(0));
  std::int64_t i = 0;
  for (auto _ : State) {
    const std::int32_t uid = static_cast<std::int32_t>(i + 1);
    benchmark::DoNotOptimize(db->DeleteUser(uid));
    State.PauseTiming();
    db->ImportRecord({uid, UserName(i), salt, hash});
    i = (i + 7919) % kUsers;
    State.ResumeTiming();
  }
}

// The text database's deletion made durable: the whole file written again.
void BM_DeleteUserAndSave_Text(benchmark::State& State) {
  auto db = Opened<kl::TKLTextPasswordDatabase>(TextFile());
  db->GetUID(UserName(0));
  std::int64_t i = 0;
  for (auto _ : State) {
    db->DeleteUser(static_cast<std::int32_t>(i + 1));
    db->Save();
    State.PauseTiming();
    db->ImportRecord(
        {static_cast<std::int32_t>(i + 1), UserName(i), kl::UTF8ToStr(kSalt), kl::UTF8ToStr(OldFormHash())});
    i = (i + 7919) % kUsers;
    State.ResumeTiming();
  }
}

void BM_Open(benchmark::State& State) {
  const String uri = PostgresURI();
  for (auto _ : State) benchmark::DoNotOptimize(Opened<kl::TKLPostgresPasswordDatabase>(uri)->GetSchemaVersion());
}

// Runs Work on Threads threads at once, Each times on each; the wall time of
// the whole is the iteration's time, and the counter the verifications a second.
// A call that throws is counted ("failed") and the first error is the row's
// label: the figure then covers the calls that answered.
void RunClients(benchmark::State& State, int Threads, int Each, const std::function<void()>& Work) {
  std::atomic<int> failed{0};
  std::mutex lock;
  std::string firstError;
  for (auto _ : State) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < Each; ++i) {
          try {
            Work();
          } catch (const std::exception& e) {
            if (failed++ == 0) {
              const std::lock_guard<std::mutex> guard(lock);
              firstError = e.what();
            }
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    State.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  State.counters["verifications/s"] = benchmark::Counter(static_cast<double>(Threads * Each - failed.load()),
                                                         benchmark::Counter::kIsIterationInvariantRate);
  State.counters["failed"] = failed.load();
  if (failed.load() > 0) State.SetLabel(std::to_string(failed.load()) + " failed: " + firstError);
}

constexpr int kClients = 16;
constexpr int kBurst = 2 * kClients; // verifications a row: two a client

// 16 clients, each on its own connection, verifying one user at the default
// Argon2id cost.
template <class DB>
void VerifyClients(benchmark::State& State, const String& URI) {
  std::vector<std::unique_ptr<DB>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<DB>());
    clients.back()->Open(URI);
  }
  std::atomic<int> next{0};
  RunClients(State, kClients, kBurst / kClients, [&] {
    thread_local std::size_t mine = static_cast<std::size_t>(next++ % kClients);
    if (!clients[mine]->Verify(u"argon", u"pw")) throw std::runtime_error("the right password refused");
  });
}

void BM_Verify16Clients_Postgres(benchmark::State& State) {
  static const String uri = [] {
    std::string server = Cluster().URI;
    const std::size_t at = server.find("/postgres?");
    if (at != std::string::npos) {
      Admin(server, "CREATE DATABASE klp_verify");
      server.replace(at, 10, "/klp_verify?");
    }
    kl::TKLPostgresPasswordDatabase db;
    db.CreateNew(kl::UTF8ToStr(server));
    db.AddUser(u"argon", u"pw", false);
    return kl::UTF8ToStr(server);
  }();
  VerifyClients<kl::TKLPostgresPasswordDatabase>(State, uri);
}

void BM_Verify16Clients_Sqlite(benchmark::State& State) {
  static const String uri = [] {
    const String place = kl::UTF8ToStr("sqlite:" + (Folder() / "verify.db").string());
    kl::TKLSqlitePasswordDatabase db;
    db.CreateNew(place);
    db.AddUser(u"argon", u"pw", false);
    return place;
  }();
  VerifyClients<kl::TKLSqlitePasswordDatabase>(State, uri);
}

// The reference: libsodium's own verification of an Argon2id string of the
// library's default cost, the same 32 verifications spread over every core (as
// many threads as cores, the 32 shared out), so the cores do the same hashing
// as above.
void BM_SodiumVerifyOnEveryCore(benchmark::State& State) {
  const kl::TKLPasswordHashParameters cost;
  static char hash[crypto_pwhash_STRBYTES];
  static const bool made =
      sodium_init() >= 0 && crypto_pwhash_str_alg(hash, "pw", 2, cost.Passes, std::size_t{cost.MemoryKiB} * 1024,
                                                  crypto_pwhash_ALG_ARGON2ID13) == 0;
  if (!made) {
    State.SkipWithError("libsodium could not hash");
    return;
  }
  const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  RunClients(State, cores, kBurst / cores, [&] {
    if (crypto_pwhash_str_verify(hash, "pw", 2) != 0) throw std::runtime_error("libsodium refused the password");
  });
}

// The library's VerifyPassword the same way: the hash and the library's checks
// of the string.
void BM_Argon2idOnEveryCore(benchmark::State& State) {
  static const String hash = kl::HashPassword(u"pw", kl::TKLPasswordHashParameters{});
  const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  RunClients(State, cores, kBurst / cores,
             [&] { benchmark::DoNotOptimize(kl::VerifyPassword(hash, u"pw", kl::TKLPasswordHashParameters{})); });
}

BENCHMARK_TEMPLATE(BM_LookUp, kl::TKLTextPasswordDatabase)->Name("LookUp/Text/1000000");
BENCHMARK_TEMPLATE(BM_LookUp, kl::TKLSqlitePasswordDatabase)->Name("LookUp/SQLite/1000000");
BENCHMARK_TEMPLATE(BM_LookUp, kl::TKLPostgresPasswordDatabase)->Name("LookUp/PostgreSQL/1000000");
BENCHMARK_TEMPLATE(BM_DeleteUser, kl::TKLTextPasswordDatabase)->Name("DeleteUser/Text/1000000");
BENCHMARK(BM_DeleteUserAndSave_Text)->Name("DeleteUserAndSave/Text/1000000")->Iterations(5);
BENCHMARK_TEMPLATE(BM_DeleteUser, kl::TKLSqlitePasswordDatabase)->Name("DeleteUser/SQLite/1000000");
BENCHMARK_TEMPLATE(BM_DeleteUser, kl::TKLPostgresPasswordDatabase)->Name("DeleteUser/PostgreSQL/1000000");
BENCHMARK(BM_Open)->Name("Open/PostgreSQL/1000000");
BENCHMARK(BM_SodiumVerifyOnEveryCore)->Name("Verify/libsodium/EveryCore")->UseManualTime()->Iterations(1);
BENCHMARK(BM_Verify16Clients_Sqlite)->Name("Verify/SQLite/16clients")->UseManualTime()->Iterations(1);
BENCHMARK(BM_Verify16Clients_Postgres)->Name("Verify/PostgreSQL/16clients")->UseManualTime()->Iterations(1);
BENCHMARK(BM_Argon2idOnEveryCore)->Name("Verify/VerifyPassword/EveryCore")->UseManualTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
