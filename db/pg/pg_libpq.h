#pragma once
// Thin helpers over libpq shared by the PostgreSQL provider: owned handles,
// connecting, error classification and the mapping of result values.
// Internal to the provider; nothing outside services/pg_* includes this.

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/variant.h"
#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::ado::pg {

struct ConnCloser {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
struct ResultClearer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnCloser>;
using ResultPtr = std::unique_ptr<PGresult, ResultClearer>;

// Opens a connection from the ADO-style keys Host (or Server), Port, Database,
// User ID (or User, UID) and Password (or Pwd); keys absent from `params` fall
// back to libpq's defaults. The application name is "Application Name" if
// given, else the program's (ProgramName). "Connect Timeout" (seconds),
// "Statement Timeout" and "Lock Timeout" (milliseconds) become libpq's
// connect_timeout and the session's statement_timeout and lock_timeout. The
// client encoding is UTF8 and server notices are not printed. Throws DbError kConnection carrying
// libpq's message.
ConnPtr Connect(const ConnectionString& params);

// How the provider treats a column's values, decided by the type OID.
enum class TypeClass { kInteger, kFloat, kBoolean, kText };
TypeClass ClassifyType(Oid type);

// Declared width of varchar(n)/char(n) from the type modifier; -1 for every
// other type and for an unconstrained varchar.
int32_t DefinedSizeOf(Oid type, int type_modifier);

// Column description of field `field` of a result with rows.
ColumnInfo DescribeField(const PGresult* result, int field);
std::vector<ColumnInfo> DescribeFields(const PGresult* result);

// The value in row `row`, field `field`: NULL gives Null; int2/4/8 integer;
// float4/8 and numeric double; bool Boolean; every other type its text.
Variant FieldValue(const PGresult* result, int row, int field);
// The same into `out`, reusing its text buffer.
void ReadFieldValue(const PGresult* result, int row, int field, Variant& out);

// True when `result` reports success (a command or rows).
bool Succeeded(const PGresult* result);

// True when the error in `result` (or, for a null result, the connection's
// state) means the session is gone: the connection is bad, or the SQLSTATE is
// of class 08 (connection exception) or 57P01..57P03 (server shutting down,
// backend terminated).
bool IsConnectionFailure(const PGconn* conn, const PGresult* result);

// The provider's message for a failed result, trimmed; for a null result the
// connection's message.
std::string ErrorText(const PGconn* conn, const PGresult* result);

// The DbError for a failed result: kConnection when IsConnectionFailure,
// kStatement otherwise, with the provider's message and SQLSTATE.
DbError MakeError(const PGconn* conn, const PGresult* result);

// Runs `sql` (one or more statements) and returns the last result.
// Throws MakeError when it failed.
ResultPtr Exec(PGconn* conn, const std::string& sql);

// Runs one statement with text parameters. Throws MakeError when it failed.
ResultPtr ExecParams(PGconn* conn, const std::string& sql, const std::vector<std::string>& params);

// Prepares `sql` (one statement with $n placeholders taking text) as the
// statement `name` of the connection. Throws MakeError when it failed.
void Prepare(PGconn* conn, const std::string& name, const std::string& sql, int param_count);

// Runs the prepared statement `name` with text parameters. Throws MakeError
// when it failed.
ResultPtr ExecPrepared(PGconn* conn, const std::string& name,
                       const std::vector<std::string>& params);

}  // namespace fonwerk::ado::pg
