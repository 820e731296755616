// The KDBX reader on its own: credentials, damage, hostile headers and XML,
// key-file forms. Files are made with the cheapest KDF so that every byte of
// one can be changed in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "foundation/Convert.h"
#include "crypto/KLSHA256.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassExchange.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTimes.h"
#include "random/KLRandom.h"
#include "passstorage/KdbxTestFiles.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::MessageOf;
using test::Narrow;
using test::ToHex;
using test::U;

ByteArray SavedFile(const String& Password, const ByteArray& KeyFile = {}) {
  TKLPassStorage store;
  TKLKdbxSettings cheap;
  cheap.Kdf = kkAesKdf;
  cheap.Iterations = 1;
  store.SetKdbxSettings(cheap);
  store.SetSaveFormat(pfKdbx);
  store.SetKeyFile(KeyFile);
  store.Add(u"Mail", u"alice", u"secret", u"https://x", u"note", u"Internet/Mail");
  store.Add(u"Bank", u"bob", u"hunter2", u"", u"", u"");
  TMemoryStream out;
  store.SaveToStream(out, Password);
  return out.ToBytes();
}

// Loads into a store that already holds one record; a failed load must leave
// exactly that record.
std::string LoadMessage(const ByteArray& File, const String& Password, const ByteArray& KeyFile = {}) {
  TKLPassStorage store;
  store.Add(u"Kept", u"", u"", u"", u"", u"Old");
  store.SetKeyFile(KeyFile);
  TMemoryStream in(File);
  const std::string message = MessageOf([&] { store.LoadFromStream(in, Password); });
  if (message != "(nothing)") {
    EXPECT_EQ(store.GetCount(), 1) << message;
  }
  return message;
}

TEST(Kdbx, LoadFailsWithWrongCredentials) {
  const ByteArray key(32, 7);
  const ByteArray otherKey(32, 8);
  const ByteArray both = SavedFile(u"pw", key);
  struct TCase {
    const Char* Password;
    ByteArray KeyFile;
  };
  for (const TCase& c : {TCase{u"pw", {}}, TCase{u"", key}, TCase{u"PW", key}, TCase{u"pw", otherKey}}) {
    EXPECT_EQ(LoadMessage(both, c.Password, c.KeyFile), SKdbxWrongKey);
  }
  EXPECT_EQ(LoadMessage(both, u"pw", key), "(nothing)");
}

// KDBX keys the password's UTF-8 exactly as given, as its peers do: a
// normalisation here would lock a file out of them.
TEST(Kdbx, PasswordIsNotNormalised) {
  const ByteArray file = SavedFile(u"Cafe\u0301");
  EXPECT_EQ(LoadMessage(file, u"Caf\u00e9"), SKdbxWrongKey);
  EXPECT_EQ(LoadMessage(file, u"Cafe\u0301"), "(nothing)");
}

// A changed byte anywhere, and a file cut short anywhere, is refused with the
// library's error and loads nothing.
TEST(Kdbx, EveryChangedByteIsRefused) {
  const ByteArray file = SavedFile(u"pw");
  for (std::size_t i = 0; i < file.size(); ++i) {
    ByteArray changed = file;
    changed[i] ^= 0x01;
    const std::string message = LoadMessage(changed, u"pw");
    // The end-of-header field's four data bytes are not interpreted, but the
    // header hash covers them.
    ASSERT_NE(message, "(nothing)") << "byte " << i;
  }
  // A changed master seed (header bytes 47 to 78) is damage, told by the
  // header's hash before any key is tried.
  ByteArray seed = file;
  seed[50] ^= 0x01;
  EXPECT_EQ(LoadMessage(seed, u"pw"), SKdbxDamaged);
  for (std::size_t size = 0; size < file.size(); size += 7) {
    ASSERT_NE(LoadMessage(ByteArray(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)), u"pw"),
              "(nothing)")
        << "cut at " << size;
  }
}

// A hand-made outer header (independent of the writer): signature, version,
// fields with 32-bit sizes.
struct THeader {
  ByteArray Bytes;
  explicit THeader(std::uint32_t Version = 0x00040000) {
    Put32(0x9AA2D903);
    Put32(0xB54BFB67);
    Put32(Version);
  }
  void Put32(std::uint32_t V) {
    for (int i = 0; i < 4; ++i) Bytes.push_back(static_cast<std::uint8_t>(V >> (8 * i)));
  }
  void Field(std::uint8_t Id, const ByteArray& Data) {
    Bytes.push_back(Id);
    Put32(static_cast<std::uint32_t>(Data.size()));
    Bytes.insert(Bytes.end(), Data.begin(), Data.end());
  }
};

ByteArray Variant(std::uint8_t Type, const std::string& Name, const ByteArray& Value) {
  ByteArray out{Type};
  for (std::uint32_t v : {static_cast<std::uint32_t>(Name.size())}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  out.insert(out.end(), Name.begin(), Name.end());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(Value.size() >> (8 * i)));
  out.insert(out.end(), Value.begin(), Value.end());
  return out;
}

ByteArray Le(std::uint64_t V, int Size) {
  ByteArray out;
  for (int i = 0; i < Size; ++i) out.push_back(static_cast<std::uint8_t>(V >> (8 * i)));
  return out;
}

ByteArray Argon2Parameters(std::uint64_t Memory, std::uint64_t Iterations, std::uint32_t Lanes, std::uint32_t Version,
                           const std::string& Uuid = "ef636ddf8c29444b91f7a9a403e30a0c") {
  ByteArray d{0x00, 0x01};
  for (const ByteArray& item : {Variant(0x42, "$UUID", Hex(Uuid)), Variant(0x42, "S", ByteArray(32, 1)),
                                Variant(0x04, "P", Le(Lanes, 4)), Variant(0x05, "M", Le(Memory, 8)),
                                Variant(0x05, "I", Le(Iterations, 8)), Variant(0x04, "V", Le(Version, 4))}) {
    d.insert(d.end(), item.begin(), item.end());
  }
  d.push_back(0);
  return d;
}

ByteArray HeaderWith(const ByteArray& Kdf, const std::string& Cipher = "31c1f2e6bf714350be5805216afc5aff",
                     std::uint32_t Version = 0x00040000) {
  THeader h(Version);
  h.Field(2, Hex(Cipher));
  h.Field(3, Le(1, 4));
  h.Field(4, ByteArray(32, 2));
  h.Field(7, ByteArray(16, 3));
  h.Field(11, Kdf);
  h.Field(0, {'\r', '\n', '\r', '\n'});
  h.Bytes.resize(h.Bytes.size() + 64 + 40, 0); // hash, MAC and a block that are never reached
  return h.Bytes;
}

// Costs are refused from the header alone, before anything is derived or
// allocated: these would take gigabytes or hours if they were not.
TEST(Kdbx, HostileHeadersAreRefusedBeforeAnyWork) {
  const ByteArray ok = Argon2Parameters(1 << 20, 2, 2, 0x13);
  struct TCase {
    ByteArray File;
    const char* Message;
  };
  const TCase cases[] = {
      {HeaderWith(Argon2Parameters(std::uint64_t{1} << 40, 1, 1, 0x13)), SKdbxBadParameters},
      {HeaderWith(Argon2Parameters(1 << 20, std::uint64_t{1} << 40, 1, 0x13)), SKdbxBadParameters},
      {HeaderWith(Argon2Parameters(1 << 20, 0, 1, 0x13)), SKdbxBadParameters},
      {HeaderWith(Argon2Parameters(1 << 20, 1, 0, 0x13)), SKdbxBadParameters},
      {HeaderWith(Argon2Parameters(1 << 20, 1, 65, 0x13)), SKdbxBadParameters},
      // The largest costs allowed pass the bounds; the header hash then fails,
      // before any key derivation (which would take hours at these costs).
      {HeaderWith(Argon2Parameters(detail::KdbxMaxArgon2MemoryBytes, detail::KdbxMaxArgon2Iterations,
                                   detail::KdbxMaxArgon2Lanes, 0x13)),
       SKdbxDamaged},
      {HeaderWith(Argon2Parameters(1 << 20, 1, 1, 0x12)), SKdbxBadParameters},
      {HeaderWith(Argon2Parameters(1 << 20, 1, 1, 0x13, "00000000000000000000000000000000")), SKdbxBadParameters},
      {HeaderWith(ok, "ad68f29f576f4bb9a36ad47af965346c"), SKdbxTwofish},
      {HeaderWith(ok, "00112233445566778899aabbccddeeff"), SKdbxUnsupported},
      {HeaderWith(ok, "31c1f2e6bf714350be5805216afc5aff", 0x00050000), SKdbxUnsupported},
      {HeaderWith(ok, "31c1f2e6bf714350be5805216afc5aff", 0x00040002), SKdbxUnsupported},
  };
  for (const TCase& c : cases) EXPECT_EQ(LoadMessage(c.File, u"pw"), c.Message) << ToHex(c.File).substr(0, 48);
  // A header field declaring more than the header's bound.
  THeader huge;
  huge.Bytes.push_back(2);
  huge.Put32(0xFFFFFFF0);
  EXPECT_EQ(LoadMessage(huge.Bytes, u"pw"), SKdbxTooLarge);
}

