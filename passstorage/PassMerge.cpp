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
      copy->FGroup = theirs->FGroup;
      copy->FHistory.reserve(theirs->FHistory.size());
      for (const auto& version : theirs->FHistory) copy->FHistory.push_back(version->Snapshot());
      added.push_back(std::move(copy));
      ++report.Added;
      continue;
    }
    TKLPassRecord& ours = *found->second;
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
    const String& theirGroup = theirs->FGroup;
    if (theirs->FLocationChangeDate > ours.FLocationChangeDate ||
        (theirs->FLocationChangeDate == ours.FLocationChangeDate && theirGroup > ours.FGroup)) {
      if (theirGroup != ours.FGroup) {
        ours.FGroup = theirGroup;
        ++report.Moved;
        changed = true;
      }
      ours.FLocationChangeDate = theirs->FLocationChangeDate;
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
  PutGroups(Source.FGroups);
  FDeleted.swap(deleted);
  return report;
}

} // namespace kl
