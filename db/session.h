#pragma once
// Provider interface beneath the ADO-shaped objects. A Session is one open
// database session (one sqlite3 handle, or one PostgreSQL connection). The
// objects in com/ado.h are the only callers; system code never sees a Session.
//
// Sessions are pooled per connection string (OpenSession, com/session_pool.h): connections opened
// with the same string inside one process share one Session, so a transaction
// begun on one Connection also covers what other objects write through it.
//
// Thread use: a Session is used from one thread only.

#include <chrono>
#include <cstdint>
#include <optional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/variant.h"

namespace fonwerk::ado {

struct ColumnInfo {
  std::string name;        // as the database reports it
  int32_t defined_size = -1;  // declared width of VARCHAR(n)/CHAR(n) text columns; -1 if none
  bool is_text = false;
  bool not_null = false;      // table columns only: declared NOT NULL
  bool has_default = false;   // table columns only: has a default or is auto-generated
};

// A read cursor over a query's rows. A cursor is read either with Next()
// (every column of every row) or with Advance() and Read() (only the columns
// asked for), not both.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual const std::vector<ColumnInfo>& Columns() const = 0;
  // Fills `row` (one Variant per column) and returns true, or returns false at the end.
  virtual bool Next(std::vector<Variant>& row) = 0;

  // Moves to the next row without reading its values; false at the end.
  // Throws DbError as Next() does. The default goes through Next().
  virtual bool Advance() { return Next(advanced_row_); }
  // Column `index` of the row Advance() moved to, into `out` (whose text
  // buffer is reused). A column may be read any number of times until the
  // next Advance(). REQUIRES: the last Advance() returned true and
  // index < Columns().size().
  virtual void Read(size_t index, Variant& out) { out = advanced_row_[index]; }

 private:
  std::vector<Variant> advanced_row_;  // the row of the default Advance()
};

// Rows added to one table and handed over for storing in one piece.
struct RowBatch {
  std::string table;                     // table name as given by the caller
  std::vector<ColumnInfo> columns;       // the table's columns (from TableColumns)
  std::vector<std::vector<Variant>> rows;  // one Variant per column; Empty = not set
};

// A store that failed inside a transaction and was rolled back on its own.
struct StoreFailure {
  std::string tag;          // the tag passed to StoreRows
  std::string description;  // the provider's message
};

class Session {
 public:
  virtual ~Session() = default;

  // The provider's name: "SQLite" or "PostgreSQL".
  virtual std::string ProviderName() const = 0;

  // Runs a query. `streaming` asks for a forward-only cursor that does not hold
  // all rows in memory; otherwise the provider may read everything at once.
  // Throws DbError with the provider's message when the statement is rejected.
  virtual std::unique_ptr<Cursor> Query(const std::string& sql, bool streaming) = 0;

  // Runs one query whose `?` placeholders take `params`, as Execute(sql,
  // params) takes them, and returns a cursor over its rows. The session
  // prepares each query text once and keeps the statement for the next call
  // with the same text, so a caller that asks the same query with other
  // values pays for parsing and planning only the first time. The provider's
  // statement follows changes of the tables it reads. Throws DbError (kUsage
  // when the placeholders and `params` differ in number).
  virtual std::unique_ptr<Cursor> PreparedQuery(const std::string& sql,
                                                const std::vector<Variant>& params) = 0;

  // Runs a command and drops any result. Throws DbError.
  virtual void Execute(const std::string& sql) = 0;
  // Runs one command whose `?` placeholders (outside literals, quoted names
  // and comments) take `params` in order: text as text, integers, doubles,
  // Booleans as 1 or 0, Null and Empty as NULL. The statement text is
  // otherwise treated as Execute(sql) treats it, but it may hold one statement
  // only. Throws DbError: kUsage when the placeholders and `params` differ in
  // number.
  virtual void Execute(const std::string& sql, const std::vector<Variant>& params) = 0;

  // The columns of `table` in table order, cached for the life of the session.
  // Throws DbError when the table does not exist.
  virtual const std::vector<ColumnInfo>& TableColumns(const std::string& table) = 0;

  // Stores the rows of `batch` (only the columns that are set in a row are
  // written, so database defaults apply to the others).
  // Outside a transaction the batch is stored atomically and a failure throws.
  // Inside a transaction each call is isolated: a batch that fails is rolled
  // back on its own and the transaction goes on. The provider may defer the work
  // (PostgreSQL pipelines it); a deferred failure is then reported through
  // TakeStoreFailures() with `tag`, never thrown later for another batch.
  // A lost connection always throws DbError with kind kConnection.
  // A provider that does not keep the rows (it stored them at once) leaves
  // them in `batch`, so that the caller may reuse their storage; one that
  // keeps them leaves `batch.rows` empty.
  virtual void StoreRows(RowBatch&& batch, const std::string& tag) = 0;

  // Completes deferred stores; their failures become available to TakeStoreFailures().
  virtual void FlushStores() = 0;
  // Failures of deferred stores since the last call, in store order.
  virtual std::vector<StoreFailure> TakeStoreFailures() = 0;

  // From now on, statements still running at `deadline` are interrupted and
  // throw DbError (SQLite: SQLITE_INTERRUPT), and waits for a busy database
  // end there; nullopt lifts the limit. A provider whose connection string
  // sets its own limits (PostgreSQL: "Statement Timeout") ignores it.
  virtual void SetDeadline(std::optional<std::chrono::steady_clock::time_point> /*deadline*/) {}
  // Waits at most `timeout` for a notification on a channel the session
  // listens to (after Execute("LISTEN <channel>")), consuming every one that
  // has arrived. Returns true when there was one, false after the timeout.
  // Providers without notifications (SQLite) return false at once. Throws
  // DbError kConnection when the connection is lost meanwhile.
  virtual bool AwaitNotification(std::chrono::milliseconds /*timeout*/) { return false; }

  virtual void BeginTransaction() = 0;
  virtual void CommitTransaction() = 0;   // flushes deferred stores first
  virtual void RollbackTransaction() = 0;
  virtual bool InTransaction() const = 0;

  // Redirection of table recordsets, for a rebuild that fills a table under
  // another name (see table_rebuild.h): while it is set, a table recordset
  // opened on `table` (ASCII case-insensitive) describes and stores into
  // `target` instead. It concerns this session only.
  void RedirectTable(const std::string& table, std::string target) {
    redirections_[RedirectionKey(table)] = std::move(target);
  }
  void EndRedirection(const std::string& table) { redirections_.erase(RedirectionKey(table)); }
  // The table that a table recordset opened on `table` stores into.
  const std::string& StoreTable(const std::string& table) const {
    if (redirections_.empty()) return table;
    const auto found = redirections_.find(RedirectionKey(table));
    return found == redirections_.end() ? table : found->second;
  }

 private:
  static std::string RedirectionKey(const std::string& table) { return text::AsciiLower(table); }
  std::map<std::string, std::string> redirections_;  // key: lower-case table name
};

}  // namespace fonwerk::ado
