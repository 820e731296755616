// A verifier's protections, over every database class: the lockout after
// consecutive failures and its stored form, the optional pause, the dummy
// verification of unknown names, server-keyed records and their rotation, and
// the bound on concurrent hashing as a database sees it. Work is measured by
// counting Argon2id computations at the process-wide gate, never by time.
#include <gtest/gtest.h>

#include <sodium.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/Argon2id.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLHashGate.h"
#include "database/DatabaseTestSupport.h"
#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Exposed;
using test::MessageOf;

const String kKeyOld = u"2025 000102030405060708090a0b0c0d0e0f";
const String kKeyNew = u"2026 f0e1d2c3b4a5968778695a4b3c2d1e0f00112233445566778899aabbccddeeff";

std::uint64_t Computations() { return GetHashGateStatistics().Computations; }

template <class DB>
class Counting : public Exposed<DB> {
public:
  using Exposed<DB>::Exposed;
  std::vector<std::int64_t> Pauses;

protected:
  void PauseAfterFailure(std::chrono::milliseconds Delay) override { Pauses.push_back(Delay.count()); }
};

template <class DB>
class ProtectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    Db->SetSaveOnDestroy(false);
    Db->CreateNew(File);
    Db->AddUser(u"alice", u"right", false);
    Db->AddUser(u"bob", u"other", false);
  }

  std::unique_ptr<Counting<DB>> Reopen() {
    Db->Save();
    auto db = std::make_unique<Counting<DB>>();
    db->SetSaveOnDestroy(false);
    db->Open(File);
    return db;
  }

  // The failure count and limit as the file holds them, read without the
  // database class: the text lines, or the storage's keys.
  std::string StoredState() {
    Db->Save();
    if constexpr (std::is_same_v<DB, TKLTextPasswordDatabase>) {
      std::istringstream text(test::ReadFileBytes(Dir.File("users.db")));
      std::string state;
      for (std::string line; std::getline(text, line);) {
        const std::size_t limit = line.find(":max-failures=");
        const std::size_t count = line.find(":failures=");
        if (limit != std::string::npos) state += line.substr(limit + 1) + ";";
        if (count != std::string::npos) state += line.substr(count + 1) + ";";
      }
      return state;
    } else {
      TKLStorage storage;
      storage.LoadFromFile(File, u"");
      std::string state;
      std::int32_t value = 0;
      if (storage.GetInt(u"max-failures", value, 0)) state += "max-failures=" + std::to_string(value) + ";";
      if (storage.GetInt(u"users/1/failures", value, 0)) state += "failures=" + std::to_string(value) + ";";
      return state;
    }
  }

  test::TempDir Dir;
  const String File = Dir.FileU("users.db");
  std::unique_ptr<Counting<DB>> Db = std::make_unique<Counting<DB>>();
};

using DatabaseClasses = ::testing::Types<TKLTextPasswordDatabase, TKLBinaryPasswordDatabase>;
TYPED_TEST_SUITE(ProtectionTest, DatabaseClasses);

// At the limit every attempt is refused, the right password included, and
// costs no hashing; a success before it resets the count; Unlock ends it.
TYPED_TEST(ProtectionTest, LimitLocksTheAccountUntilUnlocked) {
  auto& db = *this->Db;
  EXPECT_EQ(db.GetMaxFailures(), KLDefaultMaxFailures);
  db.SetMaxFailures(3);
  EXPECT_FALSE(db.Verify(u"alice", u"wrong"));
  EXPECT_FALSE(db.Verify(u"alice", u"wrong"));
  EXPECT_EQ(db.GetFailureCount(u"alice"), 2);
  EXPECT_TRUE(db.Verify(u"alice", u"right"));
  EXPECT_EQ(db.GetFailureCount(u"alice"), 0);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(db.Verify(u"alice", u"wrong"));
  const std::uint64_t before = Computations();
  EXPECT_THROW(db.Verify(u"alice", u"right"), EKLAccountLockedError);
  EXPECT_EQ(MessageOf([&] { db.Verify(u"alice", u"wrong"); }), SAccountLocked);
  EXPECT_EQ(Computations(), before);
  EXPECT_EQ(db.GetFailureCount(u"alice"), 3);
  EXPECT_TRUE(db.Verify(u"bob", u"other")) << "other accounts are not affected";
  db.Unlock(u"alice");
  EXPECT_TRUE(db.Verify(u"alice", u"right"));
  EXPECT_EQ(MessageOf([&] { db.Unlock(u"nobody"); }), SUserDoesNotExist);
  EXPECT_EQ(MessageOf([&] { db.SetMaxFailures(-1); }), SInvalidMaxFailures);
}

