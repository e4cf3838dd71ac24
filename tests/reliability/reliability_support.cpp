#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "db/connection_string.h"
#include "db/session.h"
#include "tools/install.h"

extern char** environ;

namespace fonwerk::reliability {
namespace {

namespace fs = std::filesystem;

std::string RequireEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set (ctest sets it)");
  }
  return value;
}

// The text of a log line: without CR and without the time stamp before ": ".
std::string LogText(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t separator = line.find(": ");
  return separator == std::string::npos ? line : line.substr(separator + 2);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<test::Row> Sorted(std::vector<test::Row> rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

constexpr const char* kTapiWithDsn =
    "SELECT DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI";
constexpr const char* kTapiWithoutDsn =
    "SELECT AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI";

// The newest pg_ctl of the installed PostgreSQL servers.
std::string PgCtlPath() {
  std::string best;
  int best_version = -1;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    const fs::path candidate = entry.path() / "bin" / "pg_ctl";
    const int version = std::atoi(entry.path().filename().c_str());
    if (fs::exists(candidate) && version > best_version) {
      best = candidate.string();
      best_version = version;
    }
  }
  if (best.empty()) throw std::runtime_error("no pg_ctl under /usr/lib/postgresql/*/bin");
  return best;
}

}  // namespace

// ------------------------------------------------------------------ ProgramCopy

ProgramCopy::ProgramCopy() { fs::copy_file(test::BinaryPath("fonwerk"), program()); }

std::vector<std::string> ProgramCopy::LogTexts() const {
  std::vector<std::string> texts;
  std::istringstream in(ReadFile(log_path()));
  std::string line;
  while (std::getline(in, line)) texts.push_back(LogText(line));
  return texts;
}

void ProgramCopy::RemoveLog() const { fs::remove(log_path()); }

test::ProgramResult ProgramCopy::Run(const std::string& install_path, int timeout_seconds) const {
  return test::RunProgram(program(), {install_path}, "", {}, timeout_seconds);
}

// ------------------------------------------------------------------------ Child

Child::Child(const std::string& program, const std::vector<std::string>& args) {
  const std::string out = folder_.File("out");
  const std::string err = folder_.File("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> texts{program};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
}

Child::~Child() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(30));
  }
}

void Child::Kill(int signal_number) {
  if (!status_) ::kill(pid_, signal_number);
}

bool Child::Ended() {
  if (status_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  signalled_ = WIFSIGNALED(status);
  status_ = signalled_ ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return true;
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Ended()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status_;
}

std::string Child::Out() const { return ReadFile(folder_.File("out")); }
std::string Child::Err() const { return ReadFile(folder_.File("err")); }

// ------------------------------------------------------------------ LogFollower

std::vector<std::string> LogFollower::NewLines() {
  std::vector<std::string> lines;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return lines;
  in.seekg(offset_);
  std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  offset_ += static_cast<std::streamoff>(chunk.size());
  partial_ += chunk;
  size_t start = 0;
  for (size_t end = partial_.find('\n'); end != std::string::npos;
       end = partial_.find('\n', start)) {
    lines.push_back(LogText(partial_.substr(start, end - start)));
    start = end + 1;
  }
  partial_.erase(0, start);
  return lines;
}

int ContactIndex(const std::string& log_text) {
  if (log_text.rfind("AD|", 0) != 0 || log_text.size() < 12) return -1;
  const std::string digits = log_text.substr(3, 8);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoi(digits);
}

Phase PhaseOf(const std::vector<std::string>& log_texts, int contacts) {
  int last = -1;
  for (const std::string& text : log_texts) {
    if (text.find("FERTIG") != std::string::npos) return Phase::kFinished;
    last = std::max(last, ContactIndex(text));
  }
  if (last < 0) return Phase::kBeforeWalk;
  return last + 1 >= contacts ? Phase::kAfterWalk : Phase::kInWalk;
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kBeforeWalk:
      return "before the walk";
    case Phase::kInWalk:
      return "in the walk";
    case Phase::kAfterWalk:
      return "after the walk";
    case Phase::kFinished:
      return "after the final log line";
  }
  return "?";
}

// ----------------------------------------------------------------------- data

