// Loads arbitrary bytes as a pass store, plain and with a password. Only the
// library's and the runtime's exceptions may escape a load. A store that loads
// must save again and load back to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/Exceptions.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"

namespace {

bool SameRecord(kl::TKLPassRecord& A, kl::TKLPassRecord& B) {
  return A.GetGroup() == B.GetGroup() && A.GetTitle() == B.GetTitle() && A.GetUsername() == B.GetUsername() &&
         A.GetPassword() == B.GetPassword() && A.GetURL() == B.GetURL() && A.GetNote() == B.GetNote() &&
         A.GetCreationDate() == B.GetCreationDate() && A.GetModificationDate() == B.GetModificationDate();
}

void CheckRoundTrip(kl::TKLPassStorage& Store) {
  kl::TMemoryStream saved;
  Store.SaveToStream(saved, u"");
  saved.SetPosition(0);
  kl::TKLPassStorage again;
  again.LoadFromStream(saved, u"");
  if (again.GetCount() != Store.GetCount()) std::abort();
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    if (!SameRecord(*Store.GetRecord(i), *again.GetRecord(i))) std::abort();
  }
}

void Load(const std::uint8_t* Data, std::size_t Size, const kl::String& Password) {
  kl::TMemoryStream strm(kl::ByteArray(Data, Data + Size));
  kl::TKLPassStorage store;
  store.SetAllowLegacyFormat(true);  // the encrypted seeds are version 2
  try {
    store.LoadFromStream(strm, Password);
  } catch (const kl::Exception&) {
    if (store.GetCount() != 0) std::abort();  // a failed load adds nothing
    return;
  }
  CheckRoundTrip(store);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  Load(Data, Size, u"");
  Load(Data, Size, u"fuzz");
  return 0;
}
