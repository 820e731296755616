#include <algorithm>
#include <cstring>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLAES.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

constexpr std::int32_t kBlock = static_cast<std::int32_t>(AESBlockSize);

// Whole blocks of one Write are enciphered straight from the caller's buffer into
// this many bytes of ciphertext and handed to the underlying stream in one write.
constexpr std::size_t kWriteChunk = 4096;

} // namespace

TKLAESStream::~TKLAESStream() {
  if (FOwnStream) FreeAndNil(FStream);
}

// --- Encryption ---

TKLAESEncryptionStream::TKLAESEncryptionStream(const std::uint8_t* Key, const std::uint8_t* IV, TStream* Stream)
    : TKLAESStream(Stream) {
  AESInitialize(Key, FExpandedKey, false);
  std::memcpy(FVector.data(), IV, AESBlockSize);
  FBuffer.fill(0);
}

TKLAESEncryptionStream::~TKLAESEncryptionStream() {
  if (!FFinished) {
    try {
      Finish();
    } catch (...) {
      // A destructor must not throw; callers that need the error call Finish.
    }
  }
  Wipe();
}

void TKLAESEncryptionStream::Wipe() noexcept {
  SecureZeroObject(FExpandedKey);
  SecureZeroObject(FBuffer);
}

std::int32_t TKLAESEncryptionStream::Read(void*, std::int32_t) { throw Exception(SNotImplemented); }

std::int64_t TKLAESEncryptionStream::Seek(std::int64_t, TSeekOrigin) { throw Exception(SNotImplemented); }

// Enciphers whole plaintext blocks and writes them; any shortfall of the
// underlying stream is a write error. The chaining vector has advanced past every
// block enciphered, written or not.
void TKLAESEncryptionStream::WriteBlocks(const std::uint8_t* Plain, std::size_t Blocks) {
  const detail::TAESImplementation& aes = detail::ActiveAES();
  alignas(16) std::uint8_t cipher[kWriteChunk];
  while (Blocks > 0) {
    const std::size_t n = std::min(Blocks, kWriteChunk / AESBlockSize);
    aes.EncryptCBC(FExpandedKey, FVector.data(), Plain, cipher, n);
    const auto bytes = static_cast<std::int32_t>(n * AESBlockSize);
    if (FStream->Write(cipher, bytes) != bytes) throw EWriteError(SWriteError);
    Plain += n * AESBlockSize;
    Blocks -= n;
  }
}

std::int32_t TKLAESEncryptionStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  if (FFinished) throw EWriteError(SWriteError);
  const auto* p = static_cast<const std::uint8_t*>(Buffer);
  std::int32_t left = Count;
  if (left == 0) return 0;
  if (FOffset > 0) {
    const std::int32_t n = std::min(left, kBlock - FOffset);
    std::memcpy(FBuffer.data() + FOffset, p, static_cast<std::size_t>(n));
    FOffset += n;
    p += n;
    left -= n;
    if (FOffset < kBlock) return Count;
    FOffset = 0;
    WriteBlocks(FBuffer.data(), 1);
  }
  const std::int32_t whole = left / kBlock;
  if (whole > 0) {
    WriteBlocks(p, static_cast<std::size_t>(whole));
    p += whole * kBlock;
    left -= whole * kBlock;
  }
  if (left > 0) std::memcpy(FBuffer.data(), p, static_cast<std::size_t>(left));
  FOffset = left; // FOffset was 0 here: the partial block was completed above
  return Count;
}

// PKCS#7: K = 16 - FOffset bytes of value K, so an empty block becomes sixteen
// bytes of 0x10. Marked finished first: a failed Finish is not retried.
void TKLAESEncryptionStream::Finish() {
  if (FFinished) return;
  FFinished = true;
  const auto pad = static_cast<std::uint8_t>(kBlock - FOffset);
  std::memset(FBuffer.data() + FOffset, pad, static_cast<std::size_t>(pad));
  FOffset = 0;
  try {
    WriteBlocks(FBuffer.data(), 1);
  } catch (...) {
    Wipe();
    throw;
  }
  Wipe();
}

// --- Decryption ---

TKLAESDecryptionStream::TKLAESDecryptionStream(const std::uint8_t* Key, const std::uint8_t* IV, TStream* Stream)
    : TKLAESStream(Stream) {
  AESInitialize(Key, FExpandedKey, true);
  std::memcpy(FVector.data(), IV, AESBlockSize);
  FBuffer.fill(0);
}

TKLAESDecryptionStream::~TKLAESDecryptionStream() {
  SecureZeroObject(FExpandedKey);
  SecureZeroObject(FBuffer);
}

std::int32_t TKLAESDecryptionStream::Write(const void*, std::int32_t) { throw Exception(SNotImplemented); }

std::int64_t TKLAESDecryptionStream::Seek(std::int64_t, TSeekOrigin) { throw Exception(SNotImplemented); }

// Reads ahead up to ReadAheadSize bytes of ciphertext and deciphers the whole
// blocks in place. A trailing fragment of 1 to 15 bytes is dropped: the data has
// ended. The chunk's last block is the last of the data when the underlying
// stream then stands at its end, the same test as after a single block, since
// every earlier block of the chunk is followed by more data.
bool TKLAESDecryptionStream::Refill() {
  const std::int32_t got = FStream->Read(FBuffer.data(), ReadAheadSize);
  const std::int32_t blocks = got / kBlock;
  FCount = FPos = FLimit = 0;
  FFinalPending = false;
  if (blocks == 0) return false;
  detail::ActiveAES().DecryptCBC(FExpandedKey, FVector.data(), FBuffer.data(), FBuffer.data(),
                                 static_cast<std::size_t>(blocks));
  FCount = blocks * kBlock;
  FFinalPending = got % kBlock == 0 && FStream->GetPosition() == FStream->GetSize();
  FLimit = FFinalPending ? FCount - kBlock : FCount;
  return true;
}

// Makes the next plaintext available once everything before it has been
// delivered: the rest of a fresh chunk, or the final block once its padding has
// been checked (all padding leaves nothing to deliver). False at the end of the
// data. On bad padding the final block counts as consumed, so later reads find
// nothing more.
bool TKLAESDecryptionStream::NextSpan() {
  if (!FFinalPending) {
    if (!Refill()) return false;
    if (FLimit > FPos) return true;
  }
  FFinalPending = false;
  FPos = FLimit = FCount;
  const std::uint8_t* block = FBuffer.data() + FCount - kBlock;
  const std::uint8_t pad = block[kBlock - 1];
  std::uint8_t bad = static_cast<std::uint8_t>(pad == 0 || pad > kBlock);
  for (std::int32_t i = kBlock - std::min<std::int32_t>(pad, kBlock); i < kBlock; ++i) bad |= block[i] ^ pad;
  if (bad != 0) throw EKLAESError(SWrongPadding);
  FPos = FCount - kBlock;
  FLimit = FCount - pad;
  return true;
}

// Delivers until Count is met, the data ends, or the final block turns out to be
// all padding. As with a block-at-a-time reader, a call finding nothing left
// ready (even with Count 0) moves on to the next block, checking the padding if
// that block is the last.
std::int32_t TKLAESDecryptionStream::Read(void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  auto* out = static_cast<std::uint8_t*>(Buffer);
  std::int32_t result = 0;
  std::int32_t n = 0;
  do {
    if (FPos == FLimit && !NextSpan()) break;
    n = std::min(Count, FLimit - FPos);
    if (n > 0) std::memcpy(out, FBuffer.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    out += n;
    Count -= n;
    result += n;
  } while (Count != 0 && n != 0);
  return result;
}

} // namespace kl
