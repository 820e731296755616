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

// The policy messages in the languages of the estimator's packs, every code in
// each (BREACHED comes from the packs themselves). Each text keeps the English
// text's parameters and its language's quotation marks; French puts a
// no-break space before ; and : and inside the guillemets. The list names of
// BLOCKLISTED are English parameters, so the translations leave them out.
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
     u"Das Passwort muss Zeichen aus mindestens {required} dieser {count} Arten enthalten: Großbuchstaben, "
     u"Kleinbuchstaben, Ziffern, andere Zeichen; es hat "
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
    {"fr", kRuleFailed, u"Le mot de passe ne respecte pas une règle de la politique."},
    {"fr", kRuleNotChecked, u"Le mot de passe n'a pas pu être vérifié\u00a0: {reason}"},
    {"fr", kEmptyLengthRange, u"Aucun mot de passe ne peut respecter la longueur de {minimum} à {maximum}."},
    {"fr", kInsufficientUppercase, u"Le mot de passe doit contenir une lettre majuscule (A-Z)."},
    {"fr", kInsufficientLowercase, u"Le mot de passe doit contenir une lettre minuscule (a-z)."},
    {"fr", kInsufficientDigit, u"Le mot de passe doit contenir un chiffre (0-9)."},
    {"fr", kInsufficientCharacteristics,
     u"Le mot de passe doit contenir des caractères d'au moins {required} de ces {count} types\u00a0: lettres "
     u"majuscules, lettres minuscules, chiffres, autres caractères\u00a0; "
     u"il en a {satisfied}."},
    {"fr", kIllegalCharacter, u"Le mot de passe contient un caractère non autorisé\u00a0: «\u00a0{character}\u00a0»."},
    {"fr", kIllegalWhitespace, u"Le mot de passe ne doit pas contenir d'espace."},
    {"fr", kIllegalUsername, u"Le mot de passe ne doit pas contenir le nom d'utilisateur «\u00a0{username}\u00a0»."},
    {"fr", kIllegalWord, u"Le mot de passe est le mot interdit «\u00a0{word}\u00a0»."},
    {"fr", kIllegalQwertySequence,
     u"Le mot de passe contient la suite de touches «\u00a0{sequence}\u00a0»\u00a0; {minimum} touches voisines ou plus "
     u"ne sont pas autorisées."},
    {"fr", kIllegalAlphabeticalSequence,
     u"Le mot de passe contient la suite alphabétique «\u00a0{sequence}\u00a0»\u00a0; {minimum} lettres consécutives "
     u"ou plus ne sont pas autorisées."},
    {"fr", kIllegalRepeatedDigits,
     u"Le mot de passe répète un chiffre\u00a0: «\u00a0{sequence}\u00a0»\u00a0; {minimum} chiffres identiques "
     u"consécutifs ou plus ne sont pas autorisés."},
    {"fr", kIllegalRepeatedCharacters,
     u"Le mot de passe répète un caractère\u00a0: «\u00a0{sequence}\u00a0»\u00a0; une suite de {minimum} caractères "
     u"identiques n'est pas autorisée."},
    {"fr", kIllegalMatch, u"Le mot de passe contient quelque chose que le motif {pattern} interdit."},
    {"fr", kHistoryViolation, u"Le mot de passe est l'un des {count} derniers mots de passe utilisés."},
    {"fr", kTooShort, u"Le mot de passe doit compter au moins {minimum} caractères\u00a0; il en a {length}."},
    {"fr", kTooLong, u"Le mot de passe doit compter au plus {maximum} caractères\u00a0; il en a {length}."},
    {"fr", kBlocklisted, u"Le mot de passe est trop courant et n'est donc pas accepté."},
    {"fr", kTooWeak,
     u"Le mot de passe est trop facile à deviner\u00a0: force {score} sur 4, au moins {minimum} requis."},
    {"fr", kTooSimilar, u"Le mot de passe est trop semblable au champ «\u00a0{attribute}\u00a0»."},
    {"es-es", kRuleFailed, u"La contraseña no cumple una regla de la política."},
    {"es-es", kRuleNotChecked, u"No se ha podido comprobar la contraseña: {reason}"},
    {"es-es", kEmptyLengthRange, u"Ninguna contraseña puede cumplir la longitud de {minimum} a {maximum}."},
    {"es-es", kInsufficientUppercase, u"La contraseña debe contener una letra mayúscula (A-Z)."},
    {"es-es", kInsufficientLowercase, u"La contraseña debe contener una letra minúscula (a-z)."},
    {"es-es", kInsufficientDigit, u"La contraseña debe contener un dígito (0-9)."},
    {"es-es", kInsufficientCharacteristics,
     u"La contraseña debe contener caracteres de al menos {required} de estos {count} tipos: letras mayúsculas, letras "
     u"minúsculas, dígitos, otros caracteres; tiene "
     u"{satisfied}."},
    {"es-es", kIllegalCharacter, u"La contraseña contiene un carácter no permitido: «{character}»."},
    {"es-es", kIllegalWhitespace, u"La contraseña no debe contener espacios."},
    {"es-es", kIllegalUsername, u"La contraseña no debe contener el nombre de usuario «{username}»."},
    {"es-es", kIllegalWord, u"La contraseña es la palabra prohibida «{word}»."},
    {"es-es", kIllegalQwertySequence,
     u"La contraseña contiene la secuencia de teclado «{sequence}»; no se permiten {minimum} o más teclas contiguas."},
    {"es-es", kIllegalAlphabeticalSequence,
     u"La contraseña contiene la secuencia alfabética «{sequence}»; no se permiten {minimum} o más letras seguidas."},
    {"es-es", kIllegalRepeatedDigits,
     u"La contraseña repite un dígito: «{sequence}»; no se permiten {minimum} o más dígitos iguales seguidos."},
    {"es-es", kIllegalRepeatedCharacters,
     u"La contraseña repite un carácter: «{sequence}»; no se permiten {minimum} caracteres iguales seguidos."},
    {"es-es", kIllegalMatch, u"La contraseña contiene algo que el patrón {pattern} prohíbe."},
    {"es-es", kHistoryViolation, u"La contraseña es una de las últimas {count} contraseñas usadas."},
    {"es-es", kTooShort, u"La contraseña debe tener al menos {minimum} caracteres; tiene {length}."},
    {"es-es", kTooLong, u"La contraseña debe tener como máximo {maximum} caracteres; tiene {length}."},
    {"es-es", kBlocklisted, u"La contraseña es demasiado común y por eso no se admite."},
    {"es-es", kTooWeak,
     u"La contraseña es demasiado fácil de adivinar: fuerza {score} de 4, se necesita al menos {minimum}."},
    {"es-es", kTooSimilar, u"La contraseña se parece demasiado al campo «{attribute}»."},
    {"it", kRuleFailed, u"La password non rispetta una regola dei criteri."},
    {"it", kRuleNotChecked, u"Non è stato possibile verificare la password: {reason}"},
    {"it", kEmptyLengthRange, u"Nessuna password può rispettare la lunghezza da {minimum} a {maximum}."},
    {"it", kInsufficientUppercase, u"La password deve contenere una lettera maiuscola (A-Z)."},
    {"it", kInsufficientLowercase, u"La password deve contenere una lettera minuscola (a-z)."},
    {"it", kInsufficientDigit, u"La password deve contenere una cifra (0-9)."},
    {"it", kInsufficientCharacteristics,
     u"La password deve contenere caratteri di almeno {required} di questi {count} tipi: lettere maiuscole, lettere "
     u"minuscole, cifre, altri caratteri; ne ha "
     u"{satisfied}."},
    {"it", kIllegalCharacter, u"La password contiene un carattere non ammesso: «{character}»."},
    {"it", kIllegalWhitespace, u"La password non deve contenere spazi."},
    {"it", kIllegalUsername, u"La password non deve contenere il nome utente «{username}»."},
    {"it", kIllegalWord, u"La password è la parola vietata «{word}»."},
    {"it", kIllegalQwertySequence,
     u"La password contiene la sequenza di tastiera «{sequence}»; non sono ammessi {minimum} o più tasti adiacenti."},
    {"it", kIllegalAlphabeticalSequence,
     u"La password contiene la sequenza alfabetica «{sequence}»; non sono ammesse {minimum} o più lettere "
     u"consecutive."},
    {"it", kIllegalRepeatedDigits,
     u"La password ripete una cifra: «{sequence}»; non sono ammesse {minimum} o più cifre uguali consecutive."},
    {"it", kIllegalRepeatedCharacters,
     u"La password ripete un carattere: «{sequence}»; non sono ammessi {minimum} caratteri uguali consecutivi."},
    {"it", kIllegalMatch, u"La password contiene qualcosa che il modello {pattern} vieta."},
    {"it", kHistoryViolation, u"La password è una delle ultime {count} password usate."},
    {"it", kTooShort, u"La password deve avere almeno {minimum} caratteri; ne ha {length}."},
    {"it", kTooLong, u"La password deve avere al massimo {maximum} caratteri; ne ha {length}."},
    {"it", kBlocklisted, u"La password è troppo comune e quindi non è ammessa."},
    {"it", kTooWeak, u"La password è troppo facile da indovinare: forza {score} su 4, almeno {minimum} necessaria."},
    {"it", kTooSimilar, u"La password è troppo simile al campo «{attribute}»."},
    {"nl-be", kRuleFailed, u"Het wachtwoord voldoet niet aan een regel van het beleid."},
    {"nl-be", kRuleNotChecked, u"Het wachtwoord kon niet worden gecontroleerd: {reason}"},
    {"nl-be", kEmptyLengthRange, u"Geen enkel wachtwoord kan voldoen aan de lengte van {minimum} tot {maximum}."},
    {"nl-be", kInsufficientUppercase, u"Het wachtwoord moet een hoofdletter (A-Z) bevatten."},
    {"nl-be", kInsufficientLowercase, u"Het wachtwoord moet een kleine letter (a-z) bevatten."},
    {"nl-be", kInsufficientDigit, u"Het wachtwoord moet een cijfer (0-9) bevatten."},
    {"nl-be", kInsufficientCharacteristics,
     u"Het wachtwoord moet tekens van minstens {required} van deze {count} soorten bevatten: hoofdletters, kleine "
     u"letters, cijfers, andere tekens; het heeft er "
     u"{satisfied}."},
    {"nl-be", kIllegalCharacter, u"Het wachtwoord bevat een teken dat niet is toegestaan: \"{character}\"."},
    {"nl-be", kIllegalWhitespace, u"Het wachtwoord mag geen spatie bevatten."},
    {"nl-be", kIllegalUsername, u"Het wachtwoord mag de gebruikersnaam \"{username}\" niet bevatten."},
    {"nl-be", kIllegalWord, u"Het wachtwoord is het verboden woord \"{word}\"."},
    {"nl-be", kIllegalQwertySequence,
     u"Het wachtwoord bevat de toetsenbordreeks \"{sequence}\"; {minimum} of meer naast elkaar liggende toetsen zijn "
     u"niet toegestaan."},
    {"nl-be", kIllegalAlphabeticalSequence,
     u"Het wachtwoord bevat de alfabetische reeks \"{sequence}\"; {minimum} of meer opeenvolgende letters zijn niet "
     u"toegestaan."},
    {"nl-be", kIllegalRepeatedDigits,
     u"Het wachtwoord herhaalt een cijfer: \"{sequence}\"; {minimum} of meer gelijke cijfers na elkaar zijn niet "
     u"toegestaan."},
    {"nl-be", kIllegalRepeatedCharacters,
     u"Het wachtwoord herhaalt een teken: \"{sequence}\"; {minimum} gelijke tekens na elkaar zijn niet toegestaan."},
    {"nl-be", kIllegalMatch, u"Het wachtwoord bevat iets wat het patroon {pattern} verbiedt."},
    {"nl-be", kHistoryViolation, u"Het wachtwoord is een van de laatste {count} gebruikte wachtwoorden."},
    {"nl-be", kTooShort, u"Het wachtwoord moet minstens {minimum} tekens lang zijn; het heeft er {length}."},
    {"nl-be", kTooLong, u"Het wachtwoord mag hoogstens {maximum} tekens lang zijn; het heeft er {length}."},
    {"nl-be", kBlocklisted, u"Het wachtwoord is te gangbaar en daarom niet toegestaan."},
    {"nl-be", kTooWeak, u"Het wachtwoord is te makkelijk te raden: sterkte {score} van 4, minstens {minimum} nodig."},
    {"nl-be", kTooSimilar, u"Het wachtwoord lijkt te veel op het veld \"{attribute}\"."},
    {"pl", kRuleFailed, u"Hasło nie spełnia jednej z reguł polityki haseł."},
    {"pl", kRuleNotChecked, u"Nie udało się sprawdzić hasła: {reason}"},
    {"pl", kEmptyLengthRange, u"Żadne hasło nie może mieć długości od {minimum} do {maximum}."},
    {"pl", kInsufficientUppercase, u"Hasło musi zawierać wielką literę (A-Z)."},
    {"pl", kInsufficientLowercase, u"Hasło musi zawierać małą literę (a-z)."},
    {"pl", kInsufficientDigit, u"Hasło musi zawierać cyfrę (0-9)."},
    {"pl", kInsufficientCharacteristics,
     u"Hasło musi zawierać znaki co najmniej {required} z tych {count} rodzajów: wielkie litery, małe litery, cyfry, "
     u"inne znaki; ma {satisfied}."},
    {"pl", kIllegalCharacter, u"Hasło zawiera niedozwolony znak: „{character}”."},
    {"pl", kIllegalWhitespace, u"Hasło nie może zawierać spacji."},
    {"pl", kIllegalUsername, u"Hasło nie może zawierać nazwy użytkownika „{username}”."},
    {"pl", kIllegalWord, u"Hasło jest zakazanym słowem „{word}”."},
    {"pl", kIllegalQwertySequence,
     u"Hasło zawiera sekwencję klawiszy „{sequence}”; niedozwolone są ciągi {minimum} lub więcej sąsiednich klawiszy."},
    {"pl", kIllegalAlphabeticalSequence,
     u"Hasło zawiera sekwencję alfabetyczną „{sequence}”; niedozwolone są ciągi {minimum} lub więcej kolejnych liter."},
    {"pl", kIllegalRepeatedDigits,
     u"Hasło powtarza cyfrę: „{sequence}”; niedozwolone są ciągi {minimum} lub więcej takich samych cyfr."},
    {"pl", kIllegalRepeatedCharacters,
     u"Hasło powtarza znak: „{sequence}”; niedozwolony jest ciąg {minimum} takich samych znaków."},
    {"pl", kIllegalMatch, u"Hasło zawiera coś, czego zabrania wzorzec {pattern}."},
    {"pl", kHistoryViolation, u"Hasło jest jednym z {count} ostatnio używanych haseł."},
    {"pl", kTooShort, u"Hasło musi mieć co najmniej {minimum} znaków; ma {length}."},
    {"pl", kTooLong, u"Hasło może mieć najwyżej {maximum} znaków; ma {length}."},
    {"pl", kBlocklisted, u"Hasło jest zbyt popularne, dlatego jest niedozwolone."},
    {"pl", kTooWeak, u"Hasło jest zbyt łatwe do odgadnięcia: siła {score} na 4, wymagane co najmniej {minimum}."},
    {"pl", kTooSimilar, u"Hasło jest zbyt podobne do pola „{attribute}”."},
    {"pt-br", kRuleFailed, u"A senha não cumpre uma regra da política."},
    {"pt-br", kRuleNotChecked, u"Não foi possível verificar a senha: {reason}"},
    {"pt-br", kEmptyLengthRange, u"Nenhuma senha pode ter o comprimento de {minimum} a {maximum}."},
    {"pt-br", kInsufficientUppercase, u"A senha deve conter uma letra maiúscula (A-Z)."},
    {"pt-br", kInsufficientLowercase, u"A senha deve conter uma letra minúscula (a-z)."},
    {"pt-br", kInsufficientDigit, u"A senha deve conter um dígito (0-9)."},
    {"pt-br", kInsufficientCharacteristics,
     u"A senha deve conter caracteres de pelo menos {required} destes {count} tipos: letras maiúsculas, letras "
     u"minúsculas, dígitos, outros caracteres; ela tem {satisfied}."},
    {"pt-br", kIllegalCharacter, u"A senha contém um caractere não permitido: \"{character}\"."},
    {"pt-br", kIllegalWhitespace, u"A senha não deve conter espaços."},
    {"pt-br", kIllegalUsername, u"A senha não deve conter o nome de usuário \"{username}\"."},
    {"pt-br", kIllegalWord, u"A senha é a palavra proibida \"{word}\"."},
    {"pt-br", kIllegalQwertySequence,
     u"A senha contém a sequência de teclado \"{sequence}\"; {minimum} ou mais teclas vizinhas não são permitidas."},
    {"pt-br", kIllegalAlphabeticalSequence,
     u"A senha contém a sequência alfabética \"{sequence}\"; {minimum} ou mais letras seguidas não são permitidas."},
    {"pt-br", kIllegalRepeatedDigits,
     u"A senha repete um dígito: \"{sequence}\"; {minimum} ou mais dígitos iguais seguidos não são permitidos."},
    {"pt-br", kIllegalRepeatedCharacters,
     u"A senha repete um caractere: \"{sequence}\"; {minimum} caracteres iguais seguidos não são permitidos."},
    {"pt-br", kIllegalMatch, u"A senha contém algo que o padrão {pattern} proíbe."},
    {"pt-br", kHistoryViolation, u"A senha é uma das últimas {count} senhas usadas."},
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
