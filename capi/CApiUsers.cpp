// The C interface: user password databases, text and encrypted.

#include <memory>

#include "capi/CApiSupport.h"
#include "database/KLDatabase.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "storage/KLStorage.h"

namespace {

// The record listing is protected in the databases; a descendant reads it.
template <class TBase>
class TListable : public TBase {
public:
  kl::TKLDatabaseRecord Record(std::int32_t Index) const { return this->GetRecord(Index); }
};

} // namespace

namespace {

struct TUsers {
  std::unique_ptr<TListable<kl::TKLTextPasswordDatabase>> Text;
  std::unique_ptr<TListable<kl::TKLBinaryPasswordDatabase>> Encrypted;
  kl::TKLPasswordDatabase& Database() const { return Text ? static_cast<kl::TKLPasswordDatabase&>(*Text) : *Encrypted; }
  kl::TKLDatabaseRecord Record(std::int32_t Index) const {
    return Text ? Text->Record(Index) : Encrypted->Record(Index);
  }
};

} // namespace

using namespace kl::capi;

namespace {

kl::TKLPasswordDatabase& Database(klp_users_t* Users) { return Of<TUsers>(Users, "users is NULL").Database(); }

void RequireOpened(const kl::TKLPasswordDatabase& Database) {
  Require(Database.GetOpened(), "the database is neither created nor opened");
}

} // namespace

extern "C" {

int klp_users_init(klp_users_t** users, int kind, const char* master_password) {
  return Guard([&] {
    Require(users != nullptr, "users is NULL");
    *users = nullptr;
    auto made = std::make_unique<TUsers>();
    if (kind == KLP_USERS_TEXT) {
      Require(master_password == nullptr, "a text database has no master password");
      made->Text = std::make_unique<TListable<kl::TKLTextPasswordDatabase>>();
      made->Text->SetSaveOnDestroy(false);
    } else {
      Require(kind == KLP_USERS_ENCRYPTED, "unknown database kind");
      const TSecretText master(master_password, "master_password is NULL");
      Require(!master.Get().empty(), "an encrypted database needs a master password");
      made->Encrypted = std::make_unique<TListable<kl::TKLBinaryPasswordDatabase>>();
      made->Encrypted->SetSaveOnDestroy(false);
      made->Encrypted->SetPassword(master.Get());
    }
    made->Database().SetRefuseChangedFile(true);
    *users = HandleOf<klp_users_t>(made.release());
    return KLP_OK;
  });
}

void klp_users_destroy(klp_users_t* users) { delete reinterpret_cast<TUsers*>(users); }

int klp_users_set_hash_cost(klp_users_t* users, uint32_t memory_kib, uint32_t passes) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    kl::TKLPasswordHashParameters parameters = db.GetHashParameters();
    parameters.MemoryKiB = memory_kib ? memory_kib : kl::TKLPasswordHashParameters{}.MemoryKiB;
    parameters.Passes = passes ? passes : kl::TKLPasswordHashParameters{}.Passes;
    db.SetHashParameters(parameters);
    return KLP_OK;
  });
}

int klp_users_set_file_cost(klp_users_t* users, uint32_t memory_kib, uint32_t passes) {
  return Guard([&] {
    TUsers& u = Of<TUsers>(users, "users is NULL");
    Require(u.Encrypted != nullptr, "a text database has no key derivation");
    const kl::TKLKdfParameters defaults;
    u.Encrypted->SetKdfParameters({memory_kib ? memory_kib : defaults.MemoryKiB, passes ? passes : defaults.Passes});
    return KLP_OK;
  });
}

int klp_users_create(klp_users_t* users, const char* path) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    const kl::String file = Text(path, "path is NULL");
    // A new file replaces whatever is there, so the change check is off for it.
    db.SetRefuseChangedFile(false);
    db.CreateNew(file);
    db.Save();
    db.SetRefuseChangedFile(true);
    return KLP_OK;
  });
}

int klp_users_open(klp_users_t* users, const char* path, int flags) {
  return Guard([&] {
    TUsers& u = Of<TUsers>(users, "users is NULL");
    Require((flags & ~KLP_OPEN_ALLOW_LEGACY) == 0, "unknown flags");
    const kl::String file = Text(path, "path is NULL");
    if (u.Encrypted) u.Encrypted->SetAllowLegacyFormat((flags & KLP_OPEN_ALLOW_LEGACY) != 0);
    u.Database().Open(file);
    return KLP_OK;
  });
}

int klp_users_save(klp_users_t* users) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    db.Save();
    return KLP_OK;
  });
}

int klp_users_add(klp_users_t* users, const char* name, const char* password, int32_t* uid) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    const kl::String user = Text(name, "name is NULL");
    const TSecretText secret(password, "password is NULL");
    const std::int32_t id = db.AddUser(user, secret.Get(), false);
    if (uid) *uid = id;
    return KLP_OK;
  });
}

int klp_users_change(klp_users_t* users, const char* name, const char* password) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    const kl::String user = Text(name, "name is NULL");
    const TSecretText secret(password, "password is NULL");
    if (db.GetUID(user) < 0) Refuse(KLP_ERROR_NOT_FOUND, "no such user");
    db.AddUser(user, secret.Get(), true);
    return KLP_OK;
  });
}

int klp_users_delete(klp_users_t* users, const char* name) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    if (!db.DeleteUser(Text(name, "name is NULL"))) Refuse(KLP_ERROR_NOT_FOUND, "no such user");
    return KLP_OK;
  });
}

int klp_users_verify(klp_users_t* users, const char* name, const char* password) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    const kl::String user = Text(name, "name is NULL");
    const TSecretText secret(password, "password is NULL");
    return db.Verify(user, secret.Get()) ? KLP_OK : KLP_NO_MATCH;
  });
}

int klp_users_count(const klp_users_t* users, size_t* count) {
  return Guard([&] {
    const TUsers& u = Of<TUsers>(users, "users is NULL");
    Deref(count, "count is NULL") = static_cast<size_t>(u.Database().GetCount());
    return KLP_OK;
  });
}

int klp_users_get(const klp_users_t* users, size_t index, int32_t* uid, char* name, size_t* name_len) {
  return Guard([&] {
    const TUsers& u = Of<TUsers>(users, "users is NULL");
    const kl::TKLDatabaseRecord record =
        u.Record(CheckedIndex(index, u.Database().GetCount(), "no user at this index"));
    if (uid) *uid = record.UID;
    return WriteText(record.Username, name, name_len);
  });
}

int klp_users_upgrade(klp_users_t* users, int32_t* wrapped) {
  return Guard([&] {
    TUsers& u = Of<TUsers>(users, "users is NULL");
    kl::TKLPasswordDatabase& db = u.Database();
    RequireOpened(db);
    const bool legacyFile =
        u.Encrypted && u.Encrypted->GetLoadedVersion() != 0 && u.Encrypted->GetLoadedVersion() < kl::KLStorageVersion3;
    const std::int32_t count = db.UpgradeHashes();
    if (wrapped) *wrapped = count;
    if (count == 0 && !legacyFile) return KLP_UNCHANGED;
    db.Save();
    return KLP_OK;
  });
}

int klp_users_modified(const klp_users_t* users, int* modified) {
  return Guard([&] {
    const TUsers& u = Of<TUsers>(users, "users is NULL");
    Deref(modified, "modified is NULL") = u.Database().GetModified() ? 1 : 0;
    return KLP_OK;
  });
}

} // extern "C"
