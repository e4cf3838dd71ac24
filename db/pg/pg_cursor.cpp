#include "db/pg/pg_cursor.h"

#include <utility>
#include <vector>

namespace fonwerk::ado::pg {
namespace {

constexpr int kFetchSize = 1000;
constexpr const char* kCursorName = "fw_stream";

// A cursor over the rows of one result at a time: a derived cursor that reads
// its rows in blocks hands over the next block when asked.
class BlockCursor : public Cursor {
 public:
  const std::vector<ColumnInfo>& Columns() const override { return columns_; }

  bool Next(std::vector<Variant>& row) override {
    if (!Advance()) return false;
    const int count = PQnfields(block_.get());
    row.resize(static_cast<size_t>(count));
    for (int field = 0; field < count; ++field) {
      ReadFieldValue(block_.get(), current_row_, field, row[field]);
    }
    return true;
  }

  // The block of the current row stays until the next block comes, so Read()
  // takes a column straight from it.
  bool Advance() override {
    if (next_row_ >= PQntuples(block_.get()) && !NextBlock()) return false;
    current_row_ = next_row_++;
    return true;
  }

  void Read(size_t index, Variant& out) override {
    ReadFieldValue(block_.get(), current_row_, static_cast<int>(index), out);
  }

 protected:
  // Makes `block` the current block, read from its first row.
  void SetBlock(ResultPtr block) {
    block_ = std::move(block);
    next_row_ = 0;
  }
  const PGresult* block() const { return block_.get(); }

  void SetColumns(std::vector<ColumnInfo> columns) { columns_ = std::move(columns); }

  // Sets the block after the current one, or returns false when there is none.
  virtual bool NextBlock() { return false; }

 private:
  std::vector<ColumnInfo> columns_;
  ResultPtr block_;
  int next_row_ = 0;
  int current_row_ = 0;
};

class ResultCursor final : public BlockCursor {
 public:
  explicit ResultCursor(ResultPtr result) {
    SetBlock(std::move(result));
    SetColumns(DescribeFields(block()));
  }
};

class StreamingCursor final : public BlockCursor {
 public:
  StreamingCursor(const ConnectionString& params, const std::string& sql) : conn_(Connect(params)) {
    Exec(conn_.get(), "BEGIN READ ONLY");
    Exec(conn_.get(), std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR " + sql);
    Fetch();
    SetColumns(PQnfields(block()) > 0 ? DescribeFields(block()) : DescribePortal());
    if (PQntuples(block()) < kFetchSize) Finish();
  }

 private:
  bool NextBlock() override {
    if (!conn_) return false;
    Fetch();
    if (PQntuples(block()) < kFetchSize) Finish();
    return PQntuples(block()) > 0;
  }

  // Reads the next block of rows. A short block is the last one.
  void Fetch() {
    SetBlock(
        Exec(conn_.get(), "FETCH FORWARD " + std::to_string(kFetchSize) + " FROM " + kCursorName));
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