// The header of HeaderWith with its SHA-256 in place, so that only the
// key derivation's cost can stop it before the (garbage) rest is reached.
ByteArray HashedHeaderWith(const ByteArray& Kdf) {
  ByteArray file = HeaderWith(Kdf);
  const std::size_t size = file.size() - 64 - 40;
  const TMessageDigest256 digest = SHA256Calculate(file.data(), static_cast<std::uint32_t>(size));
  std::memcpy(file.data() + size, DigestBytes(digest), 32);
  return file;
}

// Whoever can write a file chooses its key derivation's cost: one beyond the
// store's limit is refused, naming it, before anything is derived (the
// hostile header here would take days); the same file opens once the limit
// is raised to its cost.
TEST(Kdbx, KeyDerivationAboveTheCostLimitIsRefusedBeforeDeriving) {
  TKLPassStorage made;
  TKLKdbxSettings aes;
  aes.Kdf = kkAesKdf;
  aes.Iterations = 4 * KLKdbxAesRoundsPerCostUnit;
  made.SetKdbxSettings(aes);
  made.SetSaveFormat(pfKdbx);
  made.Add(u"Mail", u"alice", u"secret", u"", u"", u"");
  TMemoryStream file;
  made.SaveToStream(file, u"pw");
  ASSERT_EQ(KdbxKdfCost(aes), 4u);
  struct TCase {
    std::uint64_t Limit;
    bool Opens;
  };
  // Each asserted: should a limit be ignored, the hostile file below must not
  // be reached.
  for (const TCase c : {TCase{3, false}, TCase{4, true}, TCase{KLKdbxNoCostLimit, true}}) {
    TKLPassStorage store;
    store.SetKdbxCostLimit(c.Limit);
    file.SetPosition(0);
    const std::uint64_t before = detail::KdbxDerivationCount();
    const std::string message = MessageOf([&] { store.LoadFromStream(file, u"pw"); });
    ASSERT_EQ(detail::KdbxDerivationCount() - before, c.Opens ? 1u : 0u) << c.Limit;
    EXPECT_EQ(store.GetCount(), c.Opens ? 1 : 0) << c.Limit;
    if (!c.Opens) {
      EXPECT_EQ(message, std::string(SKdbxKdfTooCostly) +
                             ": AES-KDF with 100000 rounds costs 4 mebibyte-passes, the limit is 3 (64 MiB and 10 "
                             "passes cost 640)");
    }
  }
  // Argon2 memory counts in whole mebibytes, and the product cannot wrap.
  TKLKdbxSettings argon;
  argon.MemoryBytes = 1024 * 1024 + 1;
  argon.Iterations = 3;
  ASSERT_EQ(KdbxKdfCost(argon), 6u);
  ASSERT_EQ(detail::KdbxKdfCost(detail::TKdbxKdf::Argon2id, ~std::uint64_t{0}, std::uint64_t{1} << 40),
            ~std::uint64_t{0});
  ASSERT_EQ(TKLPassStorage().GetKdbxCostLimit(), KLKdbxDefaultCostLimit);

  const std::uint64_t derived = detail::KdbxDerivationCount();
  const std::string hostile = LoadMessage(
      HashedHeaderWith(Argon2Parameters(detail::KdbxMaxArgon2MemoryBytes, detail::KdbxMaxArgon2Iterations, 2, 0x13)),
      u"pw");
  EXPECT_EQ(hostile, std::string(SKdbxKdfTooCostly) +
                         ": Argon2d with 4096 MiB and 1048576 passes costs 4294967296 mebibyte-passes, the limit is "
                         "16384 (64 MiB and 10 passes cost 640)");
  EXPECT_EQ(detail::KdbxDerivationCount(), derived);
}

TEST(Kdbx, XmlRefusesDocumentTypesAndDeepNesting) {
  auto parse = [](const std::string& Xml) {
    return MessageOf([&] {
      detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(Xml.data()), Xml.size(), nullptr, nullptr);
    });
  };
  EXPECT_EQ(parse("<!DOCTYPE r [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;\">]><KeePassFile>&b;</KeePassFile>"),
            SKdbxDamaged);
  EXPECT_EQ(parse("<!DOCTYPE KeePassFile SYSTEM \"file:///etc/passwd\"><KeePassFile/>"), SKdbxDamaged);
  EXPECT_EQ(parse("<KeePassFile>&undefined;</KeePassFile>"), SKdbxDamaged);
  auto nested = [](std::size_t Depth) {
    std::string xml;
    for (std::size_t i = 0; i < Depth; ++i) xml += "<a>";
    for (std::size_t i = 0; i < Depth; ++i) xml += "</a>";
    return xml;
  };
  EXPECT_EQ(parse(nested(detail::KdbxMaxXmlDepth)), "(nothing)");
  EXPECT_EQ(parse(nested(detail::KdbxMaxXmlDepth + 1)), SKdbxTooLarge);
}

// The XML a node writes, protected values masked by a fixed byte.
std::string XmlOf(const detail::TXmlNode& Node) {
  std::string out;
  detail::WriteKdbxXml(
      Node, [](void*, std::uint8_t* Data, std::size_t Size) { for (std::size_t i = 0; i < Size; ++i) Data[i] ^= 0x5A; },
      nullptr, [](void* Out, const char* Data, std::size_t Size) { static_cast<std::string*>(Out)->append(Data, Size); },
      &out);
  return out;
}

// A folded entry unfolds into exactly what it was, and writes the same XML:
// names KeePass uses and others (one longer than a byte's count), attributes,
// protected bytes of every value, long and empty texts, a history within.
TEST(Kdbx, AFoldedEntryUnfoldsAndWritesAsItWasRead) {
  using detail::TXmlNode;
  TXmlNode entry("Entry");
  entry.SetAttribute("Kind", "x<y");
  entry.Children.emplace_back("UUID", "AAECAwQFBgcICQoLDA0ODw==");
  entry.Children.emplace_back("Tags");
  entry.Children.emplace_back(std::string(200, 'N'), std::string(300, 't'));
  TXmlNode& str = entry.Children.emplace_back("String");
  str.Children.emplace_back("Key", "Password");
  TXmlNode& value = str.Children.emplace_back("Value", std::string("\0\x01\xFFpw", 5));
  value.Protected = true;
  value.SetAttribute("Protected", "True");
  TXmlNode& old = entry.Children.emplace_back("History").Children.emplace_back("Entry");
  old.Children.emplace_back("UUID", "AAECAwQFBgcICQoLDA0ODw==");
  old.Children.emplace_back("Times").Children.emplace_back("LastModificationTime", "2dzc2A4AAAA=");
  const std::string before = XmlOf(entry);

  TXmlNode folded = entry;
  detail::FoldChildren(folded);
  ASSERT_TRUE(folded.IsFolded());
  EXPECT_TRUE(folded.Children.empty());
  EXPECT_LT(folded.Fold->size(), before.size());
  EXPECT_EQ(XmlOf(folded), before);
  const TXmlNode copy = folded;
  EXPECT_EQ(copy.Fold.get(), folded.Fold.get()) << "a copy shares the folded text";
  const TXmlNode open = detail::Unfolded(folded);
  EXPECT_FALSE(open.IsFolded());
  EXPECT_EQ(XmlOf(open), before);
  ASSERT_EQ(open.Children.size(), entry.Children.size());
  EXPECT_TRUE(open.Children[3].Children[1].Protected);
  EXPECT_EQ(open.Children[3].Children[1].Text, std::string("\0\x01\xFFpw", 5));
  std::string scratch;
  const std::string* uuid = detail::ChildText(folded, "UUID", scratch);
  ASSERT_NE(uuid, nullptr);
  EXPECT_EQ(*uuid, "AAECAwQFBgcICQoLDA0ODw==");
  EXPECT_EQ(detail::ChildText(folded, "Times", scratch), nullptr) << "only a child of the entry itself";
  TXmlNode leaf("Value", "text");
  detail::FoldChildren(leaf);
  EXPECT_FALSE(leaf.IsFolded());
}

