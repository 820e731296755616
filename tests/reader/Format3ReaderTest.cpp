// Reads a storage file of format 3 with libsodium and OpenSSL's libcrypto
// alone, following the byte layout and key schedule in docs/formats/storage.md: nothing of
// the library is used but TKLStorage to write the file under test.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t U32(const Bytes& B, std::size_t At) {
  return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | static_cast<std::uint32_t>(B[At + 3]) << 24;
}

Bytes Hkdf(const Bytes& Secret, const Bytes& Salt, const std::string& Label) {
  Bytes out(32);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  std::size_t size = out.size();
  const bool ok = ctx != nullptr && EVP_PKEY_derive_init(ctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) > 0 &&
                  EVP_PKEY_CTX_set1_hkdf_salt(ctx, Salt.data(), static_cast<int>(Salt.size())) > 0 &&
                  EVP_PKEY_CTX_set1_hkdf_key(ctx, Secret.data(), static_cast<int>(Secret.size())) > 0 &&
                  EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(Label.data()),
                                              static_cast<int>(Label.size())) > 0 &&
                  EVP_PKEY_derive(ctx, out.data(), &size) > 0;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) throw std::runtime_error("HKDF failed");
  return out;
}

struct Record {
  std::string Key;
  int Type;
  Bytes Data;
};

// The content records up to the closing one, whose SHA-256 must match.
std::vector<Record> ParseContent(const Bytes& Plain) {
  std::vector<Record> records;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    if (at + n > Plain.size()) throw std::runtime_error("cut short");
    Bytes b(Plain.begin() + at, Plain.begin() + at + n);
    at += n;
    return b;
  };
  for (;;) {
    const std::size_t start = at;
    const Bytes length = take(2);
    const Bytes key = take(length[0] | length[1] << 8);
    const int type = take(1)[0];
    if (type == 0) {
      const Bytes digest = take(32);
      unsigned char expected[32];
      SHA256(Plain.data(), start, expected);
      if (std::memcmp(expected, digest.data(), 32) != 0 || at != Plain.size()) throw std::runtime_error("digest");
      return records;
    }
    static const std::size_t fixed[] = {0, 1, 4, 8};
    Bytes data;
    if (type <= 3) {
      data = take(fixed[type]);
    } else {
      const Bytes count = take(2);
      data = take(count[0] | count[1] << 8);
    }
    records.push_back({std::string(key.begin(), key.end()), type, data});
  }
}

TEST(IndependentReader, DecodesAFormat3FileWithLibsodiumAndLibcrypto) {
  ASSERT_GE(sodium_init(), 0);
  kl::TKLStorage storage;
  storage.SetKdfParameters({8 * 1024, 2});
  storage.PutString(u"site/pwd", u"s\u00E9cret", false);
  storage.PutInt(u"n", -2, false);
  kl::TMemoryStream stream;
  storage.SaveToStream(stream, u"pass \u20AC");
  const kl::ByteArray saved = stream.ToBytes();
  const Bytes file(saved.begin(), saved.end());
  const std::string password = "pass \xE2\x82\xAC";

  ASSERT_GE(file.size(), 108u + 16 + 32);
  ASSERT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x01, 0xDB, 0x03, 0x01}));
  const std::uint32_t memoryKiB = U32(file, 4), passes = U32(file, 8);
  EXPECT_EQ(memoryKiB, 8192u);
  EXPECT_EQ(passes, 2u);
  const Bytes salt(file.begin() + 12, file.begin() + 28), nonce(file.begin() + 28, file.begin() + 60);
  const Bytes iv(file.begin() + 60, file.begin() + 76), check(file.begin() + 76, file.begin() + 108);
  const Bytes cipher(file.begin() + 108, file.end() - 32), tag(file.end() - 32, file.end());

  Bytes secret(32);
  ASSERT_EQ(crypto_pwhash(secret.data(), secret.size(), password.data(), password.size(), salt.data(), passes,
                          std::size_t{memoryKiB} * 1024, crypto_pwhash_ALG_ARGON2ID13),
            0);
  const Bytes encKey = Hkdf(secret, nonce, "KLStorage 3 encryption key");
  const Bytes macKey = Hkdf(secret, nonce, "KLStorage 3 authentication key");
  EXPECT_EQ(Hkdf(secret, nonce, "KLStorage 3 password check"), check);

  unsigned char mac[32];
  unsigned int macSize = 0;
  HMAC(EVP_sha256(), macKey.data(), static_cast<int>(macKey.size()), file.data(), file.size() - 32, mac, &macSize);
  EXPECT_EQ(Bytes(mac, mac + macSize), tag);

  Bytes plain(cipher.size() + 16);
  int n1 = 0, n2 = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, encKey.data(), iv.data()), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx, plain.data(), &n1, cipher.data(), static_cast<int>(cipher.size())), 1);
  ASSERT_EQ(EVP_DecryptFinal_ex(ctx, plain.data() + n1, &n2), 1);
  EVP_CIPHER_CTX_free(ctx);
  plain.resize(static_cast<std::size_t>(n1 + n2));

  const std::vector<Record> records = ParseContent(plain);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Key, "site/pwd");
  EXPECT_EQ(records[0].Type, 4);
  EXPECT_EQ(std::string(records[0].Data.begin(), records[0].Data.end()),
            "s\xC3\xA9"
            "cret");
  EXPECT_EQ(records[1].Key, "n");
  EXPECT_EQ(records[1].Data, (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

} // namespace
