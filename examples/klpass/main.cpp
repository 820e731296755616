// klpass: a command-line password tool, and the showcase of the password
// library: it is built on the library's public API alone, through the shared
// library, the way any application would use it.

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Clipboard.h"
#include "Commands.h"
#include "HelpFormats.h"
#include "Console.h"
#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"
#include "capi/klpassword.h"
#include "passstorage/KLPassExchange.h"
#include "rules/KLStrength.h"

#ifndef KLPASS_VERSION_TEXT
#error "KLPASS_VERSION_TEXT must name klpass's version"
#endif

namespace {

constexpr std::array<const klpass::TCommand*, 10> kCommands = {
    &klpass::CheckCommand,     &klpass::BlocklistCommand,  &klpass::GenerateCommand, &klpass::DeriveCommand,
    &klpass::UsersCommand,     &klpass::HashCommand,       &klpass::VaultCommand,    &klpass::ProtectCommand,
    &klpass::UnprotectCommand, &klpass::MachineKeyCommand,
};

// One line per command for the short usage; the full text is each command's own.
struct TSummary {
  const char* Name;
  const char* Text;
};
constexpr std::array<TSummary, 10> kSummaries = {{
    {"check", "check passwords against a policy, a blocklist and the strength estimator"},
    {"blocklist", "compile a list of breached passwords into a fast file"},
    {"generate", "make random passwords or passphrases"},
    {"derive", "the password of a site derived from a master key"},
    {"users", "a database of user password hashes"},
    {"hash", "an Argon2id hash string for a password, or its check"},
    {"vault", "an encrypted password vault: add, show, copy, edit, audit, import, export"},
    {"protect", "store a password bound to this user or machine"},
    {"unprotect", "read a password stored by 'protect'"},
    {"machine-key", "make the key of machine-bound passwords (once per machine)"},
}};

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
    "cannot be used; 7 already exists; 8 internal error; 9 a title names several\n"
    "records (their numbers are listed); 10 the account is locked after too many\n"
    "failed attempts.\n";

void PrintUsage(std::FILE* Out) {
  std::fprintf(Out, "usage: klpass <command> [options]\n\ncommands:\n");
  for (const klpass::TCommand* command : kCommands) std::fprintf(Out, "%s\n", command->Usage);
  std::fprintf(Out, "%s", kSecretsAndExitCodes);
}

// What a bare 'klpass' or an unknown command prints: a line per command.
void PrintShortUsage(std::FILE* Out) {
  std::fprintf(Out, "usage: klpass <command> [options]\n\n");
  for (const TSummary& summary : kSummaries) std::fprintf(Out, "  %-12s %s\n", summary.Name, summary.Text);
  std::fprintf(Out,
               "\n'klpass help COMMAND' shows a command's options, 'klpass help' everything;\n"
               "'klpass completion bash|zsh|fish' prints a completion script, 'klpass help --man'\n"
               "the manual page, 'klpass --version' the version.\n");
}

std::vector<std::string_view> CommandNames() {
  std::vector<std::string_view> names;
  for (const klpass::TCommand* command : kCommands) names.emplace_back(command->Name);
  return names;
}

// "unknown command 'x'", with the closest command when one is near.
void PrintUnknown(const char* What, const std::string& Word, std::span<const std::string_view> Names) {
  std::fprintf(stderr, "klpass: unknown %s '%s'", What, Word.c_str());
  if (const std::string closest = klpass::ClosestName(Word, Names); !closest.empty()) {
    std::fprintf(stderr, "; did you mean '%s'?", closest.c_str());
  }
  std::fprintf(stderr, "\n\n");
}

const klpass::TCommand* FindCommand(const std::string& Name) {
  for (const klpass::TCommand* command : kCommands) {
    if (Name == command->Name) return command;
  }
  return nullptr;
}

bool IsHelp(const std::string& Word) { return Word == "-h" || Word == "--help" || Word == "help"; }

// The help table: each command with its summary and usage, and the values
// that the usage abbreviates, from the library's tables (so that completion
// offers every format and language pack this build has).
std::vector<klpass::THelpEntry> HelpEntries() {
  std::vector<std::string> exportFormats;
  for (std::int32_t format = kl::exCsv; format <= kl::exBitwardenJson; ++format)
    exportFormats.emplace_back(kl::ExchangeFormatName(static_cast<kl::TKLExchangeFormat>(format)));
  exportFormats.emplace_back("kdbx");
  std::vector<std::string> languages = kl::StrengthLanguages();
  languages.emplace_back("all");
  std::vector<klpass::THelpEntry> entries;
  for (const klpass::TCommand* command : kCommands) {
    const char* summary = "";
    for (const TSummary& candidate : kSummaries) {
      if (std::string_view(candidate.Name) == command->Name) summary = candidate.Text;
    }
    entries.push_back({command->Name, summary, command->Usage});
  }
  for (klpass::THelpEntry& entry : entries) {
    if (std::string_view(entry.Name) == "vault") {
      entry.MoreValues = {{"export", "--format", exportFormats}, {"import", "--format", {"kdbx"}}};
    } else if (std::string_view(entry.Name) == "check") {
      entry.MoreValues = {{"", "--lang", languages}};
    }
  }
  return entries;
}

klpass::THelpEntry HelpEntry(const klpass::TCommand& Command) {
  for (klpass::THelpEntry& entry : HelpEntries()) {
    if (std::string_view(entry.Name) == Command.Name) return entry;
  }
  return {Command.Name, "", Command.Usage};
}

// The usage of one action of Command ("vault show"), or of the whole command
// when Action names none of its actions.
void PrintActionUsage(const klpass::TCommand& Command, const std::string& Action) {
  const std::string usage = klpass::ActionUsage(HelpEntry(Command), Action);
  if (usage.empty()) {
    std::printf("usage:\n%s", Command.Usage);
    return;
  }
  std::printf("usage:\n%s\n'klpass help %s' describes every action and option.\n", usage.c_str(), Command.Name);
}

// 'klpass completion SHELL': the completion script, made from the help table.
int Completion(const std::vector<std::string>& Words) {
  if (Words.size() == 1 && (Words[0] == "--help" || Words[0] == "-h")) {
    std::printf("usage: klpass completion bash|zsh|fish\n");
    return klpass::kExitOk;
  }
  const std::string script = Words.size() == 1 ? klpass::CompletionScript(Words[0], HelpEntries()) : std::string();
  if (script.empty()) {
    std::fprintf(stderr, "klpass: usage: klpass completion bash|zsh|fish\n");
    return klpass::kExitUsage;
  }
  std::printf("%s", script.c_str());
  return klpass::kExitOk;
}

// 'klpass help' alone: everything; 'klpass help COMMAND': that command's usage;
// 'klpass help COMMAND ACTION': that action's; 'klpass help exit-status': how
// secrets are read and what the exit codes mean.
int Help(const std::vector<std::string>& Topics) {
  if (Topics.empty()) {
    PrintUsage(stdout);
    return klpass::kExitOk;
  }
  const std::string& topic = Topics.front();
  if (topic == "--help" || topic == "-h") {
    std::printf("usage: klpass help [COMMAND [ACTION] | exit-status | --man]\n");
    return klpass::kExitOk;
  }
  if (const klpass::TCommand* command = FindCommand(topic); command != nullptr && Topics.size() == 2) {
    if (klpass::ActionUsage(HelpEntry(*command), Topics[1]).empty()) {
      const std::vector<std::string> actions = klpass::ActionsOf(HelpEntry(*command));
      const std::vector<std::string_view> names(actions.begin(), actions.end());
      PrintUnknown("action", Topics[1], names);
      return klpass::kExitUsage;
    }
    PrintActionUsage(*command, Topics[1]);
    return klpass::kExitOk;
  }
  if (topic == "--man") {
    std::printf("%s", klpass::ManualPage(HelpEntries(), KLPASS_VERSION_TEXT, kSecretsAndExitCodes).c_str());
    return klpass::kExitOk;
  }
  if (const klpass::TCommand* command = FindCommand(topic)) {
    std::printf("usage:\n%s", command->Usage);
    return klpass::kExitOk;
  }
  if (topic == "exit-status") {
    std::printf("%s", kSecretsAndExitCodes);
    return klpass::kExitOk;
  }
  std::vector<std::string_view> topics = CommandNames();
  topics.emplace_back("exit-status");
  PrintUnknown("help topic", topic, topics);
  PrintShortUsage(stderr);
  return klpass::kExitUsage;
}

// Runs one subcommand; every failure ends here as a message and an exit code.
int Run(const klpass::TCommand& Command, const klpass::TCommandWords& Words) {
  const std::string prefix = std::string("klpass ") + Command.Name + ": ";
  try {
    if (!Words.empty() && IsHelp(Words.front())) {
      std::printf("usage:\n%s", Command.Usage);
      return klpass::kExitOk;
    }
    return Command.Run(Words);
  } catch (const klpass::EHelpRequested& e) {
    // "vault show --help", "users --encrypted add -h": the action is the first
    // word (vault's) or the first positional one (users allows options first).
    const klpass::THelpEntry entry = HelpEntry(Command);
    std::string action = Words.front();
    if (klpass::ActionUsage(entry, action).empty() && !e.Positional().empty()) action = e.Positional().front();
    PrintActionUsage(Command, action);
    return klpass::kExitOk;
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
  if (args.empty()) {
    PrintShortUsage(stderr);
    return klpass::kExitUsage;
  }
  if (args.front() == klpass::kClipboardClearCommand) {
    try {
      return klpass::RunClipboardClear({args.begin() + 1, args.end()});
    } catch (...) {
      return klpass::kExitUsage;
    }
  }
  if (args.front() == "--version" || args.front() == "-V") {
    std::printf("klpass %s (libklpassword %s)\n", KLPASS_VERSION_TEXT, klp_version());
    return klpass::kExitOk;
  }
  if (args.front() == "help") return Help({args.begin() + 1, args.end()});
  if (args.front() == "completion") return Completion({args.begin() + 1, args.end()});
  if (IsHelp(args.front())) {
    PrintUsage(stdout);
    return klpass::kExitOk;
  }
  const klpass::TCommand* command = FindCommand(args.front());
  if (command == nullptr) {
    PrintUnknown("command", args.front(), CommandNames());
    PrintShortUsage(stderr);
    return klpass::kExitUsage;
  }
  return Run(*command, {args.begin() + 1, args.end()});
}
