#pragma once
// Helpers of the reliability tests: private copies of the programs, started
// programs that a test can kill, a follower of the growing run log, contents
// of TAPI, generated contacts, and a throwaway PostgreSQL server that a test
// may stop and start again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk::reliability {

// True in a build with AddressSanitizer, where the programs run several times
// slower: the tests then use less data and allow more time.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Names every reliability test uses.
namespace fs = std::filesystem;
using test::Provider;
using test::TestInstall;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

// A copy of the fonwerk program in a temporary folder of its own, so that its
// run log (beside the executable) belongs to one test.
class ProgramCopy {
 public:
  ProgramCopy();

  std::filesystem::path folder() const { return folder_.path(); }
  std::string program() const { return folder_.File("fonwerk"); }
  std::filesystem::path log_path() const { return folder() / "Fonwerk.log"; }

  // The texts of the log's lines, without time stamps and line ends; a last
  // line without its CR LF (cut off by a kill) is kept as it is.
  std::vector<std::string> LogTexts() const;

  // Removes the log of an earlier run, so that a follower of the next run's
  // log does not read the old lines before the program deletes them.
  void RemoveLog() const;

  // Runs the program on the installation folder and waits for it.
  test::ProgramResult Run(const std::string& install_path, int timeout_seconds = 120) const;

 private:
  test::TempFolder folder_{"fonwerk-rel-bin"};
};

// A program started without waiting for it. Standard input is /dev/null;
// standard output and error go to files. The destructor kills and reaps a
// program that is still running.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Kill(int signal_number);
  // The exit status (128 + signal number when a signal ended it), or nullopt
  // when the program is still running after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // True once the program has ended (reaps it without blocking).
  bool Ended();
  bool Signalled() const { return signalled_; }
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  bool signalled_ = false;
  test::TempFolder folder_{"fonwerk-rel-child"};  // standard output and error
};

// Reads the lines a program appends to its run log, as they come.
class LogFollower {
 public:
  explicit LogFollower(std::filesystem::path path) : path_(std::move(path)) {}
  // The complete lines (texts without time stamps) added since the last call.
  std::vector<std::string> NewLines();

 private:
  std::filesystem::path path_;
  std::streamoff offset_ = 0;
  std::string partial_;
};

// Index n of a log line "AD|nnnnnnnn|...", or -1 for other lines.
int ContactIndex(const std::string& log_text);

// Where in a rebuild a run log stops.
enum class Phase {
  kBeforeWalk,  // no contact line yet: start-up, Init, counting, truncation
  kInWalk,      // some contact lines, not the last one
  kAfterWalk,   // the line of the last contact, no final line
  kFinished,    // the final line was written
};
Phase PhaseOf(const std::vector<std::string>& log_texts, int contacts);
const char* PhaseName(Phase phase);

// An SQL text literal ('...' with quotes doubled).
std::string Literal(const std::string& text);

// Adds `count` contacts K1..Kcount, each with two telephone lines, a fax number
// and an e-mail address, so a rebuild writes 4 * count rows.
void AddContacts(test::TestInstall& install, int count);

// Replaces the rows of TAPI with `count` marker rows {OLD-n}.
void ReplaceTapi(test::TestInstall& install, int count);

// Every row of TAPI, sorted. Without the DSN column the content can be
// compared between rebuilds (each gives new identifiers).
std::vector<test::Row> TapiContent(test::TestInstall& install, bool with_dsn);
// The same on a session opened for this call (after the server restarted).
std::vector<test::Row> TapiContent(const std::string& connect_string, bool with_dsn);

// Runs the program once more on the installation and expects a rebuild that
// runs to the end and leaves `new_table` (TapiContent without DSN) in TAPI:
// whatever a test's kills left behind must not stand in its way.
void ExpectCompleteRebuild(const ProgramCopy& program, test::TestInstall& install,
                           const std::vector<test::Row>& new_table);

// Runs fonwerkctl with `args` on the installation folder.
test::ProgramResult RunCtl(const std::string& install_path, const std::vector<std::string>& args,
                           int timeout_seconds = 60);

// Asks `done` every 20 ms until it says true or `timeout` has passed; returns its last answer.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(15));

// Starts `fonwerkctl --install PATH watch` (with `args` after it) and waits
// until it says that it follows the changes; a watcher that ended or did not
// say so within 30 s fails the test (the Child is returned all the same).
std::unique_ptr<Child> StartWatcher(const std::string& install_path,
                                    const std::vector<std::string>& args = {});

// The records in the change capture's queue.
int64_t QueuedChanges(test::TestInstall& install);

// A PostgreSQL server of the test's own, started with scripts/pg-test-server.sh
// in a folder and on a port of its own (the port of FONWERK_TEST_PG plus
// `port_offset`), so that stopping it touches no other test. The destructor
// stops it and removes its folder.
class ThrowawayServer {
 public:
  explicit ThrowawayServer(int port_offset);
  // A streaming hot standby of `primary` (pg_basebackup -R), in a folder and
  // on a port of its own (the suite's port plus `port_offset`).
  ThrowawayServer(const ThrowawayServer& primary, int port_offset);
  ~ThrowawayServer();
  ThrowawayServer(const ThrowawayServer&) = delete;
  ThrowawayServer& operator=(const ThrowawayServer&) = delete;

  // Connection string of its "postgres" database.
  const std::string& connect_string() const { return connect_; }
  // pg_ctl stop with mode "fast" or "immediate"; the data stays.
  void Stop(const std::string& mode);
  void Start();
  // The connection string of `database` instead of "postgres".
  std::string ConnectTo(const std::string& database) const;
  // Runs one statement on a session of its own and returns the first column
  // of the first row ("" when none).
  std::string Ask(const std::string& database, const std::string& sql) const;
  // A standby: waits (up to 30 s) until it has replayed what `primary` had
  // written when the call began. Throws when it does not catch up.
  void CatchUp(const ThrowawayServer& primary) const;

 private:
  void PgCtl(const std::vector<std::string>& args);

  std::string dir_;
  std::string port_;
  std::string connect_;
};

// Creates a PostgreSQL installation on `server` instead of the shared test server.
std::unique_ptr<test::TestInstall> InstallOn(const ThrowawayServer& server,
                                             test::Options options = {});

}  // namespace fonwerk::reliability
