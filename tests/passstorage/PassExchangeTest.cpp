#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "foundation/MemoryStream.h"
#include "passstorage/ExchangeFormats.h"
#include "passstorage/KLPassExchange.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

// Every field of a record, time stamps included, for comparison.
struct TFields {
  String Group, Title, Username, Password, URL, Note;
  std::int64_t Created = 0, Modified = 0, Accessed = 0;
  bool operator==(const TFields&) const = default;
};

// Reads without going through the getters, which would stamp the access time.
std::vector<TFields> FieldsOf(TKLPassStorage& Store) {
  std::vector<TFields> out;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    TKLPassRecord& rec = *Store.GetRecord(i);
    const std::int64_t accessed = rec.GetLastAccessDate();
    TFields f{rec.GetGroup(), rec.GetTitle(),        rec.GetUsername(),         rec.GetPassword(), rec.GetURL(),
              rec.GetNote(),  rec.GetCreationDate(), rec.GetModificationDate(), accessed};
    out.push_back(f);
  }
  return out;
}

std::string Export(TKLPassStorage& Store, TKLExchangeFormat Format, bool Safe = false) {
  TMemoryStream strm;
  ExportPassRecords(Store, strm, {Format, Safe});
  return std::string(reinterpret_cast<const char*>(strm.GetMemory()), static_cast<std::size_t>(strm.GetSize()));
}

TKLImportReport Import(TKLPassStorage& Store, const std::string& Text, TKLExchangeFormat Format = exAuto,
                       const String& Group = {}) {
  TMemoryStream strm;
  strm.WriteBuffer(Text.data(), static_cast<std::int32_t>(Text.size()));
  strm.SetPosition(0);
  return ImportPassRecords(Store, strm, {Format, Group});
}

// Records whose texts a CSV or JSON writer could get wrong.
void AddHostileRecords(TKLPassStorage& Store) {
  const std::vector<std::vector<String>> rows = {
      {u"Work", u"a,b \"quoted\"", u"", u"p\"w,\r\n\n\r\t", u"https://x.example/?a=1,b=2", u""},
      {u"Gr\u00fcppe \u2215 nested", U("\xf0\x9f\x98\x80 emoji"), U("\xf0\x90\x8d\x88"), u"=1+2", u"@SUM(A1)",
       u"-note"},
      {u"General", u"", u"\"", u"\"\"", u",", String(60000, u'n')},
      {u"spaces ", u" lead", u"trail ", u"\t", u"line\nbreak", u"\r"},
      {u"C:\\", u"back\\slash\\", u"\\\"", u"\\u0041\\n", u"\\\\", u"\x01\x1f\x7f"}};
  for (const auto& row : rows) Store.Add(row[1], row[2], row[3], row[4], row[5], row[0]);
}

class ExchangeRoundTrip : public ::testing::TestWithParam<TKLExchangeFormat> {};

// Our own layouts carry every text and time stamp exactly, whatever the text.
TEST_P(ExchangeRoundTrip, KeepsEveryFieldOfHostileRecords) {
  TKLPassStorage store;
  AddHostileRecords(store);
  const std::string text = Export(store, GetParam());
  const std::vector<TFields> exported = FieldsOf(store);
  TKLPassStorage copy;
  const TKLImportReport report = Import(copy, text);
  EXPECT_EQ(report.Format, GetParam());
  EXPECT_EQ(report.Added, 5);
  EXPECT_EQ(FieldsOf(copy), exported);
}

TEST_P(ExchangeRoundTrip, KeepsExtremeTimeStamps) {
  const std::string text =
      GetParam() == exCsv
          ? "Group,Title,Username,Password,URL,Notes,Created,Modified,Accessed\nG,t,,,,,-9223372036854775808,"
            "9223372036854775807,-1\n"
          : "{\"format\": \"klpassword-records\", \"version\": 1, \"records\": [{\"created\": "
            "-9223372036854775808, \"modified\": 9223372036854775807, \"accessed\": -1}]}";
  TKLPassStorage store;
  Import(store, text);
  TKLPassStorage copy;
  Import(copy, Export(store, GetParam()));
  EXPECT_EQ(copy.GetRecord(0)->GetCreationDate(), INT64_MIN);
  EXPECT_EQ(copy.GetRecord(0)->GetModificationDate(), INT64_MAX);
}

