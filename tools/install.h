#pragma once
// Creating a Korvana installation for Fonwerk: the folder with SQL/SQL.INI, the
// product database with its tables, the country list, the own country (table
// STD) and, on request, the demo contacts. Used by fonwerk-mkinstall, the test
// support library and the benchmarks.
//
// Everything goes through the data-access layer. A session opens only what
// exists, so the database is made first: the SQLite file by the provider's
// CreateSqliteFile, the PostgreSQL database by CREATE DATABASE in a session on
// the server's "postgres" database. The sessions used here are not taken from
// the session pool, so an installation leaves no open session behind.
//
// Errors: InstallError for refusals, bad input files and file-system problems;
// DbError (base/errors.h) with the provider's message for anything the
// database rejects. Thread use: one thread at a time per installation.

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fonwerk::ado {
class Session;
}

namespace fonwerk::install {

class InstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  // With `schema` false the database is left empty and the three after it are ignored.
  bool schema = true;             // run the provider's schema script
  bool countries = true;          // load countries.tsv into postorte/postplz
  bool demo = false;              // load demo_contacts.tsv into AD
  std::string land = "DEU";       // STD.Land of the one STD row, stored as given
  bool force = false;             // replace an existing database instead of refusing
  bool watch = false;             // install the change capture on AD (phone/change_capture.h)
  std::filesystem::path sql_dir;  // folder of the scripts; empty means DefaultSqlDir()
};

// The folder holding sqlite/schema.sql, postgres/schema.sql, countries.tsv and
// demo_contacts.tsv: the environment variable FONWERK_SQL_DIR when set, else
// share/fonwerk of the prefix the running program is installed in
// (<prefix>/bin/../share/fonwerk) when that exists, else the sql/ folder of
// the source tree this program was built from.
std::filesystem::path DefaultSqlDir();

// Mode of an SQL.INI that holds a password: read and write for its owner only.
inline constexpr unsigned kSecretIniMode = 0600;

// The short codes (ozusatz) of the countries in sql_dir/countries.tsv: the rows
// whose alort begins with "land", as the country list of Init reads them.
// Sorted, without duplicates. Throws InstallError when the file cannot be read.
std::vector<std::string> CountryShortCodes(const std::filesystem::path& sql_dir);

// File name of the SQLite database inside the installation's SQL folder.
inline constexpr const char* kSqliteFileName = "korvana.db";

// Creates (or, with `options.force`, replaces) a SQLite installation in `dir`:
// dir/SQL/SQL.INI with Data Source=korvana.db and the database dir/SQL/korvana.db,
// filled as `options` asks. Missing folders are created.
// Returns the connection string with the absolute path of the database file.
// Throws InstallError when the database file or dir/SQL/SQL.INI exists and
// `force` is false (nothing is changed then).
std::string InstallSqlite(const std::filesystem::path& dir, const Options& options);

// Creates (or, with `options.force`, replaces) the PostgreSQL database named by
// `connect_string` (Provider=PostgreSQL;Host=..;Port=..;Database=..;User ID=..;
// Password=..), fills it as `options` asks, and writes dir/SQL/SQL.INI naming it.
// Returns the connection string (as given).
// Throws InstallError when the database or dir/SQL/SQL.INI exists and `force`
// is false (nothing is changed then).
std::string InstallPostgres(const std::filesystem::path& dir, const std::string& connect_string,
                            const Options& options);

// --- the steps, for callers that need only some of them ---

// Writes dir/SQL/SQL.INI for a SQLite database (relative paths are relative to
// the SQL folder), creating dir/SQL when needed.
void WriteSqliteIni(const std::filesystem::path& dir, const std::string& data_source);
// Writes dir/SQL/SQL.INI with the Host, Port, Database, User ID and Password
// values of `connect_string` (those it has). With a non-empty Password the
// file is created with mode kSecretIniMode (it replaces an older file by a
// rename, so no moment exists in which others may read the password).
void WritePostgresIni(const std::filesystem::path& dir, const std::string& connect_string);

// Creates an empty SQLite database file (in WAL mode). With `force` an existing
// file and its -wal/-shm companions are removed first; without it an existing
// file is refused with InstallError.
void CreateSqliteDatabase(const std::filesystem::path& file, bool force);

// Creates the database named by `connect_string` (UTF-8, C collation, so names
// sort by code point as in SQLite). With `force` an existing database is dropped
// first, ending its sessions; without it an existing one is refused.
// Throws DbError (kConnection) with libpq's message when the server cannot be
// reached, DbError (kStatement) when it rejects the statement, InstallError
// when the connection string names no Database.
void CreatePostgresDatabase(const std::string& connect_string, bool force);
// Drops the database named by `connect_string` if it exists, ending its sessions.
void DropPostgresDatabase(const std::string& connect_string);
// True when the server of `connect_string` has the database it names.
bool PostgresDatabaseExists(const std::string& connect_string);

// Opens a session of the data-access layer outside the session pool.
// Throws DbError as OpenSession does.
std::unique_ptr<ado::Session> OpenUnpooledSession(const std::string& connect_string);

// Fills an existing, empty database as `options` asks (schema, countries, STD,
// demo contacts, in this order). Without `schema` nothing at all is done, so
// the database stays empty.
void Populate(ado::Session& session, const Options& options);

// Splits a schema script into statements: a statement ends at a ';' that is not
// inside a quoted text ('...' or "...") or a comment (-- to the end of the
// line, /* ... */). Comments are dropped; statements are trimmed and empty ones
// skipped. Dollar quoting is not understood.
std::vector<std::string> SplitSqlScript(const std::string& script);

// Runs the schema script of the session's provider from `sql_dir`.
void RunSchema(ado::Session& session, const std::filesystem::path& sql_dir);
// Loads countries.tsv: one postorte row per key, one postplz row per line.
void LoadCountries(ado::Session& session, const std::filesystem::path& sql_dir);
// Replaces the rows of STD with one row whose Land is `land`.
void SetLand(ado::Session& session, const std::string& land);
// Loads demo_contacts.tsv into AD.
void LoadDemoContacts(ado::Session& session, const std::filesystem::path& sql_dir);

// A tab-separated data file: '#' lines are comments, empty lines are skipped,
// the first other line names the columns. In values \r \n \t \\ stand for CR,
// LF, TAB and backslash; a value that is exactly \N is NULL (nullopt).
struct TsvTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;  // one entry per column
};
// Throws InstallError naming the file and line for a row with the wrong number
// of fields or an unknown escape, and when the file cannot be read.
TsvTable ReadTsv(const std::filesystem::path& file);

}  // namespace fonwerk::install
