#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "passstorage/KLPassOtp.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::U;

TKLOtpAlgorithm AlgorithmNamed(const std::string& Name) {
  if (Name == "SHA256") return oaSHA256;
  if (Name == "SHA512") return oaSHA512;
  return oaSHA1;
}

TEST(PassOtp, KnownAnswers) {
  const auto rows = test::ReadVectorFile("totp.txt");
  ASSERT_GE(rows.size(), 30u);
  for (const auto& row : rows) {
    TKLOtpSettings settings;
    settings.Algorithm = AlgorithmNamed(row[0]);
    settings.Secret.Get() = test::Hex(row[1]);
    settings.Digits = std::stoi(row[3]);
    settings.Period = std::stoi(row[4]);
    EXPECT_EQ(TotpCode(settings, std::stoll(row[2])), U(row[5])) << row[0] << " at " << row[2];
  }
}

// The secret below is Base32 for "Hello!\xDE\xAD\xBE\xEF".
struct UriCase {
  const char* uri;
  const char* code; // at 1234567890; nullptr when the URI is refused
};

class PassOtpUri : public ::testing::TestWithParam<UriCase> {};

TEST_P(PassOtpUri, GivesTheCodeOrRefuses) {
  TKLOtpSettings settings;
  if (GetParam().code == nullptr) {
    EXPECT_EQ(test::MessageOf([&] { ParseOtpUri(U(GetParam().uri), settings); }), SWrongOtpSettings);
    EXPECT_EQ(settings.Secret.size(), 0u) << "a refused URI changes nothing";
    return;
  }
  ParseOtpUri(U(GetParam().uri), settings);
  EXPECT_EQ(TotpCode(settings, 1234567890), U(GetParam().code));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassOtpUri,
    ::testing::Values(
        UriCase{"otpauth://totp/Example:alice@example.org?secret=JBSWY3DPEHPK3PXP&issuer=Example", "742275"},
        UriCase{"otpauth://totp/x?secret=jbsw%20y3dp-ehpk3pxp%3D%3D&period=30&digits=6&algorithm=SHA1", "742275"},
        UriCase{"OTPAUTH://TOTP/x?SECRET=JBSWY3DPEHPK3PXP&Algorithm=sha256&period=60&digits=8", "45806924"},
        UriCase{"otpauth://totp/x?period=45&digits=7&secret=JBSWY3DPEHPK3PXP", "2226153"},
        UriCase{"otpauth://totp/Steam:bob?secret=JBSWY3DPEHPK3PXP&issuer=Steam&encoder=steam", "K8G5W"},
        UriCase{"otpauth://hotp/x?secret=JBSWY3DPEHPK3PXP&counter=1", nullptr},
        UriCase{"otpauth://totp/x?issuer=none", nullptr},
        UriCase{"otpauth://totp/x", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DP1HPK3PXP", nullptr},
        UriCase{"otpauth://totp/x?secret=", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&digits=5", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&digits=11", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&period=0", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&period=86401", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&algorithm=MD5", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&encoder=base64", nullptr},
        UriCase{"otpauth://totp/x?secret=JBSW%2", nullptr}));

TEST(PassOtp, RecordSettingsComeFromTheOtpFieldOrTheLegacyPair) {
  TKLOtpSettings settings;
  TKLPassRecord rec;
  EXPECT_EQ(test::MessageOf([&] { GetRecordOtp(rec, settings); }), SNoOtpSettings);

  rec.SetCustomField(KLOtpLegacySeedField, u"JBSWY3DPEHPK3PXP", true);
  GetRecordOtp(rec, settings);
  EXPECT_EQ(TotpCode(settings, 1234567890), u"742275"); // 30;6 when there are no settings
  rec.SetCustomField(KLOtpLegacySettingsField, u"45;7");
  GetRecordOtp(rec, settings);
  EXPECT_EQ(TotpCode(settings, 1234567890), u"2226153");
  rec.SetCustomField(KLOtpLegacySettingsField, u"30;S");
  GetRecordOtp(rec, settings);
  EXPECT_EQ(TotpCode(settings, 1234567890), u"K8G5W");
  rec.SetCustomField(KLOtpLegacySettingsField, u"30");
  EXPECT_EQ(test::MessageOf([&] { GetRecordOtp(rec, settings); }), SWrongOtpSettings);

  // The otp field wins over the legacy pair.
  rec.SetCustomField(KLOtpFieldName, u"otpauth://totp/x?secret=JBSWY3DPEHPK3PXP&algorithm=SHA256&period=60&digits=8");
  GetRecordOtp(rec, settings);
  EXPECT_EQ(TotpCode(settings, 1234567890), u"45806924");
}

TEST(PassOtp, SecondsLeftCountDownToTheNextPeriod) {
  TKLOtpSettings settings;
  settings.Secret.Get() = ByteArray(10, 1);
  EXPECT_EQ(TotpSecondsLeft(settings, 0), 30);
  EXPECT_EQ(TotpSecondsLeft(settings, 29), 1);
  EXPECT_EQ(TotpSecondsLeft(settings, 30), 30);
  EXPECT_EQ(TotpCode(settings, 30), TotpCode(settings, 59));
  EXPECT_NE(TotpCode(settings, 29), TotpCode(settings, 30));
  EXPECT_EQ(test::MessageOf([&] { TotpCode(settings, -1); }), SWrongOtpSettings);
}

} // namespace
} // namespace kl
