// ado::Recordset and ado::Field, and the spare rows that table recordsets reuse.

#include <optional>

#include "base/text.h"
#include "com/ado.h"
#include "com/ado_usage.h"

namespace fonwerk::ado {
namespace {

[[noreturn]] void ThrowItemNotFound(const std::string& item) {
  ThrowUsage(errnum::kItemNotFound,
             "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal: " +
                 item);
}

// The open session of `connection`; throws DbError (kUsage) when it is closed.
std::shared_ptr<Session> SessionOf(const Connection& connection) {
  connection.session();  // throws for a closed connection
  return connection.shared_session();
}

// Rows of table recordsets that were stored and handed back (RecycleRows),
// kept on the thread so that the next recordsets fill them in place: their
// Variants keep their text buffers. Bounded in rows and in text bytes.
constexpr size_t kMaxSpareRows = 256;
constexpr size_t kMaxSpareRowBytes = 4096;

constexpr size_t kMaxSpareTables = 4;

struct SparePool {
  std::vector<std::vector<Variant>> rows;                 // spare rows
  std::vector<std::vector<std::vector<Variant>>> tables;  // empty row lists with capacity
};

SparePool& Spares() {
  thread_local SparePool pool;
  return pool;
}

size_t TextBytes(const std::vector<Variant>& row) {
  size_t bytes = 0;
  for (const Variant& value : row) bytes += value.TextCapacity();
  return bytes;
}

// A row of `columns` Empty values, from the pool when it has one.
std::vector<Variant> TakeSpareRow(size_t columns) {
  std::vector<std::vector<Variant>>& spares = Spares().rows;
  if (spares.empty()) return std::vector<Variant>(columns);
  std::vector<Variant> row = std::move(spares.back());
  spares.pop_back();
  for (Variant& value : row) value.SetEmpty();
  row.resize(columns);
  return row;
}

[[noreturn]] void ThrowNoCurrentRecord() {
  ThrowUsage(kNoCurrentRecord,
             "Either BOF or EOF is True, or the current record has been deleted. Requested "
             "operation requires a current record.");
}

}  // namespace

void RecycleRows(std::vector<std::vector<Variant>>& rows) {
  std::vector<std::vector<Variant>>& spares = Spares().rows;
  for (std::vector<Variant>& row : rows) {
    if (spares.size() >= kMaxSpareRows) break;
    if (TextBytes(row) <= kMaxSpareRowBytes) spares.push_back(std::move(row));
  }
  rows.clear();
  if (Spares().tables.size() < kMaxSpareTables && rows.capacity() > 0) {
    Spares().tables.push_back(std::move(rows));
  }
  rows = {};
}

namespace {

// An empty list of rows, with room from an earlier recordset when there is one.
std::vector<std::vector<Variant>> TakeSpareTable() {
  std::vector<std::vector<std::vector<Variant>>>& tables = Spares().tables;
  if (tables.empty()) return {};
  std::vector<std::vector<Variant>> rows = std::move(tables.back());
  tables.pop_back();
  return rows;
}

}  // namespace

// ----------------------------------------------------------------- Recordset

struct Recordset::Impl {
  enum class Mode { kStreaming, kStatic, kTable };

  Mode mode = Mode::kStatic;
  std::shared_ptr<Session> session;  // declared before the cursor: outlives it
  std::vector<ColumnInfo> columns;
  std::string table;  // table recordsets only

  // Streaming: a column is read from the cursor the first time it is asked
  // for on a row, into current[i], whose buffer later rows reuse.
  std::unique_ptr<Cursor> cursor;  // streaming: the open cursor
  std::vector<Variant> current;    // streaming: the columns read from the current row
  std::vector<uint64_t> read_on;   // streaming: the row number current[i] was read on
  uint64_t row_number = 0;         // streaming: the number of the current row, from 1
  bool at_end = false;             // streaming: the cursor is exhausted

  std::vector<std::vector<Variant>> rows;  // static: all rows; table: the added rows
  bool filtered = false;                   // static: a filter is in force
  std::vector<size_t> visible;             // static with a filter: the matching rows
  size_t position = 0;  // static: index among the visible rows; table: index of the row

  size_t VisibleCount() const { return filtered ? visible.size() : rows.size(); }

  // Makes this a static recordset: reads every row of the cursor and lets it go.
  void ReadAll() {
    mode = Mode::kStatic;
    std::vector<Variant> row;
    while (cursor->Next(row)) rows.push_back(std::move(row));
    cursor.reset();
  }

  bool AtEnd() const {
    switch (mode) {
      case Mode::kStreaming:
        return at_end;
      case Mode::kStatic:
        return position >= VisibleCount();
      case Mode::kTable:
        return position >= rows.size();
    }
    return true;
  }

