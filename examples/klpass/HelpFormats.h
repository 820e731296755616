#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// The help table of klpass in the shapes other programs read: shell
// completion scripts and the manual page, so that they say what 'klpass help'
// says and never drift from it.
namespace klpass {

struct THelpEntry {
  const char* Name;
  const char* Summary; // one line
  const char* Usage;   // the indented usage text of the command
};

// The words a command takes first ("create", "info", ... for vault), read
// from its usage lines ("  vault create FILE ..."), and the options ("--x")
// its usage names, each once, in order of first mention.
std::vector<std::string> ActionsOf(const THelpEntry& Entry);
std::vector<std::string> OptionsOf(const THelpEntry& Entry);

// Completion for bash, zsh or fish; empty for another shell name.
std::string CompletionScript(std::string_view Shell, std::span<const THelpEntry> Entries);

// The manual page (man(7) macros); Closing is the text after the commands.
std::string ManualPage(std::span<const THelpEntry> Entries, const std::string& Version, const std::string& Closing);

} // namespace klpass
