// The C interface: policies, check results and strength estimates.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/CApiSupport.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/KLBlocklist.h"
#include "rules/KLCheckReport.h"
#include "rules/KLPolicies.h"
#include "rules/KLRules.h"
#include "rules/KLStrength.h"
#include "rules/KLUserAttributeRule.h"

namespace {

struct TPolicy {
  std::unique_ptr<kl::TKLPasswordRulesList> Rules = std::make_unique<kl::TKLPasswordRulesList>();
  kl::TKLStrengthEstimator Estimator;
  // The policy's one dictionary of forbidden words and one list of blocked
  // words, made on their first word; the rule list owns both.
  kl::TKLDictionaryRule* Dictionary = nullptr;
  kl::TKLBlocklistRule* Blocklist = nullptr;
  // The strength model of the estimate and of the minimum-strength rules.
  kl::TKLStrengthProfile Profile = kl::spZxcvbn;
  std::vector<std::string> Languages;
};

struct TEstimator {
  kl::TKLStrengthEstimator Estimator;
};

struct TStrength {
  kl::TKLStrengthResult Result;
};

struct TCheckResult {
  kl::TKLRuleFailures Failures;
  kl::TKLStrengthResult Strength;
  // The texts klp_check_result_failure_message gives.
  const kl::TKLRuleMessages* Messages = &kl::TKLRuleMessages::GetEnglish();
  ~TCheckResult() {
    // Parameters may quote the password.
    for (kl::TKLRuleFailure& failure : Failures) {
      for (const kl::TKLRuleParameter& parameter : failure.GetParameters()) {
        kl::WipeString(const_cast<kl::String&>(parameter.Value));
      }
    }
  }
};

} // namespace

using namespace kl::capi;

