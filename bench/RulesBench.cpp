// Password-policy throughput: passwords per second checked against a policy of
// all twelve rules, per rule, and on long passwords to show linear growth.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rules/KLPolicies.h"
#include "rules/KLRules.h"

namespace {

using kl::String;

constexpr std::size_t kPasswordCount = 4096;
constexpr std::size_t kDictionaryWords = 10000;
constexpr int kRepetitions = 5;

String Ascii(const std::string& Text) { return String(Text.begin(), Text.end()); }

String RandomWord(std::mt19937& Rng, std::size_t MinLength, std::size_t MaxLength) {
  static constexpr char kLetters[] = "etaoinshrdlucmfwypvbgkjqxz";
  String word(MinLength + Rng() % (MaxLength - MinLength + 1), u'a');
  for (auto& c : word) c = static_cast<char16_t>(kLetters[Rng() % 26]);
  return word;
}

// A deterministic mix of what people type, 8 to 64 characters: random strings
// over printable ASCII, words with digits and symbols, and passphrases.
std::vector<String> RealisticPasswords() {
  std::mt19937 rng(42);
  std::vector<String> passwords;
  static constexpr char kSymbols[] = "!@#$%&*?-_.";
  while (passwords.size() < kPasswordCount) {
    String p;
    switch (passwords.size() % 3) {
      case 0:
        p.resize(8 + rng() % 57);
        for (auto& c : p) c = static_cast<char16_t>(u'!' + rng() % 94);
        break;
      case 1:
        p = RandomWord(rng, 5, 12);
        p[0] = static_cast<char16_t>(p[0] - u'a' + u'A');
        p += Ascii(std::to_string(rng() % 10000));
        p.push_back(static_cast<char16_t>(kSymbols[rng() % 11]));
        break;
      default:
        for (int words = 3 + static_cast<int>(rng() % 4); words > 0; --words) {
          p += RandomWord(rng, 3, 9);
          if (words > 1) p.push_back(rng() % 2 ? u' ' : u'-');
        }
        break;
    }
    if (p.size() >= 8 && p.size() <= 64) passwords.push_back(p);
  }
  return passwords;
}

std::unique_ptr<kl::TKLPasswordRulesList> Policy() {
  auto list = std::make_unique<kl::TKLPasswordRulesList>();
  auto allowed = std::make_unique<kl::TKLAllowedCharacterRule>();
  String printable;
  for (char16_t c = u' '; c <= u'~'; ++c) printable.push_back(c);
  allowed->SetAllowedChars(printable);
  auto dictionary = std::make_unique<kl::TKLDictionaryRule>();
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < kDictionaryWords; ++i) dictionary->AddWord(RandomWord(rng, 4, 12));

  list->Add(std::make_unique<kl::TKLUppercaseCharacterRule>());
  list->Add(std::make_unique<kl::TKLLowercaseCharacterRule>());
  list->Add(std::make_unique<kl::TKLDigitsRule>());
  list->Add(std::move(allowed));
  list->Add(std::make_unique<kl::TKLLengthRule>(8, 64));
  list->Add(std::make_unique<kl::TKLWhitespaceRule>());
  list->Add(std::make_unique<kl::TKLUsernameRule>(u"alice.smith"));
  list->Add(std::move(dictionary));
  list->Add(std::make_unique<kl::TKLQwertySequenceRule>(4));
  list->Add(std::make_unique<kl::TKLNumericalSequenceRule>(3));
  list->Add(std::make_unique<kl::TKLRepeatCharacterRule>(3));
  list->Add(std::make_unique<kl::TKLRegularExpressionRule>(u"(?i)p[a@4]ss|(19|20)[0-9]{2}$"));
  return list;
}

// Every rule is asked about every password, as an application that reports all
// failures does.
void BM_PolicyAllRules(benchmark::State& State) {
  const auto passwords = RealisticPasswords();
  const auto policy = Policy();
  std::size_t i = 0;
  for (auto _ : State) {
    const String& password = passwords[i++ % passwords.size()];
    int failed = 0;
    for (std::int32_t r = 0; r < policy->GetCount(); ++r) failed += !policy->GetRule(r)->Validate(password);
    benchmark::DoNotOptimize(failed);
  }
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_PolicyAllRules)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// The check stops at the first failing rule, as a yes-or-no policy check does.
void BM_PolicyFirstFailure(benchmark::State& State) {
  const auto passwords = RealisticPasswords();
  const auto policy = Policy();
  std::size_t i = 0;
  for (auto _ : State) {
    const String& password = passwords[i++ % passwords.size()];
    bool passed = true;
    for (std::int32_t r = 0; passed && r < policy->GetCount(); ++r) passed = policy->GetRule(r)->Validate(password);
    benchmark::DoNotOptimize(passed);
  }
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_PolicyFirstFailure)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Every failure with its details, as klpass check reports them.
void BM_PolicyAllFailures(benchmark::State& State) {
  const auto passwords = RealisticPasswords();
  const auto policy = Policy();
  std::size_t i = 0;
  for (auto _ : State) benchmark::DoNotOptimize(policy->GetFailures(passwords[i++ % passwords.size()]));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_PolicyAllFailures)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// The ready-made NIST policy (length and the 30,000 common passwords), every
// failure with its details.
void BM_NistPolicy(benchmark::State& State) {
  const auto passwords = RealisticPasswords();
  const auto policy = kl::CreateNistPolicy();
  std::size_t i = 0;
  for (auto _ : State) benchmark::DoNotOptimize(policy->GetFailures(passwords[i++ % passwords.size()]));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_NistPolicy)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// One rule of the policy at a time, by index.
void BM_SingleRule(benchmark::State& State) {
  const auto passwords = RealisticPasswords();
  const auto policy = Policy();
  const kl::TKLPasswordRule* rule = policy->GetRule(static_cast<std::int32_t>(State.range(0)));
  std::size_t i = 0;
  for (auto _ : State) benchmark::DoNotOptimize(rule->Validate(passwords[i++ % passwords.size()]));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}
BENCHMARK(BM_SingleRule)->DenseRange(0, 11);

// The whole policy on ever longer passwords: the time per character stays flat.
void BM_PolicyLongPassword(benchmark::State& State) {
  const auto policy = Policy();
  std::mt19937 rng(1);
  String password(static_cast<std::size_t>(State.range(0)), u'a');
  for (auto& c : password) c = static_cast<char16_t>(u'!' + rng() % 94);
  for (auto _ : State) {
    int failed = 0;
    for (std::int32_t r = 0; r < policy->GetCount(); ++r) failed += !policy->GetRule(r)->Validate(password);
    benchmark::DoNotOptimize(failed);
  }
  State.SetComplexityN(State.range(0));
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * State.range(0) * 2);
}
BENCHMARK(BM_PolicyLongPassword)->RangeMultiplier(8)->Range(1 << 8, 1 << 20)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
