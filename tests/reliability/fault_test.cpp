// Faults injected into real runs of the fonwerk program: the PostgreSQL server
// going away in the middle of a rebuild, a SQLite database locked by another
// process, a run log that cannot be written, and a reader in another process
// during a rebuild.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/session.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"
#include "tools/install.h"

namespace fonwerk::reliability {
namespace {

constexpr const char* kFailure = "Fehler beim Aufbau aufgetreten.";

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Waits until the run log shows the line of contact `index`; false when the
// program ended first or a minute passed.
bool WaitForContact(Child& child, LogFollower& log, int index) {
  const auto deadline = Clock::now() + std::chrono::minutes(1);
  while (Clock::now() < deadline && !child.Ended()) {
    for (const std::string& line : log.NewLines()) {
      if (ContactIndex(line) >= index) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// --- the PostgreSQL server goes away ---

// Port offset of this test's own server from the shared test server.
constexpr int kServerPortOffset = 5;

TEST(ServerFaultTest, ServerStoppedInTheWalkFailsClearlyAndKeepsTheOldTable) {
  ThrowawayServer server(kServerPortOffset);
  std::unique_ptr<TestInstall> install = InstallOn(server);
  AddContacts(*install, 20000);
  ReplaceTapi(*install, 5);
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  const std::string connect = install->connect_string();

  for (const std::string mode : {"fast", "immediate"}) {
    SCOPED_TRACE("pg_ctl stop -m " + mode);
    ProgramCopy program;
    Child child(program.program(), {install->path()});
    LogFollower log(program.log_path());
    ASSERT_TRUE(WaitForContact(child, log, 2000)) << child.Err();
    server.Stop(mode);

    const std::optional<int> status = child.Wait(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << "the program hangs after the server stopped";
    EXPECT_EQ(*status, 3);
    const std::string err = child.Err();
    EXPECT_THAT(err, HasSubstr(kFailure));
    EXPECT_THAT(err, ::testing::ContainsRegex("server closed the connection|terminating connection|"
                                              "connection to server|no connection"));
    EXPECT_THAT(child.Out(), ::testing::Not(HasSubstr("Tapi wurde neu aufgebaut.")));

    server.Start();
    EXPECT_EQ(TapiContent(connect, true), old_table);
  }
}

TEST(ServerFaultTest, UnreachableServerFailsClearly) {
  ThrowawayServer server(kServerPortOffset + 1);
  std::unique_ptr<TestInstall> install = InstallOn(server);
  AddContacts(*install, 10);
  ReplaceTapi(*install, 3);
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  server.Stop("fast");

  ProgramCopy program;
  const auto start = Clock::now();
  const test::ProgramResult result = program.Run(install->path(), 60);
  EXPECT_FALSE(result.timed_out);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_THAT(result.err, HasSubstr(kFailure));
  EXPECT_THAT(result.err, HasSubstr("No such file or directory"));  // libpq: no socket
  // Reported once: the steps that need the database are not tried after it.
  EXPECT_EQ(Occurrences(result.err, kFailure), 1) << result.err;

  server.Start();
  EXPECT_EQ(TapiContent(install->connect_string(), true), old_table);
}

// --- a SQLite database locked by another process ---

TEST(SqliteLockTest, WriteTransactionOfAnotherProcessFailsAfterABoundedWait) {
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, 200);
  ReplaceTapi(*install, 4);
  const std::vector<test::Row> old_table = TapiContent(*install, true);

  // This test process is the other process: it holds a write transaction.
  std::unique_ptr<ado::Session> holder = install::OpenUnpooledSession(install->connect_string());
  holder->BeginTransaction();
  holder->Execute("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{HOLDER}', 'h', '1')");

  ProgramCopy program;
  const auto start = Clock::now();
  const test::ProgramResult locked = program.Run(install->path(), 60);
  const auto waited = Clock::now() - start;
  EXPECT_FALSE(locked.timed_out);
  EXPECT_EQ(locked.exit_code, 3);
  EXPECT_THAT(locked.err, HasSubstr(kFailure));
  EXPECT_THAT(locked.err, HasSubstr("database is locked"));
  EXPECT_GE(waited, std::chrono::milliseconds(4500)) << "the busy wait was skipped";
  EXPECT_LT(waited, std::chrono::seconds(20)) << "the wait is not bounded";
  for (const std::string& line : program.LogTexts()) EXPECT_EQ(ContactIndex(line), -1) << line;

  holder->RollbackTransaction();
  holder.reset();
  EXPECT_EQ(TapiContent(*install, true), old_table);
  EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});

  const test::ProgramResult free = program.Run(install->path());
  EXPECT_EQ(free.exit_code, 0) << free.err;
  EXPECT_EQ(TapiContent(*install, false).size(), 800u);
}

// --- SQLite gives up the rebuild's transaction ---

// A rebuild whose transaction the database ends in the middle of the walk
// (SQLite rolls a transaction back by itself on some failures: a full disk,
// an I/O error, no memory). The rebuild must stop there with the old table,
// instead of storing the remaining contacts outside any transaction beside
// the old rows: SQLite once did so after answering a store with SQLITE_FULL.
TEST(SqliteTransactionTest, TransactionEndedByTheDatabaseKeepsTheOldTable) {
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, 50);
  ProgramCopy program;
  const test::ProgramResult first = program.Run(install->path());
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  // RAISE(ROLLBACK) ends the whole transaction from inside the store of
  // contact 25, as SQLite itself does on some I/O errors.
  install->Exec(
      "CREATE TRIGGER tapi_gone BEFORE INSERT ON TAPI WHEN NEW.AD_DSN = 'K25' "
      "BEGIN SELECT RAISE(ROLLBACK, 'transaction ended here'); END");
  install->Exec("UPDATE AD SET TELEFON = '030 1' WHERE DSN = 'K1'");

  const test::ProgramResult second = program.Run(install->path());
  EXPECT_EQ(second.exit_code, 3) << second.out << second.err;
  EXPECT_THAT(second.err, HasSubstr("transaction ended here"));
  EXPECT_THAT(second.err, HasSubstr("Tapi wurde nicht neu aufgebaut"));
  EXPECT_TRUE(TapiContent(*install, true) == old_table) << "TAPI is not the old table";
  // The walk stopped at the contact whose store ended the transaction.
  std::vector<std::string> contact_lines;
  for (const std::string& line : program.LogTexts()) {
    if (line.rfind("AD|", 0) == 0) contact_lines.push_back(line);
  }
  ASSERT_FALSE(contact_lines.empty());
  EXPECT_THAT(contact_lines.back(), HasSubstr("|00000025|")) << contact_lines.back();
}

// The process may not write beyond a file size (RLIMIT_FSIZE, with SIGXFSZ
// ignored so that the write fails instead of ending the process): the rebuild
// cannot write its transaction out and must leave the old table.
TEST(SqliteTransactionTest, FileSizeLimitReachedByTheRebuildKeepsTheOldTable) {
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, 3000);
  ReplaceTapi(*install, 7);
  install->Query("PRAGMA wal_checkpoint(TRUNCATE)");
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  const auto database_kb = fs::file_size(fs::path(install->path()) / "SQL" / "korvana.db") / 1024;

