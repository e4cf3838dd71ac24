// Change capture on AD: the statements of both databases.

#include "phone/change_capture.h"

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "db/session.h"
#include "phone/harvest_columns.h"

namespace fonwerk::capture {
namespace {

constexpr const char* kQueue = "FONWERK_AD_CHANGES";
constexpr const char* kIndex = "FONWERK_TAPI_AD_DSN";

bool IsPostgres(ado::Session& session) { return session.ProviderName() == "PostgreSQL"; }

// The name the catalog gives `wanted` among `table`'s columns, quoted.
std::string QuotedColumn(ado::Session& session, const std::string& table,
                         const std::string& wanted) {
  for (const ado::ColumnInfo& column : session.TableColumns(table)) {
    if (text::EqualsNoCase(column.name, wanted)) return text::DoubleQuoted(column.name);
  }
  throw Error(errnum::kItemNotFound, "the table " + table + " has no column " + wanted);
}

// The harvested columns of AD as the catalog names them, quoted; DSN first.
std::vector<std::string> QuotedHarvestedColumns(ado::Session& session) {
  std::vector<std::string> columns;
  for (const std::string& name : HarvestedAdColumns()) {
    columns.push_back(QuotedColumn(session, "AD", name));
  }
  return columns;
}

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : separator) + part;
  return joined;
}

// "OLD.a IS NOT NEW.a OR ..." (SQLite) or "... IS DISTINCT FROM ..." (PostgreSQL).
std::string AnyChanged(const std::vector<std::string>& columns, const std::string& differs) {
  std::vector<std::string> tests;
  for (const std::string& column : columns) {
    tests.push_back("OLD." + column + differs + "NEW." + column);
  }
  return Joined(tests, " OR ");
}

bool Exists(ado::Session& session, const std::string& sql) {
  return session.Query(sql, false)->Advance();
}

// ------------------------------------------------------------------ SQLite

constexpr const char* kSqliteObjects =
    "SELECT count(*) FROM sqlite_master WHERE (type = 'table' AND name = 'FONWERK_AD_CHANGES') "
    "OR (type = 'trigger' AND name IN ('FONWERK_AD_CHANGES_INSERT', "
    "'FONWERK_AD_CHANGES_DELETE', 'FONWERK_AD_CHANGES_UPDATE'))";

// Seconds since 1970, with fractions.
constexpr const char* kSqliteNow = "((julianday('now') - 2440587.5) * 86400.0)";

constexpr const char* kSqliteDrop =
    "DROP TRIGGER IF EXISTS FONWERK_AD_CHANGES_INSERT;"
    "DROP TRIGGER IF EXISTS FONWERK_AD_CHANGES_DELETE;"
    "DROP TRIGGER IF EXISTS FONWERK_AD_CHANGES_UPDATE;";

// An index of TAPI whose first key column is AD_DSN in the column's own
// collation, so that an equality search can use it.
constexpr const char* kSqliteIndexOnKey =
    "SELECT 1 FROM pragma_index_list('TAPI') AS l, pragma_index_xinfo(l.name) AS i "
    "WHERE l.partial = 0 AND i.seqno = 0 AND i.key = 1 AND i.name = 'AD_DSN' COLLATE NOCASE "
    "AND i.coll = 'BINARY'";

void EnableSqlite(ado::Session& session) {
  const std::vector<std::string> columns = QuotedHarvestedColumns(session);
  const std::string& dsn = columns.front();
  const std::string record = "INSERT INTO FONWERK_AD_CHANGES (AD_DSN) ";
  session.Execute(std::string("CREATE TABLE IF NOT EXISTS FONWERK_AD_CHANGES (") +
                  "SEQ INTEGER PRIMARY KEY AUTOINCREMENT, AD_DSN, " +
                  "CHANGED_AT REAL NOT NULL DEFAULT " + kSqliteNow + ")");
  session.Execute(kSqliteDrop);
  session.Execute("CREATE TRIGGER FONWERK_AD_CHANGES_INSERT AFTER INSERT ON AD BEGIN " + record +
                  "VALUES (NEW." + dsn + "); END");
  session.Execute("CREATE TRIGGER FONWERK_AD_CHANGES_DELETE AFTER DELETE ON AD BEGIN " + record +
                  "VALUES (OLD." + dsn + "); END");
  session.Execute("CREATE TRIGGER FONWERK_AD_CHANGES_UPDATE AFTER UPDATE OF " +
                  Joined(columns, ", ") + " ON AD WHEN " + AnyChanged(columns, " IS NOT ") +
                  " BEGIN " + record + "VALUES (OLD." + dsn + "); " + record + "SELECT NEW." + dsn +
                  " WHERE NEW." + dsn + " IS NOT OLD." + dsn + "; END");
  if (!Exists(session, kSqliteIndexOnKey)) {
    session.Execute(std::string("CREATE INDEX ") + kIndex + " ON TAPI (" +
                    QuotedColumn(session, "TAPI", "AD_DSN") + ")");
  }
}

