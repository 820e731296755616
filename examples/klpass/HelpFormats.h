#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// The help table of klpass in the shapes other programs read: shell
// completion scripts and the manual page, so that they say what 'klpass help'
// says and never drift from it.
namespace klpass {

// Values of an option that its usage abbreviates ("csv|json|..."), given by
// the host from the library's own tables; Action is empty for a command
// without actions.
struct TOptionValues {
  std::string Action;
  std::string Option;
  std::vector<std::string> Values;
};

struct THelpEntry {
  const char* Name;
  const char* Summary; // one line
  const char* Usage;   // the indented usage text of the command
  std::vector<TOptionValues> MoreValues = {};
};

// What an option takes, as its usage lines write it: nothing ("--json"), a
// value to type ("--title T"), a file ("--out PATH"), or one of some words
// ("--field title|user|..."); Listed when several go comma-separated
// ("--lang L[,L...]|all").
struct TOptionForm {
  enum TKind { Flag, Typed, File, Choice };
  std::string Name;
  TKind Kind = Flag;
  std::vector<std::string> Values;
  bool Listed = false;
};

// The words a command takes first ("create", "info", ... for vault), read
// from its usage lines ("  vault create FILE ..."), and the options ("--x")
// its usage names, each once, in order of first mention.
std::vector<std::string> ActionsOf(const THelpEntry& Entry);
std::vector<std::string> OptionsOf(const THelpEntry& Entry);

// The usage lines of one action ("  vault show FILE RECORD ...", with the
// lines that continue them), as 'klpass help vault' prints them; empty when
// the command has no such action.
std::string ActionUsage(const THelpEntry& Entry, std::string_view Action);

// The options after an action (Action empty: after a command without
// actions), "--help" last, each with what it takes. A command that has
// actions offers "--help" alone before one.
std::vector<TOptionForm> ActionOptions(const THelpEntry& Entry, std::string_view Action);

// Completion for bash, zsh or fish; empty for another shell name.
std::string CompletionScript(std::string_view Shell, std::span<const THelpEntry> Entries);

// The manual page (man(7) macros); Closing is the text after the commands.
std::string ManualPage(std::span<const THelpEntry> Entries, const std::string& Version, const std::string& Closing);

} // namespace klpass
