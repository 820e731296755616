#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Overwrites a buffer with zeros in a way the optimiser cannot drop. Every key,
// derived byte, salt, pad, context and password copy is wiped through it.
KL_API void SecureZero(void* Data, std::size_t Size) noexcept;

template <class T> void SecureZeroObject(T& Obj) noexcept { SecureZero(&Obj, sizeof(Obj)); }

// Wipes the contents of a byte array or text in place, then empties it.
KL_API void WipeBytes(ByteArray& Bytes) noexcept;
KL_API void WipeRawBytes(RawByteString& Bytes) noexcept;
KL_API void WipeString(String& Text) noexcept;

// Compares two buffers in time that depends only on Size.
KL_API bool ConstantTimeEqual(const void* A, const void* B, std::size_t Size) noexcept;

// A byte array that wipes itself when it goes out of scope.
class KL_API SecureBytes {
public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t Size) : FBytes(Size) {}
  explicit SecureBytes(ByteArray Bytes) : FBytes(std::move(Bytes)) {}
  ~SecureBytes() { WipeBytes(FBytes); }
  SecureBytes(const SecureBytes&) = delete;
  SecureBytes& operator=(const SecureBytes&) = delete;
  // A move hands the buffer over whole; what the target held is wiped.
  SecureBytes(SecureBytes&& Other) noexcept : FBytes(std::move(Other.FBytes)) { Other.FBytes.clear(); }
  SecureBytes& operator=(SecureBytes&& Other) noexcept {
    if (this != &Other) {
      WipeBytes(FBytes);
      FBytes.swap(Other.FBytes);
    }
    return *this;
  }

  ByteArray& Get() noexcept { return FBytes; }
  const ByteArray& Get() const noexcept { return FBytes; }
  std::uint8_t* data() noexcept { return FBytes.data(); }
  const std::uint8_t* data() const noexcept { return FBytes.data(); }
  std::size_t size() const noexcept { return FBytes.size(); }

private:
  ByteArray FBytes;
};

// Wipes a trivially copyable object (a context, a key schedule) at scope exit.
template <class T> class WipeOnExit {
public:
  explicit WipeOnExit(T& Obj) noexcept : FObj(Obj) {}
  ~WipeOnExit() { SecureZeroObject(FObj); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
  T& FObj;
};

} // namespace kl
