#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "FileFormat.h"
#include "VaultExchange.h"
#include "VaultRecordData.h"
#include "Clipboard.h"
#include "FileLock.h"
#include "Progress.h"
#include "TextOutput.h"
#include "passstorage/KLPassAudit.h"
#include "passstorage/KLPassOtp.h"
#include "passstorage/KLPassSearch.h"
#include "rules/KLBlocklist.h"
#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

using TRecords = std::vector<kl::TKLPassRecord*>;

constexpr std::int32_t kMaxLength = 4096;

// A record as the command line names it: a number as 'list' shows it (a word
// of digits only), or a title, optionally within a group. Made from the
// arguments before any password is asked, so that a bad number costs nothing.
struct TRecordChoice {
  std::string Word;
  std::int32_t Number = 0; // 0 when Word is a title
  std::optional<kl::String> Group;
};

TRecordChoice RecordChoice(const TArguments& Args, std::string_view GroupOption) {
  TRecordChoice choice{Args.Positional()[1], 0, std::nullopt};
  const std::string& word = choice.Word;
  if (word.empty()) Fail(kExitUsage, "the record must be named by a number or a title");
  if (std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    choice.Number = ParseNumber(word, 1, INT32_MAX, "the record number");
  }
  if (!GroupOption.empty()) {
    if (const std::optional<std::string> group = Args.Value(GroupOption)) choice.Group = Text(*group);
  }
  return choice;
}

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

  // A FILE.kdbx is KeePass's format (a new one too); its key file, if any,
  // is named by KLPASS_KEY_FILE.
  void Load() {
    if (FFile.size() > 5 && FFile.compare(FFile.size() - 5, 5, ".kdbx") == 0) FStore.SetSaveFormat(kl::pfKdbx);
    if (const char* keyFile = std::getenv("KLPASS_KEY_FILE"); keyFile != nullptr && *keyFile != '\0') {
      Attempt("cannot use the key file", [&] { FStore.SetKeyFile(ReadKeyFile(keyFile)); });
    }
    ApplyKdfCostChoice(FStore);
    Attempt("cannot open '" + FFile + "'", [&] { FStore.LoadFromFile(Text(FFile), FMaster->Get()); });
  }
  // The next Save uses Master, under a key derived afresh.
  void ChangeMaster(TSecret Master) {
    FMaster.reset();
    FMaster.emplace(std::move(Master));
  }
  void Save() {
    Attempt("cannot save '" + FFile + "'", [&] { FStore.SaveToFile(Text(FFile), FMaster->Get()); });
    // KDBX 3.1 is read, never written: say that the file moved on.
    if (FStore.GetSaveFormat() == kl::pfKdbx && FStore.GetKdbxLoadedVersion() == 0x00030001) {
      std::fprintf(stderr, "klpass vault: '%s' was a KDBX 3.1 file; it is now saved as KDBX 4.0\n", FFile.c_str());
    }
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

  // The record the command line names (see TRecordChoice): by number, or the
  // one record of that title; several of that title are listed by number,
  // user and group (never a password) and refused with kExitAmbiguous.
  //
  // With TitleCase::Folded (show and copy), a title that no record has
  // exactly names the one record whose title equals it under case folding;
  // several such are refused as above.
  enum class TitleCase { Exact, Folded };
  kl::TKLPassRecord* Find(const TRecordChoice& Choice, TitleCase Case = TitleCase::Exact) {
    const TRecords records = Numbered();
    if (Choice.Number > 0) {
      if (static_cast<std::size_t>(Choice.Number) > records.size()) Fail(kExitNotFound, "no record #" + Choice.Word);
      kl::TKLPassRecord* record = records[static_cast<std::size_t>(Choice.Number) - 1];
      if (Choice.Group && record->GetGroup() != *Choice.Group) {
        Fail(kExitNotFound, "record #" + Choice.Word + " is not in the group '" + Utf8(*Choice.Group) + "'");
      }
      return record;
    }
    kl::TPointerList<kl::TKLPassRecord> found;
    FStore.Search(kl::spTitle, kl::seEquals, Text(Choice.Word), found);
    std::unordered_set<const kl::TKLPassRecord*> titled;
    for (std::int32_t i = 0; i < found.GetCount(); ++i) titled.insert(found.Get(i));
    std::vector<std::size_t> matches; // positions in records, so numbers come out in order
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (titled.count(records[i]) == 0) continue;
      if (!Choice.Group || records[i]->GetGroup() == *Choice.Group) matches.push_back(i);
    }
    if (matches.empty() && Case == TitleCase::Folded) {
      const kl::String word = Text(Choice.Word);
      for (std::size_t i = 0; i < records.size(); ++i) {
        if (!kl::TKLPassQuery::SameText(records[i]->GetTitle(), word)) continue;
        if (Choice.Group && records[i]->GetGroup() != *Choice.Group) continue;
        matches.push_back(i);
      }
    }
    // A title names a record in the recycle bin only when no other has it.
    const kl::TKLPassStorage& store = FStore;
    const auto inBin = [&](std::size_t i) {
      return store.GetRecycleBinEnabled() && records[i]->GetGroup() == store.GetRecycleBinGroup();
    };
    if (std::any_of(matches.begin(), matches.end(), [&](std::size_t i) { return !inBin(i); })) {
      std::erase_if(matches, inBin);
    }
    if (matches.empty()) {
      Fail(kExitNotFound, "no record titled '" + Choice.Word + "'" +
                              (Choice.Group ? " in the group '" + Utf8(*Choice.Group) + "'" : std::string()));
    }
    if (matches.size() > 1) {
      std::string message = "'" + Choice.Word + "' is the title of " + std::to_string(matches.size()) +
                            " records; name one by its number" + (Choice.Group ? "" : " or its group") + ":";
      for (std::size_t i : matches) {
        message += "\n  #" + std::to_string(i + 1) + "  " + Utf8(records[i]->GetGroup()) + " / " +
                   Printable(records[i]->GetTitle());
        if (const std::string user = Utf8(records[i]->GetUsername()); !user.empty()) message += "  (" + user + ")";
      }
      Fail(kExitAmbiguous, message);
    }
    return records[matches.front()];
  }

  // Destroys every record (each wipes its password) and the kept key.
  void Forget() {
    while (FStore.GetCount() > 0) {
      const std::unique_ptr<kl::TKLPassRecord> record(FStore.GetRecord(FStore.GetCount() - 1));
      FStore.Delete(record.get());
    }
    FStore.Clear();
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
  options.insert(options.end(), kRecordDataOptions.begin(), kRecordDataOptions.end());
  return options;
}

