#include <gtest/gtest.h>

#include "foundation/Convert.h"
#include "foundation/KLGeneral.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

TEST(HexConversion, BytesToHexIsUpperCaseTwoDigitsPerByte) {
  EXPECT_EQ(BytesToHexStr(ByteArray{0x00, 0xAB, 0xFF}), u"00ABFF");
  EXPECT_EQ(BytesToHexStr(ByteArray{}), u"");
}

TEST(HexConversion, HexToBytesAcceptsEitherCase) {
  EXPECT_EQ(HexStrToBytes(u"0a1B"), (ByteArray{0x0A, 0x1B}));
  EXPECT_EQ(HexStrToBytes(u"00ABFF"), (ByteArray{0x00, 0xAB, 0xFF}));
  EXPECT_TRUE(HexStrToBytes(u"").empty());
}

TEST(HexConversion, OddLengthGivesEmptyArrayWithoutError) { EXPECT_TRUE(HexStrToBytes(u"abc").empty()); }

TEST(HexConversion, NonHexPairRaisesConversionErrorNotLibraryError) {
  for (const String& bad : {String(u"0G"), String(u"  "), String(u"+1"), String(u"00x0"), String(u"\u00e90")}) {
    try {
      HexStrToBytes(bad);
      FAIL() << "no error for " << test::Narrow(bad);
    } catch (const EKLException&) {
      FAIL() << "raised a library error";
    } catch (const EConvertError&) {
    }
  }
}

TEST(HexConversion, RoundTripNormalisesToUpperCase) {
  ByteArray all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(HexStrToBytes(BytesToHexStr(all)), all);
  EXPECT_EQ(BytesToHexStr(HexStrToBytes(u"deadBEEF")), u"DEADBEEF");
}

TEST(Utf8Conversion, EncodesAndDecodesEveryPlane) {
  const String text = u"a\u00e9\u20ac\U0001F600";
  const RawByteString utf8 = StrToUTF8(text);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(UTF8ToStr(utf8), text);
  EXPECT_EQ(RawByteStringToBytes(StrToUTF8(u"\u00e9")), (ByteArray{0xC3, 0xA9}));
  EXPECT_EQ(StrToUTF8(u""), "");
  EXPECT_EQ(UTF8ToStr(""), u"");
}

TEST(Utf8Conversion, UnpairedSurrogatesEncodeAsReplacementCharacter) {
  EXPECT_EQ(StrToUTF8(String(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(StrToUTF8(String{char16_t(0xDC00), u'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(StrToUTF8(String{u'a', char16_t(0xD83D)}), "a\xEF\xBF\xBD");
}

TEST(Utf8Conversion, StrictEncodingRefusesUnpairedSurrogates) {
  for (const String& bad : {String(1, char16_t(0xD800)), String{u'x', char16_t(0xDBFF), u'y'},
                            String{char16_t(0xDC00), char16_t(0xD800)}}) {
    EXPECT_FALSE(IsValidUTF16(bad));
    EXPECT_THROW(StrToUTF8Strict(bad), EConvertError);
  }
  const String good = u"caf\u00e9 \U0001F511";
  EXPECT_TRUE(IsValidUTF16(good));
  EXPECT_EQ(StrToUTF8Strict(good), StrToUTF8(good));
}

TEST(Utf8Conversion, MalformedInputDecodesAsOneReplacementPerMaximalSubpart) {
  struct Case {
    std::string in;
    String out;
  };
  const Case cases[] = {
      {"\x80", u"\uFFFD"},
      {"\xC3", u"\uFFFD"},     // truncated at the end
      {"\xE2\x82", u"\uFFFD"}, // truncated three-byte sequence
      {"\xE2\x82"
       "a",
       u"\uFFFDa"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // beyond U+10FFFF
      {"\xFF"
       "b",
       u"\uFFFDb"},
  };
  for (const Case& c : cases) EXPECT_EQ(UTF8ToStr(c.in), c.out) << test::ToHex(c.in.data(), c.in.size());
}

// ASCII goes eight bytes at a time: a sequence that is not ASCII, well-formed
// or not, is decoded as it is wherever it falls in or across such a block,
// and the ASCII on either side of it is kept.
TEST(Utf8Conversion, SequencesAnywhereInAsciiRunsDecodeAsAlone) {
  struct Case {
    std::string in;
    String out;
  };
  const Case cases[] = {
      {"\xC3\xA9", u"\u00e9"},       {"\xE2\x82\xAC", u"\u20ac"}, {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xE2\x82", u"\uFFFD"}, // truncated, ASCII after it
      {"\xC0\xAF", u"\uFFFD\uFFFD"}, {"\xFF", u"\uFFFD"},         {"\x80\x80", u"\uFFFD\uFFFD"},
  };
  const std::string ascii = "0123456789abcdefghijklmn";
  for (const Case& c : cases) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      const std::string in = ascii.substr(0, at) + c.in + ascii.substr(at);
      const String want = AsciiToStr(ascii.substr(0, at).c_str()) + c.out + AsciiToStr(ascii.substr(at).c_str());
      EXPECT_EQ(UTF8ToStr(in), want) << test::ToHex(in.data(), in.size());
    }
  }
  // Bytes before and after the range given are never read.
  const std::string framed = "\xC3" + ascii + "\xC3";
  EXPECT_EQ(UTF8ToStr(reinterpret_cast<const std::uint8_t*>(framed.data()) + 1, ascii.size()),
            AsciiToStr(ascii.c_str()));
  EXPECT_EQ(UTF8ToStr(reinterpret_cast<const std::uint8_t*>(framed.data()) + 1, 0), u"");
}

TEST(Utf8Conversion, ValidityCheckPointsAtTheFirstMalformedSequence) {
  struct Case {
    std::string in;
    std::size_t invalidAt; // npos: valid
  };
  constexpr std::size_t kValid = std::string::npos;
  const Case cases[] = {
      {"", kValid},
      {"caf\xC3\xA9 \xF0\x9F\x94\x91", kValid},
      {"caf\xE9", 3},
      {"caf\xE8", 3},
      {"caf\xFF", 3},
      {"caf\x80", 3},
      {"ab\xC0\xAF", 2},
      {"\xED\xA0\x80", 0},
      {"\xF4\x90\x80\x80", 0},
      {"ok\xE2\x82", 2},
      {"\xEF\xBF\xBD", kValid},
  };
  for (const Case& c : cases) {
    std::size_t at = kValid;
    const bool valid = IsValidUTF8(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), &at);
    EXPECT_EQ(valid, c.invalidAt == kValid) << test::ToHex(c.in.data(), c.in.size());
    EXPECT_EQ(at, c.invalidAt) << test::ToHex(c.in.data(), c.in.size());
    EXPECT_EQ(IsValidUTF8(c.in), valid);
  }
}

TEST(Helpers, MinBoolToByteAndFreeAndNil) {
  EXPECT_EQ(Min(5, 5), 5);
  EXPECT_EQ(Min(-1, 0), -1);
  EXPECT_EQ(BoolToByte(true), 1);
  EXPECT_EQ(BoolToByte(false), 0);

  struct Probe {
    bool* destroyed;
    ~Probe() { *destroyed = true; }
  };
  bool destroyed = false;
  Probe* p = new Probe{&destroyed};
  FreeAndNil(p);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(p, nullptr);
  FreeAndNil(p); // a clear reference is left alone
  EXPECT_EQ(p, nullptr);
}

} // namespace
} // namespace kl
