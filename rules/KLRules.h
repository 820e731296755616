#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/PointerList.h"
#include "foundation/Regex.h"
#include "foundation/StringList.h"
#include "foundation/Types.h"
#include "rules/KLRuleFailures.h"

namespace kl {

inline constexpr const char* SRuleIsEmpty = "Cannot add an empty rule reference to a rule list";
inline constexpr const char* SRuleAlreadyInList = "The rule is already in this rule list";

// The rows of a US keyboard, each from left to right, unshifted row before
// shifted row. No character stands in two rows or twice in one row.
inline constexpr std::array<std::u16string_view, 8> kKeyboardRows = {
    u"`1234567890-=", u"~!@#$%^&*()_+", u"qwertyuiop[]\\", u"QWERTYUIOP{}|",
    u"asdfghjkl;'",   u"ASDFGHJKL:\"",  u"zxcvbnm,./",     u"ZXCVBNM<>?",
};

// The digits whose repeated runs the numerical-sequence rule looks for.
inline constexpr std::u16string_view kSequenceDigits = u"1234567890";

// One question about a candidate password: Validate answers true when the
// password satisfies the rule, CollectFailures says why it does not. A character
// is one UTF-16 code unit, compared by value. Rules are plain objects owned by
// their creator or by the rule list they were added to; they are neither
// copyable nor movable. Both checks only read, so one rule may serve several
// threads while nobody changes it.
class KL_API TKLPasswordRule {
public:
  TKLPasswordRule() = default;
  virtual ~TKLPasswordRule();
  TKLPasswordRule(const TKLPasswordRule&) = delete;
  TKLPasswordRule& operator=(const TKLPasswordRule&) = delete;

  virtual bool Validate(const String& Password) const = 0;
  // Appends why the password fails this rule, nothing when it passes; it
  // agrees with Validate. This base appends one kRuleFailed when Validate
  // answers false: a rule overrides it to report its own code and parameters.
  virtual void CollectFailures(const String& Password, TKLRuleFailures& Failures) const;
};

// An ordered list of rules that OWNS them: its destructor destroys every rule
// still in it, from index 0 upward; Delete hands a rule back to the caller
// undestroyed. Add refuses (EKLException, nothing changed) an empty reference or
// a rule this list already holds. A rule must stand in at most one list, which
// the list cannot see. Bad indexes raise EListError. The list validates nothing
// itself: a password is checked by asking its rules in index order, or through
// GetFailures, which gathers every rule's failures.
class KL_API TKLPasswordRulesList {
public:
  TKLPasswordRulesList();
  ~TKLPasswordRulesList();
  TKLPasswordRulesList(const TKLPasswordRulesList&) = delete;
  TKLPasswordRulesList& operator=(const TKLPasswordRulesList&) = delete;

  // Appends the rule, takes ownership and returns its index.
  std::int32_t Add(TKLPasswordRule* Rule);
  // As above; on refusal the caller's pointer still owns the rule.
  std::int32_t Add(std::unique_ptr<TKLPasswordRule>&& Rule);
  // Appends every rule in order, or none when any of them is refused (an empty
  // reference, a rule already held, or one given twice).
  void Add(std::span<TKLPasswordRule* const> Rules);
  void Add(std::initializer_list<TKLPasswordRule*> Rules);

  // Removes the entry without destroying the rule; its holder must destroy it.
  void Delete(std::int32_t Index);
  TKLPasswordRule* GetRule(std::int32_t Index) const;
  std::int32_t GetCount() const noexcept { return FList.GetCount(); }

  // The failures of every rule, in index order; empty when the password passes
  // them all.
  TKLRuleFailures GetFailures(const String& Password) const;

private:
  void CheckAddable(const TKLPasswordRule* Rule) const;

  TPointerList<TKLPasswordRule> FList;
  std::unordered_set<const TKLPasswordRule*> FMembers; // the rules in FList, for a constant-time refusal check
};

// True when the password holds an ASCII upper-case letter 'A' to 'Z'.
class KL_API TKLUppercaseCharacterRule : public TKLPasswordRule {
public:
  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;
};

// True when the password holds an ASCII lower-case letter 'a' to 'z'.
class KL_API TKLLowercaseCharacterRule : public TKLPasswordRule {
public:
  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;
};

// True when the password holds an ASCII digit '0' to '9'.
class KL_API TKLDigitsRule : public TKLPasswordRule {
public:
  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;
};

// True when every character of the password occurs in AllowedChars (empty at
// first). Setting AllowedChars also rebuilds a lookup table, so a check costs
// one table probe a character whatever the size of the set.
class KL_API TKLAllowedCharacterRule : public TKLPasswordRule {
public:
  TKLAllowedCharacterRule() = default;

  const String& GetAllowedChars() const noexcept { return FAllowedChars; }
  void SetAllowedChars(const String& Value);

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  bool IsAllowed(Char C) const noexcept;