void ExpectCompleteRebuild(const ProgramCopy& program, test::TestInstall& install,
                           const std::vector<test::Row>& new_table) {
  const test::ProgramResult last = program.Run(install.path());
  EXPECT_EQ(last.exit_code, 0) << last.err;
  EXPECT_EQ(TapiContent(install, false), new_table);
}

std::string Literal(const std::string& text) { return test::SqlLiteral(text); }

void AddContacts(test::TestInstall& install, int count) {
  const std::string n = std::to_string(count);
  if (install.provider() == test::Provider::kSQLite) {
    install.Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + n +
        ") INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON, FAX, EMAIL) SELECT 'K' || i, "
        "printf('%08d', i), 'Name ' || i, '089 ' || i || char(9) || char(9) || 'Zentrale' || "
        "char(13) || char(10) || '+49 171 ' || i, '089 9' || i, 'k' || i || '@example.de' FROM n");
  } else {
    install.Exec(
        "INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON, FAX, EMAIL) SELECT 'K' || i, "
        "lpad(i::text, 8, '0'), 'Name ' || i, '089 ' || i || chr(9) || chr(9) || 'Zentrale' || "
        "chr(13) || chr(10) || '+49 171 ' || i, '089 9' || i, 'k' || i || '@example.de' "
        "FROM generate_series(1, " +
        n + ") AS i");
  }
}

void ReplaceTapi(test::TestInstall& install, int count) {
  install.Exec("DELETE FROM TAPI");
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    install.Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG) VALUES ('{OLD-" + n +
                 "}', 'old', '99" + n + "', 'vorher')");
  }
}

std::vector<test::Row> TapiContent(test::TestInstall& install, bool with_dsn) {
  return Sorted(install.Query(with_dsn ? kTapiWithDsn : kTapiWithoutDsn));
}

std::vector<test::Row> TapiContent(const std::string& connect_string, bool with_dsn) {
  std::unique_ptr<ado::Session> session = install::OpenUnpooledSession(connect_string);
  std::unique_ptr<ado::Cursor> cursor =
      session->Query(with_dsn ? kTapiWithDsn : kTapiWithoutDsn, false);
  std::vector<test::Row> rows;
  std::vector<Variant> values;
  while (cursor->Next(values)) {
    test::Row& row = rows.emplace_back();
    for (const Variant& value : values) {
      row.push_back(value.IsNull() ? std::nullopt : std::optional<std::string>(value.ToText()));
    }
  }
  return Sorted(std::move(rows));
}

