#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/Argon2id.h"
#include "crypto/KLAES.h"
#include "crypto/KLHKDF.h"
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
#include "storage/StorageFormat.h"
#include "support/TestSupport.h"

// After every path that handles a secret has run and every object is gone,
// the process's writable memory (heap, stacks, anonymous mappings, data) must
// hold neither the secrets nor anything derived from them that would stand in
// for them: password bytes in both encodings, the HMAC states of PBKDF2 (from
// which PBKDF2 can be recomputed for any salt), the Argon2id output of
// encrypted files (from which every file key follows), derived keys and every
// AES round key of their schedules.

namespace kl {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // the sanitizer's quarantine keeps freed blocks as they were
#else
constexpr bool kSanitized = false;
#endif

// The needles live in one shared mapping of their own, which the scan leaves
// out. A child process computes them into it (see the test), so that nothing
// of that computation lands in this process's memory.
class TNeedles {
public:
  TNeedles() {
    void* base = ::mmap(nullptr, sizeof(TTable), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    FTable = base == MAP_FAILED ? nullptr : static_cast<TTable*>(base);
  }
  ~TNeedles() {
    if (FTable == nullptr) return;
    SecureZero(FTable, sizeof(TTable));
    ::munmap(FTable, sizeof(TTable));
  }
  TNeedles(const TNeedles&) = delete;
  TNeedles& operator=(const TNeedles&) = delete;

  bool Ready() const noexcept { return FTable != nullptr; }
  std::size_t Count() const noexcept { return FTable->Count; }

  // Needles shorter than 16 bytes could match by chance; a needle that does
  // not fit ends the child that computes them with a failure.
  void Add(const std::string& Name, const void* Data, std::size_t Size) {
    TEntry& entry = FTable->Entries[FTable->Count];
    if (Size < 16 || FTable->Count == kMaxNeedles || FTable->Used + Size > kDataSize) ::_exit(2);
    std::snprintf(entry.Name, sizeof(entry.Name), "%s", Name.c_str());
    entry.Offset = FTable->Used;
    entry.Size = Size;
    std::memcpy(FTable->Data + FTable->Used, Data, Size);
    FTable->Used += Size;
    ++FTable->Count;
  }

  // The names of the needles found, each with the mapping it was found in.
  std::vector<std::string> Scan() const {
    std::array<std::uint64_t, 1024> filter{}; // a bit per 16-bit hash of a needle's first 8 bytes
    for (std::size_t n = 0; n < FTable->Count; ++n) SetBit(filter, Hash(NeedleData(n)));
    std::vector<std::string> lines;
    {
      std::ifstream maps("/proc/self/maps");
      for (std::string line; std::getline(maps, line);) lines.push_back(line);
    }
    std::vector<std::string> found;
    const auto table = reinterpret_cast<std::uintptr_t>(FTable);
    for (const std::string& line : lines) {
      std::uintptr_t start = 0, end = 0;
      char perms[5] = {};
      if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3) continue;
      if (perms[0] != 'r' || perms[1] != 'w') continue;
      if (line.find("[vvar") != std::string::npos || line.find("[vsyscall]") != std::string::npos) continue;
      if (start < table + sizeof(TTable) && table < end) continue;
      const auto* p = reinterpret_cast<const std::uint8_t*>(start);
      const std::size_t size = end - start;
      for (std::size_t i = 0; i + 8 <= size; ++i) {
        if (!TestBit(filter, Hash(p + i))) continue;
        for (std::size_t n = 0; n < FTable->Count; ++n) {
          const TEntry& entry = FTable->Entries[n];
          if (i + entry.Size <= size && std::memcmp(p + i, NeedleData(n), entry.Size) == 0) {
            found.push_back(std::string(entry.Name) + " in " + line);
          }
        }
      }
    }
    return found;
  }

private:
  static constexpr std::size_t kMaxNeedles = 1024;
  static constexpr std::size_t kDataSize = 1 << 17;
  struct TEntry {
    char Name[88];
    std::size_t Offset, Size;
  };
  struct TTable {
    std::size_t Count, Used;
    TEntry Entries[kMaxNeedles];
    std::uint8_t Data[kDataSize];
  };

