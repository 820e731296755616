// The store's group tree: paths of escaped names, the groups it lists, and
// how the vault's own format, KDBX files and merges keep them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTestFiles.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TXmlNode;
using test::Narrow;

TEST(GroupPath, SplitsAndJoinsEveryName) {
  const struct {
    String Path;
    std::vector<String> Names;
  } cases[] = {
      {u"", {}},
      {u"Work", {u"Work"}},
      {u"Work/Dev/Backend", {u"Work", u"Dev", u"Backend"}},
      {u"a\\/b", {u"a/b"}},                 // a name holding "/"
      {u"C:\\Users", {u"C:\\Users"}},       // a "\" before another character is the name's
      {u"x\\\\/y", {u"x\\", u"y"}},         // a name ending in "\"
      {u"x\\\\", {u"x\\"}},
      {u"\\\\\\\\", {u"\\\\"}},             // two "\" alone
      {u"A/a\\\\\\/b", {u"A", u"a\\/b"}},   // "\" then "/" within a name
      {u"\u00dcber/\U0001F511", {u"\u00dcber", u"\U0001F511"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitGroupPath(c.Path), c.Names) << Narrow(c.Path);
    EXPECT_EQ(JoinGroupPath(c.Names), c.Path) << Narrow(c.Path);
  }
  EXPECT_EQ(GroupPathChild(u"", u"a/b"), u"a\\/b");
  EXPECT_EQ(GroupPathChild(u"Work", u"Dev"), u"Work/Dev");
}

TEST(GroupPath, EmptyNamesAreRefusedAndTheRootAccepted) {
  for (const char16_t* bad : {u"A//B", u"/A", u"A/", u"/"}) {
    EXPECT_THROW(TKLPassStorage::CheckGroup(bad), EKLPassStorageException) << Narrow(bad);
    TKLPassStorage store;
    EXPECT_THROW(store.Add(u"t", u"", u"", u"", u"", bad), EKLPassStorageException) << Narrow(bad);
    EXPECT_EQ(store.GetCount(), 0);
    TKLPassGroup group;
    group.Path = bad;
    EXPECT_THROW(store.PutGroup(group), EKLPassStorageException);
    EXPECT_TRUE(store.GetGroups().empty());
  }
  for (const char16_t* good : {u"", u"A/B", u"a\\/b", u"A\\"}) EXPECT_NO_THROW(TKLPassStorage::CheckGroup(good));
}

TKLKdbxSettings CheapKdbx() {
  TKLKdbxSettings settings;
  settings.Kdf = kkAesKdf;
  settings.Iterations = 1;
  return settings;
}

// Times a few days apart in late 2023, where every platform's clock
// conversions hold.
TKLPassGroup Group(const String& Path, std::int64_t Day) {
  const std::int64_t Base = 1700000000 + Day * 86400;
  TKLPassGroup group;
  group.Path = Path;
  group.CreationDate = Base;
  group.ModificationDate = Base + 1;
  group.LastAccessDate = Base + 2;
  group.LocationChangeDate = Base + 3;
  group.ExpiryDate = Base + 4;
  return group;
}

// The same groups, in any order.
void ExpectSameGroups(std::vector<TKLPassGroup> A, std::vector<TKLPassGroup> B) {
  const auto byPath = [](const TKLPassGroup& X, const TKLPassGroup& Y) { return X.Path < Y.Path; };
  std::sort(A.begin(), A.end(), byPath);
  std::sort(B.begin(), B.end(), byPath);
  ASSERT_EQ(A.size(), B.size());
  for (std::size_t i = 0; i < A.size(); ++i) {
    const TKLPassGroup &a = A[i], &b = B[i];
    EXPECT_EQ(a.Path, b.Path);
    EXPECT_EQ(a.Uuid, b.Uuid) << Narrow(a.Path);
    EXPECT_EQ(a.Name, b.Name) << Narrow(a.Path);
    EXPECT_EQ(a.Notes, b.Notes) << Narrow(a.Path);
    EXPECT_EQ(std::vector<std::int64_t>({a.CreationDate, a.ModificationDate, a.LastAccessDate, a.LocationChangeDate,
                                         a.ExpiryDate, a.Expires ? 1 : 0}),
              std::vector<std::int64_t>({b.CreationDate, b.ModificationDate, b.LastAccessDate, b.LocationChangeDate,
                                         b.ExpiryDate, b.Expires ? 1 : 0}))
        << Narrow(a.Path);
  }
}

std::vector<String> GroupsOfRecords(const TKLPassStorage& Store) {
  std::vector<String> out;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    out.push_back(Store.GetRecord(i)->GetTitle() + u"@" + Store.GetRecord(i)->GetGroup());
  }
  return out;
}

