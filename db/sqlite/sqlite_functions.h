#pragma once
// The SQL functions the SQLite provider adds to every connection. Private to
// the SQLite provider.

struct sqlite3;

namespace fonwerk::ado::sqlite {

// Adds RIGHT(text, n) to `db`: the last n characters of the text (UTF-8
// aware); a negative n drops the first -n characters instead, as PostgreSQL
// does. A NULL argument gives NULL. Returns SQLite's result code.
int AddFunctions(sqlite3* db);

}  // namespace fonwerk::ado::sqlite
