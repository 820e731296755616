// User databases at 1,000, 10,000 and 100,000 users: Open, Verify (the right
// and a wrong password), AddUser of new users, DeleteUser, Save. Verify and
// AddUser should not grow with the number of users; nor, at 10,000 and
// 100,000 users, should deleting one user.
//
// Each database is built once per size and saved to a temporary folder; the
// timed operations work on an opened copy of it. The databases keep the old
// salted SHA-256 form (legacy mode), so that the figures show the work around
// the hash (look-ups, records, files) with the cheapest hash inside; the cost
// of each hash form is in PasswordHashBench.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "database/KLDatabase.h"
#include "foundation/Convert.h"
#include "foundation/KLGeneral.h"

namespace {

using kl::String;

const String StoragePassword = u"storage password";

String UserName(std::int64_t I) { return u"user" + kl::IntToStr(I); }
String UserPassword(std::int64_t I) { return u"password-" + kl::IntToStr(I); }

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() / ("kl-database-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] { std::filesystem::remove_all(Folder()); });
    return path;
  }();
  return folder;
}

template <class DB>
std::unique_ptr<DB> MakeDatabase() {
  auto db = std::make_unique<DB>();
  db->SetSaveOnDestroy(false);
  db->SetWeakLegacyHashes(true);
  if constexpr (std::is_same_v<DB, kl::TKLBinaryPasswordDatabase>) db->SetPassword(StoragePassword);
  return db;
}

// The file of a database of Users users, made on first use.
template <class DB>
String DatabaseFile(std::int64_t Users) {
  static std::map<std::int64_t, String> files;
  auto found = files.find(Users);
  if (found != files.end()) return found->second;
  const char* kind = std::is_same_v<DB, kl::TKLBinaryPasswordDatabase> ? "binary" : "text";
  const String file = kl::UTF8ToStr((Folder() / (std::string(kind) + "-" + std::to_string(Users))).string());
  auto db = MakeDatabase<DB>();
  db->CreateNew(file);
  for (std::int64_t i = 0; i < Users; ++i) db->AddUser(UserName(i), UserPassword(i), false);
  db->Save();
  files.emplace(Users, file);
  return file;
}

template <class DB>
std::unique_ptr<DB> OpenDatabase(std::int64_t Users) {
  auto db = MakeDatabase<DB>();
  db->Open(DatabaseFile<DB>(Users));
  return db;
}

template <class DB>
void BM_Open(benchmark::State& State) {
  const String file = DatabaseFile<DB>(State.range(0));
  for (auto _ : State) {
    auto db = MakeDatabase<DB>();
    db->Open(file);
    benchmark::DoNotOptimize(db->GetCount());
  }
}

// Open followed by the first look-up, which builds the name index.
template <class DB>
void BM_OpenThenVerify(benchmark::State& State) {
  const String file = DatabaseFile<DB>(State.range(0));
  for (auto _ : State) {
    auto db = MakeDatabase<DB>();
    db->Open(file);
    benchmark::DoNotOptimize(db->Verify(UserName(0), UserPassword(0)));
  }
}

template <class DB>
void VerifyLoop(benchmark::State& State, bool RightPassword) {
  const std::int64_t users = State.range(0);
  auto db = OpenDatabase<DB>(users);
  db->Verify(UserName(0), u"");
  // Names and passwords made up front, so that only Verify is timed.
  constexpr std::int64_t sample = 1024;
  std::vector<String> names, passwords;
  for (std::int64_t i = 0; i < sample; ++i) {
    const std::int64_t user = (i * 7919) % users;
    names.push_back(UserName(user));
    passwords.push_back(RightPassword ? UserPassword(user) : u"wrong");
  }
  std::int64_t i = 0;
  for (auto _ : State) {
    const bool ok = db->Verify(names[i], passwords[i]);
    if (ok != RightPassword) State.SkipWithError("unexpected Verify result");
    i = (i + 1) % sample;
  }
}

template <class DB>
void BM_VerifyHit(benchmark::State& State) {
  VerifyLoop<DB>(State, true);
}
template <class DB>
void BM_VerifyMiss(benchmark::State& State) {
  VerifyLoop<DB>(State, false);
}

// New users added to a database of the given size (it grows by the iterations).
template <class DB>
void BM_AddUser(benchmark::State& State) {
  auto db = OpenDatabase<DB>(State.range(0));
  db->Exists(u"");
  std::int64_t next = State.range(0);
  for (auto _ : State) benchmark::DoNotOptimize(db->AddUser(UserName(next++), u"pw", false));
}

// One user deleted and added back, with the look-ups in use: any work the
// deletion leaves to the next look-up is part of the figure.
template <class DB>
void BM_DeleteUser(benchmark::State& State) {
  const std::int64_t users = State.range(0);
  auto db = OpenDatabase<DB>(users);
  if (!db->Exists(UserName(0))) State.SkipWithError("the database lacks its first user");
  std::int64_t i = 0;
  for (auto _ : State) {
    const String name = UserName(i);
    db->DeleteUser(name);
    db->AddUser(name, u"pw", false);
    i = (i + 1) % users;
  }
}

// A batch of users deleted by name, spread over the database, timed; they are
// added back while the clock is paused, so the database keeps its size and the
// gaps the deletions leave pile up until they are closed, as they would in
// use. The figure is the time of one deletion.
template <class DB>
void BM_DeleteOneUser(benchmark::State& State) {
  constexpr std::int64_t batch = 100;
  const std::int64_t users = State.range(0);
  auto db = OpenDatabase<DB>(users);
  if (!db->Exists(UserName(0))) State.SkipWithError("the database lacks its first user");
  std::int64_t next = 0;
  std::vector<String> names(batch);
  for (auto _ : State) {
    State.PauseTiming();
    for (std::int64_t j = 0; j < batch; ++j) names[j] = UserName((next + j * 7919) % users);
    State.ResumeTiming();
    for (const String& name : names) benchmark::DoNotOptimize(db->DeleteUser(name));
    State.PauseTiming();
    for (const String& name : names) db->AddUser(name, u"pw", false);
    next = (next + 1) % users;
    State.ResumeTiming();
  }
  State.counters["per deletion"] =
      benchmark::Counter(batch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <class DB>
void BM_Save(benchmark::State& State) {
  auto db = OpenDatabase<DB>(State.range(0));
  for (auto _ : State) db->Save();
}

using Text = kl::TKLTextPasswordDatabase;
using Binary = kl::TKLBinaryPasswordDatabase;

#define KL_DATABASE_BENCH(Name)                                                                                    \
  BENCHMARK_TEMPLATE(Name, Text)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->MinTime(0.2); \
  BENCHMARK_TEMPLATE(Name, Binary)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->MinTime(0.2)

KL_DATABASE_BENCH(BM_Open);
KL_DATABASE_BENCH(BM_OpenThenVerify);
KL_DATABASE_BENCH(BM_VerifyHit);
KL_DATABASE_BENCH(BM_VerifyMiss);
KL_DATABASE_BENCH(BM_AddUser);
KL_DATABASE_BENCH(BM_DeleteUser);
KL_DATABASE_BENCH(BM_Save);
BENCHMARK_TEMPLATE(BM_DeleteOneUser, Text)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->MinTime(0.2);
BENCHMARK_TEMPLATE(BM_DeleteOneUser, Binary)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->MinTime(0.2);

} // namespace

BENCHMARK_MAIN();
