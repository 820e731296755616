#include "foundation/SecureMemory.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kl {

void SecureZero(void* Data, std::size_t Size) noexcept {
  if (Data == nullptr || Size == 0) return;
#if defined(_WIN32)
  SecureZeroMemory(Data, Size);
#else
  explicit_bzero(Data, Size);
#endif
}

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
