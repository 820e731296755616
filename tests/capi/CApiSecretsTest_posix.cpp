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

// Secrets the C interface takes in leave nothing behind either: once a call
// returns (and the handle that held the secret is destroyed), no copy of it,
// as UTF-8 or as the library's UTF-16, is left in the process's writable
// memory. The caller's own copy lives in the scratch mapping the scan leaves
// out. A piece from byte 24 on is searched, so that a copy in a freed block
// (whose first 16 bytes the allocator reuses) is found too.
TEST_F(CApiSecretsWithKeys, SecretsTakenInLeaveNoCopy) {
#if KL_SANITIZED
  GTEST_SKIP() << "the scan would read the sanitizer's terabytes of shadow mappings";
#endif
  {
    TScratch warmUp;
    ASSERT_TRUE(warmUp.Ok());
    warmUp.Needle()[0] = '\x01';
    MemoryHolds(warmUp, 1);
  }
  const std::string folder = FTemp.File("");
  char hash[KLP_HASH_MAX_BYTES];
  std::size_t hashLen = sizeof hash;
  ASSERT_EQ(klp_hash_password("another password", 8, 1, hash, &hashLen), KLP_OK);
  struct TConsumer {
    const char* Name;
    std::function<void(const char*)> Use;
  };
  const TConsumer consumers[] = {
      {"hash",
       [&](const char* S) {
         char out[KLP_HASH_MAX_BYTES];
         std::size_t n = sizeof out;
         EXPECT_EQ(klp_hash_password(S, 8, 1, out, &n), KLP_OK);
       }},
      {"verify", [&](const char* S) { EXPECT_EQ(klp_verify_password(hash, S), KLP_NO_MATCH); }},
      {"users add, verify and change",
       [&](const char* S) {
         klp_users_t* users = nullptr;
         ASSERT_EQ(klp_users_init(&users, KLP_USERS_TEXT, nullptr), KLP_OK);
         ASSERT_EQ(klp_users_set_hash_cost(users, 8, 1), KLP_OK);
         ASSERT_EQ(klp_users_create(users, (folder + "users.txt").c_str()), KLP_OK);
         EXPECT_EQ(klp_users_add(users, "alice", S, nullptr), KLP_OK);
         EXPECT_EQ(klp_users_verify(users, "alice", S), KLP_OK);
         EXPECT_EQ(klp_users_change(users, "alice", S), KLP_OK);
         EXPECT_EQ(klp_users_save(users), KLP_OK);
         klp_users_destroy(users);
       }},
      {"users master password",
       [&](const char* S) {
         klp_users_t* users = nullptr;
         ASSERT_EQ(klp_users_init(&users, KLP_USERS_ENCRYPTED, S), KLP_OK);
         ASSERT_EQ(klp_users_set_file_cost(users, 8192, 1), KLP_OK);
         EXPECT_EQ(klp_users_create(users, (folder + "users.db").c_str()), KLP_OK);
         klp_users_destroy(users);
       }},
      {"vault master and record password",
       [&](const char* S) {
         klp_vault_t* vault = nullptr;
         ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
         ASSERT_EQ(klp_vault_set_file_cost(vault, 8192, 1), KLP_OK);
         EXPECT_EQ(klp_vault_create(vault, (folder + "v.klv").c_str(), S), KLP_OK);
         EXPECT_EQ(klp_vault_add(vault, "t", nullptr, S, nullptr, nullptr, nullptr, nullptr), KLP_OK);
         EXPECT_EQ(klp_vault_save(vault), KLP_OK);
         klp_vault_destroy(vault);
       }},
      {"strength estimate",
       [&](const char* S) {
         klp_strength_t* strength = nullptr;
         ASSERT_EQ(klp_strength_estimate(S, nullptr, 0, &strength), KLP_OK);
         klp_strength_destroy(strength);
       }},
      {"policy check with its estimate",
       [&](const char* S) {
         klp_policy_t* policy = nullptr;
         ASSERT_EQ(klp_policy_init_nist(&policy, 0, 64, 3, nullptr, 0), KLP_OK);
         klp_check_result_t* result = nullptr;
         ASSERT_EQ(klp_policy_check(policy, S, &result), KLP_OK);
         klp_check_result_destroy(result);
         klp_policy_destroy(policy);
       }},
      {"derive from a master key",
       [&](const char* S) {
         klp_generator_t* generator = nullptr;
         ASSERT_EQ(klp_generator_init(&generator), KLP_OK);
         char* derived = nullptr;
         ASSERT_EQ(klp_generator_derive(generator, S, "example.com", 20, &derived), KLP_OK);
         klp_secret_free(derived);
         klp_generator_destroy(generator);
       }},
      {"protect",
       [&](const char* S) {
         std::uint8_t blob[1024];
         std::size_t n = sizeof blob;
         EXPECT_EQ(klp_protect(S, KLP_PROTECT_USER, blob, &n), KLP_OK);
         EXPECT_EQ(klp_protect_file((folder + "p.bin").c_str(), S, KLP_PROTECT_USER), KLP_OK);
       }},
  };
  constexpr std::size_t kLength = 64, kFrom = 24, kPiece = 32;
  std::size_t round = 0;
  for (const TConsumer& consumer : consumers) {
    SCOPED_TRACE(consumer.Name);
    ++round; // a secret of its own for each, so that one left behind is blamed on its consumer
    TScratch scratch;
    ASSERT_TRUE(scratch.Ok());
    // The secret, then its UTF-16 form, then the caller's NUL-terminated copy.
    char* needle = scratch.Needle();
    for (std::size_t i = 0; i < kLength; ++i) needle[i] = static_cast<char>('a' + (i * 11 + round * 7) % 26);
    char* wide = needle + kLength;
    for (std::size_t i = 0; i < kLength; ++i) {
      wide[2 * i] = needle[i];
      wide[2 * i + 1] = '\0';
    }
    char* input = wide + 2 * kLength;
    std::memcpy(input, needle, kLength);
    input[kLength] = '\0';
    consumer.Use(input);
    // Each form searched in turn: the piece moved to the start of the needle page.
    std::memmove(needle, needle + kFrom, kPiece);
    EXPECT_FALSE(MemoryHolds(scratch, kPiece)) << "a UTF-8 copy is left";
    std::memmove(needle, wide + 2 * kFrom, 2 * kPiece);
    EXPECT_FALSE(MemoryHolds(scratch, 2 * kPiece)) << "a UTF-16 copy is left";
  }
}
