#include "crypto/KLHashGate.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kl {

EKLHashBusyError::~EKLHashBusyError() = default;

namespace {

// One gate for the process. Waiters take tickets and are served in ticket
// order, so a steady stream of new callers cannot starve one that waits.
// A waiter that gives up leaves its ticket behind; the serving counter skips
// abandoned tickets, so no later waiter waits on it.
class THashGate {
public:
  void Enter() {
    std::unique_lock<std::mutex> lock(FMutex);
    const std::chrono::milliseconds timeout = FTimeout;
    const std::uint64_t ticket = FNextTicket++;
    const auto mayRun = [&] { return ticket == FServing && FRunning < Bound(); };
    bool admitted = mayRun();
    if (!admitted) {
      ++FWaiting;
      admitted = FChanged.wait_for(lock, timeout, mayRun);
      --FWaiting;
    }
    if (!admitted) {
      Abandon(ticket);
      ++FRefusals;
      throw EKLHashBusyError(SHashBusy);
    }
    Advance();
    ++FRunning;
    ++FComputations;
    FPeak = std::max(FPeak, FRunning);
    FChanged.notify_all();
  }

  void Leave() noexcept {
    {
      const std::lock_guard<std::mutex> lock(FMutex);
      --FRunning;
    }
    FChanged.notify_all();
  }

  void SetBound(std::uint32_t Value) noexcept {
    {
      const std::lock_guard<std::mutex> lock(FMutex);
      FBound = Value;
    }
    FChanged.notify_all();
  }

  std::uint32_t GetBound() const noexcept {
    const std::lock_guard<std::mutex> lock(FMutex);
    return Bound();
  }

  void SetTimeout(std::chrono::milliseconds Value) noexcept {
    const std::lock_guard<std::mutex> lock(FMutex);
    FTimeout = std::max(Value, std::chrono::milliseconds{0});
  }

  std::chrono::milliseconds GetTimeout() const noexcept {
    const std::lock_guard<std::mutex> lock(FMutex);
    return FTimeout;
  }

  TKLHashGateStatistics Statistics() const noexcept {
    const std::lock_guard<std::mutex> lock(FMutex);
    return {FRunning, FWaiting, FPeak, FComputations, FRefusals};
  }

  void ResetPeak() noexcept {
    const std::lock_guard<std::mutex> lock(FMutex);
    FPeak = FRunning;
  }

private:
  std::uint32_t Bound() const noexcept {
    if (FBound != 0) return FBound;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
  }

  // The ticket being served moves on, past every ticket whose waiter gave up.
  void Advance() {
    ++FServing;
    for (auto found = FindAbandoned(FServing); found != FAbandoned.end(); found = FindAbandoned(++FServing)) {
      FAbandoned.erase(found);
    }
  }

  std::vector<std::uint64_t>::iterator FindAbandoned(std::uint64_t Ticket) {
    return std::find(FAbandoned.begin(), FAbandoned.end(), Ticket);
  }

  void Abandon(std::uint64_t Ticket) {
    if (Ticket == FServing) {
      Advance();
      FChanged.notify_all();
    } else {
      FAbandoned.push_back(Ticket);
    }
  }

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::uint32_t FBound = 0;
  std::chrono::milliseconds FTimeout = KLDefaultHashWaitTimeout;
  std::uint32_t FRunning = 0;
  std::uint32_t FWaiting = 0;
  std::uint32_t FPeak = 0;
  std::uint64_t FComputations = 0;
  std::uint64_t FRefusals = 0;
  std::uint64_t FNextTicket = 0;
  std::uint64_t FServing = 0;
  // Tickets of waiters that gave up before their turn; few at any time.
  std::vector<std::uint64_t> FAbandoned;
};

THashGate& Gate() {
  static THashGate gate;
  return gate;
}

} // namespace

void SetHashConcurrency(std::uint32_t MaxRunning) noexcept { Gate().SetBound(MaxRunning); }
std::uint32_t GetHashConcurrency() noexcept { return Gate().GetBound(); }
void SetHashWaitTimeout(std::chrono::milliseconds Timeout) noexcept { Gate().SetTimeout(Timeout); }
std::chrono::milliseconds GetHashWaitTimeout() noexcept { return Gate().GetTimeout(); }
TKLHashGateStatistics GetHashGateStatistics() noexcept { return Gate().Statistics(); }
void ResetHashGatePeak() noexcept { Gate().ResetPeak(); }

TKLHashSlot::TKLHashSlot() { Gate().Enter(); }
TKLHashSlot::~TKLHashSlot() { Gate().Leave(); }

} // namespace kl
