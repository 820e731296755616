#include "storage/StorageContent.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLNormalize.h"
#include "foundation/SecureMemory.h"
#include "storage/StorageFormat.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kl::detail {

namespace {

constexpr std::uint8_t kClosingKey[] = {'h', 'a', 's', 'h'};
constexpr std::size_t kClosingSize = 2 + sizeof(kClosingKey) + 1 + SHA256DigestSize;
constexpr std::size_t kDerivedSize = AESKeySize + AESBlockSize;
// Streams are read in pieces of this size, which a 32-bit count can carry.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

[[noreturn]] void RaiseCut() { throw EReadError(SReadError); }
[[noreturn]] void RaiseDamaged() { throw EKLStorageException(SStorageDamaged); }

std::uint64_t LittleEndian(const std::uint8_t* Bytes, std::size_t Size) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < Size; ++i) value |= static_cast<std::uint64_t>(Bytes[i]) << (8 * i);
  return value;
}

// The data size of a type code whose data has a fixed size; 0 for a counted
// field (texts, arrays) and for unknown codes.
std::size_t FixedDataSize(std::uint8_t Type) noexcept {
  switch (Type) {
    case vtBool:
      return 1;
    case vtInt:
      return 4;
    case vtLong:
      return 8;
    default:
      return 0;
  }
}

bool IsAscii(const std::uint8_t* Bytes, std::size_t Size) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= Size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, Bytes + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; i < Size; ++i) {
    if (Bytes[i] >= 0x80) return false;
  }
  return true;
}

bool IsWellFormed(const std::uint8_t* Bytes, std::size_t Size) noexcept {
  return IsAscii(Bytes, Size) || IsValidUTF8(Bytes, Size);
}

TMessageDigest256 DigestOf(const std::uint8_t* Bytes, std::size_t Size) {
  TSHA256Context context;
  WipeOnExit<TSHA256Context> wipe(context);
  SHA256Initialize(context);
  while (Size != 0) {
    const std::size_t n = std::min<std::size_t>(Size, std::size_t{1} << 30);
    SHA256Update(context, Bytes, static_cast<std::uint32_t>(n));
    Bytes += n;
    Size -= n;
  }
  return SHA256Finalize(context);
}

// What is left of a stream, as a first guess of what a read to its end gives.
std::size_t RemainingSize(TStream& Strm) {
  const std::int64_t rest = Strm.GetSize() - Strm.GetPosition();
  return rest > 0 ? static_cast<std::size_t>(rest) : 0;
}

// The whole rest of a stream, read in pieces; Expected is a first guess of
// its size. Once the guess is filled a small read tells whether more follows,
// so that a right guess never doubles the buffer.
void ReadToEnd(TStream& Strm, TContentBuffer& Out, std::size_t Expected) {
  Out.Reserve(Out.Size() + Expected);
  for (;;) {
    const std::size_t room = Out.Capacity() - Out.Size();
    if (room == 0) {
      std::uint8_t probe[4096];
      const std::int32_t n = Strm.Read(probe, static_cast<std::int32_t>(sizeof(probe)));
      if (n <= 0) break;
      Out.Append(probe, static_cast<std::size_t>(n));
      SecureZero(probe, sizeof(probe));
      continue;
    }
    const std::int32_t n = Strm.Read(Out.End(), static_cast<std::int32_t>(std::min(room, kReadPiece)));
    if (n <= 0) break;
    Out.Advance(static_cast<std::size_t>(n));
  }
}

// --- Headers, field by field, little-endian ---

void WriteHeader(TStream& Strm, std::uint8_t Version, std::uint8_t Encrypted) {
  const std::uint8_t bytes[KLStorageHeaderSize] = {static_cast<std::uint8_t>(KLStorageTag & 0xFF),
                                                   static_cast<std::uint8_t>(KLStorageTag >> 8), Version, Encrypted};
  Strm.WriteBuffer(bytes, sizeof(bytes));
}

// The crypto header's fields in file order, with their offsets.
template <class THeader, class TFunction>
void ForEachCryptoField(THeader& Header, TFunction Function) {
  Function(Header.Salt.data(), 0, Header.Salt.size());
  Function(Header.MasterKey.data(), 64, Header.MasterKey.size());
  Function(Header.IV.data(), 96, Header.IV.size());
  Function(Header.CheckBytes.data(), 112, Header.CheckBytes.size());
}

