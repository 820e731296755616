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

constexpr int kMaxLinks = 40; // as the kernel's own limit on links in a path

std::string FolderOf(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

// Refuses a target reached through a link that another user planted in a
// sticky folder anyone may write to (the rule of fs.protected_symlinks, which
// the atomic save applies too): the lock would otherwise be made beside
// whatever the link points at, a file of that user's choosing.
void RefuseUntrustedLinks(const std::string& Target) {
  std::string current = Target;
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    struct stat link {};
    struct stat folder {};
    if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return;
    if (::stat(FolderOf(current).c_str(), &folder) != 0) return;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    if (shared && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid) {
      Fail(kExitFileError, "cannot lock '" + Target + "': the symbolic link '" + current +
                               "' belongs to another user of a shared sticky folder and is not followed");
    }
    std::string next(4096, '\0');
    const ssize_t n = ::readlink(current.c_str(), next.data(), next.size());
    if (n < 0) return;
    next.resize(static_cast<std::size_t>(n));
    current = !next.empty() && next.front() == '/' ? next : FolderOf(current) + "/" + next;
  }
}

// Opens (or makes) the lock file read-only, all flock needs, so that whoever
// may read it may lock. A lock file holds nothing (no secret, not even the
// guarded file's name beyond its own), so it is readable by every user, 0644
// whatever the umask: whoever may read the guarded file can reach the folder,
// and so its lock, however and whenever the file is shared (a chmod after
// `vault create`, an ACL, a group change). Following the file's own mode
// instead would lag behind each chmod until the owner's next run, and lock the
// other users out meanwhile. The cost is that a user who may reach the folder
// but not read the file can hold the lock too: a run waiting for it then fails
// after the timeout saying the file is busy, with nothing changed. The lock
// also takes the guarded file's group, for a reader's sake; the owner brings a
// lock made by an older klpass (0600) or narrowed by the umask up to date.
constexpr mode_t kLockMode = 0644;

int OpenLockFile(const std::string& Name, const std::string& Target) {
  struct stat guarded {};
  const bool exists = ::stat(Target.c_str(), &guarded) == 0;
  const int fd = ::open(Name.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kLockMode);
  struct stat lock {};
  if (fd < 0 || ::fstat(fd, &lock) != 0 || lock.st_uid != ::geteuid()) return fd;
  if (exists && lock.st_gid != guarded.st_gid) (void)::fchown(fd, static_cast<uid_t>(-1), guarded.st_gid);
  if ((lock.st_mode & 07777) != kLockMode) (void)::fchmod(fd, kLockMode);
  return fd;
}

} // namespace

// flock locks belong to the open file, so they go with the process however it
// ends; polling keeps the wait bounded.
TFileLock::TFileLock(const std::string& Target) {
  RefuseUntrustedLinks(Target);
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
