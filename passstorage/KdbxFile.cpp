// The KDBX container: outer header, KDFs, block stream, ciphers, gzip, inner
// header. The XML document is parsed and written in KdbxXml.cpp.
#include <argon2.h>
#include <sodium.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "crypto/KLAES.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"

namespace kl::detail {

namespace {

using TUuid = std::array<std::uint8_t, 16>;
constexpr TUuid kCipherAes = {0x31, 0xC1, 0xF2, 0xE6, 0xBF, 0x71, 0x43, 0x50,
                              0xBE, 0x58, 0x05, 0x21, 0x6A, 0xFC, 0x5A, 0xFF};
constexpr TUuid kCipherChaCha = {0xD6, 0x03, 0x8A, 0x2B, 0x8B, 0x6F, 0x4C, 0xB5,
                                 0xA5, 0x24, 0x33, 0x9A, 0x31, 0xDB, 0xB5, 0x9A};
constexpr TUuid kCipherTwofish = {0xAD, 0x68, 0xF2, 0x9F, 0x57, 0x6F, 0x4B, 0xB9,
                                  0xA3, 0x6A, 0xD4, 0x7A, 0xF9, 0x65, 0x34, 0x6C};
constexpr TUuid kKdfAes = {0xC9, 0xD9, 0xF3, 0x9A, 0x62, 0x8A, 0x44, 0x60,
                           0xBF, 0x74, 0x0D, 0x08, 0xC1, 0x8A, 0x4F, 0xEA};
constexpr TUuid kKdfArgon2d = {0xEF, 0x63, 0x6D, 0xDF, 0x8C, 0x29, 0x44, 0x4B,
                               0x91, 0xF7, 0xA9, 0xA4, 0x03, 0xE3, 0x0A, 0x0C};
constexpr TUuid kKdfArgon2id = {0x9E, 0x29, 0x8B, 0x19, 0x56, 0xDB, 0x47, 0x73,
                                0xB2, 0x3D, 0xFC, 0x3E, 0xC6, 0xF0, 0xA1, 0xE6};

// Outer header field identifiers.
enum : std::uint8_t {
  hfEnd = 0, hfCipher = 2, hfCompression = 3, hfMasterSeed = 4, hfTransformSeed = 5, hfTransformRounds = 6,
  hfIV = 7, hfProtectedStreamKey = 8, hfStreamStartBytes = 9, hfInnerStreamId = 10, hfKdfParameters = 11,
  hfPublicCustomData = 12
};
// Inner header field identifiers and inner stream kinds.
enum : std::uint8_t { ihEnd = 0, ihStreamId = 1, ihStreamKey = 2, ihBinary = 3 };
enum : std::uint32_t { isSalsa20 = 2, isChaCha20 = 3 };
// VariantDictionary value types.
enum : std::uint8_t { vtEnd = 0, vtUInt32 = 0x04, vtUInt64 = 0x05, vtBytes = 0x42 };

constexpr std::size_t kBlockSize = 1024 * 1024; // the block size we write

#ifdef KL_FUZZ_CHEAP_KDF
// Fuzzing runs millions of loads: the checks after the derivation are what it
// must reach, not the derivation's cost.
constexpr std::uint64_t kMaxArgon2Memory = 64 * 1024;
constexpr std::uint64_t kMaxArgon2Iterations = 2;
constexpr std::uint64_t kMaxAesRounds = 16;
#else
constexpr std::uint64_t kMaxArgon2Memory = KdbxMaxArgon2MemoryBytes;
constexpr std::uint64_t kMaxArgon2Iterations = KdbxMaxArgon2Iterations;
constexpr std::uint64_t kMaxAesRounds = KdbxMaxAesRounds;
#endif
constexpr std::uint64_t kHeaderBlockIndex = ~std::uint64_t{0};

[[noreturn]] void Fail(const char* Message) { throw EKLPassStorageException(Message); }

std::uint16_t Get16(const std::uint8_t* P) noexcept { return static_cast<std::uint16_t>(P[0] | P[1] << 8); }
std::uint32_t Get32(const std::uint8_t* P) noexcept {
  return std::uint32_t{P[0]} | std::uint32_t{P[1]} << 8 | std::uint32_t{P[2]} << 16 | std::uint32_t{P[3]} << 24;
}
std::uint64_t Get64(const std::uint8_t* P) noexcept { return Get32(P) | std::uint64_t{Get32(P + 4)} << 32; }
void Put32(ByteArray& Out, std::uint32_t V) {
  for (int i = 0; i < 4; ++i) Out.push_back(static_cast<std::uint8_t>(V >> (8 * i)));
}
void Put64(ByteArray& Out, std::uint64_t V) {
  for (int i = 0; i < 8; ++i) Out.push_back(static_cast<std::uint8_t>(V >> (8 * i)));
}
void PutBytes(ByteArray& Out, const void* Data, std::size_t Size) {
  const auto* p = static_cast<const std::uint8_t*>(Data);
  Out.insert(Out.end(), p, p + Size);
}

// A bounds-checked reader over a byte range: running past the end means a
// damaged file.
class TCursor {
public:
  TCursor(const std::uint8_t* Data, std::size_t Size) noexcept : FData(Data), FSize(Size) {}
  const std::uint8_t* Take(std::size_t Count, const char* Message = SKdbxDamaged) {
    if (Count > FSize - FPos) Fail(Message);
    const std::uint8_t* p = FData + FPos;
    FPos += Count;
    return p;
  }
  std::uint8_t U8() { return *Take(1); }
  std::uint16_t U16() { return Get16(Take(2)); }
  std::uint32_t U32() { return Get32(Take(4)); }
  std::size_t Pos() const noexcept { return FPos; }
  std::size_t Left() const noexcept { return FSize - FPos; }
  const std::uint8_t* Here() const noexcept { return FData + FPos; }

private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

void Sha256(const void* A, std::size_t ASize, const void* B, std::size_t BSize, std::uint8_t* Out) {
  TSHA256Context ctx;
  WipeOnExit<TSHA256Context> wipe(ctx);
  SHA256Initialize(ctx);
  SHA256Update(ctx, A, static_cast<std::uint32_t>(ASize));
  if (BSize != 0) SHA256Update(ctx, B, static_cast<std::uint32_t>(BSize));
  const TMessageDigest256 digest = SHA256Finalize(ctx);
  std::memcpy(Out, DigestBytes(digest), SHA256DigestSize);
}

ByteArray ReadAll(TStream& Strm) {
  ByteArray data;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::int32_t got = Strm.Read(chunk, sizeof(chunk));
    if (got <= 0) break;
    if (data.size() + static_cast<std::size_t>(got) > KdbxMaxPayloadSize + KdbxMaxHeaderSize) Fail(SKdbxTooLarge);
    data.insert(data.end(), chunk, chunk + got);
  }
  return data;
}

// ---- VariantDictionary (KDF parameters) -------------------------------------

struct TVariant {
  std::uint8_t Type = 0;
  std::string Name;
  ByteArray Value;
};

std::vector<TVariant> ParseVariantDictionary(const std::uint8_t* Data, std::size_t Size) {
  TCursor in(Data, Size);
  if ((in.U16() & 0xFF00) != 0x0100) Fail(SKdbxUnsupported);
  std::vector<TVariant> items;
  for (;;) {
    TVariant item;
    item.Type = in.U8();
    if (item.Type == vtEnd) return items;
    const std::uint32_t nameSize = in.U32();
    const auto* name = in.Take(nameSize);
    item.Name.assign(reinterpret_cast<const char*>(name), nameSize);
    const std::uint32_t valueSize = in.U32();
    const auto* value = in.Take(valueSize);
    item.Value.assign(value, value + valueSize);
    items.push_back(std::move(item));
  }
}

const TVariant* FindVariant(const std::vector<TVariant>& Items, std::string_view Name, std::uint8_t Type,
                            std::size_t Size = 0) {
  for (const TVariant& item : Items) {
    if (item.Name != Name) continue;
    if (item.Type != Type || (Size != 0 && item.Value.size() != Size)) Fail(SKdbxBadParameters);
    return &item;
  }
  return nullptr;
}

void PutVariant(ByteArray& Out, std::uint8_t Type, std::string_view Name, const void* Value, std::size_t Size) {
  Out.push_back(Type);
  Put32(Out, static_cast<std::uint32_t>(Name.size()));
  PutBytes(Out, Name.data(), Name.size());
  Put32(Out, static_cast<std::uint32_t>(Size));
  PutBytes(Out, Value, Size);
}

// ---- KDFs --------------------------------------------------------------------

// A file's KDF: the settings plus the salt (Argon2) or seed (AES-KDF), and
// Argon2's optional secret and associated data.
struct TKdfInput {
  TKdbxKdf Kind = TKdbxKdf::AesKdf;
  std::uint64_t Iterations = 0;
  std::uint64_t MemoryBytes = 0;
  std::uint32_t Parallelism = 1;
  std::uint32_t Version = 0x13;
  ByteArray Salt, Secret, Data;
};

// Every cost is bounded before the KDF allocates or runs anything.
TKdfInput ReadKdfParameters(const std::uint8_t* Data, std::size_t Size) {
  const std::vector<TVariant> items = ParseVariantDictionary(Data, Size);
  const TVariant* uuid = FindVariant(items, "$UUID", vtBytes, 16);
  if (uuid == nullptr) Fail(SKdbxBadParameters);
  TKdfInput kdf;
  if (std::equal(kKdfAes.begin(), kKdfAes.end(), uuid->Value.begin())) {
    const TVariant* rounds = FindVariant(items, "R", vtUInt64, 8);
    const TVariant* seed = FindVariant(items, "S", vtBytes, 32);
    if (rounds == nullptr || seed == nullptr) Fail(SKdbxBadParameters);
    kdf.Iterations = Get64(rounds->Value.data());
    if (kdf.Iterations > kMaxAesRounds) Fail(SKdbxBadParameters);
    kdf.Salt = seed->Value;
    return kdf;
  }
  if (std::equal(kKdfArgon2d.begin(), kKdfArgon2d.end(), uuid->Value.begin())) {
    kdf.Kind = TKdbxKdf::Argon2d;
  } else if (std::equal(kKdfArgon2id.begin(), kKdfArgon2id.end(), uuid->Value.begin())) {
    kdf.Kind = TKdbxKdf::Argon2id;
  } else {
    Fail(SKdbxBadParameters);
  }
  const TVariant* salt = FindVariant(items, "S", vtBytes);
  const TVariant* lanes = FindVariant(items, "P", vtUInt32, 4);
  const TVariant* memory = FindVariant(items, "M", vtUInt64, 8);
  const TVariant* iterations = FindVariant(items, "I", vtUInt64, 8);
  const TVariant* version = FindVariant(items, "V", vtUInt32, 4);
  if (salt == nullptr || lanes == nullptr || memory == nullptr || iterations == nullptr || version == nullptr) {
    Fail(SKdbxBadParameters);
  }
  kdf.Salt = salt->Value;
  kdf.Parallelism = Get32(lanes->Value.data());
  kdf.MemoryBytes = Get64(memory->Value.data());
  kdf.Iterations = Get64(iterations->Value.data());
  kdf.Version = Get32(version->Value.data());
  if (const TVariant* secret = FindVariant(items, "K", vtBytes)) kdf.Secret = secret->Value;
  if (const TVariant* assoc = FindVariant(items, "A", vtBytes)) kdf.Data = assoc->Value;
  if (kdf.Salt.size() < ARGON2_MIN_SALT_LENGTH || kdf.Salt.size() > 1024 || kdf.Parallelism < 1 ||
      kdf.Parallelism > KdbxMaxArgon2Lanes || kdf.Iterations < 1 || kdf.Iterations > kMaxArgon2Iterations ||
      kdf.MemoryBytes < 8 * 1024 * std::uint64_t{kdf.Parallelism} || kdf.MemoryBytes > kMaxArgon2Memory ||
      (kdf.Version != 0x10 && kdf.Version != 0x13) || kdf.Secret.size() > 1024 || kdf.Data.size() > 1024) {
    Fail(SKdbxBadParameters);
  }
  return kdf;
}

ByteArray WriteKdfParameters(const TKdbxSettings& S, const ByteArray& Salt) {
  ByteArray out = {0x00, 0x01};
  if (S.Kdf == TKdbxKdf::AesKdf) {
    PutVariant(out, vtBytes, "$UUID", kKdfAes.data(), 16);
    std::uint8_t rounds[8];
    for (int i = 0; i < 8; ++i) rounds[i] = static_cast<std::uint8_t>(S.Iterations >> (8 * i));
    PutVariant(out, vtUInt64, "R", rounds, 8);
    PutVariant(out, vtBytes, "S", Salt.data(), Salt.size());
  } else {
    const TUuid& uuid = S.Kdf == TKdbxKdf::Argon2d ? kKdfArgon2d : kKdfArgon2id;
    PutVariant(out, vtBytes, "$UUID", uuid.data(), 16);
    ByteArray v;
    PutVariant(out, vtBytes, "S", Salt.data(), Salt.size());
    Put32(v, S.Parallelism);
    PutVariant(out, vtUInt32, "P", v.data(), 4);
    v.clear();
    Put64(v, S.MemoryBytes);
    PutVariant(out, vtUInt64, "M", v.data(), 8);
    v.clear();
    Put64(v, S.Iterations);
    PutVariant(out, vtUInt64, "I", v.data(), 8);
    v.clear();
    Put32(v, S.Argon2Version);
    PutVariant(out, vtUInt32, "V", v.data(), 4);
  }
  out.push_back(vtEnd);
  return out;
}

// AES-KDF: both halves of the key enciphered Rounds times in ECB mode under
// the seed, then hashed.
void AesKdf(const std::uint8_t* Composite, const ByteArray& Seed, std::uint64_t Rounds, std::uint8_t* Out) {
  TAESExpandedKey256 expanded;
  WipeOnExit<TAESExpandedKey256> wipeKey(expanded);
  AESInitialize(Seed.data(), expanded, false);
  std::array<std::uint8_t, 32> block;
  WipeOnExit<std::array<std::uint8_t, 32>> wipeBlock(block);
  std::memcpy(block.data(), Composite, 32);
  for (std::uint64_t r = 0; r < Rounds; ++r) {
    AESEncrypt(block.data(), expanded, block.data());
    AESEncrypt(block.data() + 16, expanded, block.data() + 16);
  }
  Sha256(block.data(), block.size(), nullptr, 0, Out);
}

void Argon2Kdf(const std::uint8_t* Composite, TKdfInput& Kdf, std::uint8_t* Out) {
  std::uint8_t password[32];
  std::memcpy(password, Composite, 32);
  argon2_context ctx{};
  ctx.out = Out;
  ctx.outlen = 32;
  ctx.pwd = password;
  ctx.pwdlen = 32;
  ctx.salt = Kdf.Salt.data();
  ctx.saltlen = static_cast<std::uint32_t>(Kdf.Salt.size());
  ctx.secret = Kdf.Secret.empty() ? nullptr : Kdf.Secret.data();
  ctx.secretlen = static_cast<std::uint32_t>(Kdf.Secret.size());
  ctx.ad = Kdf.Data.empty() ? nullptr : Kdf.Data.data();
  ctx.adlen = static_cast<std::uint32_t>(Kdf.Data.size());
  ctx.t_cost = static_cast<std::uint32_t>(Kdf.Iterations);
  ctx.m_cost = static_cast<std::uint32_t>(Kdf.MemoryBytes / 1024);
  ctx.lanes = Kdf.Parallelism;
  // Lanes are part of the result; threads only share the work. A file may ask
  // for up to 64 lanes, more threads than a process should start for one key.
  ctx.threads = std::min<std::uint32_t>(Kdf.Parallelism, KdbxMaxArgon2Threads);
  ctx.version = Kdf.Version;
  ctx.flags = ARGON2_DEFAULT_FLAGS;
  const int rc = argon2_ctx(&ctx, Kdf.Kind == TKdbxKdf::Argon2d ? Argon2_d : Argon2_id);
  SecureZero(password, sizeof(password));
  if (rc == ARGON2_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (rc != ARGON2_OK) Fail(SKdbxBadParameters);
}

std::atomic<std::uint64_t> gDerivations{0};

SecureBytes Transform(const TKdbxCompositeKey& Key, TKdfInput& Kdf) {
  gDerivations.fetch_add(1, std::memory_order_relaxed);
  const SecureBytes composite = Key.Hash();
  SecureBytes out(32);
  if (Kdf.Kind == TKdbxKdf::AesKdf) {
    if (Kdf.Salt.size() != 32) Fail(SKdbxBadParameters);
    AesKdf(composite.data(), Kdf.Salt, Kdf.Iterations, out.data());
  } else {
    Argon2Kdf(composite.data(), Kdf, out.data());
  }
  return out;
}

// Refuses a derivation above Limit, naming its costs: a file's header is
// unkeyed, so whoever can write the file chooses them.
void CheckKdfCost(const TKdfInput& Kdf, std::uint64_t Limit) {
  const std::uint64_t cost = KdbxKdfCost(Kdf.Kind, Kdf.Iterations, Kdf.MemoryBytes);
  if (cost <= Limit) return;
  std::string what;
  if (Kdf.Kind == TKdbxKdf::AesKdf) {
    what = "AES-KDF with " + std::to_string(Kdf.Iterations) + " rounds";
  } else {
    what = std::string(Kdf.Kind == TKdbxKdf::Argon2d ? "Argon2d" : "Argon2id") + " with " +
           std::to_string((Kdf.MemoryBytes + 1024 * 1024 - 1) / (1024 * 1024)) + " MiB and " +
           std::to_string(Kdf.Iterations) + " passes";
  }
  Fail((std::string(SKdbxKdfTooCostly) + ": " + what + " costs " + std::to_string(cost) +
        " mebibyte-passes, the limit is " + std::to_string(Limit) + " (64 MiB and 10 passes cost 640)")
           .c_str());
}

// ---- keys and the HMAC block stream -------------------------------------------

struct TFileKeys {
  SecureBytes Cipher{32};
  SecureBytes Mac{64}; // the base from which each block's key is made
};

TFileKeys FileKeys(const ByteArray& MasterSeed, const SecureBytes& Transformed) {
  TFileKeys keys;
  Sha256(MasterSeed.data(), MasterSeed.size(), Transformed.data(), Transformed.size(), keys.Cipher.data());
  SecureBytes joined(MasterSeed.size() + Transformed.size() + 1);
  std::memcpy(joined.data(), MasterSeed.data(), MasterSeed.size());
  std::memcpy(joined.data() + MasterSeed.size(), Transformed.data(), Transformed.size());
  joined.Get().back() = 1;
  crypto_hash_sha512(keys.Mac.data(), joined.data(), joined.size());
  return keys;
}

std::array<std::uint8_t, 32> BlockMac(const TFileKeys& Keys, std::uint64_t Index, const std::uint8_t* Data,
                                      std::size_t Size) {
  std::uint8_t indexBytes[8];
  for (int i = 0; i < 8; ++i) indexBytes[i] = static_cast<std::uint8_t>(Index >> (8 * i));
  SecureBytes blockKey(64);
  crypto_hash_sha512_state sha;
  crypto_hash_sha512_init(&sha);
  crypto_hash_sha512_update(&sha, indexBytes, 8);
  crypto_hash_sha512_update(&sha, Keys.Mac.data(), Keys.Mac.size());
  crypto_hash_sha512_final(&sha, blockKey.data());
  SecureZeroObject(sha);
  TMACSHA256Context mac;
  WipeOnExit<TMACSHA256Context> wipe(mac);
  MAC256Initialize(mac, blockKey.Get());
  MAC256Update(mac, indexBytes, 8);
  if (Index != kHeaderBlockIndex) {
    std::uint8_t sizeBytes[4];
    for (int i = 0; i < 4; ++i) sizeBytes[i] = static_cast<std::uint8_t>(Size >> (8 * i));
    MAC256Update(mac, sizeBytes, 4);
  }
  // MAC256Update takes an int32 length; blocks are bounded far below.
  MAC256Update(mac, Data, static_cast<std::int32_t>(Size));
  const TMessageDigest256 digest = MAC256Finalize(mac);
  std::array<std::uint8_t, 32> out;
  std::memcpy(out.data(), DigestBytes(digest), 32);
  return out;
}

// The header's MAC covers the header bytes alone, under the block key of the
// largest index, without a size.
std::array<std::uint8_t, 32> HeaderMac(const TFileKeys& Keys, const std::uint8_t* Header, std::size_t Size) {
  std::uint8_t indexBytes[8];
  for (int i = 0; i < 8; ++i) indexBytes[i] = 0xFF;
  SecureBytes blockKey(64);
  crypto_hash_sha512_state sha;
  crypto_hash_sha512_init(&sha);
  crypto_hash_sha512_update(&sha, indexBytes, 8);
  crypto_hash_sha512_update(&sha, Keys.Mac.data(), Keys.Mac.size());
  crypto_hash_sha512_final(&sha, blockKey.data());
  SecureZeroObject(sha);
  const TMessageDigest256 digest =
      MAC256Calculate(ByteArray(Header, Header + Size), blockKey.Get());
  std::array<std::uint8_t, 32> out;
  std::memcpy(out.data(), DigestBytes(digest), 32);
  return out;
}

// Every block's MAC is checked before its bytes join the ciphertext.
ByteArray ReadHmacBlocks(TCursor& In, const TFileKeys& Keys) {
  ByteArray cipher;
  for (std::uint64_t index = 0;; ++index) {
    const std::uint8_t* mac = In.Take(32);
    const std::uint32_t size = In.U32();
    if (size > KdbxMaxBlockSize) Fail(SKdbxTooLarge);
    const std::uint8_t* data = In.Take(size);
    const auto expected = BlockMac(Keys, index, data, size);
    if (!ConstantTimeEqual(expected.data(), mac, 32)) Fail(SKdbxDamaged);
    if (size == 0) return cipher;
    if (cipher.size() + size > KdbxMaxPayloadSize) Fail(SKdbxTooLarge);
    cipher.insert(cipher.end(), data, data + size);
  }
}

void WriteHmacBlocks(ByteArray& Out, const TFileKeys& Keys, const ByteArray& Cipher) {
  std::uint64_t index = 0;
  for (std::size_t pos = 0;; ++index) {
    const std::size_t size = std::min(kBlockSize, Cipher.size() - pos);
    const auto mac = BlockMac(Keys, index, Cipher.data() + pos, size);
    PutBytes(Out, mac.data(), mac.size());
    Put32(Out, static_cast<std::uint32_t>(size));
    PutBytes(Out, Cipher.data() + pos, size);
    if (size == 0) return;
    pos += size;
  }
}

// ---- ciphers -------------------------------------------------------------------

SecureBytes Decipher(TKdbxCipher Cipher, const SecureBytes& Key, const ByteArray& IV, const ByteArray& Data,
                     const char* BadPadding) {
  SecureBytes plain(Data.size());
  if (Cipher == TKdbxCipher::ChaCha20) {
    if (IV.size() != crypto_stream_chacha20_ietf_NONCEBYTES) Fail(SKdbxDamaged);
    // An empty vector's data() may be null, which libsodium must not be given.
    if (!Data.empty()) crypto_stream_chacha20_ietf_xor(plain.data(), Data.data(), Data.size(), IV.data(), Key.data());
    return plain;
  }
  if (IV.size() != AESBlockSize || Data.empty() || Data.size() % AESBlockSize != 0) Fail(BadPadding);
  TAESExpandedKey256 expanded;
  WipeOnExit<TAESExpandedKey256> wipe(expanded);
  AESInitialize(Key.data(), expanded, true);
  std::uint8_t prev[16];
  std::memcpy(prev, IV.data(), 16);
  for (std::size_t pos = 0; pos < Data.size(); pos += 16) {
    AESDecrypt(Data.data() + pos, expanded, plain.data() + pos);
    for (int i = 0; i < 16; ++i) plain.data()[pos + i] ^= prev[i];
    std::memcpy(prev, Data.data() + pos, 16);
  }
  // The padding is checked without a branch on each byte's value.
  const std::uint8_t pad = plain.Get().back();
  std::uint8_t bad = static_cast<std::uint8_t>((pad == 0) | (pad > 16));
  for (std::size_t i = 1; i <= 16; ++i) {
    const std::uint8_t inPad = static_cast<std::uint8_t>(i <= pad);
    bad |= static_cast<std::uint8_t>(inPad & (plain.Get()[plain.size() - i] != pad));
  }
  if (bad != 0) Fail(BadPadding);
  SecureZero(plain.data() + plain.size() - pad, pad);
  plain.Get().resize(plain.size() - pad);
  return plain;
}

ByteArray Encipher(TKdbxCipher Cipher, const SecureBytes& Key, const ByteArray& IV, const ByteArray& Plain) {
  if (Cipher == TKdbxCipher::ChaCha20) {
    ByteArray out(Plain.size());
    if (!Plain.empty()) crypto_stream_chacha20_ietf_xor(out.data(), Plain.data(), Plain.size(), IV.data(), Key.data());
    return out;
  }
  const std::size_t pad = 16 - Plain.size() % 16;
  ByteArray out(Plain.size() + pad);
  TAESExpandedKey256 expanded;
  WipeOnExit<TAESExpandedKey256> wipe(expanded);
  AESInitialize(Key.data(), expanded, false);
  std::uint8_t block[16];
  std::uint8_t prev[16];
  std::memcpy(prev, IV.data(), 16);
  for (std::size_t pos = 0; pos < out.size(); pos += 16) {
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t at = pos + i;
      block[i] = static_cast<std::uint8_t>((at < Plain.size() ? Plain[at] : pad) ^ prev[i]);
    }
    AESEncrypt(block, expanded, out.data() + pos);
    std::memcpy(prev, out.data() + pos, 16);
  }
  SecureZero(block, sizeof(block));
  return out;
}

// ---- gzip ------------------------------------------------------------------------

voidpf ZlibAlloc(voidpf, uInt Items, uInt Size) {
  if (Size != 0 && Items > SIZE_MAX / Size) return nullptr;
  return KdbxWipingAlloc(std::size_t{Items} * Size);
}
void ZlibFree(voidpf, voidpf Block) { KdbxWipingFree(Block); }

// A z_stream whose window and tables are wiped when freed.
z_stream WipingZStream() {
  z_stream z{};
  z.zalloc = ZlibAlloc;
  z.zfree = ZlibFree;
  return z;
}

// Makes room for Size more bytes in a buffer of plain text: grown into a
// fresh buffer, the old one wiped, so that no copy is left behind.
void Reserve(SecureBytes& Buf, std::size_t Size) {
  ByteArray& b = Buf.Get();
  if (b.capacity() - b.size() >= Size) return;
  SecureBytes bigger;
  bigger.Get().reserve(std::max(2 * b.capacity(), b.size() + Size));
  bigger.Get().assign(b.begin(), b.end());
  b.swap(bigger.Get());
}

} // namespace

// Each block carries its size before it, so that it can be wiped whole when
// freed: neither zlib nor expat says how large a block it frees is.
namespace {
constexpr std::size_t kBlockHeader = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t)
                                                                                     : sizeof(std::size_t);
} // namespace

