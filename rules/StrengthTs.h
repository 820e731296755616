#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/SecureMemory.h"
#include "rules/KLStrength.h"
#include "rules/StrengthMatching.h"

// The estimator's zxcvbn-ts profile: the language packs (compiled-in text,
// parsed on first use), its lower case, its matchers and its scoring. Internal
// to the library; the packs, once built, are immutable and shared by all
// threads.
namespace kl::detail {

// A compiled-in text with its name: a dictionary of a pack, or a keyboard graph.
struct TTsListText {
  std::string_view Name;
  const std::string_view* Text;
};

struct TTsPackText {
  std::string_view Code; // "common", "en", "de"...
  const TTsListText* Lists;
  std::size_t Count;
};

// Wipes a working copy of (a part of) the password when it goes out of scope.
class TWipeOnExit {
public:
  explicit TWipeOnExit(String& Text) noexcept : FText(Text) {}
  ~TWipeOnExit() { WipeString(FText); }
  TWipeOnExit(const TWipeOnExit&) = delete;
  TWipeOnExit& operator=(const TWipeOnExit&) = delete;

private:
  String& FText;
};

// The generated manifest (cmake/EmbedStrengthPacks.cmake).
std::span<const TTsPackText> TsPackTexts();
std::span<const TTsListText> TsGraphTexts();
std::string_view TsLowerCaseText();
std::string_view TsCasingText();

// The words of one pack, every list in one tree: a node may end words of
// several lists, each with its own rank. Children are kept sorted side by
// side, so a walk costs a binary search a character.
class TTsWordTree {
public:
  struct TEntry {
    std::uint16_t List; // the list's index in its pack
    std::int32_t Rank;  // 1 for the most frequent
  };
  // The words to build from, side by side in Chars: word k is
  // Chars[Words[k].Offset, + Length), with its entry.
  struct TSource {
    std::uint32_t Offset;
    std::uint32_t Length;
    TEntry Entry;
  };

  void Build(const std::vector<Char>& Chars, std::vector<TSource>& Words);

  // Calls Found(j, entries) for each j where Text[I..j] ends a word; stops at Limit.
  template <class F>
  void ForEachWordAt(std::u16string_view Text, std::size_t I, std::size_t Limit, F&& Found) const {
    std::uint32_t node = 0;
    for (std::size_t j = I; j < Limit; ++j) {
      node = Child(node, Text[j]);
      if (node == kNone) return;
      const std::uint32_t first = FNodes[node].FirstEntry, end = FNodes[node + 1].FirstEntry;
      if (end != first) Found(j, std::span<const TEntry>(FEntries.data() + first, end - first));
    }
  }

  std::size_t MemoryBytes() const noexcept;

private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // Nodes are numbered breadth first, so that each node's children, and its
  // entries, end where the next node's begin (a last node closes the ranges).
  struct TNode {
    std::uint32_t FirstChild = 0;
    std::uint32_t FirstEntry = 0;
  };
  std::uint32_t Child(std::uint32_t Node, Char C) const noexcept;

  std::vector<TNode> FNodes;
  std::vector<Char> FKeys; // by node: the character that leads to it
  std::vector<TEntry> FEntries;
};

struct TTsPack {
  std::string Code;
  std::vector<std::string> ListNames;
  std::vector<bool> IsWordSequence; // by list: one of the ordered lists ('one', 'two'...)
  TTsWordTree Words;
};

// A keyboard of the common pack: each key's neighbours in a fixed order of
// directions (empty where there is none), each as the key's characters.
struct TTsGraph {
  std::string Name;
  TKLKeyboardGraph Graph = kgQwerty;
  std::unordered_map<Char, std::vector<std::u16string>> Neighbours;
  double StartingPositions = 0;
  double AverageDegree = 0;
  bool IsKeypad = false;
};

// The pack of the code ("common", "en", ...; null for an unknown code), built
// on first use, once for the process.
const TTsPack* TsPack(std::string_view Code);
const std::vector<TTsGraph>& TsGraphs();

// Lower case as JavaScript's toLowerCase gives it: every script, one code
// point to one or more code units (so the text may grow), the final sigma by
// its context (a letter with case before it, none after, case-ignorable
// characters between skipped).
String TsLower(std::u16string_view Text);

// One dictionary the estimate uses, in the order the oracle consults them.
struct TTsDictionary {
  const TTsPack* Pack = nullptr; // null: the user inputs
  std::uint16_t List = 0;
  std::string Name;
  bool IsWordSequence = false;
};

struct TTsContext {
  std::vector<TTsDictionary> Dictionaries;
  // by pack position in Packs, by list: the index in Dictionaries, or -1
  std::vector<const TTsPack*> Packs;
  std::vector<std::vector<std::int32_t>> Order;
  std::unordered_map<std::u16string, std::int32_t> UserWords; // lower case, ranked
  std::size_t LongestUserWord = 0;
  std::int32_t ReferenceYear = 2000;
};

// The context for the common pack, English, then Languages in order (a later
// list of the same name takes the earlier one's place), and the user inputs.
TTsContext MakeTsContext(const std::vector<std::string>& Languages, const std::vector<String>& UserInputs,
                         std::int32_t ReferenceYear);

std::vector<TKLStrengthMatch> TsOmnimatch(std::u16string_view Password, const TTsContext& Context);
TGuessSequence TsMostGuessableMatchSequence(std::u16string_view Password, std::vector<TKLStrengthMatch>& Matches,
                                            std::int32_t ReferenceYear);
double TsEstimateMatchGuesses(TKLStrengthMatch& Match, std::size_t PasswordLength, std::int32_t ReferenceYear);

// The whole estimate's covering of Password (its first MaxTsLength code units).
TGuessSequence TsEstimate(std::u16string_view Password, const TTsContext& Context);

} // namespace kl::detail
