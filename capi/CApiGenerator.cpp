// The C interface: the password generator and derived passwords.

#include <memory>
#include <utility>

#include "capi/CApiSupport.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "passwords/KLPasswords.h"
#include "passwords/KLWordList.h"

namespace {

struct TGenerator {
  kl::TKLPasswordGenerator Generator;
};

} // namespace

using namespace kl::capi;

namespace {

bool Flag(int32_t Value) {
  Require(Value == 0 || Value == 1, "a switch takes 0 or 1");
  return Value == 1;
}

// The C++ form draws from [From, To): the C form's bounds are both inclusive.
struct TLengths {
  bool Default;
  std::int32_t From;
  std::int32_t ToExclusive;
};

TLengths Lengths(int32_t MinLength, int32_t MaxLength) {
  if (MinLength == 0 && MaxLength == 0) return {true, 0, 0};
  Require(MinLength > 0 && MaxLength >= MinLength, "a length range needs 0 < min <= max");
  Require(MaxLength <= KLP_MAX_GENERATED_LENGTH, "a password is at most KLP_MAX_GENERATED_LENGTH characters");
  return {false, MinLength, MaxLength + 1};
}

// A generated text handed to the caller, then wiped here.
int HandOut(kl::String&& Secret, char** Out) {
  kl::String text = std::move(Secret);
  try {
    HandOutSecret(text, Out);
  } catch (...) {
    kl::WipeString(text);
    throw;
  }
  kl::WipeString(text);
  return KLP_OK;
}

} // namespace

