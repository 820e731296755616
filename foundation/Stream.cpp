#include "foundation/Stream.h"

#include <algorithm>
#include <array>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"

namespace kl {

TStream::~TStream() = default;

std::int64_t TStream::GetSize() {
  const std::int64_t pos = Seek(0, soCurrent);
  const std::int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) { throw Exception(SNotImplemented); }

void TStream::ExpectWrite(std::int64_t) {}

std::int64_t TStream::GetPosition() { return Seek(0, soCurrent); }

void TStream::SetPosition(std::int64_t Pos) { Seek(Pos, soBeginning); }

void TStream::ReadBuffer(void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  std::int32_t done = 0;
  auto* p = static_cast<std::uint8_t*>(Buffer);
  while (done < Count) {
    const std::int32_t n = Read(p + done, Count - done);
    if (n <= 0) throw EReadError(SReadError);
    done += n;
  }
}

void TStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  std::int32_t done = 0;
  const auto* p = static_cast<const std::uint8_t*>(Buffer);
  while (done < Count) {
    const std::int32_t n = Write(p + done, Count - done);
    if (n <= 0) throw EWriteError(SWriteError);
    done += n;
  }
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  std::array<std::uint8_t, 64 * 1024> buffer;
  WipeOnExit<decltype(buffer)> wipe(buffer);
  std::int64_t copied = 0;
  if (Count == 0) {
    for (;;) {
      const std::int32_t n = Source.Read(buffer.data(), static_cast<std::int32_t>(buffer.size()));
      if (n <= 0) break;
      WriteBuffer(buffer.data(), n);
      copied += n;
    }
    return copied;
  }
  while (copied < Count) {
    const auto chunk = static_cast<std::int32_t>(std::min<std::int64_t>(Count - copied, buffer.size()));
    Source.ReadBuffer(buffer.data(), chunk);
    WriteBuffer(buffer.data(), chunk);
    copied += chunk;
  }
  return copied;
}

} // namespace kl
