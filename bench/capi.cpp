// The cost of the C interface: the same work through klp_ functions and
// through the C++ classes, in one run, for a policy check (the check and its
// strength estimate), a strength estimate and a generated password. The C
// calls add the UTF-8 conversions at the boundary, the handle and result
// allocations and the wiped copies of what they hand out. The reference is the
// C++ form of each case. The estimator's lists and the policy's blocklist are
// loaded once a process, on first use: the first case to run pays that before
// its timed loop (WarmUpOnce), so no case's figure carries it and the order of
// the cases does not matter.

#include <benchmark/benchmark.h>

#include <memory>

#include "capi/klpassword.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"
#include "rules/KLPolicies.h"
#include "rules/KLStrength.h"

namespace {

// Passwords of the kinds a sign-up form sees; each iteration takes the next.
constexpr const char* kPasswords[] = {
    "Password1!", "correct horse battery staple", "Tr0ub4dor&3", "xK9#mQ2$vL7&wZ5^", "alice1990", "Vintage-Kettle-42"};
constexpr std::size_t kPasswordCount = sizeof(kPasswords) / sizeof(kPasswords[0]);

// The one-time set-up of everything the cases use, through both interfaces.
void WarmUp() {
  const auto policy = kl::CreateNistPolicy();
  kl::String password = kl::UTF8ToStr(kPasswords[0]);
  benchmark::DoNotOptimize(policy->GetFailures(password));
  benchmark::DoNotOptimize(kl::EstimatePasswordStrength(password));
  kl::WipeString(password);
  klp_policy_t* cPolicy = nullptr;
  if (klp_policy_init_nist(&cPolicy, 0, 0, 0, nullptr, 0) == KLP_OK) {
    klp_check_result_t* result = nullptr;
    klp_policy_check(cPolicy, kPasswords[0], &result);
    klp_check_result_destroy(result);
    klp_policy_destroy(cPolicy);
  }
  klp_strength_t* strength = nullptr;
  klp_strength_estimate(kPasswords[0], nullptr, 0, &strength);
  klp_strength_destroy(strength);
}

// Each case calls this before its timed loop; the first to run pays the set-up
// there, untimed.
void WarmUpOnce() {
  static const bool done = (WarmUp(), true);
  (void)done;
}

void PolicyCheckCpp(benchmark::State& State) {
  WarmUpOnce();
  const auto policy = kl::CreateNistPolicy();
  const kl::TKLStrengthEstimator estimator;
  std::size_t i = 0;
  for (auto _ : State) {
    kl::String password = kl::UTF8ToStr(kPasswords[i++ % kPasswordCount]);
    benchmark::DoNotOptimize(policy->GetFailures(password));
    benchmark::DoNotOptimize(estimator.Estimate(password));
    kl::WipeString(password);
  }
}

void PolicyCheckC(benchmark::State& State) {
  WarmUpOnce();
  klp_policy_t* policy = nullptr;
  if (klp_policy_init_nist(&policy, 0, 0, 0, nullptr, 0) != KLP_OK) State.SkipWithError("no policy");
  std::size_t i = 0;
  for (auto _ : State) {
    klp_check_result_t* result = nullptr;
    benchmark::DoNotOptimize(klp_policy_check(policy, kPasswords[i++ % kPasswordCount], &result));
    klp_check_result_destroy(result);
  }
  klp_policy_destroy(policy);
}

void StrengthCpp(benchmark::State& State) {
  WarmUpOnce();
  std::size_t i = 0;
  for (auto _ : State) {
    kl::String password = kl::UTF8ToStr(kPasswords[i++ % kPasswordCount]);
    benchmark::DoNotOptimize(kl::EstimatePasswordStrength(password));
    kl::WipeString(password);
  }
}

void StrengthC(benchmark::State& State) {
  WarmUpOnce();
  std::size_t i = 0;
  for (auto _ : State) {
    klp_strength_t* strength = nullptr;
    benchmark::DoNotOptimize(klp_strength_estimate(kPasswords[i++ % kPasswordCount], nullptr, 0, &strength));
    klp_strength_destroy(strength);
  }
}

void GenerateCpp(benchmark::State& State) {
  WarmUpOnce();
  kl::TKLPasswordGenerator generator;
  for (auto _ : State) {
    kl::String password = generator.Generate(16);
    std::string utf8 = kl::StrToUTF8(password); // what a caller of the C form receives
    benchmark::DoNotOptimize(utf8.data());
    kl::WipeRawBytes(utf8);
    kl::WipeString(password);
  }
}

void GenerateC(benchmark::State& State) {
  WarmUpOnce();
  klp_generator_t* generator = nullptr;
  if (klp_generator_init(&generator) != KLP_OK) State.SkipWithError("no generator");
  for (auto _ : State) {
    char* password = nullptr;
    benchmark::DoNotOptimize(klp_generator_generate(generator, 16, 16, &password));
    klp_secret_free(password);
  }
  klp_generator_destroy(generator);
}

BENCHMARK(PolicyCheckCpp);
BENCHMARK(PolicyCheckC);
BENCHMARK(StrengthCpp);
BENCHMARK(StrengthC);
BENCHMARK(GenerateCpp);
BENCHMARK(GenerateC);

} // namespace

BENCHMARK_MAIN();
