#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "FileFormat.h"
#include "HashOptions.h"
#include "Progress.h"
#include "FileLock.h"
#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "database/KLSqlDatabase.h"
#include "foundation/FileStream.h"
#include "storage/KLStorage.h"

namespace klpass {

namespace {

// A database's place as every message and listing shows it: a password in a
// postgresql:// URI is never repeated.
std::string Shown(const std::string& Place) { return Utf8(kl::RedactUserDatabaseURI(Text(Place))); }

using TTextDatabase = kl::TKLTextPasswordDatabase;
using TEncryptedDatabase = kl::TKLBinaryPasswordDatabase;

// One Argon2id computation an old record: a large database takes minutes, so a
// terminal is shown how far it has come.
std::int32_t UpgradeWithProgress(kl::TKLPasswordDatabase& Database) {
  TProgressLine progress("upgrading hashes");
  return Database.UpgradeHashes([&](std::int32_t Done, std::int32_t Total) {
    progress.Update(static_cast<std::uint64_t>(Done), static_cast<std::uint64_t>(Total));
  });
}

enum class TAction { Create, Add, Change, Delete, List, Verify, Info, Upgrade, Set, Unlock, Copy };

struct TActionName {
  const char* Name;
  TAction Action;
  bool TakesUser;
};

constexpr std::array<TActionName, 9> kActions = {{{"create", TAction::Create, false},
                                                  {"copy", TAction::Copy, true},
                                                  {"info", TAction::Info, false},
                                                  {"upgrade", TAction::Upgrade, false},
                                                  {"add", TAction::Add, true},
                                                  {"change", TAction::Change, true},
                                                  {"delete", TAction::Delete, true},
                                                  {"list", TAction::List, false},
                                                  {"verify", TAction::Verify, true}}};
// The lockout's own actions.
constexpr std::array<TActionName, 2> kLockoutActions = {
    {{"set", TAction::Set, false}, {"unlock", TAction::Unlock, true}}};

struct TRequest {
  TAction Action;
  std::string File;
  std::string User;
  bool Force;
  const TArguments* Args;
  bool Schemes;
  kl::TKLPasswordHashParameters Hashes;
  std::optional<std::int32_t> MaxFailures;
};

// True when the file starts with the storage tag (little-endian): an encrypted
// database. Anything else, a missing file or one that is not a regular file
// included, is not. Read through the library's file stream, which never waits
// on a FIFO. Only 'info' and the messages go by it: what a command opens is
// the kind its command line names, never the kind the file claims to be.
bool IsEncryptedFile(const std::string& FileName) {
  std::array<std::uint8_t, 2> tag{};
  try {
    kl::TFileStream file(Text(FileName), kl::fmOpenRead);
    if (file.Read(tag.data(), 2) != 2) return false;
  } catch (const kl::Exception&) {
    return false;
  }
  return tag[0] == (kl::KLStorageTag & 0xFF) && tag[1] == (kl::KLStorageTag >> 8);
}

// Refuses a file of the other kind before it is read. Whoever may replace an
// encrypted database could otherwise put a text one holding a hash of their own
// password in its place, and have it verify without the master password. The
// check is for the message: a text file fails the encrypted load anyway, and
// an encrypted one the text parser.
void RefuseOtherKind(const std::string& FileName, bool Encrypted) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(FileName, error)) return; // Open says what is wrong
  const bool encryptedFile = IsEncryptedFile(FileName);
  if (Encrypted && !encryptedFile) {
    Fail(kExitDamaged, "'" + FileName +
                           "' is not an encrypted user database, and --encrypted asks for one: refused, nothing "
                           "was read from it");
  }
  if (!Encrypted && encryptedFile) {
    Fail(kExitDamaged, "'" + FileName + "' is an encrypted user database: give --encrypted to open it as one");
  }
}

void Save(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  Attempt("cannot save '" + Shown(Request.File) + "'", [&] { Database.Save(); });
}

void AddUser(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  const kl::String name = Text(Request.User);
  if (Database.GetUID(name) != -1) Fail(kExitExists, "user '" + Request.User + "' already exists (see 'change')");
  const TSecret password = ReadNewSecret("Password of " + Request.User, true);
  const std::int32_t uid =
      Attempt("cannot add user '" + Request.User + "'", [&] { return Database.AddUser(name, password.Get(), false); });
  Save(Database, Request);
  std::printf("added user '%s' with UID %d\n", Request.User.c_str(), uid);
}