  // Column `index` of the current row. REQUIRES: !AtEnd(), index < columns.size().
  const Variant& Value(size_t index) {
    switch (mode) {
      case Mode::kStreaming:
        if (read_on[index] != row_number) {
          cursor->Read(index, current[index]);
          read_on[index] = row_number;
        }
        return current[index];
      case Mode::kStatic:
        return rows[filtered ? visible[position] : position][index];
      case Mode::kTable:
        return rows[position][index];
    }
    return current[index];
  }

  // Streaming: moves the cursor on; the new row's columns are read on demand.
  void Fetch() {
    at_end = !cursor->Advance();
    ++row_number;
  }

  // -1 when no column has that name.
  int32_t FindColumn(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (text::EqualsNoCase(columns[i].name, name)) return static_cast<int32_t>(i);
    }
    return -1;
  }

  // The column and value of a filter, or nullopt for "no filter". Throws DbError (kUsage).
  std::optional<std::pair<int32_t, std::string>> ParseFilter(const Variant& filter) const;
  void ApplyFilter(std::optional<std::pair<int32_t, std::string>> term);
};

namespace {

[[noreturn]] void RejectFilter(const std::string& reason, const std::string& filter) {
  throw DbError(DbError::Kind::kUsage, "Filter rejected: " + reason + ": " + filter);
}

// Reads the quoted value of a filter: `'...'` with '' for a quote, nothing after it.
std::string ParseFilterValue(std::string_view text, const std::string& filter) {
  if (text.empty() || text.front() != '\'') RejectFilter("the value must be quoted", filter);
  std::string value;
  size_t i = 1;
  while (true) {
    if (i >= text.size()) RejectFilter("unterminated quote", filter);
    if (text[i] != '\'') {
      value += text[i++];
    } else if (i + 1 < text.size() && text[i + 1] == '\'') {
      value += '\'';
      i += 2;
    } else {
      break;
    }
  }
  if (i + 1 != text.size()) RejectFilter("text after the closing quote", filter);
  return value;
}

}  // namespace

void Recordset::Impl::ApplyFilter(std::optional<std::pair<int32_t, std::string>> term) {
  filtered = term.has_value();
  visible.clear();
  if (term) {
    const auto& [column, value] = *term;
    for (size_t i = 0; i < rows.size(); ++i) {
      const Variant& cell = rows[i][column];
      if (cell.IsNull()) continue;
      if (cell.IsText() ? cell.text() == value : cell.ToText() == value) visible.push_back(i);
    }
  }
  position = 0;
}

std::optional<std::pair<int32_t, std::string>> Recordset::Impl::ParseFilter(
    const Variant& filter) const {
  switch (filter.type()) {
    case Variant::Type::kEmpty:
      return std::nullopt;
    case Variant::Type::kInteger:
      if (filter.ToInteger() == 0) return std::nullopt;
      RejectFilter("only the number 0 is allowed", filter.ToText());
    case Variant::Type::kText:
      break;
    default:
      RejectFilter("not a filter text", filter.IsNull() ? "Null" : filter.ToText());
  }
  const std::string& whole = filter.text();
  const std::string_view trimmed = text::TrimBlanks(whole);
  if (trimmed.empty()) return std::nullopt;
  const size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) RejectFilter("no '=' in the filter", whole);
  const std::string_view name = text::TrimBlanks(trimmed.substr(0, equals));
  const int32_t column = FindColumn(name);
  if (name.empty() || column < 0) RejectFilter("unknown column '" + std::string(name) + "'", whole);
  return std::make_pair(column,
                        ParseFilterValue(text::TrimBlanks(trimmed.substr(equals + 1)), whole));
}

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

Recordset::Impl& Recordset::impl() const {
  if (!impl_) ThrowUsage(kObjectClosed, "Operation is not allowed when the object is closed.");
  return *impl_;
}

void Recordset::Open(const std::string& sql, Connection& connection, CursorType cursor,
                     LockType /*lock*/) {
  if (impl_) ThrowUsage(kObjectOpen, "Operation is not allowed when the object is open.");
  auto impl = std::make_unique<Impl>();
  impl->session = SessionOf(connection);
  const bool streaming = cursor == CursorType::kForwardOnly;
  impl->cursor = impl->session->Query(sql, streaming);
  impl->columns = impl->cursor->Columns();
  if (streaming) {
    impl->mode = Impl::Mode::kStreaming;
    impl->current.resize(impl->columns.size());
    impl->read_on.assign(impl->columns.size(), 0);
    impl->Fetch();
  } else {
    impl->ReadAll();
  }
  impl_ = std::move(impl);
}

void Recordset::Open(const std::string& sql, const std::vector<Variant>& params,
                     Connection& connection) {
  if (impl_) ThrowUsage(kObjectOpen, "Operation is not allowed when the object is open.");
  auto impl = std::make_unique<Impl>();
  impl->session = SessionOf(connection);
  impl->cursor = impl->session->PreparedQuery(sql, params);
  impl->columns = impl->cursor->Columns();
  impl->ReadAll();
  impl_ = std::move(impl);
}

