#include "random/KLRandom.h"

#include <bit>
#include <cstring>
#include <mutex>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "random/SeedSource.h"

namespace kl {

namespace {

constexpr std::size_t kBlockSize = 16;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

void StoreCounter(const TInt128& Counter, std::uint8_t* Out) noexcept {
  std::uint32_t words[4] = {Counter.a, Counter.b, Counter.c, Counter.d};
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint32_t& w : words) w = __builtin_bswap32(w);
  }
  std::memcpy(Out, words, sizeof(words));
}

bool IsLastCounter(const TInt128& Counter) noexcept {
  return (Counter.a & Counter.b & Counter.c & Counter.d) == kAllOnes;
}

} // namespace

EKLRandomError::~EKLRandomError() = default;

TKLBaseRandomGenerator::TKLBaseRandomGenerator(TComponent* AOwner) : TComponent(AOwner) {}

TKLBaseRandomGenerator::~TKLBaseRandomGenerator() = default;

// A failing seed leaves through the constructor; the finished base class's
// destructor then takes the generator out of its owner's list.
TKLFastRandomGenerator::TKLFastRandomGenerator(TComponent* AOwner) : TKLBaseRandomGenerator(AOwner) { Reseed(); }

TKLFastRandomGenerator::TKLFastRandomGenerator(const std::uint8_t* SeedDigest, SeedDigestTag)
    : TKLBaseRandomGenerator(nullptr), FForkGeneration(detail::ForkGeneration()) {
  SetKey(SeedDigest);
}

std::unique_ptr<TKLFastRandomGenerator> TKLFastRandomGenerator::CreateFromSeedDigestForTesting(
    const std::uint8_t* SeedDigest, const TInt128& StartCounter) {
  std::unique_ptr<TKLFastRandomGenerator> generator(new TKLFastRandomGenerator(SeedDigest, SeedDigestTag{}));
  generator->FCounter = StartCounter;
  return generator;
}

void TKLFastRandomGenerator::Reseed() {
  const std::uint64_t generation = detail::ForkGeneration();
  TSHA256Context context;
  SHA256Initialize(context);
  try {
    detail::GatherSeedMaterial(context);
  } catch (...) {
    SecureZeroObject(context);
    throw;
  }
  TMessageDigest256 digest = SHA256Finalize(context);
  SetKey(reinterpret_cast<const std::uint8_t*>(&digest));
  SecureZeroObject(digest);
  SecureZeroObject(context);
  FCounter = TInt128{};
  FForkGeneration = generation;
}

void TKLFastRandomGenerator::ReseedAfterForkIfNeeded() {
  if (FForkGeneration != detail::ForkGeneration()) Reseed();
}

TKLFastRandomGenerator::~TKLFastRandomGenerator() { SecureZeroObject(FExpandedKey); }

void TKLFastRandomGenerator::SetKey(const std::uint8_t* SeedDigest) noexcept {
  AESInitialize(SeedDigest, FExpandedKey, false);
}

void TKLFastRandomGenerator::AdvanceCounter(TInt128& Counter) noexcept {
  if (Counter.a < kAllOnes) {
    ++Counter.a;
  } else if (Counter.b < kAllOnes) {
    ++Counter.b;
  } else if (Counter.c < kAllOnes) {
    ++Counter.c;
  } else if (Counter.d < kAllOnes) {
    ++Counter.d;
  } else {
    Counter = TInt128{};
  }
}

TInt128 TKLFastRandomGenerator::GetCounter() {
  std::lock_guard<TCriticalSection> lock(FCS);
  return FCounter;
}

// Whole blocks are made in place in the caller's buffer: the counter images
// are written where their encryptions go, then encrypted together, so the
// hardware path can pipeline independent blocks. A run stops after the
// counter's last value, where the generator rekeys instead of wrapping.
// Returns the end of what was made.
std::uint8_t* TKLFastRandomGenerator::MakeBlocks(std::uint8_t* Out, std::size_t Blocks) {
  while (Blocks != 0) {
    std::size_t run = 0;
    bool last = false;
    while (run < Blocks && !last) {
      StoreCounter(FCounter, Out + run * kBlockSize);
      last = IsLastCounter(FCounter);
      AdvanceCounter(FCounter);
      ++run;
    }
    detail::ActiveAES().EncryptBlocks(FExpandedKey, Out, Out, run);
    Out += run * kBlockSize;
    Blocks -= run;
    if (last) Reseed();
  }
  return Out;
}

// The counter is read before it is advanced, so a fresh generator's first
// block encrypts sixteen zero bytes.
void TKLFastRandomGenerator::Generate(void* P, std::int32_t Size) {
  if (Size <= 0) return;
  std::lock_guard<TCriticalSection> lock(FCS);
  ReseedAfterForkIfNeeded();
  auto* out = static_cast<std::uint8_t*>(P);
  out = MakeBlocks(out, static_cast<std::size_t>(Size) / kBlockSize);
  const std::size_t tail = static_cast<std::size_t>(Size) % kBlockSize;
  if (tail != 0) {
    std::uint8_t block[kBlockSize];
    MakeBlocks(block, 1);
    std::memcpy(out, block, tail);
    SecureZero(block, sizeof(block));
  }
}

TKLRandomBasedComponent::TKLRandomBasedComponent(TComponent* AOwner)
    : TComponent(AOwner), FDefaultRandomGenerator(new TKLFastRandomGenerator(nullptr)) {}

// The plugged generator is cleared before it is destroyed, so the removal
// notification it sends back on its way out finds no match here.
TKLRandomBasedComponent::~TKLRandomBasedComponent() {
  FreeAndNil(FDefaultRandomGenerator);
  if (FOwnRandomGenerator && FRandomGenerator != nullptr) {
    TKLBaseRandomGenerator* plugged = FRandomGenerator;
    FRandomGenerator = nullptr;
    delete plugged;
  }
}

TKLBaseRandomGenerator* TKLRandomBasedComponent::GetRandomGenerator() const noexcept {
  return FRandomGenerator != nullptr ? FRandomGenerator : FDefaultRandomGenerator;
}

void TKLRandomBasedComponent::SetRandomGenerator(TKLBaseRandomGenerator* Value) {
  if (FRandomGenerator != nullptr) FRandomGenerator->RemoveFreeNotification(this);
  FRandomGenerator = Value;
  if (FRandomGenerator != nullptr) FRandomGenerator->FreeNotification(this);
}

void TKLRandomBasedComponent::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent != nullptr && AComponent == FRandomGenerator) SetRandomGenerator(nullptr);
}

} // namespace kl
