// Wraps arbitrary bytes as the payload (inner header and XML) of a correctly
// keyed and authenticated KDBX 4 file, so that every load reaches the inner
// header, the XML and the records rather than stopping at a MAC. The first
// byte chooses the cipher (bit 0: ChaCha20), gzip (bit 1) and version 4.1
// (bit 2); the rest is the payload. The key is the cheapest AES-KDF. As for
// KdbxLoad: only the library's and the runtime's exceptions may escape, a
// failed load adds nothing, and a file that loads saves again and loads
// back with as many records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/Exceptions.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "random/KLRandom.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  kl::detail::TKdbxSettings settings;
  settings.Cipher = (Data[0] & 1) != 0 ? kl::detail::TKdbxCipher::ChaCha20 : kl::detail::TKdbxCipher::Aes256;
  settings.Compressed = (Data[0] & 2) != 0;
  settings.Version = (Data[0] & 4) != 0 ? kl::detail::KdbxVersion41 : kl::detail::KdbxVersion40;
  settings.Kdf = kl::detail::TKdbxKdf::AesKdf;
  settings.Iterations = 1;
  kl::detail::TKdbxCompositeKey key;
  key.AddPassword(u"fuzz");
  kl::TKLFastRandomGenerator random;
  kl::TMemoryStream file;
  kl::detail::WriteKdbxPayload(file, settings, key, random, Data + 1, Size - 1);
  file.SetPosition(0);

  kl::TKLPassStorage store;
  try {
    store.LoadFromStream(file, u"fuzz");
  } catch (const kl::Exception&) {
    if (store.GetCount() != 0) std::abort();
    return 0;
  }
  kl::TKLKdbxSettings cheap;
  cheap.Kdf = kl::kkAesKdf;
  cheap.Iterations = 1;
  store.SetKdbxSettings(cheap);
  kl::TMemoryStream saved;
  store.SaveToStream(saved, u"fuzz");
  saved.SetPosition(0);
  kl::TKLPassStorage again;
  again.LoadFromStream(saved, u"fuzz");
  if (again.GetCount() != store.GetCount()) std::abort();
  return 0;
}