  ProgramCopy program;
  const test::ProgramResult limited = test::RunProgram(
      "/bin/bash",
      {"-c", "trap '' XFSZ; ulimit -f \"$1\" && exec \"$0\" \"$2\"", program.program(),
       std::to_string(database_kb + 256), install->path()},
      "", {}, 120);
  EXPECT_FALSE(limited.timed_out);
  std::cout << limited.err.substr(0, limited.err.find('\n')) << "\n";
  EXPECT_EQ(limited.exit_code, 3) << limited.out << limited.err;
  EXPECT_THAT(limited.err, HasSubstr(kFailure));
  EXPECT_THAT(limited.out, ::testing::Not(HasSubstr("Tapi wurde neu aufgebaut.")));
  EXPECT_EQ(TapiContent(*install, true), old_table);
  EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});

  const test::ProgramResult free = program.Run(install->path());
  EXPECT_EQ(free.exit_code, 0) << free.err;
  EXPECT_EQ(TapiContent(*install, false).size(), 12000u);
}

// --- the run log cannot be written ---

// Makes a folder refuse new files, as far as this process can: chmod for an
// ordinary user; for root, which permission bits do not stop, the immutable
// attribute (chattr +i). Undone by the destructor.
class UnwritableFolder {
 public:
  explicit UnwritableFolder(const fs::path& folder) : folder_(folder) {
    if (::geteuid() != 0) {
      fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
      active_ = "chmod 0500";
    } else if (test::RunProgram("/bin/sh", {"-c", "exec chattr +i \"$0\"", folder_.string()})
                   .exit_code == 0) {
      active_ = "chattr +i";
    }
    // Prove the folder refuses a new file; otherwise the test cannot run here.
    if (!active_.empty() && std::ofstream(folder_ / "probe")) {
      fs::remove(folder_ / "probe");
      Undo();
    }
  }
  ~UnwritableFolder() { Undo(); }
  // How the folder was made unwritable, or "" when it could not be.
  const std::string& how() const { return active_; }

