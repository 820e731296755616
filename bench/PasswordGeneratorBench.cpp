// Passwords per second: random ones over the default alphabet and over one
// long enough to need two-byte draws, random ones that must hold every set (and
// two digits), passphrases of six words, and derived ones at 500 iterations.
#include <benchmark/benchmark.h>

#include "passwords/KLPasswords.h"

namespace {

void RandomPassword(benchmark::State& State) {
  kl::TKLPasswordGenerator generator;
  const auto len = static_cast<std::int32_t>(State.range(0));
  for (auto _ : State) benchmark::DoNotOptimize(generator.Generate(len));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}

void RandomPasswordWideAlphabet(benchmark::State& State) {
  kl::TKLPasswordGenerator generator;
  kl::String custom;
  for (char16_t c = 0x4E00; c < 0x4E00 + 300; ++c) custom.push_back(c);
  generator.SetUseCustomChars(true);
  generator.SetCustomChars(custom);
  for (auto _ : State) benchmark::DoNotOptimize(generator.Generate(16));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}

void ConstrainedPassword(benchmark::State& State) {
  kl::TKLPasswordGenerator generator;
  generator.SetRequireEachSet(true);
  generator.SetMinDigits(static_cast<std::int32_t>(State.range(0)));
  for (auto _ : State) benchmark::DoNotOptimize(generator.Generate(16));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}

void Passphrase(benchmark::State& State) {
  kl::TKLPasswordGenerator generator;
  generator.SetPassphraseExtra(State.range(0) != 0 ? kl::peDigit : kl::peNone);
  generator.SetCapitalizeWords(State.range(0) != 0);
  for (auto _ : State) benchmark::DoNotOptimize(generator.GeneratePassphrase(6));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}

void DerivedPassword(benchmark::State& State) {
  kl::TKLPasswordGenerator generator;
  generator.SetDefaultIterationCount(500);
  for (auto _ : State) benchmark::DoNotOptimize(generator.Generate(u"master key", u"https://example.com/", 16));
  State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations()));
}

} // namespace

BENCHMARK(RandomPassword)->Arg(16)->Arg(64);
BENCHMARK(RandomPasswordWideAlphabet);
BENCHMARK(ConstrainedPassword)->Arg(1)->Arg(2);
BENCHMARK(Passphrase)->Arg(0)->Arg(1);
BENCHMARK(DerivedPassword);

BENCHMARK_MAIN();
