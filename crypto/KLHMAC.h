#pragma once

#include <cstdint>

#include "crypto/KLSHA256.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Incremental HMAC-SHA-256 state, owned by the caller: the outer padded key and
// the inner hash, already fed the inner padded key. The caller wipes it when the
// key is secret; MAC256Calculate wipes its own.
struct TMACSHA256Context {
  std::uint8_t OKey[64];
  TSHA256Context Ctx;
};

KL_API void MAC256Initialize(TMACSHA256Context& Context, const ByteArray& Key);
// A negative Len raises ERangeError.
KL_API void MAC256Update(TMACSHA256Context& Context, const void* Data, std::int32_t Len);
KL_API TMessageDigest256 MAC256Finalize(TMACSHA256Context& Context);
// Data first, key second.
KL_API TMessageDigest256 MAC256Calculate(const ByteArray& Data, const ByteArray& Key);

} // namespace kl
