#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kl::detail {

// A binary fuse filter with 16-bit fingerprints over distinct 64-bit keys, as
// Graf and Lemire describe it (three probes in neighbouring segments, built by
// peeling). A key that was added is always found; any other key is found with
// probability 2^-16. About 18 bits a key. The shape follows from the key count
// alone, so a reader can check a stored shape against its count.
struct TFuseShape {
  std::uint64_t Seed = 0;
  std::uint32_t SegmentLength = 0; // a power of two
  std::uint32_t SegmentCount = 0;
  std::uint32_t ArrayLength = 0; // fingerprints: (SegmentCount + 2) * SegmentLength
};

inline constexpr std::uint32_t kFuseMaxKeys = 0x7FFFFFFF;

// The shape (without seed) for KeyCount keys; KeyCount at most kFuseMaxKeys.
TFuseShape FuseShapeFor(std::uint64_t KeyCount) noexcept;

// Fills Fingerprints (ArrayLength of them) and sets Shape.Seed; the keys must be
// distinct. Raises EKLException if no seed of many works, which for distinct
// keys does not happen in practice.
void BuildFuse16(std::span<const std::uint64_t> Keys, TFuseShape& Shape, std::vector<std::uint16_t>& Fingerprints);

// Where Key's fingerprints lie: Key may be in the filter when the three
// fingerprints at Slots xor to Fingerprint. The shape must hold fingerprints.
struct TFuseProbe {
  std::uint32_t Slots[3];
  std::uint16_t Fingerprint;
};
TFuseProbe FuseProbeOf(const TFuseShape& Shape, std::uint64_t Key) noexcept;

// Whether Key may be in the filter; Fingerprints holds ArrayLength little-endian
// 16-bit values. A shape of no fingerprints holds nothing.
bool FuseContains(const TFuseShape& Shape, const std::uint8_t* Fingerprints, std::uint64_t Key) noexcept;

// The high 64 bits of A * B, without relying on 128-bit integers.
std::uint64_t MulHi64(std::uint64_t A, std::uint64_t B) noexcept;

} // namespace kl::detail
