// The XML document of a KDBX file: read (by KdbxXmlScan.h, or by expat where it gives up) into a tree that keeps
// every element, attribute and text the vault does not model, so that it can
// be written back unchanged.
#include <expat.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTimes.h"
#include "passstorage/KdbxXmlScan.h"

namespace kl::detail {

TXmlNode* TXmlNode::Find(std::string_view Child) noexcept {
  for (TXmlNode& c : Children) {
    if (c.Name == Child) return &c;
  }
  return nullptr;
}

const TXmlNode* TXmlNode::Find(std::string_view Child) const noexcept {
  for (const TXmlNode& c : Children) {
    if (c.Name == Child) return &c;
  }
  return nullptr;
}

TXmlNode& TXmlNode::Ensure(std::string_view Child) {
  if (TXmlNode* found = Find(Child)) return *found;
  return Children.emplace_back(std::string(Child));
}

const std::string* TXmlNode::Attribute(std::string_view Key) const noexcept {
  for (const auto& a : Attributes) {
    if (a.first == Key) return &a.second;
  }
  return nullptr;
}

void TXmlNode::SetAttribute(std::string_view Key, std::string_view Value) {
  for (auto& a : Attributes) {
    if (a.first == Key) {
      a.second = Value;
      return;
    }
  }
  Attributes.emplace_back(std::string(Key), std::string(Value));
}

void TXmlNode::RemoveAttribute(std::string_view Key) {
  std::erase_if(Attributes, [&](const auto& a) { return a.first == Key; });
}

// ---- base64 --------------------------------------------------------------------------

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What each byte is in base64: its sextet, or one of these.
enum : std::int8_t { kbOther = -1, kbBlank = -2, kbPad = -3 };
constexpr auto kSextets = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(kbOther);
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  for (const char c : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(c)] = kbBlank;
  table['='] = kbPad;
  return table;
}();

// Whitespace is skipped, as KeePass writes wrapped base64 in key files. Put
// takes each byte decoded and may refuse it (false: so does the decoding).
template <class TPut>
bool DecodeBase64(std::string_view Text, TPut&& Put) {
  std::uint32_t acc = 0;
  int bits = 0;
  std::size_t pads = 0;
  std::size_t count = 0;
  for (const char c : Text) {
    const int v = kSextets[static_cast<unsigned char>(c)];
    if (v == kbBlank) continue;
    if (v == kbPad) {
      ++pads;
      ++count;
      continue;
    }
    if (v < 0 || pads != 0) return false;
    ++count;
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      if (!Put(static_cast<std::uint8_t>(acc >> bits & 0xFF))) return false;
    }
  }
  return count % 4 == 0 && pads <= 2;
}
} // namespace

std::string Base64Encode(const std::uint8_t* Data, std::size_t Size) {
  std::string out;
  out.reserve((Size + 2) / 3 * 4);
  for (std::size_t i = 0; i < Size; i += 3) {
    const std::uint32_t n = std::uint32_t{Data[i]} << 16 | (i + 1 < Size ? std::uint32_t{Data[i + 1]} << 8 : 0) |
                            (i + 2 < Size ? Data[i + 2] : 0);
    out.push_back(kAlphabet[n >> 18 & 63]);
    out.push_back(kAlphabet[n >> 12 & 63]);
    out.push_back(i + 1 < Size ? kAlphabet[n >> 6 & 63] : '=');
    out.push_back(i + 2 < Size ? kAlphabet[n & 63] : '=');
  }
  return out;
}

// Out is sized once: what it decodes may be a secret, which growing would
// leave behind in the blocks it frees.
bool Base64Decode(std::string_view Text, std::string& Out) {
  Out.clear();
  Out.reserve(Text.size() / 4 * 3 + 3);
  return DecodeBase64(Text, [&](std::uint8_t B) {
    Out.push_back(static_cast<char>(B));
    return true;
  });
}

bool Base64DecodeTo(std::string_view Text, std::uint8_t* Out, std::size_t Capacity, std::size_t& Size) noexcept {
  // Whole groups of four of the alphabet, padded at the end at most (as KDBX
  // writers write UUIDs and times), go four characters at a time.
  const std::size_t n = Text.size();
  const auto at = [&](std::size_t I) { return kSextets[static_cast<unsigned char>(Text[I])]; };
  const std::size_t pads = n == 0 || n % 4 != 0 ? 3 : at(n - 1) != kbPad ? 0 : at(n - 2) != kbPad ? 1 : 2;
  bool plain = pads < 3;
  for (std::size_t i = 0; plain && i < n - pads; ++i) plain = at(i) >= 0;
  if (plain) {
    if (n / 4 * 3 - pads > Capacity) return false;
    Size = 0;
    for (std::size_t i = 0; i < n; i += 4) {
      const bool last = i + 4 == n;
      const std::uint32_t v = std::uint32_t(at(i)) << 18 | std::uint32_t(at(i + 1)) << 12 |
                              (last && pads == 2 ? 0 : std::uint32_t(at(i + 2)) << 6) |
                              (last && pads != 0 ? 0 : std::uint32_t(at(i + 3)));
      Out[Size++] = static_cast<std::uint8_t>(v >> 16);
      if (!last || pads < 2) Out[Size++] = static_cast<std::uint8_t>(v >> 8);
      if (!last || pads < 1) Out[Size++] = static_cast<std::uint8_t>(v);
    }
    return true;
  }
  Size = 0;
  return DecodeBase64(Text, [&](std::uint8_t B) {
    if (Size == Capacity) return false;
    Out[Size++] = B;
    return true;
  });
}

// ---- parsing ----------------------------------------------------------------------------

void WipeText(std::string& Text) noexcept {
  Text.resize(Text.capacity()); // within the capacity: never allocates
  SecureZero(Text.data(), Text.size());
  Text.clear();
}

// Room for Need more bytes: a full text moves into one of twice its room and
// the old one is wiped.
void ReserveWiping(std::string& Out, std::size_t Need) {
  if (Out.capacity() - Out.size() >= Need) return;
  std::string bigger;
  bigger.reserve(std::max(2 * Out.capacity(), Out.size() + Need));
  bigger.append(Out);
  WipeText(Out);
  Out.swap(bigger);
}

void AppendWiping(std::string& Out, std::string_view Text) {
  ReserveWiping(Out, Text.size());
  Out.append(Text);
}

TXmlNode::TXmlNode(TXmlNode&& Other) noexcept
    : Name(std::move(Other.Name)),
      Attributes(std::move(Other.Attributes)),
      Text(std::move(Other.Text)),
      Children(std::move(Other.Children)),
      Protected(Other.Protected),
      Fold(std::move(Other.Fold)) {
  WipeText(Other.Text); // a short text moves by copy and stays in the source's own buffer
}

