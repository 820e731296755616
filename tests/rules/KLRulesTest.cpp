#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rules/KLRules.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;
using RuleFactory = std::function<std::unique_ptr<TKLPasswordRule>()>;

template <class T, class... Args>
RuleFactory Make(Args... args) {
  return [=] { return std::unique_ptr<TKLPasswordRule>(std::make_unique<T>(args...)); };
}

RuleFactory AllowedChars(const String& Chars) {
  return [=] {
    auto rule = std::make_unique<TKLAllowedCharacterRule>();
    rule->SetAllowedChars(Chars);
    return std::unique_ptr<TKLPasswordRule>(std::move(rule));
  };
}

RuleFactory Dictionary(std::vector<String> Words) {
  return [=] {
    auto rule = std::make_unique<TKLDictionaryRule>();
    for (const String& word : Words) rule->AddWord(word);
    return std::unique_ptr<TKLPasswordRule>(std::move(rule));
  };
}

struct RuleCase {
  const char* Name;
  RuleFactory Factory;
  String Password;
  bool Expected;
};

void PrintTo(const RuleCase& Case, std::ostream* Out) {
  *Out << Case.Name << " '" << test::Narrow(Case.Password) << "'";
}

class RuleTable : public testing::TestWithParam<RuleCase> {};

TEST_P(RuleTable, AnswersAsExpected) {
  const RuleCase& c = GetParam();
  const auto rule = c.Factory();
  EXPECT_EQ(rule->Validate(c.Password), c.Expected);
  TKLRuleFailures failures;
  rule->CollectFailures(c.Password, failures);
  EXPECT_EQ(failures.empty(), c.Expected) << "the failure details disagree with Validate";
}

std::string CaseName(const testing::TestParamInfo<RuleCase>& Info) {
  return Info.param.Name + std::string("_") + std::to_string(Info.index);
}

const String kSurrogatePair = u"\U0001F600";

