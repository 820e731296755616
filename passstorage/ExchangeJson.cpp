// JSON as RFC 8259 has it, parsed strictly into a small tree (no comments, no
// trailing commas, no duplicate member names, nesting bounded), then mapped
// onto records by one of two schemas. Every fault names its JSON path.

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

struct TJson {
  enum TKind : std::uint8_t { jkNull, jkFalse, jkTrue, jkNumber, jkString, jkArray, jkObject };
  TKind Kind = jkNull;
  String Text;              // a string's value, or a number's characters
  std::vector<TJson> Items; // elements, or member values
  std::vector<String> Keys; // member names, beside their values

  TJson() = default;
  TJson(TJson&&) = default;
  TJson& operator=(TJson&&) = default;
  ~TJson() { WipeString(Text); }

  const TJson* Member(std::u16string_view Name) const noexcept {
    for (std::size_t i = 0; i < Keys.size(); ++i) {
      if (Keys[i] == Name) return &Items[i];
    }
    return nullptr;
  }
};

// A path such as $.items[3].login: each step a member name or an index.
class TJsonPath {
public:
  void PushKey(const String& Key) { FSteps.push_back({&Key, 0}); }
  void PushIndex(std::size_t Index) { FSteps.push_back({nullptr, Index}); }
  void Pop() noexcept { FSteps.pop_back(); }

  std::string Text() const {
    std::string text = "$";
    for (const TStep& step : FSteps) {
      if (step.Key == nullptr) {
        text += "[" + std::to_string(step.Index) + "]";
      } else {
        // Long names are cut: the message names the place, not the file's text.
        text += "." + StrToUTF8(step.Key->substr(0, 64));
      }
    }
    return text;
  }

private:
  struct TStep {
    const String* Key; // points into the tree, which does not move while the path is in use
    std::size_t Index;
  };
  std::vector<TStep> FSteps;
};

// The text is known to be valid UTF-8 when it gets here.
class TJsonParser {
public:
  explicit TJsonParser(std::string_view Text) : FText(Text) {}

