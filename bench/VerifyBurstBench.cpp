// The memory of a burst of logins: 200 threads, each with its own handle on one
// user database (as 200 server connections would), verify at the same moment
// at the default cost (Argon2id, 64 MiB, 2 passes). The process-wide bound on
// concurrent Argon2id computations is what keeps the peak resident set near
// bound x 64 MiB instead of 200 x 64 MiB.
//
// Usage: bench_VerifyBurstBench [BOUND [THREADS]] (BOUND 0: the number of
// cores). One burst per process: the peak resident set only ever grows.
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/KLHashGate.h"
#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"

namespace {

const kl::String Password = u"correct horse battery staple";

double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
  const std::uint32_t bound = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 0;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 200;
  kl::SetHashConcurrency(bound);
  kl::SetHashWaitTimeout(std::chrono::minutes(10)); // every login waits its turn: none refused here
  const std::string file = (std::filesystem::temp_directory_path() / ("burst-" + std::to_string(::getpid()))).string();
  {
    kl::TKLTextPasswordDatabase db;
    db.SetSaveOnDestroy(false);
    db.CreateNew(kl::UTF8ToStr(file));
    db.AddUser(u"user", Password, false);
    db.Save();
  }
  std::vector<std::unique_ptr<kl::TKLTextPasswordDatabase>> handles;
  for (int i = 0; i < threads; ++i) {
    handles.push_back(std::make_unique<kl::TKLTextPasswordDatabase>());
    handles.back()->SetSaveOnDestroy(false);
    handles.back()->Open(kl::UTF8ToStr(file));
  }
  const double before = PeakResidentMiB();
  kl::ResetHashGatePeak();
  std::mutex mutex;
  std::condition_variable start;
  bool go = false;
  std::atomic<int> verified{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        start.wait(lock, [&] { return go; });
      }
      try {
        (handles[i]->Verify(u"user", Password) ? verified : failed)++;
      } catch (const std::exception&) {
        ++failed;
      }
    });
  }
  const auto began = std::chrono::steady_clock::now();
  {
    const std::lock_guard<std::mutex> lock(mutex);
    go = true;
  }
  start.notify_all();
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::filesystem::remove(file);
  const kl::TKLHashGateStatistics stats = kl::GetHashGateStatistics();
  const double peak = PeakResidentMiB();
  const double targetMiB = kl::GetHashConcurrency() * 64.0 + 100e6 / (1024.0 * 1024.0);
  std::printf("bound %u, %d threads: %d verified, %d failed; at most %u Argon2id at once; %.1f s\n",
              kl::GetHashConcurrency(), threads, verified.load(), failed.load(), stats.Peak, seconds);
  std::printf("peak resident set %.0f MiB (%.0f MiB before the burst); target <= %.0f MiB (bound x 64 MiB + 100 MB)"
              ": %s\n",
              peak, before, targetMiB, peak <= targetMiB ? "met" : "MISSED");
  return failed.load() == 0 && peak <= targetMiB ? 0 : 1;
}
