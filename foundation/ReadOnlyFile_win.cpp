#include <windows.h>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/ReadOnlyFile.h"
#include "foundation/WindowsError.h"

namespace kl::detail {

namespace {

[[noreturn]] void Fail(const String& FileName, DWORD Error) {
  throw EFOpenError("Cannot open file \"" + NativeFileName(FileName) + "\": " + WindowsErrorText(Error));
}

} // namespace

TReadOnlyFile::TReadOnlyFile(const String& FileName) {
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
  }
  if (error != 0) {
    CloseHandle(file);
    Fail(FileName, error);
  }
  FHandle = reinterpret_cast<std::intptr_t>(file);
  FSize = static_cast<std::uint64_t>(size.QuadPart);
}

TReadOnlyFile::~TReadOnlyFile() { CloseHandle(reinterpret_cast<HANDLE>(FHandle)); }

// Each read names its own offset, so threads sharing the handle do not race
// on its file position.
bool TReadOnlyFile::ReadAt(std::uint64_t Offset, void* Out, std::size_t Size) const noexcept {
  auto* out = static_cast<std::uint8_t*>(Out);
  while (Size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(Offset);
    at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
    const DWORD want = Size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(Size);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(FHandle), out, want, &got, &at) || got == 0) return false;
    out += got;
    Offset += got;
    Size -= got;
  }
  return true;
}

} // namespace kl::detail
