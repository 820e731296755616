#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <mutex>

#include "foundation/KLGeneral.h"
#include "rules/StrengthTs.h"

namespace kl::detail {

namespace {

String Utf16(std::string_view Utf8) {
  return UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Utf8.data()), Utf8.size());
}

// Calls Line(text) for each line of Text (the last one may lack its newline).
template <class F>
void ForEachLine(std::string_view Text, F&& Line) {
  while (!Text.empty()) {
    const std::size_t end = Text.find('\n');
    Line(Text.substr(0, end));
    if (end == std::string_view::npos) break;
    Text.remove_prefix(end + 1);
  }
}

constexpr std::array<std::string_view, 14> kWordSequenceNames = {
    "cardinalNumbers", "ordinalNumbers",   "daysOfWeek",
    "months",          "seasons",          "timePeriods",
    "rainbowColors",   "directions",       "intermediateDirections",
    "sizeProgression", "militaryAlphabet", "planets",
    "zodiacSigns",     "chineseZodiac"};

bool IsWordSequenceName(std::string_view Name) {
  return std::any_of(kWordSequenceNames.begin(), kWordSequenceNames.end(), [&](std::string_view n) {
    return Name == n || (Name.size() > n.size() && Name.substr(0, n.size()) == n && Name[n.size()] == '-');
  });
}

// ---- lower case -----------------------------------------------------------

struct TLowerTable {
  std::vector<std::pair<char32_t, std::u32string>> Map; // sorted by code point
};

const TLowerTable& LowerTable() {
  static const TLowerTable table = [] {
    TLowerTable t;
    ForEachLine(TsLowerCaseText(), [&](std::string_view line) {
      const std::size_t tab = line.find('\t');
      if (tab == std::string_view::npos) return;
      std::uint32_t from = 0;
      std::from_chars(line.data(), line.data() + tab, from, 16);
      std::u32string to;
      std::string_view rest = line.substr(tab + 1);
      while (!rest.empty()) {
        std::uint32_t cp = 0;
        const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), cp, 16);
        to.push_back(cp);
        rest.remove_prefix(static_cast<std::size_t>(r.ptr - rest.data()));
        if (!rest.empty()) rest.remove_prefix(1);
      }
      t.Map.emplace_back(from, std::move(to));
    });
    std::sort(t.Map.begin(), t.Map.end());
    return t;
  }();
  return table;
}

const std::u32string* LowerOf(const TLowerTable& T, char32_t C) {
  const auto it =
      std::lower_bound(T.Map.begin(), T.Map.end(), C, [](const auto& e, char32_t c) { return e.first < c; });
  return it != T.Map.end() && it->first == C ? &it->second : nullptr;
}

// Unicode's Cased and Case_Ignorable characters, as ranges sorted by start.
struct TCasing {
  std::vector<std::pair<char32_t, char32_t>> Cased, Ignorable;
};

const TCasing& Casing() {
  static const TCasing casing = [] {
    TCasing c;
    ForEachLine(TsCasingText(), [&](std::string_view line) {
      if (line.size() < 5) return;
      std::uint32_t first = 0, last = 0;
      const char* p = line.data() + 2;
      const char* end = line.data() + line.size();
      p = std::from_chars(p, end, first, 16).ptr;
      if (p < end) std::from_chars(p + 1, end, last, 16);
      (line[0] == 'c' ? c.Cased : c.Ignorable).emplace_back(first, last);
    });
    return c;
  }();
  return casing;
}

bool InRanges(const std::vector<std::pair<char32_t, char32_t>>& Ranges, char32_t C) {
  const auto it =
      std::upper_bound(Ranges.begin(), Ranges.end(), C, [](char32_t c, const auto& r) { return c < r.first; });
  return it != Ranges.begin() && C <= std::prev(it)->second;
}

char32_t CodePointAt(std::u16string_view Text, std::size_t I, std::size_t& Units) {
  const Char c = Text[I];
  if (c >= 0xD800 && c <= 0xDBFF && I + 1 < Text.size() && Text[I + 1] >= 0xDC00 && Text[I + 1] <= 0xDFFF) {
    Units = 2;
    return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (Text[I + 1] - 0xDC00);
  }
  Units = 1;
  return c;
}

void AppendCodePoint(String& Out, char32_t C) {
  if (C < 0x10000) {
    Out.push_back(static_cast<Char>(C));
  } else {
    C -= 0x10000;
    Out.push_back(static_cast<Char>(0xD800 + (C >> 10)));
    Out.push_back(static_cast<Char>(0xDC00 + (C & 0x3FF)));
  }
}

