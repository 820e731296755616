#include "crypto/CryptoImplementations.h"

namespace kl::detail {

const TAESImplementation* AESNIImplementation() noexcept { return nullptr; }

}  // namespace kl::detail