INSTANTIATE_TEST_SUITE_P(CharacterClasses, RuleTable,
                         testing::Values(
                             // Only ASCII letters and digits count.
                             RuleCase{"Upper", Make<TKLUppercaseCharacterRule>(), u"abc", false},
                             RuleCase{"Upper", Make<TKLUppercaseCharacterRule>(), u"abC", true},
                             RuleCase{"Upper", Make<TKLUppercaseCharacterRule>(), u"", false},
                             RuleCase{"Upper", Make<TKLUppercaseCharacterRule>(), U("ÄÖÜ"), false},
                             RuleCase{"Upper", Make<TKLUppercaseCharacterRule>(), u"@[`{", false},
                             RuleCase{"Lower", Make<TKLLowercaseCharacterRule>(), u"ABC", false},
                             RuleCase{"Lower", Make<TKLLowercaseCharacterRule>(), u"ABc", true},
                             RuleCase{"Lower", Make<TKLLowercaseCharacterRule>(), U("äöü"), false},
                             RuleCase{"Digits", Make<TKLDigitsRule>(), u"abc1", true},
                             RuleCase{"Digits", Make<TKLDigitsRule>(), u"abc", false},
                             RuleCase{"Digits", Make<TKLDigitsRule>(), U("١٢٣１２３"), false},
                             RuleCase{"Digits", Make<TKLDigitsRule>(), u"/:", false},
                             RuleCase{"Whitespace", Make<TKLWhitespaceRule>(), u"a b", false},
                             RuleCase{"Whitespace", Make<TKLWhitespaceRule>(), u"ab ", false},
                             RuleCase{"Whitespace", Make<TKLWhitespaceRule>(), u"a\tb\n\u00a0", true},
                             RuleCase{"Whitespace", Make<TKLWhitespaceRule>(), u"", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(
    AllowedCharacters, RuleTable,
    testing::Values(RuleCase{"Abc", AllowedChars(u"abc"), u"", true},
                    RuleCase{"Abc", AllowedChars(u"abc"), u"cab", true},
                    RuleCase{"Abc", AllowedChars(u"abc"), u"abca", true},
                    RuleCase{"Abc", AllowedChars(u"abc"), u"abd", false},
                    RuleCase{"Abc", AllowedChars(u"abc"), u"ABC", false},
                    RuleCase{"Empty", AllowedChars(u""), u"", true}, RuleCase{"Empty", AllowedChars(u""), u"a", false},
                    // Characters beyond ASCII, repeated and out of order, and the
                    // halves of a surrogate pair as separate characters.
                    RuleCase{"Wide", AllowedChars(U("éaé€") + kSurrogatePair), U("a€éa"), true},
                    RuleCase{"Wide", AllowedChars(U("éaé€") + kSurrogatePair), kSurrogatePair + u"a", true},
                    RuleCase{"Wide", AllowedChars(U("éaé€") + kSurrogatePair), U("aè"), false},
                    RuleCase{"Wide", AllowedChars(U("é")), String(1, char16_t(0x00E9 + 128)), false},
                    RuleCase{"Wide", AllowedChars(String(1, u'\0') + u"\x7f"), String(3, u'\0') + u"\x7f", true}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Length, RuleTable,
                         testing::Values(RuleCase{"Min8", Make<TKLLengthRule>(8), u"1234567", false},
                                         RuleCase{"Min8", Make<TKLLengthRule>(8), u"12345678", true},
                                         RuleCase{"Min8", Make<TKLLengthRule>(8), String(100, u'x'), true},
                                         RuleCase{"Min0", Make<TKLLengthRule>(0), u"", true},
                                         RuleCase{"MinNegative", Make<TKLLengthRule>(-5), u"", false},
                                         RuleCase{"MinNegative", Make<TKLLengthRule>(-5), u"abcdef", false},
                                         RuleCase{"MinMax", Make<TKLLengthRule>(INT32_MAX), u"abc", false},
                                         RuleCase{"Range4to6", Make<TKLLengthRule>(4, 6), u"123", false},
                                         RuleCase{"Range4to6", Make<TKLLengthRule>(4, 6), u"1234", true},
                                         RuleCase{"Range4to6", Make<TKLLengthRule>(4, 6), u"123456", true},
                                         RuleCase{"Range4to6", Make<TKLLengthRule>(4, 6), u"1234567", false},
                                         RuleCase{"Reversed", Make<TKLLengthRule>(6, 4), u"12345", false},
                                         RuleCase{"NegativeFrom", Make<TKLLengthRule>(-1, 5), u"123", false},
                                         RuleCase{"NegativeTo", Make<TKLLengthRule>(3, -1), u"123", false},
                                         RuleCase{"Range0to0", Make<TKLLengthRule>(0, 0), u"", true},
                                         RuleCase{"Range0to0", Make<TKLLengthRule>(0, 0), u"a", false},
                                         RuleCase{"RangeAll", Make<TKLLengthRule>(0, INT32_MAX), u"abc", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(Username, RuleTable,
                         testing::Values(RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"xbobx", false},
                                         RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"bob", false},
                                         RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"Bob1", true},
                                         RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"bo", true},
                                         RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"", true},
                                         RuleCase{"Bob", Make<TKLUsernameRule>(String(u"bob")), u"bobob", false},
                                         RuleCase{"Empty", Make<TKLUsernameRule>(String()), u"", true},
                                         RuleCase{"Empty", Make<TKLUsernameRule>(String()), u"anything", true},
                                         // A failed partial match must not skip a start.
                                         RuleCase{"Overlap", Make<TKLUsernameRule>(String(u"aab")), u"aaab", false},
                                         RuleCase{"Overlap", Make<TKLUsernameRule>(String(u"abac")), u"ababac", false}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(Dictionary, RuleTable,
                         testing::Values(RuleCase{"AppleRiver", Dictionary({u"apple", u"river"}), u"apple", false},
                                         RuleCase{"AppleRiver", Dictionary({u"apple", u"river"}), u"Apple", true},
                                         RuleCase{"AppleRiver", Dictionary({u"apple", u"river"}), u"apple1", true},
                                         RuleCase{"AppleRiver", Dictionary({u"apple", u"river"}), u"river", false},
                                         RuleCase{"AppleRiver", Dictionary({u"apple", u"river"}), u"", true},
                                         RuleCase{"Empty", Dictionary({}), u"apple", true},
                                         RuleCase{"EmptyWord", Dictionary({u""}), u"", false},
                                         RuleCase{"EmptyWord", Dictionary({u""}), u"a", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(KeyboardSequence, RuleTable,
                         testing::Values(RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"xqwex", false},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"QWE!", false},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"ewq", true},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"qWe", true},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"as", true},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"zxc", false},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"90-", false},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"[]\\", false},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"(*&", true},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"`12", false},
                                         // Row ends do not join up with the next row.
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u"=~!", true},
                                         RuleCase{"Len3", Make<TKLQwertySequenceRule>(3), u";'zx", true},
                                         RuleCase{"Len4", Make<TKLQwertySequenceRule>(4), u"asdf", false},
                                         RuleCase{"Len4", Make<TKLQwertySequenceRule>(4), u"asd", true},
                                         RuleCase{"Len4", Make<TKLQwertySequenceRule>(4), u"qwqwer", false},
                                         RuleCase{"Len13", Make<TKLQwertySequenceRule>(13), u"qwertyuiop[]\\", false},
                                         RuleCase{"Len14", Make<TKLQwertySequenceRule>(14),
                                                  u"`1234567890-=qwertyuiop[]\\", true},
                                         RuleCase{"Len1", Make<TKLQwertySequenceRule>(1), U("éé"), true},
                                         RuleCase{"Len1", Make<TKLQwertySequenceRule>(1), u"é=", false},
                                         RuleCase{"Len0", Make<TKLQwertySequenceRule>(0), u"qwerty", true},
                                         RuleCase{"LenNegative", Make<TKLQwertySequenceRule>(-3), u"qwerty", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(NumericalSequence, RuleTable,
                         testing::Values(RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"111", false},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"a000b", false},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"123", true},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"9876", true},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"11", true},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), u"11a1", true},
                                         RuleCase{"Len3", Make<TKLNumericalSequenceRule>(3), U("１１１aaa"), true},
                                         RuleCase{"Len1", Make<TKLNumericalSequenceRule>(1), u"abc", true},
                                         RuleCase{"Len1", Make<TKLNumericalSequenceRule>(1), u"ab1", false},
                                         RuleCase{"Len0", Make<TKLNumericalSequenceRule>(0), u"1111", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(RepeatCharacter, RuleTable,
                         testing::Values(RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"aab", true},
                                         RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"aaab", false},
                                         RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"abbb", false},
                                         RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"aaAa", true},
                                         RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"", true},
                                         RuleCase{"Len3", Make<TKLRepeatCharacterRule>(3), u"a", true},
                                         RuleCase{"Len2", Make<TKLRepeatCharacterRule>(2), u"abcdd", false},
                                         RuleCase{"Len1", Make<TKLRepeatCharacterRule>(1), u"aaaa", true},
                                         RuleCase{"Len1", Make<TKLRepeatCharacterRule>(1), u"aaab", false},
                                         RuleCase{"Len1", Make<TKLRepeatCharacterRule>(1), u"a", true},
                                         RuleCase{"Len0", Make<TKLRepeatCharacterRule>(0), u"aaaa", true}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(
    RegularExpression, RuleTable,
    testing::Values(RuleCase{"FourDigits", Make<TKLRegularExpressionRule>(String(u"[0-9]{4}")), u"ab1234", false},
                    RuleCase{"FourDigits", Make<TKLRegularExpressionRule>(String(u"[0-9]{4}")), u"ab123", true},
                    RuleCase{"Anchored", Make<TKLRegularExpressionRule>(String(u"^admin")), u"admin1", false},
                    RuleCase{"Anchored", Make<TKLRegularExpressionRule>(String(u"^admin")), u"myadmin", true},
                    // No options of the library's own: case-sensitive, code units.
                    RuleCase{"CaseSensitive", Make<TKLRegularExpressionRule>(String(u"admin")), u"ADMIN", true},
                    RuleCase{"EmptyPattern", Make<TKLRegularExpressionRule>(String()), u"", false}),
    CaseName);

