#include "crypto/SHA1.h"

#include <cstring>

#include "foundation/SecureMemory.h"

namespace kl::detail {

namespace {

constexpr std::uint32_t Rotl(std::uint32_t X, int N) noexcept { return (X << N) | (X >> (32 - N)); }

std::uint32_t LoadBig32(const std::uint8_t* P) noexcept {
  return std::uint32_t{P[0]} << 24 | std::uint32_t{P[1]} << 16 | std::uint32_t{P[2]} << 8 | std::uint32_t{P[3]};
}

void Compress(std::uint32_t (&State)[5], const std::uint8_t* Block) noexcept {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBig32(Block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3], e = State[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t t = Rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = t;
  }
  State[0] += a;
  State[1] += b;
  State[2] += c;
  State[3] += d;
  State[4] += e;
  SecureZero(w, sizeof(w));
}

} // namespace

void SHA1(const void* Data, std::size_t Size, std::uint8_t (&Digest)[SHA1DigestSize]) noexcept {
  std::uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = static_cast<const std::uint8_t*>(Data);
  std::size_t done = 0;
  for (; Size - done >= 64; done += 64) Compress(state, bytes + done);
  // The tail, the 0x80 marker and the bit length fill one or two last blocks.
  std::uint8_t tail[128] = {};
  const std::size_t rest = Size - done;
  if (rest > 0) std::memcpy(tail, bytes + done, rest);
  tail[rest] = 0x80;
  const std::size_t tailSize = rest < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(Size) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Compress(state, tail);
  if (tailSize == 128) Compress(state, tail + 64);
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) Digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
  }
  SecureZero(tail, sizeof(tail));
  SecureZero(state, sizeof(state));
}

} // namespace kl::detail
