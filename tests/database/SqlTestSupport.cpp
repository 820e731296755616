#include "database/SqlTestSupport.h"

#if KL_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace kl::test {

namespace {

std::string ReadFirstLine(const std::string& Path) {
  std::ifstream in(Path);
  std::string line;
  std::getline(in, line);
  return line;
}

struct TOwnCluster {
  std::string State;
  ~TOwnCluster() {
    if (!State.empty())
      (void)std::system(("bash '" KL_SOURCE_DIR "/scripts/pg-test-cluster.sh' stop '" + State + "'").c_str());
  }
};

std::string FindServer() {
  if (const char* file = std::getenv("KL_TEST_POSTGRES_FILE")) return ReadFirstLine(file);
  static TOwnCluster own;
  own.State = "/tmp/klp-pg-state." + std::to_string(getpid());
  const std::string command = "bash '" KL_SOURCE_DIR "/scripts/pg-test-cluster.sh' start '" + own.State + "'";
  if (std::system(command.c_str()) != 0) return "unavailable: the test cluster did not start";
  return ReadFirstLine(own.State);
}

// conninfo with the database name in its path replaced.
std::string WithDatabase(const std::string& URI, const std::string& Name) {
  const std::size_t slash = URI.find(":///");
  const std::size_t query = URI.find('?');
  if (slash == std::string::npos || query == std::string::npos) throw std::runtime_error("unexpected test URI " + URI);
  return URI.substr(0, slash + 4) + Name + URI.substr(query);
}

} // namespace

std::string PostgresURI(std::string& Why) {
  static std::once_flag once;
  static std::string server;
  std::call_once(once, [] {
    if (!TKLPostgresPasswordDatabase::Available()) {
      server = "unavailable: this build has no PostgreSQL support";
    } else {
      server = FindServer();
    }
  });
  if (server.rfind("postgresql://", 0) == 0) return server;
  Why = server.empty() ? "unavailable: no test cluster state" : server;
  return {};
}

std::string PostgresAdmin(const String& URI, const std::string& Sql) {
#if !KL_WITH_POSTGRESQL
  (void)URI;
  throw std::runtime_error("no PostgreSQL support: " + Sql);
#else
  PGconn* conn = PQconnectdb(Narrow(URI).c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string error = PQerrorMessage(conn);
    PQfinish(conn);
    throw std::runtime_error("test server: " + error);
  }
  PGresult* result = PQexec(conn, Sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  std::string value;
  if (status == PGRES_TUPLES_OK && PQntuples(result) > 0) value = PQgetvalue(result, 0, 0);
  const std::string error = PQresultErrorMessage(result);
  PQclear(result);
  PQfinish(conn);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) throw std::runtime_error("test server: " + error);
  return value;
#endif
}

String FreshPostgresDatabase() {
  static int counter = 0;
  std::string why;
  const std::string server = PostgresURI(why);
  const std::string name = "klp_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  PostgresAdmin(U(server), "CREATE DATABASE " + name);
  return U(WithDatabase(server, name));
}

} // namespace kl::test
