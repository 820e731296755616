#include "crypto/KLAES.h"

#include <array>
#include <bit>
#include <cstring>

#include "crypto/CryptoImplementations.h"

// The portable AES-256: table-driven, all rounds written out. Each full round
// computes an output column from four lookups in one 256-word table, rotated into
// place per row. The lookups depend on key and data, so this path is open to
// cache-timing attacks; the hardware path is preferred wherever it exists.

namespace kl {

EKLAESError::~EKLAESError() = default;

namespace {

// Round keys and state words are little-endian views of the bytes in memory order.
static_assert(std::endian::native == std::endian::little, "the expanded-key layout assumes a little-endian host");

// The round helpers must be inlined into the unrolled cipher so that the state
// stays in registers; left to itself the compiler calls them.
#define KL_ROUND_INLINE __attribute__((always_inline)) inline

constexpr std::uint8_t XTime(std::uint8_t x) { return static_cast<std::uint8_t>((x << 1) ^ ((x >> 7) * 0x1B)); }

// Multiplication in GF(2^8); no branch on the operands.
constexpr std::uint8_t GMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (int i = 0; i < 8; ++i) {
    product = static_cast<std::uint8_t>(product ^ (a & -(b & 1)));
    a = XTime(a);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

struct SBoxes {
  std::array<std::uint8_t, 256> Forward{};
  std::array<std::uint8_t, 256> Inverse{};
};

// The S-box from its definition: the multiplicative inverse (via powers of the
// generator 3) followed by the affine map.
constexpr SBoxes MakeSBoxes() {
  std::array<std::uint8_t, 256> power{}, log{};
  std::uint8_t p = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = p;
    log[p] = static_cast<std::uint8_t>(i);
    p = static_cast<std::uint8_t>(p ^ XTime(p));
  }
  SBoxes boxes;
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t inv = x == 0 ? 0 : power[(255 - log[x]) % 255];
    const std::uint8_t s = static_cast<std::uint8_t>(inv ^ std::rotl(inv, 1) ^ std::rotl(inv, 2) ^ std::rotl(inv, 3) ^
                                                     std::rotl(inv, 4) ^ 0x63);
    boxes.Forward[x] = s;
    boxes.Inverse[s] = static_cast<std::uint8_t>(x);
  }
  return boxes;
}

constexpr SBoxes kBoxes = MakeSBoxes();

constexpr std::uint32_t Word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return static_cast<std::uint32_t>(b0) | static_cast<std::uint32_t>(b1) << 8 | static_cast<std::uint32_t>(b2) << 16 |
         static_cast<std::uint32_t>(b3) << 24;
}

using Table = std::array<std::uint32_t, 256>;

// SubBytes and MixColumns for a byte in row 0: the column (2s, s, s, 3s).
constexpr Table MakeForwardTable() {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t s = kBoxes.Forward[x];
    t[x] = Word(GMul(s, 2), s, s, GMul(s, 3));
  }
  return t;
}

// InvSubBytes and InvMixColumns for a byte in row 0: the column (14s, 9s, 13s, 11s).
constexpr Table MakeInverseTable() {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t s = kBoxes.Inverse[x];
    t[x] = Word(GMul(s, 14), GMul(s, 9), GMul(s, 13), GMul(s, 11));
  }
  return t;
}

constexpr Table Widen(const std::array<std::uint8_t, 256>& Box) {
  Table t{};
  for (int x = 0; x < 256; ++x) t[x] = Box[x];
  return t;
}

alignas(64) constexpr Table kForward = MakeForwardTable();
alignas(64) constexpr Table kInverse = MakeInverseTable();
alignas(64) constexpr Table kSBox = Widen(kBoxes.Forward);
alignas(64) constexpr Table kInvSBox = Widen(kBoxes.Inverse);

constexpr std::uint8_t kRoundConstants[7] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

inline std::uint32_t Load32(const std::uint8_t* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

inline void Store32(std::uint8_t* p, std::uint32_t w) noexcept { std::memcpy(p, &w, 4); }

KL_ROUND_INLINE std::uint32_t Byte(std::uint32_t w, int n) noexcept { return (w >> (8 * n)) & 0xFF; }

std::uint32_t SubWord(std::uint32_t w) noexcept {
  return kSBox[Byte(w, 0)] | kSBox[Byte(w, 1)] << 8 | kSBox[Byte(w, 2)] << 16 | kSBox[Byte(w, 3)] << 24;
}

std::uint32_t InvMixColumn(std::uint32_t w) noexcept {
  const auto a0 = static_cast<std::uint8_t>(Byte(w, 0)), a1 = static_cast<std::uint8_t>(Byte(w, 1));
  const auto a2 = static_cast<std::uint8_t>(Byte(w, 2)), a3 = static_cast<std::uint8_t>(Byte(w, 3));
  return Word(GMul(a0, 14) ^ GMul(a1, 11) ^ GMul(a2, 13) ^ GMul(a3, 9),
              GMul(a0, 9) ^ GMul(a1, 14) ^ GMul(a2, 11) ^ GMul(a3, 13),
              GMul(a0, 13) ^ GMul(a1, 9) ^ GMul(a2, 14) ^ GMul(a3, 11),
              GMul(a0, 11) ^ GMul(a1, 13) ^ GMul(a2, 9) ^ GMul(a3, 14));
}

__attribute__((noinline)) void PortableInitialize(const std::uint8_t* Key, TAESExpandedKey256& ExpandedKey,
                                                  bool Decrypt) {
  std::uint32_t* w = ExpandedKey.data();
  for (int i = 0; i < 8; ++i) w[i] = Load32(Key + 4 * i);
  for (int i = 8; i < 60; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % 8 == 0) {
      t = SubWord(std::rotr(t, 8)) ^ kRoundConstants[i / 8 - 1];
    } else if (i % 8 == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - 8] ^ t;
  }
  for (int i = 60; i < 64; ++i) w[i] = 0;
  if (Decrypt) {
    for (int i = 4; i < 56; ++i) w[i] = InvMixColumn(w[i]);
  }
}

