#include "bench/contact_store.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

#include "bench/contact_generator.h"
#include "bench/pg_conn.h"
#include "bench/sqlite_db.h"
#include "db/connection_string.h"

namespace fonwerk::bench {
namespace {

std::string ColumnList() {
  std::string columns;
  for (const char* column : kAdColumns) {
    if (!columns.empty()) columns.append(", ");
    columns.append(column);
  }
  return columns;
}

void FillSqlite(const std::string& connect_string, uint64_t count, uint64_t seed) {
  sqlite::Database db(SqliteFileOf(connect_string));
  std::string placeholders;
  for (size_t i = 0; i < kAdColumns.size(); ++i) placeholders.append(i == 0 ? "?" : ", ?");
  db.Exec("BEGIN");
  sqlite::Statement insert(db,
                           "INSERT INTO AD (" + ColumnList() + ") VALUES (" + placeholders + ")");
  ContactGenerator generator(seed);
  for (uint64_t n = 0; n < count; ++n) {
    const Contact contact = generator.Next();
    const auto values = contact.Values();
    for (size_t i = 0; i < values.size(); ++i) {
      insert.BindText(static_cast<int>(i) + 1, values[i]);
    }
    insert.StepDone();
  }
  db.Exec("COMMIT");
}

void FillPostgres(const std::string& connect_string, uint64_t count, uint64_t seed) {
  pg::ConnPtr conn = pg::Connect(connect_string);
  pg::Exec(conn.get(), "BEGIN");
  pg::CopyIn copy(conn.get(), "COPY AD (" + ColumnList() + ") FROM STDIN");
  ContactGenerator generator(seed);
  std::string line;
  for (uint64_t n = 0; n < count; ++n) {
    const Contact contact = generator.Next();
    line.clear();
    bool first = true;
    for (const Value& value : contact.Values()) {
      if (!first) line.push_back('\t');
      first = false;
      pg::AppendCopyField(line, value ? std::optional<std::string_view>(*value) : std::nullopt);
    }
    copy.AddLine(line);
  }
  copy.Finish();
  pg::Exec(conn.get(), "COMMIT");
  pg::Exec(conn.get(), "ANALYZE AD");
}

}  // namespace

Provider ProviderOf(const std::string& connect_string) {
  const auto provider = ConnectionString::Parse(connect_string).Get("Provider");
  std::string name = provider.value_or("");
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (name == "sqlite") return Provider::kSQLite;
  if (name == "postgresql") return Provider::kPostgreSQL;
  throw std::runtime_error("unknown provider in connection string: '" + provider.value_or("") +
                           "'");
}

std::string SqliteFileOf(const std::string& connect_string) {
  const auto file = ConnectionString::Parse(connect_string).Get("Data Source");
  if (!file || file->empty()) throw std::runtime_error("connection string without Data Source");
  return *file;
}

void FillContacts(const std::string& connect_string, uint64_t count, uint64_t seed) {
  if (ProviderOf(connect_string) == Provider::kSQLite) {
    FillSqlite(connect_string, count, seed);
  } else {
    FillPostgres(connect_string, count, seed);
  }
}

}  // namespace fonwerk::bench
