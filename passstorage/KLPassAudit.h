#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/Export.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

class TKLBlocklistFilter;

// What an audit finds wrong with a record's password; a record may have several.
enum TKLAuditFinding : std::uint32_t {
  afWeak = 1,        // the strength estimator scores it below the minimum
  afReused = 2,      // another record of the store has the same password
  afBlocklisted = 4, // on the library's common passwords or the given compiled list
  afOld = 8,         // not changed for longer than the maximum age
  afNoPassword = 16  // the record has no password at all
};

struct TKLAuditOptions {
  // Weak below this strength score (0 to 4); 0 finds none weak.
  std::int32_t MinScore = 3;
  // A compiled blocklist to look each password up in, besides the library's
  // common passwords; not owned, may be null.
  const TKLBlocklistFilter* Blocklist = nullptr;
  // Old when the record was last changed (created, if never changed) more than
  // this many days before Now; 0 finds none old.
  std::int32_t MaxAgeDays = 0;
  // The vault's clock (local wall-clock seconds); 0 reads it.
  std::int64_t Now = 0;
  // Told the records looked at so far and how many there are, every 64
  // records and at the end; must not throw.
  std::function<void(std::int32_t Done, std::int32_t Total)> Progress = {};
};

// One record with at least one finding, by its position in the store.
struct TKLAuditEntry {
  std::int32_t Index = 0;
  std::uint32_t Findings = 0; // TKLAuditFinding bits
  std::int32_t Score = 0;     // the estimator's score (0 for no password)
  std::int64_t AgeDays = 0;   // since the last change
  // Positions of the other records with the same password, in store order.
  std::vector<std::int32_t> SameAs;
};

struct TKLAuditReport {
  std::int32_t Records = 0;           // records looked at
  std::vector<TKLAuditEntry> Entries; // in store order
  std::int32_t Weak = 0, Reused = 0, Blocklisted = 0, Old = 0, NoPassword = 0;
  bool Clean() const noexcept { return Entries.empty(); }
};

// Looks at every record's password: weak, reused, blocklisted, old or absent.
// Passwords are compared without keeping them: each is reduced to an HMAC
// under a key drawn for this audit from the store's generator, and the key,
// the digests and each password's copy are wiped before the call returns.
// The estimator counts the record's title and user name as likely words.
// Reading the passwords stamps their access time, as every read does. Raises
// the blocklist's errors unchanged. One thread at a time, as the store.
KL_API TKLAuditReport AuditPassRecords(TKLPassStorage& Store, const TKLAuditOptions& Options = {});

} // namespace kl