using Direction = TKLSequenceDirection;

INSTANTIATE_TEST_SUITE_P(
    NewerRules, RuleTable,
    testing::Values(RuleCase{"Classes3", Make<TKLCharacterClassesRule>(3), u"abcDEF", false},
                    RuleCase{"Classes3", Make<TKLCharacterClassesRule>(3), u"abcDE1", true},
                    RuleCase{"Classes3", Make<TKLCharacterClassesRule>(3), U("abcdé!"), false}, // é and ! one kind
                    RuleCase{"Classes3", Make<TKLCharacterClassesRule>(3), U("aBé"), true},
                    RuleCase{"Classes4", Make<TKLCharacterClassesRule>(4), u"aB1 ", true},
                    RuleCase{"Classes5", Make<TKLCharacterClassesRule>(5), u"aB1 ", false},
                    RuleCase{"Classes0", Make<TKLCharacterClassesRule>(0), u"", true},
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"xabcx", false},
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"aBc", false},
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"zyx", false},
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"yza", true}, // no wrap
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"abd", true},
                    RuleCase{"Alpha3", Make<TKLAlphabeticalSequenceRule>(3), u"Z[\\", true}, // not letters
                    RuleCase{"Alpha3Fwd", Make<TKLAlphabeticalSequenceRule>(3, Direction::sdForward), u"cba", true},
                    RuleCase{"Alpha3Back", Make<TKLAlphabeticalSequenceRule>(3, Direction::sdBackward), u"abc", true},
                    RuleCase{"Alpha3Back", Make<TKLAlphabeticalSequenceRule>(3, Direction::sdBackward), u"CbA", false},
                    RuleCase{"Alpha0", Make<TKLAlphabeticalSequenceRule>(0), u"abcdef", true},
                    RuleCase{"Keys4", Make<TKLKeyboardSequenceRule>(4), u"fdsa", false},
                    RuleCase{"Keys4", Make<TKLKeyboardSequenceRule>(4), u"asdf", false},
                    RuleCase{"Keys4", Make<TKLKeyboardSequenceRule>(4), u"=-09", false},
                    RuleCase{"Keys4", Make<TKLKeyboardSequenceRule>(4), u"asdsa", true},
                    RuleCase{"Keys4", Make<TKLKeyboardSequenceRule>(4), u"FdSa", true}, // rows keep their case
                    RuleCase{"Keys3", Make<TKLKeyboardSequenceRule>(3), u"!~=", true},  // rows do not join
                    RuleCase{"Keys4Fwd", Make<TKLKeyboardSequenceRule>(4, Direction::sdForward), u"fdsa", true},
                    RuleCase{"Keys4Back", Make<TKLKeyboardSequenceRule>(4, Direction::sdBackward), u"asdf", true}),
    CaseName);

