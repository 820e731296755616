// A KDBX file's recycle bin as the store's: its entries read as records of
// the bin's group and written back into it, and a delete moving a record
// there (the bin made where the file has none) before a second one removes it.
#include <gtest/gtest.h>

#include <string>

#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTestFiles.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TXmlNode;

constexpr const char* kRoot = "AAAAAAAAAAAAAAAAAAAAEA==";
constexpr const char* kBin = "AAAAAAAAAAAAAAAAAAAACQ==";
constexpr const char* kDeletedGroup = "AAAAAAAAAAAAAAAAAAAAEQ==";
constexpr const char* kMail = "AAAAAAAAAAAAAAAAAAAAAQ==";

std::string Entry(const char* Uuid, const char* Title, const char* Times, const std::string& Rest = {}) {
  return std::string("<Entry><UUID>") + Uuid + "</UUID><Times>" + Times + "</Times><String><Key>Title</Key><Value>" +
         Title + "</Value></String>" + Rest + "</Entry>";
}

// Mail at the root; the bin "Trash" (its own icon, time and custom data)
// holding Old, with a version, and a group deleted into it.
std::string File(const std::string& Meta) {
  return "<KeePassFile><Meta>" + Meta + "</Meta><Root><Group><UUID>" + kRoot + "</UUID><Name>Root</Name>" +
         Entry(kMail, "Mail", "<LocationChanged>2020-01-01T00:00:00Z</LocationChanged><UsageCount>3</UsageCount>") +
         "<Group><UUID>" + kBin +
         "</UUID><Name>Trash</Name><IconID>43</IconID><Times><CreationTime>"
         "2019-05-05T00:00:00Z</CreationTime></Times><CustomData><Item><Key>k</Key><Value>v</Value></Item>"
         "</CustomData>" +
         Entry("AAAAAAAAAAAAAAAAAAAAAg==", "Old",
               "<LastModificationTime>2021-02-03T04:05:06Z</LastModificationTime><UsageCount>7</UsageCount>",
               "<String><Key>UserName</Key><Value>bob</Value></String><History>" +
                   Entry("AAAAAAAAAAAAAAAAAAAAAg==", "Older",
                         "<LastModificationTime>2020-02-03T04:05:06Z</LastModificationTime>") +
                   "</History>") +
         "<Group><UUID>" + kDeletedGroup + "</UUID><Name>Deleted group</Name>" +
         Entry("AAAAAAAAAAAAAAAAAAAAAw==", "Inside", "") +
         "</Group></Group></Group><DeletedObjects/></Root></KeePassFile>";
}

const std::string kWithBin =
    std::string("<RecycleBinEnabled>True</RecycleBinEnabled><RecycleBinUUID>") + kBin + "</RecycleBinUUID>";
const std::string kNoBinYet =
    "<RecycleBinEnabled>True</RecycleBinEnabled><RecycleBinUUID>AAAAAAAAAAAAAAAAAAAAAA==</RecycleBinUUID>";
// KeePassXC reads a bin that Meta does not switch as on.
const std::string kBinImplied = std::string("<RecycleBinUUID>") + kBin + "</RecycleBinUUID>";
const std::string kBinOff =
    std::string("<RecycleBinEnabled>False</RecycleBinEnabled><RecycleBinUUID>") + kBin + "</RecycleBinUUID>";

std::string Text(const TXmlNode* Node) { return Node != nullptr ? Node->Text : "(none)"; }

std::string TitleOf(const TXmlNode& Entry) {
  for (const TXmlNode& child : Entry.Children) {
    if (child.Name == "String" && Text(child.Find("Key")) == "Title") return Text(child.Find("Value"));
  }
  return {};
}

const TXmlNode* GroupById(const TXmlNode& Group, const std::string& Uuid) {
  if (Text(Group.Find("UUID")) == Uuid) return &Group;
  for (const TXmlNode& child : Group.Children) {
    const TXmlNode* found = child.Name == "Group" ? GroupById(child, Uuid) : nullptr;
    if (found != nullptr) return found;
  }
  return nullptr;
}

const TXmlNode* EntryIn(const TXmlNode* Group, const std::string& Title) {
  if (Group == nullptr) return nullptr;
  for (const TXmlNode& child : Group->Children) {
    if (child.Name == "Entry" && TitleOf(child) == Title) return &child;
  }
  return nullptr;
}

