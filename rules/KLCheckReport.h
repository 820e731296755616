#pragma once

#include <string>

#include "foundation/Export.h"
#include "rules/KLRuleFailures.h"
#include "rules/KLStrength.h"

namespace kl {

// The verdict on one password as one line of JSON (UTF-8, no line end):
// {"ok":...,"score":...,"guesses_log10":...,"guesses":...,"crack_times_seconds":
// {...},"crack_times_display":{...},"feedback":{"warning":...,"warning_key":...,
// "suggestions":[...],"suggestion_keys":[...]},"profile":"zxcvbn"|"zxcvbn-ts",
// "language":...,"failures":[{"code":...,"message":...,"parameters":{...}}]}.
// Texts are in the estimate's language, failure messages as
// TKLRuleMessages::ForLanguage gives them. Nothing in it quotes the password:
// parameters that are pieces of it are left out and masked in the messages, so
// the line may be logged or sent elsewhere. Numbers are the shortest text that
// reads back as the same double; guesses_log10 is rounded to four decimals.
KL_API std::string FormatCheckJson(const TKLRuleFailures& Failures, const TKLStrengthResult& Strength);

} // namespace kl
