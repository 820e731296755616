#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "crypto/KLAES.h"
#include "crypto/KLHKDF.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"
#include "storage/StorageFormat.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::ToHex;

const String kPassword = u"correct horse";
using test::kFastKdf;

using test::Save;

// The message of what a load raises, "" when it succeeds.
std::string LoadError(TKLStorage& Storage, const ByteArray& Bytes, const String& Password = kPassword) {
  try {
    TMemoryStream stream(Bytes);
    Storage.LoadFromStream(stream, Password);
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

ByteArray Slice(const ByteArray& Bytes, std::size_t From, std::size_t Size) {
  return ByteArray(Bytes.begin() + static_cast<std::ptrdiff_t>(From),
                   Bytes.begin() + static_cast<std::ptrdiff_t>(From + Size));
}

void Append(ByteArray& To, const ByteArray& Bytes) { To.insert(To.end(), Bytes.begin(), Bytes.end()); }

// A format-3 file made by hand: Header (whose bytes 60 to 75 are the IV), then
// Plain (already padded) enciphered in CBC under Schedule, then the tag under
// MACKey over everything before it.
ByteArray EncipherAndTag(const ByteArray& Header, const ByteArray& Plain, const TAESExpandedKey256& Schedule,
                         const ByteArray& MACKey) {
  ByteArray chain = Slice(Header, 60, 16), out = Header;
  for (std::size_t at = 0; at < Plain.size(); at += 16) {
    for (std::size_t i = 0; i < 16; ++i) chain[i] ^= Plain[at + i];
    AESEncrypt(chain.data(), Schedule, chain.data());
    Append(out, chain);
  }
  Append(out, DigestToBytes(MAC256Calculate(out, MACKey)));
  return out;
}

// A small version-3 file and a storage that loaded it (and so keeps its key,
// which lets a test load many variants without deriving each time).
struct SmallFile {
  TKLStorage Loaded;
  ByteArray Bytes;
  SmallFile() {
    TKLStorage source;
    source.SetKdfParameters(kFastKdf);
    source.PutString(u"site/pwd", u"secret", false);
    Bytes = Save(source, kPassword);
    EXPECT_EQ(LoadError(Loaded, Bytes), "");
  }
};

// Every byte changed: refused with an error that depends only on the field
// hit, and the storage holds what it held.
TEST(StorageFormat3, EveryChangedByteIsRefusedAndChangesNothing) {
  SmallFile file;
  ASSERT_EQ(ToHex(Slice(file.Bytes, 0, 4)), "01DB0301");
  const std::string wrong = SStorageWrongPassword, damaged = SStorageDamaged, bounds = SStorageKdfOutOfBounds;
  struct Field {
    std::size_t End;
    std::set<std::string> Errors;
  };
  const std::vector<Field> fields = {
      {2, {SWrongStorageTag}},
      {3, {SStorageLegacyFormat}}, // version 2 without permission
      {4, {SStorageNotEncrypted}},
      {12, {wrong, bounds}},          // Argon2id parameters
      {60, {wrong}},                  // salt and key nonce
      {76, {damaged}},                // IV
      {108, {wrong}},                 // check value
      {file.Bytes.size(), {damaged}}, // ciphertext and tag
  };
  std::size_t field = 0;
  for (std::size_t at = 0; at < file.Bytes.size(); ++at) {
    if (at == fields[field].End) ++field;
    ByteArray changed = file.Bytes;
    // In the upper bytes of the passes a low bit would ask for 257 passes:
    // valid, only slow; the high bit asks for too many.
    changed[at] ^= at >= 9 && at < 12 ? 0x80 : 0x01;
    const std::string error = LoadError(file.Loaded, changed);
    EXPECT_EQ(fields[field].Errors.count(error), 1u) << "byte " << at << ": " << error;
    EXPECT_EQ(file.Loaded.GetCount(), 1);
  }
}

TEST(StorageFormat3, EveryTruncationAndAnyAppendedByteIsRefused) {
  SmallFile file;
  for (std::size_t size = 0; size < file.Bytes.size(); ++size) {
    EXPECT_NE(LoadError(file.Loaded, Slice(file.Bytes, 0, size)), "") << size;
    EXPECT_EQ(file.Loaded.GetCount(), 1);
  }
  for (const std::size_t extra : {1, 16, 32}) {
    ByteArray longer = file.Bytes;
    longer.insert(longer.end(), extra, 0);
    EXPECT_EQ(LoadError(file.Loaded, longer), SStorageDamaged) << extra;
  }
  EXPECT_EQ(file.Loaded.GetCount(), 1);
}

// The header is read, and its bounds checked, before anything is derived or
// allocated: a file asking for terabytes fails at once.
TEST(StorageFormat3, HostileDerivationParametersAreRefusedBeforeDeriving) {
  SmallFile file;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> hostile = {{0xFFFFFFFF, 1},
                                                                        {KLStorageMaxKdfMemoryKiB + 1, 1},
                                                                        {0, 1},
                                                                        {KLStorageMinKdfMemoryKiB - 1, 1},
                                                                        {KLStorageMinKdfMemoryKiB, 0},
                                                                        {KLStorageMinKdfMemoryKiB, 0xFFFFFFFF},
                                                                        {KLStorageMaxKdfMemoryKiB, 9},
                                                                        {KLStorageMinKdfMemoryKiB + 1, 1024},
                                                                        {KLStorageMinKdfMemoryKiB, 1025}};
  for (const auto& [memory, passes] : hostile) {
    ByteArray bytes = file.Bytes;
    for (int i = 0; i < 4; ++i) {
      bytes[4 + i] = static_cast<std::uint8_t>(memory >> (8 * i));
      bytes[8 + i] = static_cast<std::uint8_t>(passes >> (8 * i));
    }
    EXPECT_EQ(LoadError(file.Loaded, bytes), SStorageKdfOutOfBounds) << memory << " " << passes;
    TKLStorage storage;
    EXPECT_THROW(storage.SetKdfParameters({memory, passes}), EKLStorageException);
  }
}

// The bounds themselves are allowed: the largest memory with as many passes
// as the work bound leaves, the most passes at the least memory.
TEST(StorageFormat3, TheEdgesOfTheDerivationBoundsAreAccepted) {
  const std::vector<TKLKdfParameters> edges = {{KLStorageMinKdfMemoryKiB, KLStorageMinKdfPasses},
                                               {KLStorageMaxKdfMemoryKiB, 8},
                                               {KLStorageMinKdfMemoryKiB, KLStorageMaxKdfPasses},
                                               {KLStorageMaxKdfMemoryKiB / 2, 16}};
  for (const TKLKdfParameters& edge : edges) {
    TKLStorage storage;
    EXPECT_NO_THROW(storage.SetKdfParameters(edge)) << edge.MemoryKiB << " " << edge.Passes;
  }
}

// A forger who has a genuine file and wants his own content accepted: he
// keeps the header (whose check value passes) and must produce a tag. Every
// key he can know of (the check value, the bytes of the header) fails.
TEST(StorageFormat3, ContentForgedUnderAGenuineHeaderIsRefused) {
  SmallFile file;
  TKLStorage forged;
  forged.PutString(u"site/pwd", u"forger's", false);
  ByteArray content = Save(forged, u"");
  content.erase(content.begin(), content.begin() + 4);
  const ByteArray header = Slice(file.Bytes, 0, 108);
  for (const ByteArray& guess : {Slice(header, 76, 32), Slice(header, 28, 32), ByteArray(32, 0)}) {
    TAESExpandedKey256 key;
    AESInitialize(guess.data(), key, false);
    ByteArray plain = content;
    plain.insert(plain.end(), 16 - plain.size() % 16, static_cast<std::uint8_t>(16 - plain.size() % 16));
    EXPECT_EQ(LoadError(file.Loaded, EncipherAndTag(header, plain, key, guess)), SStorageDamaged);
  }
  // Nor does a genuine body under another genuine header of the same password.
  TKLStorage other;
  other.SetKdfParameters(kFastKdf);
  const ByteArray second = Save(other, kPassword);
  ByteArray spliced = Slice(second, 0, 108);
  Append(spliced, Slice(file.Bytes, 108, file.Bytes.size() - 108));
  EXPECT_EQ(LoadError(file.Loaded, spliced), SStorageDamaged);
  EXPECT_EQ(file.Loaded.GetCount(), 1);
}

// Content enciphered and tagged by the password's holder, as a writer with
// a slip in its padding would: every padding byte must be checked, even in
// content whose tag is genuine.
TEST(StorageFormat3, AuthenticContentWithAnyWrongPaddingByteIsRefused) {
  SmallFile file;
  const ByteArray header = Slice(file.Bytes, 0, 108);
  const detail::TStorageKey key(StrToUTF8(kPassword), kFastKdf, header.data() + 12);
  std::uint8_t prk[32];
  HKDFExtract(header.data() + 28, 32, key.GetSecret(), 32, prk);
  ByteArray encryption(32), mac(32);
  HKDFExpand(prk, detail::Format3EncryptionLabel, sizeof(detail::Format3EncryptionLabel) - 1, encryption.data(), 32);
  HKDFExpand(prk, detail::Format3MACLabel, sizeof(detail::Format3MACLabel) - 1, mac.data(), 32);
  TAESExpandedKey256 schedule;
  AESInitialize(encryption.data(), schedule, false);
  const auto fileOf = [&](const ByteArray& Plain) { return EncipherAndTag(header, Plain, schedule, mac); };
  // Texts of 16 lengths give every padding length.
  for (std::size_t length = 0; length < 16; ++length) {
    TKLStorage source;
    source.PutString(u"k", String(length, u'x'), false);
    ByteArray plain = Save(source, u"");
    plain.erase(plain.begin(), plain.begin() + 4);
    const std::size_t padding = 16 - plain.size() % 16;
    plain.insert(plain.end(), padding, static_cast<std::uint8_t>(padding));
    ASSERT_EQ(LoadError(file.Loaded, fileOf(plain)), "") << length;
    for (std::size_t wrong = plain.size() - padding; wrong + 1 < plain.size(); ++wrong) {
      ByteArray bad = plain;
      bad[wrong] ^= 0x20;
      EXPECT_EQ(LoadError(file.Loaded, fileOf(bad)), SStorageDamaged) << length << " " << wrong;
    }
  }
}

// The forgery that version 2 allowed: the check block (a known plaintext under
// the password key) copied into the IV and both key slots gives a header
// whose content key and IV the forger knows.
TEST(StorageFormat3, TheVersion2ForgeryIsRefusedWithLegacyAllowed) {
  TKLStorage source;
  source.SetSaveVersion(KLStorageVersion2);
  source.PutString(u"k", u"genuine", false);
  const ByteArray genuine = Save(source, kPassword);
  TKLStorage check;
  check.SetAllowLegacyFormat(true);
  ASSERT_EQ(LoadError(check, genuine), "");

  const ByteArray checkBlock = Slice(genuine, 4 + 112, 16);
  ByteArray forged = Slice(genuine, 0, 4 + 64);
  for (int i = 0; i < 3; ++i) Append(forged, checkBlock); // both key halves and the IV
  Append(forged, checkBlock);
  // Content enciphered under the key and IV the forger now knows.
  const ByteArray known = Hex("5AC31E9724B86F0DE24973A618D53C81");
  TKLStorage evil;
  evil.PutString(u"k", u"forged", false);
  ByteArray plain = Save(evil, u"");
  plain.erase(plain.begin(), plain.begin() + 4);
  plain.insert(plain.end(), 16 - plain.size() % 16, static_cast<std::uint8_t>(16 - plain.size() % 16));
  TAESExpandedKey256 key;
  ByteArray doubled = known;
  Append(doubled, known);
  AESInitialize(doubled.data(), key, false);
  ByteArray chain = known;
  for (std::size_t at = 0; at < plain.size(); at += 16) {
    for (std::size_t i = 0; i < 16; ++i) chain[i] ^= plain[at + i];
    AESEncrypt(chain.data(), key, chain.data());
    Append(forged, chain);
  }
  TKLStorage victim;
  victim.SetAllowLegacyFormat(true);
  EXPECT_EQ(LoadError(victim, forged), SStorageDamaged);
  EXPECT_EQ(victim.GetCount(), 0);
  // Refused as legacy, without permission, before anything else.
  TKLStorage strict;
  EXPECT_THROW(
      {
        TMemoryStream stream(forged);
        strict.LoadFromStream(stream, kPassword);
      },
      EKLStorageLegacyFormat);
}

// The padding oracle: with legacy files allowed, every change of a ciphertext
// byte of a version-2 file gives one and the same error.
TEST(StorageFormat3, Version2ContentDamageAlwaysGivesTheSameError) {
  TKLStorage source;
  source.SetSaveVersion(KLStorageVersion2);
  source.PutString(u"k", u"value long enough for several blocks of ciphertext", false);
  const ByteArray file = Save(source, kPassword);
  TKLStorage storage;
  storage.SetAllowLegacyFormat(true);
  std::set<std::string> errors;
  for (std::size_t at = 4 + 128; at < file.size(); ++at) {
    for (const std::uint8_t delta : {std::uint8_t{0x01}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
      ByteArray changed = file;
      changed[at] ^= delta;
      errors.insert(LoadError(storage, changed));
    }
  }
  EXPECT_EQ(errors, std::set<std::string>{SStorageDamaged});
  EXPECT_EQ(storage.GetCount(), 0);
}

// A second save under the same password and parameters keeps salt and
// derived key but draws a new nonce and IV; another password, other
// parameters or a forgotten key derive anew.
TEST(StorageFormat3, SavesReuseTheDerivedKeyOnlyForTheSamePassword) {
  TKLStorage storage;
  storage.SetKdfParameters(kFastKdf);
  const ByteArray first = Save(storage, kPassword);
  const ByteArray second = Save(storage, kPassword);
  EXPECT_EQ(ToHex(Slice(first, 12, 16)), ToHex(Slice(second, 12, 16)));
  EXPECT_NE(ToHex(Slice(first, 28, 48)), ToHex(Slice(second, 28, 48)));
  const ByteArray other = Save(storage, u"another password");
  EXPECT_NE(ToHex(Slice(first, 12, 16)), ToHex(Slice(other, 12, 16)));
  storage.ForgetDerivedKey();
  EXPECT_NE(ToHex(Slice(other, 12, 16)), ToHex(Slice(Save(storage, u"another password"), 12, 16)));
  TKLStorage reader;
  for (const ByteArray& bytes : {first, second}) EXPECT_EQ(LoadError(reader, bytes), "");
  EXPECT_EQ(LoadError(reader, other), SStorageWrongPassword);
  EXPECT_EQ(reader.GetLoadedVersion(), KLStorageVersion3);
}

TEST(StorageFormat3, HeaderInfoIsReadableWithoutThePassword) {
  TKLStorage storage;
  storage.SetKdfParameters({KLStorageMinKdfMemoryKiB, 2});
  TMemoryStream encrypted(Save(storage, kPassword));
  const TKLStorageFileInfo info = TKLStorage::ReadFileInfo(encrypted);
  EXPECT_EQ(info.Version, 3);
  EXPECT_TRUE(info.Encrypted && info.Authenticated);
  EXPECT_EQ(info.Kdf, (TKLKdfParameters{KLStorageMinKdfMemoryKiB, 2}));
  TMemoryStream plain(Save(storage, u""));
  const TKLStorageFileInfo plainInfo = TKLStorage::ReadFileInfo(plain);
  EXPECT_EQ(plainInfo.Version, 1);
  EXPECT_FALSE(plainInfo.Encrypted || plainInfo.Authenticated);
  EXPECT_THROW(storage.SetSaveVersion(1), EKLStorageException);
}

TEST(StorageFormat3, APasswordWithALoneSurrogateIsRefused) {
  TKLStorage storage;
  storage.SetKdfParameters(kFastKdf);
  const String lone(1, static_cast<Char>(0xD800));
  TMemoryStream stream;
  EXPECT_THROW(storage.SaveToStream(stream, lone), EConvertError);
  EXPECT_EQ(stream.GetSize(), 0);
}

} // namespace
} // namespace kl
