// Arbitrary bytes as a compiled blocklist file: open (which checks the whole
// structure) and look up a few passwords and hashes. Only the library's
// exceptions may come out; a look-up that leaves the mapping is a fault the
// sanitizer reports.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "rules/KLBlocklist.h"

namespace {

// One scratch file per process, rewritten for every input.
const std::string& ScratchFile() {
  static const std::string name = "/tmp/kl-fuzz-blocklist-" + std::to_string(::getpid()) + ".klbf";
  return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string& name = ScratchFile();
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(Data, 1, Size, file) == Size;
  std::fclose(file);
  if (!written) return 0;
  try {
    const kl::TKLBlocklistFilter filter(kl::String(name.begin(), name.end()));
    (void)filter.Contains(u"password");
    (void)filter.Contains(u" Hunter2 ");
    std::uint8_t digest[kl::kSHA1DigestSize];
    for (std::uint8_t i = 0; i < 64; ++i) {
      for (std::size_t j = 0; j < sizeof(digest); ++j) digest[j] = static_cast<std::uint8_t>(i * 37 + j * 11);
      (void)filter.ContainsSHA1(digest);
    }
  } catch (const kl::Exception&) {
  }
  return 0;
}
