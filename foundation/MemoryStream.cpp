#include "foundation/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "foundation/Exceptions.h"
#include "foundation/SecureMemory.h"

namespace kl {

TMemoryStream::TMemoryStream(const ByteArray& Initial) {
  Reserve(Initial.size());
  if (!Initial.empty()) std::memcpy(FData, Initial.data(), Initial.size());
  FSize = Initial.size();
}

TMemoryStream::~TMemoryStream() { Clear(); }

void TMemoryStream::Clear() {
  SecureZero(FData, FCapacity);
  ::operator delete(FData);
  FData = nullptr;
  FSize = FCapacity = FPosition = 0;
}

// Grows by doubling; the old buffer is wiped before it is released, so no copy
// of the content is left behind in freed memory.
void TMemoryStream::Reserve(std::size_t Capacity) {
  if (Capacity <= FCapacity) return;
  std::size_t grown = std::max<std::size_t>(Capacity, FCapacity + FCapacity / 2);
  grown = std::max<std::size_t>(grown, 256);
  auto* fresh = static_cast<std::uint8_t*>(::operator new(grown));
  if (FSize != 0) std::memcpy(fresh, FData, FSize);
  SecureZero(FData, FCapacity);
  ::operator delete(FData);
  FData = fresh;
  FCapacity = grown;
}

std::int32_t TMemoryStream::Read(void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  if (FPosition >= FSize || Count == 0) return 0;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(Count), FSize - FPosition);
  std::memcpy(Buffer, FData + FPosition, n);
  FPosition += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t TMemoryStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  if (Count == 0) return 0;
  const std::size_t end = FPosition + static_cast<std::size_t>(Count);
  Reserve(end);
  if (FPosition > FSize) std::memset(FData + FSize, 0, FPosition - FSize);
  std::memcpy(FData + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition = end;
  FSize = std::max(FSize, end);
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t base = 0;
  switch (Origin) {
    case soBeginning:
      base = 0;
      break;
    case soCurrent:
      base = static_cast<std::int64_t>(FPosition);
      break;
    case soEnd:
      base = static_cast<std::int64_t>(FSize);
      break;
    default:
      throw ERangeError(SRangeError);
  }
  if ((Offset > 0 && base > std::numeric_limits<std::int64_t>::max() - Offset)) throw ERangeError(SRangeError);
  const std::int64_t target = base + Offset;
  if (target < 0) throw EStreamError("Invalid stream position");
  FPosition = static_cast<std::size_t>(target);
  return target;
}

void TMemoryStream::ExpectWrite(std::int64_t Count) {
  if (Count > 0 && static_cast<std::uint64_t>(Count) <= std::numeric_limits<std::size_t>::max() - FPosition) {
    Reserve(FPosition + static_cast<std::size_t>(Count));
  }
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw ERangeError(SRangeError);
  const auto size = static_cast<std::size_t>(NewSize);
  Reserve(size);
  if (size > FSize) {
    std::memset(FData + FSize, 0, size - FSize);
  } else {
    SecureZero(FData + size, FSize - size);
  }
  FSize = size;
  FPosition = std::min(FPosition, FSize);
}

ByteArray TMemoryStream::ToBytes() const { return ByteArray(FData, FData + FSize); }

} // namespace kl
