#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "passwords/KLWordList.h"
#include "random/KLRandom.h"
#include "rules/KLRules.h"

namespace kl {

// Message texts. The two protection messages carry the data-protection layer's
// error number in place of %d.
inline constexpr const char* SDPAPISaveError = "Failed to save data using DPAPI (Windows error: %d)";
inline constexpr const char* SDPAPILoadError = "Failed to load data using DPAPI (Windows error: %d)";
inline constexpr const char* SEmptyAlphabet = "Empty alphabet";
inline constexpr const char* SInvalidRange = "The upper bound must be greater than the lower bound";
inline constexpr const char* SInvalidCharacters = "The characters are not valid text: they hold an unpaired surrogate";
inline constexpr const char* SNegativeMinimum = "A minimum count must not be negative";
inline constexpr const char* SMinimumForUnusedSet =
    "A minimum count is set for a character set that is off or emptied by the exclusions";
inline constexpr const char* SMinimumsTooLarge = "The minimum counts add up to more than 64";
inline constexpr const char* SMinimumsAboveLength = "The minimum counts add up to more than the password length";
inline constexpr const char* SMinimumsTooNarrow = "Too few passwords meet the minimum counts to draw one at random";
inline constexpr const char* SInvalidWordCount = "A passphrase needs at least one word";

// Failures of password protection and of the password generator.
KL_DECLARE_EXCEPTION(EKLPasswordError, EKLException);

namespace detail {
class TCharacterPlan;
}

// What a passphrase gets besides its words: nothing, or one digit or one symbol
// at a random place.
enum TKLPassphraseExtra { peNone, peDigit, peSymbol };

// A failure of the data-protection layer beneath the protection operations.
// The message keeps its fixed shape (SDPAPISaveError or SDPAPILoadError with
// the layer's error number); on POSIX, where that number is the library's own,
// the layer's words follow it after ": ". Hosts that explain failures to users
// take the words alone from GetDescription, and GetKeyStoreFault tells a key
// store that is missing, unreadable or open to others from data that is
// damaged or was protected elsewhere.
class KL_API EKLProtectionError : public EKLPasswordError {
public:
  EKLProtectionError(const std::string& Message, std::int32_t ErrorCode, std::string Description, bool KeyStoreFault);
  ~EKLProtectionError() override;
  std::int32_t GetErrorCode() const noexcept { return FErrorCode; }
  const std::string& GetDescription() const noexcept { return FDescription; }
  bool GetKeyStoreFault() const noexcept { return FKeyStoreFault; }

private:
  std::int32_t FErrorCode;
  std::string FDescription;
  bool FKeyStoreFault;
};

// One password held as text. Plain object, owned by its creator; not copyable,
// so that no stray copy of the text is left behind. The text is overwritten
// with zeros when it is replaced, cleared or destroyed. The protection
// operations bind the saved form to the current user, or to the machine when
// Shared is set, and raise EKLPasswordError with the save or load message; a
// failed load leaves Value unchanged. Saving a value that is not valid UTF-16
// raises EConvertError (SInvalidUTF16). One thread at a time.
class KL_API TKLPassword {
public:
  TKLPassword() = default;
  explicit TKLPassword(const String& Password);
  ~TKLPassword();
  TKLPassword(const TKLPassword&) = delete;
  TKLPassword& operator=(const TKLPassword&) = delete;

  const String& GetValue() const noexcept { return FValue; }
  // Wipes the previous text before it takes a copy of Value.
  void SetValue(const String& Value);
  bool GetShared() const noexcept { return FShared; }
  void SetShared(bool Value) noexcept { FShared = Value; }
  // True when the value is the empty string.
  bool GetEmpty() const noexcept { return FValue.empty(); }

  // Overwrites the text with zeros and empties it; Shared is kept.
  void Clear() noexcept;

  // The rule's answer for the value; false when no rule is given.
  bool Validate(const TKLPasswordRule* Rule) const;
  // True when every rule of the list accepts the value (an empty list accepts
  // anything); asks the rules in index order and stops at the first refusal.
  // False when no list is given.
  bool Validate(const TKLPasswordRulesList* Rules) const;

