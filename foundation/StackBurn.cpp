#include "foundation/StackBurn.h"

#include "foundation/SecureMemory.h"

namespace kl::detail {

// The region is taken with alloca, so that the frame is only as deep as asked
// for; what lies between it and the caller's frame is this function's own
// return address and saved registers, which overwrite the slots there.
// noinline keeps the frame where the caller's callees had theirs.
__attribute__((noinline)) void BurnStack(std::size_t Size) noexcept {
  const std::size_t size = Size < kMaxStackBurn ? Size : kMaxStackBurn;
  void* region = __builtin_alloca(size);
  SecureZero(region, size);
  // The region must exist in memory, at this place, for the zeroing to count.
  __asm__ __volatile__("" : : "r"(region) : "memory");
}

void ClearVectorRegisters() noexcept {
#if defined(__x86_64__)
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
      "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
      "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
      "pxor %%xmm15, %%xmm15"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15");
#elif defined(__i386__) && defined(__SSE2__)
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
      "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
#endif
}

} // namespace kl::detail
