// A password-manager vault: records in groups, saved encrypted, searched.
#include <cstdio>
#include <filesystem>

#include "foundation/KLGeneral.h"
#include "passstorage/KLPassStorage.h"

int main() {
  const kl::String file = u"tour.vault";
  {
    kl::TKLPassStorage vault; // owns its records
    vault.Add(u"GitHub", u"alice", u"gh-secret", u"https://github.com", u"", u"Work");
    vault.Add(u"Bank", u"alice99", u"bank-secret", u"https://bank.example", u"PIN elsewhere", u"Personal");
    vault.SaveToFile(file, u"vault master password");
  }
  kl::TKLPassStorage vault;
  vault.LoadFromFile(file, u"vault master password");
  kl::TPointerList<kl::TKLPassRecord> found; // refers to records the vault still owns
  vault.Search(kl::spURL, kl::seContains, u"github", found);
  for (std::int32_t i = 0; i < found.GetCount(); ++i) {
    std::printf("%s: %s\n", kl::StrToUTF8(found.Get(i)->GetTitle()).c_str(),
                kl::StrToUTF8(found.Get(i)->GetUsername()).c_str());
  }
  std::filesystem::remove("tour.vault");
  return found.GetCount() == 1 && vault.GetCount() == 2 ? 0 : 1;
}
