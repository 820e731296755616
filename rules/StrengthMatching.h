#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "rules/KLStrength.h"

// The parts of the strength estimator: its word and keyboard data, the
// matchers that find guessable stretches, and the scoring that prices them and
// picks the cheapest covering. Internal to the library.
namespace kl::detail {

// Words with their list and rank, walked character by character so that every
// word starting at a position is found in one pass. Built by Add, then Freeze
// lays each node's children side by side, sorted, for the look-ups (no Add
// afterwards). A node holds at most one word: no word stands in two lists, and
// a later duplicate takes over the earlier one's rank.
class TWordTrie {
public:
  TWordTrie();

  void Add(std::u16string_view Word, TKLStrengthDictionary Dictionary, std::int32_t Rank);
  void Freeze();

  // Calls Found(j, dictionary, rank) for each word equal to Text[I..j], j
  // ascending; Text is already lower case.
  template <class F>
  void ForEachWordAt(std::u16string_view Text, std::size_t I, F&& Found) const {
    std::uint32_t node = 0;
    for (std::size_t j = I; j < Text.size(); ++j) {
      node = Child(node, Text[j]);
      if (node == kNone) return;
      const TNode& n = FNodes[node];
      if (n.Rank > 0) Found(j, static_cast<TKLStrengthDictionary>(n.Dictionary), n.Rank);
    }
  }

  bool IsEmpty() const noexcept { return FNodes.size() == 1; }

private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // While building, First is the first child and Next the next sibling; once
  // frozen, the children are nodes First to First + Next - 1.
  struct TNode {
    std::uint32_t First = kNone;
    std::uint32_t Next = kNone;
    std::int32_t Rank = 0; // 0: no word ends here
    std::uint8_t Dictionary = 0;
  };
  std::uint32_t Child(std::uint32_t Node, Char C) const noexcept;
  std::uint32_t BuildingChild(std::uint32_t Node, Char C) const noexcept;

  std::vector<TNode> FNodes;
  std::vector<Char> FKeys;                   // by node: the character that leads to it
  std::array<std::uint32_t, 128> FRootAscii; // the root's children by ASCII character
  String FLastWord;                          // while building: the word added last,
  std::vector<std::uint32_t> FLastPath;      // and its nodes, from the root
  bool FFrozen = false;
};

// A keyboard as adjacency lists: for each key its neighbours in a fixed order
// of directions, each neighbour as the key's characters (unshifted, shifted),
// empty where there is none. Only ASCII keys exist.
struct TKeyboard {
  std::array<std::vector<std::u16string>, 128> Neighbours;
  std::array<bool, 128> HasKey{};
  double AverageDegree = 0;
  std::int32_t KeyCount = 0;
};

// The word lists (one word a line, most frequent first, in TKLStrengthDictionary
// order) and the keyboards (one key a line: the key, then its neighbours,
// tab-separated, in TKLKeyboardGraph order) as compiled-in text.
std::array<std::string_view, 6> StrengthWordListText();
std::array<std::string_view, 4> StrengthKeyboardText();

struct TStrengthData {
  TWordTrie Words;
  std::array<TKeyboard, 4> Keyboards; // by TKLKeyboardGraph

  // Built on first use from the compiled-in text; immutable afterwards.
  static const TStrengthData& Get();
  // A fresh copy built from the text (what Get does once).
  static TStrengthData Build();
};

struct TMatchContext {
  const TWordTrie* UserWords = nullptr; // null or empty: no user inputs
  std::int32_t ReferenceYear = 2000;
};

// Lower case as the frequency lists hold their words: ASCII, Latin-1, Greek and
// Cyrillic capitals, one code unit for one.
Char LowerChar(Char C) noexcept;
String LowerText(std::u16string_view Text);

// The year of the local clock (proleptic Gregorian), for the recent-year and
// date patterns when no reference year is set.
std::int32_t CurrentYear();

// The seconds Guesses take in each of the four attack scenarios.
TKLCrackTimes CrackTimesOf(double Guesses);

// A match of Pattern over Password[I..J], its token copied.
TKLStrengthMatch MakeMatch(TKLMatchPattern Pattern, std::u16string_view Password, std::size_t I, std::size_t J);

// A character typed with Shift on a US keyboard.
bool IsShiftedKey(Char C) noexcept;

struct TRepeatFound {
  std::size_t Start;
  std::size_t Length;
  std::size_t BaseLength;
};

// The leftmost repeat at or after From in S (no run crosses a line
// terminator), with the run it repeats; none when nothing repeats.
std::optional<TRepeatFound> FindRepeat(std::u16string_view S, std::size_t From);

// Every match of every kind in Password, matcher by matcher. Where two matches
// cover the same stretch, the earlier one wins a tie in the search.
std::vector<TKLStrengthMatch> Omnimatch(std::u16string_view Password, const TMatchContext& Context);

struct TGuessSequence {
  double Guesses = 1;
  std::vector<TKLStrengthMatch> Sequence;
};

// The covering of Password by Matches (and brute-forced gaps) that needs the
// fewest guesses, counting the order of its l parts (l!) and a floor that grows
// with l. Estimates each match's guesses on the way.
TGuessSequence MostGuessableMatchSequence(std::u16string_view Password, std::vector<TKLStrengthMatch>& Matches,
                                          std::int32_t ReferenceYear);

// The guesses for one match inside a password of PasswordLength characters.
double EstimateMatchGuesses(TKLStrengthMatch& Match, std::size_t PasswordLength, std::int32_t ReferenceYear);

// Long passwords are analysed a window of characters at a time; a stretch
// after a window that repeats the Shift characters before it counts its copies
// (the one it repeats included) up to as many as fill a window, at least two.
inline std::size_t MostCountedCopies(std::size_t Shift, std::size_t Window) noexcept {
  return std::max<std::size_t>(2, (Window + Shift - 1) / Shift);
}

// The smallest Shift (1 to MaxShift, and at most Start) such that each of
// Text[Start..End) equals the character Shift places before it; 0 for none.
// Linear in End - Start + MaxShift.
std::size_t CopyShift(std::u16string_view Text, std::size_t Start, std::size_t End, std::size_t MaxShift);

// A position in the password as the matches hold it (saturated at INT32_MAX).
std::int32_t ClampedPosition(std::size_t Position) noexcept;

} // namespace kl::detail
