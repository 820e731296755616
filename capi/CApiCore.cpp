// The C interface: statuses, the per-thread error detail, texts and buffers,
// password hashes, file headers and protection.

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <typeinfo>

#include "capi/CApiSupport.h"
#include "crypto/KLAES.h"
#include "crypto/KLHashGate.h"
#include "crypto/KLPasswordHash.h"
#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "database/KLSqlDatabase.h"
#include "foundation/FileStamp.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassExchange.h"
#include "passstorage/KLPassSearch.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"
#include "rules/KLBlocklist.h"
#include "storage/KLStorage.h"

#ifndef KL_VERSION_TEXT
#error "KL_VERSION_TEXT must name the project's version"
#endif

namespace kl::capi {

namespace {

thread_local std::string lastError;

bool Is(const kl::Exception& Error, const char* Message) { return Error.GetMessage() == Message; }
bool StartsWith(const kl::Exception& Error, const char* Prefix) {
  return std::string_view(Error.GetMessage()).starts_with(Prefix);
}

// The library's exception classes, most specific first.
int StatusOf(const kl::Exception& Error) {
  if (dynamic_cast<const EKLStorageLegacyFormat*>(&Error)) return KLP_ERROR_LEGACY_FORMAT;
  if (dynamic_cast<const EKLStorageException*>(&Error)) {
    if (Is(Error, SStorageWrongPassword)) return KLP_ERROR_WRONG_PASSWORD;
    if (Is(Error, SStorageKdfOutOfBounds) || Is(Error, SStorageSaveVersion) || Is(Error, SStorageValueTooLong))
      return KLP_ERROR_INVALID_ARGUMENT;
    return KLP_ERROR_DAMAGED_FILE;
  }
  if (dynamic_cast<const EKLAESError*>(&Error)) return KLP_ERROR_DAMAGED_FILE;
  if (dynamic_cast<const EKLAccountLockedError*>(&Error)) return KLP_ERROR_LOCKED;
  if (dynamic_cast<const EKLHashBusyError*>(&Error)) return KLP_ERROR_BUSY;
  if (dynamic_cast<const EKLDatabaseUnavailable*>(&Error)) {
    // A newer schema is no matter of the connection: this library cannot read it.
    return Is(Error, SDatabaseSchemaTooNew) ? KLP_ERROR_DAMAGED_FILE : KLP_ERROR_UNAVAILABLE;
  }
  if (dynamic_cast<const EKLPepperError*>(&Error)) {
    return StartsWith(Error, SInvalidPepperKeys) ? KLP_ERROR_INVALID_ARGUMENT : KLP_ERROR_PEPPER;
  }
  if (dynamic_cast<const EKLPasswordDatabaseError*>(&Error)) {
    if (Is(Error, SUserDoesNotExist)) return KLP_ERROR_NOT_FOUND;
    if (Is(Error, SUserAlreadyExists) || Is(Error, SDatabaseAlreadyExists)) return KLP_ERROR_EXISTS;
    if (Is(Error, SDatabaseNotUserDatabase)) return KLP_ERROR_DAMAGED_FILE;
    if (Is(Error, SInvalidUserName) || Is(Error, SDatabaseNotOpened)) return KLP_ERROR_INVALID_ARGUMENT;
    if (StartsWith(Error, SDatabaseCorrupted)) return KLP_ERROR_DAMAGED_FILE;
    return KLP_ERROR_INTERNAL;
  }
  if (dynamic_cast<const EKLPasswordHashError*>(&Error)) {
    return Is(Error, SInvalidHashParameters) ? KLP_ERROR_INVALID_ARGUMENT : KLP_ERROR_INVALID_HASH;
  }
  if (dynamic_cast<const EKLPassExchangeError*>(&Error)) {
    return Is(Error, SExchangeUnpairedSurrogate) || Is(Error, SExchangeWrongGroup) ? KLP_ERROR_INVALID_ARGUMENT
                                                                                   : KLP_ERROR_DAMAGED_FILE;
  }
  if (dynamic_cast<const EKLPassQueryException*>(&Error)) return KLP_ERROR_INVALID_ARGUMENT; // a malformed query
  if (dynamic_cast<const EKLPassStorageException*>(&Error)) {
    if (Is(Error, SWrongGroupName)) return KLP_ERROR_INVALID_ARGUMENT;
    if (Is(Error, SStorageCorrupted)) return KLP_ERROR_DAMAGED_FILE;
    // KDBX: a wrong key and damage past the header cannot be told apart; the
    // key is by far the likelier, as for the vault's own format.
    if (Is(Error, SKdbxWrongKey)) return KLP_ERROR_WRONG_PASSWORD;
    if (StartsWith(Error, "The KDBX") || StartsWith(Error, "Unsupported KDBX") || StartsWith(Error, "KDBX files") ||
        Is(Error, SKdbxKeyFile)) {
      return KLP_ERROR_DAMAGED_FILE;
    }
    // A text or tree a KDBX file cannot carry, or a value beyond a record's bounds.
    if (StartsWith(Error, SKdbxUnpairedSurrogate) || StartsWith(Error, SKdbxTooDeep) || Is(Error, SWrongCustomField) ||
        Is(Error, SWrongTag) || Is(Error, SWrongAttachment) || Is(Error, STooManyRecordItems)) {
      return KLP_ERROR_INVALID_ARGUMENT;
    }
    if (StartsWith(Error, SKdbxKdfTooCostly)) return KLP_ERROR_DAMAGED_FILE;
    return KLP_ERROR_INTERNAL;
  }
  if (const auto* protection = dynamic_cast<const EKLProtectionError*>(&Error)) {
    if (protection->GetKeyStoreFault()) return KLP_ERROR_FILE;
    return StartsWith(Error, "Failed to load") ? KLP_ERROR_DAMAGED_FILE : KLP_ERROR_FILE;
  }
  if (dynamic_cast<const EKLBlocklistError*>(&Error)) {
    return Is(Error, SBlocklistTooLarge) ? KLP_ERROR_INVALID_ARGUMENT : KLP_ERROR_DAMAGED_FILE;
  }
  if (dynamic_cast<const EKLPasswordError*>(&Error)) {
    if (StartsWith(Error, "Failed to load")) return KLP_ERROR_DAMAGED_FILE;
    if (StartsWith(Error, "Failed to save")) return KLP_ERROR_FILE;
    return KLP_ERROR_INVALID_ARGUMENT; // generator settings that no password meets
  }
  if (dynamic_cast<const EFileChangedError*>(&Error)) return KLP_ERROR_FILE_CHANGED;
  if (dynamic_cast<const EFileError*>(&Error)) return KLP_ERROR_FILE;
  if (dynamic_cast<const EReadError*>(&Error)) return KLP_ERROR_DAMAGED_FILE; // a file cut short
  if (dynamic_cast<const EStreamError*>(&Error)) return KLP_ERROR_FILE;
  if (dynamic_cast<const EConvertError*>(&Error) || dynamic_cast<const ERegexError*>(&Error) ||
      dynamic_cast<const EListError*>(&Error) || dynamic_cast<const ERangeError*>(&Error))
    return KLP_ERROR_INVALID_ARGUMENT;
  // Options outside what a rule or policy can take (a NIST maximum below 64,
  // a score above 4) come as the base class.
  if (typeid(Error) == typeid(EKLException)) return KLP_ERROR_INVALID_ARGUMENT;
  return KLP_ERROR_INTERNAL;
}

std::size_t BoundedLength(const char* Utf8) {
  const void* end = std::memchr(Utf8, 0, KLP_MAX_TEXT_BYTES + 1);
  if (!end) Refuse(KLP_ERROR_TOO_LONG, "a text is longer than KLP_MAX_TEXT_BYTES");
  return static_cast<std::size_t>(static_cast<const char*>(end) - Utf8);
}

} // namespace

void SetLastError(const char* Detail) noexcept {
  try {
    lastError = Detail;
  } catch (...) {
    lastError.clear();
  }
}

int StatusOfCurrentException() noexcept {
  try {
    throw;
  } catch (const TCApiError& e) {
    SetLastError(e.Detail);
    return e.Status;
  } catch (const std::bad_alloc&) {
    SetLastError("out of memory");
    return KLP_ERROR_OUT_OF_MEMORY;
  } catch (const kl::Exception& e) {
    SetLastError(e.what());
    return StatusOf(e);
  } catch (const std::exception& e) {
    SetLastError(e.what());
    return KLP_ERROR_INTERNAL;
  } catch (...) {
    SetLastError("unknown failure");
    return KLP_ERROR_INTERNAL;
  }
}

String Text(const char* Utf8, const char* Name) {
  if (!Utf8) Refuse(KLP_ERROR_INVALID_ARGUMENT, Name);
  const std::size_t length = BoundedLength(Utf8);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(Utf8);
  if (!IsValidUTF8(bytes, length)) Refuse(KLP_ERROR_INVALID_UTF8, "a text is not valid UTF-8");
  return UTF8ToStr(bytes, length);
}

String OptionalText(const char* Utf8, const char* Name) { return Utf8 ? Text(Utf8, Name) : String(); }

std::vector<String> TextList(const char* const* Words, std::size_t Count) {
  Require(Words || Count == 0, "a word list is NULL");
  std::vector<String> list;
  list.reserve(Count);
  for (std::size_t i = 0; i < Count; ++i) list.push_back(Text(Words[i], "a word of the list is NULL"));
  return list;
}

int WriteText(const std::string& Utf8, char* Out, std::size_t* OutLen) {
  Require(OutLen != nullptr, "out_len is NULL");
  const std::size_t needed = Utf8.size() + 1;
  if (!Out || *OutLen < needed) {
    *OutLen = needed;
    SetLastError("the buffer is too small; *out_len holds the size needed");
    return KLP_ERROR_BUFFER_TOO_SMALL;
  }
  std::memcpy(Out, Utf8.data(), Utf8.size());
  Out[Utf8.size()] = '\0';
  *OutLen = needed;
  return KLP_OK;
}

int WriteText(const String& Text, char* Out, std::size_t* OutLen) { return WriteText(StrToUTF8(Text), Out, OutLen); }

int WriteSecretText(const String& Text, char* Out, std::size_t* OutLen) {
  std::string utf8 = StrToUTF8(Text);
  const int status = WriteText(utf8, Out, OutLen);
  WipeRawBytes(utf8);
  return status;
}

// A handed-out secret is preceded by a header holding its size, so that
// klp_secret_free wipes all of it: a secret may hold U+0000 (a value protected
// or stored through the C++ interface), and strlen would stop there, leaving
// the tail in freed memory. The header is max_align_t wide, so the text keeps
// malloc's alignment.
constexpr std::size_t kSecretHeader = alignof(std::max_align_t);
static_assert(kSecretHeader >= sizeof(std::size_t));

void HandOutSecret(const String& Text, char** Out) {
  std::string bytes = StrToUTF8(Text);
  const std::size_t size = bytes.size() + 1;
  char* block = size <= SIZE_MAX - kSecretHeader ? static_cast<char*>(std::malloc(kSecretHeader + size)) : nullptr;
  if (block) {
    std::memcpy(block, &size, sizeof(size));
    std::memcpy(block + kSecretHeader, bytes.data(), size);
  }
  WipeRawBytes(bytes);
  if (!block) throw std::bad_alloc();
  *Out = block + kSecretHeader;
}

std::int32_t CheckedIndex(std::size_t Index, std::int32_t Count, const char* Detail) {
  if (Count < 0 || Index >= static_cast<std::size_t>(Count)) Refuse(KLP_ERROR_NOT_FOUND, Detail);
  return static_cast<std::int32_t>(Index);
}

namespace {

TKLPasswordHashParameters HashParameters(std::uint32_t MemoryKiB, std::uint32_t Passes) {
  TKLPasswordHashParameters parameters;
  if (MemoryKiB) parameters.MemoryKiB = MemoryKiB;
  if (Passes) parameters.Passes = Passes;
  return parameters;
}

} // namespace

} // namespace kl::capi

