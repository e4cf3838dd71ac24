// Creating and dropping the database of an installation. The data-access
// layer opens only what exists: a SQLite file is made by its provider's
// CreateSqliteFile, a PostgreSQL database by CREATE DATABASE in a session on
// the server's maintenance database "postgres" (a database cannot be created
// or dropped from a session inside it).

#include <fmt/format.h>

#include <memory>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "db/session_providers.h"
#include "tools/install.h"

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;

void RemoveSqliteFiles(const fs::path& file) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ec;
    fs::path companion = file;
    companion += suffix;
    fs::remove(companion, ec);
    if (ec) {
      throw InstallError(fmt::format("cannot remove {}: {}", companion.string(), ec.message()));
    }
  }
}

// The database that a PostgreSQL connection string names.
std::string DatabaseOf(const ConnectionString& params) {
  auto database = params.Get("Database");
  if (!database || database->empty()) {
    throw InstallError("the PostgreSQL connection string names no Database");
  }
  return *database;
}

// A session on the maintenance database of the server that `params` names.
std::unique_ptr<ado::Session> ConnectMaintenance(const ConnectionString& params) {
  ConnectionString maintenance = params;
  maintenance.Set("Database", "postgres");
  return ado::OpenPostgresSession(maintenance);
}

bool DatabaseExists(ado::Session& session, const std::string& database) {
  return session
      .Query("SELECT 1 FROM pg_database WHERE datname = " + text::SqlQuote(database), false)
      ->Advance();
}

void DropDatabase(ado::Session& session, const std::string& database) {
  session.Execute("DROP DATABASE IF EXISTS " + text::DoubleQuoted(database) + " WITH (FORCE)");
}

}  // namespace

void CreateSqliteDatabase(const fs::path& file, bool force) {
  if (fs::exists(file)) {
    if (!force) {
      throw InstallError(
          fmt::format("the database {} exists already (--force replaces it)", file.string()));
    }
    RemoveSqliteFiles(file);
  }
  fs::create_directories(file.parent_path());
  try {
    ado::CreateSqliteFile(file.string());
  } catch (const DbError& error) {
    throw InstallError(fmt::format("cannot create {}: {}", file.string(), error.description()));
  }
}

bool PostgresDatabaseExists(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  return DatabaseExists(*ConnectMaintenance(params), database);
}

void CreatePostgresDatabase(const std::string& connect_string, bool force) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  const std::unique_ptr<ado::Session> session = ConnectMaintenance(params);
  if (DatabaseExists(*session, database)) {
    if (!force) {
      throw InstallError(
          fmt::format("the PostgreSQL database {} exists already (--force replaces it)", database));
    }
    DropDatabase(*session, database);
  }
  // template0 with UTF-8 and the C collation: the contents are UTF-8 whatever
  // the server's default is, and ORDER BY compares code points as SQLite does.
  session->Execute("CREATE DATABASE " + text::DoubleQuoted(database) +
                   " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
}

void DropPostgresDatabase(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  DropDatabase(*ConnectMaintenance(params), database);
}

}  // namespace fonwerk::install
