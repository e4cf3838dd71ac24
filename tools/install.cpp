// The installation as a whole: the SQL.INI files, filling a new database and
// the two kinds of installation. The steps are in install_databases.cpp,
// install_schema.cpp and install_data.cpp.

#include "tools/install.h"

#include <fmt/format.h>

#include <cstdlib>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "db/session_providers.h"
#include "platform/platform.h"
#include "phone/change_capture.h"
#include "tools/install_internal.h"

#ifndef FONWERK_SQL_DIR
#error "FONWERK_SQL_DIR must name the sql/ folder of the source tree"
#endif

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;
using text::EqualsNoCase;

fs::path SqlDirOf(const Options& options) {
  return options.sql_dir.empty() ? DefaultSqlDir() : options.sql_dir;
}

std::string ProviderOf(const ConnectionString& params) {
  return params.Get("Provider").value_or("");
}

// An SQL.INI of the folder holds the connection settings someone chose: it is
// replaced only with --force.
void RefuseExistingIni(const fs::path& root, const Options& options) {
  const fs::path ini = root / "SQL" / "SQL.INI";
  if (options.force || !fs::exists(ini)) return;
  throw InstallError(fmt::format("the file {} exists already (--force replaces it)", ini.string()));
}

}  // namespace

fs::path DefaultSqlDir() {
  if (const char* env = std::getenv("FONWERK_SQL_DIR"); env && *env) return env;
  // An installed program finds its data beside its own prefix (bin/ and
  // share/fonwerk/), wherever the prefix was installed or copied to.
  if (std::string installed = platform::InstalledDataFolder(); !installed.empty()) return installed;
  // A program run from the build tree reads the source tree's scripts.
  return FONWERK_SQL_DIR;
}

std::unique_ptr<ado::Session> OpenUnpooledSession(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string provider = ProviderOf(params);
  if (EqualsNoCase(provider, "SQLite")) return ado::OpenSqliteSession(params);
  if (EqualsNoCase(provider, "PostgreSQL")) return ado::OpenPostgresSession(params);
  throw DbError(DbError::Kind::kUsage,
                fmt::format("unknown provider \"{}\" in the connection string", provider));
}

void Populate(ado::Session& session, const Options& options) {
  if (!options.schema) return;
  const fs::path sql_dir = SqlDirOf(options);
  RunSchema(session, sql_dir);
  if (options.countries) LoadCountries(session, sql_dir);
  SetLand(session, options.land);
  if (options.demo) LoadDemoContacts(session, sql_dir);
  if (options.watch) capture::Enable(session);
}

void WriteSqliteIni(const fs::path& dir, const std::string& data_source) {
  fs::create_directories(dir / "SQL");
  WriteFile(dir / "SQL" / "SQL.INI", fmt::format("; Database of this Korvana installation.\n"
                                                 "[Database]\n"
                                                 "Provider=SQLite\n"
                                                 "Data Source={}\n",
                                                 data_source));
}

void WritePostgresIni(const fs::path& dir, const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  std::string text =
      "; Database of this Korvana installation.\n"
      "[Database]\n"
      "Provider=PostgreSQL\n";
  for (const char* key : {"Host", "Port", "Database", "User ID", "Password"}) {
    if (auto value = params.Get(key)) text += fmt::format("{}={}\n", key, *value);
  }
  fs::create_directories(dir / "SQL");
  // The password must stay with the owner; a file without one is left to the umask.
  const bool secret = !params.Get("Password").value_or("").empty();
  WriteFileWithMode(dir / "SQL" / "SQL.INI", text, secret ? kSecretIniMode : 0666);
}

std::string InstallSqlite(const fs::path& dir, const Options& options) {
  const fs::path root = fs::absolute(dir).lexically_normal();
  const fs::path file = root / "SQL" / kSqliteFileName;
  // An existing database is refused as such, before its SQL.INI.
  if (!fs::exists(file)) RefuseExistingIni(root, options);
  CreateSqliteDatabase(file, options.force);
  WriteSqliteIni(root, kSqliteFileName);
  ConnectionString params;
  params.Set("Provider", "SQLite");
  params.Set("Data Source", file.string());
  const std::string connect_string = params.ToString();
  Populate(*OpenUnpooledSession(connect_string), options);
  return connect_string;
}

std::string InstallPostgres(const fs::path& dir, const std::string& connect_string,
                            const Options& options) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  if (!EqualsNoCase(ProviderOf(params), "PostgreSQL")) {
    throw InstallError("the connection string does not name Provider=PostgreSQL");
  }
  const fs::path root = fs::absolute(dir).lexically_normal();
  // An existing database is refused as such, before the SQL.INI.
  if (!options.force && fs::exists(root / "SQL" / "SQL.INI") &&
      !PostgresDatabaseExists(connect_string)) {
    RefuseExistingIni(root, options);
  }
  CreatePostgresDatabase(connect_string, options.force);
  WritePostgresIni(root, connect_string);
  Populate(*OpenUnpooledSession(connect_string), options);
  return connect_string;
}

}  // namespace fonwerk::install