TXmlNode& TXmlNode::operator=(TXmlNode&& Other) noexcept {
  if (this == &Other) return *this;
  WipeText(Text);
  Name = std::move(Other.Name);
  Attributes = std::move(Other.Attributes);
  Text = std::move(Other.Text);
  Children = std::move(Other.Children);
  Protected = Other.Protected;
  Fold = std::move(Other.Fold);
  WipeText(Other.Text);
  return *this;
}

TXmlNode::~TXmlNode() { WipeText(Text); }

// ---- folded children ----------------------------------------------------------------------

namespace {

// The names of KeePass's entries, each folded as one byte (its index + 1);
// 0 is followed by the name's length and bytes.
constexpr std::string_view kFoldedNames[] = {"Entry",
                                             "UUID",
                                             "IconID",
                                             "ForegroundColor",
                                             "BackgroundColor",
                                             "OverrideURL",
                                             "Tags",
                                             "Times",
                                             "CreationTime",
                                             "LastModificationTime",
                                             "LastAccessTime",
                                             "ExpiryTime",
                                             "Expires",
                                             "UsageCount",
                                             "LocationChanged",
                                             "String",
                                             "Key",
                                             "Value",
                                             "Binary",
                                             "AutoType",
                                             "Enabled",
                                             "DataTransferObfuscation",
                                             "DefaultSequence",
                                             "Association",
                                             "Window",
                                             "KeystrokeSequence",
                                             "History",
                                             "CustomData",
                                             "Item",
                                             "CustomIconUUID",
                                             "QualityCheck",
                                             "PreviousParentGroup",
                                             "Protected",
                                             "ProtectInMemory",
                                             "Ref"};

// The names by a hash of their length and first and last letters, open
// addressed: a name is compared with the one name in its slot, seldom two.
constexpr std::size_t kNameSlots = 128;

constexpr std::size_t NameSlot(std::string_view Name) noexcept {
  return (Name.size() * 37 + static_cast<unsigned char>(Name.front()) * 5 + static_cast<unsigned char>(Name.back())) %
         kNameSlots;
}

constexpr auto kNameCodes = [] {
  std::array<std::uint8_t, kNameSlots> slots{};
  for (std::size_t i = 0; i < std::size(kFoldedNames); ++i) {
    std::size_t at = NameSlot(kFoldedNames[i]);
    while (slots[at] != 0) at = (at + 1) % kNameSlots;
    slots[at] = static_cast<std::uint8_t>(i + 1);
  }
  return slots;
}();

std::uint8_t FoldedNameCode(std::string_view Name) noexcept {
  if (Name.empty()) return 0;
  for (std::size_t at = NameSlot(Name);; at = (at + 1) % kNameSlots) {
    const std::uint8_t code = kNameCodes[at];
    if (code == 0 || SameName(kFoldedNames[code - 1], Name)) return code;
  }
}

// The folded text and the XML are written through a cursor into room made
// beforehand, so that no piece is appended by a call that measures it again.
char* Put(char* To, std::string_view Text) noexcept {
  std::memcpy(To, Text.data(), Text.size());
  return To + Text.size();
}

// A number of the folded text: seven bits a byte, the last byte's top bit clear.
std::size_t NumberSize(std::size_t N) noexcept {
  std::size_t size = 1;
  for (; N >= 0x80; N >>= 7) ++size;
  return size;
}

char* PutNumber(char* To, std::size_t N) noexcept {
  for (; N >= 0x80; N >>= 7) *To++ = static_cast<char>(N | 0x80);
  *To++ = static_cast<char>(N);
  return To;
}

// A text: its length, then its bytes.
char* PutText(char* To, std::string_view Text) noexcept { return Put(PutNumber(To, Text.size()), Text); }

// A name as TFolder writes it: its code, or none and its text.
std::size_t NameSize(std::uint8_t Code, std::string_view Name) noexcept {
  return Code != 0 ? 1 : 1 + NumberSize(Name.size()) + Name.size();
}

char* PutName(char* To, std::uint8_t Code, std::string_view Name) noexcept {
  *To++ = static_cast<char>(Code);
  if (Code != 0) return To;
  return PutText(To, Name);
}

enum : std::uint8_t { kfProtected = 1, kfAttributes = 2, kfText = 4, kfChildren = 8 };

// Counts the bytes first (Out null), then writes them into room made once.
struct TFolder {
  std::string* Out = nullptr;
  std::size_t Size = 0;

  void Byte(std::uint8_t B) {
    ++Size;
    if (Out != nullptr) Out->push_back(static_cast<char>(B));
  }
  void Number(std::size_t N) {
    Size += NumberSize(N);
    if (Out == nullptr) return;
    char bytes[10];
    Out->append(bytes, PutNumber(bytes, N));
  }
  void Text(std::string_view T) {
    Number(T.size());
    Size += T.size();
    if (Out != nullptr) Out->append(T);
  }
  void Name(std::string_view N) {
    const std::uint8_t code = FoldedNameCode(N);
    Byte(code);
    if (code == 0) Text(N);
  }
  void Children(const std::vector<TXmlNode>& Nodes) {
    Number(Nodes.size());
    for (const TXmlNode& child : Nodes) Node(child);
  }
  void Node(const TXmlNode& N) {
    if (N.IsFolded()) {
      // Already folded within: unfolded for the while, as a whole.
      Node(Unfolded(N));
      return;
    }
    Name(N.Name);
    const std::uint8_t flags = (N.Protected ? kfProtected : 0) | (N.Attributes.empty() ? 0 : kfAttributes) |
                               (N.Text.empty() ? 0 : kfText) | (N.Children.empty() ? 0 : kfChildren);
    Byte(flags);
    if (!N.Attributes.empty()) {
      Number(N.Attributes.size());
      for (const auto& [key, value] : N.Attributes) {
        Name(key);
        Text(value);
      }
    }
    if (!N.Text.empty()) Text(N.Text);
    if (!N.Children.empty()) Children(N.Children);
  }
};

// Reads what TFolder wrote; a folded text is the library's own, so running
// past its end is a fault of the library, reported as a damaged document.
struct TUnfolder {
  const char* At;
  const char* End;

