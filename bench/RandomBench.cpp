// Throughput of the fast random generator against the operating system's
// source and OpenSSL's generator, in one run, for short and long requests.
#include <benchmark/benchmark.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <cstdint>
#include <vector>

#include "random/KLRandom.h"

namespace {

void FastRandomGenerator(benchmark::State& State) {
  kl::TKLFastRandomGenerator generator;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(State.range(0)));
  for (auto _ : State) {
    generator.Generate(buffer.data(), static_cast<std::int32_t>(buffer.size()));
    benchmark::DoNotOptimize(buffer.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * State.range(0));
}

void OpenSSLRandBytes(benchmark::State& State) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(State.range(0)));
  for (auto _ : State) {
    if (RAND_bytes(buffer.data(), static_cast<int>(buffer.size())) != 1) State.SkipWithError("RAND_bytes failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * State.range(0));
}

void GetRandom(benchmark::State& State) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(State.range(0)));
  for (auto _ : State) {
    std::size_t done = 0;
    while (done < buffer.size()) {
      const ssize_t n = getrandom(buffer.data() + done, buffer.size() - done, 0);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * State.range(0));
}

} // namespace

BENCHMARK(FastRandomGenerator)->Arg(16)->Arg(4096)->Arg(65536);
BENCHMARK(OpenSSLRandBytes)->Arg(16)->Arg(4096)->Arg(65536);
BENCHMARK(GetRandom)->Arg(16)->Arg(4096)->Arg(65536);

BENCHMARK_MAIN();
