#include "com/table_rebuild.h"

#include "base/errors.h"
#include "db/table_replacement.h"

namespace fonwerk::ado {
namespace {

class InPlaceRebuild final : public TableRebuild {
 public:
  bool Replaces() const override { return false; }
  void Complete() override {}
};

}  // namespace

std::unique_ptr<TableRebuild> BeginTableRebuild(Connection& connection, const std::string& table,
                                                const std::string& empty_sql,
                                                const RebuildLog& log) {
  const std::shared_ptr<Session> session = connection.shared_session();
  if (!session) connection.session();  // throws the closed-connection error
  if (!session->InTransaction()) {
    throw DbError(DbError::Kind::kUsage, "The rebuild of " + table + " needs an open transaction");
  }
  const std::string provider = session->ProviderName();
  rebuild::Replacement replacement;
  if (provider == "SQLite") {
    replacement = rebuild::BeginSqliteReplacement(session, table);
  } else if (provider == "PostgreSQL") {
    replacement = rebuild::BeginPostgresReplacement(session, table);
  } else {
    replacement.in_place_reason = "the provider " + provider + " cannot replace a table";
  }
  if (replacement.rebuild) return std::move(replacement.rebuild);
  if (log) log("Rebuild in place|" + replacement.in_place_reason);
  connection.Execute(empty_sql);
  return std::make_unique<InPlaceRebuild>();
}

}  // namespace fonwerk::ado
