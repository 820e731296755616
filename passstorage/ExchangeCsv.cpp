// CSV as RFC 4180 has it: fields separated by commas, records by CRLF, LF or
// a lone CR; a field in double quotes may hold commas, quotes (doubled) and
// line breaks. The first record is the header, which names the layout.

#include <array>
#include <charconv>
#include <span>
#include <type_traits>

#include "foundation/KLGeneral.h"
#include "passstorage/ExchangeFormats.h"

namespace kl::detail {

namespace {

constexpr std::string_view kUnclosedQuote = "a quoted field is not closed";
constexpr std::string_view kTextAfterQuote = "text after the closing quote of a field";
constexpr std::string_view kStrayQuote = "a quote inside an unquoted field";
constexpr std::string_view kUnknownHeader = "the header line names no known layout";
constexpr std::string_view kNotWholeNumber = "a time stamp is not a whole number";
constexpr std::string_view kNotDate = "a time stamp is not a date and time";

// What a column holds. Constant columns are written with their text and not
// read; extras are kept in the note under their label.
enum TColumn {
  ckGroup,
  ckTitle,
  ckUsername,
  ckPassword,
  ckURL,
  ckNote,
  ckCreatedSeconds,
  ckModifiedSeconds,
  ckAccessedSeconds,
  ckCreatedIso,
  ckModifiedIso,
  ckExtra,
  ckConstant
};

struct TColumnSpec {
  std::string_view Name;
  TColumn Kind;
  std::string_view Text = {}; // ckConstant: the value written; ckExtra: the label in the note
};

struct TCsvLayout {
  TKLExchangeFormat Format;
  std::span<const TColumnSpec> Columns;
  // The leading columns that make a header of this layout too (the generic
  // six-column header of other tools without the time stamps).
  std::size_t MinColumns;
};

constexpr TColumnSpec kGeneric[] = {{"Group", ckGroup},
                                    {"Title", ckTitle},
                                    {"Username", ckUsername},
                                    {"Password", ckPassword},
                                    {"URL", ckURL},
                                    {"Notes", ckNote},
                                    {"Created", ckCreatedSeconds},
                                    {"Modified", ckModifiedSeconds},
                                    {"Accessed", ckAccessedSeconds}};
constexpr TColumnSpec kKeePassXC[] = {{"Group", ckGroup},
                                      {"Title", ckTitle},
                                      {"Username", ckUsername},
                                      {"Password", ckPassword},
                                      {"URL", ckURL},
                                      {"Notes", ckNote},
                                      {"TOTP", ckExtra, "TOTP"},
                                      {"Icon", ckConstant, "0"},
                                      {"Last Modified", ckModifiedIso},
                                      {"Created", ckCreatedIso}};
constexpr TColumnSpec kBitwarden[] = {{"folder", ckGroup},
                                      {"favorite", ckConstant, ""},
                                      {"type", ckConstant, "login"},
                                      {"name", ckTitle},
                                      {"notes", ckNote},
                                      {"fields", ckExtra, "Fields"},
                                      {"reprompt", ckConstant, "0"},
                                      {"login_uri", ckURL},
                                      {"login_username", ckUsername},
                                      {"login_password", ckPassword},
                                      {"login_totp", ckExtra, "TOTP"}};
constexpr TColumnSpec kBrowser[] = {
    {"name", ckTitle}, {"url", ckURL}, {"username", ckUsername}, {"password", ckPassword}, {"note", ckNote}};

constexpr std::array<TCsvLayout, 4> kLayouts = {{{exCsv, kGeneric, 6},
                                                 {exKeePassXCCsv, kKeePassXC, std::size(kKeePassXC)},
                                                 {exBitwardenCsv, kBitwarden, std::size(kBitwarden)},
                                                 {exBrowserCsv, kBrowser, std::size(kBrowser)}}};

const TCsvLayout* LayoutOf(TKLExchangeFormat Format) noexcept {
  for (const TCsvLayout& layout : kLayouts) {
    if (layout.Format == Format) return &layout;
  }
  return nullptr;
}

std::string LineWhere(std::int64_t Line) { return "line " + std::to_string(Line); }

// Reads records one at a time, each as its UTF-8 fields. Empty lines between
// records are skipped. Fields are wiped before they are reused, since they
// hold passwords.
class TCsvReader {
public:
  explicit TCsvReader(std::string_view Text) : FText(Text) {}
  ~TCsvReader() { Wipe(); }
  TCsvReader(const TCsvReader&) = delete;
  TCsvReader& operator=(const TCsvReader&) = delete;

