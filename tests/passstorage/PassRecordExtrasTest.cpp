#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassExchange.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::kFastKdf;
using test::MessageOf;

// What a record carries beyond its texts, in one comparable value.
struct TExtras {
  std::vector<std::tuple<String, String, bool>> Fields;
  std::vector<String> Tags;
  bool Expires = false;
  std::int64_t Expiry = 0;
  std::vector<std::pair<String, ByteArray>> Attachments;
  TKLPassUuid Uuid{};
  bool operator==(const TExtras&) const = default;
};

TExtras ExtrasOf(TKLPassRecord& Rec) {
  TExtras out;
  for (const TKLPassField& f : Rec.GetCustomFields()) out.Fields.emplace_back(f.Name, f.Value, f.Protected);
  out.Tags = Rec.GetTags();
  out.Expires = Rec.GetExpires();
  out.Expiry = Rec.GetExpiryDate();
  for (const String& name : Rec.GetAttachmentNames()) {
    ByteArray data;
    EXPECT_TRUE(Rec.GetAttachment(name, data));
    out.Attachments.emplace_back(name, data);
  }
  out.Uuid = Rec.GetUuid();
  return out;
}

ByteArray Bytes(std::size_t Size, std::uint8_t Seed) {
  ByteArray out(Size);
  for (std::size_t i = 0; i < Size; ++i) out[i] = static_cast<std::uint8_t>(Seed + i * 7);
  return out;
}

TEST(PassRecordExtras, SettersKeepOrderReplaceInPlaceAndStampOnlyRealChanges) {
  TKLPassRecord rec(u"t", u"u", u"p", u"l", u"n", u"g");
  rec.SetCustomField(u"otp", u"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP", true);
  rec.SetCustomField(u"KPEX_PASSKEY_USERNAME", u"alice");
  rec.SetCustomField(u"otp", u"otpauth://totp/y?secret=JBSWY3DP", true); // replaced in place
  rec.SetTags({u"work", u"b", u"work"});
  rec.SetAttachment(u"a", Bytes(3, 1));
  rec.SetAttachment(u"b", {});
  rec.SetAttachment(u"a", Bytes(5, 2));
  const TExtras extras = ExtrasOf(rec);
  EXPECT_EQ(extras.Fields, (std::vector<std::tuple<String, String, bool>>{
                               {u"otp", u"otpauth://totp/y?secret=JBSWY3DP", true},
                               {u"KPEX_PASSKEY_USERNAME", u"alice", false}}));
  EXPECT_EQ(extras.Tags, (std::vector<String>{u"work", u"b"}));
  EXPECT_EQ(extras.Attachments, (std::vector<std::pair<String, ByteArray>>{{u"a", Bytes(5, 2)}, {u"b", {}}}));

  TKLPassRecord same(u"t", u"", u"", u"", u"", u"g");
  same.SetCustomFields({});
  EXPECT_NE(same.GetModificationDate(), 0) << "replacing every field is a change";
  TKLPassRecord still(u"t", u"", u"", u"", u"", u"g");
  still.SetTags({});
  still.SetExpires(false);
  still.SetExpiryDate(0);
  EXPECT_FALSE(still.DeleteCustomField(u"none"));
  EXPECT_FALSE(still.DeleteAttachment(u"none"));
  EXPECT_EQ(still.GetModificationDate(), 0);
  EXPECT_EQ(still.GetLastAccessDate(), 0);

  EXPECT_TRUE(rec.DeleteCustomField(u"otp"));
  EXPECT_TRUE(rec.DeleteAttachment(u"a"));
  EXPECT_EQ(rec.GetCustomFieldCount(), 1);
  EXPECT_EQ(rec.GetAttachmentNames(), std::vector<String>{u"b"});
}

TEST(PassRecordExtras, NewRecordsHaveDistinctUuids) {
  std::set<TKLPassUuid> seen;
  for (int i = 0; i < 100; ++i) seen.insert(TKLPassRecord().GetUuid());
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_EQ(seen.count(TKLPassUuid{}), 0u);
}

struct RefusedCase {
  const char* name;
  std::function<void(TKLPassRecord&)> action;
  const char* message;
};

class PassRecordRefused : public ::testing::TestWithParam<RefusedCase> {};

