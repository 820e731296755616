// What a save writes, to the byte: a loaded document with groups, history,
// custom fields, attachments, protected values, a recycle bin and elements
// the records do not model, saved again after edits.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "crypto/KLSHA256.h"
#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTestFiles.h"
#include "passstorage/KdbxTimes.h"
#include "random/KLRandom.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

std::string Uuid(int N) {
  std::uint8_t raw[16] = {};
  raw[0] = static_cast<std::uint8_t>(N);
  raw[15] = 0xEE;
  return detail::Base64Encode(raw, sizeof(raw));
}

std::string Time(int N) { return detail::KdbxTimeText(1600000000 + 86400 * std::int64_t{N}); }

std::string Times(int N) {
  return "<Times><CreationTime>" + Time(N) + "</CreationTime><LastModificationTime>" + Time(N + 1) +
         "</LastModificationTime><LastAccessTime>" + Time(N + 2) + "</LastAccessTime><ExpiryTime>" + Time(N + 3) +
         "</ExpiryTime><Expires>False</Expires><UsageCount>4</UsageCount><LocationChanged>" + Time(N) +
         "</LocationChanged></Times>";
}

std::string Field(const std::string& Key, const std::string& Value, bool Protect = false) {
  const std::string value =
      Protect ? detail::Base64Encode(reinterpret_cast<const std::uint8_t*>(Value.data()), Value.size()) : Value;
  return "<String><Key>" + Key + "</Key><Value" + (Protect ? " Protected=\"True\"" : "") + ">" + value +
         "</Value></String>";
}

std::string Group(int Id, const std::string& Name, const std::string& Inside) {
  return "<Group><UUID>" + Uuid(Id) + "</UUID><Name>" + Name + "</Name><Notes>n " + Name +
         "</Notes><IconID>48</IconID>" + Times(Id) + "<IsExpanded>True</IsExpanded>" + Inside + "</Group>";
}

// Protected values are read with a stream that masks nothing, so a value is
// its plain text in base64.
std::string Entry(int Id, const std::string& Title, const std::string& Extra, int Time = 0) {
  return "<Entry><UUID>" + Uuid(Id) +
         "</UUID><IconID>3</IconID><ForegroundColor/><BackgroundColor/>"
         "<OverrideURL/><Tags>a;b</Tags>" +
         Times(Time != 0 ? Time : Id) + Field("Title", Title) + Field("UserName", "user " + Title) +
         Field("Password", "pw &<\"" + Title, true) + Field("URL", "") + Field("Notes", "line1\r\nline2\ttab") + Extra +
         "<AutoType><Enabled>True</Enabled><DataTransferObfuscation>0</DataTransferObfuscation></AutoType>"
         "<History/></Entry>";
}

std::string DocumentXml() {
  const std::string old = "<History>" + Entry(10, "Mail", Field("Old", "x"), 40) + "</History>";
  std::string mail = Entry(
      10, "Mail", Field("Custom", "c &amp; d") + Field("Secret", "s", true) + "<Zork q=\"&quot;1&quot;\">kept</Zork>");
  mail.replace(mail.find("<History/>"), 10, old);
  const std::string files = Entry(11, "Files",
                                  "<Binary><Key>a.txt</Key><Value Ref=\"2\"/></Binary>"
                                  "<Binary><Key>b.txt</Key><Value Ref=\"0\"/></Binary>"
                                  "<CustomData><Item><Key>k</Key><Value>v</Value></Item></CustomData>");
  const std::string gone = Entry(12, "Gone", "<Binary><Key>g.bin</Key><Value Ref=\"1\"/></Binary>");
  // Without the elements a save adds, and with them out of their usual order.
  const std::string bare = "<Entry><UUID>" + Uuid(17) + "</UUID>" + Field("Title", "Bare") + "</Entry>";
  const std::string odd = "<Entry><UUID>" + Uuid(18) + "</UUID><Tags/>" + Field("Title", "Odd") +
                          "<Times><LastAccessTime>" + Time(18) + "</LastAccessTime><CreationTime>" + Time(19) +
                          "</CreationTime><LastModificationTime>" + Time(20) +
                          "</LastModificationTime><Extra>1</Extra>"
                          "<ExpiryTime>" +
                          Time(21) +
                          "</ExpiryTime><Expires>true</Expires></Times>"
                          "<Times><CreationTime>" +
                          Time(22) + "</CreationTime></Times><History/></Entry>";
  const std::string bin = Group(30, "Recycle Bin", Entry(13, "Binned", "") + Group(31, "Deleted", Entry(14, "In", "")));
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><KeePassFile><Meta><Generator>t</Generator>"
         "<RecycleBinEnabled>True</RecycleBinEnabled><RecycleBinUUID>" +
         Uuid(30) + "</RecycleBinUUID><Frob a=\"1\">x</Frob></Meta><Root>" +
         Group(20, "Root",
               Entry(15, "Top", "") + Group(21, "Internet", mail + files + "<Extra/>") +
                   Group(22, "Bank", Entry(16, "Bank", "") + gone + bare + odd) + bin) +
         "<DeletedObjects><DeletedObject><UUID>" + Uuid(50) + "</UUID><DeletionTime>" + Time(50) +
         "</DeletionTime></DeletedObject></DeletedObjects></Root><Tail>t</Tail></KeePassFile>";
}

