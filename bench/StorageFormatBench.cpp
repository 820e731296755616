// The encrypted storage formats side by side: the cost of unlocking a version-3
// file at the default parameters, an attacker's cost per password guess
// against versions 2 and 3 on one core, and save and load of 100,000 values
// with the key derivation left out (version 3's tag against version 2's bare
// checksum). Run with --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true for medians.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "crypto/Argon2id.h"
#include "crypto/KLAES.h"
#include "crypto/KLHKDF.h"
#include "crypto/KLPKCS5.h"
#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"

namespace {

using namespace kl;

const String kPassword = u"benchmark password";
constexpr int kValues = 100000;

void Fill(TKLStorage& Storage) {
  const String text = u"some text of an ordinary length";
  for (int i = 0; i < kValues; ++i) {
    const std::string key =
        "Group " + std::to_string(i % 10) + "/" + std::to_string(i / 8) + "/leaf" + std::to_string(i % 8);
    Storage.PutString(String(key.begin(), key.end()), text, false);
  }
}

// Opening a version-3 file at the defaults: an empty storage, so that the
// derivation is nearly all of it.
void BM_UnlockAtDefaults(benchmark::State& State) {
  TMemoryStream stream;
  TKLStorage().SaveToStream(stream, kPassword);
  for (auto _ : State) {
    TKLStorage storage;
    stream.SetPosition(0);
    storage.LoadFromStream(stream, kPassword);
  }
}

// One guess against version 2 as an attacker makes it: the first 32 bytes of
// PBKDF2 (1,000 iterations; the loader derives 48, but the password key is the
// first block) of the candidate and the file's salt, then one block deciphered
// and compared with the known check value.
void BM_GuessVersion2(benchmark::State& State) {
  const ByteArray salt(64, 0x5A);
  const TAESBlock stored{};
  for (auto _ : State) {
    const ByteArray derived = Derive(kPassword, salt, KLStorageKeyIterations, 32);
    TAESExpandedKey256 key;
    AESInitialize(derived.data(), key, true);
    TAESBlock block;
    AESDecrypt(stored.data(), key, block.data());
    benchmark::DoNotOptimize(std::memcmp(block.data(), KLStorageCheckBytes.data(), 16));
  }
  State.counters["guesses_per_s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  State.counters["memory_KiB"] = 1;
}

// One guess against version 3 at the defaults: Argon2id, then the check value
// from HKDF, compared with the file's.
void BM_GuessVersion3(benchmark::State& State) {
  const std::uint8_t salt[16] = {0x5A};
  const std::uint8_t nonce[32] = {0x1E};
  const std::string candidate = "benchmark password";
  for (auto _ : State) {
    std::uint8_t secret[32], prk[32], check[32];
    detail::Argon2id(candidate.data(), candidate.size(), salt, KLStorageDefaultKdfPasses, KLStorageDefaultKdfMemoryKiB,
                     secret, sizeof(secret));
    HKDFExtract(nonce, sizeof(nonce), secret, sizeof(secret), prk);
    HKDFExpand(prk, "KLStorage 3 password check", 26, check, sizeof(check));
    benchmark::DoNotOptimize(check[0]);
  }
  State.counters["guesses_per_s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  State.counters["memory_KiB"] = KLStorageDefaultKdfMemoryKiB;
}

// A version-3 storage keeps its derived key after the first save, so the
// timed saves derive nothing; version 2 runs its 0.2 ms of PBKDF2 each time.
void BM_Save(benchmark::State& State, std::uint8_t Version) {
  TKLStorage storage;
  storage.SetSaveVersion(Version);
  Fill(storage);
  TMemoryStream first;
  storage.SaveToStream(first, kPassword);
  std::int64_t bytes = 0;
  for (auto _ : State) {
    TMemoryStream stream;
    storage.SaveToStream(stream, kPassword);
    bytes = stream.GetSize();
  }
  State.SetBytesProcessed(State.iterations() * bytes);
}

// The storage that loaded the file once keeps the key; it is emptied value by
// value outside the timing (Clear would forget the key).
void BM_Load(benchmark::State& State, std::uint8_t Version) {
  TMemoryStream stream;
  {
    TKLStorage source;
    source.SetSaveVersion(Version);
    Fill(source);
    source.SaveToStream(stream, kPassword);
  }
  TKLStorage storage;
  storage.SetAllowLegacyFormat(true);
  stream.SetPosition(0);
  storage.LoadFromStream(stream, kPassword);
  for (auto _ : State) {
    State.PauseTiming();
    while (storage.GetCount() > 0) storage.Remove(storage.GetCount() - 1);
    stream.SetPosition(0);
    State.ResumeTiming();
    storage.LoadFromStream(stream, kPassword);
  }
  State.SetBytesProcessed(State.iterations() * stream.GetSize());
}

BENCHMARK(BM_UnlockAtDefaults)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GuessVersion2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GuessVersion3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Save, version2, KLStorageVersion2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Save, version3, KLStorageVersion3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, version2, KLStorageVersion2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, version3, KLStorageVersion3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
