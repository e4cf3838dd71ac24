#pragma once
// Values between Variant and SQLite: reading a column of a stepped statement
// and binding a parameter. Private to the SQLite provider.

#include "base/variant.h"

struct sqlite3_stmt;

namespace fonwerk::ado::sqlite {

// Column `index` of the current row of `stmt` into `out`, reusing its text
// buffer: integers and doubles as such, NULL as Null, text and blobs as text.
// REQUIRES: the last step of `stmt` returned a row.
void ReadColumn(sqlite3_stmt* stmt, int index, Variant& out);

// Binds `value` to parameter `position` (from 1) of `stmt`: text, integers
// and doubles as such, Booleans as 1 or 0, Null and Empty as NULL. Text is
// bound without a copy, so `value` must outlive the step. Returns SQLite's
// result code.
int BindValue(sqlite3_stmt* stmt, int position, const Variant& value);

}  // namespace fonwerk::ado::sqlite