// Literal readings of the sequence rules, used as references for the linear scans.
bool KeyboardReference(const String& Password, std::int32_t SeqLen) {
  // With a length of 0 or less every window is empty, and an empty run is never found.
  if (SeqLen <= 0 || Password.size() < static_cast<std::size_t>(SeqLen)) return true;
  for (std::u16string_view row : kKeyboardRows) {
    for (std::int64_t start = 0; start + SeqLen <= static_cast<std::int64_t>(row.size()); ++start) {
      const std::u16string_view window = row.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(SeqLen));
      if (Password.find(window) != String::npos) return false;
    }
  }
  return true;
}

bool NumericalReference(const String& Password, std::int32_t SeqLen) {
  for (Char digit : kSequenceDigits) {
    const String probe(static_cast<std::size_t>(std::max(SeqLen, 0)), digit);
    if (!probe.empty() && Password.find(probe) != String::npos) return false;
  }
  return true;
}

String RandomText(std::mt19937& Rng, const String& Alphabet, std::size_t MaxLength) {
  String text(Rng() % (MaxLength + 1), u' ');
  for (Char& c : text) c = Alphabet[Rng() % Alphabet.size()];
  return text;
}

TEST(SequenceRules, AgreeWithLiteralReadingOnRandomText) {
  std::mt19937 rng(20240611);
  String keys = u"é0x";
  for (std::u16string_view row : kKeyboardRows) keys += row;
  const String keyRuns = u"qwertyuiopQWERTasdfzxcv`123456=~!@";
  for (std::int32_t len = -1; len <= 14; ++len) {
    const TKLQwertySequenceRule keyboard(len);
    const TKLNumericalSequenceRule numerical(len);
    const TKLKeyboardSequenceRule bothWays(len);
    for (int i = 0; i < 3000; ++i) {
      const String text = RandomText(rng, i % 2 ? keys : keyRuns, 40);
      ASSERT_EQ(keyboard.Validate(text), KeyboardReference(text, len)) << len << " " << test::Narrow(text);
      // A run typed right to left is a run typed left to right in the reversed text.
      const bool reversedPasses = KeyboardReference(String(text.rbegin(), text.rend()), len);
      ASSERT_EQ(bothWays.Validate(text), KeyboardReference(text, len) && reversedPasses) << test::Narrow(text);
      const String digits = RandomText(rng, u"0123456789a", 30);
      ASSERT_EQ(numerical.Validate(digits), NumericalReference(digits, len)) << len << " " << test::Narrow(digits);
    }
  }
}

