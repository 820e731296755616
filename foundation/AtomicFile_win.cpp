#include <windows.h>

#include <atomic>
#include <string>

#include "foundation/AtomicFile.h"
#include "foundation/AtomicFileCounters.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/WindowsError.h"

namespace kl {

namespace {

constexpr int kTemporaryNameAttempts = 100;

std::atomic<std::uint64_t> gFileFlushes{0};
std::atomic<std::uint64_t> gFolderFlushes{0};

[[noreturn]] void RaiseCreateError(const String& Target, DWORD Error) {
  throw EFCreateError("Cannot create file \"" + StrToUTF8(Target) + "\": " + detail::WindowsErrorText(Error));
}

String HexOf(std::uint64_t Value) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  String text;
  for (int shift = 60; shift >= 0; shift -= 4) text.push_back(kDigits[(Value >> shift) & 0xF]);
  return text;
}

// Creates a new, unused file beside Target. The name mixes the process id with
// the performance counter; a clash with an existing file only moves on to the
// next name.
HANDLE CreateTemporaryBeside(const String& Target, String& TempName) {
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  const std::uint64_t base =
      (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40) ^ static_cast<std::uint64_t>(counter.QuadPart);
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    TempName = Target + u".tmp-" + HexOf(base + static_cast<std::uint64_t>(attempt));
    const HANDLE handle = CreateFileW(detail::WidePointer(TempName), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RaiseCreateError(Target, error);
  }
  RaiseCreateError(Target, ERROR_FILE_EXISTS);
}

// The temporary file is written and flushed, then moved over the target in one
// step that reaches the disk before it returns (MOVEFILE_WRITE_THROUGH: the
// folder's flush). A new file gets the folder's inherited permissions, as does
// a replaced one.
TFileStamp Save(const String& FileName, const std::function<void(TStream&)>& Writer, const TFileStamp* Expected) {
  if (FileName.empty() || FileName.find(Char(0)) != String::npos || FileName.back() == u'\\' ||
      FileName.back() == u'/') {
    throw EFCreateError("Cannot create file \"" + StrToUTF8(FileName) + "\": invalid file name");
  }
  String temp;
  const HANDLE handle = CreateTemporaryBeside(FileName, temp);
  TFileStamp saved;
  try {
    {
      TFileStream stream(reinterpret_cast<TFileStream::THandle>(handle), temp);
      Writer(stream);
      stream.FlushToDisk();
      gFileFlushes.fetch_add(1, std::memory_order_relaxed);
      saved = TFileStamp::OfHandle(reinterpret_cast<std::intptr_t>(handle));
    }
    if (Expected != nullptr && TFileStamp::Of(FileName) != *Expected) {
      throw EFileChangedError("Cannot save file \"" + StrToUTF8(FileName) + "\": " + SFileChanged);
    }
    if (!MoveFileExW(detail::WidePointer(temp), detail::WidePointer(FileName),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      RaiseCreateError(FileName, GetLastError());
    }
  } catch (...) {
    DeleteFileW(detail::WidePointer(temp));
    throw;
  }
  gFolderFlushes.fetch_add(1, std::memory_order_relaxed);
  return saved;
}

} // namespace

namespace detail {

TAtomicSaveFlushes AtomicSaveFlushes() noexcept {
  return {gFileFlushes.load(std::memory_order_relaxed), gFolderFlushes.load(std::memory_order_relaxed)};
}

} // namespace detail

void SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer, TFileAccess) {
  Save(FileName, Writer, nullptr);
}

TFileStamp SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer,
                              const TFileStamp& Expected) {
  return Save(FileName, Writer, &Expected);
}

} // namespace kl
