#pragma once

#include <array>
#include <string>

#include "Arguments.h"
#include "storage/KLStorage.h"

// What the vault and the encrypted user database share about their file: the
// options that set the cost of the master-password derivation, and the
// description of a file's format.
namespace klpass {

inline constexpr std::array<TOptionSpec, 3> kKdfOptions = {
    {{"--kdf-memory", true}, {"--kdf-passes", true}, {"--unlock-time", true}}};
#define KLPASS_KDF_USAGE                                                                \
  "      The master password's key is derived with Argon2id: --kdf-memory MIB (8 to\n"  \
  "      1024, default 64) and --kdf-passes N (default 3), or --unlock-time SECONDS,\n" \
  "      which measures this machine and picks the passes for that time.\n"

bool HasKdfOptions(const TArguments& Args);
// The parameters the options ask for; Base where they are silent.
kl::TKLKdfParameters KdfFromOptions(const TArguments& Args, const kl::TKLKdfParameters& Base);

// "version 3 (authenticated), Argon2id 64 MiB, 3 passes" and the like.
std::string DescribeFormat(const kl::TKLStorageFileInfo& Info);
// Prints the format of an encrypted storage file, read without its password.
void PrintFileInfo(const std::string& File);

} // namespace klpass
