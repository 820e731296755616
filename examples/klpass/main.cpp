// klpass: a command-line host of the password library, built on its public API
// through the shared library alone.

#include <cstdio>
#include <string>
#include <vector>

#include "CheckCommand.h"

namespace {

void PrintUsage(std::FILE* Out) {
  std::fprintf(Out, "usage: klpass <command> [options]\n\ncommands:\n");
  klpass::PrintCheckUsage(Out);
  std::fprintf(Out, "\nWith no command at all, klpass checks a few built-in example passwords.\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return klpass::RunCheck({});
  const std::string& command = args.front();
  if (command == "-h" || command == "--help" || command == "help") {
    PrintUsage(stdout);
    return klpass::kExitPassed;
  }
  if (command == "check") return klpass::RunCheck({args.begin() + 1, args.end()});
  std::fprintf(stderr, "klpass: unknown command '%s'\n\n", command.c_str());
  PrintUsage(stderr);
  return klpass::kExitUsage;
}
