// The pipelined INSERTs of PgStore and what both ways of storing share; the
// COPY groups are in pg_copy_store.cpp.

#include "db/pg/pg_store.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "base/text.h"

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

std::string DoubleText(double value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::to_string(value);
}

// For each column of the batch, its position among the table's columns.
// Throws DbError kUsage when the batch does not fit the table.
std::vector<int> MapColumns(const TableInfo& table, const RowBatch& batch) {
  std::vector<int> mapping;
  mapping.reserve(batch.columns.size());
  for (const ColumnInfo& column : batch.columns) {
    auto found = std::find_if(table.columns.begin(), table.columns.end(), [&](const ColumnInfo& c) {
      return text::EqualsNoCase(c.name, column.name);
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

std::string InsertSql(const TableInfo& table, const std::vector<int>& columns, int rows) {
  if (columns.empty()) return "INSERT INTO " + table.relation + " DEFAULT VALUES";
  std::string sql =
      "INSERT INTO " + table.relation + " (" + ColumnList(table, columns) + ") VALUES ";
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

std::string ColumnList(const TableInfo& table, const std::vector<int>& columns) {
  std::string list;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) list += ", ";
    list += text::DoubleQuoted(table.columns[columns[i]].name);
  }
  return list;
}

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
