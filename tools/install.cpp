#include "tools/install.h"

#include <fmt/format.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "base/variant.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "db/session_providers.h"

#ifndef FONWERK_SQL_DIR
#error "FONWERK_SQL_DIR must name the sql/ folder of the source tree"
#endif

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- text helpers

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string TrimSpace(std::string_view text) {
  const char* kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kSpace);
  return std::string(text.substr(first, last - first + 1));
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InstallError(fmt::format("cannot read {}", file.string()));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw InstallError(fmt::format("cannot write {}", file.string()));
}

// An open file descriptor, closed with the object.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and tells whether that succeeded (a late write error shows here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string ErrnoText() { return std::strerror(errno); }

// Writes `text` to `file` through a new file beside it that is created with
// `mode` and then renamed over `file`: a file holding a secret is never
// readable by others, not even for a moment, and never half written.
void WriteFileWithMode(const fs::path& file, const std::string& text, mode_t mode) {
  fs::path temporary = file;
  temporary += fmt::format(".new.{}", ::getpid());
  ::unlink(temporary.c_str());
  FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) {
    throw InstallError(fmt::format("cannot write {}: {}", temporary.string(), ErrnoText()));
  }
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const std::string reason = ErrnoText();
      ::unlink(temporary.c_str());
      throw InstallError(fmt::format("cannot write {}: {}", temporary.string(), reason));
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
  if (!fd.Close() || ::rename(temporary.c_str(), file.c_str()) != 0) {
    const std::string reason = ErrnoText();
    ::unlink(temporary.c_str());
    throw InstallError(fmt::format("cannot write {}: {}", file.string(), reason));
  }
}

fs::path SqlDirOf(const Options& options) {
  return options.sql_dir.empty() ? DefaultSqlDir() : options.sql_dir;
}

std::string ProviderOf(const ConnectionString& params) {
  return params.Get("Provider").value_or("");
}

// ---------------------------------------------------------------- libpq

struct PgConnCloser {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
using PgConn = std::unique_ptr<PGconn, PgConnCloser>;

struct PgResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, PgResultCloser>;

// The database that a PostgreSQL connection string names.
std::string DatabaseOf(const ConnectionString& params) {
  auto database = params.Get("Database");
  if (!database || database->empty()) {
    throw InstallError("the PostgreSQL connection string names no Database");
  }
  return *database;
}

// Connects to the maintenance database "postgres" of the server that `params`
// names: a database cannot be created or dropped from a session inside it.
PgConn ConnectMaintenance(const ConnectionString& params) {
  static const std::pair<const char*, const char*> kKeys[] = {
      {"Host", "host"}, {"Port", "port"}, {"User ID", "user"}, {"Password", "password"}};
  std::vector<std::string> keys;
  std::vector<std::string> values;
  for (const auto& [ado_key, pq_key] : kKeys) {
    if (auto value = params.Get(ado_key)) {
      keys.emplace_back(pq_key);
      values.push_back(*value);
    }
  }
  keys.emplace_back("dbname");
  values.emplace_back("postgres");
  std::vector<const char*> key_ptrs;
  std::vector<const char*> value_ptrs;
  for (size_t i = 0; i < keys.size(); ++i) {
    key_ptrs.push_back(keys[i].c_str());
    value_ptrs.push_back(values[i].c_str());
  }
  key_ptrs.push_back(nullptr);
  value_ptrs.push_back(nullptr);

  PgConn conn(PQconnectdbParams(key_ptrs.data(), value_ptrs.data(), 0));
  if (!conn) throw DbError(DbError::Kind::kConnection, "libpq could not allocate a connection");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw DbError(DbError::Kind::kConnection, TrimSpace(PQerrorMessage(conn.get())));
  }
  return conn;
}

// Runs one statement; `params` are bound as text. Throws DbError with the
// server's message and SQLSTATE when it fails.
PgResult PgExec(PGconn* conn, const std::string& sql, const std::vector<std::string>& params = {}) {
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p.c_str());
  PgResult result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
  const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
  const bool lost = PQstatus(conn) != CONNECTION_OK;
  throw DbError(lost ? DbError::Kind::kConnection : DbError::Kind::kStatement,
                TrimSpace(PQerrorMessage(conn)), state ? state : "");
}

