#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"

namespace kl::detail {

// Version 3 of the encrypted storage file, all numbers little-endian:
//   0    4  tag 01 DB, version 3, encrypted 1
//   4    4  Argon2id memory in KiB
//   8    4  Argon2id passes
//   12  16  Argon2id salt
//   28  32  key nonce: the HKDF salt of this save's file keys
//   60  16  AES-CBC initialisation vector
//   76  32  password check value
//   108  N  AES-256-CBC ciphertext of the content records (PKCS#7 padding)
//   108+N 32 HMAC-SHA-256 over bytes 0 to 107+N
// The Argon2id output S (32 bytes) stays per salt and password; the file keys
// come from HKDF-Extract(nonce, S), expanded under three labels, so a fresh
// nonce per save gives fresh keys without deriving S again.
inline constexpr std::size_t Format3HeaderSize = 108;
inline constexpr std::size_t Format3SaltSize = 16;
inline constexpr std::size_t Format3NonceSize = 32;
inline constexpr std::size_t Format3CheckSize = 32;
inline constexpr std::size_t Format3TagSize = 32;
inline constexpr std::size_t Format3SecretSize = 32;
inline constexpr char Format3EncryptionLabel[] = "KLStorage 3 encryption key";
inline constexpr char Format3MACLabel[] = "KLStorage 3 authentication key";
inline constexpr char Format3CheckLabel[] = "KLStorage 3 password check";

// Raises EKLStorageException (SStorageKdfOutOfBounds) outside the bounds.
// A fuzzing build lowers the minimum memory so that each input runs fast.
void CheckKdfParameters(const TKLKdfParameters& Parameters);

// Passes at MemoryKiB for a derivation of about Seconds, from one timed pass.
TKLKdfParameters CalibrateKdf(std::uint32_t MemoryKiB, double Seconds);

// Raises EKLStorageException (SStorageSaveVersion) for anything but 2 and 3.
void CheckSaveVersion(std::uint8_t Version);

// The Argon2id output for one password, salt and parameters. A storage keeps
// it after a load or save so that the next save under the same password skips
// the derivation. The password is recognised by an HMAC keyed with the output,
// never kept itself. Everything is wiped on destruction.
class TStorageKey {
public:
  // Derives the secret; the parameters must have passed CheckKdfParameters.
  TStorageKey(const RawByteString& Password, const TKLKdfParameters& Parameters, const std::uint8_t* Salt);
  ~TStorageKey();
  TStorageKey(const TStorageKey&) = delete;
  TStorageKey& operator=(const TStorageKey&) = delete;

  // Whether this key is the one of Password under Parameters (and Salt, when given).
  bool Matches(const RawByteString& Password, const TKLKdfParameters& Parameters,
               const std::uint8_t* Salt = nullptr) const;

  const TKLKdfParameters& GetParameters() const noexcept { return FParameters; }
  const std::uint8_t* GetSalt() const noexcept { return FSalt; }
  const std::uint8_t* GetSecret() const noexcept { return FSecret; }

private:
  void PasswordTag(const RawByteString& Password, std::uint8_t* Out) const;

  TKLKdfParameters FParameters;
  std::uint8_t FSalt[Format3SaltSize];
  std::uint8_t FSecret[Format3SecretSize];
  std::uint8_t FPasswordTag[32];
};

class TContentBuffer;

// Writes a version-3 file around Content (value records and closing record),
// which is padded and enciphered in place. Nonce and IV are drawn from Random.
void WriteFormat3(TStream& Strm, const TStorageKey& Key, TKLBaseRandomGenerator& Random, TContentBuffer& Content);

// Reads a version-3 file whose 4-byte header was just read, up to the end of
// the stream: bounds, password check, tag, then the deciphered content into
// Content (unpadded, not yet parsed). Reuses Cached when it matches; returns
// the key used. Raises "Wrong password", SStorageKdfOutOfBounds or
// SStorageDamaged.
std::shared_ptr<TStorageKey> ReadFormat3(TStream& Strm, const RawByteString& Password,
                                         const std::shared_ptr<TStorageKey>& Cached, TContentBuffer& Content);

// The parameters of a version-3 header, after its first 4 bytes.
TKLKdfParameters ReadFormat3Parameters(TStream& Strm);

} // namespace kl::detail
