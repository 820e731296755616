#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rules/KLPolicies.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

struct PolicyCase {
  const char* Name;
  bool SingleFactor;
  String Password;
  std::vector<std::string> Codes;
};

void PrintTo(const PolicyCase& Case, std::ostream* Out) { *Out << Case.Name; }

class NistPolicy : public testing::TestWithParam<PolicyCase> {};

TEST_P(NistPolicy, RefusesOnlyWhatTheGuidanceRefuses) {
  TKLNistPolicyOptions options;
  options.SingleFactor = GetParam().SingleFactor;
  options.ContextWords = {u"alice@example.com"};
  const auto policy = CreateNistPolicy(options);
  std::vector<std::string> codes;
  for (const TKLRuleFailure& failure : policy->GetFailures(GetParam().Password)) codes.push_back(failure.GetCode());
  EXPECT_EQ(codes, GetParam().Codes);
}

const String kEmoji = u"\U0001F511"; // one character, two code units

String Repeat(const String& Unit, int Times) {
  String text;
  for (int i = 0; i < Times; ++i) text += Unit;
  return text;
}

INSTANTIATE_TEST_SUITE_P(Guidance, NistPolicy,
                         testing::Values(PolicyCase{"Passphrase", true, u"correct horse battery staple", {}},
                                         PolicyCase{"NoCompositionRules", true, u"alllowercaseletters", {}},
                                         PolicyCase{"ShortSingleFactor", true, u"Tr0ub4dor&3", {"TOO_SHORT"}},
                                         PolicyCase{"ShortMultiFactor", false, u"Tr0ub4dor&3", {}},
                                         PolicyCase{"CommonAndShort", true, u"password", {"TOO_SHORT", "BLOCKLISTED"}},
                                         PolicyCase{"CommonMultiFactor", false, u" Password ", {"BLOCKLISTED"}},
                                         PolicyCase{"ContextWord", true, u"Alice@Example.com", {"BLOCKLISTED"}},
                                         PolicyCase{"SixtyFour", true, String(64, u'x'), {}},
                                         PolicyCase{"SixtyFive", true, String(65, u'x'), {"TOO_LONG"}},
                                         PolicyCase{"CodePointsCount", true, Repeat(kEmoji, 15), {}},
                                         PolicyCase{"FourteenCodePoints", true, Repeat(kEmoji, 14), {"TOO_SHORT"}},
                                         PolicyCase{"LoneSurrogatesCount", true, String(15, char16_t(0xD800)), {}},
                                         // Counted in NFKC: a decomposed letter is one character, a
                                         // ligature two; a full-width common password is that password.
                                         PolicyCase{"DecomposedCountsOnce", true, Repeat(u"e\u0301", 64), {}},
                                         PolicyCase{"DecomposedTooLong", true, Repeat(u"e\u0301", 65), {"TOO_LONG"}},
                                         PolicyCase{"LigatureCountsTwice", true, Repeat(u"\uFB01", 8), {}},
                                         PolicyCase{"FullWidthCommon", false, u"\uFF50\uFF41\uFF53\uFF53\uFF57\uFF4F\uFF52\uFF44",
                                                    {"BLOCKLISTED"}}),
                         [](const testing::TestParamInfo<PolicyCase>& Info) { return std::string(Info.param.Name); });

TEST(NistPolicyOptions, OutsideTheGuidanceAreRefused) {
  TKLNistPolicyOptions options;
  options.MaximumLength = 63;
  EXPECT_THROW(CreateNistPolicy(options), EKLException);
  options.MaximumLength = 128;
  options.MinimumStrengthScore = 5;
  EXPECT_THROW(CreateNistPolicy(options), EKLException);
  options.MinimumStrengthScore = 0;
  EXPECT_TRUE(CreateNistPolicy(options)->GetFailures(String(128, u'y')).empty());
}

} // namespace
} // namespace kl
