#pragma once

#include <cstdint>

#include "foundation/Export.h"

namespace kl {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// Abstract byte stream. Read and Write move up to Count bytes and return the
// count handled; ReadBuffer and WriteBuffer move exactly Count bytes or raise
// EReadError / EWriteError. Position and size queries go through Seek, so a
// stream that cannot seek cannot report them either. A negative count raises
// ERangeError. Streams are owned by whoever creates them.
class KL_API TStream {
public:
  TStream() = default;
  virtual ~TStream();
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;
  virtual std::int32_t Write(const void* Buffer, std::int32_t Count) = 0;
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t NewSize);
  // A hint that about Count bytes are about to be written at the position,
  // so that a stream in memory can grow once; it changes nothing observable.
  virtual void ExpectWrite(std::int64_t Count);
  std::int64_t GetPosition();
  void SetPosition(std::int64_t Pos);

  void ReadBuffer(void* Buffer, std::int32_t Count);
  void WriteBuffer(const void* Buffer, std::int32_t Count);

  // Copies Count bytes (all remaining bytes when Count is 0) from Source.
  std::int64_t CopyFrom(TStream& Source, std::int64_t Count);
};

} // namespace kl
