#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "database/SqlTestSupport.h"
#include "crypto/KLPasswordHash.h"
#include "crypto/KLSHA256.h"
#include "database/KLPepper.h"
#include "foundation/Convert.h"
#include "storage/KLStorage.h"

// The behaviour every user database shares, run against each kind from one
// table: the text file, the encrypted file, SQLite and PostgreSQL.
namespace kl::test {
namespace {

struct TDatabaseKind {
  const char* Name;
  // A fresh place for a database of this kind.
  std::function<String(const TempDir&)> Place;
  std::function<std::unique_ptr<TKLPasswordDatabase>()> Make;
  bool Sql;
};

void PrintTo(const TDatabaseKind& Kind, std::ostream* Out) { *Out << Kind.Name; }

std::unique_ptr<TKLPasswordDatabase> Configured(std::unique_ptr<TKLPasswordDatabase> Db) {
  Db->SetHashParameters(FastHashes());
  if (auto* binary = dynamic_cast<TKLBinaryPasswordDatabase*>(Db.get())) {
    binary->SetPassword(u"master");
    binary->SetKdfParameters(TKLKdfParameters{8192, 1});
  }
  return Db;
}

const TDatabaseKind kKinds[] = {
    {"Text", [](const TempDir& Dir) { return Dir.FileU("users.txt"); },
     [] { return Configured(std::make_unique<TKLTextPasswordDatabase>()); }, false},
    {"Encrypted", [](const TempDir& Dir) { return Dir.FileU("users.klu"); },
     [] { return Configured(std::make_unique<TKLBinaryPasswordDatabase>()); }, false},
    {"Sqlite", [](const TempDir& Dir) { return u"sqlite:" + Dir.FileU("users.db"); },
     [] { return Configured(std::make_unique<TKLSqlitePasswordDatabase>()); }, true},
    {"Postgres", [](const TempDir&) { return FreshPostgresDatabase(); },
     [] { return Configured(std::make_unique<TKLPostgresPasswordDatabase>()); }, true},
};

class SharedDatabaseBehaviour : public ::testing::TestWithParam<TDatabaseKind> {
protected:
  void SetUp() override {
    if (std::string(GetParam().Name) == "Postgres") KL_REQUIRE_POSTGRES();
    FURI = GetParam().Place(FDir);
    FDb = GetParam().Make();
    FDb->CreateNew(FURI);
    FDb->Save();
  }

  // Another object on the same database, as another process would see it
  // (the file kinds after From's Save).
  std::unique_ptr<TKLPasswordDatabase> Reopened() { return Reopened(*FDb); }
  std::unique_ptr<TKLPasswordDatabase> Reopened(TKLPasswordDatabase& From) {
    From.Save();
    auto other = GetParam().Make();
    other->Open(FURI);
    return other;
  }

  static std::vector<TKLDatabaseRecord> Records(const TKLPasswordDatabase& Db) {
    std::vector<TKLDatabaseRecord> records;
    Db.ForEachRecord([&](const TKLDatabaseRecord& Record) { records.push_back(Record); });
    return records;
  }

