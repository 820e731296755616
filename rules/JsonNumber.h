#pragma once

#include <string>

namespace kl::detail {

// The shortest text that reads back as Value, in std::to_chars's plain form:
// fixed or scientific, whichever is shorter (fixed on a tie), "1e+16",
// "0.0001", "1.5e-07". Made with printf and strtod, for standard libraries
// whose to_chars takes no floating point (emscripten's); the tests hold it to
// to_chars where both exist.
std::string ShortestDoubleText(double Value);

} // namespace kl::detail