void DisableSqlite(ado::Session& session) {
  session.Execute(kSqliteDrop);
  const bool queue =
      Exists(session, "SELECT 1 FROM sqlite_master WHERE name = 'FONWERK_AD_CHANGES'");
  session.Execute("DROP TABLE IF EXISTS FONWERK_AD_CHANGES");
  // The queue's AUTOINCREMENT counter; SQLite keeps its table of counters.
  if (queue) session.Execute("DELETE FROM sqlite_sequence WHERE name = 'FONWERK_AD_CHANGES'");
  session.Execute(std::string("DROP INDEX IF EXISTS ") + kIndex);
}

// -------------------------------------------------------------- PostgreSQL

// The schema of AD: the capture's objects go there, and the trigger
// function finds its queue there whatever the writer's search_path.
constexpr const char* kPgSchemaOfAd =
    "SELECT n.nspname FROM pg_catalog.pg_class c "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = 'ad'::regclass";

constexpr const char* kPgObjects =
    "SELECT to_regclass('fonwerk_ad_changes') IS NOT NULL AND (SELECT count(*) FROM "
    "pg_catalog.pg_trigger WHERE tgrelid = to_regclass('ad') AND tgname IN "
    "('fonwerk_ad_changes_row', 'fonwerk_ad_changes_update', 'fonwerk_ad_changes_truncate')) = 3";

constexpr const char* kPgIndexOnKey =
    "SELECT 1 FROM pg_catalog.pg_index x JOIN pg_catalog.pg_attribute a "
    "ON a.attrelid = x.indrelid AND a.attnum = x.indkey[0] "
    "WHERE x.indrelid = 'tapi'::regclass AND lower(a.attname) = 'ad_dsn' "
    "AND x.indpred IS NULL AND x.indexprs IS NULL";

// The trigger function: the key (old and new when DSN changed), NULL for
// every contact after TRUNCATE, and a notification sent at the commit
// (PostgreSQL sends one of equal notifications of a transaction).
std::string PgFunction(const std::string& schema, const std::string& dsn) {
  const std::string queue = schema + ".fonwerk_ad_changes (ad_dsn) VALUES ";
  return "CREATE OR REPLACE FUNCTION " + schema +
         ".fonwerk_ad_changes_capture() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER "
         "SET search_path = pg_catalog, pg_temp AS $fonwerk$\nBEGIN\n"
         "  IF TG_OP = 'INSERT' THEN\n    INSERT INTO " +
         queue + "(NEW." + dsn +
         "::text);\n"
         "  ELSIF TG_OP = 'DELETE' THEN\n    INSERT INTO " +
         queue + "(OLD." + dsn +
         "::text);\n"
         "  ELSIF TG_OP = 'UPDATE' THEN\n    INSERT INTO " +
         queue + "(OLD." + dsn +
         "::text);\n"
         "    IF NEW." +
         dsn + " IS DISTINCT FROM OLD." + dsn +
         " THEN\n"
         "      INSERT INTO " +
         queue + "(NEW." + dsn +
         "::text);\n    END IF;\n"
         "  ELSE\n    INSERT INTO " +
         queue +
         "(NULL);\n  END IF;\n"
         "  PERFORM pg_notify('" +
         kChangeChannel + "', '');\n  RETURN NULL;\nEND\n$fonwerk$";
}

constexpr const char* kPgDropTriggers =
    "DROP TRIGGER IF EXISTS fonwerk_ad_changes_row ON ad;"
    "DROP TRIGGER IF EXISTS fonwerk_ad_changes_update ON ad;"
    "DROP TRIGGER IF EXISTS fonwerk_ad_changes_truncate ON ad;";

std::string PgSchema(ado::Session& session) {
  auto cursor = session.Query(kPgSchemaOfAd, false);
  std::vector<Variant> row;
  if (!cursor->Next(row)) throw Error(errnum::kItemNotFound, "the table AD cannot be found");
  return text::DoubleQuoted(row.at(0).ToText());
}

