#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "rules/KLRuleFailures.h"
#include "rules/KLUserAttributeRule.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

const std::vector<TKLUserAttribute> kAlice = {{u"user name", u"alice"},
                                              {u"e-mail address", u"alice@example.com"},
                                              {u"first name", u"Alice"},
                                              {u"last name", u"Smithers"}};

struct TAttributeCase {
  const char* Name;
  std::vector<TKLUserAttribute> Attributes;
  String Password;
  String Attribute; // empty: accepted
};

TEST(UserAttributeRule, RefusesPasswordsBuiltOnTheUsersAttributes) {
  const TAttributeCase cases[] = {
      {"RepeatedName", kAlice, u"alice-alice-2024-x", u"user name"},
      {"WholeAddressPlus", {{u"e-mail address", u"admin@example.com"}, {u"user name", u"admin"}},
       u"admin@example.com-admin", u"e-mail address"},
      {"CaseIgnored", kAlice, u"ALICE@EXAMPLE.COM", u"user name"},
      {"LastNameInside", kAlice, u"xSmithers1234", u"last name"},
      {"DomainLabelInside", kAlice, u"\uFF45\uFF58\uFF41\uFF4D\uFF50\uFF4C\uFF45-rocks-forever", u"e-mail address"},
      {"AnagramIsSimilar", kAlice, u"ecila", u"user name"},
      {"ShortWholeNameInside", {{u"user name", u"bob"}}, u"bob-likes-tea-a-lot", u"user name"},
      {"ShortPartNotContained", kAlice, u"comet-harbour-violin", u""},
      {"Passphrase", kAlice, u"correct horse battery staple", u""},
      {"LongPasswordShortPart", {{u"user name", u"al"}}, u"a long passphrase without the name", u""},
      {"NoAttributes", {}, u"alice", u""},
      {"EmptyValue", {{u"user name", u""}}, u"anything", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TKLUserAttributeRule rule(c.Attributes);
    TKLRuleFailures failures;
    rule.CollectFailures(c.Password, failures);
    EXPECT_EQ(rule.Validate(c.Password), c.Attribute.empty());
    if (c.Attribute.empty()) {
      EXPECT_TRUE(failures.empty());
      continue;
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].GetCode(), kTooSimilar);
    ASSERT_NE(failures[0].FindParameter("attribute"), nullptr);
    EXPECT_EQ(failures[0].FindParameter("attribute")->Value, c.Attribute);
  }
}

// The bound decides: a password that shares 5 of its 9 characters with a
// 5-character name has a similarity of 10/14, refused at 0.7, not at 0.75.
TEST(UserAttributeRule, MaxSimilarityIsTheBound) {
  const std::vector<TKLUserAttribute> name = {{u"user name", u"alice"}};
  EXPECT_FALSE(TKLUserAttributeRule(name, 0.7).Validate(u"ecil#9%$a"));
  EXPECT_TRUE(TKLUserAttributeRule(name, 0.75).Validate(u"ecil#9%$a"));
  // Exactly at the bound: 4 of 5 in common, 8/10 = 0.8, refused as Django refuses it.
  EXPECT_FALSE(TKLUserAttributeRule(name, 0.8).Validate(u"alicx"));
  EXPECT_TRUE(TKLUserAttributeRule(name, 0.81).Validate(u"alicx"));
  for (const double bad : {0.05, 1.5, -1.0}) EXPECT_THROW(TKLUserAttributeRule(name, bad), EKLException);
}

} // namespace
} // namespace kl
