#include <windows.h>

#include "foundation/SecureMemory.h"

namespace kl {

void SecureZero(void* Data, std::size_t Size) noexcept {
  if (Data == nullptr || Size == 0) return;
  SecureZeroMemory(Data, Size);
}

} // namespace kl
