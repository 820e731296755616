/*
 * klpassword.h: the stable C interface of libklpassword.
 *
 * One header, C99 and C++. Every name starts with klp_ (KLP_ for macros).
 *
 * Status convention. Every function but klp_version, klp_abi_version,
 * klp_status_message, klp_last_error, the _destroy functions and
 * klp_secret_free returns an int: KLP_OK (0) on success; a positive value for
 * an answer that is not an error (KLP_NO_MATCH, KLP_CHECK_FAILED,
 * KLP_NEEDS_REHASH, KLP_UNCHANGED); a negative klp_status on failure, when
 * klp_last_error() gives the detail. Nothing is thrown across this interface.
 *
 * Text. Every text in and out is UTF-8. Inputs are NUL-terminated and at most
 * KLP_MAX_TEXT_BYTES bytes long (KLP_ERROR_TOO_LONG beyond); bytes that are not
 * well-formed UTF-8 give KLP_ERROR_INVALID_UTF8, before anything is changed.
 * A NULL text pointer is KLP_ERROR_INVALID_ARGUMENT unless the function says
 * otherwise.
 *
 * Outputs. Texts that are not secrets are written into the caller's buffer:
 * `char* out, size_t* out_len`, *out_len holding the buffer's size on entry.
 * On success the text and its terminating NUL are written and *out_len is set
 * to the bytes written, NUL included. When out is NULL or the buffer is too
 * small, nothing is written, *out_len is set to the size needed (NUL
 * included) and KLP_ERROR_BUFFER_TOO_SMALL is returned. Secrets the library
 * makes (generated and derived passwords, unprotected data) are handed out as
 * a new string that the caller releases with klp_secret_free, which wipes it;
 * never with free(). Secrets written into a caller's buffer, which the caller
 * then wipes: a vault record's password (klp_vault_get_field), and a failure's
 * parameters and unredacted message, which may quote the checked password.
 *
 * Handles. Each opaque handle has an _init and a _destroy function (results
 * are made by the function that computes them, and have a _destroy). _destroy
 * accepts NULL and wipes what the handle held. A handle is used by one thread
 * at a time; different handles may be used on different threads at once. A
 * policy, a check result and a strength result only read once built, so
 * several threads may check passwords against one policy at once. The last
 * error is kept per thread.
 *
 * Calling convention: cdecl (KLP_CALL, spelled out on 32-bit Windows).
 *
 * ABI. KLP_ABI_VERSION is the date of the last incompatible change. A
 * deliberate incompatible change updates it and the recorded baseline
 * (capi/abi/klpassword.abi) in the same commit; additions keep it.
 */
#ifndef KLPASSWORD_H
#define KLPASSWORD_H

#include <stddef.h>
#include <stdint.h>

/* The date of the last incompatible change of this interface (see ABI above);
 * klp_abi_version() gives the library's own at run time. */
#define KLP_ABI_VERSION 20261209L

/* Marks the functions the library exports (a DLL's import on Windows). */
#if defined(_WIN32)
#if defined(KL_BUILDING_LIBRARY)
#define KLP_API __declspec(dllexport)
#else
#define KLP_API __declspec(dllimport)
#endif
#else
#define KLP_API __attribute__((visibility("default")))
#endif

/* The calling convention of every function: cdecl, spelled out on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define KLP_CALL __cdecl
#else
#define KLP_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The longest text input, in bytes of UTF-8 without the NUL: what a vault
 * field can hold. */
#define KLP_MAX_TEXT_BYTES 65535
/* A buffer this large always holds a password hash string, NUL included. */
#define KLP_HASH_MAX_BYTES 513
/* The longest password the generator makes or derives, in characters, and the
 * most words of a passphrase: larger requests (as arguments or as settings) are
 * refused with KLP_ERROR_INVALID_ARGUMENT, so that no request can exhaust memory. */
#define KLP_MAX_GENERATED_LENGTH 4096
#define KLP_MAX_PASSPHRASE_WORDS 1024

/* What every function but the few named above returns (see the status
 * convention above); klp_status_message gives each a fixed English text. */
typedef enum klp_status {
  KLP_OK = 0,
  KLP_NO_MATCH = 1,     /* the password does not match (verify) */
  KLP_CHECK_FAILED = 2, /* the password fails the policy */
  KLP_NEEDS_REHASH = 3, /* the hash is weaker than new hashes would be */
  KLP_UNCHANGED = 4,    /* nothing to do: the file is up to date */

  KLP_ERROR_INVALID_ARGUMENT = -1, /* NULL, out of range, or settings nothing can meet */
  KLP_ERROR_INVALID_UTF8 = -2,
  KLP_ERROR_TOO_LONG = -3, /* a text over KLP_MAX_TEXT_BYTES */
  KLP_ERROR_BUFFER_TOO_SMALL = -4,
  KLP_ERROR_WRONG_PASSWORD = -5, /* the master password of a file */
  KLP_ERROR_DAMAGED_FILE = -6,   /* damaged, modified, or not of the expected kind */
  KLP_ERROR_NOT_FOUND = -7,      /* unknown user or record */
  KLP_ERROR_EXISTS = -8,         /* the user already exists */
  KLP_ERROR_FILE = -9,           /* a file or the key store cannot be read or written */
  KLP_ERROR_FILE_CHANGED = -10,  /* another program saved the file since it was read; nothing written */
  KLP_ERROR_LEGACY_FORMAT = -11, /* a file of format 1 or 2: open it with KLP_OPEN_ALLOW_LEGACY */
  KLP_ERROR_INVALID_HASH = -12,  /* not an Argon2id hash string, or one above the cost bounds */
  KLP_ERROR_OUT_OF_MEMORY = -13,
  KLP_ERROR_LOCKED = -14, /* the account reached its limit of failed attempts (verify) */
  KLP_ERROR_BUSY = -15,   /* no Argon2id slot came free in time: try again later */
  KLP_ERROR_UNAVAILABLE = -16, /* the database server cannot be reached, or the connection went down */
  KLP_ERROR_PEPPER = -17,      /* the server key of a record is not loaded, or not the one it was made with */
  KLP_ERROR_INTERNAL = -99
} klp_status;

