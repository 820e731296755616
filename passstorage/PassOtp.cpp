#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "crypto/KLHMAC.h"
#include "crypto/SHA1.h"
#include "foundation/Convert.h"
#include "passstorage/KLPassOtp.h"

namespace kl {

namespace {

[[noreturn]] void RaiseWrong() { throw EKLPassStorageException(SWrongOtpSettings); }

// Base32 (RFC 4648) without regard to case, padding or spaces, which
// authenticators add when they show a secret in groups.
void DecodeBase32(std::u16string_view Text, SecureBytes& Out) {
  ByteArray& bytes = Out.Get();
  WipeBytes(bytes);
  bytes.reserve(Text.size() * 5 / 8 + 1);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char16_t c : Text) {
    std::uint32_t value = 0;
    if (c >= u'A' && c <= u'Z') {
      value = c - u'A';
    } else if (c >= u'a' && c <= u'z') {
      value = c - u'a';
    } else if (c >= u'2' && c <= u'7') {
      value = c - u'2' + 26;
    } else if (c == u'=' || c == u' ' || c == u'-') {
      continue;
    } else {
      RaiseWrong();
    }
    buffer = (buffer << 5) | value;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(buffer >> bits));
      buffer &= (1u << bits) - 1;
    }
  }
  buffer = 0;
  if (bytes.empty() || bytes.size() > KLOtpMaxSecretSize) RaiseWrong();
}

int HexValue(char16_t c) noexcept {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Percent-decoding of one query value; the result is read as UTF-8.
String PercentDecoded(std::u16string_view Text) {
  std::string bytes;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == u'%' && i + 2 < Text.size() && HexValue(Text[i + 1]) >= 0 && HexValue(Text[i + 2]) >= 0) {
      bytes += static_cast<char>(HexValue(Text[i + 1]) * 16 + HexValue(Text[i + 2]));
      i += 2;
    } else if (Text[i] == u'%') {
      RaiseWrong();
    } else if (Text[i] < 0x80) {
      bytes += static_cast<char>(Text[i]);
    } else {
      bytes += StrToUTF8(String(1, Text[i]));
    }
  }
  String out = UTF8ToStr(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  WipeRawBytes(bytes);
  return out;
}

// A whole decimal number from 1 to Max; anything else raises.
std::int32_t ParseSetting(std::u16string_view Text, std::int32_t Max) {
  if (Text.empty() || Text.size() > 6) RaiseWrong();
  std::int32_t value = 0;
  for (const char16_t c : Text) {
    if (c < u'0' || c > u'9') RaiseWrong();
    value = value * 10 + (c - u'0');
  }
  if (value < 1 || value > Max) RaiseWrong();
  return value;
}

void CheckDigits(const TKLOtpSettings& Settings) {
  if (Settings.Steam ? Settings.Digits != KLOtpSteamDigits
                     : Settings.Digits < KLOtpMinDigits || Settings.Digits > KLOtpMaxDigits) {
    RaiseWrong();
  }
}

