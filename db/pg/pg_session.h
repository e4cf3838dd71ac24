#pragma once
// The PostgreSQL provider: a Session over one libpq connection.
//
// Opened by OpenPostgresSession (session_providers.h) from the keys Host,
// Port, Database, User ID and Password. How it behaves beyond the Session
// contract:
//
//  - Statements run as given, with one exception: inside a transaction begun
//    with BeginTransaction, "TRUNCATE TABLE <name>" (any case, one table, no
//    options) runs as "DELETE FROM <name>". TRUNCATE would take an exclusive
//    lock that shuts out readers in other sessions until the commit; with
//    DELETE they keep seeing the old rows until the transaction commits.
//    Outside a transaction the statement runs as TRUNCATE.
//  - Inside a transaction, a statement that fails (Execute, a static Query,
//    TableColumns) is undone on its own through a savepoint, so the
//    transaction stays usable after the error is thrown.
//  - Query(sql, false) reads all rows at once on the session's connection.
//    Query(sql, true) streams the rows through a second connection of its own
//    (see pg_cursor.h), so the session stays free for writes during a long
//    walk. That cursor sees committed data only: not what this session's open
//    transaction has written.
//  - Values: int2/int4/int8 give integers, float4/float8/numeric doubles, bool
//    Booleans, NULL Null, everything else text. Column names are PostgreSQL's
//    (lower case for unquoted identifiers); DefinedSize comes from the type
//    modifier of varchar(n)/char(n), -1 for every other type.
//  - StoreRows outside a transaction stores the batch at once and atomically.
//    Inside a transaction it is queued and pipelined (pg_store.h); failures of
//    single batches come back through TakeStoreFailures(). Execute, Query,
//    FlushStores, CommitTransaction and a TableColumns that has to ask the
//    catalog first complete what is queued, so statements keep their order.
//  - Errors carry the server's (or libpq's) message, trimmed, and the
//    SQLSTATE. A lost connection throws DbError kConnection, and every later
//    call on the session throws it again.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/connection_string.h"
#include "db/pg/pg_libpq.h"
#include "db/pg/pg_store.h"
#include "db/session.h"

namespace fonwerk::ado {

class PostgresSession final : public Session {
 public:
  // Connects. Throws DbError kConnection with libpq's message.
  explicit PostgresSession(const ConnectionString& params);

  std::string ProviderName() const override { return "PostgreSQL"; }
  std::unique_ptr<Cursor> Query(const std::string& sql, bool streaming) override;
  // Outside a transaction the statement is prepared on the server once per
  // text; inside one the query runs as Execute(sql, params) runs.
  std::unique_ptr<Cursor> PreparedQuery(const std::string& sql,
                                        const std::vector<Variant>& params) override;
  void Execute(const std::string& sql) override;
  void Execute(const std::string& sql, const std::vector<Variant>& params) override;
  const std::vector<ColumnInfo>& TableColumns(const std::string& table) override;
  void StoreRows(RowBatch&& batch, const std::string& tag) override;
  void FlushStores() override;
  std::vector<StoreFailure> TakeStoreFailures() override;
  bool AwaitNotification(std::chrono::milliseconds timeout) override;
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() override;
  bool InTransaction() const override { return in_transaction_; }

 private:
  // Runs `work` on a usable session; a lost connection marks it unusable.
  template <typename Work>
  decltype(auto) Guarded(Work&& work);
  void MarkLost(const std::string& message);
  // Runs one statement (with text parameters when `params` is given); inside
  // a transaction a failure is rolled back to a savepoint taken before it.
  pg::ResultPtr Run(const std::string& sql, const std::vector<std::string>* params = nullptr);
  // Runs the prepared statement of `sql` ($n placeholders), preparing it first
  // when it is new. A statement whose result columns changed since it was
  // prepared (the table was replaced by another shape) is prepared anew once.
  pg::ResultPtr RunPrepared(const std::string& sql, const std::vector<std::string>& params);
  const pg::TableInfo& Table(const std::string& table);
  pg::TableInfo LoadTable(const std::string& table);

  ConnectionString params_;
  pg::ConnPtr conn_;
  pg::PgStore store_;
  bool in_transaction_ = false;
  bool lost_ = false;
  std::string lost_message_;
  std::map<std::string, pg::TableInfo> tables_;  // by the name the caller gave
  std::map<std::string, std::string> prepared_;  // statement name by query text
  uint64_t prepared_count_ = 0;                  // statements prepared so far (names)
};

}  // namespace fonwerk::ado
