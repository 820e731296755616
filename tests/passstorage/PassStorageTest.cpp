#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/Convert.h"
#include "passstorage/KLPassStorage.h"

namespace kl {
namespace {

std::vector<String> Titles(const TPointerList<TKLPassRecord>& Recs) {
  std::vector<String> titles;
  for (TKLPassRecord* rec : Recs) titles.push_back(rec->GetTitle());
  return titles;
}

void ExpectWrongGroupName(const std::function<void()>& Action) {
  try {
    Action();
    ADD_FAILURE() << "no exception";
  } catch (const EKLPassStorageException& e) {
    EXPECT_STREQ(e.what(), "Wrong group name");
  }
}

TEST(PassStorage, AddReturnsPositionsAndTheStoreKeepsTheRecords) {
  TKLPassStorage store;
  auto* own = new TKLPassRecord();
  EXPECT_EQ(store.Add(own), 0);
  EXPECT_EQ(store.Add(u"t", u"u", u"p", u"l", u"n", u""), 1);
  EXPECT_EQ(store.GetCount(), 2);
  EXPECT_EQ(store.GetRecord(0), own);
  EXPECT_EQ(store.GetRecord(1)->GetGroup(), u"");
  EXPECT_THROW(store.GetRecord(2), EListError);
  EXPECT_THROW(store.GetRecord(-1), EListError);
}

TEST(PassStorage, AddRefusesAGroupPathWithAnEmptyNameAndLeavesTheRecordToTheCaller) {
  TKLPassStorage store;
  auto rec = std::make_unique<TKLPassRecord>(u"t", u"u", u"p", u"l", u"n", u"a//b");
  ExpectWrongGroupName([&] { store.Add(rec.get()); });
  ExpectWrongGroupName([&] { store.Add(u"t", u"u", u"p", u"l", u"n", u"/"); });
  EXPECT_EQ(store.GetCount(), 0);
  EXPECT_FALSE(store.Delete(rec.get()));
}

TEST(PassStorage, AddRefusesARecordAlreadyHeldByAnyStore) {
  TKLPassStorage first, second;
  TKLPassRecord* rec = first.GetRecord(first.Add(u"t", u"u", u"p", u"l", u"n", u"g"));
  EXPECT_THROW(first.Add(rec), EKLPassStorageException);
  EXPECT_THROW(second.Add(rec), EKLPassStorageException);
  EXPECT_THROW(second.Add(nullptr), EKLPassStorageException);
  EXPECT_EQ(first.GetCount(), 1);
  EXPECT_EQ(second.GetCount(), 0);

  // Once handed back, the record may move to another store.
  ASSERT_TRUE(first.Delete(rec));
  EXPECT_EQ(second.Add(rec), 0);
}

TEST(PassStorage, DeleteReturnsFalseForBadPositionsAndForeignRecords) {
  TKLPassStorage store;
  store.Add(u"a", u"", u"", u"", u"", u"g");
  TKLPassRecord foreign;
  TKLPassStorage other;
  TKLPassRecord* elsewhere = other.GetRecord(other.Add(u"x", u"", u"", u"", u"", u"g"));
  for (std::int32_t index : {-1, 1, 1000}) EXPECT_FALSE(store.Delete(index)) << index;
  EXPECT_FALSE(store.Delete(&foreign));
  EXPECT_FALSE(store.Delete(elsewhere));
  EXPECT_FALSE(store.Delete(static_cast<TKLPassRecord*>(nullptr)));
  EXPECT_EQ(store.GetCount(), 1);
  EXPECT_EQ(other.GetCount(), 1);
}

TEST(PassStorage, DeleteHandsTheRecordBackAndClosesTheGap) {
  TKLPassStorage store;
  for (const char16_t* t : {u"a", u"b", u"c", u"d"}) store.Add(t, u"", u"", u"", u"", u"g");
  std::unique_ptr<TKLPassRecord> b(store.GetRecord(1));
  ASSERT_TRUE(store.Delete(b.get()));
  std::unique_ptr<TKLPassRecord> d(store.GetRecord(2));
  ASSERT_TRUE(store.Delete(2));
  ASSERT_EQ(store.GetCount(), 2);
  EXPECT_EQ(store.GetRecord(0)->GetTitle(), u"a");
  EXPECT_EQ(store.GetRecord(1)->GetTitle(), u"c");
  EXPECT_EQ(b->GetTitle(), u"b"); // still alive: the store no longer owns it
  EXPECT_FALSE(store.Delete(b.get()));
}

TEST(PassStorage, ClearLeavesFetchedRecordsValidAndTheCallers) {
  std::unique_ptr<TKLPassRecord> kept;
  {
    TKLPassStorage store;
    store.Add(u"kept", u"u", u"p", u"l", u"n", u"g");
    kept.reset(store.GetRecord(0));
    store.Clear();
    EXPECT_EQ(store.GetCount(), 0);
    EXPECT_THROW(store.GetRecord(0), EListError);
  }
  EXPECT_EQ(kept->GetTitle(), u"kept");
  TKLPassStorage another;
  EXPECT_EQ(another.Add(kept.release()), 0);
}

// Random adds, deletions by position and by record, re-adds of deleted records
// and clears, against a plain vector of the records: every position, the
// listing and the search must agree with it after each step, across the
// removals that leave gaps and the passes that close them.
TEST(PassStorage, AgreesWithAPlainListOfItsRecords) {
  std::mt19937 random(19);
  TKLPassStorage store;
  std::vector<TKLPassRecord*> model;
  std::vector<std::unique_ptr<TKLPassRecord>> released;
  const String groups[] = {u"A", u"B", u"C"};
  auto expectListed = [&](TPointerList<TKLPassRecord>& Recs, auto&& Matches) {
    std::vector<TKLPassRecord*> expected;
    for (TKLPassRecord* rec : model) {
      if (Matches(rec)) expected.push_back(rec);
    }
    ASSERT_EQ(std::vector<TKLPassRecord*>(Recs.begin(), Recs.end()), expected);
  };
  for (int step = 0; step < 4000; ++step) {
    const auto action = static_cast<unsigned>(random() % 20);
    const auto pick = static_cast<std::int32_t>(random() % (model.size() + 2)) - 1; // -1 to Count
    if (action < 9) {
      const String title = IntToStr(step);
      ASSERT_EQ(store.Add(title, u"", u"", u"", u"", groups[step % 3]), static_cast<std::int32_t>(model.size()));
      model.push_back(store.GetRecord(static_cast<std::int32_t>(model.size())));
    } else if (action < 10 && !released.empty()) {
      ASSERT_EQ(store.Add(released.back().get()), static_cast<std::int32_t>(model.size()));
      model.push_back(released.back().release());
      released.pop_back();
    } else if (action < 14) {
      const bool inRange = pick >= 0 && pick < static_cast<std::int32_t>(model.size());
      ASSERT_EQ(store.Delete(pick), inRange);
      if (inRange) {
        released.emplace_back(model[static_cast<std::size_t>(pick)]);
        model.erase(model.begin() + pick);
      }
    } else if (action < 19) {
      TKLPassRecord* rec = pick >= 0 && pick < static_cast<std::int32_t>(model.size())
                               ? model[static_cast<std::size_t>(pick)]
                               : (released.empty() ? nullptr : released.front().get());
      const bool held = rec != nullptr && pick >= 0 && pick < static_cast<std::int32_t>(model.size());
      ASSERT_EQ(store.Delete(rec), held);
      if (held) {
        released.emplace_back(rec);
        model.erase(model.begin() + pick);
      }
    } else if (step % 7 == 0) {
      store.Clear();
      for (TKLPassRecord* rec : model) released.emplace_back(rec);
      model.clear();
    }
    ASSERT_EQ(store.GetCount(), static_cast<std::int32_t>(model.size()));
    for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(store.GetRecord(static_cast<std::int32_t>(i)), model[i]);
    EXPECT_THROW(store.GetRecord(store.GetCount()), EListError);
    if (step % 16 == 0) {
      TPointerList<TKLPassRecord> listed;
      store.List(groups[step % 3], listed);
      expectListed(listed, [&](TKLPassRecord* Rec) { return Rec->GetGroup() == groups[step % 3]; });
      TPointerList<TKLPassRecord> found;
      store.Search(spTitle, seContains, u"1", found);
      expectListed(found, [](TKLPassRecord* Rec) { return Rec->GetTitle().find(u'1') != String::npos; });
    }
  }
}

class PassStorageQuery : public ::testing::Test {
protected:
  void SetUp() override {
    // title, user name, password, URL, note, group
    FStore.Add(u"Gmail", u"alice", u"pw1", u"https://mail.example", u"", u"Mail");
    FStore.Add(u"MAIL", u"bob", u"", u"", u"work note", u"Work");
    FStore.Add(u"Bank", u"alice", u"pw1", u"https://bank.example", u"note", u"");
    FStore.Add(u"Forum", u"", u"pw2", u"", u"", u"Mail");
  }
  TKLPassStorage FStore;
};

TEST_F(PassStorageQuery, ListAppendsTheGroupsRecordsInOrderAndStampsNoRecord) {
  TPointerList<TKLPassRecord> recs;
  TKLPassRecord outside;
  recs.Add(&outside); // not emptied first
  FStore.List(u"Mail", recs);
  ASSERT_EQ(recs.GetCount(), 3);
  EXPECT_EQ(recs.Get(0), &outside);
  EXPECT_EQ(recs.Get(1), FStore.GetRecord(0));
  EXPECT_EQ(recs.Get(2), FStore.GetRecord(3));
  for (std::int32_t i = 0; i < FStore.GetCount(); ++i) EXPECT_EQ(FStore.GetRecord(i)->GetLastAccessDate(), 0);
}

TEST_F(PassStorageQuery, ListChecksTheGroupNameAndMatchesExactly) {
  TPointerList<TKLPassRecord> recs;
  FStore.List(u"", recs);
  EXPECT_EQ(Titles(recs), std::vector<String>{u"Bank"});
  recs.Clear();
  FStore.List(u"mail", recs);
  EXPECT_EQ(recs.GetCount(), 0);
  ExpectWrongGroupName([&] { FStore.List(u"a//b", recs); });
  EXPECT_EQ(recs.GetCount(), 0);
}

struct SearchCase {
  TKLSearchParam param;
  TKLSearchEquality equality;
  const char16_t* value;
  std::vector<String> titles;
};

class PassStorageSearch : public PassStorageQuery, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(PassStorageSearch, FindsTheMatchingRecordsInPositionOrder) {
  const SearchCase& c = GetParam();
  TPointerList<TKLPassRecord> recs;
  FStore.Search(c.param, c.equality, c.value, recs);
  EXPECT_EQ(Titles(recs), c.titles);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassStorageSearch,
    ::testing::Values(
        // Case-sensitive containment.
        SearchCase{spTitle, seContains, u"mail", {u"Gmail"}}, SearchCase{spTitle, seContains, u"MAIL", {u"MAIL"}},
        SearchCase{spTitle, seContains, u"", {}}, SearchCase{spUsername, seEquals, u"alice", {u"Gmail", u"Bank"}},
        SearchCase{spUsername, seNotEquals, u"alice", {u"MAIL", u"Forum"}},
        // Each field is reached by its own parameter.
        SearchCase{spPassword, seEquals, u"pw2", {u"Forum"}}, SearchCase{spURL, seContains, u"bank", {u"Bank"}},
        SearchCase{spNote, seContains, u"note", {u"MAIL", u"Bank"}},
        // An empty value: equals finds empty fields, not-equals the others.
        SearchCase{spPassword, seEquals, u"", {u"MAIL"}}, SearchCase{spNote, seNotEquals, u"", {u"MAIL", u"Bank"}},
        // Values outside the enumerations match nothing.
        SearchCase{static_cast<TKLSearchParam>(6), seNotEquals, u"x", {}},
        SearchCase{spTitle, static_cast<TKLSearchEquality>(-1), u"Gmail", {}}));

// Finding a record is not reading it: only its own getters stamp it.
TEST_F(PassStorageQuery, SearchStampsNoRecordsAccessTime) {
  TPointerList<TKLPassRecord> recs;
  FStore.GetRecord(2)->SetCustomField(u"k", u"x");
  FStore.Search(spTitle, seEquals, u"Gmail", recs);
  FStore.Search(spCustomFields, seContains, u"x", recs);
  for (std::int32_t i = 0; i < FStore.GetCount(); ++i) EXPECT_EQ(FStore.GetRecord(i)->GetLastAccessDate(), 0);
  EXPECT_EQ(recs.GetCount(), 2);
}

} // namespace
} // namespace kl