TKLPassRecord* Find(TKLPassStorage& Store, const String& Title) {
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    if (Store.GetRecord(i)->GetTitle() == Title) return Store.GetRecord(i);
  }
  return nullptr;
}

std::string XmlOf(const detail::TXmlNode& Root) {
  std::string out;
  detail::WriteKdbxXml(
      Root, [](void*, std::uint8_t*, std::size_t) {}, nullptr,
      [](void* Out, const char* Data, std::size_t Size) { static_cast<std::string*>(Out)->append(Data, Size); }, &out);
  return out;
}

// The times of this run (the edits, the deletion, the new record) are the
// one part that is not fixed; they are named so.
void NameTimesNow(std::string& Xml, std::int64_t From, std::int64_t To) {
  for (std::int64_t t = From; t <= To; ++t) {
    const std::string text = detail::KdbxTimeText(t);
    for (std::size_t at = Xml.find(text); at != std::string::npos; at = Xml.find(text, at))
      Xml.replace(at, 12, "@NOW@");
  }
}

void Prepare(TKLPassStorage& Store, TKLBaseRandomGenerator& Random) {
  Store.SetRandomGenerator(&Random);
  TKLKdbxSettings cheap;
  cheap.Kdf = kkAesKdf;
  cheap.Iterations = 1;
  Store.SetKdbxSettings(cheap);
  Store.SetSaveFormat(pfKdbx);
}

// Edits Store, saves it and reads the file back, its entries folded and
// not: both write the XML the save wrote (a protected value as its plain
// text in base64), which has the size and SHA-256 given.
void ExpectSaved(TKLPassStorage& Store, const std::function<void()>& Edit, std::size_t Size, const char* Sha256,
                 std::size_t Binaries) {
  const std::int64_t from = static_cast<std::int64_t>(std::time(nullptr)) - 2;
  Edit();
  TMemoryStream saved;
  Store.SaveToStream(saved, u"pw");
  const std::int64_t to = static_cast<std::int64_t>(std::time(nullptr)) + 2;
  for (const bool folded : {true, false}) {
    saved.SetPosition(0);
    const detail::TKdbxDocument back = detail::ReadKdbx(saved, test::KdbxTestKey(), KLKdbxDefaultCostLimit, folded);
    std::string out = XmlOf(back.Root);
    NameTimesNow(out, from, to);
    const TMessageDigest256 digest = SHA256Calculate(out.data(), static_cast<std::uint32_t>(out.size()));
    EXPECT_EQ(out.size(), Size) << "folded " << folded;
    EXPECT_EQ(test::ToHex(DigestBytes(digest), SHA256DigestSize), Sha256) << out;
    EXPECT_EQ(back.Binaries.size(), Binaries) << "only the attachments entries refer to, each once";
  }
}

const std::uint8_t kSeed[TKLFastRandomGenerator::SeedDigestSize] = {7};

