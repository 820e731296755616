/* The C interface seen from a C99 program: every function, its answers, and
 * hostile input (invalid UTF-8, over-long text, small buffers, NULL).
 *
 * Usage: capi_test WORK_FOLDER DATA_FOLDER. WORK_FOLDER is an existing empty
 * scratch folder, DATA_FOLDER the tests' data (legacy files). Prints
 * "N passed, N failed" and exits 1 when anything failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capi/klpassword.h"

static int passed;
static int failed;
static const char* work;
static const char* data;

static void check(int ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "capi_test.c:%d: failed: %s (last error: %s)\n", line, what, klp_last_error());
  }
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)
static void check_status(int actual, int expected, const char* what, int line) {
  if (actual != expected) fprintf(stderr, "capi_test.c:%d: status %d (%s)\n", line, actual, klp_status_message(actual));
  check(actual == expected, what, line);
}
#define CHECK_STATUS(expr, expected) check_status((expr), (expected), #expr " == " #expected, __LINE__)

static const char* path(const char* name) {
  static char buffers[4][512];
  static int next;
  char* buffer = buffers[next++ % 4];
  sprintf(buffer, "%s/%s", work, name);
  return buffer;
}

static void write_file(const char* file, const char* text) {
  FILE* f = fopen(file, "wb");
  if (!f) {
    CHECK(!"cannot write a scratch file");
    return;
  }
  fputs(text, f);
  fclose(f);
}

static void copy_data(const char* name, const char* to) {
  char from[512];
  char bytes[4096];
  size_t n;
  FILE* in;
  FILE* out;
  sprintf(from, "%s/%s", data, name);
  in = fopen(from, "rb");
  out = fopen(to, "wb");
  if (in && out) {
    while ((n = fread(bytes, 1, sizeof bytes, in)) > 0) fwrite(bytes, 1, n, out);
  } else {
    CHECK(!"cannot copy a data file");
  }
  if (in) fclose(in);
  if (out) fclose(out);
}

static int count_of(const char* text, const char* set) {
  int n = 0;
  for (; *text; ++text) n += strchr(set, *text) != NULL;
  return n;
}

static void test_status_version_and_errors(void) {
  static const int statuses[] = {KLP_OK,
                                 KLP_NO_MATCH,
                                 KLP_CHECK_FAILED,
                                 KLP_NEEDS_REHASH,
                                 KLP_UNCHANGED,
                                 KLP_ERROR_INVALID_ARGUMENT,
                                 KLP_ERROR_INVALID_UTF8,
                                 KLP_ERROR_TOO_LONG,
                                 KLP_ERROR_BUFFER_TOO_SMALL,
                                 KLP_ERROR_WRONG_PASSWORD,
                                 KLP_ERROR_DAMAGED_FILE,
                                 KLP_ERROR_NOT_FOUND,
                                 KLP_ERROR_EXISTS,
                                 KLP_ERROR_FILE,
                                 KLP_ERROR_FILE_CHANGED,
                                 KLP_ERROR_LEGACY_FORMAT,
                                 KLP_ERROR_INVALID_HASH,
                                 KLP_ERROR_OUT_OF_MEMORY,
                                 KLP_ERROR_LOCKED,
                                 KLP_ERROR_BUSY,
                                 KLP_ERROR_INTERNAL};
  const size_t n = sizeof statuses / sizeof statuses[0];
  size_t i, j;
  int major = -1, minor = -1, patch = -1;
  char rest = 0;
  for (i = 0; i < n; ++i) {
    CHECK(strcmp(klp_status_message(statuses[i]), "unknown status") != 0);
    for (j = 0; j < i; ++j) CHECK(strcmp(klp_status_message(statuses[i]), klp_status_message(statuses[j])) != 0);
  }
  CHECK(strcmp(klp_status_message(-1000), "unknown status") == 0);
  CHECK(sscanf(klp_version(), "%d.%d.%d%c", &major, &minor, &patch, &rest) == 3 && major >= 1);
  CHECK(klp_abi_version() == KLP_ABI_VERSION);
  CHECK_STATUS(klp_verify_password(NULL, "x"), KLP_ERROR_INVALID_ARGUMENT);
  CHECK(strlen(klp_last_error()) > 0);
  klp_secret_free(NULL);
}

/* Hostile text through one entry point; each kind of input the same everywhere. */
static void test_text_inputs(void) {
  static const struct {
    const char* text;
    int status;
  } cases[] = {
      {"caf\xc3\xa9", KLP_OK},
      {"\xf0\x9f\x94\x91 key", KLP_OK},
      {"caf\xe9", KLP_ERROR_INVALID_UTF8},
      {"\xc0\xaf", KLP_ERROR_INVALID_UTF8},
      {"\xed\xa0\x80", KLP_ERROR_INVALID_UTF8},
      {"\xf4\x90\x80\x80", KLP_ERROR_INVALID_UTF8},
      {"ab\xc3", KLP_ERROR_INVALID_UTF8},
  };
  size_t i;
  klp_strength_t* strength = NULL;
  char* longest = (char*)malloc(KLP_MAX_TEXT_BYTES + 2);
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    CHECK_STATUS(klp_strength_estimate(cases[i].text, NULL, 0, &strength), cases[i].status);
    CHECK((strength != NULL) == (cases[i].status == KLP_OK));
    klp_strength_destroy(strength);
    strength = NULL;
  }
  if (!longest) return;
  memset(longest, 'a', KLP_MAX_TEXT_BYTES);
  longest[KLP_MAX_TEXT_BYTES] = '\0';
  CHECK_STATUS(klp_strength_estimate(longest, NULL, 0, &strength), KLP_OK);
  klp_strength_destroy(strength);
  longest[KLP_MAX_TEXT_BYTES] = 'a';
  longest[KLP_MAX_TEXT_BYTES + 1] = '\0';
  CHECK_STATUS(klp_strength_estimate(longest, NULL, 0, &strength), KLP_ERROR_TOO_LONG);
  CHECK_STATUS(klp_strength_estimate(NULL, NULL, 0, &strength), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_strength_estimate("x", NULL, 1, &strength), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_strength_estimate("x", NULL, 0, NULL), KLP_ERROR_INVALID_ARGUMENT);
  free(longest);
}

static klp_policy_t* classic_policy(void) {
  klp_policy_t* policy = NULL;
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_UPPERCASE, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_LOWERCASE, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_DIGIT, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_NO_SPACE, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_length(policy, 8, 64), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_CHARACTER_CLASSES, 3), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_KEYBOARD_SEQUENCE, 4), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_QWERTY_SEQUENCE, 5), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_ALPHABETICAL_SEQUENCE, 4), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_REPEATED_DIGITS, 3), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_REPEATED_CHARACTERS, 3), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_COMMON_PASSWORDS, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_ALLOWED_CHARACTERS,
                                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#-_ "),
               KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_USERNAME, "alice"), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_FORBIDDEN_PATTERN, "(?i)p[a@4]ss"), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_FORBIDDEN_WORD, "Tr0ub4dor"), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_FORBIDDEN_WORD, "Kettle42x"), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_BLOCKLIST_WORD, "Examplebank1"), KLP_OK);
  return policy;
}

/* The first failure's code, "" when the password passes. */
static int first_code(const klp_policy_t* policy, const char* password, char* code, size_t size) {
  klp_check_result_t* result = NULL;
  size_t count = 0, len = size;
  const int status = klp_policy_check(policy, password, &result);
  code[0] = '\0';
  CHECK(result != NULL);
  CHECK_STATUS(klp_check_result_failure_count(result, &count), KLP_OK);
  CHECK((status == KLP_OK) == (count == 0));
  if (count > 0) CHECK_STATUS(klp_check_result_failure_code(result, 0, code, &len), KLP_OK);
  klp_check_result_destroy(result);
  return status;
}

static void test_policy_codes(void) {
  static const struct {
    const char* password;
    int status;
    const char* code;
  } cases[] = {
      {"Vintage-Kettle-42", KLP_OK, ""},
      {"Sh0rt", KLP_CHECK_FAILED, "TOO_SHORT"},
      {"alllower-case-9", KLP_CHECK_FAILED, "INSUFFICIENT_UPPERCASE"},
      {"ALLUPPER-CASE-9", KLP_CHECK_FAILED, "INSUFFICIENT_LOWERCASE"},
      {"No-Digits-Here", KLP_CHECK_FAILED, "INSUFFICIENT_DIGIT"},
      {"Has Space 42x", KLP_CHECK_FAILED, "ILLEGAL_WHITESPACE"},
      {"Vintage~Kettle42", KLP_CHECK_FAILED, "ILLEGAL_CHARACTER"},
      {"Xalice-Kettle42", KLP_CHECK_FAILED, "ILLEGAL_USERNAME"},
      {"Tr0ub4dor", KLP_CHECK_FAILED, "ILLEGAL_WORD"},
      {"Kettle42x", KLP_CHECK_FAILED, "ILLEGAL_WORD"},
      {"Xasdf-Kettle42", KLP_CHECK_FAILED, "ILLEGAL_QWERTY_SEQUENCE"},
      {"Xbcde-Kettle42", KLP_CHECK_FAILED, "ILLEGAL_ALPHABETICAL_SEQUENCE"},
      {"Vintage-Kettle-777", KLP_CHECK_FAILED, "ILLEGAL_REPEATED_DIGITS"},
      {"Vintage-Kettttle-42", KLP_CHECK_FAILED, "ILLEGAL_REPEATED_CHARACTERS"},
      {"My-P4ss-Kettle-9", KLP_CHECK_FAILED, "ILLEGAL_MATCH"},
      {"examplebank1", KLP_CHECK_FAILED, "INSUFFICIENT_UPPERCASE"},
      {"Examplebank1", KLP_CHECK_FAILED, "BLOCKLISTED"},
  };
  size_t i;
  char code[64];
  klp_policy_t* policy = classic_policy();
  size_t rules = 0;
  CHECK_STATUS(klp_policy_rule_count(policy, &rules), KLP_OK);
  CHECK(rules == 17); /* one dictionary and one word blocklist, however many words */
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const int status = first_code(policy, cases[i].password, code, sizeof code);
    check(status == cases[i].status && strcmp(code, cases[i].code) == 0, cases[i].password, __LINE__);
  }
  klp_policy_destroy(policy);
}

