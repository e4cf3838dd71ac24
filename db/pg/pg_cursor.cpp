#include "db/pg/pg_cursor.h"

#include <utility>
#include <vector>

namespace fonwerk::ado::pg {
namespace {

constexpr int kFetchSize = 1000;
constexpr const char* kCursorName = "fw_stream";

void ReadRow(const PGresult* result, int row, std::vector<Variant>& values) {
  const int count = PQnfields(result);
  values.resize(static_cast<size_t>(count));
  for (int field = 0; field < count; ++field) ReadFieldValue(result, row, field, values[field]);
}

class ResultCursor final : public Cursor {
 public:
  explicit ResultCursor(ResultPtr result)
      : result_(std::move(result)), columns_(DescribeFields(result_.get())) {}

  const std::vector<ColumnInfo>& Columns() const override { return columns_; }

  bool Next(std::vector<Variant>& row) override {
    if (!Advance()) return false;
    ReadRow(result_.get(), current_row_, row);
    return true;
  }

  bool Advance() override {
    if (next_row_ >= PQntuples(result_.get())) return false;
    current_row_ = next_row_++;
    return true;
  }

  void Read(size_t index, Variant& out) override {
    ReadFieldValue(result_.get(), current_row_, static_cast<int>(index), out);
  }

 private:
  ResultPtr result_;
  std::vector<ColumnInfo> columns_;
  int next_row_ = 0;
  int current_row_ = 0;
};

class StreamingCursor final : public Cursor {
 public:
  StreamingCursor(const ConnectionString& params, const std::string& sql) : conn_(Connect(params)) {
    Exec(conn_.get(), "BEGIN READ ONLY");
    Exec(conn_.get(), std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR " + sql);
    Fetch();
    columns_ = PQnfields(block_.get()) > 0 ? DescribeFields(block_.get()) : DescribePortal();
    if (PQntuples(block_.get()) < kFetchSize) Finish();
  }

  const std::vector<ColumnInfo>& Columns() const override { return columns_; }

  bool Next(std::vector<Variant>& row) override {
    if (!Advance()) return false;
    ReadRow(block_.get(), current_row_, row);
    return true;
  }

  // The block of the current row stays until the next fetch, so Read() takes
  // a column straight from it.
  bool Advance() override {
    if (next_row_ >= PQntuples(block_.get())) {
      if (!conn_) return false;
      Fetch();
      if (PQntuples(block_.get()) < kFetchSize) Finish();
      if (PQntuples(block_.get()) == 0) return false;
    }
    current_row_ = next_row_++;
    return true;
  }

  void Read(size_t index, Variant& out) override {
    ReadFieldValue(block_.get(), current_row_, static_cast<int>(index), out);
  }

 private:
  // Reads the next block of rows. A short block is the last one.
  void Fetch() {
    block_ =
        Exec(conn_.get(), "FETCH FORWARD " + std::to_string(kFetchSize) + " FROM " + kCursorName);
    next_row_ = 0;
  }

  // Ends the read-only transaction and releases the connection at once.
  void Finish() {
    Exec(conn_.get(), "COMMIT");
    conn_.reset();
  }

  // Column metadata when FETCH brought no row description.
  std::vector<ColumnInfo> DescribePortal() {
    if (!conn_) return {};
    ResultPtr description(PQdescribePortal(conn_.get(), kCursorName));
    if (!Succeeded(description.get())) throw MakeError(conn_.get(), description.get());
    return DescribeFields(description.get());
  }

  ConnPtr conn_;
  ResultPtr block_;
  std::vector<ColumnInfo> columns_;
  int next_row_ = 0;
  int current_row_ = 0;
};

}  // namespace

std::unique_ptr<Cursor> MakeResultCursor(ResultPtr result) {
  return std::make_unique<ResultCursor>(std::move(result));
}

std::unique_ptr<Cursor> OpenStreamingCursor(const ConnectionString& params,
                                            const std::string& sql) {
  return std::make_unique<StreamingCursor>(params, sql);
}

}  // namespace fonwerk::ado::pg
