#pragma once

#include <cstddef>
#include <cstdint>

namespace kl::detail {

inline constexpr std::size_t SHA1DigestSize = 20;

// SHA-1, for one purpose only: matching passwords against the breached-password
// lists that are published as SHA-1 hashes. It protects nothing of the
// library's own (SHA-1 is broken for collisions). Wipes its own state.
void SHA1(const void* Data, std::size_t Size, std::uint8_t (&Digest)[SHA1DigestSize]) noexcept;

} // namespace kl::detail
