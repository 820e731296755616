#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rules/KLRules.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Narrow;
using test::U;

// "name=value" for each parameter, in order, to compare failures at a glance.
std::string Describe(const TKLRuleFailure& Failure) {
  std::string text = Failure.GetCode();
  for (const TKLRuleParameter& p : Failure.GetParameters()) text += " " + p.Name + "=" + Narrow(p.Value);
  return text;
}

struct DetailCase {
  const char* Name;
  std::function<std::unique_ptr<TKLPasswordRule>()> Factory;
  const char* Password;
  const char* Expected; // Describe() of the single failure
};

void PrintTo(const DetailCase& Case, std::ostream* Out) { *Out << Case.Name << " '" << Case.Password << "'"; }

template <class T, class... Args>
std::function<std::unique_ptr<TKLPasswordRule>()> Make(Args... args) {
  return [=] { return std::unique_ptr<TKLPasswordRule>(std::make_unique<T>(args...)); };
}

std::unique_ptr<TKLPasswordRule> Letters() {
  auto rule = std::make_unique<TKLAllowedCharacterRule>();
  rule->SetAllowedChars(u"abc");
  return rule;
}

std::unique_ptr<TKLPasswordRule> Words() {
  auto rule = std::make_unique<TKLDictionaryRule>();
  rule->AddWord(u"apple");
  return rule;
}

class FailureDetails : public testing::TestWithParam<DetailCase> {};