static void test_policy_refusals(void) {
  klp_policy_t* policy = NULL;
  klp_check_result_t* result = NULL;
  size_t rules = 0;
  const char* context[] = {"examplebank", "caf\xe9"};
  CHECK_STATUS(klp_policy_init(NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, 99, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_MIN_LENGTH, -1), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_length(policy, 9, 8), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_text_rule(policy, 99, "x"), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_FORBIDDEN_PATTERN, "(unclosed"),
               KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_USERNAME, "caf\xe9"), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_BLOCKLIST_FILE, path("missing.txt")), KLP_ERROR_FILE);
  CHECK_STATUS(klp_policy_add_min_strength(policy, 5, NULL, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_add_min_strength(policy, 2, context, 2), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_policy_set_user_inputs(policy, context, 2), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_policy_rule_count(policy, &rules), KLP_OK);
  CHECK(rules == 0); /* nothing refused was added */
  CHECK_STATUS(klp_policy_check(policy, "anything", &result), KLP_OK);
  klp_check_result_destroy(result);
  CHECK_STATUS(klp_policy_check(NULL, "anything", &result), KLP_ERROR_INVALID_ARGUMENT);
  CHECK(result == NULL);
  CHECK_STATUS(klp_policy_check(policy, "anything", NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_rule_count(NULL, &rules), KLP_ERROR_INVALID_ARGUMENT);
  klp_policy_destroy(policy);
  klp_policy_destroy(NULL);
  klp_check_result_destroy(NULL);
  policy = NULL;
  CHECK_STATUS(klp_policy_init_nist(&policy, 0, 63, 0, NULL, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_init_nist(&policy, 0, 0, 5, NULL, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_init_nist(&policy, 8, 0, 0, NULL, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_init_nist(&policy, 0, 0, 0, context, 2), KLP_ERROR_INVALID_UTF8);
  CHECK(policy == NULL);
}

/* A failure's parameters, redaction, and the JSON line. */
static void test_check_result(void) {
  klp_policy_t* policy = NULL;
  klp_check_result_t* result = NULL;
  klp_strength_t* strength = NULL;
  char name[64], value[64], text[256], json[4096];
  size_t count = 0, name_len, value_len, len;
  int kind = -1, sequence_kind = -1;
  int32_t score = -1, check_score = -2;
  size_t p;
  const char* context[] = {"examplebank"};
  CHECK_STATUS(klp_policy_init_nist(&policy, KLP_NIST_MULTI_FACTOR, 0, 0, context, 1), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_KEYBOARD_SEQUENCE, 4), KLP_OK);
  CHECK_STATUS(klp_policy_check(policy, "zqwertyz", &result), KLP_CHECK_FAILED);
  CHECK_STATUS(klp_check_result_failure_count(result, &count), KLP_OK);
  CHECK(count == 1);
  len = sizeof text;
  CHECK_STATUS(klp_check_result_failure_code(result, 0, text, &len), KLP_OK);
  CHECK(strcmp(text, "ILLEGAL_QWERTY_SEQUENCE") == 0);
  len = sizeof text;
  CHECK_STATUS(klp_check_result_failure_message(result, 0, 0, text, &len), KLP_OK);
  CHECK(strstr(text, "qwerty") != NULL);
  len = sizeof text;
  CHECK_STATUS(klp_check_result_failure_message(result, 0, 1, text, &len), KLP_OK);
  CHECK(strstr(text, "qwer") == NULL && strstr(text, "***") != NULL);
  CHECK_STATUS(klp_check_result_parameter_count(result, 0, &count), KLP_OK);
  CHECK(count > 0);
  for (p = 0; p < count; ++p) {
    name_len = sizeof name;
    value_len = sizeof value;
    CHECK_STATUS(klp_check_result_parameter(result, 0, p, &kind, name, &name_len, value, &value_len), KLP_OK);
    if (strcmp(value, "qwerty") == 0) sequence_kind = kind;
  }
  CHECK(sequence_kind == KLP_PARAMETER_PASSWORD_TEXT);
  name_len = 0;
  value_len = 0;
  CHECK_STATUS(klp_check_result_parameter(result, 0, 0, NULL, NULL, &name_len, NULL, &value_len),
               KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(name_len > 1 && value_len > 1);
  CHECK_STATUS(klp_check_result_parameter(result, 0, count, &kind, name, &name_len, value, &value_len),
               KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_check_result_failure_code(result, 1, text, &len), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_check_result_failure_message(result, 1, 0, text, &len), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_check_result_parameter_count(result, 1, &count), KLP_ERROR_NOT_FOUND);
  len = sizeof json;
  CHECK_STATUS(klp_check_result_json(result, json, &len), KLP_OK);
  CHECK(len == strlen(json) + 1);
  CHECK(strncmp(json, "{\"ok\":false,\"score\":", 20) == 0);
  CHECK(strstr(json, "\"code\":\"ILLEGAL_QWERTY_SEQUENCE\"") != NULL);
  CHECK(strstr(json, "qwer") == NULL);
  CHECK(json[strlen(json) - 1] == '}');
  CHECK_STATUS(klp_check_result_strength(result, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, &check_score, NULL, NULL), KLP_OK);
  klp_strength_destroy(strength);
  CHECK_STATUS(klp_strength_estimate("zqwertyz", context, 1, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, &score, NULL, NULL), KLP_OK);
  CHECK(score == check_score);
  klp_strength_destroy(strength);
  klp_check_result_destroy(result);
  /* The NIST policy: length, the common list and the context words. */
  CHECK_STATUS(klp_policy_check(policy, "Password", &result), KLP_CHECK_FAILED);
  CHECK_STATUS(klp_check_result_failure_count(result, &count), KLP_OK);
  CHECK(count == 1); /* 8 characters are enough with several factors; a common password */
  klp_check_result_destroy(result);
  CHECK_STATUS(klp_policy_check(policy, "Examplebank", &result), KLP_CHECK_FAILED);
  klp_check_result_destroy(result);
  CHECK_STATUS(klp_policy_check(policy, "correct horse battery staple", &result), KLP_OK);
  len = sizeof json;
  CHECK_STATUS(klp_check_result_json(result, json, &len), KLP_OK);
  CHECK(strncmp(json, "{\"ok\":true,", 11) == 0 && strstr(json, "\"failures\":[]}") != NULL);
  klp_check_result_destroy(result);
  klp_policy_destroy(policy);
  CHECK_STATUS(klp_policy_init_nist(&policy, 0, 128, 3, NULL, 0), KLP_OK);
  CHECK_STATUS(klp_policy_check(policy, "Password", &result), KLP_CHECK_FAILED);
  CHECK_STATUS(klp_check_result_failure_count(result, &count), KLP_OK);
  CHECK(count == 3); /* too short, common, too weak */
  klp_check_result_destroy(result);
  klp_policy_destroy(policy);
}

/* The buffer convention, on one text output: size query, one byte short, exact. */
static void test_buffers(void) {
  klp_policy_t* policy = NULL;
  klp_check_result_t* result = NULL;
  char out[32];
  size_t len = 0;
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_rule(policy, KLP_RULE_MIN_LENGTH, 10), KLP_OK);
  CHECK_STATUS(klp_policy_check(policy, "short", &result), KLP_CHECK_FAILED);
  CHECK_STATUS(klp_check_result_failure_code(result, 0, NULL, &len), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(len == sizeof "TOO_SHORT");
  memset(out, 'X', sizeof out);
  len = sizeof "TOO_SHORT" - 1;
  CHECK_STATUS(klp_check_result_failure_code(result, 0, out, &len), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(len == sizeof "TOO_SHORT" && out[0] == 'X');
  CHECK_STATUS(klp_check_result_failure_code(result, 0, out, &len), KLP_OK);
  CHECK(strcmp(out, "TOO_SHORT") == 0 && len == sizeof "TOO_SHORT");
  CHECK_STATUS(klp_check_result_failure_code(result, 0, out, NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_check_result_failure_code(NULL, 0, out, &len), KLP_ERROR_INVALID_ARGUMENT);
  klp_check_result_destroy(result);
  klp_policy_destroy(policy);
}

static void test_blocklist_files(void) {
  klp_policy_t* policy = NULL;
  char code[64];
  write_file(path("words.txt"), "Hunter2hunter\ncorrect-Kettle-9\n");
  /* the SHA-1 of "password" */
  write_file(path("hashes.txt"), "5BAA61E4C9B93F3F0682250B6CF8331B7EE68FD8:3730471\n");
  write_file(path("bad-hashes.txt"), "not a hash\n");
  CHECK_STATUS(klp_blocklist_compile(path("words.txt"), KLP_BLOCKLIST_PASSWORDS, path("words.klbf")), KLP_OK);
  CHECK_STATUS(klp_blocklist_compile(path("hashes.txt"), KLP_BLOCKLIST_DETECT, path("hashes.klbf")), KLP_OK);
  CHECK_STATUS(klp_blocklist_compile(path("bad-hashes.txt"), KLP_BLOCKLIST_SHA1_HASHES, path("bad.klbf")),
               KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_blocklist_compile(path("words.txt"), 3, path("x.klbf")), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_BLOCKLIST_FILE, path("words.klbf")), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_BLOCKLIST_FILE, path("hashes.klbf")), KLP_OK);
  CHECK_STATUS(klp_policy_add_text_rule(policy, KLP_TEXT_RULE_BLOCKLIST_FILE, path("words.txt")), KLP_OK);
  CHECK_STATUS(first_code(policy, "hunter2HUNTER", code, sizeof code), KLP_CHECK_FAILED);
  CHECK(strcmp(code, "BLOCKLISTED") == 0);
  CHECK_STATUS(first_code(policy, "password", code, sizeof code), KLP_CHECK_FAILED);
  CHECK(strcmp(code, "BREACHED") == 0);
  CHECK_STATUS(first_code(policy, "Vintage-Kettle-42", code, sizeof code), KLP_OK);
  klp_policy_destroy(policy);
}

static void test_strength(void) {
  klp_strength_t* strength = NULL;
  int32_t score = -1;
  double guesses = 0, log10_guesses = -1, seconds[4], previous = 0;
  char text[256];
  size_t len, count = 0, i;
  int attack;
  const char* words[] = {"alice"};
  CHECK_STATUS(klp_strength_estimate("password", NULL, 0, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, &score, &guesses, &log10_guesses), KLP_OK);
  CHECK(score == 0 && guesses >= 1 && log10_guesses >= 0 && log10_guesses < 3);
  CHECK_STATUS(klp_strength_values(strength, NULL, NULL, NULL), KLP_OK);
  for (attack = KLP_ATTACK_ONLINE_THROTTLING; attack <= KLP_ATTACK_OFFLINE_FAST_HASHING; ++attack) {
    len = sizeof text;
    CHECK_STATUS(klp_strength_crack_time(strength, attack, &seconds[attack], text, &len), KLP_OK);
    CHECK(strlen(text) > 0);
    CHECK(attack == 0 || seconds[attack] < previous);
    previous = seconds[attack];
  }
  CHECK_STATUS(klp_strength_crack_time(strength, 0, NULL, NULL, NULL), KLP_OK);
  CHECK_STATUS(klp_strength_crack_time(strength, 4, NULL, NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
  len = sizeof text;
  CHECK_STATUS(klp_strength_warning(strength, text, &len), KLP_OK);
  CHECK(strlen(text) > 0);
  CHECK_STATUS(klp_strength_suggestion_count(strength, &count), KLP_OK);
  for (i = 0; i < count; ++i) {
    len = sizeof text;
    CHECK_STATUS(klp_strength_suggestion(strength, i, text, &len), KLP_OK);
  }
  CHECK_STATUS(klp_strength_suggestion(strength, count, text, &len), KLP_ERROR_NOT_FOUND);
  klp_strength_destroy(strength);
  /* The user's own words count as the likeliest guesses. */
  CHECK_STATUS(klp_strength_estimate("xyalicexy", NULL, 0, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, NULL, &guesses, NULL), KLP_OK);
  klp_strength_destroy(strength);
  CHECK_STATUS(klp_strength_estimate("xyalicexy", words, 1, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, NULL, &previous, NULL), KLP_OK);
  CHECK(previous < guesses);
  klp_strength_destroy(strength);
  klp_strength_destroy(NULL);
  CHECK_STATUS(klp_strength_values(NULL, &score, NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_strength_warning(NULL, text, &len), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_strength_suggestion_count(NULL, &count), KLP_ERROR_INVALID_ARGUMENT);
}

static void test_generator(void) {
  static const struct {
    int option;
    int32_t value;
  } refused[] = {{KLP_GEN_USE_DIGITS, 2},
                 {KLP_GEN_MIN_DIGITS, -1},
                 {KLP_GEN_MIN_SYMBOLS, 65},
                 {KLP_GEN_DEFAULT_LENGTH, 0},
                 {KLP_GEN_ITERATIONS, 0},
                 {KLP_GEN_PASSPHRASE_WORDS, 0},
                 {KLP_GEN_PASSPHRASE_EXTRA, 3},
                 {99, 1},
                 {KLP_GEN_DEFAULT_LENGTH, KLP_MAX_GENERATED_LENGTH + 1},
                 {KLP_GEN_PASSPHRASE_WORDS, KLP_MAX_PASSPHRASE_WORDS + 1}};
  klp_generator_t* generator = NULL;
  char* password = NULL;
  char* again = NULL;
  int seen_min = 0, seen_max = 0, i;
  int32_t value = -1;
  double bits = 0;
  size_t r;
  CHECK_STATUS(klp_generator_init(&generator), KLP_OK);
  for (r = 0; r < sizeof refused / sizeof refused[0]; ++r)
    CHECK_STATUS(klp_generator_set_option(generator, refused[r].option, refused[r].value), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_generate(generator, 0, 0, &password), KLP_OK);
  CHECK(password != NULL && strlen(password) == 16);
  klp_secret_free(password);
  /* Both bounds inclusive: 12 and 16 each come out in 200 draws (all but certainly). */
  for (i = 0; i < 200; ++i) {
    CHECK_STATUS(klp_generator_generate(generator, 12, 16, &password), KLP_OK);
    if (password) {
      seen_min |= strlen(password) == 12;
      seen_max |= strlen(password) == 16;
      CHECK(strlen(password) >= 12 && strlen(password) <= 16);
    }
    klp_secret_free(password);
  }
  CHECK(seen_min && seen_max);
  CHECK_STATUS(klp_generator_generate(generator, 5, 4, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK(password == NULL);
  /* Lengths and word counts are bounded, so that no request exhausts memory. */
  CHECK_STATUS(klp_generator_generate(generator, KLP_MAX_GENERATED_LENGTH, KLP_MAX_GENERATED_LENGTH, &password),
               KLP_OK);
  CHECK(password && strlen(password) == KLP_MAX_GENERATED_LENGTH);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_generate(generator, 1, KLP_MAX_GENERATED_LENGTH + 1, &password),
               KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_generate(generator, 1, INT32_MAX, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_passphrase(generator, KLP_MAX_PASSPHRASE_WORDS, &password), KLP_OK);
  CHECK(password && count_of(password, "-") >= KLP_MAX_PASSPHRASE_WORDS - 1); /* some words hold a hyphen */
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_passphrase(generator, KLP_MAX_PASSPHRASE_WORDS + 1, &password),
               KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_passphrase(generator, INT32_MAX, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", KLP_MAX_GENERATED_LENGTH + 1, &password),
               KLP_ERROR_INVALID_ARGUMENT);
  CHECK(password == NULL);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_EXCLUDE_LOOKALIKES, 1), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_MIN_DIGITS, 3), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_REQUIRE_EACH_SET, 1), KLP_OK);
  CHECK_STATUS(klp_generator_get_option(generator, KLP_GEN_MIN_DIGITS, &value), KLP_OK);
  CHECK(value == 3);
  CHECK_STATUS(klp_generator_get_option(generator, 99, &value), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_EXCLUDE_CHARACTERS, "abc"), KLP_OK);
  for (i = 0; i < 20; ++i) {
    CHECK_STATUS(klp_generator_generate(generator, 40, 40, &password), KLP_OK);
    if (password) {
      CHECK(count_of(password, "0Oo1Il|`'\"abc") == 0 && count_of(password, "0123456789") >= 3);
      CHECK(count_of(password, "ABCDEFGHIJKLMNOPQRSTUVWXYZ") > 0);
    }
    klp_secret_free(password);
  }
  /* Settings no password meets are refused. */
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_MIN_DIGITS, 20), KLP_OK);
  CHECK_STATUS(klp_generator_generate(generator, 10, 10, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_MIN_DIGITS, 0), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_REQUIRE_EACH_SET, 0), KLP_OK);
  /* Custom characters only, one outside the BMP counted as one character. */
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_UPPERCASE, 0), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_LOWERCASE, 0), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_SYMBOLS, 0), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_DIGITS, 0), KLP_OK);
  CHECK_STATUS(klp_generator_generate(generator, 8, 8, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_CUSTOM, 1), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_USE_SPACE, 0), KLP_OK);
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_CUSTOM_CHARACTERS, "xy\xf0\x9f\x94\x91"), KLP_OK);
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_CUSTOM_CHARACTERS, "x\xff"), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_generator_generate(generator, 8, 8, &password), KLP_OK);
  CHECK(password && count_of(password, "xy") + (int)(strlen(password) - count_of(password, "xy")) / 4 == 8);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_entropy(generator, 10, 10, &bits), KLP_OK);
  CHECK(bits > 15.84 && bits < 15.86); /* 10 log2 3 */
  CHECK_STATUS(klp_generator_entropy(generator, 0, 0, &bits), KLP_OK);
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_LOOKALIKE_CHARACTERS, "x"), KLP_OK);
  CHECK_STATUS(klp_generator_entropy(generator, 10, 10, &bits), KLP_OK);
  CHECK(bits > 9.99 && bits < 10.01);
  /* Passphrases, from the built-in list and from a file. */
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_PASSPHRASE_SEPARATOR, "."), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_CAPITALIZE_WORDS, 1), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_PASSPHRASE_EXTRA, 0), KLP_OK);
  CHECK_STATUS(klp_generator_passphrase(generator, 4, &password), KLP_OK);
  CHECK(password && count_of(password, ".") == 3 && password[0] >= 'A' && password[0] <= 'Z');
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_passphrase_entropy(generator, 6, &bits), KLP_OK);
  CHECK(bits > 77.5 && bits < 77.6); /* 6 log2 7776 */
  write_file(path("words4.txt"), "alpha\nbravo\ncharlie\ndelta\n");
  CHECK_STATUS(klp_generator_load_word_list(generator, path("words4.txt")), KLP_OK);
  CHECK_STATUS(klp_generator_load_word_list(generator, path("missing.txt")), KLP_ERROR_FILE);
  CHECK_STATUS(klp_generator_passphrase_entropy(generator, 0, &bits), KLP_OK);
  CHECK(bits > 11.99 && bits < 12.01); /* six words of four */
  CHECK_STATUS(klp_generator_passphrase(generator, 0, &password), KLP_OK);
  CHECK(password && count_of(password, ".") == 5);
  klp_secret_free(password);
  klp_generator_destroy(generator);
  /* Derived passwords: the same for the same key and site, on every machine. */
  CHECK_STATUS(klp_generator_init(&generator), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_ITERATIONS, 10), KLP_OK);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", 12, &password), KLP_OK);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", 12, &again), KLP_OK);
  CHECK(password && again && strlen(password) == 12 && strcmp(password, again) == 0);
  klp_secret_free(again);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.org", 12, &again), KLP_OK);
  CHECK(again && strcmp(password, again) != 0);
  klp_secret_free(again);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_derive(generator, "master\xc3", "example.org", 0, &again), KLP_ERROR_INVALID_UTF8);
  CHECK(again == NULL);
  CHECK_STATUS(klp_generator_derive(generator, "master", NULL, 0, &again), KLP_ERROR_INVALID_ARGUMENT);
  klp_generator_destroy(generator);
  klp_generator_destroy(NULL);
  CHECK_STATUS(klp_generator_generate(NULL, 0, 0, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_generator_init(NULL), KLP_ERROR_INVALID_ARGUMENT);
}

