// JSON as RFC 8259 has it, parsed strictly (no comments, no trailing commas,
// no duplicate member names, nesting bounded) into a flat tape of nodes, then
// mapped onto records by one of two schemas. Every fault names its JSON path.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <unordered_map>

#include "foundation/KLGeneral.h"
#include "passstorage/ExchangeFormats.h"

namespace kl::detail {

namespace {

constexpr const char* kOwnFormatName = "klpassword-records";
constexpr std::int64_t kOwnFormatVersion = 1;

// Item types of the Bitwarden export: logins and secure notes become records.
constexpr std::int64_t kBitwardenLogin = 1;
constexpr std::int64_t kBitwardenNote = 2;

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// A parsed document: the values in document order, each followed by its
// contents (an object's members as name and value, one after the other), so
// that a value's subtree ends where End says. Texts (strings, member names,
// numbers' characters) lie in one pool, reserved up front so that it never
// moves, and wiped with the document since it holds passwords. Sixteen bytes
// a value keep a large export's tree small.
class TJsonDocument {
public:
  enum TKind : std::uint8_t { jkNull, jkFalse, jkTrue, jkNumber, jkString, jkArray, jkObject };

  explicit TJsonDocument(std::size_t TextSize) { FPool.reserve(TextSize); }
  ~TJsonDocument() { WipeString(FPool); }
  TJsonDocument(const TJsonDocument&) = delete;
  TJsonDocument& operator=(const TJsonDocument&) = delete;

  TKind Kind(std::size_t Node) const noexcept { return FNodes[Node].Kind; }
  std::size_t End(std::size_t Node) const noexcept { return FNodes[Node].End; }
  std::u16string_view Text(std::size_t Node) const noexcept {
    return std::u16string_view(FPool).substr(FNodes[Node].Offset, FNodes[Node].Length);
  }

  // The value of the member Name of an object, or npos.
  std::size_t Member(std::size_t Object, std::u16string_view Name) const noexcept {
    for (std::size_t key = Object + 1; key < End(Object); key = End(key + 1)) {
      if (Text(key) == Name) return key + 1;
    }
    return npos;
  }

  // Building, for the parser.
  std::size_t Open(TKind Kind) {
    FNodes.push_back({0, 0, static_cast<std::uint32_t>(FNodes.size() + 1), Kind});
    return FNodes.size() - 1;
  }
  void Close(std::size_t Node) { FNodes[Node].End = static_cast<std::uint32_t>(FNodes.size()); }
  String& Pool() noexcept { return FPool; }
  // A text node for what was appended to the pool since Start.
  void AddText(TKind Kind, std::size_t Start) {
    FNodes.push_back({static_cast<std::uint32_t>(Start), static_cast<std::uint32_t>(FPool.size() - Start),
                      static_cast<std::uint32_t>(FNodes.size() + 1), Kind});
  }
  std::size_t Count() const noexcept { return FNodes.size(); }

private:
  struct TNode {
    std::uint32_t Offset, Length; // the text in the pool
    std::uint32_t End;            // the node after the subtree
    TKind Kind;
  };
  std::vector<TNode> FNodes;
  String FPool;
};

// A path such as $.items[3].login: each step a member name (a node of the
// document) or an index.
class TJsonPath {
public:
  explicit TJsonPath(const TJsonDocument& Doc) : FDoc(Doc) {}
  void PushKey(std::size_t KeyNode) { FSteps.push_back({true, KeyNode}); }
  void PushIndex(std::size_t Index) { FSteps.push_back({false, Index}); }
  void Pop() noexcept { FSteps.pop_back(); }

