#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

// Writes the seed corpus of fuzz/StorageLoad.cpp into $KL_FUZZ_SEED_DIR. Not a
// test: run it by hand when the file format changes, with
//   KL_FUZZ_SEED_DIR=fuzz/corpus/StorageLoad klpassword_storage_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*WriteStorageLoadSeeds'
// Each seed is the fuzz target's mode byte followed by its input.
TEST(StorageFuzzSeeds, DISABLED_WriteStorageLoadSeeds) {
  const char* dir = std::getenv("KL_FUZZ_SEED_DIR");
  ASSERT_NE(dir, nullptr);
  TKLStorage storage;
  storage.SetSaveVersion(KLStorageVersion2);
  const auto write = [&](const std::string& Name, std::uint8_t Mode, const String& Password, std::size_t Skip) {
    TMemoryStream stream;
    storage.SaveToStream(stream, Password);
    const ByteArray bytes = stream.ToBytes();
    std::string seed(1, static_cast<char>(Mode));
    seed.append(bytes.begin() + static_cast<std::ptrdiff_t>(Skip), bytes.end());
    test::WriteFileBytes(std::string(dir) + "/" + Name, seed);
  };
  write("plain-empty", 0, u"", 0);
  write("encrypted-empty", 1, u"fuzz", 0);
  storage.PutBool(u"flags/on", true, false);
  storage.PutInt(u"index", -2, false);
  storage.PutLong(u"users/1/time", 0x0102030405060708, false);
  storage.PutString(u"users/1/name", test::U("Zo\u00EB \U0001F511"), false);
  storage.PutBlob(u"users/1/salt", {0, 1, 0xFF}, false);
  storage.PutString(u"users/2/name", u"", false);
  write("plain-values", 0, u"", 0);
  write("encrypted-values", 1, u"fuzz", 0);
  write("content-values", 2, u"", KLStorageHeaderSize);
  write("roundtrip-values", 3, u"", 0);
  write("format3-content-values", 4, u"", KLStorageHeaderSize);
  storage.SetSaveVersion(KLStorageVersion3);
  storage.SetKdfParameters({KLStorageMinKdfMemoryKiB, 1});
  write("format3-values", 1, u"fuzz", 0);
  write("format3-strict", 5, u"fuzz", 0);
}

} // namespace
} // namespace kl
