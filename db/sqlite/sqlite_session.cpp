#include "db/sqlite/sqlite_session.h"

#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <mutex>
#include <optional>

#include "base/errors.h"
#include "db/session_providers.h"

namespace fonwerk::ado {

void SqliteCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteFinalizer::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr size_t kMaxStatementInMessage = 300;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A store's error, saying that the surrounding transaction is gone with it.
DbError TransactionEnded(const DbError& error) {
  return DbError(error.kind(), error.description() + " (the transaction was rolled back)",
                 error.sqlstate());
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// The statement for an error message, shortened when it is long.
std::string ForMessage(std::string_view sql) {
  while (!sql.empty() && IsSpace(sql.front())) sql.remove_prefix(1);
  while (!sql.empty() && IsSpace(sql.back())) sql.remove_suffix(1);
  if (sql.size() <= kMaxStatementInMessage) return std::string(sql);
  return std::string(sql.substr(0, kMaxStatementInMessage)) + "...";
}

DbError::Kind KindOf(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_IOERR:
      return DbError::Kind::kConnection;
    default:
      return DbError::Kind::kStatement;
  }
}

// SQLite's message for the last failure on `db`, with the statement if given.
DbError SqliteError(sqlite3* db, int rc, std::string_view sql) {
  std::string text = sqlite3_errmsg(db);
  if (!sql.empty()) text += " (statement: " + ForMessage(sql) + ")";
  return DbError(KindOf(rc), text, std::to_string(rc));
}

// ---- statement translation ----

// Consumes `keyword` and the blanks after it; at least one blank must follow.
bool ConsumeKeyword(std::string_view& text, std::string_view keyword) {
  if (text.size() <= keyword.size() || !EqualsNoCase(text.substr(0, keyword.size()), keyword) ||
      !IsSpace(text[keyword.size()])) {
    return false;
  }
  text.remove_prefix(keyword.size());
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  return true;
}

std::optional<std::string> TruncateAsDelete(std::string_view sql) {
  while (!sql.empty() && IsSpace(sql.front())) sql.remove_prefix(1);
  if (!ConsumeKeyword(sql, "truncate") || !ConsumeKeyword(sql, "table")) return std::nullopt;
  while (!sql.empty() && (IsSpace(sql.back()) || sql.back() == ';')) sql.remove_suffix(1);
  if (sql.empty()) return std::nullopt;
  return "DELETE FROM " + std::string(sql);
}

bool IsWordChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// End of the literal, quoted name or comment that starts at `i`, or `i` when
// none starts there.
size_t SkipQuoted(const std::string& sql, size_t i) {
  const char c = sql[i];
  if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
    const size_t end = sql.find('\n', i);
    return end == std::string::npos ? sql.size() : end + 1;
  }
  if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
    const size_t end = sql.find("*/", i + 2);
    return end == std::string::npos ? sql.size() : end + 2;
  }
  if (c != '\'' && c != '"' && c != '`' && c != '[') return i;
  const char close = c == '[' ? ']' : c;
  size_t j = i + 1;
  while (j < sql.size()) {
    if (sql[j] != close) {
      ++j;
    } else if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
      j += 2;  // doubled quote inside
    } else {
      return j + 1;
    }
  }
  return sql.size();
}

// Turns every call `RIGHT(` outside literals and comments into `"RIGHT"(`.
std::string QuoteRightCalls(const std::string& sql) {
  if (!ContainsNoCase(sql, "right")) return sql;
  std::string out;
  out.reserve(sql.size() + 8);
  size_t i = 0;
  while (i < sql.size()) {
    const size_t skipped = SkipQuoted(sql, i);
    if (skipped != i) {
      out.append(sql, i, skipped - i);
      i = skipped;
      continue;
    }
    if (!IsWordChar(sql[i])) {
      out += sql[i++];
      continue;
    }
    size_t end = i;
    while (end < sql.size() && IsWordChar(sql[end])) ++end;
    size_t next = end;
    while (next < sql.size() && IsSpace(sql[next])) ++next;
    const std::string_view word(sql.data() + i, end - i);
    const bool call = next < sql.size() && sql[next] == '(';
    out += (call && EqualsNoCase(word, "right")) ? std::string_view("\"RIGHT\"") : word;
    i = end;
  }
  return out;
}