// A group path a vault or KDBX file can hold: not empty, no name of it empty
// ("Work/Dev" nests, "\/" is a "/" within a name).
kl::String CheckedGroup(const std::string& Group) {
  if (Group.empty()) Fail(kExitUsage, "the group must not be empty");
  kl::String group = Text(Group);
  if (!kl::IsValidGroupPath(group)) Fail(kExitUsage, "the group path '" + Group + "' has an empty group name");
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

// A time stamp for JSON: the vault's clock reading "YYYY-MM-DDTHH:MM:SS"
// (no zone, as the vault keeps it), or null for never.
std::string DateJson(std::int64_t Seconds) {
  if (Seconds == 0) return "null";
  std::string text = Date(Seconds);
  if (const std::size_t space = text.find(' '); space != std::string::npos) text[space] = 'T';
  return "\"" + text + "\"";
}

void PrintRow(std::int32_t Number, kl::TKLPassRecord& Record) {
  std::printf("  %3d  %s %s %s\n", Number, PaddedCells(Record.GetTitle(), 24).c_str(),
              PaddedCells(Record.GetUsername(), 24).c_str(), Printable(Record.GetURL()).c_str());
}

// {"number":N,"group":...,"title":...,"user":...,"url":...} without the closing brace.
std::string RecordJson(std::int32_t Number, kl::TKLPassRecord& Record) {
  return "{\"number\":" + std::to_string(Number) + ",\"group\":" + JsonString(Utf8(Record.GetGroup())) +
         ",\"title\":" + JsonString(Utf8(Record.GetTitle())) + ",\"user\":" + JsonString(Utf8(Record.GetUsername())) +
         ",\"url\":" + JsonString(Utf8(Record.GetURL()));
}

// Prints Records (a subset of the vault) under their group headings, numbered,
// or as one JSON object {"records":[...]} in the same order.
void PrintGrouped(TVault& Vault, const TRecords& Records, bool Json = false) {
  const std::unordered_set<const kl::TKLPassRecord*> wanted(Records.begin(), Records.end());
  const TRecords numbered = Vault.Numbered();
  std::optional<kl::String> group;
  std::string json = "{\"records\":[";
  bool first = true;
  for (std::size_t i = 0; i < numbered.size(); ++i) {
    kl::TKLPassRecord& record = *numbered[i];
    if (wanted.count(&record) == 0) continue;
    if (Json) {
      json.append(first ? "" : ",").append(RecordJson(static_cast<std::int32_t>(i + 1), record)).append("}");
      first = false;
      continue;
    }
    if (const kl::String recordGroup = record.GetGroup(); recordGroup != group) {
      std::printf("%s\n", Printable(recordGroup).c_str());
      group = recordGroup;
    }
    PrintRow(static_cast<std::int32_t>(i + 1), record);
  }
  if (Json) {
    std::printf("%s]}\n", json.c_str());
  } else if (wanted.empty()) {
    std::printf("(no records)\n");
  }
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

// A KDBX file's header as 'info' shows it: none of it needs the password.
struct TKdbxInfo {
  std::string Version, Cipher, Kdf;
  kl::TKLKdbxFileInfo Header;
};

std::optional<TKdbxInfo> KdbxInfo(const std::string& File) {
  return Attempt("cannot read '" + File + "'", [&]() -> std::optional<TKdbxInfo> {
    kl::TFileStream stream(Text(File), kl::fmOpenRead);
    if (!kl::IsKdbxStream(stream)) return std::nullopt;
    TKdbxInfo info;
    info.Header = kl::ReadKdbxFileInfo(stream);
    const std::uint32_t v = info.Header.Version;
    info.Version = std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF);
    info.Cipher = info.Header.Settings.Cipher == kl::kcChaCha20 ? "ChaCha20" : "AES-256";
    const kl::TKLKdbxKdf kdf = info.Header.Settings.Kdf;
    info.Kdf = kdf == kl::kkAesKdf ? "AES-KDF" : kdf == kl::kkArgon2d ? "Argon2d" : "Argon2id";
    return info;
  });
}

void PrintKdbxInfo(const std::string& File, const TKdbxInfo& Info, bool Json) {
  const kl::TKLKdbxSettings& s = Info.Header.Settings;
  const bool argon = s.Kdf != kl::kkAesKdf;
  if (Json) {
    std::string json =
        "{\"file\":" + JsonString(File) + ",\"format\":\"kdbx\",\"version\":" + JsonString(Info.Version) +
        ",\"cipher\":" + JsonString(Info.Cipher) + ",\"compressed\":" + (Info.Header.Compressed ? "true" : "false") +
        ",\"kdf\":{\"algorithm\":" + JsonString(Info.Kdf);
    if (argon) {
      json += ",\"memory_kib\":" + std::to_string(s.MemoryBytes / 1024) +
              ",\"passes\":" + std::to_string(s.Iterations) + ",\"lanes\":" + std::to_string(s.Parallelism);
    } else {
      json += ",\"rounds\":" + std::to_string(s.Iterations);
    }
    std::printf("%s}}\n", json.c_str());
    return;
  }
  std::string costs;
  if (argon) {
    const std::uint64_t kib = s.MemoryBytes / 1024;
    costs = (kib % 1024 == 0 ? std::to_string(kib / 1024) + " MiB" : std::to_string(kib) + " KiB") + ", " +
            std::to_string(s.Iterations) + (s.Iterations == 1 ? " pass, " : " passes, ") +
            std::to_string(s.Parallelism) + (s.Parallelism == 1 ? " lane" : " lanes");
  } else {
    costs = std::to_string(s.Iterations) + (s.Iterations == 1 ? " round" : " rounds");
  }
  std::printf("%s: KDBX %s, %s, %s %s, %s\n", File.c_str(), Info.Version.c_str(), Info.Cipher.c_str(), Info.Kdf.c_str(),
              costs.c_str(), Info.Header.Compressed ? "gzip" : "not compressed");
}

int Info(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--json"}});
  args.ExpectPositional(1, 1, "vault file");
  const std::string& file = args.Positional().front();
  if (const std::optional<TKdbxInfo> kdbx = KdbxInfo(file)) {
    PrintKdbxInfo(file, *kdbx, args.Has("--json"));
    return kExitOk;
  }
  if (!args.Has("--json")) {
    PrintFileInfo(file);
    return kExitOk;
  }
  const kl::TKLStorageFileInfo info =
      Attempt("cannot read '" + file + "'", [&] { return kl::TKLStorage::ReadFileInfo(Text(file)); });
  std::string json = "{\"file\":" + JsonString(file) + ",\"version\":" + std::to_string(info.Version) +
                     ",\"encrypted\":" + (info.Encrypted ? "true" : "false") +
                     ",\"authenticated\":" + (info.Authenticated ? "true" : "false");
  if (info.Encrypted && info.Authenticated) {
    json += ",\"kdf\":{\"algorithm\":\"argon2id\",\"memory_kib\":" + std::to_string(info.Kdf.MemoryKiB) +
            ",\"passes\":" + std::to_string(info.Kdf.Passes) + "}";
  }
  std::printf("%s}\n", json.c_str());
  return kExitOk;
}

// The one command that opens a legacy vault: it saves it as version 3, with
// the parameters asked for (or the defaults); a version-3 vault is saved again
// only when new parameters are asked for.
int Upgrade(const std::vector<std::string>& Words) {
  const TArguments args(Words, {}, kKdfOptions);
  args.ExpectPositional(1, 1, "vault file");
  // KDBX has no legacy form to convert from, and its costs are kept by every
  // save: nothing is asked, read beyond the header or written.
  if (KdbxInfo(args.Positional().front())) {
    if (HasKdfOptions(args)) Fail(kExitUsage, "the --kdf options apply to the vault format; a KDBX file keeps its own");
    std::printf("'%s' is a KDBX file; it needs no upgrade, nothing to do\n", args.Positional().front().c_str());
    return kExitOk;
  }
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
  const kl::String group =
      CheckedGroup(args.Value("--group").value_or(Utf8(kl::DefaultPassGroup)));
  TRecordDataChanges data(args);
  TVault vault(args.Positional().front(), ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::String password = NewRecordPassword(args);
  auto record = std::make_unique<kl::TKLPassRecord>(Text(*title), Text(args.Value("--user").value_or("")), password,
                                                    Text(args.Value("--url").value_or("")),
                                                    Text(args.Value("--note").value_or("")), group);
  kl::WipeString(password);
  data.Apply(*record);
  kl::TKLPassRecord* added = record.get();
  Attempt("cannot add the record", [&] { vault.Store().Add(record.get()); });
  record.release(); // the store owns it now
  vault.Save();
  std::printf("added record #%d '%s'%s\n", vault.NumberOf(added), title->c_str(),
              args.Has("--generate") ? " with a generated password" : "");
  return kExitOk;
}

int List(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}, {"--json"}});
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
  PrintGrouped(vault, records, args.Has("--json"));
  return kExitOk;
}

