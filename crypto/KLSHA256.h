#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

inline constexpr std::size_t SHA256BlockSize = 64;
inline constexpr std::size_t SHA256DigestSize = 32;

// Incremental SHA-256 state, owned by the caller. Size counts the bytes hashed so
// far, Buffer holds BufSz bytes of a partial block, A to H are the hash state.
// Nothing here wipes a context: whoever feeds it secrets wipes it.
struct TSHA256Context {
  std::int64_t Size;
  std::uint8_t Buffer[64];
  std::uint32_t BufSz;
  std::uint32_t A, B, C, D, E, F, G, H;
};

// A SHA-256 digest. Its 32-byte image is the standard digest, byte for byte; use
// DigestBytes or DigestToBytes rather than the fields.
struct TMessageDigest256 {
  std::uint32_t A1, B1, C1, D1, A2, B2, C2, D2;
};
static_assert(sizeof(TMessageDigest256) == SHA256DigestSize);

KL_API void SHA256Initialize(TSHA256Context& Context);
KL_API void SHA256Update(TSHA256Context& Context, const void* Data, std::uint32_t Len);
// Pads and returns the digest; the context is left as it is, not reset.
KL_API TMessageDigest256 SHA256Finalize(TSHA256Context& Context);
KL_API TMessageDigest256 SHA256Calculate(const void* Data, std::uint32_t Len);

inline const std::uint8_t* DigestBytes(const TMessageDigest256& Digest) noexcept {
  return reinterpret_cast<const std::uint8_t*>(&Digest);
}
KL_API ByteArray DigestToBytes(const TMessageDigest256& Digest);

} // namespace kl
