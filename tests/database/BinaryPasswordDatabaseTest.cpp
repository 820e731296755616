#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "database/DatabaseTestSupport.h"
#include "database/KLDatabase.h"
#include "foundation/Convert.h"
#include "foundation/Exceptions.h"
#include "storage/KLStorage.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::MessageOf;
using ExposedBinary = test::Exposed<TKLBinaryPasswordDatabase>;

constexpr const char* Corrupted = "Database is corrupted";

// Counts the bytes drawn through it.
class CountingGenerator : public TKLBaseRandomGenerator {
public:
  void Generate(void* P, std::int32_t Size) override {
    auto* bytes = static_cast<std::uint8_t*>(P);
    for (std::int32_t i = 0; i < Size; ++i) bytes[i] = static_cast<std::uint8_t>(Drawn++ * 31 + 7);
  }
  std::int64_t Drawn = 0;
};

std::vector<String> AllKeys(const TKLStorage& Storage) {
  std::vector<String> keys;
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) keys.push_back(Storage.GetValue(i)->GetKey());
  return keys;
}

using test::kFastKdf;

class BinaryPasswordDatabaseTest : public ::testing::Test {
protected:
  // Saves a hand-made storage to File and opens it in a new database.
  std::unique_ptr<ExposedBinary> OpenStorage(const std::function<void(TKLStorage&)>& Fill) {
    TKLStorage storage;
    storage.SetKdfParameters(kFastKdf);
    Fill(storage);
    storage.SaveToFile(File, u"pw");
    auto db = std::make_unique<ExposedBinary>();
    db->SetKdfParameters(kFastKdf);
    db->SetSaveOnDestroy(false);
    db->SetPassword(u"pw");
    db->Open(File);
    return db;
  }

  test::TempDir Dir;
  const String File = Dir.FileU("users.kls");
};

TEST_F(BinaryPasswordDatabaseTest, SavedStorageHoldsIndexAndThreeValuesPerUser) {
  {
    TKLBinaryPasswordDatabase db;
    db.SetKdfParameters(kFastKdf);
    db.SetHashParameters(test::FastHashes());
    db.SetPassword(u"storage password");
    db.CreateNew(File);
    EXPECT_EQ(db.AddUser(u"alice", u"user password", false), 1);
    EXPECT_EQ(db.AddUser(u"bob", u"", false), 2);
    db.Save();
  }
  const std::string bytes = test::ReadFileBytes(test::Narrow(File));
  for (const char* plain : {"alice", "user password", "storage password", "users/"}) {
    EXPECT_EQ(bytes.find(plain), std::string::npos) << plain;
  }
  TKLStorage storage;
  storage.SetKdfParameters(kFastKdf);
  storage.LoadFromFile(File, u"storage password");
  const std::vector<String> expected = {u"users/1/name", u"users/1/salt", u"users/1/pwd", u"users/2/name",
                                        u"users/2/salt", u"users/2/pwd",  u"index"};
  EXPECT_EQ(AllKeys(storage), expected);
  std::int32_t index = 0;
  EXPECT_TRUE(storage.GetInt(u"index", index, 0));
  EXPECT_EQ(index, 2);
  String value;
  EXPECT_TRUE(storage.GetString(u"users/2/name", value, u""));
  EXPECT_EQ(value, u"bob");
  // New passwords: salt empty, the Argon2id string in pwd.
  EXPECT_TRUE(storage.GetString(u"users/1/salt", value, u"x"));
  EXPECT_EQ(value, u"");
  EXPECT_TRUE(storage.GetString(u"users/1/pwd", value, u""));
  EXPECT_EQ(value.substr(0, 27), u"$argon2id$v=19$m=8,t=1,p=1$");
}

TEST_F(BinaryPasswordDatabaseTest, OpenRejectsStoragesThatHoldNoDatabase) {
  struct Case {
    const char* Name;
    std::function<void(TKLStorage&)> Fill;
  };
  const std::vector<Case> cases = {
      {"no value", [](TKLStorage&) {}},
      {"no index", [](TKLStorage& s) { s.PutString(u"users/1/name", u"a", false); }},
      {"index of another type", [](TKLStorage& s) { s.PutString(u"index", u"1", false); }},
  };
  for (const Case& c : cases) {
    TKLStorage storage;
    storage.SetKdfParameters(kFastKdf);
    c.Fill(storage);
    storage.SaveToFile(File, u"");
    TKLBinaryPasswordDatabase db;
    db.SetKdfParameters(kFastKdf);
    EXPECT_EQ(MessageOf([&] { db.Open(File); }), Corrupted) << c.Name;
    EXPECT_FALSE(db.GetOpened()) << c.Name;
  }
}