// Saves From and loads what it wrote into Into.
void SaveAndLoad(TKLPassStorage& From, TKLPassStorage& Into, const String& Password) {
  TMemoryStream strm;
  From.SaveToStream(strm, Password);
  strm.SetPosition(0);
  Into.LoadFromStream(strm, Password);
}

std::vector<String> Sorted(std::vector<String> Items) {
  std::sort(Items.begin(), Items.end());
  return Items;
}

// Groups of every kind: the root named and noted, a nested one that expires,
// with notes longer than one stored value (a surrogate pair at the cut), a
// name holding "/" and one holding "\", and a group only a record names.
struct TTree {
  TKLPassStorage Store;
  TTree() {
    TKLPassGroup root = Group(u"", 1);
    root.Name = u"Passwords";
    root.Notes = u"the top";
    Store.PutGroup(root);
    TKLPassGroup dev = Group(u"Work/Dev", 2);
    dev.Notes = String(21844, u'n') + u"\U0001F511" + String(30000, u'm');
    dev.Expires = true;
    Store.PutGroup(dev);
    Store.PutGroup(Group(u"a\\/b", 3));
    Store.PutGroup(Group(u"C:\\Users", 4));
    Store.Add(u"At root", u"", u"", u"", u"", u"");
    Store.Add(u"Deep", u"", u"", u"", u"", u"Work/Dev/Backend");
    Store.Add(u"Slash", u"", u"", u"", u"", u"a\\/b");
    Store.Add(u"Back", u"", u"", u"", u"", u"C:\\Users");
    Store.Add(u"Flat", u"", u"", u"", u"", u"General");
  }
};

TEST(PassGroups, PutGroupListsMissingParentsFirstAndRefusesAUuidTwice) {
  TTree tree;
  std::vector<String> paths;
  for (const TKLPassGroup& group : tree.Store.GetGroups()) paths.push_back(group.Path);
  EXPECT_EQ(paths, (std::vector<String>{u"", u"Work", u"Work/Dev", u"a\\/b", u"C:\\Users"}));
  TKLPassGroup copy = *tree.Store.FindGroup(u"Work");
  copy.Path = u"Elsewhere";
  EXPECT_THROW(tree.Store.PutGroup(copy), EKLPassStorageException);
  EXPECT_EQ(tree.Store.GetGroups().size(), 5u);
  // Putting a listed path again replaces what is listed, in place.
  TKLPassGroup again = Group(u"Work", 9);
  again.Notes = u"replaced";
  tree.Store.PutGroup(again);
  EXPECT_EQ(tree.Store.GetGroups()[1].Notes, u"replaced");
  EXPECT_EQ(tree.Store.GetGroups()[1].Uuid, copy.Uuid); // a zero UUID keeps the listed one
}

TEST(PassGroups, TheVaultKeepsTheTreeAndEveryGroupsUuidNotesAndTimes) {
  TTree tree;
  TKLPassStorage loaded;
  SaveAndLoad(tree.Store, loaded, u"");
  // A group only records name stays unlisted in a vault.
  EXPECT_EQ(tree.Store.FindGroup(u"Work/Dev/Backend"), nullptr);
  EXPECT_EQ(Sorted(GroupsOfRecords(loaded)), Sorted(GroupsOfRecords(tree.Store)));
  ExpectSameGroups(loaded.GetGroups(), tree.Store.GetGroups());

  // Saved again, the groups and their UUIDs stay as they are.
  TKLPassStorage again;
  SaveAndLoad(loaded, again, u"");
  ExpectSameGroups(again.GetGroups(), tree.Store.GetGroups());
}