using namespace kl::capi;

extern "C" {

const char* klp_status_message(int status) {
  switch (status) {
    case KLP_OK:
      return "success";
    case KLP_NO_MATCH:
      return "the password does not match";
    case KLP_CHECK_FAILED:
      return "the password fails the policy";
    case KLP_NEEDS_REHASH:
      return "the hash should be replaced by a stronger one";
    case KLP_UNCHANGED:
      return "nothing to do";
    case KLP_ERROR_INVALID_ARGUMENT:
      return "invalid argument";
    case KLP_ERROR_INVALID_UTF8:
      return "the text is not valid UTF-8";
    case KLP_ERROR_TOO_LONG:
      return "the text is too long";
    case KLP_ERROR_BUFFER_TOO_SMALL:
      return "the buffer is too small";
    case KLP_ERROR_WRONG_PASSWORD:
      return "wrong password";
    case KLP_ERROR_DAMAGED_FILE:
      return "the file is damaged or not of the expected kind";
    case KLP_ERROR_NOT_FOUND:
      return "not found";
    case KLP_ERROR_EXISTS:
      return "already exists";
    case KLP_ERROR_FILE:
      return "the file or key store cannot be used";
    case KLP_ERROR_FILE_CHANGED:
      return "the file was changed by another program; nothing was saved";
    case KLP_ERROR_LEGACY_FORMAT:
      return "the file is of an old format; upgrade it";
    case KLP_ERROR_INVALID_HASH:
      return "not a valid Argon2id password hash";
    case KLP_ERROR_OUT_OF_MEMORY:
      return "out of memory";
    case KLP_ERROR_LOCKED:
      return "the account is locked after too many failed attempts";
    case KLP_ERROR_BUSY:
      return "too many password hashes at once; try again later";
    case KLP_ERROR_UNAVAILABLE:
      return "the database server cannot be reached";
    case KLP_ERROR_PEPPER:
      return "the server key of the record is missing or wrong";
    case KLP_ERROR_INTERNAL:
      return "internal error";
    default:
      return "unknown status";
  }
}

const char* klp_last_error(void) { return lastError.c_str(); }

const char* klp_version(void) { return KL_VERSION_TEXT; }

long klp_abi_version(void) { return KLP_ABI_VERSION; }

void klp_secret_free(char* secret) {
  if (!secret) return;
  char* block = secret - kl::capi::kSecretHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof(size));
  kl::SecureZero(block, kl::capi::kSecretHeader + size);
  std::free(block);
}

