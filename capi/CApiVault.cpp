// The C interface: password vaults, their files, import and export.

#include <memory>
#include <unordered_map>

#include "capi/CApiSupport.h"
#include "foundation/Clock.h"
#include "foundation/KLGeneral.h"
#include "foundation/PointerList.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassExchange.h"
#include "passstorage/KLPassSearch.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"

namespace {

struct TVault {
  kl::TKLPassStorage Store;
  kl::String File;
  kl::String Master; // wiped when replaced and when the vault goes
  TVault() { Store.SetRefuseChangedFile(true); }
  ~TVault() { kl::WipeString(Master); }
  void SetMaster(const kl::String& Value) {
    kl::WipeString(Master);
    Master = Value;
  }
};

} // namespace

using namespace kl::capi;

namespace {

kl::TKLPassRecord& RecordAt(const TVault& Vault, size_t Index) {
  return *Vault.Store.GetRecord(CheckedIndex(Index, Vault.Store.GetCount(), "no record at this index"));
}

kl::TKLKdfParameters Cost(uint32_t MemoryKiB, uint32_t Passes, const kl::TKLKdfParameters& Base) {
  return {MemoryKiB ? MemoryKiB : Base.MemoryKiB, Passes ? Passes : Base.Passes};
}

kl::TKLExchangeFormat Format(int Value) {
  Require(Value >= KLP_FORMAT_AUTO && Value <= KLP_FORMAT_BITWARDEN_JSON, "unknown format");
  return static_cast<kl::TKLExchangeFormat>(Value);
}

// The places of Found in the store, in store order, into the caller's array.
int WriteIndexes(const TVault& Vault, const kl::TPointerList<kl::TKLPassRecord>& Found, size_t* Indexes,
                 size_t* Count) {
  Require(Count != nullptr, "count is NULL");
  const auto found = static_cast<size_t>(Found.GetCount());
  if (!Indexes || *Count < found) {
    *Count = found;
    SetLastError("the array is too small; *count holds the number needed");
    return KLP_ERROR_BUFFER_TOO_SMALL;
  }
  std::unordered_map<const kl::TKLPassRecord*, size_t> places;
  for (std::int32_t i = 0; i < Vault.Store.GetCount(); ++i) places.emplace(Vault.Store.GetRecord(i), i);
  for (std::int32_t i = 0; i < Found.GetCount(); ++i) Indexes[i] = places.at(Found.Get(i));
  *Count = found;
  return KLP_OK;
}

void SetField(kl::TKLPassRecord& Record, int Field, const kl::String& Value) {
  switch (Field) {
    case KLP_FIELD_TITLE:
      Record.SetTitle(Value);
      break;
    case KLP_FIELD_USERNAME:
      Record.SetUsername(Value);
      break;
    case KLP_FIELD_PASSWORD:
      Record.SetPassword(Value);
      break;
    case KLP_FIELD_URL:
      Record.SetURL(Value);
      break;
    case KLP_FIELD_NOTE:
      Record.SetNote(Value);
      break;
    case KLP_FIELD_GROUP:
      Require(!Value.empty(), "a group must not be empty");
      kl::TKLPassStorage::CheckGroup(Value);
      Record.SetGroup(Value);
      break;
    default:
      Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown field");
  }
}

} // namespace

extern "C" {

int klp_vault_init(klp_vault_t** vault) {
  return Guard([&] {
    Require(vault != nullptr, "vault is NULL");
    *vault = HandleOf<klp_vault_t>(new TVault);
    return KLP_OK;
  });
}

void klp_vault_destroy(klp_vault_t* vault) { delete reinterpret_cast<TVault*>(vault); }

int klp_vault_create(klp_vault_t* vault, const char* path, const char* master_password) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    const kl::String file = Text(path, "path is NULL");
    const TSecretText master(master_password, "master_password is NULL");
    Require(!master.Get().empty(), "a vault needs a master password");
    // A new file replaces whatever is there: no change check for it.
    v.Store.SetRefuseChangedFile(false);
    try {
      v.Store.SaveToFile(file, master.Get());
    } catch (...) {
      v.Store.SetRefuseChangedFile(true);
      throw;
    }
    v.Store.SetRefuseChangedFile(true);
    v.File = file;
    v.SetMaster(master.Get());
    return KLP_OK;
  });
}

