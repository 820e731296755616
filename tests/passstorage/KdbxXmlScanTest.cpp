// The fast XML scanner against expat: what it reads it reports as expat
// does, in pieces of any size; what it does not read, or what is not well
// formed, it leaves (and expat decides).
#include <gtest/gtest.h>

#include <string>

#include "tests/passstorage/XmlEventLog.h"

namespace kl {
namespace {

struct TCase {
  const char* Name;
  std::string Xml;
  bool Fast;  // the scanner reads it
  bool Expat; // expat reads it
};

const TCase kCases[] = {
    {"a KDBX document",
     "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n<KeePassFile>\n\t<Meta><Generator>g</Generator>"
     "</Meta><Root><Group><Entry><String><Key>Title</Key><Value Protected=\"True\">YWJj</Value></String>"
     "<String><Key>Notes</Key><Value/></String></Entry></Group></Root>\n</KeePassFile>\n",
     true, true},
    {"references",
     "<a k=\"&lt;&#x41;&#66;&amp;&quot;&apos;&gt;&#9;&#10;&#13;\">&lt;x&gt; &#128512;&#xFFFD;&#0065;&#x10FFFF;</a>",
     true, true},
    {"line ends", "<a k='x\r\ny\tz\nw\rv'>1\r\n2\r3\n\r\r\n</a>", true, true},
    {"a byte order mark", "\xEF\xBB\xBF<?xml version='1.0'?><a/>", true, true},
    {"comments, instructions, CDATA",
     "<!-- c --><?pi some data?><a>x<!-- in -->y<![CDATA[<&]]]>z\r\n<![CDATA[]]><?xml-stylesheet q?></a>"
     "<!--after--> \n<?end?>",
     true, true},
    {"line ends in CDATA", "<a><![CDATA[x\r\ny\rz\n]]></a>", true, true},
    {"multibyte text", "<a k='\xC3\xA9'>\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC2\x85\xEF\xBF\xBD\xF4\x8F\xBF\xBF</a>",
     true, true},
    {"spaces within tags", "<a  x = \"1\"\ty='2'\n></a >", true, true},
    {"names", "<a.b-c:d e:f='1' _g9='2'><_/></a.b-c:d>", true, true},
    {"many values decoded",
     "<a a='&amp;' b='&amp;' c='&amp;' d='&amp;' e='&amp;' f='&amp;' g='&amp;' h='&amp;' i='&amp;' j='&amp;'/>", true,
     true},
    {"a text of brackets", "<a>]] ] >]</a>", true, true},
    {"a document type", "<!DOCTYPE a><a/>", false, false},
    {"a name beyond ASCII", "<\xC3\x9Cnknown>v</\xC3\x9Cnknown>", false, true},
    {"a name with a colon first", "<:a/>", false, true},
    {"another encoding declared", "<?xml version='1.0' encoding='ISO-8859-1'?><a/>", false, true},
    {"an undefined entity", "<a>&nbsp;</a>", false, false},
    {"tags that do not match", "<a></b>", false, false},
    {"an element left open", "<a><b></b>", false, false},
    {"no element", " \n", false, false},
    {"an attribute twice", "<a x='1' x='2'/>", false, false},
    {"attributes not set apart", "<a x='1'y='2'/>", false, false},
    {"'<' in a value", "<a x='<'/>", false, false},
    {"']]>' in text", "<a>x]]>y</a>", false, false},
    {"']]>' in a long run of text", "<a>" + std::string(40, 'x') + "]]>" + std::string(40, 'y') + "</a>", false, false},
    {"a long run of text with controls and markup in it",
     "<a>" + std::string(20, 'x') + "\t\n" + std::string(17, 'y') + "]" + std::string(30, 'z') + "&amp;" +
         std::string(15, 'w') + "\xC3\xA9" + std::string(16, 'v') + "\r\n</a>",
     true, true},
    {"a control character", "<a>\x01</a>", false, false},
    {"an overlong form", "<a>\xC0\xAF</a>", false, false},
    {"a surrogate", "<a>\xED\xA0\x80</a>", false, false},
    {"U+FFFE", "<a>\xEF\xBF\xBE</a>", false, false},
    {"a cut character", "<a>\xE2\x82</a>", false, false},
    {"a reference to no character", "<a>&#0;</a>", false, false},
    {"a reference to a surrogate", "<a>&#xD800;</a>", false, false},
    {"a reference beyond Unicode", "<a>&#x110000;</a>", false, false},
    {"two document elements", "<a/><b/>", false, false},
    {"text after the document", "<a/>x", false, false},
    {"a declaration not first", " <?xml version='1.0'?><a/>", false, false},
    {"'--' in a comment", "<!-- a -- b --><a/>", false, false},
    {"an unended comment", "<a/><!-- a", false, false},
    {"CDATA outside the document", "<![CDATA[x]]><a/>", false, false},
};

TEST(KdbxXmlScan, ReportsWhatExpatReportsAndLeavesTheRest) {
  for (const TCase& c : kCases) {
    std::string expat;
    EXPECT_EQ(test::ExpatXml(c.Xml, expat), c.Expat) << c.Name;
    for (const std::size_t piece : {c.Xml.size() + 1, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
      std::string fast;
      EXPECT_EQ(test::ScanXml(c.Xml, piece, fast), c.Fast) << c.Name << ", pieces of " << piece;
      if (c.Fast) {
        EXPECT_EQ(fast, expat) << c.Name << ", pieces of " << piece;
      }
    }
  }
}

// A token cut by the end of a piece is carried over only up to a bound, so
// no piece is scanned more than twice; a longer one is left to expat.
TEST(KdbxXmlScan, ATokenCarriedAcrossPiecesIsBounded) {
  const std::string comment = "<!--" + std::string(detail::TKdbxXmlScanner::MaxCarried, 'c') + "-->";
  const std::string xml = "<a>" + comment + "</a>";
  std::string events;
  EXPECT_TRUE(test::ScanXml(xml, xml.size(), events)) << "whole";
  EXPECT_FALSE(test::ScanXml(xml, 4096, events)) << "in pieces";
  const std::string text = "<a>" + std::string(3 * detail::TKdbxXmlScanner::MaxCarried, 't') + "</a>";
  EXPECT_TRUE(test::ScanXml(text, 4096, events)) << "a long text is never carried";
  EXPECT_EQ(events, "S1:aT" + std::to_string(text.size() - 7) + ":" + text.substr(3, text.size() - 7) + "E");
}

} // namespace
} // namespace kl
