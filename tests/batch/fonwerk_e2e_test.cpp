// The real fonwerk program, end to end: start-up checks, run log, rebuild,
// failures and the final report. Each test runs its own copy of the program so
// that its run log (beside the executable) is its own.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/test_install.h"

extern char** environ;

namespace fonwerk {
namespace {

namespace fs = std::filesystem;
using test::Provider;
using test::TestInstall;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kStart = "*********************** START ***********************";
constexpr const char* kFinish = "*********************** FERTIG ***********************";

class ProgramCopy {
 public:
  ProgramCopy() {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("fonwerk_bin_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(test::BinaryPath("fonwerk"), program());
    registry_ = (dir_ / "registry.ini").string();
  }
  ~ProgramCopy() { fs::remove_all(dir_); }

  std::string program() const { return (dir_ / "fonwerk").string(); }
  fs::path log_path() const { return dir_ / "Fonwerk.log"; }

  // Runs the program; the registry is a file of the test's own.
  test::ProgramResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    return test::RunProgram(program(), args, input, {{"KORVANA_REGISTRY", registry_}});
  }
  void SetRegistryPath(const std::string& path) {
    std::ofstream(registry_) << "[HKEY_LOCAL_MACHINE\\Software\\Korvana]\nPath=" << path << "\n";
  }
  const std::string& registry() const { return registry_; }

  // The texts of the log's lines without time stamps. `complete` checks that
  // every line ends with CR LF (off while the program may still be writing).
  std::vector<std::string> Log(bool complete = true) const {
    std::ifstream in(log_path(), std::ios::binary);
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(in, line)) {
      if (complete) {
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "no CR LF: " << line;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t sep = line.find(": ");
      texts.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
    }
    return texts;
  }

 private:
  fs::path dir_;
  std::string registry_;
};

// --- start-up checks (no database is touched) ---

TEST(StartupTest, NoPathAndNoRegistryValue) {
  ProgramCopy p;
  const auto r = p.Run({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Fonwerk: Kein Pfad angegeben. Commandlineparameter fehlt\n");
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Registry|",
                                   "Fehler|Kein Pfad angegeben. Commandlineparameter fehlt"));
}

TEST(StartupTest, RegistryPathWithMissingFolderAsksNothing) {
  ProgramCopy p;
  p.SetRegistryPath("/nonexistent/korvana");
  const auto r = p.Run({}, "ok\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Fonwerk: Pfad nicht gefunden '/nonexistent/korvana'\n");
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Registry|/nonexistent/korvana",
                                   "Fehler|Pfad nicht gefunden '/nonexistent/korvana'"));
}

TEST(StartupTest, CommandLineIsTakenWholeAndLiterally) {
  ProgramCopy p;
  const auto r = p.Run({"\"/tmp\""});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Fonwerk: Pfad nicht gefunden '\"/tmp\"'\n");
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Command|\"/tmp\"",
                                   "Fehler|Pfad nicht gefunden '\"/tmp\"'"));
}

TEST(StartupTest, FolderWithoutIniNamesTheIniPath) {
  ProgramCopy p;
  const fs::path folder = fs::path(p.program()).parent_path() / "empty install";
  fs::create_directories(folder);
  // Two arguments are joined with one blank into the path.
  const auto r = p.Run({(folder.parent_path() / "empty").string(), "install"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Fonwerk: Sql.ini nicht gefunden '" + folder.string() + "/SQL/SQL.INI'\n");
}

TEST(StartupTest, OldReadOnlyLogIsReplaced) {
  ProgramCopy p;
  std::ofstream(p.log_path()) << "old line\r\n";
  fs::permissions(p.log_path(), fs::perms::owner_read);
  p.Run({"/nonexistent"});
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Command|/nonexistent",
                                   "Fehler|Pfad nicht gefunden '/nonexistent'"));
}

