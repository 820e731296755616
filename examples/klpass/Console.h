#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "foundation/Exceptions.h"
#include "foundation/Types.h"

// What every klpass subcommand shares: exit codes, failures worded for the
// user, and reading secrets from the terminal or from standard input.
namespace klpass {

// Exit codes of every subcommand; each kind of failure has its own.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;        // a password failed the policy check
inline constexpr int kExitUsage = 2;         // bad command line, or a name or value the files cannot hold
inline constexpr int kExitWrongPassword = 3; // wrong master password, or a user's password did not verify
inline constexpr int kExitDamaged = 4;       // the file is damaged or not of the expected kind
inline constexpr int kExitNotFound = 5;      // unknown user or record
inline constexpr int kExitFileError = 6;     // a file or the key store cannot be read or written
inline constexpr int kExitExists = 7;        // the user or the file already exists
inline constexpr int kExitInternal = 8;      // anything else: a fault of klpass or the library
inline constexpr int kExitAmbiguous = 9;     // a title names several records
inline constexpr int kExitLocked = 10;       // the account is locked after too many failed attempts

// A failure a subcommand reports to the user: main prints "klpass <command>:
// <message>" on standard error and exits with the code.
class ECommandError : public std::runtime_error {
public:
  ECommandError(int ExitCode, const std::string& Message) : std::runtime_error(Message), FExitCode(ExitCode) {}
  int GetExitCode() const noexcept { return FExitCode; }

private:
  int FExitCode;
};

[[noreturn]] void Fail(int ExitCode, const std::string& Message);

// The exit code and a plain explanation of a library failure; the library's
// own message follows in brackets where it adds something.
std::pair<int, std::string> Classify(const kl::Exception& Error);

// Rethrows a library failure met while doing What ("cannot open 'x'") as an
// ECommandError whose exit code and wording say what went wrong.
[[noreturn]] void Explain(const kl::Exception& Error, const std::string& What);

// Runs Action; a library failure is explained as above.
template <class TAction>
decltype(auto) Attempt(const std::string& What, TAction&& Action) {
  try {
    return Action();
  } catch (const kl::Exception& e) {
    Explain(e, What);
  }
}

// A secret read from the user, wiped when it goes. Not copyable; moving copies
// the text and wipes the source, so that no stray copy is left in memory.
class TSecret {
public:
  TSecret(const std::uint8_t* Data, std::size_t Size);
  TSecret(TSecret&& Other);
  ~TSecret();
  TSecret(const TSecret&) = delete;
  TSecret& operator=(const TSecret&) = delete;

  const kl::String& Get() const noexcept { return FValue; }
  bool Empty() const noexcept { return FValue.empty(); }

private:
  kl::String FValue;
};

// Reads one secret. On a terminal, Prompt is shown on standard error and the
// typing is not echoed; otherwise one line of standard input is read, without a
// prompt (scripts give one line per secret). End of input is a usage error.
TSecret ReadSecret(const std::string& Prompt);

// Reads a new secret: on a terminal it is asked twice and must match (and must
// not be empty when AllowEmpty is false); from standard input one line.
TSecret ReadNewSecret(const std::string& Prompt, bool AllowEmpty);

// Reads one line of standard input as a secret, without a prompt; nothing at
// the end of the input.
std::optional<TSecret> ReadInputLine();

// Asks Question (answered y or yes) where standard input is a terminal; true
// without asking otherwise, since a script has already said what it wants.
bool Confirm(const std::string& Question);

// Refuses (exit code kExitExists) to replace an existing file unless Force.
void RefuseExisting(const std::string& FileName, bool Force);

// UTF-8 from and to the library's UTF-16 text.
kl::String Text(const std::string& Utf8);
std::string Utf8(const kl::String& Text);

// Prints a secret on a line of its own and wipes the UTF-8 copy made for it,
// and standard output's buffer once the line has left it.
void PrintSecretLine(const kl::String& Secret);

// Gives standard output a buffer of klpass's own (line-buffered on a terminal,
// fully otherwise), so that what passed through it can be wiped: the C
// library's buffer would keep a revealed password until the process ends.
// Called once, before anything is printed; the buffer is wiped at exit too.
void UseWipedOutputBuffer();
// Flushes standard output and wipes its buffer.
void WipeOutputBuffer();

} // namespace klpass