TEST(UsernameRule, AgreesWithPlainSearchOnRandomText) {
  std::mt19937 rng(7);
  for (int n = 0; n < 400; ++n) {
    const String name = RandomText(rng, u"ab", 6);
    const TKLUsernameRule rule(name);
    for (int i = 0; i < 50; ++i) {
      const String text = RandomText(rng, u"abc", 20);
      const bool expected = name.empty() || text.find(name) == String::npos;
      ASSERT_EQ(rule.Validate(text), expected) << test::Narrow(name) << " in " << test::Narrow(text);
    }
  }
}

TEST(AllowedCharacterRule, ChangingTheSetTakesEffectAtOnce) {
  TKLAllowedCharacterRule rule;
  EXPECT_EQ(rule.GetAllowedChars(), u"");
  EXPECT_FALSE(rule.Validate(U("aé")));
  rule.SetAllowedChars(U("éa"));
  EXPECT_EQ(rule.GetAllowedChars(), U("éa"));
  EXPECT_TRUE(rule.Validate(U("aé")));
  rule.SetAllowedChars(u"b");
  EXPECT_FALSE(rule.Validate(u"a"));
  EXPECT_FALSE(rule.Validate(U("é")));
  EXPECT_TRUE(rule.Validate(u"bbb"));
}

TEST(DictionaryRule, RemovingAWordAcceptsItAgainOnlyWhenNoCopyRemains) {
  TKLDictionaryRule rule;
  EXPECT_EQ(rule.AddWord(u"apple"), 0);
  EXPECT_EQ(rule.AddWord(u"river"), 1);
  EXPECT_EQ(rule.AddWord(u"apple"), 2);
  rule.RemoveWord(0);
  EXPECT_FALSE(rule.Validate(u"apple")); // the copy at the end still forbids it
  rule.RemoveWord(1);                    // "apple", now behind "river"
  EXPECT_TRUE(rule.Validate(u"apple"));
  EXPECT_FALSE(rule.Validate(u"river"));
}

TEST(DictionaryRule, RemovingABadIndexRaisesListErrorAndChangesNothing) {
  TKLDictionaryRule rule;
  rule.AddWord(u"apple");
  EXPECT_THROW(rule.RemoveWord(1), EListError);
  EXPECT_THROW(rule.RemoveWord(-1), EListError);
  EXPECT_FALSE(rule.Validate(u"apple"));
  rule.RemoveWord(0);
  EXPECT_TRUE(rule.Validate(u"apple"));
}

TEST(RegularExpressionRule, PatternThatDoesNotCompileReportsMessageAndOffset) {
  try {
    TKLRegularExpressionRule rule(u"ab(c");
    FAIL() << "compiled";
  } catch (const ERegexError& e) {
    const std::string message = e.GetMessage();
    EXPECT_NE(message.find("missing closing parenthesis"), std::string::npos) << message;
    EXPECT_NE(message.find("offset 4"), std::string::npos) << message;
  }
  EXPECT_THROW(TKLRegularExpressionRule(u"[z-a]"), ERegexError);
  EXPECT_THROW(TKLRegularExpressionRule(u"a{2,1}"), ERegexError);
}