// Names are compared a word at a time: a difference in any byte of any
// length tells them apart, and equal names in other buffers are the same.
TEST(Kdbx, NamesDifferingInAnyByteAreNotTheSame) {
  static_assert(detail::SameName("Times", "Times") && !detail::SameName("Times", "Timer"));
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string a(n, 'a');
    const std::string copy = a;
    EXPECT_TRUE(detail::SameName(a, copy)) << n;
    EXPECT_FALSE(detail::SameName(a, a + 'a')) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = 'b';
      EXPECT_FALSE(detail::SameName(a, b)) << n << " at " << i;
    }
  }
}

// An entry folded as it is made, without its tree, is the bytes its tree
// folds to; an emitter that writes more than it counted is refused.
TEST(Kdbx, AnEntryFoldedWithoutItsTreeIsItsTreeFolded) {
  using detail::TXmlNode;
  const std::string longName(200, 'N'), longText(300, 't');
  const std::pair<std::string_view, std::string_view> attrs[] = {{"Protected", "True"}, {longName, "x<y"}};
  TXmlNode tree("Entry");
  tree.Children.emplace_back("UUID", "AAECAwQFBgcICQoLDA0ODw==");
  tree.Children.emplace_back("Tags");
  tree.Children.emplace_back(longName, longText);
  TXmlNode& str = tree.Children.emplace_back("String");
  str.Children.emplace_back("Key", "Password");
  TXmlNode& value = str.Children.emplace_back("Value", "pw");
  for (const auto& [k, v] : attrs) value.SetAttribute(std::string(k), std::string(v));
  value.Protected = true;
  detail::FoldChildren(tree);
  ASSERT_TRUE(tree.IsFolded());

  int written = 0; // how many leaves writing adds to, or leaves out of, what was counted
  const auto emit = [&](detail::TFoldWriter& Out) {
    const bool writing = Out.Out != nullptr;
    Out.Children(4);
    Out.Leaf("UUID", "AAECAwQFBgcICQoLDA0ODw==");
    Out.Leaf("Tags");
    if (!writing || written >= 0) Out.Leaf(longName, longText);
    Out.Element("String", 2);
    Out.Leaf("Key", "Password");
    Out.Leaf("Value", "pw", true, attrs);
    if (writing && written > 0) Out.Leaf("Extra", "written but never counted");
  };
  EXPECT_EQ(*detail::FoldOf(emit), *tree.Fold);
  for (const int change : {1, -1}) {
    written = change;
    EXPECT_THROW(detail::FoldOf(emit), EKLPassStorageException) << change;
  }
}

// A document fed in pieces, however cut, is the document parsed whole, its
// entries folded or not; one cut short or fed after its end is damage.
TEST(Kdbx, XmlInPiecesParsesAsAWhole) {
  const std::string xml =
      "<KeePassFile><Meta><Generator>t</Generator></Meta><Root><Group><UUID>AA==</UUID><Entry><UUID>AQ==</UUID>"
      "<String><Key>Title</Key><Value>caf\xC3\xA9 &amp; more</Value></String><History><Entry><UUID>AQ==</UUID>"
      "</Entry></History></Entry><Group><Entry><UUID>Ag==</UUID></Entry></Group></Group></Root></KeePassFile>";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(xml.data());
  const std::string whole = XmlOf(detail::ParseKdbxXml(bytes, xml.size(), nullptr, nullptr));
  for (const bool fold : {false, true}) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, xml.size()}) {
      detail::TKdbxXmlReader reader(nullptr, nullptr, fold);
      for (std::size_t at = 0; at < xml.size(); at += piece) reader.Feed(bytes + at, std::min(piece, xml.size() - at));
      const detail::TXmlNode root = reader.Finish();
      EXPECT_EQ(XmlOf(root), whole) << piece;
      const detail::TXmlNode& group = root.Children[1].Children[0];
      EXPECT_EQ(group.Children[1].IsFolded(), fold) << "an entry of a group";
      EXPECT_EQ(group.Children[2].Children[0].IsFolded(), fold) << "an entry of a subgroup";
    }
  }
  detail::TKdbxXmlReader cut(nullptr, nullptr, true);
  cut.Feed(bytes, xml.size() - 1);
  EXPECT_EQ(MessageOf([&] { cut.Finish(); }), SKdbxDamaged);
  detail::TKdbxXmlReader after(nullptr, nullptr, false);
  after.Feed(bytes, xml.size());
  after.Finish();
  EXPECT_EQ(MessageOf([&] { after.Feed(bytes, 1); }), SKdbxDamaged);
}

// The stream cipher's stand-in: each byte masked by its place in the stream,
// so that values deciphered out of document order come out wrong.
struct TCountingXor {
  std::uint8_t Next = 0;
  static void Apply(void* Context, std::uint8_t* Data, std::size_t Size) {
    auto& self = *static_cast<TCountingXor*>(Context);
    for (std::size_t i = 0; i < Size; ++i) Data[i] ^= static_cast<std::uint8_t>(0xA5 + self.Next++);
  }
};

// Node as it reads with every entry of a group folded from its tree: what
// the reader held before it folded entries as it read them.
detail::TXmlNode FoldedFromTree(detail::TXmlNode Node, bool InGroup = false) {
  for (detail::TXmlNode& child : Node.Children) child = FoldedFromTree(std::move(child), Node.Name == "Group");
  if (InGroup && Node.Name == "Entry") detail::FoldChildren(Node);
  return Node;
}

// Both compared node by node: a folded entry by its folded bytes.
void ExpectSameTree(const detail::TXmlNode& Got, const detail::TXmlNode& Want, const std::string& Where) {
  EXPECT_EQ(Got.Name, Want.Name) << Where;
  EXPECT_EQ(Got.Text, Want.Text) << Where << "/" << Want.Name;
  EXPECT_EQ(Got.Protected, Want.Protected) << Where << "/" << Want.Name;
  EXPECT_EQ(Got.Attributes, Want.Attributes) << Where << "/" << Want.Name;
  ASSERT_EQ(Got.IsFolded(), Want.IsFolded()) << Where << "/" << Want.Name;
  if (Want.IsFolded()) {
    EXPECT_EQ(ToHex(Got.Fold->data(), Got.Fold->size()), ToHex(Want.Fold->data(), Want.Fold->size()))
        << Where << "/" << Want.Name;
  }
  ASSERT_EQ(Got.Children.size(), Want.Children.size()) << Where << "/" << Want.Name;
  for (std::size_t i = 0; i < Want.Children.size(); ++i)
    ExpectSameTree(Got.Children[i], Want.Children[i], Where + "/" + Want.Name);
}

