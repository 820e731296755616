#include "VaultExchange.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "Arguments.h"
#include "Console.h"
#include "FileLock.h"
#include "foundation/FileStream.h"
#include "Progress.h"
#include "foundation/Stream.h"
#include "passstorage/KLPassExchange.h"
#include "passstorage/KLPassStorage.h"

namespace klpass {

namespace {

// Standard output as a write-only stream, for an export without --out.
class TStdoutStream : public kl::TStream {
public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* Buffer, std::int32_t Count) override {
    return static_cast<std::int32_t>(std::fwrite(Buffer, 1, static_cast<std::size_t>(Count), stdout));
  }
  std::int64_t Seek(std::int64_t, kl::TSeekOrigin) override { return 0; }
};

kl::TKLExchangeFormat FormatOption(const TArguments& Args, kl::TKLExchangeFormat Default, bool AllowAuto) {
  const std::optional<std::string> name = Args.Value("--format");
  if (!name) return Default;
  kl::TKLExchangeFormat format = Default;
  if (!kl::ExchangeFormatFromName(*name, format) || (format == kl::exAuto && !AllowAuto)) {
    Fail(kExitUsage,
         "unknown format '" + *name + "' (csv, keepassxc-csv, bitwarden-csv, browser-csv, json or bitwarden-json)");
  }
  return format;
}

// What a KDBX file kept beyond its records, the counts that are not zero.
std::string CarriedText(const kl::TKLKdbxCarried& C) {
  const std::pair<int, const char*> items[] = {
      {C.HistoryEntries, "history entries"},       {C.RecycledEntries, "entries of groups in the recycle bin"},
      {C.CustomIcons, "custom icons"},             {C.DeletedObjects, "deleted-object records"},
      {C.CustomData, "custom data items"},         {C.Icons, "entries and groups with their own icon"},
      {C.AutoTypeAssociations, "auto-type associations"}, {C.GroupSettings, "groups with settings or notes"},
      {C.DatabaseSettings, "database settings"}};
  std::string text;
  for (const auto& [count, name] : items) {
    if (count == 0) continue;
    text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
  }
  return text;
}

// Says on standard error what the layout could not carry, item by item.
void WarnDropped(const kl::TKLExportReport& Report) {
  if (Report.DroppedFields + Report.DroppedTags + Report.DroppedExpiries + Report.DroppedAttachments > 0) {
    std::fprintf(stderr,
                 "klpass vault: warning: the layout cannot carry %d custom fields, %d tags, %d expiry dates and %d "
                 "attachments; they were left out\n",
                 Report.DroppedFields, Report.DroppedTags, Report.DroppedExpiries, Report.DroppedAttachments);
  }
  const kl::TKLKdbxCarried& c = Report.DroppedKdbx;
  if (c.Total() > 0) {
    std::fprintf(stderr,
                 "klpass vault: warning: left out of the KDBX file's data: %s\n", CarriedText(c).c_str());
  }
}

void LoadVault(kl::TKLPassStorage& Store, const std::string& File, const TSecret& Master) {
  ApplyKdfCostChoice(Store);
  Attempt("cannot open '" + File + "'", [&] { Store.LoadFromFile(Text(File), Master.Get()); });
}

bool EndsWithKdbx(const std::string& File) {
  return File.size() > 5 && File.compare(File.size() - 5, 5, ".kdbx") == 0;
}

// Every record of Source moves to Target, keeping its group path, and the
// groups Source lists join Target's.
int MoveRecords(kl::TKLPassStorage& Source, kl::TKLPassStorage& Target) {
  Target.PutGroups(Source.GetGroups());
  int moved = 0;
  while (Source.GetCount() > 0) {
    kl::TKLPassRecord* rec = Source.GetRecord(0);
    Source.Delete(rec);
    std::unique_ptr<kl::TKLPassRecord> owned(rec);
    Target.Add(owned.release());
    ++moved;
  }
  return moved;
}

// KeptByVault: the records' histories and the deleted objects went along.
void PrintCarried(const kl::TKLPassStorage& Store, const char* What, bool KeptByVault = false) {
  kl::TKLKdbxCarried c = Store.GetKdbxCarried();
  if (KeptByVault) c.HistoryEntries = c.DeletedObjects = 0;
  if (c.Total() == 0) return;
  std::printf("%s: %s\n", What, CarriedText(c).c_str());
}

int ExportKdbx(const TArguments& Args) {
  const std::optional<std::string> out = Args.Value("--out");
  if (!out) Fail(kExitUsage, "a KDBX export needs --out FILE.kdbx");
  RefuseExisting(*out, Args.Has("--force"));
  kl::TKLPassStorage store;
  LoadVault(store, Args.Positional().front(), ReadSecret("Master password"));
  const TSecret kdbxPassword = ReadSecret("Password of the KDBX file");
  kl::TKLKdbxSettings settings;
  if (const std::optional<std::string> memory = Args.Value("--memory")) {
    settings.MemoryBytes = static_cast<std::uint64_t>(ParseNumber(*memory, 1, 4096, "the memory in MiB")) << 20;
  }
  if (const std::optional<std::string> iterations = Args.Value("--iterations")) {
    settings.Iterations = static_cast<std::uint64_t>(ParseNumber(*iterations, 1, 1 << 20, "the iterations"));
  } else {
    // As KeePassXC sets a new database: about one second on this machine.
    settings.Iterations = kl::KdbxCalibrateIterations(settings, 1000);
  }
  if (const std::optional<std::string> keyFile = Args.Value("--key-file")) {
    Attempt("cannot use the key file '" + *keyFile + "'", [&] { store.SetKeyFile(ReadKeyFile(*keyFile)); });
  }
  Attempt("cannot use these KDF settings", [&] { store.SetKdbxSettings(settings); });
  store.SetSaveFormat(kl::pfKdbx);
  Attempt("cannot write '" + *out + "'", [&] { store.SaveToFile(Text(*out), kdbxPassword.Get()); });
  std::printf("exported %d records to '%s' (KDBX 4, Argon2id, %llu iterations, %llu MiB)\n", store.GetCount(),
              out->c_str(), static_cast<unsigned long long>(settings.Iterations),
              static_cast<unsigned long long>(settings.MemoryBytes >> 20));
  return kExitOk;
}

bool gAcceptKdfCost = false;

} // namespace

