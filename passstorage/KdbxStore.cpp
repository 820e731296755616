// KDBX entries and groups as the store's records, and back. The document of
// a loaded file is kept whole, each entry folded (see FoldChildren); a save
// puts each record's entry back into it, so that everything the records do
// not model is written as it was read.
#include <algorithm>
#include <array>
#include <functional>
#include <charconv>
#include <chrono>
#include <ctime>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "foundation/Clock.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTimes.h"
#include "passstorage/PassRecordRules.h"

namespace kl {

namespace detail {

struct TKdbxState {
  TKdbxDocument Doc;
};

namespace {

constexpr std::string_view kStandardKeys[] = {"Title", "UserName", "Password", "URL", "Notes"};
// A UUID of sixteen zero bytes: no group, as Meta/RecycleBinUUID says while a
// database has no recycle bin yet.
constexpr std::string_view kNoUuid = "AAAAAAAAAAAAAAAAAAAAAA==";
// The icon KeePassXC gives the recycle bin group it makes.
constexpr std::string_view kRecycleBinIcon = "43";

String Utf8ToText(std::string_view Text) {
  return UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size());
}

std::string TextToUtf8(const String& Text) { return StrToUTF8(Text); }

std::string UuidText(const TKLPassUuid& Uuid) { return Base64Encode(Uuid.data(), Uuid.size()); }

template <class TNode> bool ParseUuid(const TNode* Node, TKLPassUuid& Uuid) {
  std::uint8_t raw[KLPassUuidSize];
  std::size_t size = 0;
  if (Node == nullptr || !Base64DecodeTo(Node->Text, raw, sizeof(raw), size) || size != KLPassUuidSize) return false;
  std::memcpy(Uuid.data(), raw, KLPassUuidSize);
  return true;
}

// A time of the document in the vault's clock; 0 when absent or unreadable.
template <class TNode>
std::int64_t WallTime(const TNode* Times, std::string_view Name, TLocalOffsets& Offsets) {
  const TNode* node = Times != nullptr ? Times->Find(Name) : nullptr;
  std::int64_t unix = 0;
  if (node == nullptr || !ParseKdbxTime(node->Text, unix)) return 0;
  return Offsets.UtcToWall(unix);
}

// The conversions between the vault's clock and UTC a save has made, kept
// by the instant converted: a store's records share few instants, and each
// conversion asks the C library for local and UTC time, once or twice.
class TClockMemo {
public:
  std::int64_t Wall(std::int64_t Unix) { return Get(FWall, Unix, UtcToWall); }
  std::int64_t Utc(std::int64_t Wall) { return Get(FUtc, Wall, WallToUtc); }

private:
  struct TSlot {
    std::int64_t From = 0;
    std::int64_t To = 0;
    bool Used = false;
  };
  static constexpr std::size_t kSlots = 64;
  using TSlots = std::array<TSlot, kSlots>;

  static std::int64_t Get(TSlots& Slots, std::int64_t From, std::int64_t (*Convert)(std::int64_t) noexcept) {
    TSlot& slot = Slots[static_cast<std::uint64_t>(From) * 0x9E3779B97F4A7C15u >> 58];
    if (!slot.Used || slot.From != From) slot = TSlot{From, Convert(From), true};
    return slot.To;
  }