// Two paths that share a key group (the root and General; a nested path and
// a group of an earlier release named with U+2215) load grouped by path, in
// the order they first come: the order a listing numbers records in.
TEST(PassGroups, RecordsLoadGroupedByPathWhereKeyGroupsCoincide) {
  TKLPassStorage store;
  for (const auto& [title, group] : std::vector<std::pair<String, String>>{{u"1", u"General"},
                                                                           {u"2", u"X"},
                                                                           {u"3", u""},
                                                                           {u"4", u"A\u2215B"},
                                                                           {u"5", u"General"},
                                                                           {u"6", u"A/B"},
                                                                           {u"7", u""}}) {
    store.Add(title, u"", u"", u"", u"", group);
  }
  TKLPassStorage loaded;
  SaveAndLoad(store, loaded, u"");
  std::vector<String> titles;
  for (std::int32_t i = 0; i < loaded.GetCount(); ++i) titles.push_back(loaded.GetRecord(i)->GetTitle());
  EXPECT_EQ(titles, (std::vector<String>{u"1", u"5", u"2", u"3", u"7", u"4", u"6"}));
}

TEST(PassGroups, AnEarlierReaderSeesEachPathAsOneGroupOfItsNames) {
  TTree tree;
  TMemoryStream strm;
  tree.Store.SaveToStream(strm, u"");
  strm.SetPosition(0);
  TKLStorage plain;
  plain.LoadFromStream(strm, u"");
  // The key groups an earlier release lists, and the path beside for this
  // one (nullptr: not written, a group of one plain name is saved as before).
  const struct {
    const char16_t* Key;
    const char16_t* Value;
  } values[] = {
      {u"General/0/title", u"At root"},
      {u"General/0/group", u""},
      {u"Work\u2215Dev\u2215Backend/1/title", u"Deep"},
      {u"Work\u2215Dev\u2215Backend/1/group", u"Work/Dev/Backend"},
      {u"a\u2215b/2/title", u"Slash"},
      {u"a\u2215b/2/group", u"a\\/b"},
      {u"C:\\Users/3/title", u"Back"},
      {u"C:\\Users/3/group", nullptr},
      {u"General/4/title", u"Flat"},
      {u"General/4/group", nullptr},
  };
  for (const auto& v : values) {
    String got;
    EXPECT_EQ(plain.GetString(v.Key, got, u""), v.Value != nullptr) << Narrow(v.Key);
    if (v.Value != nullptr) {
      EXPECT_EQ(got, v.Value) << Narrow(v.Key);
    }
  }
}

// Each change to a saved table that a load must refuse, adding nothing.
TEST(PassGroups, ADamagedGroupTableIsRefusedAndNothingAdded) {
  TTree tree;
  TMemoryStream strm;
  tree.Store.SaveToStream(strm, u"");
  const struct {
    const char* What;
    void (*Damage)(TKLStorage&);
  } cases[] = {
      {"a gap in the numbers", [](TKLStorage& S) { S.PutString(u"group.9.path", u"X", true); }},
      {"a path missing", [](TKLStorage& S) { S.Remove(u"group.2.path", false); }},
      {"the bytes missing", [](TKLStorage& S) { S.Remove(u"group.2", false); }},
      {"bytes of the wrong size", [](TKLStorage& S) { S.PutBlob(u"group.2", ByteArray(56), true); }},
      {"a path twice", [](TKLStorage& S) { S.PutString(u"group.3.path", u"Work", true); }},
      {"an empty name", [](TKLStorage& S) { S.PutString(u"group.3.path", u"Work//Dev", true); }},
      {"a text as the bytes",
       [](TKLStorage& S) {
         S.Remove(u"group.2", false);
         S.PutString(u"group.2", u"x", true);
       }},
      {"a gap in the notes", [](TKLStorage& S) { S.PutString(u"group.3.notes.5", u"x", true); }},
      {"a number with a leading zero", [](TKLStorage& S) { S.PutString(u"group.01.path", u"Y", true); }},
      {"a record's path with an empty name", [](TKLStorage& S) { S.PutString(u"General/0/group", u"/A", true); }},
      {"a group listed before its parent", [](TKLStorage& S) { S.PutString(u"group.4.path", u"X/Y/Z", true); }},
  };
  for (const auto& c : cases) {
    strm.SetPosition(0);
    TKLStorage plain;
    plain.LoadFromStream(strm, u"");
    c.Damage(plain);
    TMemoryStream damaged;
    plain.SaveToStream(damaged, u"");
    damaged.SetPosition(0);
    TKLPassStorage store;
    try {
      store.LoadFromStream(damaged, u"");
      ADD_FAILURE() << c.What << ": loaded";
    } catch (const EKLPassStorageException& e) {
      EXPECT_STREQ(e.what(), SStorageCorrupted) << c.What;
    }
    EXPECT_EQ(store.GetCount(), 0) << c.What;
    EXPECT_TRUE(store.GetGroups().empty()) << c.What;
  }
}

