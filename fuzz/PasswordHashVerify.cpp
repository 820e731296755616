// Arbitrary bytes as a stored password hash string: describe it, ask whether
// it needs a rehash, and verify a password against it. Only the library's
// exceptions may come out, and no string may make it take more than the bounds.
#include <cstddef>
#include <cstdint>

#include "crypto/KLPasswordHash.h"
#include "foundation/KLGeneral.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const kl::String hash = kl::UTF8ToStr(Data, Size);
  kl::TKLPasswordHashParameters bounds;
  bounds.MemoryKiB = 8;
  bounds.Passes = 1;
  bounds.MaxMemoryKiB = 64;
  bounds.MaxPasses = 2;
  kl::NeedsRehash(hash, bounds);
  try {
    kl::DescribePasswordHash(hash);
    kl::VerifyPassword(hash, u"password", bounds);
  } catch (const kl::Exception&) {
  }
  return 0;
}