/* A stable English text for each status ("unknown status" otherwise). */
KLP_API const char* KLP_CALL klp_status_message(int status);
/* The detail of the last failure on this thread (empty before any); valid
 * until the thread's next call. Never holds a password. */
KLP_API const char* KLP_CALL klp_last_error(void);
/* "MAJOR.MINOR.PATCH" of the library. */
KLP_API const char* KLP_CALL klp_version(void);
/* KLP_ABI_VERSION of the library actually loaded. */
KLP_API long KLP_CALL klp_abi_version(void);

/* Wipes and releases a secret the library handed out; NULL is ignored. */
KLP_API void KLP_CALL klp_secret_free(char* secret);

/* ---- Policy ------------------------------------------------------------ */

/* A policy: built by one thread; once built, any number of threads may check
 * passwords against it at once (rules are not added meanwhile). */
typedef struct klp_policy klp_policy_t;
/* Results only read: shareable between threads, destroyed once. */
typedef struct klp_check_result klp_check_result_t;
typedef struct klp_strength klp_strength_t;

/* An empty policy (accepts every password), rules added below. */
KLP_API int KLP_CALL klp_policy_init(klp_policy_t** policy);
/* The policy after NIST SP 800-63B: 15 characters at least (8 with
 * KLP_NIST_MULTI_FACTOR), at most max_length (0 for 64; 64 or more), no
 * composition rules, the library's common passwords refused (unless
 * KLP_NIST_NO_COMMON_PASSWORDS) and the context words (the service's name, the
 * user name; context may be NULL when count is 0), and a minimum strength
 * score min_score (0 for none, up to 4). */
#define KLP_NIST_MULTI_FACTOR 1
#define KLP_NIST_NO_COMMON_PASSWORDS 2
KLP_API int KLP_CALL klp_policy_init_nist(klp_policy_t** policy, int flags, int32_t max_length, int32_t min_score,
                                          const char* const* context, size_t count);
KLP_API void KLP_CALL klp_policy_destroy(klp_policy_t* policy);

/* Rules with one number (ignored where none is named). */
typedef enum klp_rule {
  KLP_RULE_UPPERCASE = 1,             /* an ASCII upper-case letter */
  KLP_RULE_LOWERCASE = 2,             /* an ASCII lower-case letter */
  KLP_RULE_DIGIT = 3,                 /* an ASCII digit */
  KLP_RULE_NO_SPACE = 4,              /* no space U+0020 */
  KLP_RULE_MIN_LENGTH = 5,            /* at least value UTF-16 code units */
  KLP_RULE_CHARACTER_CLASSES = 6,     /* value of: upper, lower, digit, other */
  KLP_RULE_KEYBOARD_SEQUENCE = 7,     /* no value keys of one keyboard row, either way */
  KLP_RULE_QWERTY_SEQUENCE = 8,       /* the same, typed left to right only */
  KLP_RULE_ALPHABETICAL_SEQUENCE = 9, /* no value letters in alphabet order, either way */
  KLP_RULE_REPEATED_DIGITS = 10,      /* no digit repeated value times */
  KLP_RULE_REPEATED_CHARACTERS = 11,  /* no character repeated value times */
  KLP_RULE_COMMON_PASSWORDS = 12      /* not one of the library's common passwords */
} klp_rule;
KLP_API int KLP_CALL klp_policy_add_rule(klp_policy_t* policy, int rule, int32_t value);
/* from <= length <= to, in UTF-16 code units (KLP_RULE_MIN_LENGTH for no maximum). */
KLP_API int KLP_CALL klp_policy_add_length(klp_policy_t* policy, int32_t from, int32_t to);

/* Rules with a text. */
typedef enum klp_text_rule {
  KLP_TEXT_RULE_ALLOWED_CHARACTERS = 1, /* every character of the password among these */
  KLP_TEXT_RULE_USERNAME = 2,           /* the password does not hold this user name */
  KLP_TEXT_RULE_FORBIDDEN_PATTERN = 3,  /* a regular expression that must not match */
  KLP_TEXT_RULE_FORBIDDEN_WORD = 4,     /* the password is not exactly this word (one dictionary) */
  KLP_TEXT_RULE_BLOCKLIST_WORD = 5,     /* not this word in blocklist form (trimmed, lower case) */
  KLP_TEXT_RULE_BLOCKLIST_FILE = 6      /* a compiled blocklist file, or a list of one password a line */
} klp_text_rule;
KLP_API int KLP_CALL klp_policy_add_text_rule(klp_policy_t* policy, int rule, const char* text);
/* Refuses passwords the strength estimator scores below min_score (1 to 4);
 * the words count as the most likely guesses (words may be NULL for count 0). */
KLP_API int KLP_CALL klp_policy_add_min_strength(klp_policy_t* policy, int32_t min_score, const char* const* words,
                                                 size_t count);
/* The words the strength estimate of klp_policy_check counts as most likely
 * (the user name, the site); replaces earlier ones. */
KLP_API int KLP_CALL klp_policy_set_user_inputs(klp_policy_t* policy, const char* const* words, size_t count);
/* Refuses passwords built on the user's own attributes (TOO_SIMILAR, its
 * parameter "attribute" the name given): similar to a value or one of its
 * parts (0.7 when max_similarity is 0), or holding one. names[i] is what the
 * message calls values[i] ("user name" and "alice"). */
KLP_API int KLP_CALL klp_policy_add_user_attributes(klp_policy_t* policy, const char* const* names,
                                                    const char* const* values, size_t count, double max_similarity);
/* The number of rules. */
KLP_API int KLP_CALL klp_policy_rule_count(const klp_policy_t* policy, size_t* count);

/* Checks a password against every rule and estimates its strength. Returns
 * KLP_OK when every rule accepts it, KLP_CHECK_FAILED when one refuses it; in
 * both cases *result is a new result (NULL on error) to destroy. */
