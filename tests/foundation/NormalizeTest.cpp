#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "foundation/KLNormalize.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

// "0065 0301" as text.
String FromCodePoints(const std::string& Hex) {
  String text;
  std::istringstream in(Hex);
  std::string item;
  while (in >> item) {
    const auto point = static_cast<std::uint32_t>(std::stoul(item, nullptr, 16));
    if (point >= 0x10000) {
      text.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(point));
    }
  }
  return text;
}

struct TNormalizationCase {
  String Source;
  String Forms[4]; // NFC, NFD, NFKC, NFKD
  std::string Line;
};

std::vector<TNormalizationCase> LoadCases() {
  std::ifstream file(test::DataPath("unicode_normalization.txt"));
  std::vector<TNormalizationCase> cases;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string field;
    TNormalizationCase c;
    c.Line = line;
    std::getline(fields, field, ';');
    c.Source = FromCodePoints(field);
    for (String& form : c.Forms) {
      std::getline(fields, field, ';');
      form = FromCodePoints(field);
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

TEST(UnicodeNormalization, EachFormMatchesKnownAnswers) {
  const auto cases = LoadCases();
  ASSERT_GE(cases.size(), 10u);
  const TKLNormalForm forms[] = {nfC, nfD, nfKC, nfKD};
  for (const auto& c : cases) {
    for (int f = 0; f < 4; ++f) {
      EXPECT_EQ(NormalizeText(c.Source, forms[f]), c.Forms[f]) << c.Line << " form " << f;
      // Every form is stable: normalising its own output changes nothing.
      EXPECT_TRUE(IsNormalized(c.Forms[f], forms[f])) << c.Line << " form " << f;
    }
  }
}

TEST(UnicodeNormalization, PasswordsTakeNfkcAndNamesNfc) {
  EXPECT_EQ(NormalizePassword(u"Cafe\u0301 \uFB01"), u"Caf\u00E9 fi");
  EXPECT_EQ(NormalizeUserName(u"Cafe\u0301 \uFB01"), u"Caf\u00E9 \uFB01");
}

// A long run of combining marks in the wrong order is put in canonical order
// as a short one is (and, being sorted by counting, in linear time).
TEST(UnicodeNormalization, LongRunsOfMarksAreOrderedStably) {
  String source = u"a";
  String expected = u"a";
  for (int i = 0; i < 200; ++i) source += u"\u0301\u0323\u0302";
  expected.append(200, u'\u0323');
  for (int i = 0; i < 200; ++i) expected += u"\u0301\u0302";
  EXPECT_EQ(NormalizeText(source, nfD), expected);
  // Composed: the dot below goes onto the a, the rest stays in order.
  EXPECT_EQ(NormalizeText(source, nfC), u"\u1EA1" + expected.substr(2));
}

TEST(UnicodeNormalization, TextWithAnUnpairedSurrogateComesBackUnchanged) {
  for (const String& bad : {String(u"e\u0301\xD800"), String(u"\xDC00\u00E9")}) {
    for (const TKLNormalForm form : {nfC, nfD, nfKC, nfKD}) EXPECT_EQ(NormalizeText(bad, form), bad);
  }
}

TEST(UnicodeNormalization, CodePointCountCountsPairsOnce) {
  const struct {
    String Text;
    std::size_t Count;
  } cases[] = {{u"", 0}, {u"abc", 3}, {u"e\u0301", 2}, {u"\U0001F600x", 2}, {u"\xD800x", 2}, {u"x\xDC00\xD800", 3}};
  for (const auto& c : cases) EXPECT_EQ(CodePointCount(c.Text), c.Count) << test::Narrow(c.Text);
}

} // namespace
} // namespace kl
