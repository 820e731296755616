#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kl {

// Text is UTF-16: a character is one code unit, lengths count code units and
// comparisons are by code-unit value.
using String = std::u16string;
using Char = char16_t;

// Raw 8-bit bytes without a code page; in this library it holds UTF-8.
using RawByteString = std::string;

// The type of every salt, key, digest, blob and cipher input or output.
using ByteArray = std::vector<std::uint8_t>;

// Word views over buffers.
using PLongWord = std::uint32_t*;

} // namespace kl
