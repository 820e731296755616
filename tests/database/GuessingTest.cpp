#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/Argon2id.h"
#include "crypto/KLHashGate.h"
#include "database/KLPepper.h"
#include "database/SqlTestSupport.h"
#include "foundation/Convert.h"

// What a guesser learns and how many guesses it gets: work is counted through
// the library's Argon2id observer (every computation and its cost), never timed.
namespace kl::test {
namespace {

struct TWork {
  std::uint32_t Passes;
  std::uint64_t MemoryKiB;
};

std::mutex GWorkMutex;
std::vector<TWork> GWork;

void Observe(std::uint32_t Passes, std::uint64_t MemoryKiB) noexcept {
  const std::lock_guard<std::mutex> lock(GWorkMutex);
  GWork.push_back({Passes, MemoryKiB});
}

// Records every Argon2id computation of the process while it lives.
class TWorkLog {
public:
  TWorkLog() {
    Take();
    detail::SetArgon2idObserver(&Observe);
  }
  ~TWorkLog() { detail::SetArgon2idObserver(nullptr); }
  TWorkLog(const TWorkLog&) = delete;
  TWorkLog& operator=(const TWorkLog&) = delete;
  std::vector<TWork> Take() {
    const std::lock_guard<std::mutex> lock(GWorkMutex);
    std::vector<TWork> work = std::move(GWork);
    GWork.clear();
    return work;
  }
};

struct TSqlPlace {
  const char* Name;
  std::function<String(const TempDir&)> Place;
  std::function<std::unique_ptr<TKLPasswordDatabase>()> Make;
  // A statement run behind the library's back.
  std::function<void(const String& URI, const std::string& Sql)> Admin;
};

void SqliteAdmin(const String& URI, const std::string& Sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Narrow(URI.substr(7)).c_str(), &db), SQLITE_OK);
  const int rc = sqlite3_exec(db, Sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << Sql;
}

void PrintTo(const TSqlPlace& Kind, std::ostream* Out) { *Out << Kind.Name; }

template <class DB>
std::unique_ptr<TKLPasswordDatabase> Fast() {
  auto db = std::make_unique<DB>();
  db->SetHashParameters(FastHashes());
  return db;
}

const TSqlPlace kSqlPlaces[] = {
    {"Sqlite", [](const TempDir& Dir) { return u"sqlite:" + Dir.FileU("users.db"); }, Fast<TKLSqlitePasswordDatabase>,
     SqliteAdmin},
    {"Postgres", [](const TempDir&) { return FreshPostgresDatabase(); }, Fast<TKLPostgresPasswordDatabase>,
     [](const String& URI, const std::string& Sql) { PostgresAdmin(URI, Sql); }},
};

class SqlGuessing : public ::testing::TestWithParam<TSqlPlace> {
protected:
  void SetUp() override {
    if (std::string(GetParam().Name) == "Postgres") KL_REQUIRE_POSTGRES();
    FURI = GetParam().Place(FDir);
    auto db = GetParam().Make();
    db->CreateNew(FURI);
    db->SetMaxFailures(kLimit);
    db->AddUser(u"victim", u"right", false);
  }
  std::unique_ptr<TKLPasswordDatabase> Opened() {
    auto db = GetParam().Make();
    db->Open(FURI);
    return db;
  }

