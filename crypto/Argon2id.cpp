#include "crypto/Argon2id.h"

#include <sodium.h>

#include <mutex>

#include "foundation/KLGeneral.h"

namespace kl::detail {

namespace {

constexpr const char* SSodiumUnavailable = "The Argon2id library (libsodium) could not be initialised";
constexpr const char* SArgon2idFailed = "Argon2id key derivation failed: parameters out of range or not enough memory";

static_assert(Argon2idSaltSize == crypto_pwhash_argon2id_SALTBYTES);

} // namespace

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
  if (crypto_pwhash(Out, OutSize, password, PasswordSize, Salt, Passes, static_cast<std::size_t>(MemoryKiB * 1024),
                    crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw EKLException(SArgon2idFailed);
  }
}

} // namespace kl::detail
