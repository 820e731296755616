#pragma once

#include <string>
#include <vector>

// The vault's moves in and out: "vault export" and "vault import" (the words
// after the action), run by the vault subcommand.
namespace klpass {

int VaultExport(const std::vector<std::string>& Words);
int VaultImport(const std::vector<std::string>& Words);

// The lines of the vault subcommand's usage text for the two actions.
#define KLPASS_VAULT_EXCHANGE_USAGE                                                          \
  "  vault export FILE [--format csv|json|bitwarden-json|...] [--out PATH [--force]]\n"      \
  "            [--spreadsheet-safe]\n"                                                       \
  "  vault import FILE SOURCE [--format auto|csv|keepassxc-csv|bitwarden-csv|browser-csv|\n" \
  "            json|bitwarden-json] [--group G] [--keep-recycled]\n"

#define KLPASS_VAULT_EXCHANGE_HELP                                                         \
  "      'export' writes every record in clear (JSON unless --format says otherwise) to\n" \
  "      standard output or to --out PATH (readable by its owner only); 'import' adds\n"   \
  "      every record of SOURCE or, on any fault, none, recognising its layout unless\n"   \
  "      --format names it; --group G puts them all in group G. A '/' in a group path\n"   \
  "      becomes U+2215 in the vault and '/' again on the way out. Entries of\n"       \
  "      KeePassXC's recycle bin are left out (and counted) unless --keep-recycled.\n"

} // namespace klpass
