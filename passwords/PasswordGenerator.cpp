#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "crypto/KLPKCS5.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"
#include "passwords/PasswordConstraints.h"

namespace kl {

// The exception's key function lives with the generator, which raises it
// most, so that builds with the generator and without the saved password
// (the WebAssembly edition) still have its type information.
EKLPasswordError::~EKLPasswordError() = default;

namespace {

static_assert(TKLPasswordGenerator::UpperCaseChars.size() == 26);
static_assert(TKLPasswordGenerator::LowerCaseChars.size() == 26);
static_assert(TKLPasswordGenerator::DigitChars.size() == 10);
static_assert(TKLPasswordGenerator::SymbolChars.size() == 32);

// Values drawn per call of the random generator at most, so that one call's
// byte count always fits its 32-bit size.
constexpr std::size_t kMaxValuesPerDraw = std::size_t{1} << 16;

std::uint64_t ReadLittleEndian(const std::uint8_t* Bytes, std::size_t Width) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < Width; ++i) value |= static_cast<std::uint64_t>(Bytes[i]) << (8 * i);
  return value;
}

// Draws random values of Width bytes and keeps those below a limit that is a
// multiple of the alphabet's length, so every character is equally likely
// whatever that length. At most half the values are rejected.
class TUniformPicker {
public:
  TUniformPicker(TKLBaseRandomGenerator& Random, std::size_t AlphabetLength)
      : FRandom(Random), FLength(AlphabetLength) {
    FWidth = AlphabetLength <= 0x100 ? 1 : AlphabetLength <= 0x10000 ? 2 : 4;
    const std::uint64_t space = std::uint64_t{1} << (8 * FWidth);
    FLimit = space - space % AlphabetLength;
  }

  // Calls Put(index, alphabet position) for each index from 0 to Count - 1.
  template <class Sink>
  void Pick(std::size_t Count, Sink&& Put) {
    std::size_t done = 0;
    while (done < Count) {
      const std::size_t remaining = Count - done;
      // A quarter more than needed covers the usual rejections in one draw.
      const std::size_t values = std::min(remaining + remaining / 4 + 8, kMaxValuesPerDraw);
      FPool.Get().resize(values * FWidth);
      FRandom.Generate(FPool.data(), static_cast<std::int32_t>(FPool.size()));
      for (std::size_t i = 0; i < values && done < Count; ++i) {
        const std::uint64_t value = ReadLittleEndian(FPool.data() + i * FWidth, FWidth);
        if (value < FLimit) Put(done++, static_cast<std::size_t>(value % FLength));
      }
      SecureZero(FPool.data(), FPool.size());
    }
  }

private:
  TKLBaseRandomGenerator& FRandom;
  std::size_t FLength;
  std::size_t FWidth;
  std::uint64_t FLimit;
  SecureBytes FPool;
};

// Derived passwords map each byte by its remainder alone: the same bytes must
// give the same password on every machine, so this mapping is fixed. A
// character outside the Basic Multilingual Plane is one alphabet position, so
// an alphabet without surrogate pairs maps exactly as one of code units.
String MapByRemainder(const std::vector<char32_t>& Alphabet, const ByteArray& Bytes) {
  String result;
  result.reserve(Bytes.size());
  for (const std::uint8_t byte : Bytes) detail::AppendCharacter(result, Alphabet[byte % Alphabet.size()]);
  return result;
}

// Positions drawn for one password, wiped when they go.
class TPicks {
public:
  explicit TPicks(std::size_t Count) : FPicks(Count) {}
  ~TPicks() { SecureZero(FPicks.data(), FPicks.size() * sizeof(std::uint32_t)); }
  TPicks(const TPicks&) = delete;
  TPicks& operator=(const TPicks&) = delete;
  std::uint32_t& operator[](std::size_t Index) noexcept { return FPicks[Index]; }
  const std::vector<std::uint32_t>& Get() const noexcept { return FPicks; }

private:
  std::vector<std::uint32_t> FPicks;
};

bool MeetsMinimums(const detail::TCharacterPlan& Plan, const std::vector<std::uint32_t>& Picks) {
  std::array<std::int64_t, 8> counts{};
  const auto& classOf = Plan.GetClassOf();
  for (const std::uint32_t pick : Picks) ++counts[classOf[pick]];
  const auto& classes = Plan.GetClasses();
  for (std::size_t c = 0; c < classes.size(); ++c) {
    if (counts[c] < classes[c].Minimum) return false;
  }
  return true;
}

