#include <cstdio>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

int RunUnprotect(const TCommandWords& Words) {
  const TArguments args(Words, {});
  args.ExpectPositional(1, 1, "file name");
  const std::string& file = args.Positional().front();
  kl::TKLPassword password;
  Attempt("cannot unprotect '" + file + "'", [&] { password.LoadFromFile(Text(file)); });
  PrintSecretLine(password.GetValue());
  return kExitOk;
}

} // namespace

const TCommand UnprotectCommand = {"unprotect",
                                   "  unprotect FILE\n"
                                   "      Prints the password saved by 'protect' in FILE.\n",
                                   RunUnprotect};

} // namespace klpass
