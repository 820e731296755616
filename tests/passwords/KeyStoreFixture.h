#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "support/TestSupport.h"

namespace kl::test {

// Points the data-protection layer at a temporary key folder and machine id,
// and clears every other variable it could fall back on, so that no test ever
// reaches a real home folder. Restores the environment afterwards.
class KeyStoreTest : public ::testing::Test {
protected:
  static constexpr const char* kMachineId = "0123456789abcdef0123456789abcdef";

  void SetUp() override {
    for (const char* name :
         {"KLPASSWORD_KEY_DIR", "KLPASSWORD_MACHINE_ID_FILE", "KLPASSWORD_MACHINE_KEY_FILE", "XDG_DATA_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      FSaved.push_back({name, value != nullptr ? std::optional<std::string>(value) : std::nullopt});
    }
    ::setenv("HOME", FTemp.File("home").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    UseKeyDir("keys");
    UseMachineId(kMachineId);
    // No machine key unless a test makes one: the machine id decides.
    ::setenv("KLPASSWORD_MACHINE_KEY_FILE", MachineKeyFile().c_str(), 1);
  }

  void TearDown() override {
    for (const auto& [name, value] : FSaved) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

  // Makes <temp>/<Name> the key folder (not created here).
  std::string UseKeyDir(const std::string& Name) {
    FKeyDir = FTemp.File(Name);
    ::setenv("KLPASSWORD_KEY_DIR", FKeyDir.c_str(), 1);
    return FKeyDir;
  }

  // Writes Text as the machine id file and points the layer at it.
  void UseMachineId(const std::string& Text) {
    const std::string file = FTemp.File("machine-id");
    WriteFileBytes(file, Text + "\n");
    ::setenv("KLPASSWORD_MACHINE_ID_FILE", file.c_str(), 1);
  }

  std::string KeyFile() const { return FKeyDir + "/user.key"; }
  std::string MachineKeyFile() const { return FTemp.File("machine-keys/machine.key"); }

  static unsigned ModeOf(const std::string& Path) {
    struct stat info {};
    if (::lstat(Path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
  }

  TempDir FTemp;
  std::string FKeyDir;

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

} // namespace kl::test
