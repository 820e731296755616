#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "database/DatabaseTestSupport.h"
#include "database/KLDatabase.h"
#include "foundation/Convert.h"
#include "foundation/Exceptions.h"
#include "foundation/StringList.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::ExposedText;
using test::MessageOf;
using test::U;

constexpr const char* Corrupted = "Database is corrupted";

// A valid line for a user, made by the database itself.
String LineFor(std::int32_t UID, const String& Username, const String& Password) {
  ExposedText db;
  String salt, hash;
  db.TransformPassword(Password, salt, hash);
  return IntToStr(UID) + u":" + Username + u":" + salt + u":" + hash;
}

bool IsUpperHex(const String& Text) {
  for (const Char c : Text) {
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
  }
  return true;
}

std::vector<String> LinesOf(const std::string& Path) {
  TStringList list;
  list.LoadFromFile(U(Path));
  return {list.begin(), list.end()};
}

TEST(TextPasswordDatabase, SplitReadsTheFourFields) {
  struct Case {
    String Line;
    std::int32_t UID;
    String Username, Salt, Hash;
  };
  const std::vector<Case> cases = {
      {u"7:bob:SALT:HA:SH", 7, u"bob", u"SALT", u"HA:SH"},
      {u"1:::", 1, u"", u"", u""},
      {u"-3:x y:s:", -3, u"x y", u"s", u""},
      {u"+12:n:s:h", 12, u"n", u"s", u"h"},
      {u"2147483647:n::h:", 2147483647, u"n", u"", u"h:"},
  };
  for (const Case& c : cases) {
    std::int32_t uid = 0;
    String name, salt, hash;
    TKLTextPasswordDatabase::Split(c.Line, uid, name, salt, hash);
    EXPECT_EQ(uid, c.UID) << test::Narrow(c.Line);
    EXPECT_EQ(name, c.Username) << test::Narrow(c.Line);
    EXPECT_EQ(salt, c.Salt) << test::Narrow(c.Line);
    EXPECT_EQ(hash, c.Hash) << test::Narrow(c.Line);
  }
}

TEST(TextPasswordDatabase, SplitRejectsMalformedLines) {
  for (const char16_t* line : {u"", u"5", u"5:bob", u"5:bob:00", u"x:bob:s:h", u":bob:s:h", u" 5:bob:s:h",
                               u"5 :bob:s:h", u"2147483648:bob:s:h", u"0x5:bob:s:h"}) {
    std::int32_t uid = 42;
    String name = u"keep";
    String salt, hash;
    EXPECT_EQ(MessageOf([&] { TKLTextPasswordDatabase::Split(line, uid, name, salt, hash); }), Corrupted)
        << test::Narrow(line);
  }
}

// A file written before Argon2id: the old line verifies, and the upgrade keeps
// its salt field while the fast hash leaves the line.
TEST(TextPasswordDatabase, FileOfOldRecordsVerifiesAndUpgrades) {
  const String oldLine =
      u"1:alice:000102030405060708090A0B0C0D0E0F:67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C";
  for (const bool upgrade : {false, true}) {
    ExposedText db;
    db.SetSaveOnDestroy(false);
    db.OpenFromText(u"1\n" + oldLine + u"\n", u"unused");
    if (upgrade) {
      EXPECT_EQ(db.UpgradeHashes(), 1);
    }
    const TKLDatabaseRecord record = db.GetRecord(0);
    EXPECT_TRUE(IsUpperHex(record.Salt) && record.Salt.size() == 32);
    EXPECT_EQ(record.Hash.size() == 64, !upgrade);
    EXPECT_FALSE(db.Verify(u"alice", u"Secret"));
    EXPECT_TRUE(db.Verify(u"alice", u"secret"));
    EXPECT_EQ(HashSchemeOf(db.GetRecord(0)), hsArgon2id);
  }
}