  std::string Text() const {
    std::string text = "$";
    for (const TStep& step : FSteps) {
      if (!step.IsKey) {
        text.append("[").append(std::to_string(step.Value)).append("]");
      } else {
        // Long names are cut: the message names the place, not the file's text.
        text.append(".").append(StrToUTF8(String(FDoc.Text(step.Value).substr(0, 64))));
      }
    }
    return text;
  }

private:
  struct TStep {
    bool IsKey;
    std::size_t Value; // the key's node, or the index
  };
  const TJsonDocument& FDoc;
  std::vector<TStep> FSteps;
};

// The text is known to be valid UTF-8 when it gets here. Inputs are bounded
// (MaxExchangeFileSize) well below what the tape's 32-bit offsets can count.
class TJsonParser {
public:
  TJsonParser(std::string_view Text, TJsonDocument& Doc) : FText(Text), FDoc(Doc), FPath(Doc) {}

  void Parse() {
    SkipSpace();
    Value(0);
    SkipSpace();
    if (FPos < FText.size()) Fail("text after the end of the document");
  }

private:
  [[noreturn]] void Fail(std::string_view What) {
    std::int64_t line = 1 + std::count(FText.begin(), FText.begin() + static_cast<std::ptrdiff_t>(FPos), '\n');
    RaiseExchangeError(FPath.Text() + " (line " + std::to_string(line) + ")", What);
  }

  void SkipSpace() noexcept {
    while (FPos < FText.size() &&
           (FText[FPos] == ' ' || FText[FPos] == '\t' || FText[FPos] == '\n' || FText[FPos] == '\r')) {
      ++FPos;
    }
  }

  char Peek() { return FPos < FText.size() ? FText[FPos] : '\0'; }

  void Expect(char C, std::string_view What) {
    if (Peek() != C) Fail(What);
    ++FPos;
  }

  void Value(std::int32_t Depth) {
    switch (Peek()) {
      case '{':
        return Object(Depth + 1);
      case '[':
        return Array(Depth + 1);
      case '"':
        return StringValue();
      case 't':
        return Word("true", TJsonDocument::jkTrue);
      case 'f':
        return Word("false", TJsonDocument::jkFalse);
      case 'n':
        return Word("null", TJsonDocument::jkNull);
      default:
        return Number();
    }
  }

  void Word(std::string_view Text, TJsonDocument::TKind Kind) {
    if (FText.substr(FPos, Text.size()) != Text) Fail("an unknown word");
    FPos += Text.size();
    FDoc.Close(FDoc.Open(Kind));
  }

  void Number() {
    const std::size_t start = FPos;
    auto digits = [&] {
      const std::size_t first = FPos;
      while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
      return FPos - first;
    };
    if (Peek() == '-') ++FPos;
    const bool leadingZero = Peek() == '0';
    const std::size_t whole = digits();
    if (whole == 0) Fail("a value was expected");
    if (leadingZero && whole > 1) Fail("a number with a leading zero");
    if (Peek() == '.') {
      ++FPos;
      if (digits() == 0) Fail("a number without digits after its point");
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++FPos;
      if (Peek() == '+' || Peek() == '-') ++FPos;
      if (digits() == 0) Fail("a number without digits in its exponent");
    }
    const std::size_t poolStart = FDoc.Pool().size();
    FDoc.Pool().append(FText.begin() + static_cast<std::ptrdiff_t>(start),
                       FText.begin() + static_cast<std::ptrdiff_t>(FPos));
    FDoc.AddText(TJsonDocument::jkNumber, poolStart);
  }

  void CheckDepth(std::int32_t Depth) {
    if (Depth > MaxExchangeJsonDepth) Fail("arrays and objects nested too deeply");
  }

  void Array(std::int32_t Depth) {
    CheckDepth(Depth);
    const std::size_t node = FDoc.Open(TJsonDocument::jkArray);
    ++FPos;
    SkipSpace();
    for (std::size_t index = 0; Peek() != ']'; ++index) {
      if (index > 0) {
        Expect(',', "a comma or the end of the array was expected");
        SkipSpace();
      }
      FPath.PushIndex(index);
      Value(Depth);
      FPath.Pop();
      SkipSpace();
      if (FPos >= FText.size()) Fail("a comma or the end of the array was expected");
    }
    ++FPos;
    FDoc.Close(node);
  }

