#include <mutex>
#include <new>

#include "foundation/Lock.h"

namespace kl {

namespace {

static_assert(sizeof(std::mutex) <= TCriticalSection::StorageSize);
static_assert(alignof(std::mutex) <= alignof(std::max_align_t));

std::mutex& Mutex(unsigned char* Storage) noexcept { return *std::launder(reinterpret_cast<std::mutex*>(Storage)); }

} // namespace

TCriticalSection::TCriticalSection() noexcept { ::new (static_cast<void*>(FStorage)) std::mutex(); }

TCriticalSection::~TCriticalSection() { Mutex(FStorage).~mutex(); }

// std::mutex::lock throws only for conditions that a correctly used
// non-recursive lock cannot meet (deadlock on itself, invalid state).
void TCriticalSection::lock() noexcept { Mutex(FStorage).lock(); }

void TCriticalSection::unlock() noexcept { Mutex(FStorage).unlock(); }

bool TCriticalSection::try_lock() noexcept { return Mutex(FStorage).try_lock(); }

} // namespace kl
