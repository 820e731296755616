#pragma once

#include <cstddef>

#include "foundation/Export.h"

namespace kl {

// A mutual-exclusion lock of the operating system: a slim reader/writer lock
// taken exclusively on Windows, a pthread mutex (std::mutex) elsewhere. Not
// recursive; not copyable. Meets the standard's Lockable requirements, so
// std::lock_guard works with it. Its storage is opaque here so that no system
// header reaches the units that use it.
class KL_API TCriticalSection {
public:
  TCriticalSection() noexcept;
  ~TCriticalSection();
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void lock() noexcept;
  void unlock() noexcept;
  bool try_lock() noexcept;

  static constexpr std::size_t StorageSize = 64;

private:
  alignas(std::max_align_t) unsigned char FStorage[StorageSize];
};

} // namespace kl