// Capital sigma is final when a letter with case comes before it and none
// after, the case-ignorable characters between skipped (an ignorable letter
// with case counts as ignorable, as the oracle's engine takes it).
bool IsFinalSigma(std::u16string_view Text, std::size_t I) {
  const TCasing& casing = Casing();
  auto cased = [&](std::size_t At, std::size_t& Units) -> int { // 1 cased, 0 ignorable, -1 neither
    const char32_t c = CodePointAt(Text, At, Units);
    if (InRanges(casing.Ignorable, c)) return 0;
    return InRanges(casing.Cased, c) ? 1 : -1;
  };
  bool before = false;
  for (std::size_t k = I; k > 0;) {
    std::size_t at = k - 1, units = 1;
    if (at > 0 && Text[at] >= 0xDC00 && Text[at] <= 0xDFFF && Text[at - 1] >= 0xD800 && Text[at - 1] <= 0xDBFF) --at;
    const int kind = cased(at, units);
    if (kind != 0) {
      before = kind == 1;
      break;
    }
    k = at;
  }
  if (!before) return false;
  for (std::size_t k = I + 1; k < Text.size();) {
    std::size_t units = 1;
    const int kind = cased(k, units);
    if (kind != 0) return kind != 1;
    k += units;
  }
  return true;
}

// ---- packs ----------------------------------------------------------------

std::unique_ptr<TTsPack> BuildPack(const TTsPackText& Text) {
  auto pack = std::make_unique<TTsPack>();
  pack->Code = std::string(Text.Code);
  std::vector<Char> chars;
  std::vector<TTsWordTree::TSource> words;
  for (std::size_t l = 0; l < Text.Count; ++l) {
    pack->ListNames.emplace_back(Text.Lists[l].Name);
    pack->IsWordSequence.push_back(IsWordSequenceName(Text.Lists[l].Name));
    // Words as listed: the oracle looks the lower-cased password up in the
    // lists as they are, so a listed capital never matches.
    std::int32_t rank = 0;
    ForEachLine(*Text.Lists[l].Text, [&](std::string_view line) {
      ++rank;
      if (line.empty()) return;
      const auto offset = static_cast<std::uint32_t>(chars.size());
      if (std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 128; })) {
        chars.insert(chars.end(), line.begin(), line.end());
      } else {
        const String w = Utf16(line);
        chars.insert(chars.end(), w.begin(), w.end());
      }
      words.push_back(
          {offset, static_cast<std::uint32_t>(chars.size() - offset), {static_cast<std::uint16_t>(l), rank}});
    });
  }
  pack->Words.Build(chars, words);
  return pack;
}

TKLKeyboardGraph GraphOfName(std::string_view Name) {
  if (Name == "qwertz") return kgQwertz;
  if (Name == "azerty") return kgAzerty;
  if (Name == "dvorak") return kgDvorak;
  if (Name == "keypad") return kgKeypad;
  if (Name == "keypadMac") return kgMacKeypad;
  return kgQwerty;
}

TTsGraph BuildGraph(const TTsListText& Text) {
  TTsGraph g;
  g.Name = std::string(Text.Name);
  g.Graph = GraphOfName(Text.Name);
  g.IsKeypad = g.Name.find("keypad") != std::string::npos;
  double degrees = 0;
  ForEachLine(*Text.Text, [&](std::string_view line) {
    const String fields = Utf16(line);
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= fields.size(); ++k) {
      if (k == fields.size() || fields[k] == u'\t') {
        parts.emplace_back(fields.substr(start, k - start));
        start = k + 1;
      }
    }
    if (parts.empty() || parts[0].size() != 1) return;
    const Char key = parts[0][0];
    parts.erase(parts.begin());
    degrees += static_cast<double>(std::count_if(parts.begin(), parts.end(), [](const auto& p) { return !p.empty(); }));
    g.Neighbours[key] = std::move(parts);
  });
  g.StartingPositions = static_cast<double>(g.Neighbours.size());
  g.AverageDegree = g.Neighbours.empty() ? 0 : degrees / g.StartingPositions;
  return g;
}

} // namespace

String TsLower(std::u16string_view Text) {
  const TLowerTable& table = LowerTable();
  String out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size();) {
    const Char c = Text[i];
    if (c < 128) {
      out.push_back(c >= u'A' && c <= u'Z' ? static_cast<Char>(c + 32) : c);
      ++i;
      continue;
    }
    std::size_t units = 1;
    const char32_t cp = CodePointAt(Text, i, units);
    if (cp == 0x3A3 && IsFinalSigma(Text, i)) {
      out.push_back(0x3C2);
    } else if (const std::u32string* lower = LowerOf(table, cp)) {
      for (char32_t l : *lower) AppendCodePoint(out, l);
    } else {
      out.append(Text.substr(i, units));
    }
    i += units;
  }
  return out;
}

