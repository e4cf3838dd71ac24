#pragma once
// The read cursor of the SQLite provider. Private to the SQLite provider.

#include <memory>
#include <string>

#include "db/session.h"
#include "db/sqlite/sqlite_session.h"

namespace fonwerk::ado::sqlite {

// A cursor over the prepared statement `stmt` of `db`, which it owns. The
// first step runs here, so a statement that fails at run time throws DbError
// (with `sql` in the message) from this call rather than from the first
// Next(). The statement is finalized as soon as its last row was read.
// REQUIRES: `db` outlives the cursor.
std::unique_ptr<Cursor> MakeCursor(sqlite3* db, SqliteStatement stmt, std::string sql);

}  // namespace fonwerk::ado::sqlite
