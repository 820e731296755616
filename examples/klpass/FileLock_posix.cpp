#include <fcntl.h>
#include <sys/file.h>
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

// flock locks belong to the open file, so they go with the process however it
// ends; polling keeps the wait bounded.
TFileLock::TFileLock(const std::string& Target) {
  const std::string name = LockFileName(Target);
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
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
