#pragma once

// KeePass's KDBX container: the outer header, the composite key and its KDFs,
// the authenticated block stream, the ciphers, gzip, the inner header and the
// XML document with its protected values. Internal to the library; the pass
// store reaches it through LoadFromStream (told by content) and its save
// format. Throws EKLPassStorageException with the messages below.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <string>
#include <type_traits>
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
// The parsed tree is bounded by the document's size: its nodes, their lists
// of children and their texts may cost 8 bytes for each byte of XML, beside
// the first 32 MiB. A node costs about 140 bytes: KeePass's files spend 25 to
// 50 bytes of XML on an element (with its line and indentation), and cost 3
// to 5 times their XML as a tree, but a document of "<a/>" after "<a/>" (four bytes
// each, compressing to almost nothing) is refused rather than cost thirty
// times its size.
inline constexpr std::uint64_t KdbxMaxTreePerXmlByte = 8;
inline constexpr std::uint64_t KdbxMaxTreeBase = 32u << 20;
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
// and is enciphered again when written.
struct TXmlNode {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Attributes;
  std::string Text;
  std::vector<TXmlNode> Children;
  bool Protected = false;
  // The children folded into one compact text (FoldChildren): an entry of a
  // large file costs a tenth of its tree so. Never changed once made, so that
  // copies of the node share it; wiped when the last one goes. Name and
  // Attributes stay as they are.
  std::shared_ptr<const std::string> Fold;
  bool IsFolded() const noexcept { return Fold != nullptr; }

  TXmlNode() = default;
  explicit TXmlNode(std::string AName, std::string AText = {}) : Name(std::move(AName)), Text(std::move(AText)) {}
  // Every text is wiped with its node, and when it moves out of one: the
  // carried document holds notes, history and fields the file left
  // unprotected, as secret as any protected value.
  TXmlNode(TXmlNode&& Other) noexcept;
  TXmlNode& operator=(TXmlNode&& Other) noexcept;
  TXmlNode(const TXmlNode&) = default;
  TXmlNode& operator=(const TXmlNode&) = default;
  ~TXmlNode();

  TXmlNode* Find(std::string_view Child) noexcept;
  const TXmlNode* Find(std::string_view Child) const noexcept;
  TXmlNode& Ensure(std::string_view Child);
  const std::string* Attribute(std::string_view Key) const noexcept;
  void SetAttribute(std::string_view Key, std::string_view Value);
  void RemoveAttribute(std::string_view Key);
};

