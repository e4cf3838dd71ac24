#include "com/dal.h"

#include <utility>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk::com {
namespace {

ado::Recordset& Require(const RecordsetRef& rs, const char* operation) {
  if (!rs) throw Error(errnum::kObjectRequired, std::string("Objekt erforderlich: ") + operation);
  return *rs;
}

// The tag of a stored batch: AD_DSN of its first row, or "".
std::string BatchTag(const ado::RowBatch& batch) {
  if (batch.rows.empty()) return std::string();
  for (size_t i = 0; i < batch.columns.size(); ++i) {
    if (!text::EqualsNoCase(batch.columns[i].name, "AD_DSN")) continue;
    const Variant& value = batch.rows.front()[i];
    if (value.IsNull() || value.IsEmpty()) return std::string();
    return value.ToText();
  }
  return std::string();
}

}  // namespace

ado::Connection& cDal::ConnectionFor(const std::string& connect_string) {
  if (connection_ && connection_->IsOpen() && connection_->ConnectionString() == connect_string) {
    return *connection_;
  }
  auto connection = std::make_unique<ado::Connection>();
  connection->SetConnectionString(connect_string);
  connection->Open();
  connection_ = std::move(connection);
  return *connection_;
}

RecordsetRef cDal::GetRecordset(const std::string& connect_string, const std::string& sql) {
  auto rs = std::make_shared<ado::Recordset>();
  rs->Open(sql, ConnectionFor(connect_string), ado::CursorType::kStatic, ado::LockType::kReadOnly);
  return rs;
}

void cDal::ExecQuery(const std::string& connect_string, const std::string& sql) {
  ConnectionFor(connect_string).Execute(sql);
}

void cDal::ExecQuery(const std::string& connect_string, const std::string& sql,
                     const std::vector<Variant>& params) {
  ConnectionFor(connect_string).Execute(sql, params);
}

RecordsetRef cDal::OpenEmptyTable(const std::string& connect_string, const std::string& table,
                                  int32_t /*mode*/) {
  auto rs = std::make_shared<ado::Recordset>();
  rs->OpenEmptyTable(table, ConnectionFor(connect_string));
  return rs;
}

Variant cDal::MdbValidDy(RecordsetRef& rs) { return Variant(rs && rs->IsOpen() && !rs->Eof()); }

void cDal::MdbNoNullFields(RecordsetRef& rs) {
  ado::Recordset& recordset = Require(rs, "MdbNoNullFields");
  if (!recordset.IsOpen() || !recordset.IsTable() || recordset.Eof()) return;
  const std::vector<ado::ColumnInfo>& columns = recordset.Columns();
  for (size_t i = 0; i < columns.size(); ++i) {
    const ado::ColumnInfo& column = columns[i];
    if (!column.is_text || !column.not_null || column.has_default) continue;
    ado::Field field = recordset.Fields(static_cast<int32_t>(i));
    const Variant& value = field.Value();
    if (value.IsEmpty() || value.IsNull()) field.SetValue(Variant(std::string()));
  }
}

void cDal::UpdateRecordSet(const std::string& /*connect_string*/, RecordsetRef& rs) {
  ado::Recordset& recordset = Require(rs, "UpdateRecordSet");
  if (!recordset.IsOpen()) {
    throw Error(errnum::kObjectRequired, "UpdateRecordSet: Recordset ist nicht geöffnet");
  }
  std::shared_ptr<ado::Session> session = recordset.session();
  ado::RowBatch batch = recordset.TakeAddedRows();
  recordset.Close();
  if (batch.rows.empty()) return;
  const std::string tag = BatchTag(batch);
  session->StoreRows(std::move(batch), tag);
  // Rows the provider did not keep are left in the batch: the next recordset
  // fills them again.
  ado::RecycleRows(batch.rows);  // NOLINT(bugprone-use-after-move): see Session::StoreRows
}

}  // namespace fonwerk::com
