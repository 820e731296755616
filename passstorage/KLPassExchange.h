#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

// Raised for a file that cannot be imported (with the line or the JSON path of
// the fault in the message) and for records that cannot be exported.
KL_DECLARE_EXCEPTION(EKLPassExchangeError, EKLPassStorageException);

inline constexpr const char* SExchangeUnknownFormat = "The file is neither JSON nor CSV of a known layout";
inline constexpr const char* SExchangeTooLarge = "The file is larger than an import accepts";
inline constexpr const char* SExchangeNotUTF8 = "invalid UTF-8";
inline constexpr const char* SExchangeUnpairedSurrogate =
    "A record holds a text with an unpaired surrogate, which an export (UTF-8) cannot carry";
inline constexpr const char* SExchangeFieldTooLong = "a text is longer than a vault can save (65,535 bytes of UTF-8)";
inline constexpr const char* SExchangeGroupTooLong =
    "a group is too long for the keys a vault saves its records under (65,535 bytes of UTF-8 with the position)";
inline constexpr const char* SExchangeWrongGroup =
    "The import group must not hold an empty name (\"A//B\") or an unpaired surrogate";

// The file layouts that records move in and out through. The CSV layouts are
// told apart by their header line; exCsv is this library's own (every field,
// time stamps included), as is exJson. exAuto, for an import, recognises the
// layout from the content; an export writes exJson for it.
enum TKLExchangeFormat : std::int32_t {
  exAuto,
  exCsv,
  exKeePassXCCsv,
  exBitwardenCsv,
  exBrowserCsv,
  exJson,
  exBitwardenJson
};

// The longest file an import reads, in bytes; more is refused before parsing.
inline constexpr std::int64_t MaxExchangeFileSize = std::int64_t{256} << 20;
// The deepest nesting of JSON arrays and objects an import follows.
inline constexpr std::int32_t MaxExchangeJsonDepth = 32;

// An import keeps a group path "A/B" as nested groups. A path that names no
// group of the tree (an empty name: "A//B", "/A") has each "/" written as
// U+2215 (DIVISION SLASH) instead, as an earlier release wrote every one. An
// export writes each record's group path as it is.
inline constexpr Char ExchangeGroupSeparator = u'\u2215';

struct TKLExportOptions {
  TKLExchangeFormat Format = exJson;
  // CSV only: a text beginning with =, +, -, @, a tab or a carriage return
  // gets a leading apostrophe, so that a spreadsheet shows it rather than
  // running it as a formula. Such a file no longer round-trips exactly.
  bool SpreadsheetSafe = false;
};

struct TKLImportOptions {
  TKLExchangeFormat Format = exAuto;
  // When not empty, every imported record goes to this group instead of the
  // file's. Records without a group otherwise go to DefaultPassGroup.
  String Group;
  // Entries of the other manager's recycle bin (KeePassXC writes them with
  // the rest) are deleted ones: left out and counted unless this is set.
  bool KeepRecycled = false;
  // Told the bytes of the text read so far and its size: about every 1,024
  // records of a CSV file, and once the whole text is read (JSON is read in
  // one pass before its records are taken). Must not throw.
  std::function<void(std::int64_t Done, std::int64_t Total)> Progress = {};
};

// What an import did: the layout read, the records added per vault group (in
// order of first occurrence), every group path renamed for the vault (file
// path, vault group), and how many records had data the vault has no field
// for (TOTP secrets, custom fields, more addresses), which was appended to
// their note, and how many items of a kind the vault does not keep (cards,
// identities) were skipped, and how many deleted entries (in the recycle bin
// of the file's manager) were left out.
struct TKLImportReport {
  TKLExchangeFormat Format = exAuto;
  std::int32_t Added = 0;
  std::vector<std::pair<String, std::int32_t>> Groups;
  std::vector<std::pair<String, String>> RenamedGroups;
  std::int32_t ExtrasInNote = 0;
  std::int32_t Skipped = 0;
  std::int32_t Recycled = 0;
};

// What an export wrote, and what of the records its layout could not carry,
// so that nothing is lost silently: the CSV and JSON layouts carry the five
// texts, the group and (the library's own) the dates, but no UUID, custom
// field, tag, expiry or attachment. Each count is of items (a record's UUID
// and its expiry count one each; an expiry only where the record expires).
struct TKLExportReport {
  std::int32_t Exported = 0;
  std::int32_t DroppedUuids = 0;
  std::int32_t DroppedFields = 0;
  std::int32_t DroppedTags = 0;
  std::int32_t DroppedExpiries = 0;
  std::int32_t DroppedAttachments = 0;
  // What a store loaded from a KDBX file kept beyond its records (history,
  // icons, settings...), none of which an export layout carries.
  TKLKdbxCarried DroppedKdbx;

  // Whether anything but the UUIDs (which every record has) was dropped.
  bool DroppedData() const noexcept {
    return DroppedFields + DroppedTags + DroppedExpiries + DroppedAttachments + DroppedKdbx.Total() > 0;
  }
};

// Writes every record of Store, in store order, in the given layout. A CSV
// layout refuses a store holding text with an unpaired surrogate (nothing is
// written then); JSON keeps such text as escapes. Reading the texts stamps
// the records' access time, as a save does.
KL_API TKLExportReport ExportPassRecords(TKLPassStorage& Store, TStream& Strm, const TKLExportOptions& Options = {});
// The same into a file replaced whole or not at all, readable and writable by
// its owner only (the folder's inherited permissions on Windows).
KL_API TKLExportReport ExportPassRecordsToFile(TKLPassStorage& Store, const String& FileName,
                                               const TKLExportOptions& Options = {});

// Reads the rest of Strm, checks every record and appends them all after the
// store's records, or, on any fault, raises EKLPassExchangeError and adds
// none. Time stamps that the layout does not carry are those of a new record.
KL_API TKLImportReport ImportPassRecords(TKLPassStorage& Store, TStream& Strm, const TKLImportOptions& Options = {});
KL_API TKLImportReport ImportPassRecordsFromFile(TKLPassStorage& Store, const String& FileName,
                                                 const TKLImportOptions& Options = {});

// The layout's name as klpass and messages use it ("csv", "keepassxc-csv",
// "bitwarden-csv", "browser-csv", "json", "bitwarden-json"; "auto"), and back
// (false for an unknown name).
KL_API const char* ExchangeFormatName(TKLExchangeFormat Format) noexcept;
KL_API bool ExchangeFormatFromName(const std::string& Name, TKLExchangeFormat& Format) noexcept;

} // namespace kl
