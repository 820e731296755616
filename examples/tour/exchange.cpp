// Moving records into a vault from another manager's export, and out again.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "foundation/KLGeneral.h"
#include "passstorage/KLPassExchange.h"

int main() {
  // A browser's export (the layout is recognised from the header line).
  std::ofstream("passwords.csv") << "name,url,username,password,note\n"
                                    "GitHub,https://github.com,alice,\"gh,secret\",\n";
  kl::TKLPassStorage vault;
  const kl::TKLImportReport report = kl::ImportPassRecordsFromFile(vault, u"passwords.csv", {kl::exAuto, u"Web"});
  std::printf("%d record(s) from %s\n", report.Added, kl::ExchangeFormatName(report.Format));

  // Out again, in the library's own JSON, which keeps every field; the file is
  // readable by its owner only, since it holds the passwords in clear.
  kl::ExportPassRecordsToFile(vault, u"vault.json", {kl::exJson});
  kl::TKLPassStorage copy;
  kl::ImportPassRecordsFromFile(copy, u"vault.json");
  const bool same = copy.GetRecord(0)->GetPassword() == u"gh,secret" && copy.GetRecord(0)->GetGroup() == u"Web";
  std::filesystem::remove("passwords.csv");
  std::filesystem::remove("vault.json");
  return report.Added == 1 && same ? 0 : 1;
}