// An entry folded as it is read, in pieces of any size, is byte for byte the
// entry read as a tree and folded: layout, entities, CDATA and character
// references, protected values in document order (empty ones too), counts
// of children beyond one byte's, long texts and names, entries that are
// leaves, entries of groups nested within an entry.
TEST(Kdbx, AnEntryFoldedAsItIsReadIsTheTreeFolded) {
  const auto masked = [](std::string Plain, std::uint8_t& Next) {
    for (char& c : Plain) c = static_cast<char>(c ^ static_cast<std::uint8_t>(0xA5 + Next++));
    return detail::Base64Encode(reinterpret_cast<const std::uint8_t*>(Plain.data()), Plain.size());
  };
  std::uint8_t next = 0;
  const std::string first = masked("hunter2", next);
  const std::string second = masked(std::string("\0\xFF", 2), next);
  std::string many;
  for (int i = 0; i < 130; ++i) many += "<String><Key>k" + std::to_string(i) + "</Key><Value/></String>";
  const struct {
    const char* Name;
    std::string Entries;
  } cases[] = {
      {"layout and references",
       "\n\t<Entry>\n\t\t<UUID>AQ==</UUID>\n\t\t<String>\n\t\t\t<Key>Notes</Key>\n\t\t\t<Value>a &amp; b &lt;c&gt; "
       "&#x263A;&#13;\n<![CDATA[<raw> & ]]>end</Value>\n\t\t</String>\n\t</Entry>\n"},
      {"protected values",
       "<Entry><String><Key>Password</Key><Value Protected=\"True\">" + first +
           "</Value></String><String><Key>PIN</Key><Value Protected=\"True\"/></String><String><Key>X</Key>"
           "<Value Protected=\"False\">plain</Value></String><String><Key>Y</Key><Value Protected=\"true\">" +
           second + "</Value></String></Entry>"},
      {"counts and lengths", "<Entry Kind=\"k\">" + many + "<Tags>" + std::string(300, 't') + "</Tags><" +
                                 std::string(150, 'N') + " " + std::string(140, 'a') + "=\"v\"/></Entry>"},
      {"leaf entries", "<Entry/><Entry Kind=\"x\">text &amp; more</Entry>"},
      {"nested entries",
       "<Entry><UUID>Ag==</UUID><Group><Entry><UUID>Aw==</UUID></Entry><Entry/></Group>"
       "<History><Entry><UUID>Ag==</UUID><Times><Expires>True</Expires></Times></Entry></History></Entry>"},
  };
  for (const auto& c : cases) {
    const std::string xml = "<KeePassFile><Root><Group><Name>g</Name>" + c.Entries + "</Group></Root></KeePassFile>";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(xml.data());
    TCountingXor treeXor;
    const detail::TXmlNode want =
        FoldedFromTree(detail::ParseKdbxXml(bytes, xml.size(), &TCountingXor::Apply, &treeXor, false));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, xml.size()}) {
      TCountingXor foldXor;
      detail::TKdbxXmlReader reader(&TCountingXor::Apply, &foldXor, true);
      for (std::size_t at = 0; at < xml.size(); at += piece) reader.Feed(bytes + at, std::min(piece, xml.size() - at));
      ExpectSameTree(reader.Finish(), want, std::string(c.Name) + " in pieces of " + std::to_string(piece));
      EXPECT_EQ(foldXor.Next, treeXor.Next) << c.Name;
    }
  }
  // The values read back as they were before masking.
  const std::string xml =
      "<KeePassFile><Root><Group>" + std::string(cases[1].Entries) + "</Group></Root></KeePassFile>";
  TCountingXor xorFrom0;
  const detail::TXmlNode doc = detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(),
                                                    &TCountingXor::Apply, &xorFrom0, true);
  const detail::TXmlNode root = detail::Unfolded(doc.Children[0].Children[0].Children[0]);
  ASSERT_EQ(root.Children.size(), 4u);
  EXPECT_EQ(root.Children[0].Children[1].Text, "hunter2");
  EXPECT_TRUE(root.Children[1].Children[1].Protected);
  EXPECT_EQ(root.Children[1].Children[1].Text, "");
  EXPECT_FALSE(root.Children[2].Children[1].Protected);
  EXPECT_EQ(root.Children[3].Children[1].Text, std::string("\0\xFF", 2));
}

// Every form of key file KeePass accepts, and the check hash of version 2.0.
TEST(Kdbx, KeyFileForms) {
  const std::string key = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  const std::string key64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
  auto bytes = [](const std::string& S) { return ByteArray(S.begin(), S.end()); };
  struct TCase {
    ByteArray File;
    std::string Key; // hex, or empty when the file must be refused
  };
  const std::string v2 = "<?xml version=\"1.0\"?><KeyFile><Meta><Version>2.0</Version></Meta><Key><Data Hash=\"";
  const TCase cases[] = {
      {Hex(key), key},
      {bytes(key), key},
      {bytes("<KeyFile><Meta><Version>1.00</Version></Meta><Key><Data>" + key64 + "</Data></Key></KeyFile>"), key},
      {bytes(v2 + "630DCD29\">\n 00010203 04050607 08090A0B 0C0D0E0F\n 10111213 14151617 18191A1B 1C1D1E1F\n"
                  "</Data></Key></KeyFile>"),
       key},
      {bytes(v2 + "630DCD28\">" + key + "</Data></Key></KeyFile>"), ""},
      {bytes("<KeyFile><Meta><Version>3.0</Version></Meta><Key><Data>x</Data></Key></KeyFile>"), ""},
      // Anything else counts by its SHA-256.
      {bytes("hello"), "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"},
  };
  for (const TCase& c : cases) {
    std::string got;
    try {
      got = ToHex(detail::KdbxKeyFileKey(c.File).Get());
    } catch (const EKLPassStorageException& e) {
      EXPECT_STREQ(e.what(), SKdbxKeyFile);
    }
    EXPECT_EQ(got, c.Key.empty() ? c.Key : ToHex(Hex(c.Key))) << std::string(c.File.begin(), c.File.end());
  }
}

// Edits reach the file: a changed field, a deleted record, a new record in a
// new nested group; the unchanged record keeps its identity.
TEST(Kdbx, EditsSurviveASaveAndLoad) {
  auto find = [](TKLPassStorage& Store, const String& Title) -> TKLPassRecord* {
    for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
      if (Store.GetRecord(i)->GetTitle() == Title) return Store.GetRecord(i);
    }
    return nullptr;
  };
  TKLPassStorage store;
  TMemoryStream in(SavedFile(u"pw"));
  store.LoadFromStream(in, u"pw");
  ASSERT_EQ(store.GetCount(), 2);
  TKLPassRecord* mail = find(store, u"Mail");
  ASSERT_NE(mail, nullptr);
  const TKLPassUuid kept = mail->GetUuid();
  mail->SetPassword(u"changed");
  TKLPassRecord* gone = find(store, u"Bank");
  store.Delete(gone);
  delete gone;
  store.Add(u"New", u"", u"p", u"", u"", u"Work/Deep/Deeper");
  TMemoryStream out;
  store.SaveToStream(out, u"pw");
  out.SetPosition(0);
  TKLPassStorage again;
  again.LoadFromStream(out, u"pw");
  ASSERT_EQ(again.GetCount(), 2);
  ASSERT_EQ(find(again, u"Bank"), nullptr);
  TKLPassRecord* mailAgain = find(again, u"Mail");
  TKLPassRecord* added = find(again, u"New");
  ASSERT_TRUE(mailAgain != nullptr && added != nullptr);
  EXPECT_EQ(mailAgain->GetUuid(), kept);
  EXPECT_EQ(mailAgain->GetPassword(), u"changed");
  EXPECT_EQ(mailAgain->GetGroup(), u"Internet/Mail");
  EXPECT_EQ(added->GetGroup(), u"Work/Deep/Deeper");
}

