// The C interface: what a vault needs for KeePass's KDBX files, the key file
// and the file's key derivation and cipher.

#include "capi/CApiSupport.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"

using namespace kl::capi;

namespace {

// Key files are small; a larger file is no key file KeePass would make.
constexpr std::int64_t kMaxKeyFileBytes = 16 * 1024 * 1024;

kl::TKLKdbxSettings SettingsOf(int Kdf, int Cipher, std::uint64_t Iterations, std::uint64_t MemoryBytes,
                               std::uint32_t Parallelism) {
  Require(Kdf >= KLP_KDBX_AES_KDF && Kdf <= KLP_KDBX_ARGON2ID, "unknown key derivation");
  Require(Cipher == KLP_KDBX_CIPHER_AES256 || Cipher == KLP_KDBX_CIPHER_CHACHA20, "unknown cipher");
  kl::TKLKdbxSettings settings;
  settings.Kdf = static_cast<kl::TKLKdbxKdf>(Kdf);
  settings.Cipher = static_cast<kl::TKLKdbxCipher>(Cipher);
  settings.Iterations = Iterations;
  settings.MemoryBytes = Kdf == KLP_KDBX_AES_KDF ? 0 : MemoryBytes;
  settings.Parallelism = Kdf == KLP_KDBX_AES_KDF ? 0 : Parallelism;
  return settings;
}

} // namespace

extern "C" {

int klp_vault_set_key_file(klp_vault_t* vault, const char* path) {
  return Guard([&] {
    kl::TKLPassStorage& store = VaultStore(vault);
    if (!path) {
      store.SetKeyFile({});
      return KLP_OK;
    }
    const kl::String file = Text(path, "path is NULL");
    kl::TFileStream stream(file, kl::fmOpenRead);
    const std::int64_t size = stream.GetSize();
    Require(size <= kMaxKeyFileBytes, "the key file is larger than 16 MiB");
    kl::ByteArray contents(static_cast<std::size_t>(size));
    if (size > 0) stream.ReadBuffer(contents.data(), static_cast<std::int32_t>(size));
    try {
      store.SetKeyFile(contents);
    } catch (...) {
      kl::WipeBytes(contents);
      throw;
    }
    kl::WipeBytes(contents);
    return KLP_OK;
  });
}

int klp_vault_get_save_format(const klp_vault_t* vault, int* format) {
  return Guard([&] {
    const kl::TKLPassStorage& store = VaultStore(const_cast<klp_vault_t*>(vault));
    Deref(format, "format is NULL") = store.GetSaveFormat() == kl::pfKdbx ? KLP_VAULT_FORMAT_KDBX : KLP_VAULT_FORMAT_NATIVE;
    return KLP_OK;
  });
}

int klp_vault_set_save_format(klp_vault_t* vault, int format) {
  return Guard([&] {
    Require(format == KLP_VAULT_FORMAT_NATIVE || format == KLP_VAULT_FORMAT_KDBX, "unknown vault format");
    VaultStore(vault).SetSaveFormat(format == KLP_VAULT_FORMAT_KDBX ? kl::pfKdbx : kl::pfVault);
    return KLP_OK;
  });
}

int klp_vault_get_kdbx_settings(const klp_vault_t* vault, int* kdf, int* cipher, uint64_t* iterations,
                                uint64_t* memory_bytes, uint32_t* parallelism) {
  return Guard([&] {
    const kl::TKLKdbxSettings& s = VaultStore(const_cast<klp_vault_t*>(vault)).GetKdbxSettings();
    if (kdf) *kdf = static_cast<int>(s.Kdf);
    if (cipher) *cipher = static_cast<int>(s.Cipher);
    if (iterations) *iterations = s.Iterations;
    if (memory_bytes) *memory_bytes = s.MemoryBytes;
    if (parallelism) *parallelism = s.Parallelism;
    return KLP_OK;
  });
}

int klp_vault_set_kdbx_settings(klp_vault_t* vault, int kdf, int cipher, uint64_t iterations, uint64_t memory_bytes,
                                uint32_t parallelism) {
  return Guard([&] {
    kl::TKLPassStorage& store = VaultStore(vault);
    const kl::TKLKdbxSettings settings = SettingsOf(kdf, cipher, iterations, memory_bytes, parallelism);
    try {
      store.SetKdbxSettings(settings);
    } catch (const kl::EKLPassStorageException&) {
      // Here the settings are the caller's, not a file's: an argument out of bounds.
      Refuse(KLP_ERROR_INVALID_ARGUMENT, kl::SKdbxBadParameters);
    }
    return KLP_OK;
  });
}

int klp_vault_kdbx_version(const klp_vault_t* vault, uint32_t* version) {
  return Guard([&] {
    Deref(version, "version is NULL") = VaultStore(const_cast<klp_vault_t*>(vault)).GetKdbxLoadedVersion();
    return KLP_OK;
  });
}

} // extern "C"
