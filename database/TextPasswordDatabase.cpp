#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "database/UserLookupIndex.h"
#include "foundation/Convert.h"
#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

constexpr Char FieldSeparator = u':';
// Written after the hash only while an account has failed attempts, and after
// the counter only for a limit other than the default, so that a file without
// either reads and writes as it always has.
constexpr std::u16string_view FailuresField = u":failures=";
constexpr std::u16string_view MaxFailuresField = u":max-failures=";
// After the counter, one for each pepper key whose check value is known:
// ":key-check=ID=HEX" (an ID holds neither ':' nor '=').
constexpr std::u16string_view KeyCheckField = u":key-check=";

[[noreturn]] void RaiseCorrupted() { throw EKLPasswordDatabaseError(SDatabaseCorrupted); }

// A name the line format could not carry: it would split into other fields or lines.
void CheckUsername(const String& Username) {
  if (Username.find_first_of(u":\r\n") != String::npos) throw EKLPasswordDatabaseError(SInvalidUserName);
}

String JoinLine(std::int32_t UID, const String& Username, const String& Salt, const String& Hash,
                std::int32_t Failures = 0) {
  String line = IntToStr(UID);
  line.reserve(line.size() + Username.size() + Salt.size() + Hash.size() + 3);
  line += FieldSeparator;
  line += Username;
  line += FieldSeparator;
  line += Salt;
  line += FieldSeparator;
  line += Hash;
  if (Failures > 0) {
    line += FailuresField;
    line += IntToStr(Failures);
  }
  return line;
}

// Takes a trailing "<Field><count>" off Text and returns the count, or 0 when
// Text has no such tail. A tail whose count is not a non-negative int32 is damage.
std::int32_t TakeCountField(String& Text, std::u16string_view Field) {
  const std::size_t at = Text.rfind(Field);
  if (at == String::npos) return 0;
  std::int32_t count = 0;
  const String digits = Text.substr(at + Field.size());
  if (digits.empty() || digits.find_first_not_of(u"0123456789") != String::npos || !TryStrToInt(digits, count)) {
    RaiseCorrupted();
  }
  Text.erase(at);
  return count;
}

// Lines hold user names and hashes: they are wiped, not just dropped.
void WipeLines(TRankedList<String>& Lines) noexcept {
  for (String& line : Lines) WipeString(line);
  Lines.Clear();
}

// Replaces the line at Position, wiping the old one; all or nothing.
void PutLine(TRankedList<String>& Lines, std::int32_t Position, const String& Line) {
  String& slot = Lines.Get(Position);
  String copy = Line;
  WipeString(slot);
  slot = std::move(copy);
}

} // namespace

TKLTextPasswordDatabase::TKLTextPasswordDatabase(TComponent* AOwner) : TKLPasswordDatabase(AOwner) {}

TKLTextPasswordDatabase::~TKLTextPasswordDatabase() {
  SaveOnDestroy(FSaveOnDestroy);
  WipeLines(FList);
}

void TKLTextPasswordDatabase::Split(const String& Line, std::int32_t& UID, String& Username, String& Salt,
                                    String& Hash) {
  const std::size_t first = Line.find(FieldSeparator);
  if (first == String::npos) RaiseCorrupted();
  std::int32_t uid = 0;
  if (!TryStrToInt(Line.substr(0, first), uid)) RaiseCorrupted();
  const std::size_t second = Line.find(FieldSeparator, first + 1);
  if (second == String::npos) RaiseCorrupted();
  const std::size_t third = Line.find(FieldSeparator, second + 1);
  if (third == String::npos) RaiseCorrupted();
  String hash = Line.substr(third + 1);
  TakeCountField(hash, FailuresField);
  UID = uid;
  Username.assign(Line, first + 1, second - first - 1);
  Salt.assign(Line, second + 1, third - second - 1);
  WipeString(Hash);
  Hash = std::move(hash);
}

TKLDatabaseRecord TKLTextPasswordDatabase::GetRecord(std::int32_t Index) const {
  TKLDatabaseRecord record;
  Split(FList.Get(Index), record.UID, record.Username, record.Salt, record.Hash);
  return record;
}

std::int32_t TKLTextPasswordDatabase::ReadFailureCount(std::int32_t Position) const {
  String line = FList.Get(Position);
  const detail::TWipeTextOnExit wipeLine(line);
  return TakeCountField(line, FailuresField);
}

