// The WebAssembly face of the library: a few C functions that the JavaScript
// module (web/package/klpassword.js) calls. Text crosses as UTF-8 in memory
// the module allocates; results come back in buffers of our own that the
// module hands to klw_free, which wipes them (a password or a verdict is never
// left behind in the heap). A failure returns null and leaves its message for
// klw_last_error; nothing is thrown across.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "examples/klpass/CheckPolicies.h"
#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"
#include "passwords/KLWordList.h"
#include "rules/KLCheckReport.h"
#include "rules/KLStrength.h"
#include "web/src/KLWebPacks.h"

namespace {

// The bounds `klpass generate` keeps, so that one call cannot hang the page.
constexpr std::int32_t kMaxLength = 4096;
constexpr std::int32_t kMaxCount = 10000;
constexpr std::int32_t kMaxWords = 100;

// The flags of klw_check.
constexpr std::int32_t kCheckNist = 1;
constexpr std::int32_t kCheckMultiFactor = 2;
constexpr std::int32_t kCheckZxcvbnTs = 4;

// The slots of klw_generate's settings array, and its flags.
enum TSetting : std::int32_t {
  sMinLength,
  sMaxLength,
  sCount,
  sFlags,
  sMinUpper,
  sMinLower,
  sMinDigits,
  sMinSymbols,
  sWords,
  sExtra,
  sSettingCount
};
enum TGenerateFlag : std::int32_t {
  gPassphrase = 1,
  gNoUpper = 2,
  gNoLower = 4,
  gNoDigits = 8,
  gNoSymbols = 16,
  gSpace = 32,
  gCustom = 64,
  gNoLookAlike = 128,
  gEach = 256,
  gCapitalize = 512,
  gWordList = 1024
};

std::string gLastError;

// A password in the library's text form, wiped however the scope is left.
struct TWipedString {
  kl::String Text;
  explicit TWipedString(kl::String Value) : Text(std::move(Value)) {}
  ~TWipedString() { kl::WipeString(Text); }
  TWipedString(const TWipedString&) = delete;
  TWipedString& operator=(const TWipedString&) = delete;
};

// Text handed in as Count NUL-terminated UTF-8 strings back to back.
std::vector<kl::String> SplitWords(const char* Words, std::int32_t Count) {
  std::vector<kl::String> words;
  for (std::int32_t i = 0; i < Count && Words != nullptr; ++i) {
    const std::size_t length = std::strlen(Words);
    words.push_back(kl::UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Words), length));
    Words += length + 1;
  }
  return words;
}

// A copy of Text in a buffer of our own, which klw_free wipes and releases.
char* Hand(const std::string& Text) {
  char* out = static_cast<char*>(std::malloc(Text.size() + 1));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, Text.c_str(), Text.size() + 1);
  return out;
}

// Runs Work; a failure leaves its message and gives null.
template <class F>
char* Guarded(F Work) {
  gLastError.clear();
  try {
    return Work();
  } catch (const kl::Exception& e) {
    gLastError = e.GetMessage();
  } catch (const std::bad_alloc&) {
    gLastError = "Out of memory";
  } catch (const std::exception& e) {
    gLastError = e.what();
  }
  if (gLastError.empty()) gLastError = "Unknown error";
  return nullptr;
}

// The policy and the estimator for the last options seen. A page checks the
// same form field on every key press, and building the NIST policy's blocklist
// each time would cost more than the check.
struct TCheckCache {
  std::int32_t Flags = -1;
  std::int32_t MinScore = -1;
  kl::String User;
  std::vector<kl::String> Words;
  std::vector<std::string> Languages;
  std::unique_ptr<kl::TKLPasswordRulesList> Policy;
  std::unique_ptr<kl::TKLStrengthEstimator> Estimator;
};

// Comma-separated language codes, as `klpass check --lang` takes them (a code
// named twice counts once); empty for none.
std::vector<std::string> SplitLanguages(const char* Codes) {
  std::vector<std::string> languages;
  const std::string text = Codes == nullptr ? "" : Codes;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    std::string code = text.substr(start, comma - start);
    if (std::find(languages.begin(), languages.end(), code) == languages.end()) languages.push_back(std::move(code));
    start = comma + 1;
  }
  return languages;
}

