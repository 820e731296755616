// Loads arbitrary bytes as a KDBX file with a password, a key file, and both.
// Only the library's and the runtime's exceptions may escape a load; a failed
// load adds nothing; a file that loads saves again (cheap KDF) and loads back
// with as many records. Built with KL_FUZZ_CHEAP_KDF, a header may ask for
// nothing dearer than 64 KiB and two passes of Argon2 or 16 AES-KDF rounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/Exceptions.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"

namespace {

void Load(const std::uint8_t* Data, std::size_t Size, const kl::String& Password, bool KeyFile) {
  kl::TMemoryStream strm(kl::ByteArray(Data, Data + Size));
  kl::TKLPassStorage store;
  if (KeyFile) store.SetKeyFile(kl::ByteArray(32, 0x5A));
  try {
    store.LoadFromStream(strm, Password);
  } catch (const kl::Exception&) {
    if (store.GetCount() != 0) std::abort();
    return;
  }
  kl::TKLKdbxSettings cheap;
  cheap.Kdf = kl::kkAesKdf;
  cheap.Iterations = 1;
  store.SetKdbxSettings(cheap);
  kl::TMemoryStream saved;
  store.SaveToStream(saved, Password);
  saved.SetPosition(0);
  kl::TKLPassStorage again;
  if (KeyFile) again.SetKeyFile(kl::ByteArray(32, 0x5A));
  again.LoadFromStream(saved, Password);
  if (again.GetCount() != store.GetCount()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  Load(Data, Size, u"fuzz", false);
  Load(Data, Size, u"", true);
  return 0;
}
