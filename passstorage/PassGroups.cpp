// The store's group tree: paths of escaped names, and the groups it lists.
#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "foundation/Clock.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

namespace {

constexpr Char kSeparator = u'/';
constexpr Char kEscape = u'\\';

bool IsZero(const TKLPassUuid& Uuid) noexcept {
  return std::all_of(Uuid.begin(), Uuid.end(), [](std::uint8_t b) { return b == 0; });
}

std::string_view UuidKey(const TKLPassUuid& Uuid) noexcept {
  return std::string_view(reinterpret_cast<const char*>(Uuid.data()), Uuid.size());
}

// Path becomes its parent's path; false for the root.
bool ParentOf(String& Path) {
  std::vector<String> names = SplitGroupPath(Path);
  if (names.empty()) return false;
  names.pop_back();
  Path = JoinGroupPath(names);
  return true;
}

} // namespace

// A "\" escapes only the separator and itself; elsewhere it is a character
// of the name, so that a name holding one reads as it was typed.
std::vector<String> SplitGroupPath(const String& Path) {
  std::vector<String> names;
  if (Path.empty()) return names;
  String name;
  for (std::size_t i = 0; i < Path.size(); ++i) {
    const Char c = Path[i];
    if (c == kEscape && i + 1 < Path.size() && (Path[i + 1] == kSeparator || Path[i + 1] == kEscape)) {
      name += Path[++i];
    } else if (c == kSeparator) {
      names.push_back(std::move(name));
      name.clear();
    } else {
      name += c;
    }
  }
  names.push_back(std::move(name));
  return names;
}

namespace {

void AppendEscaped(String& Out, const String& Name) {
  for (std::size_t i = 0; i < Name.size(); ++i) {
    const Char c = Name[i];
    const bool escapeBackslash =
        c == kEscape && (i + 1 == Name.size() || Name[i + 1] == kSeparator || Name[i + 1] == kEscape);
    if (c == kSeparator || escapeBackslash) Out += kEscape;
    Out += c;
  }
}

} // namespace

String GroupPathChild(const String& Path, const String& Name) {
  String out = Path;
  if (!Path.empty()) out += kSeparator;
  AppendEscaped(out, Name);
  return out;
}

String JoinGroupPath(const std::vector<String>& Names) {
  String out;
  for (std::size_t i = 0; i < Names.size(); ++i) {
    if (i > 0) out += kSeparator;
    AppendEscaped(out, Names[i]);
  }
  return out;
}

bool IsValidGroupPath(const String& Path) {
  if (Path.find(kSeparator) == String::npos) return true; // one name, or the root
  for (const String& name : SplitGroupPath(Path)) {
    if (name.empty()) return false;
  }
  return true;
}

void TKLPassStorage::CheckGroup(const String& Group) {
  if (!IsValidGroupPath(Group)) throw EKLPassStorageException(SWrongGroupName);
}

const TKLPassGroup* TKLPassStorage::FindGroup(const String& Path) const {
  for (const TKLPassGroup& group : FGroups) {
    if (group.Path == Path) return &group;
  }
  return nullptr;
}

namespace {

// The paths and UUIDs of a list of groups, to add to it in time linear in
// what is added.
struct TGroupIndex {
  std::unordered_map<String, std::size_t> Paths;
  std::unordered_set<std::string> Uuids;

  explicit TGroupIndex(const std::vector<TKLPassGroup>& Groups) {
    for (std::size_t i = 0; i < Groups.size(); ++i) {
      Paths.emplace(Groups[i].Path, i);
      Uuids.emplace(UuidKey(Groups[i].Uuid));
    }
  }
};

// A random UUID, drawn again (a few times, never without end: a generator
// may be a test's constant one) while it is zero or listed already.
TKLPassUuid FreshUuid(TKLBaseRandomGenerator& Random, const TGroupIndex& Index) {
  TKLPassUuid uuid{};
  for (int attempt = 0; attempt < 4; ++attempt) {
    Random.Generate(uuid.data(), static_cast<std::int32_t>(uuid.size()));
    if (!IsZero(uuid) && !Index.Uuids.contains(std::string(UuidKey(uuid)))) break;
  }
  return uuid;
}

// Appends Group to Groups after its parents that Groups lacks (made with
// fresh UUIDs, stamped Now), from the top down.
void Append(std::vector<TKLPassGroup>& Groups, TGroupIndex& Index, TKLPassGroup Group, TKLBaseRandomGenerator& Random) {
  std::vector<TKLPassGroup> added;
  String parent = Group.Path;
  while (ParentOf(parent) && !Index.Paths.contains(parent)) {
    TKLPassGroup made;
    made.Path = parent;
    made.Uuid = FreshUuid(Random, Index);
    Index.Uuids.emplace(UuidKey(made.Uuid));
    made.CreationDate = made.ModificationDate = made.LastAccessDate = made.LocationChangeDate = made.ExpiryDate =
        NowUnixSeconds();
    added.push_back(std::move(made));
  }
  std::reverse(added.begin(), added.end());
  if (IsZero(Group.Uuid)) Group.Uuid = FreshUuid(Random, Index);
  added.push_back(std::move(Group));
  for (TKLPassGroup& group : added) {
    Index.Paths.emplace(group.Path, Groups.size());
    Index.Uuids.emplace(UuidKey(group.Uuid));
    Groups.push_back(std::move(group));
  }
}

} // namespace