  TSlots FWall;
  TSlots FUtc;
};
static_assert(std::uint64_t{1} << (64 - 58) == 64);

// Writes a time only when it changed, so that an unchanged record keeps the
// very text it was read with.
void PutTime(TXmlNode& Times, std::string_view Name, std::int64_t Wall, TClockMemo& Clock) {
  TXmlNode& node = Times.Ensure(Name);
  std::int64_t unix = 0;
  if (ParseKdbxTime(node.Text, unix) && Clock.Wall(unix) == Wall) return;
  node.Text = KdbxTimeText(Clock.Utc(Wall));
}

// What a KDBX file carries of a record's text, in UTF-8. Characters XML 1.0
// cannot carry are treated as KeePassXC treats them, so that both write the
// same file and neither writes one that no reader opens: a text stored as it
// is leaves out controls other than tab, LF and CR, DEL, U+FFFE and U+FFFF; a
// protected value (base64 of its bytes) keeps them. An unpaired surrogate has
// no UTF-8 form at all: false, and the save is refused.
bool KdbxUtf8(std::u16string_view Text, bool Protected, std::string& Out) {
  Out.clear();
  // Room for the longest form at once: a secret's bytes are never moved by
  // growing, which would leave a copy behind.
  Out.reserve(3 * Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    char32_t c = Text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == Text.size() || Text[i + 1] < 0xDC00 || Text[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (Text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (!Protected && ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F || c == 0xFFFE || c == 0xFFFF)) {
      continue;
    }
    if (c < 0x80) {
      Out += static_cast<char>(c);
    } else if (c < 0x800) {
      Out += static_cast<char>(0xC0 | c >> 6);
      Out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      Out += static_cast<char>(0xE0 | c >> 12);
      Out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      Out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | c >> 18);
      Out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      Out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      Out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

std::vector<String> SplitTags(std::string_view Text) {
  std::vector<String> tags;
  std::string current;
  auto flush = [&] {
    const auto first = current.find_first_not_of(' ');
    const auto last = current.find_last_not_of(' ');
    if (first != std::string::npos) {
      String tag = Utf8ToText(current.substr(first, last - first + 1));
      if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(std::move(tag));
    }
    current.clear();
  };
  for (const char c : Text) {
    if (c == ';' || c == ',') {
      flush();
    } else {
      current += c;
    }
  }
  flush();
  return tags;
}

bool JoinTags(const std::vector<String>& Tags, std::string& Joined) {
  std::string out;
  std::string one;
  for (const String& tag : Tags) {
    if (!KdbxUtf8(tag, false, one)) return false;
    if (!out.empty()) out += ';';
    out += one;
  }
  Joined = std::move(out);
  return true;
}

// Elements nested in Node, itself included.
std::size_t NestedDepth(const TXmlNode& Node) {
  std::size_t deepest = 0;
  for (const TXmlNode& child : Node.Children) deepest = std::max(deepest, NestedDepth(child));
  return deepest + 1;
}

} // namespace

// Makes the store's records from a document: one for every entry, in document
// order, its group the path of group names below the root joined by "/" (an
// entry of the root has the empty group). The recycle bin's own entries are
// records of the bin's path; the groups deleted into the bin, entries and
// all, are carried as they are.
struct TKdbxReader {
  // The record's fields in the order of kStandardKeys.
  static constexpr TKLPassRecord::TField kStandardFields[] = {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername,
                                                             &TKLPassRecord::FPassword, &TKLPassRecord::FURL,
                                                             &TKLPassRecord::FNote};
  const TKdbxDocument& Doc;
  std::string RecycleBin;
  std::vector<std::unique_ptr<TKLPassRecord>> Made;
  // The recycle bin's path, once met.
  std::optional<String> RecycleBinPath;
  // The groups as the store lists them, each path once (KeePass lets two
  // sibling groups share a name; their records share the path).
  std::vector<TKLPassGroup> Groups;
  std::unordered_set<String> Listed;
  TXmlViews Views = {}; // the entry being read, as views
  TLocalOffsets Offsets = {};

  void ListGroup(const TXmlNode& Node, const String& Path, bool Root) {
    // A group without a name (KeePass allows one) gives its path an empty
    // name, which the store lists no group by; its entries keep the path.
    if (!IsValidGroupPath(Path) || !Listed.insert(Path).second) return;
    TKLPassGroup& group = Groups.emplace_back();
    group.Path = Path;
    if (!ParseUuid(Node.Find("UUID"), group.Uuid)) group.Uuid = TKLPassUuid{};
    const TXmlNode* name = Node.Find("Name");
    if (Root && name != nullptr) group.Name = Utf8ToText(name->Text);
    if (const TXmlNode* notes = Node.Find("Notes")) group.Notes = Utf8ToText(notes->Text);
    const TXmlNode* times = Node.Find("Times");
    group.CreationDate = WallTime(times, "CreationTime", Offsets);
    group.ModificationDate = WallTime(times, "LastModificationTime", Offsets);
    group.LastAccessDate = WallTime(times, "LastAccessTime", Offsets);
    group.LocationChangeDate = WallTime(times, "LocationChanged", Offsets);
    group.ExpiryDate = WallTime(times, "ExpiryTime", Offsets);
    const TXmlNode* expires = times != nullptr ? times->Find("Expires") : nullptr;
    group.Expires = expires != nullptr && (expires->Text == "True" || expires->Text == "true");
  }

  void GroupNode(const TXmlNode& Node, const String& Path, bool Root) {
    const TXmlNode* uuid = Node.Find("UUID");
    const bool bin = !Root && uuid != nullptr && !RecycleBin.empty() && uuid->Text == RecycleBin;
    if (bin && !RecycleBinPath) RecycleBinPath = Path;
    ListGroup(Node, Path, Root);
    for (const TXmlNode& child : Node.Children) {
      if (child.Name != "Entry") continue;
      EntryNode(ViewOf(child, Views), Path); // read where it lies, one entry at a time
    }
    if (bin) return;
    for (const TXmlNode& child : Node.Children) {
      if (child.Name != "Group") continue;
      const TXmlNode* name = child.Find("Name");
      const String childName = name != nullptr ? Utf8ToText(name->Text) : String();
      GroupNode(child, GroupPathChild(Path, childName), false);
    }
  }

  // The entry being read and its group, named when it is refused.
  const TXmlView* Entry = nullptr;
  const String* EntryPath = nullptr;

  // An entry beyond the record's bounds: the load is refused naming it, its
  // title as the file gives it, and what is beyond them.
  [[noreturn]] void Refuse(const std::string& Why) const {
    std::string title;
    for (const TXmlView& child : Entry->Children) {
      const TXmlView* key = child.Name == "String" ? child.Find("Key") : nullptr;
      const TXmlView* value = child.Find("Value");
      if (key != nullptr && key->Text == "Title" && value != nullptr) title = value->Text;
    }
    std::string message = std::string(SKdbxEntryTooLarge) + ": entry '" + title + "'";
    if (!EntryPath->empty()) message += " in group '" + TextToUtf8(*EntryPath) + "'";
    throw EKLPassStorageException(message + ": " + Why);
  }

  // An entry and the versions in its History, oldest first, as the record's.
  void EntryNode(const TXmlView& Node, const String& Path) {
    std::unique_ptr<TKLPassRecord> rec = ReadEntry(Node, Path);
    if (const TXmlView* history = Node.Find("History")) {
      for (const TXmlView& child : history->Children) {
        if (child.Name != "Entry") continue;
        std::unique_ptr<TKLPassRecord> version = ReadEntry(child, Path);
        version->FIsVersion = true;
        version->FUuid = rec->FUuid;
        rec->FHistory.push_back(std::move(version));
      }
    }
    Made.push_back(std::move(rec));
  }

  std::unique_ptr<TKLPassRecord> ReadEntry(const TXmlView& Node, const String& Path) {
    Entry = &Node;
    EntryPath = &Path;
    auto rec = std::unique_ptr<TKLPassRecord>(new TKLPassRecord(TKLPassRecord::TBlank{}));
    if (!ParseUuid(Node.Find("UUID"), rec->FUuid)) throw EKLPassStorageException(SKdbxDamaged);
    rec->FGroup = Path;
    for (const TXmlView& child : Node.Children) {
      if (child.Name == "String") StringField(*rec, child);
      if (child.Name == "Binary") BinaryField(*rec, child);
    }
    const TXmlView* times = Node.Find("Times");
    rec->FCreationDate = WallTime(times, "CreationTime", Offsets);
    rec->FModificationDate = WallTime(times, "LastModificationTime", Offsets);
    rec->FLastAccessDate = WallTime(times, "LastAccessTime", Offsets);
    rec->FLocationChangeDate = WallTime(times, "LocationChanged", Offsets);
    const TXmlView* expires = times != nullptr ? times->Find("Expires") : nullptr;
    rec->FExpires = expires != nullptr && (expires->Text == "True" || expires->Text == "true");
    rec->FExpiryDate = WallTime(times, "ExpiryTime", Offsets);
    if (const TXmlView* tags = Node.Find("Tags")) {
      rec->FTags = SplitTags(tags->Text);
      if (rec->FTags.size() > KLPassMaxTags) Refuse("more than " + std::to_string(KLPassMaxTags) + " tags");
      for (const auto& tag : rec->FTags) {
        if (!IsValidTag(tag))
          Refuse("tag '" + TextToUtf8(tag) + "' (at most " + std::to_string(KLPassMaxTagLength) +
                 " characters, no control character)");
      }
    }
    if (const std::size_t held = HeldBytes(rec->FCustomFields, rec->FAttachments); held > KLPassMaxRecordBytes) {
      Refuse("custom fields and attachments of " + std::to_string(held) + " bytes together (at most " +
             std::to_string(KLPassMaxRecordBytes) + ")");
    }
    return rec;
  }

  void StringField(TKLPassRecord& Rec, const TXmlView& Node) {
    const TXmlView* key = Node.Find("Key");
    const TXmlView* value = Node.Find("Value");
    if (key == nullptr) throw EKLPassStorageException(SKdbxDamaged);
    kl::String text = value != nullptr ? Utf8ToText(value->Text) : kl::String();
    for (std::size_t i = 0; i < std::size(kStandardKeys); ++i) {
      if (SameName(key->Text, kStandardKeys[i])) {
        Rec.*kStandardFields[i] = std::move(text);
        return;
      }
    }
    TKLPassField field;
    field.Name = Utf8ToText(key->Text);
    field.Value = std::move(text);
    field.Protected = value != nullptr && value->Protected;
    if (!IsValidItemName(field.Name)) {
      Refuse("custom field name '" + std::string(key->Text) + "' (1 to " + std::to_string(KLPassMaxNameLength) +
             " characters, no control character)");
    }
    if (!IsValidCustomField(field.Name, field.Value)) {
      Refuse("custom field '" + std::string(key->Text) + "' of " + std::to_string(UTF8Size(field.Value)) + " bytes (at most " +
             std::to_string(KLPassMaxFieldValueBytes) + ")");
    }
    if (Rec.FCustomFields.size() >= KLPassMaxCustomFields) {
      Refuse("more than " + std::to_string(KLPassMaxCustomFields) + " custom fields");
    }
    Rec.FCustomFields.push_back(std::move(field));
  }

  void BinaryField(TKLPassRecord& Rec, const TXmlView& Node) {
    const TXmlView* key = Node.Find("Key");
    const TXmlView* value = Node.Find("Value");
    const std::string_view* ref = value != nullptr ? value->Attribute("Ref") : nullptr;
    if (key == nullptr || ref == nullptr) throw EKLPassStorageException(SKdbxDamaged);
    std::size_t index = 0;
    for (const char c : *ref) {
      if (c < '0' || c > '9' || index > Doc.Binaries.size()) throw EKLPassStorageException(SKdbxDamaged);
      index = index * 10 + static_cast<std::size_t>(c - '0');
    }
    if (ref->empty() || index >= Doc.Binaries.size()) throw EKLPassStorageException(SKdbxDamaged);
    TKLPassRecord::TAttachment attachment;
    attachment.Name = Utf8ToText(key->Text);
    attachment.Data = Doc.Binaries[index].Data; // shared, not copied
    if (!IsValidItemName(attachment.Name)) {
      Refuse("attachment name '" + std::string(key->Text) + "' (1 to " + std::to_string(KLPassMaxNameLength) +
             " characters, no control character)");
    }
    if (attachment.Data->size() > KLPassMaxAttachmentSize) {
      Refuse("attachment '" + std::string(key->Text) + "' of " + std::to_string(attachment.Data->size()) + " bytes (at most " +
             std::to_string(KLPassMaxAttachmentSize) + ")");
    }
    if (Rec.FAttachments.size() >= KLPassMaxAttachments) {
      Refuse("more than " + std::to_string(KLPassMaxAttachments) + " attachments");
    }
    Rec.FAttachments.push_back(std::move(attachment));
  }
};

// Puts the records back into a copy of the document.
struct TKdbxWriter {
  TKdbxDocument& Doc;
  TKLBaseRandomGenerator& Random;
  // Entries taken out of their groups, by UUID text, with the group they were in.
  // Groups are named by UUID, not by address: making a group moves its
  // siblings in memory.
  struct TTaken {
    TXmlNode Entry;
    std::string Group;
    String Path;
  };
  std::unordered_map<std::string, TTaken> Taken;
  // The recycle bin as loaded, and its path once met: its own entries are
  // taken as any group's, the groups within it are left as they are.
  std::string RecycleBin;
  std::optional<String> RecycleBinPath;
  // The group that receives the records of the store's bin, once chosen.
  std::string BinId;
  // The record being put back, named in a refusal.
  const TKLPassRecord* Current = nullptr;
  // The entries each group receives, in record order.
  std::unordered_map<std::string, std::vector<TXmlNode>> Pending;
  // The groups the store lists, by path, and the UUIDs of the document's
  // groups: a group made for a path takes the listed group's UUID, notes and
  // times unless another group of the document has that UUID.
  std::unordered_map<String, const TKLPassGroup*> ListedGroups;
  std::unordered_set<std::string> DocGroupUuids;
  TClockMemo Clock;

  void CollectGroupUuids(const TXmlNode& Node) {
    for (const TXmlNode& child : Node.Children) {
      if (child.Name != "Group") continue;
      DocGroupUuids.insert(GroupId(child));
      CollectGroupUuids(child);
    }
  }

  // A group's notes and times as the store lists them; a time is written
  // only when it changed, as a record's.
  void PutListed(TXmlNode& Group, const TKLPassGroup& Listed) {
    const std::string notes = Utf8(Listed.Notes, false, "group notes");
    if (const TXmlNode* held = Group.Find("Notes"); held == nullptr || held->Text != notes) {
      Group.Ensure("Notes").Text = notes;
    }
    TXmlNode& times = Group.Ensure("Times");
    PutTime(times, "CreationTime", Listed.CreationDate, Clock);
    PutTime(times, "LastModificationTime", Listed.ModificationDate, Clock);
    PutTime(times, "LastAccessTime", Listed.LastAccessDate, Clock);
    PutTime(times, "ExpiryTime", Listed.ExpiryDate, Clock);
    const char* expires = Listed.Expires ? "True" : "False";
    if (const TXmlNode* held = times.Find("Expires");
        held == nullptr || (held->Text == "True" || held->Text == "true") != Listed.Expires) {
      times.Ensure("Expires").Text = expires;
    }
    PutTime(times, "LocationChanged", Listed.LocationChangeDate, Clock);
  }

  static std::string GroupId(const TXmlNode& Group) {
    const TXmlNode* uuid = Group.Find("UUID");
    return uuid != nullptr ? uuid->Text : std::string();
  }

  // Puts the pending entries into their groups, before each group's
  // subgroups as KeePass writes them, all of a group's at once.
  void PlaceEntries(TXmlNode& Group) {
    const auto pending = Pending.find(GroupId(Group));
    if (pending != Pending.end()) {
      auto at = std::find_if(Group.Children.begin(), Group.Children.end(),
                             [](const TXmlNode& n) { return n.Name == "Group"; });
      Group.Children.insert(at, std::make_move_iterator(pending->second.begin()),
                            std::make_move_iterator(pending->second.end()));
      Pending.erase(pending);
    }
    for (TXmlNode& child : Group.Children) {
      if (child.Name == "Group") PlaceEntries(child);
    }
  }

  // Takes every entry out of every group but those within the recycle bin,
  // noting the group path each was in.
  void TakeEntries(TXmlNode& Group, const String& Path, bool Root) {
    const TXmlNode* uuid = Group.Find("UUID");
    const bool isBin = !Root && uuid != nullptr && !RecycleBin.empty() && uuid->Text == RecycleBin;
    if (isBin && !RecycleBinPath) RecycleBinPath = Path;
    const std::string groupId = GroupId(Group);
    std::vector<TXmlNode> kept;
    kept.reserve(Group.Children.size());
    for (TXmlNode& child : Group.Children) {
      if (child.Name == "Entry") {
        std::string scratch;
        const std::string* id = ChildText(child, "UUID", scratch);
        std::string key = id != nullptr ? *id : std::string();
        Taken[key] = TTaken{std::move(child), groupId, Path};
      } else {
        kept.push_back(std::move(child));
      }
    }
    Group.Children.swap(kept);
    if (isBin) return;
    for (TXmlNode& child : Group.Children) {
      if (child.Name != "Group") continue;
      const TXmlNode* name = child.Find("Name");
      const String childName = name != nullptr ? Utf8ToText(name->Text) : String();
      TakeEntries(child, GroupPathChild(Path, childName), false);
    }
  }

  std::string NewUuid() {
    TKLPassUuid uuid;
    Random.Generate(uuid.data(), static_cast<std::int32_t>(uuid.size()));
    return UuidText(uuid);
  }

  TXmlNode NewTimes(std::int64_t Now) {
    TXmlNode times("Times");
    times.Children.reserve(7);
    const std::string now = KdbxTimeText(Now);
    for (const char* name : {"CreationTime", "LastModificationTime", "LastAccessTime", "ExpiryTime"}) {
      times.Children.emplace_back(name, now);
    }
    times.Children.emplace_back("Expires", "False");
    times.Children.emplace_back("UsageCount", "0");
    times.Children.emplace_back("LocationChanged", now);
    return times;
  }

  // The group at Path below Root, made where missing (Made: the last one was).
  TXmlNode& GroupAt(TXmlNode& Root, const String& Path, std::int64_t Now, bool* Made = nullptr) {
    TXmlNode* group = &Root;
    if (Made != nullptr) *Made = false;
    const std::vector<String> names = SplitGroupPath(Path);
    String prefix;
    for (std::size_t level = 0; level < names.size(); ++level) {
      prefix = GroupPathChild(prefix, names[level]);
      const std::string name = Utf8(names[level], false, "group name");
      TXmlNode* found = nullptr;
      for (TXmlNode& child : group->Children) {
        const TXmlNode* childName = child.Name == "Group" ? child.Find("Name") : nullptr;
        if (childName != nullptr && childName->Text == name) {
          found = &child;
          break;
        }
      }
      if (found == nullptr) {
        const auto listed = ListedGroups.find(prefix);
        const TKLPassGroup* info = listed != ListedGroups.end() ? listed->second : nullptr;
        std::string uuid = info != nullptr ? UuidText(info->Uuid) : std::string();
        if (info == nullptr || DocGroupUuids.contains(uuid) || uuid == kNoUuid) uuid = NewUuid();
        DocGroupUuids.insert(uuid);
        TXmlNode made("Group");
        made.Children.emplace_back("UUID", uuid);
        made.Children.emplace_back("Name", name);
        made.Children.emplace_back("Notes");
        made.Children.emplace_back("IconID", "48");
        made.Children.push_back(NewTimes(Now));
        made.Children.emplace_back("IsExpanded", "True");
        if (info != nullptr) PutListed(made, *info);
        found = &group->Children.emplace_back(std::move(made));
        if (Made != nullptr) *Made = level + 1 == names.size();
      }
      group = found;
    }
    return *group;
  }

  // A group the store lists at another path than the document holds it at
  // (found by UUID, outside groups deleted into the bin) is moved there first
  // with all it holds, renamed to its last name: a moved or renamed group
  // keeps its UUID and what the store does not model.
  void MoveByUuid(TXmlNode& Root, const TKLPassGroup& Listed, std::int64_t Now) {
    const std::string uuid = UuidText(Listed.Uuid);
    TXmlNode* parent = nullptr;
    std::size_t at = 0;
    const bool found = EachGroup(Root, String(), [&](TXmlNode& Parent, std::size_t At, const String& Path) {
      if (GroupId(Parent.Children[At]) != uuid) return false;
      if (Path != Listed.Path) {
        parent = &Parent;
        at = At;
      }
      return true;
    });
    if (!found || parent == nullptr) return;
    const std::vector<String> names = SplitGroupPath(Listed.Path);
    const std::string name = Utf8(names.back(), false, "group name");
    TXmlNode group = std::move(parent->Children[at]);
    parent->Children.erase(parent->Children.begin() + static_cast<std::ptrdiff_t>(at));
    group.Ensure("Name").Text = name;
    TXmlNode& target = GroupAt(Root, JoinGroupPath(std::vector<String>(names.begin(), names.end() - 1)), Now);
    target.Children.push_back(std::move(group));
  }

  // The path of every group below Root by UUID text (see EachGroup).
  std::unordered_map<std::string, String> GroupPaths(TXmlNode& Root) {
    std::unordered_map<std::string, String> paths;
    EachGroup(Root, String(), [&](TXmlNode& Parent, std::size_t At, const String& Path) {
      paths.emplace(GroupId(Parent.Children[At]), Path);
      return false;
    });
    return paths;
  }

  // Calls Fn(parent, place, path) for every group below Group (at Path),
  // parents first, but those within groups deleted into the bin; stops, and
  // is true, once Fn is.
  template <class F>
  bool EachGroup(TXmlNode& Group, const String& Path, F&& Fn) {
    for (std::size_t i = 0; i < Group.Children.size(); ++i) {
      TXmlNode& child = Group.Children[i];
      if (child.Name != "Group") continue;
      const TXmlNode* name = child.Find("Name");
      const String path = GroupPathChild(Path, name != nullptr ? Utf8ToText(name->Text) : String());
      if (Fn(Group, i, path)) return true;
      if ((RecycleBin.empty() || GroupId(child) != RecycleBin) && EachGroup(child, path, Fn)) return true;
    }
    return false;
  }

  // Made before the root group is found (see SaveKdbx): making it later
  // would move the root group in memory.
  TXmlNode& Meta() { return *Doc.Root.Find("Meta"); }

  // The group the records of the store's recycle bin (at Path) go to: the
  // file's bin while it is at that path; otherwise the group at Path, made
  // where missing as KeePassXC makes its bin (its icon, no auto-type, no
  // search), becomes the file's bin.
  std::string BinGroup(TXmlNode& Root, const String& Path, std::int64_t Now) {
    if (!BinId.empty()) return BinId;
    if (RecycleBinPath && *RecycleBinPath == Path) return BinId = RecycleBin;
    bool made = false;
    TXmlNode& group = GroupAt(Root, Path, Now, &made);
    if (made) {
      group.Ensure("IconID").Text = kRecycleBinIcon;
      group.Ensure("EnableAutoType").Text = "false";
      group.Ensure("EnableSearching").Text = "false";
    }
    BinId = GroupId(group);
    TXmlNode& meta = Meta();
    meta.Ensure("RecycleBinUUID").Text = BinId;
    meta.Ensure("RecycleBinChanged").Text = KdbxTimeText(Now);
    return BinId;
  }

  TXmlNode NewEntry(const std::string& Uuid, std::int64_t Now) {
    TXmlNode entry("Entry");
    // Room for the fields Fill adds, which would move the tree otherwise.
    entry.Children.reserve(16);
    entry.Children.emplace_back("UUID", Uuid);
    entry.Children.emplace_back("IconID", "0");
    entry.Children.emplace_back("ForegroundColor");
    entry.Children.emplace_back("BackgroundColor");
    entry.Children.emplace_back("OverrideURL");
    entry.Children.emplace_back("Tags");
    entry.Children.push_back(NewTimes(Now));
    TXmlNode autoType("AutoType");
    autoType.Children.emplace_back("Enabled", "True");
    autoType.Children.emplace_back("DataTransferObfuscation", "0");
    entry.Children.push_back(std::move(autoType));
    entry.Children.emplace_back("History");
    return entry;
  }

  // The strings and attachments are written again in full; a standard
  // field keeps the protection its file gave it.
  void Fill(TXmlNode& Entry, TKLPassRecord& Rec, bool IsNew) {
    // Whether each standard field was in the entry, and protected.
    std::optional<bool> wasProtected[std::size(kStandardKeys)];
    std::size_t at = Entry.Children.size();
    for (std::size_t i = 0; i < Entry.Children.size(); ++i) {
      const TXmlNode& child = Entry.Children[i];
      if (child.Name != "String" && child.Name != "Binary") continue;
      at = std::min(at, i);
      const TXmlNode* key = child.Find("Key");
      const TXmlNode* value = child.Find("Value");
      if (child.Name != "String" || key == nullptr) continue;
      for (std::size_t k = 0; k < std::size(kStandardKeys); ++k) {
        if (key->Text == kStandardKeys[k]) wasProtected[k] = value != nullptr && value->Protected;
      }
    }
    if (at == Entry.Children.size()) {
      // After Times, where KeePass puts them.
      for (std::size_t i = 0; i < Entry.Children.size(); ++i) {
        if (Entry.Children[i].Name == "Times") at = i + 1;
      }
    }
    std::erase_if(Entry.Children, [](const TXmlNode& n) { return n.Name == "String" || n.Name == "Binary"; });
    at = std::min(at, Entry.Children.size());
    std::vector<TXmlNode> items;
    items.reserve(std::size(kStandardKeys) + Rec.FCustomFields.size() + Rec.FAttachments.size());
    auto addString = [&](std::string Key, const String& Value, bool Protect) {
      TXmlNode s("String");
      s.Children.reserve(2);
      s.Children.emplace_back("Key", std::move(Key));
      TXmlNode& v = s.Children.emplace_back("Value", Utf8(Value, Protect, "field value"));
      if (Protect) {
        v.Protected = true;
        v.SetAttribute("Protected", "True");
      }
      items.push_back(std::move(s));
    };
    for (std::size_t i = 0; i < std::size(kStandardKeys); ++i) {
      const std::string_view key = kStandardKeys[i];
      const bool had = wasProtected[i].has_value();
      const bool protect = had ? *wasProtected[i] : (IsNew && key == "Password");
      const String& value = Rec.*TKdbxReader::kStandardFields[i];
      // A field the entry did not have stays absent while it is empty.
      if (!IsNew && !had && value.empty()) continue;
      addString(std::string(key), value, protect);
    }
    for (const TKLPassField& field : Rec.FCustomFields)
      addString(Utf8(field.Name, false, "field name"), field.Value, field.Protected);
    for (const auto& attachment : Rec.FAttachments) {
      TXmlNode b("Binary");
      b.Children.emplace_back("Key", Utf8(attachment.Name, false, "attachment name"));
      TXmlNode& v = b.Children.emplace_back("Value");
      v.SetAttribute("Ref", std::to_string(BinaryIndex(attachment.Data)));
      items.push_back(std::move(b));
    }
    Entry.Children.insert(Entry.Children.begin() + static_cast<std::ptrdiff_t>(at),
                          std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));

    TXmlNode& times = Entry.Ensure("Times");
    PutTime(times, "CreationTime", Rec.FCreationDate, Clock);
    PutTime(times, "LastModificationTime", Rec.FModificationDate, Clock);
    PutTime(times, "LastAccessTime", Rec.FLastAccessDate, Clock);
    if (Rec.FLocationChangeDate != 0) PutTime(times, "LocationChanged", Rec.FLocationChangeDate, Clock);
    if (Rec.FExpires || times.Find("ExpiryTime") == nullptr) PutTime(times, "ExpiryTime", Rec.FExpiryDate, Clock);
    times.Ensure("Expires").Text = Rec.FExpires ? "True" : "False";
    TXmlNode& tags = Entry.Ensure("Tags");
    if (SplitTags(tags.Text) != Rec.FTags && !JoinTags(Rec.FTags, tags.Text)) RefuseText("tag");
  }

  // The strings and attachments Fill gives an entry, their texts made once
  // in the order Fill makes them (a refusal names the same field) and wiped
  // with them. Texts: the fields' values (the standard ones first), the
  // custom fields' names, the attachments' names, then the tags.
  struct TItems {
    static constexpr std::size_t kStandard = std::size(kStandardKeys);
    std::vector<std::string> Texts;
    std::vector<std::string> Refs;
    bool Kept[kStandard] = {};
    bool Protect[kStandard] = {};
    std::size_t Fields = 0;
    std::size_t Count = 0;

    TItems() = default;
    TItems(const TItems&) = delete;
    TItems& operator=(const TItems&) = delete;
    ~TItems() {
      for (std::string& text : Texts) {
        text.resize(text.capacity()); // within its room, whatever it held
        SecureZero(text.data(), text.size());
      }
    }
    std::string& Tags() { return Texts.back(); }
  };

  // Was: whether each standard field was in the entry, and protected.
  void MakeItems(TItems& Items, TKLPassRecord& Rec, const std::optional<bool> (&Was)[TItems::kStandard],
                 bool IsNew) {
    constexpr std::size_t kStandard = TItems::kStandard;
    Items.Fields = kStandard + Rec.FCustomFields.size();
    Items.Texts.resize(Items.Fields + Rec.FCustomFields.size() + Rec.FAttachments.size() + 1);
    auto utf8 = [&](std::size_t At, std::u16string_view Text, bool Protected, const char* What) {
      if (!KdbxUtf8(Text, Protected, Items.Texts[At])) RefuseText(What);
    };
    for (std::size_t i = 0; i < kStandard; ++i) {
      const String& value = Rec.*TKdbxReader::kStandardFields[i];
      Items.Protect[i] = Was[i].has_value() ? *Was[i] : (IsNew && kStandardKeys[i] == "Password");
      // A field the entry did not have stays absent while it is empty.
      Items.Kept[i] = IsNew || Was[i].has_value() || !value.empty();
      if (!Items.Kept[i]) continue;
      ++Items.Count;
      utf8(i, value, Items.Protect[i], "field value");
    }
    for (std::size_t i = 0; i < Rec.FCustomFields.size(); ++i) {
      const TKLPassField& field = Rec.FCustomFields[i];
      utf8(Items.Fields + i, field.Name, false, "field name");
      utf8(kStandard + i, field.Value, field.Protected, "field value");
    }
    Items.Refs.resize(Rec.FAttachments.size());
    const std::size_t names = Items.Fields + Rec.FCustomFields.size();
    for (std::size_t i = 0; i < Rec.FAttachments.size(); ++i) {
      utf8(names + i, Rec.FAttachments[i].Name, false, "attachment name");
      Items.Refs[i] = std::to_string(BinaryIndex(Rec.FAttachments[i].Data));
    }
    Items.Count += Rec.FCustomFields.size() + Rec.FAttachments.size();
  }

  static void EmitItems(TFoldWriter& Out, const TItems& Items, const TKLPassRecord& Rec) {
    static constexpr std::pair<std::string_view, std::string_view> kProtected[] = {{"Protected", "True"}};
    constexpr std::size_t kStandard = TItems::kStandard;
    for (std::size_t i = 0; i < Items.Fields; ++i) {
      const bool standard = i < kStandard;
      if (standard && !Items.Kept[i]) continue;
      const bool protect = standard ? Items.Protect[i] : Rec.FCustomFields[i - kStandard].Protected;
      Out.Element("String", 2);
      Out.Leaf("Key", standard ? kStandardKeys[i] : std::string_view(Items.Texts[Items.Fields + i - kStandard]));
      if (protect) {
        Out.Leaf("Value", Items.Texts[i], true, kProtected);
      } else {
        Out.Leaf("Value", Items.Texts[i]);
      }
    }
    const std::size_t names = Items.Fields + Rec.FCustomFields.size();
    for (std::size_t i = 0; i < Rec.FAttachments.size(); ++i) {
      const std::pair<std::string_view, std::string_view> ref[] = {{"Ref", Items.Refs[i]}};
      Out.Element("Binary", 2);
      Out.Leaf("Key", Items.Texts[names + i]);
      Out.Leaf("Value", {}, false, ref);
    }
  }

  // The text PutTime leaves in a time that held Held.
  std::string TimeText(std::string_view Held, std::int64_t Wall) {
    std::int64_t unix = 0;
    if (ParseKdbxTime(Held, unix) && Clock.Wall(unix) == Wall) return std::string(Held);
    return KdbxTimeText(Clock.Utc(Wall));
  }

  // The entry of a record new to the document and without versions, folded
  // as it is made: the children, texts and times NewEntry, Fill and
  // FillHistory give it, in their order, without its tree.
  TXmlNode NewFoldedEntry(const std::string& Uuid, std::int64_t Now, TKLPassRecord& Rec) {
    TItems items;
    const std::optional<bool> none[TItems::kStandard];
    MakeItems(items, Rec, none, true);
    const std::string now = KdbxTimeText(Now);
    const std::string created = TimeText(now, Rec.FCreationDate);
    const std::string modified = TimeText(now, Rec.FModificationDate);
    const std::string accessed = TimeText(now, Rec.FLastAccessDate);
    const std::string located = Rec.FLocationChangeDate != 0 ? TimeText(now, Rec.FLocationChangeDate) : now;
    const std::string expiry = Rec.FExpires ? TimeText(now, Rec.FExpiryDate) : now;
    if (!Rec.FTags.empty() && !JoinTags(Rec.FTags, items.Tags())) RefuseText("tag");
    CheckDepth(3, Rec);

    TXmlNode entry("Entry");
    entry.Fold = FoldOf([&](TFoldWriter& Out) {
      Out.Children(7 + items.Count + 2);
      Out.Leaf("UUID", Uuid);
      Out.Leaf("IconID", "0");
      Out.Leaf("ForegroundColor");
      Out.Leaf("BackgroundColor");
      Out.Leaf("OverrideURL");
      Out.Leaf("Tags", items.Tags());
      Out.Element("Times", 7);
      Out.Leaf("CreationTime", created);
      Out.Leaf("LastModificationTime", modified);
      Out.Leaf("LastAccessTime", accessed);
      Out.Leaf("ExpiryTime", expiry);
      Out.Leaf("Expires", Rec.FExpires ? "True" : "False");
      Out.Leaf("UsageCount", "0");
      Out.Leaf("LocationChanged", located);
      EmitItems(Out, items, Rec);
      Out.Element("AutoType", 2);
      Out.Leaf("Enabled", "True");
      Out.Leaf("DataTransferObfuscation", "0");
      Out.Leaf("History");
    });
    return entry;
  }

  // The views of the loaded entry being folded again, kept from one to the next.
  TXmlViews LoadedRoom;

  static std::size_t ViewDepth(const TXmlView& Node) {
    std::size_t deepest = 0;
    for (const TXmlView& child : Node.Children) deepest = std::max(deepest, ViewDepth(child));
    return deepest + 1;
  }

  // A loaded entry of a record without versions, folded again from the
  // views of its folded text as Fill and FillHistory would leave its tree;
  // false, with nothing changed, where the entry lacks an element they would
  // add (its Times, Tags, History, a time) or holds versions: the tree does it.
  bool RefoldLoaded(TXmlNode& Entry, TKLPassRecord& Rec) {
    if (!Entry.IsFolded() || !Rec.FHistory.empty()) return false;
    const TXmlView& view = ViewOf(Entry, LoadedRoom);
    const auto kids = view.Children;
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::size_t at = kNone;
    std::size_t lastTimes = kNone;
    std::size_t times = kNone;
    std::size_t tags = kNone;
    std::size_t history = kNone;
    std::size_t dropped = 0;
    std::optional<bool> was[TItems::kStandard];
    for (std::size_t i = 0; i < kids.size(); ++i) {
      const TXmlView& child = kids[i];
      if (child.Name == "String" || child.Name == "Binary") {
        at = std::min(at, i);
        ++dropped;
        const TXmlView* key = child.Find("Key");
        const TXmlView* value = child.Find("Value");
        if (child.Name != "String" || key == nullptr) continue;
        for (std::size_t k = 0; k < TItems::kStandard; ++k) {
          if (key->Text == kStandardKeys[k]) was[k] = value != nullptr && value->Protected;
        }
      } else if (child.Name == "Times") {
        lastTimes = i;
        if (times == kNone) times = i;
      } else if (child.Name == "Tags" && tags == kNone) {
        tags = i;
      } else if (child.Name == "History" && history == kNone) {
        history = i;
      }
    }
    if (times == kNone || tags == kNone || history == kNone || !kids[history].Children.empty() ||
        !kids[tags].Children.empty()) {
      return false;
    }
    if (at == kNone) at = lastTimes + 1;
    // The times PutTime sets, each the first of its name, and Expires.
    static constexpr std::string_view kTimes[] = {"CreationTime", "LastModificationTime", "LastAccessTime",
                                                  "LocationChanged", "ExpiryTime", "Expires"};
    const std::int64_t walls[] = {Rec.FCreationDate, Rec.FModificationDate, Rec.FLastAccessDate,
                                  Rec.FLocationChangeDate, Rec.FExpiryDate};
    const bool set[] = {true, true, true, Rec.FLocationChangeDate != 0, Rec.FExpires, true};
    const auto timeKids = kids[times].Children;
    std::size_t first[std::size(kTimes)];
    for (std::size_t t = 0; t < std::size(kTimes); ++t) {
      first[t] = kNone;
      for (std::size_t i = 0; i < timeKids.size() && first[t] == kNone; ++i) {
        if (timeKids[i].Name == kTimes[t]) first[t] = i;
      }
      // A time PutTime would add (ExpiryTime is added where missing), or
      // one holding elements, is left to the tree.
      const bool needed = set[t] || t == 4;
      if (needed && (first[t] == kNone || !timeKids[first[t]].Children.empty())) return false;
    }
    TItems items;
    MakeItems(items, Rec, was, false);
    std::string texts[std::size(kTimes)];
    for (std::size_t t = 0; t + 1 < std::size(kTimes); ++t) {
      if (set[t]) texts[t] = TimeText(timeKids[first[t]].Text, walls[t]);
    }
    texts[5] = Rec.FExpires ? "True" : "False";
    std::string& tagText = items.Tags();
    if (SplitTags(kids[tags].Text) != Rec.FTags) {
      if (!JoinTags(Rec.FTags, tagText)) RefuseText("tag");
    } else {
      tagText = kids[tags].Text;
    }
    std::size_t depth = items.Count != 0 ? 3 : 1;
    for (const TXmlView& child : kids) {
      if (child.Name != "String" && child.Name != "Binary") depth = std::max(depth, ViewDepth(child) + 1);
    }
    CheckDepth(depth, Rec);

    std::shared_ptr<const std::string> fold = FoldOf([&](TFoldWriter& Out) {
      Out.Children(kids.size() - dropped + items.Count);
      for (std::size_t i = 0; i <= kids.size(); ++i) {
        if (i == at) EmitItems(Out, items, Rec);
        if (i == kids.size()) break;
        const TXmlView& child = kids[i];
        if (child.Name == "String" || child.Name == "Binary") continue;
        if (i == tags) {
          Out.Leaf(child.Name, tagText, child.Protected, child.Attributes);
        } else if (i == times) {
          Out.Node(child.Name, child.Attributes, child.Text, child.Protected, timeKids.size());
          for (std::size_t k = 0; k < timeKids.size(); ++k) {
            const TXmlView& time = timeKids[k];
            std::size_t t = 0;
            while (t < std::size(kTimes) && (first[t] != k || !set[t])) ++t;
            if (t == std::size(kTimes)) {
              Out.View(time);
            } else {
              Out.Leaf(time.Name, texts[t], time.Protected, time.Attributes);
            }
          }
        } else {
          Out.View(child);
        }
      }
    });
    // An entry the record left as it was keeps the loaded document's fold,
    // so that a save holds one copy of what did not change.
    if (*fold != *Entry.Fold) Entry.Fold = std::move(fold);
    return true;
  }

  // The entry's History made from the record's versions, oldest first. A
  // version read from the file is put back into the entry it was read from
  // (found by its modification time, in order), so that what the record does
  // not model (icon, colours, auto-type, custom data) stays as it was; a
  // version made since starts from the entry as it was before this save,
  // which is what the version holds.
  void FillHistory(TXmlNode& Entry, const TXmlNode* Before, TKLPassRecord& Rec) {
    TXmlNode& history = Entry.Ensure("History");
    if (Rec.FHistory.empty() && history.Children.empty()) return;
    std::vector<TXmlNode> old;
    old.swap(history.Children);
    std::unordered_multimap<std::string, std::size_t> byTime;
    for (std::size_t i = 0; i < old.size(); ++i) {
      const TXmlNode* times = old[i].Name == "Entry" ? old[i].Find("Times") : nullptr;
      const TXmlNode* modified = times != nullptr ? times->Find("LastModificationTime") : nullptr;
      std::int64_t unix = 0;
      if (modified != nullptr && ParseKdbxTime(modified->Text, unix)) byTime.emplace(std::to_string(Clock.Wall(unix)), i);
    }
    std::vector<bool> used(old.size(), false);
    history.Children.reserve(Rec.FHistory.size());
    for (const auto& version : Rec.FHistory) {
      TXmlNode node("Entry");
      bool found = false;
      for (auto [at, last] = byTime.equal_range(std::to_string(version->FModificationDate)); at != last; ++at) {
        if (used[at->second]) continue;
        used[at->second] = true;
        node = std::move(old[at->second]);
        found = true;
        break;
      }
      if (!found) {
        if (Before != nullptr) {
          node = *Before;
        } else {
          node = NewEntry(UuidText(Rec.FUuid), Clock.Utc(version->FModificationDate));
          std::erase_if(node.Children, [](const TXmlNode& n) { return n.Name == "History"; });
        }
      }
      Fill(node, *version, !found && Before == nullptr);
      history.Children.push_back(std::move(node));
    }
  }

  // Names the entry a refusal is about: its title and group as the user knows them.
  static std::string EntryName(const TKLPassRecord& Rec) {
    std::string name = "entry '" + TextToUtf8(Rec.FTitle) + "'";
    if (!Rec.FGroup.empty()) name += " in group '" + TextToUtf8(Rec.FGroup) + "'";
    return name;
  }

  [[noreturn]] void RefuseText(const char* What) const {
    const std::string whose = Current != nullptr ? EntryName(*Current) : std::string("a group");
    throw EKLPassStorageException(std::string(SKdbxUnpairedSurrogate) + ": " + whose + ", its " + What);
  }

  std::string Utf8(std::u16string_view Text, bool Protected, const char* What) const {
    std::string out;
    if (!KdbxUtf8(Text, Protected, out)) {
      if (Protected) SecureZero(out.data(), out.size());
      RefuseText(What);
    }
    return out;
  }

  // The document nests Entry three elements below its group chain
  // (KeePassFile, Root, the root group) and one below each group of its
  // path: a record whose entry would nest deeper than a reader accepts is
  // refused before anything is written.
  void CheckDepth(const TXmlNode& Entry, const TKLPassRecord& Rec) const { CheckDepth(NestedDepth(Entry), Rec); }
  void CheckDepth(std::size_t EntryDepth, const TKLPassRecord& Rec) const {
    const std::size_t levels = SplitGroupPath(Rec.FGroup).size();
    const std::size_t depth = 3 + levels + EntryDepth;
    if (depth > KdbxMaxXmlDepth) {
      throw EKLPassStorageException(std::string(SKdbxTooDeep) + ": " + EntryName(Rec) + " would nest " +
                                    std::to_string(depth) + " elements deep, at most " +
                                    std::to_string(KdbxMaxXmlDepth) + " are read");
    }
  }

  // Attachments with the same bytes share one binary of the pool, found by
  // a hash of their bytes: comparing each attachment with every binary
  // grows with the square of their number.
  // Attachments loaded from one binary share its buffer: found by address
  // first, without hashing or comparing their bytes again.
  std::unordered_multimap<std::size_t, std::size_t> BinaryByHash;
  std::unordered_map<const SecureBytes*, std::size_t> BinaryByAddress;
  bool BinariesIndexed = false;

  static std::size_t HashOf(const ByteArray& Data) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(Data.data()), Data.size()));
  }

