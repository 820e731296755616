#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "foundation/FileStream.h"
#include "foundation/MemoryStream.h"
#include "passwords/DataProtection.h"
#include "passwords/KLPasswords.h"
#include "passwords/KeyStoreFixture.h"
#include "rules/KLRules.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::KeyStoreTest;
using test::U;

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

template <class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const EKLPasswordError& e) {
    return e.GetMessage();
  }
  return "";
}

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

// ---- Protection ----

class PasswordProtectionTest : public KeyStoreTest {};

TEST_F(PasswordProtectionTest, FileRoundTripKeepsEveryCharacterInBothScopes) {
  const String values[] = {u"", u"p", U("pässwörd €uro ☃ 𝄞"), String(500, u'Z'), String(1, u'\0') + u"nul"};
  for (const bool shared : {false, true}) {
    for (const String& value : values) {
      TKLPassword saved(value);
      saved.SetShared(shared);
      saved.SaveToFile(FTemp.FileU("password.bin"));
      TKLPassword loaded(u"previous");
      loaded.LoadFromFile(FTemp.FileU("password.bin"));
      EXPECT_EQ(loaded.GetValue(), value) << "shared " << shared;
      EXPECT_FALSE(loaded.GetShared());
    }
  }
}

TEST_F(PasswordProtectionTest, StreamRoundTripAndByteArrayForms) {
  TKLPassword saved(U("Grüße"));
  TMemoryStream stream;
  saved.SaveToStream(stream);
  stream.SetPosition(0);
  TKLPassword loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.GetValue(), U("Grüße"));
  EXPECT_EQ(saved.Load(saved.Save()), U("Grüße"));
  EXPECT_EQ(saved.Load(stream.ToBytes()), U("Grüße"));
}

TEST_F(PasswordProtectionTest, SharedValueLoadsForAnotherUserOfTheMachineAndPrivateOneDoesNot) {
  TKLPassword shared(u"for everyone");
  shared.SetShared(true);
  TKLPassword personal(u"for me");
  const ByteArray sharedBlob = shared.Save();
  const ByteArray personalBlob = personal.Save();
  UseKeyDir("another-user");
  TKLPassword other;
  other.Save(); // the other user gets a key of their own
  EXPECT_EQ(other.Load(sharedBlob), u"for everyone");
  EXPECT_EQ(MessageOf([&] { other.Load(personalBlob); }),
            "Failed to load data using DPAPI (Windows error: " + std::to_string(dpeAuthenticationFailed) + ")");
}

TEST_F(PasswordProtectionTest, FailedLoadsKeepThePreviousValue) {
  TKLPassword password(u"secret");
  TMemoryStream saved;
  password.SaveToStream(saved);
  ByteArray tampered = saved.ToBytes();
  tampered[tampered.size() / 2] ^= 0x80;

  TKLPassword target(u"keep me");
  // Not at the start: the total size is more than what remains.
  saved.SetPosition(1);
  EXPECT_THROW(target.LoadFromStream(saved), EReadError);
  EXPECT_EQ(target.GetValue(), u"keep me");

  const struct {
    ByteArray Bytes;
    std::int32_t Error;
  } cases[] = {{tampered, dpeAuthenticationFailed}, {{}, dpeMalformedBlob}, {ByteArray(100, 7), dpeMalformedBlob}};
  for (const auto& c : cases) {
    TMemoryStream stream(c.Bytes);
    EXPECT_EQ(MessageOf([&] { target.LoadFromStream(stream); }),
              "Failed to load data using DPAPI (Windows error: " + std::to_string(c.Error) + ")");
    EXPECT_EQ(target.GetValue(), u"keep me");
  }
}

TEST_F(PasswordProtectionTest, MissingKeyFailsWithTheLoadMessage) {
  const ByteArray blob = TKLPassword(u"x").Save();
  UseKeyDir("nobody");
  EXPECT_EQ(MessageOf([&] { TKLPassword().Load(blob); }),
            "Failed to load data using DPAPI (Windows error: " + std::to_string(ENOENT) + ")");
}

TEST_F(PasswordProtectionTest, FailedSaveLeavesTheFileAsItWas) {
  TKLPassword password(u"first");
  password.SaveToFile(FTemp.FileU("password.bin"));
  const std::string before = test::ReadFileBytes(FTemp.File("password.bin"));
  ::chmod(FKeyDir.c_str(), 0755);
  password.SetValue(u"second");
  EXPECT_EQ(MessageOf([&] { password.SaveToFile(FTemp.FileU("password.bin")); }),
            "Failed to save data using DPAPI (Windows error: " + std::to_string(dpeInsecureKeyStore) + ")");
  EXPECT_EQ(test::ReadFileBytes(FTemp.File("password.bin")), before);
  ::chmod(FKeyDir.c_str(), 0700);
  TKLPassword loaded;
  loaded.LoadFromFile(FTemp.FileU("password.bin"));
  EXPECT_EQ(loaded.GetValue(), u"first");
}

TEST_F(PasswordProtectionTest, MissingFileRaisesTheFileError) {
  TKLPassword password(u"keep");
  EXPECT_THROW(password.LoadFromFile(FTemp.FileU("absent.bin")), EFOpenError);
  EXPECT_EQ(password.GetValue(), u"keep");
}

} // namespace
} // namespace kl
