#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "foundation/Export.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"

namespace kl {

// Raised (EConvertError) by a strict load; the line number, from 1, follows.
inline constexpr const char* SInvalidUTF8Line = "Not valid UTF-8 text at line ";

// The largest file the text loaders read unless told otherwise: far beyond any
// real dictionary or user database, and still a bound on what a device or an
// endless file can make them hold.
inline constexpr std::int64_t KLDefaultMaxTextFileSize = std::int64_t{512} << 20;

inline constexpr const char* STextFileTooLarge = "larger than the limit of";

// An ordered list of texts. Files are UTF-8 without a byte-order mark, lines
// ended by LF; reading accepts LF and CRLF (and skips a leading byte-order
// mark). SaveToFile replaces the file atomically. An index outside 0 to
// GetCount() - 1 raises EListError and changes nothing. LoadFromFile refuses
// (EFOpenError, "... larger than the limit of N bytes") a file beyond GetMaxFileSize bytes, before
// reading more than that.
class KL_API TStringList {
public:
  TStringList() = default;
  ~TStringList();

  std::int32_t Add(const String& S);
  void Insert(std::int32_t Index, const String& S);
  void Delete(std::int32_t Index);
  const String& Get(std::int32_t Index) const;
  void Put(std::int32_t Index, const String& S);
  // Linear search; -1 when absent.
  std::int32_t IndexOf(const String& S) const;
  std::int32_t GetCount() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
  void Clear() noexcept;

  // The lines, each followed by a line break (LF).
  String GetText() const;
  // Splits at LF, CRLF or CR; a final line break does not add an empty line.
  void SetText(const String& Text);

  // A malformed UTF-8 sequence reads as U+FFFD, unless Strict: then the file is
  // refused with EConvertError (SInvalidUTF8Line and the line's number), so
  // that a caller who saves the lines again never rewrites what it misread.
  void LoadFromFile(const String& FileName, bool Strict = false);
  void SaveToFile(const String& FileName) const;
  // The file's bytes (UTF-8 lines, each ended by LF), as SaveToFile writes them.
  void SaveToStream(TStream& Stream) const;

  std::int64_t GetMaxFileSize() const noexcept { return FMaxFileSize; }
  // Values below zero count as zero.
  void SetMaxFileSize(std::int64_t Value) noexcept { FMaxFileSize = Value < 0 ? 0 : Value; }

  // Hands the lines over, leaving the list empty; they are then the caller's to wipe.
  std::vector<String> TakeLines() noexcept {
    std::vector<String> lines(std::move(FItems));
    FItems.clear();
    return lines;
  }

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

private:
  void CheckIndex(std::int32_t Index) const;

  std::vector<String> FItems;
  std::int64_t FMaxFileSize = KLDefaultMaxTextFileSize;
};

} // namespace kl
