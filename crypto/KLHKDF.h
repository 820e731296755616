#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/KLHMAC.h"
#include "foundation/Export.h"

namespace kl {

// HKDF with HMAC-SHA-256: Extract condenses input key material and a salt
// into a 32-byte pseudorandom key; Expand stretches that key into as many
// bytes as asked (at most 255 digests), bound to an Info label, so that keys
// for different purposes drawn from one secret stay independent. Out buffers
// are the caller's to wipe.
inline constexpr std::size_t HKDFSHA256MaxOutput = 255 * SHA256DigestSize;

// PRK = HMAC-SHA-256(Salt, IKM); an empty salt stands for 32 zero bytes.
KL_API void HKDFExtract(const void* Salt, std::size_t SaltSize, const void* IKM, std::size_t IKMSize,
                        std::uint8_t (&PRK)[SHA256DigestSize]);
// OutSize bytes of T(1) | T(2) | ...; ERangeError above HKDFSHA256MaxOutput.
KL_API void HKDFExpand(const std::uint8_t (&PRK)[SHA256DigestSize], const void* Info, std::size_t InfoSize,
                       std::uint8_t* Out, std::size_t OutSize);

} // namespace kl
