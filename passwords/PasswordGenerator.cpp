#include <algorithm>
#include <limits>

#include "crypto/KLPKCS5.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"

namespace kl {

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
// give the same password on every machine, so this mapping is fixed.
String MapByRemainder(const String& Alphabet, const ByteArray& Bytes) {
  String result(Bytes.size(), u'\0');
  for (std::size_t i = 0; i < Bytes.size(); ++i) result[i] = Alphabet[Bytes[i] % Alphabet.size()];
  return result;
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

String TKLPasswordGenerator::GenerateRandom(const String& Alphabet, std::int32_t Len) {
  if (Len < 0) throw ERangeError(SRangeError);
  if (Alphabet.size() > std::numeric_limits<std::uint32_t>::max()) throw ERangeError(SRangeError);
  String result(static_cast<std::size_t>(Len), u'\0');
  TUniformPicker picker(*GetRandomGenerator(), Alphabet.size());
  try {
    picker.Pick(result.size(), [&](std::size_t Index, std::size_t Position) { result[Index] = Alphabet[Position]; });
  } catch (...) {
    WipeString(result);
    throw;
  }
  return result;
}

String TKLPasswordGenerator::Generate() { return Generate(FDefaultLength); }

String TKLPasswordGenerator::Generate(std::int32_t Len) { return GenerateRandom(CreateAlphabet(), Len); }

String TKLPasswordGenerator::Generate(std::int32_t LenFrom, std::int32_t LenTo) {
  const String alphabet = CreateAlphabet();
  if (LenTo <= LenFrom) throw EKLPasswordError(SInvalidRange);
  if (LenFrom < 0) throw ERangeError(SRangeError);
  return GenerateRandom(alphabet, GetRandomNumber(LenFrom, LenTo));
}

void TKLPasswordGenerator::Generate(TKLPassword*& Password) { Password = GeneratePassword().release(); }

void TKLPasswordGenerator::Generate(TKLPassword*& Password, std::int32_t Len) {
  Password = GeneratePassword(Len).release();
}

String TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI) {
  return Generate(MasterKey, URI, FDefaultLength);
}

String TKLPasswordGenerator::Generate(const String& MasterKey, const String& URI, std::int32_t Len) {
  const String alphabet = CreateAlphabet();
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
