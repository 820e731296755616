#pragma once

// KeePass's KDBX container: the outer header, the composite key and its KDFs,
// the authenticated block stream, the ciphers, gzip, the inner header and the
// XML document with its protected values. Internal to the library; the pass
// store reaches it through LoadFromStream (told by content) and its save
// format. Throws EKLPassStorageException with the messages below.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/SecureMemory.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"
#include "passstorage/KLPassStorage.h"
#include "random/KLRandom.h"

namespace kl {

namespace detail {

inline constexpr std::uint32_t KdbxSignature1 = 0x9AA2D903;
inline constexpr std::uint32_t KdbxSignature2 = 0xB54BFB67;
inline constexpr std::uint32_t KdbxVersion31 = 0x00030001;
inline constexpr std::uint32_t KdbxVersion40 = 0x00040000;
inline constexpr std::uint32_t KdbxVersion41 = 0x00040001;

// Bounds checked before anything they size is allocated or computed.
inline constexpr std::uint32_t KdbxMaxHeaderSize = 1024 * 1024;
inline constexpr std::uint32_t KdbxMaxBlockSize = 64 * 1024 * 1024;
inline constexpr std::uint64_t KdbxMaxPayloadSize = std::uint64_t{1} << 30;
inline constexpr std::uint64_t KdbxMaxXmlSize = std::uint64_t{1} << 30;
inline constexpr std::uint32_t KdbxMaxXmlDepth = 256;
inline constexpr std::uint64_t KdbxMaxArgon2MemoryBytes = std::uint64_t{4} << 30;
inline constexpr std::uint64_t KdbxMaxArgon2Iterations = 1u << 20;
inline constexpr std::uint32_t KdbxMaxArgon2Lanes = 64;
// Threads one derivation starts at most, whatever its lanes.
inline constexpr std::uint32_t KdbxMaxArgon2Threads = 8;
inline constexpr std::uint64_t KdbxMaxAesRounds = std::uint64_t{1} << 32;
inline constexpr std::uint64_t KdbxMaxKeyFileSize = 16 * 1024 * 1024;

enum class TKdbxCipher : std::uint8_t { Aes256, ChaCha20 };
enum class TKdbxKdf : std::uint8_t { AesKdf, Argon2d, Argon2id };

// How a file is enciphered and its key derived. Argon2 memory is in bytes, as
// the file stores it.
struct TKdbxSettings {
  std::uint32_t Version = KdbxVersion40;
  TKdbxCipher Cipher = TKdbxCipher::Aes256;
  bool Compressed = true;
  TKdbxKdf Kdf = TKdbxKdf::Argon2id;
  std::uint64_t Iterations = 10;              // Argon2 passes, or AES-KDF rounds
  std::uint64_t MemoryBytes = 64 * 1024 * 1024; // Argon2 only
  std::uint32_t Parallelism = 2;              // Argon2 lanes
  std::uint32_t Argon2Version = 0x13;
};

// One element of the document. KDBX has no mixed content: text is kept only
// for elements without children. A protected value holds its plain text here
// (wiped with the node) and is enciphered again when written.
struct TXmlNode {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Attributes;
  std::string Text;
  std::vector<TXmlNode> Children;
  bool Protected = false;

  TXmlNode() = default;
  explicit TXmlNode(std::string AName, std::string AText = {}) : Name(std::move(AName)), Text(std::move(AText)) {}
  TXmlNode(TXmlNode&&) noexcept = default;
  TXmlNode& operator=(TXmlNode&&) noexcept = default;
  TXmlNode(const TXmlNode&) = default;
  TXmlNode& operator=(const TXmlNode&) = default;
  ~TXmlNode() {
    if (Protected) SecureZero(Text.data(), Text.size());
  }