void TKLPassStorage::PutGroup(const TKLPassGroup& Group) {
  CheckGroup(Group.Path);
  TKLPassGroup put = Group;
  if (!put.Path.empty()) put.Name.clear();
  for (const TKLPassGroup& listed : FGroups) {
    if (!IsZero(put.Uuid) && listed.Uuid == put.Uuid && listed.Path != put.Path) {
      throw EKLPassStorageException(SWrongGroupName);
    }
  }
  TGroupIndex index(FGroups);
  if (const auto listed = index.Paths.find(put.Path); listed != index.Paths.end()) {
    if (IsZero(put.Uuid)) put.Uuid = FGroups[listed->second].Uuid;
    FGroups[listed->second] = std::move(put);
    return;
  }
  std::vector<TKLPassGroup> groups = FGroups;
  Append(groups, index, std::move(put), *GetRandomGenerator());
  FGroups.swap(groups);
}

// Each path and each UUID is looked up once in a map of the groups listed,
// so that joining two large trees stays linear.
void TKLPassStorage::PutGroups(const std::vector<TKLPassGroup>& Groups) {
  for (const TKLPassGroup& group : Groups) CheckGroup(group.Path);
  std::vector<TKLPassGroup> merged = FGroups;
  TGroupIndex index(merged);
  for (const TKLPassGroup& group : Groups) {
    const auto listed = index.Paths.find(group.Path);
    if (listed != index.Paths.end()) {
      TKLPassGroup& mine = merged[listed->second];
      if (group.ModificationDate > mine.ModificationDate) {
        const TKLPassUuid uuid = mine.Uuid; // the group stays the one listed here
        mine = group;
        mine.Uuid = uuid;
        if (!mine.Path.empty()) mine.Name.clear();
      }
    } else if (IsZero(group.Uuid) || !index.Uuids.contains(std::string(UuidKey(group.Uuid)))) {
      TKLPassGroup added = group;
      if (!added.Path.empty()) added.Name.clear();
      Append(merged, index, std::move(added), *GetRandomGenerator());
    }
  }
  FGroups.swap(merged);
}

namespace {

// Path with From, where it is From or one of its subgroups, replaced by To.
bool Rebase(const String& Path, const String& From, const String& To, String& Out) {
  if (Path == From) {
    Out = To;
    return true;
  }
  const std::vector<String> names = SplitGroupPath(Path);
  const std::vector<String> prefix = SplitGroupPath(From);
  if (names.size() <= prefix.size() || !std::equal(prefix.begin(), prefix.end(), names.begin())) return false;
  std::vector<String> moved = SplitGroupPath(To);
  moved.insert(moved.end(), names.begin() + static_cast<std::ptrdiff_t>(prefix.size()), names.end());
  Out = JoinGroupPath(moved);
  return true;
}

} // namespace

void TKLPassStorage::MoveGroup(const String& From, const String& To) {
  CheckGroup(From);
  CheckGroup(To);
  String within;
  if (From.empty() || To.empty() || FindGroup(From) == nullptr || FindGroup(To) != nullptr ||
      Rebase(To, From, To, within)) {
    throw EKLPassStorageException(SWrongGroupName);
  }
  const std::int64_t now = NowUnixSeconds();
  // The groups that stay keep their places; To's missing parents follow
  // them, then the moved groups in their order, so that parents still come
  // before their subgroups.
  std::vector<TKLPassGroup> kept, moved;
  for (const TKLPassGroup& group : FGroups) {
    String path;
    if (!Rebase(group.Path, From, To, path)) {
      kept.push_back(group);
      continue;
    }
    TKLPassGroup& m = moved.emplace_back(group);
    m.Path = std::move(path);
    if (group.Path == From) {
      // As KeePass stamps them: a new name is a change of the group, a new
      // parent a change of its location.
      String fromParent = From, toParent = To;
      ParentOf(fromParent);
      ParentOf(toParent);
      if (fromParent != toParent) m.LocationChangeDate = now;
      if (SplitGroupPath(From).back() != SplitGroupPath(To).back()) m.ModificationDate = now;
    }
  }
  TGroupIndex index(kept);
  for (const TKLPassGroup& m : moved) index.Uuids.emplace(UuidKey(m.Uuid));
  if (String parent = To; ParentOf(parent) && !index.Paths.contains(parent)) {
    TKLPassGroup made;
    made.Path = parent;
    made.CreationDate = made.ModificationDate = made.LastAccessDate = made.LocationChangeDate = made.ExpiryDate =
        now;
    Append(kept, index, std::move(made), *GetRandomGenerator());
  }
  for (TKLPassGroup& m : moved) kept.push_back(std::move(m));
  std::vector<std::pair<TKLPassRecord*, String>> records;
  for (TKLPassRecord* rec : FList) {
    if (String path; Rebase(rec->FGroup, From, To, path)) records.emplace_back(rec, std::move(path));
  }
  String bin;
  const bool binMoves = Rebase(FRecycleBinGroup, From, To, bin);
  FGroups.swap(kept);
  // The records stay in their group: only the group's own move is stamped,
  // as KeePass stamps it, and a merge takes them along by the group's UUID.
  for (auto& [rec, path] : records) rec->FGroup.swap(path);
  if (binMoves) FRecycleBinGroup.swap(bin);
}

void TKLPassStorage::ListRecordGroups() {
  TGroupIndex index(FGroups);
  std::vector<TKLPassGroup> merged;
  bool any = false;
  for (const TKLPassRecord* rec : FList) {
    if (rec->FGroup.empty() || index.Paths.contains(rec->FGroup)) continue;
    if (!any) merged = FGroups;
    any = true;
    TKLPassGroup group;
    group.Path = rec->FGroup;
    group.CreationDate = group.ModificationDate = group.LastAccessDate = group.LocationChangeDate =
        group.ExpiryDate = NowUnixSeconds();
    Append(merged, index, std::move(group), *GetRandomGenerator());
  }
  if (any) FGroups.swap(merged);
}

} // namespace kl
