#include "crypto/KLHMAC.h"

#include <cstring>

#include "foundation/Exceptions.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5C;

} // namespace

void MAC256Initialize(TMACSHA256Context& Context, const ByteArray& Key) {
  std::uint8_t block[SHA256BlockSize] = {};
  if (Key.size() > SHA256BlockSize) {
    TMessageDigest256 hashed = SHA256Calculate(Key.data(), static_cast<std::uint32_t>(Key.size()));
    std::memcpy(block, DigestBytes(hashed), SHA256DigestSize);
    SecureZeroObject(hashed);
  } else if (!Key.empty()) {
    std::memcpy(block, Key.data(), Key.size());
  }
  std::uint8_t innerPad[SHA256BlockSize];
  for (std::size_t i = 0; i < SHA256BlockSize; ++i) {
    Context.OKey[i] = block[i] ^ kOuterPad;
    innerPad[i] = block[i] ^ kInnerPad;
  }
  SHA256Initialize(Context.Ctx);
  SHA256Update(Context.Ctx, innerPad, SHA256BlockSize);
  SecureZeroObject(block);
  SecureZeroObject(innerPad);
}

void MAC256Update(TMACSHA256Context& Context, const void* Data, std::int32_t Len) {
  if (Len < 0) throw ERangeError(SRangeError);
  SHA256Update(Context.Ctx, Data, static_cast<std::uint32_t>(Len));
}

TMessageDigest256 MAC256Finalize(TMACSHA256Context& Context) {
  TMessageDigest256 inner = SHA256Finalize(Context.Ctx);
  TSHA256Context outer;
  SHA256Initialize(outer);
  SHA256Update(outer, Context.OKey, SHA256BlockSize);
  SHA256Update(outer, &inner, SHA256DigestSize);
  const TMessageDigest256 result = SHA256Finalize(outer);
  SecureZeroObject(inner);
  SecureZeroObject(outer);
  return result;
}

TMessageDigest256 MAC256Calculate(const ByteArray& Data, const ByteArray& Key) {
  TMACSHA256Context context;
  MAC256Initialize(context, Key);
  // Updates are limited to 32-bit lengths; feed larger data in pieces.
  const std::uint8_t* p = Data.data();
  std::size_t left = Data.size();
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  while (left > 0) {
    const std::size_t n = left < kPiece ? left : kPiece;
    SHA256Update(context.Ctx, p, static_cast<std::uint32_t>(n));
    p += n;
    left -= n;
  }
  const TMessageDigest256 result = MAC256Finalize(context);
  SecureZeroObject(context);
  return result;
}

} // namespace kl
