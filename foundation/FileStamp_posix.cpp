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

} // namespace

TFileStamp TFileStamp::Of(const String& FileName) {
  const std::string native = NativeFileName(FileName);
  struct stat st {};
  TFileStamp stamp;
  if (::stat(native.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return stamp;
    throw EFOpenError("Cannot open file \"" + native + "\": " + std::strerror(errno));
  }
  stamp.FExists = true;
  stamp.FDevice = static_cast<std::uint64_t>(st.st_dev);
  stamp.FFile = static_cast<std::uint64_t>(st.st_ino);
  stamp.FSize = static_cast<std::int64_t>(st.st_size);
  stamp.FModified = Nanoseconds(st.st_mtim);
  stamp.FChanged = Nanoseconds(st.st_ctim);
  return stamp;
}

} // namespace kl