  void Object(std::int32_t Depth) {
    CheckDepth(Depth);
    const std::size_t node = FDoc.Open(TJsonDocument::jkObject);
    ++FPos;
    SkipSpace();
    for (bool first = true; Peek() != '}'; first = false) {
      if (!first) {
        Expect(',', "a comma or the end of the object was expected");
        SkipSpace();
      }
      if (Peek() != '"') Fail("a member name was expected");
      const std::size_t key = FDoc.Count();
      StringValue();
      SkipSpace();
      Expect(':', "a colon was expected after the member name");
      SkipSpace();
      FPath.PushKey(key);
      Value(Depth);
      FPath.Pop();
      SkipSpace();
      if (FPos >= FText.size()) Fail("a comma or the end of the object was expected");
    }
    ++FPos;
    FDoc.Close(node);
    CheckUniqueKeys(node);
  }

  // Two members of one name could be read differently by two programs. Small
  // objects are compared pairwise; a sorted list keeps large ones
  // linear-logarithmic.
  void CheckUniqueKeys(std::size_t Node) {
    constexpr std::size_t pairwiseUpTo = 16;
    std::vector<std::u16string_view> names;
    for (std::size_t key = Node + 1; key < FDoc.End(Node); key = FDoc.End(key + 1)) {
      const std::u16string_view name = FDoc.Text(key);
      if (names.size() < pairwiseUpTo && std::find(names.begin(), names.end(), name) != names.end()) {
        Fail("a member name appears twice");
      }
      names.push_back(name);
    }
    if (names.size() <= pairwiseUpTo) return;
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end()) Fail("a member name appears twice");
  }

  std::uint32_t Hex4() {
    if (FText.size() - FPos < 4) Fail("a \\u escape needs four hex digits");
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FPos++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        Fail("a \\u escape needs four hex digits");
      }
    }
    return value;
  }

  // Decodes well-formed UTF-8 onto the pool.
  void AppendUTF8(std::string_view Run) {
    String& out = FDoc.Pool();
    std::size_t i = 0;
    while (i < Run.size()) {
      const auto c = static_cast<unsigned char>(Run[i]);
      if (c < 0x80) {
        out.push_back(static_cast<Char>(c));
        ++i;
        continue;
      }
      const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      std::uint32_t cp = c & (0x7Fu >> length);
      for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(Run[i + k]) & 0x3Fu);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<Char>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<Char>(0xDC00 + (cp & 0x3FF)));
      } else {
        out.push_back(static_cast<Char>(cp));
      }
      i += length;
    }
  }

  void StringValue() {
    const std::size_t poolStart = FDoc.Pool().size();
    String& out = FDoc.Pool();
    ++FPos;
    for (;;) {
      // Runs of plain characters are decoded in one step.
      std::size_t end = FPos;
      while (end < FText.size() && FText[end] != '"' && FText[end] != '\\' &&
             static_cast<unsigned char>(FText[end]) >= 0x20) {
        ++end;
      }
      AppendUTF8(FText.substr(FPos, end - FPos));
      FPos = end;
      if (FPos >= FText.size()) Fail("a string is not closed");
      const char c = FText[FPos++];
      if (c == '"') break;
      if (c != '\\') Fail("a control character inside a string");
      if (FPos >= FText.size()) Fail("a string is not closed");
      switch (FText[FPos++]) {
        case '"':
          out += u'"';
          break;
        case '\\':
          out += u'\\';
          break;
        case '/':
          out += u'/';
          break;
        case 'b':
          out += u'\b';
          break;
        case 'f':
          out += u'\f';
          break;
        case 'n':
          out += u'\n';
          break;
        case 'r':
          out += u'\r';
          break;
        case 't':
          out += u'\t';
          break;
        case 'u':
          // Kept as the code unit it names; a lone surrogate is refused later,
          // with the record, as text a vault cannot save.
          out += static_cast<Char>(Hex4());
          break;
        default:
          Fail("an unknown escape inside a string");
      }
    }
    FDoc.AddText(TJsonDocument::jkString, poolStart);
  }

  std::string_view FText;
  std::size_t FPos = 0;
  TJsonDocument& FDoc;
  TJsonPath FPath;
};

