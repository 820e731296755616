#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"

namespace kl {

inline constexpr const char* SNotARegularFile = "not a regular file";

enum TFileMode {
  fmCreate,   // create or truncate, read-write
  fmOpenRead, // existing file, read-only
  fmOpenReadWrite
};

// A stream over an operating-system file, closed on destruction. Opening fails
// with EFOpenError (fmOpenRead, fmOpenReadWrite) or EFCreateError (fmCreate),
// also for anything but a regular file (a folder, FIFO, device or socket),
// which is refused without waiting on it; read and write failures of the
// system raise EReadError / EWriteError.
class KL_API TFileStream : public TStream {
public:
  TFileStream(const String& FileName, TFileMode Mode);
  ~TFileStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(std::int64_t NewSize) override;

  // Pushes written data to the storage device (fsync, FlushFileBuffers).
  void FlushToDisk();
  const String& GetFileName() const noexcept { return FFileName; }

  // The operating system's handle of an open file: a file descriptor, or the
  // value of a Windows file handle. -1 is never a valid one.
  using THandle = std::intptr_t;

  // Takes over an open handle (used by the atomic save for its temporary file).
  TFileStream(THandle Handle, const String& FileName);

private:
  THandle FHandle = -1;
  String FFileName;
};

} // namespace kl
