#pragma once

// Times in KDBX documents: version 4 writes seconds since 0001-01-01 UTC as
// base64 of a little-endian 64-bit number, version 3.1 ISO 8601 text in UTC.
// Internal to the library.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kl::detail {

// Seconds from 0001-01-01 to 1970-01-01 in the proleptic Gregorian calendar.
inline constexpr std::int64_t KdbxUnixEpochSeconds = 62135596800;

std::string Base64Encode(const std::uint8_t* Data, std::size_t Size);
bool Base64Decode(std::string_view Text, std::string& Out);
// The same into Out, Capacity bytes at most (false for more), its length in
// Size: for the values of a fixed length (UUIDs, times), without a string.
bool Base64DecodeTo(std::string_view Text, std::uint8_t* Out, std::size_t Capacity, std::size_t& Size) noexcept;

constexpr std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) noexcept {
  Y -= M <= 2;
  const std::int64_t era = (Y >= 0 ? Y : Y - 399) / 400;
  const auto yoe = static_cast<unsigned>(Y - era * 400);
  const unsigned doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// "YYYY-MM-DDTHH:MM:SS", an optional fraction and an optional "Z"; UTC.
inline bool ParseIsoTime(std::string_view Text, std::int64_t& Unix) noexcept {
  if (Text.size() < 19 || Text[4] != '-' || Text[7] != '-' || Text[10] != 'T' || Text[13] != ':' || Text[16] != ':') {
    return false;
  }
  auto num = [&](std::size_t At, std::size_t Len, unsigned& Out) {
    Out = 0;
    for (std::size_t i = At; i < At + Len; ++i) {
      if (Text[i] < '0' || Text[i] > '9') return false;
      Out = Out * 10 + static_cast<unsigned>(Text[i] - '0');
    }
    return true;
  };
  unsigned y, mo, d, h, mi, s;
  if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) || !num(17, 2, s) ||
      mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
    return false;
  }
  Unix = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

inline std::string KdbxTimeText(std::int64_t Unix) {
  const std::uint64_t v = static_cast<std::uint64_t>(Unix + KdbxUnixEpochSeconds);
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return Base64Encode(bytes, 8);
}

// Either form; false for anything else.
inline bool ParseKdbxTime(std::string_view Text, std::int64_t& Unix) noexcept {
  std::uint8_t raw[8];
  std::size_t size = 0;
  if (Text.size() == 12 && Base64DecodeTo(Text, raw, sizeof(raw), size) && size == 8) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | raw[i];
    if (v > static_cast<std::uint64_t>(INT64_MAX)) return false;
    Unix = static_cast<std::int64_t>(v) - KdbxUnixEpochSeconds;
    return true;
  }
  return ParseIsoTime(Text, Unix);
}

// The vault keeps local wall-clock seconds (local time counted as if it were
// UTC); KDBX keeps UTC. The offset is the one in force at that instant.
inline std::int64_t LocalOffsetAt(std::int64_t Unix) noexcept {
  const std::time_t t = static_cast<std::time_t>(Unix);
  std::tm local{};
  std::tm utc{};
#ifdef _WIN32
  if (localtime_s(&local, &t) != 0 || gmtime_s(&utc, &t) != 0) return 0;
#else
  if (localtime_r(&t, &local) == nullptr || gmtime_r(&t, &utc) == nullptr) return 0;
#endif
  const std::int64_t l = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                       static_cast<unsigned>(local.tm_mday)) * 86400 +
                         local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const std::int64_t u = DaysFromCivil(utc.tm_year + 1900, static_cast<unsigned>(utc.tm_mon + 1),
                                       static_cast<unsigned>(utc.tm_mday)) * 86400 +
                         utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec;
  return l - u;
}

inline std::int64_t UtcToWall(std::int64_t Unix) noexcept { return Unix + LocalOffsetAt(Unix); }

// The offsets of one pass over a document, by hour of UTC, for the many times
// a document holds close together; the zone is taken as fixed while it lasts.
// A zone changes its offset at most once within an hour, so an hour whose
// first and last seconds have one offset has it throughout; an hour with a
// change in it (on a full hour or not) is asked second by second.
class TLocalOffsets {
public:
  std::int64_t UtcToWall(std::int64_t Unix) noexcept {
    const std::int64_t hour = Unix / 3600 - (Unix % 3600 < 0 ? 1 : 0);
    TSlot& slot = FSlots[static_cast<std::uint64_t>(hour) % kSlots];
    if (!slot.Known || slot.Hour != hour) {
      const std::int64_t first = LocalOffsetAt(hour * 3600);
      slot = {hour, first, first == LocalOffsetAt(hour * 3600 + 3599), true};
    }
    return Unix + (slot.Steady ? slot.Offset : LocalOffsetAt(Unix));
  }

private:
  struct TSlot {
    std::int64_t Hour = 0;
    std::int64_t Offset = 0;
    bool Steady = false;
    bool Known = false;
  };
  static constexpr std::uint64_t kSlots = 64;
  TSlot FSlots[kSlots] = {};
};
inline std::int64_t WallToUtc(std::int64_t Wall) noexcept {
  const std::int64_t guess = Wall - LocalOffsetAt(Wall);
  return Wall - LocalOffsetAt(guess);
}

} // namespace kl::detail
