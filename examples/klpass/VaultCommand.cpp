#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "FileFormat.h"
#include "VaultExchange.h"
#include "FileLock.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

using TRecords = std::vector<kl::TKLPassRecord*>;

constexpr std::int32_t kMaxLength = 4096;

// An open vault: the store, the file it came from and the master password.
// A vault opened for editing holds the file's lock from before its load to
// after its save, and refuses to save over a file that changed meanwhile.
class TVault {
public:
  enum TUse { ForReading, ForEditing };

  TVault(std::string File, TSecret Master, TUse Use = ForReading) : FFile(std::move(File)) {
    FMaster.emplace(std::move(Master));
    if (Use == ForEditing) {
      FLock = std::make_unique<TFileLock>(FFile);
      FStore.SetRefuseChangedFile(true);
    }
  }
  TVault(const TVault&) = delete;
  TVault& operator=(const TVault&) = delete;

  const std::string& File() const noexcept { return FFile; }
  kl::TKLPassStorage& Store() noexcept { return FStore; }

  void Load() {
    Attempt("cannot open '" + FFile + "'", [&] { FStore.LoadFromFile(Text(FFile), FMaster->Get()); });
  }
  // The next Save uses Master, under a key derived afresh.
  void ChangeMaster(TSecret Master) {
    FMaster.reset();
    FMaster.emplace(std::move(Master));
  }
  void Save() {
    Attempt("cannot save '" + FFile + "'", [&] { FStore.SaveToFile(Text(FFile), FMaster->Get()); });
  }

  // The records as a file load gives them back, which is the order of record
  // numbers: grouped, groups in order of first occurrence, and store order
  // within a group. Numbers stay the same across a save and a load.
  TRecords Numbered() {
    std::vector<std::pair<kl::String, TRecords>> groups;
    std::unordered_map<kl::String, std::size_t> groupIndex;
    for (std::int32_t i = 0; i < FStore.GetCount(); ++i) {
      kl::TKLPassRecord* record = FStore.GetRecord(i);
      const auto [it, added] = groupIndex.try_emplace(record->GetGroup(), groups.size());
      if (added) groups.emplace_back(it->first, TRecords{});
      groups[it->second].second.push_back(record);
    }
    TRecords numbered;
    for (const auto& group : groups) numbered.insert(numbered.end(), group.second.begin(), group.second.end());
    return numbered;
  }

  // The record numbered Number (from 1), and its position in Numbered().
  kl::TKLPassRecord* Find(const std::string& Number) {
    const TRecords records = Numbered();
    const std::int32_t number = ParseNumber(Number, 1, INT32_MAX, "the record number");
    if (static_cast<std::size_t>(number) > records.size()) Fail(kExitNotFound, "no record #" + Number);
    return records[static_cast<std::size_t>(number) - 1];
  }

  std::int32_t NumberOf(const kl::TKLPassRecord* Record) {
    const TRecords records = Numbered();
    return static_cast<std::int32_t>(std::find(records.begin(), records.end(), Record) - records.begin()) + 1;
  }

private:
  std::string FFile;
  std::optional<TSecret> FMaster;
  std::unique_ptr<TFileLock> FLock;
  kl::TKLPassStorage FStore;
};

constexpr std::array<TOptionSpec, 5> kFieldOptions = {
    {{"--title", true}, {"--user", true}, {"--url", true}, {"--note", true}, {"--group", true}}};

// Options of the actions that set a record's password: generated, or read.
constexpr std::array<TOptionSpec, 9> kPasswordOptions = {{{"--generate"},
                                                          {"--length", true},
                                                          {"--no-upper"},
                                                          {"--no-lower"},
                                                          {"--no-digits"},
                                                          {"--no-symbols"},
                                                          {"--space"},
                                                          {"--custom", true},
                                                          {"--password"}}};

// Options of add and edit: the fields and the password options.
std::vector<TOptionSpec> RecordOptions() {
  std::vector<TOptionSpec> options(kFieldOptions.begin(), kFieldOptions.end());
  options.insert(options.end(), kPasswordOptions.begin(), kPasswordOptions.end());
  return options;
}

std::string Field(kl::TKLPassRecord& Record, kl::String (kl::TKLPassRecord::*Getter)()) {
  return Utf8((Record.*Getter)());
}

// A group the vault file can hold: not empty, without "/".
kl::String CheckedGroup(const std::string& Group) {
  if (Group.empty()) Fail(kExitUsage, "the group must not be empty");
  kl::String group = Text(Group);
  Attempt("cannot use the group '" + Group + "'", [&] { kl::TKLPassStorage::CheckGroup(group); });
  return group;
}

