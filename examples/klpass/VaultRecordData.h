#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "passstorage/KLPassStorage.h"

namespace klpass {

// The options of 'vault add' and 'vault edit' for what a record carries beside
// its texts: custom fields, tags, expiry and attachments.
inline constexpr std::array<TOptionSpec, 7> kRecordDataOptions = {{{"--field", true},
                                                                   {"--remove-field", true},
                                                                   {"--tag", true},
                                                                   {"--untag", true},
                                                                   {"--expires", true},
                                                                   {"--attach", true},
                                                                   {"--detach", true}}};

#define KLPASS_RECORD_DATA_USAGE                                                     \
  "            [--field NAME=VALUE | --field NAME]... [--tag T]... [--expires DATE|never]\n" \
  "            [--attach FILE]...\n"

// What those options ask, checked and read (attachments included) before any
// secret is asked, so that a bad option or file costs nothing.
class TRecordDataChanges {
public:
  explicit TRecordDataChanges(const TArguments& Args);
  ~TRecordDataChanges();
  TRecordDataChanges(const TRecordDataChanges&) = delete;
  TRecordDataChanges& operator=(const TRecordDataChanges&) = delete;

  // Reads the values of fields named without "=" as secrets (after the
  // passwords), then applies every change to Record; a refused change is
  // explained and nothing is saved.
  void Apply(kl::TKLPassRecord& Record);

private:
  struct TField {
    std::string Name;
    std::string Value;
    bool Secret = false; // read when applied
  };
  std::vector<TField> FFields;
  std::vector<std::string> FRemovedFields;
  std::vector<std::string> FTags;
  std::vector<std::string> FUntags;
  bool FSetExpiry = false;
  std::int64_t FExpiry = 0; // 0 with FSetExpiry: never
  std::vector<std::pair<std::string, kl::ByteArray>> FAttachments;
  std::vector<std::string> FDetached;
};

// The record's UUID, tags, expiry, custom fields (protected values masked
// unless Reveal) and attachments (names and sizes), as lines of 'vault show'
// or as JSON members (",\"uuid\":..." without braces).
void PrintRecordData(kl::TKLPassRecord& Record, bool Reveal);
std::string RecordDataJson(kl::TKLPassRecord& Record, bool Reveal);

// A date "YYYY-MM-DD" or "YYYY-MM-DD HH:MM[:SS]" (or with 'T') as the vault's
// clock counts it.
std::int64_t ParseVaultDate(const std::string& Text);

} // namespace klpass
