#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "crypto/KLAES.h"
#include "foundation/Export.h"
#include "foundation/KLGeneral.h"
#include "foundation/Stream.h"
#include "foundation/StringList.h"
#include "random/KLRandom.h"

namespace kl {

// Raised by the storage for refused operations and for stored content that is
// damaged or protected by another password.
KL_DECLARE_EXCEPTION(EKLStorageException, EKLException);

inline constexpr const char* SKeyAlreadyExists = "Key already exists";
inline constexpr const char* SWrongValueType = "Wrong value type";
inline constexpr const char* SWrongStorageTag = "Wrong storage tag";
inline constexpr const char* SWrongStorageVersion = "Wrong storage version";
inline constexpr const char* SStorageNotEncrypted = "The storage is not encrypted";
inline constexpr const char* SStorageWrongPassword = "Wrong password";
inline constexpr const char* SStorageValueTooLong = "Storage key or value longer than 65535 bytes";
inline constexpr const char* SStorageDamaged = "The storage file is damaged or was modified";
inline constexpr const char* SStorageLegacyFormat =
    "The storage file uses an old format (version 1 or 2) that cannot be authenticated; allow the legacy format to "
    "load it once, then save it again to upgrade it to version 3";
inline constexpr const char* SStorageKdfOutOfBounds =
    "Key derivation parameters out of bounds (memory 8 MiB to 1 GiB, 1 to 1024 passes, memory times passes at most "
    "8 GiB)";
inline constexpr const char* SStorageSaveVersion = "Encrypted storages are saved as version 2 or 3";

// Raised when an encrypted file of an old, unauthenticated format is refused
// because the legacy format was not allowed; the file itself may be sound.
KL_DECLARE_EXCEPTION(EKLStorageLegacyFormat, EKLStorageException);

// Type codes of the stored values. Code 0 marks the closing record of a file.
inline constexpr std::int32_t vtClosing = 0;
inline constexpr std::int32_t vtBool = 1;
inline constexpr std::int32_t vtInt = 2;
inline constexpr std::int32_t vtLong = 3;
inline constexpr std::int32_t vtString = 4;
inline constexpr std::int32_t vtBlob = 5;

// Keys, texts (both in UTF-8) and byte arrays are stored with 16-bit lengths.
inline constexpr std::size_t KLStorageMaxFieldSize = 0xFFFF;

class TKLStorage;
class TKLPassStorage;
namespace detail {
class TStorageKey;
class TStorageTable;
class TContentWriter;
struct TLoadedContent;
struct TStorageFileOptions;
} // namespace detail

// A typed value under a slash-separated key; the base of the five value classes.
// A value held by a storage belongs to it: the storage destroys it, and setting
// its Key through this object keeps the storage's key lookup right. ValueType
// must stay the code of the value's class; the storage refuses to read or save a
// value whose code names another class. Not thread-safe.
class KL_API TKLValue {
public:
  TKLValue(const TKLValue&) = delete;
  TKLValue& operator=(const TKLValue&) = delete;
  virtual ~TKLValue();

  const String& GetKey() const noexcept { return FKey; }
  void SetKey(const String& Value);
  std::int32_t GetValueType() const noexcept { return FValueType; }
  void SetValueType(std::int32_t Value) noexcept { FValueType = Value; }

protected:
  TKLValue(const String& Key, std::int32_t ValueType) : FKey(Key), FValueType(ValueType) {}

private:
  friend class TKLStorage;
  friend class detail::TStorageTable;

