#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "foundation/Types.h"

namespace kl::detail {

// One character set of the generator as it enters the alphabet: its text, its
// switch, and how many of its characters a password must hold at least.
struct TCharacterSet {
  std::u16string_view Chars;
  bool Enabled = false;
  std::int32_t Minimum = 0;
};

// What random passwords are drawn from once the exclusions are applied: each
// distinct character once, in alphabet order, with the class it counts for (the
// first enabled set that holds it), and each class's size and minimum. It also
// counts, exactly, how many passwords of a given length meet the minimums, which
// gives both the entropy and the chance that a uniformly drawn password needs no
// redraw. Built by the generator; a value, no shared state.
class TCharacterPlan {
public:
  struct TClass {
    std::uint32_t Size = 0;
    std::int32_t Minimum = 0;
  };

  // Refuses (EKLPasswordError) an empty alphabet, custom characters that are not
  // valid text, a minimum for a set that is off or has nothing left after the
  // exclusions, and minimums beyond the bound that keeps the counting cheap.
  TCharacterPlan(const std::array<TCharacterSet, 6>& Sets, const String& Excluded);

  const std::vector<char32_t>& GetCharacters() const noexcept { return FCharacters; }
  const std::vector<std::uint8_t>& GetClassOf() const noexcept { return FClassOf; }
  const std::vector<TClass>& GetClasses() const noexcept { return FClasses; }
  std::int64_t GetMinimumTotal() const noexcept { return FMinimumTotal; }
  bool HasMinimums() const noexcept { return FMinimumTotal > 0; }

  // The share of all passwords of Len characters over the plan's characters
  // that meet every minimum (1 without minimums, 0 when they exceed Len).
  double AcceptanceProbability(std::int64_t Len) const;
  // Log2 of the number of such passwords.
  double Log2Count(std::int64_t Len) const;
  // Raises EKLPasswordError unless passwords of Len characters can be drawn:
  // the minimums fit in Len and a uniform draw meets them often enough.
  void CheckLength(std::int64_t Len) const;

private:
  std::vector<char32_t> FCharacters;
  std::vector<std::uint8_t> FClassOf;
  std::vector<TClass> FClasses;
  std::int64_t FMinimumTotal = 0;
  mutable std::int64_t FCachedLength = -1;
  mutable double FCachedProbability = 0;
};

// The characters of a text, a surrogate pair being one; refuses an unpaired
// surrogate with EKLPasswordError.
std::vector<char32_t> SplitCharacters(std::u16string_view Text);
// Appends one character as one or two code units.
inline void AppendCharacter(String& Text, char32_t C) {
  if (C < 0x10000) {
    Text.push_back(static_cast<char16_t>(C));
  } else {
    Text.push_back(static_cast<char16_t>(0xD800 + ((C - 0x10000) >> 10)));
    Text.push_back(static_cast<char16_t>(0xDC00 + ((C - 0x10000) & 0x3FF)));
  }
}

} // namespace kl::detail