  std::uint8_t Byte() {
    if (At == End) throw EKLPassStorageException(SKdbxDamaged);
    return static_cast<std::uint8_t>(*At++);
  }
  std::size_t Number() {
    std::size_t n = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const std::uint8_t b = Byte();
      n |= static_cast<std::size_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return n;
    }
    throw EKLPassStorageException(SKdbxDamaged);
  }
  std::string_view Text() {
    const std::size_t n = Number();
    if (n > static_cast<std::size_t>(End - At)) throw EKLPassStorageException(SKdbxDamaged);
    const std::string_view text(At, n);
    At += n;
    return text;
  }
  std::string_view Name() {
    const std::uint8_t code = Byte();
    if (code == 0) return Text();
    if (code > std::size(kFoldedNames)) throw EKLPassStorageException(SKdbxDamaged);
    return kFoldedNames[code - 1];
  }
  // Out null: the node is skipped.
  void Node(TXmlNode* Out) {
    const std::string_view name = Name();
    const std::uint8_t flags = Byte();
    if (Out != nullptr) {
      Out->Name = name;
      Out->Protected = (flags & kfProtected) != 0;
    }
    if ((flags & kfAttributes) != 0) {
      const std::size_t n = Number();
      for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = Name();
        const std::string_view value = Text();
        if (Out != nullptr) Out->Attributes.emplace_back(key, value);
      }
    }
    if ((flags & kfText) != 0) {
      const std::string_view text = Text();
      if (Out != nullptr) Out->Text.assign(text);
    }
    if ((flags & kfChildren) != 0) Children(Out);
  }
  void Children(TXmlNode* Out) {
    const std::size_t n = Number();
    // Each child takes two bytes at least: a count beyond that is damage,
    // not a reason to reserve.
    if (n > static_cast<std::size_t>(End - At) / 2) throw EKLPassStorageException(SKdbxDamaged);
    if (Out != nullptr) Out->Children.resize(n);
    for (std::size_t i = 0; i < n; ++i) Node(Out != nullptr ? &Out->Children[i] : nullptr);
  }
};

} // namespace

std::shared_ptr<std::string> NewFoldedText(std::size_t Size) {
  auto folded = std::shared_ptr<std::string>(new std::string, [](std::string* Text) {
    WipeText(*Text);
    delete Text;
  });
  folded->reserve(Size);
  return folded;
}


// Writing, the bytes go into the room FoldOf sized the text to by counting:
// a node that would not fit (an Emit that wrote other than it counted) is a
// fault of the library, refused before a byte of it is written.
char* TFoldWriter::Room(std::size_t Bytes) {
  const std::size_t at = Size;
  Size += Bytes;
  if (Out == nullptr) return nullptr;
  if (Size > Out->size()) throw EKLPassStorageException(SKdbxDamaged);
  return Out->data() + at;
}

void TFoldWriter::Finish() const {
  if (Size != Out->size()) throw EKLPassStorageException(SKdbxDamaged);
}

void TFoldWriter::Children(std::size_t Count) {
  if (char* to = Room(NumberSize(Count))) PutNumber(to, Count);
}

void TFoldWriter::Node(std::string_view Name, TAttributes Attributes, std::string_view Text, bool Protected,
                       std::size_t Count) {
  const std::uint8_t code = FoldedNameCode(Name);
  std::size_t bytes = NameSize(code, Name) + 1;
  if (!Attributes.empty()) {
    bytes += NumberSize(Attributes.size());
    for (const auto& [key, value] : Attributes) {
      bytes += NameSize(FoldedNameCode(key), key) + NumberSize(value.size()) + value.size();
    }
  }
  if (!Text.empty()) bytes += NumberSize(Text.size()) + Text.size();
  if (Count != 0) bytes += NumberSize(Count);
  char* to = Room(bytes);
  if (to == nullptr) return;
  to = PutName(to, code, Name);
  *to++ = static_cast<char>((Protected ? kfProtected : 0) | (Attributes.empty() ? 0 : kfAttributes) |
                            (Text.empty() ? 0 : kfText) | (Count == 0 ? 0 : kfChildren));
  if (!Attributes.empty()) {
    to = PutNumber(to, Attributes.size());
    for (const auto& [key, value] : Attributes) {
      to = PutName(to, FoldedNameCode(key), key);
      to = PutText(to, value);
    }
  }
  if (!Text.empty()) to = PutText(to, Text);
  if (Count != 0) PutNumber(to, Count);
}

void TFoldWriter::View(const TXmlView& N) {
  Node(N.Name, N.Attributes, N.Text, N.Protected, N.Children.size());
  for (const TXmlView& child : N.Children) View(child);
}

void FoldChildren(TXmlNode& Node) {
  if (Node.IsFolded() || Node.Children.empty()) return;
  TFolder count;
  count.Children(Node.Children);
  std::shared_ptr<std::string> folded = NewFoldedText(count.Size);
  TFolder write{folded.get()};
  write.Children(Node.Children);
  WipeText(Node.Text);
  Node.Children.clear();
  Node.Children.shrink_to_fit();
  Node.Fold = std::move(folded);
}

TXmlNode Unfolded(const TXmlNode& Node) {
  if (!Node.IsFolded()) return Node;
  TXmlNode out;
  out.Name = Node.Name;
  out.Attributes = Node.Attributes;
  out.Protected = Node.Protected;
  TUnfolder in{Node.Fold->data(), Node.Fold->data() + Node.Fold->size()};
  in.Children(&out);
  if (in.At != in.End) throw EKLPassStorageException(SKdbxDamaged);
  return out;
}

void Unfold(TXmlNode& Node) {
  if (Node.IsFolded()) Node = Unfolded(Node);
}

const std::string* ChildText(const TXmlNode& Node, std::string_view Name, std::string& Scratch) {
  if (!Node.IsFolded()) {
    const TXmlNode* child = Node.Find(Name);
    return child != nullptr ? &child->Text : nullptr;
  }
  TUnfolder in{Node.Fold->data(), Node.Fold->data() + Node.Fold->size()};
  const std::size_t n = in.Number();
  for (std::size_t i = 0; i < n; ++i) {
    const char* start = in.At;
    const bool wanted = in.Name() == Name;
    in.At = start;
    if (!wanted) {
      in.Node(nullptr);
      continue;
    }
    TXmlNode child;
    in.Node(&child);
    Scratch.swap(child.Text);
    return &Scratch;
  }
  return nullptr;
}

const TXmlView* TXmlView::Find(std::string_view Child) const noexcept {
  for (const TXmlView& c : Children) {
    if (SameName(c.Name, Child)) return &c;
  }
  return nullptr;
}

const std::string_view* TXmlView::Attribute(std::string_view Key) const noexcept {
  for (const auto& a : Attributes) {
    if (a.first == Key) return &a.second;
  }
  return nullptr;
}