void ChangeUser(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  const kl::String name = Text(Request.User);
  if (Database.GetUID(name) == -1) Fail(kExitNotFound, "no user '" + Request.User + "'");
  const TSecret password = ReadNewSecret("New password of " + Request.User, true);
  Attempt("cannot change user '" + Request.User + "'", [&] { Database.AddUser(name, password.Get(), true); });
  Save(Database, Request);
  std::printf("changed the password of '%s'\n", Request.User.c_str());
}

void DeleteUser(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  if (!Database.DeleteUser(Text(Request.User))) Fail(kExitNotFound, "no user '" + Request.User + "'");
  Save(Database, Request);
  std::printf("deleted user '%s'\n", Request.User.c_str());
}

// A failure is counted in the file, so it is saved before the answer.
void VerifyUser(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  const TSecret password = ReadSecret("Password of " + Request.User);
  const bool verified = Attempt("cannot verify user '" + Request.User + "'",
                                [&] { return Database.Verify(Text(Request.User), password.Get()); });
  if (!verified) {
    if (Database.GetModified()) Save(Database, Request);
    Fail(kExitWrongPassword, "wrong password for user '" + Request.User + "'");
  }
  // A success may have replaced an old or weaker hash with a current one.
  const bool upgraded = Database.GetModified();
  if (upgraded) Save(Database, Request);
  std::printf("password of '%s' verified%s\n", Request.User.c_str(), upgraded ? "; its hash was upgraded" : "");
}

std::string SchemeText(const kl::TKLDatabaseRecord& Record) {
  switch (kl::HashSchemeOf(Record)) {
    case kl::hsArgon2id:
      return DescribeHash(Record.Hash);
    case kl::hsWrappedSHA256:
      return "sha256 wrapped in " + DescribeHash(Record.Hash);
    case kl::hsKeyedArgon2id:
      return "argon2id keyed with a server key (" + Utf8(Record.Hash.substr(0, Record.Hash.find(u'$', 20))) + ")";
    case kl::hsSHA256:
      break;
  }
  return "sha256 (old form, weak)";
}

// Streamed: an SQL database hands its users out a page at a time.
void ListUsers(const kl::TKLPasswordDatabase& Database, bool Schemes) {
  Database.ForEachRecord([&](const kl::TKLDatabaseRecord& Record) {
    if (Schemes) {
      std::printf("%6d  %-20s  %s\n", Record.UID, Utf8(Record.Username).c_str(), SchemeText(Record).c_str());
    } else {
      std::printf("%6d  %s\n", Record.UID, Utf8(Record.Username).c_str());
    }
  });
}

// 'upgrade' brings a file up to date: every old salted SHA-256 hash is wrapped
// in Argon2id, and an encrypted file is saved as version 3 when it was of a
// legacy format (with the parameters asked for, or the defaults) or when new
// parameters are asked for. It is the one action that opens a legacy file.
template <class TDatabase>
void Upgrade(TDatabase& Database, const TRequest& Request) {
  constexpr bool encrypted = std::is_same_v<TDatabase, TEncryptedDatabase>;
  std::uint8_t from = 0;
  bool newFormat = false;
  if constexpr (encrypted) {
    from = Database.GetLoadedVersion();
    const bool legacy = from < kl::KLStorageVersion3;
    newFormat = legacy || HasKdfOptions(*Request.Args);
    if (newFormat) {
      Database.SetKdfParameters(
          KdfFromOptions(*Request.Args, legacy ? kl::TKLKdfParameters{} : Database.GetKdfParameters()));
    }
  }
  const std::int32_t wrapped =
      Attempt("cannot upgrade '" + Shown(Request.File) + "'", [&] { return UpgradeWithProgress(Database); });
  if (wrapped > 0 || newFormat) Save(Database, Request);
  std::printf("wrapped %d old password hash%s in Argon2id\n", wrapped, wrapped == 1 ? "" : "es");
  if (!encrypted) return;
  if (newFormat) {
    std::printf("saved '%s' (was version %d) as ", Shown(Request.File).c_str(), from);
    PrintFileInfo(Request.File);
  } else {
    std::printf("'%s' is already version 3\n", Shown(Request.File).c_str());
  }
}

