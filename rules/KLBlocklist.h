#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Types.h"
#include "rules/KLRules.h"

namespace kl {

namespace detail {
class TReadOnlyFile;
}

// Raised for a list or compiled file that cannot be used; beneath EKLException.
KL_DECLARE_EXCEPTION(EKLBlocklistError, EKLException);

inline constexpr std::size_t kSHA1DigestSize = 20;
// Longest line a list file may hold; a longer one is refused as not a list.
inline constexpr std::size_t kBlocklistMaxLineSize = 4096;
// Entries a compiler holds in memory before it moves them to temporary files
// (8 bytes each: 512 MB).
inline constexpr std::uint64_t kBlocklistDefaultMemoryLimit = std::uint64_t{1} << 26;

inline constexpr const char* SBlocklistFileInvalid = "The file is not a compiled blocklist, or it is damaged";
inline constexpr const char* SBlocklistBadHashLine =
    "The list holds a line that is not a SHA-1 hash in hex (HASH or HASH:COUNT)";
inline constexpr const char* SBlocklistLineTooLong = "The list holds a line longer than 4096 bytes";
inline constexpr const char* SBlocklistFilterIsEmpty = "Cannot add an empty filter reference to a blocklist rule";
inline constexpr const char* SBlocklistWorkFileDamaged = "A work file of the blocklist compiler is damaged";
inline constexpr const char* SBlocklistTooLarge = "The list holds more entries than a blocklist can take";

// How a list file reads: one password a line, or one SHA-1 hash a line in hex
// (either case), optionally followed by ":COUNT", as breached-password services
// publish them; bfDetect takes hashes when the first non-empty line is one.
// Both are UTF-8 text, lines ended by LF or CRLF.
enum class TKLBlocklistFormat : std::uint8_t { bfPasswords, bfSHA1Hashes, bfDetect };

// The form in which a blocklist compares passwords: the Unicode NFKC form
// (the form the user databases hash), white space around it trimmed,
// upper-case letters of the Latin, Greek and Cyrillic alphabets turned to
// lower case. Nothing else changes.
KL_API String BlocklistForm(const String& Password);

// Builds the compact file of fingerprints that TKLBlocklistFilter maps, from
// passwords (taken in their blocklist form) and SHA-1 hashes. It holds up to
// MemoryLimit entries (8 bytes each) in memory and moves the rest, sorted, to
// temporary files in WorkFolder (the system's temporary folder when empty),
// removed when the compiler goes; so a list of any size builds in bounded
// memory. SaveToFile replaces the file atomically and may be called again.
// One thread at a time.
class KL_API TKLBlocklistCompiler {
public:
  // Told how far a long step has come: the bytes of a list file read so far
  // and its size (bsReading), or the work files or the held entries written
  // so far and how many (bsWriting). Called about once a MiB or a work file;
  // it must not throw.
  enum TStage { bsReading, bsWriting };
  using TProgress = std::function<void(TStage Stage, std::uint64_t Done, std::uint64_t Total)>;
  void SetProgress(TProgress Value) { FProgress = std::move(Value); }

  TKLBlocklistCompiler();
  ~TKLBlocklistCompiler();
  TKLBlocklistCompiler(const TKLBlocklistCompiler&) = delete;
  TKLBlocklistCompiler& operator=(const TKLBlocklistCompiler&) = delete;

  // Both take effect for entries added afterwards.
  const String& GetWorkFolder() const noexcept { return FWorkFolder; }
  void SetWorkFolder(const String& Value) { FWorkFolder = Value; }
  std::uint64_t GetMemoryLimit() const noexcept { return FMemoryLimit; }
  void SetMemoryLimit(std::uint64_t Entries) noexcept { FMemoryLimit = Entries > 0 ? Entries : 1; }

  void AddPassword(const String& Password);
  void AddSHA1(const std::uint8_t (&Digest)[kSHA1DigestSize]);
  // Adds every line of the file; a malformed hash line or an overlong line
  // raises EKLBlocklistError naming the line, and nothing of that file is kept.
  void AddListFile(const String& FileName, TKLBlocklistFormat Format);

  // Entries added so far, duplicates included.
  std::uint64_t GetCount() const noexcept { return FCount; }
  void SaveToFile(const String& FileName);

private:
  struct TSpill;

  void AddKey(std::uint64_t Key);
  void Spill();

