#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// A Perl-compatible regular expression over UTF-16 code units, compiled once
// from the pattern alone (no options of the library's own). A pattern that does
// not compile raises ERegexError with the compiler's message and offset. A
// match that the engine abandons (its match or depth limit, as with
// catastrophic backtracking, or a time limit of one second on the whole search)
// raises ERegexError: it never passes as "no match". IsMatch may run on several
// threads at once.
class KL_API TRegEx {
public:
  explicit TRegEx(const String& Pattern);
  ~TRegEx();
  TRegEx(const TRegEx&) = delete;
  TRegEx& operator=(const TRegEx&) = delete;

  // True when the expression matches anywhere in Input.
  bool IsMatch(const String& Input) const;
  const String& GetPattern() const noexcept { return FPattern; }

private:
  String FPattern;
  void* FCode = nullptr;  // pcre2_code_16
};

} // namespace kl