// One megabyte of text: half a million UTF-16 code units.
constexpr std::size_t kMegabyte = 1 << 19;

struct CatastrophicCase {
  const char* Pattern;
  Char Fill;
};

void PrintTo(const CatastrophicCase& Case, std::ostream* Out) { *Out << Case.Pattern; }

class RegexGivesUp : public testing::TestWithParam<CatastrophicCase> {};

// The engine's limits (backtracking, nesting, heap) and the time bound on the
// whole search all end in an error, within seconds, never in an answer.
TEST_P(RegexGivesUp, OnAMegabytePasswordWithAnError) {
  const TKLRegularExpressionRule rule(U(GetParam().Pattern));
  const String password(kMegabyte, GetParam().Fill);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(rule.Validate(password), ERegexError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(RegularExpressionRule, RegexGivesUp,
                         testing::Values(CatastrophicCase{"(a+)+[bc]", u'a'},         // match limit
                                         CatastrophicCase{"(a|aa)+$", u'a'},          // depth or heap
                                         CatastrophicCase{"(?:a|a){0,14}[bc]", u'a'}, // costly at every start
                                         CatastrophicCase{"[a-z]+[0-9]+$", u'q'}));   // quadratic rescan

TEST(RegularExpressionRule, LinearPatternsAnswerOnAMegabytePassword) {
  String password(kMegabyte, u'a');
  EXPECT_TRUE(TKLRegularExpressionRule(u"[0-9]{4}").Validate(password));
  password += u"2024";
  EXPECT_FALSE(TKLRegularExpressionRule(u"[0-9]{4}").Validate(password));
  EXPECT_FALSE(TKLRegularExpressionRule(u"(.)\\1\\1").Validate(password));
}

// Each of the twelve rules on inputs that stress bounds: nothing crashes, hangs
// or reads outside the text (the sanitizer build checks the last).
TEST(AllRules, HandleEmptyOddAndMegabytePasswords) {
  std::vector<std::unique_ptr<TKLPasswordRule>> rules;
  rules.push_back(std::make_unique<TKLUppercaseCharacterRule>());
  rules.push_back(std::make_unique<TKLLowercaseCharacterRule>());
  rules.push_back(std::make_unique<TKLDigitsRule>());
  rules.push_back(AllowedChars(U("abcxyz0123456789!é") + kSurrogatePair)());
  rules.push_back(std::make_unique<TKLLengthRule>(8, 64));
  rules.push_back(std::make_unique<TKLWhitespaceRule>());
  rules.push_back(std::make_unique<TKLUsernameRule>(String(u"abcabd")));
  rules.push_back(Dictionary({u"password", String(kMegabyte, u'a')})());
  rules.push_back(std::make_unique<TKLQwertySequenceRule>(4));
  rules.push_back(std::make_unique<TKLNumericalSequenceRule>(3));
  rules.push_back(std::make_unique<TKLRepeatCharacterRule>(3));
  rules.push_back(std::make_unique<TKLRegularExpressionRule>(String(u"(?i)pass(word)?\\d*$")));

  std::mt19937 rng(3);
  String noise(kMegabyte, u' ');
  for (Char& c : noise) c = static_cast<Char>(rng());
  const std::vector<String> passwords = {u"",
                                         String(1, u'\0'),
                                         String(1, char16_t(0xD800)),
                                         String(kMegabyte, u'a'),
                                         String(kMegabyte, u'1'),
                                         String(kMegabyte - 1, u'a') + u"b",
                                         noise};
  for (const auto& rule : rules) {
    for (const String& password : passwords) {
      TKLRuleFailures failures;
      rule->CollectFailures(password, failures);
      EXPECT_EQ(failures.empty(), rule->Validate(password));
    }
  }
  EXPECT_FALSE(rules[7]->Validate(String(kMegabyte, u'a')));
  EXPECT_TRUE(rules[7]->Validate(String(kMegabyte - 1, u'a') + u"b"));
}

// A rule that counts its destruction and always accepts.
class ProbeRule : public TKLPasswordRule {
public:
  explicit ProbeRule(int& Destroyed) : FDestroyed(Destroyed) {}
  ~ProbeRule() override { ++FDestroyed; }
  bool Validate(const String&) const override { return true; }

private:
  int& FDestroyed;
};

TEST(RulesList, AddsInOrderAndDeleteHandsTheRuleBack) {
  int destroyed = 0;
  auto* first = new ProbeRule(destroyed);
  auto* second = new ProbeRule(destroyed);
  auto* third = new ProbeRule(destroyed);
  {
    TKLPasswordRulesList list;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.Add(first), 0);
    EXPECT_EQ(list.Add(second), 1);
    EXPECT_EQ(list.Add(third), 2);
    list.Delete(0);
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetRule(0), second);
    EXPECT_EQ(list.GetRule(1), third);
    EXPECT_TRUE(first->Validate(u"x"));
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 2); // the list took the two it still held
  delete first;
  EXPECT_EQ(destroyed, 3);
}

