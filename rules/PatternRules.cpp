#include "rules/KLRules.h"

namespace kl {

namespace {

// Each keyboard character mapped to row * kRowStride + column; kNotOnKeyboard for
// the rest. Since no character stands in two places, two password characters
// are neighbours in one row, left to right, exactly when the second's key is the
// first's plus one, and a run of keys through the table is a window of a row.
constexpr std::uint8_t kNotOnKeyboard = 0xFF;
constexpr std::uint8_t kRowStride = 16;
constexpr Char kKeyTableSize = 128;

constexpr std::array<std::uint8_t, kKeyTableSize> BuildKeyTable() {
  std::array<std::uint8_t, kKeyTableSize> table{};
  for (auto& key : table) key = kNotOnKeyboard;
  for (std::size_t row = 0; row < kKeyboardRows.size(); ++row) {
    const std::u16string_view keys = kKeyboardRows[row];
    if (keys.size() >= kRowStride) throw "a keyboard row is too long for the key table";
    for (std::size_t column = 0; column < keys.size(); ++column) {
      const Char c = keys[column];
      if (c >= kKeyTableSize) throw "a keyboard character lies outside ASCII";
      if (table[c] != kNotOnKeyboard) throw "a keyboard character stands in two places";
      table[c] = static_cast<std::uint8_t>(row * kRowStride + column);
    }
  }
  return table;
}

constexpr std::array<std::uint8_t, kKeyTableSize> kKeyTable = BuildKeyTable();

constexpr std::uint8_t KeyOf(Char C) noexcept { return C < kKeyTableSize ? kKeyTable[C] : kNotOnKeyboard; }

// The digit string holds exactly the ASCII digits, so membership is a range test.
constexpr bool DigitsAreAsciiDigits() {
  if (kSequenceDigits.size() != 10) return false;
  for (Char c = u'0'; c <= u'9'; ++c) {
    if (kSequenceDigits.find(c) == std::u16string_view::npos) return false;
  }
  return true;
}
static_assert(DigitsAreAsciiDigits());

constexpr bool IsSequenceDigit(Char C) noexcept { return C >= u'0' && C <= u'9'; }

// The first run of Needed or more characters that belong (Member) and each
// continue the one before (Continues), taken to its end; empty when there is
// none. The scan is the one the sequence rules' Validate makes, so the two agree.
template <class TMember, class TContinues>
String FindRun(const String& Password, std::size_t Needed, TMember Member, TContinues Continues) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < Password.size(); ++i) {
    if (!Member(Password[i])) {
      run = 0;
      continue;
    }
    run = (run > 0 && Continues(Password[i - 1], Password[i])) ? run + 1 : 1;
    if (run < Needed) continue;
    std::size_t end = i + 1;
    while (end < Password.size() && Member(Password[end]) && Continues(Password[end - 1], Password[end])) ++end;
    return Password.substr(i + 1 - run, end - (i + 1 - run));
  }
  return {};
}

bool OnKeyboard(Char C) noexcept { return KeyOf(C) != kNotOnKeyboard; }

bool IsAsciiLetter(Char C) noexcept { return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z'); }

Char FoldAscii(Char C) noexcept { return C >= u'A' && C <= u'Z' ? static_cast<Char>(C - u'A' + u'a') : C; }

bool ReadsForward(TKLSequenceDirection Direction) noexcept { return Direction != TKLSequenceDirection::sdBackward; }

bool ReadsBackward(TKLSequenceDirection Direction) noexcept { return Direction != TKLSequenceDirection::sdForward; }

// The sequence found reading forward, else the one found reading backward.
template <class TMember, class TOrder>
String FindSequenceEitherWay(const String& Password, std::int32_t SequenceLen, TKLSequenceDirection Direction,
                             TMember Member, TOrder Order) {
  if (SequenceLen <= 0) return {};
  const auto needed = static_cast<std::size_t>(SequenceLen);
  String run;
  if (ReadsForward(Direction)) {
    run = FindRun(Password, needed, Member, [&](Char a, Char b) { return Order(b) == Order(a) + 1; });
  }
  if (run.empty() && ReadsBackward(Direction)) {
    run = FindRun(Password, needed, Member, [&](Char a, Char b) { return Order(a) == Order(b) + 1; });
  }
  return run;
}

} // namespace

std::int32_t TKLDictionaryRule::AddWord(const String& Word) {
  const std::int32_t index = FList.Add(Word);
  try {
    ++FWordCounts[Word];
  } catch (...) {
    FList.Delete(index);
    throw;
  }
  return index;
}

void TKLDictionaryRule::RemoveWord(std::int32_t Index) {
  const auto entry = FWordCounts.find(FList.Get(Index));
  if (--entry->second == 0) FWordCounts.erase(entry);
  FList.Delete(Index);
}

bool TKLDictionaryRule::Validate(const String& Password) const { return !FWordCounts.contains(Password); }

void TKLDictionaryRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (!Validate(Password)) Failures.emplace_back(kIllegalWord).AddPasswordText("word", Password);
}