TEST_F(BinaryPasswordDatabaseTest, FailedOpenLeavesTheDatabaseAsItWas) {
  const String other = Dir.FileU("other.kls");
  {
    TKLBinaryPasswordDatabase db;
    db.SetKdfParameters(kFastKdf);
    db.SetPassword(u"other");
    db.CreateNew(other);
    db.AddUser(u"x", u"x", false);
  }
  {
    TKLBinaryPasswordDatabase db;
    db.SetKdfParameters(kFastKdf);
    db.SetPassword(u"pw");
    db.CreateNew(File);
    db.AddUser(u"alice", u"a", false);
  }
  test::WriteFileBytes(Dir.File("junk.kls"), "not a storage");
  const std::string otherBefore = test::ReadFileBytes(test::Narrow(other));

  auto db = std::make_unique<TKLBinaryPasswordDatabase>();
  db->SetKdfParameters(kFastKdf);
  db->SetPassword(u"pw");
  EXPECT_EQ(MessageOf([&] { db->Open(other); }), "Wrong password");
  EXPECT_FALSE(db->GetOpened());
  db->Open(File);
  db->AddUser(u"bob", u"b", false);
  for (const String& bad : {other, Dir.FileU("junk.kls"), Dir.FileU("missing.kls")}) {
    EXPECT_THROW(db->Open(bad), Exception) << test::Narrow(bad);
    EXPECT_EQ(db->GetURI(), File);
    EXPECT_EQ(db->GetCount(), 2);
    EXPECT_TRUE(db->Verify(u"bob", u"b"));
  }
  EXPECT_EQ(db->AddUser(u"carol", u"c", false), 3);
  db.reset();
  EXPECT_EQ(test::ReadFileBytes(test::Narrow(other)), otherBefore);
  TKLBinaryPasswordDatabase reopened;
  reopened.SetSaveOnDestroy(false);
  reopened.SetPassword(u"pw");
  reopened.Open(File);
  EXPECT_EQ(reopened.GetCount(), 3);
  EXPECT_TRUE(reopened.Verify(u"carol", u"c"));
}

TEST_F(BinaryPasswordDatabaseTest, DeleteUserRemovesExactlyThatUsersKeys) {
  ExposedBinary db;
  db.SetSaveOnDestroy(false);
  db.CreateNew(File);
  for (int i = 1; i <= 10; ++i) db.AddUser(u"u" + IntToStr(i), u"pw", false);
  EXPECT_TRUE(db.DeleteUser(1));
  EXPECT_FALSE(db.DeleteUser(1));
  EXPECT_FALSE(db.DeleteUser(11));
  EXPECT_EQ(db.GetCount(), 9);
  EXPECT_EQ(db.GetRecord(0).UID, 2);
  EXPECT_EQ(db.GetUID(u"u10"), 10);
  EXPECT_TRUE(db.Verify(u"u10", u"pw"));
  EXPECT_EQ(db.GetUID(u"u1"), -1);
}

