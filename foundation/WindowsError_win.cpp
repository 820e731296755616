#include <windows.h>

#include "foundation/KLGeneral.h"
#include "foundation/WindowsError.h"

namespace kl::detail {

std::string WindowsErrorText(std::uint32_t Code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, Code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  String text;
  if (length != 0 && buffer != nullptr) text.assign(reinterpret_cast<const Char*>(buffer), length);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' || text.back() == u'.')) {
    text.pop_back();
  }
  if (text.empty()) return "Windows error " + std::to_string(Code);
  return StrToUTF8(text);
}

} // namespace kl::detail
