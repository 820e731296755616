// The typed key/value storage beneath the databases and the vault.
#include <cstdio>

#include "foundation/MemoryStream.h"
#include "storage/KLStorage.h"

int main() {
  kl::TKLStorage storage;
  storage.PutString(u"settings/user", u"alice", false);
  storage.PutInt(u"settings/timeout", 300, false);
  storage.PutBlob(u"keys/public", {0x04, 0x1f, 0x8a}, false);

  kl::TMemoryStream stream;
  storage.SaveToStream(stream, u"storage password"); // Argon2id key, AES-256-CBC, HMAC-SHA-256
  stream.SetPosition(0);

  kl::TKLStorage loaded;
  loaded.LoadFromStream(stream, u"storage password");
  std::int32_t timeout = 0;
  loaded.GetInt(u"settings/timeout", timeout, 60);
  std::printf("%d values, timeout %d\n", loaded.GetCount(), timeout);
  return loaded.GetCount() == 3 && timeout == 300 ? 0 : 1;
}
