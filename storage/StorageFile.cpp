#include <cstring>

#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageFields.h"
#include "storage/StorageFormat.h"
#include "storage/StorageTable.h"

namespace kl {

// --- Header protection ---

void TKLStorage::DeriveKeyIV(const String& Password, const ByteArray& Salt, TAESKey256& Key, TAESBlock& IV) {
  detail::DeriveLegacyKeyIV(Password, Salt, Key, IV);
}

void TKLStorage::EncryptHeader(TKLStorageCryptoHeader& Header, const String& Password) {
  detail::EncryptLegacyHeader(Header, Password);
}

void TKLStorage::DecryptHeader(TKLStorageCryptoHeader& Header, const String& Password, std::uint8_t Version) {
  detail::DecryptLegacyHeader(Header, Password, Version);
}

// --- Saving ---

detail::TStorageFileOptions TKLStorage::FileOptions() const {
  return detail::TStorageFileOptions{FKdf, FAllowLegacyFormat, FSaveVersion};
}

// The content is built whole before the first byte is written, so that a
// refused save leaves the stream as it was.
void TKLStorage::SaveToStream(TStream& Strm, const String& Password) const {
  detail::TContentWriter writer(FTable->ContentSizeHint());
  FTable->Write(writer);
  writer.Finish();
  detail::WriteStorageFile(Strm, Password, FileOptions(), *GetRandomGenerator(), FKey, writer.Buffer());
}

void TKLStorage::SaveToFile(const String& FileName, const String& Password) const {
  SaveFileAtomically(FileName, [&](TStream& Strm) { SaveToStream(Strm, Password); });
}

// --- Loading ---

void TKLStorage::LoadFromStream(TStream& Strm, const String& Password) {
  detail::TLoadedContent loaded = detail::ReadStorageFile(Strm, Password, FileOptions(), FKey);
  FTable->Take(loaded);
  if (loaded.Key) {
    FKdf = loaded.Key->GetParameters();
    FKey = std::move(loaded.Key);
  }
  FLoadedVersion = loaded.Version;
  FLoaded = true;
}

TKLStorageFileInfo TKLStorage::ReadFileInfo(TStream& Strm) {
  std::uint8_t bytes[KLStorageHeaderSize];
  Strm.ReadBuffer(bytes, sizeof(bytes));
  const TKLStorageHeader header{static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8), bytes[2], bytes[3]};
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
