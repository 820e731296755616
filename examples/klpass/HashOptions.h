#pragma once

#include <array>
#include <string>

#include "Arguments.h"
#include "crypto/KLPasswordHash.h"

// The options that set the cost of new password hashes, shared by every
// subcommand that makes them.
namespace klpass {

inline constexpr std::array<TOptionSpec, 2> kHashOptions = {{{"--hash-memory", true}, {"--hash-passes", true}}};
#define KLPASS_HASH_USAGE                                                        \
  "      New hashes cost 64 MiB and 2 passes of Argon2id unless --hash-memory\n" \
  "      MIB or --hash-passes N (a hash weaker than that is replaced on verify).\n"

// The library's defaults, changed by the options given.
kl::TKLPasswordHashParameters ReadHashOptions(const TArguments& Args);

// "argon2id, 65536 KiB, 2 passes, 1 lane" for a hash string.
std::string DescribeHash(const kl::String& Hash);

} // namespace klpass
