#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crypto/KLAES.h"
#include "crypto/TestJson.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::ToHex;

const ByteArray kKey = Hex("603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4");
const ByteArray kIV = Hex("000102030405060708090A0B0C0D0E0F");

ByteArray Pattern(std::size_t N) {
  ByteArray out(N);
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return out;
}

ByteArray Encrypt(const ByteArray& Plain, std::size_t WriteSize, const ByteArray& Key = kKey,
                  const ByteArray& IV = kIV) {
  TMemoryStream sink;
  {
    TKLAESEncryptionStream enc(Key.data(), IV.data(), &sink);
    for (std::size_t done = 0; done < Plain.size(); done += WriteSize) {
      const auto n = static_cast<std::int32_t>(std::min(WriteSize, Plain.size() - done));
      EXPECT_EQ(enc.Write(Plain.data() + done, n), n);
    }
    enc.Finish();
  }
  return sink.ToBytes();
}

// Reads until a call returns fewer bytes than asked, then checks that later
// calls return nothing.
ByteArray Decrypt(const ByteArray& Cipher, std::int32_t ReadSize, const ByteArray& Key = kKey,
                  const ByteArray& IV = kIV) {
  TMemoryStream source(Cipher);
  TKLAESDecryptionStream dec(Key.data(), IV.data(), &source);
  ByteArray out, chunk(static_cast<std::size_t>(ReadSize));
  for (;;) {
    const std::int32_t n = dec.Read(chunk.data(), ReadSize);
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    if (n < ReadSize) break;
  }
  EXPECT_EQ(dec.Read(chunk.data(), ReadSize), 0);
  return out;
}

TEST(AESStreams, VectorsEncryptAndDecrypt) {
  for (const auto& row : test::ReadVectorFile("aes256_cbc_pkcs7.txt")) {
    const ByteArray key = Hex(row[0]), iv = Hex(row[1]), plain = Hex(row[2]), cipher = Hex(row[3]);
    EXPECT_EQ(ToHex(Encrypt(plain, plain.size() + 1, key, iv)), row[3]);
    EXPECT_EQ(ToHex(Encrypt(plain, 1, key, iv)), row[3]);
    EXPECT_EQ(Decrypt(cipher, 1000, key, iv), plain);
  }
}

TEST(AESStreams, CiphertextIsAlwaysWholeBlocksWithAtLeastOneByteOfPadding) {
  EXPECT_EQ(Encrypt({}, 1).size(), 16u);
  EXPECT_EQ(Encrypt(Pattern(15), 15).size(), 16u);
  EXPECT_EQ(Encrypt(Pattern(16), 16).size(), 32u);
  EXPECT_EQ(Encrypt(Pattern(17), 17).size(), 32u);
  // An empty plaintext is one block: the encryption of IV XOR sixteen 0x10 bytes.
  TAESExpandedKey256 key;
  AESInitialize(kKey.data(), key, false);
  TAESBlock block;
  for (int i = 0; i < 16; ++i) block[i] = kIV[i] ^ 0x10;
  AESEncrypt(block.data(), key, block.data());
  EXPECT_EQ(ToHex(Encrypt({}, 1)), ToHex(block.data(), 16));
}

TEST(AESStreams, RoundTripsForEveryLengthAndWriteAndReadSize) {
  const ByteArray all = Pattern(1000);
  for (std::size_t len = 0; len <= 1000; ++len) {
    const ByteArray plain(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(len));
    const ByteArray reference = Encrypt(plain, 1000);
    for (std::size_t w : {1, 7, 16}) ASSERT_EQ(Encrypt(plain, w), reference) << len << " bytes, writes of " << w;
    for (std::int32_t r : {1, 7, 16, 1000}) ASSERT_EQ(Decrypt(reference, r), plain) << len << " bytes, reads of " << r;
  }
}

// Lengths around the read-ahead chunk, where the last block lands at or just
// after a chunk's end.
TEST(AESStreams, RoundTripsAcrossReadAheadBoundaries) {
  constexpr std::size_t chunk = TKLAESDecryptionStream::ReadAheadSize;
  for (std::size_t len : {chunk - 17, chunk - 16, chunk - 1, chunk, chunk + 15, chunk + 16, 2 * chunk - 16, std::size_t{20000}}) {
    const ByteArray plain = Pattern(len);
    const ByteArray cipher = Encrypt(plain, 1000);
    for (std::int32_t r : {3, 16, 4096, 50000}) EXPECT_EQ(Decrypt(cipher, r), plain) << len << " bytes, reads of " << r;
  }
}

TEST(AESStreams, ZeroLengthWritesAndReadsChangeNothing) {
  const ByteArray plain = Pattern(40);
  TMemoryStream sink;
  {
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
    EXPECT_EQ(enc.Write(nullptr, 0), 0);
    enc.Write(plain.data(), 20);
    EXPECT_EQ(enc.Write(nullptr, 0), 0);
    enc.Write(plain.data() + 20, 20);
  }
  EXPECT_EQ(sink.ToBytes(), Encrypt(plain, 40));
}

