#include "db/sqlite/sqlite_session.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>

#include "base/errors.h"
#include "base/text.h"
#include "db/session_providers.h"
#include "db/sqlite/sqlite_cursor.h"
#include "db/sqlite/sqlite_dialect.h"
#include "db/sqlite/sqlite_error.h"
#include "db/sqlite/sqlite_functions.h"
#include "db/sqlite/sqlite_values.h"

namespace fonwerk::ado {

void SqliteCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteFinalizer::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }

namespace {

using sqlite::SqliteError;

constexpr int kBusyTimeoutMs = 5000;

// A writer leaves the -wal (emptied) and -shm files in place when it closes:
// a reader that may not create files in the folder (an account that may only
// read) needs them to read a database in WAL mode.
void KeepWalFiles(sqlite3* db) {
  int keep = 1;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
  sqlite3_exec(db, "PRAGMA journal_size_limit=67108864", nullptr, nullptr, nullptr);
}

bool OnlyBlanksOrSemicolons(const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) {
    if (!sqlite::IsSpace(*p) && *p != ';') return false;
  }
  return true;
}

// Asked every this many virtual machine steps whether the deadline passed.
constexpr int kDeadlineCheckSteps = 1000;

}  // namespace

void SqliteSession::SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) {
    sqlite3_progress_handler(db_.get(), 0, nullptr, nullptr);
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    return;
  }
  deadline_ = *deadline;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  const int64_t busy = std::clamp<int64_t>(left.count(), 1, kBusyTimeoutMs);
  sqlite3_busy_timeout(db_.get(), static_cast<int>(busy));
  sqlite3_progress_handler(
      db_.get(), kDeadlineCheckSteps,
      [](void* session) -> int {
        return std::chrono::steady_clock::now() >= static_cast<SqliteSession*>(session)->deadline_;
      },
      this);
}

SqliteSession::SqliteSession(const std::string& path, bool read_only) : path_(path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &raw,
      (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    const std::string reason = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw DbError(DbError::Kind::kConnection, "Cannot open SQLite database " + path + ": " + reason,
                  std::to_string(rc));
  }
  sqlite3_extended_result_codes(db_.get(), 1);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  // Reading the schema proves that the file is a database.
  const int probe =
      sqlite3_exec(db_.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (probe != SQLITE_OK) {
    throw DbError(DbError::Kind::kConnection,
                  "Cannot open SQLite database " + path + ": " + sqlite3_errmsg(db_.get()),
                  std::to_string(probe));
  }
  // WAL lets readers in other processes go on during a long rebuild; a
  // database that cannot switch (read-only folder, ...) keeps its mode. The
  // switch writes the database header, so a file without a page (an empty
  // file) is left as it is: a session does not make a database of it.
  if (!read_only && PageCount() > 0) {
    sqlite3_exec(db_.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    KeepWalFiles(db_.get());
  }
  // A larger page cache (32 MiB) keeps the TAPI indexes of a big rebuild from
  // spilling to the WAL in the middle of the transaction. Every stored batch
  // inside a transaction runs under a savepoint, whose journal is kept in
  // memory: a journal that spills to a temporary file makes every later batch
  // pay for file writes. (Raising the spill limit instead, through
  // SQLITE_CONFIG_STMTJRNL_SPILL, makes SQLite 3.40 fail large savepoints with
  // SQLITE_FULL and roll the whole transaction back.)
  sqlite3_exec(db_.get(), "PRAGMA cache_size=-32768", nullptr, nullptr, nullptr);
  sqlite3_exec(db_.get(), "PRAGMA temp_store=MEMORY", nullptr, nullptr, nullptr);
  sqlite::AddFunctions(db_.get());
  begin_ = Prepare("BEGIN IMMEDIATE");
  commit_ = Prepare("COMMIT");
  rollback_ = Prepare("ROLLBACK");
  savepoint_ = Prepare("SAVEPOINT fonwerk_store");
  release_ = Prepare("RELEASE fonwerk_store");
  schema_version_ = Prepare("PRAGMA schema_version");
  rollback_to_ = Prepare("ROLLBACK TO fonwerk_store");
  // From here on, what this connection prepares and every end of a
  // transaction tell whether the schema can have changed.
  sqlite3_set_authorizer(db_.get(), &SqliteSession::Authorize, this);
  sqlite3_commit_hook(
      db_.get(),
      [](void* self) {
        static_cast<SqliteSession*>(self)->schema_checked_ = false;
        return 0;
      },
      this);
  sqlite3_rollback_hook(
      db_.get(), [](void* self) { static_cast<SqliteSession*>(self)->schema_checked_ = false; },
      this);
}

int SqliteSession::Authorize(void* self, int action, const char*, const char*, const char*,
                             const char*) {
  switch (action) {
    case SQLITE_READ:
    case SQLITE_SELECT:
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
      break;
    default:
      static_cast<SqliteSession*>(self)->schema_checked_ = false;
  }
  return SQLITE_OK;
}

SqliteSession::~SqliteSession() = default;

int64_t SqliteSession::PageCount() {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), "PRAGMA page_count", -1, &raw, nullptr);
  const SqliteStatement stmt(raw);
  if (rc != SQLITE_OK || sqlite3_step(raw) != SQLITE_ROW) {
    throw DbError(DbError::Kind::kConnection,
                  "Cannot open SQLite database " + path_ + ": " + sqlite3_errmsg(db_.get()),
                  std::to_string(sqlite3_errcode(db_.get())));
  }
  return sqlite3_column_int64(raw, 0);
}

