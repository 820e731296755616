#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "rules/KLRules.h"

namespace kl {

inline constexpr std::size_t kHistorySaltedHashSize = 32;
inline constexpr std::size_t kHistoryMaxSaltSize = 1024;
// Ceilings on the cost of one Argon2id string, so that a stored string cannot
// make a check take unbounded time or memory.
inline constexpr std::uint64_t kHistoryMaxMemoryKiB = 1024 * 1024;
inline constexpr std::uint32_t kHistoryMaxPasses = 32;

inline constexpr const char* SHistoryBadSaltedHash =
    "A salted password hash must have a salt and a 32-byte SHA-256 hash";
inline constexpr const char* SHistoryBadPasswordHash =
    "The password hash is not an Argon2id string ($argon2id$v=19$m=...,t=...,p=1$...) within the cost limits";

// False when the password is one of the user's earlier passwords, known only by
// their hashes: salted SHA-256 (over the salt, then the UTF-8 password, as the
// user databases keep them) or Argon2id strings in the PHC format. Hashes are
// checked in constant time; password copies are wiped. A bad hash is refused
// with EKLException when added. Must not change while another thread checks.
class KL_API TKLHistoryRule : public TKLPasswordRule {
public:
  TKLHistoryRule() = default;

  void AddSaltedHash(const ByteArray& Salt, const ByteArray& Hash);
  void AddPasswordHash(const std::string& Encoded);
  std::int32_t GetCount() const noexcept { return static_cast<std::int32_t>(FSalted.size() + FEncoded.size()); }

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  struct TSaltedHash {
    ByteArray Salt;
    ByteArray Hash;
  };

  std::vector<TSaltedHash> FSalted;
  std::vector<std::string> FEncoded;
};

} // namespace kl
