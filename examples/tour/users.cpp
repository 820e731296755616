// A user password database in an encrypted file: add users, save, verify.
#include <cstdio>
#include <filesystem>

#include "database/KLDatabase.h"

int main() {
  const kl::String file = u"tour-users.db";
  {
    kl::TKLBinaryPasswordDatabase db;
    db.SetPassword(u"database master password"); // encrypts the file
    db.CreateNew(file);
    db.AddUser(u"alice", u"correct horse", false); // keeps an Argon2id hash only
    db.AddUser(u"bob", u"battery staple", false);
    db.Save(); // atomic: the old file stays whole if this fails
  }
  kl::TKLBinaryPasswordDatabase db;
  db.SetPassword(u"database master password");
  db.Open(file);
  const bool ok = db.Verify(u"alice", u"correct horse") && !db.Verify(u"bob", u"wrong");
  std::printf("%d users, alice verified: %d\n", db.GetCount(), ok);
  db.SetSaveOnDestroy(false); // nothing changed; do not rewrite the file
  std::filesystem::remove("tour-users.db");
  return ok ? 0 : 1;
}
