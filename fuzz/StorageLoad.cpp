// Feeds arbitrary bytes to TKLStorage::LoadFromStream. The first byte picks how:
//   0  the rest is a file, loaded without a password;
//   1  the rest is a file, loaded with the password "fuzz";
//   2  the rest is the plaintext content of an encrypted file made here under
//      "fuzz", so that mutations reach the record parser through decryption;
//   3  as 0, then what loaded must save and load back unchanged.
// Only kl::Exception (the library's and the runtime's errors) may leave a load;
// anything else, and any broken invariant, aborts the run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"

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
  const std::uint8_t prefix[4] = {0x01, 0xDB, KLStorageVersion, 1};
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
  const std::uint8_t mode = Data[0] & 3;
  const ByteArray bytes = mode == 2 ? EncryptedFile(Data + 1, Size - 1) : ByteArray(Data + 1, Data + Size);
  TKLStorage storage;
  bool loaded = false;
  try {
    TMemoryStream stream(bytes);
    storage.LoadFromStream(stream, mode == 1 || mode == 2 ? kPassword : String());
    loaded = true;
  } catch (const Exception&) {
    Check(!storage.GetLoaded());
  }
  CheckIndex(storage);
  if (loaded && mode == 3) CheckRoundTrip(storage);
  return 0;
}
