// Random passwords, and passwords derived from a master key and a site.
#include <cstdio>

#include "foundation/KLGeneral.h"
#include "passwords/KLPasswords.h"

int main() {
  kl::TKLPasswordGenerator generator;
  generator.SetUseSymbols(false);
  const kl::String random = generator.Generate(20);     // 20 characters, uniformly drawn
  const kl::String ranged = generator.Generate(12, 17); // a length from 12 to 16
  std::printf("%s %s\n", kl::StrToUTF8(random).c_str(), kl::StrToUTF8(ranged).c_str());

  // The same master key and site give the same password on every machine.
  const kl::String site = generator.Generate(u"my master key", u"example.com");
  const kl::String again = generator.Generate(u"my master key", u"example.com");
  std::printf("example.com: %s\n", kl::StrToUTF8(site).c_str());
  return random.size() == 20 && ranged.size() >= 12 && ranged.size() <= 16 && site == again ? 0 : 1;
}
