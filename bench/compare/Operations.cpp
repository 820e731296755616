// The operations bench_compare times, written once against the public API that
// both libraries share and compiled once per library (see Operations.h).
//
// Encrypted saves and loads never time the password-key derivation: the object
// derives its key in one untimed save first and keeps it, since every later
// save and every load of a file it wrote reuse it. Nothing clears the object
// between iterations (Clear forgets the key); what an iteration added is taken
// away with positional removals while the timing is paused.
#include "Operations.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "database/KLDatabase.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"

#define KL_COMPARE_TEXT2(Name) #Name
#define KL_COMPARE_TEXT(Name) KL_COMPARE_TEXT2(Name)

namespace KL_OPS_NAMESPACE {

namespace {

using kl::String;

const String kPassword = u"correct horse battery staple";
// The cheapest derivation the format allows, for the one untimed derivation of
// each case.
const kl::TKLKdfParameters kFastKdf{kl::KLStorageMinKdfMemoryKiB, 1};

String Ascii(const std::string& Text) { return String(Text.begin(), Text.end()); }
String Decimal(std::int64_t Value) { return Ascii(std::to_string(Value)); }

// --- Vault -------------------------------------------------------------------

constexpr int kVaultGroups = 20;

// Record I of a deterministic vault: the texts a password manager typically holds.
void AddRecord(kl::TKLPassStorage& Store, std::int64_t I) {
  const String n = Decimal(I);
  Store.Add(u"Site " + n, u"user" + n + u"@example.com", u"pw-" + n + u"-Xq7!zR2#",
            u"https://site" + n + u".example.com/login", u"security questions in the other vault",
            u"Group " + Decimal(I % kVaultGroups));
}

std::unique_ptr<kl::TKLPassStorage> MakeVault(std::int64_t Count) {
  auto store = std::make_unique<kl::TKLPassStorage>();
  store->SetKdfParameters(kFastKdf);
  for (std::int64_t i = 0; i < Count; ++i) AddRecord(*store, i);
  return store;
}

// Deletes records from the end until Keep remain; the key stays.
void DeleteRecordsFrom(kl::TKLPassStorage& Store, std::int32_t Keep) {
  while (Store.GetCount() > Keep) {
    const std::int32_t last = Store.GetCount() - 1;
    kl::TKLPassRecord* rec = Store.GetRecord(last);
    Store.Delete(last);
    delete rec;
  }
}

// --- Storage -----------------------------------------------------------------

constexpr int kStorageGroups = 10;
constexpr const char16_t* kLeaves[] = {u"title", u"user", u"pwd", u"url", u"note", u"created", u"changed", u"expires"};
// Values keys laid out as the vault lays them out: ten groups of records of
// eight leaves; Count is a multiple of 80.
std::vector<String> StorageKeys(std::int64_t Count) {
  const std::int64_t recordsPerGroup = Count / (kStorageGroups * 8);
  std::vector<String> keys;
  keys.reserve(static_cast<std::size_t>(Count));
  for (std::int64_t g = 0; g < kStorageGroups; ++g) {
    for (std::int64_t r = 0; r < recordsPerGroup; ++r) {
      const String record = u"Group " + Decimal(g) + u"/" + Decimal(g * recordsPerGroup + r) + u"/";
      for (const char16_t* leaf : kLeaves) keys.push_back(record + leaf);
    }
  }
  return keys;
}

std::unique_ptr<kl::TKLStorage> MakeStorage(std::int64_t Count) {
  auto storage = std::make_unique<kl::TKLStorage>();
  storage->SetKdfParameters(kFastKdf);
  const String text = u"some text of an ordinary length";
  for (const String& key : StorageKeys(Count)) storage->PutString(key, text, false);
  return storage;
}

void StorageSave(benchmark::State& State, const String& Password) {
  auto storage = MakeStorage(State.range(0));
  kl::TMemoryStream first;
  storage->SaveToStream(first, Password);
  const std::int64_t bytes = first.GetSize();
  for (auto _ : State) {
    kl::TMemoryStream stream;
    storage->SaveToStream(stream, Password);
    benchmark::DoNotOptimize(stream.GetSize());
  }
  State.SetBytesProcessed(State.iterations() * bytes);
}

void StorageLoad(benchmark::State& State, const String& Password) {
  auto storage = MakeStorage(State.range(0));
  kl::TMemoryStream saved;
  storage->SaveToStream(saved, Password);
  storage->Remove(u"", true);
  if (storage->GetCount() != 0) State.SkipWithError("the storage kept values after removing the root");
  for (auto _ : State) {
    saved.SetPosition(0);
    storage->LoadFromStream(saved, Password);
    State.PauseTiming();
    if (storage->GetCount() != State.range(0)) State.SkipWithError("the load did not give every value back");
    storage->Remove(u"", true);
    State.ResumeTiming();
  }
  State.SetBytesProcessed(State.iterations() * saved.GetSize());
}

// --- User databases ----------------------------------------------------------

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() /
                ("kl-compare-" KL_COMPARE_TEXT(KL_OPS_NAMESPACE) "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] { std::filesystem::remove_all(Folder()); });
    return path;
  }();
  return folder;
}

String UserName(std::int64_t I) { return u"user" + Decimal(I); }

// Users legacy-hashed users (salted SHA-256, the cheapest hash), added in
// memory: the removal works on the records and look-ups, not on the file.
template <class DB>
void DatabaseDeleteUser(benchmark::State& State) {
  const std::int64_t users = State.range(0);
  DB db;
  db.SetSaveOnDestroy(false);
  db.SetWeakLegacyHashes(true);
  if constexpr (std::is_same_v<DB, kl::TKLBinaryPasswordDatabase>) db.SetPassword(kPassword);
  db.CreateNew(Ascii((Folder() / ("db-" + std::to_string(users))).string()));
  for (std::int64_t i = 0; i < users; ++i) db.AddUser(UserName(i), u"password-" + Decimal(i), false);
  if (!db.Exists(UserName(0))) State.SkipWithError("the database lacks its first user");
  std::int64_t i = 0;
  for (auto _ : State) {
    const String name = UserName(i);
    db.DeleteUser(name);
    // The next look-up pays whatever the deletion left to it.
    if (db.Exists(name)) State.SkipWithError("the user is still there after DeleteUser");
    State.PauseTiming();
    db.AddUser(name, u"pw", false);
    i = (i + 1) % users;
    State.ResumeTiming();
  }
}

// --- Memory ------------------------------------------------------------------

std::size_t HeapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

} // namespace

