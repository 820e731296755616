#include "foundation/Convert.h"

#include <limits>
#include <string>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

template <class T> bool ParseDecimal(const String& S, T& Value) noexcept {
  std::size_t i = 0;
  bool negative = false;
  if (i < S.size() && (S[i] == u'-' || S[i] == u'+')) {
    negative = S[i] == u'-';
    ++i;
  }
  if (i == S.size()) return false;
  // Accumulate towards the negative side, which has room for the most
  // negative value.
  T result = 0;
  constexpr T kMin = std::numeric_limits<T>::min();
  for (; i < S.size(); ++i) {
    const Char c = S[i];
    if (c < u'0' || c > u'9') return false;
    const T digit = static_cast<T>(c - u'0');
    if (result < (kMin + digit) / 10) return false;
    result = static_cast<T>(result * 10 - digit);
  }
  if (!negative) {
    if (result == kMin) return false;
    result = static_cast<T>(-result);
  }
  Value = result;
  return true;
}

[[noreturn]] void RaiseNotInteger(const String& S) {
  throw EConvertError("'" + StrToUTF8(S) + "' is not a valid integer value");
}

} // namespace

bool TryStrToInt(const String& S, std::int32_t& Value) noexcept { return ParseDecimal(S, Value); }

bool TryStrToInt64(const String& S, std::int64_t& Value) noexcept { return ParseDecimal(S, Value); }

std::int32_t StrToInt(const String& S) {
  std::int32_t value = 0;
  if (!ParseDecimal(S, value)) RaiseNotInteger(S);
  return value;
}

std::int64_t StrToInt64(const String& S) {
  std::int64_t value = 0;
  if (!ParseDecimal(S, value)) RaiseNotInteger(S);
  return value;
}

String IntToStr(std::int64_t Value) { return AsciiToStr(std::to_string(Value).c_str()); }

String AsciiToStr(const char* S) {
  String out;
  for (; *S != '\0'; ++S) out.push_back(static_cast<Char>(static_cast<unsigned char>(*S)));
  return out;
}

} // namespace kl
