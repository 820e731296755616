#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/KLSHA256.h"
#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Types.h"

namespace kl {

// A key file or key that cannot be used.
KL_DECLARE_EXCEPTION(EKLPepperError, EKLException);
// A key loaded under an identifier the database knows, whose bytes are not
// the ones its records were made with (its check value differs): a mistake of
// the configuration, never a wrong password. Nothing is counted against anyone.
KL_DECLARE_EXCEPTION(EKLPepperMismatchError, EKLPepperError);

inline constexpr const char* SInvalidPepperKeys = "Invalid pepper key file";
inline constexpr const char* SPepperKeyNotLoaded = "The pepper key a record names is not loaded";
inline constexpr const char* SPepperKeyMismatch =
    "The pepper key loaded under this identifier is not the one the user database was made with";

// Key sizes accepted, in bytes: at least 128 bits, at most one HMAC block.
inline constexpr std::size_t KLPepperMinKeySize = 16;
inline constexpr std::size_t KLPepperMaxKeySize = 64;
inline constexpr std::size_t KLPepperMaxIDLength = 32;
// A key file larger than this is refused unread.
inline constexpr std::int64_t KLPepperMaxFileSize = 64 * 1024;

// Server keys for the user databases' hashes: HMAC-SHA-256 under a key turns
// the Argon2id output into the stored tag, so that a copy of the database
// alone does not allow guessing passwords offline. Keys are kept apart from the
// database (a file, or the caller's own secret store) and named by short
// identifiers that records carry; the first key is current and makes new
// hashes, the others only verify records made under them. The text form: one
// key a line, "ID HEX" (ID of letters, digits, '-' and '_', at most 32; HEX of
// 16 to 64 bytes), '#' lines and blank lines ignored. Keys are wiped when the
// object goes. Read-only once built: may be shared between threads.
class KL_API TKLPepper {
public:
  TKLPepper() = default;
  ~TKLPepper();
  TKLPepper(const TKLPepper&) = delete;
  TKLPepper& operator=(const TKLPepper&) = delete;

  // The keys of Text or of the file, in the form above; EKLPepperError
  // (SInvalidPepperKeys followed by the line's number) for a malformed line, a
  // repeated ID, or no key at all; file errors unchanged; a file larger than
  // KLPepperMaxFileSize raises EFOpenError.
  static std::shared_ptr<const TKLPepper> FromText(const String& Text);
  static std::shared_ptr<const TKLPepper> FromFile(const String& FileName);

  // Adds a key; the first added is current. EKLPepperError for a bad ID or
  // size, or an ID already present.
  void Add(const String& ID, const ByteArray& Key);

  const String& GetCurrentID() const;
  bool Contains(const String& ID) const noexcept;
  std::int32_t GetCount() const noexcept { return static_cast<std::int32_t>(FKeys.size()); }
  // HMAC-SHA-256 of Data under the key ID; EKLPepperError (SPepperKeyNotLoaded) when absent.
  TMessageDigest256 Apply(const String& ID, const std::uint8_t* Data, std::size_t Size) const;

  // The check value of the key ID, as the databases store it beside the
  // identifier: HMAC-SHA-256 under the key of a fixed label, in uppercase hex
  // (64 digits).
  // It tells whether a key is the one the records were made with, and gives
  // nothing of the key. EKLPepperError (SPepperKeyNotLoaded) when absent.
  String CheckValue(const String& ID) const;

  static bool IsValidID(const String& ID) noexcept;

private:
  struct TKey {
    String ID;
    ByteArray Key;
  };
  std::vector<TKey> FKeys;
};

} // namespace kl
