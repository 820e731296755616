#include "FileFormat.h"

#include <charconv>
#include <cstdio>

#include "Console.h"

namespace klpass {

namespace {

constexpr double kMaxUnlockSeconds = 600;

double ParseSeconds(const std::string& Text) {
  double value = 0;
  const char* end = Text.data() + Text.size();
  const auto [ptr, error] = std::from_chars(Text.data(), end, value);
  if (Text.empty() || error != std::errc() || ptr != end || !(value > 0) || value > kMaxUnlockSeconds) {
    Fail(kExitUsage, "the unlock time must be a number of seconds above 0 and up to 600, not '" + Text + "'");
  }
  return value;
}

} // namespace

bool HasKdfOptions(const TArguments& Args) {
  for (const TOptionSpec& option : kKdfOptions) {
    if (Args.Has(option.Name)) return true;
  }
  return false;
}

kl::TKLKdfParameters KdfFromOptions(const TArguments& Args, const kl::TKLKdfParameters& Base) {
  if (Args.Has("--unlock-time") && Args.Has("--kdf-passes")) {
    Fail(kExitUsage, "--unlock-time and --kdf-passes exclude each other");
  }
  kl::TKLKdfParameters kdf = Base;
  if (const auto memory = Args.Value("--kdf-memory")) {
    kdf.MemoryKiB = static_cast<std::uint32_t>(ParseNumber(*memory, kl::KLStorageMinKdfMemoryKiB / 1024,
                                                           kl::KLStorageMaxKdfMemoryKiB / 1024,
                                                           "the key derivation memory (MiB)")) *
                    1024;
  }
  if (const auto passes = Args.Value("--kdf-passes")) {
    kdf.Passes = static_cast<std::uint32_t>(ParseNumber(*passes, static_cast<std::int32_t>(kl::KLStorageMinKdfPasses),
                                                        static_cast<std::int32_t>(kl::KLStorageMaxKdfPasses),
                                                        "the key derivation passes"));
  }
  if (const auto seconds = Args.Value("--unlock-time")) {
    const double wanted = ParseSeconds(*seconds);
    kdf = Attempt("cannot measure the key derivation",
                  [&] { return kl::TKLStorage::CalibrateKdf(kdf.MemoryKiB, wanted); });
  }
  try {
    kl::TKLStorage check;
    check.SetKdfParameters(kdf);
  } catch (const kl::EKLStorageException& e) {
    Fail(kExitUsage, e.GetMessage());
  }
  return kdf;
}

std::string DescribeFormat(const kl::TKLStorageFileInfo& Info) {
  std::string text = "version " + std::to_string(Info.Version);
  if (!Info.Encrypted) return text + ", not encrypted";
  if (!Info.Authenticated) return text + " (legacy: PBKDF2, not authenticated; 'upgrade' converts it to version 3)";
  const std::string memory = Info.Kdf.MemoryKiB % 1024 == 0 ? std::to_string(Info.Kdf.MemoryKiB / 1024) + " MiB"
                                                            : std::to_string(Info.Kdf.MemoryKiB) + " KiB";
  return text + " (authenticated), Argon2id " + memory + ", " + std::to_string(Info.Kdf.Passes) +
         (Info.Kdf.Passes == 1 ? " pass" : " passes");
}

void PrintFileInfo(const std::string& File) {
  const kl::TKLStorageFileInfo info =
      Attempt("cannot read '" + File + "'", [&] { return kl::TKLStorage::ReadFileInfo(Text(File)); });
  std::printf("%s: %s\n", File.c_str(), DescribeFormat(info).c_str());
}

} // namespace klpass