  std::size_t BinaryIndex(const std::shared_ptr<const SecureBytes>& Data) {
    if (!BinariesIndexed) {
      for (std::size_t i = 0; i < Doc.Binaries.size(); ++i) {
        BinaryByHash.emplace(HashOf(Doc.Binaries[i].Data->Get()), i);
        BinaryByAddress.emplace(Doc.Binaries[i].Data.get(), i);
      }
      BinariesIndexed = true;
    }
    if (const auto known = BinaryByAddress.find(Data.get()); known != BinaryByAddress.end()) return known->second;
    const std::size_t hash = HashOf(Data->Get());
    std::size_t found = Doc.Binaries.size();
    for (auto [at, last] = BinaryByHash.equal_range(hash); at != last; ++at) {
      if (at->second < found && Doc.Binaries[at->second].Data->Get() == Data->Get()) found = at->second;
    }
    if (found < Doc.Binaries.size()) return found;
    TKdbxBinary& bin = Doc.Binaries.emplace_back();
    bin.Protected = false;
    bin.Data = Data;
    BinaryByHash.emplace(hash, found);
    BinaryByAddress.emplace(Data.get(), found);
    return found;
  }

  // Drops binaries no entry (history included) refers to any more, and
  // numbers the rest again in order.
  void CompactBinaries() {
    if (Doc.Binaries.empty()) return; // no reference can be valid, none is renumbered
    std::vector<std::size_t> used(Doc.Binaries.size(), 0);
    Visit(Doc.Root, [&](TXmlNode& Ref) { ++used[std::stoul(*Ref.Attribute("Ref"))]; });
    std::vector<std::size_t> renumber(Doc.Binaries.size());
    std::vector<TKdbxBinary> kept;
    for (std::size_t i = 0; i < Doc.Binaries.size(); ++i) {
      if (used[i] == 0) continue;
      renumber[i] = kept.size();
      kept.push_back(std::move(Doc.Binaries[i]));
    }
    Visit(Doc.Root,
          [&](TXmlNode& Ref) { Ref.SetAttribute("Ref", std::to_string(renumber[std::stoul(*Ref.Attribute("Ref"))])); });
    Doc.Binaries.swap(kept);
  }