int klp_hash_password(const char* password, uint32_t memory_kib, uint32_t passes, char* out, size_t* out_len) {
  return Guard([&] {
    Require(out_len != nullptr, "out_len is NULL");
    kl::String text = Text(password, "password is NULL");
    kl::String hash;
    try {
      hash = kl::HashPassword(text, HashParameters(memory_kib, passes));
    } catch (...) {
      kl::WipeString(text);
      throw;
    }
    kl::WipeString(text);
    return WriteText(hash, out, out_len);
  });
}

int klp_verify_password(const char* hash, const char* password) {
  return Guard([&] {
    const kl::String stored = Text(hash, "hash is NULL");
    kl::String text = Text(password, "password is NULL");
    bool match = false;
    try {
      match = kl::VerifyPassword(stored, text);
    } catch (...) {
      kl::WipeString(text);
      throw;
    }
    kl::WipeString(text);
    return match ? KLP_OK : KLP_NO_MATCH;
  });
}

int klp_needs_rehash(const char* hash, uint32_t memory_kib, uint32_t passes) {
  return Guard([&] {
    return kl::NeedsRehash(Text(hash, "hash is NULL"), HashParameters(memory_kib, passes)) ? KLP_NEEDS_REHASH : KLP_OK;
  });
}

int klp_file_info(const char* path, int* version, int* encrypted, int* authenticated, uint32_t* memory_kib,
                  uint32_t* passes) {
  return Guard([&] {
    const kl::TKLStorageFileInfo info = kl::TKLStorage::ReadFileInfo(Text(path, "path is NULL"));
    if (version) *version = info.Version;
    if (encrypted) *encrypted = info.Encrypted ? 1 : 0;
    if (authenticated) *authenticated = info.Authenticated ? 1 : 0;
    if (memory_kib) *memory_kib = info.Kdf.MemoryKiB;
    if (passes) *passes = info.Kdf.Passes;
    return KLP_OK;
  });
}

