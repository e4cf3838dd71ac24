// The COPY groups of PgStore (see pg_store.h).

#include <algorithm>

#include "db/pg/pg_store.h"

namespace fonwerk::ado::pg {
namespace {

// COPY data is handed to libpq in pieces of about this size, small enough
// that the server stores rows while we are still producing the group's rest.
constexpr std::size_t kCopyChunk = 32 * 1024;
// A COPY group is larger than an INSERT group: at its end the client waits
// until the server has stored everything sent, and the server then waits
// for the next group's first rows.
constexpr std::size_t kCopyGroupBatches = 2000;

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

}  // namespace

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
  const std::string sql =
      "COPY " + table.relation + " (" + ColumnList(table, columns) + ") FROM STDIN";
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