// ---- the RIGHT() function ----

// Byte offset after skipping `count` UTF-8 characters from the start.
int SkipCharsForward(const unsigned char* text, int bytes, int64_t count) {
  int pos = 0;
  while (pos < bytes && count > 0) {
    ++pos;
    while (pos < bytes && (text[pos] & 0xC0) == 0x80) ++pos;
    --count;
  }
  return pos;
}

// Byte offset of the last `count` UTF-8 characters.
int SkipCharsBackward(const unsigned char* text, int bytes, int64_t count) {
  int pos = bytes;
  while (pos > 0 && count > 0) {
    --pos;
    while (pos > 0 && (text[pos] & 0xC0) == 0x80) --pos;
    --count;
  }
  return pos;
}

// RIGHT(text, n): the last n characters; a negative n drops the first -n
// characters instead (as PostgreSQL does). NULL in gives NULL out.
void RightFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const unsigned char* text = sqlite3_value_text(argv[0]);
  const int bytes = sqlite3_value_bytes(argv[0]);
  const int64_t count = sqlite3_value_int64(argv[1]);
  if (text == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  const int start =
      count >= 0 ? SkipCharsBackward(text, bytes, count) : SkipCharsForward(text, bytes, -count);
  sqlite3_result_text(context, reinterpret_cast<const char*>(text) + start, bytes - start,
                      SQLITE_TRANSIENT);
}

// ---- column descriptions ----

// SQLite's affinity rule: a declared type holding "INT" is numeric; otherwise
// one holding "CHAR", "CLOB" or "TEXT" is text.
bool HasTextAffinity(std::string_view declared_type) {
  if (ContainsNoCase(declared_type, "int")) return false;
  return ContainsNoCase(declared_type, "char") || ContainsNoCase(declared_type, "clob") ||
         ContainsNoCase(declared_type, "text");
}

ColumnInfo DescribeColumn(std::string name, const char* declared_type) {
  ColumnInfo info;
  info.name = std::move(name);
  const std::string_view type = declared_type ? declared_type : "";
  info.defined_size = DeclaredTextWidth(type);
  info.is_text = HasTextAffinity(type);
  return info;
}

// Column `index` of the current row into `out`, reusing its text buffer.
void ReadColumn(sqlite3_stmt* stmt, int index, Variant& out) {
  switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
      out = Variant(static_cast<int64_t>(sqlite3_column_int64(stmt, index)));
      return;
    case SQLITE_FLOAT:
      out = Variant(sqlite3_column_double(stmt, index));
      return;
    case SQLITE_NULL:
      out.SetNull();
      return;
    case SQLITE_BLOB: {
      const void* data = sqlite3_column_blob(stmt, index);
      const int bytes = sqlite3_column_bytes(stmt, index);
      out.SetText(std::string_view(static_cast<const char*>(data), data ? bytes : 0));
      return;
    }
    default: {
      const unsigned char* text = sqlite3_column_text(stmt, index);
      const int bytes = sqlite3_column_bytes(stmt, index);
      out.SetText(std::string_view(reinterpret_cast<const char*>(text), text ? bytes : 0));
      return;
    }
  }
}

