#include <algorithm>
#include <memory>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "passstorage/KLPassStorage.h"
#include "foundation/SecureMemory.h"

namespace kl {

namespace {

std::string_view Key(const TKLPassUuid& Uuid) noexcept {
  return {reinterpret_cast<const char*>(Uuid.data()), Uuid.size()};
}

// The group trees of two copies joined as KeePass joins them: by UUID, not by
// path. Of a group both copies list, the version modified later gives its
// name, notes and times, and the one whose location changed later its parent
// (on a tie, the parent path that compares greater, so that either copy
// merged into the other gives one tree). Each copy's root is the other's. A
// move in one copy that would put a group within itself, beside a move in
// the other, leaves the group that closes the loop under its parent here. Two
// groups that end at one path (made apart in each copy under one name) are
// one group, the one listed first, with the later modified version's notes
// and times. Linear in the groups but for the length of the paths it writes.
class TGroupMerge {
public:
  TGroupMerge(const std::vector<TKLPassGroup>& Here, const std::vector<TKLPassGroup>& There) {
    Read(Here, 0);
    Read(There, 1);
    for (bool placed = false; !placed;) {
      for (TNode& node : FNodes) {
        node.State = 0;
        node.Alias = kNone;
      }
      FByPath.clear();
      placed = true;
      for (std::size_t i = 0; i < FNodes.size() && placed; ++i) placed = Place(i);
    }
    for (TNode& node : FNodes) {
      if (node.Alias == kNone) continue;
      TKLPassGroup& kept = FNodes[Resolve(node.Alias)].Group;
      if (node.Group.ModificationDate > kept.ModificationDate) {
        const TKLPassUuid uuid = kept.Uuid;
        kept = node.Group;
        kept.Uuid = uuid;
      }
    }
  }

  // The merged groups, parents before their subgroups, in the order listed.
  std::vector<TKLPassGroup> Groups() const {
    std::vector<std::vector<std::size_t>> children(FNodes.size());
    std::vector<std::size_t> tops;
    for (std::size_t i = 0; i < FNodes.size(); ++i) {
      if (FNodes[i].Alias != kNone) continue;
      (FNodes[i].Parent == kNone ? tops : children[Resolve(FNodes[i].Parent)]).push_back(i);
    }
    std::vector<TKLPassGroup> out;
    out.reserve(FNodes.size());
    std::vector<std::size_t> stack(tops.rbegin(), tops.rend());
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      TKLPassGroup group = FNodes[i].Group;
      group.Path = FNodes[i].Path;
      if (!group.Path.empty()) group.Name.clear();
      out.push_back(std::move(group));
      stack.insert(stack.end(), children[i].rbegin(), children[i].rend());
    }
    return out;
  }

  // The path in the merged tree of a record's group, Path in one copy (0
  // here, 1 there): the group's, or that of its nearest listed parent with
  // the names below it; Path itself where the copy lists none of them.
  String PathOf(const String& Path, int Copy) const {
    std::size_t at = kNone;
    const String tail = Nearest(Path, FPaths[Copy], at);
    if (at == kNone) return Path;
    return Join(FNodes[Resolve(at)].Path, tail);
  }

private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct TNode {
    TKLPassGroup Group; // the version whose modification wins
    String Name;        // that version's last name
    String Above;       // the names between it and its parent, escaped, where
                        // the copy whose location wins does not list them
    std::size_t Parent = kNone, HereParent = kNone;
    String ParentPath; // in the copy whose location wins, for ties
    bool Root = false;
    String Path; // in the merged tree
    std::size_t Alias = kNone;
    int State = 0; // 0 unplaced, 1 being placed, 2 placed
  };

  static String Join(const String& Parent, const String& Tail) {
    if (Parent.empty()) return Tail;
    if (Tail.empty()) return Parent;
    return Parent + u'/' + Tail;
  }

  // The nearest group Paths lists at Path or above it (At, kNone for none),
  // and the escaped names below it (Path itself for none).
  static String Nearest(const String& Path, const std::unordered_map<String, std::size_t>& Paths, std::size_t& At) {
    std::vector<String> names = SplitGroupPath(Path);
    std::vector<String> below;
    for (;;) {
      if (const auto found = Paths.find(JoinGroupPath(names)); found != Paths.end()) {
        At = found->second;
        return JoinGroupPath(std::vector<String>(below.rbegin(), below.rend()));
      }
      if (names.empty()) break;
      below.push_back(std::move(names.back()));
      names.pop_back();
    }
    At = kNone;
    return Path;
  }