struct TSearchField {
  const char* Name;
  kl::TKLSearchParam Param;
  kl::TKLQueryField Field;
};

constexpr std::array<TSearchField, 6> kSearchFields = {{{"title", kl::spTitle, kl::qfTitle},
                                                        {"user", kl::spUsername, kl::qfUsername},
                                                        {"url", kl::spURL, kl::qfURL},
                                                        {"note", kl::spNote, kl::qfNotes},
                                                        {"fields", kl::spCustomFields, kl::qfAny},
                                                        {"password", kl::spPassword, kl::qfAny}}};

// The records of a query in the library's search language (the words after
// FILE, joined by spaces), or, with --field, of one text in one field as
// before that language: --field title|user|url|note looks for the text as
// it is (one term of that field, folded unless --case-sensitive); --field
// fields (protected values included), --field password and --exact keep the
// older search of one text, case included.
int Search(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--field", true}, {"--exact"}, {"--case-sensitive"}, {"--json"}});
  const std::string field = args.Value("--field").value_or("any");
  // A password to look for is a secret: it is read like one, after the master
  // password, and never taken from the command line nor printed.
  const bool secretValue = field == "password";
  if (secretValue) {
    args.ExpectPositional(1, 1, "vault file (the password to look for is read as a secret)");
  } else if (field == "any") {
    args.ExpectPositional(2, SIZE_MAX, "vault file and query");
  } else {
    args.ExpectPositional(2, 2, "vault file and search text");
  }
  const TSearchField* chosen = nullptr;
  for (const TSearchField& candidate : kSearchFields) {
    if (field == candidate.Name) chosen = &candidate;
  }
  if (chosen == nullptr && field != "any") {
    Fail(kExitUsage, "unknown field '" + field + "' (title, user, url, note, fields, password or any)");
  }
  // --exact, a password and --field fields (protected values included) keep
  // the library's older, case-sensitive search of one field.
  const bool exact = args.Has("--exact") || (chosen != nullptr && chosen->Field == kl::qfAny);
  std::string shown;
  for (std::size_t i = 1; i < args.Positional().size(); ++i) shown += (i > 1 ? " " : "") + args.Positional()[i];
  // The query is checked before the master password is asked.
  std::optional<kl::TKLPassQuery> query;
  const std::uint32_t flags = args.Has("--case-sensitive") ? kl::KLQueryCaseSensitive : 0;
  if (!exact) {
    try {
      if (chosen != nullptr) {
        query.emplace(std::vector<kl::TKLQueryTerm>{{chosen->Field, Text(shown), false}}, flags);
      } else {
        query.emplace(Text(shown), flags);
      }
    } catch (const kl::EKLPassQueryException& e) {
      Fail(kExitUsage, std::string("bad query: ") + e.what());
    }
  }
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  const std::optional<TSecret> secret =
      secretValue ? std::optional<TSecret>(ReadSecret("Password to look for")) : std::nullopt;
  vault.Load();
  kl::TPointerList<kl::TKLPassRecord> found;
  if (query) {
    query->Search(vault.Store(), found);
  } else {
    kl::String value = secretValue ? secret->Get() : Text(shown);
    for (const TSearchField& candidate : kSearchFields) {
      // "any" looks in every field but the password.
      if (&candidate == chosen || (chosen == nullptr && candidate.Param != kl::spPassword)) {
        vault.Store().Search(candidate.Param, args.Has("--exact") ? kl::seEquals : kl::seContains, value, found);
      }
    }
    kl::WipeString(value);
  }
  TRecords records;
  std::unordered_set<const kl::TKLPassRecord*> seen; // one record once, though several fields matched it
  for (std::int32_t i = 0; i < found.GetCount(); ++i) {
    if (seen.insert(found.Get(i)).second) records.push_back(found.Get(i));
  }
  if (records.empty()) {
    Fail(kExitNotFound, secretValue ? "no record has that password" : "no record matches '" + shown + "'");
  }
  PrintGrouped(vault, records, args.Has("--json"));
  return kExitOk;
}