// What the records do not show is kept, and counted kind by kind when the
// records move to a layout that cannot carry it.
TEST(Kdbx, WhatRecordsDoNotShowIsCountedOnExport) {
  const std::string uuid = "<UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID>";
  const std::string entry = "<Entry>" + uuid + "<String><Key>Title</Key><Value>A</Value></String>";
  const std::string xml =
      "<KeePassFile><Meta><DatabaseName>Home</DatabaseName><DatabaseDescription/><Color>#FF0000</Color>"
      "<CustomIcons><Icon>" + uuid + "<Data>AA==</Data></Icon></CustomIcons>"
      "<CustomData><Item><Key>k</Key><Value>v</Value></Item></CustomData></Meta>"
      "<Root><Group>" + uuid + "<Name>Root</Name><IconID>48</IconID><Notes>n</Notes>" +
      entry + "<IconID>5</IconID><AutoType><Association><Window>w</Window></Association>"
      "<Association><Window>v</Window></Association></AutoType>"
      "<History>" + entry + "<AutoType><Association/></AutoType></Entry>" + entry + "</Entry></History></Entry>"
      "<Group>" + uuid + "<Name>Sub</Name><IconID>48</IconID><EnableSearching>false</EnableSearching>" +
      entry + "<IconID>0</IconID><CustomIconUUID>AAAAAAAAAAAAAAAAAAAAAA==</CustomIconUUID></Entry>" +
      entry + "<IconID>0</IconID></Entry></Group></Group>"
      "<DeletedObjects><DeletedObject>" + uuid + "</DeletedObject></DeletedObjects></Root></KeePassFile>";
  TMemoryStream file(test::KdbxFileOfXml(xml));
  TKLPassStorage store;
  store.LoadFromStream(file, u"pw");
  ASSERT_EQ(store.GetCount(), 3);
  TMemoryStream csv;
  const TKLExportReport report = ExportPassRecords(store, csv, {exCsv});
  EXPECT_TRUE(report.DroppedData());
  for (const TKLKdbxCarried& c : {store.GetKdbxCarried(), report.DroppedKdbx}) {
    const std::pair<std::int32_t, std::int32_t> counts[] = {
        {c.HistoryEntries, 2}, {c.RecycledEntries, 0}, {c.CustomIcons, 1},       {c.DeletedObjects, 1},
        {c.CustomData, 1},     {c.Icons, 2},           {c.AutoTypeAssociations, 2}, {c.GroupSettings, 2},
        {c.DatabaseSettings, 2}};
    for (std::size_t i = 0; i < std::size(counts); ++i) EXPECT_EQ(counts[i].first, counts[i].second) << "item " << i;
  }
}

// ---- what a save may write, and what a load must hold ---------------------------------

TKLKdbxSettings Cheap() {
  TKLKdbxSettings cheap;
  cheap.Kdf = kkAesKdf;
  cheap.Iterations = 1;
  return cheap;
}

TKLPassStorage& KdbxStore(TKLPassStorage& Store) {
  Store.SetKdbxSettings(Cheap());
  Store.SetSaveFormat(pfKdbx);
  return Store;
}

// Payload (inner header and XML) in a correctly keyed file under "pw".
ByteArray PayloadFile(const std::string& Xml, const std::vector<ByteArray>& Binaries = {},
                      detail::TKdbxCipher Cipher = detail::TKdbxCipher::Aes256) {
  ByteArray payload = {1, 4, 0, 0, 0, 3, 0, 0, 0, 2, 64, 0, 0, 0};
  payload.resize(payload.size() + 64, 0x42);
  for (const ByteArray& bin : Binaries) {
    const std::uint32_t size = static_cast<std::uint32_t>(bin.size() + 1);
    payload.push_back(3);
    for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    payload.push_back(0);
    payload.insert(payload.end(), bin.begin(), bin.end());
  }
  payload.insert(payload.end(), {0, 0, 0, 0, 0});
  payload.insert(payload.end(), Xml.begin(), Xml.end());
  detail::TKdbxSettings settings;
  settings.Cipher = Cipher;
  settings.Compressed = false;
  settings.Kdf = detail::TKdbxKdf::AesKdf;
  settings.Iterations = 1;
  detail::TKdbxCompositeKey key;
  key.AddPassword(u"pw");
  TKLFastRandomGenerator random;
  TMemoryStream out;
  detail::WriteKdbxPayload(out, settings, key, random, payload.data(), payload.size());
  return out.ToBytes();
}

