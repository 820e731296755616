#include "crypto/KLHKDF.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "foundation/Exceptions.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

// HMAC updates take 32-bit lengths; key material and labels are far shorter.
void Feed(TMACSHA256Context& Context, const void* Data, std::size_t Size) {
  if (Size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) throw ERangeError(SRangeError);
  MAC256Update(Context, Data, static_cast<std::int32_t>(Size));
}

} // namespace

void HKDFExtract(const void* Salt, std::size_t SaltSize, const void* IKM, std::size_t IKMSize,
                 std::uint8_t (&PRK)[SHA256DigestSize]) {
  // HMAC pads a short key with zeros, so the empty salt is the zero salt.
  const auto* salt = static_cast<const std::uint8_t*>(Salt);
  SecureBytes key(ByteArray(salt, salt + SaltSize));
  TMACSHA256Context context;
  WipeOnExit<TMACSHA256Context> wipe(context);
  MAC256Initialize(context, key.Get());
  Feed(context, IKM, IKMSize);
  TMessageDigest256 digest = MAC256Finalize(context);
  std::memcpy(PRK, DigestBytes(digest), SHA256DigestSize);
  SecureZeroObject(digest);
}

void HKDFExpand(const std::uint8_t (&PRK)[SHA256DigestSize], const void* Info, std::size_t InfoSize, std::uint8_t* Out,
                std::size_t OutSize) {
  if (OutSize > HKDFSHA256MaxOutput) throw ERangeError(SRangeError);
  SecureBytes key(ByteArray(PRK, PRK + SHA256DigestSize));
  TMACSHA256Context keyed;
  WipeOnExit<TMACSHA256Context> wipeKeyed(keyed);
  MAC256Initialize(keyed, key.Get());
  std::uint8_t previous[SHA256DigestSize];
  WipeOnExit<decltype(previous)> wipePrevious(previous);
  TMACSHA256Context context;
  WipeOnExit<TMACSHA256Context> wipeContext(context);
  std::size_t done = 0;
  for (std::uint8_t counter = 1; done < OutSize; ++counter) {
    // The keyed state is copied rather than rebuilt for every block.
    context = keyed;
    if (counter > 1) Feed(context, previous, sizeof(previous));
    Feed(context, Info, InfoSize);
    Feed(context, &counter, 1);
    TMessageDigest256 block = MAC256Finalize(context);
    std::memcpy(previous, DigestBytes(block), SHA256DigestSize);
    SecureZeroObject(block);
    const std::size_t n = std::min(OutSize - done, SHA256DigestSize);
    std::memcpy(Out + done, previous, n);
    done += n;
  }
}

} // namespace kl
