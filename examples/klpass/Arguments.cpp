#include "Arguments.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <vector>

#include "Console.h"
#include "passwords/KLPasswords.h"

namespace klpass {

TArguments::TArguments(const std::vector<std::string>& Words, std::initializer_list<TOptionSpec> Options,
                       std::span<const TOptionSpec> MoreOptions) {
  auto find = [&](const std::string& Word) -> const TOptionSpec* {
    for (const TOptionSpec& option : Options) {
      if (option.Name == Word) return &option;
    }
    for (const TOptionSpec& option : MoreOptions) {
      if (option.Name == Word) return &option;
    }
    return nullptr;
  };
  bool optionsEnded = false;
  for (std::size_t i = 0; i < Words.size(); ++i) {
    const std::string& word = Words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      FPositional.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else if (word == "--help" || word == "-h") {
      throw EHelpRequested(FPositional);
    } else if (const TOptionSpec* option = find(word); option == nullptr) {
      Fail(kExitUsage, "unknown option '" + word + "'");
    } else if (!option->TakesValue) {
      FOptions.emplace_back(word, std::nullopt);
    } else if (i + 1 < Words.size()) {
      FOptions.emplace_back(word, Words[++i]);
    } else {
      Fail(kExitUsage, "missing value for '" + word + "'");
    }
  }
}

bool TArguments::Has(std::string_view Name) const {
  return std::any_of(FOptions.begin(), FOptions.end(), [&](const auto& option) { return option.first == Name; });
}

std::optional<std::string> TArguments::Value(std::string_view Name) const {
  for (auto it = FOptions.rbegin(); it != FOptions.rend(); ++it) {
    if (it->first == Name) return it->second;
  }
  return std::nullopt;
}

std::vector<std::string> TArguments::Values(std::string_view Name) const {
  std::vector<std::string> values;
  for (const auto& [name, value] : FOptions) {
    if (name == Name && value) values.push_back(*value);
  }
  return values;
}

void TArguments::ExpectPositional(std::size_t Min, std::size_t Max, const char* Names) const {
  if (FPositional.size() < Min) Fail(kExitUsage, std::string("missing ") + Names);
  if (FPositional.size() > Max) Fail(kExitUsage, "unexpected argument '" + FPositional[Max] + "'");
}

std::int32_t ParseNumber(const std::string& Text, std::int32_t Min, std::int32_t Max, const char* What) {
  std::int32_t value = 0;
  const char* end = Text.data() + Text.size();
  const auto [ptr, error] = std::from_chars(Text.data(), end, value);
  if (Text.empty() || error != std::errc() || ptr != end || value < Min || value > Max) {
    Fail(kExitUsage, std::string(What) + " must be a number from " + std::to_string(Min) + " to " +
                         std::to_string(Max) + ", not '" + Text + "'");
  }
  return value;
}

namespace {

// Edits (insert, delete, replace, swap of neighbours) that turn A into B.
std::size_t EditDistance(std::string_view A, std::string_view B) {
  std::vector<std::vector<std::size_t>> d(A.size() + 1, std::vector<std::size_t>(B.size() + 1));
  for (std::size_t i = 0; i <= A.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= B.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= A.size(); ++i) {
    for (std::size_t j = 1; j <= B.size(); ++j) {
      const std::size_t cost = A[i - 1] == B[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && A[i - 1] == B[j - 2] && A[i - 2] == B[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[A.size()][B.size()];
}

} // namespace

std::string ClosestName(std::string_view Word, std::span<const std::string_view> Names) {
  // Words are command names typed by hand: bound the work on a hostile one.
  if (Word.size() > 64) return {};
  std::string_view best;
  std::size_t bestDistance = SIZE_MAX;
  for (std::string_view name : Names) {
    // A word that begins a name ("gen") is as good as one edit away.
    const std::size_t distance = name.starts_with(Word) && !Word.empty() ? 1 : EditDistance(Word, name);
    if (distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  // Two slips in a long name, one in a short one; more is another word.
  const std::size_t allowed = best.size() > 5 ? 2 : 1;
  return bestDistance <= allowed ? std::string(best) : std::string();
}

void ApplyAlphabetOptions(const TArguments& Args, kl::TKLPasswordGenerator& Generator) {
  Generator.SetUseUpperCase(!Args.Has("--no-upper"));
  Generator.SetUseLowerCase(!Args.Has("--no-lower"));
  Generator.SetUseDigits(!Args.Has("--no-digits"));
  Generator.SetUseSymbols(!Args.Has("--no-symbols"));
  Generator.SetUseSpace(Args.Has("--space"));
  if (const std::optional<std::string> custom = Args.Value("--custom")) {
    Generator.SetUseCustomChars(true);
    Generator.SetCustomChars(Text(*custom));
  }
  Generator.SetExcludeLookAlikes(Args.Has("--no-lookalike"));
  if (const std::optional<std::string> excluded = Args.Value("--exclude")) Generator.SetExcludeChars(Text(*excluded));
}

} // namespace klpass