  TXmlNode* Find(std::string_view Child) noexcept;
  const TXmlNode* Find(std::string_view Child) const noexcept;
  TXmlNode& Ensure(std::string_view Child);
  const std::string* Attribute(std::string_view Key) const noexcept;
  void SetAttribute(std::string_view Key, std::string_view Value);
  void RemoveAttribute(std::string_view Key);
};

// An attachment of the inner header: its bytes and whether the file asks to
// keep them protected in memory.
struct TKdbxBinary {
  bool Protected = false;
  SecureBytes Data;
};

// Everything a KDBX file holds once opened.
struct TKdbxDocument {
  TKdbxSettings Settings;
  std::uint32_t LoadedVersion = 0;
  std::vector<TKdbxBinary> Binaries;
  TXmlNode Root{"KeePassFile"};
  // The public custom data of the outer header, carried as its raw bytes.
  ByteArray PublicCustomData;
};

// The composite key's parts: SHA-256 of the password's UTF-8 (when used) and
// of the key file (its key, or the hash of the whole file).
class TKdbxCompositeKey {
public:
  void AddPassword(const String& Password);
  void AddKeyFile(const ByteArray& Contents);
  bool IsEmpty() const noexcept { return FParts.empty(); }
  // SHA-256 over the parts in the order KeePass uses: password, key file.
  SecureBytes Hash() const;

private:
  SecureBytes FPassword;
  SecureBytes FKeyFile;
  std::vector<int> FParts;
};

// The 32-byte key of a key file in any of KeePass's forms: XML version 1.0
// (base64) or 2.0 (hex with a check hash), 32 raw bytes, 64 hex digits, or
// else SHA-256 of the file.
SecureBytes KdbxKeyFileKey(const ByteArray& Contents);

bool IsKdbxSignature(const std::uint8_t* Head, std::size_t Size) noexcept;

// The settings and version an outer header holds, from the first bytes of a
// file (at least the header and, for version 4, its hash).
TKdbxSettings ReadKdbxHeader(const ByteArray& Head, std::uint32_t& Version);

// Reads a whole KDBX 3.1 or 4.x file. Every block is authenticated before it
// is used; a wrong key and a changed byte both raise SKdbxWrongKey or
// SKdbxDamaged, never a partial document.
TKdbxDocument ReadKdbx(TStream& Strm, const TKdbxCompositeKey& Key);
// Writes Doc as KDBX 4 with Doc.Settings, with a fresh master seed, IV, KDF
// salt and inner stream key from Random.
void WriteKdbx(TStream& Strm, const TKdbxDocument& Doc, const TKdbxCompositeKey& Key, TKLBaseRandomGenerator& Random);

// Writes Payload (an inner header and the XML, as a version 4 file holds them
// before gzip) in a correctly keyed and authenticated file: for tests and the
// fuzzer, which must reach what follows the key's checks.
void WriteKdbxPayload(TStream& Strm, const TKdbxSettings& Settings, const TKdbxCompositeKey& Key,
                      TKLBaseRandomGenerator& Random, const std::uint8_t* Payload, std::size_t Size);

// The XML layer: parse with DTDs and entities refused and depth bounded.
// Protected values are deciphered in document order through Unprotect.
using TKdbxStreamXor = void (*)(void* Context, std::uint8_t* Data, std::size_t Size);
TXmlNode ParseKdbxXml(const std::uint8_t* Data, std::size_t Size, TKdbxStreamXor Xor, void* Context);
// The XML is handed to Sink in pieces of about a mebibyte as it is written,
// each wiped once Sink returns: a large document is never held whole.
using TKdbxXmlSink = void (*)(void* Context, const char* Data, std::size_t Size);
void WriteKdbxXml(const TXmlNode& Root, TKdbxStreamXor Xor, void* XorContext, TKdbxXmlSink Sink, void* SinkContext);

// Version 3.1 keeps attachments base64 in Meta/Binaries (perhaps gzipped) and
// times as ISO text; both are moved to their version 4 places, so that the
// document saves as version 4 as it is.
void UpgradeVersion3(TKdbxDocument& Doc);

std::string Base64Encode(const std::uint8_t* Data, std::size_t Size);
// False on a character outside the alphabet or a bad length.
bool Base64Decode(std::string_view Text, std::string& Out);

} // namespace detail
} // namespace kl
