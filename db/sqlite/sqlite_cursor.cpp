#include "db/sqlite/sqlite_cursor.h"

#include <sqlite3.h>

#include <utility>
#include <vector>

#include "db/sqlite/sqlite_dialect.h"
#include "db/sqlite/sqlite_error.h"
#include "db/sqlite/sqlite_values.h"

namespace fonwerk::ado::sqlite {
namespace {

// A cursor over one prepared statement. The first step runs when the cursor is
// made, so a statement that fails at run time fails the query. The statement
// is let go as soon as its last row was read: that ends its read transaction.
class SqliteCursor : public Cursor {
 public:
  // Owns `owned`, or, when it is null, borrows `borrowed` and hands it back
  // through `in_use`.
  SqliteCursor(sqlite3* db, SqliteStatement owned, sqlite3_stmt* borrowed, bool* in_use,
               std::string sql)
      : db_(db),
        owned_(std::move(owned)),
        stmt_(owned_ ? owned_.get() : borrowed),
        in_use_(in_use),
        sql_(std::move(sql)) {
    // The columns are described after the first step: a kept statement whose
    // tables changed is prepared anew by that step, and "*" may now stand for
    // other columns.
    sqlite3_stmt* stmt = stmt_;
    pending_ = Step();
    const int count = sqlite3_column_count(stmt);
    columns_.reserve(count);
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(stmt, i);
      columns_.push_back(DescribeColumn(name ? name : "", sqlite3_column_decltype(stmt, i)));
    }
  }
  ~SqliteCursor() override { LetGo(); }
  SqliteCursor(const SqliteCursor&) = delete;
  SqliteCursor& operator=(const SqliteCursor&) = delete;

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
    if (stmt_ == nullptr) return false;
    const int rc = pending_ != 0 ? pending_ : Step();
    pending_ = 0;
    if (rc == SQLITE_DONE) {
      LetGo();
      return false;
    }
    return true;
  }

  void Read(size_t index, Variant& out) override {
    ReadColumn(stmt_, static_cast<int>(index), out);
  }

 private:
  int Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      DbError error = SqliteError(db_, rc, sql_);
      LetGo();
      throw error;
    }
    return rc;
  }

  // Finalizes an owned statement; resets a borrowed one for its next use.
  void LetGo() {
    if (stmt_ == nullptr) return;
    if (owned_) {
      owned_.reset();
    } else {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
      *in_use_ = false;
    }
    stmt_ = nullptr;
  }

  sqlite3* db_;
  SqliteStatement owned_;
  sqlite3_stmt* stmt_;  // owned_ or the borrowed statement; null once let go
  bool* in_use_;
  std::string sql_;
  std::vector<ColumnInfo> columns_;
  int pending_ = 0;  // result of a step already taken and not yet consumed
};

}  // namespace

std::unique_ptr<Cursor> MakeCursor(sqlite3* db, SqliteStatement stmt, std::string sql) {
  return std::make_unique<SqliteCursor>(db, std::move(stmt), nullptr, nullptr, std::move(sql));
}

std::unique_ptr<Cursor> MakeBorrowingCursor(sqlite3* db, sqlite3_stmt* stmt, bool* in_use,
                                            std::string sql) {
  return std::make_unique<SqliteCursor>(db, SqliteStatement(), stmt, in_use, std::move(sql));
}

}  // namespace fonwerk::ado::sqlite