static void test_hashes(void) {
  char hash[KLP_HASH_MAX_BYTES];
  size_t len = 10;
  CHECK_STATUS(klp_hash_password("secret", 1024, 1, hash, &len), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(len > 10 && len <= KLP_HASH_MAX_BYTES);
  len = sizeof hash;
  CHECK_STATUS(klp_hash_password("secret", 1024, 1, hash, &len), KLP_OK);
  CHECK(strncmp(hash, "$argon2id$v=19$m=1024,t=1,p=1$", 30) == 0 && len == strlen(hash) + 1);
  CHECK_STATUS(klp_verify_password(hash, "secret"), KLP_OK);
  CHECK_STATUS(klp_verify_password(hash, "Secret"), KLP_NO_MATCH);
  CHECK_STATUS(klp_verify_password("$argon2id$garbage", "secret"), KLP_ERROR_INVALID_HASH);
  CHECK_STATUS(klp_verify_password("$argon2id$v=19$m=4194304,t=1,p=1$c2FsdHNhbHRzYWx0c2FsdA$"
                                   "dGFndGFndGFndGFndGFndGFndGFndGFndGFndGE",
                                   "secret"),
               KLP_ERROR_INVALID_HASH);
  CHECK_STATUS(klp_needs_rehash(hash, 0, 0), KLP_NEEDS_REHASH);
  CHECK_STATUS(klp_needs_rehash(hash, 1024, 1), KLP_OK);
  CHECK_STATUS(klp_needs_rehash("not a hash", 1024, 1), KLP_NEEDS_REHASH);
  len = sizeof hash;
  CHECK_STATUS(klp_hash_password("secret", 1, 1, hash, &len), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_hash_password("caf\xe9", 1024, 1, hash, &len), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_hash_password("secret", 1024, 1, hash, NULL), KLP_ERROR_INVALID_ARGUMENT);
}

/* One database kind through every operation. */
static void check_users(int kind, const char* file) {
  klp_users_t* users = NULL;
  klp_users_t* other = NULL;
  const char* master = kind == KLP_USERS_ENCRYPTED ? "db master" : NULL;
  int32_t uid = -1;
  size_t count = 0;
  char name[64];
  size_t len = sizeof name;
  int modified = -1;
  CHECK_STATUS(klp_users_init(&users, kind, master), KLP_OK);
  CHECK_STATUS(klp_users_set_hash_cost(users, 1024, 1), KLP_OK);
  if (kind == KLP_USERS_ENCRYPTED)
    CHECK_STATUS(klp_users_set_file_cost(users, 8192, 1), KLP_OK);
  else
    CHECK_STATUS(klp_users_set_file_cost(users, 8192, 1), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_add(users, "alice", "pw", &uid), KLP_ERROR_INVALID_ARGUMENT); /* not opened */
  CHECK_STATUS(klp_users_create(users, file), KLP_OK);
  CHECK_STATUS(klp_users_add(users, "alice", "alice pw", &uid), KLP_OK);
  CHECK(uid >= 1);
  CHECK_STATUS(klp_users_add(users, "bob", "bob pw", NULL), KLP_OK);
  CHECK_STATUS(klp_users_add(users, "alice", "other", NULL), KLP_ERROR_EXISTS);
  CHECK_STATUS(klp_users_add(users, "car\xc3\xb6l", "pw\xff", NULL), KLP_ERROR_INVALID_UTF8);
  if (kind == KLP_USERS_TEXT) CHECK_STATUS(klp_users_add(users, "a:b", "pw", NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_verify(users, "alice", "alice pw"), KLP_OK);
  CHECK_STATUS(klp_users_verify(users, "alice", "bob pw"), KLP_NO_MATCH);
  CHECK_STATUS(klp_users_verify(users, "carol", "pw"), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_users_change(users, "alice", "new pw"), KLP_OK);
  CHECK_STATUS(klp_users_change(users, "carol", "pw"), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_users_verify(users, "alice", "new pw"), KLP_OK);
  CHECK_STATUS(klp_users_delete(users, "bob"), KLP_OK);
  CHECK_STATUS(klp_users_delete(users, "bob"), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_users_modified(users, &modified), KLP_OK);
  CHECK(modified == 1);
  CHECK_STATUS(klp_users_save(users), KLP_OK);
  CHECK_STATUS(klp_users_modified(users, &modified), KLP_OK);
  CHECK(modified == 0);
  CHECK_STATUS(klp_users_upgrade(users, NULL), KLP_UNCHANGED);
  CHECK_STATUS(klp_users_count(users, &count), KLP_OK);
  CHECK(count == 1);
  CHECK_STATUS(klp_users_get(users, 0, &uid, name, &len), KLP_OK);
  CHECK(strcmp(name, "alice") == 0 && uid >= 1);
  CHECK_STATUS(klp_users_get(users, 1, &uid, name, &len), KLP_ERROR_NOT_FOUND);
  klp_users_destroy(users);
  users = NULL;
  if (kind == KLP_USERS_ENCRYPTED) {
    CHECK_STATUS(klp_users_init(&users, kind, "wrong"), KLP_OK);
    CHECK_STATUS(klp_users_open(users, file, 0), KLP_ERROR_WRONG_PASSWORD);
    klp_users_destroy(users);
  }
  /* Two handles on one file: the second save would drop the first's change. */
  CHECK_STATUS(klp_users_init(&users, kind, master), KLP_OK);
  CHECK_STATUS(klp_users_init(&other, kind, master), KLP_OK);
  CHECK_STATUS(klp_users_set_hash_cost(users, 1024, 1), KLP_OK);
  CHECK_STATUS(klp_users_set_hash_cost(other, 1024, 1), KLP_OK);
  CHECK_STATUS(klp_users_open(users, file, 0), KLP_OK);
  CHECK_STATUS(klp_users_open(other, file, 0), KLP_OK);
  CHECK_STATUS(klp_users_verify(users, "alice", "new pw"), KLP_OK);
  CHECK_STATUS(klp_users_add(other, "dave", "pw", NULL), KLP_OK);
  CHECK_STATUS(klp_users_save(other), KLP_OK);
  CHECK_STATUS(klp_users_add(users, "erin", "pw", NULL), KLP_OK);
  CHECK_STATUS(klp_users_save(users), KLP_ERROR_FILE_CHANGED);
  klp_users_destroy(users);
  klp_users_destroy(other);
}

/* The default limit of failed attempts: the hundredth in a row locks the
 * account, the right password included. */
static void check_lockout(void) {
  klp_users_t* users = NULL;
  int i;
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, NULL), KLP_OK);
  CHECK_STATUS(klp_users_set_hash_cost(users, 8, 1), KLP_OK);
  CHECK_STATUS(klp_users_create(users, path("lockout.txt")), KLP_OK);
  CHECK_STATUS(klp_users_add(users, "alice", "pw", NULL), KLP_OK);
  for (i = 0; i < 100; ++i) CHECK_STATUS(klp_users_verify(users, "alice", "wrong"), KLP_NO_MATCH);
  CHECK_STATUS(klp_users_verify(users, "alice", "pw"), KLP_ERROR_LOCKED);
  klp_users_destroy(users);
}

