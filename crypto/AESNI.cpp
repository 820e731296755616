#include "crypto/CpuFeatures.h"
#include "crypto/CryptoImplementations.h"
#include "foundation/SecureMemory.h"

// AES-256 with the AES-NI instructions. The expanded key has the same layout as
// the portable path's (round key r is words 4r to 4r + 3, bytes in memory order),
// which is exactly what the instructions take, so keys made by either path work
// with the other. No table lookups: timing does not depend on key or data.

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define KL_TARGET_AESNI __attribute__((target("aes,sse4.1"), noinline))
#define KL_INLINE_AESNI __attribute__((target("aes,sse4.1"), always_inline)) inline

namespace kl::detail {

namespace {

constexpr int kRounds = 14;

// Decryption works on groups of this many independent blocks, so that the
// pipelined AES units stay busy.
constexpr std::size_t kParallel = 8;

// The fixed-count loops below are unrolled so that blocks and round keys live in
// registers; without it the compiler keeps the block array in memory.

KL_INLINE_AESNI __m128i RoundKey(const TAESExpandedKey256& Key, int Round) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(Key.data() + 4 * Round));
}

KL_INLINE_AESNI void StoreRoundKey(TAESExpandedKey256& Key, int Round, __m128i Value) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(Key.data() + 4 * Round), Value);
}

KL_INLINE_AESNI __m128i Load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

KL_INLINE_AESNI void Store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The even round key of a step: each word XOR all the words before it in the
// previous even key, then XOR RotWord(SubWord(last word of the odd key)) ^ rcon,
// which the assist instruction leaves in its top word.
KL_INLINE_AESNI __m128i NextEven(__m128i Even, __m128i Assist) {
  Assist = _mm_shuffle_epi32(Assist, 0xFF);
  Even = _mm_xor_si128(Even, _mm_slli_si128(Even, 4));
  Even = _mm_xor_si128(Even, _mm_slli_si128(Even, 8));
  return _mm_xor_si128(Even, Assist);
}

// The odd round key: the same prefix XOR with SubWord(last word of the new even
// key), without rotation or round constant (word 2 of the assist result).
KL_INLINE_AESNI __m128i NextOdd(__m128i Odd, __m128i Even) {
  const __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(Even, 0), 0xAA);
  Odd = _mm_xor_si128(Odd, _mm_slli_si128(Odd, 4));
  Odd = _mm_xor_si128(Odd, _mm_slli_si128(Odd, 8));
  return _mm_xor_si128(Odd, assist);
}

template <int RoundConstant>
KL_INLINE_AESNI __m128i Step(__m128i Even, __m128i Odd) {
  return NextEven(Even, _mm_aeskeygenassist_si128(Odd, RoundConstant));
}

KL_TARGET_AESNI void Initialize(const std::uint8_t* Key, TAESExpandedKey256& ExpandedKey, bool Decrypt) {
  __m128i k[kRounds + 1];
  k[0] = Load(Key);
  k[1] = Load(Key + 16);
  k[2] = Step<0x01>(k[0], k[1]);
  k[3] = NextOdd(k[1], k[2]);
  k[4] = Step<0x02>(k[2], k[3]);
  k[5] = NextOdd(k[3], k[4]);
  k[6] = Step<0x04>(k[4], k[5]);
  k[7] = NextOdd(k[5], k[6]);
  k[8] = Step<0x08>(k[6], k[7]);
  k[9] = NextOdd(k[7], k[8]);
  k[10] = Step<0x10>(k[8], k[9]);
  k[11] = NextOdd(k[9], k[10]);
  k[12] = Step<0x20>(k[10], k[11]);
  k[13] = NextOdd(k[11], k[12]);
  k[14] = Step<0x40>(k[12], k[13]);
#pragma GCC unroll 16
  for (int r = 0; r <= kRounds; ++r) {
    const bool inner = r > 0 && r < kRounds;
    StoreRoundKey(ExpandedKey, r, Decrypt && inner ? _mm_aesimc_si128(k[r]) : k[r]);
  }
  StoreRoundKey(ExpandedKey, kRounds + 1, _mm_setzero_si128());
  SecureZeroObject(k);
}

KL_INLINE_AESNI __m128i EncryptBlock(__m128i b, const TAESExpandedKey256& Key) {
  b = _mm_xor_si128(b, RoundKey(Key, 0));
#pragma GCC unroll 16
  for (int r = 1; r < kRounds; ++r) b = _mm_aesenc_si128(b, RoundKey(Key, r));
  return _mm_aesenclast_si128(b, RoundKey(Key, kRounds));
}

KL_INLINE_AESNI __m128i DecryptBlock(__m128i b, const TAESExpandedKey256& Key) {
  b = _mm_xor_si128(b, RoundKey(Key, kRounds));
#pragma GCC unroll 16
  for (int r = kRounds - 1; r > 0; --r) b = _mm_aesdec_si128(b, RoundKey(Key, r));
  return _mm_aesdeclast_si128(b, RoundKey(Key, 0));
}

