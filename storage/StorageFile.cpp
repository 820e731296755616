#include <cstring>

#include "crypto/KLPKCS5.h"
#include "crypto/KLSHA256.h"
#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"
#include "storage/StorageFields.h"
#include "storage/StorageFormat.h"

namespace kl {

namespace {

// Records pass through a buffer of this size on their way to or from a plain
// stream, so that a file is not written or read a few bytes at a time.
constexpr std::size_t kIOBufferSize = 64 * 1024;
constexpr std::size_t kDerivedSize = AESKeySize + AESBlockSize;
constexpr char kClosingKey[] = {'h', 'a', 's', 'h'};

// --- Headers, field by field, little-endian ---

void WriteHeader(TStream& Strm, const TKLStorageHeader& Header) {
  const std::uint8_t bytes[KLStorageHeaderSize] = {static_cast<std::uint8_t>(Header.Tag & 0xFF),
                                                   static_cast<std::uint8_t>(Header.Tag >> 8), Header.Version,
                                                   Header.Encrypted};
  Strm.WriteBuffer(bytes, sizeof(bytes));
}

TKLStorageHeader ReadHeader(TStream& Strm) {
  std::uint8_t bytes[KLStorageHeaderSize];
  Strm.ReadBuffer(bytes, sizeof(bytes));
  return TKLStorageHeader{static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8), bytes[2], bytes[3]};
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

// --- Password key ---

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

// --- Content records ---

// Buffers value records for the content stream, hashing them as they leave.
// The closing record follows FinishRecords and is not hashed.
class TRecordWriter {
public:
  explicit TRecordWriter(TStream& Out) : FOut(Out) {
    FBuffer.reserve(kIOBufferSize);
    SHA256Initialize(FHash);
  }
  ~TRecordWriter() {
    WipeBytes(FBuffer);
    SecureZeroObject(FHash);
  }
  TRecordWriter(const TRecordWriter&) = delete;
  TRecordWriter& operator=(const TRecordWriter&) = delete;

  void Put(const void* Data, std::size_t Size) {
    if (FBuffer.size() + Size > kIOBufferSize) Flush();
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    FBuffer.insert(FBuffer.end(), bytes, bytes + Size);
  }
  void PutByte(std::uint8_t Value) { Put(&Value, 1); }
  void PutLittleEndian(std::uint64_t Value, std::size_t Size) {
    std::uint8_t bytes[8];
    for (std::size_t i = 0; i < Size; ++i) bytes[i] = static_cast<std::uint8_t>(Value >> (8 * i));
    Put(bytes, Size);
  }
  // A 16-bit byte count followed by the bytes.
  void PutCounted(const void* Data, std::size_t Size) {
    PutLittleEndian(Size, 2);
    Put(Data, Size);
  }

  TMessageDigest256 FinishRecords() {
    Flush();
    FHashing = false;
    return SHA256Finalize(FHash);
  }