TEST(KdbxSave, ALoadedDocumentSavesAgainToTheByte) {
  detail::TKdbxDocument doc;
  const std::string xml = DocumentXml();
  doc.Root = detail::ParseKdbxXml(
      reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), [](void*, std::uint8_t*, std::size_t) {}, nullptr);
  for (const char* bytes : {"first", "never referred to again", "third"}) {
    doc.Binaries.emplace_back().Data =
        std::make_shared<const SecureBytes>(ByteArray(bytes, bytes + std::char_traits<char>::length(bytes)));
  }
  TMemoryStream file(test::KdbxFileOf(doc));
  auto random = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(kSeed);
  TKLPassStorage store;
  Prepare(store, *random);
  store.LoadFromStream(file, u"pw");
  const auto edit = [&] {
    Find(store, u"Mail")->SetPassword(u"new & <pw>");
    Find(store, u"Bank")->SetCustomField(u"PIN", u"12\u00e934", true);
    TKLPassRecord* gone = Find(store, u"Gone");
    store.Delete(gone);
    delete gone;
    store.Add(u"Fresh", u"me", u"p\r\nq", u"", u"note", u"Internet");
    Find(store, u"Fresh")->SetUuid(TKLPassUuid{9, 9, 9});
  };
  ExpectSaved(store, edit, 16056, "DA75D082807F7117D3AAB981702FC7E0D417935D3F04873C11472D09FC5DDB09", 2);
}

TEST(KdbxSave, AStoreMadeInMemorySavesToTheByte) {
  auto random = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(kSeed);
  TKLPassStorage store;
  Prepare(store, *random);
  const ByteArray shared = {'s', 'h', 0, 'd'};
  const auto edit = [&] {
    const auto add = [&](std::uint8_t Id, const String& Title, const String& Group) {
      auto* rec = new TKLPassRecord;
      rec->SetUuid(TKLPassUuid{Id, 1, 2});
      rec->SetTitle(Title);
      rec->SetUsername(u"user " + Title);
      rec->SetPassword(u"pw & <" + Title + u">\r\n");
      rec->SetURL(u"https://x.example/?a=1&b=\"2\"");
      rec->SetNote(u"note\ttab\x01 line");
      rec->SetGroup(Group);
      store.Add(rec);
      return rec;
    };
    add(1, u"Plain", u"Internet");
    TKLPassRecord* rich = add(2, u"Rich", u"Internet/Mail");
    rich->SetCustomField(u"Secret \u00fc", u"\u00fcber\x01", true);
    rich->SetCustomField(u"Open", u"a<b>");
    rich->SetAttachment(u"one.bin", shared);
    rich->SetAttachment(u"two.txt", ByteArray{'t', 'w', 'o'});
    rich->SetTags({u"x", u"y z"});
    rich->SetExpiryDate(1700000000);
    rich->SetExpires(true);
    add(3, u"Shared", u"")->SetAttachment(u"same.bin", shared);
    add(4, u"Edited", u"Bank")->SetPassword(u"second");
  };
  ExpectSaved(store, edit, 7400, "EFE995D38F4778362C20A4F5C4E7B77F1F5D0466E29E8737FC766F8D04B6D684", 2);
}


// The save converts each time once and keeps the conversion in a small table
// by a hash of the time: times that share a place in it are each saved as
// themselves, however many records carry them.
TEST(KdbxSave, TimesSharingAPlaceOfTheClockTableSaveAsThemselves) {
  const auto slot = [](std::int64_t T) { return static_cast<std::uint64_t>(T) * 0x9E3779B97F4A7C15u >> 58; };
  std::vector<std::int64_t> expiries = {1700000000};
  for (std::int64_t t = expiries[0] + 1; expiries.size() < 4; ++t) {
    if (slot(t) == slot(expiries[0])) expiries.push_back(t);
  }
  auto random = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(kSeed);
  TKLPassStorage store;
  Prepare(store, *random);
  for (std::size_t i = 0; i < 2 * expiries.size(); ++i) {
    auto* rec = new TKLPassRecord;
    rec->SetTitle(u"R" + IntToStr(static_cast<std::int64_t>(i)));
    rec->SetExpiryDate(expiries[i % expiries.size()]);
    rec->SetExpires(true);
    store.Add(rec);
  }
  TMemoryStream saved;
  store.SaveToStream(saved, u"pw");
  saved.SetPosition(0);
  TKLPassStorage back;
  back.LoadFromStream(saved, u"pw");
  ASSERT_EQ(back.GetCount(), store.GetCount());
  for (std::int32_t i = 0; i < back.GetCount(); ++i) {
    const TKLPassRecord* rec = Find(back, u"R" + IntToStr(i));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetExpiryDate(), expiries[static_cast<std::size_t>(i) % expiries.size()]) << i;
  }
}
} // namespace
} // namespace kl