// Output column of a full encryption round: row r comes from input column c + r.
KL_ROUND_INLINE std::uint32_t EncColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                                        std::uint32_t k) noexcept {
  return kForward[Byte(a, 0)] ^ std::rotl(kForward[Byte(b, 1)], 8) ^ std::rotl(kForward[Byte(c, 2)], 16) ^
         std::rotl(kForward[Byte(d, 3)], 24) ^ k;
}

KL_ROUND_INLINE std::uint32_t EncLastColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                                            std::uint32_t k) noexcept {
  return (kSBox[Byte(a, 0)] | kSBox[Byte(b, 1)] << 8 | kSBox[Byte(c, 2)] << 16 | kSBox[Byte(d, 3)] << 24) ^ k;
}

// Output column of a full decryption round: row r comes from input column c - r.
KL_ROUND_INLINE std::uint32_t DecColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                                        std::uint32_t k) noexcept {
  return kInverse[Byte(a, 0)] ^ std::rotl(kInverse[Byte(b, 1)], 8) ^ std::rotl(kInverse[Byte(c, 2)], 16) ^
         std::rotl(kInverse[Byte(d, 3)], 24) ^ k;
}

KL_ROUND_INLINE std::uint32_t DecLastColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                                            std::uint32_t k) noexcept {
  return (kInvSBox[Byte(a, 0)] | kInvSBox[Byte(b, 1)] << 8 | kInvSBox[Byte(c, 2)] << 16 | kInvSBox[Byte(d, 3)] << 24) ^
         k;
}

struct State {
  std::uint32_t s0, s1, s2, s3;
};

KL_ROUND_INLINE void EncRound(State& s, const std::uint32_t* k) noexcept {
  const State t{EncColumn(s.s0, s.s1, s.s2, s.s3, k[0]), EncColumn(s.s1, s.s2, s.s3, s.s0, k[1]),
                EncColumn(s.s2, s.s3, s.s0, s.s1, k[2]), EncColumn(s.s3, s.s0, s.s1, s.s2, k[3])};
  s = t;
}

KL_ROUND_INLINE void DecRound(State& s, const std::uint32_t* k) noexcept {
  const State t{DecColumn(s.s0, s.s3, s.s2, s.s1, k[0]), DecColumn(s.s1, s.s0, s.s3, s.s2, k[1]),
                DecColumn(s.s2, s.s1, s.s0, s.s3, k[2]), DecColumn(s.s3, s.s2, s.s1, s.s0, k[3])};
  s = t;
}

KL_ROUND_INLINE State EncryptState(State s, const std::uint32_t* k) noexcept {
  s.s0 ^= k[0];
  s.s1 ^= k[1];
  s.s2 ^= k[2];
  s.s3 ^= k[3];
  EncRound(s, k + 4);
  EncRound(s, k + 8);
  EncRound(s, k + 12);
  EncRound(s, k + 16);
  EncRound(s, k + 20);
  EncRound(s, k + 24);
  EncRound(s, k + 28);
  EncRound(s, k + 32);
  EncRound(s, k + 36);
  EncRound(s, k + 40);
  EncRound(s, k + 44);
  EncRound(s, k + 48);
  EncRound(s, k + 52);
  return State{EncLastColumn(s.s0, s.s1, s.s2, s.s3, k[56]), EncLastColumn(s.s1, s.s2, s.s3, s.s0, k[57]),
               EncLastColumn(s.s2, s.s3, s.s0, s.s1, k[58]), EncLastColumn(s.s3, s.s0, s.s1, s.s2, k[59])};
}

