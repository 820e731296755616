#include <cstring>
#include <unordered_set>

#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "passwords/EmbeddedWordList.h"
#include "passwords/KLPasswords.h"
#include "passwords/KLWordList.h"

namespace kl {

namespace {

bool IsBlank(char16_t C) noexcept { return C == u' ' || C == u'\t'; }

std::u16string_view Trim(std::u16string_view Text) noexcept {
  while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
  return Text;
}

// Drops a leading dice number ("11111<TAB>abacus"), so published lists load as
// they are.
std::u16string_view DropDiceNumber(std::u16string_view Line) noexcept {
  std::size_t digits = 0;
  while (digits < Line.size() && Line[digits] >= u'0' && Line[digits] <= u'9') ++digits;
  if (digits == 0 || digits == Line.size() || !IsBlank(Line[digits])) return Line;
  return Trim(Line.substr(digits));
}

std::shared_ptr<const std::vector<String>> Distinct(const std::vector<std::u16string_view>& Words) {
  auto result = std::make_shared<std::vector<String>>();
  std::unordered_set<std::u16string_view> seen;
  for (const std::u16string_view word : Words) {
    if (word.empty() || !seen.insert(word).second) continue;
    String text(word);
    if (!IsValidUTF16(text)) throw EKLPasswordError(SInvalidCharacters);
    result->push_back(std::move(text));
  }
  if (result->size() < 2) throw EKLPasswordError(SWordListTooShort);
  return result;
}

std::shared_ptr<const std::vector<String>> EmbeddedWords() {
  // Built once on first use; the list never changes afterwards, so every
  // default word list shares it.
  static const std::shared_ptr<const std::vector<String>> words = [] {
    auto list = std::make_shared<std::vector<String>>();
    list->reserve(detail::kEmbeddedWordCount);
    String word;
    for (const char* line = detail::kEmbeddedWordText; *line != '\0';) {
      const auto shared = static_cast<std::size_t>(*line++ - '0');
      const char* end = std::strchr(line, '\n');
      word.resize(shared); // the build checked that the word before is that long
      word.append(line, end);
      list->push_back(word);
      line = end + 1;
    }
    return list;
  }();
  return words;
}

RawByteString ReadBounded(const String& FileName, std::int64_t MaxFileSize) {
  TFileStream stream(FileName, fmOpenRead);
  RawByteString bytes;
  char buffer[64 * 1024];
  for (;;) {
    const std::int32_t n = stream.Read(buffer, static_cast<std::int32_t>(sizeof(buffer)));
    if (n <= 0) break;
    if (static_cast<std::int64_t>(bytes.size()) + n > MaxFileSize) throw EKLPasswordError(SWordListTooLarge);
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

} // namespace

TKLWordList::TKLWordList() : FWords(EmbeddedWords()) {}

TKLWordList::TKLWordList(const std::vector<String>& Words) {
  std::vector<std::u16string_view> trimmed;
  trimmed.reserve(Words.size());
  for (const String& word : Words) trimmed.push_back(Trim(word));
  FWords = Distinct(trimmed);
}

TKLWordList TKLWordList::LoadFromFile(const String& FileName, std::int64_t MaxFileSize) {
  RawByteString bytes = ReadBounded(FileName, MaxFileSize);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);
  const String text = UTF8ToStr(bytes);
  // Decoding replaces malformed bytes; a list is refused instead, so that no
  // two different lines become one word.
  if (StrToUTF8(text) != bytes) throw EKLPasswordError(SWordListNotText);
  std::vector<std::u16string_view> words;
  std::u16string_view rest(text);
  while (!rest.empty()) {
    const std::size_t end = rest.find(u'\n');
    std::u16string_view line = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    words.push_back(DropDiceNumber(Trim(line)));
  }
  TKLWordList list;
  list.FWords = Distinct(words);
  return list;
}

} // namespace kl