 private:
  void Undo() {
    if (active_ == "chattr +i") {
      test::RunProgram("/bin/sh", {"-c", "exec chattr -i \"$0\"", folder_.string()});
    } else if (!active_.empty()) {
      fs::permissions(folder_, fs::perms::owner_all);
    }
    active_.clear();
  }

  fs::path folder_;
  std::string active_;
};

// A program folder that refuses the log (a system-wide install run by an
// ordinary user): the log goes to the state folder, one line says where, and
// the rebuild is done as always.
TEST(LogFolderTest, ReadOnlyProgramFolderLogsToTheStateFolder) {
  ProgramCopy program;
  UnwritableFolder unwritable(program.folder());
  if (unwritable.how().empty()) GTEST_SKIP() << "no way to make a folder read-only here";
  std::cout << "folder made unwritable with " << unwritable.how() << "\n";
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, 20);
  const fs::path state = fs::path(install->path()) / "state";

  const test::ProgramResult result = test::RunProgram(
      program.program(), {install->path()}, "", {{"XDG_STATE_HOME", state.string()}}, 60);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const fs::path log = state / "fonwerk" / "Fonwerk.log";
  EXPECT_EQ(result.err, "Fonwerk: Der Ordner '" + program.folder().string() +
                            "' ist nicht beschreibbar; das Protokoll steht in '" + log.string() +
                            "'.\n");
  EXPECT_EQ(result.out, "Fonwerk: Tapi wurde neu aufgebaut.\n");
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_THAT(text, HasSubstr("AD|00000019|"));
  EXPECT_EQ(TapiContent(*install, false).size(), 80u);
}

// A log named on purpose must be usable: one in a folder that does not exist
// is the run-time error report naming it, a link (here into such a folder) is
// refused as no log; both before the database is reached.
TEST(LogFolderTest, LogPathIntoAMissingFolder) {
  ProgramCopy program;
  fs::create_symlink(program.folder() / "gone" / "Fonwerk.log", program.log_path());
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, 20);
  ReplaceTapi(*install, 3);
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "--log" : "beside the program");
    std::vector<std::string> args = {install->path()};
    if (named) args = {"--log", (program.folder() / "gone" / "x.log").string(), install->path()};
    const test::ProgramResult result = test::RunProgram(program.program(), args, "", {}, 60);
    EXPECT_EQ(result.exit_code, named ? 3 : 64);
    EXPECT_THAT(result.err, StartsWith(named ? "Laufzeitfehler" : "fonwerk: Die Datei"));
    EXPECT_THAT(result.err, HasSubstr(named ? "x.log" : "Fonwerk.log"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(TapiContent(*install, true), old_table);
  }
}