void SetAcceptKdfCost(bool Value) noexcept { gAcceptKdfCost = Value; }

void ApplyKdfCostChoice(kl::TKLPassStorage& Store) {
  std::uint64_t limit = kl::KLKdbxDefaultCostLimit;
  if (const char* text = std::getenv("KLPASS_KDF_COST_LIMIT"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    errno = 0;
    limit = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || limit == 0 || *text == '-') {
      Fail(kExitUsage, "KLPASS_KDF_COST_LIMIT must be a positive number of mebibyte-passes");
    }
  }
  Store.SetKdbxCostLimit(gAcceptKdfCost ? kl::KLKdbxNoCostLimit : limit);
}

kl::ByteArray ReadKeyFile(const std::string& File) {
  kl::ByteArray bytes;
  Attempt("cannot read '" + File + "'", [&] {
    kl::TFileStream stream(Text(File), kl::fmOpenRead);
    const std::int64_t size = stream.GetSize();
    if (size > (16 << 20)) Fail(kExitUsage, "the key file '" + File + "' is larger than 16 MiB");
    bytes.resize(static_cast<std::size_t>(size));
    if (size > 0) stream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(size));
  });
  return bytes;
}

int VaultExport(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--format", true}, {"--out", true}, {"--force"}, {"--spreadsheet-safe"},
                                {"--key-file", true}, {"--iterations", true}, {"--memory", true}});
  args.ExpectPositional(1, 1, "vault file");
  if (args.Value("--format") == std::optional<std::string>("kdbx")) return ExportKdbx(args);
  const kl::TKLExportOptions options{FormatOption(args, kl::exJson, false), args.Has("--spreadsheet-safe")};
  const std::optional<std::string> out = args.Value("--out");
  if (out) RefuseExisting(*out, args.Has("--force"));
  kl::TKLPassStorage store;
  LoadVault(store, args.Positional().front(), ReadSecret("Master password"));
  std::fprintf(stderr, "klpass vault: warning: the export is not encrypted; it holds every password in clear\n");
  if (out) {
    const kl::TKLExportReport report =
        Attempt("cannot write '" + *out + "'", [&] { return kl::ExportPassRecordsToFile(store, Text(*out), options); });
    WarnDropped(report);
    std::printf("exported %d records to '%s' (%s)\n", store.GetCount(), out->c_str(),
                kl::ExchangeFormatName(options.Format));
  } else {
#ifdef _WIN32
    // The export's bytes as they are: no CR added before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    TStdoutStream stdoutStream;
    const kl::TKLExportReport report =
        Attempt("cannot export", [&] { return kl::ExportPassRecords(store, stdoutStream, options); });
    std::fflush(stdout);
    WarnDropped(report);
  }
  return kExitOk;
}

