#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"

namespace kl::detail {

class TStorageKey;

// A byte buffer for content that may hold secrets: it grows by moving to a
// larger block and wiping the old one, and wipes itself when destroyed.
class TContentBuffer {
public:
  TContentBuffer() = default;
  explicit TContentBuffer(std::size_t Capacity) { Reserve(Capacity); }
  ~TContentBuffer();
  TContentBuffer(const TContentBuffer&) = delete;
  TContentBuffer& operator=(const TContentBuffer&) = delete;

  std::uint8_t* Data() noexcept { return FData.get(); }
  const std::uint8_t* Data() const noexcept { return FData.get(); }
  std::size_t Size() const noexcept { return FSize; }
  std::size_t Capacity() const noexcept { return FCapacity; }
  void Reserve(std::size_t Capacity);
  // Room for Extra more bytes, growing geometrically.
  void Ensure(std::size_t Extra) {
    if (FCapacity - FSize < Extra) Grow(Extra);
  }
  // Marks Count more bytes, written through End(), as used; Ensure came first.
  std::uint8_t* End() noexcept { return FData.get() + FSize; }
  void Advance(std::size_t Count) noexcept { FSize += Count; }
  void Append(const void* Bytes, std::size_t Count);
  // Wipes and forgets everything from Size on.
  void Truncate(std::size_t Size) noexcept;

private:
  void Grow(std::size_t Extra);

  // Blocks come from malloc, large ones aligned for huge pages where the
  // system offers them.
  struct TFree {
    void operator()(std::uint8_t* Block) const noexcept;
  };
  std::unique_ptr<std::uint8_t, TFree> FData;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
};

// One value record as it lies in a content buffer: a 16-bit key length, the
// key in UTF-8, the type code, then the data of the type.
struct TRecordView {
  const std::uint8_t* Bytes = nullptr; // the record's first byte
  std::uint32_t Size = 0;              // the whole record
  std::uint16_t KeySize = 0;
  std::uint8_t Type = 0;

  const std::uint8_t* Key() const noexcept { return Bytes + 2; }
  std::string_view KeyBytes() const noexcept { return {reinterpret_cast<const char*>(Key()), KeySize}; }
  const std::uint8_t* Data() const noexcept { return Bytes + 3 + KeySize; }
  // The bytes of a text or byte array, after their 16-bit count.
  const std::uint8_t* Counted() const noexcept { return Data() + 2; }
  std::uint16_t CountedSize() const noexcept { return static_cast<std::uint16_t>(Data()[0] | Data()[1] << 8); }
  bool Bool() const noexcept { return Data()[0] == 1; }
  // The data field's size, count included, of a record of a known type (1 to 5).
  std::size_t DataFieldSize() const noexcept;
  std::int32_t Int() const noexcept;
  std::int64_t Long() const noexcept;
};

// Writes Size bytes, in pieces a 32-bit count can carry.
void WriteAll(TStream& Strm, const std::uint8_t* Bytes, std::size_t Size);

// Checks the content at Bytes: value records, then the closing record whose
// digest must be the SHA-256 of every value record. Raises what a load raises:
// EReadError (SReadError) for a record cut short, EKLStorageException
// (SReadError) for an unknown type code, a missing closing record or a wrong
// digest. Returns the bytes up to the end of the closing record, and the
// number of value records in Records.
std::size_t CheckContent(const std::uint8_t* Bytes, std::size_t Size, std::size_t& Records);

// Steps through the value records of content that CheckContent accepted.
class TRecordCursor {
public:
  TRecordCursor(const std::uint8_t* Bytes, std::size_t Size) noexcept : FNext(Bytes), FEnd(Bytes + Size) {}
  // The next value record; false at the closing record.
  bool Next(TRecordView& Record) noexcept;

private:
  const std::uint8_t* FNext;
  const std::uint8_t* FEnd;
};

// Whether the record reads back as it is written again: a key and text in
// well-formed UTF-8, a boolean byte of 0 or 1. Such a record can be saved by
// copying its bytes.
bool IsCanonicalRecord(const TRecordView& Record) noexcept;

// UTF-8 of Text into Out, which has room for 3 bytes per code unit; returns
// the bytes written. An unpaired surrogate becomes U+FFFD, as in a file, or,
// with KeepSurrogates, its own three-byte form, so that distinct texts never
// share an encoding (for keys in memory only: never written to a file).
std::size_t EncodeUTF8(std::u16string_view Text, std::uint8_t* Out, bool KeepSurrogates = false) noexcept;

// Builds the content of a storage file in memory: value records, then the
// closing record. A key, text or array too long for its 16-bit count raises
// EKLStorageException (SStorageValueTooLong) and adds nothing.
class TContentWriter {
public:
  explicit TContentWriter(std::size_t Capacity = 0) : FBuffer(Capacity) {}