void SetLimit(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  Database.SetMaxFailures(*Request.MaxFailures);
  Save(Database, Request);
  std::printf("accounts of '%s' lock after %d consecutive failed attempts%s\n", Shown(Request.File).c_str(),
              *Request.MaxFailures, *Request.MaxFailures == 0 ? " (0: never)" : "");
}

void UnlockUser(kl::TKLPasswordDatabase& Database, const TRequest& Request) {
  Attempt("cannot unlock user '" + Request.User + "'", [&] { Database.Unlock(Text(Request.User)); });
  Save(Database, Request);
  std::printf("unlocked user '%s'\n", Request.User.c_str());
}

// The server keys from --pepper-file, or else from the file KLPASS_PEPPER_FILE
// names; none when neither is given.
std::shared_ptr<const kl::TKLPepper> LoadPepper(const TArguments& Args) {
  std::optional<std::string> file = Args.Value("--pepper-file");
  if (!file) {
    const char* named = std::getenv("KLPASS_PEPPER_FILE");
    if (named != nullptr && *named != 0) file = named;
  }
  if (!file) return nullptr;
  return Attempt("cannot read the pepper key file '" + *file + "'",
                 [&] { return kl::TKLPepper::FromFile(Text(*file)); });
}

template <class TDatabase>
int Run(const TRequest& Request) {
  constexpr bool encrypted = std::is_same_v<TDatabase, TEncryptedDatabase>;
  const bool create = Request.Action == TAction::Create;
  if (create) RefuseExisting(Request.File, Request.Force);
  TDatabase database;
  database.SetSaveOnDestroy(false); // every change is saved explicitly, so that a failure is reported
  database.SetHashParameters(Request.Hashes);
  database.SetPepper(LoadPepper(*Request.Args));
  if constexpr (encrypted) {
    const TSecret master = create ? ReadNewSecret("New master password", false) : ReadSecret("Master password");
    database.SetPassword(master.Get());
    if (create) database.SetKdfParameters(KdfFromOptions(*Request.Args, kl::TKLKdfParameters{}));
    database.SetAllowLegacyFormat(Request.Action == TAction::Upgrade);
  }
  // An edit holds the file's lock from before it reads the file to after it
  // saves, and refuses to save over a file that changed meanwhile (create
  // --force replaces whatever is there, by the user's choice).
  // (verify too: a success may replace an old hash and save).
  const bool edits = Request.Action != TAction::List;
  std::unique_ptr<TFileLock> lock;
  if (edits) lock = std::make_unique<TFileLock>(Request.File);
  database.SetRefuseChangedFile(edits && !create);
  if (create) {
    RefuseExisting(Request.File, Request.Force); // again under the lock: another run may have made it meanwhile
    database.CreateNew(Text(Request.File));
    if (Request.MaxFailures) database.SetMaxFailures(*Request.MaxFailures);
    Save(database, Request);
    std::printf("created %s user database '%s'\n", encrypted ? "encrypted" : "text", Shown(Request.File).c_str());
    return kExitOk;
  }
  RefuseOtherKind(Request.File, encrypted);
  Attempt("cannot open '" + Shown(Request.File) + "'", [&] { database.Open(Text(Request.File)); });
  switch (Request.Action) {
    case TAction::Add:
      AddUser(database, Request);
      break;
    case TAction::Change:
      ChangeUser(database, Request);
      break;
    case TAction::Delete:
      DeleteUser(database, Request);
      break;
    case TAction::Verify:
      VerifyUser(database, Request);
      break;
    case TAction::List:
      Attempt("cannot list '" + Shown(Request.File) + "'", [&] { ListUsers(database, Request.Schemes); });
      break;
    case TAction::Upgrade:
      Upgrade(database, Request);
      break;
    case TAction::Set:
      SetLimit(database, Request);
      break;
    case TAction::Unlock:
      UnlockUser(database, Request);
      break;
    case TAction::Create:
    case TAction::Info:
    case TAction::Copy:
      break;
  }
  return kExitOk;
}

std::optional<std::int32_t> ReadMaxFailures(const TArguments& Args) {
  const std::optional<std::string> value = Args.Value("--max-failures");
  if (!value) return std::nullopt;
  return ParseNumber(*value, 0, 1000000, "--max-failures");
}

