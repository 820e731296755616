#include "Arguments.h"

#include <algorithm>
#include <charconv>

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