// The names of a record's custom fields, printable (never their values).
std::vector<std::string> CustomFieldNames(kl::TKLPassRecord& Record) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < Record.GetCustomFieldCount(); ++i) {
    kl::TKLPassField field = Record.GetCustomField(i);
    names.push_back(Printable(field.Name));
    kl::WipeString(field.Value);
  }
  return names;
}

int Show(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--reveal"}, {"--group", true}, {"--json"}, {"--field", true}});
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--group");
  const std::optional<std::string> fieldName = args.Value("--field");
  if (fieldName && (args.Has("--json") || args.Has("--reveal"))) {
    Fail(kExitUsage, "--field prints one bare value: it goes with neither --json nor --reveal");
  }
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice, TVault::TitleCase::Folded);
  if (fieldName) {
    // The bare value and a newline, for scripts: nothing escaped, nothing else.
    kl::String value;
    if (!kl::TKLPassQuery::FindRecordField(record, Text(*fieldName), value)) {
      std::string names = "title, username, password, url, notes";
      for (const std::string& custom : CustomFieldNames(record)) names += ", " + custom;
      Fail(kExitNotFound, "record #" + std::to_string(vault.NumberOf(&record)) + " has no field '" + *fieldName +
                              "' (it has " + names + ")");
    }
    std::string bytes = Utf8(value);
    kl::WipeString(value);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fputc('\n', stdout);
    kl::WipeRawBytes(bytes);
    WipeOutputBuffer();
    return kExitOk;
  }
  const std::int32_t number = vault.NumberOf(&record);
  std::string password = "******** (--reveal shows it)";
  if (args.Has("--reveal")) {
    kl::String text = record.GetPassword();
    password = args.Has("--json") ? Utf8(text) : Printable(text);
    kl::WipeString(text);
  }
  if (args.Has("--json")) {
    std::string json = RecordJson(number, record) + ",\"note\":" + JsonString(Utf8(record.GetNote())) +
                       ",\"created\":" + DateJson(record.GetCreationDate()) +
                       ",\"modified\":" + DateJson(record.GetModificationDate());
    if (args.Has("--reveal")) json += ",\"password\":" + JsonString(password);
    json += RecordDataJson(record, args.Has("--reveal")) + "}";
    std::printf("%s\n", json.c_str());
    kl::WipeRawBytes(json);
  } else {
    std::printf("#%d %s / %s\n", number, Printable(record.GetGroup()).c_str(), Printable(record.GetTitle()).c_str());
    std::printf("  user:      %s\n", Printable(record.GetUsername()).c_str());
    std::printf("  password:  %s\n", password.c_str());
    std::printf("  url:       %s\n", Printable(record.GetURL()).c_str());
    std::printf("  note:      %s\n", Printable(record.GetNote()).c_str());
    std::printf("  created:   %s\n", Date(record.GetCreationDate()).c_str());
    std::printf("  modified:  %s\n", Date(record.GetModificationDate()).c_str());
    PrintRecordData(record, args.Has("--reveal"));
  }
  kl::WipeRawBytes(password);
  WipeOutputBuffer();
  return kExitOk;
}

struct TCopyField {
  const char* Name;
  kl::String (kl::TKLPassRecord::*Get)();
};

constexpr std::array<TCopyField, 5> kCopyFields = {{{"password", &kl::TKLPassRecord::GetPassword},
                                                    {"user", &kl::TKLPassRecord::GetUsername},
                                                    {"url", &kl::TKLPassRecord::GetURL},
                                                    {"title", &kl::TKLPassRecord::GetTitle},
                                                    {"note", &kl::TKLPassRecord::GetNote}}};

