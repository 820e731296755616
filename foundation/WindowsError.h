#pragma once

#include <cstdint>
#include <string>

#include "foundation/Types.h"

namespace kl::detail {

// The system's text (UTF-8, without the trailing line break) for a Windows
// error number, or "Windows error N" when the system has none.
std::string WindowsErrorText(std::uint32_t Code);

// Text as the Windows wide-character API takes it: the same UTF-16 code units.
inline const wchar_t* WidePointer(const String& Text) noexcept {
  static_assert(sizeof(wchar_t) == sizeof(Char), "Windows wide characters are UTF-16 code units");
  return reinterpret_cast<const wchar_t*>(Text.c_str());
}

} // namespace kl::detail