static void test_users(void) {
  klp_users_t* users = NULL;
  int version = 0, encrypted = -1, authenticated = -1;
  uint32_t memory = 0, passes = 0;
  int32_t wrapped = -1;
  check_users(KLP_USERS_TEXT, path("users.txt"));
  check_users(KLP_USERS_ENCRYPTED, path("users.db"));
  check_lockout();
  CHECK_STATUS(klp_file_info(path("users.db"), &version, &encrypted, &authenticated, &memory, &passes), KLP_OK);
  CHECK(version == 3 && encrypted == 1 && authenticated == 1 && memory == 8192 && passes == 1);
  CHECK_STATUS(klp_file_info(path("users.txt"), &version, NULL, NULL, NULL, NULL), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_file_info(path("missing.db"), NULL, NULL, NULL, NULL, NULL), KLP_ERROR_FILE);
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_ENCRYPTED, NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, "master"), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_init(&users, 7, NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK(users == NULL);
  /* Damaged files. */
  write_file(path("damaged.txt"), "-1\n");
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, NULL), KLP_OK);
  CHECK_STATUS(klp_users_open(users, path("damaged.txt"), 0), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_users_open(users, path("missing.txt"), 0), KLP_ERROR_FILE);
  CHECK_STATUS(klp_users_open(users, path("users.txt"), 2), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_save(users), KLP_ERROR_INVALID_ARGUMENT);
  klp_users_destroy(users);
  /* A legacy file opens only to be upgraded, then as any other. */
  copy_data("legacy-users-v2.db", path("legacy.db"));
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_ENCRYPTED, "Legacy master"), KLP_OK);
  CHECK_STATUS(klp_users_set_file_cost(users, 8192, 1), KLP_OK);
  CHECK_STATUS(klp_users_open(users, path("legacy.db"), 0), KLP_ERROR_LEGACY_FORMAT);
  CHECK_STATUS(klp_users_open(users, path("legacy.db"), KLP_OPEN_ALLOW_LEGACY), KLP_OK);
  CHECK_STATUS(klp_users_upgrade(users, &wrapped), KLP_OK);
  CHECK(wrapped >= 0);
  klp_users_destroy(users);
  CHECK_STATUS(klp_file_info(path("legacy.db"), &version, NULL, NULL, NULL, NULL), KLP_OK);
  CHECK(version == 3);
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_ENCRYPTED, "Legacy master"), KLP_OK);
  CHECK_STATUS(klp_users_open(users, path("legacy.db"), 0), KLP_OK);
  CHECK_STATUS(klp_users_upgrade(users, &wrapped), KLP_UNCHANGED);
  CHECK(wrapped == 0);
  klp_users_destroy(users);
  klp_users_destroy(NULL);
  CHECK_STATUS(klp_users_count(NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_users_modified(NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
}

/* A copy of a data file with the byte at Offset changed. */
static void copy_changed(const char* name, const char* to, long offset) {
  char from[512];
  unsigned char bytes[8192];
  size_t n = 0;
  FILE* in;
  FILE* out;
  sprintf(from, "%s/%s", data, name);
  in = fopen(from, "rb");
  if (in) {
    n = fread(bytes, 1, sizeof bytes, in);
    fclose(in);
  }
  CHECK(n > (size_t)offset);
  bytes[offset] ^= 0x01;
  out = fopen(to, "wb");
  if (out) {
    fwrite(bytes, 1, n, out);
    fclose(out);
  }
}

static klp_vault_t* new_vault(const char* file, const char* master) {
  klp_vault_t* vault = NULL;
  CHECK_STATUS(klp_vault_init(&vault), KLP_OK);
  CHECK_STATUS(klp_vault_set_file_cost(vault, 8192, 1), KLP_OK);
  if (file) CHECK_STATUS(klp_vault_open(vault, file, master, 0), KLP_OK);
  return vault;
}

/* A KDBX file (tests/data/vault-kdbx4.kdbx: one record, "Mail" of alice,
 * under "kdbx pw") opens; a wrong password and a damaged file give their own
 * statuses, as the vault's format does, and load nothing. */
static void test_vault_kdbx(void) {
  klp_vault_t* vault = NULL;
  size_t count = 99, index = 0;
  char text[64];
  size_t len = sizeof text;
  CHECK_STATUS(klp_vault_init(&vault), KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "Held", NULL, NULL, NULL, NULL, NULL, &index), KLP_OK);
  copy_data("vault-kdbx4.kdbx", path("v.kdbx"));
  copy_changed("vault-kdbx4.kdbx", path("seed.kdbx"), 50);    /* the master seed: the header hash fails */
  copy_changed("vault-kdbx4.kdbx", path("block.kdbx"), 1300); /* a block: its MAC fails */
  CHECK_STATUS(klp_vault_open(vault, path("v.kdbx"), "wrong", 0), KLP_ERROR_WRONG_PASSWORD);
  CHECK_STATUS(klp_vault_open(vault, path("seed.kdbx"), "kdbx pw", 0), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_vault_open(vault, path("block.kdbx"), "kdbx pw", 0), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count == 1);
  CHECK_STATUS(klp_vault_get_field(vault, 0, KLP_FIELD_TITLE, text, &len), KLP_OK);
  CHECK(strcmp(text, "Held") == 0);
  CHECK_STATUS(klp_vault_open(vault, path("v.kdbx"), "kdbx pw", 0), KLP_OK);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count == 2);
  len = sizeof text;
  CHECK_STATUS(klp_vault_get_field(vault, 1, KLP_FIELD_USERNAME, text, &len), KLP_OK);
  CHECK(strcmp(text, "alice") == 0);
  klp_vault_destroy(vault);
}