namespace {

// Fills the room the views of the entries before left; where it runs out it
// goes on counting only, so that the room can be made once for the whole and
// never moves while the views point into it.
struct TViewer {
  TXmlViews& Room;
  std::size_t Nodes = 0;
  std::size_t Attributes = 0;
  bool Counting = false;

  // Whether N more nodes and A more attributes still fit; once one does not,
  // nothing more is written.
  bool Fits(std::size_t N, std::size_t A) {
    if (!Counting && (Room.Nodes.size() - Nodes < N || Room.Attributes.size() - Attributes < A)) Counting = true;
    return !Counting;
  }

  void FoldedChildren(TUnfolder& In, TXmlView* Parent) {
    const std::size_t n = In.Number();
    if (n > static_cast<std::size_t>(In.End - In.At) / 2) throw EKLPassStorageException(SKdbxDamaged);
    TXmlView* first = Fits(n, 0) ? Room.Nodes.data() + Nodes : nullptr;
    Nodes += n;
    if (!Counting) Parent->Children = {first, n};
    for (std::size_t i = 0; i < n; ++i) FoldedNode(In, Counting ? nullptr : first + i);
  }
  void FoldedNode(TUnfolder& In, TXmlView* Out) {
    const std::string_view name = In.Name();
    const std::uint8_t flags = In.Byte();
    if (!Counting) {
      *Out = TXmlView{};
      Out->Name = name;
      Out->Protected = (flags & kfProtected) != 0;
    }
    if ((flags & kfAttributes) != 0) {
      const std::size_t n = In.Number();
      if (n > static_cast<std::size_t>(In.End - In.At) / 2) throw EKLPassStorageException(SKdbxDamaged);
      auto* first = Fits(0, n) ? Room.Attributes.data() + Attributes : nullptr;
      for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = In.Name();
        const std::string_view value = In.Text();
        if (!Counting) first[i] = {key, value};
      }
      Attributes += n;
      if (!Counting) Out->Attributes = {first, n};
    }
    if ((flags & kfText) != 0) {
      const std::string_view text = In.Text();
      if (!Counting) Out->Text = text;
    }
    if ((flags & kfChildren) != 0) FoldedChildren(In, Out);
  }
  void Node(const TXmlNode& N, TXmlView* Out) {
    if (Fits(0, N.Attributes.size())) {
      *Out = TXmlView{};
      Out->Name = N.Name;
      Out->Text = N.Text;
      Out->Protected = N.Protected;
      auto* first = Room.Attributes.data() + Attributes;
      for (std::size_t i = 0; i < N.Attributes.size(); ++i) first[i] = {N.Attributes[i].first, N.Attributes[i].second};
      Out->Attributes = {first, N.Attributes.size()};
    }
    Attributes += N.Attributes.size();
    if (N.IsFolded()) {
      TUnfolder in{N.Fold->data(), N.Fold->data() + N.Fold->size()};
      FoldedChildren(in, Out);
      if (in.At != in.End) throw EKLPassStorageException(SKdbxDamaged);
      return;
    }
    TXmlView* first = Fits(N.Children.size(), 0) ? Room.Nodes.data() + Nodes : nullptr;
    Nodes += N.Children.size();
    if (!Counting) Out->Children = {first, N.Children.size()};
    for (std::size_t i = 0; i < N.Children.size(); ++i) Node(N.Children[i], Counting ? nullptr : first + i);
  }
};

} // namespace

const TXmlView& ViewOf(const TXmlNode& Node, TXmlViews& Room) {
  if (Room.Nodes.empty()) Room.Nodes.resize(1);
  TViewer fill{Room};
  fill.Nodes = 1;
  fill.Node(Node, Room.Nodes.data());
  if (!fill.Counting) return Room.Nodes[0];
  // More than the room holds: made for the whole, and read again.
  if (Room.Nodes.size() < fill.Nodes) Room.Nodes.resize(fill.Nodes);
  if (Room.Attributes.size() < fill.Attributes) Room.Attributes.resize(fill.Attributes);
  TViewer again{Room};
  again.Nodes = 1;
  again.Node(Node, Room.Nodes.data());
  return Room.Nodes[0];
}

namespace {

// The parser's memory goes through the wiping allocator: its buffers hold
// pieces of the document, passwords of unprotected fields and notes included.
const XML_Memory_Handling_Suite kWipingMemory = {KdbxWipingAlloc, KdbxWipingRealloc, KdbxWipingFree};

} // namespace

// An element open within the entry being folded as it is read. Its bytes go
// straight into the folded text; what it would have cost as a node of the tree
// is counted all the same, so that the tree's bound refuses what it refused
// when every entry was a tree first.
struct TFoldFrame {
  std::size_t FlagsAt = 0; // where its flags byte is
  std::size_t CountAt = 0; // where its count of children is, once it has one
  std::size_t Count = 0;   // its children so far
  std::uint64_t Cost = 0;  // its node, attributes and text
  std::uint64_t CostBelow = 0;
  std::uint8_t Flags = 0;
  bool Protected = false; // marked Protected="True"
  bool Group = false;
  bool Entry = false; // an Entry of a Group: folded of its own in a tree
};

struct TKdbxXmlParseState final : TXmlScanSink {
  XML_Parser Parser = nullptr;              // when expat reads the document
  std::unique_ptr<TKdbxXmlScanner> Scanner; // when the fast scanner does
  std::vector<TXmlScanAttribute> ExpatAttributes;
  TXmlNode Root;
  std::vector<TXmlNode*> Path;
  TKdbxStreamXor Xor = nullptr;
  void* Context = nullptr;
  const char* Error = nullptr;
  // What the tree costs so far (its nodes, the room of their child lists
  // and their texts), and its bound.
  std::uint64_t TreeBytes = 0;
  std::uint64_t MaxTreeBytes = 0;
  bool FoldEntries = false;
  // The entry being folded, null when none: the elements open within it
  // (Frames[0] the entry itself), the text folded so far, and the text of
  // the innermost element. Both texts hold secrets: they grow by moving
  // into a fresh buffer and wiping the old one, and are wiped once used.
  TXmlNode* FoldingEntry = nullptr;
  std::vector<TFoldFrame> Frames;
  std::string Folding;
  std::string Pending;

  TKdbxXmlParseState() = default;
  TKdbxXmlParseState(const TKdbxXmlParseState&) = delete;
  TKdbxXmlParseState& operator=(const TKdbxXmlParseState&) = delete;
  ~TKdbxXmlParseState() {
    WipeText(Folding);
    WipeText(Pending);
  }

