#pragma once

#include <cstdint>
#include <string>

namespace klpass {

// An exclusive advisory lock held by a command that reads, changes and saves a
// file, for that whole span, so that two klpass runs editing one file take
// turns instead of each saving over the other's change. The lock is on a file
// beside the target ("<target>.lock", or ".klpass-<hash>.lock" when that name
// would be too long), which stays: removing it could let two runs lock two
// different files. Links to the target lock the same file. The lock file is
// opened read-only and is readable by every user (0644, whatever the umask),
// so that every user who may edit a shared file may lock it, however and
// whenever the file was shared. A target reached
// through another user's link in a shared sticky folder is refused (exit 6).
class TFileLock {
public:
  // Waits for the lock up to the time KLPASS_LOCK_TIMEOUT gives in seconds
  // (default 30), then fails (exit status 6) saying the file is busy.
  explicit TFileLock(const std::string& Target);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

private:
  std::intptr_t FHandle = -1;
};

// The lock file's name for Target (links in Target followed where they exist).
std::string LockFileName(const std::string& Target);

// Target with its links resolved when it exists (POSIX), else as given.
std::string ResolvedPath(const std::string& Target);

// The characters that end a folder name in a path.
#ifdef _WIN32
inline constexpr const char* kSeparators = "/\\";
#else
inline constexpr const char* kSeparators = "/";
#endif

// How long to wait for a lock, in milliseconds.
std::int64_t LockTimeoutMilliseconds();

} // namespace klpass