namespace {

template <class TRule, class... TArgs>
void AddRule(TPolicy& Policy, TArgs&&... Args) {
  Policy.Rules->Add(std::make_unique<TRule>(std::forward<TArgs>(Args)...));
}

const kl::TKLRuleFailure& FailureAt(const klp_check_result_t* Result, size_t Index) {
  const TCheckResult& result = Of<TCheckResult>(Result, "result is NULL");
  const auto count = static_cast<std::int32_t>(std::min<std::size_t>(result.Failures.size(), INT32_MAX));
  return result.Failures[static_cast<std::size_t>(CheckedIndex(Index, count, "no failure at this index"))];
}

kl::TKLStrengthProfile ProfileOf(int Profile) {
  Require(Profile == KLP_PROFILE_ZXCVBN || Profile == KLP_PROFILE_ZXCVBN_TS, "unknown strength profile");
  return Profile == KLP_PROFILE_ZXCVBN ? kl::spZxcvbn : kl::spZxcvbnTs;
}

std::vector<std::string> LanguageList(const char* const* Codes, std::size_t Count) {
  Require(Codes != nullptr || Count == 0, "codes is NULL");
  std::vector<std::string> languages;
  languages.reserve(Count);
  for (std::size_t i = 0; i < Count; ++i) {
    Text(Codes[i], "a language code is NULL"); // checked as every text: NULL, length, UTF-8
    languages.emplace_back(Codes[i]);
  }
  return languages;
}

// Gives the estimator the model: the languages are checked before anything
// changes, so that a refusal keeps the estimator as it was.
void ApplyModel(kl::TKLStrengthEstimator& Estimator, kl::TKLStrengthProfile Profile,
                const std::vector<std::string>& Languages) {
  const kl::TKLStrengthProfile before = Estimator.GetProfile();
  Estimator.SetProfile(Profile);
  try {
    Estimator.SetLanguages(Languages);
  } catch (...) {
    Estimator.SetProfile(before);
    throw;
  }
}

void AppendText(std::string& All, const std::string& Utf8) {
  All += Utf8;
  All += '\0';
}

// The same for library text, converted in place (no copy on the way); most
// texts are ASCII, copied unit for unit.
void AppendText(std::string& All, std::u16string_view Text) {
  if (std::all_of(Text.begin(), Text.end(), [](char16_t c) { return c < 0x80; })) {
    for (const char16_t c : Text) All += static_cast<char>(c);
  } else {
    kl::AppendUTF8(All, Text);
  }
  All += '\0';
}

// The texts of an estimate, each with its NUL, in the order of
// klp_estimator_estimate_fields. None holds a piece of the password.
void AppendStrengthTexts(std::string& All, const kl::TKLStrengthResult& R) {
  const kl::TKLCrackTimesDisplay& d = R.CrackTimesDisplay;
  AppendText(All, R.Profile == kl::spZxcvbnTs ? "zxcvbn-ts" : "zxcvbn");
  AppendText(All, R.Language);
  AppendText(All, std::u16string_view(R.Feedback.Warning));
  AppendText(All, R.Feedback.WarningKey);
  for (const kl::String* time : {&d.OnlineThrottling, &d.OnlineNoThrottling, &d.OfflineSlowHashing,
                                 &d.OfflineFastHashing}) {
    AppendText(All, std::u16string_view(*time));
  }
  for (std::size_t i = 0; i < R.Feedback.Suggestions.size(); ++i) {
    AppendText(All, std::u16string_view(R.Feedback.Suggestions[i]));
    AppendText(All, i < R.Feedback.SuggestionKeys.size() ? R.Feedback.SuggestionKeys[i] : std::string());
  }
}

void WriteStrengthNumbers(const kl::TKLStrengthResult& R, double* Values) {
  const kl::TKLCrackTimes& t = R.CrackTimesSeconds;
  const double numbers[KLP_STRENGTH_VALUES] = {R.Guesses,          R.GuessesLog10,       t.OnlineThrottling,
                                               t.OnlineNoThrottling, t.OfflineSlowHashing, t.OfflineFastHashing};
  std::memcpy(Values, numbers, sizeof numbers);
}

// Copies All into the caller's buffer when it fits; the size either way.
bool FitsTexts(const std::string& All, char* Texts, std::size_t* TextsLen) {
  const bool fits = Texts != nullptr && *TextsLen >= All.size();
  if (fits) {
    std::memcpy(Texts, All.data(), All.size());
  } else {
    SetLastError("the buffer is too small; *texts_len holds the size needed");
  }
  *TextsLen = All.size();
  return fits;
}

// The password as library text, wiped when it goes.
class TPasswordText {
public:
  explicit TPasswordText(const char* Utf8) : FText(Text(Utf8, "password is NULL")) {}
  ~TPasswordText() { kl::WipeString(FText); }
  TPasswordText(const TPasswordText&) = delete;
  TPasswordText& operator=(const TPasswordText&) = delete;
  const kl::String& Get() const noexcept { return FText; }

private:
  kl::String FText;
};

// The check's fields as klp_policy_check_fields gives them; without WithJson
// the texts start with the estimate's, and the line is never formed.
int CheckFields(const klp_policy_t* policy, const char* password, const char* lang, bool WithJson, double* values,
                int32_t* counts, char* texts, size_t* texts_len) {
  return Guard([&] {
    Require(values != nullptr && counts != nullptr && texts_len != nullptr, "values, counts or texts_len is NULL");
    const TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    const TPasswordText text(password);
    TCheckResult made; // wipes the failures' parameters, which may quote the password
    made.Failures = p.Rules->GetFailures(text.Get());
    made.Strength = p.Estimator.Estimate(text.Get());
    std::string all;
    all.reserve(2048); // an answer's usual size: the texts are appended without moving
    if (WithJson) {
      all = kl::FormatCheckJson(made.Failures, made.Strength);
      all += '\0';
    }
    AppendStrengthTexts(all, made.Strength);
    // As the JSON gives them: messages masked, the pieces of the password left out.
    const kl::TKLRuleMessages& messages =
        kl::TKLRuleMessages::ForLanguage(lang != nullptr ? std::string(lang) : made.Strength.Language);
    for (const kl::TKLRuleFailure& failure : made.Failures) {
      AppendText(all, failure.GetCode());
      AppendText(all, std::u16string_view(messages.Format(failure, true)));
      std::size_t shown = 0;
      for (const kl::TKLRuleParameter& parameter : failure.GetParameters())
        shown += parameter.Kind != kl::TKLParameterKind::pkPasswordText;
      AppendText(all, std::to_string(shown));
      for (const kl::TKLRuleParameter& parameter : failure.GetParameters()) {
        if (parameter.Kind == kl::TKLParameterKind::pkPasswordText) continue;
        AppendText(all, parameter.Name);
        AppendText(all, parameter.Kind == kl::TKLParameterKind::pkNumber ? "0" : "1");
        AppendText(all, std::u16string_view(parameter.Value));
      }
    }
    if (!FitsTexts(all, texts, texts_len)) return int{KLP_ERROR_BUFFER_TOO_SMALL};
    WriteStrengthNumbers(made.Strength, values);
    counts[0] = made.Strength.Score;
    counts[1] = static_cast<int32_t>(made.Strength.Feedback.Suggestions.size());
    counts[2] = static_cast<int32_t>(made.Failures.size());
    return made.Failures.empty() ? int{KLP_OK} : int{KLP_CHECK_FAILED};
  });
}

} // namespace