// Reading a parsed document against a schema, with the path of each fault.
class TSchemaReader {
public:
  explicit TSchemaReader(const TJsonDocument& Doc) : FDoc(Doc), FPath(Doc) {}

  [[noreturn]] void Fail(std::string_view What) { RaiseExchangeError(FPath.Text(), What); }

  // Steps into the member whose value is Node (its name just before it), or
  // the element Index, for the duration of Action.
  template <class TAction>
  void AtMember(std::size_t Node, TAction&& Action) {
    FPath.PushKey(Node - 1);
    Action();
    FPath.Pop();
  }
  template <class TAction>
  void AtIndex(std::size_t Index, TAction&& Action) {
    FPath.PushIndex(Index);
    Action();
    FPath.Pop();
  }

  std::size_t Require(std::size_t Node, TJsonDocument::TKind Kind, std::string_view What) {
    if (FDoc.Kind(Node) != Kind) Fail(What);
    return Node;
  }

  // A member Name of Object that must be an array (or null or absent, for
  // none): Action runs for each element, inside its path.
  template <class TAction>
  void Elements(std::size_t Object, std::u16string_view Name, TAction&& Action) {
    const std::size_t list = FDoc.Member(Object, Name);
    if (list == npos || FDoc.Kind(list) == TJsonDocument::jkNull) return;
    AtMember(list, [&] {
      Require(list, TJsonDocument::jkArray, "an array was expected");
      std::size_t index = 0;
      for (std::size_t item = list + 1; item < FDoc.End(list); item = FDoc.End(item), ++index) {
        AtIndex(index, [&] { Action(item); });
      }
    });
  }

  // A member that must be a string (or null, read as empty, when allowed);
  // absent reads as empty.
  void Text(std::size_t Object, std::u16string_view Name, String& Out, bool NullAllowed) {
    const std::size_t value = FDoc.Member(Object, Name);
    if (value == npos || (NullAllowed && FDoc.Kind(value) == TJsonDocument::jkNull)) return;
    AtMember(value, [&] { Out = FDoc.Text(Require(value, TJsonDocument::jkString, "a string was expected")); });
  }

  bool Integer(std::size_t Object, std::u16string_view Name, std::int64_t& Out) {
    const std::size_t value = FDoc.Member(Object, Name);
    if (value == npos) return false;
    AtMember(value, [&] {
      // A number's characters are ASCII.
      const std::u16string_view digits = FDoc.Text(value);
      char text[24];
      if (FDoc.Kind(value) != TJsonDocument::jkNumber || digits.size() > sizeof text) {
        Fail("a whole number was expected");
      }
      for (std::size_t i = 0; i < digits.size(); ++i) text[i] = static_cast<char>(digits[i]);
      const auto [end, error] = std::from_chars(text, text + digits.size(), Out);
      if (error != std::errc() || end != text + digits.size()) Fail("a whole number was expected");
    });
    return true;
  }

  // A date and time as text, or null or absent for none.
  bool Date(std::size_t Object, std::u16string_view Name, std::int64_t& Out) {
    String text;
    Text(Object, Name, text, true);
    if (text.empty()) return false;
    AtMember(FDoc.Member(Object, Name), [&] {
      if (!ParseExchangeTime(StrToUTF8(text), Out)) Fail("a date and time was expected");
    });
    return true;
  }

  std::string Where() const { return FPath.Text(); }
  const TJsonDocument& Doc() const noexcept { return FDoc; }

private:
  const TJsonDocument& FDoc;
  TJsonPath FPath;
};

constexpr std::size_t kRoot = 0;

