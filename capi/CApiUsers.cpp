// The C interface: user password databases, text and encrypted files and
// the SQL databases a URI names.

#include <chrono>
#include <memory>

#include "capi/CApiSupport.h"
#include "crypto/KLHashGate.h"
#include "database/KLDatabase.h"
#include "database/KLPepper.h"
#include "database/KLSqlDatabase.h"
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
  std::unique_ptr<TListable<kl::TKLSqlitePasswordDatabase>> Sqlite;
  std::unique_ptr<TListable<kl::TKLPostgresPasswordDatabase>> Postgres;
  kl::TKLPasswordDatabase& Database() const {
    if (Text) return *Text;
    if (Encrypted) return *Encrypted;
    if (Sqlite) return *Sqlite;
    return *Postgres;
  }
  kl::TKLDatabaseRecord Record(std::int32_t Index) const {
    if (Text) return Text->Record(Index);
    if (Encrypted) return Encrypted->Record(Index);
    if (Sqlite) return Sqlite->Record(Index);
    return Postgres->Record(Index);
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

// ---- Databases by URI, server keys, the failure limit ----

int klp_users_open_uri(klp_users_t** users, const char* uri, int flags) {
  return Guard([&] {
    Require(users != nullptr, "users is NULL");
    *users = nullptr;
    Require((flags & ~KLP_USERS_CREATE) == 0, "unknown flags");
    const kl::String name = Text(uri, "uri is NULL");
    auto made = std::make_unique<TUsers>();
    switch (kl::UserDatabaseKindOf(name)) {
      case kl::udkSqlite:
        made->Sqlite = std::make_unique<TListable<kl::TKLSqlitePasswordDatabase>>();
        break;
      case kl::udkPostgres:
        made->Postgres = std::make_unique<TListable<kl::TKLPostgresPasswordDatabase>>();
        break;
      case kl::udkFile:
        made->Text = std::make_unique<TListable<kl::TKLTextPasswordDatabase>>();
        made->Text->SetSaveOnDestroy(false);
        break;
    }
    kl::TKLPasswordDatabase& db = made->Database();
    db.SetRefuseChangedFile(true);
    if ((flags & KLP_USERS_CREATE) != 0) {
      db.CreateNew(name);
      try {
        db.Save(); // a new text file is no file yet: one found there is refused, not replaced
      } catch (const kl::EFileChangedError&) {
        Refuse(KLP_ERROR_EXISTS, "a file is already there");
      }
    } else {
      db.Open(name);
    }
    *users = HandleOf<klp_users_t>(made.release());
    return KLP_OK;
  });
}

int klp_users_set_pepper(klp_users_t* users, const char* keys) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    if (!keys) {
      db.SetPepper(nullptr);
      return KLP_OK;
    }
    const TSecretText text(keys, "keys is NULL");
    db.SetPepper(kl::TKLPepper::FromText(text.Get()));
    return KLP_OK;
  });
}

int klp_users_set_pepper_file(klp_users_t* users, const char* path) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    db.SetPepper(kl::TKLPepper::FromFile(Text(path, "path is NULL")));
    return KLP_OK;
  });
}

int klp_users_set_max_failures(klp_users_t* users, int32_t limit) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    db.SetMaxFailures(limit);
    return KLP_OK;
  });
}

int klp_users_get_max_failures(const klp_users_t* users, int32_t* limit) {
  return Guard([&] {
    const kl::TKLPasswordDatabase& db = Of<TUsers>(users, "users is NULL").Database();
    RequireOpened(db);
    Deref(limit, "limit is NULL") = db.GetMaxFailures();
    return KLP_OK;
  });
}

int klp_users_failure_count(const klp_users_t* users, const char* name, int32_t* count) {
  return Guard([&] {
    const kl::TKLPasswordDatabase& db = Of<TUsers>(users, "users is NULL").Database();
    RequireOpened(db);
    Require(count != nullptr, "count is NULL");
    *count = db.GetFailureCount(Text(name, "name is NULL"));
    return KLP_OK;
  });
}

int klp_users_unlock(klp_users_t* users, const char* name) {
  return Guard([&] {
    kl::TKLPasswordDatabase& db = Database(users);
    RequireOpened(db);
    db.Unlock(Text(name, "name is NULL"));
    return KLP_OK;
  });
}

int klp_set_hash_concurrency(uint32_t max_running, uint32_t wait_ms) {
  return Guard([&] {
    kl::SetHashConcurrency(max_running);
    kl::SetHashWaitTimeout(std::chrono::milliseconds(wait_ms));
    return KLP_OK;
  });
}

int klp_get_hash_concurrency(uint32_t* max_running, uint32_t* wait_ms) {
  return Guard([&] {
    if (max_running) *max_running = kl::GetHashConcurrency();
    if (wait_ms) *wait_ms = static_cast<uint32_t>(kl::GetHashWaitTimeout().count());
    return KLP_OK;
  });
}

} // extern "C"
