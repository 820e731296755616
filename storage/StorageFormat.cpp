#include "storage/StorageFormat.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "crypto/Argon2id.h"
#include "crypto/CryptoImplementations.h"
#include "crypto/KLAES.h"
#include "crypto/KLHKDF.h"
#include "crypto/KLHMAC.h"
#include "foundation/MemoryStream.h"
#include "foundation/SecureMemory.h"
#include "storage/StorageContent.h"

namespace kl::detail {

namespace {

#ifdef KL_FUZZ_CHEAP_KDF
// Fuzzing runs millions of loads: the bounds and the tag are what it must
// reach, not the cost of the derivation.
constexpr std::uint32_t kMinMemoryKiB = static_cast<std::uint32_t>(Argon2idMinMemoryKiB);
#else
constexpr std::uint32_t kMinMemoryKiB = KLStorageMinKdfMemoryKiB;
#endif

constexpr std::size_t kParametersOffset = 4;
constexpr std::size_t kSaltOffset = 12;
constexpr std::size_t kNonceOffset = 28;
constexpr std::size_t kIVOffset = 60;
constexpr std::size_t kCheckOffset = 76;
static_assert(kCheckOffset + Format3CheckSize == Format3HeaderSize);
static_assert(Format3SaltSize == Argon2idSaltSize);

[[noreturn]] void RaiseDamaged() { throw EKLStorageException(SStorageDamaged); }

void PutUInt32(std::uint8_t* Out, std::uint32_t Value) noexcept {
  for (int i = 0; i < 4; ++i) Out[i] = static_cast<std::uint8_t>(Value >> (8 * i));
}

std::uint32_t GetUInt32(const std::uint8_t* In) noexcept {
  return static_cast<std::uint32_t>(In[0]) | static_cast<std::uint32_t>(In[1]) << 8 |
         static_cast<std::uint32_t>(In[2]) << 16 | static_cast<std::uint32_t>(In[3]) << 24;
}

// Up to Size bytes; fewer only where the stream ends.
std::size_t ReadUpTo(TStream& Strm, std::uint8_t* Out, std::size_t Size) {
  std::size_t done = 0;
  while (done < Size) {
    const std::int32_t n = Strm.Read(Out + done, static_cast<std::int32_t>(Size - done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// The three keys of one file, from the secret and the file's nonce.
struct TFileKeys {
  std::uint8_t Encryption[32];
  std::uint8_t MAC[32];
  std::uint8_t Check[Format3CheckSize];
};

void DeriveFileKeys(const TStorageKey& Key, const std::uint8_t* Nonce, TFileKeys& Keys) {
  std::uint8_t prk[SHA256DigestSize];
  WipeOnExit<decltype(prk)> wipe(prk);
  HKDFExtract(Nonce, Format3NonceSize, Key.GetSecret(), Format3SecretSize, prk);
  HKDFExpand(prk, Format3EncryptionLabel, sizeof(Format3EncryptionLabel) - 1, Keys.Encryption, sizeof(Keys.Encryption));
  HKDFExpand(prk, Format3MACLabel, sizeof(Format3MACLabel) - 1, Keys.MAC, sizeof(Keys.MAC));
  HKDFExpand(prk, Format3CheckLabel, sizeof(Format3CheckLabel) - 1, Keys.Check, sizeof(Keys.Check));
}

TMessageDigest256 FileTag(const TFileKeys& Keys, const std::uint8_t* Header, const std::uint8_t* Cipher,
                          std::size_t CipherSize) {
  SecureBytes key(ByteArray(Keys.MAC, Keys.MAC + sizeof(Keys.MAC)));
  TMACSHA256Context context;
  WipeOnExit<TMACSHA256Context> wipe(context);
  MAC256Initialize(context, key.Get());
  MAC256Update(context, Header, static_cast<std::int32_t>(Format3HeaderSize));
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t done = 0; done < CipherSize; done += kPiece) {
    MAC256Update(context, Cipher + done, static_cast<std::int32_t>(std::min(kPiece, CipherSize - done)));
  }
  return MAC256Finalize(context);
}

TKLKdfParameters ParametersAt(const std::uint8_t* Header) noexcept {
  return TKLKdfParameters{GetUInt32(Header + kParametersOffset), GetUInt32(Header + kParametersOffset + 4)};
}

} // namespace

void CheckKdfParameters(const TKLKdfParameters& Parameters) {
  if (Parameters.MemoryKiB < kMinMemoryKiB || Parameters.MemoryKiB > KLStorageMaxKdfMemoryKiB ||
      Parameters.Passes < KLStorageMinKdfPasses || Parameters.Passes > KLStorageMaxKdfPasses ||
      std::uint64_t{Parameters.MemoryKiB} * Parameters.Passes > KLStorageMaxKdfWorkKiB) {
    throw EKLStorageException(SStorageKdfOutOfBounds);
  }
}

TKLKdfParameters CalibrateKdf(std::uint32_t MemoryKiB, double Seconds) {
  CheckKdfParameters(TKLKdfParameters{MemoryKiB, 1});
  std::uint8_t salt[Format3SaltSize] = {};
  std::uint8_t out[Format3SecretSize];
  const auto start = std::chrono::steady_clock::now();
  Argon2id("calibration", 11, salt, 1, MemoryKiB, out, sizeof(out));
  const double once = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  SecureZeroObject(out);
  // The work grows linearly with the passes; the memory is filled once.
  const std::uint64_t byWork = KLStorageMaxKdfWorkKiB / MemoryKiB;
  const double wanted = std::isfinite(Seconds) && Seconds > 0 ? std::floor(Seconds / std::max(once, 1e-6)) : 1;
  const double most = static_cast<double>(std::min<std::uint64_t>(KLStorageMaxKdfPasses, byWork));
  return TKLKdfParameters{MemoryKiB, static_cast<std::uint32_t>(std::clamp(wanted, 1.0, most))};
}

void CheckSaveVersion(std::uint8_t Version) {
  if (Version != KLStorageVersion2 && Version != KLStorageVersion3) throw EKLStorageException(SStorageSaveVersion);
}

// --- TStorageKey ---

TStorageKey::TStorageKey(const RawByteString& Password, const TKLKdfParameters& Parameters, const std::uint8_t* Salt)
    : FParameters(Parameters) {
  std::memcpy(FSalt, Salt, sizeof(FSalt));
  try {
    Argon2id(Password.data(), Password.size(), FSalt, Parameters.Passes, Parameters.MemoryKiB, FSecret,
             sizeof(FSecret));
    PasswordTag(Password, FPasswordTag);
  } catch (...) {
    SecureZeroObject(FSecret);
    throw;
  }
}

TStorageKey::~TStorageKey() {
  SecureZeroObject(FSecret);
  SecureZeroObject(FPasswordTag);
  SecureZeroObject(FSalt);
}

void TStorageKey::PasswordTag(const RawByteString& Password, std::uint8_t* Out) const {
  SecureBytes key(ByteArray(FSecret, FSecret + sizeof(FSecret)));
  SecureBytes data(ByteArray(Password.begin(), Password.end()));
  TMessageDigest256 tag = MAC256Calculate(data.Get(), key.Get());
  std::memcpy(Out, DigestBytes(tag), SHA256DigestSize);
  SecureZeroObject(tag);
}

bool TStorageKey::Matches(const RawByteString& Password, const TKLKdfParameters& Parameters,
                          const std::uint8_t* Salt) const {
  if (!(Parameters == FParameters)) return false;
  if (Salt != nullptr && std::memcmp(Salt, FSalt, sizeof(FSalt)) != 0) return false;
  std::uint8_t tag[32];
  WipeOnExit<decltype(tag)> wipe(tag);
  PasswordTag(Password, tag);
  return ConstantTimeEqual(tag, FPasswordTag, sizeof(tag));
}

// --- Writing ---

void WriteFormat3(TStream& Strm, const TStorageKey& Key, TKLBaseRandomGenerator& Random, TContentBuffer& Content) {
  std::uint8_t header[Format3HeaderSize] = {static_cast<std::uint8_t>(KLStorageTag & 0xFF),
                                            static_cast<std::uint8_t>(KLStorageTag >> 8), KLStorageVersion3, 1};
  PutUInt32(header + kParametersOffset, Key.GetParameters().MemoryKiB);
  PutUInt32(header + kParametersOffset + 4, Key.GetParameters().Passes);
  std::memcpy(header + kSaltOffset, Key.GetSalt(), Format3SaltSize);
  Random.Generate(header + kNonceOffset, static_cast<std::int32_t>(Format3NonceSize));
  Random.Generate(header + kIVOffset, static_cast<std::int32_t>(AESBlockSize));
  TFileKeys keys;
  WipeOnExit<TFileKeys> wipeKeys(keys);
  DeriveFileKeys(Key, header + kNonceOffset, keys);
  std::memcpy(header + kCheckOffset, keys.Check, Format3CheckSize);

  // The content is enciphered where it lies, after its padding: 1 to 16
  // bytes, each holding their number.
  const std::size_t padding = AESBlockSize - Content.Size() % AESBlockSize;
  Content.Ensure(padding);
  std::memset(Content.End(), static_cast<int>(padding), padding);
  Content.Advance(padding);
  TAESExpandedKey256 schedule;
  WipeOnExit<TAESExpandedKey256> wipeSchedule(schedule);
  AESInitialize(keys.Encryption, schedule, false);
  std::uint8_t vector[AESBlockSize];
  std::memcpy(vector, header + kIVOffset, sizeof(vector));
  ActiveAES().EncryptCBC(schedule, vector, Content.Data(), Content.Data(), Content.Size() / AESBlockSize);
  const TMessageDigest256 tag = FileTag(keys, header, Content.Data(), Content.Size());
  Strm.WriteBuffer(header, static_cast<std::int32_t>(sizeof(header)));
  WriteAll(Strm, Content.Data(), Content.Size());
  Strm.WriteBuffer(DigestBytes(tag), static_cast<std::int32_t>(Format3TagSize));
}

// --- Reading ---

TKLKdfParameters ReadFormat3Parameters(TStream& Strm) {
  std::uint8_t header[Format3HeaderSize];
  Strm.ReadBuffer(header + kParametersOffset, 8);
  return ParametersAt(header);
}

std::shared_ptr<TStorageKey> ReadFormat3(TStream& Strm, const RawByteString& Password,
                                         const std::shared_ptr<TStorageKey>& Cached, TContentBuffer& Content) {
  std::uint8_t header[Format3HeaderSize] = {static_cast<std::uint8_t>(KLStorageTag & 0xFF),
                                            static_cast<std::uint8_t>(KLStorageTag >> 8), KLStorageVersion3, 1};
  const std::size_t rest = Format3HeaderSize - KLStorageHeaderSize;
  if (ReadUpTo(Strm, header + KLStorageHeaderSize, rest) < rest) RaiseDamaged();
  // Bounds first: nothing is allocated or derived for a hostile header.
  const TKLKdfParameters parameters = ParametersAt(header);
  CheckKdfParameters(parameters);
  const std::int64_t remaining = Strm.GetSize() - Strm.GetPosition();
  const auto limit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max());
  if (remaining < static_cast<std::int64_t>(AESBlockSize + Format3TagSize) || remaining > limit ||
      (remaining - static_cast<std::int64_t>(Format3TagSize)) % static_cast<std::int64_t>(AESBlockSize) != 0) {
    RaiseDamaged();
  }

  std::shared_ptr<TStorageKey> key = Cached;
  if (!key || !key->Matches(Password, parameters, header + kSaltOffset)) {
    key = std::make_shared<TStorageKey>(Password, parameters, header + kSaltOffset);
  }
  TFileKeys keys;
  WipeOnExit<TFileKeys> wipeKeys(keys);
  DeriveFileKeys(*key, header + kNonceOffset, keys);
  if (!ConstantTimeEqual(keys.Check, header + kCheckOffset, Format3CheckSize)) {
    throw EKLStorageException(SStorageWrongPassword);
  }

  // Ciphertext and tag are read into the content's buffer, checked, and the
  // ciphertext deciphered where it lies.
  const auto size = static_cast<std::size_t>(remaining);
  Content.Reserve(size);
  if (ReadUpTo(Strm, Content.End(), size) < size) RaiseDamaged();
  Content.Advance(size);
  const std::size_t cipherSize = size - Format3TagSize;
  const TMessageDigest256 tag = FileTag(keys, header, Content.Data(), cipherSize);
  if (!ConstantTimeEqual(DigestBytes(tag), Content.Data() + cipherSize, Format3TagSize)) RaiseDamaged();

  // Authentic from here on; content that still fails was written so by the
  // password's holder, and reads as the same damage.
  TAESExpandedKey256 schedule;
  WipeOnExit<TAESExpandedKey256> wipeSchedule(schedule);
  AESInitialize(keys.Encryption, schedule, true);
  std::uint8_t vector[AESBlockSize];
  std::memcpy(vector, header + kIVOffset, sizeof(vector));
  ActiveAES().DecryptCBC(schedule, vector, Content.Data(), Content.Data(), cipherSize / AESBlockSize);
  const std::uint8_t padding = Content.Data()[cipherSize - 1];
  bool padded = padding >= 1 && padding <= AESBlockSize;
  for (std::size_t i = 1; padded && i <= padding; ++i) padded = Content.Data()[cipherSize - i] == padding;
  if (!padded) RaiseDamaged();
  Content.Truncate(cipherSize - padding);
  return key;
}

} // namespace kl::detail
