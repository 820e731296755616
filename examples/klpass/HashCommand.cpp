#include <cstdio>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "HashOptions.h"
#include "crypto/KLPasswordHash.h"

namespace klpass {

namespace {

int RunHash(const TCommandWords& Words) {
  const TArguments args(Words, {{"--verify", true}}, kHashOptions);
  args.ExpectPositional(0, 0, "nothing");
  const kl::TKLPasswordHashParameters parameters = ReadHashOptions(args);
  if (const auto hash = args.Value("--verify")) {
    const TSecret password = ReadSecret("Password");
    if (!kl::VerifyPassword(Text(*hash), password.Get(), parameters)) {
      Fail(kExitWrongPassword, "the password does not match the hash");
    }
    std::printf("the password matches the hash\n");
    return kExitOk;
  }
  const TSecret password = ReadNewSecret("Password", true);
  std::printf("%s\n", Utf8(kl::HashPassword(password.Get(), parameters)).c_str());
  return kExitOk;
}

} // namespace

const TCommand HashCommand = {"hash",
                              "  hash [--hash-memory MIB] [--hash-passes N]\n"
                              "  hash --verify HASH\n"
                              "      Reads a password and prints its Argon2id hash string, for storing\n"
                              "      anywhere; with --verify, checks the password against such a string\n"
                              "      (exit status 3 when it does not match).\n",
                              RunHash};

} // namespace klpass
