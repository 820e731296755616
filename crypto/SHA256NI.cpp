#include <utility>

#include "crypto/CpuFeatures.h"
#include "crypto/CryptoImplementations.h"
#include "crypto/SHA256Constants.h"

// SHA-256 compression with the SHA extensions. The instructions keep the state
// as two registers, ABEF and CDGH (A in the top lane), and take two rounds at a
// time from the low half of a register of message words plus round constants.

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define KL_TARGET_SHANI __attribute__((target("sha,sse4.1,ssse3"), noinline))
// The round helpers must be inlined so that state and message stay in registers.
#define KL_INLINE_SHANI __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

namespace kl::detail {

namespace {

struct TState {
  __m128i ABEF, CDGH;
};

KL_INLINE_SHANI __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

KL_INLINE_SHANI void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// A to D and E to H, one word a lane (A in lane 0), to the instructions' layout.
KL_INLINE_SHANI TState FromWords(__m128i ABCD, __m128i EFGH) {
  const __m128i cdab = _mm_shuffle_epi32(ABCD, 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(EFGH, 0x1B);
  return TState{_mm_alignr_epi8(cdab, hgfe, 8), _mm_blend_epi16(hgfe, cdab, 0xF0)};
}

KL_INLINE_SHANI void ToWords(const TState& S, __m128i& ABCD, __m128i& EFGH) {
  const __m128i feba = _mm_shuffle_epi32(S.ABEF, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(S.CDGH, 0xB1);
  ABCD = _mm_blend_epi16(feba, dchg, 0xF0);
  EFGH = _mm_alignr_epi8(dchg, feba, 8);
}

// Four rounds with message words W[4g..4g+3] in Msg[g % 4]. Along the way the
// schedule for later groups is advanced: group g + 1 is completed from the two
// groups before it, and the first half of group g + 3's update is started.
template <int G>
KL_INLINE_SHANI void Rounds(TState& S, __m128i (&Msg)[4]) {
  const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kSHA256RoundConstants + 4 * G));
  const __m128i wk = _mm_add_epi32(Msg[G & 3], k);
  S.CDGH = _mm_sha256rnds2_epu32(S.CDGH, S.ABEF, wk);
  if constexpr (G >= 3 && G < 15) {
    const __m128i w7 = _mm_alignr_epi8(Msg[G & 3], Msg[(G - 1) & 3], 4);
    Msg[(G + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(Msg[(G + 1) & 3], w7), Msg[G & 3]);
  }
  S.ABEF = _mm_sha256rnds2_epu32(S.ABEF, S.CDGH, _mm_shuffle_epi32(wk, 0x0E));
  if constexpr (G >= 1 && G < 13) Msg[(G - 1) & 3] = _mm_sha256msg1_epu32(Msg[(G - 1) & 3], Msg[G & 3]);
}

template <int... G>
KL_INLINE_SHANI void AllRounds(TState& S, __m128i (&Msg)[4], std::integer_sequence<int, G...>) {
  (Rounds<G>(S, Msg), ...);
}

// One compression of a block given as sixteen host-order words in four registers.
KL_INLINE_SHANI void CompressMessage(TState& S, __m128i (&Msg)[4]) {
  const TState saved = S;
  AllRounds(S, Msg, std::make_integer_sequence<int, 16>{});
  S.ABEF = _mm_add_epi32(S.ABEF, saved.ABEF);
  S.CDGH = _mm_add_epi32(S.CDGH, saved.CDGH);
}

KL_TARGET_SHANI void Compress(std::uint32_t* State, const std::uint8_t* Blocks, std::size_t Count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  TState s = FromWords(Load(State), Load(State + 4));
  for (std::size_t n = 0; n < Count; ++n, Blocks += 64) {
    __m128i msg[4] = {_mm_shuffle_epi8(Load(Blocks), byteSwap), _mm_shuffle_epi8(Load(Blocks + 16), byteSwap),
                      _mm_shuffle_epi8(Load(Blocks + 32), byteSwap), _mm_shuffle_epi8(Load(Blocks + 48), byteSwap)};
    CompressMessage(s, msg);
  }
  __m128i abcd, efgh;
  ToWords(s, abcd, efgh);
  Store(State, abcd);
  Store(State + 4, efgh);
}

// The PBKDF2 loop with everything in registers: the 32-byte digest is the first
// half of the next message as it stands, and the padded second half is constant.
KL_TARGET_SHANI void IterateHMAC(const std::uint32_t* Inner, const std::uint32_t* Outer, std::uint32_t* U,
                                 std::uint32_t* T, std::uint32_t Count) {
  const TState inner = FromWords(Load(Inner), Load(Inner + 4));
  const TState outer = FromWords(Load(Outer), Load(Outer + 4));
  const __m128i padding = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
  const __m128i length = _mm_set_epi32((64 + 32) * 8, 0, 0, 0);
  __m128i u0 = Load(U), u1 = Load(U + 4);
  __m128i t0 = Load(T), t1 = Load(T + 4);
  for (std::uint32_t n = 0; n < Count; ++n) {
    TState s = inner;
    __m128i msg[4] = {u0, u1, padding, length};
    CompressMessage(s, msg);
    ToWords(s, u0, u1);
    s = outer;
    __m128i msg2[4] = {u0, u1, padding, length};
    CompressMessage(s, msg2);
    ToWords(s, u0, u1);
    t0 = _mm_xor_si128(t0, u0);
    t1 = _mm_xor_si128(t1, u1);
  }
  Store(U, u0);
  Store(U + 4, u1);
  Store(T, t0);
  Store(T + 4, t1);
}

constexpr TSHA256Implementation kSHANI = {"shani", Burned<Compress>, Burned<IterateHMAC>};

} // namespace

const TSHA256Implementation* SHA256NIImplementation() noexcept {
  const TCpuFeatures& cpu = GetCpuFeatures();
  return cpu.SHA && cpu.SSE41 && cpu.SSSE3 ? &kSHANI : nullptr;
}

} // namespace kl::detail

#else

namespace kl::detail {

const TSHA256Implementation* SHA256NIImplementation() noexcept { return nullptr; }

} // namespace kl::detail

#endif
