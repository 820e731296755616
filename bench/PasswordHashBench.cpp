// The cost of a user's Verify in each stored form, with libsodium's own
// Argon2id verification beside it as the reference, and the memory one
// verification takes while it runs (growth of the peak resident set).
//
// Each database holds one user, in legacy mode so that a success does not
// replace the record and every iteration meets the same form; the look-up
// around the hash is measured by DatabaseBench.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <sys/resource.h>

#include <filesystem>
#include <memory>
#include <string>

#include "crypto/KLPasswordHash.h"
#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"

namespace {

using kl::String;

const String Password = u"correct horse battery staple";

double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

enum TForm { fmOld, fmArgon2id, fmWrapped };

std::unique_ptr<kl::TKLTextPasswordDatabase> DatabaseIn(TForm Form) {
  auto db = std::make_unique<kl::TKLTextPasswordDatabase>();
  db->SetSaveOnDestroy(false);
  db->CreateNew(u"unused");
  db->SetWeakLegacyHashes(Form != fmArgon2id);
  db->AddUser(u"user", Password, false);
  if (Form == fmWrapped) db->UpgradeHashes();
  db->SetWeakLegacyHashes(true);
  return db;
}

void BM_Verify(benchmark::State& State) {
  const auto form = static_cast<TForm>(State.range(0));
  // Taken once, before the first hash of the process: the benchmark library
  // calls this function several times, and the peak only ever grows.
  static const double before = PeakResidentMiB();
  auto db = DatabaseIn(form);
  for (auto _ : State) {
    if (!db->Verify(u"user", Password)) State.SkipWithError("Verify failed");
  }
  State.counters["peak_growth_MiB"] = PeakResidentMiB() - before;
  State.SetLabel(form == fmOld ? "old SHA-256" : form == fmArgon2id ? "Argon2id 64 MiB, 2 passes" : "wrapped");
}

// libsodium verifying the same kind of string directly: what the library adds
// around Argon2id is the difference.
void BM_SodiumVerify(benchmark::State& State) {
  if (sodium_init() < 0) State.SkipWithError("libsodium");
  char hash[crypto_pwhash_STRBYTES];
  const std::string password = kl::StrToUTF8(Password);
  if (crypto_pwhash_str(hash, password.data(), password.size(), 2, std::size_t{64} << 20) != 0) {
    State.SkipWithError("crypto_pwhash_str");
  }
  for (auto _ : State) {
    if (crypto_pwhash_str_verify(hash, password.data(), password.size()) != 0) State.SkipWithError("no match");
  }
}

void BM_HashPassword(benchmark::State& State) {
  for (auto _ : State) benchmark::DoNotOptimize(kl::HashPassword(Password));
}

// A stored string that asks for 4 GiB is refused from its text alone.
void BM_RefuseCostlyString(benchmark::State& State) {
  const String hash =
      u"$argon2id$v=19$m=4194304,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$"
      u"azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4";
  for (auto _ : State) {
    try {
      kl::VerifyPassword(hash, Password);
      State.SkipWithError("accepted");
    } catch (const kl::EKLPasswordHashError&) {
    }
  }
}

// Argon2id first: its peak growth is the memory of one verification in flight
// (later runs reuse what the first took).
BENCHMARK(BM_Verify)->Arg(fmArgon2id)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Verify)->Arg(fmOld)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SodiumVerify)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Verify)->Arg(fmWrapped)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_HashPassword)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RefuseCostlyString)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
