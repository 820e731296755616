#include <cstdio>
#include <filesystem>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "Progress.h"

#include "rules/KLBlocklist.h"

namespace klpass {

namespace {

kl::TKLBlocklistFormat ParseFormat(const std::string& Name) {
  if (Name == "detect") return kl::TKLBlocklistFormat::bfDetect;
  if (Name == "passwords") return kl::TKLBlocklistFormat::bfPasswords;
  if (Name == "sha1") return kl::TKLBlocklistFormat::bfSHA1Hashes;
  Fail(kExitUsage, "unknown list format '" + Name + "' (detect, passwords or sha1)");
}

int RunCompile(const TArguments& Args) {
  Args.ExpectPositional(3, 3, "compile LIST OUT");
  const std::string& list = Args.Positional()[1];
  const std::string& out = Args.Positional()[2];
  RefuseExisting(out, Args.Has("--force"));
  const kl::TKLBlocklistFormat format = ParseFormat(Args.Value("--format").value_or("detect"));
  kl::TKLBlocklistCompiler compiler;
  // Work files beside the output, where the space for it is.
  compiler.SetWorkFolder(std::filesystem::absolute(out).parent_path().u16string());
  TProgressLine progress("compiling '" + list + "'");
  compiler.SetProgress([&](kl::TKLBlocklistCompiler::TStage Stage, std::uint64_t Done, std::uint64_t Total) {
    progress.Update(Done, Total, Stage == kl::TKLBlocklistCompiler::bsReading ? "reading" : "writing");
  });
  Attempt("cannot read the list '" + list + "'", [&] { compiler.AddListFile(Text(list), format); });
  const std::uint64_t entries = compiler.GetCount();
  Attempt("cannot write '" + out + "'", [&] { compiler.SaveToFile(Text(out)); });
  compiler.SetProgress({});
  const std::uint64_t distinct =
      Attempt("cannot read back '" + out + "'", [&] { return kl::TKLBlocklistFilter(Text(out)).GetCount(); });
  std::error_code error;
  const auto bytes = std::filesystem::file_size(out, error);
  std::printf("%llu entries (%llu distinct) compiled into '%s', %llu bytes\n",
              static_cast<unsigned long long>(entries), static_cast<unsigned long long>(distinct),
              out.c_str(), static_cast<unsigned long long>(error ? 0 : bytes));
  return kExitOk;
}

int RunBlocklist(const TCommandWords& Words) {
  const TArguments args(Words, {{"--format", true}, {"--force"}});
  if (args.Positional().empty() || args.Positional()[0] != "compile") {
    Fail(kExitUsage, "expected 'compile LIST OUT'");
  }
  return RunCompile(args);
}

} // namespace

const TCommand BlocklistCommand = {"blocklist",
                                   "  blocklist compile [--format detect|passwords|sha1] [--force] LIST OUT\n"
                                   "      Compiles a list into a compact file for 'check --blocklist': one\n"
                                   "      password a line, or one SHA-1 hash a line (HASH or HASH:COUNT, as\n"
                                   "      breached-password services publish them); detect (the default) looks\n"
                                   "      at the first line. About 2.3 bytes an entry; a password not on the\n"
                                   "      list is taken for one with probability 1 in 65,536.\n",
                                   RunBlocklist};

} // namespace klpass
