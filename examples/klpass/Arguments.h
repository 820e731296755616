#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kl {
class TKLPasswordGenerator;
}

namespace klpass {

// What TArguments throws for a "--help" or "-h" where an option may stand
// (never for a value: "--title -h" names a title): the host prints the usage
// of the command or action and succeeds, before anything is read or asked.
// Positional holds the positional words before it, so that the host can tell
// the action of a command that allows options before it.
class EHelpRequested : public std::exception {
public:
  explicit EHelpRequested(std::vector<std::string> Positional) : FPositional(std::move(Positional)) {}
  const char* what() const noexcept override { return "help requested"; }
  const std::vector<std::string>& Positional() const noexcept { return FPositional; }

private:
  std::vector<std::string> FPositional;
};

// One option a subcommand accepts: "--name" alone, or "--name VALUE".
struct TOptionSpec {
  std::string_view Name;
  bool TakesValue = false;
};

// The words after a subcommand, split into options and positional words. A
// word "--" ends the options; a "--help" or "-h" before it throws
// EHelpRequested. Unknown options, missing values and missing or surplus
// positional words are usage errors (ECommandError).
class TArguments {
public:
  TArguments(const std::vector<std::string>& Words, std::initializer_list<TOptionSpec> Options,
             std::span<const TOptionSpec> MoreOptions = {});

  bool Has(std::string_view Name) const;
  // The value of the last occurrence of the option, if given.
  std::optional<std::string> Value(std::string_view Name) const;
  // The values of every occurrence, in order.
  std::vector<std::string> Values(std::string_view Name) const;

  const std::vector<std::string>& Positional() const noexcept { return FPositional; }
  // Requires between Min and Max positional words; Names describes them for the message.
  void ExpectPositional(std::size_t Min, std::size_t Max, const char* Names) const;

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> FOptions;
  std::vector<std::string> FPositional;
};

// A decimal number from Min to Max; What names it in the usage error.
std::int32_t ParseNumber(const std::string& Text, std::int32_t Min, std::int32_t Max, const char* What);

// The name among Names closest to Word (by edits of one character), when close
// enough to be a likely slip; empty otherwise. For "did you mean" hints.
std::string ClosestName(std::string_view Word, std::span<const std::string_view> Names);

// The options that pick the password generator's alphabet, shared by every
// subcommand that makes passwords.
inline constexpr std::array<TOptionSpec, 8> kAlphabetOptions = {{{"--no-upper"},
                                                                 {"--no-lower"},
                                                                 {"--no-digits"},
                                                                 {"--no-symbols"},
                                                                 {"--space"},
                                                                 {"--custom", true},
                                                                 {"--no-lookalike"},
                                                                 {"--exclude", true}}};
// Describes those options in a usage text (a literal, to join with others).
#define KLPASS_ALPHABET_USAGE                                                      \
  "      Alphabet: upper and lower case letters, digits and symbols unless\n"      \
  "      --no-upper, --no-lower, --no-digits or --no-symbols; --space adds the\n"  \
  "      space, --custom CHARS adds the given characters; --no-lookalike leaves\n" \
  "      out 0 O o 1 I l | ` ' \", --exclude CHARS the given characters.\n"
void ApplyAlphabetOptions(const TArguments& Args, kl::TKLPasswordGenerator& Generator);

} // namespace klpass