KL_TARGET_AESNI void Encrypt(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey, std::uint8_t* Out) {
  Store(Out, EncryptBlock(Load(In), ExpandedKey));
}

KL_TARGET_AESNI void Decrypt(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey, std::uint8_t* Out) {
  Store(Out, DecryptBlock(Load(In), ExpandedKey));
}

// Each block depends on the one before, so encryption runs one block at a time
// with the round keys held in registers.
KL_TARGET_AESNI void EncryptCBC(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector, const std::uint8_t* In,
                                std::uint8_t* Out, std::size_t Blocks) {
  __m128i k[kRounds + 1];
#pragma GCC unroll 16
  for (int r = 0; r <= kRounds; ++r) k[r] = RoundKey(ExpandedKey, r);
  __m128i v = Load(Vector);
  for (std::size_t i = 0; i < Blocks; ++i, In += 16, Out += 16) {
    v = _mm_xor_si128(v, _mm_xor_si128(Load(In), k[0]));
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) v = _mm_aesenc_si128(v, k[r]);
    v = _mm_aesenclast_si128(v, k[kRounds]);
    Store(Out, v);
  }
  Store(Vector, v);
}

// Decryption of the blocks is independent; only the final XOR needs the
// ciphertext before. All of a group's ciphertext is read before any of its
// plaintext is stored, so In may equal Out.
KL_TARGET_AESNI void DecryptCBC(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector, const std::uint8_t* In,
                                std::uint8_t* Out, std::size_t Blocks) {
  __m128i v = Load(Vector);
  for (; Blocks >= kParallel; Blocks -= kParallel, In += 16 * kParallel, Out += 16 * kParallel) {
    __m128i b[kParallel];
    const __m128i first = RoundKey(ExpandedKey, kRounds);
#pragma GCC unroll 16
    for (std::size_t j = 0; j < kParallel; ++j) b[j] = _mm_xor_si128(Load(In + 16 * j), first);
#pragma GCC unroll 16
    for (int r = kRounds - 1; r > 0; --r) {
      const __m128i k = RoundKey(ExpandedKey, r);
#pragma GCC unroll 16
      for (std::size_t j = 0; j < kParallel; ++j) b[j] = _mm_aesdec_si128(b[j], k);
    }
    const __m128i last = RoundKey(ExpandedKey, 0);
#pragma GCC unroll 16
    for (std::size_t j = 0; j < kParallel; ++j) b[j] = _mm_aesdeclast_si128(b[j], last);
    b[0] = _mm_xor_si128(b[0], v);
#pragma GCC unroll 16
    for (std::size_t j = 1; j < kParallel; ++j) b[j] = _mm_xor_si128(b[j], Load(In + 16 * (j - 1)));
    v = Load(In + 16 * (kParallel - 1));
#pragma GCC unroll 16
    for (std::size_t j = 0; j < kParallel; ++j) Store(Out + 16 * j, b[j]);
  }
  for (; Blocks > 0; --Blocks, In += 16, Out += 16) {
    const __m128i c = Load(In);
    Store(Out, _mm_xor_si128(DecryptBlock(c, ExpandedKey), v));
    v = c;
  }
  Store(Vector, v);
}

// Independent blocks go through the pipeline kParallel at a time.
KL_TARGET_AESNI void EncryptBlocks(const TAESExpandedKey256& ExpandedKey, const std::uint8_t* In, std::uint8_t* Out,
                                   std::size_t Blocks) {
  for (; Blocks >= kParallel; Blocks -= kParallel, In += 16 * kParallel, Out += 16 * kParallel) {
    __m128i b[kParallel];
    const __m128i first = RoundKey(ExpandedKey, 0);
#pragma GCC unroll 16
    for (std::size_t j = 0; j < kParallel; ++j) b[j] = _mm_xor_si128(Load(In + 16 * j), first);
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
      const __m128i k = RoundKey(ExpandedKey, r);
#pragma GCC unroll 16
      for (std::size_t j = 0; j < kParallel; ++j) b[j] = _mm_aesenc_si128(b[j], k);
    }
    const __m128i last = RoundKey(ExpandedKey, kRounds);
#pragma GCC unroll 16
    for (std::size_t j = 0; j < kParallel; ++j) Store(Out + 16 * j, _mm_aesenclast_si128(b[j], last));
  }
  for (; Blocks > 0; --Blocks, In += 16, Out += 16) Store(Out, EncryptBlock(Load(In), ExpandedKey));
}

constexpr TAESImplementation kAESNI = {"aesni",
                                       Burned<Initialize>,
                                       Cleared<Encrypt>,
                                       Cleared<Decrypt>,
                                       Burned<EncryptCBC>,
                                       Burned<DecryptCBC>,
                                       Burned<EncryptBlocks>};

} // namespace

const TAESImplementation* AESNIImplementation() noexcept {
  const TCpuFeatures& cpu = GetCpuFeatures();
  return cpu.AES && cpu.SSE41 ? &kAESNI : nullptr;
}

} // namespace kl::detail

#else

namespace kl::detail {

const TAESImplementation* AESNIImplementation() noexcept { return nullptr; }

} // namespace kl::detail

#endif
