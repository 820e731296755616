#include <functional>
#include <limits>
#include <string_view>

#include "database/KLSqlDatabase.h"
#include "database/SqlUserStore.h"
#include "database/UserLookupIndex.h"
#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"

namespace kl {

EKLDatabaseUnavailable::~EKLDatabaseUnavailable() = default;

namespace detail {

String StoredText(const char* Data, std::size_t Length) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(Data);
  if (Length > 0 && !IsValidUTF8(bytes, Length)) throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  return UTF8ToStr(bytes, Length);
}

} // namespace detail

namespace {

// Users handed to a visitor per round trip: bounded memory, few statements.
constexpr std::int32_t kPageSize = 512;
// An add that loses a race (the name deleted or added between its two
// statements) tries again; each round means another process changed this very
// name, so a few suffice.
constexpr int kAddAttempts = 8;
constexpr const char* kMaxFailuresSetting = "max_failures";

// A name that is not valid UTF-16 has no exact UTF-8 form: two such names could
// be stored as one. Names are SQL text, which in PostgreSQL cannot hold NUL
// (and elsewhere ends a name where a tool reads it as C text).
bool IsStorableName(const String& Username) noexcept {
  return IsValidUTF16(Username) && Username.find(u'\0') == String::npos;
}

void CheckUsername(const String& Username) {
  if (!IsStorableName(Username)) throw EKLPasswordDatabaseError(SInvalidUserName);
}

void WipeRecord(TKLDatabaseRecord& Record) noexcept {
  WipeString(Record.Salt);
  WipeString(Record.Hash);
}

// Names are stored in NFC. A store written before they were holds each name as
// it was typed: a name not found in NFC is looked for as given, then in NFD,
// the other form keyboards send. ASCII names, the usual kind, take one look-up.
bool FindByAnyForm(detail::TSqlUserStore& Store, const String& Username, TKLDatabaseRecord& Record) {
  const String nfc = NormalizeUserName(Username);
  if (Store.FindByName(nfc, Record)) return true;
  if (Username != nfc && Store.FindByName(Username, Record)) return true;
  const String nfd = NormalizeText(Username, nfD);
  return nfd != nfc && nfd != Username && Store.FindByName(nfd, Record);
}

} // namespace

TKLSqlPasswordDatabase::TKLSqlPasswordDatabase(TComponent* AOwner) : TKLPasswordDatabase(AOwner) {}

TKLSqlPasswordDatabase::~TKLSqlPasswordDatabase() = default;

detail::TSqlUserStore& TKLSqlPasswordDatabase::Store() const {
  if (!FStore) throw EKLPasswordDatabaseError(SDatabaseNotOpened);
  return *FStore;
}

// The new connection replaces the old only once the schema has been made or
// checked, so a failure leaves the database as it was.
void TKLSqlPasswordDatabase::Connect(const String& URI, bool Create) {
  std::unique_ptr<detail::TSqlUserStore> store = MakeStore(URI);
  std::int32_t version = KLSqlSchemaVersion;
  if (Create) {
    store->Create();
  } else {
    version = store->Open();
  }
  String uri = URI;
  FStore = std::move(store);
  FSchemaVersion = version;
  FURI = std::move(uri);
  FModified = false;
}

void TKLSqlPasswordDatabase::CreateNew(const String& URI) { Connect(URI, true); }

void TKLSqlPasswordDatabase::Open(const String& URI) { Connect(URI, false); }

void TKLSqlPasswordDatabase::Save() {
  Store();
  FModified = false;
}

void TKLSqlPasswordDatabase::Close() noexcept {
  FStore.reset();
  FURI.clear();
  FSchemaVersion = 0;
  FModified = false;
}

// A new user's name is stored in NFC, the form names are compared in; a
// change finds the user as FindRecord does.
std::int32_t TKLSqlPasswordDatabase::AddUser(const String& Username, const String& Password, bool ChangeIfExists) {
  detail::TSqlUserStore& store = Store();
  CheckUsername(Username);
  const String name = NormalizeUserName(Username);
  // Checked first so that a refused add costs no hash; the statements below
  // decide, whatever happened meanwhile.
  if (!ChangeIfExists && GetUID(Username) != -1) throw EKLPasswordDatabaseError(SUserAlreadyExists);
  String salt;
  String hash;
  const detail::TWipeTextOnExit wipeSalt(salt);
  const detail::TWipeTextOnExit wipeHash(hash);
  MakeHashRecord(Password, salt, hash);
  for (int attempt = 0; attempt < kAddAttempts; ++attempt) {
    std::int32_t uid = 0;
    if (ChangeIfExists) {
      TKLDatabaseRecord current;
      std::int32_t position = -1;
      const String stored = FindRecord(name, current, position) ? current.Username : name;
      WipeRecord(current);
      uid = store.Update(stored, salt, hash);
    }
    if (uid == 0) uid = store.Insert(name, salt, hash);
    if (uid != 0) {
      FModified = true;
      return uid;
    }
    if (!ChangeIfExists) throw EKLPasswordDatabaseError(SUserAlreadyExists);
  }
  throw EKLPasswordDatabaseError(SDatabaseStatementFailed);
}