int klp_vault_open(klp_vault_t* vault, const char* path, const char* master_password, int flags) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require((flags & ~KLP_OPEN_ALLOW_LEGACY) == 0, "unknown flags");
    const kl::String file = Text(path, "path is NULL");
    const TSecretText master(master_password, "master_password is NULL");
    v.Store.SetAllowLegacyFormat((flags & KLP_OPEN_ALLOW_LEGACY) != 0);
    v.Store.LoadFromFile(file, master.Get());
    v.File = file;
    v.SetMaster(master.Get());
    return KLP_OK;
  });
}

int klp_vault_save(klp_vault_t* vault) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require(!v.File.empty(), "the vault is neither created nor opened");
    v.Store.SaveToFile(v.File, v.Master);
    return KLP_OK;
  });
}

int klp_vault_set_master_password(klp_vault_t* vault, const char* master_password) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    const TSecretText master(master_password, "master_password is NULL");
    Require(!master.Get().empty(), "a vault needs a master password");
    v.SetMaster(master.Get());
    return KLP_OK;
  });
}

int klp_vault_set_file_cost(klp_vault_t* vault, uint32_t memory_kib, uint32_t passes) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    v.Store.SetKdfParameters(Cost(memory_kib, passes, kl::TKLKdfParameters{}));
    return KLP_OK;
  });
}

int klp_vault_set_kdbx_cost_limit(klp_vault_t* vault, uint64_t limit) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    v.Store.SetKdbxCostLimit(limit != 0 ? limit : kl::KLKdbxDefaultCostLimit);
    return KLP_OK;
  });
}

int klp_vault_upgrade(const char* path, const char* master_password, uint32_t memory_kib, uint32_t passes) {
  return Guard([&] {
    const kl::String file = Text(path, "path is NULL");
    const TSecretText master(master_password, "master_password is NULL");
    kl::TKLPassStorage store;
    store.SetRefuseChangedFile(true);
    store.SetAllowLegacyFormat(true);
    store.LoadFromFile(file, master.Get());
    const bool legacy = store.GetLoadedVersion() < kl::KLStorageVersion3;
    if (!legacy && memory_kib == 0 && passes == 0) return KLP_UNCHANGED;
    store.SetKdfParameters(Cost(memory_kib, passes, legacy ? kl::TKLKdfParameters{} : store.GetKdfParameters()));
    store.SaveToFile(file, master.Get());
    return KLP_OK;
  });
}

int klp_vault_count(const klp_vault_t* vault, size_t* count) {
  return Guard([&] {
    Deref(count, "count is NULL") = static_cast<size_t>(Of<TVault>(vault, "vault is NULL").Store.GetCount());
    return KLP_OK;
  });
}

int klp_vault_add(klp_vault_t* vault, const char* title, const char* username, const char* password, const char* url,
                  const char* note, const char* group, size_t* index) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    const kl::String groupText = group ? Text(group, "group") : kl::String(kl::DefaultPassGroup);
    Require(!groupText.empty(), "a group must not be empty");
    const TSecretText secret(password ? password : "", "password");
    auto record = std::make_unique<kl::TKLPassRecord>(OptionalText(title, "title"), OptionalText(username, "username"),
                                                      secret.Get(), OptionalText(url, "url"),
                                                      OptionalText(note, "note"), groupText);
    const std::int32_t place = v.Store.Add(record.get());
    record.release(); // the store owns it now
    if (index) *index = static_cast<size_t>(place);
    return KLP_OK;
  });
}

