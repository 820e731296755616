#include "crypto/TestJson.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "support/TestSupport.h"

namespace kl::test {

namespace {

class Parser {
public:
  explicit Parser(const std::string& Text) : FText(Text) {}

  JsonValue Document() {
    JsonValue v = Value();
    SkipBlanks();
    if (FPos != FText.size()) Fail("trailing data");
    return v;
  }

private:
  [[noreturn]] void Fail(const char* What) const {
    throw std::runtime_error(std::string("JSON: ") + What + " at " + std::to_string(FPos));
  }

  void SkipBlanks() {
    while (FPos < FText.size() &&
           (FText[FPos] == ' ' || FText[FPos] == '\n' || FText[FPos] == '\r' || FText[FPos] == '\t'))
      ++FPos;
  }

  bool Accept(char C) {
    SkipBlanks();
    if (FPos < FText.size() && FText[FPos] == C) {
      ++FPos;
      return true;
    }
    return false;
  }

  void Expect(char C) {
    if (!Accept(C)) Fail("unexpected character");
  }

  bool AcceptWord(const char* Word) {
    const std::string w(Word);
    if (FText.compare(FPos, w.size(), w) != 0) return false;
    FPos += w.size();
    return true;
  }

  JsonValue Value() {
    SkipBlanks();
    if (FPos >= FText.size()) Fail("unexpected end");
    JsonValue v;
    const char c = FText[FPos];
    if (c == '{') {
      v.Type = JsonValue::Object;
      ++FPos;
      if (Accept('}')) return v;
      do {
        SkipBlanks();
        std::string name = StringLiteral();
        Expect(':');
        v.Names.push_back(std::move(name));
        v.Members.push_back(Value());
      } while (Accept(','));
      Expect('}');
    } else if (c == '[') {
      v.Type = JsonValue::Array;
      ++FPos;
      if (Accept(']')) return v;
      do v.Items.push_back(Value());
      while (Accept(','));
      Expect(']');
    } else if (c == '"') {
      v.Type = JsonValue::Text;
      v.String = StringLiteral();
    } else if (AcceptWord("true") || AcceptWord("false")) {
      v.Type = JsonValue::Bool;
      v.Boolean = c == 't';
    } else if (AcceptWord("null")) {
      v.Type = JsonValue::Null;
    } else {
      v.Type = JsonValue::Number;
      char* end = nullptr;
      v.NumberValue = std::strtod(FText.c_str() + FPos, &end);
      if (end == FText.c_str() + FPos) Fail("bad value");
      FPos = static_cast<std::size_t>(end - FText.c_str());
    }
    return v;
  }

  // Escapes other than \uXXXX are kept as the escaped character; \uXXXX becomes
  // UTF-8 (the vector files use it only in comments).
  std::string StringLiteral() {
    if (FPos >= FText.size() || FText[FPos] != '"') Fail("string expected");
    ++FPos;
    std::string out;
    while (FPos < FText.size() && FText[FPos] != '"') {
      char c = FText[FPos++];
      if (c == '\\') {
        if (FPos >= FText.size()) Fail("bad escape");
        c = FText[FPos++];
        if (c == 'u') {
          if (FPos + 4 > FText.size()) Fail("bad escape");
          const unsigned code = static_cast<unsigned>(std::stoul(FText.substr(FPos, 4), nullptr, 16));
          FPos += 4;
          if (code < 0x80) {
            out.push_back(static_cast<char>(code));
          } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          }
          continue;
        }
        if (c == 'n') c = '\n';
        if (c == 't') c = '\t';
      }
      out.push_back(c);
    }
    if (FPos >= FText.size()) Fail("unterminated string");
    ++FPos;
    return out;
  }

  const std::string& FText;
  std::size_t FPos = 0;
};

} // namespace

const JsonValue& JsonValue::operator[](const std::string& Name) const {
  for (std::size_t i = 0; i < Names.size(); ++i)
    if (Names[i] == Name) return Members[i];
  throw std::out_of_range("no JSON member " + Name);
}

bool JsonValue::Has(const std::string& Name) const {
  for (const auto& name : Names)
    if (name == Name) return true;
  return false;
}

JsonValue ReadJsonFile(const std::string& Name) {
  const std::string text = ReadFileBytes(DataPath(Name));
  return Parser(text).Document();
}

} // namespace kl::test
