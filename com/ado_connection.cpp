// ado::Connection and ado::Transaction: the session of a connection string
// and the transactions on it.

#include "base/text.h"
#include "com/ado.h"
#include "com/ado_usage.h"
#include "com/session_pool.h"

namespace fonwerk::ado {

// ---------------------------------------------------------------- Connection

Connection::~Connection() {
  try {
    Close();
  } catch (...) {
    // A destructor never throws; the session rolls back on its own when it closes.
  }
}

void Connection::Open() {
  if (session_) ThrowUsage(kObjectOpen, "Operation is not allowed when the object is open.");
  session_ = OpenSession(connect_string_);
}

void Connection::Close() {
  const std::shared_ptr<Session> session = std::move(session_);
  session_ = nullptr;
  const bool rollback = own_transaction_;
  own_transaction_ = false;
  if (session && rollback && session->InTransaction()) session->RollbackTransaction();
}

Session& Connection::session() const {
  if (!session_) {
    ThrowUsage(kConnectionClosed,
               "The connection cannot be used to perform this operation. It is either closed or "
               "invalid in this context.");
  }
  return *session_;
}

void Connection::Execute(const std::string& sql) { session().Execute(sql); }

void Connection::Execute(const std::string& sql, const std::vector<Variant>& params) {
  Session& open = session();
  for (const Variant& param : params) {
    if (param.IsText()) text::RequireNoNul(param.text());
  }
  open.Execute(sql, params);
}

void Connection::BeginTrans() {
  session().BeginTransaction();
  own_transaction_ = true;
}

void Connection::CommitTrans() {
  session().CommitTransaction();
  own_transaction_ = false;
}

void Connection::RollbackTrans() {
  own_transaction_ = false;
  session().RollbackTransaction();
}

void Connection::FlushStores() { session().FlushStores(); }

std::vector<StoreFailure> Connection::TakeStoreFailures() { return session().TakeStoreFailures(); }

// --------------------------------------------------------------- Transaction

Transaction::Transaction(Connection& connection) : connection_(connection) {
  connection_.BeginTrans();
}

Transaction::~Transaction() {
  if (!open_) return;
  try {
    Rollback();
  } catch (...) {
    // The failure that left the scope is the one to report.
  }
}

void Transaction::Commit() {
  connection_.CommitTrans();
  open_ = false;
}

void Transaction::Rollback() {
  open_ = false;
  if (connection_.session().InTransaction()) connection_.RollbackTrans();
}

}  // namespace fonwerk::ado
