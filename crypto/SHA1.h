#pragma once

#include <cstddef>
#include <cstdint>

namespace kl::detail {

inline constexpr std::size_t SHA1DigestSize = 20;

// SHA-1, for two purposes only: matching passwords against the breached-password
// lists that are published as SHA-1 hashes, and HMAC-SHA-1 for one-time
// passwords, the authenticators' default (HMAC does not rest on collision
// resistance). It protects nothing else of the library's own (SHA-1 is broken
// for collisions). Wipes its own state.
void SHA1(const void* Data, std::size_t Size, std::uint8_t (&Digest)[SHA1DigestSize]) noexcept;

} // namespace kl::detail
