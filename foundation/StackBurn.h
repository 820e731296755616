#pragma once

#include <cstddef>

// Wiping what a computation left on the stack and in vector registers. Key
// schedules and hash states live in registers while they are used, but the
// compiler spills some of them to stack slots, which nothing overwrites until
// a later call happens to reach as deep. Internal to the library.
//
// The pattern: the work runs in a function of its own that is never inlined;
// once it returns, its caller calls BurnStack, whose frame begins where the
// work's began, so that the zeroed array covers the slots (and the red zone)
// the work used, as long as it used no more than the burn's size.

namespace kl::detail {

// Zeroes Size bytes of stack just below the caller's frame. Sizes beyond
// kMaxStackBurn are cut to it, which keeps the burn within small thread stacks.
inline constexpr std::size_t kMaxStackBurn = 16 * 1024;
void BurnStack(std::size_t Size) noexcept;

// Sets every SSE register to zero (x86 with SSE2; elsewhere nothing), so that
// round keys and hash states do not outlive the routine that held them there.
// The lazy binding of a later call would otherwise save them to the stack.
void ClearVectorRegisters() noexcept;

// A function pointer's target, then the registers cleared and Size bytes of
// stack burned: what the interchangeable crypto paths hand out in their tables.
// Fn must not be inlined here (the paths declare their routines noinline), or
// its spills would lie in this frame, above the burned region.
template <auto Fn, std::size_t Size>
struct TBurnAfter;

template <class... TArgs, void (*Fn)(TArgs...), std::size_t Size>
struct TBurnAfter<Fn, Size> {
  static void Call(TArgs... Args) noexcept {
    Fn(Args...);
    ClearVectorRegisters();
    if constexpr (Size > 0) BurnStack(Size);
  }
};

} // namespace kl::detail
