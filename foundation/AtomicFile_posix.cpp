#include "foundation/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

std::string DirectoryOf(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

// A rename is durable only once the folder entry itself reaches the disk.
void SyncDirectory(const std::string& Dir) {
  const int fd = ::open(Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

} // namespace

void SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer, TFileAccess Access) {
  const std::string target = NativeFileName(FileName);
  if (target.empty() || target.find('\0') != std::string::npos || target.back() == '/') {
    throw EFCreateError("Cannot create file \"" + target + "\": invalid file name");
  }
  std::string temp = target + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    throw EFCreateError("Cannot create file \"" + target + "\": " + std::strerror(errno));
  }
  // A replaced file keeps its permissions unless asked otherwise; a new one is
  // private to its owner (mkostemp makes it 0600).
  struct stat st {};
  if (Access == faKeep && ::stat(target.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);

  try {
    {
      TFileStream stream(fd, UTF8ToStr(temp));
      Writer(stream);
      stream.FlushToDisk();
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      throw EFCreateError("Cannot create file \"" + target + "\": " + std::strerror(errno));
    }
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  SyncDirectory(DirectoryOf(target));
}

} // namespace kl