KLP_API int KLP_CALL klp_policy_check(const klp_policy_t* policy, const char* password, klp_check_result_t** result);
/* The same, the result's messages in lang ("de", "fr", "es-es", "it", "nl-be",
 * "pl", "pt-br"; English for "en" and any language without texts). */
KLP_API int KLP_CALL klp_policy_check_lang(const klp_policy_t* policy, const char* password, const char* lang,
                                           klp_check_result_t** result);
KLP_API void KLP_CALL klp_check_result_destroy(klp_check_result_t* result);
KLP_API int KLP_CALL klp_check_result_failure_count(const klp_check_result_t* result, size_t* count);
/* A failure's stable code ("TOO_SHORT") and its message, in English or in
 * the language klp_policy_check_lang was given; with
 * redact set, pieces of the password in the message show as "***". */
KLP_API int KLP_CALL klp_check_result_failure_code(const klp_check_result_t* result, size_t index, char* out,
                                                   size_t* out_len);
KLP_API int KLP_CALL klp_check_result_failure_message(const klp_check_result_t* result, size_t index, int redact,
                                                      char* out, size_t* out_len);
KLP_API int KLP_CALL klp_check_result_parameter_count(const klp_check_result_t* result, size_t index, size_t* count);
/* Parameter p of failure index: its name and value; *kind (may be NULL)
 * receives KLP_PARAMETER_NUMBER, _TEXT or _PASSWORD_TEXT (a piece of the
 * password: do not log it). */
#define KLP_PARAMETER_NUMBER 0
#define KLP_PARAMETER_TEXT 1
#define KLP_PARAMETER_PASSWORD_TEXT 2
KLP_API int KLP_CALL klp_check_result_parameter(const klp_check_result_t* result, size_t index, size_t p, int* kind,
                                                char* name, size_t* name_len, char* value, size_t* value_len);
/* The line `klpass check --json` prints for the password, without its line end
 * and without the password. */
KLP_API int KLP_CALL klp_check_result_json(const klp_check_result_t* result, char* out, size_t* out_len);
/* The strength estimate made by the check; *strength is a new handle. */
KLP_API int KLP_CALL klp_check_result_strength(const klp_check_result_t* result, klp_strength_t** strength);

/* Compiles a list file (one password a line, or one SHA-1 hash in hex a line
 * as breached-password services publish them) into the compact file that
 * KLP_TEXT_RULE_BLOCKLIST_FILE loads; the output is replaced atomically. */
#define KLP_BLOCKLIST_PASSWORDS 0
#define KLP_BLOCKLIST_SHA1_HASHES 1
#define KLP_BLOCKLIST_DETECT 2
KLP_API int KLP_CALL klp_blocklist_compile(const char* list_path, int format, const char* out_path);

/* ---- Strength ---------------------------------------------------------- */

/* Estimates the guesses an attacker needs; the words (may be NULL for count
 * 0) are the most likely guesses of all. */
KLP_API int KLP_CALL klp_strength_estimate(const char* password, const char* const* words, size_t count,
                                           klp_strength_t** strength);
KLP_API void KLP_CALL klp_strength_destroy(klp_strength_t* strength);
/* Score 0 to 4, guesses and their log10; any pointer may be NULL. */
KLP_API int KLP_CALL klp_strength_values(const klp_strength_t* strength, int32_t* score, double* guesses,
                                         double* guesses_log10);
typedef enum klp_attack {
  KLP_ATTACK_ONLINE_THROTTLING = 0,    /* 100 guesses an hour */
  KLP_ATTACK_ONLINE_NO_THROTTLING = 1, /* 10 a second */
  KLP_ATTACK_OFFLINE_SLOW_HASHING = 2, /* 10^4 a second */
  KLP_ATTACK_OFFLINE_FAST_HASHING = 3  /* 10^10 a second */
} klp_attack;
/* The time to crack in seconds and as English text ("3 hours"). seconds may
 * be NULL; out_len NULL skips the text. */
KLP_API int KLP_CALL klp_strength_crack_time(const klp_strength_t* strength, int attack, double* seconds, char* out,
                                             size_t* out_len);
/* The warning (empty when there is none) and the suggestions. */
KLP_API int KLP_CALL klp_strength_warning(const klp_strength_t* strength, char* out, size_t* out_len);
KLP_API int KLP_CALL klp_strength_suggestion_count(const klp_strength_t* strength, size_t* count);
KLP_API int KLP_CALL klp_strength_suggestion(const klp_strength_t* strength, size_t index, char* out, size_t* out_len);

/* ---- Strength models and languages ------------------------------------- */

/* The strength models: zxcvbn 4.4.2's (English words, the default) and
 * zxcvbn-ts 4.2.0's with its language packs (the common pack and English
 * always, the languages chosen besides). */
#define KLP_PROFILE_ZXCVBN 0
#define KLP_PROFILE_ZXCVBN_TS 1

/* The codes of the language packs of this build, comma-separated
 * ("en,de,fr,es-es,it,nl-be,pl,pt-br"); empty when it has none. */
KLP_API int KLP_CALL klp_strength_languages(char* out, size_t* out_len);

/* An estimator: a model, languages and user inputs, set by one thread; once
 * set, any number of threads may estimate with it at once. */
typedef struct klp_estimator klp_estimator_t;
KLP_API int KLP_CALL klp_estimator_init(klp_estimator_t** estimator);
KLP_API void KLP_CALL klp_estimator_destroy(klp_estimator_t* estimator);
/* KLP_PROFILE_ZXCVBN or _ZXCVBN_TS (KLP_ERROR_INVALID_ARGUMENT in a build
 * without language packs). */
KLP_API int KLP_CALL klp_estimator_set_profile(klp_estimator_t* estimator, int profile);
/* Codes of klp_strength_languages; the first names the language of the
 * texts (feedback, crack times in words), English when there is none. An
 * unknown code is KLP_ERROR_INVALID_ARGUMENT and keeps the languages held.
 * codes may be NULL for count 0. */
