#include <windows.h>

#include <bcrypt.h>

#include <atomic>
#include <cstdint>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "random/KLRandom.h"
#include "random/SeedSource.h"

namespace kl::detail {

namespace {

constexpr std::size_t kSystemRandomBytes = SystemSeedBytes;
constexpr std::uint32_t kMemoryStatusImageSize = 32; // the 32-bit record: eight 32-bit fields
constexpr std::uint32_t kCursorInfoImageSize = 20;   // the 32-bit record: five 32-bit fields

// A little-endian image of fixed-width fields, hashed in one piece.
template <std::size_t N>
class TImage {
public:
  void Put32(std::uint32_t Value) noexcept {
    for (int i = 0; i < 4; ++i) FBytes[FUsed++] = static_cast<std::uint8_t>(Value >> (8 * i));
  }
  void Put64(std::uint64_t Value) noexcept {
    for (int i = 0; i < 8; ++i) FBytes[FUsed++] = static_cast<std::uint8_t>(Value >> (8 * i));
  }
  void FeedTo(TSHA256Context& Context) const { SHA256Update(Context, FBytes, static_cast<std::uint32_t>(FUsed)); }

private:
  std::uint8_t FBytes[N]{};
  std::size_t FUsed = 0;
};

// A 64-bit quantity as the 32-bit record holds it: values that do not fit
// read as all ones, as 32-bit Windows reports memory beyond 4 GB.
std::uint32_t Saturated32(std::uint64_t Value) noexcept {
  return Value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(Value);
}

bool SystemRandom(std::uint8_t* Buffer, std::size_t Size) {
  return BCryptGenRandom(nullptr, Buffer, static_cast<ULONG>(Size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

std::atomic<TSystemRandomSource> gSystemRandom{nullptr};

// The system's random bytes. Without them the measurements below would be the
// whole seed, guessable by anyone who knows roughly when it was made: a
// failure is an error, never a weaker seed.
void FeedSystemRandom(TSHA256Context& Context) {
  std::uint8_t buffer[kSystemRandomBytes];
  const TSystemRandomSource source = gSystemRandom.load();
  const bool ok = source != nullptr ? source(buffer, sizeof(buffer)) : SystemRandom(buffer, sizeof(buffer));
  if (ok) SHA256Update(Context, buffer, sizeof(buffer));
  SecureZero(buffer, sizeof(buffer));
  if (!ok) throw EKLRandomError(SSystemRandomFailed);
}

void FeedTickCount(TSHA256Context& Context) {
  TImage<4> image;
  image.Put32(GetTickCount());
  image.FeedTo(Context);
}

void FeedPerformanceCounter(TSHA256Context& Context) {
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  TImage<8> image;
  image.Put64(static_cast<std::uint64_t>(counter.QuadPart));
  image.FeedTo(Context);
}

// Record length, memory load, then total and available physical memory, page
// file and virtual memory, each as a 32-bit field whatever the build's width.
void FeedMemoryStatus(TSHA256Context& Context) {
  MEMORYSTATUS status{};
  status.dwLength = sizeof(status);
  GlobalMemoryStatus(&status);
  TImage<kMemoryStatusImageSize> image;
  image.Put32(kMemoryStatusImageSize);
  image.Put32(status.dwMemoryLoad);
  image.Put32(Saturated32(status.dwTotalPhys));
  image.Put32(Saturated32(status.dwAvailPhys));
  image.Put32(Saturated32(status.dwTotalPageFile));
  image.Put32(Saturated32(status.dwAvailPageFile));
  image.Put32(Saturated32(status.dwTotalVirtual));
  image.Put32(Saturated32(status.dwAvailVirtual));
  image.FeedTo(Context);
}

// Record size, flags, cursor handle, screen x and y. The call gets the
// record's true size; the image records the 32-bit one. Cursor handles are
// 32-bit values on every Windows, so the low half is the whole handle.
void FeedCursorInfo(TSHA256Context& Context) {
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  GetCursorInfo(&info);
  TImage<kCursorInfoImageSize> image;
  image.Put32(kCursorInfoImageSize);
  image.Put32(info.flags);
  image.Put32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.hCursor)));
  image.Put32(static_cast<std::uint32_t>(info.ptScreenPos.x));
  image.Put32(static_cast<std::uint32_t>(info.ptScreenPos.y));
  image.FeedTo(Context);
}

} // namespace

void SetSystemRandomSourceForTesting(TSystemRandomSource Source) noexcept { gSystemRandom.store(Source); }

// Windows has no fork.
std::uint64_t ForkGeneration() noexcept { return 0; }

// None of the measurements is checked: whatever a record holds after its call
// is hashed.
void GatherSeedMaterial(TSHA256Context& Context) {
  FeedSystemRandom(Context);
  FeedTickCount(Context);
  FeedPerformanceCounter(Context);
  FeedMemoryStatus(Context);
  FeedCursorInfo(Context);
  const auto dateTime = DoubleToExtended80(Now());
  SHA256Update(Context, dateTime.data(), static_cast<std::uint32_t>(dateTime.size()));
}

} // namespace kl::detail
