#pragma once

#include <memory>
#include <string>

#include "database/DatabaseTestSupport.h"
#include "database/KLSqlDatabase.h"
#include "support/TestSupport.h"

namespace kl::test {

// The test server's connection URI, or empty with Why saying what is missing.
// The harness (CTest) starts a throwaway cluster and names its state file in
// KL_TEST_POSTGRES_FILE; run by hand, the program starts one of its own with
// the same script and stops it at exit.
std::string PostgresURI(std::string& Why);

// A new, empty database on the test server, as a URI for the user databases.
String FreshPostgresDatabase();

// Runs one statement as the server's superuser on the database of URI (for
// what a test does behind the library's back); returns the first value.
std::string PostgresAdmin(const String& URI, const std::string& Sql);

} // namespace kl::test

// Skips the test, saying why, where no PostgreSQL server can be had.
#define KL_REQUIRE_POSTGRES()                                      \
  do {                                                             \
    std::string why_;                                              \
    if (kl::test::PostgresURI(why_).empty()) GTEST_SKIP() << why_; \
  } while (false)
