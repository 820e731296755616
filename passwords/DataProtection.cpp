#include "passwords/DataProtection.h"

namespace kl {

EDataProtectionError::EDataProtectionError(std::int32_t ErrorCode, const std::string& Message)
    : Exception(Message), FErrorCode(ErrorCode) {}

EDataProtectionError::~EDataProtectionError() = default;

} // namespace kl
