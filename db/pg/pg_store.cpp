#include "db/pg/pg_store.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace fonwerk::ado::pg {
namespace {

// Largest number of rows one INSERT carries, and PostgreSQL's limit of
// parameters per statement.
constexpr std::size_t kMaxRowsPerInsert = 100;
constexpr std::size_t kMaxParams = 65535;
// A group is also closed after this many commands, which bounds what the
// server has to hold back for us while we keep sending.
constexpr std::size_t kGroupCommands = 2000;
// Queued batches are pushed to the server every so often, so that it works
// while we are still producing.
constexpr std::size_t kFlushEvery = 16;
// COPY data is handed to libpq in pieces of about this size, small enough
// that the server stores rows while we are still producing the group's rest.
constexpr std::size_t kCopyChunk = 32 * 1024;
// A COPY group is larger than an INSERT group: at its end the client waits
// until the server has stored everything sent, and the server then waits
// for the next group's first rows.
constexpr std::size_t kCopyGroupBatches = 2000;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string DoubleText(double value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::to_string(value);
}

// The text a value is sent as to a column of class `type`. REQUIRES: not Null/Empty.
std::string ParamText(const Variant& value, TypeClass type) {
  switch (value.type()) {
    case Variant::Type::kText:
      return value.text();
    case Variant::Type::kInteger:
      return std::to_string(value.ToInteger());
    case Variant::Type::kDouble:
      return DoubleText(value.ToDouble());
    case Variant::Type::kBoolean:
      if (type == TypeClass::kBoolean) return value.ToBool() ? "true" : "false";
      if (type != TypeClass::kText) return value.ToBool() ? "-1" : "0";
      return value.ToText();
    case Variant::Type::kEmpty:
    case Variant::Type::kNull:
      break;
  }
  return {};
}

// For each column of the batch, its position among the table's columns.
// Throws DbError kUsage when the batch does not fit the table.
std::vector<int> MapColumns(const TableInfo& table, const RowBatch& batch) {
  std::vector<int> mapping;
  mapping.reserve(batch.columns.size());
  for (const ColumnInfo& column : batch.columns) {
    auto found = std::find_if(table.columns.begin(), table.columns.end(), [&](const ColumnInfo& c) {
      return EqualsNoCase(c.name, column.name);
    });
    if (found == table.columns.end()) {
      throw DbError(DbError::Kind::kUsage,
                    "Column '" + column.name + "' is not a column of table " + table.relation);
    }
    mapping.push_back(static_cast<int>(found - table.columns.begin()));
  }
  for (const auto& row : batch.rows) {
    if (row.size() != batch.columns.size()) {
      throw DbError(DbError::Kind::kUsage, "A row for table " + table.relation + " has " +
                                               std::to_string(row.size()) + " values for " +
                                               std::to_string(batch.columns.size()) + " columns");
    }
  }
  return mapping;
}

// The positions (in the batch) of the columns that are set in `row`.
void SetColumns(const std::vector<Variant>& row, std::vector<int>& set) {
  set.clear();
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (!row[i].IsEmpty()) set.push_back(static_cast<int>(i));
  }
}

// Appends `text` as a field of COPY's text format. Like a parameter's C
// string, the value ends at a NUL byte.
void AppendCopyText(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '\0':
        return;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

std::string InsertSql(const TableInfo& table, const std::vector<int>& columns, int rows) {
  if (columns.empty()) return "INSERT INTO " + table.relation + " DEFAULT VALUES";
  std::string sql = "INSERT INTO " + table.relation + " (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += QuoteIdentifier(table.columns[columns[i]].name);
  }
  sql += ") VALUES ";
  int param = 0;
  for (int row = 0; row < rows; ++row) {
    sql += row > 0 ? ", (" : "(";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) sql += ", ";
      sql += '$' + std::to_string(++param);
    }
    sql += ')';
  }
  return sql;
}

}  // namespace

void PgStore::StoreNow(const TableInfo& table, const RowBatch& batch) {
  // The rows stay in `batch`; the pending entry only carries the column mapping.
  const Pending pending{&table, MapColumns(table, batch), {}, {}};
  if (batch.rows.empty()) return;
  EnterPipeline();
  std::vector<int> set;
  for (const auto& row : batch.rows) {
    SetColumns(row, set);
    AddRow(0, pending, row, set);
  }
  Sync();
  std::optional<Failure> failure = ReadResults();
  ExitPipeline();
  if (failure) throw DbError(DbError::Kind::kStatement, failure->message, failure->sqlstate);
}

