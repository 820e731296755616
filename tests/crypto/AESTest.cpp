#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLAES.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using detail::TAESImplementation;
using test::Hex;
using test::ToHex;

std::string ImplName(const ::testing::TestParamInfo<const TAESImplementation*>& Info) { return Info.param->Name; }

class AESPath : public ::testing::TestWithParam<const TAESImplementation*> {
protected:
  const TAESImplementation& Impl() const { return *GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(All, AESPath, ::testing::ValuesIn(detail::AvailableAESImplementations()), ImplName);

TEST_P(AESPath, BlockVectorsEncryptAndDecryptInPlaceOrNot) {
  for (const auto& row : test::ReadVectorFile("aes256_block.txt")) {
    const ByteArray key = Hex(row[0]), plain = Hex(row[1]), cipher = Hex(row[2]);
    TAESExpandedKey256 enc, dec;
    Impl().Initialize(key.data(), enc, false);
    Impl().Initialize(key.data(), dec, true);
    TAESBlock out;
    Impl().Encrypt(plain.data(), enc, out.data());
    EXPECT_EQ(ToHex(out.data(), 16), row[2]);
    Impl().Decrypt(cipher.data(), dec, out.data());
    EXPECT_EQ(ToHex(out.data(), 16), row[1]);

    std::memcpy(out.data(), plain.data(), 16);
    Impl().Encrypt(out.data(), enc, out.data());
    EXPECT_EQ(ToHex(out.data(), 16), row[2]);
    Impl().Decrypt(out.data(), dec, out.data());
    EXPECT_EQ(ToHex(out.data(), 16), row[1]);
  }
}

// MixColumns of one schedule word (bytes in memory order), to undo the
// decryption schedule's InvMixColumns independently of the code under test.
std::uint32_t MixColumn(std::uint32_t w) {
  auto xtime = [](std::uint32_t b) { return ((b << 1) ^ ((b >> 7) * 0x1B)) & 0xFF; };
  std::uint32_t a[4], r[4];
  for (int i = 0; i < 4; ++i) a[i] = (w >> (8 * i)) & 0xFF;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t b1 = a[(i + 1) % 4];
    r[i] = xtime(a[i]) ^ xtime(b1) ^ b1 ^ a[(i + 2) % 4] ^ a[(i + 3) % 4];
  }
  return r[0] | r[1] << 8 | r[2] << 16 | r[3] << 24;
}

TEST_P(AESPath, KeyScheduleMatchesFips197AndInverseScheduleIsItsInvMixColumns) {
  const auto rows = test::ReadVectorFile("aes256_key_expansion.txt");
  ASSERT_EQ(rows.size(), 61u);
  const ByteArray key = Hex(rows[0][0]);
  TAESExpandedKey256 enc, dec;
  Impl().Initialize(key.data(), enc, false);
  Impl().Initialize(key.data(), dec, true);
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(ToHex(&enc[i], 4), ToHex(Hex(rows[i + 1][0]))) << "word " << i;
    const bool plainRoundKey = i < 4 || i >= 56;
    EXPECT_EQ(plainRoundKey ? dec[i] : MixColumn(dec[i]), enc[i]) << "word " << i;
  }
  for (int i = 60; i < 64; ++i) EXPECT_EQ(enc[i], 0u);
}

TEST_P(AESPath, KeyOfTheWrongDirectionGivesAWrongBlockWithoutError) {
  const ByteArray key = Hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  const ByteArray plain = Hex("00112233445566778899AABBCCDDEEFF");
  TAESExpandedKey256 enc;
  Impl().Initialize(key.data(), enc, false);
  TAESBlock cipher, back;
  Impl().Encrypt(plain.data(), enc, cipher.data());
  Impl().Decrypt(cipher.data(), enc, back.data());
  EXPECT_NE(ToHex(back.data(), 16), ToHex(plain));
}

ByteArray RandomBytes(std::mt19937& Rng, std::size_t N) {
  ByteArray out(N);
  for (auto& b : out) b = static_cast<std::uint8_t>(Rng());
  return out;
}

// Multi-block encryption against single blocks on the portable path, for block
// counts around the hardware path's grouping, in place and not.
TEST_P(AESPath, EncryptBlocksAgreesWithSinglePortableBlocks) {
  std::mt19937 rng(11);
  const TAESImplementation& ref = detail::PortableAES();
  for (std::size_t blocks = 0; blocks <= 19; ++blocks) {
    const ByteArray key = RandomBytes(rng, 32), plain = RandomBytes(rng, 16 * blocks);
    TAESExpandedKey256 enc;
    ref.Initialize(key.data(), enc, false);
    ByteArray expected(plain.size());
    for (std::size_t b = 0; b < blocks; ++b) ref.Encrypt(&plain[16 * b], enc, &expected[16 * b]);

    TAESExpandedKey256 implEnc;
    Impl().Initialize(key.data(), implEnc, false);
    ByteArray out(plain.size());
    Impl().EncryptBlocks(implEnc, plain.data(), out.data(), blocks);
    EXPECT_EQ(out, expected) << blocks << " blocks";
    ByteArray inPlace = plain;
    Impl().EncryptBlocks(implEnc, inPlace.data(), inPlace.data(), blocks);
    EXPECT_EQ(inPlace, expected) << blocks << " blocks";
  }
}