TCheckCache& CheckerFor(std::int32_t Flags, std::int32_t MinScore, kl::String User, std::vector<kl::String> Words,
                        std::vector<std::string> Languages) {
  static TCheckCache cache;
  if (cache.Policy && cache.Flags == Flags && cache.MinScore == MinScore && cache.User == User &&
      cache.Words == Words && cache.Languages == Languages) {
    return cache;
  }
  klpass::TCheckPolicyOptions options;
  options.Nist = (Flags & kCheckNist) != 0;
  options.MultiFactor = (Flags & kCheckMultiFactor) != 0;
  options.MinScore = MinScore;
  options.User = std::move(User);
  options.Words = std::move(Words);
  options.Profile = (Flags & kCheckZxcvbnTs) != 0 ? kl::spZxcvbnTs : kl::spZxcvbn;
  options.Languages = std::move(Languages);
  // The zxcvbn-ts profile needs the packs' words; either profile takes its texts from the languages' packs.
  if (options.Profile == kl::spZxcvbnTs || !options.Languages.empty()) klweb::RequireStrengthPacks(options.Languages);
  // Everything that can refuse the options runs before the cache changes.
  auto estimator = std::make_unique<kl::TKLStrengthEstimator>();
  estimator->SetProfile(options.Profile);
  estimator->SetLanguages(options.Languages);
  estimator->SetUserInputs(klpass::CheckUserInputs(options));
  std::unique_ptr<kl::TKLPasswordRulesList> policy = klpass::CreateCheckPolicy(options);
  cache.Policy = std::move(policy);
  cache.Estimator = std::move(estimator);
  cache.Flags = Flags;
  cache.MinScore = MinScore;
  cache.User = std::move(options.User);
  cache.Words = std::move(options.Words);
  cache.Languages = std::move(options.Languages);
  return cache;
}

void RequireRange(std::int32_t Value, std::int32_t Min, std::int32_t Max, const char* What) {
  if (Value < Min || Value > Max) {
    throw kl::EKLException(std::string(What) + " must lie between " + std::to_string(Min) + " and " +
                           std::to_string(Max));
  }
}

void ApplyAlphabet(const std::int32_t* Settings, const char* Custom, const char* Exclude,
                   kl::TKLPasswordGenerator& Generator) {
  const std::int32_t flags = Settings[sFlags];
  Generator.SetUseUpperCase((flags & gNoUpper) == 0);
  Generator.SetUseLowerCase((flags & gNoLower) == 0);
  Generator.SetUseDigits((flags & gNoDigits) == 0);
  Generator.SetUseSymbols((flags & gNoSymbols) == 0);
  Generator.SetUseSpace((flags & gSpace) != 0);
  if ((flags & gCustom) != 0) {
    Generator.SetUseCustomChars(true);
    Generator.SetCustomChars(kl::UTF8ToStr(Custom));
  }
  Generator.SetExcludeLookAlikes((flags & gNoLookAlike) != 0);
  Generator.SetExcludeChars(kl::UTF8ToStr(Exclude));
}

void ApplyMinimums(const std::int32_t* Settings, kl::TKLPasswordGenerator& Generator) {
  Generator.SetRequireEachSet((Settings[sFlags] & gEach) != 0);
  const TSetting minimums[] = {sMinUpper, sMinLower, sMinDigits, sMinSymbols};
  for (const TSetting slot : minimums) RequireRange(Settings[slot], 0, kMaxLength, "A minimum count");
  Generator.SetMinUpperCase(Settings[sMinUpper]);
  Generator.SetMinLowerCase(Settings[sMinLower]);
  Generator.SetMinDigits(Settings[sMinDigits]);
  Generator.SetMinSymbols(Settings[sMinSymbols]);
}

void ApplyPassphrase(const std::int32_t* Settings, const char* Separator, const char* Words, std::int32_t WordCount,
                     kl::TKLPasswordGenerator& Generator) {
  RequireRange(Settings[sWords], 1, kMaxWords, "The number of words");
  RequireRange(Settings[sExtra], kl::peNone, kl::peSymbol, "The inserted character");
  Generator.SetPassphraseWords(Settings[sWords]);
  Generator.SetPassphraseSeparator(kl::UTF8ToStr(Separator));
  Generator.SetCapitalizeWords((Settings[sFlags] & gCapitalize) != 0);
  Generator.SetPassphraseExtra(static_cast<kl::TKLPassphraseExtra>(Settings[sExtra]));
  if ((Settings[sFlags] & gWordList) != 0) Generator.SetWordList(kl::TKLWordList(SplitWords(Words, WordCount)));
}

// Draws the passwords into one buffer, each ended by a NUL (none can hold one:
// every character comes from UTF-8 text handed in as C strings). The entropy
// in bits goes to Entropy before anything is drawn, which checks the settings.
std::string Draw(const std::int32_t* Settings, kl::TKLPasswordGenerator& Generator, double* Entropy) {
  const bool passphrase = (Settings[sFlags] & gPassphrase) != 0;
  const std::int32_t min = Settings[sMinLength];
  const std::int32_t max = Settings[sMaxLength];
  // The generator's range form draws from Min up to, not including, its upper bound.
  const bool range = min != max;
  *Entropy = passphrase ? Generator.GetPassphraseEntropy()
             : range    ? Generator.GetEntropy(min, max + 1)
                        : Generator.GetEntropy(min);
  std::string out;
  for (std::int32_t i = 0; i < Settings[sCount]; ++i) {
    kl::String password = passphrase ? Generator.GeneratePassphrase()
                          : range    ? Generator.Generate(min, max + 1)
                                     : Generator.Generate(min);
    kl::RawByteString text = kl::StrToUTF8(password);
    kl::WipeString(password);
    if (out.size() + text.size() + 1 > out.capacity()) {
      // Grown by hand so that no copy of earlier passwords is left unwiped.
      std::string bigger;
      bigger.reserve(2 * (out.size() + text.size() + 1));
      bigger = out;
      kl::SecureZero(out.data(), out.size());
      out.swap(bigger);
    }
    out.append(text).push_back('\0');
    kl::SecureZero(text.data(), text.size());
  }
  return out;
}

} // namespace

