// Writes, or loads and checks, one file of each persistent format: a plain and
// an encrypted storage, a text user database and a pass store. Built for each
// platform; interop-check.sh writes with one build and verifies with the other,
// and compares the files byte for byte.
//
//   klpassword_interop write DIR    makes the files in DIR (an existing folder)
//   klpassword_interop verify DIR   loads them; exit status 0 when all is as written
//
// Random bytes come from a fixed counter generator, so that every file except
// the pass store (whose records carry the time they were made) is the same on
// every platform.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "database/KLDatabase.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"

namespace {

using namespace kl;

// Counts upwards from a fixed start: reproducible, never secret.
class TCountingGenerator : public TKLBaseRandomGenerator {
public:
  void Generate(void* P, std::int32_t Size) override {
    auto* out = static_cast<std::uint8_t*>(P);
    for (std::int32_t i = 0; i < Size; ++i) out[i] = FNext++;
  }

private:
  std::uint8_t FNext = 0x5A;
};

const String kPassword = UTF8ToStr("Pässwort-€");
const String kText = UTF8ToStr("Grüße, 世界 😀");
const ByteArray kBlob = {0x00, 0xFF, 0x10, 0x80, 0x7F};

int gFailures = 0;

void Check(bool Ok, const char* What) {
  if (Ok) return;
  std::fprintf(stderr, "verify: %s\n", What);
  ++gFailures;
}

String PathIn(const std::string& Dir, const char* Name) { return UTF8ToStr(Dir + "/" + Name); }

void FillStorage(TKLStorage& Storage) {
  Storage.PutBool(u"flags/on", true, true);
  Storage.PutInt(u"numbers/int", -123456789, true);
  Storage.PutLong(u"numbers/long", INT64_C(-9000000000000000001), true);
  Storage.PutString(UTF8ToStr("texts/ключ"), kText, true);
  Storage.PutString(u"texts/empty", u"", true);
  Storage.PutBlob(u"blobs/bytes", kBlob, true);
}

void CheckStorage(const TKLStorage& Storage, const char* Which) {
  bool flag = false;
  std::int32_t number = 0;
  std::int64_t big = 0;
  String text;
  String empty = u"x";
  ByteArray blob;
  Check(Storage.GetBool(u"flags/on", flag, false) && flag, Which);
  Check(Storage.GetInt(u"numbers/int", number, 0) && number == -123456789, Which);
  Check(Storage.GetLong(u"numbers/long", big, 0) && big == INT64_C(-9000000000000000001), Which);
  Check(Storage.GetString(UTF8ToStr("texts/ключ"), text, u"") && text == kText, Which);
  Check(Storage.GetString(u"texts/empty", empty, u"x") && empty.empty(), Which);
  Check(Storage.GetBlob(u"blobs/bytes", blob) && blob == kBlob, Which);
}

void Write(const std::string& Dir) {
  TCountingGenerator generator;
  {
    TKLStorage storage;
    storage.SetRandomGenerator(&generator);
    FillStorage(storage);
    storage.SaveToFile(PathIn(Dir, "storage-plain.kls"), u"");
    storage.SaveToFile(PathIn(Dir, "storage-encrypted.kls"), kPassword);
  }
  {
    TKLTextPasswordDatabase users;
    users.SetRandomGenerator(&generator);
    users.CreateNew(PathIn(Dir, "users.txt"));
    users.AddUser(u"admin", kPassword, false);
    users.AddUser(UTF8ToStr("jürgen"), kText, false);
    users.AddUser(u"empty", u"", false);
    users.Save();
    users.SetSaveOnDestroy(false);
  }
  {
    TKLPassStorage passes;
    passes.SetRandomGenerator(&generator);
    passes.Add(u"Mail", u"me", kPassword, u"https://example.org/", kText, UTF8ToStr("Büro"));
    passes.Add(UTF8ToStr("Bank ☃"), u"", u"", u"", u"", u"Home");
    passes.SaveToFile(PathIn(Dir, "passes.klps"), kPassword);
  }
}

void Verify(const std::string& Dir) {
  {
    TKLStorage storage;
    storage.LoadFromFile(PathIn(Dir, "storage-plain.kls"), u"");
    CheckStorage(storage, "plain storage");
    TKLStorage encrypted;
    encrypted.LoadFromFile(PathIn(Dir, "storage-encrypted.kls"), kPassword);
    CheckStorage(encrypted, "encrypted storage");
  }
  {
    TKLTextPasswordDatabase users;
    users.SetSaveOnDestroy(false);
    users.Open(PathIn(Dir, "users.txt"));
    Check(users.GetCount() == 3, "user count");
    Check(users.Verify(u"admin", kPassword), "admin's password");
    Check(users.Verify(UTF8ToStr("jürgen"), kText), "jürgen's password");
    Check(users.Verify(u"empty", u""), "empty password");
    Check(!users.Verify(u"admin", kText), "a wrong password refused");
  }
  {
    TKLPassStorage passes;
    passes.LoadFromFile(PathIn(Dir, "passes.klps"), kPassword);
    Check(passes.GetCount() == 2, "record count");
    TPointerList<TKLPassRecord> found;
    passes.Search(spNote, seEquals, kText, found);
    Check(found.GetCount() == 1, "record found by note");
    if (found.GetCount() == 1) {
      TKLPassRecord* record = found.Get(0);
      Check(record->GetGroup() == UTF8ToStr("Büro") && record->GetTitle() == u"Mail" &&
                record->GetPassword() == kPassword && record->GetURL() == u"https://example.org/",
            "record fields");
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "verify") != 0)) {
    std::fprintf(stderr, "usage: %s write|verify DIR\n", argv[0]);
    return 2;
  }
  try {
    if (std::strcmp(argv[1], "write") == 0) {
      Write(argv[2]);
    } else {
      Verify(argv[2]);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    return 1;
  }
  return gFailures == 0 ? 0 : 1;
}
