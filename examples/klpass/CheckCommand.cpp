#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Arguments.h"
#include "CheckPolicies.h"
#include "Commands.h"
#include "Console.h"

#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "foundation/StringList.h"
#include "rules/KLBlocklist.h"
#include "rules/KLCheckReport.h"
#include "rules/KLPolicies.h"
#include "rules/KLRules.h"
#include "rules/KLStrength.h"

namespace klpass {

namespace {

constexpr const char* kDemoUser = "alice";

constexpr const char* kDemoPasswords[] = {"Tr0ub4dor&3",  "password",        "correct horse battery staple",
                                          "alice1990!",   "Qwerty!2024",     "aaaBBB111!",
                                          "P@ss-Word-42", "xK9#mQ2$vL7&wZ5^"};

kl::TStringList ReadDictionary(const std::optional<std::string>& FileName) {
  kl::TStringList words;
  if (FileName) Attempt("cannot read the dictionary '" + *FileName + "'", [&] { words.LoadFromFile(Text(*FileName)); });
  return words;
}

// A plain list over this size is worth compiling: it is read whole at every
// run (about 4 s a million lines), a compiled one is looked up in place.
constexpr std::uintmax_t kCompileHintBytes = std::uintmax_t{1} << 20;

// Says so on standard error when FileName is a large list that is not compiled.
void HintToCompile(const std::string& FileName) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(FileName, error);
  if (error || size < kCompileHintBytes) return;
  try {
    kl::TKLBlocklistFilter compiled(Text(FileName)); // reads the header only
  } catch (const kl::Exception&) {
    std::fprintf(stderr,
                 "klpass check: hint: '%s' is a plain list, read whole at every run; compiling it once "
                 "(klpass blocklist compile '%s' OUT) makes every check fast\n",
                 FileName.c_str(), FileName.c_str());
  }
}

std::unique_ptr<kl::TKLPasswordRule> Blocklist(const std::string& FileName) {
  HintToCompile(FileName);
  auto rule = std::make_unique<kl::TKLBlocklistRule>(false);
  Attempt("cannot read the blocklist '" + FileName + "'", [&] { rule->LoadFromFile(Text(FileName)); });
  return rule;
}

// --lang: comma-separated codes of the strength estimator's language packs, or
// "all" for every one; the first names the language of the texts.
std::vector<std::string> ParseLanguages(const std::string& Value) {
  const std::vector<std::string> known = kl::StrengthLanguages();
  if (Value == "all") {
    if (known.empty()) Fail(kExitUsage, "this build has no language packs for --lang");
    return known;
  }
  std::vector<std::string> languages;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(Value.find(',', start), Value.size());
    const std::string code = Value.substr(start, comma - start);
    if (std::find(known.begin(), known.end(), code) == known.end()) {
      std::string list;
      for (const std::string& k : known) list += k + ", ";
      Fail(kExitUsage, "unknown language '" + code + "' for --lang (known: " + list + "or all)");
    }
    if (std::find(languages.begin(), languages.end(), code) == languages.end()) languages.push_back(code);
    if (comma == Value.size()) return languages;
    start = comma + 1;
  }
}

// --profile, and without it the model the languages ask for: only zxcvbn-ts
// has the packs' dictionaries, so --lang alone chooses it.
kl::TKLStrengthProfile ParseProfile(const std::optional<std::string>& Value, bool LanguagesGiven) {
  if (!Value) return LanguagesGiven ? kl::spZxcvbnTs : kl::spZxcvbn;
  if (*Value == "zxcvbn") return kl::spZxcvbn;
  if (*Value == "zxcvbn-ts") return kl::spZxcvbnTs;
  Fail(kExitUsage, "unknown strength profile '" + *Value + "' (zxcvbn or zxcvbn-ts)");
}

// One line of JSON: the verdict, the strength estimate and the failures, never
// the password (the library's own form, which the C interface gives too).
void PrintJson(const kl::TKLRuleFailures& Failures, const kl::TKLStrengthResult& Strength) {
  std::printf("%s\n", kl::FormatCheckJson(Failures, Strength).c_str());
}