  // Calls Fn for every Value of a Binary whose reference is a valid index.
  // A folded entry is unfolded for the while, and folded again where Fn saw
  // one of its references.
  template <class F>
  void Visit(TXmlNode& Node, F&& Fn) {
    if (Node.IsFolded()) {
      TXmlNode open = Unfolded(Node);
      bool seen = false;
      std::function<void(TXmlNode&)> seeing = [&](TXmlNode& Ref) {
        seen = true;
        Fn(Ref);
      };
      Visit(open, seeing);
      if (seen) {
        FoldChildren(open);
        Node = std::move(open);
      }
      return;
    }
    const bool binary = Node.Name == "Binary";
    for (TXmlNode& child : Node.Children) {
      if (binary && child.Name == "Value") {
        const std::string* ref = child.Attribute("Ref");
        if (ref != nullptr && !ref->empty() && ref->size() < 10 &&
            std::all_of(ref->begin(), ref->end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            std::stoul(*ref) < Doc.Binaries.size()) {
          Fn(child);
        }
      } else {
        Visit(child, Fn);
      }
    }
  }
};

namespace {

// The skeleton of a new database: its Meta and an empty root group.
TKdbxDocument NewDocument(TKLBaseRandomGenerator& Random, std::int64_t NowUtc) {
  TKdbxDocument doc;
  TXmlNode& meta = doc.Root.Children.emplace_back("Meta");
  meta.Children.emplace_back("Generator", "KLPasswordSDK");
  meta.Children.emplace_back("DatabaseName", "Passwords");
  meta.Children.emplace_back("DatabaseNameChanged", KdbxTimeText(NowUtc));
  TXmlNode& protection = meta.Children.emplace_back("MemoryProtection");
  for (const char* field : {"ProtectTitle", "ProtectUserName", "ProtectPassword", "ProtectURL", "ProtectNotes"}) {
    protection.Children.emplace_back(field, std::string_view(field) == "ProtectPassword" ? "True" : "False");
  }
  // A bin as KeePassXC's new databases have it: on, its group made at the
  // first deletion.
  meta.Children.emplace_back("RecycleBinEnabled", "True");
  meta.Children.emplace_back("RecycleBinUUID", std::string(kNoUuid));
  meta.Children.emplace_back("RecycleBinChanged", KdbxTimeText(NowUtc));
  TXmlNode& root = doc.Root.Children.emplace_back("Root");
  TXmlNode& group = root.Children.emplace_back("Group");
  TKLPassUuid uuid;
  Random.Generate(uuid.data(), static_cast<std::int32_t>(uuid.size()));
  group.Children.emplace_back("UUID", UuidText(uuid));
  group.Children.emplace_back("Name", "Root");
  group.Children.emplace_back("Notes");
  group.Children.emplace_back("IconID", "48");
  TXmlNode& times = group.Children.emplace_back("Times");
  for (const char* name : {"CreationTime", "LastModificationTime", "LastAccessTime", "ExpiryTime"}) {
    times.Children.emplace_back(name, KdbxTimeText(NowUtc));
  }
  times.Children.emplace_back("Expires", "False");
  times.Children.emplace_back("UsageCount", "0");
  times.Children.emplace_back("LocationChanged", KdbxTimeText(NowUtc));
  group.Children.emplace_back("IsExpanded", "True");
  root.Children.emplace_back("DeletedObjects");
  return doc;
}

const TXmlNode* RootGroup(const TKdbxDocument& Doc) {
  const TXmlNode* root = Doc.Root.Find("Root");
  return root != nullptr ? root->Find("Group") : nullptr;
}

TXmlNode* RootGroup(TKdbxDocument& Doc) {
  TXmlNode* root = Doc.Root.Find("Root");
  return root != nullptr ? root->Find("Group") : nullptr;
}

// Meta/RecycleBinEnabled; on where the file leaves it out, as its peers read it.
bool RecycleBinEnabledOf(const TKdbxDocument& Doc) {
  const TXmlNode* meta = Doc.Root.Find("Meta");
  const TXmlNode* enabled = meta != nullptr ? meta->Find("RecycleBinEnabled") : nullptr;
  return enabled == nullptr || enabled->Text == "True" || enabled->Text == "true";
}

// The UUID text of the recycle bin group while the bin is on; empty for none
// (the bin off, no group named yet, or the root group named).
std::string RecycleBinOf(const TKdbxDocument& Doc) {
  const TXmlNode* meta = Doc.Root.Find("Meta");
  const TXmlNode* uuid = meta != nullptr ? meta->Find("RecycleBinUUID") : nullptr;
  if (uuid == nullptr || uuid->Text.empty() || uuid->Text == kNoUuid || !RecycleBinEnabledOf(Doc)) return {};
  const TXmlNode* root = RootGroup(Doc);
  const TXmlNode* rootUuid = root != nullptr ? root->Find("UUID") : nullptr;
  if (rootUuid != nullptr && rootUuid->Text == uuid->Text) return {};
  return uuid->Text;
}

// The deleted objects of the document, in the vault's clock; those whose
// UUID cannot be read are left to the document alone.
std::vector<TKLPassDeletedObject> DeletedObjectsOf(const TKdbxDocument& Doc) {
  std::vector<TKLPassDeletedObject> deleted;
  const TXmlNode* root = Doc.Root.Find("Root");
  const TXmlNode* objects = root != nullptr ? root->Find("DeletedObjects") : nullptr;
  if (objects == nullptr) return deleted;
  for (const TXmlNode& object : objects->Children) {
    TKLPassDeletedObject item;
    if (object.Name != "DeletedObject" || !ParseUuid(object.Find("UUID"), item.Uuid)) continue;
    std::int64_t unix = 0;
    if (const TXmlNode* time = object.Find("DeletionTime"); time != nullptr && ParseKdbxTime(time->Text, unix)) {
      item.DeletionDate = UtcToWall(unix);
    }
    deleted.push_back(item);
  }
  return deleted;
}

// Adds the store's deleted objects that the document does not record yet,
// leaving those it has exactly as they are.
void PutDeletedObjects(TKdbxDocument& Doc, const std::vector<TKLPassDeletedObject>& Deleted) {
  TXmlNode* root = Doc.Root.Find("Root");
  if (root == nullptr || Deleted.empty()) return;
  TXmlNode& objects = root->Ensure("DeletedObjects");
  std::unordered_set<std::string> known;
  for (const TXmlNode& object : objects.Children) {
    if (const TXmlNode* uuid = object.Name == "DeletedObject" ? object.Find("UUID") : nullptr) known.insert(uuid->Text);
  }
  for (const TKLPassDeletedObject& item : Deleted) {
    std::string uuid = UuidText(item.Uuid);
    if (!known.insert(uuid).second) continue;
    TXmlNode& object = objects.Children.emplace_back("DeletedObject");
    object.Children.emplace_back("UUID", std::move(uuid));
    object.Children.emplace_back("DeletionTime", KdbxTimeText(WallToUtc(item.DeletionDate)));
  }
}

// Meta's history bounds, where the file sets them.
void HistoryBoundsOf(const TKdbxDocument& Doc, std::int32_t& MaxItems, std::int64_t& MaxBytes) {
  const TXmlNode* meta = Doc.Root.Find("Meta");
  if (meta == nullptr) return;
  const auto number = [&](const char* Name, std::int64_t& Out) {
    const TXmlNode* node = meta->Find(Name);
    if (node == nullptr) return false;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(node->Text.data(), node->Text.data() + node->Text.size(), value);
    if (error != std::errc() || end != node->Text.data() + node->Text.size()) return false;
    Out = value;
    return true;
  };
  std::int64_t value = 0;
  if (number("HistoryMaxItems", value)) MaxItems = static_cast<std::int32_t>(std::clamp<std::int64_t>(value, -1, INT32_MAX));
  if (number("HistoryMaxSize", value)) MaxBytes = std::max<std::int64_t>(value, -1);
}

TKdbxCompositeKey MakeKey(const String& Password, const SecureBytes& KeyFile) {
  TKdbxCompositeKey key;
  if (!Password.empty() || KeyFile.size() == 0) key.AddPassword(Password);
  if (KeyFile.size() != 0) key.AddKeyFile(KeyFile.Get());
  return key;
}

TKdbxSettings ToInternal(const TKLKdbxSettings& S) {
  TKdbxSettings out;
  out.Kdf = S.Kdf == kkAesKdf ? TKdbxKdf::AesKdf : S.Kdf == kkArgon2d ? TKdbxKdf::Argon2d : TKdbxKdf::Argon2id;
  out.Cipher = S.Cipher == kcChaCha20 ? TKdbxCipher::ChaCha20 : TKdbxCipher::Aes256;
  out.Iterations = S.Iterations;
  out.MemoryBytes = S.MemoryBytes;
  out.Parallelism = S.Parallelism;
  return out;
}

TKLKdbxSettings ToPublic(const TKdbxSettings& S) {
  TKLKdbxSettings out;
  out.Kdf = S.Kdf == TKdbxKdf::AesKdf ? kkAesKdf : S.Kdf == TKdbxKdf::Argon2d ? kkArgon2d : kkArgon2id;
  out.Cipher = S.Cipher == TKdbxCipher::ChaCha20 ? kcChaCha20 : kcAes256;
  out.Iterations = S.Iterations;
  if (S.Kdf != TKdbxKdf::AesKdf) {
    out.MemoryBytes = S.MemoryBytes;
    out.Parallelism = S.Parallelism;
  }
  return out;
}

} // namespace
} // namespace detail

