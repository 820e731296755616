#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "foundation/AtomicFile.h"
#include "foundation/FileStamp.h"

namespace kl {

EFileChangedError::~EFileChangedError() = default;

namespace {

std::int64_t Nanoseconds(const timespec& Time) noexcept {
  return static_cast<std::int64_t>(Time.tv_sec) * 1000000000 + Time.tv_nsec;
}

TFileStamp FromStat(const struct stat& St) noexcept {
  return TFileStamp(static_cast<std::uint64_t>(St.st_dev), static_cast<std::uint64_t>(St.st_ino),
                    static_cast<std::int64_t>(St.st_size), Nanoseconds(St.st_mtim));
}

} // namespace

TFileStamp TFileStamp::Of(const String& FileName) {
  const std::string native = NativeFileName(FileName);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return TFileStamp();
    throw EFOpenError("Cannot open file \"" + native + "\": " + std::strerror(errno));
  }
  return FromStat(st);
}

TFileStamp TFileStamp::OfHandle(std::intptr_t Handle) noexcept {
  struct stat st {};
  if (::fstat(static_cast<int>(Handle), &st) != 0) return TFileStamp();
  return FromStat(st);
}

} // namespace kl
