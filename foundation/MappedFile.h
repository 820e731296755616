#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Types.h"

namespace kl::detail {

// A whole regular file mapped read-only into memory, unmapped on destruction.
// Only regular files are opened, without blocking on special ones; a failure
// raises EFOpenError with the system's reason. An empty file maps to no bytes.
// Reading the mapping from several threads at once is safe.
class TMappedFile {
public:
  explicit TMappedFile(const String& FileName);
  ~TMappedFile();
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;

  const std::uint8_t* GetData() const noexcept { return FData; }
  std::uint64_t GetSize() const noexcept { return FSize; }

private:
  const std::uint8_t* FData = nullptr;
  std::uint64_t FSize = 0;
  std::intptr_t FMapping = 0; // the Windows mapping object; unused on POSIX
};

} // namespace kl::detail
