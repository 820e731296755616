// A scanner for the XML of KDBX files: one pass over each byte with a table,
// texts reported where they lie, a copy made only of what must be decoded.
#include "passstorage/KdbxXmlScan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>

#include "foundation/SecureMemory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kl::detail {

namespace {

// Classes of the bytes of names and markup, by table: names in ASCII only
// (a name with a colon first, or any other character, is left to expat).
enum : std::uint8_t { kSpace = 1, kNameStart = 2, kNameChar = 4 };
struct TMarkupBytes {
  std::uint8_t Class[256] = {};
  constexpr TMarkupBytes() {
    for (const char c : {' ', '\t', '\n', '\r'}) Class[static_cast<unsigned char>(c)] = kSpace;
    for (int c = 0; c < 256; ++c) {
      const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      if (start) Class[c] = kNameStart | kNameChar;
      if ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':') Class[c] = kNameChar;
    }
  }
};
constexpr TMarkupBytes kMarkup;

constexpr bool IsSpace(char C) noexcept { return kMarkup.Class[static_cast<unsigned char>(C)] == kSpace; }
constexpr bool IsNameStart(char C) noexcept { return (kMarkup.Class[static_cast<unsigned char>(C)] & kNameStart) != 0; }
constexpr bool IsNameChar(char C) noexcept { return (kMarkup.Class[static_cast<unsigned char>(C)] & kNameChar) != 0; }

// The bytes of text that need a second look: markup, references, line
// ends, controls, ']' (of "]]>") and every byte of a multibyte character.
struct TTextBytes {
  bool Special[256] = {};
  constexpr TTextBytes() {
    for (int c = 0; c < 256; ++c) Special[c] = c < 0x20 || c == '<' || c == '&' || c == ']' || c >= 0x80;
    Special[static_cast<unsigned char>('\t')] = false;
    Special[static_cast<unsigned char>('\n')] = false;
  }
};
constexpr TTextBytes kText;

// The first byte from P on that kText marks, or End: sixteen bytes at a time
// where the processor has SSE2, for text is mostly plain.
const char* SkipPlainText(const char* P, const char* End) noexcept {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(0x20), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n');
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), bracket = _mm_set1_epi8(']');
  while (End - P >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    // Compared as signed bytes, those from 0x80 on are below 0x20 too.
    const __m128i control =
        _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), _mm_cmplt_epi8(v, space));
    const __m128i markup =
        _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, bracket)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, markup)));
    if (mask != 0) return P + std::countr_zero(mask);
    P += 16;
  }
#endif
  while (P < End && !kText.Special[static_cast<unsigned char>(*P)]) ++P;
  return P;
}

constexpr int kCut = -1;