void PrintText(const kl::TKLRuleFailures& Failures, const kl::TKLStrengthResult& Strength, const std::string& Label) {
  std::printf("%-6s%s\n", Failures.empty() ? "ok" : "FAIL", Label.c_str());
  const kl::TKLRuleMessages& messages = kl::TKLRuleMessages::ForLanguage(Strength.Language);
  for (const kl::TKLRuleFailure& failure : Failures) {
    std::printf("        - %s: %s\n", failure.GetCode().c_str(), Utf8(messages.Format(failure)).c_str());
  }
  const kl::TKLCrackTimesDisplay& t = Strength.CrackTimesDisplay;
  std::printf(
      "        strength %d of 4, about 10^%.1f guesses; time to crack: %s online throttled, %s online,\n"
      "        %s offline with slow hashing, %s offline with fast hashing\n",
      Strength.Score, Strength.GuessesLog10, Utf8(t.OnlineThrottling).c_str(), Utf8(t.OnlineNoThrottling).c_str(),
      Utf8(t.OfflineSlowHashing).c_str(), Utf8(t.OfflineFastHashing).c_str());
  if (!Strength.Feedback.Warning.empty()) std::printf("        warning: %s\n", Utf8(Strength.Feedback.Warning).c_str());
  for (const kl::String& suggestion : Strength.Feedback.Suggestions)
    std::printf("        suggestion: %s\n", Utf8(suggestion).c_str());
}

struct TOutput {
  bool Json = false;
  bool AllPassed = true;
};

// Checks one password, estimates its strength and prints both (the password
// shown as Label in text).
void CheckOne(const kl::TKLPasswordRulesList& Policy, const kl::TKLStrengthEstimator& Estimator,
              const kl::String& Password, const std::string& Label, TOutput& Output) {
  const kl::TKLRuleFailures failures = Policy.GetFailures(Password);
  const kl::TKLStrengthResult strength = Estimator.Estimate(Password);
  Output.AllPassed = Output.AllPassed && failures.empty();
  if (Output.Json) {
    PrintJson(failures, strength);
  } else {
    PrintText(failures, strength, Label);
  }
}

int RunCheck(const TCommandWords& Words) {
  const TArguments args(Words, {{"--user", true},
                                {"--dict", true},
                                {"--prompt"},
                                {"--stdin"},
                                {"--json"},
                                {"--policy", true},
                                {"--multi-factor"},
                                {"--min-score", true},
                                {"--blocklist", true},
                                {"--lang", true},
                                {"--profile", true}});
  std::string user = args.Value("--user").value_or("");
  const bool prompt = args.Has("--prompt");
  const bool fromStdin = args.Has("--stdin");
  if (prompt && fromStdin) Fail(kExitUsage, "--prompt and --stdin both read standard input; give one");
  const std::string policyName = args.Value("--policy").value_or("classic");
  if (policyName != "classic" && policyName != "nist") Fail(kExitUsage, "unknown policy '" + policyName + "'");
  const bool demo = args.Positional().empty() && !prompt && !fromStdin;
  if (demo && user.empty()) user = kDemoUser;
  const std::int32_t minScore =
      ParseNumber(args.Value("--min-score").value_or("0"), 0, kl::kMaxStrengthScore, "the minimum score");
  const kl::TStringList words = ReadDictionary(args.Value("--dict"));
  TCheckPolicyOptions options;
  options.Nist = policyName == "nist";
  options.MultiFactor = args.Has("--multi-factor");
  options.MinScore = minScore;
  options.User = Text(user);
  options.Words.assign(words.begin(), words.end());
  const std::optional<std::string> languages = args.Value("--lang");
  if (languages) options.Languages = ParseLanguages(*languages);
  options.Profile = ParseProfile(args.Value("--profile"), languages.has_value());
  // The user name and the dictionary's words are the estimator's own words.
  const std::vector<kl::String> userInputs = CheckUserInputs(options);
  std::unique_ptr<kl::TKLPasswordRulesList> policy =
      Attempt("cannot build the policy", [&] { return CreateCheckPolicy(options); });
  if (const auto file = args.Value("--blocklist")) policy->Add(Blocklist(*file));
  kl::TKLStrengthEstimator estimator;
  estimator.SetUserInputs(userInputs);
  Attempt("cannot use the strength profile", [&] {
    estimator.SetProfile(options.Profile);
    estimator.SetLanguages(options.Languages);
  });

  std::optional<TSecret> entered;
  if (prompt) entered.emplace(ReadSecret("Password to check"));

  TOutput output;
  output.Json = args.Has("--json");
  if (!output.Json) {
    std::printf("%s policy of %d rules", policyName == "nist" ? "NIST SP 800-63B" : "Classic", policy->GetCount());
    if (!user.empty()) std::printf(" for user \"%s\"", user.c_str());
    std::printf("%s:\n", demo ? " (built-in examples)" : "");
  }
  if (entered) CheckOne(*policy, estimator, entered->Get(), "(the password entered)", output);
  std::vector<std::string> passwords = args.Positional();
  if (demo) passwords.assign(std::begin(kDemoPasswords), std::end(kDemoPasswords));
  for (const std::string& password : passwords) {
    kl::String text = Text(password);
    CheckOne(*policy, estimator, text, password, output);
    kl::WipeString(text);
  }
  if (fromStdin) {
    // Passwords read from standard input are never echoed: the label is the line number.
    for (std::size_t line = 1;; ++line) {
      const std::optional<TSecret> next = ReadInputLine();
      if (!next) break;
      CheckOne(*policy, estimator, next->Get(), "(line " + std::to_string(line) + ")", output);
    }
  }
  return demo || output.AllPassed ? kExitOk : kExitFailed;
}

} // namespace