TEST(PassGroups, AKdbxFileKeepsTheTreeAndAVaultTakesItThereAndBack) {
  TTree tree;
  tree.Store.SetSaveFormat(pfKdbx);
  tree.Store.SetKdbxSettings(CheapKdbx());
  TMemoryStream kdbx;
  tree.Store.SaveToStream(kdbx, u"pw");
  // The KDBX save lists the groups only records named, with fresh UUIDs.
  const TKLPassGroup* backend = tree.Store.FindGroup(u"Work/Dev/Backend");
  ASSERT_NE(backend, nullptr);
  EXPECT_NE(backend->Uuid, TKLPassUuid{});
  ASSERT_NE(tree.Store.FindGroup(u"General"), nullptr);
  kdbx.SetPosition(0);
  const detail::TKdbxDocument doc = detail::ReadKdbx(kdbx, test::KdbxTestKey());
  const TXmlNode& root = *doc.Root.Find("Root")->Find("Group");
  EXPECT_EQ(root.Find("Name")->Text, "Passwords");
  EXPECT_EQ(root.Find("Notes")->Text, "the top");
  const TXmlNode* work = nullptr;
  std::vector<std::string> top;
  for (const TXmlNode& child : root.Children) {
    if (child.Name != "Group") continue;
    top.push_back(child.Find("Name")->Text);
    if (child.Find("Name")->Text == "Work") work = &child;
  }
  EXPECT_EQ(top, (std::vector<std::string>{"Work", "a/b", "C:\\Users", "General"}));
  ASSERT_NE(work, nullptr);
  const TXmlNode* dev = work->Find("Group");
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->Find("Name")->Text, "Dev");
  EXPECT_EQ(dev->Find("Times")->Find("Expires")->Text, "True");
  ASSERT_NE(dev->Find("Group"), nullptr);
  EXPECT_EQ(dev->Find("Group")->Find("Name")->Text, "Backend");
  EXPECT_EQ(dev->Find("Group")->Find("Entry") != nullptr, true);

  // Read back, the file's groups are the store's: paths, UUIDs, notes, times.
  kdbx.SetPosition(0);
  TKLPassStorage fromFile;
  fromFile.LoadFromStream(kdbx, u"pw");
  EXPECT_EQ(Sorted(GroupsOfRecords(fromFile)), Sorted(GroupsOfRecords(tree.Store)));
  ExpectSameGroups(fromFile.GetGroups(), tree.Store.GetGroups());

  // Notes and times put to a group the file holds are written into it.
  TKLPassGroup listed = *fromFile.FindGroup(u"Work");
  listed.Notes = u"changed";
  listed.ModificationDate += 60;
  fromFile.PutGroup(listed);
  TKLPassStorage editedBack;
  SaveAndLoad(fromFile, editedBack, u"pw");
  ASSERT_NE(editedBack.FindGroup(u"Work"), nullptr);
  EXPECT_EQ(editedBack.FindGroup(u"Work")->Notes, u"changed");
  EXPECT_EQ(editedBack.FindGroup(u"Work")->ModificationDate, listed.ModificationDate);
  EXPECT_EQ(editedBack.FindGroup(u"Work")->Uuid, listed.Uuid);

  // Through a vault of our own format and out to KDBX again: the same.
  TKLPassStorage vault;
  vault.PutGroups(fromFile.GetGroups());
  while (fromFile.GetCount() > 0) {
    TKLPassRecord* rec = fromFile.GetRecord(0);
    fromFile.Delete(rec);
    vault.Add(rec);
  }
  TKLPassStorage reloaded;
  SaveAndLoad(vault, reloaded, u"");
  reloaded.SetSaveFormat(pfKdbx);
  reloaded.SetKdbxSettings(CheapKdbx());
  TKLPassStorage last;
  SaveAndLoad(reloaded, last, u"pw");
  ExpectSameGroups(last.GetGroups(), fromFile.GetGroups());
}