void PgStore::Queue(const TableInfo& table, RowBatch&& batch, std::string tag) {
  std::vector<int> mapping = MapColumns(table, batch);
  if (batch.rows.empty()) return;
  Pending pending{&table, std::move(mapping), std::move(batch), std::move(tag)};
  if (!pipeline_ && QueueCopied(pending)) return;
  QueuePipelined(std::move(pending));
}

void PgStore::QueuePipelined(Pending&& pending) {
  if (copy_.active) CompleteCopyGroup();
  EnterPipeline();
  if (!group_open_) {
    SendControl("SAVEPOINT fw_group");
    group_open_ = true;
  }
  group_.push_back(std::move(pending));
  SendBatch(group_.size() - 1, group_.back());
  if (group_.size() >= kGroupBatches || expected_.size() >= kGroupCommands) {
    CompletePipelinedGroup();
  } else if (++queued_since_flush_ >= kFlushEvery) {
    queued_since_flush_ = 0;
    if (PQflush(conn_) < 0) SendFailed();
  }
}

void PgStore::Flush() {
  if (copy_.active) CompleteCopyGroup();
  if (pipeline_) CompletePipelinedGroup();
}

void PgStore::Discard() {
  if (copy_.active) {
    EndCopy("discarded");
    group_.clear();
  }
  if (!pipeline_) return;
  open_.rows = 0;
  Sync();
  ReadResults();
  group_.clear();
  group_open_ = false;
  ExitPipeline();
}

std::vector<StoreFailure> PgStore::TakeFailures() { return std::exchange(failures_, {}); }

void PgStore::Reset() {
  copy_ = OpenCopy{};
  group_.clear();
  expected_.clear();
  open_.rows = 0;
  group_open_ = false;
  pipeline_ = false;
  for (auto& [key, statement] : statements_) statement.in_flight = false;
}

void PgStore::CompletePipelinedGroup() {
  for (;;) {
    if (group_open_) SendControl("RELEASE SAVEPOINT fw_group");
    Sync();
    std::optional<Failure> failure = ReadResults();
    if (!failure) break;
    const Expected& failed = failure->command;
    if (failed.control) {
      // The group's own bookkeeping failed: its batches are lost with it.
      group_.clear();
      group_open_ = false;
      ExitPipeline();
      throw DbError(DbError::Kind::kStatement, failure->message, failure->sqlstate);
    }
    // Everything after the failed statement was skipped and everything
    // before it is undone by the rollback.
    if (failed.first == failed.last) {
      const auto culprit = group_.begin() + static_cast<std::ptrdiff_t>(failed.first);
      failures_.push_back({culprit->tag, failure->message});
      group_.erase(culprit);
    } else {
      for (std::size_t i = failed.first; i <= failed.last; ++i) group_[i].alone = true;
    }
    SendControl("ROLLBACK TO SAVEPOINT fw_group");
    for (std::size_t i = 0; i < group_.size(); ++i) SendBatch(i, group_[i]);
  }
  group_.clear();
  group_open_ = false;
  queued_since_flush_ = 0;
  ExitPipeline();
}

void PgStore::EnterPipeline() {
  if (pipeline_) return;
  if (PQenterPipelineMode(conn_) != 1) SendFailed();
  pipeline_ = true;
}

void PgStore::ExitPipeline() {
  if (!pipeline_) return;
  if (PQexitPipelineMode(conn_) != 1) SendFailed();
  pipeline_ = false;
}

void PgStore::SendControl(const char* sql) {
  SendOpenInsert();
  if (PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) SendFailed();
  expected_.push_back({true, 0, 0, nullptr});
}

void PgStore::SendBatch(std::size_t index, const Pending& pending) {
  if (pending.alone) SendOpenInsert();
  std::vector<int> set;
  for (const auto& row : pending.batch.rows) {
    SetColumns(row, set);
    AddRow(index, pending, row, set);
  }
  if (pending.alone) SendOpenInsert();
}

void PgStore::AddRow(std::size_t index, const Pending& pending, const std::vector<Variant>& row,
                     const std::vector<int>& set) {
  const TableInfo& table = *pending.table;
  std::vector<int> columns;
  columns.reserve(set.size());
  for (int column : set) columns.push_back(pending.mapping[column]);
  const std::size_t limit =
      columns.empty() ? 1 : std::min(kMaxRowsPerInsert, kMaxParams / columns.size());
  if (open_.rows > 0 &&
      (open_.table != &table || open_.columns != columns || open_.rows >= limit)) {
    SendOpenInsert();
  }
  if (open_.rows == 0) {
    open_.table = &table;
    open_.columns = std::move(columns);
    open_.first = index;
    open_.text.clear();
    open_.null.clear();
  }
  for (int column : set) {
    const Variant& value = row[column];
    open_.null.push_back(value.IsNull());
    open_.text.push_back(value.IsNull() ? std::string()
                                        : ParamText(value, table.classes[pending.mapping[column]]));
  }
  open_.last = index;
  ++open_.rows;
}