  String FKey;
  std::int32_t FValueType;
  // Kept by the storage holding the value: the slot of its entry there.
  TKLStorage* FStorage = nullptr;
  std::uint32_t FSlot = 0;
};

// A boolean value (type code 1).
class KL_API TKLBoolValue : public TKLValue {
public:
  static constexpr std::int32_t TypeCode = vtBool;
  explicit TKLBoolValue(const String& Key = String(), bool Value = false) : TKLValue(Key, TypeCode), FValue(Value) {}
  ~TKLBoolValue() override;
  bool GetValue() const noexcept { return FValue; }
  void SetValue(bool Value) noexcept { FValue = Value; }

private:
  bool FValue;
};

// A signed 32-bit integer value (type code 2).
class KL_API TKLIntValue : public TKLValue {
public:
  static constexpr std::int32_t TypeCode = vtInt;
  explicit TKLIntValue(const String& Key = String(), std::int32_t Value = 0) : TKLValue(Key, TypeCode), FValue(Value) {}
  ~TKLIntValue() override;
  std::int32_t GetValue() const noexcept { return FValue; }
  void SetValue(std::int32_t Value) noexcept { FValue = Value; }

private:
  std::int32_t FValue;
};

// A signed 64-bit integer value (type code 3).
class KL_API TKLLongValue : public TKLValue {
public:
  static constexpr std::int32_t TypeCode = vtLong;
  explicit TKLLongValue(const String& Key = String(), std::int64_t Value = 0)
      : TKLValue(Key, TypeCode), FValue(Value) {}
  ~TKLLongValue() override;
  std::int64_t GetValue() const noexcept { return FValue; }
  void SetValue(std::int64_t Value) noexcept { FValue = Value; }

private:
  std::int64_t FValue;
};

// A text value (type code 4). Stored texts may be secrets (password records), so
// the text is wiped when it is replaced and when the value is destroyed.
class KL_API TKLStringValue : public TKLValue {
public:
  static constexpr std::int32_t TypeCode = vtString;
  explicit TKLStringValue(const String& Key = String(), const String& Value = String())
      : TKLValue(Key, TypeCode), FValue(Value) {}
  ~TKLStringValue() override;
  const String& GetValue() const noexcept { return FValue; }
  void SetValue(const String& Value);

private:
  String FValue;
};

// A byte-array value (type code 5), wiped like a text value.
class KL_API TKLBlobValue : public TKLValue {
public:
  static constexpr std::int32_t TypeCode = vtBlob;
  explicit TKLBlobValue(const String& Key = String(), const ByteArray& Value = ByteArray())
      : TKLValue(Key, TypeCode), FValue(Value) {}
  ~TKLBlobValue() override;
  const ByteArray& GetValue() const noexcept { return FValue; }
  void SetValue(const ByteArray& Value);

private:
  ByteArray FValue;
};

// The 4-byte file header: tag, version and encryption flag. Written and read
// field by field, little-endian.
struct TKLStorageHeader {
  std::uint16_t Tag;
  std::uint8_t Version;
  std::uint8_t Encrypted;
};
static_assert(sizeof(TKLStorageHeader) == 4);

inline constexpr std::uint16_t KLStorageTag = 0xDB01;
// Version 1 is the plain format (and an old encrypted one that kept the
// content key as drawn); version 2 enciphers the header fields under a
// PBKDF2 key but authenticates nothing; version 3, written by every encrypted
// save unless version 2 is asked for, derives its keys with Argon2id and
// authenticates every byte with HMAC-SHA-256 before reading any.
inline constexpr std::uint8_t KLStorageLegacyVersion = 1;
inline constexpr std::uint8_t KLStorageVersion2 = 2;
inline constexpr std::uint8_t KLStorageVersion3 = 3;
inline constexpr std::uint8_t KLStorageVersion = KLStorageVersion3;
inline constexpr std::size_t KLStorageHeaderSize = 4;
inline constexpr std::size_t KLStorageCryptoHeaderSize = 128;
inline constexpr std::int32_t KLStorageKeyIterations = 1000;

// Argon2id cost of the password key of a version-3 file, and its bounds. A
// load checks a file's parameters against the bounds before it allocates
// anything, so a hostile header cannot ask for more memory or time.
inline constexpr std::uint32_t KLStorageDefaultKdfMemoryKiB = 64 * 1024;
inline constexpr std::uint32_t KLStorageDefaultKdfPasses = 3;
inline constexpr std::uint32_t KLStorageMinKdfMemoryKiB = 8 * 1024;
inline constexpr std::uint32_t KLStorageMaxKdfMemoryKiB = 1024 * 1024;
inline constexpr std::uint32_t KLStorageMinKdfPasses = 1;
inline constexpr std::uint32_t KLStorageMaxKdfPasses = 1024;
inline constexpr std::uint64_t KLStorageMaxKdfWorkKiB = std::uint64_t{8} * 1024 * 1024; // memory x passes

// The cost of the password-key derivation (Argon2id, one lane): memory in KiB
// and passes over it.
struct TKLKdfParameters {
  std::uint32_t MemoryKiB = KLStorageDefaultKdfMemoryKiB;
  std::uint32_t Passes = KLStorageDefaultKdfPasses;
  bool operator==(const TKLKdfParameters&) const = default;
};

// What the header of a storage file tells without the password: the version,
// whether it is encrypted, whether it is authenticated (version 3), and for
// version 3 the derivation parameters.
struct TKLStorageFileInfo {
  std::uint8_t Version = 0;
  bool Encrypted = false;
  bool Authenticated = false;
  TKLKdfParameters Kdf{0, 0};
};

// The 128-byte header of an encrypted file. IV, CheckBytes and (from version 2)
// the two halves of MasterKey are stored each as one AES-256 block enciphered
// under the password key, with no chaining between them.
struct TKLStorageCryptoHeader {
  std::array<std::uint8_t, 64> Salt;
  TAESKey256 MasterKey;
  TAESBlock IV;
  TAESBlock CheckBytes;
};
static_assert(sizeof(TKLStorageCryptoHeader) == KLStorageCryptoHeaderSize);

// The plaintext check value; deciphering it back proves the password.
inline constexpr TAESBlock KLStorageCheckBytes = {0x5A, 0xC3, 0x1E, 0x97, 0x24, 0xB8, 0x6F, 0x0D,
                                                  0xE2, 0x49, 0x73, 0xA6, 0x18, 0xD5, 0x3C, 0x81};

// An ordered collection of typed values under slash-separated keys, read as a
// tree, saved to and loaded from streams and files, plain or password-protected
// (version 3: Argon2id key, AES-256-CBC, HMAC-SHA-256 over the whole file).
// After an encrypted load or save the storage keeps the Argon2id output (never
// the password) so that saving again under the same password and parameters
// skips the derivation; each save still draws a fresh nonce and IV, and so
// fresh file keys. Clear, a new password and destruction wipe it. The storage owns every value in it; value objects it
// hands out stay valid until they are removed, cleared or the storage dies.
// Lookups return the first value under a key in storage order, through a hash
// of the keys. A load keeps the file's content in memory and makes a value
// object only when a caller first asks for that value; a save copies the
// records of values never asked for as they were read. Removal leaves a gap
// that positions skip (logarithmic) until gaps outnumber values and the
// storage closes them all at once. Raises EKLStorageException; one thread at
// a time.
class KL_API TKLStorage : public TKLRandomBasedComponent {
public:
  explicit TKLStorage(TComponent* AOwner = nullptr);
  ~TKLStorage() override;