  void Read(const std::vector<TKLPassGroup>& Groups, int Copy) {
    auto& paths = FPaths[Copy];
    for (const TKLPassGroup& group : Groups) {
      const bool root = group.Path.empty();
      std::size_t parent = kNone;
      String name, above, parentPath;
      if (!root) {
        std::vector<String> names = SplitGroupPath(group.Path);
        name = std::move(names.back());
        names.pop_back();
        parentPath = JoinGroupPath(names);
        above = Nearest(parentPath, paths, parent);
      }
      // A group without a UUID is known by its path alone.
      const bool zero = std::all_of(group.Uuid.begin(), group.Uuid.end(), [](std::uint8_t b) { return b == 0; });
      std::string key;
      if (root) {
        key = "/";
      } else if (zero) {
        key.reserve(1 + group.Path.size() * sizeof(Char));
        key.push_back('~');
        key.append(reinterpret_cast<const char*>(group.Path.data()), group.Path.size() * sizeof(Char));
      } else {
        key = Key(group.Uuid);
      }
      const auto [at, fresh] = FKeys.emplace(std::move(key), FNodes.size());
      if (fresh) {
        TNode& node = FNodes.emplace_back();
        node.Group = group;
        node.Name = std::move(name);
        node.Above = std::move(above);
        node.Parent = parent;
        node.HereParent = Copy == 0 ? parent : kNone;
        node.ParentPath = std::move(parentPath);
        node.Root = root;
      } else {
        TNode& node = FNodes[at->second];
        const bool later = group.LocationChangeDate > node.Group.LocationChangeDate;
        const bool tie = group.LocationChangeDate == node.Group.LocationChangeDate && parentPath > node.ParentPath;
        const bool moved = !root && (later || tie);
        if (group.ModificationDate > node.Group.ModificationDate) {
          const TKLPassUuid uuid = node.Group.Uuid; // the root keeps the UUID listed here
          const std::int64_t located = node.Group.LocationChangeDate;
          node.Group = group;
          node.Group.Uuid = uuid;
          node.Group.LocationChangeDate = located;
          node.Name = std::move(name);
        }
        if (moved) {
          node.Parent = parent;
          node.Above = std::move(above);
          node.ParentPath = std::move(parentPath);
          node.Group.LocationChangeDate = group.LocationChangeDate;
        }
      }
      paths.emplace(group.Path, at->second);
    }
  }

  std::size_t Resolve(std::size_t I) const {
    while (FNodes[I].Alias != kNone) I = FNodes[I].Alias;
    return I;
  }

  // Gives node I its path after its parents'; false, with the node that
  // closed a loop put back under its parent here, when the parents loop.
  bool Place(std::size_t I) {
    if (FNodes[I].State == 2) return true;
    if (FNodes[I].State == 1) {
      FNodes[I].Parent = FNodes[I].HereParent != kNone ? FNodes[I].HereParent : FRootOf();
      FNodes[I].HereParent = kNone; // once: a second loop through it goes to the root
      return false;
    }
    FNodes[I].State = 1;
    if (FNodes[I].Parent != kNone && !Place(FNodes[I].Parent)) return false;
    TNode& node = FNodes[I];
    if (!node.Root) {
      const String& parent = node.Parent == kNone ? String() : FNodes[Resolve(node.Parent)].Path;
      node.Path = Join(Join(parent, node.Above), GroupPathChild(String(), node.Name));
    }
    node.State = 2;
    if (const auto [at, fresh] = FByPath.emplace(node.Path, I); !fresh) node.Alias = at->second;
    return true;
  }

  std::size_t FRootOf() const {
    const auto found = FKeys.find("/");
    return found == FKeys.end() ? kNone : found->second;
  }

  std::vector<TNode> FNodes;
  std::unordered_map<std::string, std::size_t> FKeys;
  std::unordered_map<String, std::size_t> FPaths[2];
  std::unordered_map<String, std::size_t> FByPath;
};

} // namespace

