#include "crypto/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kl::detail {

namespace {

TCpuFeatures Detect() noexcept {
  TCpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  features.SSSE3 = (ecx & (1u << 9)) != 0;
  features.SSE41 = (ecx & (1u << 19)) != 0;
  features.AES = (ecx & (1u << 25)) != 0;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.SHA = (ebx & (1u << 29)) != 0;
  }
#endif
  return features;
}

} // namespace

const TCpuFeatures& GetCpuFeatures() noexcept {
  static const TCpuFeatures features = Detect();
  return features;
}

} // namespace kl::detail