void TKLPassStorage::SetKeyFile(const ByteArray& Contents) {
  if (!Contents.empty()) detail::KdbxKeyFileKey(Contents); // refused now rather than at the load
  FKeyFile = SecureBytes(Contents);
}

void TKLPassStorage::SetKdbxSettings(const TKLKdbxSettings& Value) {
  const bool argon = Value.Kdf != kkAesKdf;
  if (Value.Iterations < 1 ||
      (argon && (Value.Iterations > detail::KdbxMaxArgon2Iterations || Value.Parallelism < 1 ||
                 Value.Parallelism > detail::KdbxMaxArgon2Lanes || Value.MemoryBytes > detail::KdbxMaxArgon2MemoryBytes ||
                 Value.MemoryBytes < 8 * 1024 * std::uint64_t{Value.Parallelism})) ||
      (!argon && Value.Iterations > detail::KdbxMaxAesRounds)) {
    throw EKLPassStorageException(SKdbxBadParameters);
  }
  FKdbxSettings = Value;
}

void TKLPassStorage::LoadKdbx(TStream& Strm, const String& Password) {
  auto state = std::make_shared<detail::TKdbxState>();
  state->Doc = detail::ReadKdbx(Strm, detail::MakeKey(Password, FKeyFile), FKdbxCostLimit, true);
  detail::TKdbxReader reader{state->Doc, detail::RecycleBinOf(state->Doc), {}, {}, {}, {}};
  const detail::TXmlNode* root = detail::RootGroup(state->Doc);
  if (root == nullptr) throw EKLPassStorageException(SKdbxDamaged);
  reader.GroupNode(*root, String(), true);
  // The store's bin is the file's: on or off as the file has it, its group
  // the bin's path (the usual name until the file has a bin group).
  const bool binEnabled = detail::RecycleBinEnabledOf(state->Doc);
  String binGroup = reader.RecycleBinPath && !reader.RecycleBinPath->empty() ? std::move(*reader.RecycleBinPath)
                                                                             : String(DefaultRecycleBinGroup);
  std::vector<TKLPassDeletedObject> deleted = detail::DeletedObjectsOf(state->Doc);
  std::int32_t maxItems = FHistoryMaxItems;
  std::int64_t maxBytes = FHistoryMaxBytes;
  detail::HistoryBoundsOf(state->Doc, maxItems, maxBytes);
  FDeleted.reserve(FDeleted.size() + deleted.size());
  FKdbxSettings = detail::ToPublic(state->Doc.Settings);
  FKdbxLoadedVersion = state->Doc.LoadedVersion;
  FHistoryMaxItems = maxItems;
  FHistoryMaxBytes = maxBytes;
  FRecycleBinEnabled = binEnabled;
  FRecycleBinGroup.swap(binGroup);
  FLoadedVersion = 0;
  PutGroups(reader.Groups);
  FKdbx = std::move(state);
  FSaveFormat = pfKdbx;
  TakeAll(reader.Made);
  FDeleted.insert(FDeleted.end(), deleted.begin(), deleted.end());
}