void PgStore::SendOpenInsert() {
  if (open_.rows == 0) return;
  Prepared& statement = StatementFor(*open_.table, open_.columns, static_cast<int>(open_.rows));
  param_values_.clear();
  for (std::size_t i = 0; i < open_.text.size(); ++i) {
    param_values_.push_back(open_.null[i] ? nullptr : open_.text[i].c_str());
  }
  open_.rows = 0;
  if (!statement.ready && !statement.in_flight) {
    if (PQsendPrepare(conn_, statement.name.c_str(), statement.sql.c_str(), statement.params,
                      nullptr) != 1) {
      SendFailed();
    }
    statement.in_flight = true;
    expected_.push_back({false, open_.first, open_.last, &statement});
  }
  if (PQsendQueryPrepared(conn_, statement.name.c_str(), statement.params, param_values_.data(),
                          nullptr, nullptr, 0) != 1) {
    SendFailed();
  }
  expected_.push_back({false, open_.first, open_.last, nullptr});
}

void PgStore::Sync() {
  SendOpenInsert();
  if (PQpipelineSync(conn_) != 1) SendFailed();
}

std::optional<PgStore::Failure> PgStore::ReadResults() {
  std::optional<Failure> first;
  for (const Expected& command : expected_) {
    ResultPtr result(PQgetResult(conn_));
    if (!result) SendFailed();
    if (IsConnectionFailure(conn_, result.get())) throw MakeError(conn_, result.get());
    if (command.prepare != nullptr) {
      command.prepare->in_flight = false;
      command.prepare->ready = Succeeded(result.get());
    }
    if (PQresultStatus(result.get()) == PGRES_FATAL_ERROR && !first) {
      const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
      first = Failure{command, ErrorText(conn_, result.get()), state ? state : ""};
    }
    // The results of one command end with a null result.
    while (ResultPtr extra{PQgetResult(conn_)}) {
      if (IsConnectionFailure(conn_, extra.get())) throw MakeError(conn_, extra.get());
    }
  }
  expected_.clear();
  ResultPtr sync(PQgetResult(conn_));
  if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
    throw DbError(DbError::Kind::kConnection, ErrorText(conn_, sync.get()));
  }
  return first;
}

PgStore::Prepared& PgStore::StatementFor(const TableInfo& table, const std::vector<int>& columns,
                                         int rows) {
  std::string key = table.relation;
  for (int column : columns) key += '\x1f' + std::to_string(column);
  key += '\x1e' + std::to_string(rows);
  auto [it, added] = statements_.try_emplace(std::move(key));
  Prepared& statement = it->second;
  if (added) {
    statement.name = "fw_ins_" + std::to_string(statements_.size());
    statement.sql = InsertSql(table, columns, rows);
    statement.params = static_cast<int>(columns.size()) * rows;
  }
  return statement;
}

void PgStore::SendFailed() const {
  throw DbError(DbError::Kind::kConnection, ErrorText(conn_, nullptr));
}

}  // namespace fonwerk::ado::pg

namespace fonwerk::ado::pg {

std::optional<std::vector<int>> PgStore::CopyColumns(const Pending& pending) const {
  const TableInfo& table = *pending.table;
  if (copy_refused_ || !table.copy_allowed) return std::nullopt;
  // A column left unset takes its default. Without a default that is Null,
  // which COPY can say; a default it can only give to columns it leaves out,
  // so a column with a default must be set in every row or in none.
  std::vector<bool> set_somewhere(table.columns.size(), false);
  std::vector<bool> unset_somewhere(table.columns.size(), false);
  for (const auto& row : pending.batch.rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      const int column = pending.mapping[i];
      (row[i].IsEmpty() ? unset_somewhere : set_somewhere)[column] = true;
    }
  }
  std::vector<int> columns;
  for (std::size_t column = 0; column < table.columns.size(); ++column) {
    if (!table.columns[column].has_default) {
      columns.push_back(static_cast<int>(column));
    } else if (set_somewhere[column]) {
      if (unset_somewhere[column]) return std::nullopt;
      columns.push_back(static_cast<int>(column));
    }
  }
  if (columns.empty()) return std::nullopt;
  return columns;
}

