// Imports arbitrary bytes as a CSV or JSON export, the layout recognised from
// the content. Only the library's and the runtime's exceptions may escape an
// import, and a failed one adds nothing. Records that came in must go out
// through each of the library's own layouts and come back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/Exceptions.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassExchange.h"

namespace {

bool SameRecord(kl::TKLPassRecord& A, kl::TKLPassRecord& B) {
  return A.GetGroup() == B.GetGroup() && A.GetTitle() == B.GetTitle() && A.GetUsername() == B.GetUsername() &&
         A.GetPassword() == B.GetPassword() && A.GetURL() == B.GetURL() && A.GetNote() == B.GetNote() &&
         A.GetCreationDate() == B.GetCreationDate() && A.GetModificationDate() == B.GetModificationDate();
}

void CheckRoundTrip(kl::TKLPassStorage& Store, kl::TKLExchangeFormat Format) {
  kl::TMemoryStream exported;
  kl::ExportPassRecords(Store, exported, {Format, false});
  exported.SetPosition(0);
  kl::TKLPassStorage again;
  kl::ImportPassRecords(again, exported);
  if (again.GetCount() != Store.GetCount()) std::abort();
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    if (!SameRecord(*Store.GetRecord(i), *again.GetRecord(i))) std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  kl::TMemoryStream strm(kl::ByteArray(Data, Data + Size));
  kl::TKLPassStorage store;
  try {
    kl::ImportPassRecords(store, strm);
  } catch (const kl::Exception&) {
    if (store.GetCount() != 0) std::abort();
    return 0;
  }
  CheckRoundTrip(store, kl::exCsv);
  CheckRoundTrip(store, kl::exJson);
  return 0;
}
