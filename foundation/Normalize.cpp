#include "foundation/KLNormalize.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include <utf8proc.h>

#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

using TCodePoint = utf8proc_int32_t;

// A buffer of code points that wipes its whole capacity when it goes. Sized
// once before it is filled, so no copy of its contents is left behind by a
// reallocation.
class TCodePointBuffer {
public:
  explicit TCodePointBuffer(std::size_t Size) : FPoints(Size) {}
  ~TCodePointBuffer() {
    FPoints.resize(FPoints.capacity());
    SecureZero(FPoints.data(), FPoints.size() * sizeof(TCodePoint));
  }
  TCodePointBuffer(const TCodePointBuffer&) = delete;
  TCodePointBuffer& operator=(const TCodePointBuffer&) = delete;

  TCodePoint* data() noexcept { return FPoints.data(); }
  std::size_t size() const noexcept { return FPoints.size(); }
  TCodePoint& operator[](std::size_t Index) noexcept { return FPoints[Index]; }

private:
  std::vector<TCodePoint> FPoints;
};

bool IsHighSurrogate(char16_t C) noexcept { return C >= 0xD800 && C <= 0xDBFF; }
bool IsLowSurrogate(char16_t C) noexcept { return C >= 0xDC00 && C <= 0xDFFF; }

// Calls Visit with each code point of valid UTF-16 text.
template <class F> void ForEachCodePoint(const String& Text, F&& Visit) {
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char16_t c = Text[i];
    if (IsHighSurrogate(c) && i + 1 < Text.size() && IsLowSurrogate(Text[i + 1])) {
      Visit(static_cast<TCodePoint>(0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00)));
      ++i;
    } else {
      Visit(static_cast<TCodePoint>(c));
    }
  }
}

// ASCII has no decomposition of either kind and never composes: such text is
// in every form already, which is the common case for passwords and names.
bool IsAscii(const String& Text) noexcept {
  return std::all_of(Text.begin(), Text.end(), [](char16_t C) { return C < 0x80; });
}

utf8proc_option_t OptionsOf(TKLNormalForm Form) noexcept {
  const bool compat = Form == nfKC || Form == nfKD;
  const bool compose = Form == nfC || Form == nfKC;
  int options = UTF8PROC_STABLE | (compose ? UTF8PROC_COMPOSE : UTF8PROC_DECOMPOSE);
  if (compat) options |= UTF8PROC_COMPAT;
  return static_cast<utf8proc_option_t>(options);
}

std::size_t DecomposeChar(TCodePoint Point, TCodePoint* Out, std::size_t Room, utf8proc_option_t Options) {
  int boundClass = 0;
  const utf8proc_ssize_t n = utf8proc_decompose_char(Point, Out, static_cast<utf8proc_ssize_t>(Room), Options,
                                                     &boundClass);
  // Only the options that reject input report errors, and none is used; a
  // negative answer would be a fault of the library beneath.
  if (n < 0) throw EConvertError(utf8proc_errmsg(n));
  return static_cast<std::size_t>(n);
}

std::uint8_t CombiningClass(TCodePoint Point) noexcept {
  return static_cast<std::uint8_t>(utf8proc_get_property(Point)->combining_class);
}

// Puts one run of combining marks (all of class 1 or more) in canonical order:
// a stable sort by combining class. Short runs, the ones real text has, are
// sorted in place; a long one is counted out through Scratch, so that a
// hostile run of marks costs linear time, not quadratic.
void OrderRun(TCodePoint* Run, std::size_t Length, TCodePoint* Scratch) {
  constexpr std::size_t insertionLimit = 32;
  if (Length <= insertionLimit) {
    for (std::size_t i = 1; i < Length; ++i) {
      const TCodePoint point = Run[i];
      const std::uint8_t cls = CombiningClass(point);
      std::size_t j = i;
      for (; j > 0 && CombiningClass(Run[j - 1]) > cls; --j) Run[j] = Run[j - 1];
      Run[j] = point;
    }
    return;
  }
  std::array<std::size_t, 257> start{};
  for (std::size_t i = 0; i < Length; ++i) ++start[CombiningClass(Run[i]) + 1u];
  for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
  for (std::size_t i = 0; i < Length; ++i) Scratch[start[CombiningClass(Run[i])]++] = Run[i];
  std::copy(Scratch, Scratch + Length, Run);
  SecureZero(Scratch, Length * sizeof(TCodePoint));
}

void OrderCanonically(TCodePointBuffer& Points, std::size_t Length) {
  std::unique_ptr<TCodePointBuffer> scratch;
  std::size_t i = 0;
  while (i < Length) {
    if (CombiningClass(Points[i]) == 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < Length && CombiningClass(Points[end]) != 0) ++end;
    if (end - i > 1) {
      if (!scratch && end - i > 32) scratch = std::make_unique<TCodePointBuffer>(Length);
      OrderRun(Points.data() + i, end - i, scratch ? scratch->data() : nullptr);
    }
    i = end;
  }
}

std::size_t Utf16Length(const TCodePoint* Points, std::size_t Length) noexcept {
  std::size_t units = 0;
  for (std::size_t i = 0; i < Length; ++i) units += Points[i] >= 0x10000 ? 2 : 1;
  return units;
}

} // namespace

// Decomposition runs one code point at a time into a buffer of our own that
// is sized by a first, counting pass: the library beneath then allocates
// nothing that could keep a copy of the text. Its composition works in place.
String NormalizeText(const String& Text, TKLNormalForm Form) {
  if (IsAscii(Text) || !IsValidUTF16(Text)) return Text;
  const utf8proc_option_t options = OptionsOf(Form);
  std::size_t total = 0;
  ForEachCodePoint(Text, [&](TCodePoint Point) { total += DecomposeChar(Point, nullptr, 0, options); });
  if (total > static_cast<std::size_t>(std::numeric_limits<utf8proc_ssize_t>::max())) throw std::bad_alloc();
  TCodePointBuffer points(total == 0 ? 1 : total);
  std::size_t length = 0;
  ForEachCodePoint(Text, [&](TCodePoint Point) {
    length += DecomposeChar(Point, points.data() + length, total - length, options);
  });
  OrderCanonically(points, length);
  if (Form == nfC || Form == nfKC) {
    const utf8proc_ssize_t composed =
        utf8proc_normalize_utf32(points.data(), static_cast<utf8proc_ssize_t>(length), options);
    if (composed < 0) throw EConvertError(utf8proc_errmsg(composed));
    length = static_cast<std::size_t>(composed);
  }
  String result;
  result.reserve(Utf16Length(points.data(), length));
  for (std::size_t i = 0; i < length; ++i) {
    const auto point = static_cast<std::uint32_t>(points[i]);
    if (point >= 0x10000) {
      result.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(point));
    }
  }
  return result;
}

String NormalizePassword(const String& Password) { return NormalizeText(Password, nfKC); }

String NormalizeUserName(const String& Username) { return NormalizeText(Username, nfC); }

bool IsNormalized(const String& Text, TKLNormalForm Form) {
  if (IsAscii(Text)) return true;
  String normal = NormalizeText(Text, Form);
  const bool same = normal == Text;
  WipeString(normal);
  return same;
}

std::size_t CodePointCount(const String& Text) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (IsHighSurrogate(Text[i]) && i + 1 < Text.size() && IsLowSurrogate(Text[i + 1])) ++i;
    ++count;
  }
  return count;
}

} // namespace kl
