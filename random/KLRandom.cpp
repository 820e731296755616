#include "random/KLRandom.h"

#include <bit>
#include <cstring>

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

} // namespace

TKLBaseRandomGenerator::TKLBaseRandomGenerator(TComponent* AOwner) : TComponent(AOwner) {}

TKLBaseRandomGenerator::~TKLBaseRandomGenerator() = default;

TKLFastRandomGenerator::TKLFastRandomGenerator(TComponent* AOwner) : TKLBaseRandomGenerator(AOwner) {
  TSHA256Context context;
  SHA256Initialize(context);
  detail::GatherSeedMaterial(context);
  TMessageDigest256 digest = SHA256Finalize(context);
  SetKey(reinterpret_cast<const std::uint8_t*>(&digest));
  SecureZeroObject(digest);
  SecureZeroObject(context);
}

TKLFastRandomGenerator::TKLFastRandomGenerator(const std::uint8_t* SeedDigest, SeedDigestTag)
    : TKLBaseRandomGenerator(nullptr) {
  SetKey(SeedDigest);
}

std::unique_ptr<TKLFastRandomGenerator> TKLFastRandomGenerator::CreateFromSeedDigestForTesting(
    const std::uint8_t* SeedDigest) {
  return std::unique_ptr<TKLFastRandomGenerator>(new TKLFastRandomGenerator(SeedDigest, SeedDigestTag{}));
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
  std::lock_guard<std::mutex> lock(FCS);
  return FCounter;
}

// Whole blocks are made in place in the caller's buffer: the counter images
// are written where their encryptions go, then encrypted together, so the
// hardware path can pipeline independent blocks. The counter is read before it
// is advanced, so a fresh generator's first block encrypts sixteen zero bytes.
void TKLFastRandomGenerator::Generate(void* P, std::int32_t Size) {
  if (Size <= 0) return;
  std::lock_guard<std::mutex> lock(FCS);
  auto* out = static_cast<std::uint8_t*>(P);
  const std::size_t blocks = static_cast<std::size_t>(Size) / kBlockSize;
  const std::size_t tail = static_cast<std::size_t>(Size) % kBlockSize;
  for (std::size_t i = 0; i < blocks; ++i) {
    StoreCounter(FCounter, out + i * kBlockSize);
    AdvanceCounter(FCounter);
  }
  detail::ActiveAES().EncryptBlocks(FExpandedKey, out, out, blocks);
  out += blocks * kBlockSize;
  if (tail != 0) {
    std::uint8_t block[kBlockSize];
    StoreCounter(FCounter, block);
    AdvanceCounter(FCounter);
    AESEncrypt(block, FExpandedKey, block);
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
