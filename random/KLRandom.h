#pragma once

#include <cstdint>
#include <memory>

#include "crypto/KLAES.h"
#include "foundation/Component.h"
#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Lock.h"

namespace kl {

KL_DECLARE_EXCEPTION(EKLRandomError, EKLException);

inline constexpr const char* SSystemRandomFailed = "The operating system's random source failed";

// A 128-bit block counter: four words, `a` the lowest. Its 16-byte image is
// a, b, c, d one after another, each little-endian.
struct TInt128 {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t c = 0;
  std::uint32_t d = 0;
};

// The source of every random byte the library uses. Applications may derive
// their own generator and plug it into any random-based component. Generate
// must be safe to call from several threads when the generator is shared.
class KL_API TKLBaseRandomGenerator : public TComponent {
public:
  explicit TKLBaseRandomGenerator(TComponent* AOwner = nullptr);
  ~TKLBaseRandomGenerator() override;

  // Fills P with exactly Size bytes when Size is positive; nothing otherwise.
  virtual void Generate(void* P, std::int32_t Size) = 0;
};

// AES-256 in counter mode under a key hashed (SHA-256) from the operating
// system's random source, clocks, the process id and, last, the local date and
// time. A failing system source raises EKLRandomError (SSystemRandomFailed):
// clocks alone are no seed. Each Generate holds the generator's lock for the
// whole call, so one generator may be shared by components on several threads;
// its blocks come from consecutive counter values and no value is used twice.
// The key schedule is wiped on destruction. Do not destroy it while another
// thread is inside Generate.
//
// The generator rekeys from fresh seed material, counter back to zero, in two
// cases, so that no block is ever drawn twice:
// - After a fork, before the child's next draw: otherwise parent and children
//   would draw the same bytes. A child is recognised by a fork generation that
//   a pthread_atfork handler bumps in every child; a generator made before the
//   fork still holds the old generation. pthread_atfork was chosen over a pid
//   check (a system call on every draw, and fooled when a grandchild gets a
//   recycled pid) and over MADV_WIPEONFORK (whole pages of their own for the
//   key, and Linux-only); it misses only children made by a raw clone system
//   call, which cannot safely run library code anyway.
// - After the counter's last value (all ones), where it would wrap to zero and
//   repeat the stream: the stream up to that point is unchanged.
class KL_API TKLFastRandomGenerator : public TKLBaseRandomGenerator {
public:
  static constexpr std::size_t SeedDigestSize = 32;

  explicit TKLFastRandomGenerator(TComponent* AOwner = nullptr);
  ~TKLFastRandomGenerator() override;

  void Generate(void* P, std::int32_t Size) override;

  // A generator keyed with a known seed digest instead of fresh platform
  // measurements: for known-answer tests only, never for real secrets.
  // StartCounter sets where the counter starts, to reach its end in tests.
  static std::unique_ptr<TKLFastRandomGenerator> CreateFromSeedDigestForTesting(const std::uint8_t* SeedDigest,
                                                                                const TInt128& StartCounter = {});

  // The counter step: the lowest word below 0xFFFFFFFF grows by one and the
  // words beneath it stay as they are; from all ones the counter wraps to zero.
  // Not a binary increment: it runs through 2^34 - 3 values before it wraps.
  static void AdvanceCounter(TInt128& Counter) noexcept;

  // The counter value the next block will be made from.
  TInt128 GetCounter();

private:
  struct SeedDigestTag {};
  TKLFastRandomGenerator(const std::uint8_t* SeedDigest, SeedDigestTag);
  void SetKey(const std::uint8_t* SeedDigest) noexcept;
  // New key from fresh seed material, counter back to zero.
  void Reseed();
  void ReseedAfterForkIfNeeded();
  std::uint8_t* MakeBlocks(std::uint8_t* Out, std::size_t Blocks);

  TAESExpandedKey256 FExpandedKey{};
  TInt128 FCounter{};
  std::uint64_t FForkGeneration = 0;
  TCriticalSection FCS;
};

// Base of every component that draws random bytes. Each gets a private,
// separately seeded TKLFastRandomGenerator; an application may plug in another
// generator (shared, or a class of its own), which is then used instead. The
// plugged generator is not owned unless OwnRandomGenerator is set; when it is
// destroyed elsewhere the component is told and falls back to its private one.
// Descendants ask GetRandomGenerator() every time and keep no reference.
class KL_API TKLRandomBasedComponent : public TComponent {
public:
  explicit TKLRandomBasedComponent(TComponent* AOwner = nullptr);
  ~TKLRandomBasedComponent() override;

  // The plugged generator, or the private one; never null while alive.
  TKLBaseRandomGenerator* GetRandomGenerator() const noexcept;
  // Plugs in a generator (null unplugs). The previous one is never destroyed here.
  virtual void SetRandomGenerator(TKLBaseRandomGenerator* Value);

  bool GetOwnRandomGenerator() const noexcept { return FOwnRandomGenerator; }
  void SetOwnRandomGenerator(bool Value) noexcept { FOwnRandomGenerator = Value; }

protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  TKLBaseRandomGenerator* FDefaultRandomGenerator = nullptr;
  TKLBaseRandomGenerator* FRandomGenerator = nullptr;
  bool FOwnRandomGenerator = false;
};

} // namespace kl