std::string QuoteIdentifier(PGconn* conn, const std::string& name) {
  std::unique_ptr<char, decltype(&PQfreemem)> quoted(
      PQescapeIdentifier(conn, name.c_str(), name.size()), &PQfreemem);
  if (!quoted) throw DbError(DbError::Kind::kStatement, TrimSpace(PQerrorMessage(conn)));
  return quoted.get();
}

bool DatabaseExists(PGconn* conn, const std::string& database) {
  PgResult result = PgExec(conn, "SELECT 1 FROM pg_database WHERE datname = $1", {database});
  return PQntuples(result.get()) > 0;
}

void DropDatabase(PGconn* conn, const std::string& database) {
  PgExec(conn, "DROP DATABASE IF EXISTS " + QuoteIdentifier(conn, database) + " WITH (FORCE)");
}

// ---------------------------------------------------------------- SQLite files

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

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

// ---------------------------------------------------------------- row batches

// Position of `name` among `columns`, compared without regard to case.
size_t ColumnIndex(const std::vector<ado::ColumnInfo>& columns, std::string_view name,
                   std::string_view table) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (EqualsNoCase(columns[i].name, name)) return i;
  }
  throw InstallError(fmt::format("table {} has no column {}", table, name));
}

size_t TsvColumn(const TsvTable& tsv, std::string_view name, const fs::path& file) {
  for (size_t i = 0; i < tsv.columns.size(); ++i) {
    if (EqualsNoCase(tsv.columns[i], name)) return i;
  }
  throw InstallError(fmt::format("{} has no column {}", file.string(), name));
}

ado::RowBatch NewBatch(ado::Session& session, const std::string& table) {
  return ado::RowBatch{table, session.TableColumns(table), {}};
}

std::vector<Variant>& AddRow(ado::RowBatch& batch) {
  return batch.rows.emplace_back(batch.columns.size());
}

Variant ToVariant(const std::optional<std::string>& value) {
  return value ? Variant(*value) : Variant::Null();
}

Variant EmptyAsNull(const std::optional<std::string>& value) {
  return (value && !value->empty()) ? Variant(*value) : Variant::Null();
}

// Stores a batch and makes sure no deferred failure is left behind.
void Store(ado::Session& session, ado::RowBatch&& batch) {
  const std::string tag = batch.table;
  session.StoreRows(std::move(batch), tag);
  session.FlushStores();
  auto failures = session.TakeStoreFailures();
  if (!failures.empty()) {
    throw InstallError(
        fmt::format("storing rows in {} failed: {}", tag, failures.front().description));
  }
}

// ---------------------------------------------------------------- TSV parsing

std::optional<std::string> UnescapeTsvValue(std::string_view raw, const fs::path& file,
                                            size_t line) {
  if (raw == "\\N") return std::nullopt;
  std::string value;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      value += raw[i];
      continue;
    }
    const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
    switch (next) {
      case 'r':
        value += '\r';
        break;
      case 'n':
        value += '\n';
        break;
      case 't':
        value += '\t';
        break;
      case '\\':
        value += '\\';
        break;
      default:
        throw InstallError(
            fmt::format("{}:{}: unknown escape in \"{}\"", file.string(), line, raw));
    }
    ++i;
  }
  return value;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t tab = line.find('\t'); tab != std::string_view::npos; tab = line.find('\t', start)) {
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

// Index just past the quote that closes the quoted text starting at `open`
// (a doubled quote stands for one); the end of the text when it is unterminated.
size_t SkipQuoted(const std::string& text, size_t open) {
  const char quote = text[open];
  size_t i = open + 1;
  while (i < text.size()) {
    if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return text.size();
}

}  // namespace

// ---------------------------------------------------------------- public

fs::path DefaultSqlDir() {
  if (const char* env = std::getenv("FONWERK_SQL_DIR"); env && *env) return env;
  return FONWERK_SQL_DIR;
}

std::vector<std::string> CountryShortCodes(const fs::path& sql_dir) {
  const fs::path file = sql_dir / "countries.tsv";
  const TsvTable tsv = ReadTsv(file);
  const size_t alort = TsvColumn(tsv, "alort", file);
  const size_t ozusatz = TsvColumn(tsv, "ozusatz", file);
  std::set<std::string> codes;
  for (const auto& row : tsv.rows) {
    const bool country = row[alort] && row[alort]->compare(0, 4, "land") == 0;
    if (country && row[ozusatz] && !row[ozusatz]->empty()) codes.insert(*row[ozusatz]);
  }
  return {codes.begin(), codes.end()};
}

TsvTable ReadTsv(const fs::path& file) {
  const std::string text = ReadFile(file);
  TsvTable table;
  bool have_header = false;
  size_t line_no = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto fields = SplitTabs(line);
    if (!have_header) {
      for (auto name : fields) table.columns.emplace_back(TrimSpace(name));
      have_header = true;
      continue;
    }
    if (fields.size() != table.columns.size()) {
      throw InstallError(fmt::format("{}:{}: {} fields, the header names {}", file.string(),
                                     line_no, fields.size(), table.columns.size()));
    }
    auto& row = table.rows.emplace_back();
    for (auto field : fields) row.push_back(UnescapeTsvValue(field, file, line_no));
  }
  if (!have_header) throw InstallError(fmt::format("{} has no header line", file.string()));
  return table;
}

