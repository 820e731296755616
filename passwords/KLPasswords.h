#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "random/KLRandom.h"
#include "rules/KLRules.h"

namespace kl {

// Message texts. The two protection messages carry the data-protection layer's
// error number in place of %d.
inline constexpr const char* SDPAPISaveError = "Failed to save data using DPAPI (Windows error: %d)";
inline constexpr const char* SDPAPILoadError = "Failed to load data using DPAPI (Windows error: %d)";
inline constexpr const char* SEmptyAlphabet = "Empty alphabet";
inline constexpr const char* SInvalidRange = "The upper bound must be greater than the lower bound";

// Failures of password protection and of the password generator.
KL_DECLARE_EXCEPTION(EKLPasswordError, EKLException);

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
  // README, "Files the library writes"); blobs made before the key keep
  // loading. Windows: the service has its own key; nothing is made.
  static bool CreateMachineKey();

private:
  String FValue;
  bool FShared = false;
};

// Makes passwords from an alphabet built from the enabled character sets:
// random ones, each character drawn uniformly from the whole alphabet with the
// component's random generator, and derived ones (PBKDF2 of a master key with
// the site address as salt), which every machine derives alike from the same
// key, address, length, iteration count and alphabet. A component; the
// TKLPassword forms hand a new object to the caller, who owns it. Raises
// EKLPasswordError ("Empty alphabet", bad length bounds) and ERangeError
// (negative length). One thread at a time.
class KL_API TKLPasswordGenerator : public TKLRandomBasedComponent {
public:
  static constexpr std::u16string_view UpperCaseChars = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static constexpr std::u16string_view LowerCaseChars = u"abcdefghijklmnopqrstuvwxyz";
  static constexpr std::u16string_view DigitChars = u"0123456789";
  static constexpr std::u16string_view SymbolChars = u"~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?";
  static constexpr std::u16string_view SpaceChars = u" ";

  static constexpr std::int32_t DefaultLengthValue = 16;
  static constexpr std::int32_t DefaultIterationCountValue = 500;

  explicit TKLPasswordGenerator(TComponent* AOwner = nullptr);
  ~TKLPasswordGenerator() override;

  bool GetUseUpperCase() const noexcept { return FUseUpperCase; }
  void SetUseUpperCase(bool Value) noexcept { FUseUpperCase = Value; }
  bool GetUseLowerCase() const noexcept { return FUseLowerCase; }
  void SetUseLowerCase(bool Value) noexcept { FUseLowerCase = Value; }
  bool GetUseDigits() const noexcept { return FUseDigits; }
  void SetUseDigits(bool Value) noexcept { FUseDigits = Value; }
  bool GetUseSymbols() const noexcept { return FUseSymbols; }
  void SetUseSymbols(bool Value) noexcept { FUseSymbols = Value; }
  bool GetUseSpace() const noexcept { return FUseSpace; }
  void SetUseSpace(bool Value) noexcept { FUseSpace = Value; }
  bool GetUseCustomChars() const noexcept { return FUseCustomChars; }
  void SetUseCustomChars(bool Value) noexcept { FUseCustomChars = Value; }
  const String& GetCustomChars() const noexcept { return FCustomChars; }
  void SetCustomChars(const String& Value) { FCustomChars = Value; }
  std::int32_t GetDefaultLength() const noexcept { return FDefaultLength; }
  void SetDefaultLength(std::int32_t Value) noexcept { FDefaultLength = Value; }
  std::int32_t GetDefaultIterationCount() const noexcept { return FDefaultIterationCount; }
  void SetDefaultIterationCount(std::int32_t Value) noexcept { FDefaultIterationCount = Value; }

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

  // The TKLPassword forms with ownership in the return type.
  std::unique_ptr<TKLPassword> GeneratePassword();
  std::unique_ptr<TKLPassword> GeneratePassword(std::int32_t Len);
  std::unique_ptr<TKLPassword> GeneratePassword(const String& MasterKey, const String& URI);
  std::unique_ptr<TKLPassword> GeneratePassword(const String& MasterKey, const String& URI, std::int32_t Len);

private:
  String GenerateRandom(const String& Alphabet, std::int32_t Len);

  bool FUseUpperCase = true;
  bool FUseLowerCase = true;
  bool FUseDigits = true;
  bool FUseSymbols = true;
  bool FUseSpace = false;
  bool FUseCustomChars = false;
  String FCustomChars;
  std::int32_t FDefaultLength = DefaultLengthValue;
  std::int32_t FDefaultIterationCount = DefaultIterationCountValue;
};

} // namespace kl
