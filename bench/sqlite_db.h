#pragma once
// Minimal sqlite3 plumbing for the benchmark programs: an open database and
// prepared statements, owned from the moment they exist. Everything throws
// std::runtime_error carrying SQLite's message.

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bench/c_handle.h"

namespace fonwerk::bench::sqlite {

class Database {
 public:
  // Opens an existing database file for reading and writing (never creates one).
  explicit Database(const std::string& file);
  sqlite3* get() const { return db_.get(); }
  // Runs one or more statements without results.
  void Exec(const std::string& sql);
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  Handle<sqlite3, sqlite3_close_v2> db_;
};

class Statement {
 public:
  Statement(Database& db, const std::string& sql);
  // Binds text that must stay alive until the next Reset or StepDone (no copy).
  void BindText(int index, std::string_view text);
  // Binds text or NULL (nullopt), copied.
  void BindText(int index, const std::optional<std::string>& value);
  void BindNull(int index);
  // Steps a statement that returns no row, then resets it for the next use.
  void StepDone();
  // Steps a query: true when a row is there.
  bool StepRow();
  // Column `i` of the current row as text; nullopt for NULL.
  std::optional<std::string_view> Column(int i) const;

 private:
  Database& db_;
  Handle<sqlite3_stmt, sqlite3_finalize> stmt_;
};

}  // namespace fonwerk::bench::sqlite