// Binds one set value; text is bound without a copy, so `value` must outlive the step.
int BindValue(sqlite3_stmt* stmt, int position, const Variant& value) {
  switch (value.type()) {
    case Variant::Type::kText:
      return sqlite3_bind_text(stmt, position, value.text().data(),
                               static_cast<int>(value.text().size()), SQLITE_STATIC);
    case Variant::Type::kInteger:
      return sqlite3_bind_int64(stmt, position, value.ToInteger());
    case Variant::Type::kDouble:
      return sqlite3_bind_double(stmt, position, value.ToDouble());
    case Variant::Type::kBoolean:
      return sqlite3_bind_int(stmt, position, value.ToBool() ? 1 : 0);
    default:
      return sqlite3_bind_null(stmt, position);
  }
}

// A cursor over one prepared statement. The first step runs when the cursor is
// made, so a statement that fails at run time fails the query.
class SqliteCursor : public Cursor {
 public:
  SqliteCursor(sqlite3* db, SqliteStatement stmt, std::string sql)
      : db_(db), stmt_(std::move(stmt)), sql_(std::move(sql)) {
    const int count = sqlite3_column_count(stmt_.get());
    columns_.reserve(count);
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(stmt_.get(), i);
      columns_.push_back(DescribeColumn(name ? name : "", sqlite3_column_decltype(stmt_.get(), i)));
    }
    pending_ = Step();
  }

  const std::vector<ColumnInfo>& Columns() const override { return columns_; }

  bool Next(std::vector<Variant>& row) override {
    if (!Advance()) return false;
    row.resize(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) Read(i, row[i]);
    return true;
  }

  // The values stay in the statement until the next step: nothing is copied
  // here, Read() takes a column straight from SQLite.
  bool Advance() override {
    if (!stmt_) return false;
    const int rc = pending_ != 0 ? pending_ : Step();
    pending_ = 0;
    if (rc == SQLITE_DONE) {
      stmt_.reset();  // ends the statement's read transaction at once
      return false;
    }
    return true;
  }

  void Read(size_t index, Variant& out) override {
    ReadColumn(stmt_.get(), static_cast<int>(index), out);
  }

 private:
  int Step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      DbError error = SqliteError(db_, rc, sql_);
      stmt_.reset();
      throw error;
    }
    return rc;
  }

  sqlite3* db_;
  SqliteStatement stmt_;
  std::string sql_;
  std::vector<ColumnInfo> columns_;
  int pending_ = 0;  // result of a step already taken and not yet consumed
};

bool OnlyBlanksOrSemicolons(const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) {
    if (!IsSpace(*p) && *p != ';') return false;
  }
  return true;
}

}  // namespace

std::string TranslateForSqlite(const std::string& sql) {
  if (auto truncate = TruncateAsDelete(sql)) return *truncate;
  return QuoteRightCalls(sql);
}

int32_t DeclaredTextWidth(std::string_view declared_type) {
  // Upper case with runs of blanks collapsed, so "character  varying" matches.
  std::string type;
  for (char c : declared_type) {
    if (IsSpace(c)) {
      if (!type.empty() && type.back() != ' ') type += ' ';
    } else {
      type += UpperAscii(c);
    }
  }
  static constexpr std::string_view kTextTypes[] = {"CHARACTER VARYING", "NVARCHAR", "VARCHAR",
                                                    "CHARACTER",         "NCHAR",    "CHAR"};
  for (std::string_view name : kTextTypes) {
    if (type.compare(0, name.size(), name) != 0) continue;
    std::string_view rest = std::string_view(type).substr(name.size());
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    if (rest.size() < 3 || rest.front() != '(' || rest.back() != ')') return -1;
    rest = rest.substr(1, rest.size() - 2);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    int32_t width = -1;
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), width);
    if (ec != std::errc() || ptr != rest.data() + rest.size() || width < 0) return -1;
    return width;
  }
  return -1;
}