static void test_vault(void) {
  klp_vault_t* vault = new_vault(NULL, NULL);
  klp_vault_t* copy;
  size_t index = 99, count = 0, found[4];
  char text[64];
  size_t len = sizeof text;
  int64_t created = 0, modified = -1, accessed = -1;
  int32_t added = 0;
  CHECK_STATUS(klp_vault_save(vault), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_set_file_cost(vault, 1, 1), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_create(vault, path("my.vault"), ""), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_create(vault, path("my.vault"), "vault master"), KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "GitHub", "alice", "gh-secret", "https://github.com", NULL, "Work", &index),
               KLP_OK);
  CHECK(index == 0);
  CHECK_STATUS(klp_vault_add(vault, "Bank", "alice99", "bank-secret", "https://bank.example", "PIN", NULL, &index),
               KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "Old", NULL, NULL, NULL, NULL, "Work", NULL), KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "Bad", NULL, NULL, NULL, NULL, "A//B", NULL), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_add(vault, "Bad", NULL, "\xc3", NULL, NULL, NULL, NULL), KLP_ERROR_INVALID_UTF8);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count == 3);
  CHECK_STATUS(klp_vault_get_field(vault, 1, KLP_FIELD_GROUP, text, &len), KLP_OK);
  CHECK(strcmp(text, "General") == 0);
  len = sizeof "gh-secret" - 1;
  CHECK_STATUS(klp_vault_get_field(vault, 0, KLP_FIELD_PASSWORD, text, &len), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(len == sizeof "gh-secret");
  CHECK_STATUS(klp_vault_get_field(vault, 0, KLP_FIELD_PASSWORD, text, &len), KLP_OK);
  CHECK(strcmp(text, "gh-secret") == 0);
  CHECK_STATUS(klp_vault_get_field(vault, 3, KLP_FIELD_TITLE, text, &len), KLP_ERROR_NOT_FOUND);
  CHECK_STATUS(klp_vault_get_field(vault, 0, 9, text, &len), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_set_field(vault, 1, KLP_FIELD_NOTE, "PIN elsewhere"), KLP_OK);
  CHECK_STATUS(klp_vault_set_field(vault, 1, KLP_FIELD_GROUP, "Home//Bank"), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_set_field(vault, 1, KLP_FIELD_GROUP, ""), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_set_field(vault, 1, KLP_FIELD_GROUP, "Personal/Bank"), KLP_OK); /* nested groups */
  len = sizeof text;
  CHECK_STATUS(klp_vault_get_field(vault, 1, KLP_FIELD_GROUP, text, &len), KLP_OK);
  CHECK(strcmp(text, "Personal/Bank") == 0);
  CHECK_STATUS(klp_vault_get_dates(vault, 1, &created, &modified, &accessed), KLP_OK);
  CHECK(created > 0 && modified >= created && accessed == 0); /* its group was read, which stamps nothing */
  CHECK_STATUS(klp_vault_get_dates(vault, 0, &created, &modified, &accessed), KLP_OK);
  CHECK(created > 0 && accessed >= created); /* its password was read */
  count = 4;
  CHECK_STATUS(klp_vault_search(vault, KLP_FIELD_URL, KLP_MATCH_CONTAINS, "bank", found, &count), KLP_OK);
  CHECK(count == 1 && found[0] == 1);
  count = 4;
  CHECK_STATUS(klp_vault_search(vault, KLP_FIELD_GROUP, KLP_MATCH_EQUALS, "Work", found, &count),
               KLP_ERROR_INVALID_ARGUMENT);
  count = 4;
  CHECK_STATUS(klp_vault_list(vault, "Work", found, &count), KLP_OK);
  CHECK(count == 2 && found[0] == 0 && found[1] == 2);
  count = 2;
  CHECK_STATUS(klp_vault_list(vault, NULL, found, &count), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(count == 3);
  CHECK_STATUS(klp_vault_delete(vault, 0), KLP_OK);
  CHECK_STATUS(klp_vault_delete(vault, 2), KLP_ERROR_NOT_FOUND);
  count = 4;
  CHECK_STATUS(klp_vault_list(vault, NULL, found, &count), KLP_OK);
  CHECK(count == 2 && found[1] == 1);
  CHECK_STATUS(klp_vault_save(vault), KLP_OK);
  CHECK_STATUS(klp_vault_export(vault, path("out.json"), KLP_FORMAT_JSON, 0), KLP_OK);
  CHECK_STATUS(klp_vault_export(vault, path("out.csv"), KLP_FORMAT_CSV, KLP_EXPORT_SPREADSHEET_SAFE), KLP_OK);
  CHECK_STATUS(klp_vault_export(vault, path("out.x"), 7, 0), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_set_master_password(vault, "new master"), KLP_OK);
  CHECK_STATUS(klp_vault_save(vault), KLP_OK);
  klp_vault_destroy(vault);
  /* Back from the file: the wrong password, the new one, a damaged file. */
  vault = new_vault(NULL, NULL);
  CHECK_STATUS(klp_vault_open(vault, path("my.vault"), "vault master", 0), KLP_ERROR_WRONG_PASSWORD);
  CHECK_STATUS(klp_vault_open(vault, path("out.json"), "vault master", 0), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_vault_open(vault, path("missing.vault"), "vault master", 0), KLP_ERROR_FILE);
  CHECK_STATUS(klp_vault_open(vault, path("my.vault"), "new master", 0), KLP_OK);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count == 2);
  len = sizeof text;
  CHECK_STATUS(klp_vault_get_field(vault, 0, KLP_FIELD_NOTE, text, &len), KLP_OK);
  CHECK(strcmp(text, "PIN elsewhere") == 0);
  klp_vault_destroy(vault);
  /* Import what was exported; a bad file adds nothing. */
  copy = new_vault(NULL, NULL);
  write_file(path("bad.csv"), "name,url,username,password,note\n\"unclosed,x,y,z,\n");
  CHECK_STATUS(klp_vault_import(copy, path("bad.csv"), KLP_FORMAT_AUTO, NULL, &added), KLP_ERROR_DAMAGED_FILE);
  CHECK_STATUS(klp_vault_import(copy, path("out.json"), KLP_FORMAT_AUTO, "Imported", &added), KLP_OK);
  CHECK(added == 2);
  CHECK_STATUS(klp_vault_import(copy, path("out.csv"), KLP_FORMAT_CSV, NULL, NULL), KLP_OK);
  CHECK_STATUS(klp_vault_count(copy, &count), KLP_OK);
  CHECK(count == 4);
  len = sizeof text;
  CHECK_STATUS(klp_vault_get_field(copy, 0, KLP_FIELD_GROUP, text, &len), KLP_OK);
  CHECK(strcmp(text, "Imported") == 0);
  count = 4;
  CHECK_STATUS(klp_vault_search(copy, KLP_FIELD_PASSWORD, KLP_MATCH_EQUALS, "bank-secret", found, &count), KLP_OK);
  CHECK(count == 2);
  klp_vault_destroy(copy);
  klp_vault_destroy(NULL);
  /* Two handles on one file. */
  vault = new_vault(path("my.vault"), "new master");
  copy = new_vault(path("my.vault"), "new master");
  CHECK_STATUS(klp_vault_add(copy, "Third", NULL, NULL, NULL, NULL, NULL, NULL), KLP_OK);
  CHECK_STATUS(klp_vault_save(copy), KLP_OK);
  CHECK_STATUS(klp_vault_save(vault), KLP_ERROR_FILE_CHANGED);
  klp_vault_destroy(vault);
  klp_vault_destroy(copy);
  /* Upgrade of a legacy vault. */
  copy_data("legacy-vault-v2.klv", path("legacy.klv"));
  vault = new_vault(NULL, NULL);
  CHECK_STATUS(klp_vault_open(vault, path("legacy.klv"), "Legacy master", 0), KLP_ERROR_LEGACY_FORMAT);
  CHECK_STATUS(klp_vault_upgrade(path("legacy.klv"), "wrong", 8192, 1), KLP_ERROR_WRONG_PASSWORD);
  CHECK_STATUS(klp_vault_upgrade(path("legacy.klv"), "Legacy master", 8192, 1), KLP_OK);
  CHECK_STATUS(klp_vault_upgrade(path("legacy.klv"), "Legacy master", 0, 0), KLP_UNCHANGED);
  CHECK_STATUS(klp_vault_open(vault, path("legacy.klv"), "Legacy master", 0), KLP_OK);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count > 0);
  klp_vault_destroy(vault);
  CHECK_STATUS(klp_vault_count(NULL, &count), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_vault_init(NULL), KLP_ERROR_INVALID_ARGUMENT);
}

