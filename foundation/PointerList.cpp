#include "foundation/PointerList.h"

#include <string>

namespace kl {

void RaiseListIndexError(std::int64_t Index) {
  throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

} // namespace kl
