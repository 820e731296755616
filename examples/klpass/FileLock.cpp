#include "FileLock.h"

#include <cstdio>
#include <cstdlib>

#include "Console.h"

namespace klpass {

namespace {

constexpr std::int64_t kDefaultTimeoutSeconds = 30;
constexpr std::size_t kMaxNameBytes = 255;

} // namespace

std::string LockFileName(const std::string& Target) {
  const std::string path = ResolvedPath(Target);
  const std::size_t slash = path.find_last_of(kSeparators);
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() + 5 <= kMaxNameBytes) return path + ".lock";
  std::uint32_t hash = 2166136261u;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char tail[32];
  std::snprintf(tail, sizeof(tail), ".klpass-%08x.lock", hash);
  return folder + tail;
}

std::int64_t LockTimeoutMilliseconds() {
  const char* text = std::getenv("KLPASS_LOCK_TIMEOUT");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end != nullptr && *end == '\0' && seconds >= 0 && seconds <= 86400) {
      return static_cast<std::int64_t>(seconds * 1000);
    }
    Fail(kExitUsage, "KLPASS_LOCK_TIMEOUT must be a number of seconds from 0 to 86400");
  }
  return kDefaultTimeoutSeconds * 1000;
}

} // namespace klpass
