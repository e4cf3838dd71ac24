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

}  // namespace

std::unique_ptr<Cursor> MakeCursor(sqlite3* db, SqliteStatement stmt, std::string sql) {
  return std::make_unique<SqliteCursor>(db, std::move(stmt), std::move(sql));
}

}  // namespace fonwerk::ado::sqlite