extern "C" {

int klp_policy_init(klp_policy_t** policy) {
  return Guard([&] {
    Require(policy != nullptr, "policy is NULL");
    *policy = HandleOf<klp_policy_t>(new TPolicy);
    return KLP_OK;
  });
}

int klp_policy_init_nist(klp_policy_t** policy, int flags, int32_t max_length, int32_t min_score,
                         const char* const* context, size_t count) {
  return Guard([&] {
    Require(policy != nullptr, "policy is NULL");
    *policy = nullptr;
    Require((flags & ~(KLP_NIST_MULTI_FACTOR | KLP_NIST_NO_COMMON_PASSWORDS)) == 0, "unknown flags");
    kl::TKLNistPolicyOptions options;
    options.SingleFactor = (flags & KLP_NIST_MULTI_FACTOR) == 0;
    options.UseCommonPasswords = (flags & KLP_NIST_NO_COMMON_PASSWORDS) == 0;
    if (max_length != 0) options.MaximumLength = max_length;
    options.MinimumStrengthScore = min_score;
    options.ContextWords = TextList(context, count);
    auto made = std::make_unique<TPolicy>();
    made->Rules = kl::CreateNistPolicy(options);
    made->Estimator.SetUserInputs(options.ContextWords);
    *policy = HandleOf<klp_policy_t>(made.release());
    return KLP_OK;
  });
}

void klp_policy_destroy(klp_policy_t* policy) { delete reinterpret_cast<TPolicy*>(policy); }

int klp_policy_add_rule(klp_policy_t* policy, int rule, int32_t value) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    switch (rule) {
      case KLP_RULE_UPPERCASE:
        AddRule<kl::TKLUppercaseCharacterRule>(p);
        break;
      case KLP_RULE_LOWERCASE:
        AddRule<kl::TKLLowercaseCharacterRule>(p);
        break;
      case KLP_RULE_DIGIT:
        AddRule<kl::TKLDigitsRule>(p);
        break;
      case KLP_RULE_NO_SPACE:
        AddRule<kl::TKLWhitespaceRule>(p);
        break;
      case KLP_RULE_MIN_LENGTH:
        Require(value >= 0, "a minimum length must not be negative");
        AddRule<kl::TKLLengthRule>(p, value);
        break;
      case KLP_RULE_CHARACTER_CLASSES:
        AddRule<kl::TKLCharacterClassesRule>(p, value);
        break;
      case KLP_RULE_KEYBOARD_SEQUENCE:
        AddRule<kl::TKLKeyboardSequenceRule>(p, value);
        break;
      case KLP_RULE_QWERTY_SEQUENCE:
        AddRule<kl::TKLQwertySequenceRule>(p, value);
        break;
      case KLP_RULE_ALPHABETICAL_SEQUENCE:
        AddRule<kl::TKLAlphabeticalSequenceRule>(p, value);
        break;
      case KLP_RULE_REPEATED_DIGITS:
        AddRule<kl::TKLNumericalSequenceRule>(p, value);
        break;
      case KLP_RULE_REPEATED_CHARACTERS:
        AddRule<kl::TKLRepeatCharacterRule>(p, value);
        break;
      case KLP_RULE_COMMON_PASSWORDS:
        AddRule<kl::TKLBlocklistRule>(p, true);
        break;
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown rule");
    }
    return KLP_OK;
  });
}

