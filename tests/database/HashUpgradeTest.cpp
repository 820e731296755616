// The stored forms of a password in both databases: old salted SHA-256
// records, their wrapping by UpgradeHashes, the rehash on a successful Verify,
// and the legacy mode.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "database/DatabaseTestSupport.h"
#include "database/KLDatabase.h"
#include "foundation/Exceptions.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Exposed;
using test::MessageOf;

struct TUser {
  String Name;
  String Password;
};

template <class DB>
class HashUpgradeTest : public ::testing::Test {
protected:
  std::unique_ptr<Exposed<DB>> Reopen() {
    auto db = std::make_unique<Exposed<DB>>();
    db->SetSaveOnDestroy(false);
    db->Open(File);
    return db;
  }

  // A saved database whose users are all in the old form, as files made
  // before Argon2id came hold them.
  std::unique_ptr<Exposed<DB>> OldDatabase(const std::vector<TUser>& Initial) {
    {
      Exposed<DB> db;
      db.SetSaveOnDestroy(false);
      db.SetWeakLegacyHashes(true);
      db.CreateNew(File);
      for (const TUser& user : Initial) db.AddUser(user.Name, user.Password, false);
      db.Save();
    }
    return Reopen();
  }

  TKLHashScheme SchemeOf(const Exposed<DB>& Db, std::int32_t Position) { return HashSchemeOf(Db.GetRecord(Position)); }

  test::TempDir Dir;
  const String File = Dir.FileU("users.db");
  const std::vector<TUser> Users = {{u"alice", u"secret"}, {u"bob", u""}, {u"carol", u"c\x00E4rol \xD83D\xDD11"}};
};

using DatabaseClasses = ::testing::Types<TKLTextPasswordDatabase, TKLBinaryPasswordDatabase>;
TYPED_TEST_SUITE(HashUpgradeTest, DatabaseClasses);

// An old record verifies as before; a success replaces it with Argon2id, which
// Save keeps, while a failure changes nothing.
TYPED_TEST(HashUpgradeTest, OldRecordsVerifyAndTurnIntoArgon2idOnSuccess) {
  auto db = this->OldDatabase(this->Users);
  const TKLDatabaseRecord before = db->GetRecord(0);
  EXPECT_FALSE(db->Verify(u"alice", u"Secret"));
  EXPECT_EQ(db->GetFailureCount(u"alice"), 1) << "a failure is counted, the hash left alone";
  EXPECT_EQ(db->GetRecord(0).Hash, before.Hash);

  EXPECT_TRUE(db->Verify(u"alice", u"secret"));
  EXPECT_TRUE(db->GetModified());
  EXPECT_EQ(this->SchemeOf(*db, 0), hsArgon2id);
  EXPECT_EQ(db->GetRecord(0).Salt, u"");
  EXPECT_EQ(this->SchemeOf(*db, 1), hsSHA256);
  db->Save();
  EXPECT_FALSE(db->GetModified());

  auto reopened = this->Reopen();
  EXPECT_EQ(this->SchemeOf(*reopened, 0), hsArgon2id);
  EXPECT_TRUE(reopened->Verify(u"alice", u"secret"));
  EXPECT_FALSE(reopened->GetModified()) << "a current hash is not rehashed";
  EXPECT_FALSE(reopened->Verify(u"alice", u"Secret"));
  EXPECT_EQ(reopened->GetRecord(0).Hash, db->GetRecord(0).Hash);

  // The save on destruction writes a rehashed record as well.
  reopened->SetSaveOnDestroy(true);
  EXPECT_TRUE(reopened->Verify(u"bob", u""));
  reopened.reset();
  EXPECT_EQ(this->SchemeOf(*this->Reopen(), 1), hsArgon2id);
}

