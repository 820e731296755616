#include "foundation/FileStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

std::string Describe(const char* What, const String& FileName, int Error) {
  return std::string(What) + " \"" + StrToUTF8(FileName) + "\": " + std::strerror(Error);
}

// Handles hold file descriptors here.
int Fd(TFileStream::THandle Handle) { return static_cast<int>(Handle); }

} // namespace

std::string NativeFileName(const String& FileName) { return StrToUTF8(FileName); }

// Opened without blocking, so that a FIFO with no writer (or a device that
// waits) cannot hang the caller; anything but a regular file is refused before
// a byte is read or written (a device would be read without end). Blocking
// mode is restored for regular files, where it changes nothing anyway.
TFileStream::TFileStream(const String& FileName, TFileMode Mode) : FFileName(FileName) {
  const std::string native = NativeFileName(FileName);
  if (native.find('\0') != std::string::npos) throw EFOpenError("Invalid file name");
  constexpr int kCommon = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  switch (Mode) {
    case fmCreate:
      FHandle = ::open(native.c_str(), O_RDWR | O_CREAT | kCommon, 0666);
      if (FHandle < 0) throw EFCreateError(Describe("Cannot create file", FileName, errno));
      break;
    case fmOpenRead:
      FHandle = ::open(native.c_str(), O_RDONLY | kCommon);
      if (FHandle < 0) throw EFOpenError(Describe("Cannot open file", FileName, errno));
      break;
    case fmOpenReadWrite:
      FHandle = ::open(native.c_str(), O_RDWR | kCommon);
      if (FHandle < 0) throw EFOpenError(Describe("Cannot open file", FileName, errno));
      break;
  }
  struct stat st {};
  const int statError = ::fstat(Fd(FHandle), &st) == 0 ? 0 : errno;
  if (statError != 0 || !S_ISREG(st.st_mode)) {
    ::close(Fd(FHandle));
    FHandle = -1;
    const std::string reason = statError != 0        ? std::strerror(statError)
                               : S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                                     : SNotARegularFile;
    const std::string message = std::string(Mode == fmCreate ? "Cannot create file" : "Cannot open file") + " \"" +
                                StrToUTF8(FileName) + "\": " + reason;
    if (Mode == fmCreate) throw EFCreateError(message);
    throw EFOpenError(message);
  }
  // Truncated only once known to be a regular file.
  if (Mode == fmCreate && ::ftruncate(Fd(FHandle), 0) != 0) {
    const int error = errno;
    ::close(Fd(FHandle));
    FHandle = -1;
    throw EFCreateError(Describe("Cannot create file", FileName, error));
  }
  const int flags = ::fcntl(Fd(FHandle), F_GETFL);
  if (flags >= 0) ::fcntl(Fd(FHandle), F_SETFL, flags & ~O_NONBLOCK);
}

TFileStream::TFileStream(THandle Handle, const String& FileName) : FHandle(Handle), FFileName(FileName) {}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(Fd(FHandle));
}

std::int32_t TFileStream::Read(void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  for (;;) {
    const ssize_t n = ::read(Fd(FHandle), Buffer, static_cast<std::size_t>(Count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (errno != EINTR) throw EReadError(Describe("Cannot read file", FFileName, errno));
  }
}

std::int32_t TFileStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  for (;;) {
    const ssize_t n = ::write(Fd(FHandle), Buffer, static_cast<std::size_t>(Count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (errno != EINTR) throw EWriteError(Describe("Cannot write file", FFileName, errno));
  }
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  int whence = SEEK_SET;
  switch (Origin) {
    case soBeginning:
      whence = SEEK_SET;
      break;
    case soCurrent:
      whence = SEEK_CUR;
      break;
    case soEnd:
      whence = SEEK_END;
      break;
    default:
      throw ERangeError(SRangeError);
  }
  const off_t pos = ::lseek(Fd(FHandle), static_cast<off_t>(Offset), whence);
  if (pos < 0) throw EStreamError(Describe("Cannot seek in file", FFileName, errno));
  return static_cast<std::int64_t>(pos);
}

void TFileStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw ERangeError(SRangeError);
  if (::ftruncate(Fd(FHandle), static_cast<off_t>(NewSize)) != 0) {
    throw EWriteError(Describe("Cannot resize file", FFileName, errno));
  }
  if (GetPosition() > NewSize) Seek(NewSize, soBeginning);
}

void TFileStream::FlushToDisk() {
  if (::fsync(Fd(FHandle)) != 0) throw EWriteError(Describe("Cannot flush file", FFileName, errno));
}

} // namespace kl