  void Parse(TJson& Root) {
    SkipSpace();
    Value(Root, 0);
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

  void Value(TJson& Out, std::int32_t Depth) {
    switch (Peek()) {
      case '{':
        return Object(Out, Depth + 1);
      case '[':
        return Array(Out, Depth + 1);
      case '"':
        Out.Kind = TJson::jkString;
        return StringValue(Out.Text);
      case 't':
        return Word("true", TJson::jkTrue, Out);
      case 'f':
        return Word("false", TJson::jkFalse, Out);
      case 'n':
        return Word("null", TJson::jkNull, Out);
      default:
        return Number(Out);
    }
  }

  void Word(std::string_view Text, TJson::TKind Kind, TJson& Out) {
    if (FText.substr(FPos, Text.size()) != Text) Fail("an unknown word");
    FPos += Text.size();
    Out.Kind = Kind;
  }

  void Number(TJson& Out) {
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
    Out.Kind = TJson::jkNumber;
    Out.Text.assign(FText.begin() + static_cast<std::ptrdiff_t>(start),
                    FText.begin() + static_cast<std::ptrdiff_t>(FPos));
  }

  void CheckDepth(std::int32_t Depth) {
    if (Depth > MaxExchangeJsonDepth) Fail("arrays and objects nested too deeply");
  }

  void Array(TJson& Out, std::int32_t Depth) {
    CheckDepth(Depth);
    Out.Kind = TJson::jkArray;
    ++FPos;
    SkipSpace();
    if (Peek() == ']') {
      ++FPos;
      return;
    }
    for (;;) {
      FPath.PushIndex(Out.Items.size());
      Value(Out.Items.emplace_back(), Depth);
      FPath.Pop();
      SkipSpace();
      if (Peek() == ']') break;
      Expect(',', "a comma or the end of the array was expected");
      SkipSpace();
    }
    ++FPos;
  }

  void Object(TJson& Out, std::int32_t Depth) {
    CheckDepth(Depth);
    Out.Kind = TJson::jkObject;
    ++FPos;
    SkipSpace();
    if (Peek() == '}') {
      ++FPos;
      return;
    }
    for (;;) {
      if (Peek() != '"') Fail("a member name was expected");
      StringValue(Out.Keys.emplace_back());
      SkipSpace();
      Expect(':', "a colon was expected after the member name");
      SkipSpace();
      FPath.PushKey(Out.Keys.back());
      Value(Out.Items.emplace_back(), Depth);
      FPath.Pop();
      SkipSpace();
      if (Peek() == '}') break;
      Expect(',', "a comma or the end of the object was expected");
      SkipSpace();
    }
    ++FPos;
    CheckUniqueKeys(Out.Keys);
  }

  // Two members of one name could be read differently by two programs; a
  // sorted copy keeps this linear-logarithmic for large objects.
  void CheckUniqueKeys(const std::vector<String>& Keys) {
    std::vector<std::u16string_view> names(Keys.begin(), Keys.end());
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

  void StringValue(String& Out) {
    ++FPos;
    for (;;) {
      // Runs of plain characters are converted in one step.
      std::size_t end = FPos;
      while (end < FText.size() && FText[end] != '"' && FText[end] != '\\' &&
             static_cast<unsigned char>(FText[end]) >= 0x20) {
        ++end;
      }
      if (end > FPos) Out += UTF8ToStr(reinterpret_cast<const std::uint8_t*>(FText.data() + FPos), end - FPos);
      FPos = end;
      if (FPos >= FText.size()) Fail("a string is not closed");
      const char c = FText[FPos++];
      if (c == '"') return;
      if (c != '\\') Fail("a control character inside a string");
      if (FPos >= FText.size()) Fail("a string is not closed");
      switch (FText[FPos++]) {
        case '"':
          Out += u'"';
          break;
        case '\\':
          Out += u'\\';
          break;
        case '/':
          Out += u'/';
          break;
        case 'b':
          Out += u'\b';
          break;
        case 'f':
          Out += u'\f';
          break;
        case 'n':
          Out += u'\n';
          break;
        case 'r':
          Out += u'\r';
          break;
        case 't':
          Out += u'\t';
          break;
        case 'u':
          // Kept as the code unit it names; a lone surrogate is refused later,
          // with the record, as text a vault cannot save.
          Out += static_cast<Char>(Hex4());
          break;
        default:
          Fail("an unknown escape inside a string");
      }
    }
  }

  std::string_view FText;
  std::size_t FPos = 0;
  TJsonPath FPath;
};

// Reading a parsed tree against a schema, with the path of each fault.
class TSchemaReader {
public:
  [[noreturn]] void Fail(std::string_view What) { RaiseExchangeError(FPath.Text(), What); }

  // Steps into a member or element for the duration of Action.
  template <class TAction>
  void At(const String& Key, TAction&& Action) {
    FPath.PushKey(Key);
    Action();
    FPath.Pop();
  }
  template <class TAction>
  void At(std::size_t Index, TAction&& Action) {
    FPath.PushIndex(Index);
    Action();
    FPath.Pop();
  }

  const TJson& Require(const TJson& Value, TJson::TKind Kind, std::string_view What) {
    if (Value.Kind != Kind) Fail(What);
    return Value;
  }

  // A member that must be a string (or null, read as empty, when allowed);
  // absent reads as empty.
  void Text(const TJson& Object, std::u16string_view Name, String& Out, bool NullAllowed) {
    const std::size_t index = IndexOf(Object, Name);
    if (index == npos) return;
    const TJson& value = Object.Items[index];
    if (NullAllowed && value.Kind == TJson::jkNull) return;
    At(Object.Keys[index], [&] { Out = Require(value, TJson::jkString, "a string was expected").Text; });
  }

  bool Integer(const TJson& Object, std::u16string_view Name, std::int64_t& Out) {
    const std::size_t index = IndexOf(Object, Name);
    if (index == npos) return false;
    At(Object.Keys[index], [&] {
      const TJson& value = Object.Items[index];
      const std::string text = value.Kind == TJson::jkNumber ? StrToUTF8(value.Text) : std::string();
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), Out);
      if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        Fail("a whole number was expected");
      }
    });
    return true;
  }

  // A date and time as text, or null or absent for none.
  bool Date(const TJson& Object, std::u16string_view Name, std::int64_t& Out) {
    String text;
    Text(Object, Name, text, true);
    if (text.empty()) return false;
    At(Object.Keys[IndexOf(Object, Name)], [&] {
      if (!ParseIsoTime(StrToUTF8(text), Out)) Fail("a date and time was expected");
    });
    return true;
  }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  static std::size_t IndexOf(const TJson& Object, std::u16string_view Name) noexcept {
    for (std::size_t i = 0; i < Object.Keys.size(); ++i) {
      if (Object.Keys[i] == Name) return i;
    }
    return npos;
  }

  std::string Where() const { return FPath.Text(); }