void* KdbxWipingAlloc(std::size_t Size) noexcept {
  if (Size > SIZE_MAX - kBlockHeader) return nullptr;
  auto* block = static_cast<std::uint8_t*>(::operator new(Size + kBlockHeader, std::nothrow));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &Size, sizeof(Size));
  return block + kBlockHeader;
}

void KdbxWipingFree(void* Block) noexcept {
  if (Block == nullptr) return;
  auto* block = static_cast<std::uint8_t*>(Block) - kBlockHeader;
  std::size_t size;
  std::memcpy(&size, block, sizeof(size));
  SecureZero(block, size + kBlockHeader);
  ::operator delete(block);
}

void* KdbxWipingRealloc(void* Block, std::size_t Size) noexcept {
  if (Block == nullptr) return KdbxWipingAlloc(Size);
  std::size_t old;
  std::memcpy(&old, static_cast<std::uint8_t*>(Block) - kBlockHeader, sizeof(old));
  void* moved = KdbxWipingAlloc(Size);
  if (moved == nullptr) return nullptr; // the old block stays the caller's
  std::memcpy(moved, Block, std::min(old, Size));
  KdbxWipingFree(Block);
  return moved;
}

SecureBytes KdbxGunzip(const std::uint8_t* Data, std::size_t Size, std::uint64_t& Budget) {
  SecureBytes out;
  // gzip ends with the inflated size (modulo 2^32): room for it at once
  // spares the copies of growing, but only as much as this input could
  // plausibly inflate to, whatever a hostile trailer claims.
  if (Size >= 4) {
    const std::uint64_t claimed = Get32(Data + Size - 4);
    const std::uint64_t plausible = std::min<std::uint64_t>(std::uint64_t{64} * Size, Budget);
    out.Get().reserve(static_cast<std::size_t>(std::min<std::uint64_t>(claimed, plausible) + 65536));
  }
  KdbxGunzipPieces(
      Data, Size, Budget,
      [](void* Out, const char* Piece, std::size_t Length) {
        auto& buf = *static_cast<SecureBytes*>(Out);
        Reserve(buf, Length);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(Piece);
        buf.Get().insert(buf.Get().end(), bytes, bytes + Length);
      },
      &out);
  return out;
}

