#include <string.h>

#include "foundation/SecureMemory.h"

namespace kl {

void SecureZero(void* Data, std::size_t Size) noexcept {
  if (Data == nullptr || Size == 0) return;
  explicit_bzero(Data, Size);
}

} // namespace kl
