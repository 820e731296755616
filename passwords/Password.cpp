#include <cstring>
#include <limits>
#include <string>

#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "passwords/DataProtection.h"
#include "passwords/KLPasswords.h"

namespace kl {

EKLPasswordError::~EKLPasswordError() = default;

namespace {

// The largest stream LoadFromStream reads: anything longer cannot be a blob of
// ProtectData, and is refused before any memory is taken for it.
constexpr std::int64_t kMaxBlobSize = static_cast<std::int64_t>(MaxProtectedDataSize) + 1024;

[[noreturn]] void RaiseProtectionError(const char* Message, std::int32_t ErrorCode) {
  std::string text(Message);
  const std::size_t at = text.find("%d");
  text.replace(at, 2, std::to_string(ErrorCode));
  throw EKLPasswordError(text);
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
  RawByteString text = StrToUTF8(FValue);
  const SecureBytes data(ByteArray(text.begin(), text.end()));
  WipeRawBytes(text);
  try {
    return ProtectData(data.Get(), FShared);
  } catch (const EDataProtectionError& e) {
    RaiseProtectionError(SDPAPISaveError, e.GetErrorCode());
  }
}

String TKLPassword::Load(const ByteArray& Data) const {
  SecureBytes plain;
  try {
    plain.Get() = UnprotectData(Data);
  } catch (const EDataProtectionError& e) {
    RaiseProtectionError(SDPAPILoadError, e.GetErrorCode());
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
  if (size > kMaxBlobSize) RaiseProtectionError(SDPAPILoadError, dpeDataTooLarge);
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

void TKLPassword::LoadFromFile(const String& FileName) {
  TFileStream file(FileName, fmOpenRead);
  LoadFromStream(file);
}

} // namespace kl
