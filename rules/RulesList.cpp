#include <utility>

#include "rules/KLRules.h"

namespace kl {

TKLPasswordRule::~TKLPasswordRule() = default;

void TKLPasswordRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (!Validate(Password)) Failures.emplace_back(kRuleFailed);
}

TKLPasswordRulesList::TKLPasswordRulesList() = default;

TKLPasswordRulesList::~TKLPasswordRulesList() {
  for (TKLPasswordRule* rule : FList) delete rule;
}

void TKLPasswordRulesList::CheckAddable(const TKLPasswordRule* Rule) const {
  if (Rule == nullptr) throw EKLException(SRuleIsEmpty);
  if (FMembers.contains(Rule)) throw EKLException(SRuleAlreadyInList);
}

// The membership set is grown first, so that a failure to grow either container
// leaves both as they were.
std::int32_t TKLPasswordRulesList::Add(TKLPasswordRule* Rule) {
  CheckAddable(Rule);
  FMembers.insert(Rule);
  try {
    return FList.Add(Rule);
  } catch (...) {
    FMembers.erase(Rule);
    throw;
  }
}

std::int32_t TKLPasswordRulesList::Add(std::unique_ptr<TKLPasswordRule>&& Rule) {
  const std::int32_t index = Add(Rule.get());
  Rule.release();
  return index;
}

void TKLPasswordRulesList::Add(std::span<TKLPasswordRule* const> Rules) {
  std::unordered_set<const TKLPasswordRule*> batch;
  batch.reserve(Rules.size());
  for (const TKLPasswordRule* rule : Rules) {
    CheckAddable(rule);
    if (!batch.insert(rule).second) throw EKLException(SRuleAlreadyInList);
  }
  std::size_t added = 0;
  try {
    for (; added < Rules.size(); ++added) Add(Rules[added]);
  } catch (...) {
    // Only running out of memory gets here; take back what went in.
    for (; added > 0; --added) {
      FMembers.erase(Rules[added - 1]);
      FList.Delete(FList.GetCount() - 1);
    }
    throw;
  }
}

void TKLPasswordRulesList::Add(std::initializer_list<TKLPasswordRule*> Rules) {
  Add(std::span<TKLPasswordRule* const>(Rules.begin(), Rules.size()));
}

void TKLPasswordRulesList::Delete(std::int32_t Index) {
  const TKLPasswordRule* rule = FList.Get(Index);
  FList.Delete(Index);
  FMembers.erase(rule);
}

TKLRuleFailures TKLPasswordRulesList::GetFailures(const String& Password) const {
  TKLRuleFailures failures;
  for (const TKLPasswordRule* rule : FList) rule->CollectFailures(Password, failures);
  return failures;
}

TKLPasswordRule* TKLPasswordRulesList::GetRule(std::int32_t Index) const { return FList.Get(Index); }

} // namespace kl