void ReadOwn(const TJsonDocument& Doc, TExchangeRecords& Out) {
  TSchemaReader reader(Doc);
  String format;
  reader.Text(kRoot, u"format", format, false);
  if (format != UTF8ToStr(kOwnFormatName)) reader.Fail("the \"format\" member does not name this layout");
  std::int64_t version = 0;
  if (!reader.Integer(kRoot, u"version", version) || version != kOwnFormatVersion) {
    reader.Fail("the \"version\" member is missing or not 1");
  }
  const std::size_t records = Doc.Member(kRoot, u"records");
  if (records == npos || Doc.Kind(records) == TJsonDocument::jkNull) reader.Fail("the \"records\" member is missing");
  reader.Elements(kRoot, u"records", [&](std::size_t Item) {
    reader.Require(Item, TJsonDocument::jkObject, "an object was expected");
    TExchangeRecord& rec = Out.emplace_back();
    rec.Where = reader.Where();
    reader.Text(Item, u"group", rec.Group, false);
    reader.Text(Item, u"title", rec.Title, false);
    reader.Text(Item, u"username", rec.Username, false);
    reader.Text(Item, u"password", rec.Password, false);
    reader.Text(Item, u"url", rec.URL, false);
    reader.Text(Item, u"note", rec.Note, false);
    rec.HasCreated = reader.Integer(Item, u"created", rec.Created);
    rec.HasModified = reader.Integer(Item, u"modified", rec.Modified);
    rec.HasAccessed = reader.Integer(Item, u"accessed", rec.Accessed);
  });
}

// The folders of a Bitwarden export, sorted by id.
std::vector<std::pair<String, String>> ReadFolders(TSchemaReader& Reader) {
  std::vector<std::pair<String, String>> folders;
  Reader.Elements(kRoot, u"folders", [&](std::size_t Folder) {
    Reader.Require(Folder, TJsonDocument::jkObject, "an object was expected");
    auto& [id, name] = folders.emplace_back();
    Reader.Text(Folder, u"id", id, false);
    Reader.Text(Folder, u"name", name, false);
  });
  std::sort(folders.begin(), folders.end());
  return folders;
}

void ReadLogin(TSchemaReader& Reader, std::size_t Item, TExchangeRecord& Rec) {
  const TJsonDocument& doc = Reader.Doc();
  const std::size_t login = doc.Member(Item, u"login");
  if (login == npos || doc.Kind(login) == TJsonDocument::jkNull) return;
  Reader.AtMember(login, [&] {
    Reader.Require(login, TJsonDocument::jkObject, "an object was expected");
    Reader.Text(login, u"username", Rec.Username, true);
    Reader.Text(login, u"password", Rec.Password, true);
    String totp;
    Reader.Text(login, u"totp", totp, true);
    bool first = true;
    Reader.Elements(login, u"uris", [&](std::size_t Entry) {
      String uri;
      Reader.Text(Reader.Require(Entry, TJsonDocument::jkObject, "an object was expected"), u"uri", uri, true);
      // The first address is the record's URL; more are kept in the note.
      if (first) {
        Rec.URL = uri;
      } else {
        AppendExtra(Rec, u"URL", uri);
      }
      first = false;
    });
    AppendExtra(Rec, u"TOTP", totp);
  });
}

void ReadCustomFields(TSchemaReader& Reader, std::size_t Item, TExchangeRecord& Rec) {
  Reader.Elements(Item, u"fields", [&](std::size_t Field) {
    Reader.Require(Field, TJsonDocument::jkObject, "an object was expected");
    String name, value;
    Reader.Text(Field, u"name", name, true);
    Reader.Text(Field, u"value", value, true);
    AppendExtra(Rec, name.empty() ? String(u"Field") : name, value);
  });
}