void WriteCryptoHeader(TStream& Strm, const TKLStorageCryptoHeader& Header) {
  std::array<std::uint8_t, KLStorageCryptoHeaderSize> bytes;
  WipeOnExit<decltype(bytes)> wipe(bytes);
  ForEachCryptoField(Header, [&](const std::uint8_t* Field, std::size_t Offset, std::size_t Size) {
    std::memcpy(bytes.data() + Offset, Field, Size);
  });
  Strm.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void ReadCryptoHeader(TStream& Strm, TKLStorageCryptoHeader& Header) {
  std::array<std::uint8_t, KLStorageCryptoHeaderSize> bytes;
  WipeOnExit<decltype(bytes)> wipe(bytes);
  Strm.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  ForEachCryptoField(Header, [&](std::uint8_t* Field, std::size_t Offset, std::size_t Size) {
    std::memcpy(Field, bytes.data() + Offset, Size);
  });
}

// A forger who knows one file under a password knows one block and its
// decryption under the password key: the check block. Put in place of the
// IV or a content-key half it gives him that field; a genuine file draws
// them at random, so a repeat of any two blocks marks a forgery.
bool LooksForged(const TKLStorageCryptoHeader& Header, std::uint8_t Version) {
  const std::uint8_t* blocks[] = {Header.IV.data(), Header.CheckBytes.data(), Header.MasterKey.data(),
                                  Header.MasterKey.data() + AESBlockSize};
  const std::size_t count = Version == KLStorageLegacyVersion ? 2 : 4;
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      if (std::memcmp(blocks[i], blocks[j], AESBlockSize) == 0) return true;
    }
  }
  return false;
}

// The password as the bytes a version-3 key is derived from, wiped on scope
// exit: its NFKC form, so that a password typed composed or decomposed opens
// the same file, or, for a file keyed before passwords were normalised, the
// password as typed.
class TPasswordBytes {
public:
  enum TForm { pfNormalized, pfAsTyped };
  explicit TPasswordBytes(const String& Password, TForm Form = pfNormalized) {
    if (Form == pfAsTyped) {
      FBytes = StrToUTF8Strict(Password);
      return;
    }
    String normal = NormalizePassword(Password);
    try {
      FBytes = StrToUTF8Strict(normal);
    } catch (...) {
      WipeString(normal);
      throw;
    }
    WipeString(normal);
  }
  ~TPasswordBytes() { WipeRawBytes(FBytes); }
  TPasswordBytes(const TPasswordBytes&) = delete;
  TPasswordBytes& operator=(const TPasswordBytes&) = delete;
  const RawByteString& Get() const noexcept { return FBytes; }

private:
  RawByteString FBytes;
};

void SaveLegacy(TStream& Strm, const String& Password, TKLBaseRandomGenerator& Random, const TContentBuffer& Content) {
  TKLStorageCryptoHeader crypto;
  WipeOnExit<TKLStorageCryptoHeader> wipe(crypto);
  Random.Generate(crypto.Salt.data(), static_cast<std::int32_t>(crypto.Salt.size()));
  Random.Generate(crypto.IV.data(), static_cast<std::int32_t>(crypto.IV.size()));
  Random.Generate(crypto.MasterKey.data(), static_cast<std::int32_t>(crypto.MasterKey.size()));
  crypto.CheckBytes = KLStorageCheckBytes;
  // The stream takes the content key and vector as drawn; the header then
  // carries them enciphered. Released on failure too, writing the last block.
  TKLAESEncryptionStream content(crypto.MasterKey.data(), crypto.IV.data(), &Strm);
  EncryptLegacyHeader(crypto, Password);
  WriteHeader(Strm, KLStorageVersion2, 1);
  WriteCryptoHeader(Strm, crypto);
  SecureZeroObject(crypto);
  WriteAll(content, Content.Data(), Content.Size());
  content.Finish();
}

// Nothing of a legacy file is authenticated: every failure of its content,
// padding included, reads as one error, so that errors reveal nothing of it.
void LoadLegacy(TStream& Strm, const String& Password, std::uint8_t Version, TLoadedContent& Loaded) {
  TKLStorageCryptoHeader crypto;
  WipeOnExit<TKLStorageCryptoHeader> wipe(crypto);
  try {
    ReadCryptoHeader(Strm, crypto);
  } catch (const EReadError&) {
    RaiseDamaged();
  }
  if (LooksForged(crypto, Version)) RaiseDamaged();
  DecryptLegacyHeader(crypto, Password, Version);
  try {
    const std::size_t expected = RemainingSize(Strm);
    TKLAESDecryptionStream content(crypto.MasterKey.data(), crypto.IV.data(), &Strm);
    SecureZeroObject(crypto);
    ReadToEnd(content, *Loaded.Buffer, expected);
    Loaded.Size = CheckContent(Loaded.Buffer->Data(), Loaded.Buffer->Size(), Loaded.Records);
  } catch (const Exception&) {
    RaiseDamaged();
  }
}