  void PutBool(std::u16string_view Key, bool Value);
  void PutInt(std::u16string_view Key, std::int32_t Value);
  void PutLong(std::u16string_view Key, std::int64_t Value);
  void PutString(std::u16string_view Key, std::u16string_view Value);
  void PutBlob(std::u16string_view Key, const std::uint8_t* Data, std::size_t Size);
  // A record as it was read.
  void PutRecord(const TRecordView& Record) { FBuffer.Append(Record.Bytes, Record.Size); }
  // Appends the closing record; nothing may follow.
  void Finish();

  const TContentBuffer& Buffer() const noexcept { return FBuffer; }
  TContentBuffer& Buffer() noexcept { return FBuffer; }

private:
  // Writes the key and type code, leaving room for Data more bytes; returns
  // where the data goes.
  std::uint8_t* Begin(std::u16string_view Key, std::uint8_t Type, std::size_t Data);
  void PutCounted(std::u16string_view Key, std::uint8_t Type, std::u16string_view Text);

  TContentBuffer FBuffer;
};

// What a storage file is read and written with, besides the password.
struct TStorageFileOptions {
  TKLKdfParameters Kdf;
  bool AllowLegacyFormat = false;
  std::uint8_t SaveVersion = KLStorageVersion3;
};

// The checked content of a storage file.
struct TLoadedContent {
  std::unique_ptr<TContentBuffer> Buffer;
  std::size_t Size = 0; // up to the end of the closing record
  std::size_t Records = 0;
  std::uint8_t Version = 0;
  std::shared_ptr<TStorageKey> Key; // version 3: the key it was read with
};

// Writes a storage file around finished content: plain for an empty Password,
// otherwise version 3 (or 2 when Options ask for it), enciphering Content in
// place. Key holds the derived key kept from an earlier load or save and
// receives the one used.
void WriteStorageFile(TStream& Strm, const String& Password, const TStorageFileOptions& Options,
                      TKLBaseRandomGenerator& Random, std::shared_ptr<TStorageKey>& Key, TContentBuffer& Content);

// Reads a storage file from the stream's position and checks all of it before
// returning its content. A plain stream is left just after the closing record.
// Cached is a derived key to try before deriving one.
TLoadedContent ReadStorageFile(TStream& Strm, const String& Password, const TStorageFileOptions& Options,
                               const std::shared_ptr<TStorageKey>& Cached);

// The header protection of versions 1 and 2: the password key is bytes 0 to
// 31 of a 48-byte, 1000-iteration PBKDF2 (the vector, bytes 32 to 47, is
// unused); IV, CheckBytes and, from version 2, MasterKey are enciphered as
// single blocks. DecryptLegacyHeader raises "Wrong password" when the check
// value does not come back.
void DeriveLegacyKeyIV(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV);
void EncryptLegacyHeader(TKLStorageCryptoHeader& Header, const String& Password);
void DecryptLegacyHeader(TKLStorageCryptoHeader& Header, const String& Password, std::uint8_t Version);

} // namespace kl::detail