bool IsSqlPlace(const std::string& Place) { return kl::UserDatabaseKindOf(Text(Place)) != kl::udkFile; }

std::string KindName(const std::string& Place) {
  return kl::UserDatabaseKindOf(Text(Place)) == kl::udkSqlite ? "SQLite" : "PostgreSQL";
}

// An SQL user database: each change is stored by its own call, so there is no
// lock to take and nothing to save.
int RunSql(const TRequest& Request) {
  if (Request.Args->Has("--encrypted")) Fail(kExitUsage, "--encrypted is for user database files");
  if (Request.Force) Fail(kExitUsage, "--force does not replace an SQL user database");
  const std::unique_ptr<kl::TKLPasswordDatabase> database = kl::MakeUserDatabase(Text(Request.File));
  database->SetHashParameters(Request.Hashes);
  database->SetPepper(LoadPepper(*Request.Args));
  if (Request.Action == TAction::Create) {
    Attempt("cannot create '" + Shown(Request.File) + "'", [&] {
      database->CreateNew(Text(Request.File));
      if (Request.MaxFailures) database->SetMaxFailures(*Request.MaxFailures);
    });
    std::printf("created %s user database '%s'\n", KindName(Request.File).c_str(), Shown(Request.File).c_str());
    return kExitOk;
  }
  Attempt("cannot open '" + Shown(Request.File) + "'", [&] { database->Open(Text(Request.File)); });
  switch (Request.Action) {
    case TAction::Add:
      AddUser(*database, Request);
      break;
    case TAction::Change:
      ChangeUser(*database, Request);
      break;
    case TAction::Delete:
      DeleteUser(*database, Request);
      break;
    case TAction::Verify:
      VerifyUser(*database, Request);
      break;
    case TAction::Set:
      SetLimit(*database, Request);
      break;
    case TAction::Unlock:
      UnlockUser(*database, Request);
      break;
    case TAction::List:
      Attempt("cannot list '" + Shown(Request.File) + "'", [&] { ListUsers(*database, Request.Schemes); });
      break;
    case TAction::Upgrade: {
      const std::int32_t wrapped =
          Attempt("cannot upgrade '" + Shown(Request.File) + "'", [&] { return UpgradeWithProgress(*database); });
      std::printf("wrapped %d old password hash%s in Argon2id\n", wrapped, wrapped == 1 ? "" : "es");
      break;
    }
    case TAction::Info: {
      const auto& sql = static_cast<const kl::TKLSqlPasswordDatabase&>(*database);
      const std::int32_t count = Attempt("cannot read '" + Shown(Request.File) + "'", [&] { return sql.GetCount(); });
      std::printf("%s: %s user database, schema version %d, %d user%s\n", Shown(Request.File).c_str(),
                  KindName(Request.File).c_str(), sql.GetSchemaVersion(), count, count == 1 ? "" : "s");
      break;
    }
    case TAction::Create:
    case TAction::Copy:
      break;
  }
  return kExitOk;
}

// One end of a copy: a file (text, or encrypted with --encrypted, under a
// master password read here) or an SQL database. Created is set when the
// place holds no user database yet, which is then made.
std::unique_ptr<kl::TKLPasswordDatabase> OpenCopyEnd(const std::string& Place, bool Encrypted, bool Target,
                                                     bool& Created) {
  const kl::String uri = Text(Place);
  const kl::TKLUserDatabaseKind kind = kl::UserDatabaseKindOf(uri);
  std::unique_ptr<kl::TKLPasswordDatabase> database = kl::MakeUserDatabase(uri, Encrypted && kind == kl::udkFile);
  std::error_code error;
  Created = false;
  if (kind == kl::udkFile) {
    if (auto* text = dynamic_cast<kl::TKLTextPasswordDatabase*>(database.get())) text->SetSaveOnDestroy(false);
    auto* binary = dynamic_cast<kl::TKLBinaryPasswordDatabase*>(database.get());
    Created = Target && !std::filesystem::exists(Place, error);
    if (binary != nullptr) {
      binary->SetSaveOnDestroy(false);
      const TSecret master = Created ? ReadNewSecret("New master password of '" + Shown(Place) + "'", false)
                                     : ReadSecret("Master password of '" + Shown(Place) + "'");
      binary->SetPassword(master.Get());
    }
    if (!Created) RefuseOtherKind(Place, binary != nullptr);
    database->SetRefuseChangedFile(Target);
  } else if (kind == kl::udkSqlite) {
    Created = Target && !std::filesystem::exists(Place.substr(7), error);
  }
  if (Created) {
    Attempt("cannot create '" + Shown(Place) + "'", [&] { database->CreateNew(uri); });
    return database;
  }
  try {
    database->Open(uri);
  } catch (const kl::EKLPasswordDatabaseError& e) {
    // A PostgreSQL database without the user tables is made into one.
    if (!Target || kind != kl::udkPostgres || e.GetMessage() != kl::SDatabaseNotUserDatabase) {
      Explain(e, "cannot open '" + Shown(Place) + "'");
    }
    Created = true;
    Attempt("cannot create '" + Shown(Place) + "'", [&] { database->CreateNew(uri); });
  } catch (const kl::Exception& e) {
    Explain(e, "cannot open '" + Shown(Place) + "'");
  }
  return database;
}

