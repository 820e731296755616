#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/KLAES.h"
#include "crypto/KLSHA256.h"
#include "foundation/StackBurn.h"

// The interchangeable implementations behind the public AES and SHA-256 functions.
// Each path (portable tables, AES-NI, SHA extensions) fills one table of function
// pointers; the public functions use the best one this processor supports, chosen
// on first use. Tests and benchmarks reach every available path through here.
namespace kl::detail {

// Every routine of every path runs in a frame of its own (noinline) and is
// handed out through TBurnAfter, which clears the vector registers and burns
// this much stack after it: the deepest of the routines' frames, red zone
// included, is under half of it.
inline constexpr std::size_t kRoutineStackBurn = 1024;

template <auto Fn>
inline constexpr auto Burned = &TBurnAfter<Fn, kRoutineStackBurn>::Call;
// Single-block AES works from a schedule the caller keeps in memory anyway,
// keeps the block and the round key in use in registers, and spills nothing:
// only the registers are cleared, which keeps a call a few nanoseconds long.
template <auto Fn>
inline constexpr auto Cleared = &TBurnAfter<Fn, 0>::Call;

struct TAESImplementation {
  const char* Name;
  void (*Initialize)(const std::uint8_t* Key, TAESExpandedKey256& ExpandedKey, bool Decrypt);
  void (*Encrypt)(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey, std::uint8_t* Out);
  void (*Decrypt)(const std::uint8_t* In, const TAESExpandedKey256& ExpandedKey, std::uint8_t* Out);
  // CBC over whole blocks. Vector (16 bytes) holds the chaining value on entry and
  // the last ciphertext block on return. In and Out may be the same memory.
  void (*EncryptCBC)(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector, const std::uint8_t* In,
                     std::uint8_t* Out, std::size_t Blocks);
  void (*DecryptCBC)(const TAESExpandedKey256& ExpandedKey, std::uint8_t* Vector, const std::uint8_t* In,
                     std::uint8_t* Out, std::size_t Blocks);
  // Encrypts independent blocks (counter mode's inner step). In and Out may be
  // the same memory.
  void (*EncryptBlocks)(const TAESExpandedKey256& ExpandedKey, const std::uint8_t* In, std::uint8_t* Out,
                        std::size_t Blocks);
};

struct TSHA256Implementation {
  const char* Name;
  // Compresses Count 64-byte blocks into the eight state words.
  void (*Compress)(std::uint32_t* State, const std::uint8_t* Blocks, std::size_t Count);
  // The PBKDF2 inner loop, Count times: U = H(outer, H(inner, U)) with both
  // messages the fixed-length padded 32-byte digest, then T ^= U. Inner and Outer
  // are the states after the padded keys; U and T are digests as state words.
  void (*IterateHMAC)(const std::uint32_t* Inner, const std::uint32_t* Outer, std::uint32_t* U, std::uint32_t* T,
                      std::uint32_t Count);
};

const TAESImplementation& PortableAES() noexcept;
const TAESImplementation* AESNIImplementation() noexcept; // nullptr when unsupported here
const TAESImplementation& ActiveAES() noexcept;
std::vector<const TAESImplementation*> AvailableAESImplementations();

const TSHA256Implementation& PortableSHA256() noexcept;
const TSHA256Implementation* SHA256NIImplementation() noexcept; // nullptr when unsupported here
const TSHA256Implementation& ActiveSHA256() noexcept;
std::vector<const TSHA256Implementation*> AvailableSHA256Implementations();

// The incremental SHA-256 functions on a given path.
void SHA256Update(const TSHA256Implementation& Impl, TSHA256Context& Context, const void* Data, std::uint32_t Len);
TMessageDigest256 SHA256Finalize(const TSHA256Implementation& Impl, TSHA256Context& Context);

// PBKDF2-HMAC-SHA-256 over raw password bytes on a given path: OutLen bytes into
// Out. Iterations must be at least 1. Wipes every intermediate secret.
void PBKDF2HMACSHA256(const TSHA256Implementation& Impl, const std::uint8_t* Password, std::size_t PasswordLen,
                      const std::uint8_t* Salt, std::size_t SaltLen, std::uint32_t Iterations, std::uint8_t* Out,
                      std::size_t OutLen);

} // namespace kl::detail
