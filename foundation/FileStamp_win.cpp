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

TFileStamp FromInformation(const BY_HANDLE_FILE_INFORMATION& Info) noexcept {
  return TFileStamp(
      Info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(Info.nFileIndexHigh) << 32) | Info.nFileIndexLow,
      static_cast<std::int64_t>((static_cast<std::uint64_t>(Info.nFileSizeHigh) << 32) | Info.nFileSizeLow),
      Ticks(Info.ftLastWriteTime));
}

} // namespace

// The volume serial number and file index name the file.
TFileStamp TFileStamp::Of(const String& FileName) {
  const HANDLE handle = CreateFileW(detail::WidePointer(FileName), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return TFileStamp();
    throw EFOpenError("Cannot open file \"" + StrToUTF8(FileName) + "\": " + detail::WindowsErrorText(error));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(handle, &info);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!ok) throw EFOpenError("Cannot open file \"" + StrToUTF8(FileName) + "\": " + detail::WindowsErrorText(error));
  return FromInformation(info);
}

TFileStamp TFileStamp::OfHandle(std::intptr_t Handle) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(Handle), &info)) return TFileStamp();
  return FromInformation(info);
}

} // namespace kl