void DerivePasswordKey(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV) {
  SecureBytes derived(Derive(Password, Salt, KLStorageKeyIterations, static_cast<std::int32_t>(kDerivedSize)));
  std::memcpy(Key.data(), derived.data(), Key.size());
  std::memcpy(IV.data(), derived.data() + Key.size(), IV.size());
}

// The password key expanded for one direction; only the key schedule outlives
// this call, and the caller wipes it.
void ExpandPasswordKey(const TKLStorageCryptoHeader& Header, const String& Password, bool Decrypt,
                       TAESExpandedKey256& Schedule) {
  SecureBytes salt(ByteArray(Header.Salt.begin(), Header.Salt.end()));
  TAESKey256 key;
  TAESBlock vector;
  WipeOnExit<TAESKey256> wipeKey(key);
  WipeOnExit<TAESBlock> wipeVector(vector);
  DerivePasswordKey(Password, salt.Get(), key, vector);
  AESInitialize(key.data(), Schedule, Decrypt);
}

} // namespace

// --- Buffers ---

namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
#endif

// A block of at least Size bytes. Content of several megabytes is read or
// written whole right after it is allocated: on Linux such a block is
// aligned to 2 MiB and asked to be backed by huge pages, which takes a
// fault per 2 MiB instead of per 4 KiB.
std::uint8_t* AllocateBlock(std::size_t Size) {
  void* block = nullptr;
#if defined(__linux__)
  if (Size >= 2 * kHugePage && Size <= std::numeric_limits<std::size_t>::max() - kHugePage) {
    const std::size_t rounded = (Size + kHugePage - 1) / kHugePage * kHugePage;
    block = std::aligned_alloc(kHugePage, rounded);
    if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
  }
#endif
  if (block == nullptr) block = std::malloc(Size == 0 ? 1 : Size);
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(block);
}

} // namespace

void TContentBuffer::TFree::operator()(std::uint8_t* Block) const noexcept { std::free(Block); }

TContentBuffer::~TContentBuffer() {
  if (FData) SecureZero(FData.get(), FSize);
}

void TContentBuffer::Reserve(std::size_t Capacity) {
  if (Capacity <= FCapacity) return;
  std::unique_ptr<std::uint8_t, TFree> data(AllocateBlock(Capacity));
  if (FSize != 0) {
    std::memcpy(data.get(), FData.get(), FSize);
    SecureZero(FData.get(), FSize);
  }
  FData = std::move(data);
  FCapacity = Capacity;
}

void TContentBuffer::Grow(std::size_t Extra) {
  if (Extra > std::numeric_limits<std::size_t>::max() / 2 - FSize) throw std::bad_alloc();
  Reserve(std::max(FSize + Extra, FCapacity * 2));
}

void TContentBuffer::Append(const void* Bytes, std::size_t Count) {
  Ensure(Count);
  if (Count != 0) std::memcpy(End(), Bytes, Count);
  FSize += Count;
}

void TContentBuffer::Truncate(std::size_t Size) noexcept {
  if (Size >= FSize) return;
  SecureZero(FData.get() + Size, FSize - Size);
  FSize = Size;
}

// --- Records ---

void WriteAll(TStream& Strm, const std::uint8_t* Bytes, std::size_t Size) {
  while (Size != 0) {
    const std::size_t n = std::min(Size, kReadPiece);
    Strm.WriteBuffer(Bytes, static_cast<std::int32_t>(n));
    Bytes += n;
    Size -= n;
  }
}

std::size_t TRecordView::DataFieldSize() const noexcept {
  const std::size_t fixed = FixedDataSize(Type);
  return fixed != 0 ? fixed : 2 + std::size_t{CountedSize()};
}

std::int32_t TRecordView::Int() const noexcept { return static_cast<std::int32_t>(LittleEndian(Data(), 4)); }

std::int64_t TRecordView::Long() const noexcept { return static_cast<std::int64_t>(LittleEndian(Data(), 8)); }

