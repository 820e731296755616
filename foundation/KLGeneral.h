#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/Exceptions.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Root of the library's own exception classes. EKLAESError is deliberately not
// beneath it (see crypto/KLAES.h).
KL_DECLARE_EXCEPTION(EKLException, Exception);

inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";

inline constexpr const char* SInvalidUTF16 = "The text is not valid UTF-16: it holds an unpaired surrogate";

// UTF-16 text to UTF-8 bytes. An unpaired surrogate encodes as U+FFFD.
KL_API RawByteString StrToUTF8(const String& S);
// The same for text that becomes a key, a hash or a derivation, where two
// different texts must never give the same bytes: an unpaired surrogate raises
// EConvertError (SInvalidUTF16) instead.
KL_API RawByteString StrToUTF8Strict(const String& S);
// Appends the UTF-8 of Text to Out (unpaired surrogates as U+FFFD) without a
// temporary string, so that a writer building a buffer of secrets leaves no
// extra copy behind; the caller sizes Out beforehand if it must not reallocate.
KL_API void AppendUTF8(RawByteString& Out, std::u16string_view Text);
// Whether S holds no unpaired surrogate.
KL_API bool IsValidUTF16(const String& S) noexcept;

// UTF-8 bytes to UTF-16 text. Each maximal malformed subsequence decodes as U+FFFD.
KL_API String UTF8ToStr(const RawByteString& S);
KL_API String UTF8ToStr(const std::uint8_t* Data, std::size_t Length);

// Whether Data is well-formed UTF-8 (no overlong form, surrogate or code point
// beyond U+10FFFF). When it is not and InvalidAt is given, it receives the
// offset of the first byte of the first malformed sequence. Hosts check text
// that the user types with it: UTF8ToStr would map different malformed input
// to the same U+FFFD.
KL_API bool IsValidUTF8(const std::uint8_t* Data, std::size_t Length, std::size_t* InvalidAt = nullptr) noexcept;
KL_API bool IsValidUTF8(const RawByteString& S) noexcept;

KL_API ByteArray RawByteStringToBytes(const RawByteString& S);

// Two upper-case hexadecimal digits per byte, no separators.
KL_API String BytesToHexStr(const ByteArray& Bytes);

// Reads hex text of either case. Odd length gives an empty array; a pair that is
// not two hexadecimal digits raises EConvertError.
KL_API ByteArray HexStrToBytes(const String& S);

inline constexpr std::int32_t Min(std::int32_t A, std::int32_t B) noexcept { return A < B ? A : B; }

inline constexpr std::uint8_t BoolToByte(bool Value) noexcept { return Value ? 1 : 0; }

// Destroys the object the reference holds, if any, and clears the reference.
template <class T>
void FreeAndNil(T*& Obj) noexcept {
  T* temp = Obj;
  Obj = nullptr;
  delete temp;
}

} // namespace kl