// The length (2 to 4) of the UTF-8 character at P if XML allows it; 0 for a
// bad or overlong sequence, a surrogate, U+FFFE or U+FFFF; kCut when End
// comes before its last byte.
int Utf8Length(const char* P, const char* End) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(P);
  const unsigned lead = p[0];
  int size;
  unsigned low = 0x80, high = 0xBF; // of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (End - P < size) return kCut;
  if (p[1] < low || p[1] > high) return 0;
  for (int i = 2; i < size; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  if (lead == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;
  return size;
}

constexpr bool IsXmlChar(std::uint32_t C) noexcept {
  return C == 0x9 || C == 0xA || C == 0xD || (C >= 0x20 && C <= 0xD7FF) || (C >= 0xE000 && C <= 0xFFFD) ||
         (C >= 0x10000 && C <= 0x10FFFF);
}

std::size_t PutUtf8(std::uint32_t C, char* Out) noexcept {
  if (C < 0x80) {
    Out[0] = static_cast<char>(C);
    return 1;
  }
  if (C < 0x800) {
    Out[0] = static_cast<char>(0xC0 | C >> 6);
    Out[1] = static_cast<char>(0x80 | (C & 0x3F));
    return 2;
  }
  if (C < 0x10000) {
    Out[0] = static_cast<char>(0xE0 | C >> 12);
    Out[1] = static_cast<char>(0x80 | (C >> 6 & 0x3F));
    Out[2] = static_cast<char>(0x80 | (C & 0x3F));
    return 3;
  }
  Out[0] = static_cast<char>(0xF0 | C >> 18);
  Out[1] = static_cast<char>(0x80 | (C >> 12 & 0x3F));
  Out[2] = static_cast<char>(0x80 | (C >> 6 & 0x3F));
  Out[3] = static_cast<char>(0x80 | (C & 0x3F));
  return 4;
}

// The longest reference read here ("&#x" and leading zeros included).
constexpr std::size_t kMaxReference = 32;

// The reference at P ('&') decoded into Out (room for 4 bytes): its end, or
// null where it is not one of the predefined entities or a character
// reference to a character XML allows. Cut says that End came first.
const char* Reference(const char* P, const char* End, char* Out, std::size_t& Size, bool& Cut) noexcept {
  Cut = false;
  const std::size_t span = std::min<std::size_t>(static_cast<std::size_t>(End - P), kMaxReference);
  const auto* semi = static_cast<const char*>(std::memchr(P, ';', span));
  if (semi == nullptr) {
    Cut = span < kMaxReference;
    return nullptr;
  }
  const std::string_view body(P + 1, static_cast<std::size_t>(semi - P - 1));
  if (body.size() >= 2 && body[0] == '#') {
    const bool hex = body[1] == 'x';
    std::size_t i = hex ? 2 : 1;
    if (i == body.size()) return nullptr;
    std::uint32_t c = 0;
    for (; i < body.size(); ++i) {
      const char d = body[i];
      std::uint32_t v;
      if (d >= '0' && d <= '9') {
        v = static_cast<std::uint32_t>(d - '0');
      } else if (hex && d >= 'a' && d <= 'f') {
        v = static_cast<std::uint32_t>(d - 'a' + 10);
      } else if (hex && d >= 'A' && d <= 'F') {
        v = static_cast<std::uint32_t>(d - 'A' + 10);
      } else {
        return nullptr;
      }
      c = c * (hex ? 16 : 10) + v;
      if (c > 0x10FFFF) return nullptr;
    }
    if (!IsXmlChar(c)) return nullptr;
    Size = PutUtf8(c, Out);
  } else if (body == "lt") {
    Out[0] = '<', Size = 1;
  } else if (body == "gt") {
    Out[0] = '>', Size = 1;
  } else if (body == "amp") {
    Out[0] = '&', Size = 1;
  } else if (body == "quot") {
    Out[0] = '"', Size = 1;
  } else if (body == "apos") {
    Out[0] = '\'', Size = 1;
  } else {
    return nullptr;
  }
  return semi + 1;
}

// Whether [P, End) holds only characters XML allows (tab, LF and CR among
// the controls), as comments and processing instructions must.
bool AllXmlChars(const char* P, const char* End) noexcept {
  while (P < End) {
    const auto c = static_cast<unsigned char>(*P);
    if (c >= 0x80) {
      const int size = Utf8Length(P, End);
      if (size <= 0) return false;
      P += size;
    } else {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++P;
    }
  }
  return true;
}

// The first Needle in [P, End), or null.
const char* Find(const char* P, const char* End, std::string_view Needle) noexcept {
  const std::string_view in(P, static_cast<std::size_t>(End - P));
  const std::size_t at = in.find(Needle);
  return at == std::string_view::npos ? nullptr : P + at;
}

} // namespace

TKdbxXmlScanner::~TKdbxXmlScanner() {
  SecureZero(FCarry.data(), FCarry.size());
  for (std::string& value : FValues) SecureZero(value.data(), value.size());
}

bool TKdbxXmlScanner::Emit(std::string_view Text) {
  if (Text.empty()) return true;
  FSink.Text(Text);
  if (FSink.Stopped()) Fail();
  return !FFailed;
}