  // The protected form of the value.
  ByteArray Save() const;
  // The text held in a protected form; the object is not changed.
  String Load(const ByteArray& Data) const;
  // Writes the protected form at the stream's current position.
  void SaveToStream(TStream& S) const;
  // Reads as many bytes as the stream's total size from its current position
  // (so the stream must be at its start and hold one protected form) and makes
  // their text the new value. A short stream raises EReadError.
  void LoadFromStream(TStream& S);
  // Replaces the file atomically with the protected form; on failure the old
  // file is left as it was.
  void SaveToFile(const String& FileName) const;
  void LoadFromFile(const String& FileName);

  // Makes this machine's key for the machine scope, once, if it has none: true
  // when it was made. Needs an administrator's rights. POSIX: without the key,
  // the machine scope is bound to the machine id, which anyone can read (see
  // docs/reference/files.md); blobs made before the key keep
  // loading. Windows: the service has its own key; nothing is made.
  static bool CreateMachineKey();

private:
  String FValue;
  bool FShared = false;
};

// Makes passwords from an alphabet built from the enabled character sets, less
// the excluded characters: random ones, uniform over every password that meets
// the minimum counts per set; derived ones (PBKDF2 of a master key with the
// site address as salt), alike on every machine for the same key, address,
// length, iteration count and alphabet; and passphrases of words drawn from a
// word list. A component; the TKLPassword forms hand a new object to the
// caller. Settings no password can meet raise EKLPasswordError before a random
// byte is drawn; a negative length raises ERangeError. One thread at a time.
class KL_API TKLPasswordGenerator : public TKLRandomBasedComponent {
public:
  static constexpr std::u16string_view UpperCaseChars = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static constexpr std::u16string_view LowerCaseChars = u"abcdefghijklmnopqrstuvwxyz";
  static constexpr std::u16string_view DigitChars = u"0123456789";
  static constexpr std::u16string_view SymbolChars = u"~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?";
  static constexpr std::u16string_view SpaceChars = u" ";

  // Characters easily taken for one another in print: 0 O o 1 I l | ` ' ".
  static constexpr std::u16string_view DefaultLookAlikeChars = u"0Oo1Il|`'\"";

  static constexpr std::int32_t DefaultLengthValue = 16;
  static constexpr std::int32_t DefaultIterationCountValue = 500;
  static constexpr std::int32_t DefaultPassphraseWordsValue = 6;
  // The minimum counts (with the one character a set that RequireEachSet adds)
  // may add up to this at most, which keeps counting the passwords that meet
  // them cheap.
  static constexpr std::int32_t MaxMinimumTotal = 64;

  explicit TKLPasswordGenerator(TComponent* AOwner = nullptr);
  ~TKLPasswordGenerator() override;

  bool GetUseUpperCase() const noexcept { return FUseUpperCase; }
  void SetUseUpperCase(bool Value) noexcept { Change(FUseUpperCase, Value); }
  bool GetUseLowerCase() const noexcept { return FUseLowerCase; }
  void SetUseLowerCase(bool Value) noexcept { Change(FUseLowerCase, Value); }
  bool GetUseDigits() const noexcept { return FUseDigits; }
  void SetUseDigits(bool Value) noexcept { Change(FUseDigits, Value); }
  bool GetUseSymbols() const noexcept { return FUseSymbols; }
  void SetUseSymbols(bool Value) noexcept { Change(FUseSymbols, Value); }
  bool GetUseSpace() const noexcept { return FUseSpace; }
  void SetUseSpace(bool Value) noexcept { Change(FUseSpace, Value); }
  bool GetUseCustomChars() const noexcept { return FUseCustomChars; }
  void SetUseCustomChars(bool Value) noexcept { Change(FUseCustomChars, Value); }
  const String& GetCustomChars() const noexcept { return FCustomChars; }
  void SetCustomChars(const String& Value) { Change(FCustomChars, Value); }
  std::int32_t GetDefaultLength() const noexcept { return FDefaultLength; }
  void SetDefaultLength(std::int32_t Value) noexcept { FDefaultLength = Value; }
  std::int32_t GetDefaultIterationCount() const noexcept { return FDefaultIterationCount; }
  void SetDefaultIterationCount(std::int32_t Value) noexcept { FDefaultIterationCount = Value; }