// The group holding the entry titled Title, anywhere in the tree.
const TXmlNode* GroupHolding(const TXmlNode& Group, const std::string& Title) {
  if (EntryIn(&Group, Title) != nullptr) return &Group;
  for (const TXmlNode& child : Group.Children) {
    const TXmlNode* found = child.Name == "Group" ? GroupHolding(child, Title) : nullptr;
    if (found != nullptr) return found;
  }
  return nullptr;
}

TKLPassRecord* Titled(TKLPassStorage& Store, const String& Title) {
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    if (Store.GetRecord(i)->GetTitle() == Title) return Store.GetRecord(i);
  }
  return nullptr;
}

struct TSaved {
  detail::TKdbxDocument Doc;
  TMemoryStream File;
  const TXmlNode& Meta() const { return *Doc.Root.Find("Meta"); }
  const TXmlNode& Root() const { return *Doc.Root.Find("Root")->Find("Group"); }
  const TXmlNode* Bin() const { return GroupById(Root(), Text(Meta().Find("RecycleBinUUID"))); }
};

void Save(TKLPassStorage& Store, TSaved& Out) {
  Store.SaveToStream(Out.File, u"pw");
  Out.File.SetPosition(0);
  Out.Doc = detail::ReadKdbx(Out.File, test::KdbxTestKey());
  Out.File.SetPosition(0);
}

TEST(KdbxRecycleBin, TheBinsEntriesAreRecordsOfItsGroupAndGoBackIntoItWithAllTheyHold) {
  TMemoryStream file(test::KdbxFileOfXml(File(kWithBin)));
  TKLPassStorage store;
  store.LoadFromStream(file, u"pw");
  EXPECT_TRUE(store.GetRecycleBinEnabled());
  EXPECT_EQ(store.GetRecycleBinGroup(), u"Trash");
  ASSERT_EQ(store.GetCount(), 2); // the deleted group's entry stays carried
  TKLPassRecord* old = Titled(store, u"Old");
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->GetGroup(), u"Trash");
  EXPECT_EQ(old->GetUsername(), u"bob");
  ASSERT_EQ(old->GetHistoryCount(), 1);
  EXPECT_EQ(old->GetHistoryItem(0)->GetTitle(), u"Older");
  EXPECT_EQ(store.GetKdbxCarried().RecycledEntries, 1);

  TSaved saved;
  Save(store, saved);
  EXPECT_EQ(Text(saved.Meta().Find("RecycleBinUUID")), kBin);
  EXPECT_EQ(Text(saved.Meta().Find("RecycleBinEnabled")), "True");
  const TXmlNode* bin = saved.Bin();
  ASSERT_NE(bin, nullptr);
  EXPECT_EQ(Text(bin->Find("Name")), "Trash");
  EXPECT_EQ(Text(bin->Find("IconID")), "43");
  EXPECT_EQ(Text(bin->Find("Times")->Find("CreationTime")), "2019-05-05T00:00:00Z");
  EXPECT_EQ(Text(bin->Find("CustomData")->Find("Item")->Find("Value")), "v");
  const TXmlNode* entry = EntryIn(bin, "Old");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Text(entry->Find("Times")->Find("UsageCount")), "7");
  EXPECT_EQ(Text(entry->Find("Times")->Find("LastModificationTime")), "2021-02-03T04:05:06Z");
  ASSERT_NE(entry->Find("History"), nullptr);
  ASSERT_EQ(entry->Find("History")->Children.size(), 1u);
  EXPECT_EQ(TitleOf(entry->Find("History")->Children[0]), "Older");
  EXPECT_NE(EntryIn(GroupById(saved.Root(), kDeletedGroup), "Inside"), nullptr);
  EXPECT_EQ(Text(EntryIn(&saved.Root(), "Mail")->Find("Times")->Find("UsageCount")), "3");

  TKLPassStorage again;
  again.LoadFromStream(saved.File, u"pw");
  ASSERT_EQ(again.GetCount(), 2);
  EXPECT_EQ(Titled(again, u"Old")->GetGroup(), u"Trash");
  EXPECT_EQ(Titled(again, u"Old")->GetHistoryCount(), 1);
}

struct TDeleteCase {
  const char* Name;
  const std::string* Meta; // nullptr: a new KDBX store holding Mail
  bool Permanently;
  TKLPassDeleteResult Result;
  const Char* BinGroup; // where Mail goes when recycled
  const char* BinUuid;  // the file's bin after the save; "" for a bin made by it
};

class KdbxRecycleBinDelete : public ::testing::TestWithParam<TDeleteCase> {};