TEST(StartupTest, LogThatCannotBeDeletedIsARuntimeError) {
  ProgramCopy p;
  fs::create_directories(p.log_path() / "blocked");  // a folder where the log should be
  const auto r = p.Run({"/nonexistent"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_THAT(r.err, StartsWith("Laufzeitfehler"));
  EXPECT_EQ(r.out, "");
}

TEST(StartupTest, UnreadableIniIsARuntimeErrorAfterTheChecks) {
  ProgramCopy p;
  const fs::path folder = fs::path(p.program()).parent_path() / "install";
  fs::create_directories(folder / "SQL");
  std::ofstream(folder / "SQL" / "SQL.INI") << "[Database]\nProvider=Oracle\n";
  const auto r = p.Run({folder.string()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_THAT(r.err, StartsWith("Laufzeitfehler"));
  EXPECT_THAT(r.err, HasSubstr("Oracle"));
  ASSERT_EQ(p.Log().size(), 3u);
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Command|" + folder.string(),
                                   StartsWith("Fehler|Laufzeitfehler '")));
  EXPECT_THAT(p.Log()[2], HasSubstr("Oracle"));
}

// --- complete runs ---

class RunTest : public ::testing::TestWithParam<Provider> {
 protected:
  std::unique_ptr<TestInstall> Install() { return TestInstall::Create(GetParam()); }

  static void AddContact(TestInstall& install, const std::string& key, const std::string& kennung,
                         const std::string& telefon) {
    install.Exec("INSERT INTO AD (DSN, Kennung, TELEFON) VALUES ('" + key + "', '" + kennung +
                 "', '" + telefon + "')");
  }
};

TEST_P(RunTest, CompleteRunRebuildsAndLogsEveryStep) {
  auto install = Install();
  AddContact(*install, "K2", "B", "089 2");
  AddContact(*install, "K1", " A ", "089 1");
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'gone', '999')");
  ProgramCopy p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Fonwerk: Tapi wurde neu aufgebaut.\n");
  EXPECT_EQ(r.err, "");  // no progress bar without a terminal
  const auto log = p.Log();
  ASSERT_EQ(log.size(), 14u);
  EXPECT_EQ(log[0], kStart);
  EXPECT_EQ(log[1], "Command|" + install->path());
  EXPECT_THAT(log[2], StartsWith("ConnectionString|Provider="));
  EXPECT_THAT(std::vector<std::string>(log.begin() + 3, log.end()),
              ElementsAre("++++ INIT ++++", "Code|49", "Plus|00", "VAZ|0", "Suspress|True",
                          "++++ FonwerkTable ++++", "Count|2", "Truncate Table TAPI",
                          "AD|00000000|A|", "AD|00000001|B|", kFinish));
  EXPECT_THAT(install->Query("SELECT AD_DSN, NUMMER FROM TAPI ORDER BY NUMMER"),
              ElementsAre(test::Row{"K1", "0891"}, test::Row{"K2", "0892"}));
}

TEST_P(RunTest, EmptyContactTableEmptiesTapi) {
  auto install = Install();
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'gone', '999')");
  ProgramCopy p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const auto log = p.Log();
  EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
              ElementsAre("++++ FonwerkTable ++++", "Count|0", "Truncate Table TAPI", kFinish));
  EXPECT_TRUE(install->Query("SELECT * FROM TAPI").empty());
}

TEST_P(RunTest, RegistryPathWithConfirmation) {
  auto install = Install();
  AddContact(*install, "K1", "A", "089 1");
  ProgramCopy p;
  p.SetRegistryPath(install->path());
  const std::string question = "Fonwerk: Tapi neu aufbauen?\n\nIm Pfad: '" + install->path() + "'\n";

  for (const char* refusal : {"", "\n", "nein\n", "cancel\n"}) {
    const auto r = p.Run({}, refusal);
    EXPECT_EQ(r.exit_code, 1) << refusal;
    EXPECT_THAT(r.out, StartsWith(question));
    EXPECT_THAT(p.Log(), ElementsAre(kStart, "Registry|" + install->path()));
  }
  EXPECT_TRUE(install->Query("SELECT * FROM TAPI").empty());

  const auto r = p.Run({}, "JA\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Tapi wurde neu aufgebaut."));
  EXPECT_EQ(install->Query("SELECT * FROM TAPI").size(), 1u);
}