// Builds ciphertext whose deciphered last block is exactly LastBlock, behind one
// block of ordinary data.
ByteArray CipherWithLastBlock(const std::string& LastBlockHex) {
  ByteArray plain = Pattern(16);
  const ByteArray last = Hex(LastBlockHex);
  plain.insert(plain.end(), last.begin(), last.end());
  TAESExpandedKey256 key;
  AESInitialize(kKey.data(), key, false);
  ByteArray out(plain.size());
  TAESBlock v;
  std::memcpy(v.data(), kIV.data(), 16);
  for (std::size_t b = 0; b < plain.size(); b += 16) {
    for (int i = 0; i < 16; ++i) v[i] ^= plain[b + i];
    AESEncrypt(v.data(), key, v.data());
    std::memcpy(&out[b], v.data(), 16);
  }
  return out;
}

TEST(AESStreams, BadPaddingRaisesAESErrorOnlyWhenTheLastBlockIsReached) {
  for (const char* last : {"000102030405060708090A0B0C0D0E00", // pad byte 0
                           "11111111111111111111111111111111", // 0x11 > 16
                           "000102030405060708090A0B0C030203", // last three not all 3
                           "01101010101010101010101010101010", // 16 claimed, first byte differs
                           "000102030405060708090A0B0C0D0EFF"}) {
    const std::string hex = last;
    TMemoryStream source(CipherWithLastBlock(hex));
    TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
    ByteArray out(16);
    ASSERT_EQ(dec.Read(out.data(), 16), 16) << hex; // the first block is delivered
    EXPECT_EQ(out, Pattern(16));
    try {
      dec.Read(out.data(), 16);
      ADD_FAILURE() << "no error for " << hex;
    } catch (const EKLException&) {
      ADD_FAILURE() << "padding error is an EKLException";
    } catch (const EKLAESError& e) {
      EXPECT_STREQ(e.what(), "Wrong PKCS#5 padding");
    }
    EXPECT_EQ(dec.Read(out.data(), 16), 0) << "the bad block stays consumed";
  }
}

// Every byte of the padding counts: for each length, one wrong byte at any
// place among the padding bytes is refused.
TEST(AESStreams, AnyOneWrongPaddingByteIsRefused) {
  for (int k = 2; k <= 16; ++k) {
    for (int wrong = 16 - k; wrong < 15; ++wrong) {
      ByteArray last(16, 0xAB);
      std::fill(last.begin() + (16 - k), last.end(), static_cast<std::uint8_t>(k));
      last[static_cast<std::size_t>(wrong)] ^= 0x40;
      TMemoryStream source(CipherWithLastBlock(ToHex(last)));
      TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
      ByteArray out(16);
      EXPECT_THROW(
          while (dec.Read(out.data(), 16) != 0) {}, EKLAESError)
          << k << " " << wrong;
    }
  }
}

TEST(AESStreams, GoodPaddingOfEveryLengthIsStripped) {
  for (int k = 1; k <= 16; ++k) {
    std::string last;
    for (int i = 0; i < 16; ++i) last += i < 16 - k ? "AB" : ToHex(ByteArray{static_cast<std::uint8_t>(k)});
    ByteArray expected = Pattern(16);
    expected.insert(expected.end(), static_cast<std::size_t>(16 - k), 0xAB);
    EXPECT_EQ(Decrypt(CipherWithLastBlock(last), 7), expected) << k;
  }
}

TEST(AESStreams, TruncatedCiphertextDeliversWholeBlocksUncheckedAndDropsTheFragment) {
  const ByteArray plain = Pattern(40);
  ByteArray cipher = Encrypt(plain, 40); // 48 bytes
  cipher.resize(43);                     // the last block loses 5 bytes
  EXPECT_EQ(Decrypt(cipher, 7), Pattern(32));
  cipher.resize(23);
  EXPECT_EQ(Decrypt(cipher, 1000), Pattern(16));
  cipher.resize(9);
  EXPECT_TRUE(Decrypt(cipher, 1).empty());
  EXPECT_TRUE(Decrypt({}, 16).empty());
}

TEST(AESStreams, UnsupportedOperationsRaiseNotImplemented) {
  TMemoryStream sink, source(Encrypt(Pattern(5), 5));
  TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
  TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
  std::uint8_t buf[4] = {};
  auto expectNotImplemented = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Not implemented");
    }
  };
  expectNotImplemented([&] { enc.Read(buf, 4); });
  expectNotImplemented([&] { dec.Write(buf, 4); });
  for (TStream* s : std::initializer_list<TStream*>{&enc, &dec}) {
    expectNotImplemented([&] { s->Seek(0, soBeginning); });
    expectNotImplemented([&] { s->GetSize(); });
    expectNotImplemented([&] { s->GetPosition(); });
  }
}