bool PgStore::QueueCopied(Pending& pending) {
  std::optional<std::vector<int>> columns = CopyColumns(pending);
  if (!columns) return false;
  if (copy_.active && (copy_.table != pending.table || copy_.columns != *columns)) {
    CompleteCopyGroup();
  }
  if (!copy_.active) {
    StartCopy(*pending.table, *columns);
    if (!copy_.active) return false;
  }
  AppendCopyRows(pending);
  group_.push_back(std::move(pending));
  if (group_.size() >= kCopyGroupBatches) CompleteCopyGroup();
  return true;
}

void PgStore::StartCopy(const TableInfo& table, const std::vector<int>& columns) {
  RunControl("SAVEPOINT fw_group");
  std::string sql = "COPY " + table.relation + " (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += QuoteIdentifier(table.columns[columns[i]].name);
  }
  sql += ") FROM STDIN";
  ResultPtr result(PQexec(conn_, sql.c_str()));
  if (IsConnectionFailure(conn_, result.get())) throw MakeError(conn_, result.get());
  if (PQresultStatus(result.get()) != PGRES_COPY_IN) {
    // The server will not take this table by COPY (a privilege, a kind of
    // relation it refuses): every later group goes as INSERTs, which report
    // the cause per batch.
    copy_refused_ = true;
    RunControl("ROLLBACK TO SAVEPOINT fw_group");
    RunControl("RELEASE SAVEPOINT fw_group");
    return;
  }
  copy_.active = true;
  copy_.table = &table;
  copy_.columns = columns;
  copy_.data.clear();
}

void PgStore::AppendCopyRows(const Pending& pending) {
  // For each column of the COPY, the batch column that gives it, or -1.
  std::vector<int> source(copy_.columns.size(), -1);
  for (std::size_t i = 0; i < pending.mapping.size(); ++i) {
    const auto found = std::find(copy_.columns.begin(), copy_.columns.end(), pending.mapping[i]);
    if (found != copy_.columns.end()) source[found - copy_.columns.begin()] = static_cast<int>(i);
  }
  for (const auto& row : pending.batch.rows) {
    for (std::size_t i = 0; i < source.size(); ++i) {
      if (i > 0) copy_.data += '\t';
      const Variant* value = source[i] < 0 ? nullptr : &row[source[i]];
      if (value == nullptr || value->IsNull() || value->IsEmpty()) {
        copy_.data += "\\N";
      } else {
        AppendCopyText(copy_.data, ParamText(*value, pending.table->classes[copy_.columns[i]]));
      }
    }
    copy_.data += '\n';
  }
  if (copy_.data.size() >= kCopyChunk) SendCopyData();
}

void PgStore::SendCopyData() {
  if (copy_.data.empty()) return;
  if (PQputCopyData(conn_, copy_.data.data(), static_cast<int>(copy_.data.size())) != 1) {
    SendFailed();
  }
  copy_.data.clear();
}

std::optional<std::string> PgStore::EndCopy(const char* abort_reason) {
  copy_.active = false;
  if (abort_reason == nullptr) SendCopyData();
  copy_.data.clear();
  if (PQputCopyEnd(conn_, abort_reason) != 1) SendFailed();
  std::optional<std::string> rejected;
  ResultPtr result(PQgetResult(conn_));
  if (IsConnectionFailure(conn_, result.get())) throw MakeError(conn_, result.get());
  if (!Succeeded(result.get())) rejected = ErrorText(conn_, result.get());
  while (ResultPtr extra{PQgetResult(conn_)}) {
    if (IsConnectionFailure(conn_, extra.get())) throw MakeError(conn_, extra.get());
  }
  return rejected;
}

void PgStore::CompleteCopyGroup() {
  if (!EndCopy(nullptr)) {
    RunControl("RELEASE SAVEPOINT fw_group");
    group_.clear();
    return;
  }
  // A row was rejected and the COPY undone. The group goes again as INSERTs,
  // which find the batch at fault; the savepoint stays the group's.
  RunControl("ROLLBACK TO SAVEPOINT fw_group");
  EnterPipeline();
  group_open_ = true;
  for (std::size_t i = 0; i < group_.size(); ++i) SendBatch(i, group_[i]);
  CompletePipelinedGroup();
}

void PgStore::RunControl(const char* sql) {
  ResultPtr result(PQexec(conn_, sql));
  if (Succeeded(result.get())) return;
  // The group's own bookkeeping failed: its batches are lost with it.
  copy_.active = false;
  group_.clear();
  throw MakeError(conn_, result.get());
}

}  // namespace fonwerk::ado::pg
