#pragma once
// Throwaway Korvana installations for tests, and a runner for the real programs.
//
// A TestInstall is a fresh test database (tests/support/test_database.h: a
// temporary folder, and a SQLite file in it or a database of its own on the
// test PostgreSQL server) made into an installation: SQL/SQL.INI and the
// tables. It goes away with the folder and the database as a TestDatabase
// does (FONWERK_KEEP_TEST_INSTALL=1 keeps both).

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_database.h"

namespace fonwerk::ado {
class Session;
}

namespace fonwerk::test {

struct Options {
  bool schema = true;        // without it the database is empty and the rest is ignored
  bool countries = true;     // the country list (and a few places) in postorte/postplz
  bool demo = false;         // the demo contacts in AD
  std::string land = "DEU";  // STD.Land of the one STD row
};

using Row = std::vector<std::optional<std::string>>;  // nullopt is NULL

class TestInstall {
 public:
  // Creates the folder and the database and fills it as `options` asks.
  // Throws std::runtime_error when FONWERK_TEST_PG is unset for kPostgreSQL,
  // and the installer's or database's error when the installation fails.
  static std::unique_ptr<TestInstall> Create(Provider provider, Options options = {});
  ~TestInstall();

  TestInstall(const TestInstall&) = delete;
  TestInstall& operator=(const TestInstall&) = delete;

  Provider provider() const { return database_.provider(); }
  // The installation folder (absolute, without trailing '/').
  const std::string& path() const { return database_.temp_folder().path(); }
  // The connection string that SQL.INI describes (absolute SQLite path).
  const std::string& connect_string() const { return connect_string_; }
  // path() + "/SQL/SQL.INI".
  std::string sql_ini_path() const;

  // Run a statement or a query on a session of the test's own, outside the
  // process's session pool: it sees what the code under test has committed.
  // Throws DbError with the provider's message.
  void Exec(const std::string& sql);
  // Every value as text (Booleans "True"/"False"), NULL as nullopt.
  std::vector<Row> Query(const std::string& sql);

 private:
  explicit TestInstall(Provider provider);
  ado::Session& session();

  TestDatabase database_;
  std::string connect_string_;
  std::unique_ptr<ado::Session> session_;
};

// An SQL value for a statement: NULL for nullopt, else a text literal ('...'
// with quotes doubled).
std::string SqlLiteral(const std::optional<std::string>& value);

// Result of one run of a program.
struct ProgramResult {
  int exit_code = -1;      // the exit status; 128 + signal number when killed by a signal
  std::string out;         // everything written to standard output
  std::string err;         // everything written to standard error
  bool timed_out = false;  // the program was killed after the time limit
};

// Environment changes for RunProgram: a value sets the variable, nullopt removes it.
using EnvOverrides = std::map<std::string, std::optional<std::string>>;

// Runs `path` with `args` (argv[1..]) directly, without a shell. `stdin_text` is
// written to its standard input, which is then closed (an empty text means end
// of input at once). The environment is this process's with `env` applied.
// A program still running after `timeout_seconds` is killed (timed_out).
// Throws std::runtime_error when the program cannot be started.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::string& stdin_text = "", const EnvOverrides& env = {},
                         int timeout_seconds = 120);

// Path of a built program: "fonwerk" (FONWERK_BIN_DIR/batch/fonwerk),
// "fonwerkctl" (FONWERK_BIN_DIR/ctl/fonwerkctl) or "fonwerk-mkinstall"
// (FONWERK_BIN_DIR/tools/fonwerk-mkinstall). Throws std::runtime_error when
// FONWERK_BIN_DIR is unset, the name is unknown or the file does not exist.
std::string BinaryPath(const std::string& name);

}  // namespace fonwerk::test
