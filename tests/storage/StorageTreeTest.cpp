#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Narrow;
using test::U;

// The message of the EKLStorageException that Action raises, or "" if none.
std::string StorageError(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EKLStorageException& e) {
    return e.GetMessage();
  }
  return "";
}

std::vector<std::string> Keys(const TKLStorage& Storage) {
  std::vector<std::string> keys;
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) keys.push_back(Narrow(Storage.GetValue(i)->GetKey()));
  return keys;
}

std::vector<std::string> Lines(const TStringList& List) {
  std::vector<std::string> lines;
  for (const String& line : List) lines.push_back(Narrow(line));
  return lines;
}

TEST(StoragePut, ReplaceIsCheckedBeforeTheTypeAndFailuresChangeNothing) {
  TKLStorage storage;
  EXPECT_EQ(storage.PutInt(u"a", 1, false), 0);
  EXPECT_EQ(StorageError([&] { storage.PutInt(u"a", 5, false); }), SKeyAlreadyExists);
  EXPECT_EQ(StorageError([&] { storage.PutString(u"a", u"x", false); }), SKeyAlreadyExists);
  EXPECT_EQ(StorageError([&] { storage.PutString(u"a", u"x", true); }), SWrongValueType);
  EXPECT_EQ(StorageError([&] { storage.PutLong(u"a", 1, true); }), SWrongValueType);
  std::int32_t value = 0;
  EXPECT_TRUE(storage.GetInt(u"a", value, 0));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(storage.PutBool(u"b", true, false), 1);
  EXPECT_EQ(storage.PutInt(u"a", 2, true), 0);
  EXPECT_TRUE(storage.GetInt(u"a", value, 0));
  EXPECT_EQ(value, 2);
  EXPECT_EQ(storage.GetCount(), 2);
}

TEST(StorageGet, TypedGettersGiveTheDefaultForMissingKeysAndOtherTypes) {
  TKLStorage storage;
  storage.PutString(u"s", u"text", false);
  storage.PutBlob(u"b", {1, 2}, false);
  storage.PutLong(u"l", -5, false);
  std::int32_t i = 0;
  EXPECT_FALSE(storage.GetInt(u"s", i, 7));
  EXPECT_EQ(i, 7);
  String s;
  EXPECT_FALSE(storage.GetString(u"missing", s, u"default"));
  EXPECT_EQ(s, u"default");
  EXPECT_TRUE(storage.GetString(u"s", s, u"default"));
  EXPECT_EQ(s, u"text");
  ByteArray blob{9};
  EXPECT_FALSE(storage.GetBlob(u"missing", blob));
  EXPECT_TRUE(blob.empty());
  EXPECT_FALSE(storage.GetBlob(u"s", blob));
  EXPECT_TRUE(storage.GetBlob(u"b", blob));
  EXPECT_EQ(blob, (ByteArray{1, 2}));
  std::int64_t l = 0;
  EXPECT_TRUE(storage.GetLong(u"l", l, 0));
  EXPECT_EQ(l, -5);
  bool flag = true;
  EXPECT_FALSE(storage.GetBool(u"l", flag, false));
  EXPECT_FALSE(flag);
}

TEST(StorageGet, KeysAreComparedExactlyAndStoredUnchanged) {
  TKLStorage storage;
  const std::vector<String> keys = {u"a", u"", u"/a/", u"a//b", u"A", U("é")};
  for (const String& key : keys) storage.PutInt(key, 1, false);
  EXPECT_EQ(storage.GetCount(), static_cast<std::int32_t>(keys.size()));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::int32_t index = -1;
    ASSERT_NE(storage.Get(keys[i], index), nullptr);
    EXPECT_EQ(index, static_cast<std::int32_t>(i));
    EXPECT_EQ(storage.GetValue(index)->GetKey(), keys[i]);
  }
  std::int32_t index = 42;
  EXPECT_EQ(storage.Get(u"a/", index), nullptr);
  EXPECT_EQ(index, 42);
  EXPECT_EQ(storage.Get(U("e")), nullptr);
}