// An attachment of the inner header: its bytes and whether the file asks to
// keep them protected in memory. The bytes are shared, never changed: every
// record that refers to the binary holds this one copy, and so does a save.
struct TKdbxBinary {
  bool Protected = false;
  std::shared_ptr<const SecureBytes> Data = std::make_shared<const SecureBytes>();
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
// A key derivation whose cost (KdbxKdfCost) exceeds CostLimit is refused
// with SKdbxKdfTooCostly before it starts.
// FoldEntries: the document's entries come folded (see ParseKdbxXml).
TKdbxDocument ReadKdbx(TStream& Strm, const TKdbxCompositeKey& Key, std::uint64_t CostLimit = KLKdbxDefaultCostLimit,
                       bool FoldEntries = false);
// The key derivations this process has started (loads and saves): lets a test
// show that a refusal came before any derivation.
std::uint64_t KdbxDerivationCount() noexcept;
std::uint64_t KdbxKdfCost(TKdbxKdf Kind, std::uint64_t Iterations, std::uint64_t MemoryBytes) noexcept;
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
// With FoldEntries, every Entry of a Group is folded (FoldChildren) as soon
// as it is read, so that a large document is never held as a whole tree.
using TKdbxStreamXor = void (*)(void* Context, std::uint8_t* Data, std::size_t Size);
TXmlNode ParseKdbxXml(const std::uint8_t* Data, std::size_t Size, TKdbxStreamXor Xor, void* Context,
                      bool FoldEntries = false);

// The same for a document that arrives in pieces (Feed), as it is inflated:
// it is never held whole. Finish returns the tree once the last piece is in.
// Fast: read with the fast scanner (KdbxXmlScan.h), which reads the common
// shape of these documents several times faster than expat. Where it gives up
// (a shape it does not read, or a document not well formed), Feed or Finish
// throws EKdbxXmlForExpat and nothing it read may be used: the caller reads the
// whole document again with a reader that is not Fast, and that one decides.
struct EKdbxXmlForExpat {};
struct TKdbxXmlParseState;
class TKdbxXmlReader {
public:
  TKdbxXmlReader(TKdbxStreamXor Xor, void* Context, bool FoldEntries, bool Fast = false);
  ~TKdbxXmlReader();
  TKdbxXmlReader(const TKdbxXmlReader&) = delete;
  TKdbxXmlReader& operator=(const TKdbxXmlReader&) = delete;
  void Feed(const std::uint8_t* Data, std::size_t Size);
  TXmlNode Finish();

private:
  void Parse(const std::uint8_t* Data, std::size_t Size, bool Last);
  std::unique_ptr<TKdbxXmlParseState> FState;
  std::uint64_t FSize = 0;
  bool FDone = false;
};
// How many documents expat has been given in this process: lets a test show
// that the fast scanner read a file whole.
std::uint64_t KdbxXmlExpatReadings() noexcept;

// Folds Node's children, whole subtrees, into one compact text (Fold; its
// name and attributes stay): a name KeePass uses takes one byte, every other
// name, attribute and text its length and bytes. The text is sized at once, so
// that no secret is left behind by growing. A leaf is left as it is.
void FoldChildren(TXmlNode& Node);
struct TXmlView;
// Writes a folded text as FoldChildren folds a tree, element by element,
// for an entry made without its tree: an element with children is followed
// by its Children count and then by them, a document's count of children
// comes first. FoldOf runs Emit twice: counting (Out null), then writing.
struct TFoldWriter {
  std::string* Out = nullptr; // sized to what counting found; null while counting
  std::size_t Size = 0;       // the bytes counted, or written

  using TAttributes = std::span<const std::pair<std::string_view, std::string_view>>;
  void Children(std::size_t Count);
  // Any element: its children (Children of them) follow.
  void Node(std::string_view Name, TAttributes Attributes, std::string_view Text, bool Protected,
            std::size_t Children);
  void Element(std::string_view Name, std::size_t Children) { Node(Name, {}, {}, false, Children); }
  void Leaf(std::string_view Name, std::string_view Text = {}, bool Protected = false, TAttributes Attributes = {}) {
    Node(Name, Attributes, Text, Protected, 0);
  }
  // An element read in place (see ViewOf) and all it holds, as it was.
  void View(const TXmlView& Node);
  // Writing, throws unless the text is full: every byte counted was written.
  void Finish() const;

private:
  // Where the next Bytes go (null while counting).
  char* Room(std::size_t Bytes);
};
// An empty folded text with room for Size bytes, wiped when the last node
// sharing it goes.
std::shared_ptr<std::string> NewFoldedText(std::size_t Size);
template <class F>
std::shared_ptr<const std::string> FoldOf(F&& Emit) {
  TFoldWriter count;
  Emit(count);
  std::shared_ptr<std::string> folded = NewFoldedText(count.Size);
  folded->resize(count.Size);
  TFoldWriter write{folded.get()};
  Emit(write);
  write.Finish();
  return folded;
}
// Node with its children unfolded (a copy of it when it is not folded).
TXmlNode Unfolded(const TXmlNode& Node);
void Unfold(TXmlNode& Node);
// The text of Node's child Name, folded or not; null where there is none.
// Scratch holds it for a folded node.
const std::string* ChildText(const TXmlNode& Node, std::string_view Name, std::string& Scratch);
// Whether two names (of elements, keys) are the same, compared in place: they
// are short, and a call of memcmp costs more than comparing them. From four
// bytes on they are compared a word at a time, the last word overlapping the
// one before it.
constexpr bool SameName(std::string_view A, std::string_view B) noexcept {
  const std::size_t n = A.size();
  if (n != B.size()) return false;
  if (!std::is_constant_evaluated() && n >= 4) {
    const auto same = [&]<class TWord>(TWord, std::size_t At) {
      TWord a, b;
      std::memcpy(&a, A.data() + At, sizeof a);
      std::memcpy(&b, B.data() + At, sizeof b);
      return a == b;
    };
    if (n < 8) return same(std::uint32_t{}, 0) && same(std::uint32_t{}, n - 4);
    for (std::size_t at = 0; at + 8 < n; at += 8) {
      if (!same(std::uint64_t{}, at)) return false;
    }
    return same(std::uint64_t{}, n - 8);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (A[i] != B[i]) return false;
  }
  return true;
}
// An element of an entry read in place, for making records: its name, texts
// and attributes point into the folded text (or the tree) it was read from,
// which outlives it. Made by ViewOf, one entry at a time.
struct TXmlView {
  std::string_view Name;
  std::string_view Text;
  std::span<const std::pair<std::string_view, std::string_view>> Attributes;
  std::span<const TXmlView> Children;
  bool Protected = false;