KLP_API int KLP_CALL klp_estimator_set_languages(klp_estimator_t* estimator, const char* const* codes, size_t count);
/* The words counted as the most likely guesses (user name, site). */
KLP_API int KLP_CALL klp_estimator_set_user_inputs(klp_estimator_t* estimator, const char* const* words,
                                                   size_t count);
KLP_API int KLP_CALL klp_estimator_estimate(const klp_estimator_t* estimator, const char* password,
                                            klp_strength_t** strength);
/* The estimate as the line of klp_check_result_json for a password no rule
 * refuses ("ok":true, no failures): every field in one call. */
KLP_API int KLP_CALL klp_estimator_estimate_json(const klp_estimator_t* estimator, const char* password, char* out,
                                                 size_t* out_len);

/* Every field of an estimate in one call, for bindings that read it without
 * parsing: values[0..5] the guesses, their log10 and the four crack times in
 * seconds (klp_attack order); *score 0 to 4; texts the NUL-terminated texts
 * one after another: profile ("zxcvbn", "zxcvbn-ts"), language, warning,
 * warning key, the four crack times in words, then each suggestion followed
 * by its key. *texts_len is the bytes of them all, as for a text output
 * (KLP_ERROR_BUFFER_TOO_SMALL, nothing written, when they do not fit). */
#define KLP_STRENGTH_VALUES 6
KLP_API int KLP_CALL klp_estimator_estimate_fields(const klp_estimator_t* estimator, const char* password,
                                                   double* values, int32_t* score, char* texts, size_t* texts_len);

/* The stable keys of the warning (empty with it) and of suggestion index,
 * which an application may show in its own words, and the language of the
 * texts ("de"). */
KLP_API int KLP_CALL klp_strength_warning_key(const klp_strength_t* strength, char* out, size_t* out_len);
KLP_API int KLP_CALL klp_strength_suggestion_key(const klp_strength_t* strength, size_t index, char* out,
                                                 size_t* out_len);
KLP_API int KLP_CALL klp_strength_language(const klp_strength_t* strength, char* out, size_t* out_len);
/* The estimate as klp_estimator_estimate_json gives it. */
KLP_API int KLP_CALL klp_strength_json(const klp_strength_t* strength, char* out, size_t* out_len);

/* The strength model and languages of a policy: of the estimate each check
 * makes and of its minimum-strength rules, those already added and those to
 * come. Failure messages (klp_check_result_failure_text, the JSON) are then
 * in the first language where the library has its texts. */
KLP_API int KLP_CALL klp_policy_set_strength_model(klp_policy_t* policy, int profile, const char* const* languages,
                                                   size_t count);
/* klp_policy_check and klp_check_result_json in one call: KLP_OK or
 * KLP_CHECK_FAILED with the line in out. A buffer too small gives
 * KLP_ERROR_BUFFER_TOO_SMALL and the size needed, as every text output. */
KLP_API int KLP_CALL klp_policy_check_json(const klp_policy_t* policy, const char* password, char* out,
                                           size_t* out_len);
/* klp_policy_check in one call, for bindings, as klp_estimator_estimate_fields:
 * KLP_OK or KLP_CHECK_FAILED; values as there; counts[0] the score,
 * counts[1] the suggestions, counts[2] the failures; texts first the line of
 * klp_check_result_json, then the estimate's texts, then for each failure its
 * code, its message (masked), the number of its parameters in decimal and for
 * each its name, its kind ("0" a number, "1" a text) and its value. The
 * pieces of the password are left out, as in the JSON. */
KLP_API int KLP_CALL klp_policy_check_fields(const klp_policy_t* policy, const char* password, double* values,
                                             int32_t* counts, char* texts, size_t* texts_len);
/* The same, the failures' messages in lang (as klp_policy_check_lang; NULL
 * for the language of the policy's strength model). */
KLP_API int KLP_CALL klp_policy_check_fields_lang(const klp_policy_t* policy, const char* password, const char* lang,
                                                  double* values, int32_t* counts, char* texts, size_t* texts_len);
/* klp_policy_check_fields_lang without the line of klp_check_result_json:
 * texts start with the estimate's texts, and the line is never formed (for a
 * binding that forms it from the fields when it is asked for). */
KLP_API int KLP_CALL klp_policy_check_fields_nojson(const klp_policy_t* policy, const char* password, const char* lang,
                                                    double* values, int32_t* counts, char* texts, size_t* texts_len);
/* A failure's message in the language of the check (see above), pieces of
 * the password shown as "***" with redact set. */
KLP_API int KLP_CALL klp_check_result_failure_text(const klp_check_result_t* result, size_t index, int redact,
                                                   char* out, size_t* out_len);

/* ---- Generator --------------------------------------------------------- */

/* One thread at a time (it draws random numbers and caches its alphabet). */
typedef struct klp_generator klp_generator_t;

/* A generator with the library's defaults (below); _destroy wipes it. */
KLP_API int KLP_CALL klp_generator_init(klp_generator_t** generator);
KLP_API void KLP_CALL klp_generator_destroy(klp_generator_t* generator);

/* The generator's number settings, for klp_generator_set_option and _get_option
 * (a setting out of its range is KLP_ERROR_INVALID_ARGUMENT). */