  TempDir FDir;
  String FURI;
  std::unique_ptr<TKLPasswordDatabase> FDb;
};

TEST_P(SharedDatabaseBehaviour, AddsLooksUpVerifiesAndDeletes) {
  EXPECT_EQ(FDb->AddUser(u"alice", u"pw-a", false), 1);
  EXPECT_EQ(FDb->AddUser(u"bob", u"pw-b", false), 2);
  EXPECT_EQ(MessageOf([&] { FDb->AddUser(u"alice", u"x", false); }), SUserAlreadyExists);
  EXPECT_EQ(FDb->AddUser(u"alice", u"pw-a2", true), 1);
  EXPECT_TRUE(FDb->DeleteUser(u"bob"));
  EXPECT_FALSE(FDb->DeleteUser(u"bob"));
  // A deleted user's UID is never handed out again.
  EXPECT_EQ(FDb->AddUser(u"carol", u"pw-c", false), 3);

  auto db = Reopened();
  EXPECT_EQ(db->GetCount(), 2);
  EXPECT_EQ(db->GetUID(u"alice"), 1);
  EXPECT_EQ(db->GetUID(u"bob"), -1);
  EXPECT_EQ(db->GetUsername(3), u"carol");
  EXPECT_EQ(db->GetUsername(2), u"");
  EXPECT_TRUE(db->Exists(u"carol"));
  EXPECT_TRUE(db->Verify(u"alice", u"pw-a2"));
  EXPECT_FALSE(db->Verify(u"alice", u"pw-a"));
  EXPECT_EQ(MessageOf([&] { db->Verify(u"bob", u"pw-b"); }), SUserDoesNotExist);
  EXPECT_FALSE(db->DeleteUser(42));
}

// Names a query built from text would break on are stored and found exactly,
// and never read as SQL. The SQL databases keep names as text, which cannot
// hold NUL: they refuse such a name, the files keep it.
TEST_P(SharedDatabaseBehaviour, KeepsNamesWithQuotesSemicolonsAndNulsExactly) {
  std::vector<String> names = {u"o'brien",
                               u"say \"hi\"",
                               u"a;b",
                               u"x'); DROP TABLE klp_users; --",
                               u"' OR '1'='1",
                               u"back\\slash %_",
                               u"\u00e9t\u00e9 \U0001F511"};
  const std::vector<String> nulNames = {String(u"nul\0inside", 10), String(u"nul\0insidf", 10)};
  for (const String& name : nulNames) {
    if (!GetParam().Sql) {
      names.push_back(name);
      continue;
    }
    EXPECT_EQ(MessageOf([&] { FDb->AddUser(name, u"pw", false); }), SInvalidUserName);
    EXPECT_EQ(MessageOf([&] {
                FDb->ImportRecord(TKLDatabaseRecord{50, name, u"", u"$argon2id$x", 0});
              }),
              SInvalidUserName);
    EXPECT_EQ(FDb->GetUID(name), -1);
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    FDb->AddUser(names[i], u"pw" + IntToStr(static_cast<std::int32_t>(i)), false);
  auto db = Reopened();
  ASSERT_EQ(db->GetCount(), static_cast<std::int32_t>(names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(Narrow(names[i]));
    EXPECT_EQ(db->GetUID(names[i]), static_cast<std::int32_t>(i + 1));
    EXPECT_EQ(db->GetUsername(static_cast<std::int32_t>(i + 1)), names[i]);
    EXPECT_TRUE(db->Verify(names[i], u"pw" + IntToStr(static_cast<std::int32_t>(i))));
  }
  EXPECT_EQ(db->GetUID(u"nul"), -1);
  EXPECT_EQ(db->GetUID(u"O'BRIEN"), -1);
}

TEST_P(SharedDatabaseBehaviour, RefusesPasswordsThatAreNotValidText) {
  const String unpaired(1, static_cast<char16_t>(0xD800));
  EXPECT_THROW(FDb->AddUser(u"u", u"pw" + unpaired, false), EConvertError);
  EXPECT_EQ(Reopened()->GetCount(), 0);
}

// Copying between databases: records keep UID, name, salt and hash; later UIDs
// stay above them; an old-form record verifies, is rehashed on success, and
// UpgradeHashes wraps the others.
TEST_P(SharedDatabaseBehaviour, ImportsRecordsAsTheyAreAndUpgradesOldOnes) {
  const String salt = u"00112233445566778899aabbccddeeff";
  auto oldForm = [&](const String& Password) {
    const ByteArray bytes = RawByteStringToBytes(StrToUTF8(Password));
    ByteArray input = HexStrToBytes(salt);
    input.insert(input.end(), bytes.begin(), bytes.end());
    return BytesToHexStr(DigestToBytes(SHA256Calculate(input.data(), static_cast<std::uint32_t>(input.size()))));
  };
  FDb->ImportRecord({7, u"old1", salt, oldForm(u"one")});
  FDb->ImportRecord({5, u"old2", salt, oldForm(u"two")});
  EXPECT_EQ(MessageOf([&] { FDb->ImportRecord({7, u"other", salt, oldForm(u"x")}); }), SUserAlreadyExists);
  EXPECT_EQ(MessageOf([&] { FDb->ImportRecord({9, u"old1", salt, oldForm(u"x")}); }), SUserAlreadyExists);
  EXPECT_EQ(FDb->AddUser(u"new", u"pw", false), 8);

  auto db = Reopened();
  EXPECT_EQ(db->GetUID(u"old1"), 7);
  EXPECT_TRUE(db->Verify(u"old1", u"one"));
  EXPECT_EQ(db->UpgradeHashes(), 1);
  auto upgraded = Reopened(*db);
  std::vector<TKLHashScheme> schemes;
  for (const TKLDatabaseRecord& record : Records(*upgraded)) {
    if (record.Username != u"new") schemes.push_back(HashSchemeOf(record));
  }
  EXPECT_EQ(schemes.size(), 2U);
  EXPECT_NE(std::find(schemes.begin(), schemes.end(), hsArgon2id), schemes.end());
  EXPECT_NE(std::find(schemes.begin(), schemes.end(), hsWrappedSHA256), schemes.end());
  EXPECT_TRUE(upgraded->Verify(u"old2", u"two"));
}

TEST_P(SharedDatabaseBehaviour, LocksAnAccountAfterTheLimitUntilUnlocked) {
  FDb->AddUser(u"u", u"right", false);
  FDb->SetMaxFailures(7);
  FDb->SetMaxFailures(3);
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(FDb->Verify(u"u", u"wrong"));
  auto db = Reopened();
  EXPECT_EQ(db->GetMaxFailures(), 3);
  EXPECT_EQ(db->GetFailureCount(u"u"), 2);
  EXPECT_FALSE(db->Verify(u"u", u"wrong"));
  EXPECT_THROW(db->Verify(u"u", u"right"), EKLAccountLockedError);
  db->Unlock(u"u");
  EXPECT_TRUE(db->Verify(u"u", u"right"));
  EXPECT_EQ(Reopened(*db)->GetFailureCount(u"u"), 0);
}

// A record keyed under a server key that is no longer current is keyed again
// on its next success, so that the old key can then be dropped.
TEST_P(SharedDatabaseBehaviour, RekeysARecordUnderAnOldServerKeyOnSuccess) {
  const String oldKey = u"2025 000102030405060708090a0b0c0d0e0f";
  const String newKey = u"2026 f0e1d2c3b4a5968778695a4b3c2d1e0f";
  FDb->SetPepper(TKLPepper::FromText(oldKey));
  FDb->AddUser(u"carol", u"pw", false);
  auto db = Reopened();
  db->SetPepper(TKLPepper::FromText(newKey + u"\n" + oldKey));
  EXPECT_TRUE(db->Verify(u"carol", u"pw"));
  auto rekeyed = Reopened(*db);
  rekeyed->SetPepper(TKLPepper::FromText(newKey));
  EXPECT_TRUE(rekeyed->Verify(u"carol", u"pw"));
  EXPECT_FALSE(rekeyed->Verify(u"carol", u"wrong"));
}

// Server keys under the right identifier but with other bytes: every right
// password would fail, and lock its account. The stored check value tells
// them apart: a configuration error, nothing counted, nothing changed, no
// hash made under the wrong key.
TEST_P(SharedDatabaseBehaviour, AWrongKeyUnderTheRightIdentifierIsAConfigurationError) {
  const auto right = TKLPepper::FromText(u"k1 000102030405060708090a0b0c0d0e0f");
  const auto wrongBytes = TKLPepper::FromText(u"k1 0f0e0d0c0b0a09080706050403020100");
  FDb->SetPepper(right);
  FDb->AddUser(u"carol", u"pw", false);
  const String stored = Records(*FDb).at(0).Hash;
  auto db = Reopened();
  db->SetPepper(wrongBytes);
  for (const char16_t* password : {u"pw", u"wrong"}) {
    EXPECT_EQ(MessageOf([&] { db->Verify(u"carol", password); }), std::string(SPepperKeyMismatch) + ": k1");
  }
  EXPECT_THROW(db->AddUser(u"dave", u"pw", false), EKLPepperMismatchError);
  EXPECT_THROW(db->AddUser(u"carol", u"new", true), EKLPepperMismatchError);
  auto after = Reopened(*db);
  EXPECT_EQ(after->GetFailureCount(u"carol"), 0);
  EXPECT_EQ(after->GetUID(u"dave"), -1);
  EXPECT_EQ(Records(*after).at(0).Hash, stored);
  after->SetPepper(right);
  EXPECT_TRUE(after->Verify(u"carol", u"pw"));
}

// A copy keeps every account's failure count, so a locked account is still
// locked in the copy: read from every kind, written into every kind.
TEST_P(SharedDatabaseBehaviour, ImportKeepsTheFailureCountOfEveryAccount) {
  FDb->SetMaxFailures(2);
  FDb->AddUser(u"locked", u"pw", false);
  FDb->AddUser(u"once", u"pw", false);
  FDb->AddUser(u"clean", u"pw", false);
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(FDb->Verify(u"locked", u"x"));
  EXPECT_FALSE(FDb->Verify(u"once", u"x"));
  const std::vector<TKLDatabaseRecord> records = Records(*FDb);
  ASSERT_EQ(records.size(), 3U);
  EXPECT_EQ(records[0].Failures, 2);
  EXPECT_EQ(records[1].Failures, 1);
  EXPECT_EQ(records[2].Failures, 0);

  TempDir dir;
  auto copy = GetParam().Make();
  copy->CreateNew(GetParam().Place(dir));
  copy->SetMaxFailures(2);
  for (const TKLDatabaseRecord& record : records) copy->ImportRecord(record);
  copy->Save();
  auto reopened = GetParam().Make();
  reopened->Open(copy->GetURI());
  EXPECT_EQ(reopened->GetFailureCount(u"locked"), 2);
  EXPECT_EQ(reopened->GetFailureCount(u"once"), 1);
  EXPECT_EQ(reopened->GetFailureCount(u"clean"), 0);
  EXPECT_THROW(reopened->Verify(u"locked", u"pw"), EKLAccountLockedError);
  TKLDatabaseRecord negative{9, u"neg", u"", records[2].Hash, -1};
  EXPECT_EQ(MessageOf([&] { reopened->ImportRecord(negative); }), SDatabaseCorrupted);
}

// The same password in each normalisation form: typed composed, decomposed,
// or with a compatibility character, it is one password.
const String kPasswordForms[] = {u"Caf\u00e9 \uFB01ve", u"Cafe\u0301 \uFB01ve", u"Caf\u00e9 five", u"Cafe\u0301 five"};

TEST_P(SharedDatabaseBehaviour, APasswordVerifiesInEveryNormalisationForm) {
  for (std::size_t added = 0; added < std::size(kPasswordForms); ++added) {
    const String name = u"user" + IntToStr(static_cast<std::int32_t>(added));
    FDb->AddUser(name, kPasswordForms[added], false);
  }
  auto db = Reopened();
  for (const TKLDatabaseRecord& record : Records(*db)) {
    // What is stored is the hash of the NFKC form.
    EXPECT_TRUE(VerifyPassword(record.Hash, u"Caf\u00e9 five", FastHashes())) << Narrow(record.Username);
    for (const String& typed : kPasswordForms) EXPECT_TRUE(db->Verify(record.Username, typed));
    EXPECT_FALSE(db->Verify(record.Username, u"Cafe five"));
  }
}

// Records made before passwords were normalised hold the password as it was
// typed: it still verifies, and the record is then rehashed in the normalised
// form, so that every other form verifies from then on.
TEST_P(SharedDatabaseBehaviour, ARecordHashedAsTypedVerifiesAndIsRehashedNormalised) {
  const String typed = kPasswordForms[1];
  const String salt = u"00112233445566778899aabbccddeeff";
  const ByteArray bytes = RawByteStringToBytes(StrToUTF8(typed));
  ByteArray input = HexStrToBytes(salt);
  input.insert(input.end(), bytes.begin(), bytes.end());
  const String oldForm =
      BytesToHexStr(DigestToBytes(SHA256Calculate(input.data(), static_cast<std::uint32_t>(input.size()))));
  FDb->ImportRecord({1, u"argon", u"", HashPassword(typed, FastHashes())});
  FDb->ImportRecord({2, u"sha", salt, oldForm});
  auto db = Reopened();
  for (const String& name : {String(u"argon"), String(u"sha")}) {
    SCOPED_TRACE(Narrow(name));
    EXPECT_FALSE(db->Verify(name, kPasswordForms[0])); // only the form typed then
    EXPECT_TRUE(db->Verify(name, typed));
    auto after = Reopened(*db);
    for (const TKLDatabaseRecord& record : Records(*after)) {
      if (record.Username != name) continue;
      EXPECT_EQ(HashSchemeOf(record), hsArgon2id);
      EXPECT_TRUE(VerifyPassword(record.Hash, kPasswordForms[2], FastHashes()));
    }
    for (const String& form : kPasswordForms) EXPECT_TRUE(after->Verify(name, form));
  }
}

// Names are compared in NFC: a name typed decomposed finds the composed one,
// an add of either form refuses the other, new names are stored composed, and
// a name stored decomposed before is found in either form. Compatibility forms
// stay different names.
TEST_P(SharedDatabaseBehaviour, NamesDifferingOnlyByCompositionAreOneName) {
  EXPECT_EQ(FDb->AddUser(u"Jose\u0301", u"pw", false), 1);
  EXPECT_EQ(MessageOf([&] { FDb->AddUser(u"Jos\u00e9", u"x", false); }), SUserAlreadyExists);
  FDb->ImportRecord({5, u"Rene\u0301", u"", HashPassword(u"old", FastHashes())});
  EXPECT_EQ(MessageOf([&] { FDb->ImportRecord({6, u"Jos\u00e9", u"", u"$argon2id$x"}); }), SUserAlreadyExists);
  EXPECT_EQ(FDb->AddUser(u"\uFB01", u"pw", false), 6);
  EXPECT_EQ(FDb->AddUser(u"fi", u"pw", false), 7);
  auto db = Reopened();
  EXPECT_EQ(db->GetUsername(1), u"Jos\u00e9");
  const struct {
    String Name;
    std::int32_t UID;
  } lookups[] = {{u"Jos\u00e9", 1}, {u"Jose\u0301", 1}, {u"Ren\u00e9", 5}, {u"Rene\u0301", 5}, {u"\uFB01", 6}, {u"fi", 7}};
  for (const auto& l : lookups) {
    SCOPED_TRACE(Narrow(l.Name));
    EXPECT_EQ(db->GetUID(l.Name), l.UID);
  }
  EXPECT_TRUE(db->Verify(u"Jos\u00e9", u"pw"));
  EXPECT_TRUE(db->Verify(u"Ren\u00e9", u"old"));
  EXPECT_EQ(MessageOf([&] { db->AddUser(u"Ren\u00e9", u"x", false); }), SUserAlreadyExists);
  EXPECT_EQ(db->AddUser(u"Ren\u00e9", u"new", true), 5);
  EXPECT_EQ(db->GetCount(), 4);
  EXPECT_TRUE(db->Verify(u"Rene\u0301", u"new"));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SharedDatabaseBehaviour, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<TDatabaseKind>& Info) { return Info.param.Name; });

} // namespace
} // namespace kl::test