SqliteStatement SqliteSession::Prepare(std::string_view sql, const char** tail) {
  sqlite3_stmt* raw = nullptr;
  const int rc =
      sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, tail);
  SqliteStatement stmt(raw);
  if (rc != SQLITE_OK) throw SqliteError(db_.get(), rc, sql);
  return stmt;
}

void SqliteSession::Run(sqlite3_stmt* stmt, std::string_view what) {
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    DbError error = SqliteError(db_.get(), rc, what);
    sqlite3_reset(stmt);
    throw error;
  }
  sqlite3_reset(stmt);
}

SqliteStatement SqliteSession::PrepareSingle(const std::string& text, const std::string& sql,
                                             const char* none, const char* several) {
  const char* tail = nullptr;
  SqliteStatement stmt = Prepare(text, &tail);
  if (!stmt) throw DbError(DbError::Kind::kUsage, none + sql);
  const char* end = text.data() + text.size();
  if (tail && !OnlyBlanksOrSemicolons(tail, end) &&
      Prepare(std::string_view(tail, static_cast<size_t>(end - tail)))) {
    throw DbError(DbError::Kind::kUsage, several + sqlite::StatementForMessage(sql));
  }
  return stmt;
}

std::unique_ptr<Cursor> SqliteSession::Query(const std::string& sql, bool /*streaming*/) {
  // Both kinds of cursor step the statement; a static recordset simply reads it to the end.
  SqliteStatement stmt =
      PrepareSingle(TranslateForSqlite(sql), sql,
                    "The query holds no statement: ", "A query may hold only one statement: ");
  return sqlite::MakeCursor(db_.get(), std::move(stmt), sql);
}

void SqliteSession::Execute(const std::string& sql) {
  const std::string text = TranslateForSqlite(sql);
  std::string_view rest = text;
  while (!OnlyBlanksOrSemicolons(rest.data(), rest.data() + rest.size())) {
    const char* tail = nullptr;
    SqliteStatement stmt = Prepare(rest, &tail);
    const size_t used = tail ? static_cast<size_t>(tail - rest.data()) : rest.size();
    if (stmt) Run(stmt.get(), rest.substr(0, used));
    if (used == 0) break;
    rest.remove_prefix(used);
  }
}

void SqliteSession::Bind(sqlite3_stmt* stmt, const std::vector<Variant>& params,
                         const std::string& sql) {
  const int placeholders = sqlite3_bind_parameter_count(stmt);
  if (placeholders != static_cast<int>(params.size())) {
    throw DbError(DbError::Kind::kUsage, "The command has " + std::to_string(placeholders) +
                                             " placeholders for " + std::to_string(params.size()) +
                                             " parameters: " + sqlite::StatementForMessage(sql));
  }
  for (size_t i = 0; i < params.size(); ++i) {
    const int rc = sqlite::BindValue(stmt, static_cast<int>(i + 1), params[i]);
    if (rc != SQLITE_OK) {
      DbError error = SqliteError(db_.get(), rc, sql);
      sqlite3_clear_bindings(stmt);
      throw error;
    }
  }
}

void SqliteSession::Execute(const std::string& sql, const std::vector<Variant>& params) {
  const std::string text = TranslateForSqlite(sql);
  SqliteStatement stmt = PrepareSingle(text, sql, "The command holds no statement: ",
                                       "A command with parameters may hold only one statement: ");
  Bind(stmt.get(), params, sql);
  Run(stmt.get(), text);
}