test::ProgramResult RunCtl(const std::string& install_path, const std::vector<std::string>& args,
                           int timeout_seconds) {
  std::vector<std::string> all{"--install", install_path};
  all.insert(all.end(), args.begin(), args.end());
  return test::RunProgram(test::BinaryPath("fonwerkctl"), all, "", {}, timeout_seconds);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::unique_ptr<Child> StartWatcher(const std::string& install_path,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> all{"--install", install_path, "watch"};
  all.insert(all.end(), args.begin(), args.end());
  auto watcher = std::make_unique<Child>(test::BinaryPath("fonwerkctl"), all);
  const bool following = WaitUntil(
      [&] {
        return watcher->Err().find("following the changes") != std::string::npos ||
               watcher->Ended();
      },
      std::chrono::seconds(30));
  EXPECT_TRUE(following && !watcher->Ended()) << watcher->Err();
  return watcher;
}

int64_t QueuedChanges(test::TestInstall& install) {
  return std::stoll(install.Query("SELECT count(*) FROM FONWERK_AD_CHANGES").at(0).at(0).value());
}

// -------------------------------------------------------------- ThrowawayServer

ThrowawayServer::ThrowawayServer(int port_offset) {
  const ConnectionString shared = ConnectionString::Parse(RequireEnv("FONWERK_TEST_PG"));
  port_ = std::to_string(std::stoi(shared.Get("Port").value_or("5432")) + port_offset);
  dir_ = RequireEnv("FONWERK_BIN_DIR") + "/pgfault" + port_;
  const std::string script = RequireEnv("FONWERK_SOURCE_DIR") + "/scripts/pg-test-server.sh";
  const test::ProgramResult started =
      test::RunProgram("/bin/bash", {script, "start", dir_, port_}, "", {}, 120);
  if (started.exit_code != 0) {
    throw std::runtime_error("the throwaway server did not start: " + started.err);
  }
  connect_ = "Provider=PostgreSQL;Host=" + dir_ + "/socket;Port=" + port_ +
             ";Database=postgres;User ID=postgres";
}

ThrowawayServer::ThrowawayServer(const ThrowawayServer& primary, int port_offset) {
  const ConnectionString shared = ConnectionString::Parse(RequireEnv("FONWERK_TEST_PG"));
  port_ = std::to_string(std::stoi(shared.Get("Port").value_or("5432")) + port_offset);
  dir_ = RequireEnv("FONWERK_BIN_DIR") + "/pgstandby" + port_;
  const std::string script = RequireEnv("FONWERK_SOURCE_DIR") + "/scripts/pg-test-server.sh";
  const test::ProgramResult started = test::RunProgram(
      "/bin/bash", {script, "standby", dir_, port_, primary.dir_, primary.port_}, "", {}, 120);
  if (started.exit_code != 0) {
    throw std::runtime_error("the standby did not start: " + started.err);
  }
  connect_ = "Provider=PostgreSQL;Host=" + dir_ + "/socket;Port=" + port_ +
             ";Database=postgres;User ID=postgres";
}

std::string ThrowawayServer::ConnectTo(const std::string& database) const {
  ConnectionString params = ConnectionString::Parse(connect_);
  params.Set("Database", database);
  return params.ToString();
}

std::string ThrowawayServer::Ask(const std::string& database, const std::string& sql) const {
  std::unique_ptr<ado::Session> session = install::OpenUnpooledSession(ConnectTo(database));
  std::unique_ptr<ado::Cursor> cursor = session->Query(sql, false);
  std::vector<Variant> row;
  return cursor->Next(row) && !row.empty() && !row[0].IsNull() ? row[0].ToText() : "";
}

void ThrowawayServer::CatchUp(const ThrowawayServer& primary) const {
  const std::string lsn = primary.Ask("postgres", "SELECT pg_current_wal_lsn()::text");
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Ask("postgres", "SELECT (pg_last_wal_replay_lsn() >= '" + lsn + "'::pg_lsn)::int") !=
         "1") {
    if (Clock::now() > deadline) throw std::runtime_error("the standby did not catch up");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ThrowawayServer::~ThrowawayServer() {
  const std::string script = RequireEnv("FONWERK_SOURCE_DIR") + "/scripts/pg-test-server.sh";
  test::RunProgram("/bin/bash", {script, "stop", dir_, port_}, "", {}, 120);
}

void ThrowawayServer::PgCtl(const std::vector<std::string>& args) {
  // The cluster belongs to "postgres" when the tests run as root (see pg-test-server.sh).
  std::vector<std::string> command{"-c", "cd / && exec \"$@\"", "sh"};
  if (::geteuid() == 0) command.insert(command.end(), {"runuser", "-u", "postgres", "--"});
  command.push_back(PgCtlPath());
  command.insert(command.end(), args.begin(), args.end());
  const test::ProgramResult result = test::RunProgram("/bin/sh", command, "", {}, 120);
  if (result.exit_code != 0) {
    throw std::runtime_error("pg_ctl " + args.back() + " failed: " + result.out + result.err);
  }
}

void ThrowawayServer::Stop(const std::string& mode) {
  PgCtl({"-D", dir_ + "/data", "-m", mode, "-w", "-t", "60", "stop"});
}

void ThrowawayServer::Start() {
  PgCtl({"-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "60", "start"});
}

std::unique_ptr<test::TestInstall> InstallOn(const ThrowawayServer& server, test::Options options) {
  // TestInstall takes its server from FONWERK_TEST_PG when it creates the database.
  const std::string shared = RequireEnv("FONWERK_TEST_PG");
  ::setenv("FONWERK_TEST_PG", server.connect_string().c_str(), 1);
  try {
    auto install = test::TestInstall::Create(test::Provider::kPostgreSQL, options);
    ::setenv("FONWERK_TEST_PG", shared.c_str(), 1);
    return install;
  } catch (...) {
    ::setenv("FONWERK_TEST_PG", shared.c_str(), 1);
    throw;
  }
}

}  // namespace fonwerk::reliability
