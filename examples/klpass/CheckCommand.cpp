#include "CheckCommand.h"

#include <iterator>
#include <memory>
#include <optional>
#include <utility>

#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "foundation/StringList.h"
#include "rules/KLRules.h"

namespace klpass {

namespace {

constexpr std::int32_t kMinLength = 8;
constexpr std::int32_t kMaxLength = 64;
constexpr std::int32_t kKeyboardRun = 4;
constexpr std::int32_t kDigitRun = 3;
constexpr std::int32_t kCharacterRun = 3;
constexpr const char16_t* kForbiddenPattern = u"(?i)p[a@4]ss";
constexpr const char* kDemoUser = "alice";

constexpr const char16_t* kCommonPasswords[] = {u"password", u"123456",   u"12345678", u"qwerty",  u"letmein",
                                                u"iloveyou", u"admin",    u"welcome",  u"monkey",  u"dragon",
                                                u"sunshine", u"football", u"abc123",   u"passw0rd"};

constexpr const char* kDemoPasswords[] = {"Tr0ub4dor&3",  "password",        "correct horse battery staple",
                                          "alice1990!",   "Qwerty!2024",     "aaaBBB111!",
                                          "P@ss-Word-42", "xK9#mQ2$vL7&wZ5^"};

// A policy of all twelve rules, each with the requirement it stands for. The
// rule list owns the rules; FRequirements[i] words rule i.
class TPolicy {
 public:
  TPolicy(const std::string& User, const kl::TStringList& ExtraWords);

  std::int32_t GetCount() const noexcept { return FRules.GetCount(); }
  // The requirements the password does not meet, in rule order.
  std::vector<std::string> Failures(const kl::String& Password) const;

 private:
  void Add(std::unique_ptr<kl::TKLPasswordRule> Rule, std::string Requirement);

