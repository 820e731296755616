// A KDBX entry's history as the record's versions: read, kept through an
// edit in place with what the records do not model, and written back.
#include <gtest/gtest.h>

#include <string>

#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTestFiles.h"
#include "random/KLRandom.h"

namespace kl {
namespace {

using test::KdbxTestKey;

TEST(KdbxHistory, AnEditInPlaceAddsTheEntryAsItWasToTheHistoryAndKeepsTheOldVersions) {
  const std::string uuid = "<UUID>AQEBAQEBAQEBAQEBAQEBAQ==</UUID>";
  const auto entry = [&](const char* Password, const char* Icon, const char* Modified) {
    return "<Entry>" + uuid + "<IconID>" + Icon + "</IconID><Times><LastModificationTime>" + Modified +
           "</LastModificationTime></Times><String><Key>Title</Key><Value>Mail</Value></String>"
           "<String><Key>Password</Key><Value>" + Password + "</Value></String>";
  };
  const std::string xml = "<KeePassFile><Meta/><Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Root</Name>" +
                          entry("now", "5", "2024-05-01T00:00:00Z") + "<History>" +
                          entry("old", "7", "2023-01-01T00:00:00Z") + "</Entry></History></Entry>" +
                          "</Group><DeletedObjects/></Root></KeePassFile>";
  TMemoryStream file(test::KdbxFileOfXml(xml));

  TKLPassStorage store;
  store.LoadFromStream(file, u"pw");
  ASSERT_EQ(store.GetCount(), 1);
  TKLPassRecord* rec = store.GetRecord(0);
  ASSERT_EQ(rec->GetHistoryCount(), 1);
  EXPECT_EQ(rec->GetHistoryItem(0)->GetPassword(), u"old");
  rec->SetPassword(u"new");
  TMemoryStream saved;
  store.SaveToStream(saved, u"pw");
  saved.SetPosition(0);

  const detail::TKdbxDocument back = detail::ReadKdbx(saved, KdbxTestKey());
  const detail::TXmlNode* saved_entry = back.Root.Find("Root")->Find("Group")->Find("Entry");
  ASSERT_NE(saved_entry, nullptr);
  const detail::TXmlNode* history = saved_entry->Find("History");
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->Children.size(), 2u);
  // Each version keeps its own icon: the old one the file's, the new one the entry's before the edit.
  const char* icons[] = {"7", "5"};
  const char* passwords[] = {"old", "now"};
  for (std::size_t i = 0; i < 2; ++i) {
    const detail::TXmlNode& version = history->Children[i];
    EXPECT_EQ(version.Find("IconID")->Text, icons[i]);
    EXPECT_EQ(version.Find("History"), nullptr);
    std::string password;
    for (const detail::TXmlNode& child : version.Children) {
      if (child.Name == "String" && child.Find("Key")->Text == "Password") password = child.Find("Value")->Text;
    }
    EXPECT_EQ(password, passwords[i]);
  }
  EXPECT_EQ(saved_entry->Find("IconID")->Text, "5");
}

} // namespace
} // namespace kl
