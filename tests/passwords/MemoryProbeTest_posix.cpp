#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/KLAES.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"
#include "passwords/KeyStoreFixture.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"
#include "support/TestSupport.h"

// After every path that handles a secret has run and every object is gone,
// the process's writable memory (heap, stacks, anonymous mappings, data) must
// hold neither the secrets nor anything derived from them that would stand in
// for them: password bytes in both encodings, the HMAC states of PBKDF2 (from
// which PBKDF2 can be recomputed for any salt), derived keys and every AES
// round key of their schedules.

namespace kl {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // the sanitizer's quarantine keeps freed blocks as they were
#else
constexpr bool kSanitized = false;
#endif

// The needles live in one mapping of their own, which the scan leaves out.
class TNeedles {
public:
  static constexpr std::size_t kCapacity = 1 << 16;

  TNeedles() {
    void* base = ::mmap(nullptr, kCapacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    FBase = base == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(base);
  }
  ~TNeedles() {
    if (FBase == nullptr) return;
    SecureZero(FBase, kCapacity);
    ::munmap(FBase, kCapacity);
  }
  TNeedles(const TNeedles&) = delete;
  TNeedles& operator=(const TNeedles&) = delete;

  bool Ready() const noexcept { return FBase != nullptr; }

  // Needles shorter than 16 bytes could match by chance.
  void Add(const std::string& Name, const void* Data, std::size_t Size) {
    ASSERT_GE(Size, 16u) << Name;
    ASSERT_LE(FUsed + Size, kCapacity);
    std::memcpy(FBase + FUsed, Data, Size);
    FList.push_back({Name, FUsed, Size});
    FUsed += Size;
  }

  // The names of the needles found, each with the mapping it was found in.
  std::vector<std::string> Scan() const {
    std::array<std::uint64_t, 1024> filter{}; // a bit per 16-bit hash of a needle's first 8 bytes
    for (const TNeedle& n : FList) SetBit(filter, Hash(FBase + n.Offset));
    std::vector<std::string> lines;
    {
      std::ifstream maps("/proc/self/maps");
      for (std::string line; std::getline(maps, line);) lines.push_back(line);
    }
    std::vector<std::string> found;
    for (const std::string& line : lines) {
      std::uintptr_t start = 0, end = 0;
      char perms[5] = {};
      if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3) continue;
      if (perms[0] != 'r' || perms[1] != 'w') continue;
      if (line.find("[vvar") != std::string::npos || line.find("[vsyscall]") != std::string::npos) continue;
      const auto base = reinterpret_cast<std::uintptr_t>(FBase);
      if (start < base + kCapacity && base < end) continue;
      const auto* p = reinterpret_cast<const std::uint8_t*>(start);
      const std::size_t size = end - start;
      for (std::size_t i = 0; i + 8 <= size; ++i) {
        if (!TestBit(filter, Hash(p + i))) continue;
        for (const TNeedle& n : FList) {
          if (i + n.Size <= size && std::memcmp(p + i, FBase + n.Offset, n.Size) == 0) {
            found.push_back(n.Name + " in " + line);
          }
        }
      }
    }
    return found;
  }

private:
  struct TNeedle {
    std::string Name;
    std::size_t Offset, Size;
  };

  static std::uint32_t Hash(const std::uint8_t* P) {
    std::uint64_t v;
    std::memcpy(&v, P, 8);
    return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> 48);
  }
  static void SetBit(std::array<std::uint64_t, 1024>& F, std::uint32_t H) { F[H >> 6] |= std::uint64_t{1} << (H & 63); }
  static bool TestBit(const std::array<std::uint64_t, 1024>& F, std::uint32_t H) { return (F[H >> 6] >> (H & 63)) & 1; }

  std::uint8_t* FBase = nullptr;
  std::size_t FUsed = 0;
  std::vector<TNeedle> FList;
};

