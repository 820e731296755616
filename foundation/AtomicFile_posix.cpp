#include "foundation/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "foundation/AtomicFileCounters.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit on links in a path
constexpr std::string_view kTempPrefix = ".klsave-";

std::mutex gFlushesMutex;
detail::TAtomicSaveFlushes gFlushes; // guarded by gFlushesMutex

[[noreturn]] void RaiseCreateError(const std::string& Target, int Error) {
  throw EFCreateError("Cannot create file \"" + Target + "\": " + std::strerror(Error));
}

std::string DirectoryOf(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

std::string BaseNameOf(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// Whether a save may follow the link Link (lstat'ed as LinkStat). In a sticky
// folder that anyone may write to (/tmp), a link is followed only when it
// belongs to this process's user or to the folder's owner, the rule the kernel
// applies with fs.protected_symlinks=1: otherwise another user could plant a
// link there and have this process write wherever it points. The library
// resolves links itself, so the kernel's rule never applies to it, and the
// setting may be off anyway.
bool MayFollow(const std::string& Link, const struct stat& LinkStat) {
  struct stat folder {};
  if (::stat(DirectoryOf(Link).c_str(), &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || LinkStat.st_uid == ::geteuid() || LinkStat.st_uid == folder.st_uid;
}

// The path the save must replace: Path itself, or the final target of the
// symbolic links it leads through (a dangling link's target is created).
std::string FollowLinks(const std::string& Path) {
  std::string current = Path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    if (!MayFollow(current, st)) {
      throw EFCreateError("Cannot create file \"" + Path + "\": the symbolic link \"" + current +
                          "\" belongs to another user of a shared sticky folder and is not followed");
    }
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) RaiseCreateError(Path, errno);
    target.resize(static_cast<std::size_t>(n));
    current = !target.empty() && target.front() == '/' ? target : DirectoryOf(current) + "/" + target;
  }
  RaiseCreateError(Path, ELOOP);
}

// FNV-1a of the target's name: temporaries of one target share it, so a save
// recognises what earlier saves of the same file left.
std::string TargetTag(const std::string& BaseName) {
  std::uint32_t hash = 2166136261u;
  for (const char c : BaseName) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char text[9];
  std::snprintf(text, sizeof(text), "%08x", hash);
  return text;
}

// Removes "<prefix><tag>-<pid>-XXXXXX" files of Dir whose process is gone. A
// live save holds an exclusive lock on its temporary file; the lock goes with
// the process, so a file that can be locked now, of a pid that no longer
// exists, is left over. Both checks must agree: a pid that came back belongs
// to another process, and a lock alone could be missing on a file system
// without them. Best effort: anything unexpected leaves the file alone.
void RemoveDeadTemporaries(const std::string& Dir, const std::string& Prefix) {
  DIR* dir = ::opendir(Dir.c_str());
  if (dir == nullptr) return;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.substr(0, Prefix.size()) != Prefix) continue;
    const std::string rest(name.substr(Prefix.size()));
    char* end = nullptr;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (pid <= 0 || pid == self || end == nullptr || *end != '-') continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

// A replaced file keeps its owner and group where the process may set them,
// then its mode (a change of owner may clear the set-id bits, so it comes
// first). A new file keeps the private mode the temporary file was made with.
// An owner-only file keeps nothing of the file it replaces: it holds secrets
// in clear, so it stays the writer's own, 0600 as mkostemp made it, even when
// the file it replaces was planted by another user.
void CopyOwnershipAndMode(int Fd, const std::string& Target, TFileAccess Access) {
  struct stat st {};
  if (::stat(Target.c_str(), &st) != 0) return;
  if (Access == faOwnerOnly) return;
  if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
    if (::fchown(Fd, st.st_uid, st.st_gid) != 0) (void)::fchown(Fd, static_cast<uid_t>(-1), st.st_gid);
  }
  ::fchmod(Fd, st.st_mode & 07777);
}

// Flushes the finished temporary file to disk through its own descriptor. The
// counters note the file the flush covered, found under the temporary name (so
// only a flush before the rename counts), and its size then, so that a test
// tells a flush of the whole file from one that went missing, came too early
// or too late.
void FlushTemporary(int Fd, const std::string& Temp) {
  if (::fsync(Fd) != 0) throw EWriteError("Cannot flush file \"" + Temp + "\": " + std::strerror(errno));
  struct stat flushed {};
  struct stat named {};
  const bool known = ::fstat(Fd, &flushed) == 0 && ::stat(Temp.c_str(), &named) == 0 &&
                     named.st_ino == flushed.st_ino && named.st_dev == flushed.st_dev;
  const std::lock_guard<std::mutex> guard(gFlushesMutex);
  ++gFlushes.Files;
  gFlushes.LastFile = known ? static_cast<std::uint64_t>(flushed.st_ino) : 0;
  gFlushes.LastFileSize = known ? static_cast<std::int64_t>(flushed.st_size) : -1;
}

// A rename is durable only once the folder entry itself reaches the disk.
void SyncDirectory(const std::string& Dir) {
  const int fd = ::open(Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (::fsync(fd) == 0) {
    const std::lock_guard<std::mutex> guard(gFlushesMutex);
    ++gFlushes.Folders;
  }
  ::close(fd);
}

TFileStamp Save(const String& FileName, const std::function<void(TStream&)>& Writer, const TFileStamp* Expected,
                TFileAccess Access) {
  const std::string named = NativeFileName(FileName);
  if (named.empty() || named.find('\0') != std::string::npos || named.back() == '/') {
    throw EFCreateError("Cannot create file \"" + named + "\": invalid file name");
  }
  const std::string target = FollowLinks(named);
  const std::string dir = DirectoryOf(target);
  const std::string prefix = std::string(kTempPrefix) + TargetTag(BaseNameOf(target)) + "-";
  RemoveDeadTemporaries(dir, prefix);

  std::string temp = dir + "/" + prefix + std::to_string(::getpid()) + "-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) RaiseCreateError(named, errno);
  TFileStamp saved;
  try {
    // Marks the file as in use; the lock goes when the stream closes it.
    ::flock(fd, LOCK_EX | LOCK_NB);
    {
      TFileStream stream(fd, UTF8ToStr(temp));
      CopyOwnershipAndMode(fd, target, Access);
      Writer(stream);
      FlushTemporary(fd, temp);
      saved = TFileStamp::OfHandle(fd);
    }
    if (Expected != nullptr && TFileStamp::Of(UTF8ToStr(target)) != *Expected) {
      throw EFileChangedError("Cannot save file \"" + named + "\": " + SFileChanged);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) RaiseCreateError(named, errno);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  SyncDirectory(dir);
  return saved;
}

} // namespace

namespace detail {

TAtomicSaveFlushes AtomicSaveFlushes() noexcept {
  const std::lock_guard<std::mutex> guard(gFlushesMutex);
  return gFlushes;
}

} // namespace detail

void SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer, TFileAccess Access) {
  Save(FileName, Writer, nullptr, Access);
}

TFileStamp SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer,
                              const TFileStamp& Expected) {
  return Save(FileName, Writer, &Expected, faKeep);
}

} // namespace kl