  std::vector<std::uint64_t> FKeys; // the entries held in memory
  std::uint64_t FCount = 0;
  std::uint64_t FMemoryLimit;
  String FWorkFolder;
  std::unique_ptr<TSpill> FSpill;
  std::size_t FListStart; // where the entries of the list being added begin in FKeys, or none
  bool FHasPasswords = false;
  bool FHasHashes = false;
  TProgress FProgress;
};

// Compiled blocklist files up to this size are read whole into the process's
// memory on open (about 28 million entries); larger ones are read at each look-up.
inline constexpr std::uint64_t kBlocklistDefaultInMemorySize = std::uint64_t{1} << 26;

// A compiled blocklist file, checked whole on open: a file that is not one, or
// whose sizes and offsets do not agree, is refused with EKLBlocklistError
// (SBlocklistFileInvalid) before anything is looked up. A file of at most
// InMemorySize bytes is read into private memory, and a look-up costs three
// memory reads; a larger one is kept open, and a look-up costs three positional
// reads of it (served by the system's page cache, shared between processes),
// about a microsecond. Neither is a mapping of the file, so a file changed or
// cut short after opening gives wrong answers, never a crash: a fingerprint
// that can no longer be read counts as a match, so the password is refused. A
// password that is not in the list is reported as in it with probability
// 2^-16. May be shared between threads.
class KL_API TKLBlocklistFilter {
public:
  explicit TKLBlocklistFilter(const String& FileName, std::uint64_t InMemorySize = kBlocklistDefaultInMemorySize);
  ~TKLBlocklistFilter();
  TKLBlocklistFilter(const TKLBlocklistFilter&) = delete;
  TKLBlocklistFilter& operator=(const TKLBlocklistFilter&) = delete;

  // Distinct entries in the file.
  std::uint64_t GetCount() const noexcept { return FCount; }
  // Whether the list was compiled from breached-password hashes (as opposed to
  // passwords only).
  bool GetHoldsBreachedHashes() const noexcept { return FHoldsHashes; }
  const String& GetFileName() const noexcept { return FFileName; }

  // The password in its blocklist form, and, when that differs, as typed but
  // trimmed (hash lists are of passwords exactly as they were used).
  bool Contains(const String& Password) const;
  bool ContainsSHA1(const std::uint8_t (&Digest)[kSHA1DigestSize]) const noexcept;

private:
  struct TShard {
    std::uint64_t Seed;
    std::uint32_t SegmentLength;
    std::uint32_t SegmentCount;
    std::uint32_t ArrayLength;
    std::uint64_t Offset; // of the fingerprints in the file
  };

  bool ContainsKey(std::uint64_t Key) const noexcept;

  String FFileName;
  std::unique_ptr<detail::TReadOnlyFile> FFile; // null when the file is held in FData
  std::vector<std::uint8_t> FData;
  std::vector<TShard> FShards;
  std::uint64_t FCount = 0;
  bool FHoldsHashes = false;
};

// False when the password, in its blocklist form, is on a list: the library's
// list of 30,000 common passwords (unless switched off), the application's own
// words, or compiled filter files. A password found in a filter compiled from
// breached-password hashes fails with kBreached, any other with kBlocklisted;
// the parameter "list" names the list. Must not change while another thread
// validates.
class KL_API TKLBlocklistRule : public TKLPasswordRule {
public:
  explicit TKLBlocklistRule(bool UseCommonPasswords = true) : FUseCommonPasswords(UseCommonPasswords) {}

  void AddWord(const String& Word);
  // One word a line, UTF-8; empty lines are skipped.
  void LoadWordsFromFile(const String& FileName);
  // A compiled file (known by its first bytes) as LoadFilterFromFile, any
  // other file as LoadWordsFromFile.
  void LoadFromFile(const String& FileName);
  // Maps a compiled file (TKLBlocklistFilter) and checks against it too.
  void LoadFilterFromFile(const String& FileName);
  void AddFilter(std::shared_ptr<const TKLBlocklistFilter> Filter);

  bool Validate(const String& Password) const override;
  void CollectFailures(const String& Password, TKLRuleFailures& Failures) const override;

private:
  bool FUseCommonPasswords;
  std::unordered_set<String> FWords; // in blocklist form
  std::vector<std::shared_ptr<const TKLBlocklistFilter>> FFilters;
};

// Whether the password, in its blocklist form, is among the library's common
// passwords.
KL_API bool IsCommonPassword(const String& Password);

} // namespace kl
