#include "bench/pg_conn.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "db/connection_string.h"

namespace fonwerk::bench::pg {
namespace {

constexpr size_t kChunkBytes = 1 << 18;

std::string Trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::runtime_error Failure(PGconn* conn, const std::string& what) {
  return std::runtime_error(what + ": " + Trimmed(PQerrorMessage(conn)));
}

// The first of `keys` that the connection string holds.
std::optional<std::string> AnyOf(const ConnectionString& params,
                                 std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto value = params.Get(key)) return value;
  }
  return std::nullopt;
}

char Unescaped(char c) {
  switch (c) {
    case 't':
      return '\t';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'v':
      return '\v';
    default:
      return c;
  }
}

}  // namespace

ConnPtr Connect(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::pair<const char*, std::optional<std::string>> pairs[] = {
      {"host", AnyOf(params, {"Host", "Server"})},
      {"port", AnyOf(params, {"Port"})},
      {"dbname", AnyOf(params, {"Database"})},
      {"user", AnyOf(params, {"User ID", "User", "UID"})},
      {"password", AnyOf(params, {"Password", "Pwd"})},
      {"client_encoding", std::string("UTF8")}};
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : pairs) {
    if (!value) continue;
    keys.push_back(key);
    values.push_back(value->c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  ConnPtr conn(PQconnectdbParams(keys.data(), values.data(), 0));
  if (!conn) throw std::runtime_error("PQconnectdbParams: out of memory");
  if (PQstatus(conn.get()) != CONNECTION_OK) throw Failure(conn.get(), "connect");
  return conn;
}

ResultPtr Exec(PGconn* conn, const std::string& sql) {
  ResultPtr result(PQexec(conn, sql.c_str()));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN &&
      status != PGRES_COPY_OUT) {
    throw Failure(conn, sql);
  }
  return result;
}

void AppendCopyField(std::string& line, const std::optional<std::string_view>& value) {
  if (!value) {
    line.append("\\N");
    return;
  }
  for (char c : *value) {
    // The four characters of COPY's text format that stand as two.
    const char* escaped = c == '\\' ? "\\\\"
                          : c == '\t' ? "\\t"
                          : c == '\n' ? "\\n"
                          : c == '\r' ? "\\r"
                                       : nullptr;
    if (escaped != nullptr) {
      line.append(escaped, 2);
    } else {
      line.push_back(c);
    }
  }
}

CopyIn::CopyIn(PGconn* conn, const std::string& copy_sql) : conn_(conn) {
  ResultPtr result = Exec(conn_, copy_sql);
  if (PQresultStatus(result.get()) != PGRES_COPY_IN) throw Failure(conn_, copy_sql);
  buffer_.reserve(kChunkBytes + 4096);
}

void CopyIn::AddLine(const std::string& line) {
  buffer_.append(line).push_back('\n');
  if (buffer_.size() >= kChunkBytes) Flush();
}

void CopyIn::Flush() {
  if (buffer_.empty()) return;
  if (PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
    throw Failure(conn_, "COPY data");
  }
  buffer_.clear();
}

long long CopyIn::Finish() {
  Flush();
  if (PQputCopyEnd(conn_, nullptr) != 1) throw Failure(conn_, "COPY end");
  long long rows = 0;
  std::string error;
  while (ResultPtr result{PQgetResult(conn_)}) {
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      error = Trimmed(PQresultErrorMessage(result.get()));
    } else {
      rows = std::stoll(PQcmdTuples(result.get()));
    }
  }
  if (!error.empty()) throw std::runtime_error("COPY: " + error);
  return rows;
}

CopyOut::CopyOut(PGconn* conn, const std::string& copy_sql) : conn_(conn) {
  ResultPtr result = Exec(conn_, copy_sql);
  if (PQresultStatus(result.get()) != PGRES_COPY_OUT) throw Failure(conn_, copy_sql);
}

bool CopyOut::Next() {
  char* raw = nullptr;
  const int size = PQgetCopyData(conn_, &raw, 0);
  MemoryPtr line(raw);
  if (size == -2) throw Failure(conn_, "COPY out");
  if (size == -1) {
    std::string error;
    while (ResultPtr result{PQgetResult(conn_)}) {
      if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        error = Trimmed(PQresultErrorMessage(result.get()));
      }
    }
    if (!error.empty()) throw std::runtime_error("COPY out: " + error);
    return false;
  }
  // One line of text format: fields separated by TAB, ended by a line feed.
  std::string_view text(line.get(), static_cast<size_t>(size));
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  field_count_ = 0;
  size_t start = 0;
  while (true) {
    if (field_count_ == kMaxFields) throw std::runtime_error("COPY out: too many fields");
    const size_t end = std::min(text.find('\t', start), text.size());
    const std::string_view raw_field = text.substr(start, end - start);
    std::string& field = fields_[field_count_];
    is_null_[field_count_] = raw_field == "\\N";
    field.clear();
    for (size_t i = 0; i < raw_field.size(); ++i) {
      if (raw_field[i] == '\\' && i + 1 < raw_field.size()) {
        field.push_back(Unescaped(raw_field[++i]));
      } else {
        field.push_back(raw_field[i]);
      }
    }
    ++field_count_;
    if (end == text.size()) break;
    start = end + 1;
  }
  return true;
}

std::optional<std::string_view> CopyOut::Field(int i) const {
  if (is_null_[i]) return std::nullopt;
  return std::string_view(fields_[i]);
}

}  // namespace fonwerk::bench::pg
