// Feeds arbitrary bytes to the password value's protected-form loader. The key
// folder and machine id live in a private temporary folder made at start-up.
// Only the library's own exceptions may come out; anything else is a crash.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/Exceptions.h"
#include "foundation/MemoryStream.h"
#include "passwords/KLPasswords.h"

namespace {

std::string& KeyStoreFolder() {
  static std::string folder;
  return folder;
}

void RemoveKeyStore() {
  std::error_code ignored;
  std::filesystem::remove_all(KeyStoreFolder(), ignored);
}

void SetUpKeyStore() {
  std::string& folder = KeyStoreFolder();
  folder = (std::filesystem::temp_directory_path() / "klpassword-fuzz-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) std::abort();
  std::atexit(&RemoveKeyStore);
  const std::string keys = folder + "/keys";
  std::filesystem::create_directory(keys);
  std::filesystem::permissions(keys, std::filesystem::perms::owner_all);
  std::ofstream(folder + "/machine-id") << "0123456789abcdef0123456789abcdef\n";
  setenv("KLPASSWORD_KEY_DIR", keys.c_str(), 1);
  setenv("KLPASSWORD_MACHINE_ID_FILE", (folder + "/machine-id").c_str(), 1);
  setenv("KLPASSWORD_MACHINE_KEY_FILE", (folder + "/machine.key").c_str(), 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetUpKeyStore();
  // One valid blob of each scope makes the key store exist, so that inputs
  // reach the authentication check rather than stopping at a missing key.
  kl::TKLPassword seed(u"seed");
  seed.Save();
  seed.SetShared(true);
  seed.Save();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  kl::TKLPassword password(u"previous");
  kl::TMemoryStream stream(kl::ByteArray(Data, Data + Size));
  try {
    password.LoadFromStream(stream);
  } catch (const kl::Exception&) {
    if (password.GetValue() != u"previous") std::abort(); // a failed load keeps the value
  }
  return 0;
}