// Runs Work on a thread whose stack is a mapping of its own, wiped and
// released afterwards: the test's own handling of the needles (expanding keys,
// hashing pads) must leave nothing for the scan to find.
void OnScratchThread(const std::function<void()>& Work) {
  constexpr std::size_t kStack = 1 << 20;
  void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(stack, MAP_FAILED);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, kStack);
  pthread_t thread;
  auto run = [](void* Argument) -> void* {
    (*static_cast<const std::function<void()>*>(Argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&Work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  SecureZero(stack, kStack);
  ::munmap(stack, kStack);
}

void AddText(TNeedles& N, const std::string& Name, const String& Text) {
  N.Add(Name + " (UTF-16)", Text.data(), Text.size() * sizeof(Char));
  RawByteString utf8 = StrToUTF8(Text);
  N.Add(Name + " (UTF-8)", utf8.data(), utf8.size());
  WipeRawBytes(utf8);
}

// The two chaining values HMAC-SHA-256 keeps for Key: in the order of the
// state words and in the lane order the SHA extensions keep them in.
void AddHMACStates(TNeedles& N, const std::string& Name, const std::uint8_t* Key, std::size_t Size) {
  std::uint8_t block[SHA256BlockSize] = {};
  std::memcpy(block, Key, Size); // every key here is shorter than a block
  for (const int pad : {0x36, 0x5C}) {
    std::uint8_t padded[SHA256BlockSize];
    for (std::size_t i = 0; i < SHA256BlockSize; ++i) padded[i] = static_cast<std::uint8_t>(block[i] ^ pad);
    TSHA256Context context;
    SHA256Initialize(context);
    SHA256Update(context, padded, SHA256BlockSize);
    const std::uint32_t words[8] = {context.A, context.B, context.C, context.D,
                                    context.E, context.F, context.G, context.H};
    const std::uint32_t lanes[8] = {context.F, context.E, context.B, context.A,
                                    context.H, context.G, context.D, context.C};
    const std::string which = Name + (pad == 0x36 ? " inner" : " outer");
    N.Add(which + " HMAC state", words, sizeof(words));
    N.Add(which + " HMAC state ABEF", lanes, 16);
    N.Add(which + " HMAC state CDGH", lanes + 4, 16);
    SecureZeroObject(context);
    SecureZeroObject(padded);
  }
  SecureZeroObject(block);
}

// A 32-byte key and every round key of both its schedules.
void AddAESKey(TNeedles& N, const std::string& Name, const std::uint8_t* Key) {
  N.Add(Name, Key, AESKeySize);
  for (const bool decrypt : {false, true}) {
    TAESExpandedKey256 schedule;
    AESInitialize(Key, schedule, decrypt);
    for (int round = 2; round <= 14; ++round) {
      N.Add(Name + (decrypt ? " decryption" : " encryption") + " round key " + std::to_string(round),
            schedule.data() + 4 * round, 16);
    }
    SecureZeroObject(schedule);
  }
}

// The password key and the content key of an encrypted storage file.
void AddStorageKeys(TNeedles& N, const std::string& Name, const std::string& File, const String& Password) {
  RawByteString bytes = test::ReadFileBytes(File);
  ASSERT_GE(bytes.size(), KLStorageHeaderSize + KLStorageCryptoHeaderSize);
  const auto* header = reinterpret_cast<const std::uint8_t*>(bytes.data()) + KLStorageHeaderSize;
  SecureBytes derived(Derive(Password, ByteArray(header, header + 64), KLStorageKeyIterations, 48));
  N.Add(Name + " derived key and vector", derived.data(), derived.size());
  AddAESKey(N, Name + " password key", derived.data());
  TAESExpandedKey256 schedule;
  AESInitialize(derived.data(), schedule, true);
  std::uint8_t contentKey[AESKeySize];
  AESDecrypt(header + 64, schedule, contentKey);
  AESDecrypt(header + 80, schedule, contentKey + 16);
  AddAESKey(N, Name + " content key", contentKey);
  SecureZeroObject(schedule);
  SecureZeroObject(contentKey);
  WipeRawBytes(bytes);
}

// A password of Length random letters, long enough to live on the heap.
String RandomText(TKLFastRandomGenerator& Random, std::size_t Length) {
  std::vector<std::uint8_t> bytes(Length);
  Random.Generate(bytes.data(), static_cast<std::int32_t>(Length));
  String text(Length, u' ');
  for (std::size_t i = 0; i < Length; ++i) text[i] = static_cast<Char>(u'a' + bytes[i] % 26);
  SecureZero(bytes.data(), bytes.size());
  return text;
}

class MemoryProbeTest : public test::KeyStoreTest {};

TEST_F(MemoryProbeTest, NoSecretOrDerivedKeyOutlivesTheObjectsThatUsedIt) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer keeps freed memory unwiped in its quarantine";
  TNeedles needles;
  ASSERT_TRUE(needles.Ready());
  TKLFastRandomGenerator random;
  String storagePassword = RandomText(random, 24), vaultPassword = RandomText(random, 25),
         userPassword = RandomText(random, 26), masterKey = RandomText(random, 27),
         protectedText = RandomText(random, 28), derived;
  const String storageFile = FTemp.FileU("probe.kls"), vaultFile = FTemp.FileU("probe.klv"),
               databaseFile = FTemp.FileU("probe.txt"), protectedFile = FTemp.FileU("probe.bin");

  // Each path, its objects gone at the end of its block.
  {
    TKLStorage storage;
    storage.PutString(u"note", u"kept", false);
    storage.SaveToFile(storageFile, storagePassword);
    TKLStorage loaded;
    loaded.LoadFromFile(storageFile, storagePassword);
  }
  {
    TKLPassStorage vault;
    vault.Add(u"title", u"user", u"record password", u"url", u"note", u"General");
    vault.SaveToFile(vaultFile, vaultPassword);
    TKLPassStorage loaded;
    loaded.LoadFromFile(vaultFile, vaultPassword);
  }
  {
    TKLTextPasswordDatabase database;
    database.CreateNew(databaseFile);
    database.AddUser(u"someone", userPassword, false);
    EXPECT_TRUE(database.Verify(u"someone", userPassword));
    database.Save();
    TKLTextPasswordDatabase reopened;
    reopened.Open(databaseFile);
    EXPECT_TRUE(reopened.Verify(u"someone", userPassword));
    reopened.SetSaveOnDestroy(false);
  }
  {
    TKLPasswordGenerator generator;
    derived = generator.Generate(masterKey, u"example.org", 32);
  }
  {
    TKLPassword password(protectedText);
    password.SaveToFile(protectedFile);
    TKLPassword loaded;
    loaded.LoadFromFile(protectedFile);
    EXPECT_EQ(loaded.GetValue().size(), protectedText.size());
  }

  OnScratchThread([&] {
    AddText(needles, "storage password", storagePassword);
    AddText(needles, "vault password", vaultPassword);
    AddText(needles, "user password", userPassword);
    AddText(needles, "master key", masterKey);
    AddText(needles, "protected password", protectedText);
    AddText(needles, "derived password", derived);
    for (const auto& [name, text] :
         {std::pair{"storage password", &storagePassword}, std::pair{"vault password", &vaultPassword},
          std::pair{"master key", &masterKey}}) {
      RawByteString utf8 = StrToUTF8(*text);
      AddHMACStates(needles, name, reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
      WipeRawBytes(utf8);
    }
    AddStorageKeys(needles, "storage", test::Narrow(storageFile), storagePassword);
    AddStorageKeys(needles, "vault", test::Narrow(vaultFile), vaultPassword);
    // Read straight into a buffer that is wiped: a stream's copies would not be.
    std::uint8_t userKey[32];
    const int file = ::open(KeyFile().c_str(), O_RDONLY);
    ASSERT_EQ(::read(file, userKey, sizeof(userKey)), 32);
    ::close(file);
    AddAESKey(needles, "user key", userKey);
    AddHMACStates(needles, "user key", userKey, sizeof(userKey));
    SecureZeroObject(userKey);
  });
  for (String* text : {&storagePassword, &vaultPassword, &userPassword, &masterKey, &protectedText, &derived}) {
    WipeString(*text);
  }

  const std::vector<std::string> found = needles.Scan();
  for (const std::string& where : found) ADD_FAILURE() << where;
  EXPECT_TRUE(found.empty());
}

} // namespace
} // namespace kl