// KeePass lets a group go without a name: such a file loads, the group is not
// listed, and its entry keeps its path through a save.
TEST(PassGroups, AKdbxGroupWithoutANameLoadsUnlisted) {
  const std::string xml =
      "<KeePassFile><Meta/><Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAEA==</UUID><Name>Root</Name>"
      "<Group><UUID>AAAAAAAAAAAAAAAAAAAAEQ==</UUID><Name></Name><Entry><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID>"
      "<String><Key>Title</Key><Value>Inside</Value></String></Entry></Group></Group>"
      "<DeletedObjects/></Root></KeePassFile>";
  TMemoryStream file(test::KdbxFileOfXml(xml));
  TKLPassStorage store;
  store.LoadFromStream(file, u"pw");
  ASSERT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.GetRecord(0)->GetGroup(), u"");
  EXPECT_EQ(store.GetGroups().size(), 1u); // the root alone
  store.SetKdbxSettings(CheapKdbx());
  TKLPassStorage again;
  SaveAndLoad(store, again, u"pw");
  ASSERT_EQ(again.GetCount(), 1);
  EXPECT_EQ(again.GetRecord(0)->GetTitle(), u"Inside");
}

TEST(PassGroups, AMergeJoinsTheOtherCopysGroupsAndKeepsTheLaterModified) {
  TTree a;
  TKLPassStorage b;
  TKLPassGroup work = *a.Store.FindGroup(u"Work");
  work.Notes = u"newer";
  work.ModificationDate += 100;
  work.Uuid = TKLPassUuid{}; // another copy's UUID for the same path is not taken
  b.PutGroup(work);
  b.PutGroup(Group(u"Home/Garden", 5));
  const TKLPassUuid workUuid = a.Store.FindGroup(u"Work")->Uuid;
  a.Store.Merge(b);
  ASSERT_NE(a.Store.FindGroup(u"Home"), nullptr);
  ASSERT_NE(a.Store.FindGroup(u"Home/Garden"), nullptr);
  EXPECT_EQ(a.Store.FindGroup(u"Home/Garden")->Uuid, b.FindGroup(u"Home/Garden")->Uuid);
  EXPECT_EQ(a.Store.FindGroup(u"Work")->Notes, u"newer");
  EXPECT_EQ(a.Store.FindGroup(u"Work")->Uuid, workUuid);
  const std::size_t count = a.Store.GetGroups().size();
  a.Store.Merge(b);
  EXPECT_EQ(a.Store.GetGroups().size(), count); // merging again changes nothing
}