private:
  TJsonPath FPath;
};

void ReadOwn(const TJson& Root, TExchangeRecords& Out) {
  TSchemaReader reader;
  String format;
  reader.Text(Root, u"format", format, false);
  if (format != UTF8ToStr(kOwnFormatName)) reader.Fail("the \"format\" member does not name this layout");
  std::int64_t version = 0;
  if (!reader.Integer(Root, u"version", version) || version != kOwnFormatVersion) {
    reader.Fail("the \"version\" member is missing or not 1");
  }
  const std::size_t recordsAt = TSchemaReader::IndexOf(Root, u"records");
  if (recordsAt == TSchemaReader::npos) reader.Fail("the \"records\" member is missing");
  reader.At(Root.Keys[recordsAt], [&] {
    const TJson& records = reader.Require(Root.Items[recordsAt], TJson::jkArray, "an array was expected");
    for (std::size_t i = 0; i < records.Items.size(); ++i) {
      reader.At(i, [&] {
        const TJson& item = reader.Require(records.Items[i], TJson::jkObject, "an object was expected");
        TExchangeRecord& rec = Out.emplace_back();
        rec.Where = reader.Where();
        reader.Text(item, u"group", rec.Group, false);
        reader.Text(item, u"title", rec.Title, false);
        reader.Text(item, u"username", rec.Username, false);
        reader.Text(item, u"password", rec.Password, false);
        reader.Text(item, u"url", rec.URL, false);
        reader.Text(item, u"note", rec.Note, false);
        rec.HasCreated = reader.Integer(item, u"created", rec.Created);
        rec.HasModified = reader.Integer(item, u"modified", rec.Modified);
        rec.HasAccessed = reader.Integer(item, u"accessed", rec.Accessed);
      });
    }
  });
}

// The folders of a Bitwarden export, by id.
std::vector<std::pair<String, String>> ReadFolders(TSchemaReader& Reader, const TJson& Root) {
  std::vector<std::pair<String, String>> folders;
  const std::size_t at = TSchemaReader::IndexOf(Root, u"folders");
  if (at == TSchemaReader::npos || Root.Items[at].Kind == TJson::jkNull) return folders;
  Reader.At(Root.Keys[at], [&] {
    const TJson& list = Reader.Require(Root.Items[at], TJson::jkArray, "an array was expected");
    for (std::size_t i = 0; i < list.Items.size(); ++i) {
      Reader.At(i, [&] {
        const TJson& folder = Reader.Require(list.Items[i], TJson::jkObject, "an object was expected");
        auto& [id, name] = folders.emplace_back();
        Reader.Text(folder, u"id", id, false);
        Reader.Text(folder, u"name", name, false);
      });
    }
  });
  std::sort(folders.begin(), folders.end());
  return folders;
}

void ReadLogin(TSchemaReader& Reader, const TJson& Item, TExchangeRecord& Rec) {
  const std::size_t at = TSchemaReader::IndexOf(Item, u"login");
  if (at == TSchemaReader::npos || Item.Items[at].Kind == TJson::jkNull) return;
  Reader.At(Item.Keys[at], [&] {
    const TJson& login = Reader.Require(Item.Items[at], TJson::jkObject, "an object was expected");
    Reader.Text(login, u"username", Rec.Username, true);
    Reader.Text(login, u"password", Rec.Password, true);
    String totp;
    Reader.Text(login, u"totp", totp, true);
    const std::size_t urisAt = TSchemaReader::IndexOf(login, u"uris");
    if (urisAt != TSchemaReader::npos && login.Items[urisAt].Kind != TJson::jkNull) {
      Reader.At(login.Keys[urisAt], [&] {
        const TJson& uris = Reader.Require(login.Items[urisAt], TJson::jkArray, "an array was expected");
        for (std::size_t i = 0; i < uris.Items.size(); ++i) {
          Reader.At(i, [&] {
            String uri;
            Reader.Text(Reader.Require(uris.Items[i], TJson::jkObject, "an object was expected"), u"uri", uri, true);
            // The first address is the record's URL; more are kept in the note.
            if (i == 0) {
              Rec.URL = uri;
            } else {
              AppendExtra(Rec, u"URL", uri);
            }
          });
        }
      });
    }
    AppendExtra(Rec, u"TOTP", totp);
  });
}