TEST(AESStreams, NegativeCountsRaiseRangeErrorAndChangeNothing) {
  const ByteArray plain = Pattern(21);
  TMemoryStream sink;
  {
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
    enc.Write(plain.data(), 10);
    EXPECT_THROW(enc.Write(plain.data(), -1), ERangeError);
    enc.Write(plain.data() + 10, 11);
  }
  EXPECT_EQ(sink.ToBytes(), Encrypt(plain, 21));

  TMemoryStream source(sink.ToBytes());
  TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
  ByteArray out(21);
  ASSERT_EQ(dec.Read(out.data(), 5), 5);
  EXPECT_THROW(dec.Read(out.data(), -1), ERangeError);
  ASSERT_EQ(dec.Read(out.data() + 5, 100), 16);
  EXPECT_EQ(out, plain);
}

// Records whether it was destroyed.
class TrackedStream : public TMemoryStream {
public:
  explicit TrackedStream(bool& Destroyed) : FDestroyed(Destroyed) {}
  ~TrackedStream() override { FDestroyed = true; }

private:
  bool& FDestroyed;
};

TEST(AESStreams, OwnStreamDecidesWhetherTheUnderlyingStreamIsDestroyed) {
  for (bool own : {false, true}) {
    bool encDestroyed = false, decDestroyed = false;
    auto* encTarget = new TrackedStream(encDestroyed);
    auto* decSource = new TrackedStream(decDestroyed);
    {
      TKLAESEncryptionStream enc(kKey.data(), kIV.data(), encTarget);
      TKLAESDecryptionStream dec(kKey.data(), kIV.data(), decSource);
      EXPECT_FALSE(enc.GetOwnStream());
      enc.SetOwnStream(own);
      dec.SetOwnStream(own);
      EXPECT_EQ(dec.GetOwnStream(), own);
    }
    EXPECT_EQ(encDestroyed, own);
    EXPECT_EQ(decDestroyed, own);
    if (!own) {
      delete encTarget;
      delete decSource;
    }
  }
}

// Accepts at most Capacity bytes in all, then writes short.
class ShortStream : public TMemoryStream {
public:
  explicit ShortStream(std::int32_t Capacity) : FLeft(Capacity) {}
  std::int32_t Write(const void* Buffer, std::int32_t Count) override {
    const std::int32_t n = std::min(Count, FLeft);
    FLeft -= n;
    return TMemoryStream::Write(Buffer, n);
  }

private:
  std::int32_t FLeft;
};

TEST(AESStreams, ShortWriteOfTheUnderlyingStreamIsAWriteError) {
  const ByteArray plain = Pattern(100);
  ShortStream sink(40);
  TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
  EXPECT_EQ(enc.Write(plain.data(), 20), 20); // one block written, 4 bytes kept
  try {
    enc.Write(plain.data(), 80);
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
}

TEST(AESStreams, FinishReportsAShortWriteAndRunsOnce) {
  ShortStream sink(20);
  auto enc = std::make_unique<TKLAESEncryptionStream>(kKey.data(), kIV.data(), &sink);
  enc->Write(Pattern(16).data(), 16); // the first block fits
  EXPECT_THROW(enc->Finish(), EWriteError);
  EXPECT_NO_THROW(enc->Finish());
  EXPECT_THROW(enc->Write(Pattern(1).data(), 1), EWriteError);
  EXPECT_NO_THROW(enc.reset());
  EXPECT_EQ(sink.GetSize(), 20);
}

TEST(AESStreams, DestructorFinishesAndSwallowsAFailure) {
  TMemoryStream sink;
  {
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
    enc.Write(Pattern(5).data(), 5);
  }
  EXPECT_EQ(sink.ToBytes(), Encrypt(Pattern(5), 5));

  ShortStream full(0);
  EXPECT_NO_THROW({
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &full);
    enc.Write(Pattern(5).data(), 5);
  });
}

TEST(AESStreams, WycheproofCBCWithPadding) {
  const test::JsonValue doc = test::ReadJsonFile("wycheproof/aes_cbc_pkcs5_test.json");
  int checked = 0;
  for (const auto& group : doc["testGroups"].Items) {
    if (group["keySize"].Int() != 256) continue;
    for (const auto& t : group["tests"].Items) {
      const ByteArray key = Hex(t["key"].String), iv = Hex(t["iv"].String);
      const ByteArray msg = Hex(t["msg"].String), ct = Hex(t["ct"].String);
      const std::string id = "tcId " + std::to_string(t["tcId"].Int());
      if (t["result"].String == "valid") {
        EXPECT_EQ(Encrypt(msg, 7, key, iv), ct) << id;
        EXPECT_EQ(Decrypt(ct, 7, key, iv), msg) << id;
      } else if (ct.empty()) {
        // An empty underlying stream is the end of the data, not an error: nothing is delivered.
        EXPECT_TRUE(Decrypt(ct, 16, key, iv).empty()) << id;
      } else {
        EXPECT_THROW(Decrypt(ct, 16, key, iv), EKLAESError) << id;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 60);
}

} // namespace
} // namespace kl