  // Random passwords only: at least one character of every enabled set (the
  // custom characters count as their own set where no enabled set holds them),
  // and at least the given number of upper-case letters, lower-case letters,
  // digits and symbols. A character counts for the first enabled set that holds
  // it. Derived passwords keep their fixed mapping and ignore these.
  // Drawn by whole-password rejection: a password is drawn uniformly from all
  // passwords of its length and drawn again while it misses a minimum, so every
  // password that qualifies is equally likely (placing the required characters
  // first, even shuffled, would favour the small sets). Settings under which
  // fewer than one draw in 65,536 qualifies are refused, bounding the work.
  bool GetRequireEachSet() const noexcept { return FRequireEachSet; }
  void SetRequireEachSet(bool Value) noexcept { Change(FRequireEachSet, Value); }
  std::int32_t GetMinUpperCase() const noexcept { return FMinUpperCase; }
  void SetMinUpperCase(std::int32_t Value) noexcept { Change(FMinUpperCase, Value); }
  std::int32_t GetMinLowerCase() const noexcept { return FMinLowerCase; }
  void SetMinLowerCase(std::int32_t Value) noexcept { Change(FMinLowerCase, Value); }
  std::int32_t GetMinDigits() const noexcept { return FMinDigits; }
  void SetMinDigits(std::int32_t Value) noexcept { Change(FMinDigits, Value); }
  std::int32_t GetMinSymbols() const noexcept { return FMinSymbols; }
  void SetMinSymbols(std::int32_t Value) noexcept { Change(FMinSymbols, Value); }

  // Characters left out of the alphabet (random and derived passwords, and the
  // digit or symbol of a passphrase): the look-alikes when ExcludeLookAlikes is
  // set, and ExcludeChars.
  bool GetExcludeLookAlikes() const noexcept { return FExcludeLookAlikes; }
  void SetExcludeLookAlikes(bool Value) noexcept { Change(FExcludeLookAlikes, Value); }
  const String& GetLookAlikeChars() const noexcept { return FLookAlikeChars; }
  void SetLookAlikeChars(const String& Value) { Change(FLookAlikeChars, Value); }
  const String& GetExcludeChars() const noexcept { return FExcludeChars; }
  void SetExcludeChars(const String& Value) { Change(FExcludeChars, Value); }

  // Passphrases: PassphraseWords words drawn uniformly and independently from
  // the word list, joined by the separator, each with its first letter (a to z)
  // in upper case when CapitalizeWords is set, and with one digit or symbol
  // (after exclusions) before the first word or after any word when asked.
  std::int32_t GetPassphraseWords() const noexcept { return FPassphraseWords; }
  void SetPassphraseWords(std::int32_t Value) noexcept { FPassphraseWords = Value; }
  const String& GetPassphraseSeparator() const noexcept { return FPassphraseSeparator; }
  void SetPassphraseSeparator(const String& Value) { FPassphraseSeparator = Value; }
  bool GetCapitalizeWords() const noexcept { return FCapitalizeWords; }
  void SetCapitalizeWords(bool Value) noexcept { FCapitalizeWords = Value; }
  TKLPassphraseExtra GetPassphraseExtra() const noexcept { return FPassphraseExtra; }
  void SetPassphraseExtra(TKLPassphraseExtra Value) noexcept { FPassphraseExtra = Value; }
  const TKLWordList& GetWordList() const noexcept { return FWordList; }
  void SetWordList(const TKLWordList& Value) { FWordList = Value; }

  // The enabled sets in their fixed order: upper case, lower case, digits,
  // symbols, space, custom characters. Nothing is sorted or de-duplicated.
  // Raises EKLPasswordError "Empty alphabet" when nothing is enabled.
  String CreateAlphabet() const;

  // A number drawn uniformly from LowerBound to UpperBound - 1. Raises
  // EKLPasswordError when UpperBound is not greater than LowerBound.
  std::int32_t GetRandomNumber(std::int32_t LowerBound, std::int32_t UpperBound);

