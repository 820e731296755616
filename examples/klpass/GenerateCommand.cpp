#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

constexpr std::int32_t kMaxLength = 4096;
constexpr std::int32_t kMaxCount = 10000;
constexpr std::int32_t kMaxWords = 100;

// A length "N", or a range "MIN-MAX" (both ends included).
struct TLengthRange {
  std::int32_t Min = kl::TKLPasswordGenerator::DefaultLengthValue;
  std::int32_t Max = kl::TKLPasswordGenerator::DefaultLengthValue;
};

TLengthRange ParseLength(const std::string& Text) {
  const std::size_t dash = Text.find('-');
  if (dash == std::string::npos) {
    const std::int32_t length = ParseNumber(Text, 1, kMaxLength, "the length");
    return {length, length};
  }
  const std::int32_t min = ParseNumber(Text.substr(0, dash), 1, kMaxLength, "the shortest length");
  const std::int32_t max = ParseNumber(Text.substr(dash + 1), min, kMaxLength, "the longest length");
  return {min, max};
}

// Options that shape only one kind of output, and so are refused with the other.
constexpr const char* kPasswordOnly[] = {"--length",    "--each",       "--min-upper",
                                         "--min-lower", "--min-digits", "--min-symbols"};
constexpr const char* kPassphraseOnly[] = {"--words", "--separator", "--capitalize", "--wordlist", "--insert"};

void RefuseOptions(const TArguments& Args, std::span<const char* const> Names, const char* Kind) {
  for (const char* name : Names) {
    if (Args.Has(name)) Fail(kExitUsage, std::string(name) + " does not apply to " + Kind);
  }
}

void ApplyMinimums(const TArguments& Args, kl::TKLPasswordGenerator& Generator) {
  Generator.SetRequireEachSet(Args.Has("--each"));
  auto minimum = [&](const char* Name) {
    const std::optional<std::string> value = Args.Value(Name);
    return value ? ParseNumber(*value, 0, kMaxLength, Name) : 0;
  };
  Generator.SetMinUpperCase(minimum("--min-upper"));
  Generator.SetMinLowerCase(minimum("--min-lower"));
  Generator.SetMinDigits(minimum("--min-digits"));
  Generator.SetMinSymbols(minimum("--min-symbols"));
}

void ApplyPassphraseOptions(const TArguments& Args, kl::TKLPasswordGenerator& Generator) {
  if (const std::optional<std::string> words = Args.Value("--words")) {
    Generator.SetPassphraseWords(ParseNumber(*words, 1, kMaxWords, "the number of words"));
  }
  if (const std::optional<std::string> separator = Args.Value("--separator")) {
    Generator.SetPassphraseSeparator(Text(*separator));
  }
  Generator.SetCapitalizeWords(Args.Has("--capitalize"));
  if (const std::optional<std::string> insert = Args.Value("--insert")) {
    if (*insert != "digit" && *insert != "symbol") Fail(kExitUsage, "--insert takes 'digit' or 'symbol'");
    Generator.SetPassphraseExtra(*insert == "digit" ? kl::peDigit : kl::peSymbol);
  }
  if (const std::optional<std::string> file = Args.Value("--wordlist")) {
    Generator.SetWordList(Attempt("cannot read the word list '" + *file + "'",
                                  [&] { return kl::TKLWordList::LoadFromFile(Text(*file)); }));
  }
}

int RunGenerate(const TCommandWords& Words) {
  const TArguments args(Words,
                        {{"--length", true},
                         {"--count", true},
                         {"--each"},
                         {"--min-upper", true},
                         {"--min-lower", true},
                         {"--min-digits", true},
                         {"--min-symbols", true},
                         {"--passphrase"},
                         {"--words", true},
                         {"--separator", true},
                         {"--capitalize"},
                         {"--wordlist", true},
                         {"--insert", true},
                         {"--entropy"}},
                        kAlphabetOptions);
  args.ExpectPositional(0, 0, "");
  const bool passphrase = args.Has("--passphrase");
  if (passphrase) {
    RefuseOptions(args, kPasswordOnly, "passphrases");
  } else {
    RefuseOptions(args, kPassphraseOnly, "passwords (add --passphrase)");
  }
  const TLengthRange length =
      ParseLength(args.Value("--length").value_or(std::to_string(kl::TKLPasswordGenerator::DefaultLengthValue)));
  const std::int32_t count = ParseNumber(args.Value("--count").value_or("1"), 1, kMaxCount, "the count");

  kl::TKLPasswordGenerator generator;
  ApplyAlphabetOptions(args, generator);
  ApplyMinimums(args, generator);
  ApplyPassphraseOptions(args, generator);
  // The settings are checked (and the entropy reported) before anything is drawn.
  const double bits = Attempt("cannot make a password", [&] {
    if (passphrase) return generator.GetPassphraseEntropy();
    return length.Min == length.Max ? generator.GetEntropy(length.Min)
                                    : generator.GetEntropy(length.Min, length.Max + 1);
  });
  if (args.Has("--entropy")) std::fprintf(stderr, "entropy: %.1f bits\n", bits);
  for (std::int32_t i = 0; i < count; ++i) {
    // The generator's range form draws the length from Min up to, not including, its upper bound.
    kl::String password = Attempt("cannot make a password", [&] {
      if (passphrase) return generator.GeneratePassphrase();
      return length.Min == length.Max ? generator.Generate(length.Min) : generator.Generate(length.Min, length.Max + 1);
    });
    PrintSecretLine(password);
    kl::WipeString(password);
  }
  return kExitOk;
}

} // namespace

const TCommand GenerateCommand = {
    "generate",
    "  generate [--length N|MIN-MAX] [--count N] [--each] [--min-upper N] [--min-lower N]\n"
    "           [--min-digits N] [--min-symbols N] [--entropy] [alphabet options]\n"
    "      Prints random passwords, one a line: COUNT of them (default 1), each of\n"
    "      N characters (default 16) or of a length drawn from MIN to MAX, drawn\n"
    "      alike from every password that holds a character of each set (--each)\n"
    "      and at least N upper-case letters, lower-case letters, digits or symbols.\n"
    "      --entropy prints the bits of entropy on standard error.\n" KLPASS_ALPHABET_USAGE
    "  generate --passphrase [--words N] [--separator S] [--capitalize]\n"
    "           [--insert digit|symbol] [--wordlist FILE] [--count N] [--entropy]\n"
    "      Prints passphrases of N words (default 6) from the EFF long word list, or\n"
    "      from FILE (one word a line), joined by S (default '-'); --capitalize\n"
    "      starts each word in upper case, --insert adds one digit or symbol at a\n"
    "      random word's edge (--no-lookalike and --exclude apply to it).\n",
    RunGenerate};

} // namespace klpass