  static constexpr std::int32_t kLimit = 3;
  TempDir FDir;
  String FURI;
};

// 32 connections guess at once: the limit is checked and the attempt counted
// in one step, so exactly the limit's worth of hashes is computed, those
// guesses are answered wrong, and every other one is refused as locked. The
// hash gate is held shut until every guess is either waiting at it or
// answered, so that all of them are in flight together however the threads
// are scheduled: counted after the hash, every one would be checked.
TEST_P(SqlGuessing, ParallelGuessesCheckAtMostTheLimit) {
  constexpr int kGuesses = 32;
  std::vector<std::unique_ptr<TKLPasswordDatabase>> clients;
  for (int i = 0; i < kGuesses; ++i) clients.push_back(Opened());
  const std::uint32_t concurrency = GetHashConcurrency();
  const std::chrono::milliseconds timeout = GetHashWaitTimeout();
  SetHashConcurrency(1);
  SetHashWaitTimeout(std::chrono::minutes{10});
  auto shut = std::make_unique<TKLHashSlot>();
  std::latch start(kGuesses);
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::atomic<int> locked{0};
  std::mutex otherMutex;
  std::vector<std::string> other;
  TWorkLog work;
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&, db = client.get()] {
      start.arrive_and_wait();
      try {
        if (db->Verify(u"victim", u"guess")) throw std::runtime_error("a wrong guess verified");
        ++wrong;
      } catch (const EKLAccountLockedError&) {
        ++locked;
      } catch (const std::exception& e) {
        const std::lock_guard<std::mutex> lock(otherMutex);
        other.emplace_back(e.what());
      }
      ++answered;
    });
  }
  while (GetHashGateStatistics().Waiting + static_cast<std::uint32_t>(answered.load()) < kGuesses) {
    std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
  shut.reset();
  for (std::thread& thread : threads) thread.join();
  SetHashConcurrency(concurrency);
  SetHashWaitTimeout(timeout);
  for (const std::string& message : other) ADD_FAILURE() << message;
  EXPECT_EQ(work.Take().size(), static_cast<std::size_t>(kLimit));
  EXPECT_EQ(wrong.load(), kLimit);
  EXPECT_EQ(locked.load(), kGuesses - kLimit);
  auto check = Opened();
  EXPECT_EQ(check->GetFailureCount(u"victim"), kLimit);
  EXPECT_THROW(check->Verify(u"victim", u"right"), EKLAccountLockedError);
  EXPECT_TRUE(work.Take().empty());
}

// No hashing slot in time is the library's own error for the caller, and
// the attempt counted before the hash is given back.
TEST_P(SqlGuessing, BusyHashGateGivesTheAttemptBack) {
  auto db = Opened();
  EXPECT_FALSE(db->Verify(u"victim", u"guess"));
  const std::uint32_t concurrency = GetHashConcurrency();
  const std::chrono::milliseconds timeout = GetHashWaitTimeout();
  SetHashConcurrency(1);
  SetHashWaitTimeout(std::chrono::milliseconds{0});
  std::string message;
  {
    const TKLHashSlot held;
    try {
      db->Verify(u"victim", u"right");
    } catch (const EKLHashBusyError& e) {
      message = e.GetMessage();
    }
  }
  SetHashConcurrency(concurrency);
  SetHashWaitTimeout(timeout);
  EXPECT_EQ(message, SHashBusy);
  EXPECT_EQ(Opened()->GetFailureCount(u"victim"), 1);
  EXPECT_TRUE(db->Verify(u"victim", u"right"));
  EXPECT_EQ(Opened()->GetFailureCount(u"victim"), 0);
}

// A database made before check values were stored gets one on the first
// success under the key; from then on other bytes under that identifier are
// a configuration error that counts nothing.
TEST_P(SqlGuessing, KeyCheckOfAnOlderDatabaseIsRecordedOnFirstSuccess) {
  const auto right = TKLPepper::FromText(u"k1 000102030405060708090a0b0c0d0e0f");
  const auto wrongBytes = TKLPepper::FromText(u"k1 ffeeddccbbaa99887766554433221100");
  auto db = Opened();
  db->SetPepper(right);
  db->AddUser(u"carol", u"pw", false);
  db.reset();
  GetParam().Admin(FURI, "DELETE FROM klp_key_checks"); // as an older version left it
  auto older = Opened();
  older->SetPepper(wrongBytes);
  EXPECT_FALSE(older->Verify(u"carol", u"pw")); // nothing to tell it by yet
  older->Unlock(u"carol");
  older->SetPepper(right);
  EXPECT_TRUE(older->Verify(u"carol", u"pw"));
  older->SetPepper(wrongBytes);
  EXPECT_THROW(older->Verify(u"carol", u"pw"), EKLPepperMismatchError);
  EXPECT_EQ(older->GetFailureCount(u"carol"), 0);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, SqlGuessing, ::testing::ValuesIn(kSqlPlaces),
                         [](const ::testing::TestParamInfo<TSqlPlace>& Info) { return Info.param.Name; });

