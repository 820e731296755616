#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "passwords/DataProtection.h"
#include "passwords/KLPasswords.h"

namespace kl {

EKLProtectionError::EKLProtectionError(const std::string& Message, std::int32_t ErrorCode, std::string Description,
                                       bool KeyStoreFault)
    : EKLPasswordError(Message),
      FErrorCode(ErrorCode),
      FDescription(std::move(Description)),
      FKeyStoreFault(KeyStoreFault) {}

EKLProtectionError::~EKLProtectionError() = default;

namespace {

[[noreturn]] void RaiseProtectionError(const char* Message, std::int32_t ErrorCode, const std::string& Description) {
  std::string text(Message);
  const std::size_t at = text.find("%d");
  text.replace(at, 2, std::to_string(ErrorCode));
#if !defined(_WIN32)
  // The number alone says nothing on a system whose errors it does not name.
  text += ": " + Description;
#endif
  throw EKLProtectionError(text, ErrorCode, Description, IsKeyStoreFailure(ErrorCode));
}

[[noreturn]] void RaiseProtectionError(const char* Message, const EDataProtectionError& Error) {
  RaiseProtectionError(Message, Error.GetErrorCode(), Error.GetMessage());
}

} // namespace

TKLPassword::TKLPassword(const String& Password) : FValue(Password) {}

TKLPassword::~TKLPassword() { Clear(); }

// The old text is wiped first, so that a reallocation by the assignment
// releases only zeros.
void TKLPassword::SetValue(const String& Value) {
  if (&Value == &FValue) return;
  WipeString(FValue);
  FValue = Value;
}

void TKLPassword::Clear() noexcept { WipeString(FValue); }

bool TKLPassword::Validate(const TKLPasswordRule* Rule) const { return Rule != nullptr && Rule->Validate(FValue); }

bool TKLPassword::Validate(const TKLPasswordRulesList* Rules) const {
  if (Rules == nullptr) return false;
  for (std::int32_t i = 0; i < Rules->GetCount(); ++i) {
    if (!Rules->GetRule(i)->Validate(FValue)) return false;
  }
  return true;
}

ByteArray TKLPassword::Save() const {
  RawByteString text = StrToUTF8Strict(FValue);
  const SecureBytes data(ByteArray(text.begin(), text.end()));
  WipeRawBytes(text);
  try {
    return ProtectData(data.Get(), FShared);
  } catch (const EDataProtectionError& e) {
    RaiseProtectionError(SDPAPISaveError, e);
  }
}

String TKLPassword::Load(const ByteArray& Data) const {
  SecureBytes plain;
  try {
    plain.Get() = UnprotectData(Data);
  } catch (const EDataProtectionError& e) {
    RaiseProtectionError(SDPAPILoadError, e);
  }
  return UTF8ToStr(plain.data(), plain.size());
}

void TKLPassword::SaveToStream(TStream& S) const {
  const ByteArray blob = Save();
  S.WriteBuffer(blob.data(), static_cast<std::int32_t>(blob.size()));
}

void TKLPassword::LoadFromStream(TStream& S) {
  const std::int64_t size = S.GetSize();
  if (size < 0) throw EReadError(SReadError);
  // Anything longer cannot be a blob of ProtectData, and is refused before any
  // memory is taken for it, with the number UnprotectData gives such a blob.
  if (static_cast<std::uint64_t>(size) > MaxProtectedBlobSize) {
    RaiseProtectionError(SDPAPILoadError, DataTooLargeError, "The protected data is larger than any the library makes");
  }
  ByteArray blob(static_cast<std::size_t>(size));
  S.ReadBuffer(blob.data(), static_cast<std::int32_t>(size));
  String text = Load(blob);
  WipeString(FValue);
  FValue.swap(text);
}

// The blob is made before the file is touched, so a protection failure leaves
// any existing file as it was.
void TKLPassword::SaveToFile(const String& FileName) const {
  const ByteArray blob = Save();
  SaveFileAtomically(FileName,
                     [&blob](TStream& S) { S.WriteBuffer(blob.data(), static_cast<std::int32_t>(blob.size())); });
}

bool TKLPassword::CreateMachineKey() {
  try {
    return kl::CreateMachineKey();
  } catch (const EDataProtectionError& e) {
    RaiseProtectionError(SDPAPISaveError, e);
  }
}

void TKLPassword::LoadFromFile(const String& FileName) {
  TFileStream file(FileName, fmOpenRead);
  LoadFromStream(file);
}

} // namespace kl