TEST(StorageValues, HandedOutObjectsAreTheStoredOnes) {
  TKLStorage storage;
  storage.PutInt(u"n", 1, false);
  storage.PutString(u"s", u"x", false);
  static_cast<TKLIntValue*>(storage.Get(u"n"))->SetValue(5);
  static_cast<TKLStringValue*>(storage.GetValue(1))->SetValue(u"y");
  std::int32_t n = 0;
  String s;
  EXPECT_TRUE(storage.GetInt(u"n", n, 0));
  EXPECT_TRUE(storage.GetString(u"s", s, u""));
  EXPECT_EQ(n, 5);
  EXPECT_EQ(s, u"y");
}

TEST(StorageValues, AValueWhoseCodeNamesAnotherClassIsNeitherReadNorReplaced) {
  TKLStorage storage;
  storage.PutInt(u"n", 1, false);
  storage.Get(u"n")->SetValueType(vtLong);
  std::int64_t l = 0;
  std::int32_t i = 0;
  EXPECT_FALSE(storage.GetLong(u"n", l, 3));
  EXPECT_FALSE(storage.GetInt(u"n", i, 3));
  EXPECT_EQ(StorageError([&] { storage.PutLong(u"n", 2, true); }), SWrongValueType);
  TMemoryStream stream;
  EXPECT_EQ(StorageError([&] { storage.SaveToStream(stream, u""); }), SWrongValueType);
  EXPECT_EQ(stream.GetSize(), 0);
}

TEST(StorageValues, KeysAndDataBeyond65535BytesAreRefused) {
  const String ascii65535(65535, u'k');
  const String ascii65536(65536, u'k');
  const String twoByte32768(32768, u'\u00E9');   // 65,536 bytes of UTF-8
  const String threeByte21845(21845, u'\u20AC'); // 65,535 bytes
  TKLStorage storage;
  EXPECT_EQ(StorageError([&] { storage.PutInt(ascii65536, 1, false); }), SStorageValueTooLong);
  EXPECT_EQ(StorageError([&] { storage.PutInt(twoByte32768, 1, false); }), SStorageValueTooLong);
  EXPECT_EQ(StorageError([&] { storage.PutString(u"s", twoByte32768, false); }), SStorageValueTooLong);
  EXPECT_EQ(StorageError([&] { storage.PutBlob(u"b", ByteArray(65536), false); }), SStorageValueTooLong);
  EXPECT_EQ(storage.GetCount(), 0);
  EXPECT_EQ(StorageError([&] { storage.PutInt(ascii65535, 1, false); }), "");
  EXPECT_EQ(StorageError([&] { storage.PutString(u"s", threeByte21845, false); }), "");
  EXPECT_EQ(StorageError([&] { storage.PutBlob(u"b", ByteArray(65535), false); }), "");
  EXPECT_EQ(StorageError([&] { storage.PutString(u"s", ascii65536, true); }), SStorageValueTooLong);
  EXPECT_EQ(static_cast<TKLStringValue*>(storage.Get(u"s"))->GetValue(), threeByte21845);
}

// The example tree: three values under users and one top-level key.
class StorageTree : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char16_t* key : {u"users/1/name", u"users/1/pwd", u"users/2/name", u"index"}) {
      storage.PutString(key, u"v", false);
    }
  }
  TKLStorage storage;
};

struct SubKeysCase {
  std::vector<const char*> Keys; // storage order
  const char* Key;
  bool Recursive;
  std::vector<const char*> Given; // already in the list
  std::vector<const char*> Expected;
};

class StorageSubKeys : public ::testing::TestWithParam<SubKeysCase> {};

TEST_P(StorageSubKeys, AppendsFullPathsLeavesAlwaysAndFoldersOnce) {
  const SubKeysCase& c = GetParam();
  TKLStorage storage;
  for (const char* key : c.Keys) storage.PutInt(U(key), 0, false);
  TStringList list;
  for (const char* given : c.Given) list.Add(U(given));
  storage.GetSubKeys(U(c.Key), list, c.Recursive);
  std::vector<std::string> expected(c.Given.begin(), c.Given.end());
  expected.insert(expected.end(), c.Expected.begin(), c.Expected.end());
  EXPECT_EQ(Lines(list), expected);
}