TEST_F(BinaryPasswordDatabaseTest, DamagedUserKeysAreReportedWhenReached) {
  ExposedBinary scratch;
  String salt, hash;
  scratch.TransformPassword(u"pw", salt, hash);
  const auto putUser = [&](TKLStorage& s, const String& key, const String& name) {
    s.PutString(key + u"/name", name, false);
    s.PutString(key + u"/salt", salt, false);
    s.PutString(key + u"/pwd", hash, false);
  };
  struct Case {
    const char* Name;
    std::function<void(TKLStorage&)> Damage;
    std::string Expected;
  };
  const std::vector<Case> cases = {
      {"value directly at the user key", [](TKLStorage& s) { s.PutString(u"users/7", u"x", false); }, Corrupted},
      {"missing hash",
       [](TKLStorage& s) {
         s.PutString(u"users/7/name", u"x", false);
         s.PutString(u"users/7/salt", u"00", false);
       },
       Corrupted},
      {"salt of another type",
       [&](TKLStorage& s) {
         s.PutString(u"users/7/name", u"x", false);
         s.PutInt(u"users/7/salt", 1, false);
         s.PutString(u"users/7/pwd", hash, false);
       },
       Corrupted},
      {"key that is not a number", [&](TKLStorage& s) { putUser(s, u"users/seven", u"x"); },
       "'seven' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    auto db = OpenStorage([&](TKLStorage& s) {
      s.PutInt(u"index", 9, false);
      putUser(s, u"users/1", u"alice");
      c.Damage(s);
      putUser(s, u"users/8", u"carol");
    });
    EXPECT_EQ(db->GetCount(), 3) << c.Name;
    EXPECT_TRUE(db->Verify(u"alice", u"pw")) << c.Name;
    EXPECT_EQ(MessageOf([&] { db->GetRecord(1); }), c.Expected) << c.Name;
    EXPECT_EQ(MessageOf([&] { db->Verify(u"carol", u"pw"); }), c.Expected) << c.Name;
    EXPECT_EQ(MessageOf([&] { db->GetUsername(8); }), c.Expected) << c.Name;
    EXPECT_EQ(MessageOf([&] { db->AddUser(u"dave", u"pw", false); }), c.Expected) << c.Name;
    EXPECT_EQ(db->GetRecord(2).Username, u"carol") << c.Name;
  }
}

// Keys the database itself never writes: look-ups must still answer as a walk
// over the storage's listing does after the database adds or changes users.
TEST_F(BinaryPasswordDatabaseTest, LookupsFollowChangesOfHandMadeKeys) {
  ExposedBinary scratch;
  String salt, hash;
  scratch.TransformPassword(u"pw", salt, hash);
  auto db = OpenStorage([&](TKLStorage& s) {
    s.PutInt(u"index", 2, false);
    s.PutString(u"users/007/name", u"bond", false);
    s.PutString(u"users/007/salt", salt, false);
    s.PutString(u"users/007/pwd", hash, false);
    s.PutString(u"users/3/note", u"left over", false);
  });
  EXPECT_EQ(db->GetUID(u"bond"), 7);
  // The change writes users/7, a new key listed after users/3, not users/007.
  EXPECT_EQ(db->AddUser(u"bond", u"new", true), 7);
  EXPECT_TRUE(db->Verify(u"bond", u"pw"));
  ASSERT_EQ(db->GetCount(), 3);
  EXPECT_EQ(MessageOf([&] { db->GetRecord(1); }), Corrupted);
  EXPECT_EQ(db->GetRecord(2).Username, u"bond");
  EXPECT_TRUE(db->DeleteUser(7));
  EXPECT_EQ(db->GetCount(), 2);
  EXPECT_EQ(MessageOf([&] { db->AddUser(u"q", u"q", false); }), Corrupted);
}

TEST_F(BinaryPasswordDatabaseTest, NewUserWhoseKeyIsTakenFailsButUsesUpTheIdentifier) {
  ExposedBinary scratch;
  String salt, hash;
  scratch.TransformPassword(u"pw", salt, hash);
  auto db = OpenStorage([&](TKLStorage& s) {
    s.PutInt(u"index", 0, false);
    s.PutString(u"users/1/name", u"squatter", false);
    s.PutString(u"users/1/salt", salt, false);
    s.PutString(u"users/1/pwd", hash, false);
  });
  EXPECT_EQ(MessageOf([&] { db->AddUser(u"new", u"pw", false); }), "Key already exists");
  EXPECT_EQ(db->GetCount(), 1);
  EXPECT_EQ(db->AddUser(u"new", u"pw", false), 2);
  EXPECT_EQ(db->GetRecord(1).Username, u"new");
  EXPECT_EQ(db->GetUID(u"new"), 2);
  EXPECT_TRUE(db->Verify(u"squatter", u"pw"));
}