// A generated password when asked for, otherwise one read as a secret.
kl::String NewRecordPassword(const TArguments& Args) {
  if (!Args.Has("--generate")) {
    const TSecret secret = ReadNewSecret("Password of the record", true);
    return secret.Get();
  }
  kl::TKLPasswordGenerator generator;
  ApplyAlphabetOptions(Args, generator);
  const std::int32_t length =
      ParseNumber(Args.Value("--length").value_or(std::to_string(kl::TKLPasswordGenerator::DefaultLengthValue)), 1,
                  kMaxLength, "the length");
  return Attempt("cannot make a password", [&] { return generator.Generate(length); });
}

std::string Date(std::int64_t Seconds) {
  if (Seconds == 0) return "never";
  // The record keeps local wall-clock time already; show it as it is, read as
  // a calendar date without any zone (the same on every platform).
  using namespace std::chrono;
  const sys_seconds time{seconds{Seconds}};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text.data();
}

void PrintRow(std::int32_t Number, kl::TKLPassRecord& Record) {
  std::printf("  %3d  %-24s %-24s %s\n", Number, Field(Record, &kl::TKLPassRecord::GetTitle).c_str(),
              Field(Record, &kl::TKLPassRecord::GetUsername).c_str(),
              Field(Record, &kl::TKLPassRecord::GetURL).c_str());
}

// Prints Records (a subset of the vault) under their group headings, numbered.
void PrintGrouped(TVault& Vault, const TRecords& Records) {
  const std::unordered_set<const kl::TKLPassRecord*> wanted(Records.begin(), Records.end());
  const TRecords numbered = Vault.Numbered();
  std::optional<kl::String> group;
  for (std::size_t i = 0; i < numbered.size(); ++i) {
    kl::TKLPassRecord& record = *numbered[i];
    if (wanted.count(&record) == 0) continue;
    if (const kl::String recordGroup = record.GetGroup(); recordGroup != group) {
      std::printf("%s\n", Utf8(recordGroup).c_str());
      group = recordGroup;
    }
    PrintRow(static_cast<std::int32_t>(i + 1), record);
  }
  if (wanted.empty()) std::printf("(no records)\n");
}

int Create(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--force"}}, kKdfOptions);
  args.ExpectPositional(1, 1, "vault file");
  const std::string& file = args.Positional().front();
  const kl::TKLKdfParameters kdf = KdfFromOptions(args, kl::TKLKdfParameters{});
  RefuseExisting(file, args.Has("--force"));
  TSecret master = ReadNewSecret("New master password", false);
  TVault vault(file, std::move(master), TVault::ForEditing);
  RefuseExisting(file, args.Has("--force")); // again under the lock: another run may have made it meanwhile
  vault.Store().SetKdfParameters(kdf);
  vault.Save();
  std::printf("created vault '%s'\n", file.c_str());
  return kExitOk;
}

int Info(const std::vector<std::string>& Words) {
  const TArguments args(Words, {});
  args.ExpectPositional(1, 1, "vault file");
  PrintFileInfo(args.Positional().front());
  return kExitOk;
}

// The one command that opens a legacy vault: it saves it as version 3, with
// the parameters asked for (or the defaults); a version-3 vault is saved again
// only when new parameters are asked for.
int Upgrade(const std::vector<std::string>& Words) {
  const TArguments args(Words, {}, kKdfOptions);
  args.ExpectPositional(1, 1, "vault file");
  TVault vault(args.Positional().front(), ReadSecret("Master password"), TVault::ForEditing);
  vault.Store().SetAllowLegacyFormat(true);
  vault.Load();
  const std::uint8_t from = vault.Store().GetLoadedVersion();
  const bool legacy = from < kl::KLStorageVersion3;
  if (!legacy && !HasKdfOptions(args)) {
    std::printf("'%s' is already version 3; nothing to do\n", vault.File().c_str());
    return kExitOk;
  }
  vault.Store().SetKdfParameters(
      KdfFromOptions(args, legacy ? kl::TKLKdfParameters{} : vault.Store().GetKdfParameters()));
  vault.Save();
  std::printf("saved '%s' (was version %d) as ", vault.File().c_str(), from);
  PrintFileInfo(vault.File());
  return kExitOk;
}

