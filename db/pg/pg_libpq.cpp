#include "db/pg/pg_libpq.h"

#include <charconv>
#include <cstring>
#include <optional>
#include <utility>

namespace fonwerk::ado::pg {
namespace {

// Type OIDs of the built-in types the provider maps (fixed in pg_type).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kBpcharOid = 1042;
constexpr Oid kVarcharOid = 1043;
constexpr Oid kNumericOid = 1700;

// A varchar/bpchar type modifier is the width plus this header size.
constexpr int kVarHeaderSize = 4;

void IgnoreNotice(void* /*arg*/, const char* /*message*/) {}

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

// The first present key of `keys` in `params`.
std::optional<std::string> FirstOf(const ConnectionString& params,
                                   std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto value = params.Get(key)) return value;
  }
  return std::nullopt;
}

Variant ParseInteger(const char* text, std::size_t length) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text, text + length, value);
  if (ec != std::errc() || end != text + length) return Variant(std::string(text, length));
  return Variant(value);
}

Variant ParseFloat(const char* text, std::size_t length) {
  double value = 0;
  auto [end, ec] = std::from_chars(text, text + length, value);
  if (ec != std::errc() || end != text + length) return Variant(std::string(text, length));
  return Variant(value);
}

}  // namespace

ConnPtr Connect(const ConnectionString& params) {
  std::vector<std::pair<const char*, std::string>> settings;
  auto take = [&](const char* keyword, std::initializer_list<const char*> keys) {
    if (auto value = FirstOf(params, keys)) settings.emplace_back(keyword, *value);
  };
  take("host", {"Host", "Server"});
  take("port", {"Port"});
  take("dbname", {"Database", "Initial Catalog"});
  take("user", {"User ID", "User", "UID"});
  take("password", {"Password", "Pwd"});
  settings.emplace_back("client_encoding", "UTF8");
  settings.emplace_back(
      "application_name",
      FirstOf(params, {"Application Name", "ApplicationName"}).value_or(ProgramName()));
  take("connect_timeout", {"Connect Timeout"});
  // Limits of every statement of the session, in milliseconds (digits only,
  // as they become server options).
  std::string options;
  for (const auto& [key, setting] : {std::pair{"Statement Timeout", "statement_timeout"},
                                     std::pair{"Lock Timeout", "lock_timeout"}}) {
    const std::optional<std::string> value = params.Get(key);
    if (!value) continue;
    if (value->empty() || value->find_first_not_of("0123456789") != std::string::npos) {
      throw DbError(DbError::Kind::kUsage, std::string(key) + " takes milliseconds: " + *value);
    }
    options += std::string(options.empty() ? "" : " ") + "-c " + setting + "=" + *value;
  }
  if (!options.empty()) settings.emplace_back("options", options);

  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (const auto& [keyword, value] : settings) {
    keywords.push_back(keyword);
    values.push_back(value.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);

  ConnPtr conn(PQconnectdbParams(keywords.data(), values.data(), 0));
  if (!conn) throw DbError(DbError::Kind::kConnection, "libpq could not allocate a connection");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw DbError(DbError::Kind::kConnection, TrimRight(PQerrorMessage(conn.get())), "08001");
  }
  PQsetNoticeProcessor(conn.get(), IgnoreNotice, nullptr);
  return conn;
}

TypeClass ClassifyType(Oid type) {
  switch (type) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
      return TypeClass::kInteger;
    case kFloat4Oid:
    case kFloat8Oid:
    case kNumericOid:
      return TypeClass::kFloat;
    case kBoolOid:
      return TypeClass::kBoolean;
    default:
      return TypeClass::kText;
  }
}

int32_t DefinedSizeOf(Oid type, int type_modifier) {
  if ((type == kVarcharOid || type == kBpcharOid) && type_modifier >= kVarHeaderSize) {
    return type_modifier - kVarHeaderSize;
  }
  return -1;
}

ColumnInfo DescribeField(const PGresult* result, int field) {
  ColumnInfo column;
  column.name = PQfname(result, field);
  const Oid type = PQftype(result, field);
  column.defined_size = DefinedSizeOf(type, PQfmod(result, field));
  column.is_text = ClassifyType(type) == TypeClass::kText;
  return column;
}