typedef enum klp_generator_option {
  KLP_GEN_USE_UPPERCASE = 1,    /* 0/1, default 1 */
  KLP_GEN_USE_LOWERCASE = 2,    /* 0/1, default 1 */
  KLP_GEN_USE_DIGITS = 3,       /* 0/1, default 1 */
  KLP_GEN_USE_SYMBOLS = 4,      /* 0/1, default 1 */
  KLP_GEN_USE_SPACE = 5,        /* 0/1, default 0 */
  KLP_GEN_USE_CUSTOM = 6,       /* 0/1, default 0: the custom characters */
  KLP_GEN_REQUIRE_EACH_SET = 7, /* 0/1: a character of every enabled set */
  KLP_GEN_MIN_UPPERCASE = 8,    /* at least so many; 0 to 64 */
  KLP_GEN_MIN_LOWERCASE = 9,
  KLP_GEN_MIN_DIGITS = 10,
  KLP_GEN_MIN_SYMBOLS = 11,
  KLP_GEN_EXCLUDE_LOOKALIKES = 12, /* 0/1: leave out 0 O o 1 I l | ` ' " (or the set given) */
  KLP_GEN_DEFAULT_LENGTH = 13,     /* default 16 */
  KLP_GEN_ITERATIONS = 14,         /* derived passwords' PBKDF2 iterations, default 500 */
  KLP_GEN_PASSPHRASE_WORDS = 15,   /* default 6 */
  KLP_GEN_CAPITALIZE_WORDS = 16,   /* 0/1 */
  KLP_GEN_PASSPHRASE_EXTRA = 17    /* 0 none, 1 a digit, 2 a symbol */
} klp_generator_option;
KLP_API int KLP_CALL klp_generator_set_option(klp_generator_t* generator, int option, int32_t value);
KLP_API int KLP_CALL klp_generator_get_option(const klp_generator_t* generator, int option, int32_t* value);

/* The generator's text settings, for klp_generator_set_text (UTF-8). */
typedef enum klp_generator_text {
  KLP_GEN_CUSTOM_CHARACTERS = 1,  /* a character outside the BMP counts as one */
  KLP_GEN_EXCLUDE_CHARACTERS = 2, /* left out of every alphabet */
  KLP_GEN_LOOKALIKE_CHARACTERS = 3,
  KLP_GEN_PASSPHRASE_SEPARATOR = 4 /* default "-" */
} klp_generator_text;
KLP_API int KLP_CALL klp_generator_set_text(klp_generator_t* generator, int which, const char* text);
/* The passphrase words from a file, one word a line (UTF-8). */
KLP_API int KLP_CALL klp_generator_load_word_list(klp_generator_t* generator, const char* path);

/* A random password of min_length to max_length characters (both inclusive;
 * both 0 for the default length), uniform over every password that meets the
 * settings. *password is a new secret for klp_secret_free. */
KLP_API int KLP_CALL klp_generator_generate(klp_generator_t* generator, int32_t min_length, int32_t max_length,
                                            char** password);
/* A passphrase of words words (0 for the setting). */
KLP_API int KLP_CALL klp_generator_passphrase(klp_generator_t* generator, int32_t words, char** passphrase);
/* The bits of entropy of klp_generator_generate / _passphrase with these arguments. */
KLP_API int KLP_CALL klp_generator_entropy(const klp_generator_t* generator, int32_t min_length, int32_t max_length,
                                           double* bits);
KLP_API int KLP_CALL klp_generator_passphrase_entropy(const klp_generator_t* generator, int32_t words, double* bits);
/* The password derived from a master key and a site address (PBKDF2-HMAC-
 * SHA-256, the generator's alphabet and iterations), alike on every machine;
 * length 0 for the default length. */
KLP_API int KLP_CALL klp_generator_derive(const klp_generator_t* generator, const char* master_key, const char* site,
                                          int32_t length, char** password);

/* ---- Password hashes (Argon2id) ---------------------------------------- */

/* memory_kib and passes 0 for the defaults (65536 KiB, 2 passes). The hash
 * string goes into out (KLP_HASH_MAX_BYTES always suffices). */
KLP_API int KLP_CALL klp_hash_password(const char* password, uint32_t memory_kib, uint32_t passes, char* out,
                                       size_t* out_len);
/* KLP_OK when the password matches, KLP_NO_MATCH when not,
 * KLP_ERROR_INVALID_HASH for a string that is no Argon2id hash or asks for
 * more than 1 GiB or 16 passes. */
KLP_API int KLP_CALL klp_verify_password(const char* hash, const char* password);
/* KLP_NEEDS_REHASH when the hash is weaker than a new one with these
 * parameters (0 for the defaults) or malformed; KLP_OK otherwise. */
KLP_API int KLP_CALL klp_needs_rehash(const char* hash, uint32_t memory_kib, uint32_t passes);

/* ---- Files: what an encrypted file's header says, without its password -- */

/* version 1 to 3; encrypted and authenticated 0/1; for version 3 the
 * Argon2id memory (KiB) and passes of its master key. Any pointer may be NULL. */
KLP_API int KLP_CALL klp_file_info(const char* path, int* version, int* encrypted, int* authenticated,
                                   uint32_t* memory_kib, uint32_t* passes);

/* Flags of the open functions. */
#define KLP_OPEN_ALLOW_LEGACY 1 /* open a file of format 1 or 2 (to upgrade it) */

/* ---- User databases ---------------------------------------------------- */

/* One thread at a time, verification included (a match may rewrite a hash). */
typedef struct klp_users klp_users_t;

#define KLP_USERS_TEXT 0      /* one line a user, a text file */
#define KLP_USERS_ENCRYPTED 1 /* an encrypted storage file */
/* master_password: that of an encrypted database (NULL for a text one). The
 * handle saves only when asked (klp_users_save) and refuses to save over a
 * file another program changed since it was read. */
KLP_API int KLP_CALL klp_users_init(klp_users_t** users, int kind, const char* master_password);
KLP_API void KLP_CALL klp_users_destroy(klp_users_t* users);
/* Argon2id cost of new user hashes (0 for defaults) and, for an encrypted
 * file, of its master key (0 for defaults: 65536 KiB, 3 passes). */
