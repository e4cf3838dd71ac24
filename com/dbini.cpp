#include "com/dbini.h"

#include <charconv>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk::com {
namespace {

constexpr const char* kTable = "DBINI";
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS DBINI (SECTION TEXT NOT NULL, KEYNAME TEXT NOT NULL, "
    "KEYVALUE TEXT, PRIMARY KEY (SECTION, KEYNAME))";

// The row of a section and key, both compared without regard to case; with
// `?` placeholders for a write, as literals for a read.
constexpr const char* kKeyCondition = " WHERE LOWER(SECTION)=LOWER(?) AND LOWER(KEYNAME)=LOWER(?)";

std::string KeyCondition(const std::string& section, const std::string& key) {
  return " WHERE LOWER(SECTION)=LOWER(" + text::SqlQuote(section) + ") AND LOWER(KEYNAME)=LOWER(" +
         text::SqlQuote(key) + ")";
}

// The Boolean a stored text stands for, or nullopt when it is none.
std::optional<bool> ParseBool(std::string_view stored) {
  std::string_view trimmed = text::TrimBlanks(stored);
  if (text::EqualsNoCase(trimmed, "true")) return true;
  if (text::EqualsNoCase(trimmed, "false")) return false;
  if (!trimmed.empty() && trimmed.front() == '+') trimmed.remove_prefix(1);
  long long number = 0;
  const auto [end, error] =
      std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), number);
  if (trimmed.empty() || error != std::errc() || end != trimmed.data() + trimmed.size()) {
    return std::nullopt;
  }
  return number != 0;
}

}  // namespace

void cDbIni::Init(const std::string& connect_string) {
  auto connection = std::make_unique<ado::Connection>();
  connection->SetConnectionString(connect_string);
  connection->Open();
  connection_ = std::move(connection);
}

Variant cDbIni::GetBool(const std::string& section, const std::string& key, bool default_value,
                        int16_t /*flags*/) {
  std::optional<std::string> stored = Read(section, key);
  std::optional<bool> value = stored ? ParseBool(*stored) : std::nullopt;
  return Variant(value.value_or(default_value));
}

Variant cDbIni::GetStr(const std::string& section, const std::string& key,
                       const std::string& default_value, int16_t /*flags*/) {
  std::optional<std::string> stored = Read(section, key);
  return Variant(stored ? *stored : default_value);
}

void cDbIni::WriteBool(const std::string& section, const std::string& key, bool& value,
                       int16_t /*flags*/) {
  Write(section, key, value ? "1" : "0");
}

void cDbIni::WriteStr(const std::string& section, const std::string& key, std::string& value,
                      int16_t /*flags*/) {
  Write(section, key, value);
}

ado::Connection& cDbIni::connection() {
  if (!connection_) throw Error(errnum::kObjectRequired, "cDbIni: Init wurde nicht aufgerufen");
  return *connection_;
}

bool cDbIni::TableExists() {
  try {
    connection().session().TableColumns(kTable);
    return true;
  } catch (const DbError& error) {
    if (error.connection_lost()) throw;
    return false;
  }
}

std::optional<std::string> cDbIni::Read(const std::string& section, const std::string& key) {
  const std::string condition = KeyCondition(section, key);
  if (!TableExists()) return std::nullopt;
  // A static read runs on the session itself and so sees its open transaction.
  ado::Recordset rs;
  rs.Open("SELECT KEYVALUE FROM DBINI" + condition, connection(), ado::CursorType::kStatic);
  if (rs.Eof()) return std::nullopt;
  const Variant& value = rs.Fields(0).Value();
  if (value.IsNull() || value.IsEmpty()) return std::nullopt;
  return value.ToText();
}

void cDbIni::Write(const std::string& section, const std::string& key, const std::string& value) {
  // Refused before anything is written: no parameter can carry a NUL byte.
  for (const std::string* part : {&section, &key, &value}) text::RequireNoNul(*part);
  const std::vector<Variant> key_params{Variant(section), Variant(key)};
  const std::vector<Variant> row_params{Variant(section), Variant(key), Variant(value)};
  ado::Connection& db = connection();
  const bool create = !TableExists();  // asked before a transaction begins
  const auto store = [&] {
    if (create) db.Execute(kCreateTable);
    db.Execute(std::string("DELETE FROM DBINI") + kKeyCondition, key_params);
    db.Execute("INSERT INTO DBINI (SECTION, KEYNAME, KEYVALUE) VALUES (?, ?, ?)", row_params);
  };
  if (db.session().InTransaction()) {
    store();  // part of the caller's transaction
    return;
  }
  ado::Transaction transaction(db);
  store();
  transaction.Commit();
}

}  // namespace fonwerk::com