TYPED_TEST(ProtectionTest, NoLimitStillCountsButNeverLocks) {
  auto& db = *this->Db;
  db.SetMaxFailures(0);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(db.Verify(u"alice", u"wrong"));
  EXPECT_EQ(db.GetFailureCount(u"alice"), 5);
  EXPECT_TRUE(db.Verify(u"alice", u"right"));
}

// The count and the limit are stored with the database, and only while they
// differ from zero and the default: a file without them is written as before.
TYPED_TEST(ProtectionTest, StateIsStoredOnlyWhileItDiffersFromTheDefault) {
  EXPECT_EQ(this->StoredState(), "");
  this->Db->SetMaxFailures(7);
  this->Db->Verify(u"alice", u"wrong");
  this->Db->Verify(u"alice", u"wrong");
  EXPECT_EQ(this->StoredState(), "max-failures=7;failures=2;");
  auto reopened = this->Reopen();
  EXPECT_EQ(reopened->GetMaxFailures(), 7);
  EXPECT_EQ(reopened->GetFailureCount(u"alice"), 2);
  EXPECT_EQ(reopened->GetFailureCount(u"bob"), 0);
  this->Db->Unlock(u"alice");
  this->Db->SetMaxFailures(KLDefaultMaxFailures);
  EXPECT_EQ(this->StoredState(), "");
}

// A password change keeps the count: only Unlock or a success ends a lockout.
TYPED_TEST(ProtectionTest, ChangingThePasswordKeepsTheCount) {
  this->Db->Verify(u"alice", u"wrong");
  this->Db->AddUser(u"alice", u"new", true);
  EXPECT_EQ(this->Db->GetFailureCount(u"alice"), 1);
  EXPECT_TRUE(this->Db->Verify(u"alice", u"new"));
}

TYPED_TEST(ProtectionTest, PauseDoublesWithEachFailureUpToItsCeiling) {
  auto& db = *this->Db;
  db.Verify(u"alice", u"wrong");
  EXPECT_TRUE(db.Pauses.empty()) << "no pause by default";
  db.Unlock(u"alice");
  db.SetFailureDelay(std::chrono::milliseconds{10}, std::chrono::milliseconds{35});
  for (int i = 0; i < 4; ++i) db.Verify(u"alice", u"wrong");
  EXPECT_EQ(db.Pauses, (std::vector<std::int64_t>{10, 20, 35, 35}));
  db.Verify(u"alice", u"right");
  EXPECT_EQ(db.Pauses.size(), 4u) << "a success does not pause";
}

// An unknown name costs the Argon2id computations at the current cost that a
// wrong password does, before its error: one, or two for a password that
// normalising changes (checked normalised, then as typed).
TYPED_TEST(ProtectionTest, UnknownNameCostsWhatAWrongPasswordCosts) {
  const struct {
    String Password;
    std::uint64_t Cost;
  } cases[] = {{u"wrong", 1}, {u"wro\u0301ng", 2}, {u"\uFB01ve", 2}};
  for (const auto& c : cases) {
    std::uint64_t before = Computations();
    EXPECT_FALSE(this->Db->Verify(u"alice", c.Password));
    const std::uint64_t wrong = Computations() - before;
    before = Computations();
    EXPECT_EQ(MessageOf([&] { this->Db->Verify(u"mallory", c.Password); }), SUserDoesNotExist);
    EXPECT_EQ(Computations() - before, wrong);
    EXPECT_EQ(wrong, c.Cost);
  }
}

// A caller turned away by the concurrency bound has not failed an attempt.
TYPED_TEST(ProtectionTest, BusyRefusalIsNoFailedAttempt) {
  const std::uint32_t bound = GetHashConcurrency();
  SetHashConcurrency(1);
  SetHashWaitTimeout(std::chrono::milliseconds{0});
  {
    const TKLHashSlot held;
    EXPECT_THROW(this->Db->Verify(u"alice", u"wrong"), EKLHashBusyError);
  }
  SetHashConcurrency(bound);
  SetHashWaitTimeout(KLDefaultHashWaitTimeout);
  EXPECT_EQ(this->Db->GetFailureCount(u"alice"), 0);
}

