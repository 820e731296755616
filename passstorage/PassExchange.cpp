#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "foundation/AtomicFile.h"
#include "foundation/Clock.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/LocalClock.h"
#include "passstorage/ExchangeFormats.h"
#include "passstorage/KLPassExchange.h"

namespace kl {

EKLPassExchangeError::~EKLPassExchangeError() = default;

namespace detail {

// Reads and restores what the record keeps to itself, as the store's own
// save and load do.
struct TPassExchangeAccess {
  // The texts in the file's form, read in place: an export stamps no access time.
  static void Read(const TKLPassRecord& Rec, TExchangeRecord& To) {
    To.Group = Rec.ReadField(&TKLPassRecord::FGroup);
    To.Title = Rec.ReadField(&TKLPassRecord::FTitle);
    To.Username = Rec.ReadField(&TKLPassRecord::FUsername);
    To.Password = Rec.ReadField(&TKLPassRecord::FPassword);
    To.URL = Rec.ReadField(&TKLPassRecord::FURL);
    To.Note = Rec.ReadField(&TKLPassRecord::FNote);
  }

  static void SetDates(TKLPassRecord& Rec, const TExchangeRecord& From) noexcept {
    if (From.HasCreated) Rec.FCreationDate = From.Created;
    if (From.HasModified) Rec.FModificationDate = From.Modified;
    if (From.HasAccessed) Rec.FLastAccessDate = From.Accessed;
  }

  static void Dates(const TKLPassRecord& Rec, TExchangeRecord& To) noexcept {
    To.Created = Rec.FCreationDate;
    To.Modified = Rec.FModificationDate;
    To.Accessed = Rec.FLastAccessDate;
  }

