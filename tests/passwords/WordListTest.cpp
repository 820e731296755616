#include <gtest/gtest.h>

#include <set>

#include "passwords/KLPasswords.h"
#include "passwords/KLWordList.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

std::vector<String> Words(const TKLWordList& List) {
  std::vector<String> words;
  for (std::size_t i = 0; i < List.GetCount(); ++i) words.push_back(List.Get(i));
  return words;
}

TEST(WordList, TheEmbeddedListIsTheEffLongList) {
  const std::vector<String> words = Words(TKLWordList());
  ASSERT_EQ(words.size(), 7776u);
  EXPECT_EQ(std::set<String>(words.begin(), words.end()).size(), 7776u);
  EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
  EXPECT_EQ(words.front(), u"abacus");
  EXPECT_EQ(words[1], u"abdomen");
  EXPECT_EQ(words[2], u"abdominal"); // stored as what it adds to "abdom"
  EXPECT_EQ(words[3887], u"massive"); // dice number 36666
  EXPECT_EQ(words.back(), u"zoom");
}

TEST(WordList, LoadedListsAreTrimmedAndHoldEachWordOnce) {
  test::TempDir dir;
  const struct {
    std::string Bytes;
    std::vector<String> Expected;
  } cases[] = {
      {"one\ntwo\nthree\n", {u"one", u"two", u"three"}},
      {"\xEF\xBB\xBFone\r\n  two\t\r\n\r\none\n\ntwo", {u"one", u"two"}},
      {"11111\tabacus\n11112 abdomen\n2024\n", {u"abacus", u"abdomen", u"2024"}},
      {"caf\xC3\xA9\nna\xC3\xAFve words\n", {u"caf\u00e9", u"na\u00efve words"}},
  };
  for (const auto& c : cases) {
    test::WriteFileBytes(dir.File("list.txt"), c.Bytes);
    EXPECT_EQ(Words(TKLWordList::LoadFromFile(dir.FileU("list.txt"))), c.Expected) << c.Bytes;
  }
  EXPECT_EQ(Words(TKLWordList({u" x ", u"y", u"", u"x"})), (std::vector<String>{u"x", u"y"}));
}

TEST(WordList, UnusableListsAreRefused) {
  test::TempDir dir;
  const struct {
    std::string Bytes;
    std::int64_t MaxFileSize;
    const char* Message;
  } cases[] = {
      {"", TKLWordList::DefaultMaxFileSize, SWordListTooShort},
      {"same\nsame\n  same\n", TKLWordList::DefaultMaxFileSize, SWordListTooShort},
      {"caf\xE9\ncaf\xE8\n", TKLWordList::DefaultMaxFileSize, SWordListNotText},
      {"one\ntwo\n\xED\xA0\x80\n", TKLWordList::DefaultMaxFileSize, SWordListNotText},
      {"one\ntwo\nthree\n", 13, SWordListTooLarge},
  };
  for (const auto& c : cases) {
    test::WriteFileBytes(dir.File("list.txt"), c.Bytes);
    try {
      TKLWordList::LoadFromFile(dir.FileU("list.txt"), c.MaxFileSize);
      ADD_FAILURE() << "no exception for " << c.Bytes;
    } catch (const EKLPasswordError& e) {
      EXPECT_STREQ(e.what(), c.Message) << c.Bytes;
    }
  }
  test::WriteFileBytes(dir.File("list.txt"), "one\ntwo\nthree\n");
  EXPECT_EQ(TKLWordList::LoadFromFile(dir.FileU("list.txt"), 14).GetCount(), 3u);
  EXPECT_THROW(TKLWordList({u"a", String(u"b") + Char(0xDC00)}), EKLPasswordError);
}

} // namespace
} // namespace kl
