#include "db/pg/pg_session.h"

#include <poll.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "base/text.h"
#include "db/pg/pg_cursor.h"
#include "db/session_providers.h"

namespace fonwerk::ado {
namespace {

// The table's columns with their base types (a domain counts as its base
// type), in table order, and whether COPY stores rows as INSERT would (a plain
// or partitioned table without rules: COPY ignores rules). With no table of that name the one row has a null
// relation. The name is tried as PostgreSQL reads an unquoted name (folded to
// lower case, schema-qualified if given), then as it stands.
constexpr const char* kColumnsSql = R"sql(
WITH rel AS (SELECT COALESCE(to_regclass($1), to_regclass(quote_ident($1))) AS oid)
SELECT rel.oid::regclass::text, a.attname,
       CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE a.atttypid END,
       CASE WHEN t.typtype = 'd' THEN t.typtypmod ELSE a.atttypmod END,
       a.attnotnull,
       a.atthasdef OR a.attidentity <> '' OR a.attgenerated <> '',
       (SELECT c.relkind IN ('r', 'p') AND NOT c.relhasrules
        FROM pg_catalog.pg_class c WHERE c.oid = rel.oid)
FROM rel
LEFT JOIN pg_catalog.pg_attribute a
       ON a.attrelid = rel.oid AND a.attnum > 0 AND NOT a.attisdropped
LEFT JOIN pg_catalog.pg_type t ON t.oid = a.atttypid
ORDER BY a.attnum)sql";

// The table of a plain "TRUNCATE [TABLE] <name>" statement; none for any
// other statement (several tables, options, ONLY, ...).
std::optional<std::string> TruncatedTable(const std::string& sql) {
  std::istringstream in(sql);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(std::move(word));
  if (!words.empty() && words.back() == ";") words.pop_back();
  if (!words.empty() && words.back().size() > 1 && words.back().back() == ';') {
    words.back().pop_back();
  }
  std::size_t next = 1;
  if (words.empty() || !text::EqualsNoCase(words[0], "truncate")) return std::nullopt;
  if (next < words.size() && text::EqualsNoCase(words[next], "table")) ++next;
  if (words.size() != next + 1) return std::nullopt;
  const std::string& name = words[next];
  if (text::EqualsNoCase(name, "only") || name.find(',') != std::string::npos) return std::nullopt;
  return name;
}

bool IsTrue(const PGresult* result, int row, int field) {
  return !PQgetisnull(result, row, field) && PQgetvalue(result, row, field)[0] == 't';
}

}  // namespace

PostgresSession::PostgresSession(const ConnectionString& params)
    : params_(params), conn_(pg::Connect(params)), store_(conn_.get()) {}

template <typename Work>
decltype(auto) PostgresSession::Guarded(Work&& work) {
  if (lost_) throw DbError(DbError::Kind::kConnection, lost_message_);
  try {
    return work();
  } catch (const DbError& error) {
    if (error.connection_lost()) MarkLost(error.description());
    throw;
  }
}

void PostgresSession::MarkLost(const std::string& message) {
  lost_ = true;
  lost_message_ = message;
  in_transaction_ = false;
  store_.Reset();
}

std::unique_ptr<Cursor> PostgresSession::Query(const std::string& sql, bool streaming) {
  Guarded([&] { store_.Flush(); });
  // The streaming cursor's connection is its own: its failures do not touch this session.
  if (streaming) return pg::OpenStreamingCursor(params_, sql);
  return Guarded([&] { return pg::MakeResultCursor(Run(sql)); });
}

void PostgresSession::Execute(const std::string& sql) {
  Guarded([&] {
    store_.Flush();
    std::optional<std::string> truncated = in_transaction_ ? TruncatedTable(sql) : std::nullopt;
    Run(truncated ? "DELETE FROM " + *truncated : sql);
  });
}

namespace {

bool IsNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) != 0 || c == '_' || u >= 0x80;
}

// End of the literal, quoted name, comment or dollar-quoted text that starts
// at `i`, or `i` when none starts there.
std::size_t SkipQuotedText(const std::string& sql, std::size_t i) {
  const char c = sql[i];
  const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
  if (c == '-' && next == '-') {
    const std::size_t end = sql.find('\n', i);
    return end == std::string::npos ? sql.size() : end + 1;
  }
  if (c == '/' && next == '*') {  // block comments nest
    int depth = 0;
    for (std::size_t j = i; j + 1 < sql.size(); ++j) {
      if (sql[j] == '/' && sql[j + 1] == '*') {
        ++depth;
        ++j;
      } else if (sql[j] == '*' && sql[j + 1] == '/') {
        ++j;
        if (--depth == 0) return j + 1;
      }
    }
    return sql.size();
  }
  if (c == '$') {  // $tag$...$tag$; $1 and names holding $ are no quotes
    if (i > 0 && (IsNameChar(sql[i - 1]) || sql[i - 1] == '$')) return i;
    if (std::isdigit(static_cast<unsigned char>(next)) != 0) return i;
    std::size_t j = i + 1;
    while (j < sql.size() && IsNameChar(sql[j])) ++j;
    if (j >= sql.size() || sql[j] != '$') return i;
    const std::string tag = sql.substr(i, j - i + 1);
    const std::size_t end = sql.find(tag, j + 1);
    return end == std::string::npos ? sql.size() : end + tag.size();
  }
  if (c != '\'' && c != '"') return i;
  // E'...' reads backslash escapes; other literals take a backslash as it stands.
  const bool escapes = c == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                       (i < 2 || !IsNameChar(sql[i - 2]));
  return text::EndOfQuoted(sql, i, escapes);
}

