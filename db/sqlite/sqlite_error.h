#pragma once
// The DbError of a failed SQLite call. Private to the SQLite provider.

#include <string>
#include <string_view>

#include "base/errors.h"

struct sqlite3;

namespace fonwerk::ado::sqlite {

// The statement as an error message shows it: without surrounding white
// space, and cut after 300 characters ("...") when longer.
std::string StatementForMessage(std::string_view sql);

// SQLite's message for the last failure on `db` (result code `rc`), with the
// statement when `sql` is not empty. The kind is kConnection for a file that
// cannot be opened, is not a database, is corrupt or cannot be read or
// written; kStatement for everything else. The SQLSTATE is `rc` as text.
DbError SqliteError(sqlite3* db, int rc, std::string_view sql);

}  // namespace fonwerk::ado::sqlite
