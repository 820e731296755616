#include <windows.h>

#include <limits>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/WindowsError.h"

namespace kl {

namespace {

std::string Describe(const char* What, const String& FileName, DWORD Error) {
  return std::string(What) + " \"" + StrToUTF8(FileName) + "\": " + detail::WindowsErrorText(Error);
}

HANDLE Win(TFileStream::THandle Handle) { return reinterpret_cast<HANDLE>(Handle); }

// Readers share the file with writers and with a replacing rename, as POSIX
// readers do; a file being written may still be read, not written, by others.
constexpr DWORD kShareForReading = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kShareForWriting = FILE_SHARE_READ | FILE_SHARE_DELETE;

} // namespace

std::string NativeFileName(const String& FileName) { return StrToUTF8(FileName); }

TFileStream::TFileStream(const String& FileName, TFileMode Mode) : FFileName(FileName) {
  if (FileName.find(Char(0)) != String::npos) throw EFOpenError("Invalid file name");
  DWORD access = GENERIC_READ;
  DWORD share = kShareForReading;
  DWORD disposition = OPEN_EXISTING;
  switch (Mode) {
    case fmCreate:
      access = GENERIC_READ | GENERIC_WRITE;
      share = kShareForWriting;
      disposition = CREATE_ALWAYS;
      break;
    case fmOpenRead:
      break;
    case fmOpenReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      share = kShareForWriting;
      break;
  }
  // A folder cannot be opened without FILE_FLAG_BACKUP_SEMANTICS, so it fails
  // here as it must.
  const HANDLE handle =
      CreateFileW(detail::WidePointer(FileName), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (Mode == fmCreate) throw EFCreateError(Describe("Cannot create file", FileName, error));
    throw EFOpenError(Describe("Cannot open file", FileName, error));
  }
  // A pipe, console or other device is refused before it is read or written.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    const std::string message = std::string(Mode == fmCreate ? "Cannot create file" : "Cannot open file") + " \"" +
                                StrToUTF8(FileName) + "\": " + SNotARegularFile;
    if (Mode == fmCreate) throw EFCreateError(message);
    throw EFOpenError(message);
  }
  FHandle = reinterpret_cast<THandle>(handle);
}

TFileStream::TFileStream(THandle Handle, const String& FileName) : FHandle(Handle), FFileName(FileName) {}

TFileStream::~TFileStream() {
  if (FHandle != -1) CloseHandle(Win(FHandle));
}

std::int32_t TFileStream::Read(void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  DWORD done = 0;
  if (!ReadFile(Win(FHandle), Buffer, static_cast<DWORD>(Count), &done, nullptr)) {
    throw EReadError(Describe("Cannot read file", FFileName, GetLastError()));
  }
  return static_cast<std::int32_t>(done);
}

std::int32_t TFileStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count < 0) throw ERangeError(SRangeError);
  DWORD done = 0;
  if (!WriteFile(Win(FHandle), Buffer, static_cast<DWORD>(Count), &done, nullptr)) {
    throw EWriteError(Describe("Cannot write file", FFileName, GetLastError()));
  }
  return static_cast<std::int32_t>(done);
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  DWORD method = FILE_BEGIN;
  switch (Origin) {
    case soBeginning:
      method = FILE_BEGIN;
      break;
    case soCurrent:
      method = FILE_CURRENT;
      break;
    case soEnd:
      method = FILE_END;
      break;
    default:
      throw ERangeError(SRangeError);
  }
  LARGE_INTEGER distance{};
  distance.QuadPart = Offset;
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(Win(FHandle), distance, &position, method)) {
    throw EStreamError(Describe("Cannot seek in file", FFileName, GetLastError()));
  }
  return position.QuadPart;
}

// Windows cuts or extends a file at the current position, so the position is
// moved there and back; as with POSIX, a position beyond the new end ends up
// at the end.
void TFileStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw ERangeError(SRangeError);
  const std::int64_t position = GetPosition();
  Seek(NewSize, soBeginning);
  if (!SetEndOfFile(Win(FHandle))) {
    const DWORD error = GetLastError();
    Seek(position, soBeginning);
    throw EWriteError(Describe("Cannot resize file", FFileName, error));
  }
  Seek(position < NewSize ? position : NewSize, soBeginning);
}

void TFileStream::FlushToDisk() {
  if (!FlushFileBuffers(Win(FHandle))) throw EWriteError(Describe("Cannot flush file", FFileName, GetLastError()));
}

} // namespace kl
