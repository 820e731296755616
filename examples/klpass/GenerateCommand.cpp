#include <cstdio>
#include <optional>
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

int RunGenerate(const TCommandWords& Words) {
  const TArguments args(Words, {{"--length", true}, {"--count", true}}, kAlphabetOptions);
  args.ExpectPositional(0, 0, "");
  const TLengthRange length =
      ParseLength(args.Value("--length").value_or(std::to_string(kl::TKLPasswordGenerator::DefaultLengthValue)));
  const std::int32_t count = ParseNumber(args.Value("--count").value_or("1"), 1, kMaxCount, "the count");

  kl::TKLPasswordGenerator generator;
  ApplyAlphabetOptions(args, generator);
  for (std::int32_t i = 0; i < count; ++i) {
    // The generator's range form draws the length from Min up to, not including, its upper bound.
    kl::String password = Attempt("cannot make a password", [&] {
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
    "  generate [--length N|MIN-MAX] [--count N] [alphabet options]\n"
    "      Prints random passwords, one a line: COUNT of them (default 1), each of\n"
    "      N characters (default 16) or of a length drawn from MIN to MAX.\n" KLPASS_ALPHABET_USAGE,
    RunGenerate};

} // namespace klpass
