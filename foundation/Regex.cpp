#include "foundation/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <string>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

// Caps on the engine's work per match, so that a pathological pattern fails
// with an error instead of running for minutes on a long password.
constexpr std::uint32_t kMatchLimit = 1000000;
constexpr std::uint32_t kDepthLimit = 100000;

std::string ErrorText(int Code) {
  PCRE2_UCHAR16 buffer[256];
  const int n = pcre2_get_error_message(Code, buffer, sizeof(buffer) / sizeof(buffer[0]));
  if (n < 0) return "regular expression error " + std::to_string(Code);
  return StrToUTF8(String(reinterpret_cast<const Char*>(buffer), static_cast<std::size_t>(n)));
}

pcre2_code* Code(void* P) { return static_cast<pcre2_code*>(P); }

} // namespace

TRegEx::TRegEx(const String& Pattern) : FPattern(Pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(), 0, &error, &offset, nullptr);
  if (FCode == nullptr) {
    throw ERegexError(ErrorText(error) + " at offset " + std::to_string(offset));
  }
}

TRegEx::~TRegEx() { pcre2_code_free(Code(FCode)); }

bool TRegEx::IsMatch(const String& Input) const {
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(Code(FCode), nullptr);
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  if (data == nullptr || context == nullptr) {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    throw ERegexError("Out of memory for regular expression matching");
  }
  pcre2_set_match_limit(context, kMatchLimit);
  pcre2_set_depth_limit(context, kDepthLimit);
  const int rc = pcre2_match(Code(FCode), reinterpret_cast<PCRE2_SPTR>(Input.data()), Input.size(), 0, 0, data, context);
  pcre2_match_data_free(data);
  pcre2_match_context_free(context);
  if (rc >= 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  throw ERegexError("Regular expression matching failed: " + ErrorText(rc));
}

} // namespace kl
