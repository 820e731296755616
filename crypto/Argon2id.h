#pragma once

#include <cstddef>
#include <cstdint>

namespace kl::detail {

// Argon2id (version 1.3, one lane) as libsodium computes it. The library's
// password-based keys and password hashes come from here; AES, SHA-256, HMAC
// and PBKDF2 stay the library's own.
inline constexpr std::size_t Argon2idSaltSize = 16;
inline constexpr std::uint32_t Argon2idMinPasses = 1;
inline constexpr std::uint64_t Argon2idMinMemoryKiB = 8;
// libsodium's own ceilings; callers apply far lower bounds of their own first.
inline constexpr std::uint32_t Argon2idMaxPasses = 0xFFFFFFFFu;
inline constexpr std::uint64_t Argon2idMaxMemoryKiB = std::uint64_t{4} * 1024 * 1024 * 1024;

// Initialises libsodium once; safe to call from any thread, any number of
// times. Raises EKLException when the library cannot start.
void SodiumInitialize();

// Fills Out with OutSize bytes of Argon2id over the password bytes and the
// 16-byte salt, with Passes passes over MemoryKiB KiB. Raises EKLException
// for parameters outside libsodium's range or when the memory cannot be had,
// and EKLHashBusyError when no slot of the process-wide gate (KLHashGate.h)
// came free in time.
// Nothing secret outlives the call but Out, which the caller wipes.
void Argon2id(const void* Password, std::size_t PasswordSize, const std::uint8_t* Salt, std::uint32_t Passes,
              std::uint64_t MemoryKiB, std::uint8_t* Out, std::size_t OutSize);

// Told of every Argon2id computation the library starts (keys and password
// hashes alike), with its cost, on the thread that runs it: how the tests
// count the work an operation does, never by time. Null (the default) tells
// nobody; set it while no computation runs.
using TArgon2idObserver = void (*)(std::uint32_t Passes, std::uint64_t MemoryKiB) noexcept;
void SetArgon2idObserver(TArgon2idObserver Observer) noexcept;
// Every computation site calls it once, just before computing.
void NoteArgon2id(std::uint32_t Passes, std::uint64_t MemoryKiB) noexcept;

} // namespace kl::detail