std::string FormatTestName(TKLExchangeFormat Format) {
  std::string name = ExchangeFormatName(Format);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(OwnLayouts, ExchangeRoundTrip, ::testing::Values(exCsv, exJson),
                         [](const auto& Info) { return FormatTestName(Info.param); });

// What each foreign layout carries through a move out and back in.
struct TLayoutCase {
  TKLExchangeFormat Format;
  bool Group, Dates;
};

class ExchangeForeignLayout : public ::testing::TestWithParam<TLayoutCase> {};

TEST_P(ExchangeForeignLayout, CarriesItsFields) {
  TKLPassStorage store;
  AddHostileRecords(store);
  const std::string text = Export(store, GetParam().Format);
  const std::vector<TFields> exported = FieldsOf(store);
  TKLPassStorage copy;
  EXPECT_EQ(Import(copy, text).Format, GetParam().Format);
  const std::vector<TFields> imported = FieldsOf(copy);
  ASSERT_EQ(imported.size(), exported.size());
  for (std::size_t i = 0; i < imported.size(); ++i) {
    TFields expected = exported[i];
    if (!GetParam().Group) expected.Group = DefaultPassGroup;
    if (!GetParam().Dates) {
      expected.Created = imported[i].Created;
      expected.Modified = 0;
    }
    expected.Accessed = imported[i].Accessed;
    EXPECT_EQ(imported[i], expected) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExchangeForeignLayout,
                         ::testing::Values(TLayoutCase{exKeePassXCCsv, true, true},
                                           TLayoutCase{exBitwardenCsv, true, false},
                                           TLayoutCase{exBrowserCsv, false, false},
                                           TLayoutCase{exBitwardenJson, true, true}),
                         [](const auto& Info) { return FormatTestName(Info.param.Format); });

TEST(PassExchange, ImportsHandWrittenSamplesOfEachForeignLayout) {
  struct TSample {
    const char* File;
    TKLExchangeFormat Format;
    std::vector<TFields> Records;
    std::int32_t Renamed, Extras, Skipped;
  };
  const std::int64_t day = 86400;
  const std::vector<TSample> samples = {
      {"keepassxc.csv",
       exKeePassXCCsv,
       {{u"Root", u"Bank", u"alice99", u"b@nk, \"secret\"", u"https://bank.example", u"PIN is elsewhere\r\nsecond line",
         19715 * day + 8 * 3600, 19783 * day + 37230, 0},
        {u"Root/Email", u"Mail", u"alice@example.com", u"m41l!", u"https://mail.example",
         u"TOTP: otpauth://totp/Mail?secret=JBSWY3DPEHPK3PXP", 19723 * day, 19755 * day + 7322, 0}},
       0,
       1,
       0},
      {"bitwarden.csv",
       exBitwardenCsv,
       {{u"Work", u"GitHub", u"alice", u"gh-secret", u"https://github.com", u"Fields: token: abc"},
        {u"General", u"Wifi", u"", u"", u"", u"SSID home, key below"},
        {u"Work/Servers", u"Router", u"admin", u"pa,ss\"word", u"http://192.168.1.1", u"TOTP: JBSWY3DP"}},
       0,
       2,
       0},
      {"browser.csv",
       exBrowserCsv,
       {{u"General", u"example.com", u"bob", u"hunter2", u"https://example.com/login", u""},
        {u"General", u"Ünïcödé 😀", u"böb", u"pässwörd😀", u"https://example.org", u"multi\nline"}},
       0,
       0,
       0},
      {"bitwarden.json",
       exBitwardenJson,
       {{u"Work", u"GitHub", u"alice", u"gh-secret", u"https://github.com",
         u"2FA on phone\nURL: https://gist.github.com\nTOTP: JBSWY3DP\nPIN: 1234", 19359 * day + 11045,
         19849 * day + 25689, 0},
        {u"General", u"Door code", u"", u"", u"", u"4711", 19025 * day + 43200, 19025 * day + 43200, 0},
        {u"Work/Servers", u"Router", u"admin", u"röuter😀", u"", u"", 18785 * day + 29350, 18785 * day + 29350, 0}},
       0,
       1,
       1},
  };
  for (const TSample& sample : samples) {
    SCOPED_TRACE(sample.File);
    TKLPassStorage store;
    const std::string text = test::ReadFileBytes(test::DataPath(std::string("exchange/") + sample.File));
    const TKLImportReport report = Import(store, text);
    EXPECT_EQ(report.Format, sample.Format);
    EXPECT_EQ(static_cast<std::int32_t>(report.RenamedGroups.size()), sample.Renamed);
    EXPECT_EQ(report.ExtrasInNote, sample.Extras);
    EXPECT_EQ(report.Skipped, sample.Skipped);
    std::vector<TFields> got = FieldsOf(store);
    ASSERT_EQ(got.size(), sample.Records.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      TFields expected = sample.Records[i];
      // Layouts without dates leave those of a new record.
      if (expected.Created == 0) expected.Created = got[i].Created;
      expected.Accessed = got[i].Accessed;
      EXPECT_EQ(got[i], expected) << i;
    }
  }
}

TEST(PassExchange, ReportsGroupsAndRenamesAndHonoursTheImportGroup) {
  const std::string csv =
      "Group,Title,Username,Password,URL,Notes\nA/B,t1,,,,\n,t2,,,,\nA/B,t3,,,,\nC,t4,,,,\nA//B,t5,,,,\n";
  TKLPassStorage store;
  TKLImportReport report = Import(store, csv);
  // A path nests; one with an empty name becomes one group named with U+2215.
  const std::vector<std::pair<String, std::int32_t>> groups = {
      {u"A/B", 2}, {DefaultPassGroup, 1}, {u"C", 1}, {u"A\u2215\u2215B", 1}};
  EXPECT_EQ(report.Groups, groups);
  ASSERT_EQ(report.RenamedGroups.size(), 1u);
  EXPECT_EQ(report.RenamedGroups[0], std::make_pair(String(u"A//B"), String(u"A\u2215\u2215B")));
  EXPECT_NE(Export(store, exCsv).find("\r\nA/B,t1,"), std::string::npos);

  report = Import(store, csv, exAuto, u"Imported");
  EXPECT_EQ(report.Groups, (std::vector<std::pair<String, std::int32_t>>{{u"Imported", 5}}));
  EXPECT_EQ(store.GetCount(), 10);
  EXPECT_THROW(Import(store, csv, exAuto, u"x//y"), EKLPassExchangeError);
}

TEST(PassExchange, SpreadsheetSafeOutputNeutralisesFormulasOnRequestOnly) {
  TKLPassStorage store;
  store.Add(u"=cmd", u"+1", u"-2", u"@x", u"\tTab", u"G");
  store.Add(u"plain", u"a=b", u"", u"", u"", u"G");
  store.Add(u"\rcr", u"", u"", u"", u"", u"G");
  const std::string safe = Export(store, exBrowserCsv, true);
  EXPECT_NE(safe.find("\r\n\"'=cmd\",\"'@x\",\"'+1\",\"'-2\",\"'\tTab\"\r\nplain,,a=b,,\r\n\"'\rcr\",,,,\r\n"),
            std::string::npos)
      << safe;
  EXPECT_NE(Export(store, exBrowserCsv).find("\r\n=cmd,@x,+1,-2,\tTab\r\n"), std::string::npos);
}

// Each malformed input is refused with where it went wrong, and adds nothing.
TEST(PassExchange, RefusesMalformedInputWithItsPlaceAndAddsNothing) {
  const std::string generic = "Group,Title,Username,Password,URL,Notes\n";
  const std::string own = "{\"format\": \"klpassword-records\", \"version\": 1, \"records\": ";
  struct TCase {
    std::string Text;
    TKLExchangeFormat Format;
    const char* Message;
  };
  const std::vector<TCase> cases = {
      {"", exAuto, SExchangeUnknownFormat},
      {"Name,Secret\na,b\n", exAuto, "line 1: the header line names no known layout"},
      {generic, exBrowserCsv, "line 1: the header line names no known layout"},
      {generic + "G,t,u,p,u,n\nG,\"open\n\n", exAuto, "line 3: a quoted field is not closed"},
      {generic + "G,\"t\"x,u,p,u,n\n", exAuto, "line 2: text after the closing quote of a field"},
      {generic + "G,t\"t,u,p,u,n\n", exAuto, "line 2: a quote inside an unquoted field"},
      {generic + "G,\"a\nb\",u,p,u\n", exAuto, "line 2: 5 fields where the header has 6"},
      {generic + "G,t,u,p,u,n\nG,t,\xff,p,u,n\n", exAuto, "line 3: invalid UTF-8"},
      {generic + "G,t,u,\xed\xa0\x80,u,n\n", exAuto, "line 2: invalid UTF-8"},
      {generic + "G,t,u,\xc0\xaf,u,n\n", exAuto, "line 2: invalid UTF-8"},
      {generic + "G,t,u,p," + std::string(65536, 'u') + ",n\n", exAuto, SExchangeFieldTooLong},
      {"Group,Title,Username,Password,URL,Notes,Created\nG,t,u,p,u,n,12x\n", exAuto,
       "line 2: a time stamp is not a whole number"},
      {"\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\",\"Last Modified\","
       "\"Created\"\nG,t,u,p,u,n,,0,2024-02-30T00:00:00Z,\n",
       exAuto, "line 2: a time stamp is not a date and time"},
      {"{\"items\": [", exAuto, "$.items[0] (line 1): a value was expected"},
      {"{\"items\": []} x", exAuto, "$ (line 1): text after the end of the document"},
      {"{\"items\": [01]}", exAuto, "$.items[0] (line 1): a number with a leading zero"},
      {"{\"items\": [], \"items\": []}", exAuto, "$ (line 1): a member name appears twice"},
      {"{\"items\": [\"a\tb\"]}", exAuto, "$.items[0] (line 1): a control character inside a string"},
      {"{\"items\": [\"\\x\"]}", exAuto, "an unknown escape inside a string"},
      {"{\"items\": [\"\\u12\"]}", exAuto, "a \\u escape needs four hex digits"},
      {"{\"items\": [tru]}", exAuto, "$.items[0] (line 1): an unknown word"},
      {"{\"items\": [\"abc", exAuto, "$.items[0] (line 1): a string is not closed"},
      {"{\"items\": [1.]}", exAuto, "a number without digits after its point"},
      {"{\"items\": [1e+]}", exAuto, "a number without digits in its exponent"},
      {"{\"items\": [1 2]}", exAuto, "$.items (line 1): a comma or the end of the array was expected"},
      {"{\"items\": [], 1: 2}", exAuto, "$ (line 1): a member name was expected"},
      {"{\"items\": [], \"folders\": [3]}", exAuto, "$.folders[0]: an object was expected"},
      {generic + "G,t,u,p,u,n,x\n", exAuto, "line 2: 7 fields where the header has 6"},
      {"{\"items\":\n [{\"name\" 1}]}", exAuto, "$.items[0] (line 2): a colon was expected after the member name"},
      {std::string(40, '[') + std::string(40, ']'), exAuto, "nested too deeply"},
      {"[]", exAuto, "$: an object was expected"},
      {"{\"folders\": []}", exAuto, "$: neither \"records\" nor \"items\" is a member"},
      {"{\"encrypted\": true, \"items\": []}", exAuto, "$.encrypted: an encrypted export cannot be read"},
      {"{\"items\": [{\"type\": 1, \"folderId\": \"nope\"}]}", exAuto, "$.items[0].folderId: no folder has this id"},
      {"{\"items\": [{\"login\": {\"password\": 5}}]}", exAuto, "$.items[0].login.password: a string was expected"},
      {"{\"items\": [{\"login\": {\"uris\": [{\"uri\": true}]}}]}", exAuto,
       "$.items[0].login.uris[0].uri: a string was expected"},
      {"{\"items\": [{\"revisionDate\": \"yesterday\"}]}", exAuto,
       "$.items[0].revisionDate: a date and time was expected"},
      {"{\"items\": {}}", exAuto, "$.items: an array was expected"},
      {own + "[]}", exBitwardenJson, "$: the \"items\" member is missing"},
      {"{\"format\": \"other\", \"records\": []}", exAuto, "$: the \"format\" member does not name this layout"},
      {"{\"format\": \"klpassword-records\", \"version\": 2, \"records\": []}", exAuto,
       "$: the \"version\" member is missing or not 1"},
      {own + "[{\"title\": \"a\"}, 7]}", exAuto, "$.records[1]: an object was expected"},
      {own + "[{\"created\": 1.5}]}", exAuto, "$.records[0].created: a whole number was expected"},
      {own + "[{\"created\": 99999999999999999999}]}", exAuto, "$.records[0].created: a whole number was expected"},
      {own + "[{\"password\": \"\\ud800\"}]}", exAuto, "$.records[0]: a text holds an unpaired surrogate"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text.substr(0, 120));
    TKLPassStorage store;
    store.Add(u"kept", u"", u"", u"", u"", u"G");
    try {
      Import(store, c.Text, c.Format);
      ADD_FAILURE() << "accepted";
    } catch (const EKLPassExchangeError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
    }
    EXPECT_EQ(store.GetCount(), 1);
  }
}

// A bad record after good ones, in the middle or last, still adds nothing.
TEST(PassExchange, RefusesTheWholeFileWhereverTheBadRecordStands) {
  const std::string header = "Group,Title,Username,Password,URL,Notes\n";
  const std::string good = "G,t,u,p,u,n\n";
  const std::string own = "{\"format\": \"klpassword-records\", \"version\": 1, \"records\": [";
  const std::vector<std::string> bad = {"G,t,u,p," + std::string(65536, 'u') + ",n\n",
                                        std::string(65528, 'g') + ",t,u,p,u,n\n", "G,t,u,p,u\n"};
  for (const std::string& b : bad) {
    for (const std::string& text : {header + good + b + good, header + good + good + b}) {
      TKLPassStorage store;
      EXPECT_THROW(Import(store, text), EKLPassExchangeError);
      EXPECT_EQ(store.GetCount(), 0);
    }
  }
  for (const std::string& text : {own + "{}, {\"title\": \"\\udc00\"}]}", own + "{}, {\"created\": 1.5}, {}]}"}) {
    TKLPassStorage store;
    EXPECT_THROW(Import(store, text), EKLPassExchangeError);
    EXPECT_EQ(store.GetCount(), 0);
  }
}

// A record's values are saved under "<group>/<position>/<leaf>", one key of at
// most 65,535 bytes: an import takes the longest group that still saves, with
// a "/" counted as the three bytes of its stand-in, and refuses one byte more;
// the same for the texts.
TEST(PassExchange, TakesOnlyGroupsAndTextsThatAVaultCanSave) {
  const std::string header = "Group,Title,Username,Password,URL,Notes\n";
  const struct {
    std::int32_t Held; // records in the vault before the import
    std::string Group;
    bool Saves;
  } cases[] = {{0, std::string(65527, 'g'), true},
               {0, std::string(65528, 'g'), false},
               {0, std::string(65524, 'g') + "/", true},
               {0, std::string(65525, 'g') + "/", false},
               {0, std::string(65525, 'g') + "\xc3\xa9", true},
               {0, std::string(65526, 'g') + "\xc3\xa9", false},
               {9, std::string(65526, 'g'), true},
               {9, std::string(65527, 'g'), false},
               {99, std::string(65525, 'g'), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Held) + " held, group of " + std::to_string(c.Group.size()));
    TKLPassStorage store;
    for (std::int32_t i = 0; i < c.Held; ++i) store.Add(u"", u"", u"", u"", u"", u"G");
    // The last record of the file takes the last position.
    const std::string text = header + "G,a,,,,\n" + c.Group + ",title,u,p,u,n\n";
    if (c.Saves) {
      EXPECT_EQ(Import(store, text).Added, 2);
      TMemoryStream saved;
      EXPECT_NO_THROW(store.SaveToStream(saved, u""));
      TKLPassStorage loaded;
      saved.SetPosition(0);
      loaded.LoadFromStream(saved, u"");
      EXPECT_EQ(loaded.GetCount(), c.Held + 2);
    } else {
      try {
        Import(store, text);
        ADD_FAILURE() << "accepted";
      } catch (const EKLPassExchangeError& e) {
        EXPECT_NE(std::string(e.what()).find(std::string("line 3: ") + SExchangeGroupTooLong), std::string::npos)
            << e.what();
      }
      EXPECT_EQ(store.GetCount(), c.Held);
    }
  }
  // Texts up to 65,535 bytes of UTF-8, four for a character beyond the BMP.
  const std::string emoji = "\xf0\x9f\x98\x80";
  std::string longest;
  for (int i = 0; i < 16383; ++i) longest += emoji;
  for (const std::string& url : {std::string(65535, 'n'), longest + "abc"}) {
    TKLPassStorage store;
    EXPECT_EQ(Import(store, header + "G,t,u,p," + url + ",n\n").Added, 1);
    TMemoryStream saved;
    EXPECT_NO_THROW(store.SaveToStream(saved, u""));
  }
  for (const std::string& url : {longest + "abcd", longest + emoji}) {
    TKLPassStorage store;
    EXPECT_THROW(Import(store, header + "G,t,u,p," + url + ",n\n"), EKLPassExchangeError);
  }
  // A note has no such bound: one too long for a value is saved in pieces,
  // and comes back whole.
  for (const std::string& note : {longest + "abcd", std::string(200000, 'n')}) {
    TKLPassStorage store;
    EXPECT_EQ(Import(store, header + "G,t,u,p,u," + note + "\n").Added, 1);
    TMemoryStream saved;
    store.SaveToStream(saved, u"");
    saved.SetPosition(0);
    TKLPassStorage loaded;
    loaded.LoadFromStream(saved, u"");
    EXPECT_TRUE(loaded.GetRecord(0)->GetNote() == U(note.c_str()));
  }
  // The import group is held to the same rule.
  TKLPassStorage store;
  EXPECT_THROW(Import(store, header + "G,a,,,,\n", exAuto, String(65528, u'g')), EKLPassExchangeError);
  EXPECT_EQ(Import(store, header + "G,a,,,,\n", exAuto, String(65527, u'g')).Added, 1);
  EXPECT_EQ(store.GetCount(), 1);
  // A note in pieces has a longer last leaf ("/note.4"): its group one byte less.
  const std::string piecesNote = "G,a,,,," + std::string(65536, 'n') + "\n";
  EXPECT_THROW(Import(store, header + piecesNote, exAuto, String(65527, u'g')), EKLPassExchangeError);
  TKLPassStorage pieces;
  EXPECT_EQ(Import(pieces, header + piecesNote, exAuto, String(65526, u'g')).Added, 1);
  TMemoryStream saved;
  EXPECT_NO_THROW(pieces.SaveToStream(saved, u""));
}

// A stream that says it holds more than an import reads, and holds nothing.
class THugeStream : public TStream {
public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void*, std::int32_t) override { return 0; }
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override {
    return Origin == soEnd ? MaxExchangeFileSize + 1 : Offset;
  }
};