// A refused setter leaves the record exactly as it was.
TEST_P(PassRecordRefused, RaisesAndChangesNothing) {
  TKLPassRecord rec(u"t", u"", u"", u"", u"", u"g");
  rec.SetCustomField(u"kept", u"v");
  rec.SetTags({u"kept"});
  rec.SetAttachment(u"kept", Bytes(1, 0));
  const TExtras before = ExtrasOf(rec);
  const std::int64_t modified = rec.GetModificationDate();
  try {
    GetParam().action(rec);
    ADD_FAILURE() << "no exception";
  } catch (const EKLPassStorageException& e) {
    EXPECT_STREQ(e.what(), GetParam().message);
  }
  EXPECT_EQ(ExtrasOf(rec), before);
  EXPECT_EQ(rec.GetModificationDate(), modified);
}

const String kMaxValue(KLPassMaxFieldValueBytes, u'x');
const String kWideValue(KLPassMaxFieldValueBytes / 3 + 1, u'\u20AC'); // 3 bytes each: one unit too many

INSTANTIATE_TEST_SUITE_P(
    Cases, PassRecordRefused,
    ::testing::Values(
        RefusedCase{"EmptyName", [](TKLPassRecord& r) { r.SetCustomField(u"", u"v"); }, SWrongCustomField},
        RefusedCase{"StandardName", [](TKLPassRecord& r) { r.SetCustomField(u"UserName", u"v"); }, SWrongCustomField},
        RefusedCase{"ControlInName", [](TKLPassRecord& r) { r.SetCustomField(u"a\nb", u"v"); }, SWrongCustomField},
        RefusedCase{"LongName",
                    [](TKLPassRecord& r) { r.SetCustomField(String(KLPassMaxNameLength + 1, u'n'), u"v"); },
                    SWrongCustomField},
        RefusedCase{"ValueOneByteTooLong", [](TKLPassRecord& r) { r.SetCustomField(u"f", kMaxValue + u"x"); },
                    SWrongCustomField},
        RefusedCase{"ValueTooLongInUTF8", [](TKLPassRecord& r) { r.SetCustomField(u"f", kWideValue); },
                    SWrongCustomField},
        RefusedCase{"DuplicateInList",
                    [](TKLPassRecord& r) { r.SetCustomFields({{u"a", u"1", false}, {u"a", u"2", false}}); },
                    SWrongCustomField},
        RefusedCase{"BadFieldInList",
                    [](TKLPassRecord& r) { r.SetCustomFields({{u"a", u"1", false}, {u"Title", u"2", false}}); },
                    SWrongCustomField},
        RefusedCase{"TooManyFields",
                    [](TKLPassRecord& r) {
                      std::vector<TKLPassField> fields;
                      for (std::size_t i = 0; i <= KLPassMaxCustomFields; ++i) fields.push_back({IntToStr(int(i)), u"", false});
                      r.SetCustomFields(fields);
                    },
                    STooManyRecordItems},
        RefusedCase{"TagWithSeparator", [](TKLPassRecord& r) { r.SetTags({u"a", u"b;c"}); }, SWrongTag},
        RefusedCase{"TagWithComma", [](TKLPassRecord& r) { r.SetTags({u"b,c"}); }, SWrongTag},
        RefusedCase{"EmptyTag", [](TKLPassRecord& r) { r.SetTags({u""}); }, SWrongTag},
        RefusedCase{"LongTag", [](TKLPassRecord& r) { r.SetTags({String(KLPassMaxTagLength + 1, u't')}); }, SWrongTag},
        RefusedCase{"TooManyTags",
                    [](TKLPassRecord& r) {
                      std::vector<String> tags;
                      for (std::size_t i = 0; i <= KLPassMaxTags; ++i) tags.push_back(u"t" + IntToStr(int(i)));
                      r.SetTags(tags);
                    },
                    STooManyRecordItems},
        RefusedCase{"AttachmentTooLarge",
                    [](TKLPassRecord& r) { r.SetAttachment(u"big", ByteArray(KLPassMaxAttachmentSize + 1)); },
                    SWrongAttachment},
        RefusedCase{"AttachmentWithoutName", [](TKLPassRecord& r) { r.SetAttachment(u"", {}); }, SWrongAttachment}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(PassRecordExtras, LargestValuesAndCountsAreAccepted) {
  TKLPassRecord rec;
  for (std::size_t i = 0; i < KLPassMaxAttachments; ++i) rec.SetAttachment(IntToStr(int(i)), {});
  for (std::size_t i = 0; i < KLPassMaxCustomFields; ++i) rec.SetCustomField(IntToStr(int(i)), u"");
  EXPECT_THROW(rec.SetAttachment(u"one more", {}), EKLPassStorageException);
  EXPECT_THROW(rec.SetCustomField(u"one more", u""), EKLPassStorageException);
  rec.SetCustomFields({});
  while (rec.GetAttachmentCount() > 0) rec.DeleteAttachment(rec.GetAttachmentNames()[0]);
  rec.SetCustomField(String(KLPassMaxNameLength, u'n'), kMaxValue);
  rec.SetCustomField(u"wide", String(KLPassMaxFieldValueBytes / 3, u'\u20AC'));
  rec.SetTags({String(KLPassMaxTagLength, u't')});
  rec.SetAttachment(u"big", ByteArray(KLPassMaxAttachmentSize));
  EXPECT_EQ(rec.GetCustomFieldCount(), 2);
  EXPECT_EQ(rec.GetAttachmentCount(), 1);
}

// A record's field values and attachments are bounded together: at the
// bound a byte more is refused by every setter and changes nothing; replacing
// a value counts only the difference.
TEST(PassRecordExtras, FieldsAndAttachmentsAreBoundedTogether) {
  TKLPassRecord rec;
  const std::size_t quarter = KLPassMaxRecordBytes / 4;
  static_assert(KLPassMaxRecordBytes / 4 <= KLPassMaxAttachmentSize);
  const ByteArray bytes(quarter, 7);
  for (int i = 0; i < 3; ++i) rec.SetAttachment(IntToStr(i), bytes);
  rec.SetAttachment(u"last", ByteArray(quarter - 4, 1));
  rec.SetCustomField(u"f", u"ab"); // four bytes as held: at the bound
  EXPECT_EQ(MessageOf([&] { rec.SetCustomField(u"g", u"x"); }), SRecordTooLarge);
  EXPECT_EQ(MessageOf([&] { rec.SetCustomFields({{u"f", u"abc", false}}); }), SRecordTooLarge);
  EXPECT_EQ(MessageOf([&] { rec.SetAttachment(u"more", ByteArray(1)); }), SRecordTooLarge);
  EXPECT_EQ(rec.GetCustomFieldCount(), 1);
  EXPECT_EQ(rec.GetAttachmentCount(), 4);
  rec.SetCustomField(u"f", u"cd");                       // the same size replaced
  rec.SetAttachment(u"last", ByteArray(quarter - 6, 2)); // two bytes freed
  rec.SetCustomField(u"g", u"x");
  TKLPassField field;
  ASSERT_TRUE(rec.FindCustomField(u"g", field));
  EXPECT_EQ(field.Value, u"x");
}

// A vault saved and loaded again, plain and encrypted: every extra is kept,
// attachments at and around the 65,535-byte pieces included.
TEST(PassRecordExtras, SaveAndLoadKeepEverything) {
  for (const String& password : {String(), String(u"pw")}) {
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    TKLPassRecord* rec = store.GetRecord(store.Add(u"t", u"u", u"p", u"l", u"n", u"G"));
    rec->SetCustomField(u"otp", u"otpauth://totp/a?secret=GEZDGNBV", true);
    rec->SetCustomField(u"KPEX_PASSKEY_PRIVATE_KEY_PEM", kMaxValue, true);
    rec->SetCustomField(u"\u00E9t\U0001F511", u"", false);
    rec->SetTags({u"a", u"\u00DF"});
    rec->SetExpires(true);
    rec->SetExpiryDate(-5);
    for (const std::size_t size : {std::size_t{0}, std::size_t{0xFFFF}, std::size_t{0x10000}, std::size_t{200000}}) {
      rec->SetAttachment(u"f" + IntToStr(static_cast<std::int32_t>(size)), Bytes(size, 9));
    }
    TKLPassRecord* plain = store.GetRecord(store.Add(u"t2", u"", u"", u"", u"", u"G"));
    plain->SetExpiryDate(77); // kept though the record does not expire
    const TExtras first = ExtrasOf(*rec);
    const TExtras second = ExtrasOf(*plain);

    TMemoryStream strm;
    store.SaveToStream(strm, password);
    strm.SetPosition(0);
    TKLPassStorage loaded;
    loaded.LoadFromStream(strm, password);
    ASSERT_EQ(loaded.GetCount(), 2);
    EXPECT_EQ(ExtrasOf(*loaded.GetRecord(0)), first);
    EXPECT_EQ(ExtrasOf(*loaded.GetRecord(1)), second);
  }
}

// A vault of the previous release: each record gets a UUID of its own, which
// the next save keeps.
TEST(PassRecordExtras, RecordsWithoutUuidGetOneThatASaveKeeps) {
  TKLStorage old;
  for (const char16_t* key : {u"G/0", u"G/1"}) {
    for (const char16_t* leaf : {u"/title", u"/name", u"/pwd", u"/url", u"/note"}) {
      old.PutString(String(key) + leaf, u"x", false);
    }
    for (const char16_t* leaf : {u"/cdate", u"/mdate", u"/adate"}) old.PutLong(String(key) + leaf, 1, false);
  }
  TMemoryStream strm;
  old.SaveToStream(strm, u"");
  strm.SetPosition(0);
  TKLPassStorage store;
  store.LoadFromStream(strm, u"");
  ASSERT_EQ(store.GetCount(), 2);
  const TKLPassUuid a = store.GetRecord(0)->GetUuid();
  const TKLPassUuid b = store.GetRecord(1)->GetUuid();
  EXPECT_NE(a, TKLPassUuid{});
  EXPECT_NE(a, b);
  EXPECT_EQ(store.GetRecord(0)->GetCustomFieldCount(), 0);
  EXPECT_FALSE(store.GetRecord(0)->GetExpires());

  TMemoryStream again;
  store.SaveToStream(again, u"");
  again.SetPosition(0);
  TKLPassStorage reloaded;
  reloaded.LoadFromStream(again, u"");
  EXPECT_EQ(reloaded.GetRecord(0)->GetUuid(), a);
  EXPECT_EQ(reloaded.GetRecord(1)->GetUuid(), b);
}

struct SearchFieldCase {
  TKLSearchEquality equality;
  const char16_t* value;
  std::vector<String> titles;
};

class PassStorageSearchFields : public ::testing::TestWithParam<SearchFieldCase> {};

TEST_P(PassStorageSearchFields, MatchesAnyCustomFieldValue) {
  TKLPassStorage store;
  store.GetRecord(store.Add(u"A", u"", u"", u"", u"", u"G"))->SetCustomField(u"otp", u"otpauth://one");
  TKLPassRecord* b = store.GetRecord(store.Add(u"B", u"", u"", u"", u"", u"G"));
  b->SetCustomField(u"x", u"alpha");
  b->SetCustomField(u"y", u"beta", true);
  store.Add(u"C", u"beta", u"beta", u"", u"beta", u"G");
  TPointerList<TKLPassRecord> found;
  store.Search(spCustomFields, GetParam().equality, GetParam().value, found);
  std::vector<String> titles;
  for (std::int32_t i = 0; i < found.GetCount(); ++i) titles.push_back(found.Get(i)->GetTitle());
  EXPECT_EQ(titles, GetParam().titles);
}

INSTANTIATE_TEST_SUITE_P(Cases, PassStorageSearchFields,
                         ::testing::Values(SearchFieldCase{seContains, u"et", {u"B"}},
                                           SearchFieldCase{seContains, u"otpauth", {u"A"}},
                                           SearchFieldCase{seEquals, u"beta", {u"B"}},
                                           SearchFieldCase{seEquals, u"bet", {}},
                                           SearchFieldCase{seNotEquals, u"beta", {u"A", u"C"}}));

// Every layout leaves the extras out, and says how many of each.
TEST(PassRecordExtras, ExportCountsWhatItsLayoutDrops) {
  TKLPassStorage store;
  TKLPassRecord* rec = store.GetRecord(store.Add(u"t", u"", u"", u"", u"", u"G"));
  rec->SetCustomField(u"otp", u"x", true);
  rec->SetCustomField(u"b", u"y");
  rec->SetTags({u"a", u"b", u"c"});
  rec->SetExpiryDate(5); // counted only once it expires
  rec->SetAttachment(u"f", {1});
  store.Add(u"plain", u"", u"", u"", u"", u"G");
  for (const TKLExchangeFormat format : {exCsv, exKeePassXCCsv, exJson, exBitwardenJson}) {
    TMemoryStream strm;
    TKLExportReport report = ExportPassRecords(store, strm, {format});
    EXPECT_EQ(report.Exported, 2);
    EXPECT_EQ(report.DroppedUuids, 2);
    EXPECT_EQ(report.DroppedFields, 2);
    EXPECT_EQ(report.DroppedTags, 3);
    EXPECT_EQ(report.DroppedExpiries, 0);
    EXPECT_EQ(report.DroppedAttachments, 1);
    EXPECT_TRUE(report.DroppedData());
  }
  rec->SetExpires(true);
  TMemoryStream strm;
  EXPECT_EQ(ExportPassRecords(store, strm, {exCsv}).DroppedExpiries, 1);
  store.Delete(rec);
  delete rec;
  EXPECT_FALSE(ExportPassRecords(store, strm, {exCsv}).DroppedData());
}

} // namespace
} // namespace kl
