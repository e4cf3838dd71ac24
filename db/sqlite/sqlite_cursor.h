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

// The same over a statement that the session keeps for reuse: instead of
// finalizing it, the cursor resets it and clears its bindings once the last
// row was read (or when the cursor goes), and then sets `*in_use` to false.
// REQUIRES: `stmt` and `in_use` outlive the cursor; *in_use is true.
std::unique_ptr<Cursor> MakeBorrowingCursor(sqlite3* db, sqlite3_stmt* stmt, bool* in_use,
                                            std::string sql);

}  // namespace fonwerk::ado::sqlite