namespace {

// A field of a record or of one of its versions.
int WriteRecordField(kl::TKLPassRecord& record, int field, char* out, size_t* out_len) {
    switch (field) {
      case KLP_FIELD_TITLE:
        return WriteText(record.GetTitle(), out, out_len);
      case KLP_FIELD_USERNAME:
        return WriteText(record.GetUsername(), out, out_len);
      case KLP_FIELD_URL:
        return WriteText(record.GetURL(), out, out_len);
      case KLP_FIELD_NOTE:
        return WriteText(record.GetNote(), out, out_len);
      case KLP_FIELD_GROUP:
        return WriteText(record.GetGroup(), out, out_len);
      case KLP_FIELD_PASSWORD: {
        kl::String password = record.GetPassword();
        int status = KLP_ERROR_INTERNAL;
        try {
          status = WriteSecretText(password, out, out_len);
        } catch (...) {
          kl::WipeString(password);
          throw;
        }
        kl::WipeString(password);
        return status;
      }
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown field");
    }
}

// A pointer, never null: a function of C linkage may not return a C++ reference.
kl::TKLPassRecord* VersionOf(kl::TKLPassRecord& Record, size_t Version) {
  if (Version >= static_cast<size_t>(Record.GetHistoryCount())) {
    Refuse(KLP_ERROR_INVALID_ARGUMENT, "version is beyond the record's history");
  }
  return Record.GetHistoryItem(static_cast<std::int32_t>(Version));
}

} // namespace

int klp_vault_get_field(klp_vault_t* vault, size_t index, int field, char* out, size_t* out_len) {
  return Guard([&] { return WriteRecordField(RecordAt(Of<TVault>(vault, "vault is NULL"), index), field, out, out_len); });
}

int klp_vault_history_count(const klp_vault_t* vault, size_t index, size_t* count) {
  return Guard([&] {
    const kl::TKLPassRecord& record = RecordAt(Of<TVault>(vault, "vault is NULL"), index);
    if (count == nullptr) Refuse(KLP_ERROR_INVALID_ARGUMENT, "count is NULL");
    *count = static_cast<size_t>(record.GetHistoryCount());
    return KLP_OK;
  });
}

int klp_vault_history_get_field(klp_vault_t* vault, size_t index, size_t version, int field, char* out,
                                size_t* out_len) {
  return Guard([&] {
    kl::TKLPassRecord& record = RecordAt(Of<TVault>(vault, "vault is NULL"), index);
    return WriteRecordField(*VersionOf(record, version), field, out, out_len);
  });
}

int klp_vault_history_restore(klp_vault_t* vault, size_t index, size_t version) {
  return Guard([&] {
    kl::TKLPassRecord& record = RecordAt(Of<TVault>(vault, "vault is NULL"), index);
    VersionOf(record, version);
    record.RestoreHistoryItem(static_cast<std::int32_t>(version));
    return KLP_OK;
  });
}

int klp_vault_delete_record(klp_vault_t* vault, size_t index, int permanently, int* recycled) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    kl::TKLPassRecord& record = RecordAt(v, index);
    const kl::TKLPassDeleteResult result = v.Store.DeleteRecord(&record, permanently != 0);
    if (result == kl::drNotHeld) Refuse(KLP_ERROR_INTERNAL, "the record could not be removed");
    if (recycled) *recycled = result == kl::drRecycled ? 1 : 0;
    return KLP_OK;
  });
}

int klp_vault_merge(klp_vault_t* vault, const klp_vault_t* source, size_t* added, size_t* updated, size_t* moved,
                    size_t* deleted, size_t* kept) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    const TVault& s = Of<TVault>(source, "source is NULL");
    const kl::TKLMergeReport report = v.Store.Merge(s.Store);
    const std::pair<size_t*, std::int32_t> counts[] = {
        {added, report.Added}, {updated, report.Updated}, {moved, report.Moved}, {deleted, report.Deleted}, {kept, report.Kept}};
    for (const auto& [out, value] : counts) {
      if (out) *out = static_cast<size_t>(value);
    }
    return KLP_OK;
  });
}