bool TKdbxXmlScanner::Feed(const char* Data, std::size_t Size) {
  if (FFailed) return false;
  std::size_t used = 0;
  if (!FCarry.empty()) {
    // What the last piece left is completed from this one and scanned
    // first; the carry never grows beyond its bound, so never moves.
    const std::size_t had = FCarry.size();
    const std::size_t take = std::min(Size, MaxCarried - had);
    FCarry.insert(FCarry.end(), Data, Data + take);
    const bool whole = take == Size;
    if (!Scan(FCarry.data(), FCarry.size(), false, used)) return false;
    if (used < had) { // still cut short
      if (!whole) Fail();
      const std::size_t left = FCarry.size() - used;
      std::memmove(FCarry.data(), FCarry.data() + used, left);
      SecureZero(FCarry.data() + left, FCarry.size() - left);
      FCarry.resize(left);
      return !FFailed;
    }
    SecureZero(FCarry.data(), FCarry.size());
    FCarry.clear();
    Data += used - had;
    Size -= used - had;
  }
  if (!Scan(Data, Size, false, used)) return false;
  if (used < Size) {
    if (Size - used >= MaxCarried) {
      Fail();
      return false;
    }
    FCarry.reserve(MaxCarried);
    FCarry.assign(Data + used, Data + Size);
  }
  return true;
}

bool TKdbxXmlScanner::Finish() {
  if (FFailed) return false;
  std::size_t used = 0;
  const bool scanned = Scan(FCarry.data(), FCarry.size(), true, used);
  SecureZero(FCarry.data(), FCarry.size());
  if (!scanned || used != FCarry.size() || FStage != TStage::Epilog) Fail();
  FCarry.clear();
  return !FFailed;
}

