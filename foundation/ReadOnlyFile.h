#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Types.h"

namespace kl::detail {

// A regular file kept open for reading at given offsets, closed on
// destruction. Only regular files are opened, without blocking on special
// ones; a failure raises EFOpenError with the system's reason. Reads go
// through the system, not a mapping, so a file that another process truncates
// or rewrites gives short reads or other bytes, never a fault. Reading from
// several threads at once is safe.
class TReadOnlyFile {
public:
  explicit TReadOnlyFile(const String& FileName);
  ~TReadOnlyFile();
  TReadOnlyFile(const TReadOnlyFile&) = delete;
  TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;

  // The size when the file was opened.
  std::uint64_t GetSize() const noexcept { return FSize; }
  // Fills Out with the Size bytes at Offset; false when the file no longer
  // holds them all or the system fails the read.
  bool ReadAt(std::uint64_t Offset, void* Out, std::size_t Size) const noexcept;

private:
  std::intptr_t FHandle = -1; // the descriptor, or the Windows handle
  std::uint64_t FSize = 0;
};

} // namespace kl::detail
