#pragma once

#include <cstddef>
#include <cstdint>

namespace kl::detail {

// The EFF long word list, compiled into the library from third_party/ by the
// build (cmake/EmbedWordList.cmake): the words in ascending order, each on a
// line of its own, front-coded (a digit, how many leading characters it shares
// with the word before, then the rest of the word).
inline constexpr std::size_t kEmbeddedWordCount = 7776;
extern const char kEmbeddedWordText[];

} // namespace kl::detail
