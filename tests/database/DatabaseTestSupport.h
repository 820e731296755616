#pragma once

#include <cstdint>

#include "database/KLDatabase.h"
#include "support/TestSupport.h"

namespace kl::test {

// Argon2id at its smallest cost, so that tests of everything but the cost run fast.
inline TKLPasswordHashParameters FastHashes() {
  TKLPasswordHashParameters parameters;
  parameters.MemoryKiB = 8;
  parameters.Passes = 1;
  return parameters;
}

// Unpadded standard base64, as hash strings carry salts and tags.
inline String Base64(const ByteArray& Bytes) {
  static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  String out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const std::uint8_t b : Bytes) {
    bits = (bits << 8) | b;
    count += 8;
    while (count >= 6) out += static_cast<char16_t>(digits[(bits >> (count -= 6)) & 63]);
  }
  if (count > 0) out += static_cast<char16_t>(digits[(bits << (6 - count)) & 63]);
  return out;
}

// Opens the protected operations of a database to the tests, which hash at the
// smallest cost.
template <class DB>
class Exposed : public DB {
public:
  explicit Exposed(TComponent* AOwner = nullptr) : DB(AOwner) { this->SetHashParameters(FastHashes()); }
  using DB::GetDataByName;
  using DB::GetPasswordHash;
  using DB::GetRecord;
  using DB::ReplaceHash;
  using DB::TransformPassword;
};

class ExposedText : public Exposed<TKLTextPasswordDatabase> {
public:
  using Exposed<TKLTextPasswordDatabase>::Exposed;
  using TKLTextPasswordDatabase::Open;
  using TKLTextPasswordDatabase::OpenFromText;
};

// The look-ups as a plain walk over the records in position order.
template <class DB>
std::int32_t WalkUID(const DB& Db, const String& Username) {
  for (std::int32_t i = 0; i < Db.GetCount(); ++i) {
    const TKLDatabaseRecord record = Db.GetRecord(i);
    if (record.Username == Username) return record.UID;
  }
  return -1;
}

template <class DB>
String WalkUsername(const DB& Db, std::int32_t UID) {
  for (std::int32_t i = 0; i < Db.GetCount(); ++i) {
    const TKLDatabaseRecord record = Db.GetRecord(i);
    if (record.UID == UID) return record.Username;
  }
  return {};
}

} // namespace kl::test
