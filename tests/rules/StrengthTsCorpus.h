#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Types.h"
#include "rules/StrengthCorpus.h"

namespace kl::test {

// A fixed, seeded mix of what a speaker of Language ("de", "fr"...) types,
// built from that language's pack: its common and Wikipedia words, first and
// last names, ordered lists (numbers, months), with capitals, digits, years
// and l33t; dates; keyboard walks on its layouts; common passwords; random
// strings with its accented letters. At least 3,000 passwords.
std::vector<String> BuildTsStrengthCorpus(const std::string& Language);

// zxcvbn-ts under node configured with common + English + Language. Node and
// the node_modules folder come from the environment (KL_NODE,
// KL_ZXCVBN_TS_MODULES); without them, or when node fails, the result is empty.
bool TsOracleAvailable();
std::optional<std::vector<OracleAnswer>> RunTsStrengthOracle(const std::string& Language,
                                                             const std::vector<String>& Passwords);
// Node's own processor time per password in nanoseconds over Rounds passes.
std::optional<double> TimeTsStrengthOracle(const std::string& Language, const std::vector<String>& Passwords,
                                           int Rounds);

} // namespace kl::test
