#pragma once

#include <cstdint>

namespace kl::detail {

// How many flushes to disk the atomic saves of this process have made: of the
// temporary file before its rename, and of the folder after it. Tests pin
// them, since nothing else would notice a flush that went missing.
struct TAtomicSaveFlushes {
  std::uint64_t Files = 0;
  std::uint64_t Folders = 0;
};

TAtomicSaveFlushes AtomicSaveFlushes() noexcept;

} // namespace kl::detail
