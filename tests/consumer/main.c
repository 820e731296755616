/* A C program built against the installed library through pkg-config's
 * klpassword-c: the header as <klpassword.h>, no C++ flags. */
#include <stdio.h>
#include <string.h>

#include <klpassword.h>

int main(void) {
  klp_strength_t* strength = NULL;
  int32_t score = -1;
  const int ok = klp_abi_version() == KLP_ABI_VERSION && strchr(klp_version(), '.') != NULL &&
                 klp_strength_estimate("password", NULL, 0, &strength) == KLP_OK &&
                 klp_strength_values(strength, &score, NULL, NULL) == KLP_OK && score == 0;
  klp_strength_destroy(strength);
  printf("C consumer: klpassword %s, ABI %ld\n", klp_version(), klp_abi_version());
  return ok ? 0 : 1;
}
