#include "crypto/KLPasswordHash.h"

#include <sodium.h>

#include <limits>
#include <string>
#include <string_view>

#include "crypto/Argon2id.h"
#include "crypto/KLHashGate.h"
#include "foundation/SecureMemory.h"

namespace kl {

EKLPasswordHashError::~EKLPasswordHashError() = default;

namespace {

constexpr std::string_view Argon2idName = "argon2id";
constexpr std::uint32_t Argon2Version = 0x13;
// Argon2's own limits on lanes and on the sizes a string may carry.
constexpr std::uint32_t MaxLanes = 0xFFFFFF;
constexpr std::size_t MinSaltSize = 8;
constexpr std::size_t MinTagSize = 16;
constexpr std::size_t MaxIdentifierLength = 32;

static_assert(KLPasswordHashSaltSize == crypto_pwhash_argon2id_SALTBYTES);
static_assert(KLPasswordHashTagSize == crypto_pwhash_argon2id_BYTES_MIN * 2);

[[noreturn]] void RaiseInvalid() { throw EKLPasswordHashError(SInvalidPasswordHash); }

String Widen(std::string_view Ascii) { return String(Ascii.begin(), Ascii.end()); }

// A hash string is ASCII; anything else is refused before it is parsed.
std::string AsciiOf(const String& Hash) {
  if (Hash.size() > KLPasswordHashMaxLength) RaiseInvalid();
  std::string ascii;
  ascii.reserve(Hash.size());
  for (const Char c : Hash) {
    if (c < 0x21 || c > 0x7E) RaiseInvalid();
    ascii.push_back(static_cast<char>(c));
  }
  return ascii;
}

// Reads the text up to the next '$' (or the end) and moves past it.
std::string_view NextField(std::string_view& Rest) {
  const std::size_t end = Rest.find('$');
  const std::string_view field = Rest.substr(0, end);
  Rest = end == std::string_view::npos ? std::string_view{} : Rest.substr(end + 1);
  return field;
}

// "<Name>=<decimal>" with no sign, no leading zero and at most 32 bits.
std::uint32_t ReadNumber(std::string_view Field, std::string_view Name) {
  if (Field.size() <= Name.size() + 1 || Field.substr(0, Name.size()) != Name || Field[Name.size()] != '=') {
    RaiseInvalid();
  }
  const std::string_view digits = Field.substr(Name.size() + 1);
  if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) RaiseInvalid();
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') RaiseInvalid();
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > std::numeric_limits<std::uint32_t>::max()) RaiseInvalid();
  return static_cast<std::uint32_t>(value);
}

// The value of a standard base64 digit, or -1.
int Base64Digit(char C) noexcept {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}

// The byte count of unpadded standard base64 text; raises when it is not such
// text. The bits of the last digit that no byte takes must be zero: the
// verifier refuses any other spelling, so a string the parser passed would
// otherwise never verify, whatever the password.
std::size_t Base64Size(std::string_view Text) {
  if (Text.empty() || Text.size() % 4 == 1) RaiseInvalid();
  for (const char c : Text) {
    if (Base64Digit(c) < 0) RaiseInvalid();
  }
  const std::size_t tail = Text.size() % 4; // 2 digits carry 1 byte, 3 digits 2
  const int unusedMask = tail == 2 ? 0x0F : tail == 3 ? 0x03 : 0;
  if ((Base64Digit(Text.back()) & unusedMask) != 0) RaiseInvalid();
  return Text.size() * 3 / 4;
}