int klp_vault_group_count(klp_vault_t* vault, size_t* count) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require(count != nullptr, "count is NULL");
    v.Store.ListRecordGroups();
    *count = v.Store.GetGroups().size();
    return KLP_OK;
  });
}

int klp_vault_group_get_text(const klp_vault_t* vault, size_t index, int text, char* out, size_t* out_len) {
  return Guard([&] {
    const TVault& v = Of<TVault>(vault, "vault is NULL");
    const auto& groups = v.Store.GetGroups();
    const kl::TKLPassGroup& group = groups[CheckedIndex(index, static_cast<std::int32_t>(groups.size()), "no group at this index")];
    switch (text) {
      case KLP_GROUP_PATH:
        return WriteText(group.Path, out, out_len);
      case KLP_GROUP_NOTES:
        return WriteText(group.Notes, out, out_len);
      case KLP_GROUP_UUID:
        return WriteText(kl::BytesToHexStr(kl::ByteArray(group.Uuid.begin(), group.Uuid.end())), out, out_len);
      default:
        Refuse(KLP_ERROR_INVALID_ARGUMENT, "unknown group text");
    }
  });
}

int klp_vault_group_get_dates(const klp_vault_t* vault, size_t index, int64_t* created, int64_t* modified,
                              int64_t* expires) {
  return Guard([&] {
    const TVault& v = Of<TVault>(vault, "vault is NULL");
    const auto& groups = v.Store.GetGroups();
    const kl::TKLPassGroup& group = groups[CheckedIndex(index, static_cast<std::int32_t>(groups.size()), "no group at this index")];
    if (created) *created = group.CreationDate;
    if (modified) *modified = group.ModificationDate;
    if (expires) *expires = group.Expires ? group.ExpiryDate : 0;
    return KLP_OK;
  });
}

int klp_vault_put_group(klp_vault_t* vault, const char* path, const char* notes) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    kl::TKLPassGroup group;
    group.Path = Text(path, "path");
    Require(kl::IsValidGroupPath(group.Path), "the group path has an empty group name");
    const std::int64_t now = kl::NowUnixSeconds();
    if (const kl::TKLPassGroup* listed = v.Store.FindGroup(group.Path)) {
      group = *listed;
    } else {
      group.CreationDate = group.LastAccessDate = group.LocationChangeDate = now;
    }
    group.Notes = OptionalText(notes, "notes");
    group.ModificationDate = now;
    v.Store.PutGroup(group);
    return KLP_OK;
  });
}

int klp_vault_move_group(klp_vault_t* vault, const char* from, const char* to) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    const kl::String source = Text(from, "from");
    const kl::String target = Text(to, "to");
    Require(kl::IsValidGroupPath(source) && kl::IsValidGroupPath(target), "a group path has an empty group name");
    Require(!source.empty() && v.Store.FindGroup(source) != nullptr, "no group is listed at from");
    Require(v.Store.FindGroup(target) == nullptr, "a group is listed at to already");
    try {
      v.Store.MoveGroup(source, target);
    } catch (const kl::EKLPassStorageException&) {
      Refuse(KLP_ERROR_INVALID_ARGUMENT, "to is within the group moved");
    }
    return KLP_OK;
  });
}

int klp_vault_deleted_count(const klp_vault_t* vault, size_t* count) {
  return Guard([&] {
    const TVault& v = Of<TVault>(vault, "vault is NULL");
    if (count == nullptr) Refuse(KLP_ERROR_INVALID_ARGUMENT, "count is NULL");
    *count = v.Store.GetDeletedObjects().size();
    return KLP_OK;
  });
}

int klp_vault_set_field(klp_vault_t* vault, size_t index, int field, const char* value) {
  return Guard([&] {
    kl::TKLPassRecord& record = RecordAt(Of<TVault>(vault, "vault is NULL"), index);
    const TSecretText text(value, "value is NULL");
    SetField(record, field, text.Get());
    return KLP_OK;
  });
}