  const std::uint8_t* NeedleData(std::size_t N) const noexcept { return FTable->Data + FTable->Entries[N].Offset; }
  static std::uint32_t Hash(const std::uint8_t* P) {
    std::uint64_t v;
    std::memcpy(&v, P, 8);
    return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> 48);
  }
  static void SetBit(std::array<std::uint64_t, 1024>& F, std::uint32_t H) { F[H >> 6] |= std::uint64_t{1} << (H & 63); }
  static bool TestBit(const std::array<std::uint64_t, 1024>& F, std::uint32_t H) { return (F[H >> 6] >> (H & 63)) & 1; }

  TTable* FTable = nullptr;
};

// A thread that runs Work on a stack of its own mapping, so that nothing else
// reuses (and so overwrites) the stack it used before the scan.
class TThreadStack {
public:
  static constexpr std::size_t kSize = 1 << 20;

  explicit TThreadStack(const std::function<void()>& Work) {
    void* stack = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) {
      ADD_FAILURE() << "no memory for a stack";
      return;
    }
    FStack = stack;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, FStack, kSize);
    pthread_t thread;
    auto run = [](void* Argument) -> void* {
      (*static_cast<const std::function<void()>*>(Argument))();
      return nullptr;
    };
    if (pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&Work)) == 0) {
      pthread_join(thread, nullptr);
    } else {
      ADD_FAILURE() << "no thread";
    }
    pthread_attr_destroy(&attributes);
  }
  ~TThreadStack() {
    if (FStack == nullptr) return;
    SecureZero(FStack, kSize);
    ::munmap(FStack, kSize);
  }
  TThreadStack(const TThreadStack&) = delete;
  TThreadStack& operator=(const TThreadStack&) = delete;

private:
  void* FStack = nullptr;
};

// The text in both encodings, and in each a fragment from byte 16 on: a freed
// block keeps all but its first bytes, which the allocator reuses for its own
// bookkeeping, and a block freed while the text grew holds only a prefix.
void AddText(TNeedles& N, const std::string& Name, const String& Text) {
  const auto* utf16 = reinterpret_cast<const std::uint8_t*>(Text.data());
  N.Add(Name + " (UTF-16)", utf16, Text.size() * sizeof(Char));
  N.Add(Name + " (UTF-16, bytes 16 to 31)", utf16 + 16, 16);
  RawByteString utf8 = StrToUTF8(Text);
  N.Add(Name + " (UTF-8)", utf8.data(), utf8.size());
  N.Add(Name + " (UTF-8, bytes 16 to 31)", utf8.data() + 16, 16);
  WipeRawBytes(utf8);
}