TEST(TextPasswordDatabase, SavedFileHoldsCounterThenOneLinePerUser) {
  test::TempDir dir;
  const String file = dir.FileU("users.txt");
  TKLTextPasswordDatabase db;
  db.SetHashParameters(test::FastHashes());
  db.CreateNew(file);
  db.Save();
  EXPECT_EQ(test::ReadFileBytes(dir.File("users.txt")), "0\n");

  db.AddUser(u"A", u"a", false);
  db.AddUser(u"B", u"b", false);
  db.AddUser(U("\xC3\x89mile"), u"c", false);
  db.DeleteUser(String(u"B"));
  db.AddUser(u"D", u"d", false);
  db.Save();
  const std::string content = test::ReadFileBytes(dir.File("users.txt"));
  const std::vector<String> lines = LinesOf(dir.File("users.txt"));
  const std::vector<String> prefixes = {u"1:A:", U("3:\xC3\x89mile:"), u"4:D:"};
  ASSERT_EQ(lines.size(), 4u) << content;
  EXPECT_EQ(lines[0], u"4");
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    const String& line = lines[i + 1];
    const std::size_t n = prefixes[i].size();
    EXPECT_EQ(line.substr(0, n), prefixes[i]);
    // An empty salt, then the Argon2id string, which holds no colon.
    EXPECT_TRUE(line.substr(n, 11) == u":$argon2id$" && line.find(u':', n + 1) == String::npos) << content;
  }
  EXPECT_EQ(content.back(), '\n');
  EXPECT_EQ(content.find('\r'), std::string::npos);

  TKLTextPasswordDatabase reopened;
  reopened.SetSaveOnDestroy(false);
  reopened.Open(file);
  EXPECT_EQ(reopened.GetCount(), 3);
  EXPECT_TRUE(reopened.Verify(U("\xC3\x89mile"), u"c"));
  EXPECT_EQ(reopened.AddUser(u"E", u"e", false), 5);
}

TEST(TextPasswordDatabase, OpenRejectsAFileWithoutACounterLine) {
  test::TempDir dir;
  // A negative counter would hand out the identifiers -1 and 0, which no
  // look-up by UID can reach.
  for (const char* content : {"", "abc\n1:a:00:00\n", "\n", " 1\n", "1.0\n", "-1\n", "-2147483648\n1:a:00:00\n"}) {
    test::WriteFileBytes(dir.File("bad.txt"), content);
    TKLTextPasswordDatabase db;
    EXPECT_EQ(MessageOf([&] { db.Open(dir.FileU("bad.txt")); }), Corrupted) << content;
    EXPECT_FALSE(db.GetOpened());
  }
  TKLTextPasswordDatabase db;
  EXPECT_THROW(db.Open(dir.FileU("missing.txt")), EFOpenError);
}

// A name that is not UTF-8 would be read as U+FFFD and written back so by the
// next save of any other change: the file is refused at Open, naming the line.
TEST(TextPasswordDatabase, OpenRefusesALineThatIsNotUTF8AndNamesIt) {
  test::TempDir dir;
  const std::string good = test::Narrow(LineFor(1, u"ann", u"pw")) + "\n";
  const struct {
    std::string content;
    int line;
  } cases[] = {
      {"1\n" + good.substr(0, 2) + "caf\xE9" + good.substr(5), 2},
      {"2\r\n" + good + "2:b\xC0\xAF" + good.substr(3), 3},
      {"\xEF\xBB\xBF"
       "1\r" +
           good.substr(0, 2) + "\xFF" + good.substr(2),
       2},
  };
  for (const auto& c : cases) {
    test::WriteFileBytes(dir.File("db.txt"), c.content);
    TKLTextPasswordDatabase db;
    EXPECT_EQ(MessageOf([&] { db.Open(dir.FileU("db.txt")); }),
              std::string(Corrupted) + ": " + SInvalidUTF8Line + std::to_string(c.line));
    EXPECT_FALSE(db.GetOpened());
    EXPECT_EQ(test::ReadFileBytes(dir.File("db.txt")), c.content);
  }
  test::WriteFileBytes(dir.File("db.txt"), "1\n" + good.substr(0, 2) + "\xEF\xBF\xBD" + good.substr(5));
  TKLTextPasswordDatabase db;
  db.Open(dir.FileU("db.txt"));
  EXPECT_EQ(db.GetUID(u"\uFFFD"), 1);
}

