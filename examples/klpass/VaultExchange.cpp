#include "VaultExchange.h"

#include <cstdio>
#include <string>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "Arguments.h"
#include "Console.h"
#include "FileLock.h"
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

void LoadVault(kl::TKLPassStorage& Store, const std::string& File, const TSecret& Master) {
  Attempt("cannot open '" + File + "'", [&] { Store.LoadFromFile(Text(File), Master.Get()); });
}

} // namespace

int VaultExport(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--format", true}, {"--out", true}, {"--force"}, {"--spreadsheet-safe"}});
  args.ExpectPositional(1, 1, "vault file");
  const kl::TKLExportOptions options{FormatOption(args, kl::exJson, false), args.Has("--spreadsheet-safe")};
  const std::optional<std::string> out = args.Value("--out");
  if (out) RefuseExisting(*out, args.Has("--force"));
  kl::TKLPassStorage store;
  LoadVault(store, args.Positional().front(), ReadSecret("Master password"));
  std::fprintf(stderr, "klpass vault: warning: the export is not encrypted; it holds every password in clear\n");
  if (out) {
    Attempt("cannot write '" + *out + "'", [&] { kl::ExportPassRecordsToFile(store, Text(*out), options); });
    std::printf("exported %d records to '%s' (%s)\n", store.GetCount(), out->c_str(),
                kl::ExchangeFormatName(options.Format));
  } else {
#ifdef _WIN32
    // The export's bytes as they are: no CR added before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    TStdoutStream stdoutStream;
    Attempt("cannot export", [&] { kl::ExportPassRecords(store, stdoutStream, options); });
    std::fflush(stdout);
  }
  return kExitOk;
}

int VaultImport(const std::vector<std::string>& Words) {
  const TArguments args(Words, {{"--format", true}, {"--group", true}, {"--keep-recycled"}});
  args.ExpectPositional(2, 2, "vault file and source file");
  const std::string& file = args.Positional()[0];
  const std::string& source = args.Positional()[1];
  kl::TKLImportOptions options{FormatOption(args, kl::exAuto, true), {}, args.Has("--keep-recycled")};
  if (const std::optional<std::string> group = args.Value("--group")) {
    if (group->empty() || group->find('/') != std::string::npos) {
      Fail(kExitUsage, "a group name must not be empty or hold '/'");
    }
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
    std::printf("group '%s' is '%s' in the vault, which cannot hold '/' in a group\n", Utf8(from).c_str(),
                Utf8(to).c_str());
  }
  if (report.ExtrasInNote > 0) {
    std::printf(
        "records with data that has no field in the vault (TOTP, custom fields, more URLs), kept in "
        "their note: %d\n",
        report.ExtrasInNote);
  }
  if (report.Recycled > 0) {
    std::printf("deleted entries (in the recycle bin) left out: %d (--keep-recycled imports them)\n",
                report.Recycled);
  }
  if (report.Skipped > 0) std::printf("items of a kind the vault does not keep, skipped: %d\n", report.Skipped);
  return kExitOk;
}

} // namespace klpass
