#include "random/SeedSource.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"

namespace kl::detail {

namespace {

constexpr std::size_t kSystemRandomBytes = 64;

// Reads from the kernel's random source; a failure leaves fewer fresh bytes,
// never an error: the clocks below still make every seed distinct.
void FeedSystemRandom(TSHA256Context& Context) {
  std::uint8_t buffer[kSystemRandomBytes];
  std::size_t filled = 0;
  while (filled < sizeof(buffer)) {
    const ssize_t n = ::getrandom(buffer + filled, sizeof(buffer) - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  SHA256Update(Context, buffer, static_cast<std::uint32_t>(filled));
  SecureZero(buffer, sizeof(buffer));
}

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

void GatherSeedMaterial(TSHA256Context& Context) {
  FeedSystemRandom(Context);
  FeedLittleEndian(Context, ClockNanoseconds(CLOCK_MONOTONIC), 8);
  FeedLittleEndian(Context, ClockNanoseconds(CLOCK_REALTIME), 8);
  FeedLittleEndian(Context, static_cast<std::uint64_t>(::getpid()), 4);
  const auto dateTime = DoubleToExtended80(Now());
  SHA256Update(Context, dateTime.data(), static_cast<std::uint32_t>(dateTime.size()));
}

} // namespace kl::detail
