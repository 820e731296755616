#include <windows.h>

#include <cstdio>
#include <cstring>

#include "Clipboard.h"
#include "Console.h"

namespace klpass {

namespace {

bool OpenWithRetries() {
  // Another program may hold the clipboard for a moment.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(50);
  }
  return false;
}

} // namespace

std::string CopyToClipboard(const kl::String& Text, std::int32_t ClearAfter) {
  if (!OpenWithRetries()) Fail(kExitFileError, "no clipboard: it cannot be opened");
  const std::size_t bytes = (Text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  void* data = memory ? GlobalLock(memory) : nullptr;
  if (data == nullptr) {
    if (memory) GlobalFree(memory);
    CloseClipboard();
    Fail(kExitFileError, "no clipboard: no memory for the value");
  }
  std::memcpy(data, Text.c_str(), bytes);
  GlobalUnlock(memory);
  EmptyClipboard();
  if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
    GlobalFree(memory);
    CloseClipboard();
    Fail(kExitFileError, "no clipboard: the value cannot be set");
  }
  CloseClipboard();
  if (ClearAfter > 0) {
    // Windows numbers every change of the clipboard: the same number later
    // means nobody copied anything since, so the value is still ours.
    const DWORD ours = GetClipboardSequenceNumber();
    std::fprintf(stderr, "klpass: waiting %d s to clear the clipboard (Ctrl-C leaves it)\n", ClearAfter);
    Sleep(static_cast<DWORD>(ClearAfter) * 1000);
    if (GetClipboardSequenceNumber() == ours && OpenWithRetries()) {
      EmptyClipboard();
      CloseClipboard();
    }
  }
  return "the clipboard";
}

int RunClipboardClear(const std::vector<std::string>&) { return kExitUsage; }

} // namespace klpass