static void test_protection(void) {
  uint8_t blob[512];
  size_t len = 0;
  char* password = NULL;
  CHECK_STATUS(klp_protect("service secret", KLP_PROTECT_USER, NULL, &len), KLP_ERROR_BUFFER_TOO_SMALL);
  CHECK(len > 0 && len <= sizeof blob);
  CHECK_STATUS(klp_protect("service secret", KLP_PROTECT_USER, blob, &len), KLP_OK);
  CHECK_STATUS(klp_unprotect(blob, len, &password), KLP_OK);
  CHECK(password && strcmp(password, "service secret") == 0);
  klp_secret_free(password);
  blob[len - 1] ^= 1;
  CHECK_STATUS(klp_unprotect(blob, len, &password), KLP_ERROR_DAMAGED_FILE);
  CHECK(password == NULL);
  CHECK_STATUS(klp_unprotect(NULL, 4, &password), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_protect("x", 5, blob, &len), KLP_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(klp_protect_file(path("service.pw"), "file secret", KLP_PROTECT_USER), KLP_OK);
  CHECK_STATUS(klp_unprotect_file(path("service.pw"), &password), KLP_OK);
  CHECK(password && strcmp(password, "file secret") == 0);
  klp_secret_free(password);
  CHECK_STATUS(klp_unprotect_file(path("missing.pw"), &password), KLP_ERROR_FILE);
  CHECK_STATUS(klp_protect_file(path("x.pw"), "x", 9), KLP_ERROR_INVALID_ARGUMENT);
}

/* ---- Every option changes what comes out ---------------------------------
 * Each table row names an option and the effect it must have, so that an
 * option taken in and ignored, two values swapped, or a default that differs
 * from the documented one shows as a wrong result, not only as a status. */

/* Every failure code of password under policy, each followed by ','. */
static void codes_of(const klp_policy_t* policy, const char* password, char* codes, size_t size) {
  klp_check_result_t* result = NULL;
  size_t count = 0, i, len;
  char code[64];
  codes[0] = '\0';
  klp_policy_check(policy, password, &result);
  CHECK(result != NULL);
  klp_check_result_failure_count(result, &count);
  for (i = 0; i < count; ++i) {
    len = sizeof code;
    CHECK_STATUS(klp_check_result_failure_code(result, i, code, &len), KLP_OK);
    if (strlen(codes) + strlen(code) + 2 < size) {
      strcat(codes, code);
      strcat(codes, ",");
    }
  }
  klp_check_result_destroy(result);
}

static void test_policy_options(void) {
  static const char* context[] = {"zorbacorp-portal"};
  static const struct {
    int flags;
    int32_t max_length, min_score;
    size_t context_count;
    const char* password;
    const char* expected; /* the codes, each followed by ',' */
  } cases[] = {
      {0, 0, 0, 0, "vintage kettle", "TOO_SHORT,"},              /* 14 < 15 */
      {KLP_NIST_MULTI_FACTOR, 0, 0, 0, "vintage kettle", ""},    /* 14 >= 8 */
      {KLP_NIST_MULTI_FACTOR, 0, 0, 0, "kettle7", "TOO_SHORT,"}, /* 7 < 8 */
      {0, 0, 0, 0, "vintage kettle mornings", ""},               /* the default maximum is 64 */
      {0, 64, 0, 0, "vintage kettle mornings vintage kettle mornings vintage kettle mornings", "TOO_LONG,"},
      {0, 100, 0, 0, "vintage kettle mornings vintage kettle mornings vintage kettle mornings", ""},
      {KLP_NIST_MULTI_FACTOR, 0, 0, 0, "password", "BLOCKLISTED,"},
      {KLP_NIST_MULTI_FACTOR | KLP_NIST_NO_COMMON_PASSWORDS, 0, 0, 0, "password", ""},
      {0, 0, 0, 1, "Zorbacorp-Portal", "BLOCKLISTED,"}, /* a context word, compared trimmed, in lower case */
      {0, 0, 0, 0, "Zorbacorp-Portal", ""},
      {0, 0, 4, 0, "aaaaaaaaaaaaaaaaaaaa", "TOO_WEAK,"},
      {0, 0, 0, 0, "aaaaaaaaaaaaaaaaaaaa", ""},
  };
  size_t i;
  char codes[256], what[160];
  klp_policy_t* policy = NULL;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    CHECK_STATUS(klp_policy_init_nist(&policy, cases[i].flags, cases[i].max_length, cases[i].min_score, context,
                                      cases[i].context_count),
                 KLP_OK);
    codes_of(policy, cases[i].password, codes, sizeof codes);
    sprintf(what, "nist row %u: '%.60s' gave '%.60s'", (unsigned)i, cases[i].password, codes);
    check(strcmp(codes, cases[i].expected) == 0, what, __LINE__);
    klp_policy_destroy(policy);
  }
  /* The words of a minimum strength and the user inputs count as likely guesses. */
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_min_strength(policy, 3, context, 1), KLP_OK);
  codes_of(policy, "zorbacorp-portal-2024", codes, sizeof codes);
  CHECK(strcmp(codes, "TOO_WEAK,") == 0);
  klp_policy_destroy(policy);
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  CHECK_STATUS(klp_policy_add_min_strength(policy, 3, NULL, 0), KLP_OK);
  codes_of(policy, "zorbacorp-portal-2024", codes, sizeof codes);
  CHECK(strcmp(codes, "") == 0);
  klp_policy_destroy(policy);
}

/* The strength a check made, under user inputs set or not. */
static double check_guesses(const char* const* words, size_t count) {
  klp_policy_t* policy = NULL;
  klp_check_result_t* result = NULL;
  klp_strength_t* strength = NULL;
  double guesses = -1;
  CHECK_STATUS(klp_policy_init(&policy), KLP_OK);
  if (count) CHECK_STATUS(klp_policy_set_user_inputs(policy, words, count), KLP_OK);
  CHECK_STATUS(klp_policy_check(policy, "zorbacorp-portal-2024", &result), KLP_OK);
  CHECK_STATUS(klp_check_result_strength(result, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, NULL, &guesses, NULL), KLP_OK);
  klp_strength_destroy(strength);
  klp_check_result_destroy(result);
  klp_policy_destroy(policy);
  return guesses;
}

static void test_strength_values(void) {
  /* Each attack's time is the guesses at its rate: no two named under each other's key. */
  static const double per_second[] = {100.0 / 3600, 10, 1e4, 1e10};
  static const char* words[] = {"zorbacorp-portal"};
  klp_strength_t* strength = NULL;
  double guesses = 0, seconds = 0, log10 = 0;
  int attack;
  char what[96];
  CHECK_STATUS(klp_strength_estimate("correct horse battery", NULL, 0, &strength), KLP_OK);
  CHECK_STATUS(klp_strength_values(strength, NULL, &guesses, &log10), KLP_OK);
  CHECK(guesses > 1e6 && log10 > 6.0 && log10 < 30.0);
  for (attack = 0; attack < 4; ++attack) {
    CHECK_STATUS(klp_strength_crack_time(strength, attack, &seconds, NULL, NULL), KLP_OK);
    sprintf(what, "attack %d: %g s for %g guesses", attack, seconds, guesses);
    check(seconds > 0.999 * guesses / per_second[attack] && seconds < 1.001 * guesses / per_second[attack], what,
          __LINE__);
  }
  klp_strength_destroy(strength);
  /* The texts too, each under its own attack: 101 guesses take an hour throttled, 10 seconds unthrottled. */
  CHECK_STATUS(klp_strength_estimate("pw", NULL, 0, &strength), KLP_OK);
  for (attack = 0; attack < 4; ++attack) {
    static const char* texts[] = {"1 hour", "10 seconds", "less than a second", "less than a second"};
    char text[64];
    size_t len = sizeof text;
    CHECK_STATUS(klp_strength_crack_time(strength, attack, NULL, text, &len), KLP_OK);
    check(strcmp(text, texts[attack]) == 0, text, __LINE__);
  }
  klp_strength_destroy(strength);
  CHECK(check_guesses(words, 1) < check_guesses(NULL, 0) / 100);
}

/* The Argon2id parameters a hash string names, "m=...,t=..." compared whole. */
static int hash_has(const char* hash, const char* cost) {
  char want[64];
  sprintf(want, "$%s,p=1$", cost);
  return strstr(hash, want) != NULL;
}

