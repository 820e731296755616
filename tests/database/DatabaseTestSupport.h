#pragma once

#include <cstdint>

#include "database/KLDatabase.h"

namespace kl::test {

// Opens the protected operations of a database to the tests.
template <class DB>
class Exposed : public DB {
public:
  using DB::DB;
  using DB::GetDataByName;
  using DB::GetPasswordHash;
  using DB::GetRecord;
  using DB::TransformPassword;
};

class ExposedText : public Exposed<TKLTextPasswordDatabase> {
public:
  using Exposed<TKLTextPasswordDatabase>::Exposed;
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

// Runs Action and returns the message of the kl::Exception it raises, or
// "(nothing)" when it raises none.
template <class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const Exception& e) {
    return e.GetMessage();
  }
  return "(nothing)";
}

} // namespace kl::test
