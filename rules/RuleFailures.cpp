#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "rules/KLRuleFailures.h"
#include "rules/KLStrength.h"
#include "rules/StrengthFeedback.h"

namespace kl {

namespace {

struct TTemplateEntry {
  std::string_view Code;
  const char16_t* Text;
};

constexpr const char16_t* kGenericTemplate = u"The password does not meet a rule of the policy.";

constexpr TTemplateEntry kEnglishTemplates[] = {
    {kRuleFailed, kGenericTemplate},
    {kRuleNotChecked, u"The password could not be checked: {reason}"},
    {kTooShort, u"The password must be at least {minimum} characters long; it has {length}."},
    {kTooLong, u"The password must be at most {maximum} characters long; it has {length}."},
    {kEmptyLengthRange, u"No password can meet the length range {minimum} to {maximum}."},
    {kInsufficientUppercase, u"The password must hold an upper-case letter (A-Z)."},
    {kInsufficientLowercase, u"The password must hold a lower-case letter (a-z)."},
    {kInsufficientDigit, u"The password must hold a digit (0-9)."},
    {kInsufficientCharacteristics,
     u"The password must hold characters of at least {required} of these {count} kinds: {classes}; it has "
     u"{satisfied}."},
    {kIllegalCharacter, u"The password holds a character that is not allowed: \"{character}\"."},
    {kIllegalWhitespace, u"The password must not hold a space."},
    {kIllegalUsername, u"The password must not hold the user name \"{username}\"."},
    {kIllegalWord, u"The password is the forbidden word \"{word}\"."},
    {kIllegalQwertySequence,
     u"The password holds the keyboard sequence \"{sequence}\"; {minimum} or more neighbouring keys are not "
     u"allowed."},
    {kIllegalAlphabeticalSequence,
     u"The password holds the alphabetical sequence \"{sequence}\"; {minimum} or more letters in a row are not "
     u"allowed."},
    {kIllegalRepeatedDigits,
     u"The password repeats a digit: \"{sequence}\"; {minimum} or more of one digit in a row are not allowed."},
    {kIllegalRepeatedCharacters,
     u"The password repeats a character: \"{sequence}\"; a run of {minimum} is not allowed."},
    {kIllegalMatch, u"The password holds something that the pattern {pattern} forbids."},
    {kHistoryViolation, u"The password is one of the last {count} passwords used."},
    {kBlocklisted, u"The password is too common: it is on the list of {list}."},
    {kBreached, u"The password has appeared in a data breach (list {list})."},
    {kTooWeak, u"The password is too easy to guess: strength {score} of 4, at least {minimum} needed."},
};

constexpr const char16_t* kRedacted = u"***";

String Ascii(std::string_view Text) { return String(Text.begin(), Text.end()); }

} // namespace

TKLRuleFailure::TKLRuleFailure(std::string_view Code) : FCode(Code) {}

TKLRuleFailure& TKLRuleFailure::AddNumber(std::string_view Name, std::int64_t Value) {
  FParameters.push_back({std::string(Name), Ascii(std::to_string(Value)), TKLParameterKind::pkNumber});
  return *this;
}

TKLRuleFailure& TKLRuleFailure::AddText(std::string_view Name, const String& Value) {
  FParameters.push_back({std::string(Name), Value, TKLParameterKind::pkText});
  return *this;
}

TKLRuleFailure& TKLRuleFailure::AddPasswordText(std::string_view Name, const String& Value) {
  FParameters.push_back({std::string(Name), Value, TKLParameterKind::pkPasswordText});
  return *this;
}

const TKLRuleParameter* TKLRuleFailure::FindParameter(std::string_view Name) const noexcept {
  const auto found = std::find_if(FParameters.begin(), FParameters.end(),
                                  [Name](const TKLRuleParameter& p) { return p.Name == Name; });
  return found == FParameters.end() ? nullptr : &*found;
}

String TKLRuleFailure::GetMessage() const { return TKLRuleMessages::GetEnglish().Format(*this); }

TKLRuleMessages::TKLRuleMessages() {
  for (const TTemplateEntry& entry : kEnglishTemplates) FTemplates.emplace(std::string(entry.Code), entry.Text);
}

const TKLRuleMessages& TKLRuleMessages::GetEnglish() {
  static const TKLRuleMessages english;
  return english;
}

const TKLRuleMessages& TKLRuleMessages::ForLanguage(std::string_view Language) {
  static const std::map<std::string, TKLRuleMessages, std::less<>> languages = [] {
    std::map<std::string, TKLRuleMessages, std::less<>> all;
    for (const std::string& language : StrengthLanguages()) {
      if (language == "en") continue;
      TKLRuleMessages& messages = all[language];
      messages.SetTemplate(kBreached, detail::StrengthText(language, detail::TStrengthTextKind::tkWarning, "pwned"));
    }
    return all;
  }();
  const auto found = languages.find(Language);
  return found == languages.end() ? GetEnglish() : found->second;
}

void TKLRuleMessages::SetTemplate(std::string_view Code, const String& Template) {
  FTemplates.insert_or_assign(std::string(Code), Template);
}

const String& TKLRuleMessages::GetTemplate(std::string_view Code) const {
  const auto found = FTemplates.find(std::string(Code));
  if (found != FTemplates.end()) return found->second;
  return FTemplates.at(std::string(kRuleFailed));
}

// One pass over the template: a brace pair whose name the failure holds is
// replaced, anything else is copied, so parameter values are never rescanned.
String TKLRuleMessages::Format(const TKLRuleFailure& Failure, bool RedactPassword) const {
  const String& text = GetTemplate(Failure.GetCode());
  String message;
  message.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Char c = text[i];
    if (c == u'{' && i + 1 < text.size() && text[i + 1] == u'{') {
      message.push_back(u'{');
      i += 2;
      continue;
    }
    const std::size_t close = c == u'{' ? text.find(u'}', i + 1) : String::npos;
    if (close == String::npos) {
      message.push_back(c);
      ++i;
      continue;
    }
    const String name16 = text.substr(i + 1, close - i - 1);
    const bool asciiName = std::all_of(name16.begin(), name16.end(), [](Char n) { return n < 0x80; });
    const TKLRuleParameter* parameter =
        asciiName ? Failure.FindParameter(std::string(name16.begin(), name16.end())) : nullptr;
    if (parameter == nullptr) {
      message.append(text, i, close - i + 1);
    } else if (RedactPassword && parameter->Kind == TKLParameterKind::pkPasswordText) {
      message += kRedacted;
    } else {
      message += parameter->Value;
    }
    i = close + 1;
  }
  return message;
}

} // namespace kl