// The characters in their order, less the excluded ones; refuses an empty result.
std::vector<char32_t> WithoutExcluded(std::vector<char32_t> Chars, const String& Excluded) {
  const std::vector<char32_t> list = detail::SplitCharacters(Excluded);
  const std::unordered_set<char32_t> excluded(list.begin(), list.end());
  std::erase_if(Chars, [&](char32_t C) { return excluded.contains(C); });
  if (Chars.empty()) throw EKLPasswordError(SEmptyAlphabet);
  return Chars;
}

void CapitalizeFirst(String& Text, std::size_t From) {
  if (From < Text.size() && Text[From] >= u'a' && Text[From] <= u'z') Text[From] = static_cast<Char>(Text[From] - 32);
}

std::unique_ptr<TKLPassword> TakeIntoPassword(std::unique_ptr<TKLPassword> Password, String& Value) {
  Password->SetValue(Value);
  WipeString(Value);
  return Password;
}

} // namespace

TKLPasswordGenerator::TKLPasswordGenerator(TComponent* AOwner) : TKLRandomBasedComponent(AOwner) {
  SetOwnRandomGenerator(false);
}

TKLPasswordGenerator::~TKLPasswordGenerator() = default;

String TKLPasswordGenerator::CreateAlphabet() const {
  String alphabet;
  if (FUseUpperCase) alphabet += UpperCaseChars;
  if (FUseLowerCase) alphabet += LowerCaseChars;
  if (FUseDigits) alphabet += DigitChars;
  if (FUseSymbols) alphabet += SymbolChars;
  if (FUseSpace) alphabet += SpaceChars;
  if (FUseCustomChars) alphabet += FCustomChars;
  if (alphabet.empty()) throw EKLPasswordError(SEmptyAlphabet);
  return alphabet;
}

// Rejects the values at and above the largest multiple of the range below
// 2^32, so that every number of the range is equally likely.
std::int32_t TKLPasswordGenerator::GetRandomNumber(std::int32_t LowerBound, std::int32_t UpperBound) {
  if (UpperBound <= LowerBound) throw EKLPasswordError(SInvalidRange);
  const std::uint64_t range = static_cast<std::uint64_t>(static_cast<std::int64_t>(UpperBound) - LowerBound);
  const std::uint64_t space = std::uint64_t{1} << 32;
  const std::uint64_t limit = space - space % range;
  std::uint8_t bytes[4];
  std::uint64_t value;
  do {
    GetRandomGenerator()->Generate(bytes, sizeof(bytes));
    value = ReadLittleEndian(bytes, sizeof(bytes));
  } while (value >= limit);
  SecureZero(bytes, sizeof(bytes));
  return static_cast<std::int32_t>(LowerBound + static_cast<std::int64_t>(value % range));
}

String TKLPasswordGenerator::ExcludedChars() const {
  return FExcludeLookAlikes ? FLookAlikeChars + FExcludeChars : FExcludeChars;
}

const detail::TCharacterPlan& TKLPasswordGenerator::Plan() const {
  if (FPlanStale || !FPlan) {
    const std::int32_t each = FRequireEachSet ? 1 : 0;
    // A set that is off asks for nothing; a negative minimum is passed on so
    // that it is refused whatever else is set.
    auto minimum = [each](bool Enabled, std::int32_t Minimum) {
      return Enabled && Minimum >= 0 ? std::max(Minimum, each) : Minimum;
    };
    const std::array<detail::TCharacterSet, 6> sets = {{
        {UpperCaseChars, FUseUpperCase, minimum(FUseUpperCase, FMinUpperCase)},
        {LowerCaseChars, FUseLowerCase, minimum(FUseLowerCase, FMinLowerCase)},
        {DigitChars, FUseDigits, minimum(FUseDigits, FMinDigits)},
        {SymbolChars, FUseSymbols, minimum(FUseSymbols, FMinSymbols)},
        {SpaceChars, FUseSpace, minimum(FUseSpace, 0)},
        {FCustomChars, FUseCustomChars, minimum(FUseCustomChars, 0)},
    }};
    FPlan = std::make_unique<detail::TCharacterPlan>(sets, ExcludedChars());
    FPlanStale = false;
  }
  return *FPlan;
}