TEST(RulesList, RefusesAnEmptyReferenceOrARuleItHoldsAndChangesNothing) {
  int destroyed = 0;
  TKLPasswordRulesList list;
  auto* rule = new ProbeRule(destroyed);
  list.Add(rule);
  EXPECT_THROW(list.Add(static_cast<TKLPasswordRule*>(nullptr)), EKLException);
  EXPECT_THROW(list.Add(rule), EKLException);
  EXPECT_THROW(list.Add(std::unique_ptr<TKLPasswordRule>()), EKLException);
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(destroyed, 0);

  // Once deleted from the list it may come back, and is then held once.
  list.Delete(0);
  EXPECT_EQ(list.Add(rule), 0);
  EXPECT_THROW(list.Add(rule), EKLException);
}

TEST(RulesList, RefusedUniquePointerKeepsItsRule) {
  int destroyed = 0;
  TKLPasswordRulesList list;
  auto owned = std::make_unique<ProbeRule>(destroyed);
  TKLPasswordRule* raw = owned.get();
  std::unique_ptr<TKLPasswordRule> handle = std::move(owned);
  EXPECT_EQ(list.Add(std::move(handle)), 0);
  EXPECT_EQ(handle, nullptr);

  std::unique_ptr<TKLPasswordRule> again(raw); // a misuse the list must refuse
  EXPECT_THROW(list.Add(std::move(again)), EKLException);
  EXPECT_EQ(again.get(), raw); // still the caller's
  (void)again.release();
  EXPECT_EQ(destroyed, 0);
}

TEST(RulesList, ArrayFormAddsAllOrNothing) {
  int destroyed = 0;
  TKLPasswordRulesList list;
  auto* held = new ProbeRule(destroyed);
  list.Add(held);
  std::unique_ptr<ProbeRule> a = std::make_unique<ProbeRule>(destroyed);
  std::unique_ptr<ProbeRule> b = std::make_unique<ProbeRule>(destroyed);

  const std::vector<std::vector<TKLPasswordRule*>> refused = {
      {a.get(), nullptr, b.get()}, {a.get(), held}, {a.get(), b.get(), a.get()}};
  for (const auto& batch : refused) {
    EXPECT_THROW(list.Add(std::span<TKLPasswordRule* const>(batch)), EKLException);
    EXPECT_EQ(list.GetCount(), 1);
  }
  list.Add(std::span<TKLPasswordRule* const>());
  EXPECT_EQ(list.GetCount(), 1);

  list.Add({a.release(), b.release()});
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(destroyed, 0);
}

TEST(RulesList, BadIndexRaisesListErrorAndChangesNothing) {
  TKLPasswordRulesList list;
  list.Add(new TKLDigitsRule);
  for (std::int32_t index : {-1, 1, INT32_MAX}) {
    EXPECT_THROW(list.GetRule(index), EListError);
    EXPECT_THROW(list.Delete(index), EListError);
  }
  EXPECT_EQ(list.GetCount(), 1);
}

} // namespace
} // namespace kl