void KdbxGunzipPieces(const std::uint8_t* Data, std::size_t Size, std::uint64_t& Budget, TKdbxXmlSink Sink,
                      void* Context) {
  struct TZ {
    z_stream Z = WipingZStream();
    ~TZ() { inflateEnd(&Z); }
  } z;
  if (inflateInit2(&z.Z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  constexpr std::size_t kPiece = 1 << 20;
  SecureBytes piece;
  piece.Get().resize(kPiece);
  z.Z.next_in = const_cast<Bytef*>(Data);
  std::size_t left = Size;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    // inflate takes an unsigned int length.
    if (z.Z.avail_in == 0 && left != 0) {
      z.Z.avail_in = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
      left -= z.Z.avail_in;
    }
    z.Z.next_out = piece.data();
    z.Z.avail_out = static_cast<uInt>(kPiece);
    rc = inflate(&z.Z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) Fail(SKdbxDamaged);
    const std::size_t made = kPiece - z.Z.avail_out;
    if (made > Budget) Fail(SKdbxTooLarge);
    Budget -= made;
    if (made != 0) Sink(Context, reinterpret_cast<const char*>(piece.data()), made);
    if (rc == Z_OK && z.Z.avail_in == 0 && left == 0 && z.Z.avail_out != 0) Fail(SKdbxDamaged); // truncated
  }
}

namespace {

// The fastest level: the XML of a large vault is tens of megabytes, level 6
// takes about twice as long for a file under a tenth smaller, and every
// reader inflates any level alike.
constexpr int kGzipLevel = Z_BEST_SPEED;

// The payload (inner header, then the XML) gzipped, or kept as it is, as it
// arrives in pieces.
class TPayloadPacker {
public:
  TPayloadPacker(bool Compress, SecureBytes& Out) : FCompress(Compress), FOut(Out), FZip(WipingZStream()) {
    if (FCompress && deflateInit2(&FZip, kGzipLevel, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~TPayloadPacker() {
    if (FCompress) deflateEnd(&FZip);
  }
  TPayloadPacker(const TPayloadPacker&) = delete;
  TPayloadPacker& operator=(const TPayloadPacker&) = delete;

  void Add(const std::uint8_t* Data, std::size_t Size) {
    if (!FCompress) {
      Reserve(FOut, Size);
      FOut.Get().insert(FOut.Get().end(), Data, Data + Size);
      return;
    }
    // deflate takes an unsigned int length.
    for (std::size_t pos = 0; pos < Size;) {
      const std::size_t piece = std::min<std::size_t>(Size - pos, 1u << 30);
      Deflate(Data + pos, piece, Z_NO_FLUSH);
      pos += piece;
    }
  }
  static void Sink(void* Self, const char* Data, std::size_t Size) {
    static_cast<TPayloadPacker*>(Self)->Add(reinterpret_cast<const std::uint8_t*>(Data), Size);
  }
  void Finish() {
    if (FCompress) Deflate(nullptr, 0, Z_FINISH);
  }

private:
  // Until all the input is taken (and, to finish, the stream ended).
  void Deflate(const std::uint8_t* Data, std::size_t Size, int Flush) {
    FZip.next_in = const_cast<Bytef*>(Data);
    FZip.avail_in = static_cast<uInt>(Size);
    for (;;) {
      Reserve(FOut, 1 << 16);
      ByteArray& b = FOut.Get();
      const std::size_t used = b.size();
      const std::size_t room = std::min<std::size_t>(b.capacity() - used, 1u << 30);
      b.resize(used + room);
      FZip.next_out = b.data() + used;
      FZip.avail_out = static_cast<uInt>(room);
      const int rc = deflate(&FZip, Flush);
      b.resize(used + room - FZip.avail_out);
      if (rc == Z_STREAM_ERROR) throw std::bad_alloc();
      if (Flush == Z_FINISH ? rc == Z_STREAM_END : FZip.avail_in == 0 && FZip.avail_out != 0) return;
    }
  }

  bool FCompress;
  SecureBytes& FOut;
  z_stream FZip;
};

// ---- the inner random stream (protected values) ---------------------------------------

class TInnerStream {
public:
  TInnerStream(std::uint32_t Id, const std::uint8_t* Key, std::size_t KeySize) : FId(Id) {
    if (Id == isChaCha20) {
      std::uint8_t h[64];
      crypto_hash_sha512(h, Key, KeySize);
      std::memcpy(FKey, h, 32);
      std::memcpy(FNonce, h + 32, 12);
      SecureZero(h, sizeof(h));
    } else if (Id == isSalsa20) {
      Sha256(Key, KeySize, nullptr, 0, FKey);
      static constexpr std::uint8_t kNonce[8] = {0xE8, 0x30, 0x09, 0x4B, 0x97, 0x20, 0x5D, 0x2A};
      std::memcpy(FNonce, kNonce, 8);
    } else {
      Fail(SKdbxUnsupported);
    }
  }
  ~TInnerStream() {
    SecureZero(FKey, sizeof(FKey));
    SecureZero(FBlock, sizeof(FBlock));
  }
  TInnerStream(const TInnerStream&) = delete;
  TInnerStream& operator=(const TInnerStream&) = delete;

  // The key stream runs on across values, in the order in which they appear.
  void Xor(std::uint8_t* Data, std::size_t Size) {
    for (std::size_t i = 0; i < Size; ++i) {
      if (FUsed == 64) NextBlock();
      Data[i] ^= FBlock[FUsed++];
    }
  }
  static void Apply(void* Self, std::uint8_t* Data, std::size_t Size) {
    static_cast<TInnerStream*>(Self)->Xor(Data, Size);
  }

private:
  void NextBlock() {
    std::memset(FBlock, 0, sizeof(FBlock));
    if (FId == isChaCha20) {
      crypto_stream_chacha20_ietf_xor_ic(FBlock, FBlock, 64, FNonce, static_cast<std::uint32_t>(FCounter), FKey);
    } else {
      crypto_stream_salsa20_xor_ic(FBlock, FBlock, 64, FNonce, FCounter, FKey);
    }
    ++FCounter;
    FUsed = 0;
  }

  std::uint32_t FId;
  std::uint8_t FKey[32]{};
  std::uint8_t FNonce[12]{};
  std::uint8_t FBlock[64]{};
  std::size_t FUsed = 64;
  std::uint64_t FCounter = 0;
};

// ---- the outer header ----------------------------------------------------------------

struct TOuterHeader {
  std::uint32_t Version = 0;
  std::size_t Size = 0; // bytes up to and including the end field
  TKdbxCipher Cipher = TKdbxCipher::Aes256;
  bool Compressed = false;
  ByteArray MasterSeed, IV, PublicCustomData;
  TKdfInput Kdf;
  bool HaveCipher = false, HaveCompression = false, HaveKdf = false;
  // Version 3.1 only.
  SecureBytes ProtectedStreamKey;
  ByteArray StreamStartBytes;
  std::uint32_t InnerStreamId = 0;
  bool HaveRounds = false;
};

void ReadHeaderField(TOuterHeader& H, std::uint8_t Id, const std::uint8_t* Data, std::uint32_t Size) {
  const bool v4 = H.Version >= KdbxVersion40;
  switch (Id) {
    case hfCipher:
      if (Size != 16) Fail(SKdbxDamaged);
      if (std::equal(kCipherAes.begin(), kCipherAes.end(), Data)) {
        H.Cipher = TKdbxCipher::Aes256;
      } else if (std::equal(kCipherChaCha.begin(), kCipherChaCha.end(), Data)) {
        H.Cipher = TKdbxCipher::ChaCha20;
      } else if (std::equal(kCipherTwofish.begin(), kCipherTwofish.end(), Data)) {
        Fail(SKdbxTwofish);
      } else {
        Fail(SKdbxUnsupported);
      }
      H.HaveCipher = true;
      return;
    case hfCompression:
      if (Size != 4 || Get32(Data) > 1) Fail(SKdbxUnsupported);
      H.Compressed = Get32(Data) == 1;
      H.HaveCompression = true;
      return;
    case hfMasterSeed:
      if (Size != 32) Fail(SKdbxDamaged);
      H.MasterSeed.assign(Data, Data + Size);
      return;
    case hfIV:
      H.IV.assign(Data, Data + Size);
      return;
    case hfKdfParameters:
      if (!v4) Fail(SKdbxDamaged);
      H.Kdf = ReadKdfParameters(Data, Size);
      H.HaveKdf = true;
      return;
    case hfPublicCustomData:
      if (!v4) Fail(SKdbxDamaged);
      ParseVariantDictionary(Data, Size); // checked now, carried as bytes
      H.PublicCustomData.assign(Data, Data + Size);
      return;
    case hfTransformSeed:
      if (v4 || Size != 32) Fail(SKdbxDamaged);
      H.Kdf.Kind = TKdbxKdf::AesKdf;
      H.Kdf.Salt.assign(Data, Data + Size);
      return;
    case hfTransformRounds:
      if (v4 || Size != 8) Fail(SKdbxDamaged);
      H.Kdf.Iterations = Get64(Data);
      if (H.Kdf.Iterations > kMaxAesRounds) Fail(SKdbxBadParameters);
      H.HaveRounds = true;
      return;
    case hfProtectedStreamKey:
      if (v4) Fail(SKdbxDamaged);
      H.ProtectedStreamKey = SecureBytes(ByteArray(Data, Data + Size));
      return;
    case hfStreamStartBytes:
      if (v4 || Size != 32) Fail(SKdbxDamaged);
      H.StreamStartBytes.assign(Data, Data + Size);
      return;
    case hfInnerStreamId:
      if (v4 || Size != 4) Fail(SKdbxDamaged);
      H.InnerStreamId = Get32(Data);
      return;
    default:
      return; // KeePass ignores fields it does not know; so do we
  }
}

TOuterHeader ReadOuterHeader(TCursor& In) {
  TOuterHeader h;
  if (In.U32() != KdbxSignature1 || In.U32() != KdbxSignature2) Fail(SKdbxUnsupported);
  h.Version = In.U32();
  const std::uint32_t major = h.Version >> 16;
  if (h.Version != KdbxVersion31 && major != 4) Fail(SKdbxUnsupported);
  if (major == 4 && (h.Version & 0xFFFF) > 1) Fail(SKdbxUnsupported);
  for (;;) {
    const std::uint8_t id = In.U8();
    const std::uint32_t size = major == 4 ? In.U32() : In.U16();
    if (size > KdbxMaxHeaderSize || In.Pos() + size > KdbxMaxHeaderSize) Fail(SKdbxTooLarge);
    const std::uint8_t* data = In.Take(size);
    if (id == hfEnd) break;
    ReadHeaderField(h, id, data, size);
  }
  h.Size = In.Pos();
  const bool v3Complete = major == 4 || (h.HaveRounds && h.Kdf.Salt.size() == 32 && h.StreamStartBytes.size() == 32);
  if (!h.HaveCipher || !h.HaveCompression || h.MasterSeed.empty() || (major == 4 && !h.HaveKdf) || !v3Complete) {
    Fail(SKdbxDamaged);
  }
  return h;
}

// ---- the inner header (KDBX 4) --------------------------------------------------------

// The payload as it is inflated: for version 4 the inner header first, each
// of its fields gathered whole, then the XML, which goes to the parser piece
// by piece and is never held whole.
class TPayloadReader {
public:
  // Version 3.1 has no inner header: its stream is given at once.
  TPayloadReader(TKdbxDocument& Doc, bool FoldEntries, bool Fast, std::unique_ptr<TInnerStream> Stream = nullptr)
      : FDoc(Doc), FFold(FoldEntries), FFast(Fast), FStream(std::move(Stream)) {
    if (FStream) FXml = std::make_unique<TKdbxXmlReader>(&TInnerStream::Apply, FStream.get(), FFold, FFast);
  }

  static void Sink(void* Self, const char* Data, std::size_t Size) {
    static_cast<TPayloadReader*>(Self)->Add(reinterpret_cast<const std::uint8_t*>(Data), Size);
  }

  void Add(const std::uint8_t* Data, std::size_t Size) {
    while (Size != 0) {
      if (FXml) {
        FXml->Feed(Data, Size);
        return;
      }
      std::size_t take;
      if (FHeadSize < sizeof(FHead)) {
        take = std::min(sizeof(FHead) - FHeadSize, Size);
        std::memcpy(FHead + FHeadSize, Data, take);
        FHeadSize += take;
        if (FHeadSize == sizeof(FHead)) FFieldSize = Get32(FHead + 1);
      } else {
        take = static_cast<std::size_t>(std::min<std::uint64_t>(FFieldSize - FField.size(), Size));
        Reserve(FField, take);
        FField.Get().insert(FField.Get().end(), Data, Data + take);
      }
      Data += take;
      Size -= take;
      if (FHeadSize == sizeof(FHead) && FField.size() == FFieldSize) Field();
    }
  }

  TXmlNode Finish() {
    if (!FXml) Fail(SKdbxDamaged); // the inner header was cut short
    return FXml->Finish();
  }

private:
  void Field() {
    const std::uint8_t* data = FField.data();
    const std::size_t size = FField.size();
    switch (FHead[0]) {
      case ihEnd:
        if (FStreamKey.size() == 0) Fail(SKdbxDamaged);
        FStream = std::make_unique<TInnerStream>(FStreamId, FStreamKey.data(), FStreamKey.size());
        FXml = std::make_unique<TKdbxXmlReader>(&TInnerStream::Apply, FStream.get(), FFold, FFast);
        break;
      case ihStreamId:
        if (size != 4) Fail(SKdbxDamaged);
        FStreamId = Get32(data);
        break;
      case ihStreamKey:
        if (size == 0) Fail(SKdbxDamaged);
        FStreamKey.Get().assign(data, data + size);
        break;
      case ihBinary: {
        if (size == 0) Fail(SKdbxDamaged);
        TKdbxBinary& bin = FDoc.Binaries.emplace_back();
        bin.Protected = (data[0] & 1) != 0;
        bin.Data = std::make_shared<const SecureBytes>(ByteArray(data + 1, data + size));
        break;
      }
      default:
        break;
    }
    FField = SecureBytes();
    FHeadSize = 0;
    FFieldSize = 0;
  }

  TKdbxDocument& FDoc;
  bool FFold;
  bool FFast;
  std::uint8_t FHead[5] = {};
  std::size_t FHeadSize = 0;
  std::uint64_t FFieldSize = 0;
  SecureBytes FField;
  std::uint32_t FStreamId = 0;
  SecureBytes FStreamKey;
  std::unique_ptr<TInnerStream> FStream;
  std::unique_ptr<TKdbxXmlReader> FXml;
};

// Hands the payload to Reader, inflating it where the file says so.
TXmlNode ReadPayload(const SecureBytes& Payload, bool Compressed, std::uint64_t& Budget, TPayloadReader& Reader) {
  if (Compressed) {
    KdbxGunzipPieces(Payload.data(), Payload.size(), Budget, &TPayloadReader::Sink, &Reader);
  } else {
    Reader.Add(Payload.data(), Payload.size());
  }
  return Reader.Finish();
}

// The payload read into Doc with the fast XML scanner, and read again from
// the start with expat where the scanner gives up. Stream makes the inner
// stream afresh for each reading (version 3.1; version 4 keys it in the
// payload). Returns what the inflating budget has left.
template <class TMakeStream>
std::uint64_t ReadDocument(TKdbxDocument& Doc, const SecureBytes& Payload, bool Compressed, bool FoldEntries,
                           TMakeStream Stream) {
  for (const bool fast : {true, false}) {
    std::uint64_t budget = KdbxMaxInflated;
    try {
      TPayloadReader reader(Doc, FoldEntries, fast, Stream());
      Doc.Root = ReadPayload(Payload, Compressed, budget, reader);
      return budget;
    } catch (const EKdbxXmlForExpat&) {
      Doc = TKdbxDocument(); // the attachments the first reading took
    }
  }
  Fail(SKdbxDamaged); // not reached: expat decides
}

// ---- KDBX 3.1 --------------------------------------------------------------------------

// The hashed block stream of version 3.1: index, SHA-256 of the data, size.
SecureBytes ReadHashedBlocks(const std::uint8_t* Data, std::size_t Size) {
  TCursor in(Data, Size);
  SecureBytes out;
  out.Get().reserve(Size); // never grown: a reallocation would leave plain text behind
  for (std::uint32_t expected = 0;; ++expected) {
    if (in.U32() != expected) Fail(SKdbxDamaged);
    const std::uint8_t* hash = in.Take(32);
    const std::uint32_t size = in.U32();
    if (size > KdbxMaxBlockSize) Fail(SKdbxTooLarge);
    const std::uint8_t* block = in.Take(size);
    if (size == 0) {
      for (int i = 0; i < 32; ++i) {
        if (hash[i] != 0) Fail(SKdbxDamaged);
      }
      return out;
    }
    std::uint8_t actual[32];
    Sha256(block, size, nullptr, 0, actual);
    if (std::memcmp(actual, hash, 32) != 0) Fail(SKdbxDamaged);
    out.Get().insert(out.Get().end(), block, block + size);
  }
}

// Version 3.1 authenticates its outer header only through Meta/HeaderHash,
// base64 of the header's SHA-256 inside the enciphered XML: without this
// check a changed header byte (the inner stream key, say) would open with
// every protected value garbled. A file without the element (older writers)
// is accepted, as other readers do.
void CheckHeaderHash(const TXmlNode& Root, const std::uint8_t* Header, std::size_t Size) {
  const TXmlNode* meta = Root.Find("Meta");
  const TXmlNode* stored = meta != nullptr ? meta->Find("HeaderHash") : nullptr;
  if (stored == nullptr || stored->Text.empty()) return;
  std::string expected;
  if (!Base64Decode(stored->Text, expected) || expected.size() != 32) Fail(SKdbxDamaged);
  std::uint8_t actual[32];
  Sha256(Header, Size, nullptr, 0, actual);
  if (std::memcmp(actual, expected.data(), 32) != 0) Fail(SKdbxDamaged);
}

TKdbxDocument ReadVersion3(TCursor& In, const TOuterHeader& H, const TFileKeys& Keys, const std::uint8_t* Header,
                           bool FoldEntries) {
  ByteArray cipher(In.Here(), In.Here() + In.Left());
  const SecureBytes plain = Decipher(H.Cipher, Keys.Cipher, H.IV, cipher, SKdbxWrongKey);
  if (plain.size() < 32 || !ConstantTimeEqual(plain.data(), H.StreamStartBytes.data(), 32)) Fail(SKdbxWrongKey);
  const SecureBytes payload = ReadHashedBlocks(plain.data() + 32, plain.size() - 32);
  TKdbxDocument doc;
  std::uint64_t budget = ReadDocument(doc, payload, H.Compressed, FoldEntries, [&] {
    return std::make_unique<TInnerStream>(H.InnerStreamId, H.ProtectedStreamKey.data(), H.ProtectedStreamKey.size());
  });
  if (doc.Root.Name != "KeePassFile") Fail(SKdbxDamaged);
  CheckHeaderHash(doc.Root, Header, H.Size);
  UpgradeVersion3(doc, budget);
  return doc;
}

} // namespace

// ---- composite key --------------------------------------------------------------------

void TKdbxCompositeKey::AddPassword(const String& Password) {
  RawByteString utf8 = StrToUTF8Strict(Password);
  FPassword = SecureBytes(32);
  Sha256(utf8.data(), utf8.size(), nullptr, 0, FPassword.data());
  WipeRawBytes(utf8);
  FParts.push_back(0);
}

void TKdbxCompositeKey::AddKeyFile(const ByteArray& Contents) {
  FKeyFile.Get() = KdbxKeyFileKey(Contents).Get();
  FParts.push_back(1);
}

SecureBytes TKdbxCompositeKey::Hash() const {
  SecureBytes joined;
  joined.Get().reserve(64); // never reallocated: a moved-from block would keep the password's hash unwiped
  if (FPassword.size() != 0) joined.Get().insert(joined.Get().end(), FPassword.data(), FPassword.data() + 32);
  if (FKeyFile.size() != 0) joined.Get().insert(joined.Get().end(), FKeyFile.data(), FKeyFile.data() + 32);
  SecureBytes out(32);
  Sha256(joined.data(), joined.size(), nullptr, 0, out.data());
  return out;
}

bool IsKdbxSignature(const std::uint8_t* Head, std::size_t Size) noexcept {
  return Size >= 8 && Get32(Head) == KdbxSignature1 && Get32(Head + 4) == KdbxSignature2;
}

// ---- reading ---------------------------------------------------------------------------

namespace {

TKdbxSettings SettingsOf(const TOuterHeader& H) {
  TKdbxSettings s;
  s.Version = H.Version;
  s.Cipher = H.Cipher;
  s.Compressed = H.Compressed;
  s.Kdf = H.Kdf.Kind;
  s.Iterations = H.Kdf.Iterations;
  s.MemoryBytes = 0;
  s.Parallelism = 0;
  if (H.Kdf.Kind != TKdbxKdf::AesKdf) {
    s.MemoryBytes = H.Kdf.MemoryBytes;
    s.Parallelism = H.Kdf.Parallelism;
    s.Argon2Version = H.Kdf.Version;
  }
  return s;
}

} // namespace

TKdbxSettings ReadKdbxHeader(const ByteArray& Head, std::uint32_t& Version) {
  TCursor in(Head.data(), Head.size());
  const TOuterHeader h = ReadOuterHeader(in);
  if (h.Version >= KdbxVersion40) {
    std::uint8_t hash[32];
    Sha256(Head.data(), h.Size, nullptr, 0, hash);
    if (std::memcmp(hash, in.Take(sizeof(hash)), sizeof(hash)) != 0) Fail(SKdbxDamaged);
  }
  Version = h.Version;
  return SettingsOf(h);
}

std::uint64_t KdbxDerivationCount() noexcept { return gDerivations.load(std::memory_order_relaxed); }

std::uint64_t KdbxKdfCost(TKdbxKdf Kind, std::uint64_t Iterations, std::uint64_t MemoryBytes) noexcept {
  auto product = [](std::uint64_t A, std::uint64_t B) {
    return A != 0 && B > ~std::uint64_t{0} / A ? ~std::uint64_t{0} : A * B;
  };
  if (Kind == TKdbxKdf::AesKdf) return (Iterations + KLKdbxAesRoundsPerCostUnit - 1) / KLKdbxAesRoundsPerCostUnit;
  const std::uint64_t mebibytes = MemoryBytes / (1024 * 1024) + (MemoryBytes % (1024 * 1024) != 0 ? 1 : 0);
  return product(mebibytes, Iterations);
}

TKdbxDocument ReadKdbx(TStream& Strm, const TKdbxCompositeKey& Key, std::uint64_t CostLimit, bool FoldEntries) {
  const ByteArray file = ReadAll(Strm);
  TCursor in(file.data(), file.size());
  TOuterHeader h = ReadOuterHeader(in);
  // Version 4's plain header hash tells damage from a wrong key, and is checked
  // before the key derivation so that a damaged file costs no memory-hard work.
  if (h.Version != KdbxVersion31) {
    std::uint8_t hash[32];
    Sha256(file.data(), h.Size, nullptr, 0, hash);
    if (std::memcmp(hash, in.Take(32), 32) != 0) Fail(SKdbxDamaged);
  }
  CheckKdfCost(h.Kdf, CostLimit);
  SecureBytes transformed = Transform(Key, h.Kdf);
  const TFileKeys keys = FileKeys(h.MasterSeed, transformed);
  TKdbxDocument doc;
  if (h.Version == KdbxVersion31) {
    doc = ReadVersion3(in, h, keys, file.data(), FoldEntries);
  } else {
    // The MAC proves the key.
    const auto mac = HeaderMac(keys, file.data(), h.Size);
    if (!ConstantTimeEqual(mac.data(), in.Take(32), 32)) Fail(SKdbxWrongKey);
    const ByteArray cipher = ReadHmacBlocks(in, keys);
    const SecureBytes payload = Decipher(h.Cipher, keys.Cipher, h.IV, cipher, SKdbxDamaged);
    ReadDocument(doc, payload, h.Compressed, FoldEntries, [] { return std::unique_ptr<TInnerStream>(); });
    if (doc.Root.Name != "KeePassFile") Fail(SKdbxDamaged);
    doc.PublicCustomData = h.PublicCustomData;
  }
  doc.LoadedVersion = h.Version;
  TKdbxSettings& s = doc.Settings;
  s.Version = h.Version == KdbxVersion31 ? KdbxVersion40 : h.Version;
  s.Cipher = h.Cipher;
  s.Compressed = h.Compressed;
  s.Kdf = h.Kdf.Kind;
  s.Iterations = h.Kdf.Iterations;
  if (h.Kdf.Kind != TKdbxKdf::AesKdf) {
    s.MemoryBytes = h.Kdf.MemoryBytes;
    s.Parallelism = h.Kdf.Parallelism;
    s.Argon2Version = h.Kdf.Version;
  }
  return doc;
}

// ---- writing ---------------------------------------------------------------------------

namespace {

void PutField(ByteArray& Out, std::uint8_t Id, const void* Data, std::size_t Size) {
  Out.push_back(Id);
  Put32(Out, static_cast<std::uint32_t>(Size));
  PutBytes(Out, Data, Size);
}

ByteArray Random(TKLBaseRandomGenerator& Gen, std::size_t Size) {
  ByteArray out(Size);
  Gen.Generate(out.data(), static_cast<std::int32_t>(Size));
  return out;
}

} // namespace

namespace {

// The outer header, then the blocks of Packed (inner header and XML, gzipped
// when S says so) enciphered.
void WriteContainer(TStream& Strm, const TKdbxSettings& s, const ByteArray& PublicCustomData,
                    const TKdbxCompositeKey& Key, TKLBaseRandomGenerator& Random, const SecureBytes& Packed) {
  const ByteArray seed = detail::Random(Random, 32);
  const ByteArray iv = detail::Random(Random, s.Cipher == TKdbxCipher::ChaCha20 ? 12 : 16);
  const ByteArray salt = detail::Random(Random, 32);

  ByteArray file;
  Put32(file, KdbxSignature1);
  Put32(file, KdbxSignature2);
  Put32(file, s.Version >= KdbxVersion40 ? s.Version : KdbxVersion40);
  const TUuid& cipher = s.Cipher == TKdbxCipher::ChaCha20 ? kCipherChaCha : kCipherAes;
  PutField(file, hfCipher, cipher.data(), 16);
  ByteArray compression;
  Put32(compression, s.Compressed ? 1 : 0);
  PutField(file, hfCompression, compression.data(), 4);
  PutField(file, hfMasterSeed, seed.data(), seed.size());
  PutField(file, hfIV, iv.data(), iv.size());
  const ByteArray kdf = WriteKdfParameters(s, salt);
  PutField(file, hfKdfParameters, kdf.data(), kdf.size());
  if (!PublicCustomData.empty()) {
    PutField(file, hfPublicCustomData, PublicCustomData.data(), PublicCustomData.size());
  }
  PutField(file, hfEnd, "\r\n\r\n", 4);
  const std::size_t headerSize = file.size();

  // Checked as a load would check them, so that nothing is written that
  // could not be opened again.
  TKdfInput input = ReadKdfParameters(kdf.data(), kdf.size());
  SecureBytes transformed = Transform(Key, input);
  const TFileKeys keys = FileKeys(seed, transformed);
  std::uint8_t hash[32];
  Sha256(file.data(), headerSize, nullptr, 0, hash);
  PutBytes(file, hash, 32);
  const auto mac = HeaderMac(keys, file.data(), headerSize);
  PutBytes(file, mac.data(), 32);
  const ByteArray enciphered = Encipher(s.Cipher, keys.Cipher, iv, Packed.Get());
  WriteHmacBlocks(file, keys, enciphered);
  Strm.WriteBuffer(file.data(), static_cast<std::int32_t>(file.size()));
}

} // namespace

void WriteKdbx(TStream& Strm, const TKdbxDocument& Doc, const TKdbxCompositeKey& Key, TKLBaseRandomGenerator& Random) {
  const TKdbxSettings& s = Doc.Settings;
  SecureBytes streamKey(detail::Random(Random, 64));
  // Sized at once: growing would leave the stream key and attachments in the
  // blocks it frees.
  SecureBytes inner;
  ByteArray& p = inner.Get();
  std::size_t innerSize = 5 + 4 + 5 + streamKey.size() + 5;
  for (const TKdbxBinary& bin : Doc.Binaries) innerSize += 5 + 1 + bin.Data->size();
  p.reserve(innerSize);
  const std::uint8_t streamId[4] = {isChaCha20, 0, 0, 0};
  PutField(p, ihStreamId, streamId, 4);
  PutField(p, ihStreamKey, streamKey.data(), streamKey.size());
  for (const TKdbxBinary& bin : Doc.Binaries) {
    p.push_back(ihBinary);
    Put32(p, static_cast<std::uint32_t>(bin.Data->size() + 1));
    p.push_back(bin.Protected ? 1 : 0);
    PutBytes(p, bin.Data->data(), bin.Data->size());
  }
  PutField(p, ihEnd, nullptr, 0);
  // The XML goes to gzip as it is written.
  SecureBytes packed;
  {
    TPayloadPacker packer(s.Compressed, packed);
    packer.Add(p.data(), p.size());
    TInnerStream stream(isChaCha20, streamKey.data(), streamKey.size());
    WriteKdbxXml(Doc.Root, &TInnerStream::Apply, &stream, &TPayloadPacker::Sink, &packer);
    packer.Finish();
  }
  WriteContainer(Strm, s, Doc.PublicCustomData, Key, Random, packed);
}

void WriteKdbxPayload(TStream& Strm, const TKdbxSettings& Settings, const TKdbxCompositeKey& Key,
                      TKLBaseRandomGenerator& Random, const std::uint8_t* Payload, std::size_t Size) {
  SecureBytes packed;
  {
    TPayloadPacker pack(Settings.Compressed, packed);
    pack.Add(Payload, Size);
    pack.Finish();
  }
  WriteContainer(Strm, Settings, {}, Key, Random, packed);
}

} // namespace kl::detail

// ---- key files ---------------------------------------------------------------------------

namespace kl::detail {

namespace {

bool HexDecode(std::string_view Text, ByteArray& Out) {
  Out.clear();
  int high = -1;
  for (const char c : Text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return false;
    if (high < 0) {
      high = v;
    } else {
      Out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return high < 0;
}

// The key of an XML key file, or false when the file is not one (any other
// file is then hashed whole). A file that says it is one but is malformed is
// refused: hashing it would silently make a different key.
bool XmlKeyFileKey(const ByteArray& Contents, SecureBytes& Key) {
  TXmlNode root;
  try {
    root = ParseKdbxXml(Contents.data(), Contents.size(), nullptr, nullptr);
  } catch (const EKLPassStorageException&) {
    return false;
  }
  if (root.Name != "KeyFile") return false;
  const TXmlNode* meta = root.Find("Meta");
  const TXmlNode* version = meta != nullptr ? meta->Find("Version") : nullptr;
  const TXmlNode* keyNode = root.Find("Key");
  const TXmlNode* data = keyNode != nullptr ? keyNode->Find("Data") : nullptr;
  if (version == nullptr || data == nullptr) throw EKLPassStorageException(SKdbxKeyFile);
  const std::string& v = version->Text;
  if (v == "1.0" || v == "1.00") {
    std::string raw;
    if (!Base64Decode(data->Text, raw) || raw.size() != 32) throw EKLPassStorageException(SKdbxKeyFile);
    Key.Get().assign(raw.begin(), raw.end());
    SecureZero(raw.data(), raw.size());
    return true;
  }
  if (v == "2.0" || v == "2.00") {
    if (!HexDecode(data->Text, Key.Get()) || Key.size() != 32) throw EKLPassStorageException(SKdbxKeyFile);
    // The check hash: the first four bytes of the key's SHA-256, in hex.
    if (const std::string* hash = data->Attribute("Hash")) {
      ByteArray expected;
      std::uint8_t digest[32];
      Sha256(Key.data(), Key.size(), nullptr, 0, digest);
      if (!HexDecode(*hash, expected) || expected.size() != 4 || std::memcmp(expected.data(), digest, 4) != 0) {
        throw EKLPassStorageException(SKdbxKeyFile);
      }
    }
    return true;
  }
  throw EKLPassStorageException(SKdbxKeyFile);
}

} // namespace

SecureBytes KdbxKeyFileKey(const ByteArray& Contents) {
  if (Contents.size() > KdbxMaxKeyFileSize) throw EKLPassStorageException(SKdbxKeyFile);
  SecureBytes key;
  if (XmlKeyFileKey(Contents, key)) return key;
  if (Contents.size() == 32) {
    key.Get() = Contents;
    return key;
  }
  if (Contents.size() == 64 && HexDecode(std::string_view(reinterpret_cast<const char*>(Contents.data()), 64),
                                         key.Get())) {
    return key;
  }
  key = SecureBytes(32);
  Sha256(Contents.data(), Contents.size(), nullptr, 0, key.data());
  return key;
}

} // namespace kl::detail
