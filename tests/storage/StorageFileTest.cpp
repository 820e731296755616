#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "crypto/KLAES.h"
#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "foundation/FileStream.h"
#include "foundation/MemoryStream.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::Narrow;
using test::ToHex;
using test::U;

const String kPassword = u"correct horse";
using test::kFastKdf;

using test::Save;

void Load(TKLStorage& Storage, const ByteArray& Bytes, const String& Password) {
  TMemoryStream stream(Bytes);
  Storage.LoadFromStream(stream, Password);
}

// What a load raises, as "<class>: <message>", or "" when it succeeds. The
// classes are told apart because callers handle them apart.
std::string LoadError(TKLStorage& Storage, const ByteArray& Bytes, const String& Password) {
  try {
    Load(Storage, Bytes, Password);
  } catch (const EKLStorageException& e) {
    return std::string("storage: ") + e.what();
  } catch (const EKLAESError& e) {
    return std::string("aes: ") + e.what();
  } catch (const EStreamError& e) {
    return std::string("stream: ") + e.what();
  } catch (const Exception& e) {
    return std::string("other: ") + e.what();
  }
  return "";
}

ByteArray operator+(ByteArray A, const ByteArray& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

ByteArray LittleEndian(std::uint64_t Value, std::size_t Size) {
  ByteArray out(Size);
  for (std::size_t i = 0; i < Size; ++i) out[i] = static_cast<std::uint8_t>(Value >> (8 * i));
  return out;
}

ByteArray Counted(const ByteArray& Bytes) { return LittleEndian(Bytes.size(), 2) + Bytes; }
ByteArray Utf8(const std::string& Text) { return ByteArray(Text.begin(), Text.end()); }

// Value records laid out by hand, and the content they make with the closing
// record and its SHA-256.
struct Records {
  ByteArray Body;

  Records& Add(const std::string& Key, std::uint8_t Type, const ByteArray& Data) {
    Body = Body + Counted(Utf8(Key)) + ByteArray{Type} + Data;
    return *this;
  }
  ByteArray Content() const {
    const TMessageDigest256 digest = SHA256Calculate(Body.data(), static_cast<std::uint32_t>(Body.size()));
    return Body + Counted(Utf8("hash")) + ByteArray{0} + DigestToBytes(digest);
  }
};

ByteArray PlainFile(const ByteArray& Content) { return Hex("01DB0100") + Content; }

// An encrypted file put together from the primitives alone: the password key
// from PBKDF2, header fields enciphered as single blocks, the content in CBC
// with PKCS#7 padding (or with a last byte that is no valid padding).
struct CryptoFile {
  std::uint8_t Version = KLStorageVersion2;
  String Password = kPassword;
  ByteArray Salt = ByteArray(64, 0x11);
  ByteArray IV = ByteArray(16, 0x22);
  ByteArray MasterKey = Hex("333435363738393A3B3C3D3E3F404142434445464748494A4B4C4D4E4F505152");
  bool BadPadding = false;

  ByteArray Build(const ByteArray& Content) const {
    const ByteArray derived = Derive(Password, Salt, 1000, 48);
    TAESExpandedKey256 passwordKey, contentKey;
    AESInitialize(derived.data(), passwordKey, false);
    AESInitialize(MasterKey.data(), contentKey, false);
    auto encipher = [&](ByteArray Block) {
      AESEncrypt(Block.data(), passwordKey, Block.data());
      return Block;
    };
    const ByteArray check = Hex("5AC31E9724B86F0DE24973A618D53C81");
    ByteArray key = MasterKey;
    if (Version != KLStorageLegacyVersion) {
      key = encipher(ByteArray(MasterKey.begin(), MasterKey.begin() + 16)) +
            encipher(ByteArray(MasterKey.begin() + 16, MasterKey.end()));
    }
    ByteArray out = Hex("01DB") + ByteArray{Version, 1} + Salt + key + encipher(IV) + encipher(check);
    ByteArray plain = Content;
    const std::size_t pad = 16 - plain.size() % 16;
    plain.insert(plain.end(), pad, static_cast<std::uint8_t>(pad));
    if (BadPadding) plain.back() = 0;
    ByteArray chain = IV;
    for (std::size_t at = 0; at < plain.size(); at += 16) {
      for (std::size_t i = 0; i < 16; ++i) chain[i] ^= plain[at + i];
      AESEncrypt(chain.data(), contentKey, chain.data());
      out = out + chain;
    }
    return out;
  }
};

// A storage with one value of every type and the awkward cases of each.
void FillEveryType(TKLStorage& Storage) {
  Storage.PutBool(u"b/true", true, false);
  Storage.PutBool(u"b/false", false, false);
  Storage.PutInt(u"i/min", std::numeric_limits<std::int32_t>::min(), false);
  Storage.PutInt(u"i/max", std::numeric_limits<std::int32_t>::max(), false);
  Storage.PutLong(u"l/min", std::numeric_limits<std::int64_t>::min(), false);
  Storage.PutLong(u"l/max", std::numeric_limits<std::int64_t>::max(), false);
  Storage.PutString(u"s/empty", u"", false);
  Storage.PutString(U("s/ключ/é"), U("caf\u00E9 \u20AC \U0001F511"), false);
  Storage.PutString(u"s/longest", String(21845, u'\u20AC'), false);
  Storage.PutBlob(u"x/empty", {}, false);
  ByteArray all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  Storage.PutBlob(u"x/all", all, false);
  Storage.PutBlob(u"x/longest", ByteArray(65535, 0xA5), false);
  Storage.PutInt(u"", 0, false);
}

// Type and content of every value, in storage order, for comparison.
std::vector<std::string> Describe(const TKLStorage& Storage) {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) {
    const TKLValue* v = Storage.GetValue(i);
    std::string text = Narrow(v->GetKey()) + " " + std::to_string(v->GetValueType()) + " ";
    if (auto* b = dynamic_cast<const TKLBoolValue*>(v)) text += b->GetValue() ? "true" : "false";
    if (auto* n = dynamic_cast<const TKLIntValue*>(v)) text += std::to_string(n->GetValue());
    if (auto* l = dynamic_cast<const TKLLongValue*>(v)) text += std::to_string(l->GetValue());
    if (auto* s = dynamic_cast<const TKLStringValue*>(v)) text += ToHex(s->GetValue().data(), 2 * s->GetValue().size());
    if (auto* x = dynamic_cast<const TKLBlobValue*>(v)) text += ToHex(x->GetValue());
    out.push_back(text);
  }
  return out;
}