static void test_hash_costs(void) {
  static const struct {
    uint32_t memory, passes;
    const char* cost;
  } cases[] = {{0, 0, "m=65536,t=2"}, {2048, 0, "m=2048,t=2"}, {0, 1, "m=65536,t=1"}, {1024, 3, "m=1024,t=3"}};
  static const struct {
    uint32_t memory, passes;
    int status;
  } rehash[] = {{1024, 1, KLP_OK},           {512, 1, KLP_OK},
                {1024, 0, KLP_NEEDS_REHASH}, {0, 1, KLP_NEEDS_REHASH},
                {2048, 1, KLP_NEEDS_REHASH}, {1024, 2, KLP_NEEDS_REHASH}};
  char hash[KLP_HASH_MAX_BYTES], cheap[KLP_HASH_MAX_BYTES];
  size_t len, i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    len = sizeof hash;
    CHECK_STATUS(klp_hash_password("pw", cases[i].memory, cases[i].passes, hash, &len), KLP_OK);
    check(hash_has(hash, cases[i].cost), cases[i].cost, __LINE__);
    CHECK_STATUS(klp_verify_password(hash, "pw"), KLP_OK);
  }
  len = sizeof cheap;
  CHECK_STATUS(klp_hash_password("pw", 1024, 1, cheap, &len), KLP_OK);
  for (i = 0; i < sizeof rehash / sizeof rehash[0]; ++i)
    CHECK_STATUS(klp_needs_rehash(cheap, rehash[i].memory, rehash[i].passes), rehash[i].status);
}

/* The whole of a small file, NUL-terminated ("" when unreadable). */
static const char* file_text(const char* file) {
  static char text[8192];
  size_t n = 0;
  FILE* f = fopen(file, "rb");
  text[0] = '\0';
  if (!f) return text;
  n = fread(text, 1, sizeof text - 1, f);
  text[n] = '\0';
  fclose(f);
  return text;
}

static void test_users_costs(void) {
  /* The cost of new hashes, as the text file stores them; one of two left 0 takes its default. */
  static const struct {
    uint32_t memory, passes;
    const char* cost;
  } hash_costs[] = {{2048, 3, "m=2048,t=3"}, {2048, 0, "m=2048,t=2"}, {1024, 1, "m=1024,t=1"}};
  /* The cost of an encrypted file's master key, as its header says. */
  static const struct {
    uint32_t memory, passes, memory_out, passes_out;
  } file_costs[] = {{16384, 2, 16384, 2}, {8192, 0, 8192, 3}, {0, 1, 65536, 1}};
  klp_users_t* users = NULL;
  size_t i;
  uint32_t memory = 0, passes = 0;
  int32_t wrapped = -1;
  char what[64];
  for (i = 0; i < sizeof hash_costs / sizeof hash_costs[0]; ++i) {
    CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, NULL), KLP_OK);
    CHECK_STATUS(klp_users_set_hash_cost(users, hash_costs[i].memory, hash_costs[i].passes), KLP_OK);
    CHECK_STATUS(klp_users_create(users, path("costs.txt")), KLP_OK);
    CHECK_STATUS(klp_users_add(users, "alice", "alice pw", NULL), KLP_OK);
    CHECK_STATUS(klp_users_save(users), KLP_OK);
    check(hash_has(file_text(path("costs.txt")), hash_costs[i].cost), hash_costs[i].cost, __LINE__);
    klp_users_destroy(users);
  }
  for (i = 0; i < sizeof file_costs / sizeof file_costs[0]; ++i) {
    CHECK_STATUS(klp_users_init(&users, KLP_USERS_ENCRYPTED, "db master"), KLP_OK);
    CHECK_STATUS(klp_users_set_file_cost(users, file_costs[i].memory, file_costs[i].passes), KLP_OK);
    CHECK_STATUS(klp_users_create(users, path("costs.db")), KLP_OK);
    klp_users_destroy(users);
    CHECK_STATUS(klp_file_info(path("costs.db"), NULL, NULL, NULL, &memory, &passes), KLP_OK);
    sprintf(what, "file cost row %u: %u KiB, %u passes", (unsigned)i, (unsigned)memory, (unsigned)passes);
    check(memory == file_costs[i].memory_out && passes == file_costs[i].passes_out, what, __LINE__);
  }
  /* The upgrade wraps every old SHA-256 hash, saves, and the wrapped ones verify. */
  write_file(path("old.txt"),
             "2\n1:alice:000102030405060708090A0B0C0D0E0F:"
             "67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C\n"
             "2:bob:000102030405060708090A0B0C0D0E0F:"
             "67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C\n");
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, NULL), KLP_OK);
  CHECK_STATUS(klp_users_set_hash_cost(users, 1024, 1), KLP_OK);
  CHECK_STATUS(klp_users_open(users, path("old.txt"), 0), KLP_OK);
  CHECK_STATUS(klp_users_upgrade(users, &wrapped), KLP_OK);
  CHECK(wrapped == 2);
  klp_users_destroy(users);
  CHECK(strstr(file_text(path("old.txt")), "67557C0D") == NULL && hash_has(file_text(path("old.txt")), "m=1024,t=1"));
  CHECK_STATUS(klp_users_init(&users, KLP_USERS_TEXT, NULL), KLP_OK);
  CHECK_STATUS(klp_users_open(users, path("old.txt"), 0), KLP_OK);
  CHECK_STATUS(klp_users_verify(users, "bob", "secret"), KLP_OK);
  CHECK_STATUS(klp_users_verify(users, "alice", "Secret"), KLP_NO_MATCH);
  klp_users_destroy(users);
}

static void test_vault_options(void) {
  static const struct {
    int field;
    const char* value;
  } fields[] = {{KLP_FIELD_TITLE, "T\xc3\xadtulo"}, {KLP_FIELD_USERNAME, "user-1"},
                {KLP_FIELD_PASSWORD, "pw-1"},       {KLP_FIELD_URL, "https://one.example"},
                {KLP_FIELD_NOTE, "note\nline two"}, {KLP_FIELD_GROUP, "Group One"}};
  /* Search: field, match, value, then the places found (count first). */
  static const struct {
    int field, match;
    const char* value;
    size_t count, first;
  } searches[] = {
      {KLP_FIELD_TITLE, KLP_MATCH_CONTAINS, "ank", 1, 1},    {KLP_FIELD_TITLE, KLP_MATCH_EQUALS, "ank", 0, 0},
      {KLP_FIELD_TITLE, KLP_MATCH_EQUALS, "Bank", 1, 1},     {KLP_FIELD_TITLE, KLP_MATCH_NOT_EQUALS, "Bank", 1, 0},
      {KLP_FIELD_USERNAME, KLP_MATCH_EQUALS, "bob", 1, 1},   {KLP_FIELD_URL, KLP_MATCH_CONTAINS, "nowhere", 0, 0},
      {KLP_FIELD_NOTE, KLP_MATCH_CONTAINS, "PIN", 1, 1},     {KLP_FIELD_PASSWORD, KLP_MATCH_EQUALS, "m-pw", 1, 0},
      {KLP_FIELD_USERNAME, KLP_MATCH_EQUALS, "nobody", 0, 0}};
  static const struct {
    uint32_t memory, passes, memory_out, passes_out;
  } costs[] = {{16384, 2, 16384, 2}, {8192, 0, 8192, 2}}; /* 0: the file's own */
  klp_vault_t* vault = NULL;
  size_t i, count, found[4], len;
  char text[64], what[96];
  uint32_t memory = 0, passes = 0;
  CHECK_STATUS(klp_vault_init(&vault), KLP_OK);
  CHECK_STATUS(klp_vault_set_file_cost(vault, 8192, 1), KLP_OK);
  CHECK_STATUS(klp_vault_create(vault, path("fields.vault"), "m"), KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "Mail", "alice", "m-pw", "https://mail.example", NULL, NULL, NULL), KLP_OK);
  CHECK_STATUS(klp_vault_add(vault, "Bank", "bob", "b-pw", NULL, "PIN 1234", "Money", NULL), KLP_OK);
  for (i = 0; i < sizeof searches / sizeof searches[0]; ++i) {
    count = 4;
    found[0] = 99;
    CHECK_STATUS(klp_vault_search(vault, searches[i].field, searches[i].match, searches[i].value, found, &count),
                 KLP_OK);
    sprintf(what, "search row %u: %u found, the first %u", (unsigned)i, (unsigned)count, (unsigned)found[0]);
    check(count == searches[i].count && (count == 0 || found[0] == searches[i].first), what, __LINE__);
  }
  count = 4;
  CHECK_STATUS(klp_vault_list(vault, "Nowhere", found, &count), KLP_OK);
  CHECK(count == 0);
  /* Each field read back as written. */
  for (i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
    len = sizeof text;
    CHECK_STATUS(klp_vault_set_field(vault, 0, fields[i].field, fields[i].value), KLP_OK);
    CHECK_STATUS(klp_vault_get_field(vault, 0, fields[i].field, text, &len), KLP_OK);
    check(strcmp(text, fields[i].value) == 0, fields[i].value, __LINE__);
  }
  CHECK_STATUS(klp_vault_save(vault), KLP_OK);
  klp_vault_destroy(vault);
  CHECK_STATUS(klp_file_info(path("fields.vault"), NULL, NULL, NULL, &memory, &passes), KLP_OK);
  CHECK(memory == 8192 && passes == 1); /* the create kept the cost set before it */
  CHECK_STATUS(klp_vault_init(&vault), KLP_OK);
  CHECK_STATUS(klp_vault_open(vault, path("fields.vault"), "m", 0), KLP_OK);
  for (i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
    len = sizeof text;
    CHECK_STATUS(klp_vault_get_field(vault, 0, fields[i].field, text, &len), KLP_OK);
    check(strcmp(text, fields[i].value) == 0, fields[i].value, __LINE__);
  }
  /* A spreadsheet-safe export defuses a formula; a plain one keeps it. */
  CHECK_STATUS(klp_vault_set_field(vault, 1, KLP_FIELD_NOTE, "=1+2"), KLP_OK);
  CHECK_STATUS(klp_vault_export(vault, path("plain.csv"), KLP_FORMAT_CSV, 0), KLP_OK);
  CHECK(strstr(file_text(path("plain.csv")), ",=1+2") != NULL ||
        strstr(file_text(path("plain.csv")), "\"=1+2") != NULL);
  CHECK_STATUS(klp_vault_export(vault, path("safe.csv"), KLP_FORMAT_CSV, KLP_EXPORT_SPREADSHEET_SAFE), KLP_OK);
  CHECK(strstr(file_text(path("safe.csv")), ",=1+2") == NULL && strstr(file_text(path("safe.csv")), "\"=1+2") == NULL);
  klp_vault_destroy(vault);
  /* An upgrade with a cost saves the file at that cost; one left 0 takes its default. */
  for (i = 0; i < sizeof costs / sizeof costs[0]; ++i) {
    CHECK_STATUS(klp_vault_upgrade(path("fields.vault"), "m", costs[i].memory, costs[i].passes), KLP_OK);
    CHECK_STATUS(klp_file_info(path("fields.vault"), NULL, NULL, NULL, &memory, &passes), KLP_OK);
    sprintf(what, "upgrade row %u: %u KiB, %u passes", (unsigned)i, (unsigned)memory, (unsigned)passes);
    check(memory == costs[i].memory_out && passes == costs[i].passes_out, what, __LINE__);
  }
  CHECK_STATUS(klp_vault_init(&vault), KLP_OK);
  CHECK_STATUS(klp_vault_open(vault, path("fields.vault"), "m", 0), KLP_OK);
  CHECK_STATUS(klp_vault_count(vault, &count), KLP_OK);
  CHECK(count == 2);
  klp_vault_destroy(vault);
}

