#include <cstdio>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

int RunProtect(const TCommandWords& Words) {
  const TArguments args(Words, {{"--machine"}, {"--force"}});
  args.ExpectPositional(1, 1, "file name");
  const std::string& file = args.Positional().front();
  RefuseExisting(file, args.Has("--force"));
  const TSecret secret = ReadNewSecret("Password to protect", true);
  kl::TKLPassword password(secret.Get());
  // Shared binds the protected form to the machine instead of the user.
  password.SetShared(args.Has("--machine"));
  Attempt("cannot protect into '" + file + "'", [&] { password.SaveToFile(Text(file)); });
  std::printf("protected into '%s' for %s\n", file.c_str(), password.GetShared() ? "this machine" : "this user");
  return kExitOk;
}

} // namespace

const TCommand ProtectCommand = {"protect",
                                 "  protect FILE [--machine] [--force]\n"
                                 "      Reads a password (as a secret) and saves it protected: only this user\n"
                                 "      can read it back, or, with --machine, any user of this machine.\n",
                                 RunProtect};

} // namespace klpass
