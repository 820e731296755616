// The same program on Linux and Windows: a secret protected for the current
// user (Windows: CryptProtectData; Linux: the library's own key store) in a file
// whose name is not ASCII (UTF-16 file names throughout), and a policy check.
#include <cstdio>
#include <filesystem>

#include "passwords/KLPasswords.h"
#include "rules/KLPolicies.h"

int main() {
  const kl::String file = u"Geheimnis-\u00e4\u00f6\u00fc.pw";
  kl::TKLPassword secret(u"service account secret");
  secret.SetShared(false); // bound to this user; true binds it to the machine
  secret.SaveToFile(file); // atomic; readable by its owner only

  kl::TKLPassword restored;
  restored.LoadFromFile(file); // fails on any change to the file
  const bool same = restored.GetValue() == secret.GetValue();
  const bool refused = !kl::CreateNistPolicy()->GetFailures(u"Password1").empty();
  std::printf("restored: %d, weak password refused: %d\n", same, refused);
  std::filesystem::remove(std::filesystem::path(std::u16string(file)));
  return same && refused ? 0 : 1;
}