// The keyed form read with independent code: the tag is HMAC-SHA-256 under
// the current key of Argon2id over the password with the record's salt.
TYPED_TEST(ProtectionTest, KeyedRecordTagIsHMACOfTheArgon2idOutput) {
  auto& db = *this->Db;
  db.SetPepper(TKLPepper::FromText(kKeyNew + u"\n" + kKeyOld));
  db.AddUser(u"carol", u"p\x00E4ss", false);
  const std::string hash = test::Narrow(db.GetRecord(2).Hash);
  const std::string prefix = "$kl-argon2id-hmac$k=2026$v=19$m=8,t=1,p=1$";
  ASSERT_EQ(hash.substr(0, prefix.size()), prefix);
  const std::string salt64 = hash.substr(prefix.size(), hash.rfind('$') - prefix.size());
  std::uint8_t salt[16];
  std::size_t saltSize = 0;
  ASSERT_EQ(sodium_base642bin(salt, sizeof salt, salt64.data(), salt64.size(), nullptr, &saltSize, nullptr,
                              sodium_base64_VARIANT_ORIGINAL_NO_PADDING),
            0);
  ASSERT_EQ(saltSize, 16u);
  ByteArray output(32);
  detail::Argon2id("p\xC3\xA4ss", 5, salt, 1, 8, output.data(), output.size());
  const TMessageDigest256 tag =
      MAC256Calculate(output, test::Hex("f0e1d2c3b4a5968778695a4b3c2d1e0f00112233445566778899aabbccddeeff"));
  EXPECT_EQ(hash.substr(hash.rfind('$') + 1), test::Narrow(test::Base64(DigestToBytes(tag))));
  EXPECT_EQ(db.GetRecord(2).Salt, u"");
  EXPECT_EQ(HashSchemeOf(db.GetRecord(2)), hsKeyedArgon2id);
}

// Records made under an old key verify and are keyed again under the current
// one from the output already computed; a key not loaded is a clear error,
// and no key at all cannot verify a keyed record.
TYPED_TEST(ProtectionTest, RotationRekeysOnSuccessWithoutASecondHash) {
  auto& db = *this->Db;
  db.SetPepper(TKLPepper::FromText(kKeyOld));
  db.AddUser(u"carol", u"pw", false);
  const String underOld = db.GetRecord(2).Hash;
  db.SetPepper(TKLPepper::FromText(kKeyNew + u"\n" + kKeyOld));
  EXPECT_FALSE(db.Verify(u"carol", u"wrong"));
  EXPECT_EQ(db.GetRecord(2).Hash, underOld) << "a failure re-keys nothing";
  const std::uint64_t before = Computations();
  EXPECT_TRUE(db.Verify(u"carol", u"pw"));
  EXPECT_EQ(Computations() - before, 1u);
  const String underNew = db.GetRecord(2).Hash;
  EXPECT_EQ(underNew.substr(0, 24), u"$kl-argon2id-hmac$k=2026");
  EXPECT_EQ(underNew.substr(underNew.find(u"$v=")).substr(0, 40), underOld.substr(underOld.find(u"$v=")).substr(0, 40))
      << "same cost and salt";
  db.SetPepper(TKLPepper::FromText(kKeyNew));
  EXPECT_TRUE(db.Verify(u"carol", u"pw"));
  db.SetPepper(TKLPepper::FromText(kKeyOld));
  EXPECT_EQ(MessageOf([&] { db.Verify(u"carol", u"pw"); }), std::string(SPepperKeyNotLoaded) + ": 2026");
  // The key's bytes matter, not its name: other bytes under it are told by
  // the stored check value, and count nothing.
  db.SetPepper(TKLPepper::FromText(u"2026 00112233445566778899aabbccddeeff"));
  EXPECT_THROW(db.Verify(u"carol", u"pw"), EKLPepperMismatchError);
  EXPECT_EQ(db.GetFailureCount(u"carol"), 0);
  db.SetPepper(nullptr);
  EXPECT_THROW(db.Verify(u"carol", u"pw"), EKLPepperError);
}