  kl::TKLPasswordRulesList FRules;
  std::vector<std::string> FRequirements;
};

void TPolicy::Add(std::unique_ptr<kl::TKLPasswordRule> Rule, std::string Requirement) {
  FRules.Add(std::move(Rule));
  FRequirements.push_back(std::move(Requirement));
}

std::unique_ptr<kl::TKLPasswordRule> PrintableAscii() {
  kl::String printable;
  for (char16_t c = u' '; c <= u'~'; ++c) printable.push_back(c);
  auto rule = std::make_unique<kl::TKLAllowedCharacterRule>();
  rule->SetAllowedChars(printable);
  return rule;
}

std::unique_ptr<kl::TKLPasswordRule> CommonWords(const kl::TStringList& ExtraWords) {
  auto rule = std::make_unique<kl::TKLDictionaryRule>();
  for (const char16_t* word : kCommonPasswords) rule->AddWord(word);
  for (const kl::String& word : ExtraWords) rule->AddWord(word);
  return rule;
}

TPolicy::TPolicy(const std::string& User, const kl::TStringList& ExtraWords) {
  const std::string range = std::to_string(kMinLength) + " to " + std::to_string(kMaxLength);
  Add(std::make_unique<kl::TKLUppercaseCharacterRule>(), "must hold an upper-case letter (A-Z)");
  Add(std::make_unique<kl::TKLLowercaseCharacterRule>(), "must hold a lower-case letter (a-z)");
  Add(std::make_unique<kl::TKLDigitsRule>(), "must hold a digit (0-9)");
  Add(PrintableAscii(), "may hold only printable ASCII characters");
  Add(std::make_unique<kl::TKLLengthRule>(kMinLength, kMaxLength), "must be " + range + " characters long");
  Add(std::make_unique<kl::TKLWhitespaceRule>(), "must not hold a space");
  Add(std::make_unique<kl::TKLUsernameRule>(kl::UTF8ToStr(User)), "must not hold the user name \"" + User + "\"");
  Add(CommonWords(ExtraWords), "must not be a common password");
  Add(std::make_unique<kl::TKLQwertySequenceRule>(kKeyboardRun),
      "must not hold " + std::to_string(kKeyboardRun) + " neighbouring keys of a keyboard row (\"asdf\")");
  Add(std::make_unique<kl::TKLNumericalSequenceRule>(kDigitRun),
      "must not repeat a digit " + std::to_string(kDigitRun) + " times in a row (\"777\")");
  Add(std::make_unique<kl::TKLRepeatCharacterRule>(kCharacterRun),
      "must not repeat a character " + std::to_string(kCharacterRun) + " times in a row (\"aaa\")");
  Add(std::make_unique<kl::TKLRegularExpressionRule>(kForbiddenPattern), "must not hold \"pass\" in any disguise");
}

std::vector<std::string> TPolicy::Failures(const kl::String& Password) const {
  std::vector<std::string> failures;
  for (std::int32_t i = 0; i < FRules.GetCount(); ++i) {
    const std::string& requirement = FRequirements[static_cast<std::size_t>(i)];
    try {
      if (!FRules.GetRule(i)->Validate(Password)) failures.push_back(requirement);
    } catch (const kl::Exception& e) {
      failures.push_back(requirement + " (could not be checked: " + e.GetMessage() + ")");
    }
  }
  return failures;
}

// Prints the verdict on one password; true when it passes.
bool CheckOne(const TPolicy& Policy, const std::string& Password) {
  kl::String text = kl::UTF8ToStr(Password);
  const std::vector<std::string> failures = Policy.Failures(text);
  kl::WipeString(text);
  std::printf("%-6s%s\n", failures.empty() ? "ok" : "FAIL", Password.c_str());
  for (const std::string& failure : failures) std::printf("        - %s\n", failure.c_str());
  return failures.empty();
}

struct TCheckOptions {
  std::string User;
  std::optional<std::string> DictFile;
  std::vector<std::string> Passwords;
  bool Help = false;
};

// Parses the words after "check"; nullopt (after a message) on a usage error.
std::optional<TCheckOptions> ParseCheckOptions(const std::vector<std::string>& Args) {
  TCheckOptions options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& arg = Args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-') {
      options.Passwords.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      options.Help = true;
    } else if ((arg == "--user" || arg == "--dict") && i + 1 < Args.size()) {
      (arg == "--user" ? options.User : options.DictFile.emplace()) = Args[++i];
    } else {
      std::fprintf(stderr, "klpass check: %s '%s'\n",
                   arg == "--user" || arg == "--dict" ? "missing value for" : "unknown option", arg.c_str());
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace

void PrintCheckUsage(std::FILE* Out) {
  std::fprintf(Out,
               "  check [--user NAME] [--dict FILE] [--] [PASSWORD...]\n"
               "      Checks each password against a policy of twelve rules and lists the\n"
               "      rules it fails. --user forbids the user name inside the password;\n"
               "      --dict adds forbidden words, one a line (UTF-8). Without passwords it\n"
               "      checks built-in examples for the user \"%s\" and exits with 0.\n"
               "      Exit status: 0 when every given password passes, 1 when any fails,\n"
               "      2 on a usage error or a dictionary that cannot be read.\n",
               kDemoUser);
}

int RunCheck(const std::vector<std::string>& Args) {
  std::optional<TCheckOptions> options = ParseCheckOptions(Args);
  if (!options) {
    PrintCheckUsage(stderr);
    return kExitUsage;
  }
  if (options->Help) {
    PrintCheckUsage(stdout);
    return kExitPassed;
  }
  const bool demo = options->Passwords.empty();
  if (demo) {
    if (options->User.empty()) options->User = kDemoUser;
    options->Passwords.assign(std::begin(kDemoPasswords), std::end(kDemoPasswords));
  }
  kl::TStringList extraWords;
  try {
    if (options->DictFile) extraWords.LoadFromFile(kl::UTF8ToStr(*options->DictFile));
  } catch (const kl::Exception& e) {
    std::fprintf(stderr, "klpass check: cannot read dictionary '%s': %s\n", options->DictFile->c_str(), e.what());
    return kExitUsage;
  }
  const TPolicy policy(options->User, extraWords);
  std::printf("Policy of %d rules", policy.GetCount());
  if (!options->User.empty()) std::printf(" for user \"%s\"", options->User.c_str());
  std::printf("%s:\n", demo ? " (built-in examples)" : "");
  bool allPassed = true;
  for (const std::string& password : options->Passwords) allPassed = CheckOne(policy, password) && allPassed;
  return demo || allPassed ? kExitPassed : kExitFailed;
}

}  // namespace klpass
