// Random passwords, passphrases, and passwords derived from a master key and a site.
#include <cstdio>

#include "foundation/KLGeneral.h"
#include "passwords/KLPasswords.h"

int main() {
  kl::TKLPasswordGenerator generator;
  generator.SetUseSymbols(false);
  const kl::String random = generator.Generate(20);     // 20 characters, uniformly drawn
  const kl::String ranged = generator.Generate(12, 17); // a length from 12 to 16

  // Every set at least once and two digits, no look-alikes (0 O o 1 I l ...);
  // still uniform over all passwords that qualify.
  generator.SetRequireEachSet(true);
  generator.SetMinDigits(2);
  generator.SetExcludeLookAlikes(true);
  const kl::String strict = generator.Generate(12);
  std::printf("%s %s %s (%.1f bits)\n", kl::StrToUTF8(random).c_str(), kl::StrToUTF8(ranged).c_str(),
              kl::StrToUTF8(strict).c_str(), generator.GetEntropy(12));

  // Six words of the EFF long word list, capitalised, with one digit added.
  generator.SetCapitalizeWords(true);
  generator.SetPassphraseExtra(kl::peDigit);
  const kl::String phrase = generator.GeneratePassphrase();
  std::printf("%s (%.1f bits)\n", kl::StrToUTF8(phrase).c_str(), generator.GetPassphraseEntropy());

  // The same master key and site give the same password on every machine.
  kl::TKLPasswordGenerator deriving;
  const kl::String site = deriving.Generate(u"my master key", u"example.com");
  const kl::String again = deriving.Generate(u"my master key", u"example.com");
  std::printf("example.com: %s\n", kl::StrToUTF8(site).c_str());
  const bool ok = random.size() == 20 && ranged.size() >= 12 && ranged.size() <= 16 && strict.size() == 12;
  return ok && site == again ? 0 : 1;
}