// Puts a field of a record (the password unless --field says) on the
// clipboard, cleared after --clear-after seconds (0: left there).
int Copy(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}, {"--field", true}, {"--clear-after", true}});
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--group");
  const std::string fieldName = args.Value("--field").value_or("password");
  const TCopyField* field = nullptr;
  for (const TCopyField& candidate : kCopyFields) {
    if (fieldName == candidate.Name) field = &candidate;
  }
  if (field == nullptr) Fail(kExitUsage, "unknown field '" + fieldName + "' (password, user, url, title or note)");
  const std::int32_t clearAfter =
      ParseNumber(args.Value("--clear-after").value_or("20"), 0, kMaxClearAfter, "the delay before clearing (seconds)");
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice, TVault::TitleCase::Folded);
  const std::int32_t number = vault.NumberOf(&record);
  const std::string title = Printable(record.GetTitle());
  kl::String value = (record.*field->Get)();
  // Nothing of the vault is needed any more: its records (and their
  // passwords) go before the clipboard may be waited on.
  vault.Forget();
  std::string tool;
  try {
    tool = CopyToClipboard(value, clearAfter);
  } catch (...) {
    kl::WipeString(value);
    throw;
  }
  kl::WipeString(value);
  std::printf("copied the %s of #%d '%s' to the clipboard (%s)", field->Name, number, title.c_str(), tool.c_str());
  if (clearAfter > 0) {
    std::printf("; it is cleared in %d s unless something else was copied meanwhile\n", clearAfter);
  } else {
    std::printf("; it stays there\n");
  }
  return kExitOk;
}

int Edit(const std::vector<std::string>& Words) {
  const std::vector<TOptionSpec> options = RecordOptions();
  const TArguments args(Words, {{"--from-group", true}}, options);
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--from-group");
  if (args.Has("--generate") && args.Has("--password"))
    Fail(kExitUsage, "--generate and --password exclude each other");
  std::optional<kl::String> group;
  if (const std::optional<std::string> text = args.Value("--group")) group = CheckedGroup(*text);
  if (const std::optional<std::string> title = args.Value("--title"); title && title->empty()) {
    Fail(kExitUsage, "the title must not be empty");
  }
  TRecordDataChanges data(args);
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice);
  const std::int32_t before = vault.NumberOf(&record);
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
  data.Apply(record);
  vault.Save();
  std::printf("changed record #%d, now #%d\n", before, vault.NumberOf(&record));
  return kExitOk;
}

// The current one-time password of a record with an otp field (or the older
// TOTP Seed pair); --time gives another moment (seconds since 1970, UTC).
int Totp(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}, {"--time", true}});
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--group");
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  if (const auto time = args.Value("--time")) now = ParseNumber(*time, 0, INT32_MAX, "the time (seconds since 1970)");
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice);
  kl::TKLOtpSettings settings;
  Attempt("cannot make a one-time password", [&] { kl::GetRecordOtp(record, settings); });
  vault.Forget();
  kl::String code = Attempt("cannot make a one-time password", [&] { return kl::TotpCode(settings, now); });
  std::printf("%s (valid %d more seconds)\n", Utf8(code).c_str(), kl::TotpSecondsLeft(settings, now));
  kl::WipeString(code);
  WipeOutputBuffer();
  return kExitOk;
}

// Writes an attachment of a record to a new file (--force replaces one).
int Attachment(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}, {"--out", true}, {"--force"}});
  args.ExpectPositional(3, 3, "vault file, record (number or title) and attachment name");
  const TRecordChoice choice = RecordChoice(args, "--group");
  const std::optional<std::string> out = args.Value("--out");
  if (!out) Fail(kExitUsage, "--out FILE names where the attachment goes");
  RefuseExisting(*out, args.Has("--force"));
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice);
  kl::SecureBytes data;
  if (!record.GetAttachment(Text(args.Positional()[2]), data.Get())) {
    Fail(kExitNotFound, "the record has no attachment '" + args.Positional()[2] + "'");
  }
  vault.Forget();
  // Readable by its owner only: an attachment is often a key or a document.
  Attempt("cannot write '" + *out + "'", [&] {
    kl::SaveFileAtomically(
        Text(*out), [&](kl::TStream& Strm) { Strm.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size())); },
        kl::faOwnerOnly);
  });
  std::printf("wrote '%s' (%zu bytes)\n", out->c_str(), data.size());
  return kExitOk;
}

int Delete(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--yes"}, {"--group", true}, {"--permanently"}});
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--group");
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassRecord* record = vault.Find(choice);
  const std::int32_t number = vault.NumberOf(record);
  const std::string title = Printable(record->GetTitle());
  const std::string question = "Delete record #" + std::to_string(number) + " '" + title + "' of the group '" +
                               Printable(record->GetGroup()) + "'?";
  if (!args.Has("--yes") && !Confirm(question)) {
    std::printf("kept record #%d '%s'; nothing was changed\n", number, title.c_str());
    return kExitOk;
  }
  // A KDBX file's own recycle bin is the store's: a record moves there while
  // the file has it on, as in KeePassXC; a removal is recorded among the
  // file's deleted objects for KeePassXC's merge.
  kl::TKLPassStorage& store = vault.Store();
  const kl::TKLPassDeleteResult result = store.DeleteRecord(record, args.Has("--permanently"));
  vault.Save();
  if (result == kl::drRecycled) {
    std::printf("moved record #%d '%s' to the recycle bin '%s' (now #%d)\n", number, title.c_str(),
                Printable(store.GetRecycleBinGroup()).c_str(), vault.NumberOf(record));
  } else {
    std::printf("deleted record #%d '%s'\n", number, title.c_str());
  }
  return kExitOk;
}