// A damaged line is reported by every look-up that reaches it, and only by those.
TEST(TextPasswordDatabase, DamagedLineIsReportedByEveryLookupThatReachesIt) {
  ExposedText db;
  db.SetSaveOnDestroy(false);
  db.OpenFromText(u"3\n" + LineFor(1, u"alice", u"pw") + u"\n5:bob:00\n" + LineFor(2, u"carol", u"pw") + u"\n",
                  u"unused");
  EXPECT_EQ(db.GetCount(), 3);
  EXPECT_EQ(db.GetUID(u"alice"), 1);
  EXPECT_EQ(db.GetUsername(1), u"alice");
  EXPECT_TRUE(db.Exists(u"alice"));
  EXPECT_TRUE(db.Verify(u"alice", u"pw"));
  EXPECT_EQ(db.AddUser(u"alice", u"new", true), 1);
  EXPECT_TRUE(db.Verify(u"alice", u"new"));

  const std::vector<std::function<void()>> reaching = {
      [&] { db.GetRecord(1); },
      [&] { db.GetUID(u"carol"); },
      [&] { db.GetUID(u"nobody"); },
      [&] { db.Exists(u"carol"); },
      [&] { db.GetUsername(2); },
      [&] { db.Verify(u"carol", u"pw"); },
      [&] { db.DeleteUser(String(u"carol")); },
      [&] { db.DeleteUser(2); },
      [&] { db.AddUser(u"dave", u"pw", false); },
  };
  for (std::size_t i = 0; i < reaching.size(); ++i) {
    EXPECT_EQ(MessageOf(reaching[i]), Corrupted) << "case " << i;
    EXPECT_EQ(db.GetCount(), 3) << "case " << i;
  }
  EXPECT_EQ(db.GetRecord(2).Username, u"carol");
  EXPECT_TRUE(db.DeleteUser(1));
  EXPECT_EQ(MessageOf([&] { db.GetUID(u"alice"); }), Corrupted);
}

TEST(TextPasswordDatabase, VerifyRejectsDamagedSaltsAndHashes) {
  const String goodSalt = u"000102030405060708090A0B0C0D0E0F";
  const String goodHash = u"BE45CB2605BF36BEBDE684841A28F0FD43C69850A3DCE5FEDBA69928EE3A8991";
  struct Case {
    String Salt, Hash;
    std::string Expected;
  };
  const std::vector<Case> cases = {
      {goodSalt, goodHash, "(nothing)"},
      {goodSalt, u"be45cb2605bf36bebde684841a28f0fd43c69850a3dce5fedba69928ee3a8991", "(nothing)"},
      {u"", goodHash, Corrupted},
      {goodSalt.substr(1), goodHash, Corrupted},
      {goodSalt, u"", Corrupted},
      {goodSalt, goodHash.substr(0, 63), Corrupted},
      // A hash cut short would otherwise match about one password in 256.
      {goodSalt, goodHash.substr(0, 2), Corrupted},
      {goodSalt, goodHash.substr(0, 62), Corrupted},
      {goodSalt, goodHash + u"00", Corrupted},
      // Text that is not hex is a damaged record too, not a conversion error.
      {goodSalt.substr(0, 30) + u"ZZ", goodHash, Corrupted},
      {u"", u"XY", Corrupted},
  };
  for (const Case& c : cases) {
    ExposedText db;
    db.SetSaveOnDestroy(false);
    db.OpenFromText(u"1\n1:u:" + c.Salt + u":" + c.Hash + u"\n", u"unused");
    EXPECT_EQ(MessageOf([&] { EXPECT_TRUE(db.Verify(u"u", u"")); }), c.Expected)
        << test::Narrow(c.Salt) << " / " << test::Narrow(c.Hash);
  }
}

TEST(TextPasswordDatabase, FirstLineOfANameDecidesAndUIDsBelowOneDoNotExist) {
  ExposedText db;
  db.SetSaveOnDestroy(false);
  db.OpenFromText(u"8\n" + LineFor(0, u"root", u"zero") + u"\n" + LineFor(3, u"root", u"three") + u"\n" +
                      LineFor(4, u"bob", u"first") + u"\n" + LineFor(4, u"eve", u"x") + u"\n" +
                      LineFor(6, u"bob", u"second") + u"\n",
                  u"unused");
  EXPECT_EQ(db.GetUID(u"root"), 0);
  EXPECT_FALSE(db.Exists(u"root"));
  EXPECT_TRUE(db.Verify(u"root", u"zero"));
  EXPECT_FALSE(db.Verify(u"root", u"three"));
  EXPECT_FALSE(db.DeleteUser(String(u"root")));
  EXPECT_EQ(db.GetUsername(4), u"bob");
  EXPECT_TRUE(db.Verify(u"bob", u"first"));
  EXPECT_FALSE(db.Verify(u"bob", u"second"));
  EXPECT_EQ(db.AddUser(u"bob", u"changed", true), 4);
  EXPECT_TRUE(db.Verify(u"bob", u"changed"));
  EXPECT_TRUE(db.Verify(u"eve", u"x"));
  // root does not exist, so adding it appends a new line that the first one still hides.
  EXPECT_EQ(db.AddUser(u"root", u"new", false), 9);
  EXPECT_EQ(db.GetUID(u"root"), 0);
  EXPECT_EQ(db.GetCount(), 6);
  // Deleting by UID removes the first line carrying it only.
  EXPECT_TRUE(db.DeleteUser(4));
  EXPECT_EQ(db.GetUsername(4), u"eve");
}

