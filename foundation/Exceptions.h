#pragma once

#include <exception>
#include <string>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Root of every exception the library raises. The message is kept as UTF-8;
// what() and GetMessage() give it.
class KL_API Exception : public std::exception {
public:
  explicit Exception(std::string Message);
  explicit Exception(const String& Message);
  ~Exception() override;

  const char* what() const noexcept override;
  const std::string& GetMessage() const noexcept { return FMessage; }

private:
  std::string FMessage;
};

// Runtime error classes, beneath Exception.
#define KL_DECLARE_EXCEPTION(Name, Base)                                                           \
  class KL_API Name : public Base {                                                                \
  public:                                                                                          \
    using Base::Base;                                                                              \
    ~Name() override;                                                                              \
  }

KL_DECLARE_EXCEPTION(EStreamError, Exception);
KL_DECLARE_EXCEPTION(EReadError, EStreamError);
KL_DECLARE_EXCEPTION(EWriteError, EStreamError);
KL_DECLARE_EXCEPTION(EFileError, Exception);
KL_DECLARE_EXCEPTION(EFOpenError, EFileError);
KL_DECLARE_EXCEPTION(EFCreateError, EFileError);
KL_DECLARE_EXCEPTION(EConvertError, Exception);
KL_DECLARE_EXCEPTION(EListError, Exception);
KL_DECLARE_EXCEPTION(ERangeError, Exception);
KL_DECLARE_EXCEPTION(ERegexError, Exception);

// Runtime message texts.
inline constexpr const char* SNotImplemented = "Not implemented";
inline constexpr const char* SListIndexError = "List index out of bounds (%d)";
inline constexpr const char* SRangeError = "Range check error";

} // namespace kl
