#pragma once

#include <cstdint>

namespace kl::detail {

// How many flushes to disk the atomic saves of this process have made: of the
// temporary file before its rename, and of the folder after it. Tests pin
// them, since nothing else would notice a flush that went missing. The last
// file flush also notes the file it covered (its file number, which the rename
// keeps; 0 when the file no longer had its temporary name) and that file's
// size at the flush, so that a flush of another file, or one made before the
// writer finished or after the rename, shows (POSIX only; 0 and -1 elsewhere).
struct TAtomicSaveFlushes {
  std::uint64_t Files = 0;
  std::uint64_t Folders = 0;
  std::uint64_t LastFile = 0;
  std::int64_t LastFileSize = -1;
};

TAtomicSaveFlushes AtomicSaveFlushes() noexcept;

} // namespace kl::detail