// The line is written again whole, with the record as it stands and the new count.
void TKLTextPasswordDatabase::PutFailureCount(std::int32_t Position, std::int32_t Count) {
  TKLDatabaseRecord record = GetRecord(Position);
  const detail::TWipeTextOnExit wipeSalt(record.Salt);
  const detail::TWipeTextOnExit wipeHash(record.Hash);
  String line = JoinLine(record.UID, record.Username, record.Salt, record.Hash, Count);
  const detail::TWipeTextOnExit wipeLine(line);
  PutLine(FList, Position, line);
  FModified = true;
}

std::int32_t TKLTextPasswordDatabase::AddFailure(std::int32_t Position) {
  std::int32_t count = ReadFailureCount(Position);
  if (count < std::numeric_limits<std::int32_t>::max()) ++count;
  PutFailureCount(Position, count);
  return count;
}

void TKLTextPasswordDatabase::ClearFailures(std::int32_t Position) {
  if (ReadFailureCount(Position) != 0) PutFailureCount(Position, 0);
}

void TKLTextPasswordDatabase::ReturnAttempt(std::int32_t Position) {
  const std::int32_t count = ReadFailureCount(Position);
  if (count > 0) PutFailureCount(Position, count - 1);
}

String TKLTextPasswordDatabase::ReadKeyCheck(const String& ID) const {
  for (const auto& [id, check] : FKeyChecks) {
    if (id == ID) return check;
  }
  return {};
}

String TKLTextPasswordDatabase::RecordKeyCheck(const String& ID, const String& Check) {
  String stored = ReadKeyCheck(ID);
  if (!stored.empty()) return stored;
  FKeyChecks.emplace_back(ID, Check);
  FModified = true;
  return Check;
}

std::int32_t TKLTextPasswordDatabase::GetUserCount() const { return FList.GetCount(); }

void TKLTextPasswordDatabase::CreateNew(const String& URI) {
  WipeLines(FList);
  RecordsChanged();
  FIndex = 0;
  FMaxFailures = KLDefaultMaxFailures;
  FKeyChecks.clear();
  FURI = URI;
  FModified = true;
  RecordLoadedStamp(TFileStamp()); // a new file: one that appears meanwhile is someone else's
}

// A line that is not valid UTF-8 is refused rather than read with U+FFFD in
// it: the next save, of any change, would write the replacement back and lose
// the name for good.
void TKLTextPasswordDatabase::Open(const String& URI) {
  const TFileStamp stamp = TFileStamp::Of(URI);
  auto lines = std::make_unique<TStringList>();
  lines->SetMaxFileSize(FMaxFileSize);
  try {
    lines->LoadFromFile(URI, true);
  } catch (const EConvertError& e) {
    throw EKLPasswordDatabaseError(std::string(SDatabaseCorrupted) + ": " + e.GetMessage());
  }
  TakeOver(std::move(lines), URI);
  RecordLoadedStamp(stamp);
}

void TKLTextPasswordDatabase::OpenFromText(const String& Text, const String& URI) {
  auto lines = std::make_unique<TStringList>();
  lines->SetText(Text);
  TakeOver(std::move(lines), URI);
}

// The new lines replace the database's only once they have passed every check,
// so a failed Open leaves the records, the counter and URI as they were.
void TKLTextPasswordDatabase::TakeOver(std::unique_ptr<TStringList> Lines, const String& URI) {
  if (Lines->GetCount() == 0) RaiseCorrupted();
  std::int32_t index = 0;
  String first = Lines->Get(0);
  const std::int32_t maxFailures =
      first.find(MaxFailuresField) == String::npos ? KLDefaultMaxFailures : TakeCountField(first, MaxFailuresField);
  std::vector<std::pair<String, String>> keyChecks;
  for (std::size_t at = first.find(KeyCheckField); at != String::npos; at = first.find(KeyCheckField)) {
    const std::size_t end = first.find(FieldSeparator, at + 1);
    const String field =
        first.substr(at + KeyCheckField.size(), end == String::npos ? String::npos : end - at - KeyCheckField.size());
    const std::size_t equals = field.find(u'=');
    if (equals == String::npos) RaiseCorrupted();
    String id = field.substr(0, equals);
    String check = field.substr(equals + 1);
    if (!TKLPepper::IsValidID(id) || check.empty() || check.find_first_not_of(u"0123456789ABCDEF") != String::npos) {
      RaiseCorrupted();
    }
    keyChecks.emplace_back(std::move(id), std::move(check));
    first.erase(at, end == String::npos ? String::npos : end - at);
  }
  // Identifiers are handed out from the counter up and must be positive.
  if (!TryStrToInt(first, index) || index < 0) RaiseCorrupted();
  String uri = URI;
  std::vector<String> lines = Lines->TakeLines();
  lines.erase(lines.begin());
  TRankedList<String> users(std::move(lines));
  std::swap(FList, users);
  WipeLines(users);
  RecordsChanged();
  FIndex = index;
  FMaxFailures = maxFailures;
  FKeyChecks = std::move(keyChecks);
  FURI = std::move(uri);
  FModified = false;
}

