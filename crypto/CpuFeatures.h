#pragma once

namespace kl::detail {

// Instruction-set extensions the crypto units can use, read once from cpuid.
// All false on processors other than x86, where only the portable code runs.
struct TCpuFeatures {
  bool SSSE3 = false;
  bool SSE41 = false;
  bool AES = false;
  bool SHA = false;
};

const TCpuFeatures& GetCpuFeatures() noexcept;

} // namespace kl::detail
