#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"

namespace kl {

// A stream over a growable buffer it owns. Buffers it gives up (on growth,
// SetSize, Clear or destruction) are wiped first, since decrypted content and
// protected values pass through memory streams.
class KL_API TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(const ByteArray& Initial);
  ~TMemoryStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t GetSize() override { return static_cast<std::int64_t>(FSize); }
  void SetSize(std::int64_t NewSize) override;
  void ExpectWrite(std::int64_t Count) override;

  void Clear();
  const std::uint8_t* GetMemory() const noexcept { return FData; }
  std::uint8_t* GetMemory() noexcept { return FData; }
  ByteArray ToBytes() const;

private:
  void Reserve(std::size_t Capacity);

  std::uint8_t* FData = nullptr;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
  std::size_t FPosition = 0;
};

} // namespace kl
