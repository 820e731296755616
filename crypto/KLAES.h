#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/Exceptions.h"
#include "foundation/Export.h"
#include "foundation/Stream.h"

namespace kl {

// One cipher block in FIPS-197 input order, the 256-bit key, and the expanded key:
// words 0 to 59 are the 15 round keys (each word holds four schedule bytes in
// memory order); words 60 to 63 are unused and kept zero.
using TAESBlock = std::array<std::uint8_t, 16>;
using PAESBuffer = TAESBlock*;
using TAESKey256 = std::array<std::uint8_t, 32>;
using PAESKey256 = TAESKey256*;
using TAESExpandedKey256 = std::array<std::uint32_t, 64>;
using PAESExpandedKey256 = TAESExpandedKey256*;

inline constexpr std::size_t AESBlockSize = 16;
inline constexpr std::size_t AESKeySize = 32;

inline constexpr const char* SWrongPadding = "Wrong PKCS#5 padding";

// Raised by the decryption stream on bad padding. A sibling of EKLException, so
// a handler for the library's general errors does not swallow it.
KL_DECLARE_EXCEPTION(EKLAESError, Exception);

// Expands a 32-byte key for encryption (Decrypt = false) or, with the round keys
// 1 to 13 passed through InvMixColumns, for the equivalent inverse cipher.
KL_API void AESInitialize(const std::uint8_t* Key, TAESExpandedKey256& ExpandedKey, bool Decrypt);

// One 16-byte block; InBuf and OutBuf may be the same memory. The key must have
// been expanded for the matching direction; nothing checks it.
KL_API void AESEncrypt(const std::uint8_t* InBuf, const TAESExpandedKey256& ExpandedKey, std::uint8_t* OutBuf);
KL_API void AESDecrypt(const std::uint8_t* InBuf, const TAESExpandedKey256& ExpandedKey, std::uint8_t* OutBuf);

// Base of the AES-256-CBC streams: holds the underlying stream, which it deletes
// on destruction when OwnStream is set (false by default; the caller then frees
// the underlying stream after the AES stream). Not to be shared between threads.
class KL_API TKLAESStream : public TStream {
public:
  explicit TKLAESStream(TStream* Stream) noexcept : FStream(Stream) {}
  ~TKLAESStream() override;

  bool GetOwnStream() const noexcept { return FOwnStream; }
  void SetOwnStream(bool Value) noexcept { FOwnStream = Value; }

protected:
  TStream* FStream;
  bool FOwnStream = false;
};

// Write-only: plaintext written to it reaches the underlying stream as AES-256-CBC
// ciphertext with PKCS#7 padding; no IV or header is written. Finish writes the
// padded last block (EWriteError "Stream write error" on a short write, as for
// any block). Read and Seek raise "Not implemented". The destructor finishes the
// stream if nobody did, swallowing failure, and wipes the key schedule.
class KL_API TKLAESEncryptionStream : public TKLAESStream {
public:
  TKLAESEncryptionStream(const std::uint8_t* Key, const std::uint8_t* IV, TStream* Stream);
  ~TKLAESEncryptionStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

  // Writes the final padded block; runs once. Later writes raise "Stream write error".
  void Finish();

private:
  void WriteBlocks(const std::uint8_t* Plain, std::size_t Blocks);
  void Wipe() noexcept;

  TAESExpandedKey256 FExpandedKey;
  TAESBlock FBuffer;
  TAESBlock FVector;
  std::int32_t FOffset = 0;
  bool FFinished = false;
};

// Read-only: deciphers AES-256-CBC from the underlying stream and strips the
// padding of the last block, which it recognises by the underlying stream's
// position reaching its size (so the ciphertext must run to the end of it). Bad
// padding raises EKLAESError "Wrong PKCS#5 padding". Ciphertext is read ahead in
// chunks of up to ReadAheadSize bytes. Write and Seek raise "Not implemented".
class KL_API TKLAESDecryptionStream : public TKLAESStream {
public:
  static constexpr std::int32_t ReadAheadSize = 4096;

  TKLAESDecryptionStream(const std::uint8_t* Key, const std::uint8_t* IV, TStream* Stream);
  ~TKLAESDecryptionStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

private:
  bool NextSpan();
  bool Refill();

  TAESExpandedKey256 FExpandedKey;
  // Deciphered blocks read ahead: FCount bytes, of which those from FPos up to
  // FLimit may be delivered now. While the final block of the data waits for its
  // padding check (FFinalPending), FLimit stops before it.
  alignas(16) std::array<std::uint8_t, ReadAheadSize> FBuffer;
  TAESBlock FVector; // the ciphertext block before the next one to decipher
  std::int32_t FCount = 0;
  std::int32_t FPos = 0;
  std::int32_t FLimit = 0;
  bool FFinalPending = false;
};

} // namespace kl
