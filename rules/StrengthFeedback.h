#pragma once

#include <cstdint>
#include <vector>

#include "rules/KLStrength.h"

// What the strength estimator tells the user about a password: the warning and
// suggestions drawn from its cheapest covering. Internal to the library.
namespace kl::detail {

// Good scores (3 and 4) get no feedback; otherwise the feedback is about the
// longest match (the first of equals), led by the advice to add words.
TKLStrengthFeedback StrengthFeedback(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence);

} // namespace kl::detail