KL_ROUND_INLINE State DecryptState(State s, const std::uint32_t* k) noexcept {
  s.s0 ^= k[56];
  s.s1 ^= k[57];
  s.s2 ^= k[58];
  s.s3 ^= k[59];
  DecRound(s, k + 52);
  DecRound(s, k + 48);
  DecRound(s, k + 44);
  DecRound(s, k + 40);
  DecRound(s, k + 36);
  DecRound(s, k + 32);
  DecRound(s, k + 28);
  DecRound(s, k + 24);
  DecRound(s, k + 20);
  DecRound(s, k + 16);
  DecRound(s, k + 12);
  DecRound(s, k + 8);
  DecRound(s, k + 4);
  return State{DecLastColumn(s.s0, s.s3, s.s2, s.s1, k[0]), DecLastColumn(s.s1, s.s0, s.s3, s.s2, k[1]),
               DecLastColumn(s.s2, s.s1, s.s0, s.s3, k[2]), DecLastColumn(s.s3, s.s2, s.s1, s.s0, k[3])};
}

inline State LoadState(const std::uint8_t* p) noexcept {
  return State{Load32(p), Load32(p + 4), Load32(p + 8), Load32(p + 12)};
}

inline void StoreState(std::uint8_t* p, const State& s) noexcept {
  Store32(p, s.s0);
  Store32(p + 4, s.s1);
  Store32(p + 8, s.s2);
  Store32(p + 12, s.s3);
}

__attribute__((noinline)) void PortableEncrypt(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey,
                                               std::uint8_t* Out) {
  StoreState(Out, EncryptState(LoadState(In), ExpandedKey.data()));
}

__attribute__((noinline)) void PortableDecrypt(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey,
                                               std::uint8_t* Out) {
  StoreState(Out, DecryptState(LoadState(In), ExpandedKey.data()));
}

__attribute__((noinline)) void PortableEncryptCBC(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector,
                                                  const std::uint8_t* In, std::uint8_t* Out, std::size_t Blocks) {
  State v = LoadState(Vector);
  for (std::size_t i = 0; i < Blocks; ++i, In += AESBlockSize, Out += AESBlockSize) {
    const State p = LoadState(In);
    v = EncryptState(State{p.s0 ^ v.s0, p.s1 ^ v.s1, p.s2 ^ v.s2, p.s3 ^ v.s3}, ExpandedKey.data());
    StoreState(Out, v);
  }
  StoreState(Vector, v);
}

__attribute__((noinline)) void PortableDecryptCBC(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector,
                                                  const std::uint8_t* In, std::uint8_t* Out, std::size_t Blocks) {
  State v = LoadState(Vector);
  for (std::size_t i = 0; i < Blocks; ++i, In += AESBlockSize, Out += AESBlockSize) {
    const State c = LoadState(In); // read before Out, which may be the same block, is written
    const State p = DecryptState(c, ExpandedKey.data());
    StoreState(Out, State{p.s0 ^ v.s0, p.s1 ^ v.s1, p.s2 ^ v.s2, p.s3 ^ v.s3});
    v = c;
  }
  StoreState(Vector, v);
}

__attribute__((noinline)) void PortableEncryptBlocks(const TAESExpandedKey256& ExpandedKey, const std::uint8_t* In,
                                                     std::uint8_t* Out, std::size_t Blocks) {
  for (std::size_t i = 0; i < Blocks; ++i, In += AESBlockSize, Out += AESBlockSize) {
    StoreState(Out, EncryptState(LoadState(In), ExpandedKey.data()));
  }
}

constexpr detail::TAESImplementation kPortable = {"portable",
                                                  detail::Burned<PortableInitialize>,
                                                  detail::Cleared<PortableEncrypt>,
                                                  detail::Cleared<PortableDecrypt>,
                                                  detail::Burned<PortableEncryptCBC>,
                                                  detail::Burned<PortableDecryptCBC>,
                                                  detail::Burned<PortableEncryptBlocks>};

} // namespace

namespace detail {

const TAESImplementation& PortableAES() noexcept { return kPortable; }

const TAESImplementation& ActiveAES() noexcept {
  static const TAESImplementation& active = AESNIImplementation() ? *AESNIImplementation() : kPortable;
  return active;
}

std::vector<const TAESImplementation*> AvailableAESImplementations() {
  std::vector<const TAESImplementation*> all{&kPortable};
  if (const TAESImplementation* hw = AESNIImplementation()) all.push_back(hw);
  return all;
}

} // namespace detail

void AESInitialize(const std::uint8_t* Key, TAESExpandedKey256& ExpandedKey, bool Decrypt) {
  detail::ActiveAES().Initialize(Key, ExpandedKey, Decrypt);
}

void AESEncrypt(const std::uint8_t* InBuf, const TAESExpandedKey256& ExpandedKey, std::uint8_t* OutBuf) {
  detail::ActiveAES().Encrypt(InBuf, ExpandedKey, OutBuf);
}

void AESDecrypt(const std::uint8_t* InBuf, const TAESExpandedKey256& ExpandedKey, std::uint8_t* OutBuf) {
  detail::ActiveAES().Decrypt(InBuf, ExpandedKey, OutBuf);
}

} // namespace kl
