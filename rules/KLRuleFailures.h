#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// Stable codes of rule failures. Applications key their own message texts and
// their logic on them, so a code, once published, never changes meaning.
inline constexpr std::string_view kRuleFailed = "RULE_FAILED";          // a rule that reports no details of its own
inline constexpr std::string_view kRuleNotChecked = "RULE_NOT_CHECKED"; // the rule gave up: refused, not answered
inline constexpr std::string_view kTooShort = "TOO_SHORT";
inline constexpr std::string_view kTooLong = "TOO_LONG";
inline constexpr std::string_view kEmptyLengthRange = "EMPTY_LENGTH_RANGE";
inline constexpr std::string_view kInsufficientUppercase = "INSUFFICIENT_UPPERCASE";
inline constexpr std::string_view kInsufficientLowercase = "INSUFFICIENT_LOWERCASE";
inline constexpr std::string_view kInsufficientDigit = "INSUFFICIENT_DIGIT";
inline constexpr std::string_view kInsufficientCharacteristics = "INSUFFICIENT_CHARACTERISTICS";
inline constexpr std::string_view kIllegalCharacter = "ILLEGAL_CHARACTER";
inline constexpr std::string_view kIllegalWhitespace = "ILLEGAL_WHITESPACE";
inline constexpr std::string_view kIllegalUsername = "ILLEGAL_USERNAME";
inline constexpr std::string_view kIllegalWord = "ILLEGAL_WORD";
inline constexpr std::string_view kIllegalQwertySequence = "ILLEGAL_QWERTY_SEQUENCE";
inline constexpr std::string_view kIllegalAlphabeticalSequence = "ILLEGAL_ALPHABETICAL_SEQUENCE";
inline constexpr std::string_view kIllegalRepeatedDigits = "ILLEGAL_REPEATED_DIGITS";
inline constexpr std::string_view kIllegalRepeatedCharacters = "ILLEGAL_REPEATED_CHARACTERS";
inline constexpr std::string_view kIllegalMatch = "ILLEGAL_MATCH";
inline constexpr std::string_view kHistoryViolation = "HISTORY_VIOLATION";
inline constexpr std::string_view kBlocklisted = "BLOCKLISTED";
inline constexpr std::string_view kBreached = "BREACHED";
inline constexpr std::string_view kTooWeak = "TOO_WEAK";
// Built on the user's own attributes (TKLUserAttributeRule); parameter
// "attribute", the attribute's name as the caller gave it.
inline constexpr std::string_view kTooSimilar = "TOO_SIMILAR";

// What a parameter value is: a number, text about the rule (a bound, a user
// name, a pattern), or a piece of the password itself, which a caller that
// logs or exports failures leaves out.
enum class TKLParameterKind : std::uint8_t { pkNumber, pkText, pkPasswordText };

struct TKLRuleParameter {
  std::string Name;
  String Value;
  TKLParameterKind Kind = TKLParameterKind::pkText;
};

// Why one rule refused a password: a stable code and named parameters (bounds,
// the word or sequence found). The English message is built from them; an
// application supplies its own texts through TKLRuleMessages. A plain value.
class KL_API TKLRuleFailure {
public:
  explicit TKLRuleFailure(std::string_view Code);

  TKLRuleFailure& AddNumber(std::string_view Name, std::int64_t Value);
  TKLRuleFailure& AddText(std::string_view Name, const String& Value);
  TKLRuleFailure& AddPasswordText(std::string_view Name, const String& Value);

  const std::string& GetCode() const noexcept { return FCode; }
  const std::vector<TKLRuleParameter>& GetParameters() const noexcept { return FParameters; }
  // The parameter of that name, or nullptr.
  const TKLRuleParameter* FindParameter(std::string_view Name) const noexcept;
  // The message in English, with every parameter filled in.
  String GetMessage() const;

private:
  std::string FCode;
  std::vector<TKLRuleParameter> FParameters;
};

using TKLRuleFailures = std::vector<TKLRuleFailure>;

// Message templates by failure code. A template names parameters in braces,
// "at least {minimum} characters"; "{{" stands for a brace. A name the failure
// lacks is left as written. Starts with the library's English texts; a code
// without a template gets the generic one. Plain value; share it read-only.
class KL_API TKLRuleMessages {
public:
  TKLRuleMessages();

  // The library's English texts, built once.
  static const TKLRuleMessages& GetEnglish();
  // The texts for a language of the strength estimator's packs ("de", "fr"...):
  // the library's own translation of every code, and BREACHED as the pack's
  // warning about a password exposed by a breach; a code of the application's
  // own gets the generic text in that language. English for "en" and for a
  // language without a pack. Built once for all languages.
  static const TKLRuleMessages& ForLanguage(std::string_view Language);

  void SetTemplate(std::string_view Code, const String& Template);
  const String& GetTemplate(std::string_view Code) const;

  // The failure's message. With RedactPassword, parameters that are pieces of
  // the password show as "***", for messages that leave the user's screen.
  String Format(const TKLRuleFailure& Failure, bool RedactPassword = false) const;

private:
  std::unordered_map<std::string, String> FTemplates;
};

} // namespace kl
