// A login service's verifier: a server key ("pepper") that a copy of the user
// database alone does not give, and a lockout after repeated failures.
#include <cstdio>
#include <filesystem>

#include "database/KLDatabase.h"
#include "database/KLPepper.h"

int main() {
  kl::TKLTextPasswordDatabase db;
  db.CreateNew(u"tour-login.db");
  // One key a line, "ID HEX", the first the current one; kept out of the database.
  db.SetPepper(kl::TKLPepper::FromText(u"2026a 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"));
  db.SetMaxFailures(3); // a setting stored in the database (default 100; 0 never locks)
  db.AddUser(u"alice", u"correct horse battery staple", false);
  bool keyed = false;
  db.ForEachRecord(
      [&](const kl::TKLDatabaseRecord& record) { keyed = kl::HashSchemeOf(record) == kl::hsKeyedArgon2id; });

  for (int attempt = 0; attempt < 3; ++attempt) db.Verify(u"alice", u"a guess"); // each counted with the record
  bool locked = false;
  try {
    db.Verify(u"alice", u"correct horse battery staple"); // refused, the right password included
  } catch (const kl::EKLAccountLockedError&) {
    locked = true;
  }
  db.Unlock(u"alice");
  const bool back = db.Verify(u"alice", u"correct horse battery staple");
  std::printf("keyed hash: %d, locked after 3 failures: %d, verified after unlock: %d\n", keyed, locked, back);
  db.SetSaveOnDestroy(false);
  std::filesystem::remove("tour-login.db");
  return keyed && locked && back && db.GetFailureCount(u"alice") == 0 ? 0 : 1;
}