// Turning a key on keys every other record at its next success; a keyed
// record below the current cost is hashed afresh.
TYPED_TEST(ProtectionTest, PepperKeysOlderRecordsAndWeakerOnesAreHashedAfresh) {
  auto& db = *this->Db;
  db.SetPepper(TKLPepper::FromText(kKeyNew));
  EXPECT_TRUE(db.Verify(u"alice", u"right"));
  EXPECT_EQ(HashSchemeOf(db.GetRecord(0)), hsKeyedArgon2id);
  TKLPasswordHashParameters stronger = test::FastHashes();
  stronger.Passes = 2;
  db.SetHashParameters(stronger);
  EXPECT_TRUE(db.Verify(u"alice", u"right"));
  EXPECT_NE(db.GetRecord(0).Hash.find(u"t=2,"), String::npos);
  auto reopened = this->Reopen();
  reopened->SetPepper(TKLPepper::FromText(kKeyNew));
  EXPECT_TRUE(reopened->Verify(u"alice", u"right"));
  EXPECT_FALSE(reopened->Verify(u"alice", u"Right"));
}

// A count or limit that is not a plain decimal number is damage, not zero.
TEST(TextProtectionState, MalformedCountsAreRefused) {
  const String user =
      u"1:alice::$argon2id$v=19$m=8,t=1,p=1$c2FsdHNhbHRzYWx0c2FsdA$"
      u"azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  test::ExposedText db;
  db.SetSaveOnDestroy(false);
  db.OpenFromText(u"1:key-check=k1=0A1B:key-check=k2=FF:max-failures=5\n" + user + u":failures=3\n", u"unused");
  EXPECT_EQ(db.GetMaxFailures(), 5);
  EXPECT_EQ(db.GetCount(), 1);
  EXPECT_EQ(db.GetFailureCount(u"alice"), 3);
  for (const String& text :
       {u"1:max-failures=-5\n" + user + u"\n", u"1:max-failures=\n" + user + u"\n", u"1\n" + user + u":failures=-1\n",
        u"1\n" + user + u":failures=2x\n", u"1\n" + user + u":failures=99999999999\n", u"1:key-check=\n" + user + u"\n",
        u"1:key-check=k1\n" + user + u"\n", u"1:key-check=k1=\n" + user + u"\n", u"1:key-check=k1=abc\n" + user + u"\n",
        u"1:key-check=k:1=AB\n" + user + u"\n", u"1:key-check=k1=AB:2\n" + user + u"\n"}) {
    test::ExposedText other;
    other.SetSaveOnDestroy(false);
    EXPECT_EQ(MessageOf([&] {
                other.OpenFromText(text, u"unused");
                other.GetFailureCount(u"alice");
              }),
              SDatabaseCorrupted)
        << test::Narrow(text);
  }
}

// The key text: one "ID HEX" a line, the first current; anything else names its line.
TEST(Pepper, KeyTextIsReadStrictly) {
  const auto pepper = TKLPepper::FromText(u"# keys\n\n" + kKeyNew + u"\n" + kKeyOld + u"  \n");
  EXPECT_EQ(pepper->GetCurrentID(), u"2026");
  EXPECT_EQ(pepper->GetCount(), 2);
  EXPECT_TRUE(pepper->Contains(u"2025"));
  const std::string bad = std::string(SInvalidPepperKeys) + ": line ";
  const struct {
    String Text;
    std::string Message;
  } cases[] = {
      {u"", std::string(SInvalidPepperKeys) + ": no key"},
      {u"# only a comment\n", std::string(SInvalidPepperKeys) + ": no key"},
      {u"2026\n", bad + "1"},
      {u"2026 xyz0\n", bad + "1"},
      {u"2026 000102030405060708090a0b0c0d0e\n", bad + "1"}, // 15 bytes
      {u"2026 " + String(130, u'a') + u"\n", bad + "1"},     // 65 bytes
      {u"bad/id 000102030405060708090a0b0c0d0e0f\n", bad + "1"},
      {kKeyOld + u"\n" + kKeyOld + u"\n", bad + "2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MessageOf([&] { TKLPepper::FromText(c.Text); }), c.Message) << test::Narrow(c.Text);
  }
}

} // namespace
} // namespace kl