void TKLPassStorage::SaveKdbx(TStream& Strm, const String& Password) {
  const std::int64_t nowUtc = static_cast<std::int64_t>(std::time(nullptr));
  detail::TKdbxDocument doc =
      FKdbx ? detail::TKdbxDocument{} : detail::NewDocument(*GetRandomGenerator(), nowUtc);
  if (FKdbx) {
    doc.Root = FKdbx->Doc.Root;
    doc.PublicCustomData = FKdbx->Doc.PublicCustomData;
    doc.Settings = FKdbx->Doc.Settings;
    doc.Binaries = FKdbx->Doc.Binaries; // their bytes shared, not copied
  }
  const detail::TKdbxSettings chosen = detail::ToInternal(FKdbxSettings);
  doc.Settings.Cipher = chosen.Cipher;
  doc.Settings.Kdf = chosen.Kdf;
  doc.Settings.Iterations = chosen.Iterations;
  doc.Settings.MemoryBytes = chosen.MemoryBytes;
  doc.Settings.Parallelism = chosen.Parallelism;
  if (doc.Settings.Version < detail::KdbxVersion40) doc.Settings.Version = detail::KdbxVersion40;

  // A Meta for the bin's settings, where the document has none.
  if (doc.Root.Find("Meta") == nullptr) doc.Root.Children.insert(doc.Root.Children.begin(), detail::TXmlNode("Meta"));
  detail::TXmlNode* root = detail::RootGroup(doc);
  if (root == nullptr) throw EKLPassStorageException(SKdbxDamaged);
  detail::TKdbxWriter writer{doc, *GetRandomGenerator(), {}, detail::RecycleBinOf(doc), {}, {}, nullptr, {}, {}, {}, {}, {}, {}, {},
                             false};
  writer.Taken.reserve(static_cast<std::size_t>(GetCount())); // most records are the file's entries
  writer.TakeEntries(*root, String(), true);
  // The groups the store lists: the root takes the listed root's (its UUID
  // too in a new document), every other listed group is made where the
  // document lacks it, and those it holds take their listed notes and times.
  ListRecordGroups();
  for (const TKLPassGroup& group : FGroups) writer.ListedGroups.emplace(group.Path, &group);
  writer.DocGroupUuids.insert(detail::TKdbxWriter::GroupId(*root));
  writer.CollectGroupUuids(*root);
  // Moved groups first, so that each listed group is found at its path: the
  // document's paths are read once, and again after each move.
  if (FKdbx) {
    std::unordered_map<std::string, String> paths = writer.GroupPaths(*root);
    for (const TKLPassGroup& group : FGroups) {
      const auto held = group.Path.empty() ? paths.end() : paths.find(detail::UuidText(group.Uuid));
      if (held == paths.end() || held->second == group.Path) continue;
      writer.MoveByUuid(*root, group, nowUtc);
      paths = writer.GroupPaths(*root);
    }
  }
  for (const TKLPassGroup& group : FGroups) {
    // KeePassFile, Root, the root group, one Group per name, then Times and
    // its times: a group nested deeper would make a file no reader opens.
    if (const std::size_t depth = 3 + SplitGroupPath(group.Path).size() + 2; depth > detail::KdbxMaxXmlDepth) {
      throw EKLPassStorageException(std::string(SKdbxTooDeep) + ": group '" + StrToUTF8(group.Path) +
                                    "' would nest " + std::to_string(depth) + " elements deep, at most " +
                                    std::to_string(detail::KdbxMaxXmlDepth) + " are read");
    }
    if (group.Path.empty()) {
      if (!FKdbx && std::any_of(group.Uuid.begin(), group.Uuid.end(), [](std::uint8_t b) { return b != 0; })) {
        root->Ensure("UUID").Text = detail::UuidText(group.Uuid);
      }
      if (!group.Name.empty()) root->Ensure("Name").Text = writer.Utf8(group.Name, false, "group name");
      writer.PutListed(*root, group);
    } else if (FRecycleBinEnabled && writer.RecycleBin.empty() && group.Path == FRecycleBinGroup) {
      // The listed bin group of a document without a bin becomes its bin (made
      // as KeePassXC makes one where missing), as the file it came from had it.
      writer.BinGroup(*root, group.Path, nowUtc);
    } else {
      bool made = false;
      detail::TXmlNode& node = writer.GroupAt(*root, group.Path, nowUtc, &made);
      if (!made) writer.PutListed(node, group);
    }
  }
  std::unordered_map<String, std::string> groupIds;
  for (std::int32_t i = 0; i < GetCount(); ++i) {
    TKLPassRecord& rec = *GetRecord(i);
    const std::string uuid = detail::UuidText(rec.FUuid);
    auto taken = writer.Taken.find(uuid);
    const bool isNew = taken == writer.Taken.end();
    writer.Current = &rec;
    bool direct = isNew && rec.FHistory.empty();
    detail::TXmlNode entry = direct  ? writer.NewFoldedEntry(uuid, nowUtc, rec)
                             : isNew ? writer.NewEntry(uuid, nowUtc)
                                     : std::move(taken->second.Entry);
    if (!isNew) direct = writer.RefoldLoaded(entry, rec);
    const std::shared_ptr<const std::string> loaded = entry.Fold;
    if (!direct) detail::Unfold(entry);
    // The entry before this save, without its history: what a version made
    // since the load starts from.
    std::optional<detail::TXmlNode> before;
    if (!isNew && !rec.FHistory.empty()) {
      before.emplace(entry.Name);
      for (const detail::TXmlNode& child : entry.Children) {
        if (child.Name != "History") before->Children.push_back(child);
      }
      before->Attributes = entry.Attributes;
    }
    if (!direct) {
      writer.Fill(entry, rec, isNew);
      writer.FillHistory(entry, before ? &*before : nullptr, rec);
      writer.CheckDepth(entry, rec);
      // Folded again at once: the document never holds all its entries' trees.
      // An entry the record left as it was shares the loaded document's fold,
      // so that a save holds one copy of what did not change.
      detail::FoldChildren(entry);
      if (loaded != nullptr && entry.Fold != nullptr && *entry.Fold == *loaded) entry.Fold = loaded;
    }
    // A record that stayed goes back to its group; one moved to the store's
    // bin goes to the file's bin (made where the file has none).
    std::string group;
    if (!isNew && taken->second.Path == rec.FGroup) {
      group = taken->second.Group;
    } else if (FRecycleBinEnabled && rec.FGroup == FRecycleBinGroup) {
      group = writer.BinGroup(*root, rec.FGroup, nowUtc);
    } else {
      // Looked up once a path: nothing in this loop renames or moves a group.
      auto [known, fresh] = groupIds.try_emplace(rec.FGroup);
      if (fresh) known->second = detail::TKdbxWriter::GroupId(writer.GroupAt(*root, rec.FGroup, nowUtc));
      group = known->second;
    }
    if (!isNew) writer.Taken.erase(taken);
    writer.Pending[group].push_back(std::move(entry));
  }
  writer.PlaceEntries(*root);
  if (detail::RecycleBinEnabledOf(doc) != FRecycleBinEnabled) {
    writer.Meta().Ensure("RecycleBinEnabled").Text = FRecycleBinEnabled ? "True" : "False";
  }
  detail::PutDeletedObjects(doc, FDeleted);
  writer.CompactBinaries();
  detail::WriteKdbx(Strm, doc, detail::MakeKey(Password, FKeyFile), *GetRandomGenerator());
}

