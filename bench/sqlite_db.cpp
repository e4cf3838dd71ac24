#include "bench/sqlite_db.h"

#include <stdexcept>

namespace fonwerk::bench::sqlite {

Database::Database(const std::string& file) {
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
  db_.reset(handle);
  if (rc != SQLITE_OK) Fail("open " + file);
  sqlite3_busy_timeout(db_.get(), 5000);
}

void Database::Exec(const std::string& sql) {
  if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
}

void Database::Fail(const std::string& what) const {
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
  throw std::runtime_error(what + ": " + message);
}

Statement::Statement(Database& db, const std::string& sql) : db_(db) {
  sqlite3_stmt* handle = nullptr;
  const int rc = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &handle, nullptr);
  stmt_.reset(handle);
  if (rc != SQLITE_OK) db_.Fail(sql);
}

void Statement::BindText(int index, std::string_view text) {
  // A null pointer would bind NULL: an empty view may have one.
  const char* data = text.data() != nullptr ? text.data() : "";
  if (sqlite3_bind_text(stmt_.get(), index, data, static_cast<int>(text.size()), SQLITE_STATIC) !=
      SQLITE_OK) {
    db_.Fail("bind");
  }
}

void Statement::BindText(int index, const std::optional<std::string>& value) {
  if (!value) return BindNull(index);
  if (sqlite3_bind_text(stmt_.get(), index, value->data(), static_cast<int>(value->size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    db_.Fail("bind");
  }
}

void Statement::BindNull(int index) {
  if (sqlite3_bind_null(stmt_.get(), index) != SQLITE_OK) db_.Fail("bind");
}

void Statement::StepDone() {
  if (sqlite3_step(stmt_.get()) != SQLITE_DONE) db_.Fail(sqlite3_sql(stmt_.get()));
  sqlite3_reset(stmt_.get());
}

bool Statement::StepRow() {
  const int rc = sqlite3_step(stmt_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Fail(sqlite3_sql(stmt_.get()));
}

std::optional<std::string_view> Statement::Column(int i) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), i));
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), i)));
}

}  // namespace fonwerk::bench::sqlite