TEST_P(KdbxRecycleBinDelete, MovesToTheFilesBinThenASecondDeleteRemoves) {
  const TDeleteCase& c = GetParam();
  TKLPassStorage store;
  if (c.Meta != nullptr) {
    TMemoryStream file(test::KdbxFileOfXml(File(*c.Meta)));
    store.LoadFromStream(file, u"pw");
  } else {
    TKLKdbxSettings cheap;
    cheap.Kdf = kkAesKdf;
    cheap.Iterations = 1;
    store.SetKdbxSettings(cheap);
    store.SetSaveFormat(pfKdbx);
    store.Add(u"Mail", u"", u"p", u"", u"", u"Home");
  }
  TKLPassRecord* mail = Titled(store, u"Mail");
  const std::int64_t movedBefore = mail->GetLocationChangeDate();
  ASSERT_EQ(store.DeleteRecord(mail, c.Permanently), c.Result);
  TSaved saved;
  Save(store, saved);
  if (c.Result == drRemoved) {
    EXPECT_EQ(GroupHolding(saved.Root(), "Mail"), nullptr);
    const TXmlNode& objects = *saved.Doc.Root.Find("Root")->Find("DeletedObjects");
    ASSERT_EQ(objects.Children.size(), 1u);
    EXPECT_EQ(Text(objects.Children[0].Find("UUID")), kMail);
    EXPECT_EQ(Text(saved.Meta().Find("RecycleBinUUID")), kBin);
    EXPECT_EQ(Text(saved.Meta().Find("RecycleBinEnabled")), c.Meta == &kBinOff ? "False" : "True");
    return;
  }
  EXPECT_EQ(mail->GetGroup(), String(c.BinGroup));
  if (c.Meta != nullptr) {
    EXPECT_NE(mail->GetLocationChangeDate(), movedBefore); // 2020 in the file
  }
  const TXmlNode* bin = saved.Bin();
  ASSERT_NE(bin, nullptr) << "Meta/RecycleBinUUID names no group";
  EXPECT_EQ(GroupHolding(saved.Root(), "Mail"), bin);
  EXPECT_EQ(Text(bin->Find("Name")), test::Narrow(c.BinGroup));
  if (*c.BinUuid != '\0') {
    EXPECT_EQ(Text(bin->Find("UUID")), c.BinUuid);
  } else {
    EXPECT_NE(Text(bin->Find("UUID")), "AAAAAAAAAAAAAAAAAAAAAA==");
    EXPECT_EQ(Text(bin->Find("IconID")), "43");
    EXPECT_EQ(Text(bin->Find("EnableSearching")), "false");
    EXPECT_NE(saved.Meta().Find("RecycleBinChanged"), nullptr);
  }

  TKLPassStorage again;
  again.LoadFromStream(saved.File, u"pw");
  EXPECT_EQ(again.GetRecycleBinGroup(), String(c.BinGroup));
  TKLPassRecord* back = Titled(again, u"Mail");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetGroup(), String(c.BinGroup));
  EXPECT_EQ(back->GetLocationChangeDate(), mail->GetLocationChangeDate());
  const TKLPassUuid uuid = back->GetUuid();
  ASSERT_EQ(again.DeleteRecord(back), drRemoved);
  TSaved last;
  Save(again, last);
  EXPECT_EQ(GroupHolding(last.Root(), "Mail"), nullptr);
  const TXmlNode& objects = *last.Doc.Root.Find("Root")->Find("DeletedObjects");
  ASSERT_FALSE(objects.Children.empty());
  EXPECT_EQ(Text(objects.Children.back().Find("UUID")), detail::Base64Encode(uuid.data(), uuid.size()));
  EXPECT_NE(last.Bin(), nullptr) << "the bin went with its last entry";
}

const TDeleteCase kDeleteCases[] = {
    {"IntoTheFilesBin", &kWithBin, false, drRecycled, u"Trash", kBin},
    {"IntoTheBinOfAFileLeavingOutItsSwitch", &kBinImplied, false, drRecycled, u"Trash", kBin},
    {"IntoABinTheFirstDeletionMakes", &kNoBinYet, false, drRecycled, u"Recycle Bin", ""},
    {"IntoTheBinOfANewFile", nullptr, false, drRecycled, u"Recycle Bin", ""},
    {"NowhereWhileTheFileHasItsBinOff", &kBinOff, false, drRemoved, nullptr, nullptr},
    {"NowhereWhenPermanent", &kWithBin, true, drRemoved, nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, KdbxRecycleBinDelete, ::testing::ValuesIn(kDeleteCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace kl
