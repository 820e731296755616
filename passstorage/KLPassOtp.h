#pragma once

#include <cstdint>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "foundation/Types.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

inline constexpr const char* SWrongOtpSettings = "The one-time password settings cannot be read";
inline constexpr const char* SNoOtpSettings = "The record has no one-time password";

// The custom field that holds a record's one-time-password settings, as an
// otpauth:// URI; and the pair of fields older files keep them in instead.
inline constexpr const Char* KLOtpFieldName = u"otp";
inline constexpr const Char* KLOtpLegacySeedField = u"TOTP Seed";
inline constexpr const Char* KLOtpLegacySettingsField = u"TOTP Settings";

enum TKLOtpAlgorithm : std::int32_t { oaSHA1, oaSHA256, oaSHA512 };

// Bounds a setting must keep: anything else is refused rather than guessed.
inline constexpr std::int32_t KLOtpMinDigits = 6;
inline constexpr std::int32_t KLOtpMaxDigits = 10;
inline constexpr std::int32_t KLOtpSteamDigits = 5; // Steam Guard's five letters and digits
inline constexpr std::int32_t KLOtpMaxPeriod = 86400;
inline constexpr std::size_t KLOtpMaxSecretSize = 1024;

// Time-based one-time-password settings (RFC 6238): the shared secret (wiped
// with the object), the HMAC's hash, the number of digits, the period in
// seconds, and whether codes are Steam's five characters instead of digits.
// Not copyable; the secret is wiped when the settings go.
struct KL_API TKLOtpSettings {
  SecureBytes Secret;
  TKLOtpAlgorithm Algorithm = oaSHA1;
  std::int32_t Digits = 6;
  std::int32_t Period = 30;
  bool Steam = false;
};

// Reads an otpauth://totp/ URI as KeePassXC writes it: secret (Base32, case
// and padding ignored), and optionally algorithm (SHA1, SHA256, SHA512),
// digits, period and encoder=steam; other parameters (issuer) are ignored.
// Raises EKLPassStorageException (SWrongOtpSettings) for anything else,
// HOTP's counter-based URIs included.
KL_API void ParseOtpUri(const String& Uri, TKLOtpSettings& Settings);

// The settings of Rec: its "otp" field, or else the legacy pair "TOTP Seed"
// (Base32 secret, or a URI) and "TOTP Settings" ("period;digits", digits "S"
// for Steam; 30;6 when absent). SNoOtpSettings when it has neither,
// SWrongOtpSettings when they cannot be read. Stamps the access time.
KL_API void GetRecordOtp(TKLPassRecord& Rec, TKLOtpSettings& Settings);

// The code valid at UnixTime (seconds since 1970 UTC, not the record's local
// clock; 0 or later), so that callers and tests choose the time.
KL_API String TotpCode(const TKLOtpSettings& Settings, std::int64_t UnixTime);
// Seconds from UnixTime until the code changes (1 to Period).
KL_API std::int32_t TotpSecondsLeft(const TKLOtpSettings& Settings, std::int64_t UnixTime);

} // namespace kl