  bool Next() {
    Wipe();
    while (FPos < FText.size() && (FText[FPos] == '\n' || FText[FPos] == '\r')) SkipLineEnd();
    if (FPos >= FText.size()) return false;
    FRecordLine = FLine;
    for (;;) {
      FFields.emplace_back();
      const bool more = FText[FPos] == '"' ? Quoted(FFields.back()) : Plain(FFields.back());
      if (!more) return true;
    }
  }

  const std::vector<std::string>& Fields() const noexcept { return FFields; }
  std::int64_t Line() const noexcept { return FRecordLine; }
  std::size_t Position() const noexcept { return FPos; }

private:
  // Each returns whether another field of the same record follows. At the end
  // of the text, a record that ends in a comma gets its empty last field.
  bool Plain(std::string& Field) {
    const std::size_t start = FPos;
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c == ',' || c == '\n' || c == '\r') break;
      if (c == '"') RaiseExchangeError(LineWhere(FLine), kStrayQuote);
      ++FPos;
    }
    Field.assign(FText.substr(start, FPos - start));
    return Separator();
  }

  bool Quoted(std::string& Field) {
    const std::int64_t startLine = FLine;
    ++FPos;
    for (;;) {
      const std::size_t quote = FText.find('"', FPos);
      if (quote == std::string_view::npos) RaiseExchangeError(LineWhere(startLine), kUnclosedQuote);
      CountLines(FText.substr(FPos, quote - FPos));
      Field.append(FText.substr(FPos, quote - FPos));
      FPos = quote + 1;
      if (FPos < FText.size() && FText[FPos] == '"') {
        Field.push_back('"');
        ++FPos;
        continue;
      }
      break;
    }
    if (FPos < FText.size() && FText[FPos] != ',' && FText[FPos] != '\n' && FText[FPos] != '\r') {
      RaiseExchangeError(LineWhere(FLine), kTextAfterQuote);
    }
    return Separator();
  }

  bool Separator() {
    if (FPos >= FText.size()) return false;
    if (FText[FPos] == ',') {
      ++FPos;
      if (FPos < FText.size()) return true;
      FFields.emplace_back();
      return false;
    }
    SkipLineEnd();
    return false;
  }

  void SkipLineEnd() {
    if (FText[FPos] == '\r' && FPos + 1 < FText.size() && FText[FPos + 1] == '\n') ++FPos;
    ++FPos;
    ++FLine;
  }

  // A line break inside a quoted field: CRLF, LF and a lone CR count once each.
  void CountLines(std::string_view Part) {
    for (std::size_t i = 0; i < Part.size(); ++i) {
      if (Part[i] == '\n' || (Part[i] == '\r' && (i + 1 == Part.size() || Part[i + 1] != '\n'))) ++FLine;
    }
  }

  void Wipe() {
    for (std::string& field : FFields) WipeRawBytes(field);
    FFields.clear();
  }

  std::string_view FText;
  std::size_t FPos = 0;
  std::int64_t FLine = 1;
  std::int64_t FRecordLine = 1;
  std::vector<std::string> FFields;
};

bool SameName(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(A[i]) != lower(B[i])) return false;
  }
  return true;
}

// The header matches a layout when it names the layout's columns in order,
// in any letter case, all of them or the layout's leading minimum.
bool HeaderMatches(const std::vector<std::string>& Header, const TCsvLayout& Layout) noexcept {
  if (Header.size() < Layout.MinColumns || Header.size() > Layout.Columns.size()) return false;
  for (std::size_t i = 0; i < Header.size(); ++i) {
    if (!SameName(Header[i], Layout.Columns[i].Name)) return false;
  }
  return true;
}

