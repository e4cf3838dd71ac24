#pragma once
// What SQLite reads differently from the statements and declared types the
// system writes: the statement translation of the session (see
// sqlite_session.h) and the column descriptions taken from declared types.
// Private to the SQLite provider.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/session.h"

namespace fonwerk::ado {

// The statement as SQLite has to see it (see sqlite_session.h); other text is
// unchanged.
std::string TranslateForSqlite(const std::string& sql);

// The width n of a declared type VARCHAR(n), CHAR(n), NVARCHAR(n), NCHAR(n),
// CHARACTER(n) or CHARACTER VARYING(n) (any case, blanks allowed); -1 for any
// other type, including the empty one.
int32_t DeclaredTextWidth(std::string_view declared_type);

}  // namespace fonwerk::ado

namespace fonwerk::ado::sqlite {

// White space as the C library's isspace() sees it.
bool IsSpace(char c);

// A character that may stand in an unquoted name or keyword.
bool IsWordChar(char c);

// End of the literal, quoted name ('...', "...", `...`, [...]) or comment
// (-- to the end of the line, /* ... */) that starts at `i`, or `i` when none
// starts there. An unterminated one ends with the text.
// REQUIRES: i < sql.size().
size_t SkipQuoted(std::string_view sql, size_t i);

// A column named `name` with the declared type `declared_type` (may be null):
// its text width and whether SQLite gives it text affinity.
ColumnInfo DescribeColumn(std::string name, const char* declared_type);

}  // namespace fonwerk::ado::sqlite
