#include "TextOutput.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "foundation/KLGeneral.h"

namespace klpass {

namespace {

struct TRange {
  char32_t First, Last;
};

// Characters that a terminal draws two cells wide (East Asian Wide and
// Full-width, and the emoji blocks shown as such).
constexpr std::array<TRange, 16> kWide = {{{0x1100, 0x115F},
                                           {0x2E80, 0x303E},
                                           {0x3041, 0x33FF},
                                           {0x3400, 0x4DBF},
                                           {0x4E00, 0x9FFF},
                                           {0xA000, 0xA4CF},
                                           {0xAC00, 0xD7A3},
                                           {0xF900, 0xFAFF},
                                           {0xFE30, 0xFE4F},
                                           {0xFF00, 0xFF60},
                                           {0xFFE0, 0xFFE6},
                                           {0x1F300, 0x1F64F},
                                           {0x1F900, 0x1F9FF},
                                           {0x20000, 0x2FFFD},
                                           {0x30000, 0x3FFFD},
                                           {0x1F680, 0x1F6FF}}};

// Characters drawn over the one before them, or not at all: combining marks,
// zero-width spaces and joiners, variation selectors.
constexpr std::array<TRange, 9> kZeroWidth = {{{0x0300, 0x036F},
                                               {0x0483, 0x0489},
                                               {0x0591, 0x05BD},
                                               {0x1AB0, 0x1AFF},
                                               {0x1DC0, 0x1DFF},
                                               {0x200B, 0x200F},
                                               {0x20D0, 0x20FF},
                                               {0xFE00, 0xFE0F},
                                               {0xFE20, 0xFE2F}}};

bool In(char32_t C, const auto& Ranges) {
  for (const TRange& range : Ranges) {
    if (C >= range.First && C <= range.Last) return true;
  }
  return false;
}

bool IsControl(char32_t C) { return C < 0x20 || (C >= 0x7F && C <= 0x9F); }

// Calls Visit for each code point of Text; an unpaired surrogate is U+FFFD.
template <class TVisit>
void ForEachCodePoint(const kl::String& Text, TVisit&& Visit) {
  for (std::size_t i = 0; i < Text.size(); ++i) {
    char32_t c = Text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    Visit(c);
  }
}

std::string Escape(char32_t C) {
  switch (C) {
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    default:
      break;
  }
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), C < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(C));
  return text.data();
}

} // namespace

std::string Printable(const kl::String& Text) {
  std::string out;
  kl::String run;
  ForEachCodePoint(Text, [&](char32_t C) {
    if (!IsControl(C)) {
      if (C >= 0x10000) {
        run.push_back(static_cast<char16_t>(0xD800 + ((C - 0x10000) >> 10)));
        run.push_back(static_cast<char16_t>(0xDC00 + ((C - 0x10000) & 0x3FF)));
      } else {
        run.push_back(static_cast<char16_t>(C));
      }
      return;
    }
    out += kl::StrToUTF8(run) + Escape(C);
    run.clear();
  });
  return out + kl::StrToUTF8(run);
}

std::size_t CellWidth(const kl::String& Text) {
  std::size_t cells = 0;
  ForEachCodePoint(Text, [&](char32_t C) {
    if (IsControl(C)) {
      cells += Escape(C).size();
    } else if (In(C, kWide)) {
      cells += 2;
    } else if (!In(C, kZeroWidth)) {
      cells += 1;
    }
  });
  return cells;
}

std::string PaddedCells(const kl::String& Text, std::size_t Cells) {
  const std::size_t width = CellWidth(Text);
  return Printable(Text) + std::string(width < Cells ? Cells - width : 0, ' ');
}

std::string JsonString(const std::string& Utf8) {
  std::string out = "\"";
  for (const char c : Utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      std::array<char, 8> text{};
      std::snprintf(text.data(), text.size(), "\\u%04x", byte);
      out += text.data();
    } else {
      out += c;
    }
  }
  return out + "\"";
}

} // namespace klpass
