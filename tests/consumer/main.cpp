// Uses the installed library as any application would: public headers only.
#include <cstdio>
#include <cstring>

#include "crypto/KLSHA256.h"
#include "foundation/KLGeneral.h"

int main() {
  const char* message = "abc";
  const kl::TMessageDigest256 digest = kl::SHA256Calculate(message, static_cast<std::uint32_t>(std::strlen(message)));
  const kl::RawByteString hex = kl::StrToUTF8(kl::BytesToHexStr(kl::DigestToBytes(digest)));
  std::printf("%s\n", hex.c_str());
  return hex == "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD" ? 0 : 1;
}