const std::vector<const char*> kUsers = {"users/1/name", "users/1/pwd", "users/2/name", "index"};

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageSubKeys,
    ::testing::Values(
        SubKeysCase{kUsers, "users", false, {}, {"users/1", "users/2"}},
        SubKeysCase{kUsers, "users/", false, {}, {"users/1", "users/2"}},
        SubKeysCase{kUsers, "users", true, {}, {"users/1/name", "users/1/pwd", "users/2/name"}},
        SubKeysCase{kUsers, "users/1", false, {}, {"users/1/name", "users/1/pwd"}},
        SubKeysCase{kUsers, "", false, {}, {"users", "index"}}, SubKeysCase{kUsers, "/", false, {}, {"users", "index"}},
        SubKeysCase{kUsers, "", true, {}, {"users/1/name", "users/1/pwd", "users/2/name", "index"}},
        SubKeysCase{kUsers, "Users", false, {}, {}}, SubKeysCase{kUsers, "users", false, {"users/1", "x"}, {"users/2"}},
        // A folder whose path is already listed as a leaf is not listed again;
        // a leaf is appended whatever the list holds.
        SubKeysCase{{"x", "x/y"}, "", false, {}, {"x"}}, SubKeysCase{{"x/y", "x"}, "", false, {}, {"x", "x"}},
        SubKeysCase{{"a/b", "a/c/d", "a/b/e", "a/c"}, "a", false, {}, {"a/b", "a/c", "a/c"}},
        // A value whose key is the path itself is not beneath it.
        SubKeysCase{{"a", "a/", "a/b"}, "a", false, {}, {"a/b"}}, SubKeysCase{{"a/", "a//b"}, "a/", false, {}, {"a/"}},
        // Keys beginning with "/" under the root.
        SubKeysCase{{"/a/b", "/c", ""}, "", false, {}, {"", ""}},
        SubKeysCase{{"/a/b", "/c", "", "z"}, "/", false, {}, {"/a", "/c", "", "z"}}));

TEST_F(StorageTree, RemoveByKeyTakesTheSubtreeOnlyWhenRecursive) {
  EXPECT_EQ(storage.Remove(u"users", false), 0);
  EXPECT_EQ(storage.GetCount(), 4);
  EXPECT_EQ(storage.Remove(u"users/1/pwd", false), 1);
  EXPECT_EQ(storage.Remove(u"users", true), 2);
  EXPECT_EQ(Keys(storage), (std::vector<std::string>{"index"}));
  EXPECT_EQ(storage.Get(u"users/1/name"), nullptr);
  std::int32_t index = -1;
  ASSERT_NE(storage.Get(u"index", index), nullptr);
  EXPECT_EQ(index, 0);
}

TEST_F(StorageTree, RemoveByPositionShiftsTheFollowingValues) {
  TKLValue* index = storage.GetValue(3);
  storage.Remove(1);
  EXPECT_EQ(storage.GetValue(2), index);
  std::int32_t position = -1;
  EXPECT_EQ(storage.Get(u"index", position), index);
  EXPECT_EQ(position, 2);
  EXPECT_THROW(storage.Remove(3), EListError);
  EXPECT_THROW(storage.Remove(-1), EListError);
  EXPECT_THROW(storage.GetValue(3), EListError);
  EXPECT_EQ(storage.GetCount(), 3);
}

TEST_F(StorageTree, ChangingAKeyThroughTheValueMovesItsLookup) {
  TKLValue* pwd = storage.GetValue(1);
  pwd->SetKey(u"users/1/password");
  EXPECT_EQ(storage.Get(u"users/1/pwd"), nullptr);
  std::int32_t index = -1;
  EXPECT_EQ(storage.Get(u"users/1/password", index), pwd);
  EXPECT_EQ(index, 1);
  // Renamed onto a key held further on, it becomes the first under that key;
  // renamed away again, the other value is found once more.
  TKLValue* index3 = storage.GetValue(3);
  pwd->SetKey(u"index");
  EXPECT_EQ(storage.Get(u"index"), pwd);
  pwd->SetKey(u"other");
  EXPECT_EQ(storage.Get(u"index"), index3);
  // A Put under the new key replaces the renamed value.
  EXPECT_EQ(storage.PutString(u"other", u"w", true), 1);
  EXPECT_EQ(storage.GetCount(), 4);
}

// A storage kept as the plain list that the lookups are defined by: every
// operation scans from position 0. The real storage must agree with it after
// any sequence of operations.
struct ModelValue {
  String Key;
  std::int32_t Type;
  std::int64_t Payload;
};