  void Stop(const char* Message) {
    if (Error == nullptr) Error = Message;
    TXmlScanSink::Stop();
    if (Parser != nullptr) XML_StopParser(Parser, XML_FALSE);
  }

  void Start(std::string_view Name, std::span<const TXmlScanAttribute> Attributes) override;
  void End() override;
  void Text(std::string_view Text) override;
};

namespace {

// The room a child list that grew by doubling has for Count children.
std::size_t GrownCapacity(std::size_t Count) noexcept { return Count == 0 ? 0 : std::bit_ceil(Count); }

// Wipes what a text holds and empties it; what lies beyond its size was
// wiped before.
void ClearWiped(std::string& Text) noexcept {
  SecureZero(Text.data(), Text.size());
  Text.clear();
}

bool IsTrue(std::string_view Text) noexcept { return Text == "True" || Text == "true"; }

// A childless element's text, once its end is read: a protected value is
// deciphered in place.
void EndLeaf(TKdbxXmlParseState& s, TXmlNode& Node) {
  const std::string* prot = Node.Attribute("Protected");
  if (prot != nullptr && IsTrue(*prot) && s.Xor != nullptr) {
    std::string plain;
    if (!Base64Decode(Node.Text, plain)) {
      SecureZero(plain.data(), plain.size());
      return s.Stop(SKdbxDamaged);
    }
    s.Xor(s.Context, reinterpret_cast<std::uint8_t*>(plain.data()), plain.size());
    Node.Text.swap(plain);
    Node.Protected = true;
    SecureZero(plain.data(), plain.size());
  }
}

// Writes Count, as the folded text writes a number, at At (where one byte was
// kept for it).
void PutCount(std::string& Folding, std::size_t At, std::size_t Count) {
  if (const std::size_t extra = NumberSize(Count) - 1; extra != 0) {
    ReserveWiping(Folding, extra);
    Folding.insert(At + 1, extra, '\0'); // within the room: moves in place
  }
  PutNumber(Folding.data() + At, Count);
}

void StartFolded(TKdbxXmlParseState& s, std::string_view name, std::span<const TXmlScanAttribute> Attrs) {
  if (s.Path.size() + s.Frames.size() - 1 >= KdbxMaxXmlDepth) return s.Stop(SKdbxTooLarge);
  std::uint64_t cost = sizeof(TXmlNode);
  std::size_t room = name.size() + 32;
  for (const TXmlScanAttribute& a : Attrs) {
    cost += 2 * sizeof(std::string) + a.Name.size() + a.Value.size();
    room += a.Name.size() + a.Value.size() + 24;
  }
  TFoldFrame& parent = s.Frames.back();
  std::uint64_t moving = 0;
  if (const std::size_t capacity = GrownCapacity(parent.Count); parent.Count == capacity) {
    moving = capacity * sizeof(TXmlNode);
    s.TreeBytes += std::max<std::size_t>(capacity, 1) * sizeof(TXmlNode);
  }
  s.TreeBytes += cost;
  const bool beyond = s.TreeBytes + moving > s.MaxTreeBytes;
  if (beyond) return s.Stop(SKdbxTooLarge);
  ReserveWiping(s.Folding, room);
  TFolder out{&s.Folding};
  if (parent.Count == 0) {
    ClearWiped(s.Pending); // the layout before a first child
    parent.CountAt = s.Folding.size();
    out.Byte(0);
  }
  ++parent.Count;
  TFoldFrame frame;
  frame.Cost = cost;
  frame.Group = name == "Group";
  frame.Entry = parent.Group && name == "Entry";
  out.Name(name);
  frame.FlagsAt = s.Folding.size();
  out.Byte(0);
  if (!Attrs.empty()) {
    frame.Flags = kfAttributes;
    out.Number(Attrs.size());
    for (const auto& [key, value] : Attrs) {
      out.Name(key);
      out.Text(value);
      if (key == "Protected" && !frame.Protected) frame.Protected = IsTrue(value);
    }
  }
  s.Frames.push_back(frame); // never moves: room for the deepest was made
}

// The end of the folding entry: its children folded, or a leaf as any other.
void EndFoldingEntry(TKdbxXmlParseState& s, TXmlNode& Node, const TFoldFrame& Frame) {
  s.FoldingEntry = nullptr;
  if (Frame.Count == 0) {
    AppendWiping(Node.Text, s.Pending);
    ClearWiped(s.Pending);
    return EndLeaf(s, Node);
  }
  PutCount(s.Folding, Frame.CountAt, Frame.Count);
  s.TreeBytes -= (GrownCapacity(Frame.Count) - Frame.Count) * sizeof(TXmlNode) + Frame.CostBelow;
  auto folded = std::shared_ptr<std::string>(new std::string, [](std::string* Text) {
    WipeText(*Text);
    delete Text;
  });
  folded->reserve(s.Folding.size());
  folded->append(s.Folding);
  ClearWiped(s.Folding);
  // The folded text, its string and the count that shares it.
  s.TreeBytes += folded->size() + sizeof(std::string) + 4 * sizeof(void*);
  Node.Fold = std::move(folded);
}

void EndFolded(TKdbxXmlParseState& s) {
  TFoldFrame frame = s.Frames.back();
  s.Frames.pop_back();
  TFolder out{&s.Folding};
  if (frame.Count != 0) {
    frame.Flags |= kfChildren;
    PutCount(s.Folding, frame.CountAt, frame.Count);
    s.TreeBytes -= (GrownCapacity(frame.Count) - frame.Count) * sizeof(TXmlNode);
    if (frame.Entry) {
      // Counted as a tree counts an entry it folds.
      s.TreeBytes -= frame.CostBelow;
      s.TreeBytes += (s.Folding.size() - frame.CountAt) + sizeof(std::string) + 4 * sizeof(void*);
      frame.CostBelow = 0;
    }
  } else {
    std::string plain;
    const std::string* text = &s.Pending;
    if (frame.Protected && s.Xor != nullptr) {
      if (!Base64Decode(s.Pending, plain)) {
        SecureZero(plain.data(), plain.size());
        return s.Stop(SKdbxDamaged);
      }
      s.Xor(s.Context, reinterpret_cast<std::uint8_t*>(plain.data()), plain.size());
      frame.Flags |= kfProtected;
      text = &plain;
    }
    if (!text->empty()) {
      frame.Flags |= kfText;
      ReserveWiping(s.Folding, text->size() + 10);
      out.Text(*text);
    }
    frame.Cost += text->size();
    SecureZero(plain.data(), plain.size());
    ClearWiped(s.Pending);
  }
  s.Folding[frame.FlagsAt] = static_cast<char>(frame.Flags);
  s.Frames.back().CostBelow += frame.Cost + frame.CostBelow;
}

} // namespace