int klp_policy_add_length(klp_policy_t* policy, int32_t from, int32_t to) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    Require(from >= 0 && to >= from, "a length range needs 0 <= from <= to");
    AddRule<kl::TKLLengthRule>(p, from, to);
    return KLP_OK;
  });
}

int klp_policy_add_text_rule(klp_policy_t* policy, int rule, const char* text) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    const kl::String value = Text(text, "text is NULL");
    switch (rule) {
      case KLP_TEXT_RULE_ALLOWED_CHARACTERS: {
        auto allowed = std::make_unique<kl::TKLAllowedCharacterRule>();
        allowed->SetAllowedChars(value);
        p.Rules->Add(std::move(allowed));
        break;
      }
      case KLP_TEXT_RULE_USERNAME:
        AddRule<kl::TKLUsernameRule>(p, value);
        break;
      case KLP_TEXT_RULE_FORBIDDEN_PATTERN:
        AddRule<kl::TKLRegularExpressionRule>(p, value);
        break;
      case KLP_TEXT_RULE_FORBIDDEN_WORD:
        if (!p.Dictionary) {
          auto dictionary = std::make_unique<kl::TKLDictionaryRule>();
          kl::TKLDictionaryRule* held = dictionary.get();
          p.Rules->Add(std::move(dictionary));
          p.Dictionary = held;
        }
        p.Dictionary->AddWord(value);
        break;
      case KLP_TEXT_RULE_BLOCKLIST_WORD:
        if (!p.Blocklist) {
          auto blocklist = std::make_unique<kl::TKLBlocklistRule>(false);
          kl::TKLBlocklistRule* held = blocklist.get();
          p.Rules->Add(std::move(blocklist));
          p.Blocklist = held;
        }
        p.Blocklist->AddWord(value);
        break;
      case KLP_TEXT_RULE_BLOCKLIST_FILE: {
        // A rule of its own, loaded before it joins the policy, so that a file
        // that cannot be read leaves the policy as it was.
        auto blocklist = std::make_unique<kl::TKLBlocklistRule>(false);
        blocklist->LoadFromFile(value);
        p.Rules->Add(std::move(blocklist));
        break;
      }
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown text rule");
    }
    return KLP_OK;
  });
}

int klp_policy_add_min_strength(klp_policy_t* policy, int32_t min_score, const char* const* words, size_t count) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    auto rule = std::make_unique<kl::TKLStrengthRule>(min_score, TextList(words, count));
    ApplyModel(rule->GetEstimator(), p.Profile, p.Languages);
    p.Rules->Add(std::move(rule));
    return KLP_OK;
  });
}

int klp_policy_set_strength_model(klp_policy_t* policy, int profile, const char* const* languages, size_t count) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    const kl::TKLStrengthProfile model = ProfileOf(profile);
    std::vector<std::string> codes = LanguageList(languages, count);
    // Tried on a spare estimator first: a refused model changes nothing.
    kl::TKLStrengthEstimator trial;
    ApplyModel(trial, model, codes);
    ApplyModel(p.Estimator, model, codes);
    for (std::int32_t i = 0; i < p.Rules->GetCount(); ++i) {
      if (auto* strength = dynamic_cast<kl::TKLStrengthRule*>(p.Rules->GetRule(i))) {
        ApplyModel(strength->GetEstimator(), model, codes);
      }
    }
    p.Profile = model;
    p.Languages = std::move(codes);
    return KLP_OK;
  });
}

