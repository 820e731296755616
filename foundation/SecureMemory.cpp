#include "foundation/SecureMemory.h"

#include <cstring>

namespace kl {

// SecureZero, the one wipe beneath these, is the platform's own (SecureZero_*.cpp).

// The whole capacity is wiped, not only the length: a container that shrank
// (a cut string, a popped byte) keeps the old contents beyond its end. The
// container is first grown to its capacity, which never reallocates, so
// that every byte wiped is one of its elements.
void WipeBytes(ByteArray& Bytes) noexcept {
  Bytes.resize(Bytes.capacity());
  SecureZero(Bytes.data(), Bytes.size());
  Bytes.clear();
}

void WipeRawBytes(RawByteString& Bytes) noexcept {
  Bytes.resize(Bytes.capacity());
  SecureZero(Bytes.data(), Bytes.size());
  Bytes.clear();
}

void WipeString(String& Text) noexcept {
  Text.resize(Text.capacity());
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
