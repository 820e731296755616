#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "crypto/Argon2id.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/KLHistoryRule.h"

namespace kl {

namespace {

constexpr std::string_view kArgon2idPrefix = "$argon2id$v=19$m=";

// Reads the decimal number at Text[Pos] up to Stop; false when there is none.
bool ReadNumber(const std::string& Text, std::size_t& Pos, char Stop, std::uint64_t& Value) {
  const char* first = Text.data() + Pos;
  const char* last = Text.data() + Text.size();
  const auto [end, error] = std::from_chars(first, last, Value);
  if (error != std::errc() || end == first || end == last || *end != Stop) return false;
  Pos = static_cast<std::size_t>(end - Text.data()) + 1;
  return true;
}

// "$argon2id$v=19$m=M,t=T,p=1$" with M and T within the ceilings; libsodium
// checks the rest of the string when it verifies.
bool IsAcceptableArgon2id(const std::string& Encoded) {
  if (Encoded.size() >= crypto_pwhash_STRBYTES || Encoded.compare(0, kArgon2idPrefix.size(), kArgon2idPrefix) != 0 ||
      Encoded.find('\0') != std::string::npos) {
    return false;
  }
  std::size_t pos = kArgon2idPrefix.size();
  std::uint64_t memory = 0, passes = 0, lanes = 0;
  if (!ReadNumber(Encoded, pos, ',', memory) || Encoded.compare(pos, 2, "t=") != 0) return false;
  pos += 2;
  if (!ReadNumber(Encoded, pos, ',', passes) || Encoded.compare(pos, 2, "p=") != 0) return false;
  pos += 2;
  if (!ReadNumber(Encoded, pos, '$', lanes)) return false;
  return memory >= detail::Argon2idMinMemoryKiB && memory <= kHistoryMaxMemoryKiB && passes >= 1 &&
         passes <= kHistoryMaxPasses && lanes == 1;
}

} // namespace

void TKLHistoryRule::AddSaltedHash(const ByteArray& Salt, const ByteArray& Hash) {
  if (Salt.empty() || Salt.size() > kHistoryMaxSaltSize || Hash.size() != kHistorySaltedHashSize)
    throw EKLException(SHistoryBadSaltedHash);
  FSalted.push_back({Salt, Hash});
}

void TKLHistoryRule::AddPasswordHash(const std::string& Encoded) {
  if (!IsAcceptableArgon2id(Encoded)) throw EKLException(SHistoryBadPasswordHash);
  detail::SodiumInitialize();
  // Its answer on a well-formed string is 0 or 1; -1 means libsodium cannot read it.
  if (crypto_pwhash_str_needs_rehash(Encoded.c_str(), crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN) < 0) {
    throw EKLException(SHistoryBadPasswordHash);
  }
  FEncoded.push_back(Encoded);
}

// Every hash is tried, so the time taken does not tell which one matched.
bool TKLHistoryRule::Validate(const String& Password) const {
  if (GetCount() == 0) return true;
  RawByteString utf8 = StrToUTF8(Password);
  bool found = false;
  for (const TSaltedHash& entry : FSalted) {
    TSHA256Context context;
    const WipeOnExit<TSHA256Context> wipeContext(context);
    SHA256Initialize(context);
    SHA256Update(context, entry.Salt.data(), static_cast<std::uint32_t>(entry.Salt.size()));
    constexpr std::size_t chunk = std::size_t{1} << 30;
    for (std::size_t done = 0; done < utf8.size(); done += chunk) {
      const std::size_t n = std::min(chunk, utf8.size() - done);
      SHA256Update(context, utf8.data() + done, static_cast<std::uint32_t>(n));
    }
    TMessageDigest256 digest = SHA256Finalize(context);
    found |= ConstantTimeEqual(DigestBytes(digest), entry.Hash.data(), kHistorySaltedHashSize);
    SecureZeroObject(digest);
  }
  if (!FEncoded.empty()) detail::SodiumInitialize();
  for (const std::string& encoded : FEncoded) {
    found |= crypto_pwhash_str_verify(encoded.c_str(), utf8.data(), utf8.size()) == 0;
  }
  WipeRawBytes(utf8);
  return !found;
}

void TKLHistoryRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (!Validate(Password)) Failures.emplace_back(kHistoryViolation).AddNumber("count", GetCount());
}

} // namespace kl