TEST(PassExchange, RefusesAStreamOverTheSizeLimitBeforeReadingIt) {
  TKLPassStorage store;
  THugeStream strm;
  EXPECT_THROW(ImportPassRecords(store, strm), EKLPassExchangeError);
}

TEST(PassExchange, RefusesToExportTextThatUTF8CannotCarry) {
  TKLPassStorage store;
  store.Add(u"t", u"", String(1, Char(0xDC00)), u"", u"", u"G");
  for (TKLExchangeFormat format : {exCsv, exJson}) {
    TMemoryStream strm;
    EXPECT_THROW(ExportPassRecords(store, strm, {format, false}), EKLPassExchangeError);
    EXPECT_EQ(strm.GetSize(), 0);
  }
}

TEST(PassExchange, ImportsAHundredThousandRecords) {
  std::string csv = "\xEF\xBB\xBFGroup,Title,Username,Password,URL,Notes,Created,Modified,Accessed\r\n";
  for (int i = 0; i < 100000; ++i) {
    const std::string n = std::to_string(i);
    csv += "Group " + std::to_string(i % 20) + ",Site " + n + ",user" + n + ",\"pw," + n + "\",https://s" + n +
           ".example,," + n + ",0,0\r\n";
  }
  TKLPassStorage store;
  const TKLImportReport report = Import(store, csv);
  EXPECT_EQ(report.Added, 100000);
  EXPECT_EQ(report.Groups.size(), 20u);
  TKLPassRecord& last = *store.GetRecord(99999);
  EXPECT_EQ(last.GetPassword(), u"pw,99999");
  EXPECT_EQ(last.GetCreationDate(), 99999);
}

