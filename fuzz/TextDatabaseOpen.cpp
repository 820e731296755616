// Arbitrary bytes as the content of a text user database: open, count, read
// every record, look users up and verify. Only the library's exceptions may
// come out; any crash, hang, leak or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>

#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"

namespace {

class FuzzedTextDatabase : public kl::TKLTextPasswordDatabase {
public:
  using TKLTextPasswordDatabase::GetRecord;
  using TKLTextPasswordDatabase::OpenFromText;
};

template <class F>
void Tolerate(F&& Action) {
  try {
    Action();
  } catch (const kl::Exception&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const kl::String text = kl::UTF8ToStr(Data, Size);
  FuzzedTextDatabase db;
  db.SetSaveOnDestroy(false);
  // The cheapest Argon2id, and tight bounds on what a line may ask for, so that
  // each input runs in bounded time; the bound check itself is under test.
  kl::TKLPasswordHashParameters hashes;
  hashes.MemoryKiB = 8;
  hashes.Passes = 1;
  hashes.MaxMemoryKiB = 64;
  hashes.MaxPasses = 2;
  db.SetHashParameters(hashes);
  try {
    db.OpenFromText(text, u"fuzz.txt");
  } catch (const kl::Exception&) {
    return 0;
  }
  const std::int32_t count = db.GetCount();
  kl::String lastName = u"nobody";
  for (std::int32_t i = 0; i < count; ++i) {
    Tolerate([&] { lastName = db.GetRecord(i).Username; });
  }
  Tolerate([&] { db.Verify(lastName, u"password"); });
  Tolerate([&] { db.Verify(u"", u""); });
  Tolerate([&] { db.GetUsername(1); });
  Tolerate([&] { db.AddUser(u"fuzz", u"pw", true); });
  Tolerate([&] { db.UpgradeHashes(); });
  Tolerate([&] { db.DeleteUser(lastName); });
  Tolerate([&] { db.GetUID(lastName); });
  return 0;
}
