#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <utility>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"

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

// Prints the verdict on one password (shown as Label); true when it passes.
bool CheckOne(const TPolicy& Policy, const kl::String& Password, const std::string& Label) {
  const std::vector<std::string> failures = Policy.Failures(Password);
  std::printf("%-6s%s\n", failures.empty() ? "ok" : "FAIL", Label.c_str());
  for (const std::string& failure : failures) std::printf("        - %s\n", failure.c_str());
  return failures.empty();
}

kl::TStringList ReadDictionary(const std::optional<std::string>& FileName) {
  kl::TStringList words;
  if (FileName) Attempt("cannot read the dictionary '" + *FileName + "'", [&] { words.LoadFromFile(Text(*FileName)); });
  return words;
}

int RunCheck(const TCommandWords& Words) {
  const TArguments args(Words, {{"--user", true}, {"--dict", true}, {"--prompt"}});
  std::string user = args.Value("--user").value_or("");
  const bool prompt = args.Has("--prompt");
  const bool demo = args.Positional().empty() && !prompt;
  if (demo && user.empty()) user = kDemoUser;
  const TPolicy policy(user, ReadDictionary(args.Value("--dict")));
  std::optional<TSecret> entered;
  if (prompt) entered.emplace(ReadSecret("Password to check"));

  std::printf("Policy of %d rules", policy.GetCount());
  if (!user.empty()) std::printf(" for user \"%s\"", user.c_str());
  std::printf("%s:\n", demo ? " (built-in examples)" : "");
  bool allPassed = true;
  if (entered) allPassed = CheckOne(policy, entered->Get(), "(the password entered)");
  std::vector<std::string> passwords = args.Positional();
  if (demo) passwords.assign(std::begin(kDemoPasswords), std::end(kDemoPasswords));
  for (const std::string& password : passwords) {
    kl::String text = Text(password);
    allPassed = CheckOne(policy, text, password) && allPassed;
    kl::WipeString(text);
  }
  return demo || allPassed ? kExitOk : kExitFailed;
}

} // namespace

const TCommand CheckCommand = {"check",
                               "  check [--user NAME] [--dict FILE] [--prompt] [--] [PASSWORD...]\n"
                               "      Checks each password against a policy of twelve rules and lists the\n"
                               "      rules it fails. --user forbids the user name inside the password;\n"
                               "      --dict adds forbidden words, one a line (UTF-8); --prompt reads one\n"
                               "      more password without echo. Without passwords it checks built-in\n"
                               "      examples for the user \"alice\". Exit status 1 when any given password\n"
                               "      fails.\n",
                               RunCheck};

} // namespace klpass