// The CBC entry points against single-block encryption on the portable path, for
// block counts around every grouping the hardware path uses, in place and not.
TEST_P(AESPath, CBCAgreesWithChainedPortableBlocks) {
  std::mt19937 rng(7);
  const TAESImplementation& ref = detail::PortableAES();
  for (std::size_t blocks = 0; blocks <= 35; ++blocks) {
    const ByteArray key = RandomBytes(rng, 32), iv = RandomBytes(rng, 16), plain = RandomBytes(rng, 16 * blocks);
    TAESExpandedKey256 enc, dec;
    ref.Initialize(key.data(), enc, false);
    ref.Initialize(key.data(), dec, true);
    ByteArray expected(plain.size());
    TAESBlock v;
    std::memcpy(v.data(), iv.data(), 16);
    for (std::size_t b = 0; b < blocks; ++b) {
      for (int i = 0; i < 16; ++i) v[i] ^= plain[16 * b + i];
      ref.Encrypt(v.data(), enc, v.data());
      std::memcpy(&expected[16 * b], v.data(), 16);
    }

    TAESExpandedKey256 implEnc, implDec;
    Impl().Initialize(key.data(), implEnc, false);
    Impl().Initialize(key.data(), implDec, true);
    ByteArray cipher(plain.size()), vector = iv;
    Impl().EncryptCBC(implEnc, vector.data(), plain.data(), cipher.data(), blocks);
    EXPECT_EQ(cipher, expected) << blocks << " blocks";
    EXPECT_EQ(ToHex(vector), blocks ? ToHex(&expected[16 * (blocks - 1)], 16) : ToHex(iv));

    ByteArray inPlace = plain;
    vector = iv;
    Impl().EncryptCBC(implEnc, vector.data(), inPlace.data(), inPlace.data(), blocks);
    EXPECT_EQ(inPlace, expected);

    ByteArray back(plain.size());
    vector = iv;
    Impl().DecryptCBC(implDec, vector.data(), cipher.data(), back.data(), blocks);
    EXPECT_EQ(back, plain) << blocks << " blocks";
    vector = iv;
    Impl().DecryptCBC(implDec, vector.data(), inPlace.data(), inPlace.data(), blocks);
    EXPECT_EQ(inPlace, plain);
  }
}

TEST_P(AESPath, CBCWithPaddingMatchesVectors) {
  for (const auto& row : test::ReadVectorFile("aes256_cbc_pkcs7.txt")) {
    const ByteArray key = Hex(row[0]), iv = Hex(row[1]);
    ByteArray data = Hex(row[2]);
    const auto pad = static_cast<std::uint8_t>(16 - data.size() % 16);
    data.insert(data.end(), pad, pad);
    TAESExpandedKey256 enc;
    Impl().Initialize(key.data(), enc, false);
    ByteArray vector = iv;
    Impl().EncryptCBC(enc, vector.data(), data.data(), data.data(), data.size() / 16);
    EXPECT_EQ(ToHex(data), row[3]);
  }
}

TEST(AESImplementations, AllPathsAgreeOnRandomKeysAndBlocks) {
  const auto impls = detail::AvailableAESImplementations();
  if (impls.size() < 2) GTEST_SKIP() << "only the portable path runs on this processor";
  std::mt19937 rng(11);
  for (int n = 0; n < 2000; ++n) {
    const ByteArray key = RandomBytes(rng, 32), block = RandomBytes(rng, 16);
    TAESExpandedKey256 refEnc, refDec;
    impls[0]->Initialize(key.data(), refEnc, false);
    impls[0]->Initialize(key.data(), refDec, true);
    TAESBlock refOut, refBack;
    impls[0]->Encrypt(block.data(), refEnc, refOut.data());
    impls[0]->Decrypt(block.data(), refDec, refBack.data());
    for (std::size_t i = 1; i < impls.size(); ++i) {
      TAESExpandedKey256 enc, dec;
      impls[i]->Initialize(key.data(), enc, false);
      impls[i]->Initialize(key.data(), dec, true);
      ASSERT_EQ(enc, refEnc) << impls[i]->Name;
      ASSERT_EQ(dec, refDec) << impls[i]->Name;
      TAESBlock out, back;
      impls[i]->Encrypt(block.data(), enc, out.data());
      impls[i]->Decrypt(block.data(), dec, back.data());
      ASSERT_EQ(out, refOut) << impls[i]->Name;
      ASSERT_EQ(back, refBack) << impls[i]->Name;
    }
  }
}

TEST(AESPublicFunctions, RoundTripThroughTheChosenPath) {
  const ByteArray key = Hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  TAESExpandedKey256 enc, dec;
  AESInitialize(key.data(), enc, false);
  AESInitialize(key.data(), dec, true);
  TAESBlock block;
  std::memcpy(block.data(), Hex("00112233445566778899AABBCCDDEEFF").data(), 16);
  AESEncrypt(block.data(), enc, block.data());
  EXPECT_EQ(ToHex(block.data(), 16), "8EA2B7CA516745BFEAFC49904B496089");
  AESDecrypt(block.data(), dec, block.data());
  EXPECT_EQ(ToHex(block.data(), 16), "00112233445566778899AABBCCDDEEFF");
}

} // namespace
} // namespace kl