std::size_t CheckContent(const std::uint8_t* Bytes, std::size_t Size, std::size_t& Records) {
  std::size_t at = 0;
  std::size_t count = 0;
  for (;;) {
    // Content that ends between records has no closing record.
    if (Size - at < 2) throw EKLStorageException(SReadError);
    const std::size_t keySize = Bytes[at] | Bytes[at + 1] << 8;
    if (Size - at - 2 < keySize + 1) RaiseCut();
    const std::uint8_t type = Bytes[at + 2 + keySize];
    const std::size_t data = at + 3 + keySize;
    if (type == vtClosing) {
      if (Size - data < SHA256DigestSize) RaiseCut();
      const TMessageDigest256 digest = DigestOf(Bytes, at);
      if (!ConstantTimeEqual(DigestBytes(digest), Bytes + data, SHA256DigestSize)) {
        throw EKLStorageException(SReadError);
      }
      Records = count;
      return data + SHA256DigestSize;
    }
    std::size_t dataSize = FixedDataSize(type);
    if (type == vtString || type == vtBlob) {
      if (Size - data < 2) RaiseCut();
      dataSize = 2 + (Bytes[data] | Bytes[data + 1] << 8);
    } else if (dataSize == 0) {
      // An unknown type has no known length: nothing after it can be parsed.
      throw EKLStorageException(SReadError);
    }
    if (Size - data < dataSize) RaiseCut();
    at = data + dataSize;
    ++count;
  }
}

bool TRecordCursor::Next(TRecordView& Record) noexcept {
  const std::uint16_t keySize = static_cast<std::uint16_t>(FNext[0] | FNext[1] << 8);
  const std::uint8_t type = FNext[2 + keySize];
  if (type == vtClosing) return false;
  Record.Bytes = FNext;
  Record.KeySize = keySize;
  Record.Type = type;
  Record.Size = static_cast<std::uint32_t>(3 + keySize + Record.DataFieldSize());
  FNext += Record.Size;
  return FNext <= FEnd;
}

bool IsCanonicalRecord(const TRecordView& Record) noexcept {
  if (!IsWellFormed(Record.Key(), Record.KeySize)) return false;
  switch (Record.Type) {
    case vtBool:
      return Record.Data()[0] <= 1;
    case vtString:
      return IsWellFormed(Record.Counted(), Record.CountedSize());
    default:
      return true;
  }
}

