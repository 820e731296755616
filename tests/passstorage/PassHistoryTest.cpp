#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"

namespace kl {
namespace {

const TKLKdfParameters kFastKdf{8192, 1};

// A store holding one record, saved once so that its next change is a new edit.
struct Held {
  TKLPassStorage Store;
  TKLPassRecord* Rec = nullptr;
  Held() {
    Store.SetKdfParameters(kFastKdf);
    Rec = Store.GetRecord(Store.Add(u"Mail", u"alice", u"old", u"https://mail", u"note", u"Work"));
    Rec->SetCustomField(u"pin", u"1234", true);
    Rec->SetAttachment(u"key.pem", ByteArray(1000, 7));
    TMemoryStream strm;
    Store.SaveToStream(strm, u"");
  }
};

std::unique_ptr<TKLPassStorage> RoundTrip(TKLPassStorage& Store, std::int64_t* Size = nullptr) {
  TMemoryStream strm;
  Store.SaveToStream(strm, u"pw");
  if (Size != nullptr) *Size = strm.GetSize();
  strm.SetPosition(0);
  auto back = std::make_unique<TKLPassStorage>();
  back->SetKdfParameters(kFastKdf);
  back->LoadFromStream(strm, u"pw");
  return back;
}

struct ChangeCase {
  const char* name;
  std::function<void(TKLPassRecord&)> change;
};

class HistoryChange : public ::testing::TestWithParam<ChangeCase> {};

// Every kind of change keeps the version before it, whole.
TEST_P(HistoryChange, KeepsThePreviousVersionWhole) {
  Held h;
  GetParam().change(*h.Rec);
  ASSERT_EQ(h.Rec->GetHistoryCount(), 1);
  TKLPassRecord* old = h.Rec->GetHistoryItem(0);
  EXPECT_EQ(old->GetPassword(), u"old");
  EXPECT_EQ(old->GetTitle(), u"Mail");
  TKLPassField pin;
  ASSERT_TRUE(old->FindCustomField(u"pin", pin));
  EXPECT_EQ(pin.Value, u"1234");
  EXPECT_TRUE(pin.Protected);
  ByteArray key;
  ASSERT_TRUE(old->GetAttachment(u"key.pem", key));
  EXPECT_EQ(key, ByteArray(1000, 7));
  EXPECT_EQ(old->GetUuid(), h.Rec->GetUuid());
  EXPECT_EQ(old->GetLastAccessDate(), 0); // reading a version stamps nothing
}

INSTANTIATE_TEST_SUITE_P(
    Setters, HistoryChange,
    ::testing::Values(ChangeCase{"Password", [](TKLPassRecord& r) { r.SetPassword(u"new"); }},
                      ChangeCase{"Note", [](TKLPassRecord& r) { r.SetNote(u"other"); }},
                      ChangeCase{"Field", [](TKLPassRecord& r) { r.SetCustomField(u"pin", u"9999", true); }},
                      ChangeCase{"NewField", [](TKLPassRecord& r) { r.SetCustomField(u"x", u"y"); }},
                      ChangeCase{"Fields", [](TKLPassRecord& r) { r.SetCustomFields({}); }},
                      ChangeCase{"DeleteField", [](TKLPassRecord& r) { r.DeleteCustomField(u"pin"); }},
                      ChangeCase{"Tags", [](TKLPassRecord& r) { r.SetTags({u"t"}); }},
                      ChangeCase{"Expires", [](TKLPassRecord& r) { r.SetExpires(true); }},
                      ChangeCase{"Expiry", [](TKLPassRecord& r) { r.SetExpiryDate(99); }},
                      ChangeCase{"Attachment", [](TKLPassRecord& r) { r.SetAttachment(u"key.pem", {1}); }},
                      ChangeCase{"DeleteAttachment", [](TKLPassRecord& r) { r.DeleteAttachment(u"key.pem"); }}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(PassHistory, OneVersionPerEditNoneForMovesUnchangedValuesOrRecordsBeingMade) {
  Held h;
  EXPECT_EQ(h.Rec->GetHistoryCount(), 0); // its making kept nothing
  h.Rec->SetPassword(u"old");              // no change
  h.Rec->SetGroup(u"Home");                // a move
  EXPECT_EQ(h.Rec->GetHistoryCount(), 0);
  h.Rec->SetPassword(u"p1");
  h.Rec->SetUsername(u"bob");
  EXPECT_EQ(h.Rec->GetHistoryCount(), 1);
  h.Rec->EndEdit();
  h.Rec->SetPassword(u"p2");
  EXPECT_EQ(h.Rec->GetHistoryCount(), 2);
  EXPECT_EQ(h.Rec->GetHistoryItem(1)->GetPassword(), u"p1");
  EXPECT_EQ(h.Rec->GetHistoryItem(1)->GetUsername(), u"bob");
  TKLPassRecord loose(u"t", u"u", u"p", u"", u"", u"g");
  loose.SetPassword(u"q");
  EXPECT_EQ(loose.GetHistoryCount(), 0);
  auto made = std::make_unique<TKLPassRecord>();
  TKLPassRecord* added = made.get();
  h.Store.Add(made.release());
  added->SetTitle(u"filled in after Add");
  added->SetPassword(u"pw");
  EXPECT_EQ(added->GetHistoryCount(), 0);
}

struct BoundCase {
  const char* name;
  std::int32_t maxItems;
  std::int64_t maxBytes;
  std::int32_t edits;
  std::int32_t kept;
};

String Numbered(std::int32_t I) {
  String text = u"p";
  for (const char c : std::to_string(I)) text += static_cast<char16_t>(c);
  return text;
}

class HistoryBounds : public ::testing::TestWithParam<BoundCase> {};

// The oldest versions go first; an attachment every version shares counts once.
TEST_P(HistoryBounds, DropTheOldestVersions) {
  const BoundCase& c = GetParam();
  Held h;
  h.Store.SetHistoryMaxItems(c.maxItems);
  h.Store.SetHistoryMaxBytes(c.maxBytes);
  for (std::int32_t i = 0; i < c.edits; ++i) {
    h.Rec->SetPassword(Numbered(i));
    h.Rec->EndEdit();
  }
  ASSERT_EQ(h.Rec->GetHistoryCount(), c.kept);
  if (c.kept > 0) {
    EXPECT_EQ(h.Rec->GetHistoryItem(c.kept - 1)->GetPassword(), Numbered(c.edits - 2));
  }
}

// One version: its texts (about 60 bytes as UTF-16) and a 14-byte field
// beside the 1,000-byte attachment they all share.
INSTANTIATE_TEST_SUITE_P(Cases, HistoryBounds,
                         ::testing::Values(BoundCase{"Defaults", 10, 6 << 20, 15, 10},
                                           BoundCase{"Count", 3, -1, 5, 3},
                                           BoundCase{"NoBound", -1, -1, 25, 25},
                                           BoundCase{"SharedAttachmentOnce", -1, 1400, 8, 4},
                                           BoundCase{"TooSmallForAny", -1, 500, 3, 0},
                                           BoundCase{"None", 0, -1, 3, 0}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST(PassHistory, RestoreBringsBackTheVersionAndKeepsThePresentOne) {
  Held h;
  h.Rec->SetPassword(u"new");
  h.Rec->DeleteAttachment(u"key.pem");
  h.Rec->SetTags({u"changed"});
  const std::int64_t before = NowUnixSeconds();
  h.Rec->RestoreHistoryItem(0);
  EXPECT_GE(h.Rec->GetModificationDate(), before);
  EXPECT_EQ(h.Rec->GetPassword(), u"old");
  EXPECT_EQ(h.Rec->GetTags().size(), 0u);
  ByteArray key;
  EXPECT_TRUE(h.Rec->GetAttachment(u"key.pem", key));
  ASSERT_EQ(h.Rec->GetHistoryCount(), 2);
  EXPECT_EQ(h.Rec->GetHistoryItem(1)->GetPassword(), u"new");
  EXPECT_EQ(h.Rec->GetHistoryItem(1)->GetAttachmentCount(), 0);
  EXPECT_THROW(h.Rec->RestoreHistoryItem(2), EListError);
  EXPECT_EQ(h.Rec->GetPassword(), u"old");
}

// Versions, their shared attachment (stored once), the location change, the
// deleted objects and the settings come back from a save.
TEST(PassHistory, AVaultKeepsVersionsDeletionsAndSettingsWithTheAttachmentStoredOnce) {
  Held h;
  std::int64_t plain = 0;
  RoundTrip(h.Store, &plain);
  for (const char16_t* pw : {u"a", u"b", u"c"}) {
    h.Rec->SetPassword(pw);
    h.Rec->EndEdit();
  }
  h.Rec->SetGroup(u"Home");
  const std::int64_t moved = h.Rec->GetLocationChangeDate();
  TKLPassRecord* gone = h.Store.GetRecord(h.Store.Add(u"Old", u"", u"", u"", u"", u"Work"));
  const TKLPassUuid goneUuid = gone->GetUuid();
  ASSERT_EQ(h.Store.DeleteRecord(gone, true), drRemoved);
  h.Store.SetHistoryMaxItems(7);
  h.Store.SetRecycleBinEnabled(false);
  std::int64_t size = 0;
  const auto back = RoundTrip(h.Store, &size);
  EXPECT_LT(size - plain, 2000); // three versions, not three more copies of 1,000 bytes
  ASSERT_EQ(back->GetCount(), 1);
  TKLPassRecord* rec = back->GetRecord(0);
  EXPECT_EQ(rec->GetLocationChangeDate(), moved);
  ASSERT_EQ(rec->GetHistoryCount(), 3);
  const char16_t* passwords[] = {u"old", u"a", u"b"};
  for (std::int32_t i = 0; i < 3; ++i) {
    TKLPassRecord* v = rec->GetHistoryItem(i);
    EXPECT_EQ(v->GetPassword(), passwords[i]);
    EXPECT_EQ(v->GetUuid(), rec->GetUuid());
    ByteArray key;
    ASSERT_TRUE(v->GetAttachment(u"key.pem", key));
    EXPECT_EQ(key, ByteArray(1000, 7));
    TKLPassField pin;
    EXPECT_TRUE(v->FindCustomField(u"pin", pin));
  }
  ASSERT_EQ(back->GetDeletedObjects().size(), 1u);
  EXPECT_EQ(back->GetDeletedObjects()[0].Uuid, goneUuid);
  EXPECT_EQ(back->GetDeletedObjects()[0].DeletionDate, h.Store.GetDeletedObjects()[0].DeletionDate);
  EXPECT_EQ(back->GetHistoryMaxItems(), 7);
  EXPECT_FALSE(back->GetRecycleBinEnabled());
  // A record loaded from the file starts no edit: its first change keeps a version.
  rec->SetPassword(u"d");
  EXPECT_EQ(rec->GetHistoryCount(), 4);
}

struct DeleteCase {
  const char* name;
  bool binOn;
  bool permanently;
  const char16_t* group;
  TKLPassDeleteResult result;
};

class PassDelete : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(PassDelete, MovesToTheBinOrRemovesAndRecordsTheDeletion) {
  const DeleteCase& c = GetParam();
  TKLPassStorage store;
  store.SetRecycleBinEnabled(c.binOn);
  TKLPassRecord* rec = store.GetRecord(store.Add(u"t", u"u", u"p", u"", u"", c.group));
  const TKLPassUuid uuid = rec->GetUuid();
  const std::int64_t before = NowUnixSeconds();
  ASSERT_EQ(store.DeleteRecord(rec, c.permanently), c.result);
  if (c.result == drRecycled) {
    ASSERT_EQ(store.GetCount(), 1);
    EXPECT_EQ(store.GetRecord(0)->GetGroup(), String(DefaultRecycleBinGroup));
    EXPECT_GE(store.GetRecord(0)->GetLocationChangeDate(), before);
    EXPECT_TRUE(store.GetDeletedObjects().empty());
  } else {
    EXPECT_EQ(store.GetCount(), 0);
    ASSERT_EQ(store.GetDeletedObjects().size(), 1u);
    EXPECT_EQ(store.GetDeletedObjects()[0].Uuid, uuid);
    EXPECT_GE(store.GetDeletedObjects()[0].DeletionDate, before);
  }
  TKLPassRecord loose;
  EXPECT_EQ(store.DeleteRecord(&loose), drNotHeld);
}

INSTANTIATE_TEST_SUITE_P(Cases, PassDelete,
                         ::testing::Values(DeleteCase{"ToTheBin", true, false, u"Work", drRecycled},
                                           DeleteCase{"FromTheBin", true, false, u"Recycle Bin", drRemoved},
                                           DeleteCase{"Permanently", true, true, u"Work", drRemoved},
                                           DeleteCase{"BinOff", false, false, u"Work", drRemoved}),
                         [](const auto& c) { return std::string(c.param.name); });

// A version's leaves, as a save writes them.
void PutVersion(TKLStorage& S, const String& Key, const String& Password) {
  for (const char16_t* leaf : {u"/title", u"/name", u"/url", u"/note"}) S.PutString(Key + leaf, u"x", false);
  S.PutString(Key + u"/pwd", Password, false);
  for (const char16_t* leaf : {u"/cdate", u"/mdate", u"/adate"}) S.PutLong(Key + leaf, 5, false);
}

struct FileCase {
  const char* name;
  std::function<void(TKLStorage&)> put; // beside the record G/0
  bool loads;
};

class PassHistoryFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PassHistoryFile, LoadsAWellFormedHistoryAndRefusesADamagedOne) {
  TKLStorage storage;
  PutVersion(storage, u"G/0", u"now");
  GetParam().put(storage);
  TMemoryStream strm;
  storage.SaveToStream(strm, u"");
  strm.SetPosition(0);
  TKLPassStorage store;
  if (!GetParam().loads) {
    EXPECT_THROW(store.LoadFromStream(strm, u""), EKLPassStorageException);
    EXPECT_EQ(store.GetCount(), 0);
    return;
  }
  store.LoadFromStream(strm, u"");
  ASSERT_EQ(store.GetCount(), 1);
  TKLPassRecord* rec = store.GetRecord(0);
  ASSERT_EQ(rec->GetHistoryCount(), 2);
  EXPECT_EQ(rec->GetHistoryItem(0)->GetPassword(), u"v1");
  EXPECT_EQ(rec->GetHistoryItem(1)->GetPassword(), u"v2");
  ByteArray data;
  EXPECT_TRUE(rec->GetHistoryItem(1)->GetAttachment(u"a", data));
  EXPECT_EQ(data, ByteArray(3, 9));
}

const std::int64_t kVersion1Attachment1 = (std::int64_t{1} << 32) | 1;

INSTANTIATE_TEST_SUITE_P(
    Cases, PassHistoryFile,
    ::testing::Values(
        FileCase{"Good",
                 [](TKLStorage& s) {
                   PutVersion(s, u"G/0/hist.1", u"v1");
                   s.PutString(u"G/0/hist.1/attach.1/name", u"a", false);
                   s.PutBlob(u"G/0/hist.1/attach.1/data", ByteArray(3, 9), false);
                   PutVersion(s, u"G/0/hist.2", u"v2");
                   s.PutString(u"G/0/hist.2/attach.1/name", u"a", false);
                   s.PutLong(u"G/0/hist.2/attach.1/same", kVersion1Attachment1, false);
                   s.PutBlob(u"deleted.1", ByteArray(24, 1), false);
                 },
                 true},
        FileCase{"VersionGap", [](TKLStorage& s) { PutVersion(s, u"G/0/hist.2", u"v2"); }, false},
        FileCase{"VersionMissingALeaf",
                 [](TKLStorage& s) {
                   PutVersion(s, u"G/0/hist.1", u"v1");
                   s.Remove(u"G/0/hist.1/url", false);
                 },
                 false},
        FileCase{"VersionInAVersion",
                 [](TKLStorage& s) {
                   PutVersion(s, u"G/0/hist.1", u"v1");
                   s.PutString(u"G/0/hist.1/hist.1/title", u"x", false);
                 },
                 false},
        FileCase{"ReferenceToItself",
                 [](TKLStorage& s) {
                   PutVersion(s, u"G/0/hist.1", u"v1");
                   s.PutString(u"G/0/hist.1/attach.1/name", u"a", false);
                   s.PutLong(u"G/0/hist.1/attach.1/same", kVersion1Attachment1, false);
                 },
                 false},
        FileCase{"ReferenceToNothing",
                 [](TKLStorage& s) {
                   PutVersion(s, u"G/0/hist.1", u"v1");
                   s.PutString(u"G/0/hist.1/attach.1/name", u"a", false);
                   s.PutLong(u"G/0/hist.1/attach.1/same", 1, false);
                 },
                 false},
        FileCase{"DeletedObjectOfTwentyBytes", [](TKLStorage& s) { s.PutBlob(u"deleted.1", ByteArray(20, 1), false); },
                 false}),
    [](const auto& c) { return std::string(c.param.name); });

} // namespace
} // namespace kl