bool EqualsIgnoringCase(std::u16string_view A, std::u16string_view B) noexcept {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char16_t x, char16_t y) {
           const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// HMAC-SHA-1 over the 8-byte counter, from the one-shot SHA-1: the message
// is short enough to hash with each padded key in one buffer.
void HmacSha1(const ByteArray& Key, const std::uint8_t (&Message)[8], std::uint8_t (&Out)[detail::SHA1DigestSize]) {
  std::uint8_t block[64] = {};
  if (Key.size() > sizeof(block)) {
    std::uint8_t digest[detail::SHA1DigestSize];
    detail::SHA1(Key.data(), Key.size(), digest);
    std::memcpy(block, digest, sizeof(digest));
    SecureZero(digest, sizeof(digest));
  } else if (!Key.empty()) {
    std::memcpy(block, Key.data(), Key.size());
  }
  std::uint8_t inner[64 + 8];
  std::uint8_t outer[64 + detail::SHA1DigestSize];
  for (std::size_t i = 0; i < 64; ++i) {
    inner[i] = block[i] ^ 0x36;
    outer[i] = block[i] ^ 0x5C;
  }
  std::memcpy(inner + 64, Message, 8);
  std::uint8_t innerDigest[detail::SHA1DigestSize];
  detail::SHA1(inner, sizeof(inner), innerDigest);
  std::memcpy(outer + 64, innerDigest, sizeof(innerDigest));
  detail::SHA1(outer, sizeof(outer), Out);
  SecureZero(block, sizeof(block));
  SecureZero(inner, sizeof(inner));
  SecureZero(outer, sizeof(outer));
  SecureZero(innerDigest, sizeof(innerDigest));
}

// The dynamic truncation of RFC 4226: 31 bits from the offset the last
// nibble names.
std::uint32_t Truncate(const std::uint8_t* Mac, std::size_t Size) noexcept {
  const std::size_t offset = Mac[Size - 1] & 0x0F;
  return (static_cast<std::uint32_t>(Mac[offset] & 0x7F) << 24) | (static_cast<std::uint32_t>(Mac[offset + 1]) << 16) |
         (static_cast<std::uint32_t>(Mac[offset + 2]) << 8) | Mac[offset + 3];
}

std::uint32_t HotpValue(const TKLOtpSettings& Settings, std::uint64_t Counter) {
  std::uint8_t message[8];
  for (int i = 0; i < 8; ++i) message[i] = static_cast<std::uint8_t>(Counter >> (8 * (7 - i)));
  const ByteArray& key = Settings.Secret.Get();
  std::uint32_t value = 0;
  switch (Settings.Algorithm) {
    case oaSHA1: {
      std::uint8_t mac[detail::SHA1DigestSize];
      HmacSha1(key, message, mac);
      value = Truncate(mac, sizeof(mac));
      SecureZero(mac, sizeof(mac));
      break;
    }
    case oaSHA256: {
      // The digest's words hold its bytes in order.
      TMessageDigest256 digest = MAC256Calculate(ByteArray(message, message + 8), key);
      std::uint8_t mac[sizeof(digest)];
      std::memcpy(mac, &digest, sizeof(mac));
      value = Truncate(mac, sizeof(mac));
      SecureZeroObject(digest);
      SecureZero(mac, sizeof(mac));
      break;
    }
    case oaSHA512: {
      crypto_auth_hmacsha512_state state;
      std::uint8_t mac[crypto_auth_hmacsha512_BYTES];
      crypto_auth_hmacsha512_init(&state, key.data(), key.size());
      crypto_auth_hmacsha512_update(&state, message, sizeof(message));
      crypto_auth_hmacsha512_final(&state, mac);
      value = Truncate(mac, sizeof(mac));
      SecureZero(&state, sizeof(state));
      SecureZero(mac, sizeof(mac));
      break;
    }
    default:
      RaiseWrong();
  }
  return value;
}

void CheckSettings(const TKLOtpSettings& Settings) {
  if (Settings.Secret.size() == 0 || Settings.Secret.size() > KLOtpMaxSecretSize) RaiseWrong();
  if (Settings.Period < 1 || Settings.Period > KLOtpMaxPeriod) RaiseWrong();
  CheckDigits(Settings);
}

// Settings take Parsed's values only once they are known to be usable, so a
// refused text leaves them as they were.
void AdoptSettings(TKLOtpSettings& Parsed, TKLOtpSettings& Settings) {
  CheckSettings(Parsed);
  Settings.Secret.Get().swap(Parsed.Secret.Get());
  Settings.Algorithm = Parsed.Algorithm;
  Settings.Digits = Parsed.Digits;
  Settings.Period = Parsed.Period;
  Settings.Steam = Parsed.Steam;
}

} // namespace

