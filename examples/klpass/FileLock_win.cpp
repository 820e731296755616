#include <windows.h>

#include <chrono>
#include <thread>

#include "Console.h"
#include "FileLock.h"

namespace klpass {

std::string ResolvedPath(const std::string& Target) { return Target; }

// A byte-range lock on the lock file's first byte; it goes with the process
// however it ends.
TFileLock::TFileLock(const std::string& Target) {
  const std::string name = LockFileName(Target);
  const kl::String wide = Text(name);
  const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) Fail(kExitFileError, "cannot lock '" + Target + "': cannot open " + name);
  FHandle = reinterpret_cast<std::intptr_t>(handle);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LockTimeoutMilliseconds());
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      CloseHandle(handle);
      Fail(kExitFileError, "'" + Target + "' is busy: another command is changing it (waited for its lock " + name +
                               "); nothing was changed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TFileLock::~TFileLock() { CloseHandle(reinterpret_cast<HANDLE>(FHandle)); }

} // namespace klpass