// Two copies of one tree, each changed its own way, merge by the groups'
// UUIDs into one tree whichever merges into which: a group moved in one copy
// takes its subgroups and records along, even those the other copy added; a
// rename in one and a move in the other both hold; a record moved by itself
// goes where it was moved. Crossed moves that would loop end in a tree that
// lists every group once and each record's group. Merging again changes
// nothing.
TEST(PassGroups, AMergeMatchesGroupsByUuidInEitherOrder) {
  using TChange = void (*)(TKLPassStorage&);
  const struct {
    const char* Name;
    TChange A, B;
    std::vector<String> Groups, Records; // none: the moves loop
  } cases[] = {
      {"a group moved, records added and edited in it in the other copy",
       [](TKLPassStorage& S) { S.MoveGroup(u"Work/Dev", u"Home/Dev"); },
       [](TKLPassStorage& S) {
         S.Add(u"R4", u"", u"", u"", u"", u"Work/Dev");
         S.GetRecord(0)->SetPassword(u"changed");
       },
       {u"Home", u"Home/Dev", u"Work"},
       {u"R1@Home/Dev", u"R2@Work", u"R3@Home", u"R4@Home/Dev"}},
      {"a group renamed in one copy and moved in the other",
       [](TKLPassStorage& S) { S.MoveGroup(u"Work", u"Job"); },
       [](TKLPassStorage& S) { S.MoveGroup(u"Work", u"Home/Work"); },
       {u"Home", u"Home/Job", u"Home/Job/Dev"},
       {u"R1@Home/Job/Dev", u"R2@Home/Job", u"R3@Home"}},
      {"a record moved out of a group the other copy moved",
       [](TKLPassStorage& S) { S.MoveGroup(u"Work/Dev", u"Home/Dev"); },
       [](TKLPassStorage& S) { S.GetRecord(0)->SetGroup(u"Home"); },
       {u"Home", u"Home/Dev", u"Work"},
       {u"R1@Home", u"R2@Work", u"R3@Home"}},
      {"crossed moves",
       [](TKLPassStorage& S) { S.MoveGroup(u"Work", u"Home/Work"); },
       [](TKLPassStorage& S) { S.MoveGroup(u"Home", u"Work/Home"); },
       {},
       {}},
  };
  TKLPassStorage base;
  for (const auto& [path, day] : {std::pair{u"Work", 1}, {u"Work/Dev", 2}, {u"Home", 3}})
    base.PutGroup(Group(path, day));
  for (const auto& [title, group] : {std::pair{u"R1", u"Work/Dev"}, {u"R2", u"Work"}, {u"R3", u"Home"}}) {
    base.Add(title, u"", u"pw", u"", u"", group);
  }
  // Each group's UUID by its last name (the renamed one by its new name too).
  const auto lastName = [](const String& Path) { return SplitGroupPath(Path).back(); };
  std::map<String, TKLPassUuid> uuids;
  for (const TKLPassGroup& group : base.GetGroups()) {
    if (!group.Path.empty()) uuids[lastName(group.Path)] = group.Uuid;
  }
  uuids[u"Job"] = uuids[u"Work"];
  const auto nonRoot = [](const TKLPassStorage& S) {
    std::vector<TKLPassGroup> groups = S.GetGroups();
    std::erase_if(groups, [](const TKLPassGroup& G) { return G.Path.empty(); });
    return groups;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TKLPassStorage a, b, ab, ba;
    SaveAndLoad(base, a, u"");
    SaveAndLoad(base, b, u"");
    c.A(a);
    c.B(b);
    SaveAndLoad(a, ab, u"");
    SaveAndLoad(b, ba, u"");
    ab.Merge(b); // b's changes into a's copy
    ba.Merge(a);
    for (TKLPassStorage* merged : {&ab, &ba}) {
      std::vector<String> paths;
      for (const TKLPassGroup& group : nonRoot(*merged)) {
        paths.push_back(group.Path);
        // Every group is the one it was, wherever it went.
        EXPECT_EQ(group.Uuid, uuids[lastName(group.Path)]) << Narrow(group.Path);
      }
      if (!c.Groups.empty()) {
        EXPECT_EQ(Sorted(paths), c.Groups);
        EXPECT_EQ(Sorted(GroupsOfRecords(*merged)), c.Records);
      } else {
        EXPECT_EQ(paths.size(), 3u);
        for (const String& record : GroupsOfRecords(*merged)) {
          const String group = record.substr(record.find(u'@') + 1);
          EXPECT_NE(merged->FindGroup(group), nullptr) << Narrow(record);
        }
      }
      const TKLMergeReport again = merged->Merge(merged == &ab ? b : a);
      EXPECT_EQ(again.Moved + again.Updated + again.Added + again.Deleted, 0);
    }
    if (!c.Groups.empty()) ExpectSameGroups(nonRoot(ab), nonRoot(ba));
  }
}

