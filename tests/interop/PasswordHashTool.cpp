// Drives the password-hash functions for the interoperability check with
// other Argon2 implementations. The password is one line of standard input.
//   PasswordHashTool hash MEMORY_KIB PASSES   prints the hash string
//   PasswordHashTool verify HASH              exit 0 when it matches, 1 when not
#include <cstdio>
#include <iostream>
#include <string>

#include "crypto/KLPasswordHash.h"
#include "foundation/Exceptions.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::string password;
  std::getline(std::cin, password);
  try {
    if (mode == "hash" && argc == 4) {
      kl::TKLPasswordHashParameters parameters;
      parameters.MemoryKiB = static_cast<std::uint32_t>(std::stoul(argv[2]));
      parameters.Passes = static_cast<std::uint32_t>(std::stoul(argv[3]));
      std::printf("%s\n", kl::StrToUTF8(kl::HashPassword(kl::UTF8ToStr(password), parameters)).c_str());
      return 0;
    }
    if (mode == "verify" && argc == 3) {
      return kl::VerifyPassword(kl::UTF8ToStr(argv[2]), kl::UTF8ToStr(password)) ? 0 : 1;
    }
  } catch (const kl::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  std::fprintf(stderr, "usage: PasswordHashTool hash MEMORY_KIB PASSES | verify HASH\n");
  return 2;
}