void VaultSaveEncrypted(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  kl::TMemoryStream first;
  store->SaveToStream(first, kPassword);
  for (auto _ : State) {
    kl::TMemoryStream stream;
    store->SaveToStream(stream, kPassword);
    benchmark::DoNotOptimize(stream.GetSize());
  }
  State.SetBytesProcessed(State.iterations() * first.GetSize());
}

// Loads into an empty store that holds the key of the file.
void VaultLoadEncrypted(benchmark::State& State) {
  const auto records = static_cast<std::int32_t>(State.range(0));
  auto store = MakeVault(records);
  kl::TMemoryStream saved;
  store->SaveToStream(saved, kPassword);
  DeleteRecordsFrom(*store, 0);
  for (auto _ : State) {
    saved.SetPosition(0);
    store->LoadFromStream(saved, kPassword);
    State.PauseTiming();
    if (store->GetCount() != records) State.SkipWithError("the load did not give every record back");
    DeleteRecordsFrom(*store, 0);
    State.ResumeTiming();
  }
  State.SetBytesProcessed(State.iterations() * saved.GetSize());
}

void StorageSavePlain(benchmark::State& State) { StorageSave(State, String()); }
void StorageLoadPlain(benchmark::State& State) { StorageLoad(State, String()); }
void StorageSaveEncrypted(benchmark::State& State) { StorageSave(State, kPassword); }
void StorageLoadEncrypted(benchmark::State& State) { StorageLoad(State, kPassword); }

// The middle value removed by position; it goes back at the end, untimed, so
// that the size stays.
void StorageRemoveOne(benchmark::State& State) {
  auto storage = MakeStorage(State.range(0));
  const std::int32_t middle = storage->GetCount() / 2;
  auto take = [&](String& Key, String& Text) {
    const kl::TKLValue* value = storage->GetValue(middle);
    Key = value->GetKey();
    Text = static_cast<const kl::TKLStringValue*>(value)->GetValue();
  };
  String key, text;
  take(key, text);
  for (auto _ : State) {
    storage->Remove(middle);
    State.PauseTiming();
    storage->PutString(key, text, false);
    take(key, text);
    State.ResumeTiming();
  }
  if (storage->GetCount() != State.range(0)) State.SkipWithError("the storage changed size");
}

// The middle record deleted by position and added back at the end, untimed.
void VaultDeleteOne(benchmark::State& State) {
  auto store = MakeVault(State.range(0));
  const std::int32_t middle = store->GetCount() / 2;
  kl::TKLPassRecord* rec = store->GetRecord(middle);
  for (auto _ : State) {
    store->Delete(middle);
    State.PauseTiming();
    store->Add(rec);
    rec = store->GetRecord(middle);
    State.ResumeTiming();
  }
  if (store->GetCount() != State.range(0)) State.SkipWithError("the vault changed size");
}

void TextDatabaseDeleteUser(benchmark::State& State) { DatabaseDeleteUser<kl::TKLTextPasswordDatabase>(State); }
void BinaryDatabaseDeleteUser(benchmark::State& State) { DatabaseDeleteUser<kl::TKLBinaryPasswordDatabase>(State); }

// Heap in use per value, beyond its key's UTF-8 bytes and its 4 data bytes, for
// a plain storage of "v/<i>" keys and 32-bit integers: once right after the
// load, once after every value has been asked for by position.
void StorageMemoryPerValue(benchmark::State& State) {
  const auto count = static_cast<std::int32_t>(State.range(0));
  kl::TMemoryStream saved;
  double payload = 0;
  {
    kl::TKLStorage source;
    for (std::int32_t i = 0; i < count; ++i) {
      const std::string key = "v/" + std::to_string(i);
      payload += static_cast<double>(key.size() + 4);
      source.PutInt(Ascii(key), i, false);
    }
    source.SaveToStream(saved, String());
  }
  const double values = count;
  for (auto _ : State) {
    saved.SetPosition(0);
    const std::size_t before = HeapInUse();
    auto storage = std::make_unique<kl::TKLStorage>();
    storage->LoadFromStream(saved, String());
    const std::size_t loaded = HeapInUse();
    std::int64_t sum = 0;
    for (std::int32_t i = 0; i < storage->GetCount(); ++i) {
      sum += static_cast<const kl::TKLIntValue*>(storage->GetValue(i))->GetValue();
    }
    benchmark::DoNotOptimize(sum);
    const std::size_t read = HeapInUse();
    if (storage->GetCount() != count) State.SkipWithError("the load did not give every value back");
    const auto base = static_cast<double>(before) + payload;
    State.counters["loaded_B/value"] = (static_cast<double>(loaded) - base) / values;
    State.counters["read_B/value"] = (static_cast<double>(read) - base) / values;
    State.PauseTiming();
    storage.reset();
    State.ResumeTiming();
  }
}

} // namespace KL_OPS_NAMESPACE
