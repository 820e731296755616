// KLPasswordSDK in the browser: types of the ES module klpassword.js.

export interface CheckOptions {
  /** 'classic' (the twelve rules of klpass check) or 'nist' (NIST SP 800-63B); default 'classic'. */
  policy?: 'classic' | 'nist';
  /** The account's user name: the classic policy refuses it, both count it as a likely word. */
  user?: string;
  /** Words of the context (site name, e-mail): refused by the policy and counted by the estimate. */
  userInputs?: string[];
  /** NIST policy only: the password is one of several factors (8 characters at least instead of 15). */
  multiFactor?: boolean;
  /** 0 (none) to 4: refuse passwords the estimate scores lower. */
  minScore?: number;
  /**
   * The estimate's language ('de'), or several (['de', 'fr']: the first names the texts), as klpass's --lang:
   * its pack's words count, its texts are used. Load it first (loadLanguage). Chooses the zxcvbn-ts profile.
   */
  language?: Language | Language[];
  /** 'zxcvbn' (4.4.2, English; the default without a language) or 'zxcvbn-ts' (4.2.0, with its language packs). */
  profile?: 'zxcvbn' | 'zxcvbn-ts';
}

/** The languages of the estimator's packs. */
export type Language = 'en' | 'de' | 'fr' | 'es-es' | 'it' | 'nl-be' | 'pl' | 'pt-br';

export interface CrackTimesSeconds {
  online_throttling_100_per_hour: number;
  online_no_throttling_10_per_second: number;
  offline_slow_hashing_1e4_per_second: number;
  offline_fast_hashing_1e10_per_second: number;
}

export interface RuleFailure {
  /** A stable code, such as TOO_SHORT or IN_BLOCKLIST. */
  code: string;
  /** English text; pieces of the password are masked. */
  message: string;
  /** The failure's parameters by name (numbers or text); never the password. */
  parameters: Record<string, number | string>;
}

/** The verdict, key for key the JSON of `klpass check --json`. */
export interface CheckResult {
  ok: boolean;
  score: 0 | 1 | 2 | 3 | 4;
  guesses_log10: number;
  guesses: number;
  crack_times_seconds: CrackTimesSeconds;
  /** The same times in words ("2 minutes", "centuries"), in `language`. */
  crack_times_display: Record<keyof CrackTimesSeconds, string>;
  /** Texts in `language`, and stable keys ("topTen", "anotherWord") to show in one's own words. */
  feedback: { warning: string; warning_key: string; suggestions: string[]; suggestion_keys: string[] };
  profile: 'zxcvbn' | 'zxcvbn-ts';
  language: string;
  failures: RuleFailure[];
}

export interface AlphabetOptions {
  /** Each set is on unless set to false; space is off unless true. */
  upper?: boolean;
  lower?: boolean;
  digits?: boolean;
  symbols?: boolean;
  space?: boolean;
  /** Further characters of one's own. */
  custom?: string;
  /** Leave out characters easily taken for one another (0 O o 1 I l | ` ' "). */
  noLookAlike?: boolean;
  /** Characters never used. */
  exclude?: string;
}

export interface GenerateOptions extends AlphabetOptions {
  /** Characters in each password (default 16), or [min, max] drawn evenly; 1 to 4096. */
  length?: number | [number, number];
  /** How many passwords (default 1, at most 10,000). */
  count?: number;
  /** At least one character of every enabled set. */
  each?: boolean;
  minUpper?: number;
  minLower?: number;
  minDigits?: number;
  minSymbols?: number;
}

export interface PassphraseOptions extends AlphabetOptions {
  /** Words in each passphrase (default 6, at most 100). */
  words?: number;
  /** Between the words (default '-'). */
  separator?: string;
  /** Each word starts in upper case. */
  capitalize?: boolean;
  /** One digit or symbol at a random word's edge. */
  insert?: 'none' | 'digit' | 'symbol';
  /** Words of one's own instead of the EFF long word list. */
  wordList?: string[];
  count?: number;
}

/**
 * Judges a password. Throws Error for options the policy refuses or a language not loaded yet, TypeError for
 * arguments of the wrong type or an option it does not know, RangeError for an unknown policy or language.
 */
export function check(password: string, options?: CheckOptions): CheckResult;
/** Random passwords, drawn with crypto.getRandomValues. Throws Error for settings that cannot be met, TypeError for an unknown option. */
export function generate(options?: GenerateOptions): string[];
/** Random passphrases. */
export function passphrase(options?: PassphraseOptions): string[];
/** The languages this build has, loaded or not. */
export function languages(): Language[];
/**
 * Fetches (under Node: reads from disk) the packs an estimate in the language needs, each once: the common pack,
 * English and the language's own (packs/<code>.klpack beside the module). Rejects when a file cannot be had.
 */
export function loadLanguage(language: Language | Language[]): Promise<void>;
/** Whether check may name the language without loading it first. */
export function isLanguageLoaded(language: Language | Language[]): boolean;
