#pragma once

#include <cstddef>
#include <cstdint>

namespace kl::detail {

// The EFF long word list, compiled into the library from third_party/ by the
// build (cmake/EmbedWordList.cmake): the words in ascending order, each ended
// by a line feed, and the offset of each word in that text, with one more
// offset for the end.
inline constexpr std::size_t kEmbeddedWordCount = 7776;
extern const char kEmbeddedWordText[];
extern const std::uint32_t kEmbeddedWordOffsets[kEmbeddedWordCount + 1];

} // namespace kl::detail