int klp_policy_set_user_inputs(klp_policy_t* policy, const char* const* words, size_t count) {
  return Guard([&] {
    Of<TPolicy>(policy, "policy is NULL").Estimator.SetUserInputs(TextList(words, count));
    return KLP_OK;
  });
}

int klp_policy_add_user_attributes(klp_policy_t* policy, const char* const* names, const char* const* values,
                                   size_t count, double max_similarity) {
  return Guard([&] {
    TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    const std::vector<kl::String> nameList = TextList(names, count);
    const std::vector<kl::String> valueList = TextList(values, count);
    std::vector<kl::TKLUserAttribute> attributes;
    for (std::size_t i = 0; i < count; ++i) attributes.push_back({nameList[i], valueList[i]});
    const double bound = max_similarity == 0 ? kl::KLDefaultMaxSimilarity : max_similarity;
    Require(bound >= 0.1 && bound <= 1.0, kl::SInvalidMaxSimilarity);
    AddRule<kl::TKLUserAttributeRule>(p, std::move(attributes), bound);
    return KLP_OK;
  });
}

int klp_policy_rule_count(const klp_policy_t* policy, size_t* count) {
  return Guard([&] {
    const TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    Deref(count, "count is NULL") = static_cast<size_t>(p.Rules->GetCount());
    return KLP_OK;
  });
}

int klp_policy_check(const klp_policy_t* policy, const char* password, klp_check_result_t** result) {
  return klp_policy_check_lang(policy, password, "en", result);
}

int klp_policy_check_lang(const klp_policy_t* policy, const char* password, const char* lang,
                          klp_check_result_t** result) {
  return Guard([&] {
    Require(result != nullptr, "result is NULL");
    *result = nullptr;
    const TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    Require(lang != nullptr, "lang is NULL");
    const TPasswordText text(password);
    auto made = std::make_unique<TCheckResult>();
    made->Messages = &kl::TKLRuleMessages::ForLanguage(lang);
    made->Failures = p.Rules->GetFailures(text.Get());
    made->Strength = p.Estimator.Estimate(text.Get());
    const bool passed = made->Failures.empty();
    *result = HandleOf<klp_check_result_t>(made.release());
    return passed ? KLP_OK : KLP_CHECK_FAILED;
  });
}

int klp_policy_check_json(const klp_policy_t* policy, const char* password, char* out, size_t* out_len) {
  return Guard([&] {
    Require(out_len != nullptr, "out_len is NULL");
    const TPolicy& p = Of<TPolicy>(policy, "policy is NULL");
    const TPasswordText text(password);
    TCheckResult made;
    made.Failures = p.Rules->GetFailures(text.Get());
    made.Strength = p.Estimator.Estimate(text.Get());
    const int status = WriteText(kl::FormatCheckJson(made.Failures, made.Strength), out, out_len);
    if (status != KLP_OK) return status;
    return made.Failures.empty() ? int{KLP_OK} : int{KLP_CHECK_FAILED};
  });
}

void klp_check_result_destroy(klp_check_result_t* result) { delete reinterpret_cast<TCheckResult*>(result); }

int klp_check_result_failure_count(const klp_check_result_t* result, size_t* count) {
  return Guard([&] {
    Deref(count, "count is NULL") = Of<TCheckResult>(result, "result is NULL").Failures.size();
    return KLP_OK;
  });
}

int klp_check_result_failure_code(const klp_check_result_t* result, size_t index, char* out, size_t* out_len) {
  return Guard([&] { return WriteText(FailureAt(result, index).GetCode(), out, out_len); });
}

int klp_check_result_failure_message(const klp_check_result_t* result, size_t index, int redact, char* out,
                                     size_t* out_len) {
  return Guard([&] {
    const kl::TKLRuleFailure& failure = FailureAt(result, index);
    kl::String message = Of<TCheckResult>(result, "result is NULL").Messages->Format(failure, redact != 0);
    const int status = WriteSecretText(message, out, out_len);
    kl::WipeString(message);
    return status;
  });
}