int klp_protect(const char* password, int scope, uint8_t* out, size_t* out_len) {
  return Guard([&] {
    Require(out_len != nullptr, "out_len is NULL");
    Require(scope == KLP_PROTECT_USER || scope == KLP_PROTECT_MACHINE, "unknown protection scope");
    kl::TKLPassword value;
    kl::String text = Text(password, "password is NULL");
    value.SetValue(text);
    kl::WipeString(text);
    value.SetShared(scope == KLP_PROTECT_MACHINE);
    const kl::ByteArray blob = value.Save();
    if (!out || *out_len < blob.size()) {
      *out_len = blob.size();
      SetLastError("the buffer is too small; *out_len holds the size needed");
      return KLP_ERROR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, blob.data(), blob.size());
    *out_len = blob.size();
    return KLP_OK;
  });
}

int klp_unprotect(const uint8_t* data, size_t size, char** password) {
  return Guard([&] {
    Require(password != nullptr, "password is NULL");
    *password = nullptr;
    Require(data != nullptr || size == 0, "data is NULL");
    const kl::ByteArray blob(data, data + size);
    const kl::TKLPassword reader;
    kl::String text = reader.Load(blob);
    HandOutSecret(text, password);
    kl::WipeString(text);
    return KLP_OK;
  });
}

int klp_protect_file(const char* path, const char* password, int scope) {
  return Guard([&] {
    Require(scope == KLP_PROTECT_USER || scope == KLP_PROTECT_MACHINE, "unknown protection scope");
    const kl::String file = Text(path, "path is NULL");
    kl::TKLPassword value;
    kl::String text = Text(password, "password is NULL");
    value.SetValue(text);
    kl::WipeString(text);
    value.SetShared(scope == KLP_PROTECT_MACHINE);
    value.SaveToFile(file);
    return KLP_OK;
  });
}

int klp_unprotect_file(const char* path, char** password) {
  return Guard([&] {
    Require(password != nullptr, "password is NULL");
    *password = nullptr;
    kl::TKLPassword value;
    value.LoadFromFile(Text(path, "path is NULL"));
    HandOutSecret(value.GetValue(), password);
    return KLP_OK;
  });
}

} // extern "C"