TEST(PassExchange, IsoTimesReadTheClockAndRefuseImpossibleDates) {
  std::int64_t seconds = 0;
  // The tests run in UTC unless a test sets a zone: a reading with a zone is
  // the instant, one without is the clock as it stands.
  for (const char* text :
       {"1970-01-02T12:00:00", "1970-01-02 12:00:00Z", "1970-01-02T14:00:00.5+02:00", "1970-01-02T10:30:00-01:30"}) {
    ASSERT_TRUE(detail::ParseExchangeTime(text, seconds)) << text;
    EXPECT_EQ(seconds, 129600) << text;
  }
  for (const char* text : {"1970-13-01T00:00:00", "2023-02-29T00:00:00", "1970-01-01T24:00:00", "1970-01-01",
                           "1970-01-01T00:00:00+0200", "1970-01-01T00:00:00."}) {
    EXPECT_FALSE(detail::ParseExchangeTime(text, seconds)) << text;
  }
  EXPECT_EQ(detail::FormatIsoTime(-62135596800, detail::izUtcMillis), "0001-01-01T00:00:00.000Z");
  EXPECT_EQ(detail::FormatIsoTime(-62135596801, detail::izWallClock), "");
}

} // namespace
} // namespace kl

namespace kl {
namespace {

const std::string kKeePassXCHeader =
    "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\",\"Last Modified\",\"Created\"\n";

// KeePassXC writes instants in UTC; the vault keeps the local clock. In a
// zone three hours ahead and in one with daylight saving (summer and winter).
TEST(PassExchangeKeePassXC, TimesMoveBetweenUtcAndTheLocalClock) {
  struct TZoneCase {
    const char* Zone;
    const char* Utc;    // as KeePassXC writes it
    std::int64_t Local; // the vault's clock reading
  };
  const std::int64_t day = 86400;
  const TZoneCase cases[] = {
      {"XST-3", "2024-03-01T10:20:30Z", 19783 * day + 13 * 3600 + 20 * 60 + 30},
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2024-07-01T22:30:00Z", 19906 * day + 30 * 60},  // +2: the next day
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2024-01-15T08:00:00Z", 19737 * day + 9 * 3600}, // +1
      // The night summer time ends: 01:30 local is still +2, though 01:30 UTC is past the change.
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2024-10-26T23:30:00Z", 20023 * day + 90 * 60}};
  for (const TZoneCase& c : cases) {
#ifdef _WIN32
    // The C runtime reads a zone's name and offset from TZ, never POSIX rules.
    if (std::string_view(c.Zone).find(',') != std::string_view::npos) continue;
#endif
    const test::TZoneScope zone(c.Zone);
    if (detail::UtcToWallClock(0) == 0) GTEST_SKIP() << "this platform's C runtime ignores TZ";
    TKLPassStorage store;
    const std::string line =
        "\"Root/Mail\",\"Mail\",\"\",\"\",\"\",\"\",\"\",\"0\",\"" + std::string(c.Utc) + "\",\"" + c.Utc + "\"\n";
    Import(store, kKeePassXCHeader + line, exKeePassXCCsv);
    EXPECT_EQ(store.GetRecord(0)->GetCreationDate(), c.Local) << c.Zone << ' ' << c.Utc;
    EXPECT_EQ(store.GetRecord(0)->GetModificationDate(), c.Local) << c.Zone << ' ' << c.Utc;
    EXPECT_EQ(Export(store, exKeePassXCCsv), kKeePassXCHeader + line) << c.Zone;
  }
}

// Every field quoted, LF only: a group beginning with "#" would otherwise be
// read back by KeePassXC as a comment line, and the record lost.
TEST(PassExchangeKeePassXC, ExportQuotesEveryFieldAndEndsLinesWithLF) {
  TKLPassStorage store;
  store.Add(u"Title", u"user", u"pw", u"", u"", u"#hash");
  const std::string text = Export(store, exKeePassXCCsv);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("\n\"#hash\",\"Title\",\"user\",\"pw\",\"\",\"\",\"\",\"0\",\"\",\""), std::string::npos) << text;
  EXPECT_TRUE(text.starts_with(kKeePassXCHeader));
}

// Entries of the recycle bin are deleted ones: left out and counted, or kept
// on request; a group of that name elsewhere is an ordinary group.
TEST(PassExchangeKeePassXC, RecycleBinEntriesAreLeftOutUnlessKept) {
  const std::string text = kKeePassXCHeader +
                           "\"Root/Recycle Bin\",\"Old\",\"\",\"\",\"\",\"\",\"\",\"0\",\"\",\"\"\n"
                           "\"Root/Recycle Bin/Sub\",\"Older\",\"\",\"\",\"\",\"\",\"\",\"0\",\"\",\"\"\n"
                           "\"Root/Recycle Binder\",\"Kept1\",\"\",\"\",\"\",\"\",\"\",\"0\",\"\",\"\"\n"
                           "\"Recycle Bin\",\"Kept2\",\"\",\"\",\"\",\"\",\"\",\"0\",\"\",\"\"\n"
                           "\"Root/Work/Recycle Bin\",\"Kept3\",\"\",\"\",\"\",\"\",\"\",\"0\",\"\",\"\"\n";
  for (const bool keep : {false, true}) {
    TKLPassStorage store;
    TMemoryStream strm;
    strm.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    strm.SetPosition(0);
    TKLImportOptions options;
    options.KeepRecycled = keep;
    const TKLImportReport report = ImportPassRecords(store, strm, options);
    EXPECT_EQ(report.Added, keep ? 5 : 3);
    EXPECT_EQ(report.Recycled, keep ? 0 : 2);
    EXPECT_EQ(store.GetRecord(0)->GetTitle(), keep ? u"Old" : u"Kept1");
  }
}

} // namespace
} // namespace kl

namespace kl {
namespace {

// An import says how far it has read: never backwards, ending at the whole text.
TEST(PassExchange, ImportReportsProgressOverTheText) {
  std::string csv = "Group,Title,Username,Password,URL,Notes\n";
  for (int i = 0; i < 5000; ++i) csv += "G,t" + std::to_string(i) + ",u,p,,\n";
  std::vector<std::pair<std::int64_t, std::int64_t>> calls;
  TKLImportOptions options;
  options.Progress = [&](std::int64_t Done, std::int64_t Total) { calls.emplace_back(Done, Total); };
  TMemoryStream strm;
  strm.WriteBuffer(csv.data(), static_cast<std::int32_t>(csv.size()));
  strm.SetPosition(0);
  TKLPassStorage store;
  EXPECT_EQ(ImportPassRecords(store, strm, options).Added, 5000);
  ASSERT_EQ(calls.size(), 5u); // at records 1024, 2048, 3072, 4096 and the end
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_GT(calls[i].first, calls[i - 1].first);
  const auto size = static_cast<std::int64_t>(csv.size());
  EXPECT_EQ(calls.back(), std::make_pair(size, size));
}

} // namespace
} // namespace kl
