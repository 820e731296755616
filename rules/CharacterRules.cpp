#include <algorithm>

#include "rules/KLRules.h"

namespace kl {

namespace {

constexpr bool InRange(Char C, Char First, Char Last) noexcept { return C >= First && C <= Last; }

bool HasCharIn(const String& Password, Char First, Char Last) noexcept {
  return std::any_of(Password.begin(), Password.end(), [=](Char c) { return InRange(c, First, Last); });
}

constexpr Char kAsciiEnd = 128;

void AddUnless(bool Passed, std::string_view Code, TKLRuleFailures& Failures) {
  if (!Passed) Failures.emplace_back(Code);
}

} // namespace

bool TKLUppercaseCharacterRule::Validate(const String& Password) const { return HasCharIn(Password, u'A', u'Z'); }

bool TKLLowercaseCharacterRule::Validate(const String& Password) const { return HasCharIn(Password, u'a', u'z'); }

bool TKLDigitsRule::Validate(const String& Password) const { return HasCharIn(Password, u'0', u'9'); }

void TKLUppercaseCharacterRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  AddUnless(Validate(Password), kInsufficientUppercase, Failures);
}

void TKLLowercaseCharacterRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  AddUnless(Validate(Password), kInsufficientLowercase, Failures);
}

void TKLDigitsRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  AddUnless(Validate(Password), kInsufficientDigit, Failures);
}

void TKLAllowedCharacterRule::SetAllowedChars(const String& Value) {
  std::array<std::uint64_t, 2> mask{};
  std::vector<Char> others;
  for (Char c : Value) {
    if (c < kAsciiEnd) {
      mask[c / 64] |= std::uint64_t{1} << (c % 64);
    } else {
      others.push_back(c);
    }
  }
  std::sort(others.begin(), others.end());
  others.erase(std::unique(others.begin(), others.end()), others.end());
  FAllowedChars = Value; // the only step that may throw after this point is done
  FAsciiMask = mask;
  FOtherChars = std::move(others);
}

bool TKLAllowedCharacterRule::IsAllowed(Char C) const noexcept {
  if (C < kAsciiEnd) return (FAsciiMask[C / 64] >> (C % 64)) & 1;
  return std::binary_search(FOtherChars.begin(), FOtherChars.end(), C);
}

bool TKLAllowedCharacterRule::Validate(const String& Password) const {
  return std::all_of(Password.begin(), Password.end(), [this](Char c) { return IsAllowed(c); });
}

// Names the first character outside the set.
void TKLAllowedCharacterRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  const auto bad = std::find_if(Password.begin(), Password.end(), [this](Char c) { return !IsAllowed(c); });
  if (bad != Password.end()) Failures.emplace_back(kIllegalCharacter).AddPasswordText("character", String(1, *bad));
}

TKLLengthRule::TKLLengthRule(std::int32_t Len) : FLen(Len), FRangeFrom(-1), FRangeTo(-1) {}

TKLLengthRule::TKLLengthRule(std::int32_t RangeFrom, std::int32_t RangeTo)
    : FLen(-1), FRangeFrom(RangeFrom), FRangeTo(RangeTo) {}

bool TKLLengthRule::Validate(const String& Password) const {
  const std::size_t length = Password.size();
  if (FLen >= 0) return length >= static_cast<std::size_t>(FLen);
  if (FRangeFrom < 0 || FRangeTo < 0 || FRangeFrom > FRangeTo) return false;
  return length >= static_cast<std::size_t>(FRangeFrom) && length <= static_cast<std::size_t>(FRangeTo);
}

void TKLLengthRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (Validate(Password)) return;
  const auto length = static_cast<std::int64_t>(Password.size());
  if (FLen >= 0) {
    Failures.emplace_back(kTooShort).AddNumber("minimum", FLen).AddNumber("length", length);
  } else if (FRangeFrom < 0 || FRangeTo < 0 || FRangeFrom > FRangeTo) {
    Failures.emplace_back(kEmptyLengthRange).AddNumber("minimum", FRangeFrom).AddNumber("maximum", FRangeTo);
  } else {
    Failures.emplace_back(length < FRangeFrom ? kTooShort : kTooLong)
        .AddNumber("minimum", FRangeFrom)
        .AddNumber("maximum", FRangeTo)
        .AddNumber("length", length);
  }
}

bool TKLWhitespaceRule::Validate(const String& Password) const { return Password.find(u' ') == String::npos; }

void TKLWhitespaceRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  AddUnless(Validate(Password), kIllegalWhitespace, Failures);
}

// FBorders[i] is the length of the longest proper prefix of the name's first
// i + 1 characters that is also their suffix (Knuth-Morris-Pratt).
TKLUsernameRule::TKLUsernameRule(const String& Username) : FUsername(Username), FBorders(Username.size(), 0) {
  std::size_t border = 0;
  for (std::size_t i = 1; i < FUsername.size(); ++i) {
    while (border > 0 && FUsername[i] != FUsername[border]) border = FBorders[border - 1];
    if (FUsername[i] == FUsername[border]) ++border;
    FBorders[i] = border;
  }
}

bool TKLUsernameRule::Validate(const String& Password) const {
  if (FUsername.empty() || Password.size() < FUsername.size()) return true;
  std::size_t matched = 0;
  for (Char c : Password) {
    while (matched > 0 && c != FUsername[matched]) matched = FBorders[matched - 1];
    if (c == FUsername[matched]) ++matched;
    if (matched == FUsername.size()) return false;
  }
  return true;
}

void TKLUsernameRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (!Validate(Password)) Failures.emplace_back(kIllegalUsername).AddText("username", FUsername);
}

namespace {

constexpr std::int32_t kCharacterClassCount = 4;

// How many of the four kinds the password holds.
std::int32_t CountClasses(const String& Password) noexcept {
  bool upper = false, lower = false, digit = false, other = false;
  for (Char c : Password) {
    if (InRange(c, u'A', u'Z')) {
      upper = true;
    } else if (InRange(c, u'a', u'z')) {
      lower = true;
    } else if (InRange(c, u'0', u'9')) {
      digit = true;
    } else {
      other = true;
    }
  }
  return std::int32_t{upper} + std::int32_t{lower} + std::int32_t{digit} + std::int32_t{other};
}

} // namespace

bool TKLCharacterClassesRule::Validate(const String& Password) const {
  return FRequired <= 0 || (FRequired <= kCharacterClassCount && CountClasses(Password) >= FRequired);
}

void TKLCharacterClassesRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (Validate(Password)) return;
  Failures.emplace_back(kInsufficientCharacteristics)
      .AddNumber("required", FRequired)
      .AddNumber("count", kCharacterClassCount)
      .AddText("classes", u"upper-case letters, lower-case letters, digits, other characters")
      .AddNumber("satisfied", CountClasses(Password));
}

} // namespace kl
