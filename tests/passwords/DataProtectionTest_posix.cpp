#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

#include "passwords/DataProtection.h"
#include "passwords/KeyStoreFixture.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::KeyStoreTest;

// Runs Action and answers the error number it failed with, or 0.
template <class F>
std::int32_t ErrorOf(F&& Action) {
  try {
    Action();
  } catch (const EDataProtectionError& e) {
    return e.GetErrorCode();
  }
  return 0;
}

ByteArray Bytes(std::size_t Size) {
  ByteArray data(Size);
  for (std::size_t i = 0; i < Size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return data;
}

class DataProtectionTest : public KeyStoreTest {};

TEST_F(DataProtectionTest, RoundTripsDataOfEverySizeInBothScopes) {
  for (const bool machine : {false, true}) {
    for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 1000u}) {
      const ByteArray data = Bytes(size);
      const ByteArray blob = ProtectData(data, machine);
      EXPECT_EQ(UnprotectData(blob), data) << "machine " << machine << " size " << size;
    }
  }
}

TEST_F(DataProtectionTest, SameDataProtectsToDifferentBlobs) {
  const ByteArray data = Bytes(20);
  EXPECT_NE(ProtectData(data, false), ProtectData(data, false));
  EXPECT_NE(ProtectData(data, true), ProtectData(data, true));
}

TEST_F(DataProtectionTest, FirstProtectionCreatesAPrivateKeyFileThatLaterCallsReuse) {
  const ByteArray first = ProtectData(Bytes(5), false);
  EXPECT_EQ(ModeOf(FKeyDir), 0700u);
  EXPECT_EQ(ModeOf(KeyFile()), 0600u);
  EXPECT_EQ(std::filesystem::file_size(KeyFile()), 32u);
  const std::string key = test::ReadFileBytes(KeyFile());
  ProtectData(Bytes(6), false);
  EXPECT_EQ(test::ReadFileBytes(KeyFile()), key);
  EXPECT_EQ(UnprotectData(first), Bytes(5));
}

TEST_F(DataProtectionTest, MachineScopeNeedsNoKeyFile) {
  const ByteArray blob = ProtectData(Bytes(9), true);
  EXPECT_FALSE(std::filesystem::exists(FKeyDir));
  EXPECT_EQ(UnprotectData(blob), Bytes(9));
}

TEST_F(DataProtectionTest, BlobOfAnotherUserFailsItsCheck) {
  const ByteArray blob = ProtectData(Bytes(9), false);
  UseKeyDir("other-user");
  EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), ENOENT); // that user has no key yet
  EXPECT_FALSE(std::filesystem::exists(FKeyDir));           // and unprotecting makes none
  ProtectData(Bytes(1), false);
  EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), dpeAuthenticationFailed);
}

TEST_F(DataProtectionTest, BlobOfAnotherMachineFailsItsCheck) {
  const ByteArray blob = ProtectData(Bytes(9), true);
  UseMachineId("fedcba9876543210fedcba9876543210");
  EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), dpeAuthenticationFailed);
  UseMachineId("0123456789ABCDEF0123456789ABCDEF"); // the same id in upper case
  EXPECT_EQ(UnprotectData(blob), Bytes(9));
}

TEST_F(DataProtectionTest, EveryAlteredByteIsDetected) {
  for (const bool machine : {false, true}) {
    const ByteArray blob = ProtectData(Bytes(20), machine);
    for (std::size_t i = 0; i < blob.size(); ++i) {
      ByteArray altered = blob;
      altered[i] ^= 0x01;
      const std::int32_t error = ErrorOf([&] { UnprotectData(altered); });
      EXPECT_TRUE(error == dpeAuthenticationFailed || error == dpeMalformedBlob) << "byte " << i << ": " << error;
    }
  }
}

