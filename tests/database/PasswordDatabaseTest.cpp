// Behaviour every user database shares: hashing, verification, look-ups and
// identifiers. Each test runs over every database class.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "crypto/KLSHA256.h"
#include "database/KLDatabase.h"
#include "foundation/Convert.h"
#include "support/TestSupport.h"
#include "database/DatabaseTestSupport.h"

namespace kl {
namespace {

using test::Exposed;
using test::MessageOf;
using test::U;

template <class DB>
class PasswordDatabaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    Db->SetSaveOnDestroy(false);
    Db->CreateNew(Dir.FileU("users.db"));
  }

  test::TempDir Dir;
  std::unique_ptr<Exposed<DB>> Db = std::make_unique<Exposed<DB>>();
};

using DatabaseClasses = ::testing::Types<TKLTextPasswordDatabase, TKLBinaryPasswordDatabase>;
TYPED_TEST_SUITE(PasswordDatabaseTest, DatabaseClasses);

TYPED_TEST(PasswordDatabaseTest, VerifyAcceptsExactlyTheUsersPassword) {
  auto& db = *this->Db;
  db.AddUser(u"alice", u"secret", false);
  db.AddUser(u"bob", u"", false);
  db.AddUser(U("j\xC3\xBCrgen"), U("p\xC3\xA4ss \xE2\x82\xAC\xF0\x9F\x94\x91"), false);
  struct Case {
    String User;
    String Password;
    bool Expected;
  };
  const std::vector<Case> cases = {
      {u"alice", u"secret", true},
      {u"alice", u"Secret", false},
      {u"alice", u"secret ", false},
      {u"alice", u"", false},
      {u"bob", u"", true},
      {u"bob", u"x", false},
      {U("j\xC3\xBCrgen"), U("p\xC3\xA4ss \xE2\x82\xAC\xF0\x9F\x94\x91"), true},
      {U("j\xC3\xBCrgen"), U("pass \xE2\x82\xAC\xF0\x9F\x94\x91"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db.Verify(c.User, c.Password), c.Expected) << test::Narrow(c.User) << " / " << test::Narrow(c.Password);
  }
  // Names are compared exactly, code unit by code unit.
  for (const char16_t* other : {u"Alice", u"ALICE", u"alice ", u" alice", u"alic"}) {
    EXPECT_EQ(MessageOf([&] { db.Verify(other, u"secret"); }), "User does not exist in the database");
    EXPECT_EQ(db.GetUID(other), -1);
    EXPECT_FALSE(db.DeleteUser(String(other)));
  }
  EXPECT_EQ(db.GetCount(), 3);
}

TYPED_TEST(PasswordDatabaseTest, PasswordHashIsSHA256OfSaltThenUTF8Password) {
  auto& db = *this->Db;
  const ByteArray salt = test::Hex("000102030405060708090A0B0C0D0E0F");
  const String password = U("p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC");
  EXPECT_EQ(test::ToHex(db.GetPasswordHash(salt, RawByteStringToBytes(StrToUTF8(password)))),
            "54A3C647FA1D5BEE63513438082D3674927E051DA54D2A415ABD044CE0A1009D");
  EXPECT_EQ(test::ToHex(db.GetPasswordHash(salt, {})),
            "BE45CB2605BF36BEBDE684841A28F0FD43C69850A3DCE5FEDBA69928EE3A8991");

  // A stored record of the old form reproduces from its own salt, in the upper-case hex form.
  db.SetWeakLegacyHashes(true);
  db.AddUser(u"u", password, false);
  const TKLDatabaseRecord record = db.GetRecord(0);
  ASSERT_EQ(record.Salt.size(), 32u);
  ASSERT_EQ(record.Hash.size(), 64u);
  EXPECT_EQ(record.Salt, BytesToHexStr(HexStrToBytes(record.Salt)));
  EXPECT_EQ(record.Hash, BytesToHexStr(HexStrToBytes(record.Hash)));
  EXPECT_EQ(record.Hash,
            BytesToHexStr(db.GetPasswordHash(HexStrToBytes(record.Salt), RawByteStringToBytes(StrToUTF8(password)))));
}

TYPED_TEST(PasswordDatabaseTest, SaltIsDrawnFromThePluggedGenerator) {
  std::uint8_t seed[TKLFastRandomGenerator::SeedDigestSize] = {7};
  auto generator = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(seed);
  auto twin = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(seed);
  auto& db = *this->Db;
  db.SetRandomGenerator(generator.get());
  db.AddUser(u"u", u"pw", false);
  db.SetWeakLegacyHashes(true);
  db.AddUser(u"v", u"pw", false);
  ByteArray expected(16);
  twin->Generate(expected.data(), 16);
  EXPECT_NE(db.GetRecord(0).Hash.find(test::Base64(expected) + u"$"), String::npos);
  twin->Generate(expected.data(), 16);
  EXPECT_EQ(db.GetRecord(1).Salt, BytesToHexStr(expected));
  db.SetRandomGenerator(nullptr);
}

TYPED_TEST(PasswordDatabaseTest, IdentifiersGrowAndAreNeverReused) {
  auto& db = *this->Db;
  EXPECT_EQ(db.AddUser(u"A", u"a", false), 1);
  EXPECT_EQ(db.AddUser(u"B", u"b", false), 2);
  EXPECT_EQ(db.AddUser(u"C", u"c", false), 3);
  EXPECT_TRUE(db.DeleteUser(String(u"B")));
  EXPECT_EQ(db.AddUser(u"D", u"d", false), 4);
  EXPECT_EQ(db.AddUser(u"B", u"b", false), 5);
  EXPECT_FALSE(db.DeleteUser(99));
  EXPECT_FALSE(db.DeleteUser(2));

  const std::vector<std::pair<String, std::int32_t>> expected = {{u"A", 1}, {u"C", 3}, {u"D", 4}, {u"B", 5}};
  ASSERT_EQ(db.GetCount(), 4);
  for (std::int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(db.GetRecord(i).Username, expected[i].first);
    EXPECT_EQ(db.GetRecord(i).UID, expected[i].second);
    EXPECT_EQ(db.GetUID(expected[i].first), expected[i].second);
    EXPECT_EQ(db.GetUsername(expected[i].second), expected[i].first);
  }
  EXPECT_EQ(db.GetUsername(2), u"");
  EXPECT_EQ(db.GetUID(u"nobody"), -1);
}

TYPED_TEST(PasswordDatabaseTest, ChangingAPasswordKeepsUIDAndPosition) {
  auto& db = *this->Db;
  db.AddUser(u"first", u"1", false);
  db.AddUser(u"user", u"old", false);
  db.AddUser(u"last", u"3", false);
  const TKLDatabaseRecord before = db.GetRecord(1);

  EXPECT_EQ(MessageOf([&] { db.AddUser(u"user", u"new", false); }), "User already exists");
  EXPECT_TRUE(db.Verify(u"user", u"old"));
  EXPECT_EQ(db.GetRecord(1).Hash, before.Hash);

  EXPECT_EQ(db.AddUser(u"user", u"new", true), 2);
  const TKLDatabaseRecord after = db.GetRecord(1);
  EXPECT_EQ(after.UID, 2);
  EXPECT_EQ(after.Username, u"user");
  EXPECT_EQ(HashSchemeOf(after), hsArgon2id);
  EXPECT_NE(after.Hash, before.Hash);
  EXPECT_FALSE(db.Verify(u"user", u"old"));
  EXPECT_TRUE(db.Verify(u"user", u"new"));
  EXPECT_EQ(db.GetCount(), 3);
  // Neither the refused add nor the change used up an identifier.
  EXPECT_EQ(db.AddUser(u"next", u"4", false), 4);
}

// Many users added, changed and deleted by UID and by name, against a plain
// list of (UID, name) in position order: every position and every look-up
// must agree with it after each step, across the deletions that leave gaps and
// the passes that close them.
TYPED_TEST(PasswordDatabaseTest, RecordsFollowAPlainListOfUsers) {
  auto& db = *this->Db;
  db.SetWeakLegacyHashes(true); // only the order is under test
  std::mt19937 rng(19);
  std::vector<std::pair<std::int32_t, String>> model;
  std::int32_t lastUID = 0;
  for (int step = 0; step < 1500; ++step) {
    const std::size_t pick = model.empty() ? 0 : rng() % model.size();
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
      case 3:
        ASSERT_EQ(db.AddUser(u"u" + IntToStr(step), u"pw", false), ++lastUID);
        model.emplace_back(lastUID, u"u" + IntToStr(step));
        break;
      case 4:
        if (model.empty()) break;
        ASSERT_EQ(db.AddUser(model[pick].second, u"new", true), model[pick].first);
        break;
      case 5:
      case 6: {
        const auto uid = static_cast<std::int32_t>(rng() % (lastUID + 2));
        const auto found = std::find_if(model.begin(), model.end(), [&](const auto& U) { return U.first == uid; });
        ASSERT_EQ(db.DeleteUser(uid), found != model.end());
        if (found != model.end()) model.erase(found);
        break;
      }
      default:
        if (model.empty()) break;
        ASSERT_TRUE(db.DeleteUser(model[pick].second));
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(pick));
    }
    ASSERT_EQ(db.GetCount(), static_cast<std::int32_t>(model.size()));
    for (std::size_t i = 0; i < model.size(); ++i) {
      const TKLDatabaseRecord record = db.GetRecord(static_cast<std::int32_t>(i));
      ASSERT_EQ(record.UID, model[i].first) << "step " << step << ", record " << i;
      ASSERT_EQ(record.Username, model[i].second) << "step " << step << ", record " << i;
      ASSERT_EQ(db.GetUID(model[i].second), model[i].first);
      ASSERT_EQ(db.GetUsername(model[i].first), model[i].second);
    }
  }
}