int Passwd(const std::vector<std::string>& Words) {
  const TArguments args(Words, {}, kKdfOptions);
  args.ExpectPositional(1, 1, "vault file");
  const std::string& file = args.Positional().front();
  TVault vault(file, ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  const kl::TKLKdfParameters kdf = KdfFromOptions(args, vault.Store().GetKdfParameters());
  vault.ChangeMaster(ReadNewSecret("New master password", false));
  vault.Store().SetKdfParameters(kdf);
  vault.Save();
  std::printf("changed the master password of '%s'\n", file.c_str());
  return kExitOk;
}

int Add(const std::vector<std::string>& Words) {
  const std::vector<TOptionSpec> options = RecordOptions();
  const TArguments args(Words, {}, options);
  args.ExpectPositional(1, 1, "vault file");
  const std::optional<std::string> title = args.Value("--title");
  if (!title || title->empty()) Fail(kExitUsage, "a record needs a --title");
  const kl::String group = CheckedGroup(args.Value("--group").value_or(Utf8(kl::DefaultPassGroup)));
  TVault vault(args.Positional().front(), ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::String password = NewRecordPassword(args);
  auto record = std::make_unique<kl::TKLPassRecord>(Text(*title), Text(args.Value("--user").value_or("")), password,
                                                    Text(args.Value("--url").value_or("")),
                                                    Text(args.Value("--note").value_or("")), group);
  kl::WipeString(password);
  kl::TKLPassRecord* added = record.get();
  Attempt("cannot add the record", [&] { vault.Store().Add(record.get()); });
  record.release(); // the store owns it now
  vault.Save();
  std::printf("added record #%d '%s'%s\n", vault.NumberOf(added), title->c_str(),
              args.Has("--generate") ? " with a generated password" : "");
  return kExitOk;
}

int List(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}});
  args.ExpectPositional(1, 1, "vault file");
  TVault vault(args.Positional().front(), ReadSecret("Master password"));
  vault.Load();
  kl::TPointerList<kl::TKLPassRecord> found;
  if (const std::optional<std::string> group = args.Value("--group")) {
    vault.Store().List(Text(*group), found);
  } else {
    for (std::int32_t i = 0; i < vault.Store().GetCount(); ++i) found.Add(vault.Store().GetRecord(i));
  }
  TRecords records;
  for (std::int32_t i = 0; i < found.GetCount(); ++i) records.push_back(found.Get(i));
  PrintGrouped(vault, records);
  return kExitOk;
}

struct TSearchField {
  const char* Name;
  kl::TKLSearchParam Param;
};

constexpr std::array<TSearchField, 5> kSearchFields = {{{"title", kl::spTitle},
                                                        {"user", kl::spUsername},
                                                        {"url", kl::spURL},
                                                        {"note", kl::spNote},
                                                        {"password", kl::spPassword}}};

int Search(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--field", true}, {"--exact"}});
  const std::string field = args.Value("--field").value_or("any");
  // A password to look for is a secret: it is read like one, after the master
  // password, and never taken from the command line nor printed.
  const bool secretValue = field == "password";
  if (secretValue) {
    args.ExpectPositional(1, 1, "vault file (the password to look for is read as a secret)");
  } else {
    args.ExpectPositional(2, 2, "vault file and search text");
  }
  std::vector<kl::TKLSearchParam> params;
  for (const TSearchField& candidate : kSearchFields) {
    // "any" looks in every field but the password.
    if (field == candidate.Name || (field == "any" && candidate.Param != kl::spPassword)) {
      params.push_back(candidate.Param);
    }
  }
  if (params.empty()) Fail(kExitUsage, "unknown field '" + field + "' (title, user, url, note, password or any)");
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  const std::optional<TSecret> secret =
      secretValue ? std::optional<TSecret>(ReadSecret("Password to look for")) : std::nullopt;
  vault.Load();
  kl::String value = secretValue ? secret->Get() : Text(args.Positional()[1]);
  kl::TPointerList<kl::TKLPassRecord> found;
  for (kl::TKLSearchParam param : params) {
    vault.Store().Search(param, args.Has("--exact") ? kl::seEquals : kl::seContains, value, found);
  }
  kl::WipeString(value);
  TRecords records;
  for (std::int32_t i = 0; i < found.GetCount(); ++i) records.push_back(found.Get(i));
  if (records.empty()) {
    Fail(kExitNotFound,
         secretValue ? "no record has that password" : "no record matches '" + args.Positional()[1] + "'");
  }
  PrintGrouped(vault, records);
  return kExitOk;
}

int Show(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--reveal"}});
  args.ExpectPositional(2, 2, "vault file and record number");
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(args.Positional()[1]);
  std::string password = "******** (--reveal shows it)";
  if (args.Has("--reveal")) {
    kl::String text = record.GetPassword();
    password = Utf8(text);
    kl::WipeString(text);
  }
  std::printf("#%s %s / %s\n", args.Positional()[1].c_str(), Field(record, &kl::TKLPassRecord::GetGroup).c_str(),
              Field(record, &kl::TKLPassRecord::GetTitle).c_str());
  std::printf("  user:      %s\n", Field(record, &kl::TKLPassRecord::GetUsername).c_str());
  std::printf("  password:  %s\n", password.c_str());
  std::printf("  url:       %s\n", Field(record, &kl::TKLPassRecord::GetURL).c_str());
  std::printf("  note:      %s\n", Field(record, &kl::TKLPassRecord::GetNote).c_str());
  std::printf("  created:   %s\n", Date(record.GetCreationDate()).c_str());
  std::printf("  modified:  %s\n", Date(record.GetModificationDate()).c_str());
  kl::WipeRawBytes(password);
  WipeOutputBuffer();
  return kExitOk;
}