void ReadCustomFields(TSchemaReader& Reader, const TJson& Item, TExchangeRecord& Rec) {
  const std::size_t at = TSchemaReader::IndexOf(Item, u"fields");
  if (at == TSchemaReader::npos || Item.Items[at].Kind == TJson::jkNull) return;
  Reader.At(Item.Keys[at], [&] {
    const TJson& fields = Reader.Require(Item.Items[at], TJson::jkArray, "an array was expected");
    for (std::size_t i = 0; i < fields.Items.size(); ++i) {
      Reader.At(i, [&] {
        const TJson& field = Reader.Require(fields.Items[i], TJson::jkObject, "an object was expected");
        String name, value;
        Reader.Text(field, u"name", name, true);
        Reader.Text(field, u"value", value, true);
        AppendExtra(Rec, name.empty() ? String(u"Field") : name, value);
      });
    }
  });
}

void ReadBitwarden(const TJson& Root, TExchangeRecords& Out, std::int32_t& Skipped) {
  TSchemaReader reader;
  if (const TJson* encrypted = Root.Member(u"encrypted"); encrypted != nullptr && encrypted->Kind == TJson::jkTrue) {
    reader.At(u"encrypted", [&] { reader.Fail("an encrypted export cannot be read; export without encryption"); });
  }
  const std::vector<std::pair<String, String>> folders = ReadFolders(reader, Root);
  const std::size_t itemsAt = TSchemaReader::IndexOf(Root, u"items");
  reader.At(Root.Keys[itemsAt], [&] {
    const TJson& items = reader.Require(Root.Items[itemsAt], TJson::jkArray, "an array was expected");
    for (std::size_t i = 0; i < items.Items.size(); ++i) {
      reader.At(i, [&] {
        const TJson& item = reader.Require(items.Items[i], TJson::jkObject, "an object was expected");
        std::int64_t type = kBitwardenLogin;
        reader.Integer(item, u"type", type);
        if (type != kBitwardenLogin && type != kBitwardenNote) {
          ++Skipped;
          return;
        }
        TExchangeRecord& rec = Out.emplace_back();
        rec.Where = reader.Where();
        reader.Text(item, u"name", rec.Title, true);
        reader.Text(item, u"notes", rec.Note, true);
        String folderId;
        reader.Text(item, u"folderId", folderId, true);
        if (!folderId.empty()) {
          const auto found = std::lower_bound(folders.begin(), folders.end(), std::pair<String, String>{folderId, {}});
          if (found == folders.end() || found->first != folderId) {
            reader.At(u"folderId", [&] { reader.Fail("no folder has this id"); });
          }
          rec.Group = found->second;
        }
        ReadLogin(reader, item, rec);
        ReadCustomFields(reader, item, rec);
        rec.HasCreated = reader.Date(item, u"creationDate", rec.Created);
        rec.HasModified = reader.Date(item, u"revisionDate", rec.Modified);
      });
    }
  });
}

// Writing ------------------------------------------------------------------

void AppendEscaped(std::string& Out, const String& Text) {
  Out.push_back('"');
  std::size_t start = 0;
  auto flush = [&](std::size_t End) {
    if (End > start) Out += StrToUTF8(Text.substr(start, End - start));
  };
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

void WriteOwn(const TExchangeRecords& Records, std::string& Out) {
  Out += "{\n  \"format\": \"";
  Out += kOwnFormatName;
  Out += "\",\n  \"version\": " + std::to_string(kOwnFormatVersion) + ",\n  \"records\": [";
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const TExchangeRecord& rec = Records[i];
    Out += i == 0 ? "\n    {" : ",\n    {";
    const std::pair<const char*, const String*> texts[] = {{"group", &rec.Group},       {"title", &rec.Title},
                                                           {"username", &rec.Username}, {"password", &rec.Password},
                                                           {"url", &rec.URL},           {"note", &rec.Note}};
    for (const auto& [name, value] : texts) {
      Out += "\"";
      Out += name;
      Out += "\": ";
      AppendText(Out, *value);
      Out += ", ";
    }
    Out += "\"created\": " + std::to_string(rec.Created) + ", \"modified\": " + std::to_string(rec.Modified) +
           ", \"accessed\": " + std::to_string(rec.Accessed) + "}";
  }
  Out += Records.empty() ? "]\n}\n" : "\n  ]\n}\n";
}

