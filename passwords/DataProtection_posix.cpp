#include "passwords/DataProtection.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/KLAES.h"
#include "crypto/KLHMAC.h"
#include "crypto/KLSHA256.h"
#include "foundation/AtomicFile.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "foundation/SecureMemory.h"
#include "random/KLRandom.h"

namespace kl {

namespace {

// Blob layout: magic, version, scope, IV, ciphertext, tag.
constexpr std::uint8_t kMagic[4] = {'K', 'L', 'D', 'P'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kScopeUser = 0;
constexpr std::uint8_t kScopeMachine = 1;    // keyed by the machine id (blobs made without a machine key)
constexpr std::uint8_t kScopeMachineKey = 2; // keyed by the machine key file
constexpr std::size_t kHeaderSize = sizeof(kMagic) + 2;
constexpr std::size_t kIVOffset = kHeaderSize;
constexpr std::size_t kCipherOffset = kIVOffset + AESBlockSize;
constexpr std::size_t kTagSize = SHA256DigestSize;
constexpr std::size_t kMinBlobSize = kCipherOffset + AESBlockSize + kTagSize;
constexpr std::size_t kMaxBlobSize = kCipherOffset + MaxProtectedDataSize + AESBlockSize + kTagSize;
static_assert(MaxProtectedDataSize % AESBlockSize == 0, "the largest data gets a whole block of padding");
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kMachineIdDigits = 32;
constexpr std::size_t kMaxMachineIdFileSize = 4096;

constexpr const char* kKeyDirVariable = "KLPASSWORD_KEY_DIR";
constexpr const char* kMachineIdVariable = "KLPASSWORD_MACHINE_ID_FILE";
constexpr const char* kMachineKeyVariable = "KLPASSWORD_MACHINE_KEY_FILE";
constexpr const char* kMachineKeyFile = "/var/lib/klpassword/machine.key";
constexpr const char* kKeyFolderName = "klpassword";
constexpr const char* kKeyFileName = "user.key";
constexpr const char* kMachineIdFiles[] = {"/etc/machine-id", "/var/lib/dbus/machine-id"};

// Labels that separate the keys made from one scope key.
constexpr const char* kEncryptionLabel = "klpassword data protection 1: encryption key";
constexpr const char* kAuthenticationLabel = "klpassword data protection 1: authentication key";
constexpr const char* kMachineScopeLabel = "klpassword data protection 1: machine scope key";
constexpr const char* kMachineKeyScopeLabel = "klpassword data protection 1: machine key scope key";

[[noreturn]] void Fail(std::int32_t Code, const std::string& What) { throw EDataProtectionError(Code, What); }

[[noreturn]] void FailWithErrno(int Errno, const std::string& What) {
  const int code = Errno != 0 ? Errno : EIO;
  Fail(code, What + ": " + std::strerror(code));
}

// Environment variables are ignored in set-user-id programs, where they would
// be the caller's to choose.
const char* Environment(const char* Name) {
#if defined(__GLIBC__)
  return ::secure_getenv(Name);
#else
  return ::getenv(Name);
#endif
}

class TFileHandle {
public:
  explicit TFileHandle(int Handle) noexcept : FHandle(Handle) {}
  ~TFileHandle() {
    if (FHandle >= 0) ::close(FHandle);
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  int Get() const noexcept { return FHandle; }

private:
  int FHandle;
};

// Reads up to Size bytes; fewer only at the end of the file.
std::size_t ReadFully(int Handle, std::uint8_t* Buffer, std::size_t Size) {
  std::size_t done = 0;
  while (done < Size) {
    const ssize_t n = ::read(Handle, Buffer + done, Size - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno, "Cannot read key material");
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// ---- Key derivation ----

// HMAC-SHA-256 of Label under Key: 32 bytes into Out.
void KeyedLabel(const ByteArray& Key, const char* Label, SecureBytes& Out) {
  const ByteArray label(Label, Label + std::strlen(Label));
  TMessageDigest256 digest = MAC256Calculate(label, Key);
  Out.Get().assign(DigestBytes(digest), DigestBytes(digest) + SHA256DigestSize);
  SecureZeroObject(digest);
}

struct TBlobKeys {
  SecureBytes Encryption;
  SecureBytes Authentication;
};

void DeriveBlobKeys(const SecureBytes& ScopeKey, TBlobKeys& Keys) {
  KeyedLabel(ScopeKey.Get(), kEncryptionLabel, Keys.Encryption);
  KeyedLabel(ScopeKey.Get(), kAuthenticationLabel, Keys.Authentication);
}

TMessageDigest256 ComputeTag(const SecureBytes& MacKey, const std::uint8_t* Data, std::size_t Size) {
  TMACSHA256Context context;
  WipeOnExit<TMACSHA256Context> wipe(context);
  MAC256Initialize(context, MacKey.Get());
  MAC256Update(context, Data, static_cast<std::int32_t>(Size));
  return MAC256Finalize(context);
}

// ---- User scope: the key file ----

std::string HomeFolder() {
  const char* home = Environment("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

std::string KeyFolder() {
  const char* dir = Environment(kKeyDirVariable);
  if (dir != nullptr && dir[0] != '\0') return dir;
  const char* dataHome = Environment("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + "/" + kKeyFolderName;
  const std::string home = HomeFolder();
  if (home.empty()) Fail(dpeNoKeyFolder, "No home folder for the key folder");
  return home + "/.local/share/" + kKeyFolderName;
}

std::string OctalMode(mode_t Mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(Mode & 07777));
  return text;
}

// Refuses key material that another user could read or replace; What names it
// ("The key folder ...") and Expected is the mode it must have.
void CheckPrivate(const struct stat& Info, const std::string& What, const char* Expected) {
  if (Info.st_uid != ::geteuid()) {
    Fail(dpeInsecureKeyStore, What + " belongs to user " + std::to_string(Info.st_uid) + ", not to this user (" +
                                  std::to_string(::geteuid()) + ")");
  }
  if ((Info.st_mode & 077) != 0) {
    Fail(dpeInsecureKeyStore,
         What + " is open to other users (mode " + OctalMode(Info.st_mode) + "; it must be " + Expected + ")");
  }
}

// False when the folder does not exist; refuses one that is not a real folder
// private to the user.
bool CheckKeyFolder(const std::string& Folder) {
  struct stat info {};
  if (::lstat(Folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return false;
    FailWithErrno(errno, "Cannot examine the key folder " + Folder);
  }
  if (!S_ISDIR(info.st_mode)) Fail(dpeInsecureKeyStore, "The key folder " + Folder + " is not a folder");
  CheckPrivate(info, "The key folder " + Folder, "0700");
  return true;
}

// Creates the folder and whatever parents are missing, each of mode 0700.
void MakeKeyFolder(const std::string& Folder) {
  for (std::size_t slash = Folder.find('/', 1); slash != std::string::npos; slash = Folder.find('/', slash + 1)) {
    const std::string parent = Folder.substr(0, slash);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) FailWithErrno(errno, "Cannot create " + parent);
  }
  if (::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) FailWithErrno(errno, "Cannot create the key folder");
}

// False when the file does not exist; refuses a file that is not a regular
// file private to the user, and one that does not hold exactly one key.
bool ReadKeyFile(const std::string& FileName, SecureBytes& Key) {
  const TFileHandle file(::open(FileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.Get() < 0) {
    if (errno == ENOENT) return false;
    if (errno == ELOOP) Fail(dpeInsecureKeyStore, "The key file " + FileName + " is a symbolic link");
    FailWithErrno(errno, "Cannot open the key file " + FileName);
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) FailWithErrno(errno, "Cannot examine the key file");
  if (!S_ISREG(info.st_mode)) Fail(dpeInsecureKeyStore, "The key file " + FileName + " is not a regular file");
  CheckPrivate(info, "The key file " + FileName, "0600");
  if (info.st_size != static_cast<off_t>(kKeySize))
    Fail(dpeBadKeyFile, "The key file " + FileName + " does not hold a key");
  Key.Get().assign(kKeySize, 0);
  if (ReadFully(file.Get(), Key.data(), kKeySize) != kKeySize) Fail(dpeBadKeyFile, "The key file does not hold a key");
  return true;
}

// Makes the key file under an exclusive lock on the key folder, so that two
// processes protecting at once agree on one key instead of each writing its own.
void CreateKeyFile(const std::string& Folder, const std::string& FileName, SecureBytes& Key) {
  const TFileHandle folder(::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.Get() < 0) FailWithErrno(errno, "Cannot open the key folder");
  while (::flock(folder.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) FailWithErrno(errno, "Cannot lock the key folder");
  }
  if (ReadKeyFile(FileName, Key)) return;
  Key.Get().assign(kKeySize, 0);
  TKLFastRandomGenerator random;
  random.Generate(Key.data(), static_cast<std::int32_t>(kKeySize));
  try {
    // A key in clear: the writer's own file, mode 0600, whatever was there.
    SaveFileAtomically(
        UTF8ToStr(FileName), [&Key](TStream& S) { S.WriteBuffer(Key.data(), static_cast<std::int32_t>(kKeySize)); },
        faOwnerOnly);
  } catch (const Exception& e) {
    FailWithErrno(errno, std::string("Cannot save the key file: ") + e.what());
  }
}

void UserScopeKey(bool Create, SecureBytes& Key) {
  const std::string folder = KeyFolder();
  const std::string fileName = folder + "/" + kKeyFileName;
  if (!CheckKeyFolder(folder)) {
    if (!Create) Fail(ENOENT, "No key folder " + folder + ": nothing was protected for this user here");
    MakeKeyFolder(folder);
    CheckKeyFolder(folder);
  }
  if (ReadKeyFile(fileName, Key)) return;
  if (!Create) Fail(ENOENT, "No key file " + fileName + ": nothing was protected for this user here");
  CreateKeyFile(folder, fileName, Key);
}

// ---- Machine scope ----

bool IsHexDigit(char C) { return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F'); }

// The machine id's 32 digits, lower case; false when the file does not exist.
bool ReadMachineId(const char* FileName, SecureBytes& Id) {
  const TFileHandle file(::open(FileName, O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) {
    if (errno == ENOENT) return false;
    FailWithErrno(errno, "Cannot open the machine id");
  }
  SecureBytes text(kMaxMachineIdFileSize);
  const std::size_t size = ReadFully(file.Get(), text.data(), text.size());
  std::size_t end = size;
  while (end > 0 && (text.data()[end - 1] == '\n' || text.data()[end - 1] == '\r' || text.data()[end - 1] == ' ')) {
    --end;
  }
  if (end != kMachineIdDigits) Fail(dpeBadMachineId, "The machine id is not 32 hexadecimal digits");
  Id.Get().assign(kMachineIdDigits, 0);
  for (std::size_t i = 0; i < kMachineIdDigits; ++i) {
    const char c = static_cast<char>(text.data()[i]);
    if (!IsHexDigit(c)) Fail(dpeBadMachineId, "The machine id is not 32 hexadecimal digits");
    Id.data()[i] = static_cast<std::uint8_t>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  }
  return true;
}

// The machine id keys an HMAC of a label of this library's own, so the key is
// bound to the machine but the id itself is never used as a key directly.
void MachineScopeKey(SecureBytes& Key) {
  SecureBytes id;
  const char* configured = Environment(kMachineIdVariable);
  bool found = false;
  if (configured != nullptr && configured[0] != '\0') {
    found = ReadMachineId(configured, id);
  } else {
    for (const char* fileName : kMachineIdFiles) {
      if ((found = ReadMachineId(fileName, id))) break;
    }
  }
  if (!found) Fail(ENOENT, "No machine id (nor machine key file)");
  KeyedLabel(id.Get(), kMachineScopeLabel, Key);
}

std::string MachineKeyFileName() {
  const char* configured = Environment(kMachineKeyVariable);
  return configured != nullptr && configured[0] != '\0' ? configured : kMachineKeyFile;
}

// Key material only an administrator may change: owned by root (or by the
// user running, which is how tests and a root-only setup look), writable by
// nobody else.
void CheckAdministered(const struct stat& Info, const std::string& What) {
  if (Info.st_uid != 0 && Info.st_uid != ::geteuid()) {
    Fail(dpeInsecureKeyStore, What + " belongs to user " + std::to_string(Info.st_uid) + ", not to the administrator");
  }
  if ((Info.st_mode & 022) != 0) {
    Fail(dpeInsecureKeyStore,
         What + " is writable by other users (mode " + OctalMode(Info.st_mode) + "; it must be 0644 or stricter)");
  }
}

std::string ParentFolder(const std::string& FileName) {
  const std::size_t slash = FileName.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : FileName.substr(0, slash);
}

// The machine key; false when its file does not exist. Refused when someone
// other than the administrator could have put it there.
bool ReadMachineKey(const std::string& FileName, SecureBytes& Key) {
  const TFileHandle file(::open(FileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) {
    if (errno == ENOENT) return false;
    if (errno == ELOOP) Fail(dpeInsecureKeyStore, "The machine key file " + FileName + " is a symbolic link");
    FailWithErrno(errno, "Cannot open the machine key file " + FileName);
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) FailWithErrno(errno, "Cannot examine the machine key file " + FileName);
  if (!S_ISREG(info.st_mode)) Fail(dpeInsecureKeyStore, "The machine key file " + FileName + " is not a regular file");
  CheckAdministered(info, "The machine key file " + FileName);
  const std::string folder = ParentFolder(FileName);
  struct stat folderInfo {};
  if (::stat(folder.c_str(), &folderInfo) != 0) FailWithErrno(errno, "Cannot examine the folder " + folder);
  CheckAdministered(folderInfo, "The machine key folder " + folder);
  if (info.st_size != static_cast<off_t>(kKeySize)) {
    Fail(dpeBadKeyFile, "The machine key file " + FileName + " does not hold a key");
  }
  Key.Get().assign(kKeySize, 0);
  if (ReadFully(file.Get(), Key.data(), kKeySize) != kKeySize) {
    Fail(dpeBadKeyFile, "The machine key file " + FileName + " does not hold a key");
  }
  return true;
}

// The machine scope a new blob gets: the machine key when this machine has
// one, otherwise the machine id.
std::uint8_t NewMachineScope() {
  struct stat info {};
  return ::lstat(MachineKeyFileName().c_str(), &info) == 0 || errno != ENOENT ? kScopeMachineKey : kScopeMachine;
}

void MachineKeyScopeKey(SecureBytes& Key) {
  const std::string fileName = MachineKeyFileName();
  SecureBytes machineKey;
  if (!ReadMachineKey(fileName, machineKey)) {
    Fail(ENOENT, "No machine key file " + fileName + ": the data was protected on a machine that has one");
  }
  KeyedLabel(machineKey.Get(), kMachineKeyScopeLabel, Key);
}

void ScopeKey(std::uint8_t Scope, bool Create, SecureBytes& Key) {
  if (Scope == kScopeMachineKey) {
    MachineKeyScopeKey(Key);
  } else if (Scope == kScopeMachine) {
    MachineScopeKey(Key);
  } else {
    UserScopeKey(Create, Key);
  }
}

// ---- Sealing and opening ----

ByteArray Encrypt(const SecureBytes& Key, const std::uint8_t* IV, const ByteArray& Data) {
  TMemoryStream cipher;
  TKLAESEncryptionStream encryption(Key.data(), IV, &cipher);
  encryption.WriteBuffer(Data.data(), static_cast<std::int32_t>(Data.size()));
  encryption.Finish();
  return cipher.ToBytes();
}

// Called only once the tag has been verified.
ByteArray Decrypt(const SecureBytes& Key, const std::uint8_t* IV, const std::uint8_t* Cipher, std::size_t Size) {
  TMemoryStream cipher(ByteArray(Cipher, Cipher + Size));
  TKLAESDecryptionStream decryption(Key.data(), IV, &cipher);
  ByteArray plain(Size);
  std::size_t done = 0;
  try {
    for (std::int32_t n; (n = decryption.Read(plain.data() + done, static_cast<std::int32_t>(Size - done))) > 0;) {
      done += static_cast<std::size_t>(n);
    }
  } catch (const EKLAESError&) {
    WipeBytes(plain);
    Fail(dpeMalformedBlob, "The protected data is malformed");
  }
  SecureZero(plain.data() + done, Size - done);
  plain.resize(done);
  return plain;
}

struct TBlobView {
  std::uint8_t Scope;
  const std::uint8_t* IV;
  const std::uint8_t* Cipher;
  std::size_t CipherSize;
  const std::uint8_t* Tag;
};

TBlobView ParseBlob(const ByteArray& Blob) {
  if (Blob.size() > kMaxBlobSize) Fail(dpeDataTooLarge, "The protected data is larger than any the library makes");
  if (Blob.size() < kMinBlobSize) Fail(dpeMalformedBlob, "Not a protected blob");
  if (std::memcmp(Blob.data(), kMagic, sizeof(kMagic)) != 0 || Blob[sizeof(kMagic)] != kVersion) {
    Fail(dpeMalformedBlob, "Not a protected blob");
  }
  const std::uint8_t scope = Blob[sizeof(kMagic) + 1];
  const std::size_t cipherSize = Blob.size() - kCipherOffset - kTagSize;
  if ((scope != kScopeUser && scope != kScopeMachine && scope != kScopeMachineKey) || cipherSize % AESBlockSize != 0) {
    Fail(dpeMalformedBlob, "Not a protected blob");
  }
  return {scope, Blob.data() + kIVOffset, Blob.data() + kCipherOffset, cipherSize,
          Blob.data() + Blob.size() - kTagSize};
}

} // namespace

ByteArray ProtectData(const ByteArray& Data, bool MachineScope) {
  if (Data.size() > MaxProtectedDataSize) Fail(dpeDataTooLarge, "The data is too large to protect");
  const std::uint8_t scope = MachineScope ? NewMachineScope() : kScopeUser;
  SecureBytes scopeKey;
  ScopeKey(scope, true, scopeKey);
  TBlobKeys keys;
  DeriveBlobKeys(scopeKey, keys);

  ByteArray blob(kMagic, kMagic + sizeof(kMagic));
  blob.push_back(kVersion);
  blob.push_back(scope);
  blob.resize(kCipherOffset);
  TKLFastRandomGenerator random;
  random.Generate(blob.data() + kIVOffset, static_cast<std::int32_t>(AESBlockSize));
  const ByteArray cipher = Encrypt(keys.Encryption, blob.data() + kIVOffset, Data);
  blob.insert(blob.end(), cipher.begin(), cipher.end());
  TMessageDigest256 tag = ComputeTag(keys.Authentication, blob.data(), blob.size());
  blob.insert(blob.end(), DigestBytes(tag), DigestBytes(tag) + kTagSize);
  return blob;
}

ByteArray UnprotectData(const ByteArray& Blob) {
  const TBlobView view = ParseBlob(Blob);
  SecureBytes scopeKey;
  ScopeKey(view.Scope, false, scopeKey);
  TBlobKeys keys;
  DeriveBlobKeys(scopeKey, keys);
  TMessageDigest256 tag = ComputeTag(keys.Authentication, Blob.data(), Blob.size() - kTagSize);
  const bool authentic = ConstantTimeEqual(DigestBytes(tag), view.Tag, kTagSize);
  SecureZeroObject(tag);
  if (!authentic) {
    Fail(dpeAuthenticationFailed,
         "The protected data fails its check: it was changed, or protected by another "
         "user or on another machine");
  }
  return Decrypt(keys.Encryption, view.IV, view.Cipher, view.CipherSize);
}

const std::size_t MaxProtectedBlobSize = kMaxBlobSize;
const std::int32_t DataTooLargeError = dpeDataTooLarge;

bool IsKeyStoreFailure(std::int32_t ErrorCode) noexcept {
  // errno values come from reading or making key material; of the layer's own
  // numbers, these four are about the keys rather than the data.
  return ErrorCode < dpeMalformedBlob || ErrorCode == dpeInsecureKeyStore || ErrorCode == dpeBadKeyFile ||
         ErrorCode == dpeNoKeyFolder || ErrorCode == dpeBadMachineId;
}

// The key is written to a temporary file in the same folder and linked to its
// name, which fails when the name exists: of two concurrent callers one makes
// the key, and an existing key is never replaced.
bool CreateMachineKey() {
  const std::string fileName = MachineKeyFileName();
  SecureBytes existing;
  if (ReadMachineKey(fileName, existing)) return false;
  const std::string folder = ParentFolder(fileName);
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) FailWithErrno(errno, "Cannot create " + folder);
  SecureBytes key(kKeySize);
  TKLFastRandomGenerator random;
  random.Generate(key.data(), static_cast<std::int32_t>(kKeySize));
  const std::string temporary = fileName + ".new" + std::to_string(::getpid());
  {
    const TFileHandle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.Get() < 0) FailWithErrno(errno, "Cannot create " + temporary);
    // The mode is set explicitly: the process's umask must not narrow it below
    // what the machine's users need to read.
    if (::fchmod(file.Get(), 0644) != 0 ||
        ::write(file.Get(), key.data(), kKeySize) != static_cast<ssize_t>(kKeySize) || ::fsync(file.Get()) != 0) {
      const int error = errno;
      ::unlink(temporary.c_str());
      FailWithErrno(error, "Cannot write " + temporary);
    }
  }
  const int linked = ::link(temporary.c_str(), fileName.c_str());
  const int error = errno;
  ::unlink(temporary.c_str());
  if (linked != 0) {
    if (error == EEXIST) return false;
    FailWithErrno(error, "Cannot create the machine key file " + fileName);
  }
  const TFileHandle folderHandle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderHandle.Get() >= 0) ::fsync(folderHandle.Get());
  return true;
}

} // namespace kl
