// The language packs of the web build, handed in while the module runs. Each
// pack of a known code has a slot in the estimator's pack table from the
// start (so the languages the build knows are known before any is loaded);
// loading fills the slot, builds the pack's word tree at once (so the first
// estimate in the language pays nothing more) and adds its texts. The bytes
// are released after: the tree holds its own copy of every word.
#include "web/src/KLWebPacks.h"

#include <array>
#include <charconv>
#include <memory>

#include "foundation/KLGeneral.h"
#include "rules/StrengthFeedback.h"
#include "rules/StrengthTs.h"

namespace klweb {

namespace {

#include "WebPackCodes.inc" // constexpr std::string_view kPackCodes[] = {"common", "en", ...};

constexpr std::size_t kPackCount = std::size(kPackCodes);
constexpr std::string_view kMagic = "klpassword-strength-pack 1\n";

struct TPackSlots {
  std::array<kl::detail::TTsPackText, kPackCount> Texts{};
  std::array<bool, kPackCount> Loaded{};
  TPackSlots() {
    for (std::size_t p = 0; p < kPackCount; ++p) Texts[p] = {kPackCodes[p], nullptr, 0};
  }
};

TPackSlots& Slots() {
  static TPackSlots slots;
  return slots;
}

std::size_t SlotOf(std::string_view Code) {
  for (std::size_t p = 0; p < kPackCount; ++p)
    if (kPackCodes[p] == Code) return p;
  return kPackCount;
}

[[noreturn]] void Malformed(const std::string& What) {
  throw kl::EKLException("Not a language pack of this build: " + What);
}

// Reads the line "<Word> <rest>\n" at the front of Text; gives rest.
std::string_view Line(std::string_view& Text, std::string_view Word) {
  const std::size_t end = Text.find('\n');
  if (end == std::string_view::npos || Text.substr(0, Word.size() + 1) != std::string(Word) + " ")
    Malformed("'" + std::string(Word) + "' expected");
  const std::string_view rest = Text.substr(Word.size() + 1, end - Word.size() - 1);
  Text.remove_prefix(end + 1);
  return rest;
}

// Takes the block of Size bytes (the number that ends Header) from Text.
std::string_view Block(std::string_view& Text, std::string_view Size) {
  std::size_t size = 0;
  const auto [end, error] = std::from_chars(Size.data(), Size.data() + Size.size(), size);
  if (error != std::errc() || end != Size.data() + Size.size() || Size.empty()) Malformed("a bad length");
  if (size > Text.size()) Malformed("cut short");
  const std::string_view block = Text.substr(0, size);
  Text.remove_prefix(size);
  return block;
}

} // namespace

std::string LoadStrengthPack(std::string_view Bytes) {
  if (Bytes.substr(0, kMagic.size()) != kMagic) Malformed("no pack header");
  std::string_view rest = Bytes.substr(kMagic.size());
  const std::string code(Line(rest, "pack"));
  const std::size_t slot = SlotOf(code);
  if (slot == kPackCount) Malformed("the unknown pack '" + code + "'");
  TPackSlots& slots = Slots();
  if (slots.Loaded[slot]) return code;

  // Everything is read and checked before the slot is touched.
  std::vector<std::string_view> names, lists;
  while (rest.substr(0, 5) == "list ") {
    const std::string_view header = Line(rest, "list");
    const std::size_t space = header.rfind(' ');
    if (space == std::string_view::npos || space == 0) Malformed("a list without a name");
    names.push_back(header.substr(0, space));
    lists.push_back(Block(rest, header.substr(space + 1)));
  }
  const std::string_view texts = Block(rest, Line(rest, "texts"));
  if (rest != "end\n") Malformed("no end, or bytes after it");
  if (!kl::IsValidUTF8(reinterpret_cast<const std::uint8_t*>(Bytes.data()), Bytes.size()))
    Malformed("text that is not UTF-8");

  std::vector<kl::detail::TTsListText> table;
  for (std::size_t l = 0; l < names.size(); ++l) table.push_back({names[l], &lists[l]});
  kl::detail::TTsPackText& text = slots.Texts[slot];
  text.Lists = table.data();
  text.Count = table.size();
  kl::detail::TsPack(code); // builds the tree from the bytes, which go after
  text.Lists = nullptr;
  text.Count = 0;
  if (code != "common") kl::detail::AddStrengthTexts(code, texts);
  slots.Loaded[slot] = true;
  return code;
}

bool IsStrengthPackLoaded(std::string_view Code) {
  const std::size_t slot = SlotOf(Code);
  return slot < kPackCount && Slots().Loaded[slot];
}

void RequireStrengthPacks(const std::vector<std::string>& Languages) {
  std::vector<std::string> needed{"common", "en"};
  needed.insert(needed.end(), Languages.begin(), Languages.end());
  for (const std::string& code : needed) {
    if (SlotOf(code) == kPackCount) continue; // SetLanguages names what it does not know
    if (!IsStrengthPackLoaded(code))
      throw kl::EKLException("The language pack '" + code + "' is not loaded: load the language first");
  }
}

} // namespace klweb

namespace kl::detail {

std::span<const TTsPackText> TsPackTexts() { return klweb::Slots().Texts; }

} // namespace kl::detail