void ReadBitwarden(const TJsonDocument& Doc, TExchangeRecords& Out, std::int32_t& Skipped) {
  TSchemaReader reader(Doc);
  if (const std::size_t encrypted = Doc.Member(kRoot, u"encrypted");
      encrypted != npos && Doc.Kind(encrypted) == TJsonDocument::jkTrue) {
    reader.AtMember(encrypted, [&] { reader.Fail("an encrypted export cannot be read; export without encryption"); });
  }
  const std::vector<std::pair<String, String>> folders = ReadFolders(reader);
  reader.Elements(kRoot, u"items", [&](std::size_t Item) {
    reader.Require(Item, TJsonDocument::jkObject, "an object was expected");
    std::int64_t type = kBitwardenLogin;
    reader.Integer(Item, u"type", type);
    if (type != kBitwardenLogin && type != kBitwardenNote) {
      ++Skipped;
      return;
    }
    TExchangeRecord& rec = Out.emplace_back();
    rec.Where = reader.Where();
    reader.Text(Item, u"name", rec.Title, true);
    reader.Text(Item, u"notes", rec.Note, true);
    String folderId;
    reader.Text(Item, u"folderId", folderId, true);
    if (!folderId.empty()) {
      const auto found = std::lower_bound(folders.begin(), folders.end(), std::pair<String, String>{folderId, {}});
      if (found == folders.end() || found->first != folderId) {
        reader.AtMember(Doc.Member(Item, u"folderId"), [&] { reader.Fail("no folder has this id"); });
      }
      rec.Group = found->second;
    }
    ReadLogin(reader, Item, rec);
    ReadCustomFields(reader, Item, rec);
    rec.HasCreated = reader.Date(Item, u"creationDate", rec.Created);
    rec.HasModified = reader.Date(Item, u"revisionDate", rec.Modified);
  });
}

// Writing ------------------------------------------------------------------

void AppendEscaped(std::string& Out, const String& Text) {
  Out.push_back('"');
  std::size_t start = 0;
  auto flush = [&](std::size_t End) { AppendUTF8(Out, std::u16string_view(Text).substr(start, End - start)); };
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const Char c = Text[i];
    if (c >= 0x20 && c != u'"' && c != u'\\') continue;
    flush(i);
    start = i + 1;
    switch (c) {
      case u'"':
        Out += "\\\"";
        break;
      case u'\\':
        Out += "\\\\";
        break;
      case u'\n':
        Out += "\\n";
        break;
      case u'\r':
        Out += "\\r";
        break;
      case u'\t':
        Out += "\\t";
        break;
      default: {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
        Out += escape;
      }
    }
  }
  flush(Text.size());
  Out.push_back('"');
}

void AppendText(std::string& Out, const String& Text) { AppendEscaped(Out, Text); }

void AppendTextOrNull(std::string& Out, const String& Text) {
  if (Text.empty()) {
    Out += "null";
  } else {
    AppendEscaped(Out, Text);
  }
}

void WriteOwn(const TExchangeRecords& Records, TExchangeOutput& Out) {
  std::string& head = Out.Begin({});
  head += "{\n  \"format\": \"";
  head += kOwnFormatName;
  head += "\",\n  \"version\": " + std::to_string(kOwnFormatVersion) + ",\n  \"records\": [";
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const TExchangeRecord& rec = Records[i];
    std::string& text = Out.Begin({&rec.Group, &rec.Title, &rec.Username, &rec.Password, &rec.URL, &rec.Note});
    text += i == 0 ? "\n    {" : ",\n    {";
    const std::pair<const char*, const String*> texts[] = {{"group", &rec.Group},       {"title", &rec.Title},
                                                           {"username", &rec.Username}, {"password", &rec.Password},
                                                           {"url", &rec.URL},           {"note", &rec.Note}};
    for (const auto& [name, value] : texts) {
      text += "\"";
      text += name;
      text += "\": ";
      AppendText(text, *value);
      text += ", ";
    }
    text += "\"created\": " + std::to_string(rec.Created) + ", \"modified\": " + std::to_string(rec.Modified) +
            ", \"accessed\": " + std::to_string(rec.Accessed) + "}";
    Out.End();
  }
  Out.Begin({}) += Records.empty() ? "]\n}\n" : "\n  ]\n}\n";
}

// Folder ids are made up from the folder's position, in the shape of the
// export's identifiers, so that the same vault always gives the same file.
std::string FolderId(std::size_t Index) {
  std::string id = "00000000-0000-4000-8000-000000000000";
  std::uint64_t value = Index + 1;
  for (std::size_t at = id.size(); value != 0 && at > id.size() - 12; value >>= 4)
    id[--at] = "0123456789abcdef"[value & 0xF];
  return id;
}