// After the upgrade no record holds a fast hash; each verifies its own
// password only, and turns into plain Argon2id on its first success.
TYPED_TEST(HashUpgradeTest, UpgradeWrapsEveryOldRecord) {
  auto db = this->OldDatabase(this->Users);
  db->AddUser(u"dave", u"new", false);
  std::vector<String> oldHashes;
  for (std::int32_t i = 0; i < 3; ++i) oldHashes.push_back(db->GetRecord(i).Hash);
  const String daveHash = db->GetRecord(3).Hash;
  db->Save();

  std::vector<std::pair<std::int32_t, std::int32_t>> progress;
  EXPECT_EQ(db->UpgradeHashes([&](std::int32_t Done, std::int32_t Total) { progress.emplace_back(Done, Total); }), 3);
  const std::vector<std::pair<std::int32_t, std::int32_t>> expected{{1, 3}, {2, 3}, {3, 3}};
  EXPECT_EQ(progress, expected) << "one report for each old record, the new one not counted";
  EXPECT_TRUE(db->GetModified());
  EXPECT_EQ(db->GetRecord(3).Hash, daveHash);
  db->Save();
  const std::string file = test::ReadFileBytes(test::Narrow(this->File));
  for (const String& hash : oldHashes) EXPECT_EQ(file.find(test::Narrow(hash)), std::string::npos);

  auto reopened = this->Reopen();
  progress.clear();
  EXPECT_EQ(reopened->UpgradeHashes([&](std::int32_t Done, std::int32_t Total) { progress.emplace_back(Done, Total); }),
            0);
  EXPECT_TRUE(progress.empty());
  for (std::int32_t i = 0; i < 3; ++i) {
    const TKLDatabaseRecord record = reopened->GetRecord(i);
    EXPECT_EQ(HashSchemeOf(record), hsWrappedSHA256);
    EXPECT_EQ(record.Salt.size(), 32u) << "the old salt stays for Verify";
    EXPECT_EQ(record.Hash.substr(0, 37), u"$kl-sha256-argon2id$v=19$m=8,t=1,p=1$");
  }
  for (std::int32_t i = 0; i < 3; ++i) {
    const TUser& user = this->Users[i];
    EXPECT_FALSE(reopened->Verify(user.Name, user.Password + u"x"));
    EXPECT_EQ(this->SchemeOf(*reopened, i), hsWrappedSHA256);
    EXPECT_TRUE(reopened->Verify(user.Name, user.Password));
    EXPECT_EQ(this->SchemeOf(*reopened, i), hsArgon2id);
    EXPECT_TRUE(reopened->Verify(user.Name, user.Password));
    EXPECT_FALSE(reopened->Verify(user.Name, user.Password + u"x"));
  }
}

TYPED_TEST(HashUpgradeTest, HashesBelowTheCurrentCostAreRehashedOnSuccess) {
  const auto held = this->OldDatabase({});
  auto& db = *held;
  db.AddUser(u"u", u"pw", false);
  TKLPasswordHashParameters stronger = test::FastHashes();
  stronger.MemoryKiB = 16;
  db.SetHashParameters(stronger);
  const String weak = db.GetRecord(0).Hash;
  EXPECT_FALSE(db.Verify(u"u", u"PW"));
  EXPECT_EQ(db.GetRecord(0).Hash, weak);
  EXPECT_TRUE(db.Verify(u"u", u"pw"));
  EXPECT_EQ(DescribePasswordHash(db.GetRecord(0).Hash).MemoryKiB, 16u);
}

// Legacy mode writes the old form and leaves old records alone, but never
// turns a stronger record back into a weak one.
TYPED_TEST(HashUpgradeTest, LegacyModeKeepsTheOldForm) {
  const auto held = this->OldDatabase(this->Users);
  auto& db = *held;
  db.AddUser(u"dave", u"new", false);
  db.SetWeakLegacyHashes(true);
  db.Save();
  EXPECT_TRUE(db.Verify(u"alice", u"secret"));
  EXPECT_TRUE(db.Verify(u"dave", u"new"));
  EXPECT_FALSE(db.GetModified());
  EXPECT_EQ(this->SchemeOf(db, 0), hsSHA256);
  EXPECT_EQ(this->SchemeOf(db, 3), hsArgon2id);
  db.AddUser(u"dave", u"newer", true);
  EXPECT_EQ(this->SchemeOf(db, 3), hsSHA256);
  EXPECT_TRUE(db.Verify(u"dave", u"newer"));
}