KLP_API int KLP_CALL klp_users_set_hash_cost(klp_users_t* users, uint32_t memory_kib, uint32_t passes);
KLP_API int KLP_CALL klp_users_set_file_cost(klp_users_t* users, uint32_t memory_kib, uint32_t passes);
/* A new empty database at path, written at once. */
KLP_API int KLP_CALL klp_users_create(klp_users_t* users, const char* path);
KLP_API int KLP_CALL klp_users_open(klp_users_t* users, const char* path, int flags);
KLP_API int KLP_CALL klp_users_save(klp_users_t* users);
/* Adds a user (KLP_ERROR_EXISTS if present); *uid (may be NULL) gets its id. */
KLP_API int KLP_CALL klp_users_add(klp_users_t* users, const char* name, const char* password, int32_t* uid);
/* A new password for an existing user (KLP_ERROR_NOT_FOUND otherwise). */
KLP_API int KLP_CALL klp_users_change(klp_users_t* users, const char* name, const char* password);
KLP_API int KLP_CALL klp_users_delete(klp_users_t* users, const char* name);
/* KLP_OK or KLP_NO_MATCH; KLP_ERROR_NOT_FOUND for an unknown user. A match
 * may replace an old or weak hash, and a mismatch counts a failed attempt:
 * save afterwards (klp_users_modified). After the database's limit of
 * consecutive failures (100 unless the file says otherwise) every attempt is
 * KLP_ERROR_LOCKED until a host unlocks the account (klpass users unlock). */
KLP_API int KLP_CALL klp_users_verify(klp_users_t* users, const char* name, const char* password);
KLP_API int KLP_CALL klp_users_count(const klp_users_t* users, size_t* count);
/* The user at index (0 to count - 1) in file order: name and id. */
KLP_API int KLP_CALL klp_users_get(const klp_users_t* users, size_t index, int32_t* uid, char* name, size_t* name_len);
/* Wraps every old SHA-256 hash in Argon2id and saves; an encrypted file of a
 * legacy format (opened with KLP_OPEN_ALLOW_LEGACY) is saved as format 3.
 * *wrapped (may be NULL) gets the number of hashes wrapped. KLP_UNCHANGED when
 * nothing needed doing (nothing written). */
KLP_API int KLP_CALL klp_users_upgrade(klp_users_t* users, int32_t* wrapped);
/* 1 when there are changes not yet saved. */
KLP_API int KLP_CALL klp_users_modified(const klp_users_t* users, int* modified);

/* Opens the user database a URI names: "sqlite:PATH", "postgresql://..." or
 * "postgres://..." (any libpq connection string; prefer PGPASSFILE or
 * PGPASSWORD to a password in it), or a path of a text database. With
 * KLP_USERS_CREATE a new empty one is made there instead
 * (KLP_ERROR_EXISTS when one is there). The SQL databases store every change
 * when its call returns (klp_users_save has nothing to do) and may be shared
 * by processes; an unreachable server is KLP_ERROR_UNAVAILABLE. */
#define KLP_USERS_CREATE 0x100
KLP_API int KLP_CALL klp_users_open_uri(klp_users_t** users, const char* uri, int flags);
/* The server keys (pepper) applied to new hashes: lines "ID HEX" (ID of
 * letters, digits, '-' and '_', HEX a key of 16 to 64 bytes; '#' lines
 * ignored), the first key the current one. NULL removes them. A record made under a key not loaded
 * is KLP_ERROR_PEPPER at verification. The text is a secret: wipe it. */
KLP_API int KLP_CALL klp_users_set_pepper(klp_users_t* users, const char* keys);
KLP_API int KLP_CALL klp_users_set_pepper_file(klp_users_t* users, const char* path);
/* The limit of consecutive failed attempts after which an account is locked
 * (stored in the database; 0 never locks) and an account's count. */
KLP_API int KLP_CALL klp_users_set_max_failures(klp_users_t* users, int32_t limit);
KLP_API int KLP_CALL klp_users_get_max_failures(const klp_users_t* users, int32_t* limit);
KLP_API int KLP_CALL klp_users_failure_count(const klp_users_t* users, const char* name, int32_t* count);
/* Sets an account's count of failures back to zero (KLP_ERROR_NOT_FOUND for
 * an unknown user). */
KLP_API int KLP_CALL klp_users_unlock(klp_users_t* users, const char* name);

/* The process-wide bound on Argon2id computations running at once (0 for
 * the number of cores) and how long a caller waits for a free one, in
 * milliseconds, before KLP_ERROR_BUSY. */
KLP_API int KLP_CALL klp_set_hash_concurrency(uint32_t max_running, uint32_t wait_ms);
KLP_API int KLP_CALL klp_get_hash_concurrency(uint32_t* max_running, uint32_t* wait_ms);

/* ---- Vaults ------------------------------------------------------------ */

/* One thread at a time, reading included (a read stamps the record's access time). */
typedef struct klp_vault klp_vault_t;

/* The fields of a vault record, for klp_vault_get_field, _set_field and _search. */
typedef enum klp_field {
  KLP_FIELD_TITLE = 0,
  KLP_FIELD_USERNAME = 1,
  KLP_FIELD_PASSWORD = 2,
  KLP_FIELD_URL = 3,
  KLP_FIELD_NOTE = 4,
  KLP_FIELD_GROUP = 5 /* a group path, "Work/Dev" (see klp_vault_group_count); not empty */
} klp_field;

/* How klp_vault_search compares a field with the text it is given. */
typedef enum klp_match { KLP_MATCH_CONTAINS = 0, KLP_MATCH_EQUALS = 1, KLP_MATCH_NOT_EQUALS = 2 } klp_match;

/* The layouts of klp_vault_import and klp_vault_export. */
typedef enum klp_format {
  KLP_FORMAT_AUTO = 0, /* import: recognised from the content; export: JSON */
  KLP_FORMAT_CSV = 1,  /* the library's own CSV: every field */
  KLP_FORMAT_KEEPASSXC_CSV = 2,
  KLP_FORMAT_BITWARDEN_CSV = 3,
  KLP_FORMAT_BROWSER_CSV = 4,
  KLP_FORMAT_JSON = 5, /* the library's own JSON: every field */
  KLP_FORMAT_BITWARDEN_JSON = 6
} klp_format;

/* An empty vault, not tied to a file yet. */
KLP_API int KLP_CALL klp_vault_init(klp_vault_t** vault);
KLP_API void KLP_CALL klp_vault_destroy(klp_vault_t* vault);
/* Ties the vault to path and master password and saves it (an existing file
 * is replaced). */
