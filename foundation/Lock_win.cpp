#include <windows.h>

#include <new>

#include "foundation/Lock.h"

namespace kl {

namespace {

static_assert(sizeof(SRWLOCK) <= TCriticalSection::StorageSize);
static_assert(alignof(SRWLOCK) <= alignof(std::max_align_t));

PSRWLOCK Srw(unsigned char* Storage) noexcept { return std::launder(reinterpret_cast<PSRWLOCK>(Storage)); }

} // namespace

TCriticalSection::TCriticalSection() noexcept {
  ::new (static_cast<void*>(FStorage)) SRWLOCK;
  InitializeSRWLock(Srw(FStorage));
}

// A slim reader/writer lock holds no resources and needs no deletion.
TCriticalSection::~TCriticalSection() = default;

void TCriticalSection::lock() noexcept { AcquireSRWLockExclusive(Srw(FStorage)); }

void TCriticalSection::unlock() noexcept { ReleaseSRWLockExclusive(Srw(FStorage)); }

bool TCriticalSection::try_lock() noexcept { return TryAcquireSRWLockExclusive(Srw(FStorage)) != 0; }

} // namespace kl
