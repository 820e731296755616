// Feeds arbitrary bytes to TKLStorage::LoadFromStream. The first byte picks how
// (its low three bits):
//   0  the rest is a file, loaded without a password;
//   1  the rest is a file, loaded with the password "fuzz", legacy allowed;
//   2  the rest is the plaintext content of a version-2 file made here under
//      "fuzz", so that mutations reach the record parser through decryption;
//   3  as 0, then what loaded must save and load back unchanged;
//   4  the rest is the plaintext content of a version-3 file made here under
//      "fuzz" (a valid tag), so that mutations reach the parser behind the tag;
//   5 to 7  as 1 with the legacy format refused.
// Built for fuzzing, the library accepts version-3 derivations from 8 KiB, so
// that the bounds and the tag checks are reached quickly.
// Only kl::Exception (the library's and the runtime's errors) may leave a load;
// anything else, and any broken invariant, aborts the run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crypto/KLHKDF.h"
#include "crypto/KLHMAC.h"
#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"
#include "storage/StorageFormat.h"

namespace {

using namespace kl;

const String kPassword = u"fuzz";

// The crypto header of mode 2: fixed salt, vector and content key, enciphered
// once under the password (the load deciphers it every time).
struct FixedCryptoHeader : TKLStorage {
  static TKLStorageCryptoHeader Make() {
    TKLStorageCryptoHeader header;
    header.Salt.fill(0x5A);
    header.MasterKey.fill(0xC3);
    header.IV.fill(0x1E);
    header.CheckBytes = KLStorageCheckBytes;
    EncryptHeader(header, kPassword);
    return header;
  }
};

void Check(bool Condition) {
  if (!Condition) std::abort();
}

ByteArray EncryptedFile(const std::uint8_t* Content, std::size_t Size) {
  static const TKLStorageCryptoHeader header = FixedCryptoHeader::Make();
  TAESKey256 key;
  key.fill(0xC3);
  TAESBlock iv;
  iv.fill(0x1E);
  TMemoryStream out;
  const std::uint8_t prefix[4] = {0x01, 0xDB, KLStorageVersion2, 1};
  out.WriteBuffer(prefix, 4);
  out.WriteBuffer(header.Salt.data(), static_cast<std::int32_t>(header.Salt.size()));
  out.WriteBuffer(header.MasterKey.data(), static_cast<std::int32_t>(header.MasterKey.size()));
  out.WriteBuffer(header.IV.data(), static_cast<std::int32_t>(header.IV.size()));
  out.WriteBuffer(header.CheckBytes.data(), static_cast<std::int32_t>(header.CheckBytes.size()));
  TKLAESEncryptionStream encryption(key.data(), iv.data(), &out);
  encryption.WriteBuffer(Content, static_cast<std::int32_t>(Size));
  encryption.Finish();
  return out.ToBytes();
}

// A version-3 file around Content, with fixed salt, nonce and IV and the
// cheapest derivation the fuzzing build allows.
ByteArray Format3File(const std::uint8_t* Content, std::size_t Size) {
  using namespace kl::detail;
  static const TKLKdfParameters kdf{8, 1};
  static const std::uint8_t salt[Format3SaltSize] = {0x5A};
  static const TStorageKey key(RawByteString("fuzz"), kdf, salt);
  std::uint8_t header[Format3HeaderSize] = {0x01, 0xDB, KLStorageVersion3, 1, 8, 0, 0, 0, 1, 0, 0, 0};
  std::memcpy(header + 12, salt, sizeof(salt));
  std::memset(header + 28, 0x1E, 32 + 16); // nonce and IV
  std::uint8_t prk[32], encryption[32], mac[32];
  HKDFExtract(header + 28, 32, key.GetSecret(), Format3SecretSize, prk);
  HKDFExpand(prk, Format3EncryptionLabel, sizeof(Format3EncryptionLabel) - 1, encryption, 32);
  HKDFExpand(prk, Format3MACLabel, sizeof(Format3MACLabel) - 1, mac, 32);
  HKDFExpand(prk, Format3CheckLabel, sizeof(Format3CheckLabel) - 1, header + 76, 32);
  TMemoryStream out;
  out.WriteBuffer(header, sizeof(header));
  {
    TKLAESEncryptionStream encryption_stream(encryption, header + 60, &out);
    encryption_stream.WriteBuffer(Content, static_cast<std::int32_t>(Size));
    encryption_stream.Finish();
  }
  ByteArray bytes = out.ToBytes();
  const TMessageDigest256 tag = MAC256Calculate(bytes, ByteArray(mac, mac + 32));
  bytes.insert(bytes.end(), DigestBytes(tag), DigestBytes(tag) + SHA256DigestSize);
  return bytes;
}

// Every value is reachable by its key, and the first under a key is found.
void CheckIndex(const TKLStorage& Storage) {
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) {
    const TKLValue* value = Storage.GetValue(i);
    std::int32_t index = -1;
    const TKLValue* found = Storage.Get(value->GetKey(), index);
    Check(found != nullptr && index <= i && Storage.GetValue(index) == found);
    Check(found->GetKey() == value->GetKey());
  }
}

