#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Types.h"

namespace kl {

// Failures of the password-hash functions: a hash string that is not one they
// read, or one that asks for more than the caller allows.
KL_DECLARE_EXCEPTION(EKLPasswordHashError, EKLException);

inline constexpr const char* SInvalidPasswordHash = "Not a valid Argon2id password hash";
inline constexpr const char* SPasswordHashTooCostly = "The password hash asks for more memory or passes than allowed";
inline constexpr const char* SInvalidHashParameters = "Password hash parameters out of range";

// The longest hash string read; longer ones are refused unparsed. Generous
// for any salt and tag size other Argon2 implementations write in practice.
inline constexpr std::size_t KLPasswordHashMaxLength = 512;
inline constexpr std::size_t KLPasswordHashSaltSize = 16;
inline constexpr std::size_t KLPasswordHashTagSize = 32;

// Cost of new hashes, and the most a stored hash may ask for. Memory is in KiB.
// The defaults (64 MiB, 2 passes) cost about a tenth of a second a hash here;
// the bounds keep a hostile or mistaken string from taking the machine.
struct TKLPasswordHashParameters {
  std::uint32_t MemoryKiB = 64 * 1024;
  std::uint32_t Passes = 2;
  std::uint32_t MaxMemoryKiB = 1024 * 1024;
  std::uint32_t MaxPasses = 16;
};

// What a hash string says about itself, read without computing anything.
struct TKLPasswordHashInfo {
  String Algorithm; // "argon2id", or another identifier the string carries
  std::uint32_t Version = 0;
  std::uint32_t MemoryKiB = 0;
  std::uint32_t Passes = 0;
  std::uint32_t Lanes = 0;
  std::size_t SaltSize = 0;
  std::size_t TagSize = 0;
};

// An Argon2id hash of Password in the usual text form,
// $argon2id$v=19$m=<KiB>,t=<passes>,p=1$<salt>$<tag> (unpadded base64), with a
// fresh random 16-byte salt and a 32-byte tag. Text holding an unpaired
// surrogate raises EConvertError (SInvalidUTF16); parameters below Argon2id's
// minimum or above the bounds raise EKLPasswordHashError.
KL_API String HashPassword(const String& Password, const TKLPasswordHashParameters& Parameters = {});

// Whether Password matches Hash, an Argon2id string from this library or any
// other (several lanes, other salt and tag sizes), compared in constant time.
// A string that is not Argon2id version 19, or asks for more memory or passes
// than the bounds, raises EKLPasswordHashError before any memory is taken.
// Text holding an unpaired surrogate raises EConvertError: no hash was ever
// made of it.
KL_API bool VerifyPassword(const String& Hash, const String& Password,
                           const TKLPasswordHashParameters& Parameters = {});

// Whether Hash is weaker than what HashPassword makes now: not Argon2id 19,
// less memory or fewer passes than Parameters, or a shorter salt or tag. A
// malformed string needs a rehash too. Never raises for the string's content.
KL_API bool NeedsRehash(const String& Hash, const TKLPasswordHashParameters& Parameters = {});

// Reads the identifier and parameters of a hash string of the form above,
// whatever its identifier; raises EKLPasswordHashError when it is malformed.
KL_API TKLPasswordHashInfo DescribePasswordHash(const String& Hash);

namespace detail {

// Raises EKLPasswordHashError (SInvalidHashParameters) for parameters that
// HashPassword would refuse.
void CheckHashParameters(const TKLPasswordHashParameters& Parameters);

// The same for a password already in bytes, and a string whose identifier is
// Algorithm instead of "argon2id"; the rest of the string, and its checks, are
// those of VerifyPassword. The user databases verify their wrapped records
// (Argon2id over an old SHA-256) through this.
bool VerifyPasswordBytes(const String& Hash, const String& Algorithm, const void* Password, std::size_t PasswordSize,
                         const TKLPasswordHashParameters& Parameters);
// An Argon2id string of the password bytes under Algorithm as its identifier,
// with the given 16-byte salt (the databases draw it from their own generator)
// and a 32-byte tag, one lane.
String HashPasswordBytes(const String& Algorithm, const void* Password, std::size_t PasswordSize,
                         const std::uint8_t* Salt, const TKLPasswordHashParameters& Parameters);
// The string HashPasswordBytes writes, for a tag already computed (16-byte
// salt, 32-byte tag, the cost's memory and passes, one lane).
String FormatHashString(const String& Algorithm, const std::uint8_t* Salt, const std::uint8_t* Tag,
                        const TKLPasswordHashParameters& Cost);
// Reads back a string of exactly that layout under Algorithm: fills the salt
// (16 bytes) and tag (32 bytes) and returns its cost with the bounds of
// Bounds. Raises SInvalidPasswordHash for any other string, and
// SPasswordHashTooCostly for a cost above the bounds.
TKLPasswordHashParameters ReadHashString(const String& Hash, const String& Algorithm,
                                         const TKLPasswordHashParameters& Bounds, std::uint8_t* Salt,
                                         std::uint8_t* Tag);

} // namespace detail

} // namespace kl