// `sql` with its `?` placeholders numbered $1, $2, ... for the parameters
// that have a value, whose texts go to `texts`, and written NULL for the
// others (the text parameters libpq is given carry no NULL). Throws DbError
// (kUsage) when the counts differ or a text holds a NUL byte.
std::string NumberPlaceholders(const std::string& sql, const std::vector<Variant>& params,
                               std::vector<std::string>& texts) {
  std::string out;
  out.reserve(sql.size() + 2 * params.size());
  std::size_t placeholders = 0;
  std::size_t i = 0;
  while (i < sql.size()) {
    const std::size_t skipped = SkipQuotedText(sql, i);
    if (skipped != i) {
      out.append(sql, i, skipped - i);
      i = skipped;
      continue;
    }
    if (sql[i] != '?') {
      out += sql[i++];
      continue;
    }
    ++i;
    if (placeholders++ >= params.size()) continue;  // reported below
    const Variant& value = params[placeholders - 1];
    if (value.IsNull() || value.IsEmpty()) {
      out += "NULL";
      continue;
    }
    if (value.type() == Variant::Type::kBoolean) {
      texts.emplace_back(value.ToBool() ? "1" : "0");
    } else {
      texts.push_back(value.ToText());
    }
    if (texts.back().find('\0') != std::string::npos) {
      throw DbError(DbError::Kind::kUsage, "A parameter holds a NUL byte: " + sql);
    }
    out += '$' + std::to_string(texts.size());
  }
  if (placeholders != params.size()) {
    throw DbError(DbError::Kind::kUsage, "The command has " + std::to_string(placeholders) +
                                             " placeholders for " + std::to_string(params.size()) +
                                             " parameters: " + sql);
  }
  return out;
}

}  // namespace

void PostgresSession::Execute(const std::string& sql, const std::vector<Variant>& params) {
  std::vector<std::string> texts;
  const std::string numbered = NumberPlaceholders(sql, params, texts);
  Guarded([&] {
    store_.Flush();
    Run(numbered, &texts);
  });
}

std::unique_ptr<Cursor> PostgresSession::PreparedQuery(const std::string& sql,
                                                       const std::vector<Variant>& params) {
  std::vector<std::string> texts;
  const std::string numbered = NumberPlaceholders(sql, params, texts);
  return Guarded([&] {
    store_.Flush();
    return pg::MakeResultCursor(in_transaction_ ? Run(numbered, &texts)
                                                : RunPrepared(numbered, texts));
  });
}

pg::ResultPtr PostgresSession::RunPrepared(const std::string& sql,
                                           const std::vector<std::string>& params) {
  // Beyond this many texts the queries run unprepared, so that a caller who
  // builds a new text each time does not fill the server's memory.
  constexpr std::size_t kMostPreparedQueries = 64;
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    if (prepared_.size() >= kMostPreparedQueries) return pg::ExecParams(conn_.get(), sql, params);
    const std::string name = "fonwerk_q" + std::to_string(++prepared_count_);
    pg::Prepare(conn_.get(), name, sql, static_cast<int>(params.size()));
    found = prepared_.emplace(sql, name).first;
  }
  const std::string name = found->second;
  try {
    return pg::ExecPrepared(conn_.get(), name, params);
  } catch (const DbError& error) {
    // "cached plan must not change result type"
    if (error.connection_lost() || error.sqlstate() != "0A000") throw;
  }
  prepared_.erase(found);
  pg::Exec(conn_.get(), "DEALLOCATE " + name);
  pg::Prepare(conn_.get(), name, sql, static_cast<int>(params.size()));
  prepared_.emplace(sql, name);
  return pg::ExecPrepared(conn_.get(), name, params);
}

const std::vector<ColumnInfo>& PostgresSession::TableColumns(const std::string& table) {
  // A cached table sends nothing, so queued stores need not be completed for it.
  return Guarded([&]() -> const std::vector<ColumnInfo>& { return Table(table).columns; });
}

void PostgresSession::StoreRows(RowBatch&& batch, const std::string& tag) {
  Guarded([&] {
    const pg::TableInfo& table = Table(batch.table);
    if (in_transaction_) {
      store_.Queue(table, std::move(batch), tag);
    } else {
      store_.StoreNow(table, batch);
    }
  });
}

void PostgresSession::FlushStores() {
  Guarded([&] { store_.Flush(); });
}

std::vector<StoreFailure> PostgresSession::TakeStoreFailures() { return store_.TakeFailures(); }

