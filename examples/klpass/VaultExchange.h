#pragma once

#include <string>
#include <vector>

#include "foundation/Types.h"

namespace kl {
class TKLPassStorage;
}

// The vault's moves in and out: "vault export" and "vault import" (the words
// after the action), run by the vault subcommand.
namespace klpass {

int VaultExport(const std::vector<std::string>& Words);
int VaultImport(const std::vector<std::string>& Words);
// Whether KDBX files load whatever their key derivation costs
// (--accept-kdf-cost, taken by every vault action); otherwise the library's
// default limit refuses a costlier file before deriving anything.
void SetAcceptKdfCost(bool Value) noexcept;
// Gives Store the KDBX cost limit the command line chose: none with
// --accept-kdf-cost, else KLPASS_KDF_COST_LIMIT when set, else the library's.
void ApplyKdfCostChoice(kl::TKLPassStorage& Store);
// A KDBX key file's bytes (at most 16 MiB); fails with klpass's file error.
kl::ByteArray ReadKeyFile(const std::string& File);

// The lines of the vault subcommand's usage text for the two actions.
#define KLPASS_VAULT_EXCHANGE_USAGE                                                          \
  "  vault export FILE [--format csv|json|bitwarden-json|...] [--out PATH [--force]]\n"      \
  "            [--spreadsheet-safe]\n"                                                       \
  "  vault export FILE --format kdbx --out PATH.kdbx [--key-file F] [--iterations N]\n"      \
  "            [--memory MIB]\n"                                                             \
  "  vault import FILE SOURCE [--format auto|csv|keepassxc-csv|bitwarden-csv|browser-csv|\n" \
  "            json|bitwarden-json] [--group G] [--keep-recycled]\n"                         \
  "  vault import FILE SOURCE.kdbx [--key-file F] [--keep-recycled]\n"

#define KLPASS_VAULT_EXCHANGE_HELP                                                         \
  "      'export' writes every record in clear (JSON unless --format says otherwise) to\n" \
  "      standard output or to --out PATH (readable by its owner only); 'import' adds\n"   \
  "      every record of SOURCE or, on any fault, none, recognising its layout unless\n"   \
  "      --format names it; --group G puts them all in group G. A group path\n"            \
  "      'A/B' is kept as nested groups ('\\/' for a '/' within a name). Entries of a\n"  \
  "      recycle bin (KeePassXC's CSV, a KDBX file) are left out (and counted)\n"          \
  "      unless --keep-recycled. A KDBX file (KeePass, KeePassXC) is imported\n"           \
  "      with its records' histories and deletions, or exported as KDBX 4\n"               \
  "      with Argon2id (64 MiB, iterations timed to about a second); every vault\n"        \
  "      command also works on a FILE.kdbx itself (key file: KLPASS_KEY_FILE).\n"          \
  "      A KDBX file whose key derivation costs more than sixteen times a default\n"       \
  "      one-second derivation is refused unread (exit status 4) unless the vault\n"       \
  "      action is given --accept-kdf-cost: its header, which anyone who can write\n"      \
  "      the file controls, could otherwise keep klpass deriving for days.\n"

} // namespace klpass