// The file databases count the attempt before its hash too: while the hash is
// computed, the count already holds it, so nothing a caller does meanwhile
// (another check, a save) sees a free attempt.
const TKLPasswordDatabase* GCounted = nullptr;
std::int32_t GCountDuringHash = -1;

void SeeCount(std::uint32_t, std::uint64_t) noexcept { GCountDuringHash = GCounted->GetFailureCount(u"u"); }

TEST(FileGuessing, TheAttemptIsCountedBeforeItsHash) {
  TempDir dir;
  TKLTextPasswordDatabase text;
  TKLBinaryPasswordDatabase encrypted;
  text.SetSaveOnDestroy(false);
  encrypted.SetSaveOnDestroy(false);
  for (TKLPasswordDatabase* db :
       {static_cast<TKLPasswordDatabase*>(&text), static_cast<TKLPasswordDatabase*>(&encrypted)}) {
    db->SetHashParameters(FastHashes());
    db->CreateNew(dir.FileU(db == &text ? "users.txt" : "users.klu"));
    db->SetMaxFailures(1);
    db->AddUser(u"u", u"pw", false);
    GCounted = db;
    GCountDuringHash = -1;
    detail::SetArgon2idObserver(&SeeCount);
    const bool verified = db->Verify(u"u", u"x");
    detail::SetArgon2idObserver(nullptr);
    EXPECT_FALSE(verified);
    EXPECT_EQ(GCountDuringHash, 1);
    EXPECT_THROW(db->Verify(u"u", u"pw"), EKLAccountLockedError);
  }
}

// Every answer costs at least one Argon2id computation at the current cost,
// whatever the record holds, so that its time does not tell a known name
// from an unknown one.
TEST(VerificationCost, EveryAnswerCostsAtLeastTheCurrentCost) {
  TempDir dir;
  TKLTextPasswordDatabase db;
  db.SetSaveOnDestroy(false);
  db.SetHashParameters(FastHashes());
  db.CreateNew(dir.FileU("users.txt"));
  db.SetWeakLegacyHashes(true);
  db.AddUser(u"wrapped", u"pw", false);
  db.SetWeakLegacyHashes(false);
  ASSERT_EQ(db.UpgradeHashes(), 1);
  db.SetWeakLegacyHashes(true);
  db.AddUser(u"old", u"pw", false);
  db.SetWeakLegacyHashes(false);
  db.AddUser(u"cheap", u"pw", false);
  db.SetPepper(TKLPepper::FromText(u"k1 000102030405060708090a0b0c0d0e0f"));
  db.AddUser(u"keyed", u"pw", false);
  TKLPasswordHashParameters current = FastHashes();
  current.MemoryKiB = 16;
  db.SetHashParameters(current);
  db.AddUser(u"fewer passes", u"pw", false);
  current.Passes = 2;
  db.SetHashParameters(current);
  db.AddUser(u"current", u"pw", false);

  const struct {
    const char* Name;
    const char16_t* User;
    const char16_t* Password;
  } cases[] = {
      {"unknown name", u"nobody", u"pw"},
      {"old SHA-256, wrong", u"old", u"x"},
      {"old SHA-256, right", u"old", u"pw"},
      {"wrapped, wrong", u"wrapped", u"x"},
      {"cheaper Argon2id, wrong", u"cheap", u"x"},
      {"cheaper keyed, wrong", u"keyed", u"x"},
      {"fewer passes, wrong", u"fewer passes", u"x"},
      {"current, wrong", u"current", u"x"},
  };
  TWorkLog work;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    try {
      db.Verify(c.User, c.Password);
    } catch (const EKLPasswordDatabaseError& e) {
      EXPECT_EQ(e.GetMessage(), SUserDoesNotExist);
    }
    bool atCost = false;
    for (const TWork& w : work.Take())
      atCost = atCost || (w.Passes >= current.Passes && w.MemoryKiB >= current.MemoryKiB);
    EXPECT_TRUE(atCost);
  }
}

} // namespace
} // namespace kl::test
