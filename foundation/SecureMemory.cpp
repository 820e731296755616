#include "foundation/SecureMemory.h"

#include <cstring>

namespace kl {

// SecureZero, the one wipe beneath these, is the platform's own (SecureZero_*.cpp).

void WipeBytes(ByteArray& Bytes) noexcept {
  SecureZero(Bytes.data(), Bytes.size());
  Bytes.clear();
}

void WipeRawBytes(RawByteString& Bytes) noexcept {
  SecureZero(Bytes.data(), Bytes.size());
  Bytes.clear();
}

void WipeString(String& Text) noexcept {
  SecureZero(Text.data(), Text.size() * sizeof(Char));
  Text.clear();
}

bool ConstantTimeEqual(const void* A, const void* B, std::size_t Size) noexcept {
  const volatile std::uint8_t* a = static_cast<const volatile std::uint8_t*>(A);
  const volatile std::uint8_t* b = static_cast<const volatile std::uint8_t*>(B);
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < Size; ++i) diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

} // namespace kl