TEST_F(DataProtectionTest, TruncatedExtendedEmptyAndForeignBlobsFail) {
  const ByteArray blob = ProtectData(Bytes(20), false);
  for (std::size_t size = 0; size < blob.size(); ++size) {
    const ByteArray truncated(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_NE(ErrorOf([&] { UnprotectData(truncated); }), 0) << "size " << size;
  }
  ByteArray extended = blob;
  extended.push_back(0);
  EXPECT_NE(ErrorOf([&] { UnprotectData(extended); }), 0);
  ByteArray extendedByBlock = blob;
  extendedByBlock.insert(extendedByBlock.end(), 16, 0);
  EXPECT_EQ(ErrorOf([&] { UnprotectData(extendedByBlock); }), dpeAuthenticationFailed);
  EXPECT_EQ(ErrorOf([] { UnprotectData({}); }), dpeMalformedBlob);
  EXPECT_EQ(ErrorOf([] { UnprotectData(ByteArray(200, 0x41)); }), dpeMalformedBlob);
}

TEST_F(DataProtectionTest, LooseOrForeignKeyStoreIsRefused) {
  const ByteArray blob = ProtectData(Bytes(3), false);
  const struct {
    const char* What;
    std::function<void()> Spoil, Restore;
  } cases[] = {
      {"folder 0750", [&] { ::chmod(FKeyDir.c_str(), 0750); }, [&] { ::chmod(FKeyDir.c_str(), 0700); }},
      {"folder 0701", [&] { ::chmod(FKeyDir.c_str(), 0701); }, [&] { ::chmod(FKeyDir.c_str(), 0700); }},
      {"file 0640", [&] { ::chmod(KeyFile().c_str(), 0640); }, [&] { ::chmod(KeyFile().c_str(), 0600); }},
      {"file 0602", [&] { ::chmod(KeyFile().c_str(), 0602); }, [&] { ::chmod(KeyFile().c_str(), 0600); }},
      {"file is a link",
       [&] {
         std::filesystem::rename(KeyFile(), FTemp.File("real.key"));
         std::filesystem::create_symlink(FTemp.File("real.key"), KeyFile());
       },
       [&] {
         std::filesystem::remove(KeyFile());
         std::filesystem::rename(FTemp.File("real.key"), KeyFile());
       }},
  };
  for (const auto& c : cases) {
    c.Spoil();
    EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), dpeInsecureKeyStore) << c.What;
    EXPECT_EQ(ErrorOf([&] { ProtectData(Bytes(3), false); }), dpeInsecureKeyStore) << c.What;
    c.Restore();
    EXPECT_EQ(UnprotectData(blob), Bytes(3)) << c.What;
  }
}

TEST_F(DataProtectionTest, KeyFolderThatIsALinkIsRefused) {
  std::filesystem::create_directory(FTemp.File("real"));
  ::chmod(FTemp.File("real").c_str(), 0700);
  std::filesystem::create_directory_symlink(FTemp.File("real"), FKeyDir);
  EXPECT_EQ(ErrorOf([] { ProtectData(Bytes(3), false); }), dpeInsecureKeyStore);
}

TEST_F(DataProtectionTest, KeyFileOfTheWrongSizeIsRefused) {
  const ByteArray blob = ProtectData(Bytes(3), false);
  for (const std::size_t size : {0u, 31u, 33u}) {
    test::WriteFileBytes(KeyFile(), std::string(size, 'k'));
    ::chmod(KeyFile().c_str(), 0600);
    EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), dpeBadKeyFile) << size;
  }
}

TEST_F(DataProtectionTest, MissingOrMalformedMachineIdFails) {
  const struct {
    std::string Text;
    std::int32_t Error;
  } cases[] = {
      {"", dpeBadMachineId},
      {"0123456789abcdef", dpeBadMachineId},
      {"0123456789abcdef0123456789abcdeg", dpeBadMachineId},
      {"0123456789abcdef0123456789abcdef0", dpeBadMachineId},
      {"uninitialized", dpeBadMachineId},
  };
  for (const auto& c : cases) {
    UseMachineId(c.Text);
    EXPECT_EQ(ErrorOf([] { ProtectData(Bytes(3), true); }), c.Error) << c.Text;
  }
  ::setenv("KLPASSWORD_MACHINE_ID_FILE", FTemp.File("absent").c_str(), 1);
  EXPECT_EQ(ErrorOf([] { ProtectData(Bytes(3), true); }), ENOENT);
}

TEST_F(DataProtectionTest, KeyFolderFollowsTheDataHomeAndThenTheHomeFolder) {
  ::unsetenv("KLPASSWORD_KEY_DIR");
  ::setenv("XDG_DATA_HOME", FTemp.File("data").c_str(), 1);
  ProtectData(Bytes(1), false);
  EXPECT_EQ(ModeOf(FTemp.File("data/klpassword/user.key")), 0600u);

  ::setenv("XDG_DATA_HOME", "relative/path", 1); // ignored: not absolute
  ProtectData(Bytes(1), false);
  EXPECT_EQ(ModeOf(FTemp.File("home/.local/share/klpassword/user.key")), 0600u);
  EXPECT_EQ(ModeOf(FTemp.File("home/.local/share/klpassword")), 0700u);
}

TEST_F(DataProtectionTest, ConcurrentFirstProtectionsAgreeOnOneKey) {
  constexpr int kThreads = 6;
  std::vector<ByteArray> blobs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { blobs[t] = ProtectData(Bytes(static_cast<std::size_t>(t)), false); });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(UnprotectData(blobs[t]), Bytes(static_cast<std::size_t>(t)));
}

TEST_F(DataProtectionTest, OversizedDataIsRefused) {
  EXPECT_EQ(ErrorOf([] { ProtectData(ByteArray(MaxProtectedDataSize + 1), true); }), dpeDataTooLarge);
}

// The largest data makes the largest blob, which loads; one byte more is
// refused as too large, not as malformed.
TEST_F(DataProtectionTest, SizeLimitsHoldAtTheLimitAndRefuseOneBeyond) {
  const ByteArray data = Bytes(MaxProtectedDataSize);
  ByteArray blob = ProtectData(data, true);
  EXPECT_EQ(blob.size(), MaxProtectedBlobSize);
  EXPECT_EQ(UnprotectData(blob), data);
  blob.push_back(0);
  EXPECT_EQ(ErrorOf([&] { UnprotectData(blob); }), dpeDataTooLarge);
}

