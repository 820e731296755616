#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "crypto/KLPKCS5.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"
#include "rules/KLRules.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

// A rule with a fixed answer that counts how often it was asked.
class TFixedRule : public TKLPasswordRule {
public:
  TFixedRule(bool Answer, int* Asked) : FAnswer(Answer), FAsked(Asked) {}
  bool Validate(const String&) const override {
    ++*FAsked;
    return FAnswer;
  }

private:
  bool FAnswer;
  int* FAsked;
};

// ---- Value, Empty, Clear ----

TEST(Password, EmptyReadsTrueOnlyForTheEmptyValue) {
  TKLPassword blank;
  EXPECT_TRUE(blank.GetEmpty());
  EXPECT_FALSE(blank.GetShared());
  TKLPassword x(u"x");
  EXPECT_FALSE(x.GetEmpty());
  EXPECT_EQ(x.GetValue(), u"x");
  x.SetShared(true);
  x.Clear();
  EXPECT_TRUE(x.GetEmpty());
  EXPECT_EQ(x.GetValue(), u"");
  EXPECT_TRUE(x.GetShared());
  x.SetValue(u"again");
  EXPECT_EQ(x.GetValue(), u"again");
  x.SetValue(x.GetValue());
  EXPECT_EQ(x.GetValue(), u"again");
}

// ---- Validate ----

TEST(Password, ValidateWithOneRuleGivesTheRulesAnswer) {
  TKLPassword password(u"abc1");
  TKLDigitsRule digits;
  TKLUppercaseCharacterRule upper;
  EXPECT_TRUE(password.Validate(&digits));
  EXPECT_FALSE(password.Validate(&upper));
  EXPECT_FALSE(password.Validate(static_cast<const TKLPasswordRule*>(nullptr)));
}

TEST(Password, ValidateWithAListAsksInOrderAndStopsAtTheFirstRefusal) {
  const struct {
    std::vector<bool> Answers;
    bool Expected;
    std::vector<int> Asked;
  } cases[] = {
      {{}, true, {}},
      {{true}, true, {1}},
      {{false}, false, {1}},
      {{true, true, true}, true, {1, 1, 1}},
      {{true, false, true}, false, {1, 1, 0}},
      {{false, true}, false, {1, 0}},
  };
  for (const auto& c : cases) {
    std::vector<int> asked(c.Answers.size(), 0);
    TKLPasswordRulesList rules;
    for (std::size_t i = 0; i < c.Answers.size(); ++i) rules.Add(new TFixedRule(c.Answers[i], &asked[i]));
    for (const String& value : {String(), String(u"value")}) {
      std::fill(asked.begin(), asked.end(), 0);
      EXPECT_EQ(TKLPassword(value).Validate(&rules), c.Expected);
      EXPECT_EQ(asked, c.Asked);
    }
  }
  EXPECT_FALSE(TKLPassword(u"x").Validate(static_cast<const TKLPasswordRulesList*>(nullptr)));
}

// Text that becomes a key, a hash or a derivation must not share its bytes
// with another text: an unpaired surrogate is refused, where the lenient
// encoding would turn both "x\xD800y" and "x\xDBFFy" into "x\uFFFDy". Each of
// these would otherwise open, or derive, what the real "x\uFFFDy" made.
TEST(TextThatBecomesAKey, UnpairedSurrogatesAreRefusedWithTheConversionError) {
  const String lone{u'x', char16_t(0xD800), u'y'};
  const String other{u'x', char16_t(0xDBFF), u'y'};
  test::TempDir temp;
  TKLStorage saved;
  saved.SaveToFile(temp.FileU("real.kls"), u"x\uFFFDy");
  TKLPassStorage savedVault;
  savedVault.SaveToFile(temp.FileU("real.klv"), u"x\uFFFDy");
  TKLPasswordGenerator generator;
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"Derive",
       [&] {
         Derive(lone, {1, 2, 3}, 1, 32);
       }},
      {"derived password, master key", [&] { generator.Generate(lone, u"example.org"); }},
      {"derived password, address", [&] { generator.Generate(u"master", lone); }},
      {"protection", [&] { TKLPassword(lone).Save(); }},
      {"storage save", [&] { TKLStorage().SaveToFile(temp.FileU("new.kls"), lone); }},
      {"storage load", [&] { TKLStorage().LoadFromFile(temp.FileU("real.kls"), other); }},
      {"vault save", [&] { TKLPassStorage().SaveToFile(temp.FileU("new.klv"), lone); }},
      {"vault load", [&] { TKLPassStorage().LoadFromFile(temp.FileU("real.klv"), other); }},
  };
  for (const auto& [name, operation] : operations) {
    try {
      operation();
      ADD_FAILURE() << name << ": accepted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.GetMessage(), SInvalidUTF16) << name;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(temp.File("new.kls")));
  EXPECT_FALSE(std::filesystem::exists(temp.File("new.klv")));
}

} // namespace
} // namespace kl