  // Appends every record or, if the list cannot grow, none.
  static void AppendAll(TKLPassStorage& Store, std::vector<std::unique_ptr<TKLPassRecord>>& Recs) {
    Store.TakeAll(Recs);
  }
};

void RaiseExchangeError(const std::string& Where, std::string_view What) {
  std::string message = Where;
  message += ": ";
  message += What;
  throw EKLPassExchangeError(message);
}

void AppendExtra(TExchangeRecord& Rec, std::u16string_view Label, const String& Value) {
  if (Value.empty()) return;
  if (!Rec.Note.empty()) Rec.Note += u'\n';
  Rec.Note += Label;
  Rec.Note += u": ";
  Rec.Note += Value;
  Rec.ExtrasInNote = true;
}

std::string& TExchangeOutput::Begin(std::initializer_list<const String*> Texts, std::size_t Extra) {
  constexpr std::size_t bytesPerUnit = 6; // a control character as a JSON \u escape
  std::size_t need = FText.size() + Extra;
  for (const String* text : Texts) need += bytesPerUnit * text->size();
  if (FText.capacity() < need) {
    std::string larger;
    larger.reserve(std::max(need, 2 * FText.capacity()));
    larger.assign(FText);
    WipeRawBytes(FText);
    FText.swap(larger);
  }
  return FText;
}

void TExchangeOutput::End(bool Final) {
  constexpr std::size_t pieceSize = 1 << 16;
  if (FText.empty() || (!Final && FText.size() < pieceSize)) return;
  FSink(FText);
  SecureZero(FText.data(), FText.size());
  FText.clear();
}

namespace {

// 0001-01-01T00:00:00 and 9999-12-31T23:59:59 in seconds since 1970.
constexpr std::int64_t kFirstIsoSecond = -62135596800;
constexpr std::int64_t kLastIsoSecond = 253402300799;

bool Digits(std::string_view Text, std::size_t At, std::size_t Count, int& Value) noexcept {
  if (At + Count > Text.size()) return false;
  Value = 0;
  for (std::size_t i = At; i < At + Count; ++i) {
    if (Text[i] < '0' || Text[i] > '9') return false;
    Value = Value * 10 + (Text[i] - '0');
  }
  return true;
}

} // namespace

std::int64_t UtcToWallClock(std::int64_t UtcSeconds) noexcept {
  std::int64_t offset = 0;
  return LocalZoneOffset(UtcSeconds, offset) ? UtcSeconds + offset : UtcSeconds;
}

std::int64_t WallClockToUtc(std::int64_t WallSeconds) noexcept {
  // The offset is known for an instant, not for a clock reading: guess the
  // instant with the offset at the reading, then take the offset there, which
  // is right on both sides of a daylight-saving change.
  std::int64_t offset = 0;
  if (!LocalZoneOffset(WallSeconds, offset)) return WallSeconds;
  std::int64_t atInstant = offset;
  if (!LocalZoneOffset(WallSeconds - offset, atInstant)) return WallSeconds - offset;
  return WallSeconds - atInstant;
}

std::string FormatIsoTime(std::int64_t Seconds, TIsoZone Zone) {
  if (Zone != izWallClock) Seconds = WallClockToUtc(Seconds);
  if (Seconds < kFirstIsoSecond || Seconds > kLastIsoSecond) return {};
  using namespace std::chrono;
  const sys_seconds time{seconds{Seconds}};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  const char* suffix = Zone == izUtc ? "Z" : Zone == izUtcMillis ? ".000Z" : "";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d%s", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), suffix);
  return text;
}

bool ParseExchangeTime(std::string_view Text, std::int64_t& Seconds) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(Text, 0, 4, year) || Text.size() < 19 || Text[4] != '-' || !Digits(Text, 5, 2, month) || Text[7] != '-' ||
      !Digits(Text, 8, 2, day) || (Text[10] != 'T' && Text[10] != ' ') || !Digits(Text, 11, 2, hour) ||
      Text[13] != ':' || !Digits(Text, 14, 2, minute) || Text[16] != ':' || !Digits(Text, 17, 2, second)) {
    return false;
  }
  std::size_t at = 19;
  if (at < Text.size() && Text[at] == '.') {
    ++at;
    const std::size_t first = at;
    while (at < Text.size() && Text[at] >= '0' && Text[at] <= '9') ++at;
    if (at == first) return false;
  }
  int zoneHour = 0, zoneMinute = 0;
  const std::string_view zone = Text.substr(at);
  const bool hasOffset = !zone.empty() && (zone[0] == '+' || zone[0] == '-');
  const bool zoneOk = zone.empty() || zone == "Z" ||
                      (hasOffset && zone.size() == 6 && Digits(zone, 1, 2, zoneHour) && zone[3] == ':' &&
                       Digits(zone, 4, 2, zoneMinute));
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (!zoneOk || !date.ok() || hour > 23 || minute > 59 || second > 59 || zoneHour > 23 || zoneMinute > 59) {
    return false;
  }
  Seconds = sys_days{date}.time_since_epoch().count() * std::int64_t{86400} + hour * 3600 + minute * 60 + second;
  if (zone.empty()) return true; // a clock reading without a zone is taken as the vault's own
  // A zone names an instant: the vault keeps it as this machine's clock showed it.
  const std::int64_t offset = (zoneHour * 3600 + zoneMinute * 60) * (zone[0] == '-' ? -1 : 1);
  Seconds = UtcToWallClock(Seconds - offset);
  return true;
}

} // namespace detail

