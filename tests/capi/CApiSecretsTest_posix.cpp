// Secrets the C interface hands out leave nothing behind once freed: after
// klp_secret_free, the process's writable memory holds no UTF-8 copy of them
// (the handed-out block, or the conversion made on the way). A C program
// cannot see freed memory, so this reads the process's own memory through
// /proc/self/mem, leaving out the one mapping that holds the needle and the
// scan's buffer. One scan runs before any secret exists, so that every function
// the scan calls is bound by then: a lazy binding's resolver saves the vector
// registers, which may hold the needle, to the stack.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "capi/klpassword.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"
#include "passwords/KeyStoreFixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KL_SANITIZED 1
#endif
#endif
#ifndef KL_SANITIZED
#define KL_SANITIZED 0
#endif

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// A freed block keeps all but its first 16 bytes, which the allocator reuses
// for its own links: the needle is the secret from byte 16 on.
constexpr std::size_t kSkipped = 16;

class TScratch {
public:
  TScratch() {
    FBase = static_cast<char*>(
        ::mmap(nullptr, kPage + kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~TScratch() {
    if (FBase != MAP_FAILED) ::munmap(FBase, kPage + kBufferSize);
  }
  bool Ok() const { return FBase != MAP_FAILED; }
  char* Needle() const { return FBase; }
  char* Buffer() const { return FBase + kPage; }
  bool Holds(std::uintptr_t Address) const {
    const auto base = reinterpret_cast<std::uintptr_t>(FBase);
    return Address >= base && Address < base + kPage + kBufferSize;
  }

private:
  char* FBase;
};

// Whether any writable mapping but the scratch holds Size bytes at Needle.
bool MemoryHolds(const TScratch& Scratch, std::size_t Size) {
  std::ifstream maps("/proc/self/maps");
  const int mem = ::open("/proc/self/mem", O_RDONLY);
  if (mem < 0) return false;
  std::string line;
  bool found = false;
  while (!found && std::getline(maps, line)) {
    std::uintptr_t start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || Scratch.Holds(start)) continue;
    if (line.find("[vvar]") != std::string::npos || line.find("[vsyscall]") != std::string::npos) continue;
    // Chunks overlap by the needle's size, so a copy across two is found.
    for (std::uintptr_t at = start; !found && at < end; at += kBufferSize - Size) {
      const std::size_t want = std::min<std::uintptr_t>(kBufferSize, end - at);
      const ssize_t got = ::pread(mem, Scratch.Buffer(), want, static_cast<off_t>(at));
      if (got <= 0) break;
      const char* hit =
          std::search(Scratch.Buffer(), Scratch.Buffer() + got, Scratch.Needle(), Scratch.Needle() + Size);
      found = hit != Scratch.Buffer() + got;
      if (static_cast<std::size_t>(got) < want) break;
    }
  }
  ::close(mem);
  return found;
}

struct TProducer {
  const char* Name;
  std::function<int(char**)> Make;
};

TEST(CApiSecrets, FreedSecretsLeaveNoCopyInMemory) {
#if KL_SANITIZED
  GTEST_SKIP() << "the scan would read the sanitizer's terabytes of shadow mappings";
#endif
  {
    TScratch warmUp;
    ASSERT_TRUE(warmUp.Ok());
    warmUp.Needle()[0] = '\x01';
    MemoryHolds(warmUp, 1);
  }
  klp_generator_t* generator = nullptr;
  ASSERT_EQ(klp_generator_init(&generator), KLP_OK);
  const TProducer producers[] = {
      {"generated", [&](char** Out) { return klp_generator_generate(generator, 48, 48, Out); }},
      {"derived", [&](char** Out) { return klp_generator_derive(generator, "master", "example.com", 48, Out); }},
      {"passphrase", [&](char** Out) { return klp_generator_passphrase(generator, 8, Out); }},
  };
  for (const TProducer& producer : producers) {
    SCOPED_TRACE(producer.Name);
    TScratch scratch;
    ASSERT_TRUE(scratch.Ok());
    char* secret = nullptr;
    ASSERT_EQ(producer.Make(&secret), KLP_OK);
    const std::size_t size = std::strlen(secret) - kSkipped;
    std::memcpy(scratch.Needle(), secret + kSkipped, size);
    ASSERT_TRUE(MemoryHolds(scratch, size)) << "the scan does not see the live secret";
    klp_secret_free(secret);
    EXPECT_FALSE(MemoryHolds(scratch, size));
  }
  klp_generator_destroy(generator);
}

class CApiSecretsWithKeys : public kl::test::KeyStoreTest {};

// A secret may hold U+0000 (a value protected through the C++ interface): the
// whole of it is wiped, the part after the NUL too.
TEST_F(CApiSecretsWithKeys, FreedSecretHoldingNulLeavesNoTail) {
#if KL_SANITIZED
  GTEST_SKIP() << "the scan would read the sanitizer's terabytes of shadow mappings";
#endif
  {
    TScratch warmUp;
    ASSERT_TRUE(warmUp.Ok());
    warmUp.Needle()[0] = '\x01';
    MemoryHolds(warmUp, 1);
  }
  TScratch scratch;
  ASSERT_TRUE(scratch.Ok());
  // The tail is made in the scratch and widened to UTF-16 one unit at a time,
  // so that no UTF-8 copy of it exists but the one the C interface hands out.
  constexpr std::size_t kTail = 40;
  // The head outlasts the allocator's links (kSkipped), so that a tail left
  // behind is found whole.
  kl::String value = u"head-of-the-secret";
  value.push_back(u'\0');
  for (std::size_t i = 0; i < kTail; ++i) {
    scratch.Needle()[i] = static_cast<char>('A' + (i * 7 + 3) % 26);
    value.push_back(static_cast<char16_t>(scratch.Needle()[i]));
  }
  const std::string file = FTemp.File("nul.bin");
  kl::TKLPassword(value).SaveToFile(kl::String(file.begin(), file.end()));
  kl::WipeString(value);
  char* secret = nullptr;
  ASSERT_EQ(klp_unprotect_file(file.c_str(), &secret), KLP_OK);
  ASSERT_STREQ(secret, "head-of-the-secret");
  ASSERT_EQ(std::memcmp(secret + 19, scratch.Needle(), kTail), 0);
  ASSERT_TRUE(MemoryHolds(scratch, kTail)) << "the scan does not see the live secret";
  klp_secret_free(secret);
  EXPECT_FALSE(MemoryHolds(scratch, kTail));
}

} // namespace
