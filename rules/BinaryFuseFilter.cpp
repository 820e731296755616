#include "rules/BinaryFuseFilter.h"

#include <algorithm>
#include <cmath>

#include "foundation/KLGeneral.h"

namespace kl::detail {

namespace {

constexpr const char* SFuseBuildFailed = "The blocklist filter could not be built (are the keys distinct?)";
constexpr int kMaxSeeds = 1000;
constexpr std::uint32_t kMaxSegmentLength = 1u << 18;

std::uint64_t Mix(std::uint64_t H) noexcept {
  H ^= H >> 33;
  H *= 0xFF51AFD7ED558CCDull;
  H ^= H >> 33;
  H *= 0xC4CEB9FE1A85EC53ull;
  H ^= H >> 33;
  return H;
}

std::uint64_t NextSeed(std::uint64_t& State) noexcept {
  State += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = State;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint16_t Fingerprint(std::uint64_t Hash) noexcept { return static_cast<std::uint16_t>(Hash ^ (Hash >> 32)); }

// The three slots of a hash: one in each of three consecutive segments.
struct TSlots {
  std::uint32_t H[3];
};

TSlots SlotsOf(const TFuseShape& Shape, std::uint64_t Hash) noexcept {
  const std::uint64_t mask = Shape.SegmentLength - 1;
  const std::uint64_t h0 = MulHi64(Hash, std::uint64_t{Shape.SegmentCount} * Shape.SegmentLength);
  std::uint64_t h1 = h0 + Shape.SegmentLength;
  std::uint64_t h2 = h1 + Shape.SegmentLength;
  h1 ^= (Hash >> 18) & mask;
  h2 ^= Hash & mask;
  return {{static_cast<std::uint32_t>(h0), static_cast<std::uint32_t>(h1), static_cast<std::uint32_t>(h2)}};
}

std::uint16_t LoadLE16(const std::uint8_t* P, std::uint32_t Index) noexcept {
  return static_cast<std::uint16_t>(P[2 * std::size_t{Index}] | P[2 * std::size_t{Index} + 1] << 8);
}

// One peeling attempt with the shape's seed: true when every key was peeled;
// Order and Which then hold the keys' hashes and free slots, last-peeled last.
bool Peel(std::span<const std::uint64_t> Hashes, const TFuseShape& Shape, std::vector<std::uint8_t>& Count,
          std::vector<std::uint64_t>& XorHash, std::vector<std::uint32_t>& Queue, std::vector<std::uint64_t>& Order,
          std::vector<std::uint8_t>& Which) {
  // Count holds 4 * (keys on the slot) plus the xor of those keys' slot numbers
  // (0, 1, 2) in its low two bits, so a slot left with one key knows which of
  // that key's three slots it is.
  std::fill(Count.begin(), Count.end(), 0);
  std::fill(XorHash.begin(), XorHash.end(), 0);
  for (const std::uint64_t hash : Hashes) {
    const TSlots s = SlotsOf(Shape, hash);
    for (std::uint8_t k = 0; k < 3; ++k) {
      if (Count[s.H[k]] >= 0xFC) return false; // more than 62 keys on one slot: try another seed
      Count[s.H[k]] = static_cast<std::uint8_t>((Count[s.H[k]] + 4) ^ k);
      XorHash[s.H[k]] ^= hash;
    }
  }
  std::size_t queued = 0;
  for (std::uint32_t i = 0; i < Shape.ArrayLength; ++i) {
    if ((Count[i] >> 2) == 1) Queue[queued++] = i;
  }
  std::size_t peeled = 0;
  while (queued > 0) {
    const std::uint32_t slot = Queue[--queued];
    if ((Count[slot] >> 2) != 1) continue;
    const std::uint64_t hash = XorHash[slot];
    const std::uint8_t found = Count[slot] & 3;
    Order[peeled] = hash;
    Which[peeled] = found;
    ++peeled;
    const TSlots s = SlotsOf(Shape, hash);
    for (std::uint8_t k = 0; k < 3; ++k) {
      if (k == found) continue;
      const std::uint32_t other = s.H[k];
      if ((Count[other] >> 2) == 2) Queue[queued++] = other;
      Count[other] = static_cast<std::uint8_t>((Count[other] - 4) ^ k);
      XorHash[other] ^= hash;
    }
    Count[slot] = 0;
  }
  return peeled == Hashes.size();
}

} // namespace

std::uint64_t MulHi64(std::uint64_t A, std::uint64_t B) noexcept {
  const std::uint64_t aLo = A & 0xFFFFFFFF, aHi = A >> 32, bLo = B & 0xFFFFFFFF, bHi = B >> 32;
  const std::uint64_t lolo = aLo * bLo, hilo = aHi * bLo, lohi = aLo * bHi, hihi = aHi * bHi;
  const std::uint64_t middle = (lolo >> 32) + (hilo & 0xFFFFFFFF) + lohi;
  return hihi + (hilo >> 32) + (middle >> 32);
}

// Segment length and size factor as the filter's authors give them for three
// probes: larger sets get longer segments and need less slack.
TFuseShape FuseShapeFor(std::uint64_t KeyCount) noexcept {
  TFuseShape shape;
  if (KeyCount == 0) return shape;
  const double n = static_cast<double>(KeyCount);
  const double exponent = std::floor(std::log(n) / std::log(3.33) + 2.25);
  shape.SegmentLength = std::min(kMaxSegmentLength, std::uint32_t{1} << static_cast<int>(std::max(exponent, 2.0)));
  const double sizeFactor = KeyCount <= 1 ? 0.0 : std::max(1.125, 0.875 + 0.25 * std::log(1e6) / std::log(n));
  const auto capacity = static_cast<std::uint64_t>(std::llround(n * sizeFactor));
  const std::uint64_t segments = (capacity + shape.SegmentLength - 1) / shape.SegmentLength;
  shape.SegmentCount = static_cast<std::uint32_t>(segments > 3 ? segments - 2 : 1);
  shape.ArrayLength = (shape.SegmentCount + 2) * shape.SegmentLength;
  return shape;
}

void BuildFuse16(std::span<const std::uint64_t> Keys, TFuseShape& Shape, std::vector<std::uint16_t>& Fingerprints) {
  Shape = FuseShapeFor(Keys.size());
  Fingerprints.assign(Shape.ArrayLength, 0);
  if (Keys.empty()) return;
  std::vector<std::uint64_t> hashes(Keys.size());
  std::vector<std::uint8_t> count(Shape.ArrayLength), which(Keys.size());
  std::vector<std::uint64_t> xorHash(Shape.ArrayLength), order(Keys.size());
  std::vector<std::uint32_t> queue(Shape.ArrayLength);
  std::uint64_t seedState = Keys.size();
  for (int attempt = 0; attempt < kMaxSeeds; ++attempt) {
    Shape.Seed = NextSeed(seedState);
    for (std::size_t i = 0; i < Keys.size(); ++i) hashes[i] = Mix(Keys[i] + Shape.Seed);
    // In hash order the first slots rise through the array, which keeps the
    // counting pass within a few cache lines at a time.
    std::sort(hashes.begin(), hashes.end());
    if (!Peel(hashes, Shape, count, xorHash, queue, order, which)) continue;
    // Assign in reverse peeling order: each key's free slot is set last.
    for (std::size_t i = Keys.size(); i-- > 0;) {
      const TSlots s = SlotsOf(Shape, order[i]);
      const std::uint8_t k = which[i];
      Fingerprints[s.H[k]] = static_cast<std::uint16_t>(Fingerprint(order[i]) ^ Fingerprints[s.H[(k + 1) % 3]] ^
                                                        Fingerprints[s.H[(k + 2) % 3]]);
    }
    return;
  }
  throw EKLException(SFuseBuildFailed);
}

TFuseProbe FuseProbeOf(const TFuseShape& Shape, std::uint64_t Key) noexcept {
  const std::uint64_t hash = Mix(Key + Shape.Seed);
  const TSlots s = SlotsOf(Shape, hash);
  return TFuseProbe{{s.H[0], s.H[1], s.H[2]}, Fingerprint(hash)};
}

bool FuseContains(const TFuseShape& Shape, const std::uint8_t* Fingerprints, std::uint64_t Key) noexcept {
  if (Shape.ArrayLength == 0) return false;
  const TFuseProbe probe = FuseProbeOf(Shape, Key);
  return (probe.Fingerprint ^ LoadLE16(Fingerprints, probe.Slots[0]) ^ LoadLE16(Fingerprints, probe.Slots[1]) ^
          LoadLE16(Fingerprints, probe.Slots[2])) == 0;
}

} // namespace kl::detail