void TKdbxXmlParseState::Start(std::string_view Name, std::span<const TXmlScanAttribute> Attrs) {
  auto& s = *this;
  if (s.Error != nullptr) return; // an element of one tag may still end
  if (s.FoldingEntry != nullptr) return StartFolded(s, Name, Attrs);
  if (s.Path.size() >= KdbxMaxXmlDepth) return s.Stop(SKdbxTooLarge);
  std::uint64_t cost = sizeof(TXmlNode);
  for (const TXmlScanAttribute& a : Attrs) cost += 2 * sizeof(std::string) + a.Name.size() + a.Value.size();
  // A full list moves into one of twice its room: both count while it moves,
  // the new room after.
  std::uint64_t moving = 0;
  if (!s.Path.empty()) {
    const std::vector<TXmlNode>& siblings = s.Path.back()->Children;
    if (siblings.size() == siblings.capacity()) {
      moving = siblings.capacity() * sizeof(TXmlNode);
      cost += std::max<std::size_t>(siblings.capacity(), 1) * sizeof(TXmlNode);
    }
  }
  s.TreeBytes += cost;
  if (s.TreeBytes + moving > s.MaxTreeBytes) return s.Stop(SKdbxTooLarge);
  TXmlNode* node;
  if (s.Path.empty()) {
    if (!s.Root.Name.empty()) return s.Stop(SKdbxDamaged);
    node = &s.Root;
  } else {
    node = &s.Path.back()->Children.emplace_back();
  }
  node->Name = Name;
  for (const auto& [key, value] : Attrs) node->Attributes.emplace_back(key, value);
  // An entry of a group is folded as it is read: its tree is never made.
  if (s.FoldEntries && s.Path.size() > 0 && node->Name == "Entry" && s.Path.back()->Name == "Group") {
    s.FoldingEntry = node;
    s.Frames.emplace_back();
  }
  s.Path.push_back(node);
}

// Only leaves keep their text: KDBX has no mixed content, and the whitespace
// between elements is layout.
void TKdbxXmlParseState::End() {
  auto& s = *this;
  if (s.Error != nullptr) return;
  if (s.Frames.size() > 1) return EndFolded(s);
  TXmlNode& node = *s.Path.back();
  s.Path.pop_back();
  if (s.FoldingEntry == &node) {
    const TFoldFrame frame = s.Frames.back();
    s.Frames.pop_back();
    return EndFoldingEntry(s, node, frame);
  }
  if (!node.Children.empty()) {
    WipeText(node.Text);
    // The room that growing by doubling left over is given back: the tree
    // then costs what its elements do.
    s.TreeBytes -= (node.Children.capacity() - node.Children.size()) * sizeof(TXmlNode);
    node.Children.shrink_to_fit();
    return;
  }
  EndLeaf(s, node);
}

// A text may come in several pieces: it grows into a fresh buffer and the old
// one is wiped, so that no piece of a value is left behind.
void TKdbxXmlParseState::Text(std::string_view Piece) {
  auto& s = *this;
  if (s.Path.empty() || s.Error != nullptr) return;
  std::string* text = &s.Path.back()->Text;
  if (s.FoldingEntry != nullptr) {
    if (s.Frames.back().Count != 0) return;
    text = &s.Pending;
  } else if (!s.Path.back()->Children.empty()) {
    return;
  }
  s.TreeBytes += Piece.size();
  if (s.TreeBytes > s.MaxTreeBytes) return s.Stop(SKdbxTooLarge);
  AppendWiping(*text, Piece);
}

namespace {

void XMLCALL OnStart(void* Data, const XML_Char* Name, const XML_Char** Attrs) {
  auto& s = *static_cast<TKdbxXmlParseState*>(Data);
  s.ExpatAttributes.clear();
  for (int i = 0; Attrs[i] != nullptr; i += 2) s.ExpatAttributes.push_back({Attrs[i], Attrs[i + 1]});
  s.Start(Name, s.ExpatAttributes);
}

void XMLCALL OnEnd(void* Data, const XML_Char*) { static_cast<TKdbxXmlParseState*>(Data)->End(); }

void XMLCALL OnText(void* Data, const XML_Char* Text, int Len) {
  static_cast<TKdbxXmlParseState*>(Data)->Text(std::string_view(Text, static_cast<std::size_t>(Len)));
}

// A document type may declare entities whose expansion is unbounded; KDBX
// files never carry one.
void XMLCALL OnDoctype(void* Data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  static_cast<TKdbxXmlParseState*>(Data)->Stop(SKdbxDamaged); // any document type
}

void XMLCALL OnEntity(void* Data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                      const XML_Char*, const XML_Char*) {
  static_cast<TKdbxXmlParseState*>(Data)->Stop(SKdbxDamaged);
}

// The documents given to expat: every one the fast scanner left, and those
// read by expat from the start.
std::atomic<std::uint64_t> gExpatReadings{0};

} // namespace

std::uint64_t KdbxXmlExpatReadings() noexcept { return gExpatReadings.load(std::memory_order_relaxed); }

TKdbxXmlReader::TKdbxXmlReader(TKdbxStreamXor Xor, void* Context, bool FoldEntries, bool Fast)
    : FState(std::make_unique<TKdbxXmlParseState>()) {
  TKdbxXmlParseState& s = *FState;
  s.FoldEntries = FoldEntries;
  if (FoldEntries) s.Frames.reserve(KdbxMaxXmlDepth + 1);
  s.Xor = Xor;
  s.Context = Context;
  s.MaxTreeBytes = KdbxMaxTreeBase;
  if (Fast) {
    s.Scanner = std::make_unique<TKdbxXmlScanner>(s);
    return;
  }
  gExpatReadings.fetch_add(1, std::memory_order_relaxed);
  s.Parser = XML_ParserCreate_MM("UTF-8", &kWipingMemory, nullptr);
  if (s.Parser == nullptr) throw std::bad_alloc();
  XML_SetUserData(s.Parser, &s);
  XML_SetElementHandler(s.Parser, OnStart, OnEnd);
  XML_SetCharacterDataHandler(s.Parser, OnText);
  XML_SetStartDoctypeDeclHandler(s.Parser, OnDoctype);
  XML_SetEntityDeclHandler(s.Parser, OnEntity);
  XML_SetParamEntityParsing(s.Parser, XML_PARAM_ENTITY_PARSING_NEVER);
}