  std::int32_t GetCount() const noexcept;
  // The value at Index (0-based); EListError outside 0 to GetCount() - 1.
  TKLValue* GetValue(std::int32_t Index) const;
  bool GetLoaded() const noexcept { return FLoaded; }
  void Clear() noexcept;

  // Stores Value under Key and returns its position. An existing key is
  // replaced in place when Replace is set and it holds the same type.
  std::int32_t PutBool(const String& Key, bool Value, bool Replace);
  std::int32_t PutInt(const String& Key, std::int32_t Value, bool Replace);
  std::int32_t PutLong(const String& Key, std::int64_t Value, bool Replace);
  std::int32_t PutString(const String& Key, const String& Value, bool Replace);
  std::int32_t PutBlob(const String& Key, const ByteArray& Value, bool Replace);

  // The first value under Key, or null (Index then left as it was).
  TKLValue* Get(const String& Key, std::int32_t& Index) const;
  TKLValue* Get(const String& Key) const;

  // True with the stored value when the first value under Key has the type;
  // otherwise false with DefaultValue (GetBlob: an empty array).
  bool GetBool(const String& Key, bool& Value, bool DefaultValue) const;
  bool GetInt(const String& Key, std::int32_t& Value, std::int32_t DefaultValue) const;
  bool GetLong(const String& Key, std::int64_t& Value, std::int64_t DefaultValue) const;
  bool GetString(const String& Key, String& Value, const String& DefaultValue) const;
  bool GetBlob(const String& Key, ByteArray& Value) const;

  // Appends to List the full paths beneath Key: every key when Recursive,
  // otherwise the leaves directly under Key and each child folder once.
  void GetSubKeys(const String& Key, TStringList& List, bool Recursive) const;

  void Remove(std::int32_t Index);
  // Removes the first value under Key and, when Recursive, everything beneath
  // it; returns the number of values removed.
  std::int32_t Remove(const String& Key, bool Recursive);

