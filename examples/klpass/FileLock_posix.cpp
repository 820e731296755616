#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Console.h"
#include "FileLock.h"

namespace klpass {

std::string ResolvedPath(const std::string& Target) {
  char* resolved = ::realpath(Target.c_str(), nullptr);
  if (resolved == nullptr) return Target;
  std::string path = resolved;
  std::free(resolved);
  return path;
}

namespace {

// Opens (or makes) the lock file read-only, all flock needs, so that whoever
// may read it may lock. It carries the read and write bits and the group of
// the file it guards, so that every user a shared file admits can take its
// lock; the owner brings a lock made before the file was shared (or narrowed
// by the umask) up to date. A lock of a file yet to be made is private.
int OpenLockFile(const std::string& Name, const std::string& Target) {
  struct stat guarded {};
  const bool exists = ::stat(Target.c_str(), &guarded) == 0;
  const mode_t mode = exists ? (guarded.st_mode & 0666) : 0600;
  const int fd = ::open(Name.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  struct stat lock {};
  if (fd < 0 || !exists || ::fstat(fd, &lock) != 0 || lock.st_uid != ::geteuid()) return fd;
  if (lock.st_gid != guarded.st_gid) (void)::fchown(fd, static_cast<uid_t>(-1), guarded.st_gid);
  if ((lock.st_mode & 07777) != mode) (void)::fchmod(fd, mode);
  return fd;
}

} // namespace

// flock locks belong to the open file, so they go with the process however it
// ends; polling keeps the wait bounded.
TFileLock::TFileLock(const std::string& Target) {
  const std::string name = LockFileName(Target);
  const int fd = OpenLockFile(name, ResolvedPath(Target));
  if (fd < 0) Fail(kExitFileError, "cannot lock '" + Target + "': " + name + ": " + std::strerror(errno));
  FHandle = fd;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LockTimeoutMilliseconds());
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      ::close(fd);
      Fail(kExitFileError, "cannot lock '" + Target + "': " + std::strerror(error));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      Fail(kExitFileError, "'" + Target + "' is busy: another command is changing it (waited for its lock " + name +
                               "); nothing was changed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TFileLock::~TFileLock() { ::close(static_cast<int>(FHandle)); }

} // namespace klpass
