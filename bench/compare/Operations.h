// The timed operations of bench_compare. Operations.cpp defines them once per
// library: compiled against the current headers into ops_current, and against
// the previous release's headers (namespace kl renamed klbase) into
// ops_baseline, so that one binary runs both through the same code.
#pragma once

#include <benchmark/benchmark.h>

// Every operation, in the order the comparison runs them.
#define KL_COMPARE_OPERATIONS(X) \
  X(VaultSaveEncrypted)          \
  X(VaultLoadEncrypted)          \
  X(StorageSavePlain)            \
  X(StorageLoadPlain)            \
  X(StorageSaveEncrypted)        \
  X(StorageLoadEncrypted)        \
  X(StorageRemoveOne)            \
  X(VaultDeleteOne)              \
  X(TextDatabaseDeleteUser)      \
  X(BinaryDatabaseDeleteUser)    \
  X(StorageMemoryPerValue)

#define KL_COMPARE_DECLARE(Name) void Name(benchmark::State& State);

namespace ops_baseline {
KL_COMPARE_OPERATIONS(KL_COMPARE_DECLARE)
} // namespace ops_baseline

namespace ops_current {
KL_COMPARE_OPERATIONS(KL_COMPARE_DECLARE)
} // namespace ops_current

#undef KL_COMPARE_DECLARE
