#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

inline constexpr const char* SOverflow = "Overflow";
inline constexpr const char* SInvalidIterations = "Iteration count must be at least 1";

// PBKDF2 with HMAC-SHA-256 over the UTF-8 bytes of Password. Returns KeyLength
// bytes. Iterations below 1 raise EKLException; a negative KeyLength raises
// ERangeError; a Password that is not valid UTF-16 (an unpaired surrogate)
// raises EConvertError (SInvalidUTF16), since its UTF-8 form would equal that
// of another text. Every intermediate secret is wiped before it returns.
KL_API ByteArray Derive(const String& Password, const ByteArray& Salt, std::int32_t Iterations, std::int32_t KeyLength);

} // namespace kl
