#include "foundation/ReadOnlyFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <string>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"

namespace kl::detail {

namespace {

[[noreturn]] void Fail(const String& FileName, int Error) {
  throw EFOpenError("Cannot open file \"" + NativeFileName(FileName) + "\": " + std::strerror(Error));
}

} // namespace

TReadOnlyFile::TReadOnlyFile(const String& FileName) {
  const std::string native = NativeFileName(FileName);
  if (native.find('\0') != std::string::npos) throw EFOpenError("Invalid file name");
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail(FileName, errno);
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    error = EFBIG;
  }
  if (error != 0) {
    ::close(fd);
    Fail(FileName, error);
  }
  FHandle = fd;
  FSize = static_cast<std::uint64_t>(st.st_size);
}

TReadOnlyFile::~TReadOnlyFile() {
  if (FHandle >= 0) ::close(static_cast<int>(FHandle));
}

bool TReadOnlyFile::ReadAt(std::uint64_t Offset, void* Out, std::size_t Size) const noexcept {
  auto* out = static_cast<std::uint8_t*>(Out);
  while (Size > 0) {
    if (Offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    const ssize_t n = ::pread(static_cast<int>(FHandle), out, Size, static_cast<off_t>(Offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false; // an error, or the end of a file that shrank
    out += n;
    Offset += static_cast<std::uint64_t>(n);
    Size -= static_cast<std::size_t>(n);
  }
  return true;
}

} // namespace kl::detail