std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string current;
  auto flush = [&] {
    std::string statement = TrimSpace(current);
    if (!statement.empty()) statements.push_back(std::move(statement));
    current.clear();
  };
  size_t i = 0;
  while (i < script.size()) {
    const char c = script[i];
    const char next = i + 1 < script.size() ? script[i + 1] : '\0';
    if (c == '-' && next == '-') {
      i = script.find('\n', i);
      if (i == std::string::npos) i = script.size();
    } else if (c == '/' && next == '*') {
      const size_t end = script.find("*/", i + 2);
      i = end == std::string::npos ? script.size() : end + 2;
      current += ' ';
    } else if (c == '\'' || c == '"') {
      const size_t end = SkipQuoted(script, i);
      current.append(script, i, end - i);
      i = end;
    } else if (c == ';') {
      flush();
      ++i;
    } else {
      current += c;
      ++i;
    }
  }
  flush();
  return statements;
}

std::unique_ptr<ado::Session> OpenUnpooledSession(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string provider = ProviderOf(params);
  if (EqualsNoCase(provider, "SQLite")) return ado::OpenSqliteSession(params);
  if (EqualsNoCase(provider, "PostgreSQL")) return ado::OpenPostgresSession(params);
  throw DbError(DbError::Kind::kUsage,
                fmt::format("unknown provider \"{}\" in the connection string", provider));
}

void RunSchema(ado::Session& session, const fs::path& sql_dir) {
  const std::string provider = session.ProviderName();
  const fs::path script =
      sql_dir / (EqualsNoCase(provider, "PostgreSQL") ? "postgres" : "sqlite") / "schema.sql";
  for (const std::string& statement : SplitSqlScript(ReadFile(script))) {
    try {
      session.Execute(statement);
    } catch (const DbError& e) {
      throw DbError(e.kind(), e.number(),
                    fmt::format("{}: {} (in: {})", script.string(), e.description(),
                                statement.substr(0, statement.find('\n'))),
                    e.sqlstate());
    }
  }
}

void LoadCountries(ado::Session& session, const fs::path& sql_dir) {
  const fs::path file = sql_dir / "countries.tsv";
  const TsvTable tsv = ReadTsv(file);
  const size_t alort = TsvColumn(tsv, "alort", file);
  const size_t oname = TsvColumn(tsv, "oname", file);
  const size_t ozusatz = TsvColumn(tsv, "ozusatz", file);
  const size_t plz = TsvColumn(tsv, "plz", file);
  const size_t vorwahl = TsvColumn(tsv, "vorwahl", file);

  ado::RowBatch places = NewBatch(session, "postorte");
  ado::RowBatch codes = NewBatch(session, "postplz");
  const size_t places_key = ColumnIndex(places.columns, "alort", "postorte");
  const size_t places_name = ColumnIndex(places.columns, "oname", "postorte");
  const size_t places_code = ColumnIndex(places.columns, "ozusatz", "postorte");
  const size_t codes_key = ColumnIndex(codes.columns, "alort", "postplz");
  const size_t codes_plz = ColumnIndex(codes.columns, "plz", "postplz");
  const size_t codes_vorwahl = ColumnIndex(codes.columns, "vorwahl", "postplz");

  std::set<std::string> seen;
  for (const auto& row : tsv.rows) {
    if (!row[alort] || row[alort]->empty()) {
      throw InstallError(fmt::format("{}: a row has no alort", file.string()));
    }
    if (seen.insert(*row[alort]).second) {
      auto& place = AddRow(places);
      place[places_key] = *row[alort];
      place[places_name] = EmptyAsNull(row[oname]);
      place[places_code] = EmptyAsNull(row[ozusatz]);
    }
    auto& code = AddRow(codes);
    code[codes_key] = *row[alort];
    code[codes_plz] = EmptyAsNull(row[plz]);
    code[codes_vorwahl] = EmptyAsNull(row[vorwahl]);
  }
  Store(session, std::move(places));
  Store(session, std::move(codes));
}