// Every class of code point, in a text stored as it is and in a protected
// one: what XML 1.0 can carry comes back as it was; what KeePassXC leaves out
// (controls but tab, LF and CR; DEL; U+FFFE and U+FFFF) is left out of a
// plain text and kept in a protected value; an unpaired surrogate, which has
// no UTF-8 form, refuses the save naming the entry, and nothing is written.
TEST(Kdbx, EveryClassOfCodePointIsSavedAsAReaderOpensIt) {
  struct TCase {
    const char* Name;
    String Text;
    String Plain; // what a plain text reads back as
    bool Refused = false;
  };
  const TCase cases[] = {
      {"layout", u"a\tb\nc\r\nd", u"a\tb\nc\r\nd"},
      {"C0 controls",
       String(u"a\x01\x08\x0B\x0C\x1F"
              u"b") +
           Char(0),
       u"ab"},
      {"DEL",
       u"a\x7F"
       u"b",
       u"ab"},
      {"C1 controls",
       u"a\x80\x85\x9F"
       u"b",
       u"a\x80\x85\x9F"
       u"b"},
      {"BMP edges", u"\x20\uD7FF\uE000\uFDD0\uFFFD", u"\x20\uD7FF\uE000\uFDD0\uFFFD"},
      {"U+FFFE, U+FFFF",
       u"a\uFFFE"
       u"b\uFFFF",
       u"ab"},
      {"supplementary", u"\U0001D11E\U0001FFFE\U0010FFFF", u"\U0001D11E\U0001FFFE\U0010FFFF"},
      {"lone high surrogate",
       u"a\xD800"
       u"b",
       u"", true},
      {"lone low surrogate", u"a\xDC00", u"", true},
      {"high surrogate last", u"a\xDBFF", u"", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (const bool protect : {false, true}) {
      TKLPassStorage store;
      KdbxStore(store);
      auto rec = std::make_unique<TKLPassRecord>(u"Entry", u"", u"", u"", u"", u"");
      rec->SetCustomField(u"text", c.Text, protect);
      store.Add(rec.release());
      TMemoryStream out;
      const std::string message = MessageOf([&] { store.SaveToStream(out, u"pw"); });
      if (c.Refused) {
        EXPECT_EQ(message, std::string(SKdbxUnpairedSurrogate) + ": entry 'Entry', its field value");
        EXPECT_EQ(out.GetSize(), 0);
        continue;
      }
      ASSERT_EQ(message, "(nothing)");
      out.SetPosition(0);
      TKLPassStorage again;
      again.LoadFromStream(out, u"pw");
      ASSERT_EQ(again.GetCount(), 1);
      TKLPassField field;
      ASSERT_TRUE(again.GetRecord(0)->FindCustomField(u"text", field));
      EXPECT_EQ(field.Value, protect ? c.Text : c.Plain) << "protected " << protect;
    }
  }
  // Every other text a record gives the file follows the same rule.
  TKLPassStorage store;
  KdbxStore(store);
  store.Add(u"T\uFFFF", u"\x01u", u"p\x01", u"", u"", u"G\x7F/H");
  TMemoryStream out;
  store.SaveToStream(out, u"pw");
  out.SetPosition(0);
  TKLPassStorage again;
  again.LoadFromStream(out, u"pw");
  ASSERT_EQ(again.GetCount(), 1);
  TKLPassRecord& rec = *again.GetRecord(0);
  EXPECT_EQ(rec.GetTitle(), u"T");
  EXPECT_EQ(rec.GetUsername(), u"u");
  EXPECT_EQ(rec.GetPassword(), u"p\x01"); // protected in a new entry
  EXPECT_EQ(rec.GetGroup(), u"G/H");
  for (const auto& [what, edit] : std::vector<std::pair<std::string, std::function<void(TKLPassRecord&)>>>{
           {"title", [](TKLPassRecord& r) { r.SetTitle(u"\xD800"); }},
           {"group name", [](TKLPassRecord& r) { r.SetGroup(u"A/\xDFFF"); }},
           {"tag", [](TKLPassRecord& r) { r.SetTags({u"x\xD800"}); }},
           {"attachment name", [](TKLPassRecord& r) { r.SetAttachment(u"\xD800", {}); }}}) {
    TKLPassStorage bad;
    KdbxStore(bad);
    auto made = std::make_unique<TKLPassRecord>(u"E", u"", u"", u"", u"", u"");
    edit(*made);
    bad.Add(made.release());
    TMemoryStream none;
    EXPECT_TRUE(MessageOf([&] { bad.SaveToStream(none, u"pw"); }).starts_with(SKdbxUnpairedSurrogate)) << what;
    EXPECT_EQ(none.GetSize(), 0) << what;
  }
}

// The deepest group path whose entries a reader still opens saves and loads;
// one level deeper is refused naming the entry, and the file on disk stays
// as it was.
TEST(Kdbx, TheDeepestGroupTreeSavesAndOneDeeperIsRefusedUnwritten) {
  // KeePassFile, Root, the root group, the path's groups, Entry, String, Value.
  const std::size_t deepest = detail::KdbxMaxXmlDepth - 6;
  auto path = [](std::size_t Levels) {
    String p;
    for (std::size_t i = 0; i < Levels; ++i) p += (i == 0 ? u"g" : u"/g");
    return p;
  };
  test::TempDir dir;
  const String file = U(dir.File("deep.kdbx"));
  TKLPassStorage store;
  KdbxStore(store);
  store.Add(u"Deepest", u"", u"pw", u"", u"", path(deepest));
  store.SaveToFile(file, u"pw");
  TKLPassStorage again;
  again.LoadFromFile(file, u"pw");
  ASSERT_EQ(again.GetCount(), 1);
  EXPECT_EQ(again.GetRecord(0)->GetGroup(), path(deepest));

  const std::string before = test::ReadFileBytes(dir.File("deep.kdbx"));
  store.Add(u"Deeper", u"", u"", u"", u"", path(deepest + 1));
  const std::string message = MessageOf([&] { store.SaveToFile(file, u"pw"); });
  EXPECT_TRUE(message.starts_with(std::string(SKdbxTooDeep) + ": entry 'Deeper' in group 'g/g/")) << message;
  EXPECT_NE(message.find(" would nest 257 elements deep, at most 256 are read"), std::string::npos) << message;
  EXPECT_EQ(test::ReadFileBytes(dir.File("deep.kdbx")), before);
}

// A payload of nothing at all or a cut inner header, in either cipher, gzipped or not: damage, and
// no null pointer reaches the cipher (UBSan's nonnull check).
TEST(Kdbx, AnEmptyPayloadIsDamage) {
  for (const auto cipher : {detail::TKdbxCipher::ChaCha20, detail::TKdbxCipher::Aes256}) {
    for (const bool compressed : {false, true}) {
      detail::TKdbxSettings settings;
      settings.Cipher = cipher;
      settings.Compressed = compressed;
      settings.Kdf = detail::TKdbxKdf::AesKdf;
      settings.Iterations = 1;
      detail::TKdbxCompositeKey key;
      key.AddPassword(u"pw");
      TKLFastRandomGenerator random;
      TMemoryStream out;
      detail::WriteKdbxPayload(out, settings, key, random, nullptr, 0);
      EXPECT_EQ(LoadMessage(out.ToBytes(), u"pw"), SKdbxDamaged) << int(cipher) << compressed;
      // An inner header cut within a field: its stream key, 32 bytes declared, 3 given.
      const std::uint8_t cut[] = {2, 32, 0, 0, 0, 1, 2, 3};
      TMemoryStream short_;
      detail::WriteKdbxPayload(short_, settings, key, random, cut, sizeof(cut));
      short_.SetPosition(0);
      EXPECT_EQ(MessageOf([&] { detail::ReadKdbx(short_, key); }), SKdbxDamaged) << int(cipher) << compressed;
    }
  }
}

// What KeePass files carry in practice loads whole, saves as KDBX and as the
// vault's own format, and comes back equal: a custom field of 70,000 bytes,
// 1,100 custom fields, an attachment of 17 MiB.
TEST(Kdbx, LargeEntriesLoadAndSaveInEitherFormat) {
  const String longValue(70000, u'k');
  ByteArray scan(17u << 20);
  for (std::size_t i = 0; i < scan.size(); ++i) scan[i] = static_cast<std::uint8_t>(i * 31 + (i >> 16));
  TKLPassStorage store;
  KdbxStore(store);
  auto rec = std::make_unique<TKLPassRecord>(u"Big", u"", u"", u"", u"", u"Scans");
  std::vector<TKLPassField> fields;
  for (int i = 0; i < 1100; ++i) fields.push_back({u"f" + IntToStr(i), IntToStr(i * 7), i % 2 == 0});
  fields.push_back({u"certificate", longValue, true});
  fields.push_back({u"wide", String(30000, u'\u20AC') + u"\U0001D11E", false}); // 90,004 bytes of UTF-8
  rec->SetCustomFields(fields);
  rec->SetAttachment(u"scan.pdf", scan);
  store.Add(rec.release());
  for (const TKLPassFileFormat format : {pfKdbx, pfVault}) {
    SCOPED_TRACE(format);
    store.SetSaveFormat(format);
    store.SetKdfParameters(TKLKdfParameters{8192, 1});
    TMemoryStream out;
    store.SaveToStream(out, u"pw");
    out.SetPosition(0);
    TKLPassStorage again;
    again.LoadFromStream(out, u"pw");
    ASSERT_EQ(again.GetCount(), 1);
    TKLPassRecord& got = *again.GetRecord(0);
    const std::vector<TKLPassField> back = got.GetCustomFields();
    ASSERT_EQ(back.size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      ASSERT_EQ(back[i].Name, fields[i].Name);
      ASSERT_EQ(back[i].Value, fields[i].Value) << Narrow(fields[i].Name);
      ASSERT_EQ(back[i].Protected, fields[i].Protected);
    }
    ByteArray data;
    ASSERT_TRUE(got.GetAttachment(u"scan.pdf", data));
    EXPECT_TRUE(data == scan);
  }
}

// The fast scanner reads what KeePass writes; a document it does not read
// is read again by expat, whole and from the start: an element named beyond
// ASCII loads the same records, a damaged document fails as before, and
// nothing read by the scanner's attempt is left in either.
TEST(Kdbx, WhatTheFastScannerLeavesExpatReadsAgainFromTheStart) {
  auto entry = [](const std::string& Extra) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n<KeePassFile><Root><Group>"
           "<UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Root</Name><Entry><UUID>AAAAAAAAAAAAAAAAAAAAAg==</UUID>"
           "<String><Key>Title</Key><Value>Mail &amp; more</Value></String>"
           "<String><Key>Password</Key><Value>s3cr&#233;t\r\n</Value></String>" +
           Extra + "</Entry></Group></Root></KeePassFile>";
  };
  struct TCase {
    const char* Name;
    std::string Xml;
    int ExpatReadings;
    const char* Message;
  } const cases[] = {
      {"KeePass's shape", entry(""), 0, "(nothing)"},
      {"a name beyond ASCII",
       entry("<\xC3\x9C"
             "brig>x</\xC3\x9C"
             "brig>"),
       1, "(nothing)"},
      {"tags that do not match", entry("<A></B>"), 1, SKdbxDamaged},
      {"a document type", "<!DOCTYPE KeePassFile>" + entry(""), 1, SKdbxDamaged},
  };
  for (const TCase& c : cases) {
    const std::uint64_t before = detail::KdbxXmlExpatReadings();
    TKLPassStorage store;
    TMemoryStream in(PayloadFile(c.Xml, {ByteArray{1, 2, 3}}));
    EXPECT_EQ(MessageOf([&] { store.LoadFromStream(in, u"pw"); }), c.Message) << c.Name;
    EXPECT_EQ(detail::KdbxXmlExpatReadings() - before, static_cast<std::uint64_t>(c.ExpatReadings)) << c.Name;
    if (std::string(c.Message) != "(nothing)") {
      EXPECT_EQ(store.GetCount(), 0) << c.Name;
      continue;
    }
    ASSERT_EQ(store.GetCount(), 1) << c.Name;
    EXPECT_EQ(Narrow(store.GetRecord(0)->GetTitle()), "Mail & more") << c.Name;
    EXPECT_EQ(Narrow(store.GetRecord(0)->GetPassword()), "s3cr\xC3\xA9t\n") << c.Name;
  }
}