// Two texts must never share a hash: a lone surrogate would hash as U+FFFD.
TYPED_TEST(HashUpgradeTest, UnpairedSurrogatesAreRefusedWithNothingChanged) {
  for (const bool legacy : {false, true}) {
    auto db = this->OldDatabase({{u"alice", u"a\xFFFD"}});
    db->SetWeakLegacyHashes(legacy);
    EXPECT_THROW(db->AddUser(u"bob", u"b\xDC00", false), EConvertError);
    EXPECT_THROW(db->AddUser(u"alice", u"\xD800", true), EConvertError);
    EXPECT_FALSE(db->GetModified());
    EXPECT_EQ(db->GetCount(), 1);
    EXPECT_EQ(db->AddUser(u"bob", u"b", false), 2);
    // The old record accepts the replaced text as it always did, but cannot be rehashed from it.
    EXPECT_TRUE(db->Verify(u"alice", u"a\xD800"));
    EXPECT_EQ(this->SchemeOf(*db, 0), hsSHA256);
  }
}

// A damaged or hostile hash string is refused without a long computation, and
// a damaged old record stops the upgrade before any record changes.
TYPED_TEST(HashUpgradeTest, DamagedAndCostlyRecordsAreRefused) {
  auto db = this->OldDatabase(this->Users);
  const TKLDatabaseRecord old = db->GetRecord(1);
  const String tail = u"$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  struct Case {
    String Salt, Hash;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {u"", u"$argon2id$v=19$m=8,t=1,p=1$bad", SDatabaseCorrupted},
      {u"", u"$argon2id$v=19$m=4294967295,t=1,p=1" + tail, SPasswordHashTooCostly},
      {u"", u"$kl-sha256-argon2id$v=19$m=8,t=1,p=1" + tail, SDatabaseCorrupted},
      {old.Salt, u"$kl-sha256-argon2id$v=19$m=4294967295,t=1,p=1" + tail, SPasswordHashTooCostly},
      {old.Salt, u"$argon2i$v=19$m=8,t=1,p=1" + tail, SDatabaseCorrupted},
      {old.Salt, old.Hash.substr(2), SDatabaseCorrupted},
      // Text that is not hex, in either field of either hex-bearing form.
      {u"zz" + old.Salt.substr(2), old.Hash, SDatabaseCorrupted},
      {old.Salt, u"G" + old.Hash.substr(1), SDatabaseCorrupted},
      {u"not hex!", u"$kl-sha256-argon2id$v=19$m=8,t=1,p=1" + tail, SDatabaseCorrupted},
      {old.Salt, u"argon2id$v=19$m=8,t=1,p=1" + tail, SDatabaseCorrupted},
      // A tag whose unused low bits are set: libsodium cannot decode it.
      {u"", u"$argon2id$v=19$m=8,t=1,p=1$c3Nzc3Nzc3M$Zsab9RJsC+57fxq7h2eFwR", SDatabaseCorrupted},
  };
  for (const Case& c : cases) {
    db->ReplaceHash(0, c.Salt, c.Hash);
    EXPECT_EQ(MessageOf([&] { db->Verify(u"alice", u"secret"); }), c.Message) << test::Narrow(c.Hash);
    if (HashSchemeOf(TKLDatabaseRecord{0, u"alice", c.Salt, c.Hash, 0}) == hsSHA256) {
      EXPECT_EQ(MessageOf([&] { db->UpgradeHashes(); }), SDatabaseCorrupted) << test::Narrow(c.Hash);
    }
  }
  EXPECT_EQ(this->SchemeOf(*db, 1), hsSHA256);
  EXPECT_EQ(db->GetRecord(1).Hash, old.Hash);
}

} // namespace
} // namespace kl