int klp_check_result_failure_text(const klp_check_result_t* result, size_t index, int redact, char* out,
                                  size_t* out_len) {
  return Guard([&] {
    const kl::TKLRuleFailure& failure = FailureAt(result, index);
    const std::string& language = Of<TCheckResult>(result, "result is NULL").Strength.Language;
    kl::String message = kl::TKLRuleMessages::ForLanguage(language).Format(failure, redact != 0);
    const int status = WriteSecretText(message, out, out_len);
    kl::WipeString(message);
    return status;
  });
}

int klp_check_result_parameter_count(const klp_check_result_t* result, size_t index, size_t* count) {
  return Guard([&] {
    const kl::TKLRuleFailure& failure = FailureAt(result, index);
    Deref(count, "count is NULL") = failure.GetParameters().size();
    return KLP_OK;
  });
}

int klp_check_result_parameter(const klp_check_result_t* result, size_t index, size_t p, int* kind, char* name,
                               size_t* name_len, char* value, size_t* value_len) {
  return Guard([&] {
    const auto& parameters = FailureAt(result, index).GetParameters();
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(parameters.size(), INT32_MAX));
    const kl::TKLRuleParameter& parameter =
        parameters[static_cast<std::size_t>(CheckedIndex(p, count, "no parameter at this index"))];
    Require(name_len != nullptr && value_len != nullptr, "name_len or value_len is NULL");
    if (kind) {
      *kind = parameter.Kind == kl::TKLParameterKind::pkNumber ? KLP_PARAMETER_NUMBER
              : parameter.Kind == kl::TKLParameterKind::pkText ? KLP_PARAMETER_TEXT
                                                               : KLP_PARAMETER_PASSWORD_TEXT;
    }
    // Both sizes are answered at once, so one retry with both buffers suffices.
    const int nameStatus = WriteText(parameter.Name, name, name_len);
    const int valueStatus = WriteSecretText(parameter.Value, value, value_len);
    return nameStatus != KLP_OK ? nameStatus : valueStatus;
  });
}

int klp_check_result_json(const klp_check_result_t* result, char* out, size_t* out_len) {
  return Guard([&] {
    const TCheckResult& r = Of<TCheckResult>(result, "result is NULL");
    return WriteText(kl::FormatCheckJson(r.Failures, r.Strength), out, out_len);
  });
}

int klp_check_result_strength(const klp_check_result_t* result, klp_strength_t** strength) {
  return Guard([&] {
    Require(strength != nullptr, "strength is NULL");
    *strength = nullptr;
    const TCheckResult& r = Of<TCheckResult>(result, "result is NULL");
    auto made = std::make_unique<TStrength>();
    made->Result = r.Strength;
    *strength = HandleOf<klp_strength_t>(made.release());
    return KLP_OK;
  });
}

int klp_blocklist_compile(const char* list_path, int format, const char* out_path) {
  return Guard([&] {
    Require(format >= KLP_BLOCKLIST_PASSWORDS && format <= KLP_BLOCKLIST_DETECT, "unknown list format");
    const kl::String list = Text(list_path, "list_path is NULL");
    const kl::String out = Text(out_path, "out_path is NULL");
    kl::TKLBlocklistCompiler compiler;
    compiler.AddListFile(list, static_cast<kl::TKLBlocklistFormat>(format));
    compiler.SaveToFile(out);
    return KLP_OK;
  });
}

int klp_strength_estimate(const char* password, const char* const* words, size_t count, klp_strength_t** strength) {
  return Guard([&] {
    Require(strength != nullptr, "strength is NULL");
    *strength = nullptr;
    const TPasswordText text(password);
    auto made = std::make_unique<TStrength>();
    made->Result = kl::EstimatePasswordStrength(text.Get(), TextList(words, count));
    *strength = HandleOf<klp_strength_t>(made.release());
    return KLP_OK;
  });
}

void klp_strength_destroy(klp_strength_t* strength) { delete reinterpret_cast<TStrength*>(strength); }

