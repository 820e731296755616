#include <algorithm>
#include <cstdint>

#include "rules/StrengthMatching.h"

namespace kl::detail {

// Generated sources (cmake/EmbedText.cmake, cmake/EmbedStrengthData.cmake).
extern const std::string_view kCommonPasswordsText;
extern const std::string_view kStrength_english_wikipedia_Text;
extern const std::string_view kStrength_female_names_Text;
extern const std::string_view kStrength_surnames_Text;
extern const std::string_view kStrength_us_tv_and_film_Text;
extern const std::string_view kStrength_male_names_Text;
extern const std::string_view kStrength_keyboard_qwerty_Text;
extern const std::string_view kStrength_keyboard_dvorak_Text;
extern const std::string_view kStrength_keyboard_keypad_Text;
extern const std::string_view kStrength_keyboard_mac_keypad_Text;

std::array<std::string_view, 6> StrengthWordListText() {
  return {kCommonPasswordsText,    kStrength_english_wikipedia_Text, kStrength_female_names_Text,
          kStrength_surnames_Text, kStrength_us_tv_and_film_Text,    kStrength_male_names_Text};
}

std::array<std::string_view, 4> StrengthKeyboardText() {
  return {kStrength_keyboard_qwerty_Text, kStrength_keyboard_dvorak_Text, kStrength_keyboard_keypad_Text,
          kStrength_keyboard_mac_keypad_Text};
}

TWordTrie::TWordTrie() : FNodes(1), FKeys(1), FLastPath(1, 0) { FRootAscii.fill(kNone); }

std::uint32_t TWordTrie::Child(std::uint32_t Node, Char C) const noexcept {
  if (Node == 0 && C < 128) return FRootAscii[C];
  const TNode& n = FNodes[Node];
  if (!FFrozen) return BuildingChild(Node, C);
  for (std::uint32_t c = n.First, end = n.First + n.Next; c < end; ++c)
    if (FKeys[c] == C) return c;
  return kNone;
}

std::uint32_t TWordTrie::BuildingChild(std::uint32_t Node, Char C) const noexcept {
  for (std::uint32_t c = FNodes[Node].First; c != kNone; c = FNodes[c].Next)
    if (FKeys[c] == C) return c;
  return kNone;
}

// The walk starts where the word parts from the previous one, so that words
// added in sorted order (as Build does) skip the look-ups of shared prefixes;
// any order gives the same tree.
void TWordTrie::Add(std::u16string_view Word, TKLStrengthDictionary Dictionary, std::int32_t Rank) {
  if (Word.empty() || FFrozen) return;
  std::size_t common = 0;
  while (common < Word.size() && common < FLastWord.size() && Word[common] == FLastWord[common]) ++common;
  FLastPath.resize(common + 1);
  std::uint32_t node = FLastPath[common];
  for (std::size_t k = common; k < Word.size(); ++k) {
    const Char c = Word[k];
    std::uint32_t next = Child(node, c);
    if (next == kNone) {
      next = static_cast<std::uint32_t>(FNodes.size());
      TNode fresh;
      fresh.Next = FNodes[node].First;
      FNodes.push_back(fresh);
      FKeys.push_back(c);
      FNodes[node].First = next;
      if (node == 0 && c < 128) FRootAscii[c] = next;
    }
    FLastPath.push_back(next);
    node = next;
  }
  FLastWord.assign(Word);
  FNodes[node].Rank = Rank;
  FNodes[node].Dictionary = static_cast<std::uint8_t>(Dictionary);
}

// Breadth first: the children of each node, sorted, take the next free places.
void TWordTrie::Freeze() {
  if (FFrozen) return;
  std::vector<std::uint32_t> order{0}; // order[new index] = old index
  order.reserve(FNodes.size());
  std::vector<TNode> nodes(1);
  std::vector<Char> keys(1);
  nodes.reserve(FNodes.size());
  keys.reserve(FNodes.size());
  std::vector<std::uint32_t> children;
  for (std::size_t q = 0; q < order.size(); ++q) {
    const TNode& old = FNodes[order[q]];
    nodes[q].Rank = old.Rank;
    nodes[q].Dictionary = old.Dictionary;
    children.clear();
    for (std::uint32_t c = old.First; c != kNone; c = FNodes[c].Next) children.push_back(c);
    std::sort(children.begin(), children.end(), [&](auto a, auto b) { return FKeys[a] < FKeys[b]; });
    nodes[q].First = static_cast<std::uint32_t>(order.size());
    nodes[q].Next = static_cast<std::uint32_t>(children.size());
    for (std::uint32_t c : children) {
      order.push_back(c);
      nodes.emplace_back();
      keys.push_back(FKeys[c]);
    }
  }
  FNodes = std::move(nodes);
  FKeys = std::move(keys);
  FLastWord.clear();
  FLastPath.clear();
  FRootAscii.fill(kNone);
  for (std::uint32_t c = FNodes[0].First; c < FNodes[0].First + FNodes[0].Next; ++c)
    if (FKeys[c] < 128) FRootAscii[FKeys[c]] = c;
  FFrozen = true;
}

namespace {

// Calls Line(text) for each line of Text; the data is ASCII, one code unit a byte.
template <class F>
void ForEachLine(std::string_view Text, F&& Line) {
  while (!Text.empty()) {
    const std::size_t end = Text.find('\n');
    const std::string_view line = Text.substr(0, end);
    if (!line.empty()) Line(line);
    if (end == std::string_view::npos) break;
    Text.remove_prefix(end + 1);
  }
}

std::u16string Widen(std::string_view Text) { return std::u16string(Text.begin(), Text.end()); }

TKeyboard ParseKeyboard(std::string_view Text) {
  TKeyboard board;
  std::int32_t degrees = 0;
  ForEachLine(Text, [&](std::string_view line) {
    const auto key = static_cast<unsigned char>(line[0]);
    if (key >= 128 || line.size() < 2 || line[1] != '\t') return;
    std::vector<std::u16string>& neighbours = board.Neighbours[key];
    std::string_view rest = line.substr(2);
    for (;;) {
      const std::size_t tab = rest.find('\t');
      neighbours.push_back(Widen(rest.substr(0, tab)));
      if (!neighbours.back().empty()) ++degrees;
      if (tab == std::string_view::npos) break;
      rest.remove_prefix(tab + 1);
    }
    board.HasKey[key] = true;
    ++board.KeyCount;
  });
  if (board.KeyCount > 0) board.AverageDegree = static_cast<double>(degrees) / board.KeyCount;
  return board;
}

} // namespace

TStrengthData TStrengthData::Build() {
  TStrengthData built;
  // The words stay in the compiled-in text while they are sorted: a byte
  // widens to one character, and bytes compare unsigned, so their order is
  // that of the widened words, without a copy of each (the first estimate
  // after loading waits for this build, in the web build most of all).
  // Each word's first eight bytes, big-endian (zero past its end: no word
  // holds a NUL), order most pairs with one comparison of numbers.
  struct TEntry {
    std::uint64_t Key;
    std::string_view Word;
    TKLStrengthDictionary Dictionary;
    std::int32_t Rank;
  };
  static constexpr std::size_t kKeyBytes = 8;
  const auto keyOf = [](std::string_view Word) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < kKeyBytes; ++i)
      key = (key << 8) | (i < Word.size() ? static_cast<unsigned char>(Word[i]) : 0u);
    return key;
  };
  std::vector<TEntry> entries;
  const auto lists = StrengthWordListText();
  std::size_t lines = 0;
  for (const std::string_view list : lists) lines += static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n')) + 1;
  entries.reserve(lines);
  for (std::size_t d = 0; d < lists.size(); ++d) {
    std::int32_t rank = 0;
    ForEachLine(lists[d], [&](std::string_view word) {
      entries.push_back({keyOf(word), word, static_cast<TKLStrengthDictionary>(d), ++rank});
    });
  }
  // Equal keys: the words share their first eight bytes (or are one short word), and the rest decides.
  std::stable_sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) {
    if (a.Key != b.Key) return a.Key < b.Key;
    return a.Word.substr(std::min(a.Word.size(), kKeyBytes)) < b.Word.substr(std::min(b.Word.size(), kKeyBytes));
  });
  String word;
  for (const TEntry& e : entries) {
    word.assign(e.Word.begin(), e.Word.end());
    built.Words.Add(word, e.Dictionary, e.Rank);
  }
  built.Words.Freeze();
  const auto keyboards = StrengthKeyboardText();
  for (std::size_t g = 0; g < keyboards.size(); ++g) built.Keyboards[g] = ParseKeyboard(keyboards[g]);
  return built;
}

const TStrengthData& TStrengthData::Get() {
  static const TStrengthData data = Build();
  return data;
}

} // namespace kl::detail