// The earlier versions of a record, oldest first, numbered for 'restore':
// when each was last changed, its title and user; never a password.
int History(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}, {"--json"}});
  args.ExpectPositional(2, 2, "vault file and record (number or title)");
  const TRecordChoice choice = RecordChoice(args, "--group");
  TVault vault(args.Positional()[0], ReadSecret("Master password"));
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice);
  const std::int32_t count = record.GetHistoryCount();
  if (args.Has("--json")) {
    std::string json = "{\"record\":" + std::to_string(vault.NumberOf(&record)) + ",\"versions\":[";
    for (std::int32_t i = 0; i < count; ++i) {
      kl::TKLPassRecord& version = *record.GetHistoryItem(i);
      json.append(i == 0 ? "" : ",")
          .append("{\"version\":" + std::to_string(i + 1) + ",\"modified\":" +
                  DateJson(version.GetModificationDate()) + ",\"title\":" + JsonString(Utf8(version.GetTitle())) +
                  ",\"user\":" + JsonString(Utf8(version.GetUsername())) + "}");
    }
    std::printf("%s]}\n", json.c_str());
    return kExitOk;
  }
  std::printf("record #%d '%s': %d earlier version%s\n", vault.NumberOf(&record), Printable(record.GetTitle()).c_str(),
              count, count == 1 ? "" : "s");
  for (std::int32_t i = 0; i < count; ++i) {
    kl::TKLPassRecord& version = *record.GetHistoryItem(i);
    std::printf("  %3d  %s  %s %s\n", i + 1, Date(version.GetModificationDate()).c_str(),
                PaddedCells(version.GetTitle(), 24).c_str(), Printable(version.GetUsername()).c_str());
  }
  return kExitOk;
}

// Merges another copy of the vault (either may be KDBX) into TARGET: see
// TKLPassStorage::Merge for the rules. --dry-run says what would change and
// saves nothing.
int MergeCopies(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--dry-run"}});
  args.ExpectPositional(2, 2, "target file and source file");
  const bool dryRun = args.Has("--dry-run");
  const std::string& sourceFile = args.Positional()[1];
  TVault target(args.Positional()[0], ReadSecret("Master password"), dryRun ? TVault::ForReading : TVault::ForEditing);
  TVault source(sourceFile, ReadSecret("Master password of '" + sourceFile + "'"));
  target.Load();
  source.Load();
  const kl::TKLMergeReport report = target.Store().Merge(source.Store());
  source.Forget();
  if (!dryRun) target.Save();
  std::printf("%s '%s' into '%s': %d added, %d updated, %d moved, %d deleted, %d kept%s\n",
              dryRun ? "merging would take" : "merged", sourceFile.c_str(), target.File().c_str(), report.Added,
              report.Updated, report.Moved, report.Deleted, report.Kept, dryRun ? " (dry run: nothing was saved)" : "");
  return kExitOk;
}

// Makes version N (as 'history' numbers them) the record's content again; the
// content it replaces becomes the newest version.
int Restore(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--group", true}});
  args.ExpectPositional(3, 3, "vault file, record (number or title) and version number");
  const TRecordChoice choice = RecordChoice(args, "--group");
  const std::int32_t wanted = ParseNumber(args.Positional()[2], 1, INT32_MAX, "the version number");
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassRecord& record = *vault.Find(choice);
  const std::int32_t number = vault.NumberOf(&record);
  if (wanted > record.GetHistoryCount()) {
    Fail(kExitNotFound, "record #" + std::to_string(number) + " has " + std::to_string(record.GetHistoryCount()) +
                            " earlier version" + (record.GetHistoryCount() == 1 ? "" : "s") + ", no version " +
                            args.Positional()[2]);
  }
  record.RestoreHistoryItem(wanted - 1);
  vault.Save();
  std::printf("restored version %d of record #%d '%s'\n", wanted, number, Printable(record.GetTitle()).c_str());
  return kExitOk;
}

// Moves a group with its subgroups and records to another path, every UUID
// kept, in a vault as in a KDBX file.
int MoveGroup(const std::vector<std::string>& Words) {
  const TArguments args(Words, {});
  args.ExpectPositional(3, 3, "vault file, group and its new path");
  const std::string& from = args.Positional()[1];
  const std::string& to = args.Positional()[2];
  TVault vault(args.Positional()[0], ReadSecret("Master password"), TVault::ForEditing);
  vault.Load();
  kl::TKLPassStorage& held = vault.Store();
  held.ListRecordGroups();
  if (from.empty() || held.FindGroup(Text(from)) == nullptr) Fail(kExitNotFound, "no group '" + from + "'");
  if (held.FindGroup(Text(to)) != nullptr) Fail(kExitExists, "a group '" + to + "' exists already");
  Attempt("cannot move group '" + from + "' to '" + to + "' (not into itself, and no empty group name)",
          [&] { held.MoveGroup(Text(from), Text(to)); });
  vault.Save();
  std::printf("moved group '%s' to '%s'\n", from.c_str(), to.c_str());
  return kExitOk;
}