  // Random passwords: DefaultLength or Len characters, or a length drawn
  // uniformly from LenFrom to LenTo - 1.
  String Generate();
  String Generate(std::int32_t Len);
  String Generate(std::int32_t LenFrom, std::int32_t LenTo);
  // As above, handed out as a new TKLPassword (Shared false) that the caller
  // owns; whatever Password held before is neither read nor destroyed.
  void Generate(TKLPassword*& Password);
  void Generate(TKLPassword*& Password, std::int32_t Len);

  // Derived passwords of DefaultLength or Len characters: PBKDF2-HMAC-SHA-256
  // of MasterKey with the UTF-8 URI as salt and DefaultIterationCount
  // iterations, one derived byte per character. An iteration count below 1
  // raises the derivation's EKLException; a master key or URI that is not
  // valid UTF-16 raises EConvertError (SInvalidUTF16).
  String Generate(const String& MasterKey, const String& URI);
  String Generate(const String& MasterKey, const String& URI, std::int32_t Len);
  void Generate(const String& MasterKey, const String& URI, TKLPassword*& Password);
  void Generate(const String& MasterKey, const String& URI, TKLPassword*& Password, std::int32_t Len);

  // Passphrases of PassphraseWords or Words words. Raises EKLPasswordError for
  // fewer than one word, or an extra character set emptied by the exclusions.
  String GeneratePassphrase();
  String GeneratePassphrase(std::int32_t Words);

  // The entropy, in bits, of what Generate gives with the current settings:
  // log2 of the number of passwords that can come out, all equally likely,
  // counted exactly under the minimums; for a length range, of the whole range.
  // Raises what Generate would raise for the same settings.
  double GetEntropy() const;
  double GetEntropy(std::int32_t Len) const;
  double GetEntropy(std::int32_t LenFrom, std::int32_t LenTo) const;
  // The same for GeneratePassphrase: the words and the extra character's value
  // and place. Exact when the separator cannot be confused with the words.
  double GetPassphraseEntropy() const;
  double GetPassphraseEntropy(std::int32_t Words) const;

  // The TKLPassword forms with ownership in the return type.
  std::unique_ptr<TKLPassword> GeneratePassword();
  std::unique_ptr<TKLPassword> GeneratePassword(std::int32_t Len);
  std::unique_ptr<TKLPassword> GeneratePassword(const String& MasterKey, const String& URI);
  std::unique_ptr<TKLPassword> GeneratePassword(const String& MasterKey, const String& URI, std::int32_t Len);

private:
  template <class T>
  void Change(T& Field, const T& Value) {
    Field = Value;
    FPlanStale = true;
  }
  // The characters and classes random passwords come from, remade after a
  // setting that shapes them changed.
  const detail::TCharacterPlan& Plan() const;
  String ExcludedChars() const;
  String GenerateRandom(std::int32_t Len);
  std::vector<char32_t> DerivationAlphabet() const;
  std::vector<char32_t> ExtraChars() const;

  bool FUseUpperCase = true;
  bool FUseLowerCase = true;
  bool FUseDigits = true;
  bool FUseSymbols = true;
  bool FUseSpace = false;
  bool FUseCustomChars = false;
  String FCustomChars;
  std::int32_t FDefaultLength = DefaultLengthValue;
  std::int32_t FDefaultIterationCount = DefaultIterationCountValue;
  bool FRequireEachSet = false;
  std::int32_t FMinUpperCase = 0;
  std::int32_t FMinLowerCase = 0;
  std::int32_t FMinDigits = 0;
  std::int32_t FMinSymbols = 0;
  bool FExcludeLookAlikes = false;
  String FLookAlikeChars{DefaultLookAlikeChars};
  String FExcludeChars;
  std::int32_t FPassphraseWords = DefaultPassphraseWordsValue;
  String FPassphraseSeparator{u"-"};
  bool FCapitalizeWords = false;
  TKLPassphraseExtra FPassphraseExtra = peNone;
  TKLWordList FWordList;
  mutable std::unique_ptr<detail::TCharacterPlan> FPlan;
  mutable bool FPlanStale = true;
};

} // namespace kl
