#include "database/KLSqlDatabase.h"
#include "database/SqlUserStore.h"

// Built instead of the PostgreSQL unit where the library leaves PostgreSQL out
// (the Windows build): the class exists, and says it cannot connect.
namespace kl {

TKLPostgresPasswordDatabase::TKLPostgresPasswordDatabase(TComponent* AOwner) : TKLSqlPasswordDatabase(AOwner) {}

TKLPostgresPasswordDatabase::~TKLPostgresPasswordDatabase() = default;

bool TKLPostgresPasswordDatabase::Available() noexcept { return false; }

std::unique_ptr<detail::TSqlUserStore> TKLPostgresPasswordDatabase::MakeStore(const String&) const {
  throw EKLDatabaseUnavailable(std::string(SDatabaseUnreachable) + ": this build has no PostgreSQL support");
}

} // namespace kl