  void Flush() {
    if (FBuffer.empty()) return;
    if (FHashing) SHA256Update(FHash, FBuffer.data(), static_cast<std::uint32_t>(FBuffer.size()));
    FOut.WriteBuffer(FBuffer.data(), static_cast<std::int32_t>(FBuffer.size()));
    SecureZero(FBuffer.data(), FBuffer.size());
    FBuffer.clear();
  }

private:
  TStream& FOut;
  ByteArray FBuffer;
  TSHA256Context FHash;
  bool FHashing = true;
};

void WriteText(TRecordWriter& Writer, const String& Text) {
  RawByteString utf8 = StrToUTF8(Text);
  Writer.PutCounted(utf8.data(), utf8.size());
  WipeRawBytes(utf8);
}

void WriteValueRecord(TRecordWriter& Writer, const TKLValue& Value) {
  WriteText(Writer, Value.GetKey());
  Writer.PutByte(static_cast<std::uint8_t>(Value.GetValueType()));
  switch (Value.GetValueType()) {
    case vtBool:
      Writer.PutByte(BoolToByte(detail::AsTyped<TKLBoolValue>(&Value)->GetValue()));
      break;
    case vtInt:
      Writer.PutLittleEndian(static_cast<std::uint32_t>(detail::AsTyped<TKLIntValue>(&Value)->GetValue()), 4);
      break;
    case vtLong:
      Writer.PutLittleEndian(static_cast<std::uint64_t>(detail::AsTyped<TKLLongValue>(&Value)->GetValue()), 8);
      break;
    case vtString:
      WriteText(Writer, detail::AsTyped<TKLStringValue>(&Value)->GetValue());
      break;
    case vtBlob: {
      const ByteArray& bytes = detail::AsTyped<TKLBlobValue>(&Value)->GetValue();
      Writer.PutCounted(bytes.data(), bytes.size());
      break;
    }
    default:
      throw EKLStorageException(SWrongValueType);
  }
}

// Whether the value can be written so that it reads back: its code names its
// class, and its key and data fit their 16-bit lengths.
bool IsSavable(const TKLValue& Value, bool& TooLong) {
  TooLong = !detail::FitsStorageField(Value.GetKey());
  switch (Value.GetValueType()) {
    case vtBool:
      return detail::AsTyped<TKLBoolValue>(&Value) != nullptr;
    case vtInt:
      return detail::AsTyped<TKLIntValue>(&Value) != nullptr;
    case vtLong:
      return detail::AsTyped<TKLLongValue>(&Value) != nullptr;
    case vtString: {
      const auto* text = detail::AsTyped<TKLStringValue>(&Value);
      TooLong = TooLong || (text != nullptr && !detail::FitsStorageField(text->GetValue()));
      return text != nullptr;
    }
    case vtBlob: {
      const auto* blob = detail::AsTyped<TKLBlobValue>(&Value);
      TooLong = TooLong || (blob != nullptr && !detail::FitsStorageField(blob->GetValue()));
      return blob != nullptr;
    }
    default:
      return false;
  }
}

// Reads content records from a stream: a plain stream through a read-ahead
// buffer, the decryption stream (which buffers itself) directly, so that it
// checks the padding only when the records reach the last block.
class TRecordReader {
public:
  TRecordReader(TStream& Source, bool Buffered) : FSource(Source), FBuffered(Buffered) {
    if (FBuffered) FBuffer.resize(kIOBufferSize);
  }
  ~TRecordReader() { WipeBytes(FBuffer); }
  TRecordReader(const TRecordReader&) = delete;
  TRecordReader& operator=(const TRecordReader&) = delete;

