#pragma once
// Read cursors of the PostgreSQL provider.

#include <memory>
#include <string>

#include "db/pg/pg_libpq.h"
#include "db/session.h"

namespace fonwerk::ado::pg {

// A cursor over the rows of a completed result (all rows already in memory).
// REQUIRES: `result` succeeded.
std::unique_ptr<Cursor> MakeResultCursor(ResultPtr result);

// A forward-only cursor that streams the rows of `sql` (one SELECT or VALUES
// statement) through a connection of its own, opened with `params`: on it the
// statement runs as a NO SCROLL cursor inside a READ ONLY transaction and rows
// are fetched 1000 at a time, so memory stays bounded however many rows there
// are. Being a separate session it sees committed data only. The connection
// is closed when the last row has been read or when the cursor is destroyed.
// Throws DbError: kConnection when the connection cannot be opened or is lost,
// kStatement when the statement is rejected (also later, from Next()).
std::unique_ptr<Cursor> OpenStreamingCursor(const ConnectionString& params, const std::string& sql);

}  // namespace fonwerk::ado::pg
