#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"

namespace kl {

EKLStorageException::~EKLStorageException() = default;
EKLStorageLegacyFormat::~EKLStorageLegacyFormat() = default;

TKLValue::~TKLValue() = default;

// A value held by a storage moves in the storage's key index with its key.
void TKLValue::SetKey(const String& Value) {
  if (FStorage != nullptr) {
    FStorage->KeyChanging(*this, Value);
  } else {
    FKey = Value;
  }
}

TKLBoolValue::~TKLBoolValue() = default;
TKLIntValue::~TKLIntValue() = default;
TKLLongValue::~TKLLongValue() = default;

TKLStringValue::~TKLStringValue() { WipeString(FValue); }

void TKLStringValue::SetValue(const String& Value) {
  if (&Value == &FValue) return;
  String copy = Value;
  WipeString(FValue);
  FValue = std::move(copy);
}

TKLBlobValue::~TKLBlobValue() { WipeBytes(FValue); }

void TKLBlobValue::SetValue(const ByteArray& Value) {
  if (&Value == &FValue) return;
  ByteArray copy = Value;
  WipeBytes(FValue);
  FValue = std::move(copy);
}

std::unique_ptr<TKLValue> TKLStorage::ValueByType(std::int32_t ValueType) {
  switch (ValueType) {
    case vtBool:
      return std::make_unique<TKLBoolValue>();
    case vtInt:
      return std::make_unique<TKLIntValue>();
    case vtLong:
      return std::make_unique<TKLLongValue>();
    case vtString:
      return std::make_unique<TKLStringValue>();
    case vtBlob:
      return std::make_unique<TKLBlobValue>();
    default:
      return nullptr;
  }
}

} // namespace kl
