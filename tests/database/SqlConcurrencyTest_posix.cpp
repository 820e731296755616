#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "database/SqlTestSupport.h"
#include "foundation/Convert.h"

// Several processes and connections on one SQL user database at once: nothing
// is lost, UIDs stay unique, and every failure is explained. Work is bounded by
// counting; no test depends on how fast the machine is.
namespace kl::test {
namespace {

constexpr int kUsersEach = 12;
constexpr int kFailuresEach = 6;

// One client's share: adds its own users, deletes every other one, and fails
// to verify the shared user; returns an empty text or what went wrong.
std::string RunClient(TKLPasswordDatabase& Db, int Client, std::set<std::int32_t>& UIDs) {
  try {
    for (int i = 0; i < kUsersEach; ++i) {
      const String name = u"c" + IntToStr(Client) + u"-" + IntToStr(i);
      const std::int32_t uid = Db.AddUser(name, name, false);
      if (!UIDs.insert(uid).second) return "UID " + std::to_string(uid) + " handed out twice";
      if (i % 2 == 1 && !Db.DeleteUser(uid)) return "user " + Narrow(name) + " gone before its delete";
    }
    for (int i = 0; i < kFailuresEach; ++i) {
      if (Db.Verify(u"shared", u"wrong")) return "a wrong password verified";
    }
  } catch (const std::exception& e) {
    return std::string("client ") + std::to_string(Client) + ": " + e.what();
  }
  return {};
}

// What every client's share leaves behind, checked by another connection.
void CheckOutcome(TKLPasswordDatabase& Db, int Clients) {
  EXPECT_EQ(Db.GetCount(), 1 + Clients * kUsersEach / 2);
  EXPECT_EQ(Db.GetFailureCount(u"shared"), Clients * kFailuresEach);
  std::set<std::int32_t> uids;
  Db.ForEachRecord([&](const TKLDatabaseRecord& Record) { uids.insert(Record.UID); });
  EXPECT_EQ(uids.size(), static_cast<std::size_t>(1 + Clients * kUsersEach / 2));
  for (int c = 0; c < Clients; ++c) {
    const String kept = u"c" + IntToStr(c) + u"-0";
    EXPECT_TRUE(Db.Verify(kept, kept)) << Narrow(kept);
    EXPECT_EQ(Db.GetUID(u"c" + IntToStr(c) + u"-1"), -1);
  }
}

template <class DB>
void Prepare(DB& Db, const String& URI) {
  Db.SetHashParameters(FastHashes());
  Db.CreateNew(URI);
  Db.SetMaxFailures(0); // the shared user never locks: every failure counts
  Db.AddUser(u"shared", u"right", false);
}

TEST(SqlConcurrency, EightProcessesOnOneSqliteFileLoseNothing) {
  constexpr int kProcesses = 8;
  TempDir dir;
  const String uri = u"sqlite:" + dir.FileU("users.db");
  {
    TKLSqlitePasswordDatabase db;
    Prepare(db, uri);
  } // no connection crosses the fork
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      TKLSqlitePasswordDatabase db;
      db.SetHashParameters(FastHashes());
      std::set<std::int32_t> uids;
      std::string error;
      try {
        db.Open(uri);
        error = RunClient(db, p, uids);
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (!error.empty()) WriteFileBytes(dir.File("client" + std::to_string(p) + ".error"), error);
      _exit(error.empty() ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (int p = 0; p < kProcesses; ++p) {
    int status = 0;
    ASSERT_EQ(waitpid(children[p], &status, 0), children[p]);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(ok) << "process " << p << " (status " << status
                    << "): " << (ok ? "" : ReadFileBytes(dir.File("client" + std::to_string(p) + ".error")));
  }
  TKLSqlitePasswordDatabase db;
  db.SetHashParameters(FastHashes());
  db.Open(uri);
  CheckOutcome(db, kProcesses);
}

TEST(SqlConcurrency, SixteenConnectionsToOnePostgresDatabaseLoseNothing) {
  KL_REQUIRE_POSTGRES();
  constexpr int kConnections = 16;
  const String uri = FreshPostgresDatabase();
  TKLPostgresPasswordDatabase setup;
  Prepare(setup, uri);
  std::mutex lock;
  std::set<std::int32_t> uids;
  std::vector<std::string> errors;
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([&, c] {
      TKLPostgresPasswordDatabase db;
      db.SetHashParameters(FastHashes());
      std::set<std::int32_t> mine;
      std::string error;
      try {
        db.Open(uri);
        error = RunClient(db, c, mine);
      } catch (const std::exception& e) {
        error = e.what();
      }
      const std::lock_guard<std::mutex> guard(lock);
      if (!error.empty()) errors.push_back(error);
      for (const std::int32_t uid : mine) {
        if (!uids.insert(uid).second) errors.push_back("UID " + std::to_string(uid) + " handed to two connections");
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& error : errors) ADD_FAILURE() << error;
  CheckOutcome(setup, kConnections);
}

// A write that runs out of room (here the file-size limit of a child process)
// fails clearly, and every change committed before it is still there.
TEST(SqlitePasswordDatabase, AFullDiskLosesNothingCommitted) {
  TempDir dir;
  const String uri = u"sqlite:" + dir.FileU("users.db");
  {
    TKLSqlitePasswordDatabase db;
    Prepare(db, uri);
  }
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipeEnds[0]);
    signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG
    const rlimit limit{256 * 1024, 256 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    TKLSqlitePasswordDatabase db;
    db.SetHashParameters(FastHashes());
    std::string report = "no error";
    int added = 0;
    try {
      db.Open(uri);
      for (; added < 100000; ++added) db.AddUser(u"user-" + IntToStr(added) + String(2000, u'x'), u"pw", false);
    } catch (const EKLPasswordDatabaseError& e) {
      report = e.what();
    } catch (const std::exception& e) {
      report = std::string("unexpected error: ") + e.what();
    }
    report = std::to_string(added) + "\n" + report;
    (void)!write(pipeEnds[1], report.data(), report.size());
    _exit(0);
  }
  close(pipeEnds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, static_cast<std::size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  const int added = std::stoi(report);
  const std::string error = report.substr(report.find('\n') + 1);
  ASSERT_GT(added, 0) << error;
  EXPECT_EQ(error.rfind(SDatabaseStatementFailed, 0), 0U) << error;

  TKLSqlitePasswordDatabase db;
  db.SetHashParameters(FastHashes());
  db.Open(uri);
  EXPECT_EQ(db.GetCount(), added + 1);
  EXPECT_EQ(db.GetUID(u"user-" + IntToStr(added - 1) + String(2000, u'x')), added + 1);
  EXPECT_TRUE(db.Verify(u"shared", u"right"));
  db.AddUser(u"later", u"pw", false); // room again: the file is whole
  db.Close();
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("users.db").c_str(), &raw), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(raw);
}

TEST(SqlitePasswordDatabase, NewFilesAreTheOwnersOnly) {
  TempDir dir;
  const mode_t old = umask(022);
  TKLSqlitePasswordDatabase db;
  db.SetHashParameters(FastHashes());
  db.CreateNew(u"sqlite:" + dir.FileU("users.db"));
  db.AddUser(u"u", u"pw", false);
  umask(old);
  for (const char* name : {"users.db", "users.db-wal", "users.db-shm"}) {
    struct stat info {};
    ASSERT_EQ(stat(dir.File(name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 0777, 0600U) << name;
  }
}

} // namespace
} // namespace kl::test