TKdbxXmlReader::~TKdbxXmlReader() {
  if (FState->Parser != nullptr) XML_ParserFree(FState->Parser);
}

void TKdbxXmlReader::Parse(const std::uint8_t* Data, std::size_t Size, bool Last) {
  TKdbxXmlParseState& s = *FState;
  if (FDone) throw EKLPassStorageException(SKdbxDamaged); // fed after its end
  if (Size > KdbxMaxXmlSize - FSize) throw EKLPassStorageException(SKdbxTooLarge);
  FSize += Size;
  // The tree may cost a bounded amount for each byte read so far.
  s.MaxTreeBytes = KdbxMaxTreePerXmlByte * FSize + KdbxMaxTreeBase;
  if (s.Scanner) {
    const bool read = Last ? s.Scanner->Finish() : s.Scanner->Feed(reinterpret_cast<const char*>(Data), Size);
    if (s.Error != nullptr) throw EKLPassStorageException(s.Error);
    if (!read) throw EKdbxXmlForExpat();
    return;
  }
  // Fed in pieces: expat takes an int length.
  std::size_t pos = 0;
  do {
    const std::size_t piece = std::min<std::size_t>(Size - pos, 1 << 24);
    const bool last = Last && pos + piece == Size;
    const XML_Status status =
        XML_Parse(s.Parser, reinterpret_cast<const char*>(Data + pos), static_cast<int>(piece), last);
    pos += piece;
    if (s.Error != nullptr) throw EKLPassStorageException(s.Error);
    if (status != XML_STATUS_OK) throw EKLPassStorageException(SKdbxDamaged);
  } while (pos < Size);
}

void TKdbxXmlReader::Feed(const std::uint8_t* Data, std::size_t Size) { Parse(Data, Size, false); }

TXmlNode TKdbxXmlReader::Finish() {
  Parse(nullptr, 0, true);
  FDone = true;
  if (FState->Parser != nullptr) XML_ParserFree(FState->Parser);
  FState->Parser = nullptr;
  FState->Scanner.reset();
  if (FState->Root.Name.empty() || !FState->Path.empty()) throw EKLPassStorageException(SKdbxDamaged);
  return std::move(FState->Root);
}

TXmlNode ParseKdbxXml(const std::uint8_t* Data, std::size_t Size, TKdbxStreamXor Xor, void* Context,
                      bool FoldEntries) {
  if (Size > KdbxMaxXmlSize) throw EKLPassStorageException(SKdbxTooLarge);
  if (Xor == nullptr) { // read again from the start if the fast scanner gives up
    try {
      TKdbxXmlReader reader(Xor, Context, FoldEntries, true);
      reader.Feed(Data, Size);
      return reader.Finish();
    } catch (const EKdbxXmlForExpat&) {
    }
  }
  TKdbxXmlReader reader(Xor, Context, FoldEntries);
  reader.Feed(Data, Size);
  return reader.Finish();
}

// ---- writing ----------------------------------------------------------------------------

namespace {

// Characters XML 1.0 cannot carry (controls other than tab, LF and CR) are
// left out; CR is written as a reference so that a parser's line-end
// normalisation keeps it. At most six bytes a character are written.
char* Escape(char* To, std::string_view Text, bool Attribute) noexcept {
  // Runs of ordinary characters are copied whole: most text has nothing
  // to escape.
  std::size_t run = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    const bool plain = static_cast<unsigned char>(c) >= 0x20 && c != '&' && c != '<' && c != '>' &&
                       (c != '"' || !Attribute);
    if (plain) continue;
    To = Put(To, Text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '&': To = Put(To, "&amp;"); break;
      case '<': To = Put(To, "&lt;"); break;
      case '>': To = Put(To, "&gt;"); break;
      case '"': To = Put(To, "&quot;"); break;
      case '\r': To = Put(To, "&#13;"); break;
      case '\n': To = Put(To, Attribute ? "&#10;" : "\n"); break;
      case '\t': To = Put(To, Attribute ? "&#9;" : "\t"); break;
      default: break; // other controls are left out
    }
  }
  return Put(To, Text.substr(run));
}

// Base64 of Size bytes (at most six bytes a byte, for Size above zero).
char* PutBase64(char* To, const std::uint8_t* Data, std::size_t Size) noexcept {
  for (std::size_t i = 0; i < Size; i += 3) {
    const std::uint32_t n = std::uint32_t{Data[i]} << 16 | (i + 1 < Size ? std::uint32_t{Data[i + 1]} << 8 : 0) |
                            (i + 2 < Size ? Data[i + 2] : 0);
    *To++ = kAlphabet[n >> 18 & 63];
    *To++ = kAlphabet[n >> 12 & 63];
    *To++ = i + 1 < Size ? kAlphabet[n >> 6 & 63] : '=';
    *To++ = i + 2 < Size ? kAlphabet[n & 63] : '=';
  }
  return To;
}

char* PutTabs(char* To, int Depth) noexcept {
  std::memset(To, '\t', static_cast<std::size_t>(Depth));
  return To + Depth;
}

// Writes nodes of the tree and, for a folded entry, views of its folded text
// (ViewOf): a folded entry is written where it lies, never unfolded.
struct TXmlWriter {
  static constexpr std::size_t kPiece = 1 << 20;
  std::string Out;
  TKdbxStreamXor Xor;
  void* XorContext;
  TKdbxXmlSink Sink;
  void* SinkContext;
  // The views of the folded entry being written, kept from one to the next.
  TXmlViews Room;
  // A protected value masked for the while; wiped once written.
  std::string Masked;

  TXmlWriter(TKdbxStreamXor AXor, void* AXorContext, TKdbxXmlSink ASink, void* ASinkContext)
      : Xor(AXor), XorContext(AXorContext), Sink(ASink), SinkContext(ASinkContext) {
    Out.reserve(kPiece + kPiece / 4);
  }
  TXmlWriter(const TXmlWriter&) = delete;
  TXmlWriter& operator=(const TXmlWriter&) = delete;
  ~TXmlWriter() {
    SecureZero(Out.data(), Out.size());
    WipeText(Masked);
  }

  void Flush() {
    Sink(SinkContext, Out.data(), Out.size());
    SecureZero(Out.data(), Out.size());
    Out.clear();
  }

