#include "foundation/MappedFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <string>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"

namespace kl::detail {

namespace {

[[noreturn]] void Fail(const String& FileName, int Error) {
  throw EFOpenError("Cannot map file \"" + NativeFileName(FileName) + "\": " + std::strerror(Error));
}

} // namespace

TMappedFile::TMappedFile(const String& FileName) {
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
  } else if (static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
    error = EFBIG;
  }
  if (error == 0 && st.st_size > 0) {
    void* data = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) {
      error = errno;
    } else {
      FData = static_cast<const std::uint8_t*>(data);
      FSize = static_cast<std::uint64_t>(st.st_size);
    }
  }
  ::close(fd);
  if (error != 0) Fail(FileName, error);
}

TMappedFile::~TMappedFile() {
  if (FData != nullptr) ::munmap(const_cast<std::uint8_t*>(FData), static_cast<std::size_t>(FSize));
}

} // namespace kl::detail
