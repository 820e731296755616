#pragma once

#include <chrono>
#include <cstdint>

#include "crypto/KLPasswordHash.h"
#include "foundation/Export.h"

namespace kl {

// A caller that waited its whole timeout for a free Argon2id slot.
KL_DECLARE_EXCEPTION(EKLHashBusyError, EKLPasswordHashError);

inline constexpr const char* SHashBusy = "Too many password hashes are being computed at once; try again later";

// How long a caller waits for a slot unless told otherwise.
inline constexpr std::chrono::milliseconds KLDefaultHashWaitTimeout{30000};

// The process-wide bound on Argon2id computations running at once (password
// hashes and verifications, and the storage files' keys): each takes its whole
// memory cost while it runs, so the bound is what keeps a burst of logins from
// taking the machine's memory. Callers beyond it wait, first come first
// served, up to the wait timeout, then get EKLHashBusyError. The settings are
// process-wide and may be changed from any thread; a lower bound lets the
// computations already running finish.

// The most that run at once; 0 (the default) stands for the number of cores.
KL_API void SetHashConcurrency(std::uint32_t MaxRunning) noexcept;
// The bound in force (the number of cores resolved).
KL_API std::uint32_t GetHashConcurrency() noexcept;
// Negative values count as zero: a caller finding no free slot fails at once.
KL_API void SetHashWaitTimeout(std::chrono::milliseconds Timeout) noexcept;
KL_API std::chrono::milliseconds GetHashWaitTimeout() noexcept;

// What the gate has seen since the process started (Peak since the last
// ResetHashGatePeak): for monitoring, and for tests that bound work by counting.
struct TKLHashGateStatistics {
  std::uint32_t Running = 0;
  std::uint32_t Waiting = 0;
  std::uint32_t Peak = 0;
  std::uint64_t Computations = 0; // slots handed out
  std::uint64_t Refusals = 0;     // EKLHashBusyError raised
};
KL_API TKLHashGateStatistics GetHashGateStatistics() noexcept;
KL_API void ResetHashGatePeak() noexcept;

// One slot, held for the object's life: every Argon2id computation of the
// library runs inside one. Waits as described above; raises EKLHashBusyError.
// Not copyable; a slot belongs to the thread that took it only by convention.
class KL_API TKLHashSlot {
public:
  TKLHashSlot();
  ~TKLHashSlot();
  TKLHashSlot(const TKLHashSlot&) = delete;
  TKLHashSlot& operator=(const TKLHashSlot&) = delete;
};

} // namespace kl
