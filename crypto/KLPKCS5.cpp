#include "crypto/KLPKCS5.h"

#include <cstring>

#include "crypto/CryptoImplementations.h"
#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"

// PBKDF2 with HMAC-SHA-256. The states after the inner and the outer padded key
// are computed once per call; each iteration starts from them, so it costs two
// compressions, and the fixed-length messages of the loop are padded once.

namespace kl {

namespace {

constexpr std::size_t kMaxUpdate = std::size_t{1} << 30;

void UpdateLong(const detail::TSHA256Implementation& Impl, TSHA256Context& Context, const std::uint8_t* Data,
                std::size_t Len) {
  while (Len > 0) {
    const std::size_t n = Len < kMaxUpdate ? Len : kMaxUpdate;
    detail::SHA256Update(Impl, Context, Data, static_cast<std::uint32_t>(n));
    Data += n;
    Len -= n;
  }
}

void StateWords(const TSHA256Context& Context, std::uint32_t* Words) noexcept {
  const std::uint32_t state[8] = {Context.A, Context.B, Context.C, Context.D,
                                  Context.E, Context.F, Context.G, Context.H};
  std::memcpy(Words, state, sizeof(state));
}

// Everything secret that one derivation holds, wiped as a whole when it ends.
struct TDerivation {
  std::uint8_t KeyBlock[SHA256BlockSize];
  std::uint8_t Pad[SHA256BlockSize];
  TSHA256Context InnerContext; // after the inner padded key
  TSHA256Context OuterContext; // after the outer padded key
  TSHA256Context Work;
  TMessageDigest256 Digest;
  std::uint32_t Inner[8], Outer[8], U[8], T[8];
  std::uint8_t Block[SHA256DigestSize];
};

void PrepareKey(const detail::TSHA256Implementation& Impl, TDerivation& D, const std::uint8_t* Password,
                std::size_t PasswordLen) {
  std::memset(D.KeyBlock, 0, sizeof(D.KeyBlock));
  if (PasswordLen > SHA256BlockSize) {
    SHA256Initialize(D.Work);
    UpdateLong(Impl, D.Work, Password, PasswordLen);
    D.Digest = detail::SHA256Finalize(Impl, D.Work);
    std::memcpy(D.KeyBlock, DigestBytes(D.Digest), SHA256DigestSize);
  } else if (PasswordLen > 0) {
    std::memcpy(D.KeyBlock, Password, PasswordLen);
  }
  for (std::size_t i = 0; i < SHA256BlockSize; ++i) D.Pad[i] = D.KeyBlock[i] ^ 0x36;
  SHA256Initialize(D.InnerContext);
  detail::SHA256Update(Impl, D.InnerContext, D.Pad, SHA256BlockSize);
  for (std::size_t i = 0; i < SHA256BlockSize; ++i) D.Pad[i] = D.KeyBlock[i] ^ 0x5C;
  SHA256Initialize(D.OuterContext);
  detail::SHA256Update(Impl, D.OuterContext, D.Pad, SHA256BlockSize);
  StateWords(D.InnerContext, D.Inner);
  StateWords(D.OuterContext, D.Outer);
}

// Output block number Index: U1 = HMAC(salt || Index) through the contexts, then
// the remaining iterations on the saved states.
void DeriveBlock(const detail::TSHA256Implementation& Impl, TDerivation& D, const std::uint8_t* Salt,
                 std::size_t SaltLen, std::uint32_t Iterations, std::uint32_t Index) {
  const std::uint8_t counter[4] = {static_cast<std::uint8_t>(Index >> 24), static_cast<std::uint8_t>(Index >> 16),
                                   static_cast<std::uint8_t>(Index >> 8), static_cast<std::uint8_t>(Index)};
  D.Work = D.InnerContext;
  UpdateLong(Impl, D.Work, Salt, SaltLen);
  detail::SHA256Update(Impl, D.Work, counter, sizeof(counter));
  D.Digest = detail::SHA256Finalize(Impl, D.Work);
  D.Work = D.OuterContext;
  detail::SHA256Update(Impl, D.Work, DigestBytes(D.Digest), SHA256DigestSize);
  detail::SHA256Finalize(Impl, D.Work);
  StateWords(D.Work, D.U);
  std::memcpy(D.T, D.U, sizeof(D.T));
  Impl.IterateHMAC(D.Inner, D.Outer, D.U, D.T, Iterations - 1);
  for (int i = 0; i < 8; ++i) {
    D.Block[4 * i] = static_cast<std::uint8_t>(D.T[i] >> 24);
    D.Block[4 * i + 1] = static_cast<std::uint8_t>(D.T[i] >> 16);
    D.Block[4 * i + 2] = static_cast<std::uint8_t>(D.T[i] >> 8);
    D.Block[4 * i + 3] = static_cast<std::uint8_t>(D.T[i]);
  }
}

// The derivation proper, in a frame of its own: the states it keeps, and what
// the compiler spills of them, lie below the caller's frame, where the caller
// burns them afterwards.
__attribute__((noinline)) void DeriveInto(const detail::TSHA256Implementation& Impl, const std::uint8_t* Password,
                                          std::size_t PasswordLen, const std::uint8_t* Salt, std::size_t SaltLen,
                                          std::uint32_t Iterations, std::uint8_t* Out, std::size_t OutLen) {
  TDerivation d;
  WipeOnExit<TDerivation> wipe(d);
  PrepareKey(Impl, d, Password, PasswordLen);
  std::uint32_t index = 1;
  for (std::size_t done = 0; done < OutLen; done += SHA256DigestSize, ++index) {
    DeriveBlock(Impl, d, Salt, SaltLen, Iterations, index);
    const std::size_t n = OutLen - done < SHA256DigestSize ? OutLen - done : SHA256DigestSize;
    std::memcpy(Out + done, d.Block, n);
  }
}

// Covers the derivation's frame (its TDerivation and spills) and what it called.
constexpr std::size_t kDerivationStackBurn = 4096;

} // namespace

namespace detail {

void PBKDF2HMACSHA256(const TSHA256Implementation& Impl, const std::uint8_t* Password, std::size_t PasswordLen,
                      const std::uint8_t* Salt, std::size_t SaltLen, std::uint32_t Iterations, std::uint8_t* Out,
                      std::size_t OutLen) {
  if (Iterations < 1) throw EKLException(SInvalidIterations);
  // The block counter is 32 bits wide and starts at 1.
  if ((OutLen + SHA256DigestSize - 1) / SHA256DigestSize > 0xFFFFFFFFu) throw EKLException(SOverflow);
  // Nothing in the derivation throws: the salt's length is fed in pieces.
  DeriveInto(Impl, Password, PasswordLen, Salt, SaltLen, Iterations, Out, OutLen);
  ClearVectorRegisters();
  BurnStack(kDerivationStackBurn);
}

} // namespace detail

ByteArray Derive(const String& Password, const ByteArray& Salt, std::int32_t Iterations, std::int32_t KeyLength) {
  if (KeyLength < 0) throw ERangeError(SRangeError);
  if (Iterations < 1) throw EKLException(SInvalidIterations);
  RawByteString password = StrToUTF8Strict(Password);
  ByteArray key(static_cast<std::size_t>(KeyLength));
  try {
    detail::PBKDF2HMACSHA256(detail::ActiveSHA256(), reinterpret_cast<const std::uint8_t*>(password.data()),
                             password.size(), Salt.data(), Salt.size(), static_cast<std::uint32_t>(Iterations),
                             key.data(), key.size());
  } catch (...) {
    WipeRawBytes(password);
    throw;
  }
  WipeRawBytes(password);
  return key;
}

} // namespace kl