TEST(TextPasswordDatabase, AddUserRefusesNamesTheFormatCannotCarry) {
  TKLTextPasswordDatabase db;
  db.AddUser(u"ok", u"pw", false);
  for (const char16_t* name : {u"a:b", u":", u"a\nb", u"a\r", u"\r\n", u"ok:"}) {
    EXPECT_EQ(MessageOf([&] { db.AddUser(name, u"pw", true); }), "Invalid user name");
  }
  EXPECT_EQ(db.GetCount(), 1);
  EXPECT_EQ(db.AddUser(u"next", u"pw", false), 2);
}

TEST(TextPasswordDatabase, AddUserWhenNoIdentifierIsLeftChangesNothing) {
  ExposedText db;
  db.OpenFromText(u"2147483647\n", u"unused");
  db.SetSaveOnDestroy(false);
  EXPECT_EQ(MessageOf([&] { db.AddUser(u"x", u"pw", false); }), Corrupted);
  EXPECT_EQ(db.GetCount(), 0);
}

TEST(TextPasswordDatabase, FailedOpenLeavesTheDatabaseAsItWas) {
  test::TempDir dir;
  const String first = dir.FileU("first.txt");
  {
    TKLTextPasswordDatabase db;
    db.CreateNew(first);
    db.AddUser(u"alice", u"pw", false);
  }
  test::WriteFileBytes(dir.File("empty.txt"), "");
  test::WriteFileBytes(dir.File("bad.txt"), "x\n");
  const std::string before = test::ReadFileBytes(dir.File("first.txt"));

  auto db = std::make_unique<TKLTextPasswordDatabase>();
  db->Open(first);
  db->AddUser(u"bob", u"pw", false);
  for (const char* other : {"missing.txt", "empty.txt", "bad.txt"}) {
    EXPECT_THROW(db->Open(dir.FileU(other)), Exception) << other;
    EXPECT_EQ(db->GetURI(), first);
    EXPECT_EQ(db->GetCount(), 2);
    EXPECT_TRUE(db->Verify(u"bob", u"pw"));
  }
  EXPECT_EQ(db->AddUser(u"carol", u"pw", false), 3);
  db.reset(); // saves on destruction, to the first file
  EXPECT_NE(test::ReadFileBytes(dir.File("first.txt")), before);
  EXPECT_EQ(test::ReadFileBytes(dir.File("empty.txt")), "");
  EXPECT_EQ(test::ReadFileBytes(dir.File("bad.txt")), "x\n");
  TKLTextPasswordDatabase reopened;
  reopened.SetSaveOnDestroy(false);
  reopened.Open(first);
  EXPECT_EQ(reopened.GetCount(), 3);
  EXPECT_TRUE(reopened.Verify(u"carol", u"pw"));
}

TEST(TextPasswordDatabase, DestructionSavesOnlyWhenAskedTo) {
  test::TempDir dir;
  for (const bool saveOnDestroy : {false, true}) {
    test::WriteFileBytes(dir.File("u.txt"), "0\n");
    {
      TKLTextPasswordDatabase db;
      db.Open(dir.FileU("u.txt"));
      db.SetSaveOnDestroy(saveOnDestroy);
      db.AddUser(u"a", u"pw", false);
    }
    EXPECT_EQ(test::ReadFileBytes(dir.File("u.txt")) != "0\n", saveOnDestroy);
  }
  TKLTextPasswordDatabase never;
  never.AddUser(u"a", u"pw", false);
  EXPECT_EQ(MessageOf([&] { never.Save(); }), "Database is not opened");
  // A save on destruction that cannot write is swallowed.
  TKLTextPasswordDatabase unwritable;
  unwritable.CreateNew(dir.FileU("no/such/folder/u.txt"));
  EXPECT_THROW(unwritable.Save(), EFileError);
}

} // namespace
} // namespace kl
