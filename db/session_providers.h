#pragma once
// Provider entry points used by the session pool (OpenSession). Each opens a
// new, unpooled session from a parsed connection string.

#include <memory>
#include <string>

#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::ado {

// Provider=SQLite;Data Source=/abs/path.db[;Mode=Read]. A missing file is an
// error (DbError kConnection naming the path); the file is never created.
// With Mode=Read the file is opened for reading only.
std::unique_ptr<Session> OpenSqliteSession(const ConnectionString& params);

// Creates the SQLite database file `path` (or opens the one there) and puts it
// in WAL journal mode, which writes its header: afterwards OpenSqliteSession
// opens it. Throws DbError kConnection whose description is SQLite's message
// alone (the caller names the file).
void CreateSqliteFile(const std::string& path);

// Provider=PostgreSQL;Host=..;Port=..;Database=..;User ID=..;Password=..
// Throws DbError kConnection with libpq's message when the server refuses.
std::unique_ptr<Session> OpenPostgresSession(const ConnectionString& params);

}  // namespace fonwerk::ado