  const TXmlView* Find(std::string_view Child) const noexcept;
  const std::string_view* Attribute(std::string_view Key) const noexcept;
};
// The room the views of one entry take, kept from one entry to the next.
struct TXmlViews {
  std::vector<TXmlView> Nodes;
  std::vector<std::pair<std::string_view, std::string_view>> Attributes;
};
// Node and everything below it as views in Room (what Room held before is
// overwritten), its folded children read where they are: no copy is made.
const TXmlView& ViewOf(const TXmlNode& Node, TXmlViews& Room);
// The XML is handed to Sink in pieces of about a mebibyte as it is written,
// each wiped once Sink returns: a large document is never held whole.
using TKdbxXmlSink = void (*)(void* Context, const char* Data, std::size_t Size);
void WriteKdbxXml(const TXmlNode& Root, TKdbxStreamXor Xor, void* XorContext, TKdbxXmlSink Sink, void* SinkContext);

// Version 3.1 keeps attachments base64 in Meta/Binaries (perhaps gzipped) and
// times as ISO text; both are moved to their version 4 places, so that the
// document saves as version 4 as it is.
// Attachments inflated there draw on Budget, the bytes the whole file may
// still inflate to (see KdbxGunzip).
void UpgradeVersion3(TKdbxDocument& Doc, std::uint64_t& InflateBudget);

// One budget of inflated bytes for a whole file: its payload and every
// attachment gzipped within it together, so that many small compressed pieces
// cannot each take the bound.
inline constexpr std::uint64_t KdbxMaxInflated = KdbxMaxXmlSize + KdbxMaxPayloadSize / 4;
// Inflates a gzip stream, drawing its bytes from Budget (SKdbxTooLarge beyond
// it, SKdbxDamaged for a bad or cut stream). zlib's state, which holds the
// plain text, is wiped as it is freed.
SecureBytes KdbxGunzip(const std::uint8_t* Data, std::size_t Size, std::uint64_t& Budget);

// The same, handing the inflated bytes to Sink in pieces of a mebibyte at
// most, each wiped once Sink returns: the whole is never held.
void KdbxGunzipPieces(const std::uint8_t* Data, std::size_t Size, std::uint64_t& Budget, TKdbxXmlSink Sink,
                      void* Context);

// The allocator given to zlib and expat, whose buffers hold the document in
// clear: each block is wiped before it is freed or moved by a reallocation.
void* KdbxWipingAlloc(std::size_t Size) noexcept;
void* KdbxWipingRealloc(void* Block, std::size_t Size) noexcept;
void KdbxWipingFree(void* Block) noexcept;

std::string Base64Encode(const std::uint8_t* Data, std::size_t Size);
// False on a character outside the alphabet or a bad length.
bool Base64Decode(std::string_view Text, std::string& Out);

} // namespace detail
} // namespace kl