namespace {

// InBin: Node is within a group deleted into the recycle bin, whose entries
// are no records (those of the bin itself are).
void Count(const detail::TXmlNode& Node, const std::string& RecycleBin, bool InBin, TKLKdbxCarried& C) {
  if (Node.IsFolded()) return Count(detail::Unfolded(Node), RecycleBin, InBin, C);
  bool isBin = false;
  if (Node.Name == "Group") {
    const detail::TXmlNode* uuid = Node.Find("UUID");
    isBin = uuid != nullptr && !RecycleBin.empty() && uuid->Text == RecycleBin;
  }
  const bool bin = InBin;
  if (Node.Name == "Entry" && bin) ++C.RecycledEntries;
  if (Node.Name == "History") {
    C.HistoryEntries += static_cast<std::int32_t>(std::count_if(
        Node.Children.begin(), Node.Children.end(), [](const detail::TXmlNode& n) { return n.Name == "Entry"; }));
    return;
  }
  if (Node.Name == "CustomIcons") C.CustomIcons += static_cast<std::int32_t>(Node.Children.size());
  if (Node.Name == "DeletedObjects") C.DeletedObjects += static_cast<std::int32_t>(Node.Children.size());
  if (Node.Name == "CustomData") C.CustomData += static_cast<std::int32_t>(Node.Children.size());
  if (Node.Name == "Association") ++C.AutoTypeAssociations;
  if (Node.Name == "Entry" || Node.Name == "Group") {
    const detail::TXmlNode* icon = Node.Find("IconID");
    const char* standard = Node.Name == "Entry" ? "0" : "48";
    if (Node.Find("CustomIconUUID") != nullptr || (icon != nullptr && icon->Text != standard)) ++C.Icons;
  }
  if (Node.Name == "Group") {
    auto set = [&](const char* Name, const char* Unset) {
      const detail::TXmlNode* n = Node.Find(Name);
      return n != nullptr && n->Text != Unset;
    };
    if (set("Notes", "") || set("DefaultAutoTypeSequence", "") || set("EnableAutoType", "null") ||
        set("EnableSearching", "null"))
      ++C.GroupSettings;
  }
  if (Node.Name == "Meta") {
    for (const char* name : {"DatabaseName", "DatabaseDescription", "DefaultUserName", "Color"}) {
      const detail::TXmlNode* n = Node.Find(name);
      if (n != nullptr && !n->Text.empty()) ++C.DatabaseSettings;
    }
  }
  if (Node.Name == "Entry" && bin) return;
  for (const detail::TXmlNode& child : Node.Children)
    Count(child, RecycleBin, bin || (isBin && child.Name == "Group"), C);
}

} // namespace