void EnablePostgres(ado::Session& session) {
  const std::vector<std::string> columns = QuotedHarvestedColumns(session);
  const std::string schema = PgSchema(session);
  const std::string function = schema + ".fonwerk_ad_changes_capture()";
  session.Execute("CREATE TABLE IF NOT EXISTS " + schema +
                  ".fonwerk_ad_changes (seq bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                  "ad_dsn text, changed_at double precision NOT NULL "
                  "DEFAULT extract(epoch FROM clock_timestamp()))");
  session.Execute(PgFunction(schema, columns.front()));
  session.Execute(kPgDropTriggers);
  session.Execute(
      "CREATE TRIGGER fonwerk_ad_changes_row AFTER INSERT OR DELETE ON ad "
      "FOR EACH ROW EXECUTE FUNCTION " +
      function);
  session.Execute("CREATE TRIGGER fonwerk_ad_changes_update AFTER UPDATE OF " +
                  Joined(columns, ", ") + " ON ad FOR EACH ROW WHEN (" +
                  AnyChanged(columns, " IS DISTINCT FROM ") + ") EXECUTE FUNCTION " + function);
  session.Execute(
      "CREATE TRIGGER fonwerk_ad_changes_truncate AFTER TRUNCATE ON ad "
      "FOR EACH STATEMENT EXECUTE FUNCTION " +
      function);
  if (!Exists(session, kPgIndexOnKey)) {
    session.Execute(std::string("CREATE INDEX ") + kIndex + " ON tapi (" +
                    QuotedColumn(session, "TAPI", "AD_DSN") + ")");
  }
}

void DisablePostgres(ado::Session& session) {
  if (Exists(session, "SELECT 1 WHERE to_regclass('ad') IS NOT NULL")) {
    session.Execute(kPgDropTriggers);
  }
  session.Execute("DROP FUNCTION IF EXISTS fonwerk_ad_changes_capture()");
  session.Execute("DROP TABLE IF EXISTS fonwerk_ad_changes");
  session.Execute(std::string("DROP INDEX IF EXISTS ") + kIndex);
}

// Runs `work` in a transaction of its own on `session`, rolled back when it throws.
template <class Work>
void InTransaction(ado::Session& session, Work&& work) {
  session.BeginTransaction();
  try {
    work(session);
  } catch (...) {
    try {
      if (session.InTransaction()) session.RollbackTransaction();
    } catch (const std::exception&) {
      // The failure of the work is the one to report.
    }
    throw;
  }
  session.CommitTransaction();
}

}  // namespace

bool Enabled(ado::Session& session) {
  auto cursor = session.Query(IsPostgres(session) ? kPgObjects : kSqliteObjects, false);
  std::vector<Variant> row;
  if (!cursor->Next(row)) return false;
  return IsPostgres(session) ? row.at(0).ToBool() : row.at(0).ToInteger() == 4;
}

void Enable(ado::Session& session) {
  RequireHarvestColumns(session);
  InTransaction(session, [](ado::Session& open) {
    IsPostgres(open) ? EnablePostgres(open) : EnableSqlite(open);
  });
}

void Disable(ado::Session& session) {
  InTransaction(session, [](ado::Session& open) {
    IsPostgres(open) ? DisablePostgres(open) : DisableSqlite(open);
  });
}

std::vector<Change> ReadChanges(ado::Session& session, int limit) {
  const std::string now =
      IsPostgres(session) ? "extract(epoch FROM clock_timestamp())" : kSqliteNow;
  auto cursor =
      session.Query("SELECT SEQ, AD_DSN, " + now + " - CHANGED_AT FROM " + std::string(kQueue) +
                        " ORDER BY SEQ LIMIT " + std::to_string(limit),
                    false);
  std::vector<Change> changes;
  std::vector<Variant> row;
  while (cursor->Next(row)) {
    Change change;
    change.seq = row.at(0).ToInteger();
    if (!row.at(1).IsNull() && !row.at(1).IsEmpty()) change.key = row.at(1).ToText();
    change.age_seconds = std::max(0.0, row.at(2).ToDouble());
    changes.push_back(std::move(change));
  }
  return changes;
}

void DeleteChanges(ado::Session& session, const std::vector<int64_t>& seqs) {
  if (seqs.empty()) return;
  std::string list;
  for (const int64_t seq : seqs) list += (list.empty() ? "" : ",") + std::to_string(seq);
  session.Execute(std::string("DELETE FROM ") + kQueue + " WHERE SEQ IN (" + list + ")");
}

}  // namespace fonwerk::capture