int klp_strength_values(const klp_strength_t* strength, int32_t* score, double* guesses, double* guesses_log10) {
  return Guard([&] {
    const kl::TKLStrengthResult& r = Of<TStrength>(strength, "strength is NULL").Result;
    if (score) *score = r.Score;
    if (guesses) *guesses = r.Guesses;
    if (guesses_log10) *guesses_log10 = r.GuessesLog10;
    return KLP_OK;
  });
}

int klp_strength_crack_time(const klp_strength_t* strength, int attack, double* seconds, char* out, size_t* out_len) {
  return Guard([&] {
    const kl::TKLStrengthResult& r = Of<TStrength>(strength, "strength is NULL").Result;
    const kl::TKLCrackTimes& t = r.CrackTimesSeconds;
    const kl::TKLCrackTimesDisplay& d = r.CrackTimesDisplay;
    std::pair<double, const kl::String*> time;
    switch (attack) {
      case KLP_ATTACK_ONLINE_THROTTLING:
        time = {t.OnlineThrottling, &d.OnlineThrottling};
        break;
      case KLP_ATTACK_ONLINE_NO_THROTTLING:
        time = {t.OnlineNoThrottling, &d.OnlineNoThrottling};
        break;
      case KLP_ATTACK_OFFLINE_SLOW_HASHING:
        time = {t.OfflineSlowHashing, &d.OfflineSlowHashing};
        break;
      case KLP_ATTACK_OFFLINE_FAST_HASHING:
        time = {t.OfflineFastHashing, &d.OfflineFastHashing};
        break;
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown attack scenario");
    }
    if (seconds) *seconds = time.first;
    return out_len ? WriteText(*time.second, out, out_len) : KLP_OK;
  });
}

int klp_strength_warning(const klp_strength_t* strength, char* out, size_t* out_len) {
  return Guard(
      [&] { return WriteText(Of<TStrength>(strength, "strength is NULL").Result.Feedback.Warning, out, out_len); });
}

int klp_strength_suggestion_count(const klp_strength_t* strength, size_t* count) {
  return Guard([&] {
    Deref(count, "count is NULL") = Of<TStrength>(strength, "strength is NULL").Result.Feedback.Suggestions.size();
    return KLP_OK;
  });
}

int klp_strength_suggestion(const klp_strength_t* strength, size_t index, char* out, size_t* out_len) {
  return Guard([&] {
    const auto& suggestions = Of<TStrength>(strength, "strength is NULL").Result.Feedback.Suggestions;
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(suggestions.size(), INT32_MAX));
    return WriteText(suggestions[static_cast<std::size_t>(CheckedIndex(index, count, "no suggestion at this index"))],
                     out, out_len);
  });
}

int klp_strength_warning_key(const klp_strength_t* strength, char* out, size_t* out_len) {
  return Guard(
      [&] { return WriteText(Of<TStrength>(strength, "strength is NULL").Result.Feedback.WarningKey, out, out_len); });
}

int klp_strength_suggestion_key(const klp_strength_t* strength, size_t index, char* out, size_t* out_len) {
  return Guard([&] {
    const auto& keys = Of<TStrength>(strength, "strength is NULL").Result.Feedback.SuggestionKeys;
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(keys.size(), INT32_MAX));
    return WriteText(keys[static_cast<std::size_t>(CheckedIndex(index, count, "no suggestion at this index"))], out,
                     out_len);
  });
}

int klp_strength_language(const klp_strength_t* strength, char* out, size_t* out_len) {
  return Guard([&] { return WriteText(Of<TStrength>(strength, "strength is NULL").Result.Language, out, out_len); });
}

int klp_strength_json(const klp_strength_t* strength, char* out, size_t* out_len) {
  return Guard([&] {
    return WriteText(kl::FormatCheckJson({}, Of<TStrength>(strength, "strength is NULL").Result), out, out_len);
  });
}

// ---- Estimators: a strength model and languages ----

int klp_strength_languages(char* out, size_t* out_len) {
  return Guard([&] {
    std::string list;
    for (const std::string& code : kl::StrengthLanguages()) list += (list.empty() ? "" : ",") + code;
    return WriteText(list, out, out_len);
  });
}

