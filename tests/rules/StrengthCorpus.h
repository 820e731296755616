#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Types.h"

namespace kl::test {

// A fixed, seeded mix of what people type, for comparing the strength
// estimator with a reference: common passwords, their mutations (capitals,
// digits, years, substitutions, reversal, joined words), dates, keyboard walks,
// names, repeats and sequences, and random strings.
std::vector<String> BuildStrengthCorpus();

// The reference implementation run by node over Passwords. Node and the
// module folder come from the environment (KL_NODE, KL_ZXCVBN_MODULE); without
// them, or when node fails, the result is empty.
struct OracleAnswer {
  int Score;
  double GuessesLog10;
};
bool OracleAvailable();
std::optional<std::vector<OracleAnswer>> RunStrengthOracle(const std::vector<String>& Passwords);
// Node's own time per password in nanoseconds over Rounds passes (start-up
// not counted).
std::optional<double> TimeStrengthOracle(const std::vector<String>& Passwords, int Rounds);

} // namespace kl::test
