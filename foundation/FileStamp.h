#pragma once

#include <cstdint>

#include "foundation/Exceptions.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Raised by a save told to keep a file that changed on disk since it was read.
KL_DECLARE_EXCEPTION(EFileChangedError, EFileError);

inline constexpr const char* SFileChanged = "changed on disk since it was loaded";

// What a file was at one moment: its identity (device and file number), size
// and modification time, to tell later whether anyone replaced or rewrote it.
// An atomic save gives the file a new identity, an edit in place a new
// modification time; a rename changes neither, so the stamp of a temporary
// file is that of the file it becomes. Links are followed. A plain value.
class KL_API TFileStamp {
public:
  // The stamp of no file.
  TFileStamp() = default;
  // The stamp of an existing file, from what the system tells of it.
  TFileStamp(std::uint64_t Device, std::uint64_t File, std::int64_t Size, std::int64_t Modified) noexcept
      : FExists(true), FDevice(Device), FFile(File), FSize(Size), FModified(Modified) {}

  // FileName's stamp now; the stamp of no file when there is none. Other
  // failures (a folder that cannot be searched) raise EFOpenError.
  static TFileStamp Of(const String& FileName);
  // The stamp of an open file: a file descriptor, or a Windows file handle's
  // value. The stamp of no file when the system cannot say.
  static TFileStamp OfHandle(std::intptr_t Handle) noexcept;

  bool GetExists() const noexcept { return FExists; }
  bool operator==(const TFileStamp& Other) const noexcept = default;

private:
  bool FExists = false;
  std::uint64_t FDevice = 0;
  std::uint64_t FFile = 0;
  std::int64_t FSize = 0;
  std::int64_t FModified = 0; // nanoseconds, or the system's own unit
};

} // namespace kl