bool ParseSeconds(std::string_view Text, std::int64_t& Value) noexcept {
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return error == std::errc() && end == Text.data() + Text.size();
}

void ReadField(TExchangeRecord& Rec, const TColumnSpec& Column, const std::string& Text, std::int64_t Line) {
  auto time = [&](std::int64_t& Value, bool& Has, bool Iso) {
    if (Text.empty()) return;
    if (Iso ? !ParseExchangeTime(Text, Value) : !ParseSeconds(Text, Value)) {
      RaiseExchangeError(LineWhere(Line), Iso ? kNotDate : kNotWholeNumber);
    }
    Has = true;
  };
  switch (Column.Kind) {
    case ckGroup:
      Rec.Group = UTF8ToStr(Text);
      break;
    case ckTitle:
      Rec.Title = UTF8ToStr(Text);
      break;
    case ckUsername:
      Rec.Username = UTF8ToStr(Text);
      break;
    case ckPassword:
      Rec.Password = UTF8ToStr(Text);
      break;
    case ckURL:
      Rec.URL = UTF8ToStr(Text);
      break;
    case ckNote:
      Rec.Note = UTF8ToStr(Text);
      break;
    case ckCreatedSeconds:
      time(Rec.Created, Rec.HasCreated, false);
      break;
    case ckModifiedSeconds:
      time(Rec.Modified, Rec.HasModified, false);
      break;
    case ckAccessedSeconds:
      time(Rec.Accessed, Rec.HasAccessed, false);
      break;
    case ckCreatedIso:
      time(Rec.Created, Rec.HasCreated, true);
      break;
    case ckModifiedIso:
      time(Rec.Modified, Rec.HasModified, true);
      break;
    case ckExtra:
    case ckConstant:
      break;
  }
}

// KeePassXC's export holds the entries of its recycle bin too, under the path
// "<root>/Recycle Bin" (the bin is a group directly beneath the root).
bool InRecycleBin(const String& Path) {
  constexpr std::u16string_view bin = u"Recycle Bin";
  const std::size_t first = Path.find(u'/');
  if (first == String::npos) return false;
  const std::u16string_view rest = std::u16string_view(Path).substr(first + 1);
  return rest == bin || (rest.starts_with(bin) && rest.size() > bin.size() && rest[bin.size()] == u'/');
}

// Extras go to the note after every column was read, so that they follow the
// note whatever the column order.
void ReadExtras(TExchangeRecord& Rec, const TCsvLayout& Layout, const std::vector<std::string>& Fields) {
  for (std::size_t i = 0; i < Fields.size(); ++i) {
    if (Layout.Columns[i].Kind != ckExtra || Fields[i].empty()) continue;
    const std::string_view label = Layout.Columns[i].Text;
    AppendExtra(Rec, String(label.begin(), label.end()), UTF8ToStr(Fields[i]));
  }
}

// Quotes a field when it holds a comma, a quote or a line break, when it is
// neutralised (a spreadsheet formula gets a leading apostrophe), or always
// when QuoteAll (a reader that takes an unquoted "#..." for a comment).
template <class TText>
void AppendField(std::string& Out, TText Text, bool Neutralise, bool QuoteAll = false) {
  const bool formula =
      Neutralise && !Text.empty() &&
      (Text[0] == '=' || Text[0] == '+' || Text[0] == '-' || Text[0] == '@' || Text[0] == '\t' || Text[0] == '\r');
  bool quote = formula || QuoteAll;
  for (const auto c : Text) quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
  if (quote) Out.push_back('"');
  if (formula) Out.push_back('\'');
  auto append = [&](TText Run) {
    if constexpr (std::is_same_v<TText, std::u16string_view>) {
      AppendUTF8(Out, Run);
    } else {
      Out.append(Run);
    }
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] != '"') continue;
    // The run up to and including the quote, then the quote once more.
    append(Text.substr(start, i + 1 - start));
    Out.push_back('"');
    start = i + 1;
  }
  append(Text.substr(start));
  if (quote) Out.push_back('"');
}

