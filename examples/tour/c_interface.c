/* The library from C: a policy check with its failures, a generated password,
 * and a password hash. Every call returns a status; secrets are freed wiped. */
#include <stdio.h>
#include <string.h>

#include "capi/klpassword.h"

int main(void) {
  klp_policy_t* policy = NULL;
  klp_check_result_t* result = NULL;
  klp_generator_t* generator = NULL;
  char* password = NULL;
  char code[64], hash[KLP_HASH_MAX_BYTES];
  size_t count = 0, i, len;
  int status, ok;

  if (klp_policy_init_nist(&policy, 0, 0, 0, NULL, 0) != KLP_OK) return 1;
  status = klp_policy_check(policy, "Password", &result); /* KLP_CHECK_FAILED */
  klp_check_result_failure_count(result, &count);
  for (i = 0; i < count; ++i) {
    len = sizeof code; /* in: the buffer's size; out: the bytes written, NUL included */
    if (klp_check_result_failure_code(result, i, code, &len) == KLP_OK) printf("%s\n", code);
  }
  klp_check_result_destroy(result);
  klp_policy_destroy(policy);

  klp_generator_init(&generator);
  klp_generator_set_option(generator, KLP_GEN_EXCLUDE_LOOKALIKES, 1);
  if (klp_generator_generate(generator, 20, 20, &password) != KLP_OK) {
    fprintf(stderr, "%s: %s\n", klp_status_message(status), klp_last_error());
    return 1;
  }
  len = sizeof hash;
  ok = klp_hash_password(password, 0, 0, hash, &len) == KLP_OK && klp_verify_password(hash, password) == KLP_OK &&
       klp_verify_password(hash, "guess") == KLP_NO_MATCH;
  printf("%d failures; %d-character password; hash %.30s...\n", (int)count, (int)strlen(password), hash);
  klp_secret_free(password); /* overwritten, then freed */
  klp_generator_destroy(generator);
  return status == KLP_CHECK_FAILED && count == 2 && ok ? 0 : 1;
}
