#include "random/SeedSource.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "random/KLRandom.h"

namespace kl::detail {

namespace {

#if defined(__EMSCRIPTEN__)
// In a browser the system's source is crypto.getRandomValues, which emscripten
// serves through getentropy (at most 256 bytes a call).
bool KernelRandom(std::uint8_t* Buffer, std::size_t Size) {
  constexpr std::size_t kMaxEntropyCall = 256;
  for (std::size_t filled = 0; filled < Size; filled += kMaxEntropyCall) {
    const std::size_t chunk = Size - filled < kMaxEntropyCall ? Size - filled : kMaxEntropyCall;
    if (::getentropy(Buffer + filled, chunk) != 0) return false;
  }
  return true;
}
#else
bool KernelRandom(std::uint8_t* Buffer, std::size_t Size) {
  std::size_t filled = 0;
  while (filled < Size) {
    const ssize_t n = ::getrandom(Buffer + filled, Size - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}
#endif

std::atomic<TSystemRandomSource> gSystemRandom{nullptr};

// Reads from the kernel's random source. Without it the clocks below would be
// the whole seed, guessable by anyone who knows roughly when it was made: a
// failure is an error, never a weaker seed.
void FeedSystemRandom(TSHA256Context& Context) {
  std::uint8_t buffer[SystemSeedBytes];
  const TSystemRandomSource source = gSystemRandom.load();
  const bool ok = source != nullptr ? source(buffer, sizeof(buffer)) : KernelRandom(buffer, sizeof(buffer));
  if (ok) SHA256Update(Context, buffer, static_cast<std::uint32_t>(sizeof(buffer)));
  SecureZero(buffer, sizeof(buffer));
  if (!ok) throw EKLRandomError(SSystemRandomFailed);
}

std::atomic<std::uint64_t> gForkGeneration{0};

void CountFork() noexcept { gForkGeneration.fetch_add(1, std::memory_order_relaxed); }

// Registered once, when the library is loaded.
const int gForkHandlerRegistered = ::pthread_atfork(nullptr, nullptr, CountFork);

void FeedLittleEndian(TSHA256Context& Context, std::uint64_t Value, int Bytes) {
  std::uint8_t image[8];
  for (int i = 0; i < Bytes; ++i) image[i] = static_cast<std::uint8_t>(Value >> (8 * i));
  SHA256Update(Context, image, static_cast<std::uint32_t>(Bytes));
}

std::uint64_t ClockNanoseconds(clockid_t Clock) {
  timespec ts{};
  ::clock_gettime(Clock, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

} // namespace

void SetSystemRandomSourceForTesting(TSystemRandomSource Source) noexcept { gSystemRandom.store(Source); }

std::uint64_t ForkGeneration() noexcept {
  (void)gForkHandlerRegistered;
  return gForkGeneration.load(std::memory_order_relaxed);
}

void GatherSeedMaterial(TSHA256Context& Context) {
  FeedSystemRandom(Context);
  FeedLittleEndian(Context, ClockNanoseconds(CLOCK_MONOTONIC), 8);
  FeedLittleEndian(Context, ClockNanoseconds(CLOCK_REALTIME), 8);
  FeedLittleEndian(Context, static_cast<std::uint64_t>(::getpid()), 4);
  const auto dateTime = DoubleToExtended80(Now());
  SHA256Update(Context, dateTime.data(), static_cast<std::uint32_t>(dateTime.size()));
}

} // namespace kl::detail