bool SameValue(const TKLValue* A, const TKLValue* B) {
  if (A->GetKey() != B->GetKey() || A->GetValueType() != B->GetValueType()) return false;
  if (auto* a = dynamic_cast<const TKLBoolValue*>(A))
    return a->GetValue() == static_cast<const TKLBoolValue*>(B)->GetValue();
  if (auto* a = dynamic_cast<const TKLIntValue*>(A))
    return a->GetValue() == static_cast<const TKLIntValue*>(B)->GetValue();
  if (auto* a = dynamic_cast<const TKLLongValue*>(A))
    return a->GetValue() == static_cast<const TKLLongValue*>(B)->GetValue();
  if (auto* a = dynamic_cast<const TKLStringValue*>(A)) {
    return a->GetValue() == static_cast<const TKLStringValue*>(B)->GetValue();
  }
  return static_cast<const TKLBlobValue*>(A)->GetValue() == static_cast<const TKLBlobValue*>(B)->GetValue();
}

// Decoded text is saved as it decoded: malformed UTF-8 comes back as U+FFFD,
// which may make a field too long to save (refused, not written).
void CheckRoundTrip(const TKLStorage& Storage) {
  TMemoryStream saved;
  try {
    Storage.SaveToStream(saved, u"");
  } catch (const EKLStorageException&) {
    Check(saved.GetSize() == 0);
    return;
  }
  saved.SetPosition(0);
  TKLStorage again;
  again.LoadFromStream(saved, u"");
  Check(again.GetCount() == Storage.GetCount());
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) Check(SameValue(Storage.GetValue(i), again.GetValue(i)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0 || Size > (1u << 20)) return 0;
  const std::uint8_t mode = Data[0] & 7;
  ByteArray bytes;
  if (mode == 2) {
    bytes = EncryptedFile(Data + 1, Size - 1);
  } else if (mode == 4) {
    bytes = Format3File(Data + 1, Size - 1);
  } else {
    bytes.assign(Data + 1, Data + Size);
  }
  const bool withPassword = mode != 0 && mode != 3;
  TKLStorage storage;
  storage.SetAllowLegacyFormat(mode <= 4);
  storage.PutInt(u"held", 1, false);
  bool loaded = false;
  try {
    TMemoryStream stream(bytes);
    storage.LoadFromStream(stream, withPassword ? kPassword : String());
    loaded = true;
  } catch (const Exception&) {
    // A failed load changes nothing.
    Check(!storage.GetLoaded() && storage.GetCount() == 1 && storage.GetLoadedVersion() == 0);
  }
  CheckIndex(storage);
  if (loaded && mode == 3) {
    storage.Remove(0);
    CheckRoundTrip(storage);
  }
  return 0;
}