TEST(StorageFile, PlainSavesAreByteExact) {
  TKLStorage storage;
  EXPECT_EQ(ToHex(Save(storage, u"")),
            "01DB0100"
            "0400"
            "68617368"
            "00"
            "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  storage.PutInt(u"a", 1, false);
  EXPECT_EQ(ToHex(Save(storage, u"")),
            "01DB0100"
            "0100"
            "61"
            "02"
            "01000000"
            "0400"
            "68617368"
            "00"
            "7275EA0B6414E209997641D6DD5F3A5017840BA061B558FE3276D416DCF18B0C");
}

TEST(StorageFile, AVersion2SaveHasEveryHeaderFieldButTheSaltEnciphered) {
  std::uint8_t seed[32];
  for (std::size_t i = 0; i < sizeof(seed); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const auto generator = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(seed);
  const auto twin = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(seed);
  TKLStorage storage;
  storage.SetRandomGenerator(generator.get());
  storage.SetSaveVersion(KLStorageVersion2);
  const ByteArray saved = Save(storage, kPassword);

  // The storage draws salt, vector and content key in this order.
  CryptoFile expected;
  twin->Generate(expected.Salt.data(), 64);
  twin->Generate(expected.IV.data(), 16);
  twin->Generate(expected.MasterKey.data(), 32);
  ASSERT_EQ(saved.size(), 180u);
  EXPECT_EQ(ToHex(saved).substr(0, 8), "01DB0201");
  EXPECT_EQ(ToHex(saved), ToHex(expected.Build(Records().Content())));

  // Each save draws afresh: everything after the header differs.
  const ByteArray again = Save(storage, kPassword);
  for (std::size_t at = 4; at < 180; at += 16) {
    EXPECT_NE(ToHex(ByteArray(saved.begin() + at, saved.begin() + at + 16)),
              ToHex(ByteArray(again.begin() + at, again.begin() + at + 16)));
  }
}

class StorageRoundTrip : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(StorageRoundTrip, EveryTypeComesBackInOrderThroughStreamsAndFiles) {
  TKLStorage original;
  original.SetKdfParameters(kFastKdf);
  FillEveryType(original);
  const String password = GetParam();

  TKLStorage fromStream;
  Load(fromStream, Save(original, password), password);
  EXPECT_EQ(Describe(fromStream), Describe(original));
  EXPECT_TRUE(fromStream.GetLoaded());

  test::TempDir dir;
  original.SaveToFile(dir.FileU("store.bin"), password);
  TKLStorage fromFile;
  fromFile.LoadFromFile(dir.FileU("store.bin"), password);
  EXPECT_EQ(Describe(fromFile), Describe(original));
  String text;
  EXPECT_TRUE(fromFile.GetString(U("s/ключ/é"), text, u""));
  EXPECT_EQ(text, U("caf\u00E9 \u20AC \U0001F511"));
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, StorageRoundTrip, ::testing::Values(u"", u"pw", u"\u00E9\U0001F511"));

struct FailureCase {
  std::string Name;
  ByteArray Bytes;
  String Password;
  std::string Expected;
};

// Two values, so that a failure in the second shows the first appended.
Records TwoValues() {
  Records records;
  records.Add("first", vtInt, LittleEndian(7, 4)).Add("second", vtString, Counted(Utf8("text")));
  return records;
}

ByteArray Cut(const ByteArray& Bytes, std::size_t Size) { return ByteArray(Bytes.begin(), Bytes.begin() + Size); }

ByteArray Changed(ByteArray Bytes, std::size_t At, std::uint8_t Value) {
  Bytes[At] = Value;
  return Bytes;
}

std::vector<FailureCase> FailureCases() {
  const ByteArray plain = PlainFile(TwoValues().Content());
  const std::size_t firstRecord = 2 + 5 + 1 + 4;
  const std::size_t closing = 4 + TwoValues().Body.size();
  CryptoFile legacy;
  legacy.Version = KLStorageLegacyVersion;
  CryptoFile badPadding;
  badPadding.BadPadding = true;
  const ByteArray encrypted = CryptoFile().Build(TwoValues().Content());
  Records unknownType = TwoValues();
  unknownType.Add("third", 6, LittleEndian(1, 4));
  const std::string readError = std::string(": ") + SReadError;
  const std::string damaged = std::string("storage: ") + SStorageDamaged;
  return {
      {"tag", Changed(plain, 0, 0x02), u"", std::string("storage: ") + SWrongStorageTag},
      {"version 0", Changed(plain, 2, 0), u"", std::string("storage: ") + SWrongStorageVersion},
      {"version 4", Changed(encrypted, 2, 4), kPassword, std::string("storage: ") + SWrongStorageVersion},
      {"plain version 3", Changed(plain, 2, 3), u"", std::string("storage: ") + SWrongStorageVersion},
      {"password for a plain file", plain, kPassword, std::string("storage: ") + SStorageNotEncrypted},
      {"no password", encrypted, u"", std::string("storage: ") + SStorageWrongPassword},
      {"wrong password", encrypted, u"correct horse ", std::string("storage: ") + SStorageWrongPassword},
      {"wrong password, legacy", legacy.Build(TwoValues().Content()), u"x",
       std::string("storage: ") + SStorageWrongPassword},
      {"any flag byte means encrypted", Changed(plain, 3, 0x80), u"", std::string("storage: ") + SStorageWrongPassword},
      {"data byte changed", Changed(plain, 4 + firstRecord - 1, 0x55), u"", "storage" + readError},
      {"digest's last byte changed", Changed(plain, plain.size() - 1, plain.back() ^ 1), u"", "storage" + readError},
      {"cut before the closing record", Cut(plain, closing), u"", "storage" + readError},
      {"cut in the closing record's length", Cut(plain, closing + 1), u"", "storage" + readError},
      {"cut in a key", Cut(plain, 4 + firstRecord + 4), u"", "stream" + readError},
      {"cut in a type code", Cut(plain, 4 + firstRecord + 2 + 6), u"", "stream" + readError},
      {"cut in text data", Cut(plain, closing - 2), u"", "stream" + readError},
      {"cut in the digest", Cut(plain, plain.size() - 1), u"", "stream" + readError},
      {"unknown type code", PlainFile(unknownType.Content()), u"", "storage" + readError},
      {"header cut short", Cut(plain, 3), u"", "stream" + readError},
      // Legacy content failures all read alike: no padding oracle.
      {"crypto header cut short", Cut(encrypted, 100), kPassword, damaged},
      {"bad padding", badPadding.Build(TwoValues().Content()), kPassword, damaged},
      {"encrypted content cut to the header", Cut(encrypted, 132), kPassword, damaged},
  };
}

// A failed load leaves the storage as it was, even where values before the
// failure had been read.
TEST(StorageFile, EveryLoadFailureRaisesItsErrorAndChangesNothing) {
  for (const FailureCase& c : FailureCases()) {
    SCOPED_TRACE(c.Name);
    TKLStorage storage;
    storage.SetAllowLegacyFormat(true);
    storage.PutInt(u"held", 1, false);
    EXPECT_EQ(LoadError(storage, c.Bytes, c.Password), c.Expected);
    EXPECT_EQ(storage.GetCount(), 1);
    EXPECT_FALSE(storage.GetLoaded());
    EXPECT_EQ(storage.GetLoadedVersion(), 0);
    EXPECT_NE(storage.Get(u"held"), nullptr);
  }
}

TEST(StorageFile, BooleansAreTrueOnlyForTheByteOne) {
  Records records;
  for (const std::uint8_t byte : std::vector<std::uint8_t>{0, 1, 2, 255})
    records.Add("b" + std::to_string(byte), vtBool, {byte});
  TKLStorage storage;
  Load(storage, PlainFile(records.Content()), u"");
  bool value = false;
  for (const std::uint8_t byte : std::vector<std::uint8_t>{0, 1, 2, 255}) {
    EXPECT_TRUE(storage.GetBool(U("b" + std::to_string(byte)), value, false));
    EXPECT_EQ(value, byte == 1) << int(byte);
  }
}

TEST(StorageFile, LegacyEncryptedFilesLoadOnlyWhenAllowed) {
  for (const std::uint8_t version : {KLStorageLegacyVersion, KLStorageVersion2}) {
    SCOPED_TRACE(int(version));
    CryptoFile legacy;
    legacy.Version = version;
    const ByteArray bytes = legacy.Build(TwoValues().Content());
    TKLStorage storage;
    EXPECT_THROW(Load(storage, bytes, kPassword), EKLStorageLegacyFormat);
    EXPECT_EQ(storage.GetCount(), 0);
    storage.SetAllowLegacyFormat(true);
    Load(storage, bytes, kPassword);
    EXPECT_EQ(Describe(storage), (std::vector<std::string>{"first 2 7", "second 4 7400650078007400"}));
    EXPECT_EQ(storage.GetLoadedVersion(), version);
  }
}

// In CBC every block after the first deciphers with the content key and the
// block before it: whoever holds the content key reads the content.
ByteArray SecondContentBlock(const ByteArray& File, const std::uint8_t* ContentKey) {
  TAESExpandedKey256 key;
  AESInitialize(ContentKey, key, true);
  const std::size_t content = 4 + 128;
  ByteArray block(File.begin() + content + 16, File.begin() + content + 32);
  AESDecrypt(block.data(), key, block.data());
  for (std::size_t i = 0; i < 16; ++i) block[i] ^= File[content + i];
  return block;
}

TEST(StorageFile, TheStoredHeaderRevealsContentOnlyInTheLegacyForm) {
  TKLStorage storage;
  storage.PutString(u"secret", u"the content an attacker wants", false);
  const ByteArray plainContent = Save(storage, u"");
  const ByteArray known(plainContent.begin() + 4 + 16, plainContent.begin() + 4 + 32);
  const std::size_t keyField = 4 + 64;

  CryptoFile legacy;
  legacy.Version = KLStorageLegacyVersion;
  const ByteArray legacyFile = legacy.Build(ByteArray(plainContent.begin() + 4, plainContent.end()));
  EXPECT_EQ(SecondContentBlock(legacyFile, legacyFile.data() + keyField), known);

  storage.SetSaveVersion(KLStorageVersion2);
  const ByteArray current = Save(storage, kPassword);
  EXPECT_NE(SecondContentBlock(current, current.data() + keyField), known);
  // With the password the stored field deciphers to the content key.
  ByteArray salt(current.begin() + 4, current.begin() + 68);
  const ByteArray derived = Derive(kPassword, salt, 1000, 48);
  TAESExpandedKey256 passwordKey;
  AESInitialize(derived.data(), passwordKey, true);
  ByteArray contentKey(current.begin() + keyField, current.begin() + keyField + 32);
  AESDecrypt(contentKey.data(), passwordKey, contentKey.data());
  AESDecrypt(contentKey.data() + 16, passwordKey, contentKey.data() + 16);
  EXPECT_EQ(SecondContentBlock(current, contentKey.data()), known);
}

TEST(StorageFile, LoadingTwiceBringsDuplicatesAndLookupsFindTheFirst) {
  TKLStorage source;
  source.PutInt(u"g/a", 1, false);
  source.PutInt(u"g/b", 2, false);
  const ByteArray bytes = Save(source, u"");
  TKLStorage storage;
  Load(storage, bytes, u"");
  static_cast<TKLIntValue*>(storage.Get(u"g/a"))->SetValue(10);
  Load(storage, bytes, u"");
  ASSERT_EQ(storage.GetCount(), 4);
  std::int32_t index = -1, value = 0;
  EXPECT_EQ(storage.Get(u"g/b", index), storage.GetValue(1));
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(storage.GetInt(u"g/a", value, 0));
  EXPECT_EQ(value, 10);
  // Put replaces the first; removing it uncovers the second copy.
  EXPECT_EQ(storage.PutInt(u"g/a", 11, true), 0);
  EXPECT_EQ(storage.Remove(u"g/a", false), 1);
  EXPECT_TRUE(storage.GetInt(u"g/a", value, 0));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(storage.Get(u"g/a", index), storage.GetValue(1));
  EXPECT_EQ(index, 1);
  TStringList list;
  storage.GetSubKeys(u"g", list, false);
  EXPECT_EQ(list.GetText(), u"g/b\ng/a\ng/b\n");
  EXPECT_EQ(storage.Remove(u"g", true), 3);
}

TEST(StorageFile, APlainLoadLeavesTheStreamJustAfterTheStorage) {
  TKLStorage first, second;
  first.PutString(u"k", u"one", false);
  second.PutLong(u"k", 2, false);
  TMemoryStream stream;
  first.SaveToStream(stream, u"");
  const std::int64_t end = stream.GetPosition();
  second.SaveToStream(stream, u"");
  stream.SetPosition(0);
  TKLStorage loaded;
  loaded.LoadFromStream(stream, u"");
  EXPECT_EQ(stream.GetPosition(), end);
  loaded.LoadFromStream(stream, u"");
  EXPECT_EQ(Describe(loaded), (std::vector<std::string>{"k 4 6F006E006500", "k 3 2"}));
}

void FillTwo(TKLStorage& Storage) {
  Storage.PutBlob(u"blob", {1}, false);
  Storage.PutString(u"text", u"t", false);
}

TEST(StorageFile, ASaveThatCannotBeReadBackWritesNothing) {
  test::TempDir dir;
  const String file = dir.FileU("store.bin");
  {
    TKLStorage good;
    good.SetKdfParameters(kFastKdf);
    FillTwo(good);
    good.SaveToFile(file, kPassword);
  }
  const std::string before = test::ReadFileBytes(dir.File("store.bin"));

  // Values changed through their objects after they were put.
  const std::vector<std::function<void(TKLStorage&)>> spoilers = {
      [](TKLStorage& s) { static_cast<TKLBlobValue*>(s.Get(u"blob"))->SetValue(ByteArray(65536)); },
      [](TKLStorage& s) { static_cast<TKLStringValue*>(s.Get(u"text"))->SetValue(String(32768, u'\u00E9')); },
      [](TKLStorage& s) { s.Get(u"text")->SetKey(String(65536, u'k')); },
  };
  for (const auto& spoil : spoilers) {
    TKLStorage storage;
    FillTwo(storage);
    spoil(storage);
    TMemoryStream stream;
    try {
      storage.SaveToStream(stream, kPassword);
      ADD_FAILURE() << "saved";
    } catch (const EKLStorageException& e) {
      EXPECT_EQ(e.GetMessage(), SStorageValueTooLong);
    }
    EXPECT_EQ(stream.GetSize(), 0);
    EXPECT_THROW(storage.SaveToFile(file, kPassword), EKLStorageException);
    EXPECT_EQ(test::ReadFileBytes(dir.File("store.bin")), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
  }
}

TEST(StorageFile, LoadingAMissingFileRaisesTheOpenError) {
  test::TempDir dir;
  TKLStorage storage;
  EXPECT_THROW(storage.LoadFromFile(dir.FileU("missing.bin"), u""), EFOpenError);
}

} // namespace
} // namespace kl
