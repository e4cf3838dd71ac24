#pragma once
// The SQLite provider: one sqlite3 connection behind the Session interface.
// Created through OpenSqliteSession (session_providers.h); only the session
// pool and the tests of this provider use the declarations here.
//
// What the provider adds to plain SQLite so that the system's statements run
// unchanged:
//  - "TRUNCATE TABLE <name>" (any case, optional trailing blanks or ';') runs as
//    "DELETE FROM <name>";
//  - a SQL function RIGHT(text, n): the last n characters (UTF-8 aware), NULL
//    for a NULL argument. SQLite treats RIGHT as a keyword, so a call `RIGHT(`
//    outside literals is passed on as the quoted name `"RIGHT"(`.
// The database runs in WAL journal mode when it can be switched, so readers in
// other processes keep seeing committed data while a long transaction runs;
// a writer leaves the -wal (emptied) and -shm files in place when it closes,
// so that an account that may only read the files can still read.
// Busy databases are waited on for at most five seconds.
//
// The statement translation lives in sqlite_dialect.h, RIGHT() in
// sqlite_functions.h, the cursor in sqlite_cursor.h; storing rows is in
// sqlite_store.cpp.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/session.h"

struct sqlite3;
struct sqlite3_stmt;

namespace fonwerk::ado {

struct SqliteCloser {
  void operator()(sqlite3* db) const;
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* stmt) const;
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

class SqliteSession : public Session {
 public:
  // Opens the existing database file at the absolute `path` for reading and
  // writing, or with `read_only` for reading only (the journal mode is left
  // as it is). Throws DbError kConnection naming the path when the file is
  // missing or is not a database; never creates a file.
  explicit SqliteSession(const std::string& path, bool read_only = false);
  ~SqliteSession() override;

  std::string ProviderName() const override { return "SQLite"; }
  // Cursors read the session's handle: REQUIRES that the session outlives them.
  std::unique_ptr<Cursor> Query(const std::string& sql, bool streaming) override;
  // The statements of the queries are kept for the life of the session.
  std::unique_ptr<Cursor> PreparedQuery(const std::string& sql,
                                        const std::vector<Variant>& params) override;
  // Runs every statement of `sql` in turn, dropping their rows.
  void Execute(const std::string& sql) override;
  void Execute(const std::string& sql, const std::vector<Variant>& params) override;
  const std::vector<ColumnInfo>& TableColumns(const std::string& table) override;
  // Synchronous: a failure always throws (kStatement for rejected data) after
  // the batch has been undone; the surrounding transaction, if any, goes on.
  void StoreRows(RowBatch&& batch, const std::string& tag) override;
  void FlushStores() override {}
  std::vector<StoreFailure> TakeStoreFailures() override { return {}; }

  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() override;
  bool InTransaction() const override;
  // Through a progress handler (statements) and the busy timeout (waits).
  void SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) override;

 private:
  SqliteStatement Prepare(std::string_view sql, const char** tail = nullptr);
  // The pages of the main database; 0 for an empty file.
  int64_t PageCount();
  // The one statement of `text` (the translation of `sql`), prepared. Throws
  // DbError kUsage with `none` and `sql` when it holds no statement, with
  // `several` and `sql` when it holds more than one.
  SqliteStatement PrepareSingle(const std::string& text, const std::string& sql, const char* none,
                                const char* several);
  void Run(sqlite3_stmt* stmt, std::string_view what);
  // Binds `params` to the `?` placeholders of `stmt` (prepared from `sql`).
  // Throws DbError kUsage when their numbers differ.
  void Bind(sqlite3_stmt* stmt, const std::vector<Variant>& params, const std::string& sql);
  void UndoStore(bool own_transaction);
  sqlite3_stmt* InsertStatement(const std::string& table, const std::vector<ColumnInfo>& columns,
                                const std::vector<uint8_t>& set_columns);
  // Inserts the rows; the rowid of every row added goes to `added` when given.
  void InsertRows(const RowBatch& batch, const std::vector<ColumnInfo>& columns,
                  std::vector<int64_t>* added = nullptr);
  // Whether a store into `table` inside a transaction can be undone by
  // deleting the rows it added, so that it needs no savepoint: a plain rowid
  // table without triggers and conflict clauses, whose inserts change
  // nothing but their own rows. Cached until the schema changes.
  //
  // The schema version is read again only when the schema can have changed
  // since it was last read: after a transaction ended (another connection may
  // have changed it in between) or after this connection prepared anything
  // but a plain query or data change (DDL, ATTACH, savepoints, transaction
  // statements: an authorizer notes these). Inside one write transaction no
  // other connection can change the schema.
  bool UndoableByRowid(const std::string& table, const std::vector<ColumnInfo>& columns);
  bool UndoableByRowidUncached(const std::string& table, const std::vector<ColumnInfo>& columns);
  static int Authorize(void* self, int action, const char*, const char*, const char*, const char*);
  // Stores a batch inside the transaction without a savepoint (see
  // UndoableByRowid); a failure deletes the rows already added.
  void StoreUndoable(const RowBatch& batch, const std::vector<ColumnInfo>& columns);
  int64_t SchemaVersion();

  struct PreparedStatement {
    SqliteStatement stmt;
    bool in_use = false;  // a cursor is reading it
  };

  std::string path_;
  SqliteHandle db_;  // declared before the statements: closed after them
  std::chrono::steady_clock::time_point deadline_;  // while the progress handler is set
  std::map<std::string, PreparedStatement> prepared_;  // key: the query's text for SQLite
  SqliteStatement begin_;
  SqliteStatement commit_;
  SqliteStatement rollback_;
  SqliteStatement savepoint_;
  SqliteStatement release_;
  SqliteStatement rollback_to_;
  std::map<std::string, std::vector<ColumnInfo>> table_columns_;  // key: lower-case table name
  std::map<std::string, SqliteStatement> inserts_;                // key: table and set-column mask
  SqliteStatement schema_version_;
  int64_t undoable_version_ = -1;       // the schema version undoable_ was found under
  std::map<std::string, bool> undoable_;  // key: lower-case table name
  bool schema_checked_ = false;  // undoable_version_ is current (see UndoableByRowid)
  // The last table stored into, as the caller named it, and what was found
  // for it: most stores go to the same table as the one before.
  std::string last_table_;
  const std::vector<ColumnInfo>* last_columns_ = nullptr;
  int last_undoable_ = -1;  // -1: not known under the current schema check
  // Buffers of InsertRows and StoreUndoable, kept between stores.
  std::vector<uint8_t> set_columns_;
  std::vector<uint8_t> row_columns_;
  std::vector<int64_t> added_;
  std::string insert_key_;
};

}  // namespace fonwerk::ado