TEST(LogDuringRunTest, LogThatStopsTakingLinesInTheWalk) {
  // The run holds its log open: only an immutable file refuses its writes.
  if (::geteuid() != 0) GTEST_SKIP() << "needs chattr +i (root)";
  // Enough contacts that the walk is still going when the log is locked.
  constexpr int kContacts = 20000;
  auto install = TestInstall::Create(Provider::kSQLite);
  AddContacts(*install, kContacts);
  ReplaceTapi(*install, 3);
  ProgramCopy program;
  Child child(program.program(), {install->path()});
  LogFollower log(program.log_path());
  ASSERT_TRUE(WaitForContact(child, log, 0));
  // Every later line is refused: for root the log becomes immutable.
  const bool root = ::geteuid() == 0;
  const test::ProgramResult locked = test::RunProgram(
      "/bin/sh", {"-c", root ? "exec chattr +i \"$0\"" : "exec chmod 0400 \"$0\"",
                  program.log_path().string()});
  ASSERT_EQ(locked.exit_code, 0) << locked.err;
  const std::optional<int> status = child.Wait(std::chrono::seconds(60));
  if (root) test::RunProgram("/bin/sh", {"-c", "exec chattr -i \"$0\"", program.log_path().string()});
  ASSERT_TRUE(status.has_value());

  // Each refused contact line is reported and the walk goes on; the table is
  // complete. The final log line is written outside the rebuild, where a
  // failure is the run-time error.
  EXPECT_EQ(*status, 3);
  EXPECT_THAT(child.Err(), HasSubstr(kFailure));
  EXPECT_THAT(child.Err(), HasSubstr("Laufzeitfehler"));
  EXPECT_EQ(TapiContent(*install, false).size(), 4u * kContacts);
}

// --- a reader in another process during the rebuild ---

class ReaderTest : public ::testing::TestWithParam<Provider> {};

TEST_P(ReaderTest, ReaderSeesTheOldOrTheNewTableNeverAPartOfOne) {
  constexpr int kContacts = kSanitized ? 1500 : 5000;
  auto install = TestInstall::Create(GetParam());
  AddContacts(*install, kContacts);
  ReplaceTapi(*install, 7);
  const std::set<std::string> allowed = {"7", std::to_string(4 * kContacts)};

  ProgramCopy program;
  Child child(program.program(), {install->path()});
  LogFollower log(program.log_path());
  bool walking = false;
  int reads = 0;
  int reads_in_walk = 0;
  std::set<std::string> seen;
  while (!child.Ended()) {
    // This test process is the reader; the rebuild is the other process.
    const std::vector<test::Row> count = install->Query("SELECT count(*) FROM TAPI");
    ASSERT_EQ(count.size(), 1u);
    const std::string rows = count[0][0].value_or("NULL");
    seen.insert(rows);
    EXPECT_TRUE(allowed.count(rows) != 0) << "a reader saw " << rows << " rows";
    ++reads;
    for (const std::string& line : log.NewLines()) walking = walking || ContactIndex(line) >= 0;
    if (walking) ++reads_in_walk;
  }
  EXPECT_EQ(child.Wait(std::chrono::seconds(1)), 0) << child.Err();
  std::cout << reads << " reads, " << reads_in_walk << " of them during the walk\n";
  EXPECT_GE(reads_in_walk, 10);
  EXPECT_EQ(install->Query("SELECT count(*) FROM TAPI"),
            std::vector<test::Row>{{std::to_string(4 * kContacts)}});
}

INSTANTIATE_TEST_SUITE_P(Providers, ReaderTest, test::BothProviders(), test::ProviderParamName);

}  // namespace
}  // namespace fonwerk::reliability