void TTsWordTree::Build(const std::vector<Char>& Chars, std::vector<TSource>& Words) {
  const auto word = [&](const TSource& w) { return std::u16string_view(Chars.data() + w.Offset, w.Length); };
  std::stable_sort(Words.begin(), Words.end(), [&](const TSource& a, const TSource& b) { return word(a) < word(b); });
  // A level at a time: each node's range of (sorted) words split by their
  // next character, the words that end at the node first.
  struct TRange {
    std::uint32_t Node;
    std::size_t Begin, End, Depth;
  };
  FNodes.assign(1, TNode{});
  FKeys.assign(1, 0);
  FEntries.clear();
  std::vector<TRange> level{{0, 0, Words.size(), 0}}, next;
  while (!level.empty()) {
    next.clear();
    for (const TRange& r : level) {
      std::size_t b = r.Begin;
      FNodes[r.Node].FirstEntry = static_cast<std::uint32_t>(FEntries.size());
      const std::size_t firstEntry = FEntries.size();
      for (; b < r.End && Words[b].Length == r.Depth; ++b) {
        // A word twice in one list keeps its later rank, as the oracle's table does.
        const TEntry e = Words[b].Entry;
        auto dup = std::find_if(FEntries.begin() + static_cast<std::ptrdiff_t>(firstEntry), FEntries.end(),
                                [&](const TEntry& x) { return x.List == e.List; });
        if (dup != FEntries.end())
          dup->Rank = e.Rank;
        else
          FEntries.push_back(e);
      }
      FNodes[r.Node].FirstChild = static_cast<std::uint32_t>(FNodes.size());
      while (b < r.End) {
        const Char c = word(Words[b])[r.Depth];
        std::size_t e = b;
        while (e < r.End && word(Words[e])[r.Depth] == c) ++e;
        next.push_back({static_cast<std::uint32_t>(FNodes.size()), b, e, r.Depth + 1});
        FNodes.push_back(TNode{});
        FKeys.push_back(c);
        b = e;
      }
    }
    level.swap(next);
  }
  // The closing node: no children, no entries.
  FNodes.push_back(TNode{static_cast<std::uint32_t>(FNodes.size()), static_cast<std::uint32_t>(FEntries.size())});
  FNodes.shrink_to_fit();
  FKeys.shrink_to_fit();
  FEntries.shrink_to_fit();
}

std::uint32_t TTsWordTree::Child(std::uint32_t Node, Char C) const noexcept {
  const Char* first = FKeys.data() + FNodes[Node].FirstChild;
  const Char* last = FKeys.data() + FNodes[Node + 1].FirstChild;
  const Char* it = std::lower_bound(first, last, C);
  return it != last && *it == C ? static_cast<std::uint32_t>(it - FKeys.data()) : kNone;
}

std::size_t TTsWordTree::MemoryBytes() const noexcept {
  return FNodes.capacity() * sizeof(TNode) + FKeys.capacity() * sizeof(Char) + FEntries.capacity() * sizeof(TEntry);
}

const TTsPack* TsPack(std::string_view Code) {
  static const std::span<const TTsPackText> texts = TsPackTexts();
  static std::vector<std::once_flag> once(texts.size());
  static std::vector<std::unique_ptr<TTsPack>> packs(texts.size());
  for (std::size_t p = 0; p < texts.size(); ++p) {
    if (texts[p].Code != Code) continue;
    std::call_once(once[p], [&] { packs[p] = BuildPack(texts[p]); });
    return packs[p].get();
  }
  return nullptr;
}

const std::vector<TTsGraph>& TsGraphs() {
  static const std::vector<TTsGraph> graphs = [] {
    std::vector<TTsGraph> g;
    for (const TTsListText& text : TsGraphTexts()) g.push_back(BuildGraph(text));
    return g;
  }();
  return graphs;
}

TTsContext MakeTsContext(const std::vector<std::string>& Languages, const std::vector<String>& UserInputs,
                         std::int32_t ReferenceYear) {
  TTsContext c;
  c.ReferenceYear = ReferenceYear;
  std::vector<std::string> codes{"common", "en"};
  for (const std::string& l : Languages)
    if (std::find(codes.begin(), codes.end(), l) == codes.end()) codes.push_back(l);
  for (const std::string& code : codes) {
    const TTsPack* pack = TsPack(code);
    if (pack == nullptr) continue;
    c.Packs.push_back(pack);
    c.Order.emplace_back(pack->ListNames.size(), -1);
    for (std::size_t l = 0; l < pack->ListNames.size(); ++l) {
      // A later pack's list of a name already taken replaces it in its place.
      auto same = std::find_if(c.Dictionaries.begin(), c.Dictionaries.end(),
                               [&](const TTsDictionary& d) { return d.Name == pack->ListNames[l]; });
      const TTsDictionary d{pack, static_cast<std::uint16_t>(l), pack->ListNames[l], pack->IsWordSequence[l]};
      std::int32_t index;
      if (same != c.Dictionaries.end()) {
        index = static_cast<std::int32_t>(same - c.Dictionaries.begin());
        for (std::size_t p = 0; p < c.Packs.size(); ++p)
          for (std::int32_t& o : c.Order[p])
            if (o == index) o = -1;
        *same = d;
      } else {
        index = static_cast<std::int32_t>(c.Dictionaries.size());
        c.Dictionaries.push_back(d);
      }
      c.Order.back()[l] = index;
    }
  }
  c.Dictionaries.push_back(TTsDictionary{nullptr, 0, "userInputs", false});
  std::int32_t rank = 0;
  for (const String& word : UserInputs) {
    String lower = TsLower(word);
    c.LongestUserWord = std::max(c.LongestUserWord, word.size());
    c.UserWords[std::move(lower)] = ++rank;
  }
  return c;
}

} // namespace kl::detail