bool TKLSqlPasswordDatabase::DeleteUser(std::int32_t UID) {
  const bool deleted = Store().Delete(UID);
  if (deleted) FModified = true;
  return deleted;
}

std::int32_t TKLSqlPasswordDatabase::GetUID(const String& Username) const {
  TKLDatabaseRecord record;
  std::int32_t position = -1;
  if (!FindRecord(Username, record, position)) return -1;
  WipeRecord(record);
  return record.UID;
}

String TKLSqlPasswordDatabase::GetUsername(std::int32_t UID) const {
  TKLDatabaseRecord record;
  if (!Store().FindByUID(UID, record)) return {};
  WipeRecord(record);
  return std::move(record.Username);
}

void TKLSqlPasswordDatabase::ForEachRecord(const TRecordVisitor& Visitor) const {
  WalkRecords([&](std::int32_t, const TKLDatabaseRecord& Record) { Visitor(Record); });
}

void TKLSqlPasswordDatabase::ImportRecord(const TKLDatabaseRecord& Record) {
  detail::TSqlUserStore& store = Store();
  CheckUsername(Record.Username);
  // A NUL would end the field early where a driver takes it as C text.
  const auto unfit = [](const String& Field) { return !IsValidUTF16(Field) || Field.find(u'\0') != String::npos; };
  if (Record.UID < 1 || Record.Failures < 0 || unfit(Record.Salt) || unfit(Record.Hash)) {
    throw EKLPasswordDatabaseError(SDatabaseCorrupted);
  }
  if (!store.Import(Record)) throw EKLPasswordDatabaseError(SUserAlreadyExists);
  FModified = true;
}

TKLDatabaseRecord TKLSqlPasswordDatabase::GetRecord(std::int32_t Index) const {
  TKLDatabaseRecord record;
  if (Index < 0 || !Store().FindAt(Index, record)) throw EKLPasswordDatabaseError(SUserDoesNotExist);
  return record;
}

std::int32_t TKLSqlPasswordDatabase::GetUserCount() const { return Store().Count(); }

void TKLSqlPasswordDatabase::ReplaceHash(std::int32_t Position, const String& Salt, const String& Hash) {
  TKLDatabaseRecord record = GetRecord(Position);
  const detail::TWipeTextOnExit wipeSalt(record.Salt);
  const detail::TWipeTextOnExit wipeHash(record.Hash);
  if (!Store().ReplaceIf(record.UID, record.Hash, Salt, Hash)) throw EKLPasswordDatabaseError(SUserDoesNotExist);
}

// No user can hold a name that is not valid UTF-16 or holds NUL.
bool TKLSqlPasswordDatabase::FindRecord(const String& Username, TKLDatabaseRecord& Record,
                                        std::int32_t& Position) const {
  Position = -1;
  detail::TSqlUserStore& store = Store();
  if (!IsStorableName(Username)) return false;
  if (!FindByAnyForm(store, Username, Record)) return false;
  Position = Record.UID;
  return true;
}

bool TKLSqlPasswordDatabase::ReadRecord(std::int32_t, std::int32_t UID, TKLDatabaseRecord& Record) const {
  return Store().FindByUID(UID, Record);
}

bool TKLSqlPasswordDatabase::ReplaceHashIf(std::int32_t, const TKLDatabaseRecord& Current, const String& Salt,
                                           const String& Hash) {
  return Store().ReplaceIf(Current.UID, Current.Hash, Salt, Hash);
}

// Paged by UID, never holding a transaction open while the visitor runs.
void TKLSqlPasswordDatabase::WalkRecords(
    const std::function<void(std::int32_t Position, const TKLDatabaseRecord& Record)>& Visitor) const {
  detail::TSqlUserStore& store = Store();
  std::vector<TKLDatabaseRecord> page;
  std::int32_t after = 0;
  struct TWipePage {
    std::vector<TKLDatabaseRecord>& Records;
    ~TWipePage() {
      for (TKLDatabaseRecord& record : Records) WipeRecord(record);
    }
  } wipePage{page};
  do {
    for (TKLDatabaseRecord& record : page) WipeRecord(record);
    page.clear();
    store.Page(after, kPageSize, page);
    for (const TKLDatabaseRecord& record : page) Visitor(record.UID, record);
    if (!page.empty()) after = page.back().UID;
  } while (page.size() == static_cast<std::size_t>(kPageSize));
}