// The findings of one record in words: "weak (score 1), reused (also #4)".
std::string FindingWords(const kl::TKLAuditEntry& Entry, const std::vector<std::int32_t>& Numbers,
                         std::int32_t MaxAge) {
  std::vector<std::string> words;
  if (Entry.Findings & kl::afNoPassword) words.push_back("no password");
  if (Entry.Findings & kl::afWeak) words.push_back("weak (score " + std::to_string(Entry.Score) + ")");
  if (Entry.Findings & kl::afReused) {
    std::string also = "reused (also";
    for (const std::int32_t other : Entry.SameAs)
      also += " #" + std::to_string(Numbers[static_cast<std::size_t>(other)]);
    words.push_back(also + ")");
  }
  if (Entry.Findings & kl::afBlocklisted) words.push_back("on a blocklist");
  if (Entry.Findings & kl::afOld) {
    words.push_back("not changed for " + std::to_string(Entry.AgeDays) + " days (over " + std::to_string(MaxAge) + ")");
  }
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

std::string AuditJson(TVault& Vault, const kl::TKLAuditReport& Report, const std::vector<std::int32_t>& Numbers) {
  std::string json = "{\"records\":" + std::to_string(Report.Records) + ",\"weak\":" + std::to_string(Report.Weak) +
                     ",\"reused\":" + std::to_string(Report.Reused) +
                     ",\"blocklisted\":" + std::to_string(Report.Blocklisted) +
                     ",\"old\":" + std::to_string(Report.Old) +
                     ",\"no_password\":" + std::to_string(Report.NoPassword) + ",\"findings\":[";
  auto flag = [](const kl::TKLAuditEntry& Entry, std::uint32_t Bit) {
    return (Entry.Findings & Bit) ? "true" : "false";
  };
  for (std::size_t i = 0; i < Report.Entries.size(); ++i) {
    const kl::TKLAuditEntry& entry = Report.Entries[i];
    const std::int32_t number = Numbers[static_cast<std::size_t>(entry.Index)];
    json.append(i > 0 ? "," : "");
    json += RecordJson(number, *Vault.Store().GetRecord(entry.Index)) + ",\"weak\":" + flag(entry, kl::afWeak) +
            ",\"score\":" + std::to_string(entry.Score) + ",\"reused_with\":[";
    for (std::size_t k = 0; k < entry.SameAs.size(); ++k) {
      json.append(k > 0 ? "," : "").append(std::to_string(Numbers[static_cast<std::size_t>(entry.SameAs[k])]));
    }
    json += std::string("],\"blocklisted\":") + flag(entry, kl::afBlocklisted) + ",\"old\":" + flag(entry, kl::afOld) +
            ",\"age_days\":" + std::to_string(entry.AgeDays) + ",\"no_password\":" + flag(entry, kl::afNoPassword) +
            "}";
  }
  return json + "]}";
}

// Every record's password looked at: weak, reused, blocklisted, old, absent.
// Exit status 1 when anything is found, so that a script can act on it.
int Audit(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--min-score", true}, {"--blocklist", true}, {"--max-age", true}, {"--json"}});
  args.ExpectPositional(1, 1, "vault file");
  kl::TKLAuditOptions options;
  options.MinScore = ParseNumber(args.Value("--min-score").value_or("3"), 0, 4, "the minimum score");
  if (const auto days = args.Value("--max-age"))
    options.MaxAgeDays = ParseNumber(*days, 1, 36500, "the maximum age (days)");
  // The list is opened before the master password is asked: a wrong file costs nothing.
  std::unique_ptr<kl::TKLBlocklistFilter> blocklist;
  if (const auto file = args.Value("--blocklist")) {
    blocklist = Attempt("cannot use the blocklist '" + *file + "'",
                        [&] { return std::make_unique<kl::TKLBlocklistFilter>(Text(*file)); });
    options.Blocklist = blocklist.get();
  }
  TVault vault(args.Positional().front(), ReadSecret("Master password"));
  vault.Load();
  kl::TKLAuditReport report;
  {
    TProgressLine progress("auditing '" + vault.File() + "'");
    options.Progress = [&](std::int32_t Done, std::int32_t Total) {
      progress.Update(static_cast<std::uint64_t>(Done), static_cast<std::uint64_t>(Total));
    };
    report = Attempt("cannot audit", [&] { return kl::AuditPassRecords(vault.Store(), options); });
  }
  // Store positions to the numbers 'list' shows.
  std::vector<std::int32_t> numbers(static_cast<std::size_t>(vault.Store().GetCount()));
  const TRecords numbered = vault.Numbered();
  std::unordered_map<const kl::TKLPassRecord*, std::int32_t> numberOf;
  for (std::size_t i = 0; i < numbered.size(); ++i) numberOf[numbered[i]] = static_cast<std::int32_t>(i + 1);
  for (std::int32_t i = 0; i < vault.Store().GetCount(); ++i) {
    numbers[static_cast<std::size_t>(i)] = numberOf[vault.Store().GetRecord(i)];
  }
  if (args.Has("--json")) {
    std::printf("%s\n", AuditJson(vault, report, numbers).c_str());
    return report.Clean() ? kExitOk : kExitFailed;
  }
  std::vector<const kl::TKLAuditEntry*> byNumber;
  for (const kl::TKLAuditEntry& entry : report.Entries) byNumber.push_back(&entry);
  std::sort(byNumber.begin(), byNumber.end(), [&](const auto* A, const auto* B) {
    return numbers[static_cast<std::size_t>(A->Index)] < numbers[static_cast<std::size_t>(B->Index)];
  });
  for (const kl::TKLAuditEntry* entry : byNumber) {
    kl::TKLPassRecord& record = *vault.Store().GetRecord(entry->Index);
    std::printf("  %3d  %s / %s: %s\n", numbers[static_cast<std::size_t>(entry->Index)],
                Printable(record.GetGroup()).c_str(), Printable(record.GetTitle()).c_str(),
                FindingWords(*entry, numbers, options.MaxAgeDays).c_str());
  }
  if (report.Clean()) {
    std::printf("%d records: nothing found\n", report.Records);
    return kExitOk;
  }
  std::printf("%d records: %d weak (score below %d), %d reused, %d on a blocklist, %d old, %d without a password\n",
              report.Records, report.Weak, options.MinScore, report.Reused, report.Blocklisted, report.Old,
              report.NoPassword);
  return kExitFailed;
}

struct TVaultAction {
  const char* Name;
  int (*Run)(const std::vector<std::string>& Words);
};

constexpr std::array<TVaultAction, 20> kActions = {{{"create", Create},
                                                    {"info", Info},
                                                    {"upgrade", Upgrade},
                                                    {"passwd", Passwd},
                                                    {"add", Add},
                                                    {"list", List},
                                                    {"search", Search},
                                                    {"show", Show},
                                                    {"copy", Copy},
                                                    {"edit", Edit},
                                                    {"totp", Totp},
                                                    {"attachment", Attachment},
                                                    {"delete", Delete},
                                                    {"history", History},
                                                    {"restore", Restore},
                                                    {"merge", MergeCopies},
                                                    {"move-group", MoveGroup},
                                                    {"audit", Audit},
                                                    {"export", VaultExport},
                                                    {"import", VaultImport}}};

int RunVault(const TCommandWords& Words) {
  if (Words.empty()) Fail(kExitUsage, "missing action");
  for (const TVaultAction& action : kActions) {
    if (Words.front() != action.Name) continue;
    // Every action that opens a file takes --accept-kdf-cost (before a "--").
    std::vector<std::string> rest(Words.begin() + 1, Words.end());
    const auto end = std::find(rest.begin(), rest.end(), "--");
    const auto accept = std::remove(rest.begin(), end, "--accept-kdf-cost");
    SetAcceptKdfCost(accept != end);
    rest.erase(accept, end);
    return action.Run(rest);
  }
  std::vector<std::string_view> names;
  for (const TVaultAction& action : kActions) names.emplace_back(action.Name);
  const std::string closest = ClosestName(Words.front(), names);
  Fail(kExitUsage,
       "unknown action '" + Words.front() + "'" + (closest.empty() ? "" : "; did you mean '" + closest + "'?"));
}

} // namespace

