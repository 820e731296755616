#include <windows.h>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/MappedFile.h"
#include "foundation/WindowsError.h"

namespace kl::detail {

namespace {

[[noreturn]] void Fail(const String& FileName, DWORD Error) {
  throw EFOpenError("Cannot map file \"" + NativeFileName(FileName) + "\": " + WindowsErrorText(Error));
}

} // namespace

TMappedFile::TMappedFile(const String& FileName) {
  if (FileName.find(Char(0)) != String::npos) throw EFOpenError("Invalid file name");
  const HANDLE file =
      CreateFileW(WidePointer(FileName), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(FileName, GetLastError());
  DWORD error = 0;
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK) {
    error = ERROR_INVALID_PARAMETER;
  } else if (!GetFileSizeEx(file, &size)) {
    error = GetLastError();
  } else if (static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX) {
    error = ERROR_FILE_TOO_LARGE;
  }
  if (error == 0 && size.QuadPart > 0) {
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
      error = GetLastError();
    } else {
      const void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
      if (data == nullptr) {
        error = GetLastError();
        CloseHandle(mapping);
      } else {
        FData = static_cast<const std::uint8_t*>(data);
        FSize = static_cast<std::uint64_t>(size.QuadPart);
        FMapping = reinterpret_cast<std::intptr_t>(mapping);
      }
    }
  }
  CloseHandle(file);
  if (error != 0) Fail(FileName, error);
}

TMappedFile::~TMappedFile() {
  if (FData != nullptr) UnmapViewOfFile(FData);
  if (FMapping != 0) CloseHandle(reinterpret_cast<HANDLE>(FMapping));
}

} // namespace kl::detail