// Whole-password rejection: every password is drawn uniformly from all
// passwords of its length over the plan's characters, and drawn again while it
// misses a minimum. Each password that meets them is therefore equally likely,
// with no position or set favoured, which placing required characters first
// and shuffling would not give. The plan refuses minimums under which a draw
// would succeed less than once in 65,536 tries, so the expected work is bounded.
String TKLPasswordGenerator::GenerateRandom(std::int32_t Len) {
  const detail::TCharacterPlan& plan = Plan();
  if (Len < 0) throw ERangeError(SRangeError);
  plan.CheckLength(Len);
  const std::vector<char32_t>& chars = plan.GetCharacters();
  const auto count = static_cast<std::size_t>(Len);
  TPicks picks(count);
  TUniformPicker picker(*GetRandomGenerator(), chars.size());
  do {
    picker.Pick(count,
                [&](std::size_t Index, std::size_t Position) { picks[Index] = static_cast<std::uint32_t>(Position); });
  } while (plan.HasMinimums() && !MeetsMinimums(plan, picks.Get()));
  String result;
  result.reserve(count);
  for (const std::uint32_t pick : picks.Get()) detail::AppendCharacter(result, chars[pick]);
  return result;
}

std::vector<char32_t> TKLPasswordGenerator::DerivationAlphabet() const {
  return WithoutExcluded(detail::SplitCharacters(CreateAlphabet()), ExcludedChars());
}

String TKLPasswordGenerator::Generate() { return Generate(FDefaultLength); }

String TKLPasswordGenerator::Generate(std::int32_t Len) { return GenerateRandom(Len); }

String TKLPasswordGenerator::Generate(std::int32_t LenFrom, std::int32_t LenTo) {
  const detail::TCharacterPlan& plan = Plan();
  if (LenTo <= LenFrom) throw EKLPasswordError(SInvalidRange);
  if (LenFrom < 0) throw ERangeError(SRangeError);
  // Longer passwords meet the minimums at least as often, so the shortest
  // length decides whether the whole range can be drawn.
  plan.CheckLength(LenFrom);
  return GenerateRandom(GetRandomNumber(LenFrom, LenTo));
}

void TKLPasswordGenerator::Generate(TKLPassword*& Password) { Password = GeneratePassword().release(); }

void TKLPasswordGenerator::Generate(TKLPassword*& Password, std::int32_t Len) {
  Password = GeneratePassword(Len).release();
}

String TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI) {
  return Generate(MasterKey, URI, FDefaultLength);
}

String TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI, std::int32_t Len) {
  const std::vector<char32_t> alphabet = DerivationAlphabet();
  if (Len < 0) throw ERangeError(SRangeError);
  RawByteString uri = StrToUTF8Strict(URI);
  const SecureBytes salt(ByteArray(uri.begin(), uri.end()));
  WipeRawBytes(uri);
  const SecureBytes derived(Derive(MasterKey, salt.Get(), FDefaultIterationCount, Len));
  return MapByRemainder(alphabet, derived.Get());
}

void TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI, TKLPassword*& Password) {
  Password = GeneratePassword(MasterKey, URI).release();
}

void TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI, TKLPassword*& Password,
                                    std::int32_t Len) {
  Password = GeneratePassword(MasterKey, URI, Len).release();
}

std::vector<char32_t> TKLPasswordGenerator::ExtraChars() const {
  return WithoutExcluded(detail::SplitCharacters(FPassphraseExtra == peDigit ? DigitChars : SymbolChars),
                         ExcludedChars());
}

String TKLPasswordGenerator::GeneratePassphrase() { return GeneratePassphrase(FPassphraseWords); }