  // Up to Size bytes; fewer only where the content ends.
  std::size_t Read(void* Data, std::size_t Size) {
    auto* out = static_cast<std::uint8_t*>(Data);
    std::size_t done = 0;
    while (done < Size) {
      const std::size_t n = FBuffered ? FromBuffer(out + done, Size - done) : FromSource(out + done, Size - done);
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  // A short read here means a record cut short.
  void ReadField(void* Data, std::size_t Size, TSHA256Context* Hash) {
    if (Read(Data, Size) < Size) throw EReadError(SReadError);
    if (Hash != nullptr) SHA256Update(*Hash, Data, static_cast<std::uint32_t>(Size));
  }

  std::uint64_t ReadLittleEndian(std::size_t Size, TSHA256Context& Hash) {
    std::uint8_t bytes[8];
    ReadField(bytes, Size, &Hash);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < Size; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return value;
  }

  // Puts a plain source back at the first byte the records did not use.
  void ReturnUnread() {
    if (FEnd > FNext) FSource.Seek(-static_cast<std::int64_t>(FEnd - FNext), soCurrent);
    FNext = FEnd = 0;
  }

private:
  std::size_t FromSource(std::uint8_t* Out, std::size_t Size) {
    const std::int32_t n = FSource.Read(Out, static_cast<std::int32_t>(Size));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  std::size_t FromBuffer(std::uint8_t* Out, std::size_t Size) {
    if (FNext == FEnd) {
      FNext = FEnd = 0;
      FEnd = FromSource(FBuffer.data(), FBuffer.size());
      if (FEnd == 0) return 0;
    }
    const std::size_t n = std::min(Size, FEnd - FNext);
    std::memcpy(Out, FBuffer.data() + FNext, n);
    FNext += n;
    return n;
  }

  TStream& FSource;
  bool FBuffered;
  ByteArray FBuffer;
  std::size_t FNext = 0;
  std::size_t FEnd = 0;
};

// Reads the data of a value made by ValueByType, hashing every byte read.
// Field is scratch space of KLStorageMaxFieldSize bytes for texts and arrays.
void ReadValueData(TKLValue& Value, TRecordReader& Reader, TSHA256Context& Hash, std::uint8_t* Field) {
  switch (Value.GetValueType()) {
    case vtBool:
      detail::AsTyped<TKLBoolValue>(&Value)->SetValue(Reader.ReadLittleEndian(1, Hash) == 1);
      break;
    case vtInt:
      detail::AsTyped<TKLIntValue>(&Value)->SetValue(static_cast<std::int32_t>(Reader.ReadLittleEndian(4, Hash)));
      break;
    case vtLong:
      detail::AsTyped<TKLLongValue>(&Value)->SetValue(static_cast<std::int64_t>(Reader.ReadLittleEndian(8, Hash)));
      break;
    case vtString: {
      const auto size = static_cast<std::size_t>(Reader.ReadLittleEndian(2, Hash));
      Reader.ReadField(Field, size, &Hash);
      String text = UTF8ToStr(Field, size);
      detail::AsTyped<TKLStringValue>(&Value)->SetValue(text);
      WipeString(text);
      break;
    }
    case vtBlob: {
      const auto size = static_cast<std::size_t>(Reader.ReadLittleEndian(2, Hash));
      Reader.ReadField(Field, size, &Hash);
      ByteArray bytes(Field, Field + size);
      detail::AsTyped<TKLBlobValue>(&Value)->SetValue(bytes);
      WipeBytes(bytes);
      break;
    }
    default:
      throw EKLStorageException(SReadError);
  }
}

// The password as the bytes a version-3 key is derived from, wiped on scope exit.
class TPasswordBytes {
public:
  explicit TPasswordBytes(const String& Password) : FBytes(StrToUTF8Strict(Password)) {}
  ~TPasswordBytes() { WipeRawBytes(FBytes); }
  TPasswordBytes(const TPasswordBytes&) = delete;
  TPasswordBytes& operator=(const TPasswordBytes&) = delete;
  const RawByteString& Get() const noexcept { return FBytes; }

private:
  RawByteString FBytes;
};

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

} // namespace

// --- Header protection ---

void TKLStorage::DeriveKeyIV(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV) {
  DerivePasswordKey(Password, Salt, Key, IV);
}

void TKLStorage::EncryptHeader(TKLStorageCryptoHeader& Header, const String& Password) {
  TAESExpandedKey256 schedule;
  WipeOnExit<TAESExpandedKey256> wipe(schedule);
  ExpandPasswordKey(Header, Password, false, schedule);
  AESEncrypt(Header.IV.data(), schedule, Header.IV.data());
  AESEncrypt(Header.CheckBytes.data(), schedule, Header.CheckBytes.data());
  AESEncrypt(Header.MasterKey.data(), schedule, Header.MasterKey.data());
  AESEncrypt(Header.MasterKey.data() + AESBlockSize, schedule, Header.MasterKey.data() + AESBlockSize);
}

void TKLStorage::DecryptHeader(TKLStorageCryptoHeader& Header, const String& Password, std::uint8_t Version) {
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

// --- Saving ---

// Every value is checked before the first byte is written, so that a refused
// save leaves the stream as it was.
void TKLStorage::CheckSavable() const {
  for (const TKLValue* value : FList) {
    bool tooLong = false;
    if (!IsSavable(*value, tooLong)) throw EKLStorageException(SWrongValueType);
    if (tooLong) throw EKLStorageException(SStorageValueTooLong);
  }
}

void TKLStorage::WriteContent(TStream& Content) const {
  TRecordWriter writer(Content);
  for (const TKLValue* value : FList) WriteValueRecord(writer, *value);
  const TMessageDigest256 digest = writer.FinishRecords();
  writer.PutCounted(kClosingKey, sizeof(kClosingKey));
  writer.PutByte(static_cast<std::uint8_t>(vtClosing));
  writer.Put(DigestBytes(digest), SHA256DigestSize);
  writer.Flush();
}

void TKLStorage::SaveToStream(TStream& Strm, const String& Password) const {
  CheckSavable();
  if (Password.empty()) {
    WriteHeader(Strm, TKLStorageHeader{KLStorageTag, KLStorageLegacyVersion, 0});
    WriteContent(Strm);
    return;
  }
  if (FSaveVersion == KLStorageVersion2) {
    SaveLegacy(Strm, Password);
    return;
  }
  const TPasswordBytes password(Password);
  detail::CheckKdfParameters(FKdf);
  // The derivation is the cost of a save; a key kept from the last load or
  // save under this password and these parameters is used again.
  if (!FKey || !FKey->Matches(password.Get(), FKdf)) {
    std::uint8_t salt[detail::Format3SaltSize];
    GetRandomGenerator()->Generate(salt, static_cast<std::int32_t>(sizeof(salt)));
    FKey = std::make_shared<detail::TStorageKey>(password.Get(), FKdf, salt);
  }
  detail::WriteFormat3(Strm, *FKey, *GetRandomGenerator(), [&](TStream& Content) { WriteContent(Content); });
}

void TKLStorage::SaveLegacy(TStream& Strm, const String& Password) const {
  const TKLStorageHeader header{KLStorageTag, KLStorageVersion2, 1};
  TKLStorageCryptoHeader crypto;
  WipeOnExit<TKLStorageCryptoHeader> wipe(crypto);
  TKLBaseRandomGenerator* random = GetRandomGenerator();
  random->Generate(crypto.Salt.data(), static_cast<std::int32_t>(crypto.Salt.size()));
  random->Generate(crypto.IV.data(), static_cast<std::int32_t>(crypto.IV.size()));
  random->Generate(crypto.MasterKey.data(), static_cast<std::int32_t>(crypto.MasterKey.size()));
  crypto.CheckBytes = KLStorageCheckBytes;
  // The stream takes the content key and vector as drawn; the header then
  // carries them enciphered. Released on failure too, writing the last block.
  TKLAESEncryptionStream content(crypto.MasterKey.data(), crypto.IV.data(), &Strm);
  EncryptHeader(crypto, Password);
  WriteHeader(Strm, header);
  WriteCryptoHeader(Strm, crypto);
  SecureZeroObject(crypto);
  WriteContent(content);
  content.Finish();
}

void TKLStorage::SaveToFile(const String& FileName, const String& Password) const {
  SaveFileAtomically(FileName, [&](TStream& Strm) { SaveToStream(Strm, Password); });
}

// --- Loading ---

void TKLStorage::ReadContent(TStream& Content, bool Buffered) {
  TRecordReader reader(Content, Buffered);
  TSHA256Context hash;
  WipeOnExit<TSHA256Context> wipeHash(hash);
  SHA256Initialize(hash);
  SecureBytes field(KLStorageMaxFieldSize);
  std::uint8_t storedDigest[SHA256DigestSize] = {};
  bool closed = false;
  for (;;) {
    std::uint8_t keyLength[2];
    if (reader.Read(keyLength, sizeof(keyLength)) < sizeof(keyLength)) break; // ended without a closing record
    const std::size_t keySize = keyLength[0] | keyLength[1] << 8;
    reader.ReadField(field.data(), keySize, nullptr);
    std::uint8_t type = 0;
    reader.ReadField(&type, 1, nullptr);
    if (type == vtClosing) {
      reader.ReadField(storedDigest, sizeof(storedDigest), nullptr);
      closed = true;
      break;
    }
    SHA256Update(hash, keyLength, sizeof(keyLength));
    SHA256Update(hash, field.data(), static_cast<std::uint32_t>(keySize));
    SHA256Update(hash, &type, 1);
    // An unknown type has no known length: nothing after it can be parsed.
    std::unique_ptr<TKLValue> value = ValueByType(type);
    if (value == nullptr) throw EKLStorageException(SReadError);
    value->FKey = UTF8ToStr(field.data(), keySize);
    ReadValueData(*value, reader, hash, field.data());
    Append(std::move(value));
  }
  const TMessageDigest256 digest = SHA256Finalize(hash);
  if (!closed || !ConstantTimeEqual(DigestBytes(digest), storedDigest, SHA256DigestSize)) {
    throw EKLStorageException(SReadError);
  }
  FLoaded = true;
  if (Buffered) reader.ReturnUnread();
}

// The file is read into a storage of its own, whose values join these only
// once every check has passed.
void TKLStorage::LoadFromStream(TStream& Strm, const String& Password) {
  TKLStorage loaded;
  loaded.FAllowLegacyFormat = FAllowLegacyFormat;
  loaded.FKey = FKey;
  loaded.LoadInto(Strm, Password);
  TakeValues(loaded);
  if (loaded.FLoadedVersion == KLStorageVersion3) FKdf = loaded.FKey->GetParameters();
  FKey = std::move(loaded.FKey);
  FLoadedVersion = loaded.FLoadedVersion;
  FLoaded = true;
}

void TKLStorage::LoadInto(TStream& Strm, const String& Password) {
  const TKLStorageHeader header = ReadHeader(Strm);
  if (header.Tag != KLStorageTag) throw EKLStorageException(SWrongStorageTag);
  if (header.Version < KLStorageLegacyVersion || header.Version > KLStorageVersion3) {
    throw EKLStorageException(SWrongStorageVersion);
  }
  const bool encrypted = header.Encrypted != 0;
  if (!Password.empty() && !encrypted) throw EKLStorageException(SStorageNotEncrypted);
  if (Password.empty() && encrypted) throw EKLStorageException(SStorageWrongPassword);
  if (!encrypted) {
    // Version 3 has no plain form.
    if (header.Version == KLStorageVersion3) throw EKLStorageException(SWrongStorageVersion);
    ReadContent(Strm, true);
  } else if (header.Version == KLStorageVersion3) {
    if (header.Encrypted != 1) throw EKLStorageException(SStorageDamaged);
    const TPasswordBytes password(Password);
    FKey = detail::ReadFormat3(Strm, password.Get(), FKey, [&](TStream& Content) { ReadContent(Content, false); });
  } else {
    if (!FAllowLegacyFormat) throw EKLStorageLegacyFormat(SStorageLegacyFormat);
    LoadLegacy(Strm, Password, header.Version);
  }
  FLoadedVersion = header.Version;
}

// Nothing of a legacy file is authenticated: every failure of its content,
// padding included, reads as one error, so that errors reveal nothing of it.
void TKLStorage::LoadLegacy(TStream& Strm, const String& Password, std::uint8_t Version) {
  TKLStorageCryptoHeader crypto;
  WipeOnExit<TKLStorageCryptoHeader> wipe(crypto);
  try {
    ReadCryptoHeader(Strm, crypto);
  } catch (const EReadError&) {
    throw EKLStorageException(SStorageDamaged);
  }
  if (LooksForged(crypto, Version)) throw EKLStorageException(SStorageDamaged);
  DecryptHeader(crypto, Password, Version);
  try {
    TKLAESDecryptionStream content(crypto.MasterKey.data(), crypto.IV.data(), &Strm);
    SecureZeroObject(crypto);
    ReadContent(content, false);
  } catch (const Exception&) {
    throw EKLStorageException(SStorageDamaged);
  }
}

TKLStorageFileInfo TKLStorage::ReadFileInfo(TStream& Strm) {
  const TKLStorageHeader header = ReadHeader(Strm);
  if (header.Tag != KLStorageTag) throw EKLStorageException(SWrongStorageTag);
  if (header.Version < KLStorageLegacyVersion || header.Version > KLStorageVersion3) {
    throw EKLStorageException(SWrongStorageVersion);
  }
  TKLStorageFileInfo info;
  info.Version = header.Version;
  info.Encrypted = header.Encrypted != 0;
  if (info.Encrypted && header.Version == KLStorageVersion3) {
    info.Authenticated = true;
    info.Kdf = detail::ReadFormat3Parameters(Strm);
  }
  return info;
}

TKLKdfParameters TKLStorage::CalibrateKdf(std::uint32_t MemoryKiB, double Seconds) {
  return detail::CalibrateKdf(MemoryKiB, Seconds);
}

TKLStorageFileInfo TKLStorage::ReadFileInfo(const String& FileName) {
  TFileStream file(FileName, fmOpenRead);
  return ReadFileInfo(file);
}

void TKLStorage::LoadFromFile(const String& FileName, const String& Password) {
  TFileStream file(FileName, fmOpenRead);
  LoadFromStream(file, Password);
}

} // namespace kl