void WriteBitwarden(const TExchangeRecords& Records, TExchangeOutput& Out) {
  std::vector<const String*> folders;
  std::unordered_map<std::u16string_view, std::size_t> folderIndex;
  std::vector<std::size_t> folderOf(Records.size());
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const auto [it, added] = folderIndex.try_emplace(Records[i].Group, folders.size());
    if (added) folders.push_back(&Records[i].Group);
    folderOf[i] = it->second;
  }
  Out.Begin({}) += "{\n  \"encrypted\": false,\n  \"folders\": [";
  for (std::size_t f = 0; f < folders.size(); ++f) {
    std::string& text = Out.Begin({folders[f]});
    text += f == 0 ? "\n    {\"id\": \"" : ",\n    {\"id\": \"";
    text += FolderId(f) + "\", \"name\": ";
    AppendText(text, *folders[f]);
    text += "}";
    Out.End();
  }
  Out.Begin({}) += folders.empty() ? "],\n  \"items\": [" : "\n  ],\n  \"items\": [";
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const TExchangeRecord& rec = Records[i];
    std::string& text = Out.Begin({&rec.Title, &rec.Username, &rec.Password, &rec.URL, &rec.Note});
    text += i == 0 ? "\n    {" : ",\n    {";
    text += "\"folderId\": \"" + FolderId(folderOf[i]) + "\", \"type\": 1, \"reprompt\": 0, \"name\": ";
    AppendText(text, rec.Title);
    text += ", \"notes\": ";
    AppendTextOrNull(text, rec.Note);
    text += ", \"favorite\": false, \"login\": {\"uris\": [";
    if (!rec.URL.empty()) {
      text += "{\"match\": null, \"uri\": ";
      AppendText(text, rec.URL);
      text += "}";
    }
    text += "], \"username\": ";
    AppendTextOrNull(text, rec.Username);
    text += ", \"password\": ";
    AppendTextOrNull(text, rec.Password);
    text += ", \"totp\": null}, \"collectionIds\": null";
    if (const std::string created = FormatIsoTime(rec.Created, izUtcMillis); !created.empty()) {
      text += ", \"creationDate\": \"" + created + "\"";
    }
    if (const std::string modified = FormatIsoTime(rec.Modified, izUtcMillis); rec.Modified != 0 && !modified.empty()) {
      text += ", \"revisionDate\": \"" + modified + "\"";
    }
    text += "}";
    Out.End();
  }
  Out.Begin({}) += Records.empty() ? "]\n}\n" : "\n  ]\n}\n";
}

} // namespace

TKLExchangeFormat ReadJson(std::string_view Text, TKLExchangeFormat Wanted, TExchangeRecords& Out,
                           std::int32_t& Skipped) {
  TJsonDocument doc(Text.size());
  TJsonParser(Text, doc).Parse();
  if (doc.Kind(kRoot) != TJsonDocument::jkObject) RaiseExchangeError("$", "an object was expected");
  TKLExchangeFormat format = Wanted;
  if (format == exAuto) {
    if (doc.Member(kRoot, u"records") != npos) {
      format = exJson;
    } else if (doc.Member(kRoot, u"items") != npos) {
      format = exBitwardenJson;
    } else {
      RaiseExchangeError("$", "neither \"records\" nor \"items\" is a member");
    }
  }
  if (format == exJson) {
    ReadOwn(doc, Out);
  } else {
    if (doc.Member(kRoot, u"items") == npos) RaiseExchangeError("$", "the \"items\" member is missing");
    ReadBitwarden(doc, Out, Skipped);
  }
  return format;
}

void WriteJson(const TExchangeRecords& Records, TKLExchangeFormat Layout, TExchangeOutput& Out) {
  if (Layout == exBitwardenJson) {
    WriteBitwarden(Records, Out);
  } else {
    WriteOwn(Records, Out);
  }
}

} // namespace kl::detail
