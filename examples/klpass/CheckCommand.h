#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace klpass {

// Exit codes of every subcommand.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// `klpass check [--user NAME] [--dict FILE] [PASSWORD...]`: checks each password
// against a policy of all twelve rules and prints the rules it fails. With no
// passwords it checks a few built-in examples. Args are the words after "check".
int RunCheck(const std::vector<std::string>& Args);

void PrintCheckUsage(std::FILE* Out);

}  // namespace klpass