static void test_generator_options(void) {
  /* An option, its value, the characters it governs, and how many of 40 must be among them (-1: none). */
  static const struct {
    int option;
    int32_t value;
    const char* set;
    int at_least;
  } rows[] = {{KLP_GEN_USE_UPPERCASE, 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", -1},
              {KLP_GEN_USE_LOWERCASE, 0, "abcdefghijklmnopqrstuvwxyz", -1},
              {KLP_GEN_USE_DIGITS, 0, "0123456789", -1},
              {KLP_GEN_USE_SYMBOLS, 0, "~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?", -1},
              {KLP_GEN_MIN_UPPERCASE, 16, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 16},
              {KLP_GEN_MIN_LOWERCASE, 16, "abcdefghijklmnopqrstuvwxyz", 16},
              {KLP_GEN_MIN_DIGITS, 8, "0123456789", 8},
              {KLP_GEN_MIN_SYMBOLS, 16, "~`!@#$%^&*()_-+={}[]:;\"'\\|,<.>/?", 16},
              {KLP_GEN_EXCLUDE_LOOKALIKES, 1, "0Oo1Il|`'\"", -1}};
  /* Defaults as documented, and every option read back as set. */
  static const struct {
    int option;
    int32_t initial, set;
  } values[] = {{KLP_GEN_USE_UPPERCASE, 1, 0},    {KLP_GEN_USE_LOWERCASE, 1, 0},    {KLP_GEN_USE_DIGITS, 1, 0},
                {KLP_GEN_USE_SYMBOLS, 1, 0},      {KLP_GEN_USE_SPACE, 0, 1},        {KLP_GEN_USE_CUSTOM, 0, 1},
                {KLP_GEN_MIN_UPPERCASE, 0, 5},    {KLP_GEN_MIN_LOWERCASE, 0, 6},    {KLP_GEN_MIN_DIGITS, 0, 7},
                {KLP_GEN_MIN_SYMBOLS, 0, 8},      {KLP_GEN_DEFAULT_LENGTH, 16, 21}, {KLP_GEN_ITERATIONS, 500, 77},
                {KLP_GEN_PASSPHRASE_WORDS, 6, 9}, {KLP_GEN_PASSPHRASE_EXTRA, 0, 2}};
  klp_generator_t* generator = NULL;
  char* password = NULL;
  char* other = NULL;
  size_t i;
  int32_t value = -1;
  int draw;
  char what[96];
  for (i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    CHECK_STATUS(klp_generator_init(&generator), KLP_OK);
    CHECK_STATUS(klp_generator_set_option(generator, rows[i].option, rows[i].value), KLP_OK);
    for (draw = 0; draw < 5; ++draw) {
      CHECK_STATUS(klp_generator_generate(generator, 40, 40, &password), KLP_OK);
      if (!password) break;
      sprintf(what, "option %d = %d: %d of the set", rows[i].option, (int)rows[i].value,
              count_of(password, rows[i].set));
      check(rows[i].at_least < 0 ? count_of(password, rows[i].set) == 0
                                 : count_of(password, rows[i].set) >= rows[i].at_least,
            what, __LINE__);
      klp_secret_free(password);
    }
    klp_generator_destroy(generator);
  }
  CHECK_STATUS(klp_generator_init(&generator), KLP_OK);
  for (i = 0; i < sizeof values / sizeof values[0]; ++i) {
    CHECK_STATUS(klp_generator_get_option(generator, values[i].option, &value), KLP_OK);
    sprintf(what, "option %d: default %d", values[i].option, (int)value);
    check(value == values[i].initial, what, __LINE__);
  }
  for (i = 0; i < sizeof values / sizeof values[0]; ++i)
    CHECK_STATUS(klp_generator_set_option(generator, values[i].option, values[i].set), KLP_OK);
  for (i = 0; i < sizeof values / sizeof values[0]; ++i) {
    CHECK_STATUS(klp_generator_get_option(generator, values[i].option, &value), KLP_OK);
    sprintf(what, "option %d: read back %d", values[i].option, (int)value);
    check(value == values[i].set, what, __LINE__);
  }
  klp_generator_destroy(generator);
  /* The default length, the word count, the extra and the iterations each change what comes out. */
  CHECK_STATUS(klp_generator_init(&generator), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_DEFAULT_LENGTH, 21), KLP_OK);
  CHECK_STATUS(klp_generator_generate(generator, 0, 0, &password), KLP_OK);
  CHECK(password && strlen(password) == 21);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", 0, &password), KLP_OK);
  CHECK(password && strlen(password) == 21);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_set_text(generator, KLP_GEN_PASSPHRASE_SEPARATOR, " "), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_PASSPHRASE_WORDS, 3), KLP_OK);
  CHECK_STATUS(klp_generator_passphrase(generator, 0, &password), KLP_OK);
  CHECK(password && count_of(password, " ") == 2 && count_of(password, "0123456789") == 0);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_PASSPHRASE_EXTRA, 1), KLP_OK);
  CHECK_STATUS(klp_generator_passphrase(generator, 0, &password), KLP_OK);
  CHECK(password && count_of(password, "0123456789") >= 1);
  klp_secret_free(password);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_ITERATIONS, 10), KLP_OK);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", 16, &password), KLP_OK);
  CHECK_STATUS(klp_generator_set_option(generator, KLP_GEN_ITERATIONS, 11), KLP_OK);
  CHECK_STATUS(klp_generator_derive(generator, "master", "example.com", 16, &other), KLP_OK);
  CHECK(password && other && strcmp(password, other) != 0);
  klp_secret_free(other);
  CHECK_STATUS(klp_generator_derive(generator, "master2", "example.com", 16, &other), KLP_OK);
  CHECK(password && other && strcmp(password, other) != 0);
  klp_secret_free(other);
  klp_secret_free(password);
  klp_generator_destroy(generator);
}

/* A check in a language gives the library's texts in it, English where it has
 * none; the user's attributes are refused with the name the caller gave. */
static void test_policy_in_a_language(void) {
  static const char* names[] = {"Benutzername", "E-Mail-Adresse"};
  static const char* values[] = {"alice", "alice@example.com"};
  static const struct {
    const char* lang;
    const char* password;
    const char* message;
  } cases[] = {
      {"de", "Schmetterling1", "Das Passwort muss mindestens 15 Zeichen lang sein; es hat 14."},
      {"xx", "Schmetterling1", "The password must be at least 15 characters long; it has 14."},
      {"de", "alice-alice-2024-x", "Das Passwort ist dem Feld \xe2\x80\x9e" "Benutzername\xe2\x80\x9c zu \xc3\xa4hnlich."},
      {"en", "admin@example.com-admin-x", NULL},
  };
  size_t i;
  klp_policy_t* policy = NULL;
  CHECK_STATUS(klp_policy_init_nist(&policy, 0, 0, 0, NULL, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_user_attributes(policy, names, values, 2, 0), KLP_OK);
  CHECK_STATUS(klp_policy_add_user_attributes(policy, names, values, 2, 1.5), KLP_ERROR_INVALID_ARGUMENT);
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    klp_check_result_t* result = NULL;
    char message[256];
    size_t len = sizeof message;
    const int status = klp_policy_check_lang(policy, cases[i].password, cases[i].lang, &result);
    CHECK(status == KLP_CHECK_FAILED);
    if (cases[i].message) {
      CHECK_STATUS(klp_check_result_failure_message(result, 0, 0, message, &len), KLP_OK);
      check(strcmp(message, cases[i].message) == 0, message, __LINE__);
    }
    klp_check_result_destroy(result);
  }
  CHECK_STATUS(klp_policy_check_lang(policy, "x", NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
  klp_policy_destroy(policy);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: capi_test WORK_FOLDER DATA_FOLDER\n");
    return 2;
  }
  work = argv[1];
  data = argv[2];
  test_status_version_and_errors();
  test_text_inputs();
  test_buffers();
  test_policy_codes();
  test_policy_refusals();
  test_check_result();
  test_blocklist_files();
  test_strength();
  test_generator();
  test_hashes();
  test_users();
  test_vault();
  test_vault_kdbx();
  test_protection();
  test_policy_options();
  test_strength_values();
  test_hash_costs();
  test_users_costs();
  test_vault_options();
  test_generator_options();
  test_policy_in_a_language();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
