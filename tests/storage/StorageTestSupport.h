#pragma once

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"

namespace kl::test {

// The cheapest derivation the bounds allow, so that the suites stay fast.
inline constexpr TKLKdfParameters kFastKdf{KLStorageMinKdfMemoryKiB, 1};

// The bytes a storage saves under Password.
inline ByteArray Save(const TKLStorage& Storage, const String& Password) {
  TMemoryStream stream;
  Storage.SaveToStream(stream, Password);
  return stream.ToBytes();
}

} // namespace kl::test
