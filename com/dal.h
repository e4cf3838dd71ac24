#pragma once
// brixcom.cDal: database access of the component library, over the
// data-access objects of services/ado.h.
//
// The object keeps one Connection for the connection string it was last
// called with; connections of one string share the pooled session, so what
// cDal writes is covered by a transaction another Connection of that string
// has begun.

#include <memory>
#include <string>
#include <vector>

#include "com/ado.h"
#include "com/components.h"

namespace fonwerk::com {

class cDal : public IDal {
 public:
  // An open static, read-only recordset over the rows of `sql`. Throws DbError.
  RecordsetRef GetRecordset(const std::string& connect_string, const std::string& sql) override;
  // Runs a command; any result is dropped. Throws DbError.
  void ExecQuery(const std::string& connect_string, const std::string& sql) override;
  // The same with bound parameters (see ado::Connection::Execute). Throws
  // Error 5 for a text holding a NUL byte, DbError otherwise.
  void ExecQuery(const std::string& connect_string, const std::string& sql,
                 const std::vector<Variant>& params) override;
  // An updatable recordset over `table` with all its columns and no rows.
  // `mode` (4 from the callers) is accepted and ignored. Throws DbError when
  // the table does not exist.
  RecordsetRef OpenEmptyTable(const std::string& connect_string, const std::string& table,
                              int32_t mode) override;
  // A Boolean Variant: True when `rs` is set, open and standing on a row.
  Variant MdbValidDy(RecordsetRef& rs) override;
  // On the current (added) row of a table recordset: every field of a NOT NULL
  // text column without a default that is unset or Null becomes "". Does
  // nothing for other recordsets or at EOF. Throws Error 424 when `rs` is unset.
  void MdbNoNullFields(RecordsetRef& rs) override;
  // Hands every row added since OpenEmptyTable to the session's StoreRows,
  // tagged with the AD_DSN value of the first row ("" without such a column),
  // and closes the recordset (also when storing throws). A recordset without
  // added rows is just closed. Errors are those of Session::StoreRows; inside a
  // transaction a provider may report a failed store later, through
  // Connection::TakeStoreFailures(). Throws Error 424 when `rs` is unset or
  // not open. `rs` is left pointing at the closed recordset.
  void UpdateRecordSet(const std::string& connect_string, RecordsetRef& rs) override;

 private:
  ado::Connection& ConnectionFor(const std::string& connect_string);

  std::unique_ptr<ado::Connection> connection_;
};

}  // namespace fonwerk::com