KLP_API int KLP_CALL klp_vault_create(klp_vault_t* vault, const char* path, const char* master_password);
/* Loads the records of path (after those held; nothing on failure). */
KLP_API int KLP_CALL klp_vault_open(klp_vault_t* vault, const char* path, const char* master_password, int flags);
/* Saves to the file of the last create or open, atomically, refusing
 * (KLP_ERROR_FILE_CHANGED) a file another program saved meanwhile. */
KLP_API int KLP_CALL klp_vault_save(klp_vault_t* vault);
/* The master password of the next saves (a new key is derived). */
KLP_API int KLP_CALL klp_vault_set_master_password(klp_vault_t* vault, const char* master_password);
/* Argon2id cost of the master key of the next saves (0 for defaults). */
KLP_API int KLP_CALL klp_vault_set_file_cost(klp_vault_t* vault, uint32_t memory_kib, uint32_t passes);
/* The largest key-derivation cost a KDBX file opened by klp_vault_open may
 * ask for, in mebibyte-passes (Argon2 memory in MiB times passes; AES-KDF
 * 25,000 rounds a unit; KeePassXC's one-second default costs about 1,000).
 * A costlier file is refused (KLP_ERROR_DAMAGED_FILE, the message naming its
 * cost) before anything is derived: its header, which anyone who can write
 * the file controls, could ask for days of work. 0 restores the default
 * (16,384); UINT64_MAX accepts every cost the format allows. */
KLP_API int KLP_CALL klp_vault_set_kdbx_cost_limit(klp_vault_t* vault, uint64_t limit);
/* Opens path (a legacy format allowed) and saves it as format 3 with the
 * given cost (0 for defaults, or the file's own for a format-3 file).
 * KLP_UNCHANGED when it is format 3 already and no cost is given. */
KLP_API int KLP_CALL klp_vault_upgrade(const char* path, const char* master_password, uint32_t memory_kib,
                                       uint32_t passes);

/* The number of records. */
KLP_API int KLP_CALL klp_vault_count(const klp_vault_t* vault, size_t* count);
/* Adds a record; any text but group may be NULL for empty, group NULL is
 * "General". *index (may be NULL) gets its place. */
KLP_API int KLP_CALL klp_vault_add(klp_vault_t* vault, const char* title, const char* username, const char* password,
                                   const char* url, const char* note, const char* group, size_t* index);
/* A field of the record at index. KLP_FIELD_PASSWORD writes the password
 * into the caller's buffer: the caller wipes it. */
KLP_API int KLP_CALL klp_vault_get_field(klp_vault_t* vault, size_t index, int field, char* out, size_t* out_len);
KLP_API int KLP_CALL klp_vault_set_field(klp_vault_t* vault, size_t index, int field, const char* value);
/* Seconds since 1970 (local wall clock); 0 for never. Any pointer may be NULL. */
KLP_API int KLP_CALL klp_vault_get_dates(const klp_vault_t* vault, size_t index, int64_t* created, int64_t* modified,
                                         int64_t* accessed);
/* Removes the record at index; those after it move up one place. */
KLP_API int KLP_CALL klp_vault_delete(klp_vault_t* vault, size_t index);
/* Deletes as a password manager does: moves the record at index to the
 * recycle bin (its place stays; *recycled, if not NULL, gets 1), or, when it
 * is in the bin already, the bin is off or permanently is not 0, removes it
 * (those after it move up one place; *recycled gets 0) and records its UUID
 * and the time among the vault's deleted objects, saved with it. */
KLP_API int KLP_CALL klp_vault_delete_record(klp_vault_t* vault, size_t index, int permanently, int* recycled);
/* The number of deleted objects the vault records. */
KLP_API int KLP_CALL klp_vault_deleted_count(const klp_vault_t* vault, size_t* count);
/* The groups the vault lists, parents before their subgroups, empty groups
 * too: each a path of names joined by '/' ("Work/Dev"; \/ is a '/' within a
 * name, \\ a '\' that ends a name), "" the root. A group's text
 * (KLP_GROUP_PATH, _NOTES, or _UUID as 32 hex digits) is written as
 * klp_vault_get_field writes a field; its times as klp_vault_get_dates gives
 * a record's, expires 0 for a group that never expires. */
typedef enum klp_group_text { KLP_GROUP_PATH = 0, KLP_GROUP_NOTES = 1, KLP_GROUP_UUID = 2 } klp_group_text;
/* klp_vault_group_count first lists every group a record names (as a save
 * does), so that the list holds them all. */
KLP_API int KLP_CALL klp_vault_group_count(klp_vault_t* vault, size_t* count);
KLP_API int KLP_CALL klp_vault_group_get_text(const klp_vault_t* vault, size_t index, int text, char* out,
                                              size_t* out_len);
KLP_API int KLP_CALL klp_vault_group_get_dates(const klp_vault_t* vault, size_t index, int64_t* created,
                                               int64_t* modified, int64_t* expires);
/* Lists the group at path with notes (NULL: none), its parents too where
 * missing, or gives the group listed there these notes; either way its
 * modification time is now. A path with an empty
 * name ("a//b") is KLP_ERROR_INVALID_ARGUMENT, and nothing changes. */
KLP_API int KLP_CALL klp_vault_put_group(klp_vault_t* vault, const char* path, const char* notes);
/* Moves the group listed at from, its subgroups and their records to to,
 * every UUID kept (to's missing parents are listed). The root, a from not
 * listed, a to listed already or within from is KLP_ERROR_INVALID_ARGUMENT,
 * and nothing changes. */
KLP_API int KLP_CALL klp_vault_move_group(klp_vault_t* vault, const char* from, const char* to);
/* The record's earlier versions, 0 the oldest: one kept before each edit
 * (10 at most, 6 MiB of one record's versions). A version's field is read as
 * klp_vault_get_field reads the record's (KLP_FIELD_PASSWORD: the caller
 * wipes the buffer); restoring one makes it the record's content again and
 * keeps the present content as the newest version. A version beyond the
 * history is KLP_ERROR_INVALID_ARGUMENT. */