const TCommand VaultCommand = {
    "vault",
    "  vault create FILE [--force] [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault info FILE [--json]\n"
    "  vault upgrade FILE [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault passwd FILE [--kdf-memory MIB] [--kdf-passes N | --unlock-time S]\n"
    "  vault add FILE --title T [--user U] [--url U] [--note N] [--group G]\n"
    "            [--generate [--length N] [alphabet options]]\n" KLPASS_RECORD_DATA_USAGE
    "  vault list FILE [--group G] [--json]\n"
    "  vault search FILE QUERY... [--case-sensitive] [--json]\n"
    "  vault search FILE TEXT --field title|user|url|note|fields [--exact] [--case-sensitive] [--json]\n"
    "  vault search FILE --field password [--exact] [--json]\n"
    "  vault show FILE RECORD [--group G] [--reveal] [--json] [--field NAME]\n"
    "  vault copy FILE RECORD [--group G] [--field password|user|url|title|note]\n"
    "            [--clear-after SECONDS]\n"
    "  vault edit FILE RECORD [--from-group G] [--title T] [--user U] [--url U]\n"
    "            [--note N] [--group G] [--password | --generate [--length N] [alphabet "
    "options]]\n" KLPASS_RECORD_DATA_USAGE
    "            [--remove-field NAME]... [--untag T]... [--detach NAME]...\n"
    "  vault totp FILE RECORD [--group G] [--time SECONDS]\n"
    "  vault attachment FILE RECORD NAME --out FILE [--group G] [--force]\n"
    "  vault delete FILE RECORD [--group G] [--yes] [--permanently]\n"
    "  vault history FILE RECORD [--group G] [--json]\n"
    "  vault restore FILE RECORD N [--group G]\n"
    "  vault merge TARGET SOURCE [--dry-run]\n"
    "  vault move-group FILE GROUP NEW-PATH\n"
    "  vault audit FILE [--min-score N] [--blocklist COMPILED] [--max-age DAYS] [--json]\n" KLPASS_VAULT_EXCHANGE_USAGE
    "      Keeps password records in an encrypted vault under a master password\n"
    "      (read as a secret). Records are numbered as 'list' shows them, group by\n"
    "      group. RECORD is a record's number or its title; where several records\n"
    "      share the title, --group (for 'edit' --from-group, as --group moves it)\n"
    "      picks among them, and otherwise their numbers are listed and nothing is\n"
    "      shown (exit status 9). 'delete' asks first on a terminal (--yes does not)\n"
    "      and moves the record to the recycle bin; deleting it there, or with\n"
    "      --permanently, removes it and records its deletion (a KDBX file's own\n"
    "      bin, unless the file has it off). Every edit keeps the record's previous\n"
    "      version (10 at most, 6 MiB together): 'history' lists them, oldest\n"
    "      first, and 'restore' brings version N back, keeping the present one.\n"
    "      'merge' takes another copy's changes into TARGET (either may be a\n"
    "      KDBX file): records matched by UUID, the later change wins and the\n"
    "      other version joins the history, the later move and the later\n"
    "      deletion win; the source's password is asked second. 'move-group'\n"
    "      moves a group with its subgroups and records to NEW-PATH, every UUID\n"
    "      kept (a KDBX file's group itself moves).\n"
    "      'copy' puts the password (or --field) on the clipboard through wl-copy,\n"
    "      xclip or xsel (the clipboard API on Windows) and clears it after\n"
    "      --clear-after seconds (default 20; 0 leaves it) if it still holds it.\n"
    "      'audit' lists records whose password is weak (strength score below\n"
    "      --min-score, default 3), reused, on the common-password list or a\n"
    "      compiled --blocklist, older than --max-age days, or missing (exit status\n"
    "      1 when any is found). --json prints one JSON object (see the README).\n"
    "      A record's password is read as a secret unless --generate makes\n"
    "      one. 'search' finds the records of a query (exit status 5 when none):\n"
    "      terms ANDed, -TERM negates, title: user: url: notes: tag: field: name\n"
    "      a field, \"two words\" a phrase; a bare term reads every field but the\n"
    "      password and protected values; case is folded unless --case-sensitive\n"
    "      (put -- before a query starting with '-'). --field looks for one text in\n"
    "      one field; a password to look for is read as a secret. 'show' and\n"
    "      'copy' take a title in another case when one record alone has it;\n"
    "      'show --field NAME' prints that field's bare value (any custom field).\n"
    "      A record also keeps custom fields (--field NAME=VALUE; --field NAME reads\n"
    "      the value as a secret and marks it protected, as are 'otp' and\n"
    "      'KPEX_PASSKEY_*'), tags, an expiry date and attachments (--attach FILE,\n"
    "      up to 16 MiB each, named by the file's name); 'show' lists them, masking\n"
    "      protected values unless --reveal. 'totp' prints the current one-time\n"
    "      password of a record's 'otp' field (an otpauth:// URI) or of the older\n"
    "      'TOTP Seed' and 'TOTP Settings' fields.\n"
    "      Vaults are saved in the authenticated format 3. 'info' shows a vault's\n"
    "      format without its password; 'upgrade' is the only action that opens a\n"
    "      vault of the old formats 1 and 2 (the others refuse it, exit status 4)\n"
    "      and saves it as format 3; 'passwd' changes the master password.\n" KLPASS_KDF_USAGE
        KLPASS_VAULT_EXCHANGE_HELP,
    RunVault};

} // namespace klpass
