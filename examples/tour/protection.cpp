// A password protected for the current user (or the machine) on disk.
#include <cstdio>

#include "passwords/KLPasswords.h"

int main() {
  kl::TKLPassword password(u"service account secret");
  password.SetShared(false);                  // true binds it to the machine instead of the user
  const kl::ByteArray blob = password.Save(); // encrypted and authenticated

  kl::TKLPassword restored;
  restored.SetValue(restored.Load(blob)); // fails on any change to the blob
  std::printf("%zu bytes protected; restored: %d\n", blob.size(), restored.GetValue() == password.GetValue());
  return restored.GetValue() == password.GetValue() ? 0 : 1;
}