namespace {

// Reads what the server has sent and drops the notifications among it.
// Returns whether there was one; throws when the connection is gone.
bool ConsumeNotifications(PGconn* conn) {
  if (PQconsumeInput(conn) == 0) {
    throw DbError(DbError::Kind::kConnection, pg::ErrorText(conn, nullptr));
  }
  bool any = false;
  while (PGnotify* notification = PQnotifies(conn)) {
    any = true;
    PQfreemem(notification);
  }
  return any;
}

}  // namespace

bool PostgresSession::AwaitNotification(std::chrono::milliseconds timeout) {
  return Guarded([&] {
    store_.Flush();
    PGconn* conn = conn_.get();
    // Notifications that came with the results of earlier statements wait in
    // libpq's queue already; the socket only tells of later ones.
    if (ConsumeNotifications(conn)) return true;
    pollfd socket{PQsocket(conn), POLLIN, 0};
    const int ready = ::poll(&socket, 1, static_cast<int>(timeout.count()));
    if (ready < 0 && errno != EINTR) {
      throw DbError(DbError::Kind::kConnection,
                    std::string("waiting for a notification failed: ") + std::strerror(errno));
    }
    return ready > 0 && ConsumeNotifications(conn);
  });
}

void PostgresSession::BeginTransaction() {
  Guarded([&] {
    if (in_transaction_) throw DbError(DbError::Kind::kUsage, "A transaction is already open");
    pg::Exec(conn_.get(), "BEGIN");
    in_transaction_ = true;
  });
}

void PostgresSession::CommitTransaction() {
  Guarded([&] {
    if (!in_transaction_) throw DbError(DbError::Kind::kUsage, "No transaction is open");
    store_.Flush();
    in_transaction_ = false;
    pg::ResultPtr result = pg::Exec(conn_.get(), "COMMIT");
    // COMMIT of a transaction that an error has aborted answers ROLLBACK.
    if (std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0) {
      throw DbError(DbError::Kind::kStatement,
                    "The transaction had failed and was rolled back instead of committed", "25P02");
    }
  });
}

void PostgresSession::RollbackTransaction() {
  if (lost_ || !in_transaction_) {
    in_transaction_ = false;
    return;
  }
  Guarded([&] {
    store_.Discard();
    in_transaction_ = false;
    pg::Exec(conn_.get(), "ROLLBACK");
  });
}

pg::ResultPtr PostgresSession::Run(const std::string& sql, const std::vector<std::string>* params) {
  auto run = [&] {
    return params ? pg::ExecParams(conn_.get(), sql, *params) : pg::Exec(conn_.get(), sql);
  };
  if (!in_transaction_) return run();
  pg::Exec(conn_.get(), "SAVEPOINT fw_statement");
  try {
    pg::ResultPtr result = run();
    pg::Exec(conn_.get(), "RELEASE SAVEPOINT fw_statement");
    return result;
  } catch (const DbError& error) {
    if (!error.connection_lost()) {
      pg::Exec(conn_.get(), "ROLLBACK TO SAVEPOINT fw_statement; RELEASE SAVEPOINT fw_statement");
    }
    throw;
  }
}

const pg::TableInfo& PostgresSession::Table(const std::string& table) {
  auto found = tables_.find(table);
  if (found != tables_.end()) return found->second;
  store_.Flush();
  return tables_.emplace(table, LoadTable(table)).first->second;
}

pg::TableInfo PostgresSession::LoadTable(const std::string& table) {
  const std::vector<std::string> params{table};
  pg::ResultPtr result;
  try {
    result = Run(kColumnsSql, &params);
  } catch (const DbError& error) {
    if (error.connection_lost()) throw;
    throw DbError(DbError::Kind::kStatement,
                  "Table '" + table + "' cannot be looked up: " + error.description(),
                  error.sqlstate());
  }
  const PGresult* rows = result.get();
  if (PQntuples(rows) == 0 || PQgetisnull(rows, 0, 0)) {
    throw DbError(DbError::Kind::kStatement, "Table '" + table + "' does not exist", "42P01");
  }
  pg::TableInfo info;
  info.relation = PQgetvalue(rows, 0, 0);
  info.copy_allowed = IsTrue(rows, 0, 6);
  for (int row = 0; row < PQntuples(rows); ++row) {
    if (PQgetisnull(rows, row, 1)) continue;  // a table without columns
    const Oid type = static_cast<Oid>(std::strtoul(PQgetvalue(rows, row, 2), nullptr, 10));
    const int modifier = std::atoi(PQgetvalue(rows, row, 3));
    ColumnInfo column;
    column.name = PQgetvalue(rows, row, 1);
    column.defined_size = pg::DefinedSizeOf(type, modifier);
    column.is_text = pg::ClassifyType(type) == pg::TypeClass::kText;
    column.not_null = IsTrue(rows, row, 4);
    column.has_default = IsTrue(rows, row, 5);
    info.columns.push_back(std::move(column));
    info.classes.push_back(pg::ClassifyType(type));
  }
  return info;
}

std::unique_ptr<Session> OpenPostgresSession(const ConnectionString& params) {
  return std::make_unique<PostgresSession>(params);
}

}  // namespace fonwerk::ado
