#include "foundation/KLGeneral.h"

#include <cstring>
#include <string>
#include <string_view>

namespace kl {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(RawByteString& Out, char32_t C) {
  if (C < 0x80) {
    Out.push_back(static_cast<char>(C));
  } else if (C < 0x800) {
    Out.push_back(static_cast<char>(0xC0 | (C >> 6)));
    Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
  } else if (C < 0x10000) {
    Out.push_back(static_cast<char>(0xE0 | (C >> 12)));
    Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
  } else {
    Out.push_back(static_cast<char>(0xF0 | (C >> 18)));
    Out.push_back(static_cast<char>(0x80 | ((C >> 12) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
  }
}

int HexDigitValue(Char C) noexcept {
  if (C >= u'0' && C <= u'9') return C - u'0';
  if (C >= u'A' && C <= u'F') return C - u'A' + 10;
  if (C >= u'a' && C <= u'f') return C - u'a' + 10;
  return -1;
}

} // namespace

namespace {

// Calls Emit for each code point of S; an unpaired surrogate comes as U+FFFD
// with Valid false.
template <class TEmit>
void ForEachCodePoint(std::u16string_view S, TEmit Emit) {
  const std::size_t n = S.size();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = S[i];
    bool valid = true;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && S[i + 1] >= 0xDC00 && S[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (S[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
      valid = false;
    }
    Emit(c, valid);
  }
}

std::size_t Utf8Size(char32_t C) noexcept { return C < 0x80 ? 1 : C < 0x800 ? 2 : C < 0x10000 ? 3 : 4; }

// The buffer is sized before it is written, so that it never reallocates and
// leaves a copy of the (possibly secret) text behind in freed memory.
RawByteString Encode(const String& S, bool Strict) {
  std::size_t size = 0;
  bool valid = true;
  ForEachCodePoint(S, [&](char32_t C, bool Valid) {
    size += Utf8Size(C);
    valid = valid && Valid;
  });
  if (Strict && !valid) throw EConvertError(SInvalidUTF16);
  RawByteString out;
  out.reserve(size);
  ForEachCodePoint(S, [&](char32_t C, bool) { AppendUtf8(out, C); });
  return out;
}

} // namespace

RawByteString StrToUTF8(const String& S) { return Encode(S, false); }

RawByteString StrToUTF8Strict(const String& S) { return Encode(S, true); }

void AppendUTF8(RawByteString& Out, std::u16string_view Text) {
  ForEachCodePoint(Text, [&](char32_t C, bool) { AppendUtf8(Out, C); });
}

bool IsValidUTF16(const String& S) noexcept {
  bool valid = true;
  ForEachCodePoint(S, [&](char32_t, bool Valid) { valid = valid && Valid; });
  return valid;
}

String UTF8ToStr(const RawByteString& S) {
  return UTF8ToStr(reinterpret_cast<const std::uint8_t*>(S.data()), S.size());
}

namespace {

// Length of the well-formed sequence at Data[0], with its code point in C; 0
// when the bytes there do not start one (the maximal malformed subpart is then
// Skip bytes long). Never reads past Length.
std::size_t DecodeOne(const std::uint8_t* Data, std::size_t Length, char32_t& C, std::size_t& Skip) noexcept {
  const std::uint8_t b0 = Data[0];
  Skip = 1;
  if (b0 < 0x80) {
    C = b0;
    return 1;
  }
  int need;
  char32_t c;
  std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F; // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  std::size_t j = 1;
  for (int k = 0; k < need; ++k, ++j) {
    if (j >= Length) {
      Skip = j;
      return 0;
    }
    const std::uint8_t b = Data[j];
    const std::uint8_t min = k == 0 ? lo : 0x80;
    const std::uint8_t max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) {
      Skip = j;
      return 0;
    }
    c = (c << 6) | (b & 0x3F);
  }
  C = c;
  return j;
}

} // namespace

// Decodes per the Unicode "maximal subpart" practice: every ill-formed
// subsequence that could start a valid sequence, or a lone byte, becomes one
// U+FFFD. Never reads past Length. No sequence gives more UTF-16 units than
// it has bytes, so the text is sized once (a secret is never moved by
// growing) and cut to what was written; runs of ASCII go eight bytes at a
// time.
String UTF8ToStr(const std::uint8_t* Data, std::size_t Length) {
  String out(Length, Char{});
  Char* to = out.data();
  std::size_t i = 0;
  while (i < Length) {
    while (Length - i >= 8) {
      std::uint64_t block;
      std::memcpy(&block, Data + i, 8);
      if ((block & 0x8080808080808080u) != 0) break;
      for (std::size_t k = 0; k < 8; ++k) to[k] = static_cast<Char>(Data[i + k]);
      to += 8;
      i += 8;
    }
    if (i == Length) break;
    if (Data[i] < 0x80) {
      *to++ = static_cast<Char>(Data[i++]);
      continue;
    }
    char32_t c = 0;
    std::size_t skip = 0;
    if (const std::size_t n = DecodeOne(Data + i, Length - i, c, skip)) {
      if (c < 0x10000) {
        *to++ = static_cast<Char>(c);
      } else {
        c -= 0x10000;
        *to++ = static_cast<Char>(0xD800 + (c >> 10));
        *to++ = static_cast<Char>(0xDC00 + (c & 0x3FF));
      }
      i += n;
    } else {
      *to++ = static_cast<Char>(kReplacement);
      i += skip;
    }
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
  return out;
}

bool IsValidUTF8(const std::uint8_t* Data, std::size_t Length, std::size_t* InvalidAt) noexcept {
  std::size_t i = 0;
  while (i < Length) {
    char32_t c = 0;
    std::size_t skip = 0;
    const std::size_t n = DecodeOne(Data + i, Length - i, c, skip);
    if (n == 0) {
      if (InvalidAt != nullptr) *InvalidAt = i;
      return false;
    }
    i += n;
  }
  return true;
}

bool IsValidUTF8(const RawByteString& S) noexcept {
  return IsValidUTF8(reinterpret_cast<const std::uint8_t*>(S.data()), S.size());
}

ByteArray RawByteStringToBytes(const RawByteString& S) { return ByteArray(S.begin(), S.end()); }

String BytesToHexStr(const ByteArray& Bytes) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  String out(Bytes.size() * 2, u'0');
  for (std::size_t i = 0; i < Bytes.size(); ++i) {
    out[2 * i] = kDigits[Bytes[i] >> 4];
    out[2 * i + 1] = kDigits[Bytes[i] & 0x0F];
  }
  return out;
}

ByteArray HexStrToBytes(const String& S) {
  if (S.size() % 2 != 0) return {};
  ByteArray out(S.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = HexDigitValue(S[2 * i]);
    const int lo = HexDigitValue(S[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      throw EConvertError("'" + StrToUTF8(S.substr(2 * i, 2)) + "' is not a valid hexadecimal value");
    }
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return out;
}

} // namespace kl