void SetLand(ado::Session& session, const std::string& land) {
  session.Execute("DELETE FROM STD");
  ado::RowBatch batch = NewBatch(session, "STD");
  AddRow(batch)[ColumnIndex(batch.columns, "Land", "STD")] = land;
  Store(session, std::move(batch));
}

void LoadDemoContacts(ado::Session& session, const fs::path& sql_dir) {
  const fs::path file = sql_dir / "demo_contacts.tsv";
  const TsvTable tsv = ReadTsv(file);
  ado::RowBatch batch = NewBatch(session, "AD");
  std::vector<size_t> target;
  for (const auto& name : tsv.columns) target.push_back(ColumnIndex(batch.columns, name, "AD"));
  for (const auto& row : tsv.rows) {
    auto& values = AddRow(batch);
    for (size_t i = 0; i < row.size(); ++i) values[target[i]] = ToVariant(row[i]);
  }
  Store(session, std::move(batch));
}

void Populate(ado::Session& session, const Options& options) {
  if (!options.schema) return;
  const fs::path sql_dir = SqlDirOf(options);
  RunSchema(session, sql_dir);
  if (options.countries) LoadCountries(session, sql_dir);
  SetLand(session, options.land);
  if (options.demo) LoadDemoContacts(session, sql_dir);
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

void CreateSqliteDatabase(const fs::path& file, bool force) {
  if (fs::exists(file)) {
    if (!force) {
      throw InstallError(
          fmt::format("the database {} exists already (--force replaces it)", file.string()));
    }
    RemoveSqliteFiles(file);
  }
  fs::create_directories(file.parent_path());
  sqlite3* handle = nullptr;
  const int rc =
      sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, SqliteCloser> db(handle);
  if (rc != SQLITE_OK) {
    throw InstallError(fmt::format("cannot create {}: {}", file.string(),
                                   db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc)));
  }
  // Writing the journal mode turns the new file into a real database file.
  char* message = nullptr;
  const int exec_rc = sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, &message);
  std::unique_ptr<char, decltype(&sqlite3_free)> message_owner(message, &sqlite3_free);
  if (exec_rc != SQLITE_OK) {
    throw InstallError(fmt::format("cannot create {}: {}", file.string(),
                                   message ? message : sqlite3_errstr(exec_rc)));
  }
}

bool PostgresDatabaseExists(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  return DatabaseExists(ConnectMaintenance(params).get(), database);
}

void CreatePostgresDatabase(const std::string& connect_string, bool force) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  PgConn conn = ConnectMaintenance(params);
  if (DatabaseExists(conn.get(), database)) {
    if (!force) {
      throw InstallError(
          fmt::format("the PostgreSQL database {} exists already (--force replaces it)", database));
    }
    DropDatabase(conn.get(), database);
  }
  // template0 with UTF-8 and the C collation: the contents are UTF-8 whatever
  // the server's default is, and ORDER BY compares code points as SQLite does.
  PgExec(conn.get(), "CREATE DATABASE " + QuoteIdentifier(conn.get(), database) +
                         " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
}

void DropPostgresDatabase(const std::string& connect_string) {
  const ConnectionString params = ConnectionString::Parse(connect_string);
  const std::string database = DatabaseOf(params);
  DropDatabase(ConnectMaintenance(params).get(), database);
}

std::string InstallSqlite(const fs::path& dir, const Options& options) {
  const fs::path root = fs::absolute(dir).lexically_normal();
  const fs::path file = root / "SQL" / kSqliteFileName;
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
  CreatePostgresDatabase(connect_string, options.force);
  WritePostgresIni(fs::absolute(dir).lexically_normal(), connect_string);
  Populate(*OpenUnpooledSession(connect_string), options);
  return connect_string;
}

}  // namespace fonwerk::install