// A random mix of changes, checking after each that every look-up answers what
// a walk over the records answers and that Verify knows every password, and
// that the records, which deletions update in place, are those a fresh open of
// the saved file reads.
TYPED_TEST(PasswordDatabaseTest, LookupsFollowEveryChange) {
  auto& db = *this->Db;
  std::mt19937 rng(12345);
  const std::vector<String> names = {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h"};
  std::map<String, String> passwords;
  std::int32_t lastUID = 0;
  for (int step = 0; step < 300; ++step) {
    const String& name = names[rng() % names.size()];
    const String password = u"pw" + IntToStr(step);
    switch (rng() % 4) {
      case 0:
      case 1:
        if (passwords.count(name) != 0) {
          EXPECT_EQ(db.AddUser(name, password, true), db.GetUID(name));
        } else {
          EXPECT_EQ(db.AddUser(name, password, false), ++lastUID);
        }
        passwords[name] = password;
        break;
      case 2:
        EXPECT_EQ(db.DeleteUser(name), passwords.erase(name) == 1);
        break;
      default: {
        const bool deleted = db.DeleteUser(static_cast<std::int32_t>(rng() % (lastUID + 2)));
        EXPECT_EQ(deleted, passwords.size() != static_cast<std::size_t>(db.GetCount()));
        for (auto it = passwords.begin(); it != passwords.end();) {
          it = db.GetUID(it->first) < 0 ? passwords.erase(it) : std::next(it);
        }
        break;
      }
    }
    ASSERT_EQ(static_cast<std::size_t>(db.GetCount()), passwords.size());
    for (const String& n : names) {
      ASSERT_EQ(db.GetUID(n), test::WalkUID(db, n)) << "step " << step;
      ASSERT_EQ(db.Exists(n), passwords.count(n) == 1);
    }
    for (std::int32_t uid = 0; uid <= lastUID + 1; ++uid) ASSERT_EQ(db.GetUsername(uid), test::WalkUsername(db, uid));
    for (const auto& [n, p] : passwords) ASSERT_TRUE(db.Verify(n, p));
    db.Save();
    Exposed<TypeParam> reopened;
    reopened.SetSaveOnDestroy(false);
    reopened.Open(this->Dir.FileU("users.db"));
    ASSERT_EQ(reopened.GetCount(), db.GetCount()) << "step " << step;
    for (std::int32_t i = 0; i < db.GetCount(); ++i) {
      const TKLDatabaseRecord held = db.GetRecord(i);
      const TKLDatabaseRecord read = reopened.GetRecord(i);
      ASSERT_EQ(held.UID, read.UID) << "step " << step << ", record " << i;
      ASSERT_EQ(held.Username, read.Username) << "step " << step << ", record " << i;
      ASSERT_EQ(held.Hash, read.Hash) << "step " << step << ", record " << i;
    }
  }
}

} // namespace
} // namespace kl