// Failures say which check failed, in words.
TEST_F(DataProtectionTest, KeyStoreFailuresNameTheCheckThatFailed) {
  auto messageOf = [](const std::function<void()>& Action) -> std::string {
    try {
      Action();
    } catch (const EDataProtectionError& e) {
      EXPECT_TRUE(IsKeyStoreFailure(e.GetErrorCode())) << e.GetMessage();
      return e.GetMessage();
    }
    return "(nothing)";
  };
  const ByteArray blob = ProtectData(Bytes(3), false);
  ::chmod(FKeyDir.c_str(), 0755);
  EXPECT_EQ(messageOf([&] { UnprotectData(blob); }),
            "The key folder " + FKeyDir + " is open to other users (mode 0755; it must be 0700)");
  ::chmod(FKeyDir.c_str(), 0700);
  std::filesystem::remove_all(FKeyDir);
  EXPECT_EQ(messageOf([&] { UnprotectData(blob); }),
            "No key folder " + FKeyDir + ": nothing was protected for this user here");
  EXPECT_FALSE(IsKeyStoreFailure(dpeAuthenticationFailed));
  EXPECT_FALSE(IsKeyStoreFailure(dpeMalformedBlob));
  EXPECT_FALSE(IsKeyStoreFailure(dpeDataTooLarge));
}

// A copy of the machine id, which anyone can read, must not open what a
// machine with a machine key protected; blobs made before the key keep loading.
TEST_F(DataProtectionTest, MachineKeyBindsTheMachineScopeAndOldBlobsStillLoad) {
  const ByteArray before = ProtectData(Bytes(5), true);
  EXPECT_EQ(before[5], 1);
  EXPECT_TRUE(CreateMachineKey());
  EXPECT_FALSE(CreateMachineKey());
  EXPECT_EQ(ModeOf(MachineKeyFile()), 0644u);
  EXPECT_EQ(std::filesystem::file_size(MachineKeyFile()), 32u);
  const ByteArray keyed = ProtectData(Bytes(5), true);
  EXPECT_EQ(keyed[5], 2);
  EXPECT_EQ(UnprotectData(before), Bytes(5));
  EXPECT_EQ(UnprotectData(keyed), Bytes(5));

  // Elsewhere: the same machine id, but no key, or another machine's key.
  const std::string key = test::ReadFileBytes(MachineKeyFile());
  std::filesystem::remove(MachineKeyFile());
  EXPECT_EQ(ErrorOf([&] { UnprotectData(keyed); }), ENOENT);
  EXPECT_TRUE(CreateMachineKey());
  EXPECT_EQ(ErrorOf([&] { UnprotectData(keyed); }), dpeAuthenticationFailed);
  std::filesystem::remove(MachineKeyFile());
  test::WriteFileBytes(MachineKeyFile(), key);
  ::chmod(MachineKeyFile().c_str(), 0644);
  EXPECT_EQ(UnprotectData(keyed), Bytes(5));
}

// A machine key anyone but the administrator could have written is refused,
// for new blobs and old.
TEST_F(DataProtectionTest, MachineKeyThatOthersCouldReplaceIsRefused) {
  ASSERT_TRUE(CreateMachineKey());
  const ByteArray keyed = ProtectData(Bytes(4), true);
  const std::string folder = std::filesystem::path(MachineKeyFile()).parent_path();
  const struct {
    const char* What;
    std::function<void()> Spoil, Restore;
    std::int32_t Error;
  } cases[] = {
      {"file 0664", [&] { ::chmod(MachineKeyFile().c_str(), 0664); }, [&] { ::chmod(MachineKeyFile().c_str(), 0644); },
       dpeInsecureKeyStore},
      {"folder 0777", [&] { ::chmod(folder.c_str(), 0777); }, [&] { ::chmod(folder.c_str(), 0755); },
       dpeInsecureKeyStore},
      {"file is a link",
       [&] {
         std::filesystem::rename(MachineKeyFile(), FTemp.File("real.key"));
         std::filesystem::create_symlink(FTemp.File("real.key"), MachineKeyFile());
       },
       [&] {
         std::filesystem::remove(MachineKeyFile());
         std::filesystem::rename(FTemp.File("real.key"), MachineKeyFile());
       },
       dpeInsecureKeyStore},
      {"short file", [&] { ::truncate(MachineKeyFile().c_str(), 31); }, [] {}, dpeBadKeyFile},
  };
  for (const auto& c : cases) {
    c.Spoil();
    EXPECT_EQ(ErrorOf([&] { UnprotectData(keyed); }), c.Error) << c.What;
    EXPECT_EQ(ErrorOf([&] { ProtectData(Bytes(4), true); }), c.Error) << c.What;
    c.Restore();
  }
}

} // namespace
} // namespace kl
