// Storing rows through the SQLite session: one cached INSERT per table and
// set of columns, and the undo of a failed batch (its own transaction, its
// savepoint, or deleting the rows it added).

#include <sqlite3.h>

#include "base/errors.h"
#include "base/text.h"
#include "db/sqlite/sqlite_error.h"
#include "db/sqlite/sqlite_session.h"
#include "db/sqlite/sqlite_values.h"

namespace fonwerk::ado {
namespace {

using sqlite::BindValue;
using sqlite::SqliteError;
using text::AsciiLower;
using text::DoubleQuoted;

// A store's error, saying that the surrounding transaction is gone with it.
DbError TransactionEnded(const DbError& error) {
  return DbError(error.kind(), error.description() + " (the transaction was rolled back)",
                 error.sqlstate());
}

}  // namespace

sqlite3_stmt* SqliteSession::InsertStatement(const std::string& table,
                                             const std::vector<ColumnInfo>& columns,
                                             const std::vector<uint8_t>& set_columns) {
  std::string& key = insert_key_;
  key.clear();
  for (char c : table) key += AsciiLower(c);
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
    names += DoubleQuoted(columns[i].name);
    params += '?';
  }
  std::string sql = "INSERT INTO " + DoubleQuoted(table);
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
            Prepare("DELETE FROM " + DoubleQuoted(batch.table) + " WHERE rowid = ?");
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
  const std::string key = AsciiLower(table);
  if (auto found = undoable_.find(key); found != undoable_.end()) return found->second;

  bool undoable = true;
  for (const ColumnInfo& column : columns) {
    const std::string name = AsciiLower(column.name);
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

}  // namespace fonwerk::ado