// Copies every user, UID, name, salt and hash unchanged, into a target that
// holds none of their names or UIDs (checked for all before the first is
// copied); a new target takes the source's failure limit too.
int CopyUsers(const TRequest& Request) {
  const std::string& source = Request.File;
  const std::string& target = Request.User;
  bool unused = false;
  const std::unique_ptr<kl::TKLPasswordDatabase> from =
      OpenCopyEnd(source, Request.Args->Has("--encrypted"), false, unused);
  std::unique_ptr<TFileLock> lock;
  if (!IsSqlPlace(target)) lock = std::make_unique<TFileLock>(target);
  bool created = false;
  const std::unique_ptr<kl::TKLPasswordDatabase> to =
      OpenCopyEnd(target, Request.Args->Has("--to-encrypted"), true, created);
  std::int32_t copied = 0;
  Attempt("cannot copy '" + Shown(source) + "' to '" + Shown(target) + "'", [&] {
    from->ForEachRecord([&](const kl::TKLDatabaseRecord& Record) {
      if (to->GetUID(Record.Username) != -1 || !to->GetUsername(Record.UID).empty()) {
        Fail(kExitExists, "user '" + Utf8(Record.Username) + "' (UID " + std::to_string(Record.UID) +
                              ") or its UID is in '" + Shown(target) + "' already; nothing was copied");
      }
    });
    from->ForEachRecord([&](const kl::TKLDatabaseRecord& Record) {
      to->ImportRecord(Record);
      ++copied;
    });
    if (created) to->SetMaxFailures(from->GetMaxFailures());
    to->Save();
  });
  std::printf("copied %d user%s from '%s' to %s'%s'\n", copied, copied == 1 ? "" : "s", Shown(source).c_str(),
              created ? "new " : "", Shown(target).c_str());
  return kExitOk;
}

