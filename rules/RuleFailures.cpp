#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "rules/KLRuleFailures.h"
#include "rules/KLStrength.h"
#include "rules/KLUserAttributeRule.h"
#include "rules/StrengthFeedback.h"

namespace kl {

namespace {

struct TTemplateEntry {
  std::string_view Code;
  const char16_t* Text;
};

constexpr const char16_t* kGenericTemplate = u"The password does not meet a rule of the policy.";

constexpr TTemplateEntry kEnglishTemplates[] = {
    {kRuleFailed, kGenericTemplate},
    {kRuleNotChecked, u"The password could not be checked: {reason}"},
    {kTooShort, u"The password must be at least {minimum} characters long; it has {length}."},
    {kTooLong, u"The password must be at most {maximum} characters long; it has {length}."},
    {kEmptyLengthRange, u"No password can meet the length range {minimum} to {maximum}."},
    {kInsufficientUppercase, u"The password must hold an upper-case letter (A-Z)."},
    {kInsufficientLowercase, u"The password must hold a lower-case letter (a-z)."},
    {kInsufficientDigit, u"The password must hold a digit (0-9)."},
    {kInsufficientCharacteristics,
     u"The password must hold characters of at least {required} of these {count} kinds: {classes}; it has "
     u"{satisfied}."},
    {kIllegalCharacter, u"The password holds a character that is not allowed: \"{character}\"."},
    {kIllegalWhitespace, u"The password must not hold a space."},
    {kIllegalUsername, u"The password must not hold the user name \"{username}\"."},
    {kIllegalWord, u"The password is the forbidden word \"{word}\"."},
    {kIllegalQwertySequence,
     u"The password holds the keyboard sequence \"{sequence}\"; {minimum} or more neighbouring keys are not "
     u"allowed."},
    {kIllegalAlphabeticalSequence,
     u"The password holds the alphabetical sequence \"{sequence}\"; {minimum} or more letters in a row are not "
     u"allowed."},
    {kIllegalRepeatedDigits,
     u"The password repeats a digit: \"{sequence}\"; {minimum} or more of one digit in a row are not allowed."},
    {kIllegalRepeatedCharacters,
     u"The password repeats a character: \"{sequence}\"; a run of {minimum} is not allowed."},
    {kIllegalMatch, u"The password holds something that the pattern {pattern} forbids."},
    {kHistoryViolation, u"The password is one of the last {count} passwords used."},
    {kBlocklisted, u"The password is too common: it is on the list of {list}."},
    {kBreached, u"The password has appeared in a data breach (list {list})."},
    {kTooWeak, u"The password is too easy to guess: strength {score} of 4, at least {minimum} needed."},
    {kTooSimilar, u"The password is too similar to the {attribute}."},
};

struct TTranslatedEntry {
  std::string_view Language;
  std::string_view Code;
  const char16_t* Text;
};

// The policy messages in the languages of the estimator's packs: German for
// every code, the others for the failures the ready-made policies give. A code
// missing here stays English. The list names of BLOCKLISTED are English
// parameters, so the translations leave them out.
constexpr TTranslatedEntry kTranslatedTemplates[] = {
    {"de", kRuleFailed, u"Das Passwort erfüllt eine Regel der Richtlinie nicht."},
    {"de", kRuleNotChecked, u"Das Passwort konnte nicht geprüft werden: {reason}"},
    {"de", kTooShort, u"Das Passwort muss mindestens {minimum} Zeichen lang sein; es hat {length}."},
    {"de", kTooLong, u"Das Passwort darf höchstens {maximum} Zeichen lang sein; es hat {length}."},
    {"de", kEmptyLengthRange, u"Kein Passwort kann die Länge {minimum} bis {maximum} einhalten."},
    {"de", kInsufficientUppercase, u"Das Passwort muss einen Großbuchstaben (A-Z) enthalten."},
    {"de", kInsufficientLowercase, u"Das Passwort muss einen Kleinbuchstaben (a-z) enthalten."},
    {"de", kInsufficientDigit, u"Das Passwort muss eine Ziffer (0-9) enthalten."},
    {"de", kInsufficientCharacteristics,
     u"Das Passwort muss Zeichen aus mindestens {required} dieser {count} Arten enthalten: {classes}; es hat "
     u"{satisfied}."},
    {"de", kIllegalCharacter, u"Das Passwort enthält ein nicht erlaubtes Zeichen: „{character}“."},
    {"de", kIllegalWhitespace, u"Das Passwort darf kein Leerzeichen enthalten."},
    {"de", kIllegalUsername, u"Das Passwort darf den Benutzernamen „{username}“ nicht enthalten."},
    {"de", kIllegalWord, u"Das Passwort ist das verbotene Wort „{word}“."},
    {"de", kIllegalQwertySequence,
     u"Das Passwort enthält die Tastaturfolge „{sequence}“; {minimum} oder mehr benachbarte Tasten sind nicht "
     u"erlaubt."},
    {"de", kIllegalAlphabeticalSequence,
     u"Das Passwort enthält die alphabetische Folge „{sequence}“; {minimum} oder mehr Buchstaben in Folge sind "
     u"nicht erlaubt."},
    {"de", kIllegalRepeatedDigits,
     u"Das Passwort wiederholt eine Ziffer: „{sequence}“; {minimum} oder mehr gleiche Ziffern in Folge sind nicht "
     u"erlaubt."},
    {"de", kIllegalRepeatedCharacters,
     u"Das Passwort wiederholt ein Zeichen: „{sequence}“; {minimum} gleiche Zeichen in Folge sind nicht erlaubt."},
    {"de", kIllegalMatch, u"Das Passwort enthält etwas, das das Muster {pattern} verbietet."},
    {"de", kHistoryViolation, u"Das Passwort ist eines der letzten {count} verwendeten Passwörter."},
    {"de", kBlocklisted, u"Das Passwort ist zu verbreitet und daher nicht erlaubt."},
    {"de", kTooWeak, u"Das Passwort ist zu leicht zu erraten: Stärke {score} von 4, mindestens {minimum} nötig."},
    {"de", kTooSimilar, u"Das Passwort ist dem Feld „{attribute}“ zu ähnlich."},
    {"fr", kTooShort, u"Le mot de passe doit compter au moins {minimum} caractères ; il en a {length}."},
    {"fr", kTooLong, u"Le mot de passe doit compter au plus {maximum} caractères ; il en a {length}."},
    {"fr", kBlocklisted, u"Le mot de passe est trop courant et n'est donc pas accepté."},
    {"fr", kTooWeak, u"Le mot de passe est trop facile à deviner : force {score} sur 4, au moins {minimum} requis."},
    {"fr", kTooSimilar, u"Le mot de passe est trop semblable au champ « {attribute} »."},
    {"es-es", kTooShort, u"La contraseña debe tener al menos {minimum} caracteres; tiene {length}."},
    {"es-es", kTooLong, u"La contraseña debe tener como máximo {maximum} caracteres; tiene {length}."},
    {"es-es", kBlocklisted, u"La contraseña es demasiado común y por eso no se admite."},
    {"es-es", kTooWeak,
     u"La contraseña es demasiado fácil de adivinar: fuerza {score} de 4, se necesita al menos {minimum}."},
    {"es-es", kTooSimilar, u"La contraseña se parece demasiado al campo «{attribute}»."},
    {"it", kTooShort, u"La password deve avere almeno {minimum} caratteri; ne ha {length}."},
    {"it", kTooLong, u"La password deve avere al massimo {maximum} caratteri; ne ha {length}."},
    {"it", kBlocklisted, u"La password è troppo comune e quindi non è ammessa."},
    {"it", kTooWeak, u"La password è troppo facile da indovinare: forza {score} su 4, almeno {minimum} necessaria."},
    {"it", kTooSimilar, u"La password è troppo simile al campo «{attribute}»."},
    {"nl-be", kTooShort, u"Het wachtwoord moet minstens {minimum} tekens lang zijn; het heeft er {length}."},
    {"nl-be", kTooLong, u"Het wachtwoord mag hoogstens {maximum} tekens lang zijn; het heeft er {length}."},
    {"nl-be", kBlocklisted, u"Het wachtwoord is te gangbaar en daarom niet toegestaan."},
    {"nl-be", kTooWeak,
     u"Het wachtwoord is te makkelijk te raden: sterkte {score} van 4, minstens {minimum} nodig."},
    {"nl-be", kTooSimilar, u"Het wachtwoord lijkt te veel op het veld \"{attribute}\"."},
    {"pl", kTooShort, u"Hasło musi mieć co najmniej {minimum} znaków; ma {length}."},
    {"pl", kTooLong, u"Hasło może mieć najwyżej {maximum} znaków; ma {length}."},
    {"pl", kBlocklisted, u"Hasło jest zbyt popularne, dlatego jest niedozwolone."},
    {"pl", kTooWeak, u"Hasło jest zbyt łatwe do odgadnięcia: siła {score} na 4, wymagane co najmniej {minimum}."},
    {"pl", kTooSimilar, u"Hasło jest zbyt podobne do pola „{attribute}”."},
    {"pt-br", kTooShort, u"A senha deve ter pelo menos {minimum} caracteres; ela tem {length}."},
    {"pt-br", kTooLong, u"A senha deve ter no máximo {maximum} caracteres; ela tem {length}."},
    {"pt-br", kBlocklisted, u"A senha é comum demais e por isso não é aceita."},
    {"pt-br", kTooWeak, u"A senha é fácil demais de adivinhar: força {score} de 4, pelo menos {minimum} necessária."},
    {"pt-br", kTooSimilar, u"A senha é parecida demais com o campo \"{attribute}\"."},
};

constexpr const char16_t* kRedacted = u"***";

String Ascii(std::string_view Text) { return String(Text.begin(), Text.end()); }

} // namespace

TKLRuleFailure::TKLRuleFailure(std::string_view Code) : FCode(Code) {}

TKLRuleFailure& TKLRuleFailure::AddNumber(std::string_view Name, std::int64_t Value) {
  FParameters.push_back({std::string(Name), Ascii(std::to_string(Value)), TKLParameterKind::pkNumber});
  return *this;
}

TKLRuleFailure& TKLRuleFailure::AddText(std::string_view Name, const String& Value) {
  FParameters.push_back({std::string(Name), Value, TKLParameterKind::pkText});
  return *this;
}

TKLRuleFailure& TKLRuleFailure::AddPasswordText(std::string_view Name, const String& Value) {
  FParameters.push_back({std::string(Name), Value, TKLParameterKind::pkPasswordText});
  return *this;
}

const TKLRuleParameter* TKLRuleFailure::FindParameter(std::string_view Name) const noexcept {
  const auto found = std::find_if(FParameters.begin(), FParameters.end(),
                                  [Name](const TKLRuleParameter& p) { return p.Name == Name; });
  return found == FParameters.end() ? nullptr : &*found;
}

String TKLRuleFailure::GetMessage() const { return TKLRuleMessages::GetEnglish().Format(*this); }

TKLRuleMessages::TKLRuleMessages() {
  for (const TTemplateEntry& entry : kEnglishTemplates) FTemplates.emplace(std::string(entry.Code), entry.Text);
}

const TKLRuleMessages& TKLRuleMessages::GetEnglish() {
  static const TKLRuleMessages english;
  return english;
}

const TKLRuleMessages& TKLRuleMessages::ForLanguage(std::string_view Language) {
  static const std::map<std::string, TKLRuleMessages, std::less<>> languages = [] {
    std::map<std::string, TKLRuleMessages, std::less<>> all;
    for (const std::string& language : StrengthLanguages()) {
      if (language == "en") continue;
      TKLRuleMessages& messages = all[language];
      messages.SetTemplate(kBreached, detail::StrengthText(language, detail::TStrengthTextKind::tkWarning, "pwned"));
      for (const TTranslatedEntry& entry : kTranslatedTemplates) {
        if (entry.Language == language) messages.SetTemplate(entry.Code, entry.Text);
      }
    }
    return all;
  }();
  const auto found = languages.find(Language);
  return found == languages.end() ? GetEnglish() : found->second;
}

void TKLRuleMessages::SetTemplate(std::string_view Code, const String& Template) {
  FTemplates.insert_or_assign(std::string(Code), Template);
}

const String& TKLRuleMessages::GetTemplate(std::string_view Code) const {
  const auto found = FTemplates.find(std::string(Code));
  if (found != FTemplates.end()) return found->second;
  return FTemplates.at(std::string(kRuleFailed));
}

// One pass over the template: a brace pair whose name the failure holds is
// replaced, anything else is copied, so parameter values are never rescanned.
String TKLRuleMessages::Format(const TKLRuleFailure& Failure, bool RedactPassword) const {
  const String& text = GetTemplate(Failure.GetCode());
  String message;
  message.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Char c = text[i];
    if (c == u'{' && i + 1 < text.size() && text[i + 1] == u'{') {
      message.push_back(u'{');
      i += 2;
      continue;
    }
    const std::size_t close = c == u'{' ? text.find(u'}', i + 1) : String::npos;
    if (close == String::npos) {
      message.push_back(c);
      ++i;
      continue;
    }
    const String name16 = text.substr(i + 1, close - i - 1);
    const bool asciiName = std::all_of(name16.begin(), name16.end(), [](Char n) { return n < 0x80; });
    const TKLRuleParameter* parameter =
        asciiName ? Failure.FindParameter(std::string(name16.begin(), name16.end())) : nullptr;
    if (parameter == nullptr) {
      message.append(text, i, close - i + 1);
    } else if (RedactPassword && parameter->Kind == TKLParameterKind::pkPasswordText) {
      message += kRedacted;
    } else {
      message += parameter->Value;
    }
    i = close + 1;
  }
  return message;
}

} // namespace kl