const String* TextOf(const TExchangeRecord& Rec, TColumn Kind) noexcept {
  switch (Kind) {
    case ckGroup:
      return &Rec.Group;
    case ckTitle:
      return &Rec.Title;
    case ckUsername:
      return &Rec.Username;
    case ckPassword:
      return &Rec.Password;
    case ckURL:
      return &Rec.URL;
    case ckNote:
      return &Rec.Note;
    default:
      return nullptr;
  }
}

// A column that is not a text: a time stamp or a constant (ASCII).
std::string OtherField(const TExchangeRecord& Rec, const TColumnSpec& Column) {
  switch (Column.Kind) {
    case ckCreatedSeconds:
      return std::to_string(Rec.Created);
    case ckModifiedSeconds:
      return std::to_string(Rec.Modified);
    case ckAccessedSeconds:
      return std::to_string(Rec.Accessed);
    case ckCreatedIso:
      return FormatIsoTime(Rec.Created, izUtc);
    case ckModifiedIso:
      return Rec.Modified == 0 ? std::string() : FormatIsoTime(Rec.Modified, izUtc);
    case ckConstant:
      return std::string(Column.Text);
    default:
      return {};
  }
}

} // namespace

TKLExchangeFormat ReadCsv(std::string_view Text, TKLExchangeFormat Layout, TExchangeRecords& Out,
                          const std::function<void(std::size_t Done)>& Progress) {
  TCsvReader reader(Text);
  if (!reader.Next()) RaiseExchangeError(LineWhere(1), kUnknownHeader);
  const std::vector<std::string> header = reader.Fields();
  const TCsvLayout* layout = nullptr;
  for (const TCsvLayout& candidate : kLayouts) {
    if ((Layout == exAuto || Layout == candidate.Format) && HeaderMatches(header, candidate)) layout = &candidate;
  }
  if (layout == nullptr) RaiseExchangeError(LineWhere(reader.Line()), kUnknownHeader);
  while (reader.Next()) {
    const std::vector<std::string>& fields = reader.Fields();
    if (fields.size() != header.size()) {
      RaiseExchangeError(LineWhere(reader.Line()), std::to_string(fields.size()) + " fields where the header has " +
                                                       std::to_string(header.size()));
    }
    TExchangeRecord& rec = Out.emplace_back();
    if (Progress && Out.size() % 1024 == 0) Progress(reader.Position());
    rec.Where = LineWhere(reader.Line());
    for (std::size_t i = 0; i < fields.size(); ++i) ReadField(rec, layout->Columns[i], fields[i], reader.Line());
    ReadExtras(rec, *layout, fields);
    if (layout->Format == exKeePassXCCsv) rec.Recycled = InRecycleBin(rec.Group);
  }
  return layout->Format;
}

void WriteCsv(const TExchangeRecords& Records, TKLExchangeFormat Layout, bool SpreadsheetSafe, TExchangeOutput& Out) {
  const TCsvLayout* layout = LayoutOf(Layout);
  if (layout == nullptr) return;
  // KeePassXC writes every field quoted and lines ended by LF, and its reader
  // takes an unquoted field beginning with "#" for a comment: written its way.
  const bool keePassXC = Layout == exKeePassXCCsv;
  const std::string_view lineEnd = keePassXC ? "\n" : "\r\n";
  std::string& header = Out.Begin({});
  for (std::size_t i = 0; i < layout->Columns.size(); ++i) {
    if (i > 0) header.push_back(',');
    AppendField(header, layout->Columns[i].Name, false, keePassXC);
  }
  header.append(lineEnd);
  for (const TExchangeRecord& rec : Records) {
    std::string& text = Out.Begin({&rec.Group, &rec.Title, &rec.Username, &rec.Password, &rec.URL, &rec.Note});
    for (std::size_t i = 0; i < layout->Columns.size(); ++i) {
      if (i > 0) text.push_back(',');
      const TColumnSpec& column = layout->Columns[i];
      if (const String* value = TextOf(rec, column.Kind)) {
        AppendField(text, std::u16string_view(*value), SpreadsheetSafe, keePassXC);
      } else {
        AppendField(text, std::string_view(OtherField(rec, column)), false, keePassXC);
      }
    }
    text.append(lineEnd);
    Out.End();
  }
}

} // namespace kl::detail