void TKLTextPasswordDatabase::Save() {
  if (!GetOpened()) throw EKLPasswordDatabaseError(SDatabaseNotOpened);
  TStringList lines;
  String first = IntToStr(FIndex);
  for (const auto& [id, check] : FKeyChecks) first += String(KeyCheckField) + id + u"=" + check;
  if (FMaxFailures != KLDefaultMaxFailures) first += String(MaxFailuresField) + IntToStr(FMaxFailures);
  lines.Add(first);
  for (const String& line : FList) lines.Add(line);
  SaveToURI([&](TStream& Strm) { lines.SaveToStream(Strm); });
  FModified = false;
}

// A new user's name is stored in NFC, the form names are compared in.
std::int32_t TKLTextPasswordDatabase::AddUser(const String& Username, const String& Password, bool ChangeIfExists) {
  const String name = NormalizeUserName(Username);
  CheckUsername(name);
  const bool exists = Exists(name);
  if (exists && !ChangeIfExists) throw EKLPasswordDatabaseError(SUserAlreadyExists);
  String salt;
  String hash;
  String line;
  const detail::TWipeTextOnExit wipeSalt(salt);
  const detail::TWipeTextOnExit wipeHash(hash);
  const detail::TWipeTextOnExit wipeLine(line);
  MakeHashRecord(Password, salt, hash);
  std::int32_t uid = 0;
  if (exists) {
    // The first line of this name keeps its place, UID and name; only its salt and hash change.
    const std::int32_t position = FindUserPosition(name);
    TKLDatabaseRecord record = GetRecord(position);
    WipeString(record.Salt);
    WipeString(record.Hash);
    uid = record.UID;
    line = JoinLine(uid, record.Username, salt, hash, ReadFailureCount(position));
    PutLine(FList, position, line);
  } else {
    uid = detail::NextUserID(FIndex);
    line = JoinLine(uid, name, salt, hash);
    FList.Append(line);
    FIndex = uid;
    UserAppended(uid, name);
  }
  FModified = true;
  return uid;
}

// Amortised logarithmic: the look-ups know the position, and the list leaves
// the gap open until the dead lines outnumber the live ones.
bool TKLTextPasswordDatabase::DeleteUser(std::int32_t UID) {
  const std::int32_t position = FindUIDPosition(UID);
  if (position < 0) return false;
  String line = FList.Remove(FList.SlotAt(position));
  WipeString(line);
  UserRemoved(position);
  FModified = true;
  return true;
}

void TKLTextPasswordDatabase::ImportRecord(const TKLDatabaseRecord& Record) {
  if (!GetOpened()) throw EKLPasswordDatabaseError(SDatabaseNotOpened);
  CheckUsername(Record.Username);
  // A salt with a separator, or a line break anywhere, would make other fields or lines.
  if (Record.UID < 1 || Record.Failures < 0 || Record.Salt.find_first_of(u":\r\n") != String::npos ||
      Record.Hash.find_first_of(u"\r\n") != String::npos) {
    RaiseCorrupted();
  }
  if (GetUID(Record.Username) != -1 || FindUIDPosition(Record.UID) >= 0) {
    throw EKLPasswordDatabaseError(SUserAlreadyExists);
  }
  String line = JoinLine(Record.UID, Record.Username, Record.Salt, Record.Hash, Record.Failures);
  const detail::TWipeTextOnExit wipeLine(line);
  FList.Append(line);
  FIndex = std::max(FIndex, Record.UID);
  UserAppended(Record.UID, Record.Username);
  FModified = true;
}

void TKLTextPasswordDatabase::ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) {
  TKLDatabaseRecord record = GetRecord(Position);
  WipeString(record.Salt);
  WipeString(record.Hash);
  String line = JoinLine(record.UID, record.Username, Salt, Hash, ReadFailureCount(Position));
  const detail::TWipeTextOnExit wipeLine(line);
  PutLine(FList, Position, line);
}

} // namespace kl
