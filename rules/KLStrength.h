#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "rules/KLRules.h"

namespace kl {

namespace detail {
class TWordTrie;
}

// What kind of guessable structure a stretch of the password is.
enum TKLMatchPattern : std::int32_t {
  mpDictionary, // a word of a frequency list or of the application's own words
  mpSpatial,    // a path over neighbouring keys of a keyboard or keypad
  mpRepeat,     // one token typed several times over
  mpSequence,   // characters with a constant step, such as 'abc' or '9753'
  mpRegex,      // a recent year
  mpDate,       // a day, month and year, with or without separators
  mpBruteforce, // nothing better known: every character a free choice
  mpSeparator,  // one of the characters that usually join words (space, '-', '_', ...), used throughout (spZxcvbnTs)
  mpWordSequence // words of one ordered list in a row, such as 'onetwothree' (spZxcvbnTs)
};

// Which published model the estimator follows. spZxcvbn (the default) agrees
// with zxcvbn 4.4.2 on its English data; spZxcvbnTs agrees with zxcvbn-ts 4.2.0
// with the language packs chosen by TKLStrengthEstimator::SetLanguages.
enum TKLStrengthProfile : std::int32_t { spZxcvbn, spZxcvbnTs };

// The word lists a dictionary match can come from, the first six built in.
enum TKLStrengthDictionary : std::int32_t {
  sdPasswords,
  sdEnglishWikipedia,
  sdFemaleNames,
  sdSurnames,
  sdUsTvAndFilm,
  sdMaleNames,
  sdUserInputs,
  sdLanguagePack // spZxcvbnTs: a list of a language pack, named by TKLStrengthMatch::DictionaryName
};

// kgQwertz and kgAzerty exist in the spZxcvbnTs profile only.
enum TKLKeyboardGraph : std::int32_t { kgQwerty, kgDvorak, kgKeypad, kgMacKeypad, kgQwertz, kgAzerty };

enum TKLSequenceKind : std::int32_t { skLower, skUpper, skDigits, skUnicode };

// One stretch of the password, Token = Password[I..J], with the number of
// guesses it takes on its own. Only the fields of its Pattern are meaningful.
// Tokens are pieces of the password: they are wiped when the match goes.
struct KL_API TKLStrengthMatch {
  TKLStrengthMatch() = default;
  TKLStrengthMatch(const TKLStrengthMatch&) = default;
  TKLStrengthMatch(TKLStrengthMatch&&) noexcept = default;
  TKLStrengthMatch& operator=(const TKLStrengthMatch&) = default;
  TKLStrengthMatch& operator=(TKLStrengthMatch&&) noexcept = default;
  ~TKLStrengthMatch();

  TKLMatchPattern Pattern = mpBruteforce;
  std::int32_t I = 0;
  std::int32_t J = 0;
  String Token;
  double Guesses = 0; // 0 until estimated

  // mpDictionary
  TKLStrengthDictionary Dictionary = sdPasswords;
  String MatchedWord; // the list's word, lower case
  std::int32_t Rank = 0;
  bool Reversed = false;
  bool L33t = false;
  std::vector<std::pair<Char, Char>> L33tSub; // (substitute, letter) pairs used in Token (spZxcvbn)
  // spZxcvbnTs: the list's name as the packs give it ("passwords", "commonWords-de",
  // "wikipedia", "userInputs"...); empty in the spZxcvbn profile.
  std::string DictionaryName;
  // spZxcvbnTs: the (substitution, letter) changes used in Token, each once, in
  // the order met; a substitution may take several characters ("|_|" for 'u').
  std::vector<std::pair<String, String>> L33tChanges;

  // mpSpatial
  TKLKeyboardGraph Graph = kgQwerty;
  std::int32_t Turns = 0;
  std::int32_t ShiftedCount = 0;

  // mpRepeat
  String BaseToken;
  double BaseGuesses = 0;
  std::int32_t RepeatCount = 0;

