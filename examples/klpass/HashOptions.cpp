#include "HashOptions.h"

#include "Console.h"

namespace klpass {

kl::TKLPasswordHashParameters ReadHashOptions(const TArguments& Args) {
  kl::TKLPasswordHashParameters parameters;
  constexpr std::int32_t maxMiB = static_cast<std::int32_t>(kl::TKLPasswordHashParameters{}.MaxMemoryKiB / 1024);
  if (const auto memory = Args.Value("--hash-memory")) {
    parameters.MemoryKiB = static_cast<std::uint32_t>(ParseNumber(*memory, 1, maxMiB, "--hash-memory")) * 1024;
  }
  if (const auto passes = Args.Value("--hash-passes")) {
    parameters.Passes = static_cast<std::uint32_t>(
        ParseNumber(*passes, 1, static_cast<std::int32_t>(parameters.MaxPasses), "--hash-passes"));
  }
  return parameters;
}

std::string DescribeHash(const kl::String& Hash) {
  const kl::TKLPasswordHashInfo info = kl::DescribePasswordHash(Hash);
  return Utf8(info.Algorithm) + ", " + std::to_string(info.MemoryKiB) + " KiB, " + std::to_string(info.Passes) +
         (info.Passes == 1 ? " pass, " : " passes, ") + std::to_string(info.Lanes) +
         (info.Lanes == 1 ? " lane" : " lanes");
}

} // namespace klpass
