// klpass: a command-line password tool, and the showcase of the password
// library: it is built on the library's public API alone, through the shared
// library, the way any application would use it.

#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace {

constexpr std::array<const klpass::TCommand*, 10> kCommands = {
    &klpass::CheckCommand, &klpass::BlocklistCommand, &klpass::GenerateCommand, &klpass::DeriveCommand,
    &klpass::UsersCommand, &klpass::HashCommand,      &klpass::VaultCommand,    &klpass::ProtectCommand,
    &klpass::UnprotectCommand, &klpass::MachineKeyCommand,
};

constexpr const char* kSecretsAndExitCodes =
    "Master passwords, user passwords and record passwords are read from the terminal\n"
    "without echo; when standard input is not a terminal, each is one line of it\n"
    "(new ones are then not asked twice). Nothing secret is taken from the command\n"
    "line, except the passwords given to 'check'.\n"
    "\n"
    "A command that changes a vault or user database locks the file (FILE.lock\n"
    "beside it) until it is done; another such command waits for the lock up to\n"
    "KLPASS_LOCK_TIMEOUT seconds (default 30), then fails with exit status 6.\n"
    "\n"
    "Exit status: 0 done; 1 a password failed the check; 2 usage error; 3 wrong\n"
    "password; 4 damaged file; 5 unknown user or record; 6 file or key store\n"
    "cannot be used; 7 already exists; 8 internal error; 10 the account is locked\n"
    "after too many failed attempts.\n";

void PrintUsage(std::FILE* Out) {
  std::fprintf(Out, "usage: klpass <command> [options]\n\ncommands:\n");
  for (const klpass::TCommand* command : kCommands) std::fprintf(Out, "%s\n", command->Usage);
  std::fprintf(Out, "%s", kSecretsAndExitCodes);
}

const klpass::TCommand* FindCommand(const std::string& Name) {
  for (const klpass::TCommand* command : kCommands) {
    if (Name == command->Name) return command;
  }
  return nullptr;
}

bool IsHelp(const std::string& Word) { return Word == "-h" || Word == "--help" || Word == "help"; }

// Runs one subcommand; every failure ends here as a message and an exit code.
int Run(const klpass::TCommand& Command, const klpass::TCommandWords& Words) {
  const std::string prefix = std::string("klpass ") + Command.Name + ": ";
  try {
    if (!Words.empty() && IsHelp(Words.front())) {
      std::printf("usage:\n%s", Command.Usage);
      return klpass::kExitOk;
    }
    return Command.Run(Words);
  } catch (const klpass::ECommandError& e) {
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), e.what());
    if (e.GetExitCode() == klpass::kExitUsage)
      std::fprintf(stderr, "(klpass %s --help shows the usage)\n", Command.Name);
    return e.GetExitCode();
  } catch (const kl::Exception& e) {
    const auto [code, explanation] = klpass::Classify(e);
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), explanation.c_str());
    return code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%sinternal error: %s\n", prefix.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "%sinternal error\n", prefix.c_str());
  }
  return klpass::kExitInternal;
}

} // namespace

int main(int argc, char** argv) {
  klpass::UseWipedOutputBuffer();
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Before anything is opened: a name or value that is not UTF-8 would reach
  // the library as U+FFFD and match what it does not say.
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!kl::IsValidUTF8(args[i])) {
      std::fprintf(stderr, "klpass: argument %s is not valid UTF-8 text\n", std::to_string(i + 1).c_str());
      return klpass::kExitUsage;
    }
  }
  if (args.empty()) return Run(klpass::CheckCommand, {});
  if (IsHelp(args.front())) {
    PrintUsage(stdout);
    return klpass::kExitOk;
  }
  const klpass::TCommand* command = FindCommand(args.front());
  if (command == nullptr) {
    std::fprintf(stderr, "klpass: unknown command '%s'\n\n", args.front().c_str());
    PrintUsage(stderr);
    return klpass::kExitUsage;
  }
  return Run(*command, {args.begin() + 1, args.end()});
}