int klp_estimator_init(klp_estimator_t** estimator) {
  return Guard([&] {
    Require(estimator != nullptr, "estimator is NULL");
    *estimator = HandleOf<klp_estimator_t>(new TEstimator);
    return KLP_OK;
  });
}

void klp_estimator_destroy(klp_estimator_t* estimator) { delete reinterpret_cast<TEstimator*>(estimator); }

int klp_estimator_set_profile(klp_estimator_t* estimator, int profile) {
  return Guard([&] {
    TEstimator& e = Of<TEstimator>(estimator, "estimator is NULL");
    e.Estimator.SetProfile(ProfileOf(profile));
    return KLP_OK;
  });
}

int klp_estimator_set_languages(klp_estimator_t* estimator, const char* const* codes, size_t count) {
  return Guard([&] {
    TEstimator& e = Of<TEstimator>(estimator, "estimator is NULL");
    e.Estimator.SetLanguages(LanguageList(codes, count));
    return KLP_OK;
  });
}

int klp_estimator_set_user_inputs(klp_estimator_t* estimator, const char* const* words, size_t count) {
  return Guard([&] {
    Of<TEstimator>(estimator, "estimator is NULL").Estimator.SetUserInputs(TextList(words, count));
    return KLP_OK;
  });
}

int klp_estimator_estimate(const klp_estimator_t* estimator, const char* password, klp_strength_t** strength) {
  return Guard([&] {
    Require(strength != nullptr, "strength is NULL");
    *strength = nullptr;
    const TEstimator& e = Of<TEstimator>(estimator, "estimator is NULL");
    const TPasswordText text(password);
    auto made = std::make_unique<TStrength>();
    made->Result = e.Estimator.Estimate(text.Get());
    *strength = HandleOf<klp_strength_t>(made.release());
    return KLP_OK;
  });
}

int klp_estimator_estimate_json(const klp_estimator_t* estimator, const char* password, char* out, size_t* out_len) {
  return Guard([&] {
    Require(out_len != nullptr, "out_len is NULL");
    const TEstimator& e = Of<TEstimator>(estimator, "estimator is NULL");
    const TPasswordText text(password);
    return WriteText(kl::FormatCheckJson({}, e.Estimator.Estimate(text.Get())), out, out_len);
  });
}

int klp_estimator_estimate_fields(const klp_estimator_t* estimator, const char* password, double* values,
                                  int32_t* score, char* texts, size_t* texts_len) {
  return Guard([&] {
    Require(values != nullptr && score != nullptr && texts_len != nullptr, "values, score or texts_len is NULL");
    const TEstimator& e = Of<TEstimator>(estimator, "estimator is NULL");
    const TPasswordText text(password);
    const kl::TKLStrengthResult r = e.Estimator.Estimate(text.Get());
    std::string all;
    all.reserve(512);
    AppendStrengthTexts(all, r);
    if (!FitsTexts(all, texts, texts_len)) return int{KLP_ERROR_BUFFER_TOO_SMALL};
    WriteStrengthNumbers(r, values);
    *score = r.Score;
    return int{KLP_OK};
  });
}

int klp_policy_check_fields(const klp_policy_t* policy, const char* password, double* values, int32_t* counts,
                            char* texts, size_t* texts_len) {
  return CheckFields(policy, password, nullptr, true, values, counts, texts, texts_len);
}

int klp_policy_check_fields_lang(const klp_policy_t* policy, const char* password, const char* lang, double* values,
                                 int32_t* counts, char* texts, size_t* texts_len) {
  return CheckFields(policy, password, lang, true, values, counts, texts, texts_len);
}

int klp_policy_check_fields_nojson(const klp_policy_t* policy, const char* password, const char* lang, double* values,
                                   int32_t* counts, char* texts, size_t* texts_len) {
  return CheckFields(policy, password, lang, false, values, counts, texts, texts_len);
}

} // extern "C"