// A move takes the group, its subgroups and their records to the new path
// with their UUIDs, stamps the group's location change, lists the new
// parents, and survives a save and a load in either format (a KDBX file's
// group itself moves: no group is left at the old path).
TEST(PassGroups, AMovedGroupKeepsItsUuidsAndRecordsInEitherFormat) {
  for (const TKLPassFileFormat format : {pfVault, pfKdbx}) {
    TKLPassStorage made;
    made.SetKdbxSettings(CheapKdbx());
    made.SetSaveFormat(format);
    TKLPassGroup work = Group(u"Work", 1);
    work.Notes = u"moved with its notes";
    made.PutGroup(work);
    made.PutGroup(Group(u"Work/Dev", 2));
    made.PutGroup(Group(u"Home", 3));
    for (const auto& [title, group] : {std::pair{u"Deep", u"Work/Dev"}, {u"Top", u"Work"}, {u"Stays", u"Home"}}) {
      made.Add(title, u"", u"", u"", u"", group);
    }
    TKLPassStorage store;
    SaveAndLoad(made, store, u"pw");
    const TKLPassUuid workId = store.FindGroup(u"Work")->Uuid, devId = store.FindGroup(u"Work/Dev")->Uuid;

    store.MoveGroup(u"Work", u"Old/Job");
    ASSERT_NE(store.FindGroup(u"Old/Job"), nullptr) << format;
    EXPECT_EQ(store.FindGroup(u"Work"), nullptr);
    EXPECT_EQ(store.FindGroup(u"Old/Job")->Uuid, workId);
    EXPECT_EQ(store.FindGroup(u"Old/Job/Dev")->Uuid, devId);
    EXPECT_GT(store.FindGroup(u"Old/Job")->LocationChangeDate, work.LocationChangeDate);
    EXPECT_EQ(store.FindGroup(u"Old/Job/Dev")->LocationChangeDate, Group(u"", 2).LocationChangeDate);
    ASSERT_NE(store.FindGroup(u"Old"), nullptr) << "the new parent is listed";
    EXPECT_EQ(Sorted(GroupsOfRecords(store)),
              (std::vector<String>{u"Deep@Old/Job/Dev", u"Stays@Home", u"Top@Old/Job"}));
    // A new name alone is a change of the group, not of its place.
    const TKLPassGroup home = *store.FindGroup(u"Home");
    store.MoveGroup(u"Home", u"House");
    EXPECT_EQ(store.FindGroup(u"House")->LocationChangeDate, home.LocationChangeDate);
    EXPECT_GT(store.FindGroup(u"House")->ModificationDate, home.ModificationDate);

    TKLPassStorage back;
    SaveAndLoad(store, back, u"pw");
    std::vector<TKLPassGroup> expected = store.GetGroups(), got = back.GetGroups();
    std::erase_if(expected, [](const TKLPassGroup& G) { return G.Path.empty(); });
    std::erase_if(got, [](const TKLPassGroup& G) { return G.Path.empty(); });
    ExpectSameGroups(got, expected);
    EXPECT_EQ(back.FindGroup(u"Old/Job")->Notes, u"moved with its notes");
    EXPECT_EQ(Sorted(GroupsOfRecords(back)), Sorted(GroupsOfRecords(store)));
  }
}

// The root, a path not listed, a target listed already or within the group,
// and an empty name are refused, and nothing changes.
TEST(PassGroups, AMoveThatCannotBeIsRefusedWithNothingChanged) {
  TKLPassStorage store;
  store.PutGroup(Group(u"A/B", 1));
  store.PutGroup(Group(u"C", 2));
  store.Add(u"r", u"", u"", u"", u"", u"A/B");
  const std::vector<TKLPassGroup> before = store.GetGroups();
  const struct {
    const char16_t *From, *To;
  } cases[] = {{u"", u"Z"}, {u"Nope", u"Z"}, {u"A", u"C"}, {u"A", u"A"}, {u"A", u"A/B/Z"}, {u"A", u"a//b"}};
  for (const auto& c : cases) {
    EXPECT_THROW(store.MoveGroup(c.From, c.To), EKLPassStorageException) << Narrow(c.From) << " " << Narrow(c.To);
    ExpectSameGroups(store.GetGroups(), before);
    EXPECT_EQ(store.GetRecord(0)->GetGroup(), u"A/B");
  }
}

} // namespace
} // namespace kl