extern "C" {

int klp_generator_init(klp_generator_t** generator) {
  return Guard([&] {
    Require(generator != nullptr, "generator is NULL");
    *generator = HandleOf<klp_generator_t>(new TGenerator);
    return KLP_OK;
  });
}

void klp_generator_destroy(klp_generator_t* generator) { delete reinterpret_cast<TGenerator*>(generator); }

int klp_generator_set_option(klp_generator_t* generator, int option, int32_t value) {
  return Guard([&] {
    kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    switch (option) {
      case KLP_GEN_USE_UPPERCASE:
        g.SetUseUpperCase(Flag(value));
        break;
      case KLP_GEN_USE_LOWERCASE:
        g.SetUseLowerCase(Flag(value));
        break;
      case KLP_GEN_USE_DIGITS:
        g.SetUseDigits(Flag(value));
        break;
      case KLP_GEN_USE_SYMBOLS:
        g.SetUseSymbols(Flag(value));
        break;
      case KLP_GEN_USE_SPACE:
        g.SetUseSpace(Flag(value));
        break;
      case KLP_GEN_USE_CUSTOM:
        g.SetUseCustomChars(Flag(value));
        break;
      case KLP_GEN_REQUIRE_EACH_SET:
        g.SetRequireEachSet(Flag(value));
        break;
      case KLP_GEN_EXCLUDE_LOOKALIKES:
        g.SetExcludeLookAlikes(Flag(value));
        break;
      case KLP_GEN_CAPITALIZE_WORDS:
        g.SetCapitalizeWords(Flag(value));
        break;
      case KLP_GEN_MIN_UPPERCASE:
      case KLP_GEN_MIN_LOWERCASE:
      case KLP_GEN_MIN_DIGITS:
      case KLP_GEN_MIN_SYMBOLS:
        Require(value >= 0 && value <= kl::TKLPasswordGenerator::MaxMinimumTotal, "a minimum count is 0 to 64");
        if (option == KLP_GEN_MIN_UPPERCASE) g.SetMinUpperCase(value);
        if (option == KLP_GEN_MIN_LOWERCASE) g.SetMinLowerCase(value);
        if (option == KLP_GEN_MIN_DIGITS) g.SetMinDigits(value);
        if (option == KLP_GEN_MIN_SYMBOLS) g.SetMinSymbols(value);
        break;
      case KLP_GEN_DEFAULT_LENGTH:
        Require(value > 0 && value <= KLP_MAX_GENERATED_LENGTH,
                "the default length must be from 1 to KLP_MAX_GENERATED_LENGTH");
        g.SetDefaultLength(value);
        break;
      case KLP_GEN_ITERATIONS:
        Require(value > 0, "the iteration count must be positive");
        g.SetDefaultIterationCount(value);
        break;
      case KLP_GEN_PASSPHRASE_WORDS:
        Require(value > 0 && value <= KLP_MAX_PASSPHRASE_WORDS,
                "a passphrase has from 1 to KLP_MAX_PASSPHRASE_WORDS words");
        g.SetPassphraseWords(value);
        break;
      case KLP_GEN_PASSPHRASE_EXTRA:
        Require(value >= 0 && value <= 2, "the passphrase extra is 0, 1 or 2");
        g.SetPassphraseExtra(value == 1 ? kl::peDigit : value == 2 ? kl::peSymbol : kl::peNone);
        break;
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown generator option");
    }
    return KLP_OK;
  });
}

int klp_generator_get_option(const klp_generator_t* generator, int option, int32_t* value) {
  return Guard([&] {
    const kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    int32_t& v = Deref(value, "value is NULL");
    switch (option) {
      case KLP_GEN_USE_UPPERCASE:
        v = g.GetUseUpperCase();
        break;
      case KLP_GEN_USE_LOWERCASE:
        v = g.GetUseLowerCase();
        break;
      case KLP_GEN_USE_DIGITS:
        v = g.GetUseDigits();
        break;
      case KLP_GEN_USE_SYMBOLS:
        v = g.GetUseSymbols();
        break;
      case KLP_GEN_USE_SPACE:
        v = g.GetUseSpace();
        break;
      case KLP_GEN_USE_CUSTOM:
        v = g.GetUseCustomChars();
        break;
      case KLP_GEN_REQUIRE_EACH_SET:
        v = g.GetRequireEachSet();
        break;
      case KLP_GEN_EXCLUDE_LOOKALIKES:
        v = g.GetExcludeLookAlikes();
        break;
      case KLP_GEN_CAPITALIZE_WORDS:
        v = g.GetCapitalizeWords();
        break;
      case KLP_GEN_MIN_UPPERCASE:
        v = g.GetMinUpperCase();
        break;
      case KLP_GEN_MIN_LOWERCASE:
        v = g.GetMinLowerCase();
        break;
      case KLP_GEN_MIN_DIGITS:
        v = g.GetMinDigits();
        break;
      case KLP_GEN_MIN_SYMBOLS:
        v = g.GetMinSymbols();
        break;
      case KLP_GEN_DEFAULT_LENGTH:
        v = g.GetDefaultLength();
        break;
      case KLP_GEN_ITERATIONS:
        v = g.GetDefaultIterationCount();
        break;
      case KLP_GEN_PASSPHRASE_WORDS:
        v = g.GetPassphraseWords();
        break;
      case KLP_GEN_PASSPHRASE_EXTRA:
        v = static_cast<int32_t>(g.GetPassphraseExtra());
        break;
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown generator option");
    }
    return KLP_OK;
  });
}

int klp_generator_set_text(klp_generator_t* generator, int which, const char* text) {
  return Guard([&] {
    kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    const kl::String value = Text(text, "text is NULL");
    switch (which) {
      case KLP_GEN_CUSTOM_CHARACTERS:
        g.SetCustomChars(value);
        break;
      case KLP_GEN_EXCLUDE_CHARACTERS:
        g.SetExcludeChars(value);
        break;
      case KLP_GEN_LOOKALIKE_CHARACTERS:
        g.SetLookAlikeChars(value);
        break;
      case KLP_GEN_PASSPHRASE_SEPARATOR:
        g.SetPassphraseSeparator(value);
        break;
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown generator text");
    }
    return KLP_OK;
  });
}

int klp_generator_load_word_list(klp_generator_t* generator, const char* path) {
  return Guard([&] {
    kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    g.SetWordList(kl::TKLWordList::LoadFromFile(Text(path, "path is NULL")));
    return KLP_OK;
  });
}

int klp_generator_generate(klp_generator_t* generator, int32_t min_length, int32_t max_length, char** password) {
  return Guard([&] {
    Require(password != nullptr, "password is NULL");
    *password = nullptr;
    kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    const TLengths lengths = Lengths(min_length, max_length);
    return HandOut(lengths.Default ? g.Generate() : g.Generate(lengths.From, lengths.ToExclusive), password);
  });
}

int klp_generator_passphrase(klp_generator_t* generator, int32_t words, char** passphrase) {
  return Guard([&] {
    Require(passphrase != nullptr, "passphrase is NULL");
    *passphrase = nullptr;
    kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    Require(words >= 0 && words <= KLP_MAX_PASSPHRASE_WORDS, "the word count must be from 0 to KLP_MAX_PASSPHRASE_WORDS");
    return HandOut(words == 0 ? g.GeneratePassphrase() : g.GeneratePassphrase(words), passphrase);
  });
}

int klp_generator_entropy(const klp_generator_t* generator, int32_t min_length, int32_t max_length, double* bits) {
  return Guard([&] {
    const kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    double& out = Deref(bits, "bits is NULL");
    const TLengths lengths = Lengths(min_length, max_length);
    out = lengths.Default ? g.GetEntropy() : g.GetEntropy(lengths.From, lengths.ToExclusive);
    return KLP_OK;
  });
}

int klp_generator_passphrase_entropy(const klp_generator_t* generator, int32_t words, double* bits) {
  return Guard([&] {
    const kl::TKLPasswordGenerator& g = Of<TGenerator>(generator, "generator is NULL").Generator;
    double& out = Deref(bits, "bits is NULL");
    Require(words >= 0 && words <= KLP_MAX_PASSPHRASE_WORDS, "the word count must be from 0 to KLP_MAX_PASSPHRASE_WORDS");
    out = words == 0 ? g.GetPassphraseEntropy() : g.GetPassphraseEntropy(words);
    return KLP_OK;
  });
}

int klp_generator_derive(const klp_generator_t* generator, const char* master_key, const char* site, int32_t length,
                         char** password) {
  return Guard([&] {
    Require(password != nullptr, "password is NULL");
    *password = nullptr;
    Require(length >= 0 && length <= KLP_MAX_GENERATED_LENGTH, "the length must be from 0 to KLP_MAX_GENERATED_LENGTH");
    // Derivation draws nothing at random, so a const generator serves.
    auto& g = const_cast<kl::TKLPasswordGenerator&>(Of<TGenerator>(generator, "generator is NULL").Generator);
    kl::String key = Text(master_key, "master_key is NULL");
    kl::String derived;
    try {
      const kl::String address = Text(site, "site is NULL");
      derived = length == 0 ? g.Generate(key, address) : g.Generate(key, address, length);
    } catch (...) {
      kl::WipeString(key);
      throw;
    }
    kl::WipeString(key);
    return HandOut(std::move(derived), password);
  });
}

} // extern "C"