std::int32_t TKLSqlPasswordDatabase::ReadFailureCount(std::int32_t Position) const {
  return Store().Failures(Position);
}

std::int32_t TKLSqlPasswordDatabase::AddFailure(std::int32_t Position) { return Store().AddFailure(Position); }

void TKLSqlPasswordDatabase::ClearFailures(std::int32_t Position) { Store().ClearFailures(Position); }

std::int32_t TKLSqlPasswordDatabase::TakeAttempt(std::int32_t Position, std::int32_t Limit) {
  return Store().TakeAttempt(Position, Limit);
}

void TKLSqlPasswordDatabase::ReturnAttempt(std::int32_t Position) { Store().ReturnAttempt(Position); }

String TKLSqlPasswordDatabase::ReadKeyCheck(const String& ID) const { return Store().ReadKeyCheck(ID); }

String TKLSqlPasswordDatabase::RecordKeyCheck(const String& ID, const String& Check) {
  return Store().RecordKeyCheck(ID, Check);
}

std::int32_t TKLSqlPasswordDatabase::ReadMaxFailures() const {
  return Store().ReadSetting(kMaxFailuresSetting, KLDefaultMaxFailures);
}

void TKLSqlPasswordDatabase::WriteMaxFailures(std::int32_t Value) { Store().WriteSetting(kMaxFailuresSetting, Value); }

TKLUserDatabaseKind UserDatabaseKindOf(const String& URI) noexcept {
  const std::u16string_view uri(URI);
  if (uri.starts_with(u"sqlite:")) return udkSqlite;
  if (uri.starts_with(u"postgresql://") || uri.starts_with(u"postgres://")) return udkPostgres;
  return udkFile;
}

namespace {

constexpr std::u16string_view kHidden = u"****";

int HexValue(Char C) noexcept {
  if (C >= u'0' && C <= u'9') return C - u'0';
  if (C >= u'a' && C <= u'f') return C - u'a' + 10;
  if (C >= u'A' && C <= u'F') return C - u'A' + 10;
  return -1;
}

// Percent-decoding of the ASCII a keyword is made of; enough to tell a
// "password" keyword however it is spelt.
String PercentDecoded(std::u16string_view Text) {
  String out;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == u'%' && i + 2 < Text.size() && HexValue(Text[i + 1]) >= 0 && HexValue(Text[i + 2]) >= 0) {
      out += static_cast<Char>(HexValue(Text[i + 1]) * 16 + HexValue(Text[i + 2]));
      i += 2;
    } else {
      out += Text[i];
    }
  }
  return out;
}

} // namespace

namespace detail {

// libpq takes user information up to the first '@' met before any '/', and
// the password after its first ':'; query parameters are '&'-separated
// keyword=value pairs, keywords percent-decoded.
void ForEachURIPassword(const String& URI, const std::function<void(std::size_t At, std::size_t Length)>& Found) {
  if (UserDatabaseKindOf(URI) != udkPostgres) return;
  const std::size_t start = URI.find(u"://") + 3;
  const std::size_t slash = URI.find(u'/', start);
  const std::size_t at = URI.find(u'@', start);
  if (at != String::npos && (slash == String::npos || at < slash)) {
    const std::size_t colon = URI.find(u':', start);
    if (colon != String::npos && colon < at) Found(colon + 1, at - colon - 1);
  }
  const std::size_t query = URI.find(u'?', slash == String::npos ? start : slash);
  if (query == String::npos) return;
  for (std::size_t pair = query + 1; pair <= URI.size();) {
    std::size_t end = URI.find(u'&', pair);
    if (end == String::npos) end = URI.size();
    const std::size_t equals = URI.find(u'=', pair);
    if (equals != String::npos && equals < end &&
        PercentDecoded(std::u16string_view(URI).substr(pair, equals - pair)) == u"password") {
      Found(equals + 1, end - equals - 1);
    }
    pair = end + 1;
  }
}

} // namespace detail

String RedactUserDatabaseURI(const String& URI) {
  String shown;
  std::size_t from = 0;
  detail::ForEachURIPassword(URI, [&](std::size_t At, std::size_t Length) {
    shown.append(URI, from, At - from);
    shown += kHidden;
    from = At + Length;
  });
  shown.append(URI, from, String::npos);
  return shown;
}

std::unique_ptr<TKLPasswordDatabase> MakeUserDatabase(const String& URI, bool Encrypted) {
  switch (UserDatabaseKindOf(URI)) {
    case udkSqlite:
      return std::make_unique<TKLSqlitePasswordDatabase>();
    case udkPostgres:
      return std::make_unique<TKLPostgresPasswordDatabase>();
    case udkFile:
      break;
  }
  if (Encrypted) return std::make_unique<TKLBinaryPasswordDatabase>();
  return std::make_unique<TKLTextPasswordDatabase>();
}

} // namespace kl
