#include <cstdio>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

int RunMachineKey(const TCommandWords& Words) {
  const TArguments args(Words, {});
  args.ExpectPositional(0, 0, "nothing");
  const bool made = Attempt("cannot make the machine key", [] { return kl::TKLPassword::CreateMachineKey(); });
  std::printf("%s\n", made ? "made the machine key" : "this machine already has a key");
  return kExitOk;
}

} // namespace

const TCommand MachineKeyCommand = {"machine-key",
                                    "  machine-key\n"
                                    "      Makes this machine's key for 'protect --machine' (once; run it as the\n"
                                    "      administrator). Without it, machine-bound passwords are bound to the\n"
                                    "      machine id, which any user can read; those made before keep loading.\n",
                                    RunMachineKey};

} // namespace klpass