// A save writes back the standard fields an entry had, and adds none it did
// not have: an entry of a title and a password keeps two fields.
TEST(Kdbx, ASaveAddsNoStandardFieldAnEntryLacked) {
  const std::string xml =
      "<KeePassFile><Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Root</Name>"
      "<Entry><UUID>AAAAAAAAAAAAAAAAAAAAAg==</UUID><String><Key>Title</Key><Value>Mail</Value></String>"
      "<String><Key>Password</Key><Value>pw1</Value></String></Entry></Group></Root></KeePassFile>";
  TKLPassStorage store;
  TMemoryStream in(PayloadFile(xml));
  store.LoadFromStream(in, u"pw");
  TMemoryStream out;
  store.SaveToStream(out, u"pw");
  out.SetPosition(0);
  const detail::TKdbxDocument doc = detail::ReadKdbx(out, test::KdbxTestKey());
  const detail::TXmlNode entry = detail::Unfolded(*doc.Root.Find("Root")->Find("Group")->Find("Entry"));
  std::string keys;
  for (const detail::TXmlNode& child : entry.Children) {
    if (child.Name == "String") keys += child.Find("Key")->Text + " ";
  }
  EXPECT_EQ(keys, "Title Password ");
}

// An entry beyond the raised bounds refuses the load naming the entry and
// what is beyond them; nothing is loaded.
TEST(Kdbx, AnEntryBeyondTheBoundsIsRefusedByName) {
  const std::string head =
      "<KeePassFile><Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Root</Name>"
      "<Group><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID><Name>Work</Name>"
      "<Entry><UUID>AAAAAAAAAAAAAAAAAAAAAg==</UUID>"
      "<String><Key>Title</Key><Value>Huge</Value></String>";
  const std::string tail = "</Entry></Group></Group></Root></KeePassFile>";
  auto field = [](const std::string& Key, std::size_t Size) {
    return "<String><Key>" + Key + "</Key><Value>" + std::string(Size, 'v') + "</Value></String>";
  };
  std::string many;
  for (std::size_t i = 0; i <= KLPassMaxCustomFields; ++i) many += field("f" + std::to_string(i), 1);
  std::string attachments;
  for (int i = 0; i < 5; ++i) attachments += "<Binary><Key>a" + std::to_string(i) + "</Key><Value Ref=\"0\"/></Binary>";
  const std::string entry = std::string(SKdbxEntryTooLarge) + ": entry 'Huge' in group 'Work': ";
  struct TCase {
    std::string Body;
    std::vector<ByteArray> Binaries;
    std::string Why;
  };
  const TCase cases[] = {
      {field("cert", KLPassMaxFieldValueBytes + 1), {}, "custom field 'cert' of 1048577 bytes (at most 1048576)"},
      {many, {}, "more than 4096 custom fields"},
      {"<Binary><Key>scan</Key><Value Ref=\"0\"/></Binary>",
       {ByteArray(KLPassMaxAttachmentSize + 1)},
       "attachment 'scan' of 67108865 bytes (at most 67108864)"},
      {attachments,
       {ByteArray(KLPassMaxAttachmentSize)},
       "custom fields and attachments of 335544320 bytes together (at most 268435456)"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(LoadMessage(PayloadFile(head + c.Body + tail, c.Binaries), u"pw"), entry + c.Why);
  }
  EXPECT_EQ(LoadMessage(PayloadFile(head + field("cert", 70000) + tail), u"pw"), "(nothing)");
}

// The header describes a file without its key: version, cipher, gzip, KDF
// and its costs; a changed header byte is damage; another file is no KDBX.
TEST(Kdbx, FileInfoDescribesTheHeaderWithoutTheKey) {
  TKLPassStorage store;
  TKLKdbxSettings settings;
  settings.Kdf = kkArgon2d;
  settings.Cipher = kcChaCha20;
  settings.Iterations = 3;
  settings.MemoryBytes = 1 << 20;
  settings.Parallelism = 3;
  store.SetKdbxSettings(settings);
  store.SetSaveFormat(pfKdbx);
  TMemoryStream out;
  store.SaveToStream(out, u"pw");
  out.SetPosition(0);
  ASSERT_TRUE(IsKdbxStream(out));
  EXPECT_EQ(out.GetPosition(), 0);
  const TKLKdbxFileInfo info = ReadKdbxFileInfo(out);
  EXPECT_EQ(info.Version, 0x00040000u);
  EXPECT_TRUE(info.Compressed);
  EXPECT_EQ(info.Settings.Kdf, kkArgon2d);
  EXPECT_EQ(info.Settings.Cipher, kcChaCha20);
  EXPECT_EQ(info.Settings.Iterations, 3u);
  EXPECT_EQ(info.Settings.MemoryBytes, 1u << 20);
  EXPECT_EQ(info.Settings.Parallelism, 3u);
  TMemoryStream aes(SavedFile(u"pw"));
  const TKLKdbxFileInfo aesInfo = ReadKdbxFileInfo(aes);
  EXPECT_EQ(aesInfo.Settings.Kdf, kkAesKdf);
  EXPECT_EQ(aesInfo.Settings.Iterations, 1u);
  EXPECT_EQ(aesInfo.Settings.MemoryBytes, 0u);
  ByteArray changed = SavedFile(u"pw");
  changed[50] ^= 1; // the master seed
  TMemoryStream damaged(changed);
  EXPECT_EQ(MessageOf([&] { ReadKdbxFileInfo(damaged); }), SKdbxDamaged);
  TMemoryStream vault(ByteArray{0x01, 0xDB, 3, 1, 0, 0, 0, 0});
  EXPECT_FALSE(IsKdbxStream(vault));
}

// Base64 decoded into a room of a fixed size agrees with the decoding into a
// string, and refuses what would not fit; times take either form.
TEST(Kdbx, Base64IntoAFixedRoomAndTimes) {
  struct TCase {
    const char* Text;
    bool Ok;
    const char* Hex; // what it decodes to
  };
  const TCase cases[] = {
      {"AAECAwQFBgcICQoLDA0ODw==", true, "000102030405060708090A0B0C0D0E0F"},
      {"AQ==", true, "01"},
      {" A Q\r\n= =", true, "01"},
      {"AAEC AwQF BgcI CQoL DA0O Dw==", true, "000102030405060708090A0B0C0D0E0F"},
      {"AQI=", true, "0102"},
      {"Zm9v", true, "666F6F"},
      {"", true, ""},
      {"AQ", false, ""},
      {"AQ=A", false, ""},
      {"A===", false, ""},
      {"*AAA", false, ""},
      {"AQ==AQ==", false, ""},
      {"AQ=\n", false, ""},
      {"====", false, ""},
  };
  for (const TCase& c : cases) {
    std::uint8_t room[16] = {};
    std::size_t size = 99;
    EXPECT_EQ(detail::Base64DecodeTo(c.Text, room, sizeof(room), size), c.Ok) << c.Text;
    std::string whole;
    EXPECT_EQ(detail::Base64Decode(c.Text, whole), c.Ok) << c.Text;
    if (!c.Ok) continue;
    EXPECT_EQ(ToHex(room, size), c.Hex) << c.Text;
    EXPECT_EQ(ToHex(whole.data(), whole.size()), c.Hex) << c.Text;
    // A byte short of room: refused, never written beyond it.
    if (size == 0) continue;
    std::uint8_t shorter[17];
    std::memset(shorter, 0xEE, sizeof(shorter));
    EXPECT_FALSE(detail::Base64DecodeTo(c.Text, shorter, size - 1, size)) << c.Text;
    EXPECT_EQ(shorter[std::strlen(c.Hex) / 2 - 1], 0xEE) << c.Text;
  }
  struct TTime {
    const char* Text;
    bool Ok;
    std::int64_t Unix;
  };
  const TTime times[] = {
      {"kKya3Q4AAAA=", true, 1711846800},
      {"kKya3Q4AAAB=", true, 1711846800}, // the bits beyond the last byte are not read
      {"APeRdw4AAAA=", true, 0},
      {"AAAAAAAAAAA=", true, -62135596800},
      {"AAAAAAAAAIA=", false, 0}, // beyond a signed count of seconds
      {"kKya3Q4AAA==", false, 0}, // seven bytes
      {"kKya3Q4AAAAA", false, 0}, // nine bytes
      {"kKya3Q4AAAA", false, 0},
      {"kKya3Q4AAAA= ", false, 0},
      {"2024-03-31T01:00:00Z", true, 1711846800},
      {"2024-03-31T01:00:00.5", true, 1711846800},
      {"2024-03-31 01:00:00Z", false, 0},
  };
  for (const TTime& t : times) {
    std::int64_t unix = 0;
    EXPECT_EQ(detail::ParseKdbxTime(t.Text, unix), t.Ok) << t.Text;
    EXPECT_EQ(unix, t.Unix) << t.Text; // untouched when refused
  }
  EXPECT_EQ(detail::KdbxTimeText(1711846800), "kKya3Q4AAAA=");
}

// The local offsets kept by hour give, second by second, what the zone says
// across every change of offset: on a full hour of UTC, and off it (half an
// hour, a minute past), forwards and back, whichever second of an hour is
// asked first.
TEST(Kdbx, LocalOffsetsByHourHoldAcrossEveryChange) {
  struct TChange {
    const char* Zone;
    std::int64_t At; // the first second of the new offset
    std::int64_t Before, After;
  };
  const TChange changes[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1711846800, 3600, 7200},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1729990800, 7200, 3600},
      {"NST3:30NDT,M3.2.0/0:01,M11.1.0/0:01", 1710041460, -12600, -9000},
      {"NST3:30NDT,M3.2.0/0:01,M11.1.0/0:01", 1730601060, -9000, -12600},
      {"LHST-10:30LHDT-11,M10.1.0,M4.1.0", 1712415600, 39600, 37800},
      {"LHST-10:30LHDT-11,M10.1.0,M4.1.0", 1728142200, 37800, 39600},
  };