void ParseOtpUri(const String& Uri, TKLOtpSettings& Settings) {
  static constexpr std::u16string_view kScheme = u"otpauth://totp/";
  const std::u16string_view uri(Uri);
  if (uri.size() < kScheme.size() || !EqualsIgnoringCase(uri.substr(0, kScheme.size()), kScheme)) RaiseWrong();
  const std::size_t query = uri.find(u'?');
  if (query == std::u16string_view::npos) RaiseWrong();
  TKLOtpSettings parsed;
  bool secret = false;
  for (std::size_t start = query + 1; start <= uri.size();) {
    std::size_t end = uri.find(u'&', start);
    if (end == std::u16string_view::npos) end = uri.size();
    const std::u16string_view pair = uri.substr(start, end - start);
    const std::size_t equals = pair.find(u'=');
    const std::u16string_view name = pair.substr(0, equals);
    const std::u16string_view value = equals == std::u16string_view::npos ? std::u16string_view() : pair.substr(equals + 1);
    if (EqualsIgnoringCase(name, u"secret")) {
      String text = PercentDecoded(value);
      DecodeBase32(text, parsed.Secret);
      WipeString(text);
      secret = true;
    } else if (EqualsIgnoringCase(name, u"algorithm")) {
      const String algorithm = PercentDecoded(value);
      if (EqualsIgnoringCase(algorithm, u"SHA1")) {
        parsed.Algorithm = oaSHA1;
      } else if (EqualsIgnoringCase(algorithm, u"SHA256")) {
        parsed.Algorithm = oaSHA256;
      } else if (EqualsIgnoringCase(algorithm, u"SHA512")) {
        parsed.Algorithm = oaSHA512;
      } else {
        RaiseWrong();
      }
    } else if (EqualsIgnoringCase(name, u"digits")) {
      parsed.Digits = ParseSetting(value, KLOtpMaxDigits);
    } else if (EqualsIgnoringCase(name, u"period")) {
      parsed.Period = ParseSetting(value, KLOtpMaxPeriod);
    } else if (EqualsIgnoringCase(name, u"encoder")) {
      if (!EqualsIgnoringCase(value, u"steam")) RaiseWrong();
      parsed.Steam = true;
    }
    start = end + 1;
  }
  if (parsed.Steam) parsed.Digits = KLOtpSteamDigits;
  if (!secret) RaiseWrong();
  AdoptSettings(parsed, Settings);
}

void GetRecordOtp(TKLPassRecord& Rec, TKLOtpSettings& Settings) {
  TKLPassField field;
  if (Rec.FindCustomField(KLOtpFieldName, field)) {
    ParseOtpUri(field.Value, Settings);
    WipeString(field.Value);
    return;
  }
  if (!Rec.FindCustomField(KLOtpLegacySeedField, field)) throw EKLPassStorageException(SNoOtpSettings);
  if (field.Value.starts_with(u"otpauth://") || field.Value.starts_with(u"OTPAUTH://")) {
    ParseOtpUri(field.Value, Settings);
    WipeString(field.Value);
    return;
  }
  TKLOtpSettings parsed;
  DecodeBase32(field.Value, parsed.Secret);
  WipeString(field.Value);
  if (Rec.FindCustomField(KLOtpLegacySettingsField, field)) {
    const std::u16string_view value(field.Value);
    const std::size_t semicolon = value.find(u';');
    if (semicolon == std::u16string_view::npos) RaiseWrong();
    parsed.Period = ParseSetting(value.substr(0, semicolon), KLOtpMaxPeriod);
    const std::u16string_view digits = value.substr(semicolon + 1);
    if (digits == u"S") {
      parsed.Steam = true;
      parsed.Digits = KLOtpSteamDigits;
    } else {
      parsed.Digits = ParseSetting(digits, KLOtpMaxDigits);
    }
  }
  AdoptSettings(parsed, Settings);
}

String TotpCode(const TKLOtpSettings& Settings, std::int64_t UnixTime) {
  CheckSettings(Settings);
  if (UnixTime < 0) RaiseWrong();
  std::uint32_t value = HotpValue(Settings, static_cast<std::uint64_t>(UnixTime / Settings.Period));
  String code(static_cast<std::size_t>(Settings.Digits), u'0');
  if (Settings.Steam) {
    static constexpr char16_t kSteam[] = u"23456789BCDFGHJKMNPQRTVWXY";
    constexpr std::uint32_t radix = std::size(kSteam) - 1;
    for (char16_t& c : code) {
      c = kSteam[value % radix];
      value /= radix;
    }
    return code;
  }
  // The low Digits decimal digits, most significant first; ten digits read
  // the whole 31-bit value.
  for (std::size_t i = code.size(); i-- > 0;) {
    code[i] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  }
  return code;
}

std::int32_t TotpSecondsLeft(const TKLOtpSettings& Settings, std::int64_t UnixTime) {
  CheckSettings(Settings);
  if (UnixTime < 0) RaiseWrong();
  return static_cast<std::int32_t>(Settings.Period - UnixTime % Settings.Period);
}

} // namespace kl