  // The room for what one element writes before its children, at the most
  // (every character escaped, as "&quot;"; a protected value's base64 takes
  // less), and its end tag.
  template <class TNode>
  static std::size_t RoomFor(const TNode& Node, int Depth) noexcept {
    std::size_t need = 2 * static_cast<std::size_t>(Depth) + 2 * Node.Name.size() + 16 + 6 * Node.Text.size();
    for (const auto& [key, value] : Node.Attributes) need += key.size() + 6 * value.size() + 4;
    return need;
  }
  // Need bytes more at the end of Out to write into, then Close with where
  // the writing ended. The room is made within the capacity first: the text
  // is never moved by a reallocation, which would leave a copy behind unwiped.
  char* Open(std::size_t Need) {
    ReserveWiping(Out, Need);
    const std::size_t at = Out.size();
    Out.resize(at + Need);
    return Out.data() + at;
  }
  void Close(const char* End) noexcept { Out.resize(static_cast<std::size_t>(End - Out.data())); }

  void Write(const TXmlNode& Node, int Depth) {
    if (Node.IsFolded()) return Element(ViewOf(Node, Room), Depth);
    Element(Node, Depth);
  }
  void Write(const TXmlView& Node, int Depth) { Element(Node, Depth); }

  template <class TNode>
  void Element(const TNode& Node, int Depth) {
    // Nothing is written that the reader would refuse (the store checks
    // each entry first, to name it).
    if (Depth >= static_cast<int>(KdbxMaxXmlDepth)) throw EKLPassStorageException(SKdbxTooDeep);
    char* to = PutTabs(Open(RoomFor(Node, Depth)), Depth);
    *to++ = '<';
    to = Put(to, Node.Name);
    for (const auto& [key, value] : Node.Attributes) {
      *to++ = ' ';
      to = Put(to, key);
      to = Put(to, "=\"");
      to = Escape(to, value, true);
      *to++ = '"';
    }
    if (Node.Children.empty()) {
      if (Node.Protected) {
        // Sized once for the longest value so far: growing would leave a
        // plain copy behind.
        if (Masked.capacity() < Node.Text.size()) {
          WipeText(Masked);
          Masked.reserve(Node.Text.size());
        }
        Masked.assign(Node.Text);
        Xor(XorContext, reinterpret_cast<std::uint8_t*>(Masked.data()), Masked.size());
        *to++ = '>';
        to = PutBase64(to, reinterpret_cast<const std::uint8_t*>(Masked.data()), Masked.size());
        SecureZero(Masked.data(), Masked.size());
      } else if (Node.Text.empty()) {
        Close(Put(to, "/>\n"));
        return;
      } else {
        *to++ = '>';
        to = Escape(to, Node.Text, false);
      }
    } else {
      Close(Put(to, ">\n"));
      for (const auto& child : Node.Children) Write(child, Depth + 1);
      to = PutTabs(Open(static_cast<std::size_t>(Depth) + Node.Name.size() + 8), Depth);
    }
    to = Put(to, "</");
    to = Put(to, Node.Name);
    Close(Put(to, ">\n"));
    if (Out.size() >= kPiece) Flush();
  }
};

} // namespace

void WriteKdbxXml(const TXmlNode& Root, TKdbxStreamXor Xor, void* XorContext, TKdbxXmlSink Sink, void* SinkContext) {
  TXmlWriter writer(Xor, XorContext, Sink, SinkContext);
  writer.Out += "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n";
  writer.Write(Root, 0);
  writer.Flush();
}

// ---- version 3.1 documents ---------------------------------------------------------------

namespace {

// A folded node is unfolded for the while and folded again.
template <class F>
void Refolding(TXmlNode& Node, F&& Fn) {
  if (!Node.IsFolded()) return Fn(Node);
  Unfold(Node);
  Fn(Node);
  FoldChildren(Node);
}

void ConvertTimes(TXmlNode& Node) {
  if (Node.IsFolded()) return Refolding(Node, ConvertTimes);
  for (TXmlNode& child : Node.Children) ConvertTimes(child);
  if (!Node.Children.empty() || Node.Protected) return;
  const std::string_view name = Node.Name;
  const bool timeLike = name.ends_with("Time") || name.ends_with("Changed");
  std::int64_t seconds = 0;
  if (timeLike && ParseIsoTime(Node.Text, seconds)) Node.Text = KdbxTimeText(seconds);
}

void ReplaceRefs(TXmlNode& Node, const std::map<std::string, std::size_t>& Index) {
  if (Node.IsFolded()) return Refolding(Node, [&](TXmlNode& N) { ReplaceRefs(N, Index); });
  for (TXmlNode& child : Node.Children) ReplaceRefs(child, Index);
  if (Node.Name != "Value") return;
  const std::string* ref = Node.Attribute("Ref");
  if (ref == nullptr) return;
  const auto found = Index.find(*ref);
  if (found == Index.end()) throw EKLPassStorageException(SKdbxDamaged);
  Node.SetAttribute("Ref", std::to_string(found->second));
}

} // namespace

void UpgradeVersion3(TKdbxDocument& Doc, std::uint64_t& InflateBudget) {
  ConvertTimes(Doc.Root);
  TXmlNode* meta = Doc.Root.Find("Meta");
  if (meta == nullptr) return;
  std::erase_if(meta->Children, [](const TXmlNode& n) { return n.Name == "HeaderHash"; });
  TXmlNode* binaries = meta->Find("Binaries");
  if (binaries == nullptr) return;
  std::map<std::string, std::size_t> index;
  for (TXmlNode& bin : binaries->Children) {
    const std::string* id = bin.Attribute("ID");
    if (id == nullptr || index.count(*id) != 0) throw EKLPassStorageException(SKdbxDamaged);
    std::string bytes;
    if (!Base64Decode(bin.Text, bytes)) throw EKLPassStorageException(SKdbxDamaged);
    const std::string* compressed = bin.Attribute("Compressed");
    TKdbxBinary& out = Doc.Binaries.emplace_back();
    // An empty attachment is written with no text at all, even when marked
    // compressed: there is no gzip stream to inflate.
    if (compressed != nullptr && *compressed == "True" && !bytes.empty()) {
      out.Data = std::make_shared<const SecureBytes>(
          KdbxGunzip(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), InflateBudget));
    } else {
      out.Data = std::make_shared<const SecureBytes>(ByteArray(bytes.begin(), bytes.end()));
    }
    SecureZero(bytes.data(), bytes.size());
    index[*id] = Doc.Binaries.size() - 1;
  }
  std::erase_if(meta->Children, [](const TXmlNode& n) { return n.Name == "Binaries"; });
  if (TXmlNode* root = Doc.Root.Find("Root")) ReplaceRefs(*root, index);
}

} // namespace kl::detail
