#include <windows.h>

#include <wincrypt.h>

#include "foundation/SecureMemory.h"
#include "foundation/WindowsError.h"
#include "passwords/DataProtection.h"

namespace kl {

namespace {

// The service's output buffer, released with LocalFree however the copy ends;
// a buffer of unprotected data is wiped first.
class TServiceBlob {
public:
  explicit TServiceBlob(bool WipeOnRelease) noexcept : FWipe(WipeOnRelease) {}
  ~TServiceBlob() {
    if (FBlob.pbData == nullptr) return;
    if (FWipe) SecureZero(FBlob.pbData, FBlob.cbData);
    LocalFree(FBlob.pbData);
  }
  TServiceBlob(const TServiceBlob&) = delete;
  TServiceBlob& operator=(const TServiceBlob&) = delete;

  DATA_BLOB* Out() noexcept { return &FBlob; }
  ByteArray Copy() const { return ByteArray(FBlob.pbData, FBlob.pbData + FBlob.cbData); }

private:
  DATA_BLOB FBlob{};
  bool FWipe;
};

// The service takes its input through a non-const pointer but does not write
// to it. An empty input still gets a valid address.
DATA_BLOB InputOf(const ByteArray& Data) {
  static BYTE empty = 0;
  if (Data.size() > MAXDWORD) {
    throw EDataProtectionError(ERROR_INVALID_PARAMETER, "Data too large for the data-protection service");
  }
  DATA_BLOB in{};
  in.cbData = static_cast<DWORD>(Data.size());
  in.pbData = Data.empty() ? &empty : const_cast<BYTE*>(Data.data());
  return in;
}

// Reads GetLastError before anything else can change it. The number is passed
// on as the signed value the password messages print.
[[noreturn]] void RaiseServiceError(const char* Operation) {
  const DWORD error = GetLastError();
  throw EDataProtectionError(static_cast<std::int32_t>(error),
                             std::string(Operation) + " failed: " + detail::WindowsErrorText(error));
}

} // namespace

const std::size_t MaxProtectedBlobSize = MaxProtectedDataSize + 1024;
const std::int32_t DataTooLargeError = ERROR_FILE_TOO_LARGE;

// The service's errors say nothing about where its keys are kept.
bool IsKeyStoreFailure(std::int32_t) noexcept { return false; }

bool CreateMachineKey() { return false; }

// No description (the empty string), no extra entropy, no prompt: the blob is
// bound to the current user, or to the machine with CRYPTPROTECT_LOCAL_MACHINE.
ByteArray ProtectData(const ByteArray& Data, bool MachineScope) {
  // Larger data would make a blob the loads refuse.
  if (Data.size() > MaxProtectedDataSize)
    throw EDataProtectionError(DataTooLargeError, "The data is too large to protect");
  DATA_BLOB in = InputOf(Data);
  TServiceBlob out(false);
  const DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (MachineScope ? CRYPTPROTECT_LOCAL_MACHINE : 0);
  if (!CryptProtectData(&in, L"", nullptr, nullptr, nullptr, flags, out.Out())) RaiseServiceError("CryptProtectData");
  return out.Copy();
}

// The blob records its own scope; the description it carries is not asked for.
ByteArray UnprotectData(const ByteArray& Blob) {
  if (Blob.size() > MaxProtectedBlobSize) {
    throw EDataProtectionError(DataTooLargeError, "The protected data is larger than any the library makes");
  }
  DATA_BLOB in = InputOf(Blob);
  TServiceBlob out(true);
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, out.Out())) {
    RaiseServiceError("CryptUnprotectData");
  }
  return out.Copy();
}

} // namespace kl
