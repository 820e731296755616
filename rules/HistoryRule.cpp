#include <algorithm>
#include <cstring>

#include "crypto/KLPasswordHash.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/KLHistoryRule.h"

namespace kl {

namespace {

// Longer than any string an Argon2 implementation writes for a usual salt and
// tag; the stored strings are checked again by the hash unit's own parser.
constexpr std::size_t kMaxEncodedSize = 256;

// The most one stored string may cost to check: the rule runs for every
// password a user tries.
TKLPasswordHashParameters HistoryBounds() {
  TKLPasswordHashParameters bounds;
  bounds.MaxMemoryKiB = static_cast<std::uint32_t>(kHistoryMaxMemoryKiB);
  bounds.MaxPasses = kHistoryMaxPasses;
  return bounds;
}

bool IsAcceptableArgon2id(const std::string& Encoded) {
  if (Encoded.size() > kMaxEncodedSize || Encoded.find('\0') != std::string::npos) return false;
  try {
    const TKLPasswordHashInfo info = DescribePasswordHash(UTF8ToStr(Encoded));
    return info.Algorithm == u"argon2id" && info.Version == 19 && info.MemoryKiB <= kHistoryMaxMemoryKiB &&
           info.Passes <= kHistoryMaxPasses;
  } catch (const EKLPasswordHashError&) {
    return false;
  }
}

} // namespace

void TKLHistoryRule::AddSaltedHash(const ByteArray& Salt, const ByteArray& Hash) {
  if (Salt.empty() || Salt.size() > kHistoryMaxSaltSize || Hash.size() != kHistorySaltedHashSize)
    throw EKLException(SHistoryBadSaltedHash);
  FSalted.push_back({Salt, Hash});
}

void TKLHistoryRule::AddPasswordHash(const std::string& Encoded) {
  if (!IsAcceptableArgon2id(Encoded)) throw EKLException(SHistoryBadPasswordHash);
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
  // Text with an unpaired surrogate was never hashed into a string: it matches
  // none of them.
  if (IsValidUTF16(Password)) {
    for (const std::string& encoded : FEncoded) found |= VerifyPassword(UTF8ToStr(encoded), Password, HistoryBounds());
  }
  WipeRawBytes(utf8);
  return !found;
}

void TKLHistoryRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (!Validate(Password)) Failures.emplace_back(kHistoryViolation).AddNumber("count", GetCount());
}

} // namespace kl