  // mpSequence
  TKLSequenceKind SequenceKind = skLower;
  std::int32_t SequenceSpace = 0;
  bool Ascending = true;

  // mpWordSequence (spZxcvbnTs): the lists' words in order; Ascending is true when
  // their ranks do not fall; DictionaryName is the list most of them come from.
  std::vector<String> Words;

  // mpDate (and the year of mpRegex); mpSeparator: the separator character
  Char Separator = 0; // 0 for none
  std::int32_t Year = 0;
  std::int32_t Month = 0;
  std::int32_t Day = 0;
};

// The time an attacker needs on average, in seconds, for the four usual attack
// scenarios, and the same as English text ("3 hours", "centuries").
struct KL_API TKLCrackTimes {
  double OnlineThrottling = 0;   // 100 guesses an hour: a rate-limited online service
  double OnlineNoThrottling = 0; // 10 guesses a second: an online service without limits
  double OfflineSlowHashing = 0; // 10^4 a second: a stolen file of slow, salted hashes
  double OfflineFastHashing = 0; // 10^10 a second: a stolen file of fast hashes, many machines
};

struct KL_API TKLCrackTimesDisplay {
  String OnlineThrottling;
  String OnlineNoThrottling;
  String OfflineSlowHashing;
  String OfflineFastHashing;
};

// A warning (empty when there is nothing particular to say) and suggestions,
// each as text in the result's language and as a stable key (zxcvbn-ts's names:
// "straightRow", "topTen", ... for warnings, "l33t", "anotherWord", ... for
// suggestions) that an application may show in its own words instead.
// SuggestionKeys[i] names Suggestions[i]; WarningKey is empty with Warning.
struct KL_API TKLStrengthFeedback {
  String Warning;
  std::vector<String> Suggestions;
  std::string WarningKey;
  std::vector<std::string> SuggestionKeys;
};

// What the estimator says about one password. Score runs from 0 (guessed in
// under 10^3 guesses) to 4 (needs 10^10 or more). Sequence is the cheapest
// covering of the password by matches, left to right.
struct KL_API TKLStrengthResult {
  double Guesses = 1;
  double GuessesLog10 = 0;
  std::int32_t Score = 0;
  TKLCrackTimes CrackTimesSeconds;
  TKLCrackTimesDisplay CrackTimesDisplay;
  TKLStrengthFeedback Feedback;
  std::vector<TKLStrengthMatch> Sequence;
  bool Truncated = false; // spZxcvbn: longer than MaxEstimatedLength, analysed in pieces;
                          // spZxcvbnTs: longer than MaxTsLength, only its start analysed
  TKLStrengthProfile Profile = spZxcvbn;
  // The language of the texts (feedback, crack times in words): the estimator's
  // first language, "en" when it has none.
  std::string Language = "en";
};

// Estimates the guesses an attacker who knows how people choose passwords
// needs, from the cheapest covering of the password by words (also reversed and
// l33t), keyboard paths, repeats, sequences, dates, years and brute force.
// UserInputs (user name, site) count as the most likely words of all. Estimate
// only reads and never raises, so one estimator may serve several threads
// while nobody changes it.
class KL_API TKLStrengthEstimator {
public:
  // A password is analysed this many characters at a time, which keeps the
  // cost linear in its length; up to this length the answer is the model's
  // own. A longer one is the product of its pieces: windows analysed on their
  // own, and stretches that only repeat the characters before them (each equal
  // to the one up to this many places back), priced as repeats whose copies
  // count only up to as many as fill a window. A long repetition thus stays as
  // weak as one window of it; random text grows with its length. Once the top
  // score is reached, later windows are priced as brute force.
  static constexpr std::int32_t MaxEstimatedLength = 128;

  TKLStrengthEstimator();
  ~TKLStrengthEstimator();
  TKLStrengthEstimator(const TKLStrengthEstimator&) = delete;
  TKLStrengthEstimator& operator=(const TKLStrengthEstimator&) = delete;