String TKLPasswordGenerator::GeneratePassphrase(std::int32_t Words) {
  if (Words < 1) throw EKLPasswordError(SInvalidWordCount);
  const std::vector<char32_t> extras = FPassphraseExtra == peNone ? std::vector<char32_t>() : ExtraChars();
  const auto count = static_cast<std::size_t>(Words);
  TPicks picks(count + 2);
  TUniformPicker(*GetRandomGenerator(), FWordList.GetCount()).Pick(count, [&](std::size_t Index, std::size_t Position) {
    picks[Index] = static_cast<std::uint32_t>(Position);
  });
  // The extra character's place: 0 before the first word, k right after word k.
  std::size_t place = count + 1;
  if (!extras.empty()) {
    TUniformPicker(*GetRandomGenerator(), count + 1).Pick(1, [&](std::size_t, std::size_t Position) {
      place = Position;
    });
    TUniformPicker(*GetRandomGenerator(), extras.size()).Pick(1, [&](std::size_t, std::size_t Position) {
      picks[count] = static_cast<std::uint32_t>(Position);
    });
  }
  // Sized before it is filled, so that no reallocation leaves a copy behind.
  std::size_t size = (count - 1) * FPassphraseSeparator.size() + (extras.empty() ? 0 : 2);
  for (std::size_t i = 0; i < count; ++i) size += FWordList.Get(picks[i]).size();
  String result;
  result.reserve(size);
  if (place == 0) detail::AppendCharacter(result, extras[picks[count]]);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) result += FPassphraseSeparator;
    const std::size_t start = result.size();
    result += FWordList.Get(picks[i]);
    if (FCapitalizeWords) CapitalizeFirst(result, start);
    if (place == i + 1) detail::AppendCharacter(result, extras[picks[count]]);
  }
  return result;
}

double TKLPasswordGenerator::GetEntropy() const { return GetEntropy(FDefaultLength); }

double TKLPasswordGenerator::GetEntropy(std::int32_t Len) const {
  const detail::TCharacterPlan& plan = Plan();
  if (Len < 0) throw ERangeError(SRangeError);
  plan.CheckLength(Len);
  return plan.Log2Count(Len);
}

// Lengths are equally likely and passwords of different lengths differ, so the
// entropy is that of the length plus the mean entropy of one length.
double TKLPasswordGenerator::GetEntropy(std::int32_t LenFrom, std::int32_t LenTo) const {
  const detail::TCharacterPlan& plan = Plan();
  if (LenTo <= LenFrom) throw EKLPasswordError(SInvalidRange);
  if (LenFrom < 0) throw ERangeError(SRangeError);
  plan.CheckLength(LenFrom);
  const double lengths = static_cast<double>(static_cast<std::int64_t>(LenTo) - LenFrom);
  const double perCharacter = std::log2(static_cast<double>(plan.GetCharacters().size()));
  // Without the minimums' correction the mean is that of the middle length.
  double mean = perCharacter * (static_cast<double>(LenFrom) + static_cast<double>(LenTo) - 1) / 2;
  // The correction log2(p) shrinks towards 0 as the length grows (p rises to
  // 1); it is summed only while it still counts.
  for (std::int64_t len = LenFrom; len < LenTo && plan.HasMinimums(); ++len) {
    const double correction = std::log2(plan.AcceptanceProbability(len));
    if (correction > -1e-12) break;
    mean += correction / lengths;
  }
  return std::log2(lengths) + mean;
}

double TKLPasswordGenerator::GetPassphraseEntropy() const { return GetPassphraseEntropy(FPassphraseWords); }

double TKLPasswordGenerator::GetPassphraseEntropy(std::int32_t Words) const {
  if (Words < 1) throw EKLPasswordError(SInvalidWordCount);
  double bits = Words * std::log2(static_cast<double>(FWordList.GetCount()));
  if (FPassphraseExtra != peNone) {
    bits += std::log2(static_cast<double>(ExtraChars().size())) + std::log2(Words + 1.0);
  }
  return bits;
}

std::unique_ptr<TKLPassword> TKLPasswordGenerator::GeneratePassword() { return GeneratePassword(FDefaultLength); }

std::unique_ptr<TKLPassword> TKLPasswordGenerator::GeneratePassword(std::int32_t Len) {
  auto password = std::make_unique<TKLPassword>();
  String value = Generate(Len);
  return TakeIntoPassword(std::move(password), value);
}

std::unique_ptr<TKLPassword> TKLPasswordGenerator::GeneratePassword(const String& MasterKey, const String& URI) {
  return GeneratePassword(MasterKey, URI, FDefaultLength);
}

std::unique_ptr<TKLPassword> TKLPasswordGenerator::GeneratePassword(const String& MasterKey, const String& URI,
                                                                    std::int32_t Len) {
  auto password = std::make_unique<TKLPassword>();
  String value = Generate(MasterKey, URI, Len);
  return TakeIntoPassword(std::move(password), value);
}

} // namespace kl