  String FAllowedChars;
  std::array<std::uint64_t, 2> FAsciiMask{}; // bit c set when ASCII c is allowed
  std::vector<Char> FOtherChars;             // the allowed characters beyond ASCII, sorted, unique
};

// A length requirement. With Len >= 0: at least Len characters. Otherwise (one
// negative Len, or the two-bound form) a range: RangeFrom <= length <= RangeTo,
// and a range with a negative or reversed bound accepts nothing.
class KL_API TKLLengthRule : public TKLPasswordRule {
public:
  explicit TKLLengthRule(std::int32_t Len);
  TKLLengthRule(std::int32_t RangeFrom, std::int32_t RangeTo);

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FLen;
  std::int32_t FRangeFrom;
  std::int32_t FRangeTo;
};

// True when the password holds no space U+0020 (other white space is allowed).
class KL_API TKLWhitespaceRule : public TKLPasswordRule {
public:
  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;
};

// True when the password does not hold the user name as a contiguous run,
// compared case-sensitively. Keeps its own copy of the name; an empty name
// accepts every password. The search is linear in the password's length.
class KL_API TKLUsernameRule : public TKLPasswordRule {
public:
  explicit TKLUsernameRule(const String& Username);

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  String FUsername;
  std::vector<std::size_t> FBorders; // prefix-function table of FUsername
};

// True when the password equals none of the forbidden words exactly. The words
// keep their order and duplicates and are reachable only through AddWord and
// RemoveWord; a hash index beside the list makes a check one look-up. Bad
// indexes raise EListError. Must not change while another thread validates.
class KL_API TKLDictionaryRule : public TKLPasswordRule {
public:
  TKLDictionaryRule() = default;

  std::int32_t AddWord(const String& Word);
  void RemoveWord(std::int32_t Index);

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  TStringList FList;
  std::unordered_map<String, std::int32_t> FWordCounts; // each word of FList with its number of entries
};

// False when the password holds SequenceLen or more neighbouring keys of one
// keyboard row, typed left to right, with the row's case. SequenceLen of 0 or
// less accepts every password; one longer than any row (13) accepts too.
class KL_API TKLQwertySequenceRule : public TKLPasswordRule {
public:
  explicit TKLQwertySequenceRule(std::int32_t SequenceLen) : FSeqLen(SequenceLen) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FSeqLen;
};

// False when the password holds one ASCII digit repeated SequenceLen or more
// times in a row ('7777' for 4); ascending runs such as '1234' pass. SequenceLen
// of 0 or less accepts every password.
class KL_API TKLNumericalSequenceRule : public TKLPasswordRule {
public:
  explicit TKLNumericalSequenceRule(std::int32_t SequenceLen) : FSeqLen(SequenceLen) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FSeqLen;
};

// False when, scanning from the second character, a run of one repeated
// character reaches exactly SequenceLen. So 2 forbids any doubled character,
// 1 accepts only passwords of one repeated character (or of at most one
// character), and 0 or less accepts every password.
class KL_API TKLRepeatCharacterRule : public TKLPasswordRule {
public:
  explicit TKLRepeatCharacterRule(std::int32_t SequenceLen) : FSeqLen(SequenceLen) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FSeqLen;
};

// True when the password holds characters of at least Required of four kinds:
// ASCII upper-case letters, ASCII lower-case letters, ASCII digits, and every
// other character. Required of 0 or less accepts every password; more than 4
// accepts none.
class KL_API TKLCharacterClassesRule : public TKLPasswordRule {
public:
  explicit TKLCharacterClassesRule(std::int32_t Required) : FRequired(Required) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FRequired;
};

// Which way a sequence rule reads: as typed ('abc', 'qwe'), reversed ('cba',
// 'ewq'), or both.
enum class TKLSequenceDirection : std::uint8_t { sdForward, sdBackward, sdBoth };

// False when the password holds SequenceLen or more letters that follow each
// other in the alphabet, upper and lower case alike ('aBcD'); the alphabet does
// not wrap ('yza' is no sequence). SequenceLen of 0 or less accepts every password.
class KL_API TKLAlphabeticalSequenceRule : public TKLPasswordRule {
public:
  explicit TKLAlphabeticalSequenceRule(std::int32_t SequenceLen,
                                       TKLSequenceDirection Direction = TKLSequenceDirection::sdBoth)
      : FSeqLen(SequenceLen), FDirection(Direction) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  String FindSequence(const String& Password) const;

  std::int32_t FSeqLen;
  TKLSequenceDirection FDirection;
};

// The keyboard-row rule read in either direction: false when the password holds
// SequenceLen or more neighbouring keys of one row (kKeyboardRows) typed left to
// right, right to left ('fdsa'), or both. With sdForward it answers as
// TKLQwertySequenceRule. SequenceLen of 0 or less accepts every password.
class KL_API TKLKeyboardSequenceRule : public TKLPasswordRule {
public:
  explicit TKLKeyboardSequenceRule(std::int32_t SequenceLen,
                                   TKLSequenceDirection Direction = TKLSequenceDirection::sdBoth)
      : FSeqLen(SequenceLen), FDirection(Direction) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  String FindSequence(const String& Password) const;

  std::int32_t FSeqLen;
  TKLSequenceDirection FDirection;
};

// False when the expression, compiled once from Pattern, matches anywhere in
// the password: the pattern describes what is forbidden. The constructor raises
// ERegexError (message and offset) for a pattern that does not compile; Validate
// raises ERegexError when the matcher gives up (its work or time limits) rather
// than answer either way.
class KL_API TKLRegularExpressionRule : public TKLPasswordRule {
public:
  explicit TKLRegularExpressionRule(const String& Pattern) : FRegex(Pattern) {}

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  TRegEx FRegex;
};

} // namespace kl