  // Argon2id cost of the next encrypted save; EKLStorageException
  // (SStorageKdfOutOfBounds) outside the bounds, nothing changed.
  const TKLKdfParameters& GetKdfParameters() const noexcept { return FKdf; }
  void SetKdfParameters(const TKLKdfParameters& Value);
  // Whether encrypted files of versions 1 and 2 load. Off by default: they
  // cannot be authenticated, so anyone able to change the file can forge its
  // content. Refused files raise EKLStorageLegacyFormat.
  bool GetAllowLegacyFormat() const noexcept { return FAllowLegacyFormat; }
  void SetAllowLegacyFormat(bool Value) noexcept { FAllowLegacyFormat = Value; }
  // The version of the last successful load (0 before any): 1 or 2 tells the
  // caller to save the file again to upgrade it.
  std::uint8_t GetLoadedVersion() const noexcept { return FLoadedVersion; }
  // The version of encrypted saves: 3 (the default) or 2, UNAUTHENTICATED,
  // only for an older reader that cannot read version 3. Plain saves are
  // always version 1. EKLStorageException (SStorageSaveVersion) otherwise.
  std::uint8_t GetSaveVersion() const noexcept { return FSaveVersion; }
  void SetSaveVersion(std::uint8_t Value);

  // Wipes the derived key kept from the last encrypted load or save, so that
  // the next save derives a new one (with a new salt).
  void ForgetDerivedKey() noexcept;

  // The parameters at MemoryKiB whose derivation takes about Seconds on this
  // machine: passes measured with one timed pass, within the bounds.
  // EKLStorageException (SStorageKdfOutOfBounds) for a memory out of bounds.
  static TKLKdfParameters CalibrateKdf(std::uint32_t MemoryKiB, double Seconds);

  // What a file's header tells without the password; the stream's read
  // errors or "Wrong storage tag" when it is no storage.
  static TKLStorageFileInfo ReadFileInfo(TStream& Strm);
  static TKLStorageFileInfo ReadFileInfo(const String& FileName);

  // An empty Password writes a plain storage, any other an encrypted one.
  void SaveToStream(TStream& Strm, const String& Password) const;
  // Appends the stream's values to those held, only once the whole file has
  // been read and checked: a failed load changes nothing. An encrypted
  // version-3 stream must end with the file. Any change to one reads as
  // "The storage file is damaged or was modified" (or "Wrong password" where
  // it touches the key derivation); legacy files, when allowed, give that one
  // error for every damage of their content. Loading a version-3 file sets
  // the KDF parameters to the file's, so that saving it again keeps them.
  void LoadFromStream(TStream& Strm, const String& Password);
  // Replaces the file whole or not at all. A Password that is not valid UTF-16
  // raises EConvertError (SInvalidUTF16) here and in the three above.
  void SaveToFile(const String& FileName, const String& Password) const;
  void LoadFromFile(const String& FileName, const String& Password);

protected:
  // The password key (bytes 0 to 31 of a 48-byte, 1000-iteration PBKDF2) and
  // the derived vector (bytes 32 to 47).
  static void DeriveKeyIV(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV);
  // Enciphers IV, CheckBytes and MasterKey in place under the password key.
  static void EncryptHeader(TKLStorageCryptoHeader& Header, const String& Password);
  // Deciphers IV and CheckBytes, and MasterKey from version 2 on; raises
  // "Wrong password" when the check value does not come back.
  static void DecryptHeader(TKLStorageCryptoHeader& Header, const String& Password, std::uint8_t Version);
  // An empty value of the class for codes 1 to 5; null for any other code.
  static std::unique_ptr<TKLValue> ValueByType(std::int32_t ValueType);

private:
  friend class TKLValue;
  // Lets the pass store keep the derived key across the storages it saves
  // and loads through.
  friend class TKLPassStorage;

  template <class TValue, class T>
  std::int32_t Put(const String& Key, const T& Value, bool Replace);
  template <class TValue, class T>
  bool GetTyped(const String& Key, T& Value, const T& DefaultValue) const;

  void KeyChanging(TKLValue& Value, const String& NewKey);
  detail::TStorageFileOptions FileOptions() const;

  bool FLoaded = false;
  TKLKdfParameters FKdf;
  bool FAllowLegacyFormat = false;
  std::uint8_t FLoadedVersion = 0;
  std::uint8_t FSaveVersion = KLStorageVersion3;
  mutable std::shared_ptr<detail::TStorageKey> FKey;
  std::unique_ptr<detail::TStorageTable> FTable;
};

} // namespace kl