namespace {

using detail::TExchangeRecord;
using detail::TExchangeRecords;

constexpr std::string_view kUnpairedSurrogate = "a text holds an unpaired surrogate";
// The longest text a vault file can hold, in bytes of UTF-8.
constexpr std::size_t kMaxVaultText = 65535;
constexpr std::int32_t kWriteChunk = 1 << 20;

struct TFormatName {
  TKLExchangeFormat Format;
  const char* Name;
};
constexpr std::array<TFormatName, 7> kFormatNames = {{{exAuto, "auto"},
                                                      {exCsv, "csv"},
                                                      {exKeePassXCCsv, "keepassxc-csv"},
                                                      {exBitwardenCsv, "bitwarden-csv"},
                                                      {exBrowserCsv, "browser-csv"},
                                                      {exJson, "json"},
                                                      {exBitwardenJson, "bitwarden-json"}}};

bool IsJson(TKLExchangeFormat Format) noexcept { return Format == exJson || Format == exBitwardenJson; }

// A byte string holding passwords, wiped when it goes.
struct TWipedText {
  std::string Text;
  TWipedText() = default;
  TWipedText(const TWipedText&) = delete;
  TWipedText& operator=(const TWipedText&) = delete;
  ~TWipedText() { WipeRawBytes(Text); }
};

// The rest of the stream, refused beyond the size limit before it is all
// read. The buffer is sized from the stream where it can tell, and otherwise
// grown by hand, wiping each buffer it leaves, since the text holds passwords.
void ReadAll(TStream& Strm, std::string& Out) {
  constexpr std::size_t chunk = 1 << 16;
  const auto limit = static_cast<std::size_t>(MaxExchangeFileSize);
  std::size_t expected = chunk;
  try {
    const std::int64_t left = Strm.GetSize() - Strm.GetPosition();
    if (left > MaxExchangeFileSize) throw EKLPassExchangeError(SExchangeTooLarge);
    if (left >= 0) expected = static_cast<std::size_t>(left) + 1; // one more byte finds the end at once
  } catch (const EStreamError&) {
    // A stream that cannot seek: read until it ends.
  }
  std::size_t size = 0;
  for (;;) {
    if (Out.size() - size < 1) {
      std::string larger(std::max({expected, 2 * Out.size(), size + chunk}), '\0');
      std::copy_n(Out.data(), size, larger.data());
      WipeRawBytes(Out);
      Out.swap(larger);
    }
    const std::size_t room = std::min(Out.size() - size, std::size_t{1} << 30);
    const std::int32_t got = Strm.Read(Out.data() + size, static_cast<std::int32_t>(room));
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
    if (size > limit) throw EKLPassExchangeError(SExchangeTooLarge);
  }
  Out.resize(size);
}

// The offset of the first byte that does not begin a well-formed UTF-8
// sequence (overlong forms, surrogates and values beyond U+10FFFF included),
// or npos.
std::size_t BadUTF8At(std::string_view Text) noexcept {
  std::size_t i = 0;
  while (i < Text.size()) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t cp;
    std::uint32_t least;
    if ((c >> 5) == 0x6) {
      length = 2, cp = c & 0x1Fu, least = 0x80;
    } else if ((c >> 4) == 0xE) {
      length = 3, cp = c & 0x0Fu, least = 0x800;
    } else if ((c >> 3) == 0x1E) {
      length = 4, cp = c & 0x07u, least = 0x10000;
    } else {
      return i;
    }
    if (Text.size() - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto cc = static_cast<unsigned char>(Text[i + k]);
      if ((cc & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += length;
  }
  return std::string_view::npos;
}

std::size_t UTF8Length(const String& Text) noexcept {
  std::size_t length = 0;
  for (const Char c : Text) length += c < 0x80 ? 1 : c < 0x800 ? 2 : (c >= 0xD800 && c <= 0xDFFF) ? 2 : 3;
  return length;
}

// Every text of a record as a vault could save it: valid UTF-16, within the
// length a vault file holds. A note is saved in pieces when it is longer
// (other managers keep long notes), so only the import's size bounds it.
void CheckTexts(const TExchangeRecord& Rec) {
  for (const String* text : {&Rec.Group, &Rec.Title, &Rec.Username, &Rec.Password, &Rec.URL, &Rec.Note}) {
    if (!IsValidUTF16(*text)) detail::RaiseExchangeError(Rec.Where, kUnpairedSurrogate);
    if (text != &Rec.Note && UTF8Length(*text) > kMaxVaultText) {
      detail::RaiseExchangeError(Rec.Where, SExchangeFieldTooLong);
    }
  }
}

// A vault saves each record's values under "<group>/<position>/<leaf>", and a
// key too holds at most kMaxVaultText bytes: the group must leave room for the
// position of the last record the vault will hold (a load may regroup the
// records, so any of them may come last) and the longest leaf ("/title", or
// "/note.N", longer by N's digits, for the last piece N of a note saved in
// pieces of 21,845 code units).
constexpr std::size_t kLongestLeaf = 6;
constexpr std::size_t kNotePieceUnits = kMaxVaultText / 3;

std::size_t DecimalDigits(std::size_t Value) noexcept {
  std::size_t digits = 1;
  for (; Value >= 10; Value /= 10) ++digits;
  return digits;
}

void CheckGroupKeys(const TExchangeRecords& Records, std::size_t LastPosition) {
  const std::size_t rest = 1 + DecimalDigits(LastPosition) + kLongestLeaf;
  for (const TExchangeRecord& rec : Records) {
    std::size_t leafExtra = 0;
    if (UTF8Length(rec.Note) > kMaxVaultText) {
      leafExtra = DecimalDigits((rec.Note.size() + kNotePieceUnits - 1) / kNotePieceUnits);
    }
    // The key's group joins the path's names with U+2215, two bytes more
    // than each "/".
    const auto separators = static_cast<std::size_t>(std::count(rec.Group.begin(), rec.Group.end(), u'/'));
    if (UTF8Length(rec.Group) + 2 * separators + rest + leafExtra > kMaxVaultText)
      detail::RaiseExchangeError(rec.Where, SExchangeGroupTooLong);
  }
}

String Replaced(String Text, Char From, Char To) {
  for (Char& c : Text) {
    if (c == From) c = To;
  }
  return Text;
}

TKLExchangeFormat Parse(std::string_view Text, TKLExchangeFormat Format, TExchangeRecords& Records,
                        std::int32_t& Skipped, const std::function<void(std::size_t)>& Progress) {
  if (const std::size_t bad = BadUTF8At(Text); bad != std::string_view::npos) {
    const auto line = 1 + std::count(Text.begin(), Text.begin() + static_cast<std::ptrdiff_t>(bad), '\n');
    detail::RaiseExchangeError("line " + std::to_string(line), SExchangeNotUTF8);
  }
  if (Format == exAuto) {
    const std::size_t first = Text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) throw EKLPassExchangeError(SExchangeUnknownFormat);
    if (Text[first] == '{' || Text[first] == '[') Format = exJson;
    if (IsJson(Format)) return detail::ReadJson(Text, exAuto, Records, Skipped);
    return detail::ReadCsv(Text, exAuto, Records, Progress);
  }
  if (IsJson(Format)) return detail::ReadJson(Text, Format, Records, Skipped);
  return detail::ReadCsv(Text, Format, Records, Progress);
}

// Gives each record its vault group and counts what the report tells.
void PlaceInGroups(TExchangeRecords& Records, const String& Group, TKLImportReport& Report) {
  std::unordered_map<String, std::size_t> counted;
  std::unordered_map<String, bool> renamed;
  for (TExchangeRecord& rec : Records) {
    String group = Group;
    if (group.empty()) {
      group = rec.Group.empty() ? String(DefaultPassGroup) : rec.Group;
      // A path with an empty name ("A//B", "/A") names no group of the tree:
      // its "/" become U+2215, as an earlier release wrote every one.
      if (!IsValidGroupPath(group)) group = Replaced(std::move(group), u'/', ExchangeGroupSeparator);
      if (group != rec.Group && !rec.Group.empty() && renamed.try_emplace(rec.Group, true).second) {
        Report.RenamedGroups.emplace_back(rec.Group, group);
      }
    }
    rec.Group = std::move(group);
    const auto [it, added] = counted.try_emplace(rec.Group, Report.Groups.size());
    if (added) Report.Groups.emplace_back(rec.Group, 0);
    ++Report.Groups[it->second].second;
    if (rec.ExtrasInNote) ++Report.ExtrasInNote;
  }
}

} // namespace

TKLExportReport ExportPassRecords(TKLPassStorage& Store, TStream& Strm, const TKLExportOptions& Options) {
  TKLExportReport report;
  TExchangeRecords records;
  records.reserve(static_cast<std::size_t>(Store.GetCount()));
  using Access = detail::TPassExchangeAccess;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    TKLPassRecord& rec = *Store.GetRecord(i);
    TExchangeRecord& out = records.emplace_back();
    Access::Read(rec, out);
    Access::Dates(rec, out);
    for (const String* text : {&out.Group, &out.Title, &out.Username, &out.Password, &out.URL, &out.Note}) {
      if (!IsValidUTF16(*text)) throw EKLPassExchangeError(SExchangeUnpairedSurrogate);
    }
    // No layout has a place for these yet: counted, so the caller can say so.
    report.DroppedUuids += 1;
    report.DroppedFields += rec.GetCustomFieldCount();
    report.DroppedTags += static_cast<std::int32_t>(rec.GetTags().size());
    report.DroppedExpiries += rec.GetExpires() ? 1 : 0;
    report.DroppedAttachments += rec.GetAttachmentCount();
  }
  report.Exported = static_cast<std::int32_t>(records.size());
  report.DroppedKdbx = Store.GetKdbxCarried();
  detail::TExchangeOutput out([&](std::string_view Piece) {
    for (std::size_t at = 0; at < Piece.size(); at += kWriteChunk) {
      const std::size_t count = std::min<std::size_t>(kWriteChunk, Piece.size() - at);
      Strm.WriteBuffer(Piece.data() + at, static_cast<std::int32_t>(count));
    }
  });
  if (IsJson(Options.Format) || Options.Format == exAuto) {
    detail::WriteJson(records, Options.Format, out);
  } else {
    detail::WriteCsv(records, Options.Format, Options.SpreadsheetSafe, out);
  }
  out.End(true);
  return report;
}

