#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Strict decimal conversion: an optional sign followed by one or more ASCII
// digits, nothing else (no blanks), within the type's range. Anything else
// raises EConvertError.
KL_API std::int32_t StrToInt(const String& S);
KL_API std::int64_t StrToInt64(const String& S);
// The same without raising: false when S is not a valid number.
KL_API bool TryStrToInt(const String& S, std::int32_t& Value) noexcept;
KL_API bool TryStrToInt64(const String& S, std::int64_t& Value) noexcept;

KL_API String IntToStr(std::int64_t Value);

// ASCII-only conversions for messages and fixed texts.
KL_API String AsciiToStr(const char* S);

} // namespace kl