TKLKdbxCarried TKLPassStorage::GetKdbxCarried() const {
  TKLKdbxCarried carried;
  if (FKdbx) Count(FKdbx->Doc.Root, detail::RecycleBinOf(FKdbx->Doc), false, carried);
  return carried;
}

bool IsKdbxStream(TStream& Strm) {
  const std::int64_t start = Strm.GetPosition();
  std::uint8_t head[8];
  const std::int32_t got = Strm.Read(head, sizeof(head));
  Strm.SetPosition(start);
  return detail::IsKdbxSignature(head, static_cast<std::size_t>(std::max(got, 0)));
}

TKLKdbxFileInfo ReadKdbxFileInfo(TStream& Strm) {
  // The header and its hash, and no more: the payload is not needed.
  ByteArray head(detail::KdbxMaxHeaderSize + 32);
  std::size_t size = 0;
  while (size < head.size()) {
    const std::int32_t got = Strm.Read(head.data() + size, static_cast<std::int32_t>(head.size() - size));
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  head.resize(size);
  TKLKdbxFileInfo info;
  const detail::TKdbxSettings settings = detail::ReadKdbxHeader(head, info.Version);
  info.Compressed = settings.Compressed;
  info.Settings = detail::ToPublic(settings);
  if (settings.Kdf == detail::TKdbxKdf::AesKdf) {
    info.Settings.MemoryBytes = 0;
    info.Settings.Parallelism = 0;
  }
  return info;
}

TKLKdbxFileInfo ReadKdbxFileInfo(const String& FileName) {
  TFileStream file(FileName, fmOpenRead);
  return ReadKdbxFileInfo(file);
}

std::uint64_t KdbxKdfCost(const TKLKdbxSettings& Settings) noexcept {
  return detail::KdbxKdfCost(detail::ToInternal(Settings).Kdf, Settings.Iterations, Settings.MemoryBytes);
}

std::uint64_t KdbxCalibrateIterations(const TKLKdbxSettings& Settings, std::uint32_t TargetMilliseconds) {
  TKLKdbxSettings probe = Settings;
  probe.Iterations = Settings.Kdf == kkAesKdf ? 100000 : 1;
  detail::TKdbxDocument doc;
  doc.Settings = detail::ToInternal(probe);
  doc.Root.Children.emplace_back("Root");
  TKLFastRandomGenerator random;
  TMemoryStream sink;
  detail::TKdbxCompositeKey key;
  key.AddPassword(u"calibration");
  const auto start = std::chrono::steady_clock::now();
  detail::WriteKdbx(sink, doc, key, random);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  const double per = static_cast<double>(std::max<std::int64_t>(elapsed, 1)) / static_cast<double>(probe.Iterations);
  const auto wanted = static_cast<std::uint64_t>(TargetMilliseconds * 1000.0 / per);
  const std::uint64_t limit = Settings.Kdf == kkAesKdf ? detail::KdbxMaxAesRounds : detail::KdbxMaxArgon2Iterations;
  return std::clamp<std::uint64_t>(wanted, 1, limit);
}

} // namespace kl
