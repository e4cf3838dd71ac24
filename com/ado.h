#pragma once
// Data-access objects in the shape of ADO: Connection, Transaction, Recordset, Field.
// The system's code uses them the way it would use ADO; which database is
// behind them (SQLite or PostgreSQL) is decided by the connection string.
//
// Errors: every failure throws DbError carrying the provider's message.
// Thread use: one thread.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/variant.h"
#include "db/session.h"

namespace fonwerk::ado {

enum class CursorLocation : int32_t { kServer = 2, kClient = 3 };
enum class CursorType : int32_t { kForwardOnly = 0, kKeyset = 1, kDynamic = 2, kStatic = 3 };
enum class LockType : int32_t { kReadOnly = 1, kPessimistic = 2, kOptimistic = 3, kBatchOptimistic = 4 };

class Recordset;

// Hands the storage of rows that have been stored and are no longer needed
// (RowBatch::rows after Session::StoreRows) to the table recordsets of the
// calling thread, which fill them in place instead of allocating new ones.
// Keeps a bounded number of rows; leaves `rows` empty.
void RecycleRows(std::vector<std::vector<Variant>>& rows);

class Connection {
 public:
  Connection() = default;
  ~Connection();  // rolls back a transaction that was begun and not committed

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetConnectionString(std::string connect_string) { connect_string_ = std::move(connect_string); }
  const std::string& ConnectionString() const { return connect_string_; }
  void SetCursorLocation(CursorLocation location) { location_ = location; }

  // Opens (or joins) the pooled session of the connection string. Throws DbError.
  void Open();
  bool IsOpen() const { return session_ != nullptr; }
  void Close();

  // Runs a command; any result is dropped. REQUIRES: IsOpen(). Throws DbError.
  void Execute(const std::string& sql);
  // Runs one command whose `?` placeholders take `params` in order (see
  // Session::Execute). Throws Error 5 when a text holds a NUL byte (no
  // provider can bind one faithfully), DbError otherwise.
  void Execute(const std::string& sql, const std::vector<Variant>& params);

  // Transactions on the shared session. CommitTrans flushes deferred stores.
  // The system's code holds its transactions in a Transaction (below).
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // Deferred stores of the session (see Session::StoreRows).
  void FlushStores();
  std::vector<StoreFailure> TakeStoreFailures();

  // REQUIRES: IsOpen().
  Session& session() const;
  const std::shared_ptr<Session>& shared_session() const { return session_; }

 private:
  std::string connect_string_;
  CursorLocation location_ = CursorLocation::kServer;
  std::shared_ptr<Session> session_;
  bool own_transaction_ = false;
};

// One transaction on the session of an open connection. The constructor
// begins it; Commit() or Rollback() ends it, and one that neither ended is
// rolled back when the object goes. A Commit() that fails leaves the
// transaction to that rollback. The destructor never throws: the failure that
// ended the scope is the one to report.
class Transaction {
 public:
  // Begins the transaction (Connection::BeginTrans). Throws DbError.
  explicit Transaction(Connection& connection);
  ~Transaction();

  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Commits, deferred stores first. Throws DbError.
  void Commit();
  // Rolls back what the session still holds of the transaction: the database
  // may have ended it on its own (SQLite does on a full disk or an I/O
  // error). Throws DbError when the rollback fails; the transaction counts as
  // ended all the same.
  void Rollback();

 private:
  Connection& connection_;
  bool open_ = true;
};

// A light handle on one column of a recordset's current row. It stays valid
// while the recordset is open. The reference Value() returns is valid until
// the recordset moves, adds a row or closes; on a forward-only recordset a
// column is read from the database when it is first asked for on a row.
class Field {
 public:
  Field(Recordset* owner, int32_t index) : owner_(owner), index_(index) {}

  const std::string& Name() const;
  // The current row's value. Throws DbError (kUsage) when the recordset is at EOF.
  const Variant& Value() const;
  // Sets the value of the row being added (after AddNew). Throws DbError
  // (kUsage) otherwise. The copying forms reuse the field's text buffer.
  void SetValue(const Variant& value);
  void SetValue(Variant&& value);
  // Sets a text value; the same as SetValue(Variant(text)) without making one.
  void SetText(std::string_view text);
  // Declared width of a text column (VARCHAR(n)/CHAR(n)); -1 when the column has none.
  int32_t DefinedSize() const;
  int32_t Index() const { return index_; }

 private:
  Variant& AddedCell() const;  // the field in the row being added; throws as SetValue

  Recordset* owner_;
  int32_t index_;
};

// A recordset in one of three modes:
//  - streaming: forward-only and read-only, rows come from a cursor one at a time;
//  - static: all rows read at open, supports MoveFirst and Filter;
//  - table: an updatable recordset over one table that starts without rows;
//    AddNew adds rows, which a store (cDal.UpdateRecordSet) writes in one batch.
class Recordset {
 public:
  Recordset();
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Opens `sql` on `connection`. kForwardOnly gives a streaming recordset,
  // every other cursor type a static one. Throws DbError.
  void Open(const std::string& sql, Connection& connection,
            CursorType cursor = CursorType::kForwardOnly, LockType lock = LockType::kReadOnly);
  // Opens a static recordset on `sql`, whose `?` placeholders take `params`
  // (see Session::PreparedQuery: the statement is prepared once per session).
  void Open(const std::string& sql, const std::vector<Variant>& params, Connection& connection);
  // Opens an updatable table recordset without rows. Throws DbError when the table is unknown.
  // A table that the session redirects (Session::RedirectTable) is replaced by its target.
  void OpenEmptyTable(const std::string& table, Connection& connection);

  bool IsOpen() const;
  void Close();

  // True when there is no current row. REQUIRES: IsOpen() (else throws DbError kUsage).
  bool Eof() const;
  void MoveNext();   // throws DbError (kUsage) at EOF
  void MoveFirst();  // static recordsets only; throws DbError (kUsage) otherwise

  int32_t FieldCount() const;
  // Column by name (ASCII case-insensitive) or by position from 0.
  // Throws Error 3265 ("Item cannot be found ...") naming the column when it does not exist.
  Field Fields(std::string_view name);
  Field Fields(int32_t index);

  // Static recordsets only. `filter` is the integer 0 (or Empty / "") for no
  // filter, or a text `Column='value'` (a doubled quote inside the value stands
  // for one quote; text comparison is exact). After setting it the recordset
  // stands on the first matching row, or at EOF. Anything else throws DbError
  // (kUsage) and leaves the previous filter in force.
  void SetFilter(const Variant& filter);

  // Table recordsets only: adds a row of unset (Empty) fields and makes it current.
  void AddNew();

  // --- for the component library (cDal) ---
  bool IsTable() const;
  const std::string& TableName() const;
  // Hands the added rows over (the recordset keeps no rows afterwards).
  RowBatch TakeAddedRows();
  // The number of rows added and not yet handed over; 0 for other recordsets.
  int64_t AddedRowCount() const;
  const std::vector<ColumnInfo>& Columns() const;
  const std::shared_ptr<Session>& session() const;

 private:
  friend class Field;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Impl& impl() const;
};

}  // namespace fonwerk::ado