SqliteSession::SqliteSession(const std::string& path) : path_(path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
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
  // database that cannot switch (read-only folder, ...) keeps its mode.
  sqlite3_exec(db_.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  // A larger page cache (32 MiB) keeps the TAPI indexes of a big rebuild from
  // spilling to the WAL in the middle of the transaction. Every stored batch
  // inside a transaction runs under a savepoint, whose journal is kept in
  // memory: a journal that spills to a temporary file makes every later batch
  // pay for file writes. (Raising the spill limit instead, through
  // SQLITE_CONFIG_STMTJRNL_SPILL, makes SQLite 3.40 fail large savepoints with
  // SQLITE_FULL and roll the whole transaction back.)
  sqlite3_exec(db_.get(), "PRAGMA cache_size=-32768", nullptr, nullptr, nullptr);
  sqlite3_exec(db_.get(), "PRAGMA temp_store=MEMORY", nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db_.get(), "RIGHT", 2,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                             &RightFunction, nullptr, nullptr, nullptr);
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

std::unique_ptr<Cursor> SqliteSession::Query(const std::string& sql, bool /*streaming*/) {
  // Both kinds of cursor step the statement; a static recordset simply reads it to the end.
  const std::string text = TranslateForSqlite(sql);
  const char* tail = nullptr;
  SqliteStatement stmt = Prepare(text, &tail);
  if (!stmt) throw DbError(DbError::Kind::kUsage, "The query holds no statement: " + sql);
  const char* end = text.data() + text.size();
  if (tail && !OnlyBlanksOrSemicolons(tail, end) &&
      Prepare(std::string_view(tail, static_cast<size_t>(end - tail)))) {
    throw DbError(DbError::Kind::kUsage, "A query may hold only one statement: " + ForMessage(sql));
  }
  return std::make_unique<SqliteCursor>(db_.get(), std::move(stmt), sql);
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

void SqliteSession::Execute(const std::string& sql, const std::vector<Variant>& params) {
  const std::string text = TranslateForSqlite(sql);
  const char* tail = nullptr;
  SqliteStatement stmt = Prepare(text, &tail);
  if (!stmt) throw DbError(DbError::Kind::kUsage, "The command holds no statement: " + sql);
  const char* end = text.data() + text.size();
  if (tail && !OnlyBlanksOrSemicolons(tail, end) &&
      Prepare(std::string_view(tail, static_cast<size_t>(end - tail)))) {
    throw DbError(DbError::Kind::kUsage,
                  "A command with parameters may hold only one statement: " + ForMessage(sql));
  }
  const int placeholders = sqlite3_bind_parameter_count(stmt.get());
  if (placeholders != static_cast<int>(params.size())) {
    throw DbError(DbError::Kind::kUsage, "The command has " + std::to_string(placeholders) +
                                             " placeholders for " + std::to_string(params.size()) +
                                             " parameters: " + ForMessage(sql));
  }
  for (size_t i = 0; i < params.size(); ++i) {
    const int rc = BindValue(stmt.get(), static_cast<int>(i + 1), params[i]);
    if (rc != SQLITE_OK) throw SqliteError(db_.get(), rc, text);
  }
  Run(stmt.get(), text);
}

const std::vector<ColumnInfo>& SqliteSession::TableColumns(const std::string& table) {
  if (last_columns_ != nullptr && table == last_table_) return *last_columns_;
  const std::string key = Lower(table);
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
    ColumnInfo info = DescribeColumn(name ? name : "", type);
    info.not_null = sqlite3_column_int(stmt.get(), 2) != 0;
    info.has_default = sqlite3_column_type(stmt.get(), 3) != SQLITE_NULL;
    const bool in_key = sqlite3_column_int(stmt.get(), 4) != 0;
    key_columns += in_key ? 1 : 0;
    integer_key.push_back(in_key && type && EqualsNoCase(type, "INTEGER"));
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

sqlite3_stmt* SqliteSession::InsertStatement(const std::string& table,
                                             const std::vector<ColumnInfo>& columns,
                                             const std::vector<uint8_t>& set_columns) {
  std::string& key = insert_key_;
  key.clear();
  for (char c : table) key += LowerAscii(c);
  key += '\0';
  for (uint8_t set : set_columns) key += set ? '1' : '0';
  if (auto found = inserts_.find(key); found != inserts_.end()) return found->second.get();

  std::string names;
  std::string params;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!set_columns[i]) continue;
    if (!names.empty()) {
      names += ", ";
      params += ", ";
    }
    names += QuoteIdentifier(columns[i].name);
    params += '?';
  }
  std::string sql = "INSERT INTO " + QuoteIdentifier(table);
  sql += names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + params + ")";
  return inserts_.emplace(key, Prepare(sql)).first->second.get();
}

void SqliteSession::InsertRows(const RowBatch& batch, const std::vector<ColumnInfo>& columns,
                               std::vector<int64_t>* added) {
  std::vector<uint8_t>& set_columns = set_columns_;
  std::vector<uint8_t>& row_columns = row_columns_;
  set_columns.assign(columns.size(), 0);
  row_columns.assign(columns.size(), 0);
  sqlite3_stmt* stmt = nullptr;
  for (const std::vector<Variant>& row : batch.rows) {
    if (row.size() != columns.size()) {
      throw DbError(DbError::Kind::kUsage, "A row for " + batch.table + " has " +
                                               std::to_string(row.size()) + " values for " +
                                               std::to_string(columns.size()) + " columns");
    }
    for (size_t i = 0; i < row.size(); ++i) row_columns[i] = row[i].IsEmpty() ? 0 : 1;
    if (stmt == nullptr || row_columns != set_columns) {
      set_columns = row_columns;
      stmt = InsertStatement(batch.table, columns, set_columns);
    }
    int position = 1;
    for (size_t i = 0; i < row.size(); ++i) {
      if (set_columns[i]) BindValue(stmt, position++, row[i]);
    }
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
      DbError error = SqliteError(db_.get(), rc, sqlite3_sql(stmt));
      sqlite3_reset(stmt);
      throw error;
    }
    sqlite3_reset(stmt);
    if (added != nullptr) added->push_back(sqlite3_last_insert_rowid(db_.get()));
  }
}

void SqliteSession::StoreRows(RowBatch&& batch, const std::string& /*tag*/) {
  if (batch.rows.empty()) return;
  const std::vector<ColumnInfo>& columns = TableColumns(batch.table);
  if (last_columns_ != &columns || batch.table != last_table_) {
    last_table_ = batch.table;
    last_columns_ = &columns;
    last_undoable_ = -1;
  }
  const bool own_transaction = !InTransaction();
  if (!own_transaction && UndoableByRowid(batch.table, columns)) {
    StoreUndoable(batch, columns);
    return;
  }
  Run(own_transaction ? begin_.get() : savepoint_.get(),
      own_transaction ? "BEGIN IMMEDIATE" : "SAVEPOINT fonwerk_store");
  try {
    InsertRows(batch, columns);
    Run(own_transaction ? commit_.get() : release_.get(),
        own_transaction ? "COMMIT" : "RELEASE fonwerk_store");
  } catch (const DbError& error) {
    UndoStore(own_transaction);
    if (!own_transaction && !InTransaction()) {
      // SQLite ends the whole transaction on some failures (disk full, I/O).
      throw TransactionEnded(error);
    }
    throw;
  }
}

// A savepoint per batch makes SQLite copy every page the batch changes into
// the savepoint's journal first: a good part of a rebuild's time. Where the
// rows a batch added are all it changed, deleting them undoes it as well.
void SqliteSession::StoreUndoable(const RowBatch& batch, const std::vector<ColumnInfo>& columns) {
  std::vector<int64_t>& added = added_;
  added.clear();
  try {
    InsertRows(batch, columns, &added);
  } catch (const DbError& error) {
    // The failed statement undid itself; the rows before it go now.
    if (InTransaction()) {
      try {
        SqliteStatement remove =
            Prepare("DELETE FROM " + QuoteIdentifier(batch.table) + " WHERE rowid = ?");
        for (const int64_t rowid : added) {
          sqlite3_bind_int64(remove.get(), 1, rowid);
          Run(remove.get(), "DELETE");
        }
      } catch (const DbError&) {
        // The batch cannot be taken back: neither can the transaction be kept.
        sqlite3_step(rollback_.get());
        sqlite3_reset(rollback_.get());
      }
    }
    if (!InTransaction()) throw TransactionEnded(error);
    throw;
  }
}

int64_t SqliteSession::SchemaVersion() {
  sqlite3_stmt* stmt = schema_version_.get();
  const int64_t version = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_reset(stmt);
  return version;
}

bool SqliteSession::UndoableByRowid(const std::string& table,
                                    const std::vector<ColumnInfo>& columns) {
  if (!schema_checked_) {
    const int64_t version = SchemaVersion();
    if (version < 0) return false;
    if (version != undoable_version_) {
      undoable_.clear();
      undoable_version_ = version;
    }
    schema_checked_ = true;
    last_undoable_ = -1;
  }
  const bool same_table = last_columns_ == &columns && table == last_table_;
  if (same_table && last_undoable_ >= 0) return last_undoable_ == 1;
  const bool undoable = UndoableByRowidUncached(table, columns);
  // The checks above may have prepared statements: the answer holds only if
  // they did not make the schema look changed.
  if (same_table && schema_checked_) last_undoable_ = undoable ? 1 : 0;
  return undoable;
}

bool SqliteSession::UndoableByRowidUncached(const std::string& table,
                                            const std::vector<ColumnInfo>& columns) {
  const std::string key = Lower(table);
  if (auto found = undoable_.find(key); found != undoable_.end()) return found->second;

  bool undoable = true;
  for (const ColumnInfo& column : columns) {
    const std::string name = Lower(column.name);
    if (name == "rowid" || name == "_rowid_" || name == "oid") undoable = false;
  }
  // The table's own text: no WITHOUT ROWID, no ON CONFLICT, not virtual.
  SqliteStatement definition = Prepare(
      "SELECT upper(sql) FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE "
      "UNION ALL SELECT 'TRIGGER' FROM sqlite_master WHERE type = 'trigger' "
      "AND tbl_name = ?1 COLLATE NOCASE "
      "UNION ALL SELECT 'TRIGGER' FROM sqlite_temp_master WHERE type = 'trigger' "
      "AND tbl_name = ?1 COLLATE NOCASE");
  sqlite3_bind_text(definition.get(), 1, table.data(), static_cast<int>(table.size()),
                    SQLITE_TRANSIENT);
  int tables = 0;
  while (sqlite3_step(definition.get()) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(definition.get(), 0);
    const std::string sql = text ? reinterpret_cast<const char*>(text) : "";
    if (sql == "TRIGGER") {
      undoable = false;
      continue;
    }
    ++tables;
    if (!sql.starts_with("CREATE TABLE") || sql.find("WITHOUT ROWID") != std::string::npos ||
        sql.find("CONFLICT") != std::string::npos) {
      undoable = false;
    }
  }
  if (tables != 1) undoable = false;
  undoable_.emplace(key, undoable);
  return undoable;
}

// Takes back a failed store: the own transaction, or the batch's savepoint.
// Errors here are dropped; the store's own error is what the caller gets.
void SqliteSession::UndoStore(bool own_transaction) {
  if (!InTransaction()) return;
  if (own_transaction) {
    sqlite3_step(rollback_.get());
    sqlite3_reset(rollback_.get());
    return;
  }
  sqlite3_step(rollback_to_.get());
  sqlite3_reset(rollback_to_.get());
  sqlite3_step(release_.get());
  sqlite3_reset(release_.get());
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
  return std::make_unique<SqliteSession>(*source);
}

}  // namespace fonwerk::ado