std::vector<ColumnInfo> DescribeFields(const PGresult* result) {
  std::vector<ColumnInfo> columns;
  const int count = PQnfields(result);
  columns.reserve(count);
  for (int field = 0; field < count; ++field) columns.push_back(DescribeField(result, field));
  return columns;
}

void ReadFieldValue(const PGresult* result, int row, int field, Variant& out) {
  if (PQgetisnull(result, row, field)) {
    out.SetNull();
    return;
  }
  const char* text = PQgetvalue(result, row, field);
  const auto length = static_cast<std::size_t>(PQgetlength(result, row, field));
  switch (ClassifyType(PQftype(result, field))) {
    case TypeClass::kInteger:
      out = ParseInteger(text, length);
      return;
    case TypeClass::kFloat:
      out = ParseFloat(text, length);
      return;
    case TypeClass::kBoolean:
      out = Variant(length > 0 && text[0] == 't');
      return;
    case TypeClass::kText:
      out.SetText(std::string_view(text, length));
      return;
  }
}

Variant FieldValue(const PGresult* result, int row, int field) {
  Variant value;
  ReadFieldValue(result, row, field, value);
  return value;
}

bool Succeeded(const PGresult* result) {
  if (result == nullptr) return false;
  const ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY ||
         status == PGRES_SINGLE_TUPLE;
}

bool IsConnectionFailure(const PGconn* conn, const PGresult* result) {
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) return true;
  if (result == nullptr) return false;
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (state == nullptr) {
    // libpq's own errors (no SQLSTATE) on a fatal result come from the transport.
    return PQresultStatus(result) == PGRES_FATAL_ERROR;
  }
  return std::strncmp(state, "08", 2) == 0 || std::strcmp(state, "57P01") == 0 ||
         std::strcmp(state, "57P02") == 0 || std::strcmp(state, "57P03") == 0;
}

std::string ErrorText(const PGconn* conn, const PGresult* result) {
  std::string text;
  if (result != nullptr) text = TrimRight(PQresultErrorMessage(result));
  if (text.empty() && conn != nullptr) text = TrimRight(PQerrorMessage(conn));
  if (text.empty()) text = "PostgreSQL reported an error without a message";
  return text;
}

DbError MakeError(const PGconn* conn, const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const DbError::Kind kind =
      IsConnectionFailure(conn, result) ? DbError::Kind::kConnection : DbError::Kind::kStatement;
  return DbError(kind, ErrorText(conn, result), state ? state : "");
}

ResultPtr Exec(PGconn* conn, const std::string& sql) {
  ResultPtr result(PQexec(conn, sql.c_str()));
  if (!Succeeded(result.get())) throw MakeError(conn, result.get());
  return result;
}

namespace {

std::vector<const char*> ParamValues(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& param : params) values.push_back(param.c_str());
  return values;
}

}  // namespace

ResultPtr ExecParams(PGconn* conn, const std::string& sql, const std::vector<std::string>& params) {
  const std::vector<const char*> values = ParamValues(params);
  ResultPtr result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                values.data(), nullptr, nullptr, 0));
  if (!Succeeded(result.get())) throw MakeError(conn, result.get());
  return result;
}

void Prepare(PGconn* conn, const std::string& name, const std::string& sql, int param_count) {
  ResultPtr result(PQprepare(conn, name.c_str(), sql.c_str(), param_count, nullptr));
  if (!Succeeded(result.get())) throw MakeError(conn, result.get());
}

ResultPtr ExecPrepared(PGconn* conn, const std::string& name,
                       const std::vector<std::string>& params) {
  const std::vector<const char*> values = ParamValues(params);
  ResultPtr result(PQexecPrepared(conn, name.c_str(), static_cast<int>(values.size()),
                                  values.data(), nullptr, nullptr, 0));
  if (!Succeeded(result.get())) throw MakeError(conn, result.get());
  return result;
}

}  // namespace fonwerk::ado::pg
