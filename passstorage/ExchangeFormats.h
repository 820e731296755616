#pragma once

// The readers and writers of the import and export layouts (internal). They
// work on whole texts in memory; the public unit KLPassExchange reads and
// writes the streams, checks the records against what a vault can hold and
// moves them in and out of the store.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/SecureMemory.h"
#include "foundation/Types.h"
#include "passstorage/KLPassExchange.h"

namespace kl::detail {

// One record on its way in or out, its group in the file's form ("/" between
// levels). A time stamp the layout did not carry is absent.
struct TExchangeRecord {
  String Group, Title, Username, Password, URL, Note;
  std::int64_t Created = 0, Modified = 0, Accessed = 0;
  bool HasCreated = false, HasModified = false, HasAccessed = false;
  // Data of the file that the vault has no field for was appended to Note.
  bool ExtrasInNote = false;
  // The record was in the recycle bin of the manager that wrote the file.
  bool Recycled = false;
  // Where the record stands in the file, for messages: "line 7", "$.items[3]".
  std::string Where;

  TExchangeRecord() = default;
  TExchangeRecord(TExchangeRecord&&) = default;
  TExchangeRecord& operator=(TExchangeRecord&&) = default;
  ~TExchangeRecord() { WipeString(Password); }
};
using TExchangeRecords = std::vector<TExchangeRecord>;

// Raises EKLPassExchangeError "Where: What".
[[noreturn]] void RaiseExchangeError(const std::string& Where, std::string_view What);

// Appends "Label: Value" as a line of its own to the note (nothing for an
// empty value), and marks the record.
void AppendExtra(TExchangeRecord& Rec, std::u16string_view Label, const String& Value);

// The vault's time stamps are this machine's wall-clock readings; files of
// other managers carry instants in UTC. These convert between the two with
// the local zone's offset at that instant (unchanged where it is unknown).
std::int64_t UtcToWallClock(std::int64_t UtcSeconds) noexcept;
std::int64_t WallClockToUtc(std::int64_t WallSeconds) noexcept;

// How a time stamp is written: the wall-clock reading without a zone, or the
// instant in UTC with "Z" (".000Z" with milliseconds).
enum TIsoZone { izWallClock, izUtc, izUtcMillis };
// Date and time as "YYYY-MM-DDTHH:MM:SS" with the zone's suffix; empty outside
// the years 1 to 9999 (of the reading written).
std::string FormatIsoTime(std::int64_t Seconds, TIsoZone Zone);
// Reads that form, with "T" or a space, optional fraction and zone. A reading
// with "Z" or an offset is an instant, converted to the local wall clock;
// one without a zone is kept as it is (older exports of ours wrote those).
bool ParseExchangeTime(std::string_view Text, std::int64_t& Seconds);

// The text of an export on its way out. Each record is written into a buffer
// given room for it beforehand, so that no reallocation leaves a copy of a
// password behind, and handed on once about 64 KiB have gathered; the buffer
// is wiped after each piece and at the end.
class TExchangeOutput {
public:
  using TSink = std::function<void(std::string_view)>;
  explicit TExchangeOutput(TSink Sink) : FSink(std::move(Sink)) {}
  ~TExchangeOutput() { WipeRawBytes(FText); }
  TExchangeOutput(const TExchangeOutput&) = delete;
  TExchangeOutput& operator=(const TExchangeOutput&) = delete;

  // The buffer, with room for the texts written in any escaped form (at most
  // six bytes a code unit) and Extra bytes more.
  std::string& Begin(std::initializer_list<const String*> Texts, std::size_t Extra = 1024);
  // Hands the text on once enough has gathered, or at the end when Final.
  void End(bool Final = false);

private:
  std::string FText;
  TSink FSink;
};

// CSV (UTF-8 text without its byte-order mark). Layout exAuto picks the layout
// from the header line; the layout read is returned.
// Progress, when set, is told the bytes read so far every 1,024 records.
TKLExchangeFormat ReadCsv(std::string_view Text, TKLExchangeFormat Layout, TExchangeRecords& Out,
                          const std::function<void(std::size_t Done)>& Progress = {});
void WriteCsv(const TExchangeRecords& Records, TKLExchangeFormat Layout, bool SpreadsheetSafe, TExchangeOutput& Out);

// JSON: the library's own schema or the unencrypted Bitwarden export; exAuto
// tells them apart by their members. Skipped counts items of a kind the vault
// does not keep.
TKLExchangeFormat ReadJson(std::string_view Text, TKLExchangeFormat Wanted, TExchangeRecords& Out,
                           std::int32_t& Skipped);
void WriteJson(const TExchangeRecords& Records, TKLExchangeFormat Layout, TExchangeOutput& Out);

} // namespace kl::detail