// Folder ids are made up from the folder's position, in the shape of the
// export's identifiers, so that the same vault always gives the same file.
std::string FolderId(std::size_t Index) {
  char id[64];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012zx", Index + 1);
  return id;
}

void WriteBitwarden(const TExchangeRecords& Records, std::string& Out) {
  std::vector<const String*> folders;
  std::unordered_map<std::u16string_view, std::size_t> folderIndex;
  std::vector<std::size_t> folderOf(Records.size());
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const auto [it, added] = folderIndex.try_emplace(Records[i].Group, folders.size());
    if (added) folders.push_back(&Records[i].Group);
    folderOf[i] = it->second;
  }
  Out += "{\n  \"encrypted\": false,\n  \"folders\": [";
  for (std::size_t f = 0; f < folders.size(); ++f) {
    Out += f == 0 ? "\n    {\"id\": \"" : ",\n    {\"id\": \"";
    Out += FolderId(f) + "\", \"name\": ";
    AppendText(Out, *folders[f]);
    Out += "}";
  }
  Out += folders.empty() ? "],\n  \"items\": [" : "\n  ],\n  \"items\": [";
  for (std::size_t i = 0; i < Records.size(); ++i) {
    const TExchangeRecord& rec = Records[i];
    Out += i == 0 ? "\n    {" : ",\n    {";
    Out += "\"folderId\": \"" + FolderId(folderOf[i]) + "\", \"type\": 1, \"reprompt\": 0, \"name\": ";
    AppendText(Out, rec.Title);
    Out += ", \"notes\": ";
    AppendTextOrNull(Out, rec.Note);
    Out += ", \"favorite\": false, \"login\": {\"uris\": [";
    if (!rec.URL.empty()) {
      Out += "{\"match\": null, \"uri\": ";
      AppendText(Out, rec.URL);
      Out += "}";
    }
    Out += "], \"username\": ";
    AppendTextOrNull(Out, rec.Username);
    Out += ", \"password\": ";
    AppendTextOrNull(Out, rec.Password);
    Out += ", \"totp\": null}, \"collectionIds\": null";
    if (const std::string created = FormatIsoTime(rec.Created, true); !created.empty()) {
      Out += ", \"creationDate\": \"" + created + "\"";
    }
    if (const std::string modified = FormatIsoTime(rec.Modified, true); rec.Modified != 0 && !modified.empty()) {
      Out += ", \"revisionDate\": \"" + modified + "\"";
    }
    Out += "}";
  }
  Out += Records.empty() ? "]\n}\n" : "\n  ]\n}\n";
}

} // namespace

TKLExchangeFormat ReadJson(std::string_view Text, TKLExchangeFormat Wanted, TExchangeRecords& Out,
                           std::int32_t& Skipped) {
  TJson root;
  TJsonParser(Text).Parse(root);
  if (root.Kind != TJson::jkObject) RaiseExchangeError("$", "an object was expected");
  TKLExchangeFormat format = Wanted;
  if (format == exAuto) {
    if (root.Member(u"records") != nullptr) {
      format = exJson;
    } else if (root.Member(u"items") != nullptr) {
      format = exBitwardenJson;
    } else {
      RaiseExchangeError("$", "neither \"records\" nor \"items\" is a member");
    }
  }
  if (format == exJson) {
    ReadOwn(root, Out);
  } else {
    if (root.Member(u"items") == nullptr) RaiseExchangeError("$", "the \"items\" member is missing");
    ReadBitwarden(root, Out, Skipped);
  }
  return format;
}

void WriteJson(const TExchangeRecords& Records, TKLExchangeFormat Layout, std::string& Out) {
  if (Layout == exBitwardenJson) {
    WriteBitwarden(Records, Out);
  } else {
    WriteOwn(Records, Out);
  }
}

} // namespace kl::detail
