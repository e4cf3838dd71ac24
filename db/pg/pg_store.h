#pragma once
// Row stores of the PostgreSQL provider.
//
// Inside a transaction block, batches are queued and sent without waiting for
// their results. Batches are grouped: one SAVEPOINT opens a group of a few
// hundred or thousand batches and one RELEASE closes it, so the client waits for
// the server once per group, not once per batch, and the transaction holds
// one subtransaction per group rather than one per batch.
//
// A group travels one of two ways:
//  - COPY ... FROM STDIN, the server's cheapest way in, while the group's
//    batches all go to one table that allows it (TableInfo::copy_allowed)
//    and agree on which columns with a default they set;
//  - otherwise prepared multi-row INSERTs in libpq's pipeline mode, closed by
//    one pipeline sync. Consecutive rows for the same table and the same set
//    columns share one INSERT, across batches.
//
// When a row of a COPY group is rejected, the whole COPY fails: the store
// rolls back to the group's savepoint and sends the group again as INSERTs.
// When a statement of an INSERT group fails, the server skips the rest of the
// group; the store rolls back to the group's savepoint and sends the group
// again. If the failed statement held the rows of one batch, that batch is
// left out and its failure (its tag and the server's message) recorded; if it
// held rows of several batches, these are sent again each in statements of
// its own, so that the next round names the culprit. Memory holds one group.

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/pg/pg_libpq.h"
#include "db/session.h"

namespace fonwerk::ado::pg {

// A table as the catalog describes it.
struct TableInfo {
  std::string relation;             // the name to write in SQL, quoted where needed
  std::vector<ColumnInfo> columns;  // in table order
  std::vector<TypeClass> classes;   // value class of each column
  bool copy_allowed = false;        // COPY stores rows exactly as INSERT does
};

// The text a value is sent as to a column of class `type`, as a parameter of
// an INSERT or a field of COPY. REQUIRES: `value` is neither Null nor Empty.
std::string ParamText(const Variant& value, TypeClass type);

// The names of the table's columns at the positions `columns`, quoted and
// separated by ", ".
std::string ColumnList(const TableInfo& table, const std::vector<int>& columns);

class PgStore {
 public:
  static constexpr std::size_t kGroupBatches = 500;

  // `conn` must outlive the store.
  explicit PgStore(PGconn* conn) : conn_(conn) {}
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  // Stores `batch` at once, atomically (one implicit transaction).
  // REQUIRES: no transaction block is open and nothing is queued.
  // Throws DbError: kStatement with the server's message when a row is
  // rejected, kConnection when the connection is lost, kUsage when a column
  // of the batch is not a column of the table.
  void StoreNow(const TableInfo& table, const RowBatch& batch);

  // Queues `batch` inside the open transaction block; `table` must stay valid
  // until the batch is completed. Completes the group when it is full.
  // Throws DbError kConnection when the connection is lost, kUsage as above,
  // kStatement when the group's savepoint itself fails.
  void Queue(const TableInfo& table, RowBatch&& batch, std::string tag);

  // Completes the queued group; failed batches go to TakeFailures().
  // Throws as Queue. Afterwards the connection is out of pipeline mode and
  // free for other commands.
  void Flush();

  // Drops the queued group without caring whether it was stored (the
  // transaction is about to be rolled back). Throws DbError kConnection.
  void Discard();

  std::vector<StoreFailure> TakeFailures();

  // Forgets everything queued, after the connection was lost.
  void Reset();

 private:
  struct Prepared {
    std::string name;
    std::string sql;
    int params = 0;
    bool ready = false;      // the server has it
    bool in_flight = false;  // a prepare was sent and its result is awaited
  };
  struct Pending {
    const TableInfo* table;
    std::vector<int> mapping;  // batch column -> table column
    RowBatch batch;
    std::string tag;
    bool alone = false;  // suspected of a failure: its rows share no statement
  };
  // One command sent in the pipeline whose result is still to be read.
  struct Expected {
    bool control = false;   // SAVEPOINT, RELEASE, ROLLBACK TO
    std::size_t first = 0;  // the batches (indexes in group_) whose rows it holds
    std::size_t last = 0;
    Prepared* prepare = nullptr;  // set for a prepare
  };
  struct Failure {
    Expected command;
    std::string message;
    std::string sqlstate;
  };
  // Rows gathered for the next INSERT.
  struct OpenInsert {
    const TableInfo* table = nullptr;
    std::vector<int> columns;  // table columns that are set
    std::size_t rows = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    std::vector<std::string> text;
    std::vector<bool> null;
  };

  // The COPY carrying the open group's rows.
  struct OpenCopy {
    bool active = false;
    const TableInfo* table = nullptr;
    std::vector<int> columns;  // table columns, in table order
    std::string data;          // rows not yet handed to libpq
  };

  // Queues `pending` into the COPY group, opening one when none is open.
  // Returns false, queuing nothing, when the batch cannot go by COPY.
  bool QueueCopied(Pending& pending);
  void QueuePipelined(Pending&& pending);
  // The table columns a COPY of `pending` carries: every column without a
  // default (Null where a row leaves it unset) and the columns with a default
  // that the rows set. None when the table does not allow COPY or a column
  // with a default is set in some rows and unset in others.
  std::optional<std::vector<int>> CopyColumns(const Pending& pending) const;
  void StartCopy(const TableInfo& table, const std::vector<int>& columns);
  void AppendCopyRows(const Pending& pending);
  void SendCopyData();
  // Ends the COPY; returns the server's message when it rejected a row.
  std::optional<std::string> EndCopy(const char* abort_reason);
  void CompleteCopyGroup();
  void CompletePipelinedGroup();
  // Runs a savepoint command outside the pipeline; throws DbError on failure.
  void RunControl(const char* sql);

  void EnterPipeline();
  void ExitPipeline();
  void SendControl(const char* sql);
  void SendBatch(std::size_t index, const Pending& pending);
  void AddRow(std::size_t index, const Pending& pending, const std::vector<Variant>& row,
              const std::vector<int>& set);
  void SendOpenInsert();
  void Sync();
  // Reads the results of everything sent up to the sync; returns the first
  // failure. Throws DbError kConnection when the connection is gone.
  std::optional<Failure> ReadResults();
  Prepared& StatementFor(const TableInfo& table, const std::vector<int>& columns, int rows);
  [[noreturn]] void SendFailed() const;

  PGconn* conn_;
  bool copy_refused_ = false;  // the server refused a COPY: INSERTs from then on
  OpenCopy copy_;
  bool pipeline_ = false;
  bool group_open_ = false;  // the group's savepoint has been sent
  std::vector<Pending> group_;
  std::vector<Expected> expected_;
  std::vector<StoreFailure> failures_;
  std::unordered_map<std::string, Prepared> statements_;
  OpenInsert open_;
  std::vector<const char*> param_values_;
  std::size_t queued_since_flush_ = 0;
};

}  // namespace fonwerk::ado::pg
