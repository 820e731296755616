#include "crypto/KLSHA256.h"

#include <bit>
#include <cstring>

#include "crypto/CryptoImplementations.h"
#include "crypto/SHA256Constants.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

inline std::uint32_t LoadBE32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

inline void StoreBE32(std::uint8_t* p, std::uint32_t w) noexcept {
  p[0] = static_cast<std::uint8_t>(w >> 24);
  p[1] = static_cast<std::uint8_t>(w >> 16);
  p[2] = static_cast<std::uint8_t>(w >> 8);
  p[3] = static_cast<std::uint8_t>(w);
}

inline std::uint32_t Sigma0(std::uint32_t x) noexcept { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
inline std::uint32_t Sigma1(std::uint32_t x) noexcept { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
inline std::uint32_t sigma0(std::uint32_t x) noexcept { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline std::uint32_t sigma1(std::uint32_t x) noexcept { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

// One round with the working variables renamed instead of shifted: the caller
// passes them rotated by one place per round.
__attribute__((always_inline)) inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                                                 std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                                                 std::uint32_t kw) noexcept {
  const std::uint32_t t1 = h + Sigma1(e) + ((e & f) ^ (~e & g)) + kw;
  const std::uint32_t t2 = Sigma0(a) + ((a & b) ^ (a & c) ^ (b & c));
  d += t1;
  h = t1 + t2;
}

// The compression function over sixteen message words in host order. The words
// are overwritten by the message schedule; the caller wipes them.
void CompressWords(std::uint32_t* State, std::uint32_t* w) noexcept {
  std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
  std::uint32_t e = State[4], f = State[5], g = State[6], h = State[7];
  for (int i = 0; i < 64; i += 8) {
    if (i >= 16) {
      for (int j = 0; j < 8; ++j) {
        const int t = i + j;
        w[t & 15] += sigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + sigma0(w[(t - 15) & 15]);
      }
    }
    const std::uint32_t* k = detail::kSHA256RoundConstants + i;
    const std::uint32_t* m = w + (i & 15);
    Round(a, b, c, d, e, f, g, h, k[0] + m[0]);
    Round(h, a, b, c, d, e, f, g, k[1] + m[1]);
    Round(g, h, a, b, c, d, e, f, k[2] + m[2]);
    Round(f, g, h, a, b, c, d, e, k[3] + m[3]);
    Round(e, f, g, h, a, b, c, d, k[4] + m[4]);
    Round(d, e, f, g, h, a, b, c, k[5] + m[5]);
    Round(c, d, e, f, g, h, a, b, k[6] + m[6]);
    Round(b, c, d, e, f, g, h, a, k[7] + m[7]);
  }
  State[0] += a;
  State[1] += b;
  State[2] += c;
  State[3] += d;
  State[4] += e;
  State[5] += f;
  State[6] += g;
  State[7] += h;
}

__attribute__((noinline)) void PortableCompress(std::uint32_t* State, const std::uint8_t* Blocks, std::size_t Count) {
  std::uint32_t w[16];
  for (std::size_t n = 0; n < Count; ++n, Blocks += SHA256BlockSize) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(Blocks + 4 * i);
    CompressWords(State, w);
  }
  SecureZeroObject(w);
}

// A 32-byte message after a 64-byte key block, padded: the digest words, the
// end marker, and the length of 96 bytes in bits.
__attribute__((noinline)) void PortableIterateHMAC(const std::uint32_t* Inner, const std::uint32_t* Outer,
                                                   std::uint32_t* U, std::uint32_t* T, std::uint32_t Count) {
  std::uint32_t message[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0x80000000u, 0, 0, 0, 0, 0, 0, (64 + 32) * 8};
  std::uint32_t schedule[16];
  std::uint32_t state[8];
  std::memcpy(message, U, 32);
  for (std::uint32_t n = 0; n < Count; ++n) {
    std::memcpy(state, Inner, sizeof(state));
    std::memcpy(schedule, message, sizeof(schedule));
    CompressWords(state, schedule);
    std::memcpy(message, state, sizeof(state));
    std::memcpy(state, Outer, sizeof(state));
    std::memcpy(schedule, message, sizeof(schedule));
    CompressWords(state, schedule);
    std::memcpy(message, state, sizeof(state));
    for (int i = 0; i < 8; ++i) T[i] ^= state[i];
  }
  std::memcpy(U, message, 32);
  SecureZeroObject(message);
  SecureZeroObject(schedule);
  SecureZeroObject(state);
}

constexpr detail::TSHA256Implementation kPortable = {"portable", detail::Burned<PortableCompress>,
                                                     detail::Burned<PortableIterateHMAC>};

inline void Compress(const detail::TSHA256Implementation& Impl, TSHA256Context& Context, const std::uint8_t* Blocks,
                     std::size_t Count) {
  std::uint32_t state[8] = {Context.A, Context.B, Context.C, Context.D, Context.E, Context.F, Context.G, Context.H};
  Impl.Compress(state, Blocks, Count);
  Context.A = state[0];
  Context.B = state[1];
  Context.C = state[2];
  Context.D = state[3];
  Context.E = state[4];
  Context.F = state[5];
  Context.G = state[6];
  Context.H = state[7];
}

} // namespace

namespace detail {

const TSHA256Implementation& PortableSHA256() noexcept { return kPortable; }

const TSHA256Implementation& ActiveSHA256() noexcept {
  static const TSHA256Implementation& active = SHA256NIImplementation() ? *SHA256NIImplementation() : kPortable;
  return active;
}

std::vector<const TSHA256Implementation*> AvailableSHA256Implementations() {
  std::vector<const TSHA256Implementation*> all{&kPortable};
  if (const TSHA256Implementation* hw = SHA256NIImplementation()) all.push_back(hw);
  return all;
}

} // namespace detail

void SHA256Initialize(TSHA256Context& Context) {
  Context.Size = 0;
  std::memset(Context.Buffer, 0, sizeof(Context.Buffer));
  Context.BufSz = 0;
  const std::uint32_t* iv = detail::kSHA256InitialState;
  Context.A = iv[0];
  Context.B = iv[1];
  Context.C = iv[2];
  Context.D = iv[3];
  Context.E = iv[4];
  Context.F = iv[5];
  Context.G = iv[6];
  Context.H = iv[7];
}

namespace detail {

// Whole blocks are compressed straight from Data; only a leading partial block
// and the tail pass through Buffer.
void SHA256Update(const TSHA256Implementation& Impl, TSHA256Context& Context, const void* Data, std::uint32_t Len) {
  if (Len == 0) return;
  const auto* p = static_cast<const std::uint8_t*>(Data);
  Context.Size += Len;
  if (Context.BufSz > 0) {
    const std::uint32_t room = SHA256BlockSize - Context.BufSz;
    if (Len < room) {
      std::memcpy(Context.Buffer + Context.BufSz, p, Len);
      Context.BufSz += Len;
      return;
    }
    std::memcpy(Context.Buffer + Context.BufSz, p, room);
    Compress(Impl, Context, Context.Buffer, 1);
    Context.BufSz = 0;
    p += room;
    Len -= room;
  }
  const std::size_t blocks = Len / SHA256BlockSize;
  if (blocks > 0) {
    Compress(Impl, Context, p, blocks);
    p += blocks * SHA256BlockSize;
    Len -= static_cast<std::uint32_t>(blocks * SHA256BlockSize);
  }
  if (Len > 0) std::memcpy(Context.Buffer, p, Len);
  Context.BufSz = Len;
}

TMessageDigest256 SHA256Finalize(const TSHA256Implementation& Impl, TSHA256Context& Context) {
  std::uint8_t tail[2 * SHA256BlockSize] = {};
  std::memcpy(tail, Context.Buffer, Context.BufSz);
  tail[Context.BufSz] = 0x80;
  const std::size_t blocks = Context.BufSz < SHA256BlockSize - 8 ? 1 : 2;
  const auto bits = static_cast<std::uint64_t>(Context.Size) * 8;
  std::uint8_t* length = tail + blocks * SHA256BlockSize - 8;
  StoreBE32(length, static_cast<std::uint32_t>(bits >> 32));
  StoreBE32(length + 4, static_cast<std::uint32_t>(bits));
  Compress(Impl, Context, tail, blocks);
  SecureZeroObject(tail);

  std::uint8_t bytes[SHA256DigestSize];
  const std::uint32_t words[8] = {Context.A, Context.B, Context.C, Context.D,
                                  Context.E, Context.F, Context.G, Context.H};
  for (int i = 0; i < 8; ++i) StoreBE32(bytes + 4 * i, words[i]);
  TMessageDigest256 digest;
  std::memcpy(&digest, bytes, sizeof(digest));
  return digest;
}

} // namespace detail

void SHA256Update(TSHA256Context& Context, const void* Data, std::uint32_t Len) {
  detail::SHA256Update(detail::ActiveSHA256(), Context, Data, Len);
}

TMessageDigest256 SHA256Finalize(TSHA256Context& Context) {
  return detail::SHA256Finalize(detail::ActiveSHA256(), Context);
}

TMessageDigest256 SHA256Calculate(const void* Data, std::uint32_t Len) {
  TSHA256Context context;
  SHA256Initialize(context);
  SHA256Update(context, Data, Len);
  const TMessageDigest256 digest = SHA256Finalize(context);
  SecureZeroObject(context);
  return digest;
}

ByteArray DigestToBytes(const TMessageDigest256& Digest) {
  const std::uint8_t* p = DigestBytes(Digest);
  return ByteArray(p, p + SHA256DigestSize);
}

} // namespace kl
