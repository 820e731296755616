#include <windows.h>

#include "foundation/FileStamp.h"
#include "foundation/KLGeneral.h"
#include "foundation/WindowsError.h"

namespace kl {

EFileChangedError::~EFileChangedError() = default;

namespace {

std::int64_t Ticks(const FILETIME& Time) noexcept {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime);
}

} // namespace

// The volume serial number and file index name the file; the last write time
// stands for both times of change.
TFileStamp TFileStamp::Of(const String& FileName) {
  TFileStamp stamp;
  const HANDLE handle = CreateFileW(detail::WidePointer(FileName), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return stamp;
    throw EFOpenError("Cannot open file \"" + StrToUTF8(FileName) + "\": " + detail::WindowsErrorText(error));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(handle, &info);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!ok) throw EFOpenError("Cannot open file \"" + StrToUTF8(FileName) + "\": " + detail::WindowsErrorText(error));
  stamp.FExists = true;
  stamp.FDevice = info.dwVolumeSerialNumber;
  stamp.FFile = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp.FSize = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  stamp.FModified = Ticks(info.ftLastWriteTime);
  stamp.FChanged = stamp.FModified;
  return stamp;
}

} // namespace kl