std::size_t EncodeUTF8(std::u16string_view Text, std::uint8_t* Out, bool KeepSurrogates) noexcept {
  std::uint8_t* out = Out;
  const std::size_t n = Text.size();
  std::size_t i = 0;
  while (i < n) {
    // Four ASCII code units at a time, the common case of keys and texts.
    if (n - i >= 4) {
      std::uint64_t units;
      std::memcpy(&units, Text.data() + i, sizeof(units));
      if ((units & 0xFF80FF80FF80FF80ULL) == 0) {
        for (std::size_t k = 0; k < 4; ++k) out[k] = static_cast<std::uint8_t>(units >> (16 * k));
        out += 4;
        i += 4;
        continue;
      }
    }
    char32_t c = Text[i++];
    if (c < 0x80) {
      *out++ = static_cast<std::uint8_t>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i < n && Text[i] >= 0xDC00 && Text[i] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (Text[i++] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF && !KeepSurrogates) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      *out++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
      *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
      *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
      *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::size_t>(out - Out);
}

// --- Writing content ---

std::uint8_t* TContentWriter::Begin(std::u16string_view Key, std::uint8_t Type, std::size_t Data) {
  if (Key.size() > KLStorageMaxFieldSize) throw EKLStorageException(SStorageValueTooLong);
  FBuffer.Ensure(2 + 3 * Key.size() + 1 + Data);
  std::uint8_t* record = FBuffer.End();
  const std::size_t keySize = EncodeUTF8(Key, record + 2);
  if (keySize > KLStorageMaxFieldSize) {
    SecureZero(record, 2 + keySize);
    throw EKLStorageException(SStorageValueTooLong);
  }
  record[0] = static_cast<std::uint8_t>(keySize);
  record[1] = static_cast<std::uint8_t>(keySize >> 8);
  record[2 + keySize] = Type;
  FBuffer.Advance(3 + keySize);
  return FBuffer.End();
}

void TContentWriter::PutBool(std::u16string_view Key, bool Value) {
  *Begin(Key, vtBool, 1) = BoolToByte(Value);
  FBuffer.Advance(1);
}

void TContentWriter::PutInt(std::u16string_view Key, std::int32_t Value) {
  std::uint8_t* data = Begin(Key, vtInt, 4);
  for (std::size_t i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(Value) >> (8 * i));
  FBuffer.Advance(4);
}

void TContentWriter::PutLong(std::u16string_view Key, std::int64_t Value) {
  std::uint8_t* data = Begin(Key, vtLong, 8);
  for (std::size_t i = 0; i < 8; ++i) data[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(Value) >> (8 * i));
  FBuffer.Advance(8);
}

void TContentWriter::PutString(std::u16string_view Key, std::u16string_view Value) {
  const std::size_t start = FBuffer.Size();
  if (Value.size() > KLStorageMaxFieldSize) throw EKLStorageException(SStorageValueTooLong);
  std::uint8_t* data = Begin(Key, vtString, 2 + 3 * Value.size());
  const std::size_t size = EncodeUTF8(Value, data + 2);
  if (size > KLStorageMaxFieldSize) {
    SecureZero(data, 2 + size);
    FBuffer.Truncate(start);
    throw EKLStorageException(SStorageValueTooLong);
  }
  data[0] = static_cast<std::uint8_t>(size);
  data[1] = static_cast<std::uint8_t>(size >> 8);
  FBuffer.Advance(2 + size);
}

void TContentWriter::PutBlob(std::u16string_view Key, const std::uint8_t* Data, std::size_t Size) {
  if (Size > KLStorageMaxFieldSize) throw EKLStorageException(SStorageValueTooLong);
  std::uint8_t* data = Begin(Key, vtBlob, 2 + Size);
  data[0] = static_cast<std::uint8_t>(Size);
  data[1] = static_cast<std::uint8_t>(Size >> 8);
  if (Size != 0) std::memcpy(data + 2, Data, Size);
  FBuffer.Advance(2 + Size);
}

void TContentWriter::Finish() {
  const TMessageDigest256 digest = DigestOf(FBuffer.Data(), FBuffer.Size());
  FBuffer.Ensure(kClosingSize);
  const std::uint8_t head[] = {sizeof(kClosingKey), 0, 'h', 'a', 's', 'h', vtClosing};
  FBuffer.Append(head, sizeof(head));
  FBuffer.Append(DigestBytes(digest), SHA256DigestSize);
}

// --- Files ---

namespace {

// The key is derived from the password's NFKC form; a file written before
// passwords were normalised was keyed by the password as typed, which is tried
// next when the two differ. The password check comes before any content is
// read, so the second try starts again from the same place.
std::shared_ptr<TStorageKey> ReadFormat3AnyForm(TStream& Strm, const String& Password,
                                                const std::shared_ptr<TStorageKey>& Cached,
                                                std::unique_ptr<TContentBuffer>& Content) {
  const std::int64_t start = Strm.GetPosition();
  {
    const TPasswordBytes normal(Password);
    const TPasswordBytes typed(Password, TPasswordBytes::pfAsTyped);
    try {
      return ReadFormat3(Strm, normal.Get(), Cached, *Content);
    } catch (const EKLStorageException& e) {
      if (normal.Get() == typed.Get() || e.GetMessage() != SStorageWrongPassword) throw;
    }
  }
  Strm.SetPosition(start);
  Content = std::make_unique<TContentBuffer>();
  const TPasswordBytes typed(Password, TPasswordBytes::pfAsTyped);
  return ReadFormat3(Strm, typed.Get(), Cached, *Content);
}

} // namespace

void WriteStorageFile(TStream& Strm, const String& Password, const TStorageFileOptions& Options,
                      TKLBaseRandomGenerator& Random, std::shared_ptr<TStorageKey>& Key, TContentBuffer& Content) {
  // Header, padding and tag come to under 200 bytes.
  Strm.ExpectWrite(static_cast<std::int64_t>(Content.Size() + 200));
  if (Password.empty()) {
    WriteHeader(Strm, KLStorageLegacyVersion, 0);
    WriteAll(Strm, Content.Data(), Content.Size());
    return;
  }
  if (Options.SaveVersion == KLStorageVersion2) {
    SaveLegacy(Strm, Password, Random, Content);
    return;
  }
  const TPasswordBytes password(Password);
  CheckKdfParameters(Options.Kdf);
  // The derivation is the cost of a save; a key kept from the last load or
  // save under this password and these parameters is used again.
  if (!Key || !Key->Matches(password.Get(), Options.Kdf)) {
    std::uint8_t salt[Format3SaltSize];
    Random.Generate(salt, static_cast<std::int32_t>(sizeof(salt)));
    Key = std::make_shared<TStorageKey>(password.Get(), Options.Kdf, salt);
  }
  WriteFormat3(Strm, *Key, Random, Content);
}

TLoadedContent ReadStorageFile(TStream& Strm, const String& Password, const TStorageFileOptions& Options,
                               const std::shared_ptr<TStorageKey>& Cached) {
  std::uint8_t bytes[KLStorageHeaderSize];
  Strm.ReadBuffer(bytes, sizeof(bytes));
  const auto tag = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
  const std::uint8_t version = bytes[2];
  if (tag != KLStorageTag) throw EKLStorageException(SWrongStorageTag);
  if (version < KLStorageLegacyVersion || version > KLStorageVersion3) {
    throw EKLStorageException(SWrongStorageVersion);
  }
  const bool encrypted = bytes[3] != 0;
  if (!Password.empty() && !encrypted) throw EKLStorageException(SStorageNotEncrypted);
  if (Password.empty() && encrypted) throw EKLStorageException(SStorageWrongPassword);
  TLoadedContent loaded;
  loaded.Buffer = std::make_unique<TContentBuffer>();
  loaded.Version = version;
  if (!encrypted) {
    // Version 3 has no plain form.
    if (version == KLStorageVersion3) throw EKLStorageException(SWrongStorageVersion);
    const std::int64_t start = Strm.GetPosition();
    ReadToEnd(Strm, *loaded.Buffer, RemainingSize(Strm));
    loaded.Size = CheckContent(loaded.Buffer->Data(), loaded.Buffer->Size(), loaded.Records);
    // What follows the closing record is the caller's.
    Strm.SetPosition(start + static_cast<std::int64_t>(loaded.Size));
  } else if (version == KLStorageVersion3) {
    if (bytes[3] != 1) RaiseDamaged();
    loaded.Key = ReadFormat3AnyForm(Strm, Password, Cached, loaded.Buffer);
    try {
      loaded.Size = CheckContent(loaded.Buffer->Data(), loaded.Buffer->Size(), loaded.Records);
    } catch (const Exception&) {
      RaiseDamaged();
    }
    // The content ends with the closing record.
    if (loaded.Size != loaded.Buffer->Size()) RaiseDamaged();
  } else {
    if (!Options.AllowLegacyFormat) throw EKLStorageLegacyFormat(SStorageLegacyFormat);
    LoadLegacy(Strm, Password, version, loaded);
  }
  return loaded;
}

// --- Legacy header protection ---

void DeriveLegacyKeyIV(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV) {
  DerivePasswordKey(Password, Salt, Key, IV);
}

void EncryptLegacyHeader(TKLStorageCryptoHeader& Header, const String& Password) {
  TAESExpandedKey256 schedule;
  WipeOnExit<TAESExpandedKey256> wipe(schedule);
  ExpandPasswordKey(Header, Password, false, schedule);
  AESEncrypt(Header.IV.data(), schedule, Header.IV.data());
  AESEncrypt(Header.CheckBytes.data(), schedule, Header.CheckBytes.data());
  AESEncrypt(Header.MasterKey.data(), schedule, Header.MasterKey.data());
  AESEncrypt(Header.MasterKey.data() + AESBlockSize, schedule, Header.MasterKey.data() + AESBlockSize);
}

void DecryptLegacyHeader(TKLStorageCryptoHeader& Header, const String& Password, std::uint8_t Version) {
  TAESExpandedKey256 schedule;
  WipeOnExit<TAESExpandedKey256> wipe(schedule);
  ExpandPasswordKey(Header, Password, true, schedule);
  AESDecrypt(Header.IV.data(), schedule, Header.IV.data());
  AESDecrypt(Header.CheckBytes.data(), schedule, Header.CheckBytes.data());
  if (!ConstantTimeEqual(Header.CheckBytes.data(), KLStorageCheckBytes.data(), AESBlockSize)) {
    throw EKLStorageException(SStorageWrongPassword);
  }
  // The legacy form keeps the content key as drawn.
  if (Version != KLStorageLegacyVersion) {
    AESDecrypt(Header.MasterKey.data(), schedule, Header.MasterKey.data());
    AESDecrypt(Header.MasterKey.data() + AESBlockSize, schedule, Header.MasterKey.data() + AESBlockSize);
  }
}

} // namespace kl::detail
