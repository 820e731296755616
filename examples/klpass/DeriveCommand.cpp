#include <cstdio>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"

namespace klpass {

namespace {

constexpr std::int32_t kMaxLength = 4096;
constexpr std::int32_t kMaxIterations = 10'000'000;

int RunDerive(const TCommandWords& Words) {
  const TArguments args(Words, {{"--length", true}, {"--iterations", true}}, kAlphabetOptions);
  args.ExpectPositional(1, 1, "site address");
  const std::string& site = args.Positional().front();
  const std::int32_t length =
      ParseNumber(args.Value("--length").value_or(std::to_string(kl::TKLPasswordGenerator::DefaultLengthValue)), 1,
                  kMaxLength, "the length");
  const std::int32_t iterations = ParseNumber(
      args.Value("--iterations").value_or(std::to_string(kl::TKLPasswordGenerator::DefaultIterationCountValue)), 1,
      kMaxIterations, "the iteration count");

  kl::TKLPasswordGenerator generator;
  ApplyAlphabetOptions(args, generator);
  generator.SetDefaultIterationCount(iterations);
  const TSecret masterKey = ReadSecret("Master key");
  // The same master key, site, length, iteration count and alphabet give the
  // same password on every machine: nothing needs storing.
  kl::String password =
      Attempt("cannot derive a password", [&] { return generator.Generate(masterKey.Get(), Text(site), length); });
  PrintSecretLine(password);
  kl::WipeString(password);
  return kExitOk;
}

} // namespace

const TCommand DeriveCommand = {
    "derive",
    "  derive SITE [--length N] [--iterations N] [alphabet options]\n"
    "      Prints the password derived from a master key (read as a secret) and\n"
    "      the site address: always the same for the same key, site, length (16),\n"
    "      iteration count (500) and alphabet, so it never needs storing.\n" KLPASS_ALPHABET_USAGE,
    RunDerive};

} // namespace klpass
