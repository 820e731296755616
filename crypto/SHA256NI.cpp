#include "crypto/CryptoImplementations.h"

namespace kl::detail {

const TSHA256Implementation* SHA256NIImplementation() noexcept { return nullptr; }

}  // namespace kl::detail
