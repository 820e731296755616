#include "crypto/Argon2id.h"

#include <sodium.h>

#include <atomic>
#include <mutex>

#include "crypto/KLHashGate.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "foundation/StackBurn.h"

namespace kl::detail {

namespace {

constexpr const char* SSodiumUnavailable = "The Argon2id library (libsodium) could not be initialised";
constexpr const char* SArgon2idFailed = "Argon2id key derivation failed: parameters out of range or not enough memory";

static_assert(Argon2idSaltSize == crypto_pwhash_argon2id_SALTBYTES);

// libsodium's frames hold, once it returns, its last BLAKE2b states, the
// final block and the output on its way out; nothing of it wipes them. The
// derivation runs in a frame of its own, below the caller's, which the caller
// then burns. Its deepest frames (the block being filled, the final block and
// its bytes, the BLAKE2b state) take a few KiB; the burn takes the most the
// helper allows.
constexpr std::size_t kArgon2idStackBurn = kMaxStackBurn;

__attribute__((noinline)) int Derive(std::uint8_t* Out, std::size_t OutSize, const char* Password,
                                     std::size_t PasswordSize, const std::uint8_t* Salt, std::uint32_t Passes,
                                     std::uint64_t MemoryKiB) noexcept {
  return crypto_pwhash(Out, OutSize, Password, PasswordSize, Salt, Passes, static_cast<std::size_t>(MemoryKiB * 1024),
                       crypto_pwhash_ALG_ARGON2ID13);
}

std::atomic<TArgon2idObserver> GObserver{nullptr};

} // namespace

void SetArgon2idObserver(TArgon2idObserver Observer) noexcept { GObserver.store(Observer); }

void NoteArgon2id(std::uint32_t Passes, std::uint64_t MemoryKiB) noexcept {
  if (const TArgon2idObserver observer = GObserver.load(std::memory_order_relaxed)) observer(Passes, MemoryKiB);
}

void SodiumInitialize() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = sodium_init() >= 0; });
  if (!ready) throw EKLException(SSodiumUnavailable);
}

void Argon2id(const void* Password, std::size_t PasswordSize, const std::uint8_t* Salt, std::uint32_t Passes,
              std::uint64_t MemoryKiB, std::uint8_t* Out, std::size_t OutSize) {
  SodiumInitialize();
  if (Passes < Argon2idMinPasses || MemoryKiB < Argon2idMinMemoryKiB || MemoryKiB > Argon2idMaxMemoryKiB ||
      OutSize < crypto_pwhash_argon2id_BYTES_MIN || PasswordSize > crypto_pwhash_argon2id_PASSWD_MAX ||
      MemoryKiB * 1024 > crypto_pwhash_argon2id_MEMLIMIT_MAX) {
    throw EKLException(SArgon2idFailed);
  }
  // libsodium reads a null password as empty only when its size is 0.
  static const char empty = 0;
  const char* password = PasswordSize == 0 ? &empty : static_cast<const char*>(Password);
  // The slot is held to the end of the call, so its release comes after the
  // registers and the stack are cleared.
  const TKLHashSlot slot;
  NoteArgon2id(Passes, MemoryKiB);
  // The output leaves libsodium through vector registers; cleared here, before
  // any other call, a lazily bound call cannot save them to the stack.
  const int result = Derive(Out, OutSize, password, PasswordSize, Salt, Passes, MemoryKiB);
  ClearVectorRegisters();
  BurnStack(kArgon2idStackBurn);
  if (result != 0) {
    SecureZero(Out, OutSize);
    throw EKLException(SArgon2idFailed);
  }
}

} // namespace kl::detail
