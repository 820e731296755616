#include "Console.h"
#include "Terminal.h"

#include <array>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "crypto/KLAES.h"
#include "crypto/KLHashGate.h"
#include "crypto/KLPasswordHash.h"
#include "database/KLDatabase.h"
#include "database/KLSqlDatabase.h"
#include "database/KLPepper.h"
#include "rules/KLBlocklist.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"
#include "storage/KLStorage.h"

namespace klpass {

void Fail(int ExitCode, const std::string& Message) { throw ECommandError(ExitCode, Message); }

namespace {

bool Is(const kl::Exception& Error, const char* Message) { return Error.GetMessage() == Message; }

bool StartsWith(const std::string& Text, std::string_view Prefix) { return Text.rfind(Prefix, 0) == 0; }

} // namespace

std::pair<int, std::string> Classify(const kl::Exception& Error) {
  const std::string& message = Error.GetMessage();
  const std::string detail = " (" + message + ")";
  if (dynamic_cast<const kl::EKLStorageLegacyFormat*>(&Error)) {
    return {kExitDamaged,
            "the file has an old format (version 1 or 2) that cannot be authenticated; 'upgrade' converts it to "
            "version 3 (klpass vault upgrade FILE, klpass users upgrade FILE)"};
  }
  if (dynamic_cast<const kl::EKLStorageException*>(&Error)) {
    if (Is(Error, kl::SStorageWrongPassword)) return {kExitWrongPassword, "wrong master password"};
    if (Is(Error, kl::SStorageNotEncrypted)) return {kExitDamaged, "the file is not encrypted" + detail};
    return {kExitDamaged, "the file is damaged or not of the expected kind" + detail};
  }
  if (dynamic_cast<const kl::EKLAESError*>(&Error)) {
    return {kExitDamaged, "the file is damaged" + detail};
  }
  if (dynamic_cast<const kl::EKLAccountLockedError*>(&Error)) {
    return {kExitLocked, "the account is locked after too many failed attempts ('users unlock' unlocks it)"};
  }
  if (dynamic_cast<const kl::EKLPepperError*>(&Error)) return {kExitFileError, message};
  if (dynamic_cast<const kl::EKLHashBusyError*>(&Error)) return {kExitFileError, message};
  if (dynamic_cast<const kl::EKLDatabaseUnavailable*>(&Error)) return {kExitFileError, message};
  if (dynamic_cast<const kl::EKLPasswordDatabaseError*>(&Error)) {
    if (Is(Error, kl::SDatabaseAlreadyExists)) return {kExitExists, "a user database exists there already"};
    if (Is(Error, kl::SDatabaseNotUserDatabase)) return {kExitDamaged, "not a user database"};
    if (StartsWith(message, kl::SDatabaseStatementFailed)) return {kExitFileError, message};
    if (Is(Error, kl::SUserDoesNotExist)) return {kExitNotFound, "no such user"};
    if (Is(Error, kl::SUserAlreadyExists)) return {kExitExists, "the user already exists"};
    if (Is(Error, kl::SInvalidUserName)) return {kExitUsage, "a user name must not hold ':' or a line break"};
    if (StartsWith(message, kl::SDatabaseCorrupted)) return {kExitDamaged, "the database is damaged" + detail};
    return {kExitInternal, message};
  }
  if (dynamic_cast<const kl::EKLPasswordHashError*>(&Error)) {
    if (Is(Error, kl::SInvalidHashParameters)) return {kExitUsage, message};
    if (Is(Error, kl::SPasswordHashTooCostly)) return {kExitDamaged, message};
    return {kExitDamaged, "not a valid Argon2id password hash"};
  }
  if (dynamic_cast<const kl::EKLPassStorageException*>(&Error)) {
    if (Is(Error, kl::SWrongGroupName)) return {kExitUsage, "a group path must not hold an empty name"};
    if (Is(Error, kl::SStorageCorrupted)) return {kExitDamaged, "the vault is damaged" + detail};
    if (Is(Error, kl::SKdbxWrongKey)) return {kExitWrongPassword, "wrong password or key file, or the KDBX file is damaged"};
    // What a KDBX save refuses, or a record's setter: a value the files cannot hold.
    if (StartsWith(message, kl::SKdbxUnpairedSurrogate) || StartsWith(message, kl::SKdbxTooDeep) ||
        Is(Error, kl::SWrongCustomField) || Is(Error, kl::SWrongTag) || Is(Error, kl::SWrongAttachment) ||
        Is(Error, kl::STooManyRecordItems)) {
      return {kExitUsage, message};
    }
    if (StartsWith(message, kl::SKdbxKdfTooCostly)) {
      return {kExitDamaged, message + "; the vault action opens it with --accept-kdf-cost"};
    }
    if (StartsWith(message, "The KDBX") || StartsWith(message, "Unsupported KDBX") || StartsWith(message, "KDBX files") ||
        Is(Error, kl::SKdbxKeyFile)) {
      return {kExitDamaged, message};
    }
    return {kExitInternal, message};
  }
  if (const auto* protection = dynamic_cast<const kl::EKLProtectionError*>(&Error)) {
    // The words of the layer beneath, rather than its bare error number.
    const std::string words = " (" + protection->GetDescription() + ")";
    if (protection->GetKeyStoreFault()) return {kExitFileError, "the key store cannot be used" + words};
    if (StartsWith(message, "Failed to load")) {
      return {kExitDamaged, "the file is damaged, or was protected by another user or on another machine" + words};
    }
    return {kExitFileError, "the password cannot be protected" + words};
  }
  if (dynamic_cast<const kl::EKLBlocklistError*>(&Error)) {
    if (Is(Error, kl::SBlocklistTooLarge)) return {kExitUsage, message};
    return {kExitDamaged, message};
  }
  if (dynamic_cast<const kl::EKLPasswordError*>(&Error)) {
    if (StartsWith(message, "Failed to load")) {
      return {kExitDamaged, "the file is damaged, or was protected by another user or on another machine" + detail};
    }
    if (StartsWith(message, "Failed to save")) return {kExitFileError, "the key store cannot be used" + detail};
    return {kExitUsage, message};
  }
  if (dynamic_cast<const kl::EFileChangedError*>(&Error)) {
    return {kExitFileError, "another program changed the file meanwhile; nothing was saved" + detail};
  }
  if (dynamic_cast<const kl::EFileError*>(&Error)) return {kExitFileError, message};
  if (dynamic_cast<const kl::EConvertError*>(&Error) && Is(Error, kl::SInvalidUTF16)) {
    return {kExitUsage, "the text holds an unpaired surrogate, which no password may hold"};
  }
  if (dynamic_cast<const kl::EStreamError*>(&Error)) {
    if (Is(Error, kl::SReadError)) return {kExitDamaged, "the file is damaged or cut short" + detail};
    return {kExitFileError, message};
  }
  return {kExitInternal, message};
}

namespace {

// The longest secret accepted, in bytes of UTF-8.
constexpr std::size_t kMaxSecretBytes = 1024;

// Reads one line of standard input byte by byte (so that nothing beyond the
// line is consumed, and no stdio buffer keeps a copy) into a buffer that is
// wiped afterwards.
std::optional<TSecret> TryReadLine() {
  std::array<std::uint8_t, kMaxSecretBytes + 1> buffer{};
  kl::WipeOnExit wipe(buffer);
  std::size_t length = 0;
  bool lineEnded = false;
  bool tooLong = false;
  for (;;) {
    std::uint8_t byte = 0;
    if (!ReadInputByte(byte)) break;
    if (byte == '\n') {
      lineEnded = true;
      break;
    }
    if (length < buffer.size()) {
      buffer[length++] = byte;
    } else {
      tooLong = true;
    }
  }
  if (!lineEnded && length == 0) return std::nullopt;
  if (length > 0 && buffer[length - 1] == '\r') --length;
  if (tooLong || length > kMaxSecretBytes) {
    Fail(kExitUsage, "the secret is longer than " + std::to_string(kMaxSecretBytes) + " bytes");
  }
  return TSecret(buffer.data(), length);
}

TSecret ReadLine(const std::string& Prompt) {
  std::optional<TSecret> line = TryReadLine();
  if (!line) Fail(kExitUsage, "no input for \"" + Prompt + "\"");
  return std::move(*line);
}

} // namespace

std::optional<TSecret> ReadInputLine() { return TryReadLine(); }

void Explain(const kl::Exception& Error, const std::string& What) {
  const auto [code, explanation] = Classify(Error);
  Fail(code, What + ": " + explanation);
}

TSecret::TSecret(const std::uint8_t* Data, std::size_t Size) {
  if (!kl::IsValidUTF8(Data, Size)) Fail(kExitUsage, "the secret is not valid UTF-8 text");
  FValue = kl::UTF8ToStr(Data, Size);
}

TSecret::TSecret(TSecret&& Other) : FValue(Other.FValue) { kl::WipeString(Other.FValue); }

TSecret::~TSecret() { kl::WipeString(FValue); }

TSecret ReadSecret(const std::string& Prompt) {
  if (!StdinIsTerminal()) return ReadLine(Prompt);
  std::fprintf(stderr, "%s: ", Prompt.c_str());
  std::fflush(stderr);
  TEchoOff echoOff;
  TSecret secret = ReadLine(Prompt);
  std::fputc('\n', stderr);
  return secret;
}

TSecret ReadNewSecret(const std::string& Prompt, bool AllowEmpty) {
  if (!StdinIsTerminal()) {
    TSecret secret = ReadLine(Prompt);
    if (secret.Empty() && !AllowEmpty) Fail(kExitUsage, Prompt + " must not be empty");
    return secret;
  }
  for (;;) {
    TSecret first = ReadSecret(Prompt);
    if (first.Empty() && !AllowEmpty) {
      std::fprintf(stderr, "It must not be empty; please try again.\n");
      continue;
    }
    const TSecret second = ReadSecret("Repeat it");
    if (first.Get() == second.Get()) return first;
    std::fprintf(stderr, "The two entries differ; please try again.\n");
  }
}

bool Confirm(const std::string& Question) {
  if (!StdinIsTerminal()) return true;
  std::fprintf(stderr, "%s [y/N] ", Question.c_str());
  std::fflush(stderr);
  std::string answer;
  std::uint8_t byte = 0;
  while (ReadInputByte(byte) && byte != '\n') {
    if (answer.size() < 16) answer.push_back(static_cast<char>(byte));
  }
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

void RefuseExisting(const std::string& FileName, bool Force) {
  std::error_code error;
  if (!Force && std::filesystem::exists(FileName, error)) {
    Fail(kExitExists, "'" + FileName + "' already exists (--force replaces it)");
  }
}

kl::String Text(const std::string& Utf8) { return kl::UTF8ToStr(Utf8); }

std::string Utf8(const kl::String& Text) { return kl::StrToUTF8(Text); }

void PrintSecretLine(const kl::String& Secret) {
  std::string text = Utf8(Secret);
  std::printf("%s\n", text.c_str());
  kl::WipeRawBytes(text);
  WipeOutputBuffer();
}

namespace {

std::array<char, BUFSIZ> OutputBuffer{};

} // namespace

void UseWipedOutputBuffer() {
  std::setvbuf(stdout, OutputBuffer.data(), StdoutIsTerminal() ? _IOLBF : _IOFBF, OutputBuffer.size());
  std::atexit(WipeOutputBuffer);
}

void WipeOutputBuffer() {
  std::fflush(stdout);
  kl::SecureZero(OutputBuffer.data(), OutputBuffer.size());
}

} // namespace klpass
