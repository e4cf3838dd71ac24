#include "bench/baseline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "bench/contact_store.h"
#include "bench/pg_conn.h"
#include "bench/sqlite_db.h"
#include "platform/platform.h"

namespace fonwerk::bench {
namespace {

constexpr const char* kReadColumns = "DSN, TELEFON, FAX, EMAIL, WEITEMAIL, Kennung";
constexpr const char* kTapiColumns = "DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn";

std::string_view OrEmpty(const std::optional<std::string_view>& value) {
  return value.value_or(std::string_view());
}

// The rebuild's per-contact log line, written the way its run log writes:
// the file stays open for appending and every line is one write().
class ContactLog {
 public:
  explicit ContactLog(const std::string& path) {
    if (path.empty()) return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  ~ContactLog() {
    if (fd_ >= 0) ::close(fd_);
  }
  ContactLog(const ContactLog&) = delete;
  ContactLog& operator=(const ContactLog&) = delete;

  // "<stamp>: AD|<row, 8 digits>|<Kennung without outer blanks>|" and CR LF.
  void Contact(long long row, std::string_view kennung) {
    if (fd_ < 0) return;
    const std::time_t now = std::time(nullptr);
    if (now != stamped_) {
      stamp_ = platform::NowStamp();
      stamped_ = now;
    }
    while (!kennung.empty() && kennung.front() == ' ') kennung.remove_prefix(1);
    while (!kennung.empty() && kennung.back() == ' ') kennung.remove_suffix(1);
    char number[24];
    std::snprintf(number, sizeof number, "%08lld", row);
    line_.assign(stamp_).append(": AD|").append(number).append("|").append(kennung);
    line_.append("|\r\n");
    if (::write(fd_, line_.data(), line_.size()) != static_cast<ssize_t>(line_.size())) {
      throw std::runtime_error(std::string("cannot write the log: ") + std::strerror(errno));
    }
  }

 private:
  int fd_ = -1;
  std::time_t stamped_ = -1;
  std::string stamp_;
  std::string line_;
};

// The n of "VARCHAR(n)" or "CHAR(n)"; -1 for any other declared type.
int32_t WidthOfDeclaredType(std::string_view type) {
  const size_t open = type.find('(');
  if (open == std::string_view::npos) return -1;
  return std::atoi(std::string(type.substr(open + 1)).c_str());
}

void ReadSqliteWidths(sqlite::Database& db, HarvestSettings& settings) {
  sqlite::Statement info(db, "SELECT lower(name), type FROM pragma_table_info('TAPI')");
  while (info.StepRow()) {
    const std::string_view name = OrEmpty(info.Column(0));
    if (name == "nummer") settings.nummer_width = WidthOfDeclaredType(OrEmpty(info.Column(1)));
    if (name == "bemerkung")
      settings.bemerkung_width = WidthOfDeclaredType(OrEmpty(info.Column(1)));
  }
}

// The secondary indexes of TAPI: name and CREATE statement.
using IndexList = std::vector<std::pair<std::string, std::string>>;

IndexList SqliteIndexes(sqlite::Database& db) {
  sqlite::Statement query(db,
                          "SELECT name, sql FROM sqlite_master WHERE type = 'index' "
                          "AND lower(tbl_name) = 'tapi' AND sql IS NOT NULL");
  IndexList indexes;
  while (query.StepRow()) {
    indexes.emplace_back(OrEmpty(query.Column(0)), OrEmpty(query.Column(1)));
  }
  return indexes;
}

BaselineResult RunSqlite(const std::string& connect_string, HarvestSettings settings,
                         const BaselineOptions& options) {
  sqlite::Database db(SqliteFileOf(connect_string));
  if (options.sqlite_cache_mb > 0) {
    db.Exec("PRAGMA cache_size=-" + std::to_string(options.sqlite_cache_mb * 1024));
  }
  ReadSqliteWidths(db, settings);
  Harvester harvester(settings);
  BaselineResult result;

  db.Exec("BEGIN");
  db.Exec("DELETE FROM TAPI");
  const IndexList indexes = options.rebuild_indexes ? SqliteIndexes(db) : IndexList();
  for (const auto& index : indexes) db.Exec("DROP INDEX \"" + index.first + "\"");
  sqlite::Statement read(db, std::string("SELECT ") + kReadColumns + " FROM AD ORDER BY Kennung");
  sqlite::Statement insert(
      db, std::string("INSERT INTO TAPI (") + kTapiColumns + ") VALUES (?, ?, ?, ?, ?)");
  std::optional<sqlite::Statement> savepoint, release;
  if (options.savepoint_per_contact) {
    savepoint.emplace(db, "SAVEPOINT contact");
    release.emplace(db, "RELEASE contact");
  }
  ContactLog log(options.log_path);
  while (read.StepRow()) {
    log.Contact(result.contacts, OrEmpty(read.Column(5)));
    ++result.contacts;
    if (savepoint) savepoint->StepDone();
    const std::string_view ad_dsn = OrEmpty(read.Column(0));
    harvester.Harvest(OrEmpty(read.Column(1)), OrEmpty(read.Column(2)), OrEmpty(read.Column(3)),
                      OrEmpty(read.Column(4)), [&](const HarvestedRow& row) {
                        const std::string dsn = com::NewGUID();
                        insert.BindText(1, std::string_view(dsn));
                        insert.BindText(2, ad_dsn);
                        insert.BindText(3, row.nummer);
                        if (row.bemerkung) {
                          insert.BindText(4, *row.bemerkung);
                        } else {
                          insert.BindNull(4);
                        }
                        insert.BindText(5, row.type);
                        insert.StepDone();
                        ++result.rows;
                      });
    if (release) release->StepDone();
  }
  for (const auto& index : indexes) db.Exec(index.second);
  db.Exec("COMMIT");
  return result;
}

void ReadPostgresWidths(PGconn* conn, HarvestSettings& settings) {
  pg::ResultPtr widths =
      pg::Exec(conn,
               "SELECT column_name, character_maximum_length FROM information_schema.columns "
               "WHERE table_schema = current_schema() AND table_name = 'tapi' "
               "AND column_name IN ('nummer', 'bemerkung')");
  for (int i = 0; i < PQntuples(widths.get()); ++i) {
    const std::string name = PQgetvalue(widths.get(), i, 0);
    const int32_t width =
        PQgetisnull(widths.get(), i, 1) ? -1 : std::atoi(PQgetvalue(widths.get(), i, 1));
    (name == "nummer" ? settings.nummer_width : settings.bemerkung_width) = width;
  }
}

IndexList PostgresIndexes(PGconn* conn) {
  pg::ResultPtr result =
      pg::Exec(conn,
               "SELECT indexname, indexdef FROM pg_indexes WHERE schemaname = current_schema() "
               "AND tablename = 'tapi' AND indexname NOT IN "
               "(SELECT conname FROM pg_constraint WHERE conrelid = 'tapi'::regclass)");
  IndexList indexes;
  for (int i = 0; i < PQntuples(result.get()); ++i) {
    indexes.emplace_back(PQgetvalue(result.get(), i, 0), PQgetvalue(result.get(), i, 1));
  }
  return indexes;
}

BaselineResult RunPostgres(const std::string& connect_string, HarvestSettings settings,
                           const BaselineOptions& options) {
  pg::ConnPtr writer = pg::Connect(connect_string);
  pg::ConnPtr reader = pg::Connect(connect_string);
  ReadPostgresWidths(writer.get(), settings);
  Harvester harvester(settings);
  BaselineResult result;

  pg::Exec(writer.get(), "BEGIN");
  pg::Exec(writer.get(), "TRUNCATE TABLE TAPI");
  const IndexList indexes = options.rebuild_indexes ? PostgresIndexes(writer.get()) : IndexList();
  for (const auto& index : indexes) pg::Exec(writer.get(), "DROP INDEX \"" + index.first + "\"");
  pg::CopyIn copy(writer.get(), std::string("COPY TAPI (") + kTapiColumns + ") FROM STDIN");
  pg::CopyOut contacts(reader.get(), std::string("COPY (SELECT ") + kReadColumns +
                                         " FROM AD ORDER BY Kennung) TO STDOUT");
  std::string line;
  ContactLog log(options.log_path);
  while (contacts.Next()) {
    log.Contact(result.contacts, OrEmpty(contacts.Field(5)));
    ++result.contacts;
    const std::string_view ad_dsn = OrEmpty(contacts.Field(0));
    harvester.Harvest(OrEmpty(contacts.Field(1)), OrEmpty(contacts.Field(2)),
                      OrEmpty(contacts.Field(3)), OrEmpty(contacts.Field(4)),
                      [&](const HarvestedRow& row) {
                        line.assign(com::NewGUID()).push_back('\t');
                        pg::AppendCopyField(line, ad_dsn);
                        line.push_back('\t');
                        pg::AppendCopyField(line, row.nummer);
                        line.push_back('\t');
                        pg::AppendCopyField(line, row.bemerkung);
                        line.push_back('\t');
                        pg::AppendCopyField(line, row.type);
                        copy.AddLine(line);
                        ++result.rows;
                      });
  }
  copy.Finish();
  for (const auto& index : indexes) pg::Exec(writer.get(), index.second);
  pg::Exec(writer.get(), "COMMIT");
  return result;
}

}  // namespace

BaselineResult RunBaseline(const std::string& connect_string, HarvestSettings settings,
                           const BaselineOptions& options) {
  if (ProviderOf(connect_string) == Provider::kSQLite) {
    return RunSqlite(connect_string, settings, options);
  }
  return RunPostgres(connect_string, settings, options);
}

}  // namespace fonwerk::bench