class NaiveStorage {
public:
  std::vector<ModelValue> Values;

  std::int32_t Find(const String& Key) const {
    for (std::size_t i = 0; i < Values.size(); ++i) {
      if (Values[i].Key == Key) return static_cast<std::int32_t>(i);
    }
    return -1;
  }

  // "" when the put succeeds.
  std::string Put(const String& Key, std::int32_t Type, std::int64_t Payload, bool Replace) {
    const std::int32_t found = Find(Key);
    if (found < 0) {
      Values.push_back({Key, Type, Payload});
      return "";
    }
    if (!Replace) return SKeyAlreadyExists;
    if (Values[found].Type != Type) return SWrongValueType;
    Values[found].Payload = Payload;
    return "";
  }

  void SubKeys(const String& Key, std::vector<String>& List, bool Recursive) const {
    String prefix = Key;
    if (!prefix.empty() && prefix.back() != u'/') prefix += u'/';
    for (const ModelValue& v : Values) {
      const bool match = prefix.empty() || prefix == u"/" ||
                         (prefix.size() < v.Key.size() && v.Key.substr(0, prefix.size()) == prefix);
      if (!match) continue;
      const String rest = v.Key.size() > prefix.size() ? v.Key.substr(prefix.size()) : String();
      const std::size_t slash = rest.find(u'/');
      if (Recursive || slash == String::npos) {
        List.push_back(v.Key);
        continue;
      }
      const String child = v.Key.substr(0, prefix.size()) + rest.substr(0, slash);
      if (std::find(List.begin(), List.end(), child) == List.end()) List.push_back(child);
    }
  }

  std::int32_t Remove(const String& Key, bool Recursive) {
    std::vector<String> names{Key};
    if (Recursive) SubKeys(Key, names, true);
    std::int32_t count = 0;
    for (const String& name : names) {
      const std::int32_t found = Find(name);
      if (found >= 0) {
        Values.erase(Values.begin() + found);
        ++count;
      }
    }
    return count;
  }
};

class StorageIndexDifferential : public ::testing::Test {
protected:
  const std::vector<String> pool = {u"",      u"/",     u"a",      u"b",     u"a/b",
                                    u"a/c",   u"a/b/c", u"/a",     u"/a/b",  u"a/",
                                    u"a//b",  u"b/a",   u"A",      U("é/x"), u"g/1/t",
                                    u"g/1/p", u"g/2/t", u"g/10/t", u"h/1/t", u"g",
                                    u"a/b/",  u"a/b0",  u"a.b",    u"g/1",   U("\xF0\x9F\x98\x80/a")};

  static std::int32_t TypeFor(std::int64_t Pick) { return static_cast<std::int32_t>(Pick % 4) + 1; }

  void Put(const String& Key, std::int32_t Type, std::int64_t Payload, bool Replace) {
    const std::string expected = model.Put(Key, Type, Payload, Replace);
    EXPECT_EQ(StorageError([&] {
                switch (Type) {
                  case vtBool:
                    storage.PutBool(Key, Payload % 2 == 1, Replace);
                    break;
                  case vtInt:
                    storage.PutInt(Key, static_cast<std::int32_t>(Payload), Replace);
                    break;
                  case vtLong:
                    storage.PutLong(Key, Payload, Replace);
                    break;
                  default:
                    storage.PutString(Key, U(std::to_string(Payload)), Replace);
                    break;
                }
              }),
              expected);
    // The model keeps booleans as their truth value.
    if (expected.empty() && Type == vtBool) model.Values[model.Find(Key)].Payload = Payload % 2;
  }