TEST_P(FailureDetails, NameTheCodeAndWhatWasFound) {
  const DetailCase& c = GetParam();
  TKLRuleFailures failures;
  c.Factory()->CollectFailures(U(c.Password), failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(Describe(failures[0]), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    TwelveRules, FailureDetails,
    testing::Values(
        DetailCase{"Upper", Make<TKLUppercaseCharacterRule>(), "abc", "INSUFFICIENT_UPPERCASE"},
        DetailCase{"Lower", Make<TKLLowercaseCharacterRule>(), "ABC", "INSUFFICIENT_LOWERCASE"},
        DetailCase{"Digit", Make<TKLDigitsRule>(), "abc", "INSUFFICIENT_DIGIT"},
        DetailCase{"Allowed", Letters, "abxcy", "ILLEGAL_CHARACTER character=x"},
        DetailCase{"MinLength", Make<TKLLengthRule>(8), "abc", "TOO_SHORT minimum=8 length=3"},
        DetailCase{"RangeShort", Make<TKLLengthRule>(4, 6), "abc", "TOO_SHORT minimum=4 maximum=6 length=3"},
        DetailCase{"RangeLong", Make<TKLLengthRule>(1, 2), "abc", "TOO_LONG minimum=1 maximum=2 length=3"},
        DetailCase{"RangeEmpty", Make<TKLLengthRule>(5, 4), "abcd", "EMPTY_LENGTH_RANGE minimum=5 maximum=4"},
        DetailCase{"Space", Make<TKLWhitespaceRule>(), "a b", "ILLEGAL_WHITESPACE"},
        DetailCase{"User", Make<TKLUsernameRule>(String(u"bob")), "xbobx", "ILLEGAL_USERNAME username=bob"},
        DetailCase{"Word", Words, "apple", "ILLEGAL_WORD word=apple"},
        // The whole run is named, not only the keys that reached the count.
        DetailCase{"Keyboard", Make<TKLQwertySequenceRule>(3), "xqwertyx",
                   "ILLEGAL_QWERTY_SEQUENCE sequence=qwerty minimum=3"},
        DetailCase{"KeyboardSecond", Make<TKLQwertySequenceRule>(3), "qw-asdf",
                   "ILLEGAL_QWERTY_SEQUENCE sequence=asdf minimum=3"},
        DetailCase{"Digits", Make<TKLNumericalSequenceRule>(3), "a11b7777",
                   "ILLEGAL_REPEATED_DIGITS sequence=7777 minimum=3"},
        DetailCase{"Repeat", Make<TKLRepeatCharacterRule>(3), "abbbb",
                   "ILLEGAL_REPEATED_CHARACTERS sequence=bbb minimum=3"},
        DetailCase{"Regex", Make<TKLRegularExpressionRule>(String(u"[0-9]{4}")), "ab1234",
                   "ILLEGAL_MATCH pattern=[0-9]{4}"},
        DetailCase{"Classes", Make<TKLCharacterClassesRule>(3), "abc12",
                   "INSUFFICIENT_CHARACTERISTICS required=3 count=4 classes=upper-case letters, lower-case letters, "
                   "digits, other characters satisfied=2"},
        DetailCase{"Alphabet", Make<TKLAlphabeticalSequenceRule>(3), "x-FeDcB-y",
                   "ILLEGAL_ALPHABETICAL_SEQUENCE sequence=FeDcB minimum=3"},
        DetailCase{"KeysBackward", Make<TKLKeyboardSequenceRule>(3), "1-trewq-2",
                   "ILLEGAL_QWERTY_SEQUENCE sequence=trewq minimum=3"}),
    [](const testing::TestParamInfo<DetailCase>& Info) { return std::string(Info.param.Name); });

// A matcher that gives up refuses the password instead of raising or passing it.
TEST(FailureDetails, RegexThatGivesUpRefusesWithItsReason) {
  const TKLRegularExpressionRule rule(u"(a+)+[bc]");
  TKLRuleFailures failures;
  rule.CollectFailures(String(1 << 16, u'a'), failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kRuleNotChecked);
  ASSERT_NE(failures[0].FindParameter("reason"), nullptr);
  EXPECT_FALSE(failures[0].FindParameter("reason")->Value.empty());
}

// A rule written before failure details existed still reports, generically.
class OddLengthRule : public TKLPasswordRule {
public:
  bool Validate(const String& Password) const override { return Password.size() % 2 == 0; }
};

TEST(RulesListFailures, GathersEveryRuleInIndexOrder) {
  TKLPasswordRulesList list;
  list.Add(std::make_unique<TKLDigitsRule>());
  list.Add(std::make_unique<OddLengthRule>());
  list.Add(std::make_unique<TKLLengthRule>(8));
  list.Add(std::make_unique<TKLUppercaseCharacterRule>());
  std::vector<std::string> codes;
  for (const TKLRuleFailure& f : list.GetFailures(u"abc")) codes.push_back(f.GetCode());
  EXPECT_EQ(codes,
            (std::vector<std::string>{"INSUFFICIENT_DIGIT", "RULE_FAILED", "TOO_SHORT", "INSUFFICIENT_UPPERCASE"}));
  EXPECT_TRUE(list.GetFailures(u"Abcdefg1x2").empty());
}

struct MessageCase {
  const char* Template;
  bool Redact;
  const char* Expected;
};

class Messages : public testing::TestWithParam<MessageCase> {};

TEST_P(Messages, FillNamedParametersOnce) {
  TKLRuleMessages messages;
  messages.SetTemplate("X", U(GetParam().Template));
  TKLRuleFailure failure("X");
  failure.AddNumber("n", 8).AddText("name", u"{n}").AddPasswordText("seq", u"qwe");
  EXPECT_EQ(Narrow(messages.Format(failure, GetParam().Redact)), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    RuleMessages, Messages,
    testing::Values(MessageCase{"at least {n} ({seq})", false, "at least 8 (qwe)"},
                    MessageCase{"at least {n} ({seq})", true, "at least 8 (***)"},
                    MessageCase{"{name} stays as given", false, "{n} stays as given"}, // values are not rescanned
                    MessageCase{"{{n}} {missing} {n", false, "{n}} {missing} {n"}, MessageCase{"", false, ""},
                    MessageCase{"Mindestens {n} Zeichen", false, "Mindestens 8 Zeichen"}));

constexpr std::string_view kLibraryCodes[] = {kRuleNotChecked,
                                              kTooShort,
                                              kTooLong,
                                              kEmptyLengthRange,
                                              kInsufficientUppercase,
                                              kInsufficientLowercase,
                                              kInsufficientDigit,
                                              kInsufficientCharacteristics,
                                              kIllegalCharacter,
                                              kIllegalWhitespace,
                                              kIllegalUsername,
                                              kIllegalWord,
                                              kIllegalQwertySequence,
                                              kIllegalAlphabeticalSequence,
                                              kIllegalRepeatedDigits,
                                              kIllegalRepeatedCharacters,
                                              kIllegalMatch,
                                              kHistoryViolation,
                                              kBlocklisted,
                                              kBreached,
                                              kTooWeak,
                                              kTooSimilar};

TEST(RuleMessagesTest, EveryLibraryCodeHasItsOwnEnglishTextAndUnknownCodesTheGenericOne) {
  const TKLRuleMessages& english = TKLRuleMessages::GetEnglish();
  const String generic = english.GetTemplate(kRuleFailed);
  for (std::string_view code : kLibraryCodes) {
    EXPECT_NE(english.GetTemplate(code), generic) << code;
  }
  EXPECT_EQ(english.GetTemplate("NO_SUCH_CODE"), generic);
  EXPECT_EQ(Narrow(TKLRuleFailure(kTooShort).AddNumber("minimum", 15).AddNumber("length", 9).GetMessage()),
            "The password must be at least 15 characters long; it has 9.");
}

// The names between braces, sorted: what a text asks Format to fill in.
std::vector<std::string> Placeholders(const String& Text) {
  std::vector<std::string> names;
  for (std::size_t open = Text.find(u'{'); open != String::npos; open = Text.find(u'{', open + 1)) {
    const std::size_t close = Text.find(u'}', open);
    if (close != String::npos) names.push_back(Narrow(Text.substr(open + 1, close - open - 1)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// No other language's quotation marks, and in French a no-break space before
// ; : » and after «.
bool FollowsConventions(std::string_view Language, const String& Text) {
  const String foreign = Language == "de"                                              ? u"\"«»”"
                         : Language == "pl"                                            ? u"\"«»“"
                         : Language == "fr" || Language == "es-es" || Language == "it" ? u"\"„“”"
                                                                                       : u"«»„“”";
  if (Text.find_first_of(foreign) != String::npos) return false;
  for (std::size_t i = 0; Language == "fr" && i < Text.size(); ++i) {
    const bool before = Text[i] == u';' || Text[i] == u':' || Text[i] == u'»';
    if (before && (i == 0 || Text[i - 1] != u'\u00a0')) return false;
    if (Text[i] == u'«' && (i + 1 == Text.size() || Text[i + 1] != u'\u00a0')) return false;
  }
  return true;
}

// Every language of the packs words every code (the generic one too) itself,
// with the English text's parameters; a language without a pack stays English.
TEST(RuleMessagesTest, LanguagesGiveTheirOwnTextsAndEnglishWhereNone) {
  const TKLRuleFailure tooShort = TKLRuleFailure(kTooShort).AddNumber("minimum", 15).AddNumber("length", 9);
  const struct {
    const char* Language;
    const char* Message;
  } cases[] = {{"de", "Das Passwort muss mindestens 15 Zeichen lang sein; es hat 9."},
               {"fr", "Le mot de passe doit compter au moins 15 caractères\u00a0; il en a 9."},
               {"pl", "Hasło musi mieć co najmniej 15 znaków; ma 9."},
               {"en", "The password must be at least 15 characters long; it has 9."},
               {"xx", "The password must be at least 15 characters long; it has 9."}};
  for (const auto& c : cases) EXPECT_EQ(Narrow(TKLRuleMessages::ForLanguage(c.Language).Format(tooShort)), c.Message);
  const TKLRuleMessages& english = TKLRuleMessages::GetEnglish();
  for (const char* language : {"de", "fr", "es-es", "it", "nl-be", "pl", "pt-br"}) {
    const TKLRuleMessages& messages = TKLRuleMessages::ForLanguage(language);
    EXPECT_EQ(messages.GetTemplate("NO_SUCH_CODE"), messages.GetTemplate(kRuleFailed)) << language;
    EXPECT_NE(messages.GetTemplate(kRuleFailed), english.GetTemplate(kRuleFailed)) << language;
    for (std::string_view code : kLibraryCodes) {
      const String& text = messages.GetTemplate(code);
      EXPECT_NE(text, english.GetTemplate(code)) << language << " " << code;
      EXPECT_NE(text, messages.GetTemplate(kRuleFailed)) << language << " " << code;
      std::vector<std::string> expected = Placeholders(english.GetTemplate(code));
      if (code == kBlocklisted || code == kBreached) std::erase(expected, "list"); // an English name
      if (code == kInsufficientCharacteristics) std::erase(expected, "classes");   // English words: named in its own
      EXPECT_EQ(Placeholders(text), expected) << language << " " << code;
      if (code != kBreached) { // the pack's text, as its authors wrote it
        EXPECT_TRUE(FollowsConventions(language, text)) << language << " " << code;
      }
    }
  }
}

// The values land where each language puts them, a piece of the password
// masked inside the language's own quotation marks.
TEST(RuleMessagesTest, TranslatedMessagesCarryTheirValues) {
  auto kinds = [](std::int32_t Satisfied) {
    return TKLRuleFailure(kInsufficientCharacteristics)
        .AddNumber("required", 3)
        .AddNumber("count", 4)
        .AddText("classes", u"upper-case letters, lower-case letters, digits, other characters")
        .AddNumber("satisfied", Satisfied);
  };
  const struct {
    const char* Language;
    TKLRuleFailure Failure;
    const char* Message;
  } cases[] = {
      {"fr", TKLRuleFailure(kIllegalQwertySequence).AddPasswordText("sequence", u"qwerty").AddNumber("minimum", 4),
       "Le mot de passe contient la suite de touches «\u00a0***\u00a0»\u00a0; 4 touches voisines ou plus ne sont "
       "pas autorisées."},
      {"fr", TKLRuleFailure(kHistoryViolation).AddNumber("count", 5),
       "Le mot de passe est l'un des 5 derniers mots de passe utilisés."},
      // The kinds in the language's own words, not the English the failure carries.
      {"pl", kinds(2),
       "Hasło musi zawierać znaki co najmniej 3 z tych 4 rodzajów: wielkie litery, małe litery, cyfry, inne znaki; "
       "ma 2."},
      {"de", kinds(1),
       "Das Passwort muss Zeichen aus mindestens 3 dieser 4 Arten enthalten: Großbuchstaben, Kleinbuchstaben, "
       "Ziffern, andere Zeichen; es hat 1."},
      {"pl", TKLRuleFailure(kIllegalUsername).AddText("username", u"bob"),
       "Hasło nie może zawierać nazwy użytkownika „bob”."},
      {"es-es", TKLRuleFailure(kEmptyLengthRange).AddNumber("minimum", 9).AddNumber("maximum", 8),
       "Ninguna contraseña puede cumplir la longitud de 9 a 8."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Narrow(TKLRuleMessages::ForLanguage(c.Language).Format(c.Failure, true)), c.Message) << c.Language;
}

} // namespace
} // namespace kl