// A statement that is still being read (a cursor on it is open) is not
// reused: the query is then prepared anew, once. So are the queries beyond
// the first kMostPreparedQueries texts, which keeps the cache bounded for a
// caller that builds a new text each time.
std::unique_ptr<Cursor> SqliteSession::PreparedQuery(const std::string& sql,
                                                     const std::vector<Variant>& params) {
  constexpr std::size_t kMostPreparedQueries = 64;
  const std::string text = TranslateForSqlite(sql);
  auto found = prepared_.find(text);
  if (found == prepared_.end() || found->second.in_use) {
    SqliteStatement stmt = PrepareSingle(
        text, sql, "The query holds no statement: ", "A query may hold only one statement: ");
    if (found != prepared_.end() || prepared_.size() >= kMostPreparedQueries) {
      Bind(stmt.get(), params, sql);
      return sqlite::MakeCursor(db_.get(), std::move(stmt), sql);
    }
    found = prepared_.emplace(text, PreparedStatement{std::move(stmt), false}).first;
  }
  PreparedStatement& prepared = found->second;
  Bind(prepared.stmt.get(), params, sql);
  prepared.in_use = true;
  return sqlite::MakeBorrowingCursor(db_.get(), prepared.stmt.get(), &prepared.in_use, sql);
}

const std::vector<ColumnInfo>& SqliteSession::TableColumns(const std::string& table) {
  if (last_columns_ != nullptr && table == last_table_) return *last_columns_;
  const std::string key = text::AsciiLower(table);
  if (auto found = table_columns_.find(key); found != table_columns_.end()) return found->second;
  SqliteStatement stmt =
      Prepare("SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?1)");
  sqlite3_bind_text(stmt.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  std::vector<ColumnInfo> columns;
  std::vector<bool> integer_key;
  int key_columns = 0;
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    const char* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
    ColumnInfo info = sqlite::DescribeColumn(name ? name : "", type);
    info.not_null = sqlite3_column_int(stmt.get(), 2) != 0;
    info.has_default = sqlite3_column_type(stmt.get(), 3) != SQLITE_NULL;
    const bool in_key = sqlite3_column_int(stmt.get(), 4) != 0;
    key_columns += in_key ? 1 : 0;
    integer_key.push_back(in_key && type && text::EqualsNoCase(type, "INTEGER"));
    columns.push_back(std::move(info));
  }
  if (rc != SQLITE_DONE) throw SqliteError(db_.get(), rc, "table_info " + table);
  if (columns.empty()) {
    throw DbError(DbError::Kind::kStatement, "no such table: " + table);
  }
  // A single INTEGER PRIMARY KEY column is the rowid: SQLite fills it itself.
  for (size_t i = 0; i < columns.size(); ++i) {
    if (integer_key[i] && key_columns == 1) columns[i].has_default = true;
  }
  return table_columns_.emplace(key, std::move(columns)).first->second;
}

void SqliteSession::BeginTransaction() { Run(begin_.get(), "BEGIN IMMEDIATE"); }
void SqliteSession::CommitTransaction() { Run(commit_.get(), "COMMIT"); }
void SqliteSession::RollbackTransaction() { Run(rollback_.get(), "ROLLBACK"); }
bool SqliteSession::InTransaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }

std::unique_ptr<Session> OpenSqliteSession(const ConnectionString& params) {
  const std::optional<std::string> source = params.Get("Data Source");
  if (!source || source->empty()) {
    throw DbError(DbError::Kind::kUsage, "The SQLite connection string names no Data Source");
  }
  if (source->front() != '/') {
    throw DbError(DbError::Kind::kUsage,
                  "The SQLite Data Source must be an absolute path: " + *source);
  }
  // Mode=Read (as ADO's adModeRead) opens the file for reading only.
  const bool read_only = text::AsciiLower(params.Get("Mode").value_or("")) == "read";
  return std::make_unique<SqliteSession>(*source, read_only);
}

void CreateSqliteFile(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  const SqliteHandle db(raw);
  if (rc != SQLITE_OK) {
    throw DbError(DbError::Kind::kConnection, db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc),
                  std::to_string(rc));
  }
  // Writing the journal mode turns the new file into a real database file.
  char* message = nullptr;
  const int exec_rc = sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, &message);
  const std::unique_ptr<char, decltype(&sqlite3_free)> message_owner(message, &sqlite3_free);
  if (exec_rc != SQLITE_OK) {
    throw DbError(DbError::Kind::kConnection, message ? message : sqlite3_errstr(exec_rc),
                  std::to_string(exec_rc));
  }
}

}  // namespace fonwerk::ado
