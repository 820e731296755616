#pragma once

#include <string>
#include <vector>

// The subcommands of klpass. Each takes the words after its name, returns the
// exit code, and reports failures by throwing ECommandError (Console.h).
namespace klpass {

using TCommandWords = std::vector<std::string>;

struct TCommand {
  const char* Name;
  const char* Usage; // indented lines for the help text
  int (*Run)(const TCommandWords& Words);
};

extern const TCommand CheckCommand;
extern const TCommand GenerateCommand;
extern const TCommand DeriveCommand;
extern const TCommand UsersCommand;
extern const TCommand VaultCommand;
extern const TCommand ProtectCommand;
extern const TCommand UnprotectCommand;
extern const TCommand BlocklistCommand;

} // namespace klpass
