#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "storage/StorageTable.h"

namespace kl {
namespace {

// The hash of one key as this process computes it, printed for the test
// below when it runs this program again.
TEST(StorageTable, DISABLED_PrintsTheHashOfAFixedKey) {
  const std::uint8_t key[] = "site/password";
  std::printf("hash=%08x\n", detail::HashKeyBytes(key, sizeof(key) - 1));
}

std::string HashInAFreshProcess() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  const std::string command = "'" + std::string(self) +
                              "' --gtest_also_run_disabled_tests"
                              " --gtest_filter=StorageTable.DISABLED_PrintsTheHashOfAFixedKey";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string hash;
  char line[512];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    if (std::strncmp(line, "hash=", 5) == 0) hash = line + 5;
  }
  ::pclose(pipe);
  return hash;
}

// Keys are hashed under a secret of the process: the same key hashes apart in
// separate runs, so no file can be made whose keys all collide.
TEST(StorageTable, TheKeyHashDiffersFromProcessToProcess) {
  std::set<std::string> hashes;
  for (int run = 0; run < 3; ++run) {
    const std::string hash = HashInAFreshProcess();
    ASSERT_FALSE(hash.empty());
    hashes.insert(hash);
  }
  EXPECT_EQ(hashes.size(), 3u);
}

} // namespace
} // namespace kl