bool TKdbxXmlScanner::Scan(const char* Data, std::size_t Size, bool Last, std::size_t& Used) {
  const char* p = Data;
  const char* const end = Data + Size;
  Used = 0;
  if (FStage == TStage::Start) {
    // A byte order mark and an XML declaration may open the document.
    constexpr std::size_t kOpening = 9; // the mark, "<?xml" and a space
    if (Size < kOpening && !Last) return true;
    if (Size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    if (end - p >= 6 && std::memcmp(p, "<?xml", 5) == 0 && IsSpace(p[5])) {
      const char* after = Declaration(p, end, Last);
      if (after == nullptr) return !FFailed;
      p = after;
    }
    FStage = TStage::Prolog;
  }
  while (p < end) {
    const char* next;
    if (*p == '<') {
      next = Markup(p, end, Last);
    } else if (FStage == TStage::Content) {
      next = TextRun(p, end, Last);
    } else { // outside the document element: white space only
      if (!IsSpace(*p)) {
        Fail();
        break;
      }
      next = p + 1;
      while (next < end && IsSpace(*next)) ++next;
    }
    if (FFailed || next == nullptr || next == p) break;
    p = next;
  }
  Used = static_cast<std::size_t>(p - Data);
  if (Last && p != end) Fail();
  return !FFailed;
}

// Null both where the token is cut short (then more is awaited) and where the
// scanner gave up (FFailed).
const char* TKdbxXmlScanner::Markup(const char* P, const char* End, bool Last) {
  auto cut = [&]() -> const char* {
    if (Last) Fail();
    return nullptr;
  };
  if (End - P < 2) return cut();
  switch (P[1]) {
    case '/':
      return EndTag(P, End, Last);
    case '?':
      return Instruction(P, End, Last);
    case '!':
      if (End - P >= 4 && std::memcmp(P, "<!--", 4) == 0) return Comment(P, End, Last);
      if (End - P >= 9 && std::memcmp(P, "<![CDATA[", 9) == 0 && FStage == TStage::Content) {
        return CData(P, End, Last);
      }
      if (End - P < 9 && !Last) return nullptr;
      Fail(); // a document type, or a declaration no document may hold
      return nullptr;
    default:
      return StartTag(P, End, Last);
  }
}

const char* TKdbxXmlScanner::StartTag(const char* P, const char* End, bool Last) {
  auto cut = [&]() -> const char* {
    if (Last) Fail();
    return nullptr;
  };
  auto fail = [&]() -> const char* {
    Fail();
    return nullptr;
  };
  if (FStage == TStage::Epilog || !IsNameStart(P[1])) return fail();
  const char* q = P + 1;
  while (q < End && IsNameChar(*q)) ++q;
  if (q == End) return cut();
  const std::string_view name(P + 1, static_cast<std::size_t>(q - P - 1));
  FAttributes.clear();
  std::size_t decoded = 0;
  bool empty = false;
  for (;;) {
    const char* gap = q;
    while (q < End && IsSpace(*q)) ++q;
    if (q == End) return cut();
    if (*q == '>') {
      ++q;
      break;
    }
    if (*q == '/') {
      if (q + 1 == End) return cut();
      if (q[1] != '>') return fail();
      q += 2;
      empty = true;
      break;
    }
    // An attribute, set apart by white space.
    if (q == gap || !IsNameStart(*q)) return fail();
    const char* key = q;
    while (q < End && IsNameChar(*q)) ++q;
    const std::string_view attribute(key, static_cast<std::size_t>(q - key));
    while (q < End && IsSpace(*q)) ++q;
    if (q == End) return cut();
    if (*q != '=') return fail();
    ++q;
    while (q < End && IsSpace(*q)) ++q;
    if (q == End) return cut();
    const char quote = *q;
    if (quote != '"' && quote != '\'') return fail();
    const char* value = ++q;
    bool plain = true;
    for (; q < End && *q != quote; ++q) {
      const auto c = static_cast<unsigned char>(*q);
      if (c == '<') return fail();
      if (c == '&' || c < 0x20 || c >= 0x80) plain = false;
    }
    if (q == End) return cut();
    std::string_view text(value, static_cast<std::size_t>(q - value));
    if (!plain) {
      // References decoded, each literal tab, line end or CR LF a space.
      // Room for every value at once: the views of those decoded before
      // must not move.
      if (FValues.empty()) FValues.reserve(MaxAttributes + 1);
      if (decoded == FValues.size()) FValues.emplace_back();
      std::string& out = FValues[decoded++];
      SecureZero(out.data(), out.size()); // what a reading cut short left
      out.clear();
      out.reserve(text.size()); // decoding never lengthens: never moves
      for (const char* r = value; r < q;) {
        const auto c = static_cast<unsigned char>(*r);
        if (c == '&') {
          char one[4];
          std::size_t size = 0;
          bool cutShort = false;
          const char* after = Reference(r, q, one, size, cutShort);
          if (after == nullptr) return fail();
          out.append(one, size);
          SecureZero(one, sizeof(one));
          r = after;
        } else if (c == '\r') {
          out.push_back(' '); // for CR LF as for CR alone
          r += r + 1 < q && r[1] == '\n' ? 2 : 1;
        } else if (c == '\n' || c == '\t') {
          out.push_back(' ');
          ++r;
        } else if (c < 0x20) {
          return fail();
        } else if (c >= 0x80) {
          const int size = Utf8Length(r, q);
          if (size <= 0) return fail();
          out.append(r, static_cast<std::size_t>(size));
          r += size;
        } else {
          out.push_back(static_cast<char>(c));
          ++r;
        }
      }
      text = out;
    }
    ++q;
    if (FAttributes.size() == MaxAttributes) return fail();
    for (const TXmlScanAttribute& a : FAttributes) {
      if (a.Name == attribute) return fail(); // given twice
    }
    FAttributes.push_back({attribute, text});
  }
  if (FNameEnds.size() == MaxDepth) return fail();
  FNames.append(name);
  FNameEnds.push_back(FNames.size());
  FStage = TStage::Content;
  FSink.Start(name, FAttributes);
  for (std::size_t i = 0; i < decoded; ++i) {
    SecureZero(FValues[i].data(), FValues[i].size());
    FValues[i].clear();
  }
  FAttributes.clear();
  if (FSink.Stopped()) return fail();
  if (empty) {
    FNameEnds.pop_back();
    FNames.resize(FNameEnds.empty() ? 0 : FNameEnds.back());
    if (FNameEnds.empty()) FStage = TStage::Epilog;
    FSink.End();
    if (FSink.Stopped()) return fail();
  }
  return q;
}

const char* TKdbxXmlScanner::EndTag(const char* P, const char* End, bool Last) {
  auto cut = [&]() -> const char* {
    if (Last) Fail();
    return nullptr;
  };
  const char* q = P + 2;
  while (q < End && IsNameChar(*q)) ++q;
  if (q == End) return cut();
  const std::size_t from = FNameEnds.size() < 2 ? 0 : FNameEnds[FNameEnds.size() - 2];
  if (FNameEnds.empty() ||
      std::string_view(P + 2, static_cast<std::size_t>(q - P - 2)) != std::string_view(FNames).substr(from)) {
    Fail();
    return nullptr;
  }
  while (q < End && IsSpace(*q)) ++q;
  if (q == End) return cut();
  if (*q != '>') {
    Fail();
    return nullptr;
  }
  FNameEnds.pop_back();
  FNames.resize(from);
  if (FNameEnds.empty()) FStage = TStage::Epilog;
  FSink.End();
  if (FSink.Stopped()) Fail();
  return FFailed ? nullptr : q + 1;
}

// <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, the encoding and
// standalone parts optional; other versions and encodings are left to expat.
const char* TKdbxXmlScanner::Declaration(const char* P, const char* End, bool Last) {
  const char* close = Find(P + 5, End, "?>");
  if (close == nullptr) {
    if (Last) Fail();
    return nullptr;
  }
  const char* q = P + 5;
  auto spaces = [&]() {
    const char* from = q;
    while (q < close && IsSpace(*q)) ++q;
    return q != from;
  };
  // Name = "value", the value one of Allowed (as ASCII, case ignored where
  // Fold says so); false where the text says otherwise.
  auto pseudo = [&](std::string_view Name, std::initializer_list<std::string_view> Allowed, bool Fold) {
    if (static_cast<std::size_t>(close - q) < Name.size() || std::string_view(q, Name.size()) != Name) return false;
    q += Name.size();
    spaces();
    if (q == close || *q != '=') return false;
    ++q;
    spaces();
    if (q == close || (*q != '"' && *q != '\'')) return false;
    const char quote = *q++;
    const char* value = q;
    while (q < close && *q != quote) ++q;
    if (q == close) return false;
    std::string given(value, static_cast<std::size_t>(q - value));
    ++q;
    if (Fold) {
      std::transform(given.begin(), given.end(), given.begin(),
                     [](char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C; });
    }
    return std::find(Allowed.begin(), Allowed.end(), given) != Allowed.end();
  };
  spaces();
  if (!pseudo("version", {"1.0"}, false)) {
    Fail();
    return nullptr;
  }
  bool spaced = spaces();
  if (spaced && q < close && *q == 'e') {
    if (!pseudo("encoding", {"UTF-8"}, true)) {
      Fail();
      return nullptr;
    }
    spaced = spaces();
  }
  if (spaced && q < close && *q == 's') {
    if (!pseudo("standalone", {"yes", "no"}, false)) {
      Fail();
      return nullptr;
    }
    spaces();
  }
  if (q != close) {
    Fail();
    return nullptr;
  }
  return close + 2;
}

// Processing instructions are read over, as expat does without a handler
// for them; one named "xml" (in any case) beyond the opening is an error.
const char* TKdbxXmlScanner::Instruction(const char* P, const char* End, bool Last) {
  const char* q = P + 2;
  while (q < End && IsNameChar(*q)) ++q;
  const char* close = q < End ? Find(q, End, "?>") : nullptr;
  if (close == nullptr) {
    if (Last || End - P >= static_cast<std::ptrdiff_t>(MaxCarried)) Fail();
    return nullptr;
  }
  const std::string_view target(P + 2, static_cast<std::size_t>(q - P - 2));
  const bool xml =
      target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l';
  if (target.empty() || !IsNameStart(target[0]) || xml || (q != close && !IsSpace(*q)) || !AllXmlChars(q, close)) {
    Fail();
    return nullptr;
  }
  return close + 2;
}

const char* TKdbxXmlScanner::Comment(const char* P, const char* End, bool Last) {
  const char* close = Find(P + 4, End, "--");
  if (close == nullptr || close + 2 == End) {
    if (Last || End - P >= static_cast<std::ptrdiff_t>(MaxCarried)) Fail();
    return nullptr;
  }
  if (close[2] != '>' || !AllXmlChars(P + 4, close)) { // "--" within a comment
    Fail();
    return nullptr;
  }
  return close + 3;
}

// A CDATA section's text as it is, but for its line ends.
const char* TKdbxXmlScanner::CData(const char* P, const char* End, bool Last) {
  const char* close = Find(P + 9, End, "]]>");
  if (close == nullptr) {
    if (Last || End - P >= static_cast<std::ptrdiff_t>(MaxCarried)) Fail();
    return nullptr;
  }
  const char* run = P + 9;
  for (const char* r = run; r < close;) {
    const auto c = static_cast<unsigned char>(*r);
    if (c >= 0x80) {
      const int size = Utf8Length(r, close);
      if (size <= 0) {
        Fail();
        return nullptr;
      }
      r += size;
    } else if (c == '\r') {
      if (!Emit({run, static_cast<std::size_t>(r - run)}) || !Emit("\n")) return nullptr;
      r += r + 1 < close && r[1] == '\n' ? 2 : 1;
      run = r;
    } else if (c < 0x20 && c != '\t' && c != '\n') {
      Fail();
      return nullptr;
    } else {
      ++r;
    }
  }
  if (!Emit({run, static_cast<std::size_t>(close - run)})) return nullptr;
  return close + 3;
}

// Text up to the next markup. What is cut short at the end of the piece (a
// reference, a CR that may begin CR LF, a multibyte character, a "]" that
// may begin "]]>") is left for the next piece.
const char* TKdbxXmlScanner::TextRun(const char* P, const char* End, bool Last) {
  const char* run = P;
  const char* p = P;
  while (p < End) {
    p = SkipPlainText(p, End);
    if (p == End) break;
    const auto c = static_cast<unsigned char>(*p);
    if (c == '<') break;
    if (c >= 0x80) {
      const int size = Utf8Length(p, End);
      if (size > 0) {
        p += size;
        continue;
      }
      if (size == kCut && !Last) break;
      Fail();
      return nullptr;
    }
    if (c == ']') {
      if (End - p < 3) {
        if (!Last) break;
      } else if (p[1] == ']' && p[2] == '>') {
        Fail(); // "]]>" may not stand in text
        return nullptr;
      }
      ++p;
      continue;
    }
    if (!Emit({run, static_cast<std::size_t>(p - run)})) return nullptr;
    run = p;
    if (c == '&') {
      char one[4];
      std::size_t size = 0;
      bool cut = false;
      const char* after = Reference(p, End, one, size, cut);
      if (after == nullptr) {
        if (cut && !Last) return p;
        Fail();
        return nullptr;
      }
      const bool ok = Emit({one, size});
      SecureZero(one, sizeof(one));
      if (!ok) return nullptr;
      p = run = after;
    } else if (c == '\r') {
      if (p + 1 == End && !Last) return p;
      if (!Emit("\n")) return nullptr;
      p += p + 1 < End && p[1] == '\n' ? 2 : 1;
      run = p;
    } else { // a control character XML does not allow
      Fail();
      return nullptr;
    }
  }
  if (!Emit({run, static_cast<std::size_t>(p - run)})) return nullptr;
  return p;
}

} // namespace kl::detail