// The two chaining values HMAC-SHA-256 keeps for Key: in the order of the
// state words and in the lane order the SHA extensions keep them in.
void AddHMACStates(TNeedles& N, const std::string& Name, const std::uint8_t* Key, std::size_t Size) {
  std::uint8_t block[SHA256BlockSize] = {};
  if (Size > SHA256BlockSize) {
    TMessageDigest256 digest = SHA256Calculate(Key, static_cast<std::uint32_t>(Size));
    std::memcpy(block, DigestBytes(digest), SHA256DigestSize);
    SecureZeroObject(digest);
  } else {
    std::memcpy(block, Key, Size);
  }
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

// The keys of an encrypted storage file (version 3): the derived secret, the
// key extracted from it under the file's nonce, and the file's encryption and
// authentication keys. The check value is no secret: the file holds it.
void AddStorageKeys(TNeedles& N, const std::string& Name, const std::string& File, const String& Password) {
  RawByteString bytes = test::ReadFileBytes(File);
  const auto* header = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (bytes.size() < detail::Format3HeaderSize || header[2] != KLStorageVersion3) ::_exit(4);
  const auto word = [&](std::size_t At) {
    return static_cast<std::uint32_t>(header[At] | header[At + 1] << 8 | header[At + 2] << 16 | header[At + 3] << 24);
  };
  RawByteString password = StrToUTF8(Password);
  const detail::TStorageKey key(password, TKLKdfParameters{word(4), word(8)}, header + 12);
  WipeRawBytes(password);
  N.Add(Name + " derived secret", key.GetSecret(), detail::Format3SecretSize);
  std::uint8_t prk[SHA256DigestSize], encryption[32], mac[32];
  HKDFExtract(header + 28, detail::Format3NonceSize, key.GetSecret(), detail::Format3SecretSize, prk);
  N.Add(Name + " extracted key", prk, sizeof(prk));
  HKDFExpand(prk, detail::Format3EncryptionLabel, sizeof(detail::Format3EncryptionLabel) - 1, encryption, 32);
  HKDFExpand(prk, detail::Format3MACLabel, sizeof(detail::Format3MACLabel) - 1, mac, 32);
  AddAESKey(N, Name + " encryption key", encryption);
  N.Add(Name + " authentication key", mac, sizeof(mac));
  AddHMACStates(N, Name + " authentication key", mac, sizeof(mac));
  SecureZeroObject(prk);
  SecureZeroObject(encryption);
  SecureZeroObject(mac);
  WipeRawBytes(bytes);
}

// What a format-3 file's keys come from and consist of: the Argon2id output
// (every file key follows from it), the password tag kept beside it, the
// HKDF pseudo-random key, and the encryption and authentication keys.
void AddFormat3Keys(TNeedles& N, const std::string& Name, const RawByteString& File, const String& Password) {
  const auto* header = reinterpret_cast<const std::uint8_t*>(File.data());
  const auto word = [&](std::size_t At) {
    return std::uint32_t{header[At]} | std::uint32_t{header[At + 1]} << 8 | std::uint32_t{header[At + 2]} << 16 |
           std::uint32_t{header[At + 3]} << 24;
  };
  RawByteString utf8 = StrToUTF8(Password);
  std::uint8_t secret[detail::Format3SecretSize];
  detail::Argon2id(utf8.data(), utf8.size(), header + 12, word(8), word(4), secret, sizeof(secret));
  N.Add(Name + " Argon2id output", secret, sizeof(secret));
  AddHMACStates(N, Name + " Argon2id output", secret, sizeof(secret));
  TMessageDigest256 tag = MAC256Calculate(ByteArray(utf8.begin(), utf8.end()), ByteArray(secret, secret + 32));
  N.Add(Name + " password tag", DigestBytes(tag), SHA256DigestSize);
  std::uint8_t prk[SHA256DigestSize];
  HKDFExtract(header + 28, 32, secret, sizeof(secret), prk);
  N.Add(Name + " HKDF key", prk, sizeof(prk));
  AddHMACStates(N, Name + " HKDF key", prk, sizeof(prk));
  for (const char* label : {detail::Format3EncryptionLabel, detail::Format3MACLabel}) {
    std::uint8_t key[AESKeySize];
    HKDFExpand(prk, label, std::strlen(label), key, sizeof(key));
    if (label == detail::Format3EncryptionLabel)
      AddAESKey(N, Name + " encryption key", key);
    else
      AddHMACStates(N, Name + " authentication key", key, sizeof(key));
    N.Add(Name + " " + label, key, sizeof(key));
    SecureZeroObject(key);
  }
  SecureZeroObject(prk);
  SecureZeroObject(tag);
  SecureZeroObject(secret);
  WipeRawBytes(utf8);
}

// The keys of an encrypted storage file, of whichever version it is.
void AddFileKeys(TNeedles& N, const std::string& Name, const std::string& File, const String& Password) {
  RawByteString bytes = test::ReadFileBytes(File);
  if (bytes.size() < detail::Format3HeaderSize) ::_exit(4);
  if (bytes[2] == KLStorageVersion3) {
    AddFormat3Keys(N, Name, bytes, Password);
  } else {
    AddStorageKeys(N, Name, File, Password);
  }
  WipeRawBytes(bytes);
}

// A password of Length random characters, long enough to live on the heap.
String RandomText(TKLFastRandomGenerator& Random, std::size_t Length) {
  std::vector<std::uint8_t> bytes(Length);
  Random.Generate(bytes.data(), static_cast<std::int32_t>(Length));
  String text(Length, u' ');
  // Characters of one, two and three UTF-8 bytes: a conversion that grows its
  // buffer as it goes would leave copies behind in the blocks it frees.
  constexpr std::u16string_view kAlphabet = u"abcdefghijklmnopqrstuvwxyz\u00e9\u00fc\u20ac\u6f22";
  for (std::size_t i = 0; i < Length; ++i) text[i] = kAlphabet[bytes[i] % kAlphabet.size()];
  SecureZero(bytes.data(), bytes.size());
  return text;
}

class MemoryProbeTest : public test::KeyStoreTest {};

TEST_F(MemoryProbeTest, NoSecretOrDerivedKeyOutlivesTheObjectsThatUsedIt) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer keeps freed memory unwiped in its quarantine";
  // Freed blocks stay in the heap, as they do in a process that runs on:
  // neither given back at its top nor unmapped when large (zlib's and
  // expat's buffers are tens of kilobytes), so that the scan sees them.
  ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  TNeedles needles;
  ASSERT_TRUE(needles.Ready());
  TKLFastRandomGenerator random;
  String storagePassword = RandomText(random, 40), vaultPassword = RandomText(random, 41),
         userPassword = RandomText(random, 42), masterKey = RandomText(random, 43),
         protectedText = RandomText(random, 44), storageValue = RandomText(random, 45), derived;
  // A KDBX vault of 40 records: passwords, notes and attachments go through
  // the XML, zlib, expat and the inner stream on its save and load.
  constexpr int kKdbxRecords = 40;
  String kdbxPassword = RandomText(random, 46);
  std::vector<String> kdbxSecrets, kdbxNotes;
  std::vector<ByteArray> kdbxAttachments;
  for (int i = 0; i < kKdbxRecords; ++i) {
    kdbxSecrets.push_back(RandomText(random, 24));
    kdbxNotes.push_back(RandomText(random, 60));
    ByteArray attachment(48);
    random.Generate(attachment.data(), static_cast<std::int32_t>(attachment.size()));
    kdbxAttachments.push_back(std::move(attachment));
  }
  const String kdbxFile = FTemp.FileU("probe.kdbx");
  const String storageFile = FTemp.FileU("probe.kls"), vaultFile = FTemp.FileU("probe.klv"),
               databaseFile = FTemp.FileU("probe.txt"), protectedFile = FTemp.FileU("probe.bin");

  // Each path on a thread of its own, so that no path overwrites what another
  // left on the stack; its objects are gone when the thread ends.
  const std::function<void()> paths[] = {
      [&] {
        TKLStorage storage;
        storage.PutString(u"note", storageValue, false);
        storage.SaveToFile(storageFile, storagePassword);
        storage.SaveToFile(storageFile, storagePassword); // with the key kept from the first save
        // One storage reads the value, the other leaves it in its loaded content.
        TKLStorage loaded, unread;
        loaded.LoadFromFile(storageFile, storagePassword);
        String note;
        EXPECT_TRUE(loaded.GetString(u"note", note, u""));
        EXPECT_EQ(note, storageValue);
        WipeString(note);
        unread.LoadFromFile(storageFile, storagePassword);
      },
      [&] {
        TKLPassStorage vault;
        vault.Add(u"title", u"user", u"record password", u"url", u"note", u"General");
        vault.SaveToFile(vaultFile, vaultPassword);
        TKLPassStorage loaded;
        loaded.LoadFromFile(vaultFile, vaultPassword);
      },
      [&] {
        TKLTextPasswordDatabase database;
        database.CreateNew(databaseFile);
        database.AddUser(u"someone", userPassword, false);
        EXPECT_TRUE(database.Verify(u"someone", userPassword));
        database.Save();
        TKLTextPasswordDatabase reopened;
        reopened.Open(databaseFile);
        EXPECT_TRUE(reopened.Verify(u"someone", userPassword));
        reopened.SetSaveOnDestroy(false);
      },
      [&] {
        TKLPassStorage vault;
        TKLKdbxSettings cheap;
        cheap.Kdf = kkAesKdf;
        cheap.Iterations = 1;
        vault.SetKdbxSettings(cheap);
        vault.SetSaveFormat(pfKdbx);
        for (int i = 0; i < kKdbxRecords; ++i) {
          const std::int32_t at = vault.Add(u"title", u"user", kdbxSecrets[i], u"url", kdbxNotes[i], u"Group");
          vault.GetRecord(at)->SetAttachment(u"file", kdbxAttachments[i]);
        }
        vault.SaveToFile(kdbxFile, kdbxPassword);
        // A load, and a save of what was loaded (the carried document's path).
        TKLPassStorage loaded;
        loaded.LoadFromFile(kdbxFile, kdbxPassword);
        EXPECT_EQ(loaded.GetCount(), kKdbxRecords);
        loaded.SaveToFile(kdbxFile, kdbxPassword);
      },
      [&] {
        TKLPasswordGenerator generator;
        derived = generator.Generate(masterKey, u"example.org", 32);
      },
      [&] {
        TKLPassword password(protectedText);
        password.SaveToFile(protectedFile);
        TKLPassword loaded;
        loaded.LoadFromFile(protectedFile);
        EXPECT_EQ(loaded.GetValue().size(), protectedText.size());
      },
  };
  std::vector<std::unique_ptr<TThreadStack>> stacks;
  for (const auto& path : paths) stacks.push_back(std::make_unique<TThreadStack>(path));

  // The needles are computed by a child process, into the shared table: the
  // computation (expanding keys, hashing pads) leaves its traces in the
  // child's memory, not in this one's.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AddText(needles, "storage password", storagePassword);
    AddText(needles, "vault password", vaultPassword);
    AddText(needles, "user password", userPassword);
    AddText(needles, "master key", masterKey);
    AddText(needles, "protected password", protectedText);
    AddText(needles, "derived password", derived);
    AddText(needles, "storage value", storageValue);
    AddText(needles, "KDBX master password", kdbxPassword);
    for (int i = 0; i < kKdbxRecords; ++i) {
      AddText(needles, "KDBX password " + std::to_string(i), kdbxSecrets[i]);
      AddText(needles, "KDBX note " + std::to_string(i), kdbxNotes[i]);
      needles.Add("KDBX attachment " + std::to_string(i), kdbxAttachments[i].data(), kdbxAttachments[i].size());
    }
    for (const auto& [name, text] :
         {std::pair{"storage password", &storagePassword}, std::pair{"vault password", &vaultPassword},
          std::pair{"master key", &masterKey}}) {
      RawByteString utf8 = StrToUTF8(*text);
      AddHMACStates(needles, name, reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
      WipeRawBytes(utf8);
    }
    AddFileKeys(needles, "storage", test::Narrow(storageFile), storagePassword);
    AddFileKeys(needles, "vault", test::Narrow(vaultFile), vaultPassword);
    // Read straight into a buffer that is wiped: a stream's copies would not be.
    std::uint8_t userKey[32];
    const int file = ::open(KeyFile().c_str(), O_RDONLY);
    if (::read(file, userKey, sizeof(userKey)) != 32) ::_exit(3);
    ::close(file);
    AddHMACStates(needles, "user key", userKey, sizeof(userKey));
    // The blob's keys: HMAC-SHA-256 of the layer's labels under the user key.
    const ByteArray key(userKey, userKey + sizeof(userKey));
    for (const char* label :
         {"klpassword data protection 1: encryption key", "klpassword data protection 1: authentication key"}) {
      TMessageDigest256 digest = MAC256Calculate(ByteArray(label, label + std::strlen(label)), key);
      AddAESKey(needles, std::string("protection key (") + label + ")", DigestBytes(digest));
      AddHMACStates(needles, std::string("protection key (") + label + ")", DigestBytes(digest), 32);
      SecureZeroObject(digest);
    }
    SecureZeroObject(userKey);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the needles were not all computed";
  EXPECT_GT(needles.Count(), 100u);
  for (String* text : {&storagePassword, &vaultPassword, &userPassword, &masterKey, &protectedText, &storageValue, &derived,
                        &kdbxPassword}) {
    WipeString(*text);
  }
  for (int i = 0; i < kKdbxRecords; ++i) {
    WipeString(kdbxSecrets[i]);
    WipeString(kdbxNotes[i]);
    WipeBytes(kdbxAttachments[i]);
  }

  const std::vector<std::string> found = needles.Scan();
  for (const std::string& where : found) ADD_FAILURE() << where;
  EXPECT_TRUE(found.empty());
}

} // namespace
} // namespace kl