TEST_P(RunTest, ContactWhoseRowsAreRejectedIsReportedAndSkipped) {
  auto install = Install();
  if (GetParam() == Provider::kSQLite) {
    install->Exec("CREATE TRIGGER reject_bad BEFORE INSERT ON TAPI WHEN NEW.AD_DSN = 'BAD' "
                  "BEGIN SELECT RAISE(ABORT, 'contact rejected by trigger'); END");
  } else {
    install->Exec("CREATE FUNCTION reject_bad() RETURNS trigger LANGUAGE plpgsql AS "
                  "'BEGIN IF NEW.ad_dsn = ''BAD'' THEN RAISE EXCEPTION ''contact rejected by "
                  "trigger''; END IF; RETURN NEW; END'");
    install->Exec("CREATE TRIGGER reject_bad BEFORE INSERT ON TAPI FOR EACH ROW "
                  "EXECUTE FUNCTION reject_bad()");
  }
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(1000 + i);
    AddContact(*install, i == 20 ? "BAD" : "K" + n, n, "089 " + n);
  }
  ProgramCopy p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_THAT(r.err, HasSubstr("Fehler beim Aufbau aufgetreten."));
  EXPECT_THAT(r.err, HasSubstr("contact rejected by trigger"));
  EXPECT_EQ(r.out, "Fonwerk: Tapi wurde mit Fehlern neu aufgebaut. Fehlgeschlagene Kontakte: 1\n");
  EXPECT_EQ(p.Log().back(), kFinish);
  EXPECT_EQ(install->Query("SELECT * FROM TAPI").size(), 49u);
  EXPECT_TRUE(install->Query("SELECT * FROM TAPI WHERE AD_DSN = 'BAD'").empty());
}

TEST_P(RunTest, FailedTruncationWritesNothing) {
  auto install = Install();
  AddContact(*install, "K1", "A", "089 1");
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  // A TAPI that cannot be emptied: on SQLite a trigger, on PostgreSQL a rule.
  if (GetParam() == Provider::kSQLite) {
    install->Exec("CREATE TRIGGER keep_tapi BEFORE DELETE ON TAPI "
                  "BEGIN SELECT RAISE(ABORT, 'TAPI must not be emptied'); END");
  } else {
    install->Exec("CREATE FUNCTION keep_tapi() RETURNS trigger LANGUAGE plpgsql AS "
                  "'BEGIN RAISE EXCEPTION ''TAPI must not be emptied''; END'");
    install->Exec("CREATE TRIGGER keep_tapi BEFORE DELETE ON TAPI FOR EACH ROW "
                  "EXECUTE FUNCTION keep_tapi()");
    install->Exec("CREATE TRIGGER keep_tapi_truncate BEFORE TRUNCATE ON TAPI "
                  "FOR EACH STATEMENT EXECUTE FUNCTION keep_tapi()");
  }
  ProgramCopy p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_THAT(r.err, HasSubstr("TAPI must not be emptied"));
  EXPECT_THAT(r.err, HasSubstr("Tapi wurde nicht neu aufgebaut, die bisherige Tabelle bleibt erhalten."));
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(install->Query("SELECT AD_DSN FROM TAPI"), ElementsAre(test::Row{"old"}));
  for (const auto& line : p.Log()) EXPECT_THAT(line, ::testing::Not(StartsWith("AD|")));
}

// Starts the program without waiting for it.
pid_t Spawn(const std::string& program, const std::string& arg) {
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(arg.c_str()),
                             nullptr};
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

TEST_P(RunTest, KilledRebuildLeavesTheOldTableIntact) {
  auto install = Install();
  if (GetParam() == Provider::kSQLite) {
    install->Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000) "
                  "INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'K' || i, printf('%08d', i), "
                  "'089 ' || i FROM n");
  } else {
    install->Exec("INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'K' || i, lpad(i::text, 8, '0'), "
                  "'089 ' || i FROM generate_series(1, 60000) AS i");
  }
  for (int i = 0; i < 3; ++i) {
    install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old" + std::to_string(i) +
                  "}', 'old', '999')");
  }
  ProgramCopy p;
  const pid_t pid = Spawn(p.program(), install->path());
  ASSERT_GT(pid, 0);
  // Kill it while it is in the middle of the walk.
  bool in_walk = false;
  for (int i = 0; i < 3000 && !in_walk; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const auto& line : p.Log(false)) in_walk = in_walk || line.rfind("AD|00002", 0) == 0;
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(in_walk) << "the rebuild never reached the walk";
  ASSERT_TRUE(WIFSIGNALED(status)) << "the rebuild finished before it could be killed";
  EXPECT_THAT(p.Log(), ::testing::Not(::testing::Contains(kFinish)));
  EXPECT_THAT(install->Query("SELECT DSN FROM TAPI ORDER BY DSN"),
              ElementsAre(test::Row{"{old0}"}, test::Row{"{old1}"}, test::Row{"{old2}"}));
}

INSTANTIATE_TEST_SUITE_P(Providers, RunTest,
                         ::testing::Values(Provider::kSQLite, Provider::kPostgreSQL),
                         [](const auto& param_info) { return std::string(test::ProviderName(param_info.param)); });

}  // namespace
}  // namespace fonwerk
