#pragma once

#include <cstdint>

#include "foundation/Exceptions.h"
#include "foundation/Types.h"

// Binds data to the current user or to the machine. Internal to the library:
// TKLPassword turns its failures into the library's save and load messages.
//
// Windows implementation (DataProtection_win.cpp): the system's data-protection
// service itself (CryptProtectData / CryptUnprotectData); the blob is the
// service's output alone and the error numbers are GetLastError's.
//
// POSIX implementation (DataProtection_posix.cpp):
// - User scope: a random 32-byte key in the file "user.key" of a key folder
//   private to the user: $KLPASSWORD_KEY_DIR when set, otherwise
//   $XDG_DATA_HOME/klpassword (when that is an absolute path), otherwise
//   ~/.local/share/klpassword. The folder must be a real folder of mode 0700 and
//   the file a regular file of mode 0600 (nothing looser), both owned by the
//   user; anything else is refused. The first protection creates both.
// - Machine scope: the machine key, a random 32-byte key in the file
//   /var/lib/klpassword/machine.key ($KLPASSWORD_MACHINE_KEY_FILE when set),
//   made once by an administrator (CreateMachineKey) and readable by every user
//   of the machine: mode 0644 or stricter, owned by root (or by the user
//   running), in a folder nobody else may write to. A machine without that file
//   falls back to a key computed from the machine id, read from
//   $KLPASSWORD_MACHINE_ID_FILE when set, otherwise /etc/machine-id or, failing
//   that, /var/lib/dbus/machine-id (32 hexadecimal digits); the id is readable
//   by anyone and often published, so the key file is the stronger binding.
//   Every user of the machine can unprotect such data; nobody on another
//   machine can. The blob records which key made it.
// - Blob: "KLDP", format version 1, scope (0 user, 1 machine id, 2 machine
//   key), a 16-byte IV,
//   the AES-256-CBC ciphertext (PKCS#7 padding), and an HMAC-SHA-256 tag over
//   everything before it. Encryption and MAC keys are derived from the scope key
//   under separate labels; the tag is checked in constant time before anything
//   is deciphered.
// The three environment variables exist for tests, which must never touch a
// real home folder or key.

namespace kl {

// Error numbers of the POSIX layer. Where the system reported a failure its
// errno value is carried; the layer's own conditions use the numbers below, all
// above any errno value.
enum TDataProtectionErrorCode : std::int32_t {
  dpeMalformedBlob = 1001,        // too short, wrong magic, unknown version or scope
  dpeAuthenticationFailed = 1002, // tag mismatch: tampered with, or made for another user or machine
  dpeInsecureKeyStore = 1003,     // key folder or file too open, not owned by the user, or not what it should be
  dpeBadKeyFile = 1004,           // key file of the wrong size
  dpeNoKeyFolder = 1005,          // no home folder to put the key folder in
  dpeBadMachineId = 1006,         // machine id missing its 32 hexadecimal digits
  dpeDataTooLarge = 1007,         // data or blob beyond MaxProtectedDataSize
};

// The largest input ProtectData accepts.
inline constexpr std::size_t MaxProtectedDataSize = std::size_t{1} << 24;
// The largest blob UnprotectData and the password loads accept: the blob of
// MaxProtectedDataSize bytes on POSIX; that size with room for the service's
// header on Windows.
extern const std::size_t MaxProtectedBlobSize;
// The error number of data or a blob beyond those sizes, in the platform's
// numbering: dpeDataTooLarge on POSIX, ERROR_FILE_TOO_LARGE on Windows.
extern const std::int32_t DataTooLargeError;

// Whether a failure with this number lies with the key store (missing,
// unreadable or insecure key material) rather than with the data.
bool IsKeyStoreFailure(std::int32_t ErrorCode) noexcept;

// Makes the machine key if this machine has none; true when it was made. Needs
// the rights to write the key's folder (an administrator's). Windows: the
// service keeps its own machine key, so nothing is made and the answer is false.
bool CreateMachineKey();

// Raised by the layer; never leaves the library.
class EDataProtectionError : public Exception {
public:
  EDataProtectionError(std::int32_t ErrorCode, const std::string& Message);
  ~EDataProtectionError() override;
  std::int32_t GetErrorCode() const noexcept { return FErrorCode; }

private:
  std::int32_t FErrorCode;
};

// Encrypts and authenticates Data for the current user, or for the machine
// when MachineScope is set.
ByteArray ProtectData(const ByteArray& Data, bool MachineScope);

// The data of a blob made by ProtectData, for the scope it records.
ByteArray UnprotectData(const ByteArray& Blob);

} // namespace kl
