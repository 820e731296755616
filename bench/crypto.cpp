// Crypto primitives beside OpenSSL's libcrypto in the same run. OpenSSL is only
// the yardstick here; the library never links it.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

#include <cstring>
#include <vector>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLAES.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "foundation/MemoryStream.h"
#include "foundation/SecureMemory.h"

namespace {

using namespace kl;

constexpr std::size_t kMiB = 1 << 20;
constexpr int kPBKDF2Iterations = 100000;

std::vector<std::uint8_t> Filled(std::size_t N, std::uint8_t Seed) {
  std::vector<std::uint8_t> out(N);
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + Seed);
  return out;
}

const std::vector<std::uint8_t> kKey = Filled(32, 1);
const std::vector<std::uint8_t> kIV = Filled(16, 2);

// --- SHA-256 over 1 MiB ---

void SHA256Path(benchmark::State& State, const detail::TSHA256Implementation& Impl) {
  const auto data = Filled(kMiB, 3);
  for (auto _ : State) {
    TSHA256Context ctx;
    SHA256Initialize(ctx);
    detail::SHA256Update(Impl, ctx, data.data(), static_cast<std::uint32_t>(data.size()));
    benchmark::DoNotOptimize(detail::SHA256Finalize(Impl, ctx));
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

void BM_SHA256_KL(benchmark::State& State) { SHA256Path(State, detail::ActiveSHA256()); }
void BM_SHA256_KL_Portable(benchmark::State& State) { SHA256Path(State, detail::PortableSHA256()); }

void BM_SHA256_OpenSSL(benchmark::State& State) {
  const auto data = Filled(kMiB, 3);
  unsigned char digest[32];
  for (auto _ : State) {
    EVP_Digest(data.data(), data.size(), digest, nullptr, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

// --- What every AES and SHA-256 routine pays after it runs: clearing the
// vector registers and burning its stack (1 KiB) ---

void BM_RoutineCleanup_KL(benchmark::State& State) {
  for (auto _ : State) {
    detail::ClearVectorRegisters();
    detail::BurnStack(detail::kRoutineStackBurn);
  }
}

// --- HMAC-SHA-256 over 64-byte messages ---
// Two pairs, each the same work on both sides. One-shot: a tag from the key and
// the message, the key's padded hashes computed every call (the library's
// MAC256Calculate; OpenSSL's HMAC(), which also looks up the digest and
// allocates its context each call, part of what a caller of it pays). Key
// reused: the padded-key state made once and a tag a message from it (a copy
// of the library's context; OpenSSL's EVP_MAC_CTX re-initialised without a
// key, which restarts from its kept key state).

void BM_HMAC64_KL(benchmark::State& State) {
  const ByteArray key(kKey.begin(), kKey.end());
  const ByteArray data = Filled(64, 4);
  for (auto _ : State) benchmark::DoNotOptimize(MAC256Calculate(data, key));
  State.SetItemsProcessed(State.iterations());
}

void BM_HMAC64_OpenSSL(benchmark::State& State) {
  const auto data = Filled(64, 4);
  unsigned char tag[32];
  unsigned int len = 0;
  for (auto _ : State) {
    HMAC(EVP_sha256(), kKey.data(), static_cast<int>(kKey.size()), data.data(), data.size(), tag, &len);
    benchmark::DoNotOptimize(tag);
  }
  State.SetItemsProcessed(State.iterations());
}

void BM_HMAC64_KeyReused_KL(benchmark::State& State) {
  TMACSHA256Context keyed;
  MAC256Initialize(keyed, ByteArray(kKey.begin(), kKey.end()));
  const ByteArray data = Filled(64, 4);
  for (auto _ : State) {
    TMACSHA256Context context = keyed;
    MAC256Update(context, data.data(), static_cast<std::int32_t>(data.size()));
    benchmark::DoNotOptimize(MAC256Finalize(context));
  }
  SecureZeroObject(keyed);
  State.SetItemsProcessed(State.iterations());
}

void BM_HMAC64_KeyReused_OpenSSL(benchmark::State& State) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* context = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (context == nullptr || EVP_MAC_init(context, kKey.data(), kKey.size(), params) != 1) {
    State.SkipWithError("no HMAC in OpenSSL");
  } else {
    const auto data = Filled(64, 4);
    unsigned char tag[32];
    std::size_t len = 0;
    for (auto _ : State) {
      EVP_MAC_init(context, nullptr, 0, nullptr);
      EVP_MAC_update(context, data.data(), data.size());
      EVP_MAC_final(context, tag, &len, sizeof tag);
      benchmark::DoNotOptimize(tag);
    }
    State.SetItemsProcessed(State.iterations());
  }
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
}

// --- PBKDF2-HMAC-SHA-256, 100,000 iterations, 32 bytes ---

void SetIterationRate(benchmark::State& State) {
  State.counters["iterations/s"] =
      benchmark::Counter(static_cast<double>(State.iterations()) * kPBKDF2Iterations, benchmark::Counter::kIsRate);
}

void PBKDF2Path(benchmark::State& State, const detail::TSHA256Implementation& Impl) {
  const char password[] = "correct horse battery staple";
  const auto salt = Filled(16, 5);
  std::uint8_t out[32];
  for (auto _ : State) {
    detail::PBKDF2HMACSHA256(Impl, reinterpret_cast<const std::uint8_t*>(password), sizeof(password) - 1, salt.data(),
                             salt.size(), kPBKDF2Iterations, out, sizeof(out));
    benchmark::DoNotOptimize(out);
  }
  SetIterationRate(State);
}

void BM_PBKDF2_KL(benchmark::State& State) {
  const ByteArray salt = Filled(16, 5);
  for (auto _ : State) benchmark::DoNotOptimize(Derive(u"correct horse battery staple", salt, kPBKDF2Iterations, 32));
  SetIterationRate(State);
}

void BM_PBKDF2_KL_Portable(benchmark::State& State) { PBKDF2Path(State, detail::PortableSHA256()); }

void BM_PBKDF2_OpenSSL(benchmark::State& State) {
  const char password[] = "correct horse battery staple";
  const auto salt = Filled(16, 5);
  unsigned char out[32];
  for (auto _ : State) {
    PKCS5_PBKDF2_HMAC(password, sizeof(password) - 1, salt.data(), static_cast<int>(salt.size()), kPBKDF2Iterations,
                      EVP_sha256(), sizeof(out), out);
    benchmark::DoNotOptimize(out);
  }
  SetIterationRate(State);
}

// --- AES-256 single blocks, 1 MiB of independent blocks one call each ---

void AESBlocks(benchmark::State& State, const detail::TAESImplementation& Impl, bool Decrypt) {
  auto data = Filled(kMiB, 6);
  TAESExpandedKey256 key;
  Impl.Initialize(kKey.data(), key, Decrypt);
  for (auto _ : State) {
    for (std::size_t i = 0; i < kMiB; i += 16) {
      if (Decrypt) {
        Impl.Decrypt(&data[i], key, &data[i]);
      } else {
        Impl.Encrypt(&data[i], key, &data[i]);
      }
    }
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

void BM_AESEncryptBlock_KL(benchmark::State& State) { AESBlocks(State, detail::ActiveAES(), false); }
void BM_AESDecryptBlock_KL(benchmark::State& State) { AESBlocks(State, detail::ActiveAES(), true); }
void BM_AESEncryptBlock_KL_Portable(benchmark::State& State) { AESBlocks(State, detail::PortableAES(), false); }
void BM_AESDecryptBlock_KL_Portable(benchmark::State& State) { AESBlocks(State, detail::PortableAES(), true); }

// OpenSSL's EVP interface over the same 1 MiB in ECB mode, without padding.
void OpenSSLCipher(benchmark::State& State, const EVP_CIPHER* Cipher, bool Decrypt) {
  auto data = Filled(kMiB, 6);
  std::vector<std::uint8_t> out(kMiB + 32);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : State) {
    int len = 0, tail = 0;
    EVP_CipherInit_ex(ctx, Cipher, nullptr, kKey.data(), kIV.data(), Decrypt ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(kMiB));
    EVP_CipherFinal_ex(ctx, out.data() + len, &tail);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

void BM_AESEncryptECB_OpenSSL(benchmark::State& State) { OpenSSLCipher(State, EVP_aes_256_ecb(), false); }
void BM_AESDecryptECB_OpenSSL(benchmark::State& State) { OpenSSLCipher(State, EVP_aes_256_ecb(), true); }
void BM_CBCEncrypt_OpenSSL(benchmark::State& State) { OpenSSLCipher(State, EVP_aes_256_cbc(), false); }
void BM_CBCDecrypt_OpenSSL(benchmark::State& State) { OpenSSLCipher(State, EVP_aes_256_cbc(), true); }

// --- AES-256-CBC through the streams over a memory stream, 1 MiB in 64 KiB calls ---

constexpr std::int32_t kCall = 64 * 1024;

void BM_CBCEncryptStream_KL(benchmark::State& State) {
  const auto data = Filled(kMiB, 7);
  TMemoryStream sink;
  for (auto _ : State) {
    sink.SetPosition(0);
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &sink);
    for (std::size_t i = 0; i < kMiB; i += kCall) enc.Write(&data[i], kCall);
    enc.Finish();
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

void BM_CBCDecryptStream_KL(benchmark::State& State) {
  TMemoryStream source;
  {
    const auto data = Filled(kMiB, 7);
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &source);
    enc.Write(data.data(), static_cast<std::int32_t>(kMiB));
    enc.Finish();
  }
  std::vector<std::uint8_t> out(kCall);
  for (auto _ : State) {
    source.SetPosition(0);
    TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
    while (dec.Read(out.data(), kCall) == kCall) {
    }
    benchmark::DoNotOptimize(out.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

// Small reads, as the storage loader makes them.
void BM_CBCDecryptStream_KL_4ByteReads(benchmark::State& State) {
  TMemoryStream source;
  {
    const auto data = Filled(kMiB, 7);
    TKLAESEncryptionStream enc(kKey.data(), kIV.data(), &source);
    enc.Write(data.data(), static_cast<std::int32_t>(kMiB));
    enc.Finish();
  }
  std::uint8_t out[4];
  for (auto _ : State) {
    source.SetPosition(0);
    TKLAESDecryptionStream dec(kKey.data(), kIV.data(), &source);
    while (dec.Read(out, 4) == 4) {
    }
    benchmark::DoNotOptimize(out);
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

// CBC without the streams. The portable path cannot be selected for the streams
// on a processor with AES-NI, so its figure comes from here.
void RawCBC(benchmark::State& State, const detail::TAESImplementation& impl, bool Decrypt) {
  auto data = Filled(kMiB, 7);
  TAESExpandedKey256 key;
  impl.Initialize(kKey.data(), key, Decrypt);
  for (auto _ : State) {
    std::uint8_t v[16];
    std::memcpy(v, kIV.data(), 16);
    if (Decrypt) {
      impl.DecryptCBC(key, v, data.data(), data.data(), kMiB / 16);
    } else {
      impl.EncryptCBC(key, v, data.data(), data.data(), kMiB / 16);
    }
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kMiB));
}

void BM_CBCEncrypt_KL(benchmark::State& State) { RawCBC(State, detail::ActiveAES(), false); }
void BM_CBCDecrypt_KL(benchmark::State& State) { RawCBC(State, detail::ActiveAES(), true); }
void BM_CBCEncrypt_KL_Portable(benchmark::State& State) { RawCBC(State, detail::PortableAES(), false); }
void BM_CBCDecrypt_KL_Portable(benchmark::State& State) { RawCBC(State, detail::PortableAES(), true); }

} // namespace

BENCHMARK(BM_SHA256_KL);
BENCHMARK(BM_SHA256_KL_Portable);
BENCHMARK(BM_SHA256_OpenSSL);
BENCHMARK(BM_HMAC64_KL);
BENCHMARK(BM_HMAC64_OpenSSL);
BENCHMARK(BM_HMAC64_KeyReused_KL);
BENCHMARK(BM_HMAC64_KeyReused_OpenSSL);
BENCHMARK(BM_RoutineCleanup_KL);
BENCHMARK(BM_PBKDF2_KL)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PBKDF2_KL_Portable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PBKDF2_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AESEncryptBlock_KL);
BENCHMARK(BM_AESDecryptBlock_KL);
BENCHMARK(BM_AESEncryptBlock_KL_Portable);
BENCHMARK(BM_AESDecryptBlock_KL_Portable);
BENCHMARK(BM_AESEncryptECB_OpenSSL);
BENCHMARK(BM_AESDecryptECB_OpenSSL);
BENCHMARK(BM_CBCEncryptStream_KL);
BENCHMARK(BM_CBCDecryptStream_KL);
BENCHMARK(BM_CBCDecryptStream_KL_4ByteReads);
BENCHMARK(BM_CBCEncrypt_KL);
BENCHMARK(BM_CBCDecrypt_KL);
BENCHMARK(BM_CBCEncrypt_KL_Portable);
BENCHMARK(BM_CBCDecrypt_KL_Portable);
BENCHMARK(BM_CBCEncrypt_OpenSSL);
BENCHMARK(BM_CBCDecrypt_OpenSSL);

BENCHMARK_MAIN();