  void ExpectAgrees(const std::string& Step) {
    SCOPED_TRACE(Step);
    ASSERT_EQ(storage.GetCount(), static_cast<std::int32_t>(model.Values.size()));
    for (std::int32_t i = 0; i < storage.GetCount(); ++i) {
      ASSERT_EQ(storage.GetValue(i)->GetKey(), model.Values[i].Key) << "position " << i;
      ASSERT_EQ(storage.GetValue(i)->GetValueType(), model.Values[i].Type) << "position " << i;
    }
    for (const String& key : pool) {
      std::int32_t index = -7;
      const TKLValue* found = storage.Get(key, index);
      const std::int32_t expected = model.Find(key);
      ASSERT_EQ(found == nullptr ? -1 : index, expected) << Narrow(key);
      if (found != nullptr) {
        ASSERT_EQ(found, storage.GetValue(index));
      }
      std::int64_t payload = 0;
      bool typed = false;
      switch (expected < 0 ? 0 : model.Values[expected].Type) {
        case vtInt: {
          std::int32_t v = 0;
          typed = storage.GetInt(key, v, 0);
          payload = v;
          break;
        }
        case vtLong:
          typed = storage.GetLong(key, payload, 0);
          break;
        case vtBool: {
          bool v = false;
          typed = storage.GetBool(key, v, false);
          payload = v ? 1 : 0;
          break;
        }
        case vtString: {
          String v;
          typed = storage.GetString(key, v, u"");
          payload = std::stoll(Narrow(v));
          break;
        }
        default:
          continue;
      }
      ASSERT_TRUE(typed) << Narrow(key);
      ASSERT_EQ(payload, model.Values[expected].Payload) << Narrow(key);
    }
  }

  void ExpectSameSubKeys(const String& Key, bool Recursive, std::mt19937& Random) {
    std::vector<String> expected;
    TStringList list;
    if (Random() % 3 == 0) {
      expected.push_back(pool[Random() % pool.size()]);
      list.Add(expected.back());
    }
    model.SubKeys(Key, expected, Recursive);
    storage.GetSubKeys(Key, list, Recursive);
    ASSERT_EQ(std::vector<String>(list.begin(), list.end()), expected) << Narrow(Key) << " " << Recursive;
  }

  TKLStorage storage;
  NaiveStorage model;

  // Checking reads every value, which makes its object; checking only every
  // CheckEvery steps lets loaded values stay as their records meanwhile.
  void Run(std::uint32_t Seed, int CheckEvery);
};

void StorageIndexDifferential::Run(std::uint32_t Seed, int CheckEvery) {
  std::mt19937 random(Seed);
  for (int step = 0; step < 6000; ++step) {
    const String& key = pool[random() % pool.size()];
    const auto pick = static_cast<std::int64_t>(random() % 1000);
    const auto op = random() % 100;
    std::string name;
    if (op < 45) {
      name = "put";
      Put(key, TypeFor(pick), pick, random() % 2 == 0);
    } else if (op < 55 && !model.Values.empty()) {
      name = "remove at";
      const auto index = static_cast<std::int32_t>(random() % model.Values.size());
      storage.Remove(index);
      model.Values.erase(model.Values.begin() + index);
    } else if (op < 67) {
      name = "remove key";
      const bool recursive = random() % 2 == 0;
      ASSERT_EQ(storage.Remove(key, recursive), model.Remove(key, recursive)) << Narrow(key) << recursive;
    } else if (op < 82 && !model.Values.empty()) {
      name = "set key";
      const auto index = static_cast<std::int32_t>(random() % model.Values.size());
      storage.GetValue(index)->SetKey(key);
      model.Values[index].Key = key;
    } else if (op < 90 && model.Values.size() < 60) {
      // Loading appends a copy of every value: duplicates come only this way.
      name = "load";
      TMemoryStream stream;
      storage.SaveToStream(stream, u"");
      stream.SetPosition(0);
      storage.LoadFromStream(stream, u"");
      const std::vector<ModelValue> copy = model.Values;
      model.Values.insert(model.Values.end(), copy.begin(), copy.end());
    } else if (op < 91) {
      name = "clear";
      storage.Clear();
      model.Values.clear();
    } else {
      name = "subkeys";
      ExpectSameSubKeys(key, random() % 2 == 0, random);
    }
    if (step % CheckEvery == 0) ExpectAgrees("step " + std::to_string(step) + ": " + name + " " + Narrow(key));
    if (HasFatalFailure()) return;
  }
}

TEST_F(StorageIndexDifferential, LookupsMatchALinearScanThroughEveryMutation) { Run(20240611, 1); }

TEST_F(StorageIndexDifferential, LoadedValuesLeftUnreadBehaveTheSame) {
  for (const std::uint32_t seed : {7U, 1207U, 99991U}) Run(seed, 9);
}

} // namespace
} // namespace kl