int klp_vault_get_dates(const klp_vault_t* vault, size_t index, int64_t* created, int64_t* modified,
                        int64_t* accessed) {
  return Guard([&] {
    const kl::TKLPassRecord& record = RecordAt(Of<TVault>(vault, "vault is NULL"), index);
    if (created) *created = record.GetCreationDate();
    if (modified) *modified = record.GetModificationDate();
    if (accessed) *accessed = record.GetLastAccessDate();
    return KLP_OK;
  });
}

int klp_vault_delete(klp_vault_t* vault, size_t index) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    std::unique_ptr<kl::TKLPassRecord> record(&RecordAt(v, index));
    if (!v.Store.Delete(record.get())) {
      (void)record.release(); // still the store's
      Refuse(KLP_ERROR_INTERNAL, "the record could not be removed");
    }
    return KLP_OK; // the record, handed back by Delete, dies here (its password wiped)
  });
}

int klp_vault_list(klp_vault_t* vault, const char* group, size_t* indexes, size_t* count) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    kl::TPointerList<kl::TKLPassRecord> found;
    if (group) {
      v.Store.List(Text(group, "group"), found);
    } else {
      for (std::int32_t i = 0; i < v.Store.GetCount(); ++i) found.Add(v.Store.GetRecord(i));
    }
    return WriteIndexes(v, found, indexes, count);
  });
}

int klp_vault_search(klp_vault_t* vault, int field, int match, const char* value, size_t* indexes, size_t* count) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require(field >= KLP_FIELD_TITLE && field <= KLP_FIELD_NOTE,
            "a search reads title, user name, password, URL or note");
    Require(match >= KLP_MATCH_CONTAINS && match <= KLP_MATCH_NOT_EQUALS, "unknown match");
    const TSecretText text(value, "value is NULL");
    kl::TPointerList<kl::TKLPassRecord> found;
    v.Store.Search(static_cast<kl::TKLSearchParam>(field), static_cast<kl::TKLSearchEquality>(match), text.Get(),
                   found);
    return WriteIndexes(v, found, indexes, count);
  });
}

int klp_vault_search_query(klp_vault_t* vault, const char* query, int flags, size_t* indexes, size_t* count) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require((flags & ~KLP_SEARCH_CASE_SENSITIVE) == 0, "unknown flags");
    const kl::TKLPassQuery parsed(Text(query, "query is NULL"),
                                  (flags & KLP_SEARCH_CASE_SENSITIVE) != 0 ? kl::KLQueryCaseSensitive : 0);
    kl::TPointerList<kl::TKLPassRecord> found;
    parsed.Search(v.Store, found);
    return WriteIndexes(v, found, indexes, count);
  });
}

int klp_vault_import(klp_vault_t* vault, const char* path, int format, const char* group, int32_t* added) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    kl::TKLImportOptions options;
    options.Format = Format(format);
    options.Group = OptionalText(group, "group");
    const kl::TKLImportReport report = kl::ImportPassRecordsFromFile(v.Store, Text(path, "path is NULL"), options);
    if (added) *added = report.Added;
    return KLP_OK;
  });
}

int klp_vault_export(klp_vault_t* vault, const char* path, int format, int flags) {
  return Guard([&] {
    TVault& v = Of<TVault>(vault, "vault is NULL");
    Require((flags & ~KLP_EXPORT_SPREADSHEET_SAFE) == 0, "unknown flags");
    kl::TKLExportOptions options;
    options.Format = Format(format);
    options.SpreadsheetSafe = (flags & KLP_EXPORT_SPREADSHEET_SAFE) != 0;
    kl::ExportPassRecordsToFile(v.Store, Text(path, "path is NULL"), options);
    return KLP_OK;
  });
}

} // extern "C"

kl::TKLPassStorage& kl::capi::VaultStore(klp_vault_t* Vault) { return Of<TVault>(Vault, "vault is NULL").Store; }