int VaultImport(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--format", true}, {"--group", true}, {"--keep-recycled"}, {"--key-file", true}});
  args.ExpectPositional(2, 2, "vault file and source file");
  const std::string& file = args.Positional()[0];
  const std::string& source = args.Positional()[1];
  if (EndsWithKdbx(source) || args.Value("--format") == std::optional<std::string>("kdbx")) {
    const TSecret master = ReadSecret("Master password");
    const TSecret kdbxPassword = ReadSecret("Password of the KDBX file");
    kl::TKLPassStorage from;
    if (const std::optional<std::string> keyFile = args.Value("--key-file")) {
      Attempt("cannot use the key file '" + *keyFile + "'", [&] { from.SetKeyFile(ReadKeyFile(*keyFile)); });
    }
    ApplyKdfCostChoice(from);
    Attempt("cannot open '" + source + "'", [&] { from.LoadFromFile(Text(source), kdbxPassword.Get()); });
    const TFileLock lock(file);
    kl::TKLPassStorage store;
    store.SetRefuseChangedFile(true);
    LoadVault(store, file, master);
    // The file's deleted entries stay behind, as those of KeePassXC's CSV do.
    int recycled = 0;
    if (!args.Has("--keep-recycled") && from.GetRecycleBinEnabled()) {
      for (std::int32_t i = from.GetCount() - 1; i >= 0; --i) {
        std::unique_ptr<kl::TKLPassRecord> rec(from.GetRecord(i));
        if (rec->GetGroup() != from.GetRecycleBinGroup()) {
          rec.release();
          continue;
        }
        from.Delete(rec.get());
        ++recycled;
      }
    }
    const int added = MoveRecords(from, store);
    store.AddDeletedObjects(from.GetDeletedObjects());
    Attempt("cannot save '" + file + "'", [&] { store.SaveToFile(Text(file), master.Get()); });
    std::printf("imported %d records from '%s' (KDBX %u.%u)\n", added, source.c_str(),
                from.GetKdbxLoadedVersion() >> 16, from.GetKdbxLoadedVersion() & 0xFFFF);
    if (recycled > 0) {
      std::printf("deleted entries (in the recycle bin) left out: %d (--keep-recycled imports them)\n", recycled);
    }
    PrintCarried(from, "left behind (the vault does not keep them)", true);
    return kExitOk;
  }
  kl::TKLImportOptions options{FormatOption(args, kl::exAuto, true), {}, args.Has("--keep-recycled")};
  if (const std::optional<std::string> group = args.Value("--group")) {
    if (group->empty() || !kl::IsValidGroupPath(Text(*group))) Fail(kExitUsage, "a group path must not be empty or hold an empty name ('A//B', '/A', 'A/')");
    options.Group = Text(*group);
  }
  const TSecret master = ReadSecret("Master password");
  // Held from before the load to after the save, as every edit of a vault.
  const TFileLock lock(file);
  kl::TKLPassStorage store;
  store.SetRefuseChangedFile(true);
  LoadVault(store, file, master);
  kl::TKLImportReport report;
  try {
    TProgressLine progress("importing '" + source + "'");
    options.Progress = [&](std::int64_t Done, std::int64_t Total) {
      progress.Update(static_cast<std::uint64_t>(Done), static_cast<std::uint64_t>(Total));
    };
    report = kl::ImportPassRecordsFromFile(store, Text(source), options);
  } catch (const kl::EKLPassExchangeError& e) {
    Fail(kExitDamaged, "cannot import '" + source + "': " + e.GetMessage() + "; nothing was imported");
  } catch (const kl::Exception& e) {
    Explain(e, "cannot import '" + source + "'");
  }
  Attempt("cannot save '" + file + "'", [&] { store.SaveToFile(Text(file), master.Get()); });
  std::printf("imported %d records from '%s' (%s)\n", report.Added, source.c_str(),
              kl::ExchangeFormatName(report.Format));
  for (const auto& [group, count] : report.Groups) std::printf("  %s: %d\n", Utf8(group).c_str(), count);
  for (const auto& [from, to] : report.RenamedGroups) {
    std::printf("group '%s' is '%s' in the vault: the path holds an empty name\n", Utf8(from).c_str(),
                Utf8(to).c_str());
  }
  if (report.ExtrasInNote > 0) {
    std::printf(
        "records with data that has no field in the vault (TOTP, custom fields, more URLs), kept in "
        "their note: %d\n",
        report.ExtrasInNote);
  }
  if (report.Recycled > 0) {
    std::printf("deleted entries (in the recycle bin) left out: %d (--keep-recycled imports them)\n", report.Recycled);
  }
  if (report.Skipped > 0) std::printf("items of a kind the vault does not keep, skipped: %d\n", report.Skipped);
  return kExitOk;
}

} // namespace klpass