bool IsIdentifier(std::string_view Name) {
  if (Name.empty() || Name.size() > MaxIdentifierLength) return false;
  for (const char c : Name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

// Parses $<id>$v=<n>$m=<n>,t=<n>,p=<n>$<salt>$<tag>, the one layout the
// verifier reads, and checks what Argon2 itself requires of the numbers.
TKLPasswordHashInfo Parse(std::string_view Text) {
  if (Text.empty() || Text[0] != '$') RaiseInvalid();
  std::string_view rest = Text.substr(1);
  const std::string_view id = NextField(rest);
  if (!IsIdentifier(id)) RaiseInvalid();
  TKLPasswordHashInfo info;
  info.Algorithm.assign(id.begin(), id.end());
  info.Version = ReadNumber(NextField(rest), "v");
  std::string_view costs = NextField(rest);
  const std::size_t comma1 = costs.find(',');
  const std::size_t comma2 = comma1 == std::string_view::npos ? comma1 : costs.find(',', comma1 + 1);
  if (comma2 == std::string_view::npos) RaiseInvalid();
  info.MemoryKiB = ReadNumber(costs.substr(0, comma1), "m");
  info.Passes = ReadNumber(costs.substr(comma1 + 1, comma2 - comma1 - 1), "t");
  info.Lanes = ReadNumber(costs.substr(comma2 + 1), "p");
  const std::string_view salt = NextField(rest);
  if (rest.empty() || rest.find('$') != std::string_view::npos) RaiseInvalid();
  info.SaltSize = Base64Size(salt);
  info.TagSize = Base64Size(rest);
  if (info.Passes < 1 || info.Lanes < 1 || info.Lanes > MaxLanes || info.MemoryKiB < std::uint64_t{8} * info.Lanes ||
      info.SaltSize < MinSaltSize || info.TagSize < MinTagSize) {
    RaiseInvalid();
  }
  return info;
}

void CheckCost(std::uint32_t MemoryKiB, std::uint32_t Passes, const TKLPasswordHashParameters& Parameters) {
  if (MemoryKiB > Parameters.MaxMemoryKiB || Passes > Parameters.MaxPasses) {
    throw EKLPasswordHashError(SPasswordHashTooCostly);
  }
}

} // namespace

namespace detail {

void CheckHashParameters(const TKLPasswordHashParameters& Parameters) {
  if (Parameters.MemoryKiB < detail::Argon2idMinMemoryKiB || Parameters.Passes < detail::Argon2idMinPasses ||
      Parameters.MemoryKiB > Parameters.MaxMemoryKiB || Parameters.Passes > Parameters.MaxPasses ||
      std::uint64_t{Parameters.MemoryKiB} * 1024 > crypto_pwhash_argon2id_MEMLIMIT_MAX) {
    throw EKLPasswordHashError(SInvalidHashParameters);
  }
}

} // namespace detail

namespace {

// The password as UTF-8, refused when it holds an unpaired surrogate.
RawByteString StrictBytes(const String& Password) { return StrToUTF8Strict(Password); }

} // namespace

namespace detail {

bool VerifyPasswordBytes(const String& Hash, const String& Algorithm, const void* Password, std::size_t PasswordSize,
                         const TKLPasswordHashParameters& Parameters) {
  std::string text = AsciiOf(Hash);
  const TKLPasswordHashInfo info = Parse(text);
  if (info.Algorithm != Algorithm || info.Version != Argon2Version) RaiseInvalid();
  CheckCost(info.MemoryKiB, info.Passes, Parameters);
  SodiumInitialize();
  // libsodium reads only its own identifier; the rest of the string is the same.
  text.replace(1, info.Algorithm.size(), Argon2idName);
  static const char empty = 0;
  const char* password = PasswordSize == 0 ? &empty : static_cast<const char*>(Password);
  const TKLHashSlot slot;
  NoteArgon2id(info.Passes, info.MemoryKiB);
  return crypto_pwhash_argon2id_str_verify(text.c_str(), password, PasswordSize) == 0;
}

String HashPasswordBytes(const String& Algorithm, const void* Password, std::size_t PasswordSize,
                         const std::uint8_t* Salt, const TKLPasswordHashParameters& Parameters) {
  CheckHashParameters(Parameters);
  SecureBytes tag(KLPasswordHashTagSize);
  Argon2id(Password, PasswordSize, Salt, Parameters.Passes, Parameters.MemoryKiB, tag.data(), tag.size());
  return FormatHashString(Algorithm, Salt, tag.data(), Parameters);
}

String FormatHashString(const String& Algorithm, const std::uint8_t* Salt, const std::uint8_t* Tag,
                        const TKLPasswordHashParameters& Cost) {
  char salt64[sodium_base64_ENCODED_LEN(KLPasswordHashSaltSize, sodium_base64_VARIANT_ORIGINAL_NO_PADDING)];
  char tag64[sodium_base64_ENCODED_LEN(KLPasswordHashTagSize, sodium_base64_VARIANT_ORIGINAL_NO_PADDING)];
  sodium_bin2base64(salt64, sizeof salt64, Salt, KLPasswordHashSaltSize, sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
  sodium_bin2base64(tag64, sizeof tag64, Tag, KLPasswordHashTagSize, sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
  const std::string text = "$v=" + std::to_string(Argon2Version) + "$m=" + std::to_string(Cost.MemoryKiB) +
                           ",t=" + std::to_string(Cost.Passes) + ",p=1$" + salt64 + "$" + tag64;
  sodium_memzero(tag64, sizeof tag64);
  return u"$" + Algorithm + Widen(text);
}

TKLPasswordHashParameters ReadHashString(const String& Hash, const String& Algorithm,
                                         const TKLPasswordHashParameters& Bounds, std::uint8_t* Salt,
                                         std::uint8_t* Tag) {
  const std::string text = AsciiOf(Hash);
  const TKLPasswordHashInfo info = Parse(text);
  if (info.Algorithm != Algorithm || info.Version != Argon2Version || info.Lanes != 1 ||
      info.SaltSize != KLPasswordHashSaltSize || info.TagSize != KLPasswordHashTagSize) {
    RaiseInvalid();
  }
  CheckCost(info.MemoryKiB, info.Passes, Bounds);
  const std::size_t tagAt = text.rfind('$');
  const std::size_t saltAt = text.rfind('$', tagAt - 1);
  std::size_t saltSize = 0;
  std::size_t tagSize = 0;
  if (sodium_base642bin(Salt, KLPasswordHashSaltSize, text.data() + saltAt + 1, tagAt - saltAt - 1, nullptr, &saltSize,
                        nullptr, sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0 ||
      sodium_base642bin(Tag, KLPasswordHashTagSize, text.data() + tagAt + 1, text.size() - tagAt - 1, nullptr, &tagSize,
                        nullptr, sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0 ||
      saltSize != KLPasswordHashSaltSize || tagSize != KLPasswordHashTagSize) {
    RaiseInvalid();
  }
  TKLPasswordHashParameters cost = Bounds;
  cost.MemoryKiB = info.MemoryKiB;
  cost.Passes = info.Passes;
  return cost;
}

} // namespace detail

String HashPassword(const String& Password, const TKLPasswordHashParameters& Parameters) {
  detail::CheckHashParameters(Parameters);
  detail::SodiumInitialize();
  RawByteString utf8 = StrictBytes(Password);
  char out[crypto_pwhash_argon2id_STRBYTES] = {};
  static const char empty = 0;
  int result = -1;
  try {
    const TKLHashSlot slot;
    detail::NoteArgon2id(Parameters.Passes, Parameters.MemoryKiB);
    result = crypto_pwhash_str_alg(out, utf8.empty() ? &empty : utf8.data(), utf8.size(), Parameters.Passes,
                                   static_cast<std::size_t>(Parameters.MemoryKiB) * 1024, crypto_pwhash_ALG_ARGON2ID13);
  } catch (...) {
    WipeRawBytes(utf8);
    throw;
  }
  WipeRawBytes(utf8);
  if (result != 0) throw EKLPasswordHashError(SInvalidHashParameters);
  return Widen(out);
}

bool VerifyPassword(const String& Hash, const String& Password, const TKLPasswordHashParameters& Parameters) {
  RawByteString utf8 = StrictBytes(Password);
  try {
    const bool match = detail::VerifyPasswordBytes(Hash, Widen(Argon2idName), utf8.data(), utf8.size(), Parameters);
    WipeRawBytes(utf8);
    return match;
  } catch (...) {
    WipeRawBytes(utf8);
    throw;
  }
}

bool NeedsRehash(const String& Hash, const TKLPasswordHashParameters& Parameters) {
  TKLPasswordHashInfo info;
  try {
    info = Parse(AsciiOf(Hash));
  } catch (const EKLPasswordHashError&) {
    return true;
  }
  return info.Algorithm != Widen(Argon2idName) || info.Version != Argon2Version ||
         info.MemoryKiB < Parameters.MemoryKiB || info.Passes < Parameters.Passes ||
         info.SaltSize < KLPasswordHashSaltSize || info.TagSize < KLPasswordHashTagSize;
}

TKLPasswordHashInfo DescribePasswordHash(const String& Hash) { return Parse(AsciiOf(Hash)); }

} // namespace kl
