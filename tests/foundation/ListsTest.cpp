#include <gtest/gtest.h>

#include "foundation/Convert.h"
#include "foundation/Exceptions.h"
#include "foundation/PointerList.h"
#include "foundation/StringList.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

TEST(PointerList, IndexErrorsChangeNothing) {
  int a = 1, b = 2;
  TPointerList<int> list;
  EXPECT_EQ(list.Add(&a), 0);
  EXPECT_EQ(list.Add(&b), 1);
  EXPECT_THROW(list.Get(2), EListError);
  EXPECT_THROW(list.Get(-1), EListError);
  EXPECT_THROW(list.Delete(2), EListError);
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Remove(&a), 0);
  EXPECT_EQ(list.Get(0), &b);
  EXPECT_EQ(list.Remove(&a), -1);
}

TEST(StringList, BasicOperationsAndIndexErrors) {
  TStringList list;
  list.Add(u"a");
  list.Add(u"b");
  list.Add(u"a");
  EXPECT_EQ(list.IndexOf(u"a"), 0);
  EXPECT_EQ(list.IndexOf(u"A"), -1);
  list.Put(1, u"c");
  list.Delete(0);
  EXPECT_EQ(list.Get(0), u"c");
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_THROW(list.Get(2), EListError);
  EXPECT_THROW(list.Put(-1, u"x"), EListError);
  EXPECT_THROW(list.Delete(5), EListError);
  EXPECT_EQ(list.GetText(), u"c\na\n");
  list.Insert(2, u"end"); // just after the last line
  list.Insert(0, u"start");
  EXPECT_THROW(list.Insert(5, u"x"), EListError);
  EXPECT_THROW(list.Insert(-1, u"x"), EListError);
  EXPECT_EQ(list.GetText(), u"start\nc\na\nend\n");
}

TEST(StringList, FileRoundTripKeepsNonAsciiLinesAndEmptyLines) {
  test::TempDir dir;
  TStringList out;
  for (const char* line : {"first", "", "caf\xC3\xA9 \xE2\x82\xAC", "\xF0\x9F\x98\x80 emoji", "last"}) out.Add(U(line));
  out.SaveToFile(dir.FileU("lines.txt"));
  EXPECT_EQ(test::ReadFileBytes(dir.File("lines.txt")),
            "first\n\ncaf\xC3\xA9 \xE2\x82\xAC\n\xF0\x9F\x98\x80 emoji\nlast\n");
  TStringList in;
  in.LoadFromFile(dir.FileU("lines.txt"));
  ASSERT_EQ(in.GetCount(), out.GetCount());
  for (int i = 0; i < in.GetCount(); ++i) EXPECT_EQ(in.Get(i), out.Get(i));
}

TEST(StringList, LoadAcceptsCrLfBomAndMissingFinalBreak) {
  test::TempDir dir;
  test::WriteFileBytes(dir.File("crlf.txt"), "\xEF\xBB\xBFone\r\ntwo\r\n\r\nthree");
  TStringList list;
  list.Add(u"stale");
  list.LoadFromFile(dir.FileU("crlf.txt"));
  ASSERT_EQ(list.GetCount(), 4);
  EXPECT_EQ(list.Get(0), u"one");
  EXPECT_EQ(list.Get(1), u"two");
  EXPECT_EQ(list.Get(2), u"");
  EXPECT_EQ(list.Get(3), u"three");
}

TEST(StringList, LoadingAMissingFileFailsAndKeepsTheList) {
  test::TempDir dir;
  TStringList list;
  list.Add(u"kept");
  EXPECT_THROW(list.LoadFromFile(dir.FileU("missing")), EFOpenError);
  ASSERT_EQ(list.GetCount(), 1);
}

TEST(DecimalConversion, AcceptsOnlyPlainDecimalIntegersInRange) {
  EXPECT_EQ(StrToInt(u"0"), 0);
  EXPECT_EQ(StrToInt(u"-17"), -17);
  EXPECT_EQ(StrToInt(u"+5"), 5);
  EXPECT_EQ(StrToInt(u"2147483647"), 2147483647);
  EXPECT_EQ(StrToInt(u"-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt64(u"-9223372036854775808"), INT64_MIN);
  for (const char* bad : {"", "-", "+", " 1", "1 ", "1a", "0x10", "2147483648", "-2147483649", "1.0", "\xD9\xA1"}) {
    EXPECT_THROW(StrToInt(U(bad)), EConvertError) << bad;
  }
  EXPECT_THROW(StrToInt64(u"9223372036854775808"), EConvertError);
  EXPECT_EQ(IntToStr(-42), u"-42");
  EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
}

} // namespace
} // namespace kl
