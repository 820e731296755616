#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

inline constexpr const char* SWordListTooShort = "A word list needs at least two distinct words";
inline constexpr const char* SWordListTooLarge = "The word list file is larger than the size allowed";
inline constexpr const char* SWordListNotText = "The word list is not valid UTF-8 text";

// The words passphrases are drawn from: distinct, non-empty, in the order first
// met. The default is the EFF long word list (7,776 words) compiled into the
// library; an application may load its own. A value: copies share the words,
// which never change. Raises EKLPasswordError for a list of fewer than two
// distinct words or a word that is not valid text; file errors pass through.
class KL_API TKLWordList {
public:
  // Files larger than this are refused unless the caller allows more.
  static constexpr std::int64_t DefaultMaxFileSize = std::int64_t{16} << 20;

  // The EFF long word list.
  TKLWordList();
  // The given words, trimmed of surrounding spaces and tabs, empty ones and
  // repeats dropped.
  explicit TKLWordList(const std::vector<String>& Words);

  // A UTF-8 file (a leading byte-order mark is skipped), one word a line, lines
  // ended by LF or CRLF. A line may start with a dice number and a tab or space
  // before the word, as the published lists have it; the number is dropped.
  // Reads at most MaxFileSize bytes and refuses a larger file.
  static TKLWordList LoadFromFile(const String& FileName, std::int64_t MaxFileSize = DefaultMaxFileSize);

  std::size_t GetCount() const noexcept { return FWords->size(); }
  const String& Get(std::size_t Index) const { return FWords->at(Index); }

private:
  std::shared_ptr<const std::vector<String>> FWords;
};

} // namespace kl