bool TKLQwertySequenceRule::Validate(const String& Password) const {
  if (FSeqLen <= 0) return true;
  const auto needed = static_cast<std::size_t>(FSeqLen);
  std::size_t run = 0;
  std::uint8_t previous = kNotOnKeyboard;
  for (Char c : Password) {
    const std::uint8_t key = KeyOf(c);
    if (key == kNotOnKeyboard) {
      run = 0;
    } else {
      run = (run > 0 && key == previous + 1) ? run + 1 : 1;
      if (run >= needed) return false;
    }
    previous = key;
  }
  return true;
}

void TKLQwertySequenceRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (FSeqLen <= 0) return;
  const String run = FindRun(Password, static_cast<std::size_t>(FSeqLen), OnKeyboard,
                             [](Char a, Char b) { return KeyOf(b) == KeyOf(a) + 1; });
  if (!run.empty())
    Failures.emplace_back(kIllegalQwertySequence).AddPasswordText("sequence", run).AddNumber("minimum", FSeqLen);
}

bool TKLNumericalSequenceRule::Validate(const String& Password) const {
  if (FSeqLen <= 0) return true;
  const auto needed = static_cast<std::size_t>(FSeqLen);
  std::size_t run = 0;
  Char previous = 0;
  for (Char c : Password) {
    if (!IsSequenceDigit(c)) {
      run = 0;
    } else {
      run = (run > 0 && c == previous) ? run + 1 : 1;
      if (run >= needed) return false;
    }
    previous = c;
  }
  return true;
}

void TKLNumericalSequenceRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (FSeqLen <= 0) return;
  const String run =
      FindRun(Password, static_cast<std::size_t>(FSeqLen), IsSequenceDigit, [](Char a, Char b) { return a == b; });
  if (!run.empty())
    Failures.emplace_back(kIllegalRepeatedDigits).AddPasswordText("sequence", run).AddNumber("minimum", FSeqLen);
}

// The run is compared for equality, and only from the second character on:
// that is what makes a length of 1 reject any change of character.
bool TKLRepeatCharacterRule::Validate(const String& Password) const {
  if (Password.size() < 2 || FSeqLen <= 0) return true;
  const auto target = static_cast<std::size_t>(FSeqLen);
  std::size_t run = 1;
  for (std::size_t i = 1; i < Password.size(); ++i) {
    run = Password[i] == Password[i - 1] ? run + 1 : 1;
    if (run == target) return false;
  }
  return true;
}

// Reports the run where Validate stops: the SequenceLen characters that
// reached the count.
void TKLRepeatCharacterRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (Password.size() < 2 || FSeqLen <= 0) return;
  const auto target = static_cast<std::size_t>(FSeqLen);
  std::size_t run = 1;
  for (std::size_t i = 1; i < Password.size(); ++i) {
    run = Password[i] == Password[i - 1] ? run + 1 : 1;
    if (run == target) {
      Failures.emplace_back(kIllegalRepeatedCharacters)
          .AddPasswordText("sequence", Password.substr(i + 1 - run, run))
          .AddNumber("minimum", FSeqLen);
      return;
    }
  }
}

bool TKLRegularExpressionRule::Validate(const String& Password) const { return !FRegex.IsMatch(Password); }

// A matcher that gives up refuses the password rather than letting it pass.
void TKLRegularExpressionRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  try {
    if (!Validate(Password)) Failures.emplace_back(kIllegalMatch).AddText("pattern", FRegex.GetPattern());
  } catch (const ERegexError& e) {
    Failures.emplace_back(kRuleNotChecked)
        .AddText("pattern", FRegex.GetPattern())
        .AddText("reason", UTF8ToStr(e.GetMessage()));
  }
}

String TKLAlphabeticalSequenceRule::FindSequence(const String& Password) const {
  return FindSequenceEitherWay(Password, FSeqLen, FDirection, IsAsciiLetter, [](Char c) { return int{FoldAscii(c)}; });
}

bool TKLAlphabeticalSequenceRule::Validate(const String& Password) const { return FindSequence(Password).empty(); }

void TKLAlphabeticalSequenceRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  const String run = FindSequence(Password);
  if (!run.empty()) {
    Failures.emplace_back(kIllegalAlphabeticalSequence).AddPasswordText("sequence", run).AddNumber("minimum", FSeqLen);
  }
}

String TKLKeyboardSequenceRule::FindSequence(const String& Password) const {
  return FindSequenceEitherWay(Password, FSeqLen, FDirection, OnKeyboard, [](Char c) { return int{KeyOf(c)}; });
}

bool TKLKeyboardSequenceRule::Validate(const String& Password) const { return FindSequence(Password).empty(); }

void TKLKeyboardSequenceRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  const String run = FindSequence(Password);
  if (!run.empty()) {
    Failures.emplace_back(kIllegalQwertySequence).AddPasswordText("sequence", run).AddNumber("minimum", FSeqLen);
  }
}

} // namespace kl