void Recordset::OpenEmptyTable(const std::string& table, Connection& connection) {
  if (impl_) ThrowUsage(kObjectOpen, "Operation is not allowed when the object is open.");
  auto impl = std::make_unique<Impl>();
  impl->session = SessionOf(connection);
  impl->mode = Impl::Mode::kTable;
  impl->table = impl->session->StoreTable(table);
  impl->columns = impl->session->TableColumns(table);
  impl_ = std::move(impl);
}

bool Recordset::IsOpen() const { return impl_ != nullptr; }

void Recordset::Close() { impl_.reset(); }

bool Recordset::Eof() const { return impl().AtEnd(); }

void Recordset::MoveNext() {
  Impl& rs = impl();
  if (rs.AtEnd()) ThrowNoCurrentRecord();
  if (rs.mode == Impl::Mode::kStreaming) {
    rs.Fetch();
  } else {
    ++rs.position;
  }
}

void Recordset::MoveFirst() {
  Impl& rs = impl();
  if (rs.mode != Impl::Mode::kStatic) {
    ThrowUsage(errnum::kOperationNotAllowed,
               "Operation is not allowed in this context: MoveFirst needs a static recordset.");
  }
  rs.position = 0;
}

int32_t Recordset::FieldCount() const { return static_cast<int32_t>(impl().columns.size()); }

Field Recordset::Fields(std::string_view name) {
  const int32_t index = impl().FindColumn(name);
  if (index < 0) ThrowItemNotFound(std::string(name));
  return Field(this, index);
}

Field Recordset::Fields(int32_t index) {
  if (index < 0 || index >= FieldCount()) ThrowItemNotFound(std::to_string(index));
  return Field(this, index);
}

void Recordset::SetFilter(const Variant& filter) {
  Impl& rs = impl();
  if (rs.mode != Impl::Mode::kStatic) {
    ThrowUsage(errnum::kOperationNotAllowed,
               "Operation is not allowed in this context: Filter needs a static recordset.");
  }
  rs.ApplyFilter(rs.ParseFilter(filter));
}

void Recordset::AddNew() {
  Impl& rs = impl();
  if (rs.mode != Impl::Mode::kTable) {
    ThrowUsage(errnum::kOperationNotAllowed,
               "Operation is not allowed in this context: AddNew needs a table recordset.");
  }
  if (rs.rows.capacity() == 0) rs.rows = TakeSpareTable();
  rs.rows.push_back(TakeSpareRow(rs.columns.size()));
  rs.position = rs.rows.size() - 1;
}

bool Recordset::IsTable() const { return impl_ && impl_->mode == Impl::Mode::kTable; }

const std::string& Recordset::TableName() const { return impl().table; }

RowBatch Recordset::TakeAddedRows() {
  Impl& rs = impl();
  if (rs.mode != Impl::Mode::kTable) {
    ThrowUsage(errnum::kOperationNotAllowed,
               "Operation is not allowed in this context: only a table recordset has added rows.");
  }
  RowBatch batch{rs.table, rs.columns, std::move(rs.rows)};
  rs.rows.clear();
  rs.position = 0;
  return batch;
}

int64_t Recordset::AddedRowCount() const {
  const Impl& rs = impl();
  return rs.mode == Impl::Mode::kTable ? static_cast<int64_t>(rs.rows.size()) : 0;
}

const std::vector<ColumnInfo>& Recordset::Columns() const { return impl().columns; }

const std::shared_ptr<Session>& Recordset::session() const { return impl().session; }

// --------------------------------------------------------------------- Field

const std::string& Field::Name() const { return owner_->impl().columns[index_].name; }

const Variant& Field::Value() const {
  Recordset::Impl& rs = owner_->impl();
  if (rs.AtEnd()) ThrowNoCurrentRecord();
  return rs.Value(static_cast<size_t>(index_));
}

Variant& Field::AddedCell() const {
  Recordset::Impl& rs = owner_->impl();
  if (rs.mode != Recordset::Impl::Mode::kTable || rs.rows.empty() ||
      rs.position + 1 != rs.rows.size()) {
    ThrowUsage(errnum::kOperationNotAllowed, "Operation is not allowed in this context: field " +
                                                 Name() +
                                                 " can only be set on the row being added.");
  }
  return rs.rows.back()[index_];
}

void Field::SetValue(const Variant& value) { AddedCell() = value; }

void Field::SetValue(Variant&& value) { AddedCell() = std::move(value); }

void Field::SetText(std::string_view text) { AddedCell().SetText(text); }

int32_t Field::DefinedSize() const { return owner_->impl().columns[index_].defined_size; }

}  // namespace fonwerk::ado
