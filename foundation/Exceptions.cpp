#include "foundation/Exceptions.h"

#include <utility>

#include "foundation/KLGeneral.h"

namespace kl {

Exception::Exception(std::string Message) : FMessage(std::move(Message)) {}

Exception::Exception(const String& Message) : FMessage(StrToUTF8(Message)) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return FMessage.c_str(); }

// Out-of-line destructors anchor each class's type information in the library,
// so that catching by class works across the shared-library boundary.
EStreamError::~EStreamError() = default;
EReadError::~EReadError() = default;
EWriteError::~EWriteError() = default;
EFileError::~EFileError() = default;
EFOpenError::~EFOpenError() = default;
EFCreateError::~EFCreateError() = default;
EConvertError::~EConvertError() = default;
EListError::~EListError() = default;
ERangeError::~ERangeError() = default;
ERegexError::~ERegexError() = default;
EKLException::~EKLException() = default;

} // namespace kl