int Edit(const std::vector<std::string>& Words) {
  const std::vector<TOptionSpec> options = RecordOptions();
  const TArguments args(Words, {}, options);
  args.ExpectPositional(2, 2, "vault file and record number");
  if (args.Has("--generate") && args.Has("--password"))
    Fail(kExitUsage, "--generate and --password exclude each other");
  std::optional<kl::String> group;
  if (const std::optional<std::string> text = args.Value("--group")) group = CheckedGroup(*text);
  if (const std::optional<std::string> title = args.Value("--title"); title && title->empty()) {
    Fail(kExitUsage, "the title must not be empty");
  }
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(args.Positional()[1]);
  if (const auto value = args.Value("--title")) record.SetTitle(Text(*value));
  if (const auto value = args.Value("--user")) record.SetUsername(Text(*value));
  if (const auto value = args.Value("--url")) record.SetURL(Text(*value));
  if (const auto value = args.Value("--note")) record.SetNote(Text(*value));
  if (group) record.SetGroup(*group);
  if (args.Has("--generate") || args.Has("--password")) {
    kl::String password = NewRecordPassword(args);
    record.SetPassword(password);
    kl::WipeString(password);
  }
  vault.Save();
  std::printf("changed record #%s, now #%d\n", args.Positional()[1].c_str(), vault.NumberOf(&record));
  return kExitOk;
}

int Delete(const std::vector<std::string>& Words) {
  const TArguments args(Words, {});
  args.ExpectPositional(2, 2, "vault file and record number");
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassRecord* record = vault.Find(args.Positional()[1]);
  vault.Store().Delete(record);
  const std::unique_ptr<kl::TKLPassRecord> deleted(record); // handed back by the store
  vault.Save();
  std::printf("deleted record #%s '%s'\n", args.Positional()[1].c_str(),
              Field(*deleted, &kl::TKLPassRecord::GetTitle).c_str());
  return kExitOk;
}

struct TVaultAction {
  const char* Name;
  int (*Run)(const std::vector<std::string>& Words);
};

constexpr std::array<TVaultAction, 12> kActions = {{{"create", Create},
                                                    {"info", Info},
                                                    {"upgrade", Upgrade},
                                                    {"passwd", Passwd},
                                                    {"add", Add},
                                                    {"list", List},
                                                    {"search", Search},
                                                    {"show", Show},
                                                    {"edit", Edit},
                                                    {"delete", Delete},
                                                    {"export", VaultExport},
                                                    {"import", VaultImport}}};

int RunVault(const TCommandWords& Words) {
  if (Words.empty()) Fail(kExitUsage, "missing action");
  for (const TVaultAction& action : kActions) {
    if (Words.front() == action.Name) return action.Run({Words.begin() + 1, Words.end()});
  }
  Fail(kExitUsage, "unknown action '" + Words.front() + "'");
}

} // namespace

const TCommand VaultCommand = {
    "vault",
    "  vault create FILE [--force] [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault info FILE\n"
    "  vault upgrade FILE [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault passwd FILE [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault add FILE --title T [--user U] [--url U] [--note N] [--group G]\n"
    "            [--generate [--length N] [alphabet options]]\n"
    "  vault list FILE [--group G]\n"
    "  vault search FILE TEXT [--field title|user|url|note|any] [--exact]\n"
    "  vault search FILE --field password [--exact]\n"
    "  vault show FILE NUMBER [--reveal]\n"
    "  vault edit FILE NUMBER [--title T] [--user U] [--url U] [--note N] [--group G]\n"
    "            [--password | --generate [--length N] [alphabet options]]\n"
    "  vault delete FILE NUMBER\n"
    KLPASS_VAULT_EXCHANGE_USAGE
    "      Keeps password records in an encrypted vault under a master password\n"
    "      (read as a secret). Records are numbered as 'list' shows them, group by\n"
    "      group. A record's password is read as a secret unless --generate makes\n"
    "      one. 'search' finds text in every field but the password unless --field\n"
    "      names one (exit status 5 when nothing matches); a password to look\n"
    "      for is read as a secret.\n"
    "      Vaults are saved in the authenticated format 3. 'info' shows a vault's\n"
    "      format without its password; 'upgrade' is the only action that opens a\n"
    "      vault of the old formats 1 and 2 (the others refuse it, exit status 4)\n"
    "      and saves it as format 3; 'passwd' changes the master password.\n" KLPASS_KDF_USAGE
    KLPASS_VAULT_EXCHANGE_HELP,
    RunVault};

} // namespace klpass