#ifdef _WIN32
  GTEST_SKIP() << "the C runtime reads a zone's offsets from TZ but not its POSIX rules of change";
#endif
  constexpr std::int64_t kAround = 2 * 3600;
  for (const TChange& c : changes) {
    const test::TZoneScope zone(c.Zone);
    if (detail::LocalOffsetAt(0) == 0) GTEST_SKIP() << "this platform's C runtime ignores TZ";
    ASSERT_EQ(detail::LocalOffsetAt(c.At - 1), c.Before) << c.Zone << ' ' << c.At;
    ASSERT_EQ(detail::LocalOffsetAt(c.At), c.After) << c.Zone << ' ' << c.At;
    for (const bool forwards : {true, false}) {
      detail::TLocalOffsets offsets;
      std::int64_t wrong = 0;
      for (std::int64_t i = -kAround; i < kAround; ++i) {
        const std::int64_t t = c.At + (forwards ? i : -1 - i);
        if (offsets.UtcToWall(t) != detail::UtcToWall(t) && wrong++ == 0) {
          ADD_FAILURE() << c.Zone << ' ' << t << (forwards ? " forwards" : " back");
        }
      }
      EXPECT_EQ(wrong, 0) << c.Zone << ' ' << c.At;
    }
  }
}

// The names KeePass uses fold into one byte each, and names that share their
// length and first and last letters with one of them keep their own text.
TEST(Kdbx, KeePassNamesFoldIntoOneByteAndLookalikesKeepTheirText) {
  struct TName {
    std::string Name;
    bool Coded;
  };
  std::vector<TName> names;
  for (const char* name : {"Entry", "UUID", "ForegroundColor", "BackgroundColor", "LocationChanged", "DefaultSequence",
                           "ProtectInMemory", "Key", "Ref", "Protected"})
    names.push_back({name, true});
  for (const char* name : {"Eatry", "ForegroundCoxor", "Kay", "UxID", "Rif", "entry", "X"})
    names.push_back({name, false});
  for (const TName& n : names) {
    detail::TXmlNode node("Entry");
    node.Children.emplace_back(n.Name);
    detail::FoldChildren(node);
    ASSERT_TRUE(node.IsFolded()) << n.Name;
    // The count, the name (its code, or 0, its length and its bytes), the flags.
    EXPECT_EQ(node.Fold->size(), n.Coded ? 3 : 4 + n.Name.size()) << n.Name;
    EXPECT_EQ(detail::Unfolded(node).Children.at(0).Name, n.Name);
  }
}

// Every element and attribute of a view, against the node it was made of; each
// list of views lies within the room.
void ExpectViewOf(const detail::TXmlView& View, const detail::TXmlNode& Node, const detail::TXmlViews& Room) {
  EXPECT_EQ(View.Name, Node.Name);
  EXPECT_EQ(View.Text, Node.Text) << Node.Name;
  EXPECT_EQ(View.Protected, Node.Protected) << Node.Name;
  ASSERT_EQ(View.Attributes.size(), Node.Attributes.size()) << Node.Name;
  if (!View.Attributes.empty()) {
    EXPECT_GE(View.Attributes.data(), Room.Attributes.data()) << Node.Name;
    EXPECT_LE(View.Attributes.data() + View.Attributes.size(), Room.Attributes.data() + Room.Attributes.size());
  }
  for (std::size_t i = 0; i < Node.Attributes.size(); ++i) {
    EXPECT_EQ(View.Attributes[i].first, Node.Attributes[i].first) << Node.Name;
    EXPECT_EQ(View.Attributes[i].second, Node.Attributes[i].second) << Node.Name;
  }
  ASSERT_EQ(View.Children.size(), Node.Children.size()) << Node.Name;
  if (!View.Children.empty()) {
    EXPECT_GE(View.Children.data(), Room.Nodes.data()) << Node.Name;
    EXPECT_LE(View.Children.data() + View.Children.size(), Room.Nodes.data() + Room.Nodes.size()) << Node.Name;
  }
  for (std::size_t i = 0; i < Node.Children.size(); ++i) ExpectViewOf(View.Children[i], Node.Children[i], Room);
}

// Entries read one after another through one room, each larger than the room
// the ones before left (in elements, then in attributes only) or smaller: each
// is read whole, folded or as a tree.
TEST(Kdbx, ViewsOfEntriesOfEverySizeThroughOneRoom) {
  using detail::TXmlNode;
  auto entry = [](std::size_t Strings, std::size_t Attributes) {
    TXmlNode e("Entry");
    e.SetAttribute("Kind", "e");
    e.Children.emplace_back("UUID", "AAECAwQFBgcICQoLDA0ODw==");
    for (std::size_t i = 0; i < Strings; ++i) {
      TXmlNode& str = e.Children.emplace_back("String");
      str.Children.emplace_back("Key", "K" + std::to_string(i));
      TXmlNode& value = str.Children.emplace_back("Value", "v" + std::to_string(i));
      for (std::size_t a = 0; a < Attributes; ++a) value.SetAttribute("A" + std::to_string(a), std::to_string(i));
      value.Protected = i % 2 == 1;
    }
    return e;
  };
  const std::pair<std::size_t, std::size_t> sizes[] = {{1, 0}, {3, 1}, {3, 4}, {1, 1}, {12, 2}, {0, 0}, {12, 2}};
  detail::TXmlViews room;
  for (const bool fold : {true, false}) {
    for (const auto& [strings, attributes] : sizes) {
      TXmlNode node = entry(strings, attributes);
      if (fold) detail::FoldChildren(node);
      const TXmlNode tree = detail::Unfolded(node);
      ExpectViewOf(detail::ViewOf(node, room), tree, room);
    }
  }
}

} // namespace
} // namespace kl