// The merge of two copies: one pass over each copy's records, keyed by UUID,
// and one over each record's versions.
TKLMergeReport TKLPassStorage::Merge(const TKLPassStorage& Source) {
  TKLMergeReport report;
  if (&Source == this) {
    report.Kept = GetCount();
    return report;
  }
  // The texts of a version in one order, for ties and for telling versions apart.
  const auto texts = [](const TKLPassRecord& R) {
    return std::tie(R.FTitle, R.FUsername, R.FPassword, R.FURL, R.FNote);
  };
  const auto sameContent = [&](const TKLPassRecord& A, const TKLPassRecord& B) {
    if (texts(A) != texts(B) || A.FTags != B.FTags || A.FExpires != B.FExpires || A.FExpiryDate != B.FExpiryDate ||
        A.FCustomFields.size() != B.FCustomFields.size() || A.FAttachments.size() != B.FAttachments.size()) {
      return false;
    }
    for (std::size_t i = 0; i < A.FCustomFields.size(); ++i) {
      const TKLPassField &a = A.FCustomFields[i], &b = B.FCustomFields[i];
      if (a.Name != b.Name || a.Value != b.Value || a.Protected != b.Protected) return false;
    }
    for (std::size_t i = 0; i < A.FAttachments.size(); ++i) {
      const auto &a = A.FAttachments[i], &b = B.FAttachments[i];
      if (a.Name != b.Name || (a.Data != b.Data && a.Data->Get() != b.Data->Get())) return false;
    }
    return true;
  };
  // True when A's content is the one a merge keeps as the record's.
  const auto wins = [&](const TKLPassRecord& A, const TKLPassRecord& B) {
    if (A.FModificationDate != B.FModificationDate) return A.FModificationDate > B.FModificationDate;
    return texts(A) > texts(B);
  };
  std::unordered_map<std::string_view, TKLPassRecord*> here;
  here.reserve(static_cast<std::size_t>(GetCount()));
  for (TKLPassRecord* rec : FList) here.emplace(Key(rec->FUuid), rec);
  std::unordered_map<std::string_view, std::int64_t> deletedHere, deletedThere;
  for (const TKLPassDeletedObject& d : FDeleted) {
    auto [at, added] = deletedHere.emplace(Key(d.Uuid), d.DeletionDate);
    if (!added) at->second = std::max(at->second, d.DeletionDate);
  }
  for (const TKLPassDeletedObject& d : Source.FDeleted) {
    auto [at, added] = deletedThere.emplace(Key(d.Uuid), d.DeletionDate);
    if (!added) at->second = std::max(at->second, d.DeletionDate);
  }
  const auto lastTouch = [](const TKLPassRecord& R) { return std::max(R.FModificationDate, R.FLocationChangeDate); };
  const TGroupMerge groups(FGroups, Source.FGroups);
  std::unordered_set<const TKLPassRecord*> matched;
  matched.reserve(static_cast<std::size_t>(Source.GetCount()));

  std::vector<std::unique_ptr<TKLPassRecord>> added;
  for (const TKLPassRecord* theirs : Source.FList) {
    const auto found = here.find(Key(theirs->FUuid));
    if (found == here.end()) {
      // Deleted here after its last change there: it stays deleted.
      if (const auto d = deletedHere.find(Key(theirs->FUuid)); d != deletedHere.end() && d->second >= lastTouch(*theirs)) {
        continue;
      }
      std::unique_ptr<TKLPassRecord> copy = theirs->Snapshot();
      copy->FIsVersion = false;
      copy->FGroup = groups.PathOf(theirs->FGroup, 1);
      copy->FHistory.reserve(theirs->FHistory.size());
      for (const auto& version : theirs->FHistory) copy->FHistory.push_back(version->Snapshot());
      added.push_back(std::move(copy));
      ++report.Added;
      continue;
    }
    TKLPassRecord& ours = *found->second;
    matched.insert(&ours);
    bool changed = false;
    // Every version either copy knows, the losing content among them, once each.
    std::vector<std::unique_ptr<TKLPassRecord>> versions;
    versions.reserve(ours.FHistory.size() + theirs->FHistory.size() + 1);
    for (auto& version : ours.FHistory) versions.push_back(std::move(version));
    ours.FHistory.clear();
    for (const auto& version : theirs->FHistory) versions.push_back(version->Snapshot());
    // The version that loses joins the history: the other content, or the
    // same content stamped earlier (a move that stamped it too), as KeePass
    // keeps every stamp it has seen.
    const bool same = sameContent(ours, *theirs);
    const bool theirsWins = !same && wins(*theirs, ours);
    if (!same || ours.FModificationDate != theirs->FModificationDate) {
      const bool theirsLoses = same ? theirs->FModificationDate < ours.FModificationDate : !theirsWins;
      versions.push_back(theirsLoses ? theirs->Snapshot() : ours.Snapshot());
    }
    if (theirsWins) {
      for (TKLPassRecord::TField text : {&TKLPassRecord::FTitle, &TKLPassRecord::FUsername, &TKLPassRecord::FPassword,
                                         &TKLPassRecord::FURL, &TKLPassRecord::FNote}) {
        String copy = (*theirs).*text;
        WipeString(ours.*text);
        (ours.*text).swap(copy);
      }
      std::vector<TKLPassField> fields = theirs->FCustomFields;
      for (TKLPassField& field : ours.FCustomFields) {
        WipeString(field.Value);
        WipeString(field.Name);
      }
      ours.FCustomFields.swap(fields);
      ours.FTags = theirs->FTags;
      ours.FExpires = theirs->FExpires;
      ours.FExpiryDate = theirs->FExpiryDate;
      ours.FAttachments = theirs->FAttachments;
      ours.FModificationDate = theirs->FModificationDate;
      ++report.Updated;
      changed = true;
    } else if (same && theirs->FModificationDate > ours.FModificationDate) {
      // The same content stamped later there: the later stamp, whichever
      // copy merges into which, the earlier one now a version.
      ours.FModificationDate = theirs->FModificationDate;
    }
    std::stable_sort(versions.begin(), versions.end(), [&](const auto& A, const auto& B) {
      if (A->FModificationDate != B->FModificationDate) return A->FModificationDate < B->FModificationDate;
      return texts(*A) < texts(*B);
    });
    for (auto& version : versions) {
      if (!ours.FHistory.empty() && ours.FHistory.back()->FModificationDate == version->FModificationDate &&
          sameContent(*ours.FHistory.back(), *version)) {
        continue;
      }
      if (sameContent(ours, *version) && ours.FModificationDate == version->FModificationDate) continue;
      version->FIsVersion = true;
      version->FUuid = ours.FUuid;
      ours.FHistory.push_back(std::move(version));
    }
    const std::size_t before = ours.FHistory.size();
    ours.TrimHistory(FHistoryMaxItems, FHistoryMaxBytes);
    changed = changed || before != ours.FHistory.size();
    // The record goes where the copy that moved it later has it, in the
    // merged tree: a group moved as a whole takes the records it holds.
    const String& theirGroup = theirs->FGroup;
    bool theirPlace = false;
    if (theirs->FLocationChangeDate > ours.FLocationChangeDate ||
        (theirs->FLocationChangeDate == ours.FLocationChangeDate && theirGroup > ours.FGroup)) {
      theirPlace = true;
      ours.FLocationChangeDate = theirs->FLocationChangeDate;
    }
    if (String place = groups.PathOf(theirPlace ? theirGroup : ours.FGroup, theirPlace ? 1 : 0); place != ours.FGroup) {
      ours.FGroup.swap(place);
      ++report.Moved;
      changed = true;
    }
    ours.FCreationDate = std::min(ours.FCreationDate, theirs->FCreationDate);
    ours.FLastAccessDate = std::max(ours.FLastAccessDate, theirs->FLastAccessDate);
    if (!changed) ++report.Kept;
  }

  // Deletions there later than the last change here remove the record here.
  std::vector<TKLPassRecord*> doomed;
  for (const auto& [uuid, when] : deletedThere) {
    const auto found = here.find(uuid);
    if (found != here.end() && when >= lastTouch(*found->second)) doomed.push_back(found->second);
  }
  // The records only this copy holds follow their groups' moves there.
  for (TKLPassRecord* rec : FList) {
    if (matched.contains(rec)) continue;
    if (String place = groups.PathOf(rec->FGroup, 0); place != rec->FGroup) {
      rec->FGroup.swap(place);
      ++report.Moved;
    }
  }
  // FDeleted is left as it is until the end: deletedHere's keys point into it.
  FList.Reserve(added.size());
  for (auto& rec : added) Take(rec.release());
  for (TKLPassRecord* rec : doomed) {
    here.erase(Key(rec->FUuid));
    Delete(rec);
    delete rec;
    ++report.Deleted;
  }
  // The deleted objects of both, each once with its latest time, but for the
  // records alive now.
  std::unordered_set<std::string_view> alive;
  alive.reserve(static_cast<std::size_t>(GetCount()));
  for (const TKLPassRecord* rec : FList) alive.insert(Key(rec->FUuid));
  std::vector<TKLPassDeletedObject> deleted;
  std::unordered_set<std::string_view> seen;
  const std::vector<TKLPassDeletedObject>* lists[] = {&FDeleted, &Source.FDeleted};
  for (const std::vector<TKLPassDeletedObject>* list : lists) {
    for (const TKLPassDeletedObject& d : *list) {
      const std::string_view key = Key(d.Uuid);
      if (alive.count(key) != 0 || !seen.insert(key).second) continue;
      const auto here_ = deletedHere.find(key);
      const auto there = deletedThere.find(key);
      TKLPassDeletedObject item = d;
      if (here_ != deletedHere.end()) item.DeletionDate = std::max(item.DeletionDate, here_->second);
      if (there != deletedThere.end()) item.DeletionDate = std::max(item.DeletionDate, there->second);
      deleted.push_back(item);
    }
  }
  FGroups = groups.Groups();
  FRecycleBinGroup = groups.PathOf(FRecycleBinGroup, 0);
  FDeleted.swap(deleted);
  return report;
}

} // namespace kl