TEST_F(BinaryPasswordDatabaseTest, StorageDrawsFromThePluggedGenerator) {
  CountingGenerator generator;
  TKLBinaryPasswordDatabase db;
  db.SetKdfParameters(kFastKdf);
  db.SetHashParameters(test::FastHashes());
  db.SetSaveOnDestroy(false);
  db.SetPassword(u"pw");
  db.SetRandomGenerator(&generator);
  db.CreateNew(File);
  db.AddUser(u"a", u"a", false);
  EXPECT_EQ(generator.Drawn, 16);
  db.Save();
  const std::int64_t afterFirstSave = generator.Drawn;
  EXPECT_GT(afterFirstSave, 16);
  // A storage loaded by Open is handed the same generator; it keeps the key
  // derived at Open, so its save draws the nonce and the IV but no salt.
  db.Open(File);
  db.Save();
  const std::int64_t perSave = 32 + 16;
  EXPECT_EQ(generator.Drawn, afterFirstSave + perSave);
  db.SetRandomGenerator(nullptr);
  db.Save();
  EXPECT_EQ(generator.Drawn, afterFirstSave + perSave);
}

TEST_F(BinaryPasswordDatabaseTest, DestroyedGeneratorIsDroppedByDatabaseAndStorage) {
  TKLBinaryPasswordDatabase db;
  db.SetKdfParameters(kFastKdf);
  db.SetSaveOnDestroy(false);
  db.SetPassword(u"pw");
  {
    CountingGenerator generator;
    db.SetRandomGenerator(&generator);
  }
  db.CreateNew(File);
  db.AddUser(u"a", u"a", false);
  db.Save();
  db.Open(File);
  EXPECT_TRUE(db.Verify(u"a", u"a"));
}

TEST_F(BinaryPasswordDatabaseTest, DestructionSavesOnlyWhenAskedTo) {
  for (const bool saveOnDestroy : {false, true}) {
    {
      TKLBinaryPasswordDatabase db;
      db.SetKdfParameters(kFastKdf);
      db.SetPassword(u"pw");
      db.CreateNew(File);
      db.Save();
      db.SetSaveOnDestroy(saveOnDestroy);
      db.AddUser(u"a", u"pw", false);
    }
    TKLBinaryPasswordDatabase reopened;
    reopened.SetSaveOnDestroy(false);
    reopened.SetPassword(u"pw");
    reopened.Open(File);
    EXPECT_EQ(reopened.GetCount(), saveOnDestroy ? 1 : 0);
  }
  TKLBinaryPasswordDatabase never;
  EXPECT_EQ(MessageOf([&] { never.Save(); }), "Database is not opened");
  TKLBinaryPasswordDatabase unwritable;
  unwritable.CreateNew(Dir.FileU("no/such/folder/u.kls"));
  EXPECT_THROW(unwritable.Save(), EFileError);
}

TEST_F(BinaryPasswordDatabaseTest, LegacyFilesOpenOnlyWhenAllowedAndSaveAsVersion3) {
  {
    TKLBinaryPasswordDatabase old;
    old.SetSaveOnDestroy(false);
    old.SetSaveVersion(KLStorageVersion2);
    old.SetPassword(u"pw");
    old.CreateNew(File);
    old.AddUser(u"alice", u"a", false);
    old.Save();
  }
  TKLBinaryPasswordDatabase db;
  db.SetSaveOnDestroy(false);
  db.SetPassword(u"pw");
  EXPECT_THROW(db.Open(File), EKLStorageLegacyFormat);
  EXPECT_FALSE(db.GetOpened());
  db.SetAllowLegacyFormat(true);
  db.Open(File);
  EXPECT_EQ(db.GetLoadedVersion(), KLStorageVersion2);
  EXPECT_TRUE(db.Verify(u"alice", u"a"));
  EXPECT_THROW(db.SetKdfParameters({KLStorageMaxKdfMemoryKiB * 2, 1}), EKLStorageException);
  db.SetKdfParameters(kFastKdf);
  db.Save();
  EXPECT_EQ(TKLStorage::ReadFileInfo(File).Version, KLStorageVersion3);
  TKLBinaryPasswordDatabase reopened;
  reopened.SetSaveOnDestroy(false);
  reopened.SetPassword(u"pw");
  reopened.Open(File);
  EXPECT_EQ(reopened.GetLoadedVersion(), KLStorageVersion3);
  EXPECT_EQ(reopened.GetKdfParameters(), kFastKdf);
}

} // namespace
} // namespace kl
