#include "services/table_rebuild.h"

#include "services/errors.h"
#include "services/table_rebuild_providers.h"

namespace fonwerk::ado {
namespace rebuild {

std::vector<TextRow> QueryTexts(Session& session, const std::string& sql) {
  std::unique_ptr<Cursor> cursor = session.Query(sql, false);
  std::vector<TextRow> rows;
  std::vector<Variant> values;
  while (cursor->Next(values)) {
    TextRow row;
    row.reserve(values.size());
    for (const Variant& value : values) {
      if (value.IsNull() || value.IsEmpty()) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(value.ToText());
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string SqlLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace rebuild

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