  // The words are compared in lower case; the first word is the most likely.
  const std::vector<String>& GetUserInputs() const noexcept { return FUserInputs; }
  void SetUserInputs(const std::vector<String>& Value);

  // Years are scored by their distance from this one; 0 (the default) means
  // the current year of the local clock.
  std::int32_t GetReferenceYear() const noexcept { return FReferenceYear; }
  void SetReferenceYear(std::int32_t Value) noexcept { FReferenceYear = Value; }

  // The spZxcvbnTs profile analyses the first this many UTF-16 code units of a
  // password and ignores the rest, as zxcvbn-ts does by default.
  static constexpr std::int32_t MaxTsLength = 256;

  // spZxcvbn by default; the choice leaves the user inputs and languages as they
  // are. Raises EKLException for spZxcvbnTs in a build without language packs.
  TKLStrengthProfile GetProfile() const noexcept { return FProfile; }
  void SetProfile(TKLStrengthProfile Value);

  // The language packs of the spZxcvbnTs profile (codes of StrengthLanguages());
  // the common pack and English are always used besides. Raises EKLException for
  // an unknown code, naming the known ones, and then keeps the languages it had.
  // The packs load on first use, once for the process, whoever asks first.
  // In either profile the first names the language of the result's texts.
  const std::vector<std::string>& GetLanguages() const noexcept { return FLanguages; }
  void SetLanguages(const std::vector<std::string>& Value);

  TKLStrengthResult Estimate(const String& Password) const;

private:
  TKLStrengthResult EstimateTs(const String& Password) const;

  std::vector<String> FUserInputs;
  std::unique_ptr<detail::TWordTrie> FUserWords;
  std::int32_t FReferenceYear = 0;
  TKLStrengthProfile FProfile = spZxcvbn;
  std::vector<std::string> FLanguages;
};

// One-call form: a fresh estimator with the given user inputs.
KL_API TKLStrengthResult EstimatePasswordStrength(const String& Password, const std::vector<String>& UserInputs = {});

// The codes of the language packs the spZxcvbnTs profile can use ("en", "de",
// "fr", "es-es", "it", "nl-be", "pl", "pt-br"); empty in builds without the packs.
KL_API std::vector<std::string> StrengthLanguages();

// The score for a number of guesses (0 to 4) and the English text for a time in
// seconds, as the estimator gives them.
KL_API std::int32_t GuessesToScore(double Guesses) noexcept;
KL_API String DisplayCrackTime(double Seconds);
// The same in a language of StrengthLanguages() ("de": "3 Stunden"), from its
// pack's time texts: the singular for a count of 1, the plural otherwise.
// English for a language without texts.
KL_API String DisplayCrackTime(double Seconds, std::string_view Language);

inline constexpr std::int32_t kMaxStrengthScore = 4;
inline constexpr const char* SStrengthScoreOutOfRange = "The minimum strength score must lie between 0 and 4";
inline constexpr const char* SStrengthProfileUnknown = "Unknown strength profile";
inline constexpr const char* SStrengthTsUnavailable =
    "The zxcvbn-ts strength profile is not available in this build (it has no language packs)";

// True when the estimated strength score of the password reaches MinScore (0
// to 4; the constructor raises EKLException for anything else). The user
// inputs count as the most likely words, so a password built on the user's own
// name scores low. A failure is TOO_WEAK with the score, the minimum, the
// estimated guesses (log10) and the estimator's warning (in its first language)
// with its key.
class KL_API TKLStrengthRule : public TKLPasswordRule {
public:
  explicit TKLStrengthRule(std::int32_t MinScore, const std::vector<String>& UserInputs = {});

  std::int32_t GetMinScore() const noexcept { return FMinScore; }
  const TKLStrengthEstimator& GetEstimator() const noexcept { return FEstimator; }
  // For the profile and languages (the warning of a failure is in the first).
  TKLStrengthEstimator& GetEstimator() noexcept { return FEstimator; }

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  std::int32_t FMinScore;
  TKLStrengthEstimator FEstimator;
};

} // namespace kl
