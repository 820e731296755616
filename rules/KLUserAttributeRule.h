#pragma once

#include <string_view>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "rules/KLRuleFailures.h"
#include "rules/KLRules.h"

namespace kl {

inline constexpr double KLDefaultMaxSimilarity = 0.7;

inline constexpr const char* SInvalidMaxSimilarity = "The maximum similarity must lie between 0.1 and 1";

// One thing the user is known by: its name as the message shows it ("user
// name", "e-mail address") and its value ("alice", "alice@example.com").
struct TKLUserAttribute {
  String Name;
  String Value;
};

// False when the password is built on one of the user's attributes. Each value
// is compared whole and in parts (split at every character that is not a
// letter, digit or underscore: an e-mail address gives its local part and each
// label of its domain), in blocklist form (NFKC, trimmed, lower case):
//  - similar: twice the characters the password and the part have in common
//    (counted with repetition, in any order), over their two lengths, reaches
//    MaxSimilarity (0.7 by default), unless the password is at least ten
//    times the part's length and the part shorter than MaxSimilarity / 2 of
//    it, which can never reach it;
//  - contained: the password holds the whole value (3 characters or more) or
//    a part of 4 or more ("alice-alice-2024-x" for "alice").
// Fails with kTooSimilar, its "attribute" the first attribute that matches.
// Work is linear in the lengths. Raises EKLException for a MaxSimilarity
// outside 0.1 to 1. Plain value; both checks only read.
class KL_API TKLUserAttributeRule : public TKLPasswordRule {
public:
  explicit TKLUserAttributeRule(std::vector<TKLUserAttribute> Attributes,
                                double MaxSimilarity = KLDefaultMaxSimilarity);
  ~TKLUserAttributeRule() override;

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  // The attribute the password is built on, or nullptr.
  const TKLUserAttribute* Match(const String& Password) const;

  struct TPart {
    String Text; // in blocklist form
    bool Whole;
  };
  struct TPrepared {
    const TKLUserAttribute* Attribute;
    std::vector<TPart> Parts;
  };
  std::vector<TKLUserAttribute> FAttributes;
  std::vector<TPrepared> FPrepared;
  double FMaxSimilarity;
};

} // namespace kl
