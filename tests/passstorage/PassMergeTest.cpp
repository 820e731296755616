#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"

namespace kl {
namespace {

// One record of a copy, with the times a merge goes by.
struct Rec {
  std::uint8_t id;
  const char16_t* group;
  const char16_t* password;
  std::int64_t modified;
  std::int64_t moved;
};

struct Deletion {
  std::uint8_t id;
  std::int64_t when;
};

// A copy as a file of the vault's format would hold it.
std::unique_ptr<TKLPassStorage> Copy(const std::vector<Rec>& Recs, const std::vector<Deletion>& Deleted) {
  TKLStorage s;
  for (std::size_t i = 0; i < Recs.size(); ++i) {
    const Rec& r = Recs[i];
    const String key = String(r.group) + u"/" + String(1, static_cast<char16_t>(u'0' + i));
    for (const char16_t* leaf : {u"/title", u"/name", u"/url", u"/note"}) s.PutString(key + leaf, u"t", false);
    s.PutString(key + u"/pwd", r.password, false);
    s.PutLong(key + u"/cdate", 100, false);
    s.PutLong(key + u"/mdate", r.modified, false);
    s.PutLong(key + u"/adate", 0, false);
    s.PutBlob(key + u"/uuid", ByteArray(16, r.id), false);
    if (r.moved != 0) s.PutLong(key + u"/ldate", r.moved, false);
  }
  for (std::size_t i = 0; i < Deleted.size(); ++i) {
    ByteArray object(16, Deleted[i].id);
    for (int b = 0; b < 8; ++b) object.push_back(static_cast<std::uint8_t>(Deleted[i].when >> (8 * b)));
    s.PutBlob(u"deleted." + String(1, static_cast<char16_t>(u'1' + i)), object, false);
  }
  TMemoryStream strm;
  s.SaveToStream(strm, u"");
  strm.SetPosition(0);
  auto store = std::make_unique<TKLPassStorage>();
  store->LoadFromStream(strm, u"");
  return store;
}

// What a copy holds, record by record: group, password, modification time
// and the passwords of the versions; and the deleted UUIDs with their times.
using TState = std::map<std::uint8_t, std::vector<String>>;
TState State(TKLPassStorage& S) {
  TState state;
  for (std::int32_t i = 0; i < S.GetCount(); ++i) {
    TKLPassRecord* r = S.GetRecord(i);
    std::vector<String> items = {r->GetGroup(), r->GetPassword(), u"m" + String(1, static_cast<char16_t>(r->GetModificationDate()))};
    for (std::int32_t v = 0; v < r->GetHistoryCount(); ++v) items.push_back(r->GetHistoryItem(v)->GetPassword());
    state[r->GetUuid()[0]] = items;
  }
  for (const TKLPassDeletedObject& d : S.GetDeletedObjects()) {
    state[static_cast<std::uint8_t>(0x80 | d.Uuid[0])] = {u"deleted", String(1, static_cast<char16_t>(d.DeletionDate))};
  }
  return state;
}

// Edits, a conflict, a move, deletions on either side before and after the
// other's change, a record of one side only, and one the same on both.
const std::vector<Rec> kA = {{1, u"Work", u"a-new", 2000, 0}, {2, u"Work", u"a2", 3000, 0},
                             {3, u"Home", u"p3", 1000, 2000}, {4, u"Work", u"p4", 1000, 0},
                             {6, u"Work", u"p6", 1000, 0},    {7, u"Work", u"p7", 1000, 0},
                             {8, u"Work", u"p8", 1000, 0}};
const std::vector<Deletion> kADeleted = {{5, 2000}};
const std::vector<Rec> kB = {{1, u"Work", u"base", 1000, 0}, {2, u"Work", u"b2", 3500, 0},
                             {3, u"Work", u"p3", 1000, 0},   {5, u"Work", u"p5", 3000, 0},
                             {7, u"Work", u"p7", 1000, 0}};
const std::vector<Deletion> kBDeleted = {{4, 2500}, {8, 500}};

struct MergeCase {
  const char* name;
  bool aIntoB;
  std::int32_t added, updated, moved, deleted;
};

class PassMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(PassMerge, EitherWayGivesTheSameRecordsHistoriesAndDeletionsAndAgainChangesNothing) {
  const MergeCase& c = GetParam();
  auto a = Copy(kA, kADeleted), b = Copy(kB, kBDeleted);
  TKLPassStorage& target = c.aIntoB ? *b : *a;
  TKLPassStorage& source = c.aIntoB ? *a : *b;
  const TKLMergeReport report = target.Merge(source);
  EXPECT_EQ(report.Added, c.added);
  EXPECT_EQ(report.Updated, c.updated);
  EXPECT_EQ(report.Moved, c.moved);
  EXPECT_EQ(report.Deleted, c.deleted);
  const TState expected = {
      {1, {u"Work", u"a-new", u"m\u07D0", u"base"}},     // the newer edit wins, the older is a version
      {2, {u"Work", u"b2", u"m\u0DAC", u"a2"}},          // a conflict: the later wins
      {3, {u"Home", u"p3", u"m\u03E8"}},                 // the later move
      {5, {u"Work", u"p5", u"m\u0BB8"}},                 // changed after its deletion: back
      {6, {u"Work", u"p6", u"m\u03E8"}},                 // one side's only
      {7, {u"Work", u"p7", u"m\u03E8"}},                 // the same on both
      {8, {u"Work", u"p8", u"m\u03E8"}},                 // deleted before its last change: kept
      {0x84, {u"deleted", String(1, char16_t(2500))}}};  // deleted after its last change
  EXPECT_EQ(State(target), expected);
  const TKLMergeReport again = target.Merge(source);
  EXPECT_EQ(again.Added + again.Updated + again.Moved + again.Deleted, 0);
  EXPECT_EQ(State(target), expected);
}

INSTANTIATE_TEST_SUITE_P(Directions, PassMerge,
                         ::testing::Values(MergeCase{"AIntoB", true, 2, 1, 1, 0}, MergeCase{"BIntoA", false, 1, 1, 0, 1}),
                         [](const auto& c) { return std::string(c.param.name); });

// Records matched by UUID however they are ordered: each gets its own newer
// content and one version, the rest are added.
TEST(PassMerge, AMergeOfManyRecordsKeepsOneVersionEachAndAddsTheRest) {
  std::vector<Rec> mine, theirs;
  std::vector<String> passwords(200);
  for (std::uint8_t i = 1; i < 201; ++i) {
    passwords[i - 1] = u"n" + String(1, static_cast<char16_t>(0x100 + i));
    mine.push_back({i, u"Work", passwords[i - 1].c_str(), 2000, 0});
    if (i % 2 == 0) theirs.push_back({i, u"Work", u"old", 1000, 0});
  }
  auto a = Copy(mine, {}), b = Copy(theirs, {});
  const TKLMergeReport report = b->Merge(*a);
  EXPECT_EQ(report.Added, 100);
  EXPECT_EQ(report.Updated, 100);
  ASSERT_EQ(b->GetCount(), 200);
  for (std::int32_t i = 0; i < b->GetCount(); ++i) {
    TKLPassRecord* r = b->GetRecord(i);
    EXPECT_EQ(r->GetPassword(), passwords[r->GetUuid()[0] - 1]);
    EXPECT_EQ(r->GetHistoryCount(), r->GetUuid()[0] % 2 == 0 ? 1 : 0);
  }
}

} // namespace
} // namespace kl