KLP_API int KLP_CALL klp_vault_history_count(const klp_vault_t* vault, size_t index, size_t* count);
KLP_API int KLP_CALL klp_vault_history_get_field(klp_vault_t* vault, size_t index, size_t version, int field,
                                                 char* out, size_t* out_len);
KLP_API int KLP_CALL klp_vault_history_restore(klp_vault_t* vault, size_t index, size_t version);
/* Merges the records of source (another copy of the vault, opened by its own
 * handle, which is not changed) into vault: matched by UUID, the later
 * change wins and the other version joins the history, the later move and
 * the later deletion win, records of source alone are added. The counts
 * (any pointer may be NULL) say what was added, updated, moved, deleted and
 * kept. Save vault afterwards to keep the result. */
KLP_API int KLP_CALL klp_vault_merge(klp_vault_t* vault, const klp_vault_t* source, size_t* added, size_t* updated,
                                     size_t* moved, size_t* deleted, size_t* kept);
/* The places of matching records, in order: *count holds the capacity of
 * indexes on entry and the number of matches on return; too small gives
 * KLP_ERROR_BUFFER_TOO_SMALL with the number needed. group NULL lists all. */
KLP_API int KLP_CALL klp_vault_list(klp_vault_t* vault, const char* group, size_t* indexes, size_t* count);
KLP_API int KLP_CALL klp_vault_search(klp_vault_t* vault, int field, int match, const char* value, size_t* indexes,
                                      size_t* count);
/* The places of the records that a query matches, as klp_vault_list gives
 * them. The query is the search language of docs/guide/vault.md: terms
 * ANDed, "-" negates, prefixes title: user: url: notes: tag: field:, quoted
 * phrases; a bare term reads title, user name, URL, notes, tags and custom
 * fields (never the password nor a protected value). Texts compare under
 * Unicode simple case folding unless KLP_SEARCH_CASE_SENSITIVE. An empty
 * query matches every record; a malformed one is KLP_ERROR_INVALID_ARGUMENT
 * (klp_last_error says what and where). */
#define KLP_SEARCH_CASE_SENSITIVE 1
KLP_API int KLP_CALL klp_vault_search_query(klp_vault_t* vault, const char* query, int flags, size_t* indexes,
                                            size_t* count);
/* Records from another manager's export (all or, on any fault, none); group
 * (may be NULL) puts them all in one group. *added may be NULL. */
KLP_API int KLP_CALL klp_vault_import(klp_vault_t* vault, const char* path, int format, const char* group,
                                      int32_t* added);
/* Every record, in clear, to a file readable by its owner only. */
#define KLP_EXPORT_SPREADSHEET_SAFE 1
KLP_API int KLP_CALL klp_vault_export(klp_vault_t* vault, const char* path, int format, int flags);

/* ---- KDBX files --------------------------------------------------------- */

/* klp_vault_open tells a KDBX file (3.1, 4.0, 4.1) by its signature, and
 * such a vault saves as KDBX 4 with the file's settings. */
#define KLP_VAULT_FORMAT_NATIVE 0
#define KLP_VAULT_FORMAT_KDBX 1
/* The key file of the composite key of the next open and saves (any form
 * KeePass accepts), read now; NULL for none. An open with an empty master
 * password then uses the key file alone. */
KLP_API int KLP_CALL klp_vault_set_key_file(klp_vault_t* vault, const char* path);
/* The format of the next saves (KDBX after a KDBX file was opened). */
KLP_API int KLP_CALL klp_vault_get_save_format(const klp_vault_t* vault, int* format);
KLP_API int KLP_CALL klp_vault_set_save_format(klp_vault_t* vault, int format);
/* The key derivation and cipher of KDBX saves (the file's after a KDBX
 * open): kdf KLP_KDBX_*, cipher KLP_KDBX_CIPHER_*, iterations (Argon2 passes
 * or AES-KDF rounds), memory_bytes and parallelism (Argon2 only). Settings a
 * load would refuse are KLP_ERROR_INVALID_ARGUMENT. Get pointers may be NULL. */
#define KLP_KDBX_AES_KDF 0
#define KLP_KDBX_ARGON2D 1
#define KLP_KDBX_ARGON2ID 2
#define KLP_KDBX_CIPHER_AES256 0
#define KLP_KDBX_CIPHER_CHACHA20 1
KLP_API int KLP_CALL klp_vault_get_kdbx_settings(const klp_vault_t* vault, int* kdf, int* cipher,
                                                 uint64_t* iterations, uint64_t* memory_bytes, uint32_t* parallelism);
KLP_API int KLP_CALL klp_vault_set_kdbx_settings(klp_vault_t* vault, int kdf, int cipher, uint64_t iterations,
                                                 uint64_t memory_bytes, uint32_t parallelism);
/* The version of the KDBX file last opened (0x00030001, 0x00040000,
 * 0x00040001); 0 when it was none. */
KLP_API int KLP_CALL klp_vault_kdbx_version(const klp_vault_t* vault, uint32_t* version);

/* ---- Protection: a password bound to this user or this machine ---------- */

/* The scope of a protected password: this user, or any user of this machine. */
#define KLP_PROTECT_USER 0
#define KLP_PROTECT_MACHINE 1
/* The protected form of password into out (bytes, not text: *out_len is
 * the exact size, no NUL). */
KLP_API int KLP_CALL klp_protect(const char* password, int scope, uint8_t* out, size_t* out_len);
/* The password back; *password is a new secret for klp_secret_free. */
KLP_API int KLP_CALL klp_unprotect(const uint8_t* data, size_t size, char** password);
/* The same with a file, replaced atomically and readable by its owner only. */
KLP_API int KLP_CALL klp_protect_file(const char* path, const char* password, int scope);
KLP_API int KLP_CALL klp_unprotect_file(const char* path, char** password);

#ifdef __cplusplus
}
#endif

#endif /* KLPASSWORD_H */
