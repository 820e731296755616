#pragma once

#include "foundation/Types.h"
#include "storage/KLStorage.h"

namespace kl::detail {

// True when the UTF-8 form of Text fits a 16-bit length field of the file.
bool FitsStorageField(const String& Text);
inline bool FitsStorageField(const ByteArray& Bytes) noexcept { return Bytes.size() <= KLStorageMaxFieldSize; }

// The value as its class, when its type code names that class; null otherwise
// (a caller may have set another code through SetValueType).
template <class TValue>
const TValue* AsTyped(const TKLValue* Value) noexcept {
  if (Value == nullptr || Value->GetValueType() != TValue::TypeCode) return nullptr;
  return dynamic_cast<const TValue*>(Value);
}
template <class TValue>
TValue* AsTyped(TKLValue* Value) noexcept {
  return const_cast<TValue*>(AsTyped<TValue>(static_cast<const TKLValue*>(Value)));
}

} // namespace kl::detail