const TCommand CheckCommand = {"check",
                               "  check [--policy classic|nist] [--multi-factor] [--user NAME] [--dict FILE]\n"
                               "        [--blocklist FILE] [--min-score N] [--lang L[,L...]|all]\n"
                               "        [--profile zxcvbn|zxcvbn-ts] [--json] [--prompt | --stdin]\n"
                               "        [--] [PASSWORD...]\n"
                               "      Checks each password against a policy and lists every failure with its\n"
                               "      code, then estimates its strength: a score from 0 to 4, the guesses an\n"
                               "      attacker needs, the time to crack it in four attack scenarios, and\n"
                               "      advice. --min-score N (1-4) refuses passwords scoring lower\n"
                               "      (TOO_WEAK). The classic policy has twelve rules; --policy nist follows NIST\n"
                               "      SP 800-63B: at least 15 characters (8 with --multi-factor, when the\n"
                               "      password is one factor of several), at most 64, no composition rules,\n"
                               "      and no common password. --user forbids the user name; --dict adds\n"
                               "      forbidden words, one a line (UTF-8); --blocklist adds a list of\n"
                               "      passwords or a file made by 'blocklist compile'. --prompt reads one\n"
                               "      more password without echo, --stdin one password a line until the end\n"
                               "      of the input. --json prints one object a password, in input order,\n"
                               "      without the password (ok, score, guesses_log10, guesses, crack times,\n"
                               "      feedback, failures). Without passwords it checks built-in examples\n"
                               "      for the user \"alice\". Exit status 1 when any given password fails.\n"
                               "      --profile chooses the strength model: zxcvbn (4.4.2, English words;\n"
                               "      the default) or zxcvbn-ts (4.2.0, with its language packs: the common\n"
                               "      pack and English always). --lang de,fr adds those packs' words and\n"
                               "      gives the advice, the crack times in words and the translated policy\n"
                               "      messages in the first (en de fr es-es it nl-be pl pt-br, or all);\n"
                               "      as only zxcvbn-ts has the packs' words, --lang alone chooses it, and\n"
                               "      with --profile zxcvbn it translates the texts only. The JSON gives\n"
                               "      warning_key and suggestion_keys beside the texts, crack_times_display,\n"
                               "      profile and language.\n",
                               RunCheck};

} // namespace klpass
