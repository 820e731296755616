#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Types.h"

// The system clipboard beneath 'vault copy', one implementation per platform:
// wl-copy (Wayland), xclip or xsel (X11) on Linux, the clipboard API on
// Windows.
namespace klpass {

// The longest delay before the clipboard is cleared, in seconds.
inline constexpr std::int32_t kMaxClearAfter = 3600;

// Puts Text on the clipboard and, when ClearAfter is above 0, has it cleared
// that many seconds later if it still holds Text then (a value copied
// meanwhile is left alone). Returns the name of the tool used. Without a
// clipboard (no display, no tool), fails with kExitFileError.
std::string CopyToClipboard(const kl::String& Text, std::int32_t ClearAfter);

// The hidden helper that waits and clears (POSIX): started by CopyToClipboard
// as a fresh process, so that nothing of the vault is in its memory; it reads
// only a key and a keyed digest of the value from standard input.
inline constexpr const char* kClipboardClearCommand = "__clear-clipboard";
int RunClipboardClear(const std::vector<std::string>& Words);

} // namespace klpass
