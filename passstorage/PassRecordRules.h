#pragma once

#include <cstddef>
#include <string_view>

#include "foundation/Types.h"

namespace kl::detail {

// The checks the record's setters make, shared with the loader, which holds a
// file to the same bounds as an application.
bool IsValidItemName(const String& Name) noexcept;
bool IsValidCustomField(const String& Name, const String& Value) noexcept;
bool IsValidTag(const String& Tag) noexcept;
// The bytes of Text in UTF-8, an unpaired surrogate counted as U+FFFD.
std::size_t UTF8Size(std::u16string_view Text) noexcept;

} // namespace kl::detail
