// What the user databases do about the file under them: another process that
// saved it meanwhile, and a save on destruction that fails. Each test runs
// over both database classes.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "database/KLDatabase.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

template <class DB>
class DatabaseFileSafetyTest : public ::testing::Test {
protected:
  std::unique_ptr<DB> Make() {
    auto db = std::make_unique<DB>();
    db->SetSaveOnDestroy(false);
    if constexpr (std::is_same_v<DB, TKLBinaryPasswordDatabase>) db->SetPassword(u"master");
    return db;
  }
  test::TempDir FDir;
};

using DatabaseClasses = ::testing::Types<TKLTextPasswordDatabase, TKLBinaryPasswordDatabase>;
TYPED_TEST_SUITE(DatabaseFileSafetyTest, DatabaseClasses);

// Two editors open the same file; the second saves first. The first one's
// save would drop that user: asked to, it refuses, and the file keeps both
// its own earlier state and the other's user. Unasked, it overwrites as before.
TYPED_TEST(DatabaseFileSafetyTest, ASaveRefusesAFileThatChangedSinceOpenWhenAsked) {
  const String file = this->FDir.FileU("users");
  {
    auto seed = this->Make();
    seed->CreateNew(file);
    seed->Save();
  }
  for (const bool refuse : {true, false}) {
    auto first = this->Make();
    auto second = this->Make();
    first->SetRefuseChangedFile(refuse);
    first->Open(file);
    second->Open(file);
    const String otherName = refuse ? u"other-refused" : u"other-kept";
    second->AddUser(otherName, u"pw", false);
    second->Save();
    first->AddUser(u"mine", u"pw", true);
    auto reopened = this->Make();
    if (refuse) {
      EXPECT_THROW(first->Save(), EFileChangedError);
      reopened->Open(file);
      EXPECT_TRUE(reopened->Exists(otherName));
      EXPECT_FALSE(reopened->Exists(u"mine"));
    } else {
      first->Save();
      reopened->Open(file);
      EXPECT_FALSE(reopened->Exists(otherName));
      EXPECT_TRUE(reopened->Exists(u"mine"));
    }
  }
  // Its own saves do not count as changes.
  auto db = this->Make();
  db->SetRefuseChangedFile(true);
  db->Open(file);
  db->AddUser(u"a", u"pw", false);
  db->Save();
  db->AddUser(u"b", u"pw", false);
  EXPECT_NO_THROW(db->Save());
}

TYPED_TEST(DatabaseFileSafetyTest, AFailedSaveOnDestroyReachesTheHandler) {
  const std::string folder = this->FDir.File("gone");
  std::filesystem::create_directory(folder);
  const String file = UTF8ToStr(folder + "/users");
  std::string reported;
  String reportedURI;
  {
    auto db = this->Make();
    db->CreateNew(file);
    db->Save();
    db->AddUser(u"lost", u"pw", false);
    db->SetSaveOnDestroy(true);
    db->SetOnSaveError([&](const TKLPasswordDatabase& Sender, const std::exception& Error) {
      reportedURI = Sender.GetURI();
      reported = Error.what();
      throw std::runtime_error("a handler that throws is harmless");
    });
    std::filesystem::remove_all(folder);
  }
  EXPECT_EQ(reportedURI, file);
  EXPECT_NE(reported.find("gone/users"), std::string::npos) << reported;
}

TEST(TextPasswordDatabaseFile, OpenRefusesAFileBeyondTheLimit) {
  test::TempDir dir;
  test::WriteFileBytes(dir.File("users"), "0\n"); // two bytes
  TKLTextPasswordDatabase db;
  db.SetSaveOnDestroy(false);
  db.SetMaxFileSize(1);
  EXPECT_THROW(db.Open(dir.FileU("users")), EFOpenError);
  EXPECT_FALSE(db.GetOpened());
  db.SetMaxFileSize(2);
  db.Open(dir.FileU("users"));
  EXPECT_TRUE(db.GetOpened());
}

} // namespace
} // namespace kl
