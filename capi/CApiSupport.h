#pragma once

// What every unit of the C interface shares: turning C text into library text
// with its checks, writing answers into caller buffers, handing out secrets,
// and the one boundary through which every entry point runs, so that no
// exception leaves the library.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "capi/klpassword.h"
#include "foundation/SecureMemory.h"
#include "foundation/Types.h"

namespace kl {
class TKLPassStorage;
} // namespace kl

namespace kl::capi {

// A refusal decided by the C layer itself (a NULL, an index out of range).
struct TCApiError {
  int Status;
  const char* Detail;
};

[[noreturn]] inline void Refuse(int Status, const char* Detail) { throw TCApiError{Status, Detail}; }

inline void Require(bool Condition, const char* Detail) {
  if (!Condition) Refuse(KLP_ERROR_INVALID_ARGUMENT, Detail);
}

template <class T>
T& Deref(T* Pointer, const char* Detail) {
  Require(Pointer != nullptr, Detail);
  return *Pointer;
}

// The library never defines the handles' structures: a handle is the address
// of an object of the unit's own type, cast back here, so that the C view (an
// incomplete structure) is all the ABI holds of it.
template <class TImpl, class THandle>
TImpl& Of(THandle* Handle, const char* Detail) {
  Require(Handle != nullptr, Detail);
  return *reinterpret_cast<TImpl*>(Handle);
}
template <class TImpl, class THandle>
const TImpl& Of(const THandle* Handle, const char* Detail) {
  Require(Handle != nullptr, Detail);
  return *reinterpret_cast<const TImpl*>(Handle);
}
template <class THandle, class TImpl>
THandle* HandleOf(TImpl* Impl) noexcept {
  return reinterpret_cast<THandle*>(Impl);
}

// The status of the exception being handled, its detail kept for
// klp_last_error. Called from a catch block only.
int StatusOfCurrentException() noexcept;
void SetLastError(const char* Detail) noexcept;

// Runs Body and returns its status, or the status of whatever it threw.
template <class TBody>
int Guard(TBody&& Body) noexcept {
  try {
    return Body();
  } catch (...) {
    return StatusOfCurrentException();
  }
}

// A NUL-terminated UTF-8 input, checked (length, well-formedness) and
// converted. The returned text is wiped by its holder where it is a secret.
String Text(const char* Utf8, const char* Name);
// The same, NULL reading as the empty text.
String OptionalText(const char* Utf8, const char* Name);
// A list of count texts; Words may be NULL only when count is 0.
std::vector<String> TextList(const char* const* Words, std::size_t Count);

// Writes Utf8 and a NUL into out when it fits (see the header's "Outputs").
int WriteText(const std::string& Utf8, char* Out, std::size_t* OutLen);
int WriteText(const String& Text, char* Out, std::size_t* OutLen);
// The same for a secret: the UTF-8 copy made on the way is wiped.
int WriteSecretText(const String& Text, char* Out, std::size_t* OutLen);
// A new malloc'd UTF-8 copy for klp_secret_free; the intermediate copy wiped.
void HandOutSecret(const String& Text, char** Out);

// A password or key taken in as library text, wiped when it goes.
class TSecretText {
public:
  TSecretText(const char* Utf8, const char* Name) : FText(Text(Utf8, Name)) {}
  ~TSecretText() { WipeString(FText); }
  TSecretText(const TSecretText&) = delete;
  TSecretText& operator=(const TSecretText&) = delete;
  const String& Get() const noexcept { return FText; }

private:
  String FText;
};

// The store a vault handle holds (the KDBX unit's way in).
TKLPassStorage& VaultStore(klp_vault_t* Vault);

// An index of a collection of Count, or KLP_ERROR_NOT_FOUND.
std::int32_t CheckedIndex(std::size_t Index, std::int32_t Count, const char* Detail);

} // namespace kl::capi
