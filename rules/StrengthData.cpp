#include "rules/StrengthMatching.h"

namespace kl::detail {

TWordTrie::TWordTrie() : FNodes(1) { FRootAscii.fill(kNone); }

std::uint32_t TWordTrie::Child(std::uint32_t Node, Char C) const noexcept {
  if (Node == 0 && C < 128) return FRootAscii[C];
  for (std::uint32_t c = FNodes[Node].FirstChild; c != kNone; c = FNodes[c].NextSibling)
    if (FNodes[c].Key == C) return c;
  return kNone;
}

void TWordTrie::Add(std::u16string_view Word, TKLStrengthDictionary Dictionary, std::int32_t Rank) {
  if (Word.empty()) return;
  std::uint32_t node = 0;
  for (Char c : Word) {
    std::uint32_t next = Child(node, c);
    if (next == kNone) {
      next = static_cast<std::uint32_t>(FNodes.size());
      TNode fresh;
      fresh.Key = c;
      fresh.NextSibling = FNodes[node].FirstChild;
      FNodes.push_back(fresh);
      FNodes[node].FirstChild = next;
      if (node == 0 && c < 128) FRootAscii[c] = next;
    }
    node = next;
  }
  FNodes[node].Rank = Rank;
  FNodes[node].Dictionary = static_cast<std::uint8_t>(Dictionary);
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

const TStrengthData& TStrengthData::Get() {
  static const TStrengthData data = [] {
    TStrengthData built;
    for (std::size_t d = 0; d < kStrengthWordListText.size(); ++d) {
      std::int32_t rank = 0;
      ForEachLine(kStrengthWordListText[d], [&](std::string_view word) {
        built.Words.Add(Widen(word), static_cast<TKLStrengthDictionary>(d), ++rank);
      });
    }
    for (std::size_t g = 0; g < kStrengthKeyboardText.size(); ++g)
      built.Keyboards[g] = ParseKeyboard(kStrengthKeyboardText[g]);
    return built;
  }();
  return data;
}

} // namespace kl::detail