extern "C" {

// The verdict on Password as the JSON line of `klpass check --json`. Flags:
// 1 the NIST policy (else the classic one), 2 multi-factor, 4 the zxcvbn-ts
// profile. User may be empty; Words holds WordCount NUL-terminated words;
// Languages the comma-separated codes of --lang (their packs loaded). The
// password's copies are wiped.
EMSCRIPTEN_KEEPALIVE char* klw_check(const char* Password, std::int32_t Flags, std::int32_t MinScore, const char* User,
                                     const char* Words, std::int32_t WordCount, const char* Languages) {
  return Guarded([&] {
    RequireRange(MinScore, 0, kl::kMaxStrengthScore, "The minimum score");
    if ((Flags & ~(kCheckNist | kCheckMultiFactor | kCheckZxcvbnTs)) != 0) throw kl::EKLException("Unknown check flags");
    TCheckCache& checker =
        CheckerFor(Flags, MinScore, kl::UTF8ToStr(User), SplitWords(Words, WordCount), SplitLanguages(Languages));
    TWipedString password(kl::UTF8ToStr(Password));
    const kl::TKLRuleFailures failures = checker.Policy->GetFailures(password.Text);
    const kl::TKLStrengthResult strength = checker.Estimator->Estimate(password.Text);
    return Hand(kl::FormatCheckJson(failures, strength));
  });
}

// Random passwords or passphrases: Settings holds sSettingCount numbers (see
// TSetting), Custom the custom characters, Exclude the characters left out,
// Separator the passphrase separator, Words an own word list. Gives the
// passwords each ended by a NUL, and their entropy in bits.
EMSCRIPTEN_KEEPALIVE char* klw_generate(const std::int32_t* Settings, const char* Custom, const char* Exclude,
                                        const char* Separator, const char* Words, std::int32_t WordCount,
                                        double* Entropy) {
  return Guarded([&] {
    RequireRange(Settings[sMinLength], 1, kMaxLength, "The length");
    RequireRange(Settings[sMaxLength], Settings[sMinLength], kMaxLength, "The longest length");
    RequireRange(Settings[sCount], 1, kMaxCount, "The count");
    kl::TKLPasswordGenerator generator;
    ApplyAlphabet(Settings, Custom, Exclude, generator);
    ApplyMinimums(Settings, generator);
    ApplyPassphrase(Settings, Separator, Words, WordCount, generator);
    std::string passwords = Draw(Settings, generator, Entropy);
    char* out = static_cast<char*>(std::malloc(passwords.size()));
    if (out != nullptr) std::memcpy(out, passwords.data(), passwords.size());
    kl::SecureZero(passwords.data(), passwords.size());
    if (out == nullptr) throw std::bad_alloc();
    return out;
  });
}

EMSCRIPTEN_KEEPALIVE std::int32_t klw_setting_count() { return sSettingCount; }

// Registers the language pack of Size bytes at Bytes (a file of the build's
// packs folder); gives its code, or null when the bytes are no such pack.
EMSCRIPTEN_KEEPALIVE char* klw_load_pack(const char* Bytes, std::size_t Size) {
  return Guarded([&] { return Hand(klweb::LoadStrengthPack(std::string_view(Bytes, Size))); });
}

// The languages the build knows, comma-separated ("en,de,..."), loaded or not.
EMSCRIPTEN_KEEPALIVE char* klw_languages() {
  return Guarded([&] {
    std::string codes;
    for (const std::string& code : kl::StrengthLanguages()) codes += (codes.empty() ? "" : ",") + code;
    return Hand(codes);
  });
}

// The message of the last failure, empty after a success.
EMSCRIPTEN_KEEPALIVE const char* klw_last_error() { return gLastError.c_str(); }

// Wipes Size bytes of a buffer this module handed out, or one the caller
// allocated for a password, and releases it.
EMSCRIPTEN_KEEPALIVE void klw_free(char* Buffer, std::size_t Size) {
  if (Buffer == nullptr) return;
  kl::SecureZero(Buffer, Size);
  std::free(Buffer);
}

} // extern "C"