TKLExportReport ExportPassRecordsToFile(TKLPassStorage& Store, const String& FileName,
                                        const TKLExportOptions& Options) {
  TKLExportReport report;
  SaveFileAtomically(
      FileName, [&](TStream& Strm) { report = ExportPassRecords(Store, Strm, Options); }, faOwnerOnly);
  return report;
}

TKLImportReport ImportPassRecords(TKLPassStorage& Store, TStream& Strm, const TKLImportOptions& Options) {
  if (!IsValidUTF16(Options.Group) || !IsValidGroupPath(Options.Group)) throw EKLPassExchangeError(SExchangeWrongGroup);
  TKLImportReport report;
  TExchangeRecords records;
  {
    TWipedText text;
    ReadAll(Strm, text.Text);
    std::string_view view = text.Text;
    if (view.starts_with("\xEF\xBB\xBF")) view.remove_prefix(3);
    const auto total = static_cast<std::int64_t>(view.size());
    std::function<void(std::size_t)> progress;
    if (Options.Progress) {
      progress = [&](std::size_t Done) { Options.Progress(static_cast<std::int64_t>(Done), total); };
    }
    report.Format = Parse(view, Options.Format, records, report.Skipped, progress);
    if (Options.Progress) Options.Progress(total, total);
  }
  if (!Options.KeepRecycled) {
    for (TExchangeRecord& rec : records) {
      if (rec.Recycled) WipeString(rec.Password);
    }
    const auto recycled = std::remove_if(records.begin(), records.end(), [](const auto& Rec) { return Rec.Recycled; });
    report.Recycled = static_cast<std::int32_t>(records.end() - recycled);
    records.erase(recycled, records.end());
  }
  for (const TExchangeRecord& rec : records) CheckTexts(rec);
  if (records.size() > static_cast<std::size_t>(INT32_MAX - Store.GetCount())) {
    throw EKLPassExchangeError(SExchangeTooLarge);
  }
  PlaceInGroups(records, Options.Group, report);
  if (!records.empty()) CheckGroupKeys(records, static_cast<std::size_t>(Store.GetCount()) + records.size() - 1);
  std::vector<std::unique_ptr<TKLPassRecord>> made;
  made.reserve(records.size());
  for (const TExchangeRecord& rec : records) {
    auto& made1 = made.emplace_back(
        std::make_unique<TKLPassRecord>(rec.Title, rec.Username, rec.Password, rec.URL, rec.Note, rec.Group));
    detail::TPassExchangeAccess::SetDates(*made1, rec);
  }
  detail::TPassExchangeAccess::AppendAll(Store, made);
  report.Added = static_cast<std::int32_t>(records.size());
  return report;
}

TKLImportReport ImportPassRecordsFromFile(TKLPassStorage& Store, const String& FileName,
                                          const TKLImportOptions& Options) {
  TFileStream file(FileName, fmOpenRead);
  return ImportPassRecords(Store, file, Options);
}

const char* ExchangeFormatName(TKLExchangeFormat Format) noexcept {
  for (const TFormatName& entry : kFormatNames) {
    if (entry.Format == Format) return entry.Name;
  }
  return "unknown";
}

bool ExchangeFormatFromName(const std::string& Name, TKLExchangeFormat& Format) noexcept {
  for (const TFormatName& entry : kFormatNames) {
    if (Name == entry.Name) {
      Format = entry.Format;
      return true;
    }
  }
  return false;
}

} // namespace kl