int RunUsers(const TCommandWords& Words) {
  std::array<TOptionSpec, kKdfOptions.size() + kHashOptions.size()> options{};
  std::copy(kKdfOptions.begin(), kKdfOptions.end(), options.begin());
  std::copy(kHashOptions.begin(), kHashOptions.end(), options.begin() + kKdfOptions.size());
  const TArguments args(Words,
                        {{"--encrypted"},
                         {"--to-encrypted"},
                         {"--force"},
                         {"--schemes"},
                         {"--max-failures", true},
                         {"--pepper-file", true}},
                        options);
  args.ExpectPositional(2, 3, "action and database file");
  const std::string& actionName = args.Positional()[0];
  const TActionName* action = nullptr;
  for (const TActionName& candidate : kActions) {
    if (actionName == candidate.Name) action = &candidate;
  }
  for (const TActionName& candidate : kLockoutActions) {
    if (actionName == candidate.Name) action = &candidate;
  }
  if (action == nullptr) Fail(kExitUsage, "unknown action '" + actionName + "'");
  args.ExpectPositional(action->TakesUser ? 3 : 2, action->TakesUser ? 3 : 2, "user name");

  const TRequest request{action->Action,
                         args.Positional()[1],
                         action->TakesUser ? args.Positional()[2] : "",
                         args.Has("--force"),
                         &args,
                         args.Has("--schemes"),
                         ReadHashOptions(args),
                         ReadMaxFailures(args)};
  const bool limitFits = action->Action == TAction::Create || action->Action == TAction::Set;
  if (request.MaxFailures && !limitFits) Fail(kExitUsage, "--max-failures goes with 'create' and 'set' only");
  if (action->Action == TAction::Set && !request.MaxFailures) Fail(kExitUsage, "'set' needs --max-failures N");
  if (action->TakesUser && request.User.empty()) Fail(kExitUsage, "the user name must not be empty");
  const bool encrypted = args.Has("--encrypted");
  const bool kdfOptionsFit = encrypted && (action->Action == TAction::Create || action->Action == TAction::Upgrade);
  if (HasKdfOptions(args) && !kdfOptionsFit) {
    Fail(kExitUsage, "key derivation options go with 'create --encrypted' and 'upgrade --encrypted' only");
  }
  if (args.Has("--to-encrypted") && action->Action != TAction::Copy)
    Fail(kExitUsage, "--to-encrypted goes with 'copy' only");
  if (action->Action == TAction::Copy) return CopyUsers(request);
  if (IsSqlPlace(request.File)) return RunSql(request);
  if (action->Action == TAction::Info) {
    // Describes whatever the file is, without opening it as a database.
    if (!IsEncryptedFile(request.File)) {
      Attempt("cannot read '" + request.File + "'", [&] { kl::TFileStream(Text(request.File), kl::fmOpenRead); });
      std::printf("%s: text user database, not encrypted\n", request.File.c_str());
    } else {
      PrintFileInfo(request.File);
    }
    return kExitOk;
  }
  return encrypted ? Run<TEncryptedDatabase>(request) : Run<TTextDatabase>(request);
}

} // namespace

const TCommand UsersCommand = {
    "users",
    "  users create FILE [--encrypted [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]]\n"
    "               [--force] [--max-failures N]\n"
    "  users info FILE\n"
    "  users upgrade FILE [--encrypted [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]]\n"
    "                [--hash-memory MIB] [--hash-passes N] [--pepper-file FILE]\n"
    "  users add|change|verify FILE NAME [--encrypted] [--hash-memory MIB] [--hash-passes N]\n"
    "                [--pepper-file FILE]\n"
    "  users delete|unlock FILE NAME [--encrypted]\n"
    "  users set FILE --max-failures N [--encrypted]\n"
    "  users list FILE [--schemes] [--encrypted]\n"
    "  users copy SOURCE TARGET [--encrypted] [--to-encrypted]\n"
    "      Keeps a user password database: Argon2id hashes, never the passwords.\n"
    "      A text file by default; --encrypted makes and opens an encrypted file\n"
    "      under a master password (read as a secret). The command line, never\n"
    "      the file, says which kind a database is: every command but 'info'\n"
    "      refuses a file of the other kind (exit status 4), so that a text file\n"
    "      put in an encrypted one's place is never trusted. 'add' and 'change'\n"
    "      read the user's new password, 'verify'\n"
    "      reads one and checks it (exit status 3 when wrong), and replaces an old\n"
    "      or weaker hash with a current one. 'list --schemes' shows each user's\n"
    "      hash form. Encrypted files are saved in the authenticated format 3;\n"
    "      'info' shows a file's format without its password. 'upgrade' brings a\n"
    "      file up to date: it wraps every old salted SHA-256 hash in Argon2id and,\n"
    "      as the only action that opens an encrypted file of the old formats 1\n"
    "      and 2 (the others refuse it, exit status 4), saves it as format 3.\n"
    "      After N consecutive failed verifications of an account (default 100,\n"
    "      set by 'create --max-failures N' or 'set --max-failures N'; 0 never)\n"
    "      every further one is refused, exit status 10, the right password\n"
    "      included, until 'unlock'; a success resets the count.\n"
    "      --pepper-file FILE (or the file KLPASS_PEPPER_FILE names) holds server\n"
    "      keys, one \"ID HEX\" a line, the first current: new hashes are keyed\n"
    "      with it, and records under an older key are keyed again on verify.\n" KLPASS_KDF_USAGE KLPASS_HASH_USAGE,
    RunUsers};

} // namespace klpass
