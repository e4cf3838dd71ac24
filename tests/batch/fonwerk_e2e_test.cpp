// The real fonwerk program, end to end: start-up checks, run log, rebuild,
// failures and the final report. Each run's log is a file of the test's own.

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <optional>
#include <tuple>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "batch/mod_fonwerk.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

extern char** environ;

namespace fonwerk {
namespace {

namespace fs = std::filesystem;
using test::Provider;
using test::TestInstall;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kStart = "*********************** START ***********************";
constexpr const char* kFinish = "*********************** FERTIG ***********************";

// The texts of a log's lines without time stamps. `complete` checks that
// every line ends with CR LF (off while a program may still be writing).
std::vector<std::string> LogTexts(const fs::path& path, bool complete = true) {
  std::ifstream in(path, std::ios::binary);
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

// The fonwerk program of the build folder, run with a registry file and its
// run log (FONWERK_LOG) in a temporary folder of the test's own. The tests of
// the log's default place beside the program run a copy of the program in
// that folder instead (kCopy), whose log is then folder/Fonwerk.log as well.
class BatchProgram {
 public:
  enum Kind { kBuilt, kCopy };

  explicit BatchProgram(Kind kind = kBuilt)
      : kind_(kind),
        program_(kind == kCopy ? folder_.File("fonwerk") : test::BinaryPath("fonwerk")),
        registry_(folder_.File("registry.ini")) {
    if (kind == kCopy) fs::copy_file(test::BinaryPath("fonwerk"), program_);
  }

  const std::string& program() const { return program_; }
  fs::path folder() const { return folder_.path(); }
  fs::path log_path() const { return folder() / "Fonwerk.log"; }

  // The environment of a run: the registry is a file of the test's own, and
  // so is the log unless the program is a copy (then it goes beside it).
  test::EnvOverrides Environment() const {
    return {{"KORVANA_REGISTRY", registry_},
            {"FONWERK_LOG", kind_ == kCopy ? std::nullopt : std::optional(log_path().string())}};
  }
  test::ProgramResult Run(const std::vector<std::string>& args, const std::string& input = "",
                          int timeout_seconds = 120) const {
    return test::RunProgram(program(), args, input, Environment(), timeout_seconds);
  }
  void SetRegistryPath(const std::string& path) {
    std::ofstream(registry_) << "[HKEY_LOCAL_MACHINE\\Software\\Korvana]\nPath=" << path << "\n";
  }
  const std::string& registry() const { return registry_; }

  std::vector<std::string> Log(bool complete = true) const { return LogTexts(log_path(), complete); }

 private:
  Kind kind_;
  test::TempFolder folder_{"fonwerk-batch"};
  std::string program_;
  std::string registry_;
};

// The batch program's module inside the test process, on the same arguments
// as the program (argv[1..]) with the log in the test's folder: for tests
// that look only at the exit status, the run log and the database.
int RunInProcess(const BatchProgram& p, const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"fonwerk", "--log"};
  const std::string log = p.log_path().string();
  argv.push_back(log.c_str());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return modFonwerk::Run(static_cast<int>(argv.size()), argv.data());
}

// --- start-up checks (no database is touched) ---

// A run that the start-up checks end: exit status 1, `message` on standard
// error and as the last of three log lines, after `source` (where the path came from).
void ExpectStartupRefusal(const BatchProgram& p, const test::ProgramResult& r,
                          const std::string& source, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Fonwerk: " + message + "\n");
  EXPECT_THAT(p.Log(), ElementsAre(kStart, source, "Fehler|" + message));
}

TEST(StartupTest, NoPathAndNoRegistryValue) {
  BatchProgram p;
  ExpectStartupRefusal(p, p.Run({}), "Registry|",
                       "Kein Pfad angegeben. Commandlineparameter fehlt");
}

TEST(StartupTest, RegistryPathWithMissingFolderAsksNothing) {
  BatchProgram p;
  p.SetRegistryPath("/nonexistent/korvana");
  const auto r = p.Run({}, "ok\n");
  EXPECT_EQ(r.out, "");
  ExpectStartupRefusal(p, r, "Registry|/nonexistent/korvana",
                       "Pfad nicht gefunden '/nonexistent/korvana'");
}

TEST(StartupTest, CommandLineIsTakenWholeAndLiterally) {
  BatchProgram p;
  ExpectStartupRefusal(p, p.Run({"\"/tmp\""}), "Command|\"/tmp\"",
                       "Pfad nicht gefunden '\"/tmp\"'");
}

TEST(StartupTest, FolderWithoutIniNamesTheIniPath) {
  BatchProgram p;
  const fs::path folder = p.folder() / "empty install";
  fs::create_directories(folder);
  // Two arguments are joined with one blank into the path.
  const auto r = p.Run({(folder.parent_path() / "empty").string(), "install"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Fonwerk: Sql.ini nicht gefunden '" + folder.string() + "/SQL/SQL.INI'\n");
}

TEST(StartupTest, OldReadOnlyLogIsReplaced) {
  BatchProgram p;
  std::ofstream(p.log_path()) << "01/02/26 10:00:00: " << kStart << "\r\nold line\r\n";
  fs::permissions(p.log_path(), fs::perms::owner_read);
  p.Run({"/nonexistent"});
  EXPECT_THAT(p.Log(), ElementsAre(kStart, "Command|/nonexistent",
                                   "Fehler|Pfad nicht gefunden '/nonexistent'"));
}

TEST(StartupTest, LogThatCannotBeDeletedIsARuntimeError) {
  BatchProgram p;
  fs::create_directories(p.log_path() / "blocked");  // a folder where the log should be
  const auto r = p.Run({"/nonexistent"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_THAT(r.err, StartsWith("Laufzeitfehler"));
  EXPECT_EQ(r.out, "");
}

TEST(StartupTest, UnreadableIniIsARuntimeErrorAfterTheChecks) {
  BatchProgram p;
  const fs::path folder = p.folder() / "install";
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

// A trigger `name` before each `event` (INSERT or DELETE) on TAPI that fails
// with `message`; with a `condition` (on NEW) only for the rows it holds for.
void AddFailingTrigger(TestInstall& install, const std::string& name, const std::string& event,
                       const std::string& message, const std::string& condition = "") {
  if (install.provider() == Provider::kSQLite) {
    const std::string when = condition.empty() ? "" : "WHEN " + condition + " ";
    install.Exec("CREATE TRIGGER " + name + " BEFORE " + event + " ON TAPI " + when +
                 "BEGIN SELECT RAISE(ABORT, " + test::SqlLiteral(message) + "); END");
    return;
  }
  const std::string raise = "RAISE EXCEPTION " + test::SqlLiteral(message) + ";";
  const std::string body =
      condition.empty() ? "BEGIN " + raise + " END"
                        : "BEGIN IF " + condition + " THEN " + raise + " END IF; RETURN NEW; END";
  install.Exec("CREATE FUNCTION " + name + "() RETURNS trigger LANGUAGE plpgsql AS " +
               test::SqlLiteral(body));
  install.Exec("CREATE TRIGGER " + name + " BEFORE " + event + " ON TAPI FOR EACH ROW " +
               "EXECUTE FUNCTION " + name + "()");
}

TEST_P(RunTest, CompleteRunRebuildsAndLogsEveryStep) {
  auto install = Install();
  AddContact(*install, "K2", "B", "089 2");
  AddContact(*install, "K1", " A ", "089 1");
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'gone', '999')");
  BatchProgram p;
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
  BatchProgram p;
  EXPECT_EQ(RunInProcess(p, {install->path()}), 0);
  const auto log = p.Log();
  EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
              ElementsAre("++++ FonwerkTable ++++", "Count|0", "Truncate Table TAPI", kFinish));
  EXPECT_TRUE(install->Query("SELECT * FROM TAPI").empty());
}

TEST_P(RunTest, RegistryPathWithConfirmation) {
  auto install = Install();
  AddContact(*install, "K1", "A", "089 1");
  BatchProgram p;
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
  AddFailingTrigger(*install, "reject_bad", "INSERT", "contact rejected by trigger",
                    "NEW.AD_DSN = 'BAD'");
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(1000 + i);
    AddContact(*install, i == 20 ? "BAD" : "K" + n, n, "089 " + n);
  }
  BatchProgram p;
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
  AddFailingTrigger(*install, "keep_tapi", "DELETE", "TAPI must not be emptied");
  if (GetParam() == Provider::kPostgreSQL) {
    install->Exec("CREATE TRIGGER keep_tapi_truncate BEFORE TRUNCATE ON TAPI "
                  "FOR EACH STATEMENT EXECUTE FUNCTION keep_tapi()");
  }
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_THAT(r.err, HasSubstr("TAPI must not be emptied"));
  EXPECT_THAT(r.err, HasSubstr("Tapi wurde nicht neu aufgebaut, die bisherige Tabelle bleibt erhalten."));
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(install->Query("SELECT AD_DSN FROM TAPI"), ElementsAre(test::Row{"old"}));
  for (const auto& line : p.Log()) EXPECT_THAT(line, ::testing::Not(StartsWith("AD|")));
}

// Starts the program without waiting for it, in the environment of its runs.
pid_t Spawn(const BatchProgram& p, const std::string& arg) {
  std::vector<std::string> env_texts;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (!p.Environment().contains(name)) env_texts.push_back(text);
  }
  for (const auto& [name, value] : p.Environment()) {
    if (value) env_texts.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (std::string& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv = {const_cast<char*>(p.program().c_str()), const_cast<char*>(arg.c_str()),
                             nullptr};
  const int rc =
      posix_spawn(&pid, p.program().c_str(), &actions, nullptr, argv.data(), envp.data());
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
  BatchProgram p;
  const pid_t pid = Spawn(p, install->path());
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

INSTANTIATE_TEST_SUITE_P(Providers, RunTest, test::BothProviders(), test::ProviderParamName);

// --- a rebuild that cannot work keeps the old table ---

constexpr const char* kFailure = "Fehler beim Aufbau aufgetreten.";
constexpr const char* kKept = "Fonwerk: Tapi wurde nicht neu aufgebaut, die bisherige Tabelle bleibt erhalten.";

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

struct SchemaFault {
  const char* name;
  const char* change;    // statement that breaks the schema
  const char* message;   // what the one failure message must say
};

class SchemaFaultTest : public ::testing::TestWithParam<std::tuple<Provider, SchemaFault>> {};

TEST_P(SchemaFaultTest, KeepsTheOldTableAndSaysOnceWhy) {
  const auto& [provider, fault] = GetParam();
  auto install = TestInstall::Create(provider);
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    install->Exec("INSERT INTO AD (DSN, Kennung, TELEFON) VALUES ('K" + n + "', '" + n + "', '089 " + n + "')");
  }
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  install->Exec(fault.change);
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Occurrences(r.err, kFailure), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr(fault.message));
  EXPECT_THAT(r.err, HasSubstr(kKept));
  const auto log = p.Log();
  EXPECT_THAT(log, ::testing::Contains(AllOf(StartsWith("Fehler|"), HasSubstr(fault.message))));
  EXPECT_THAT(log, ::testing::Contains(StartsWith("Fehler|Tapi wurde nicht neu aufgebaut")));
  EXPECT_THAT(log, ::testing::Not(::testing::Contains("Truncate Table TAPI")));
  EXPECT_THAT(log, ::testing::Not(::testing::Contains(kFinish)));
  const bool tapi_gone = std::string(fault.name) == "no TAPI";
  EXPECT_THAT(install->Query(tapi_gone ? "SELECT DSN FROM TAPI_GONE" : "SELECT DSN FROM TAPI"),
              ElementsAre(test::Row{"{old}"}));
}

const SchemaFault kSchemaFaults[] = {
    {"AD without TELEFON", "ALTER TABLE AD RENAME COLUMN TELEFON TO TEL_ALT", "Die Tabelle AD hat keine Spalte TELEFON."},
    {"AD without FAX", "ALTER TABLE AD RENAME COLUMN FAX TO FAX_ALT", "Die Tabelle AD hat keine Spalte FAX."},
    {"AD without EMAIL", "ALTER TABLE AD RENAME COLUMN EMAIL TO MAIL", "Die Tabelle AD hat keine Spalte EMAIL."},
    {"AD without WEITEMAIL", "ALTER TABLE AD RENAME COLUMN WEITEMAIL TO MAILS", "Die Tabelle AD hat keine Spalte WEITEMAIL."},
    {"AD without DSN", "ALTER TABLE AD RENAME COLUMN DSN TO ID", "Die Tabelle AD hat keine Spalte DSN."},
    {"AD without Kennung", "ALTER TABLE AD RENAME COLUMN Kennung TO KENN", "Die Tabelle AD hat keine Spalte Kennung."},
    {"TAPI without NUMMER", "ALTER TABLE TAPI RENAME COLUMN NUMMER TO NR", "Die Tabelle TAPI hat keine Spalte NUMMER."},
    {"TAPI without AD_DSN", "ALTER TABLE TAPI RENAME COLUMN AD_DSN TO KONTAKT", "Die Tabelle TAPI hat keine Spalte AD_DSN."},
    {"TAPI without contactTypeDsn", "ALTER TABLE TAPI RENAME COLUMN contactTypeDsn TO ART", "Die Tabelle TAPI hat keine Spalte contactTypeDsn."},
    {"no TAPI", "ALTER TABLE TAPI RENAME TO TAPI_GONE", "Tabelle TAPI:"},
};

INSTANTIATE_TEST_SUITE_P(
    Faults, SchemaFaultTest,
    ::testing::Combine(::testing::Values(Provider::kSQLite, Provider::kPostgreSQL),
                       ::testing::ValuesIn(kSchemaFaults)),
    [](const auto& fault_info) {
      std::string name = std::string(test::ProviderName(std::get<0>(fault_info.param))) + "_" +
                         std::get<1>(fault_info.param).name;
      for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST_P(RunTest, EveryContactFailingRollsBack) {
  auto install = Install();
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  AddFailingTrigger(*install, "reject_all", "INSERT", "nothing goes in");
  for (int contacts : {3, 5000}) {
    SCOPED_TRACE(contacts);
    install->Exec("DELETE FROM AD");
    for (int i = 0; i < contacts; i += 500) {
      std::string values;
      for (int j = i; j < std::min(contacts, i + 500); ++j) {
        values += std::string(values.empty() ? "" : ",") + "('K" + std::to_string(j) + "', '" +
                  std::to_string(100000 + j) + "', '089 " + std::to_string(j) + "')";
      }
      install->Exec("INSERT INTO AD (DSN, Kennung, TELEFON) VALUES " + values);
    }
    BatchProgram p;
    // 5,000 rejected contacts take long under the sanitizers on a busy machine.
    const auto r = p.Run({install->path()}, "", 600);
    EXPECT_EQ(r.exit_code, 3) << r.out;
    EXPECT_THAT(r.err, HasSubstr("nothing goes in"));
    EXPECT_THAT(r.err, HasSubstr("Alle " + std::to_string(contacts) + " Kontakte sind fehlgeschlagen."));
    EXPECT_THAT(r.err, HasSubstr(kKept));
    // Every contact is tried and reported, then the whole rebuild once.
    EXPECT_EQ(Occurrences(r.err, kFailure), contacts + 1u);
    EXPECT_EQ(Occurrences(r.err, "nothing goes in"), contacts + 0u);
    EXPECT_THAT(install->Query("SELECT AD_DSN FROM TAPI"), ElementsAre(test::Row{"old"}));
  }
}

// Contacts without numbers store nothing: when every contact with numbers is
// rejected, not one row reaches the table and the rebuild is rolled back,
// however many contacts "succeeded" without writing anything.
TEST_P(RunTest, EveryContactWithNumbersFailingRollsBack) {
  auto install = Install();
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  AddFailingTrigger(*install, "reject_all", "INSERT", "nothing goes in");
  AddContact(*install, "K1", "A", "089 1");
  install->Exec("INSERT INTO AD (DSN, Kennung) VALUES ('N1', 'B')");
  AddContact(*install, "K2", "C", "089 2");
  install->Exec("INSERT INTO AD (DSN, Kennung) VALUES ('N2', 'D')");
  AddContact(*install, "K3", "E", "089 3");
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Occurrences(r.err, "nothing goes in"), 3u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Alle 3 Kontakte mit Nummern sind fehlgeschlagen."));
  EXPECT_THAT(r.err, HasSubstr(kKept + std::string(" Fehlgeschlagene Kontakte: 3")));
  const auto log = p.Log();
  EXPECT_THAT(log, ::testing::Contains(AllOf(StartsWith("Fehler|"), HasSubstr("nothing goes in"))));
  EXPECT_THAT(log, ::testing::Contains(AllOf(StartsWith("Fehler|"), HasSubstr("Kontakte mit Nummern"))));
  EXPECT_THAT(log, ::testing::Not(::testing::Contains(kFinish)));
  EXPECT_THAT(install->Query("SELECT AD_DSN, NUMMER FROM TAPI"),
              ElementsAre(test::Row{"old", "999"}));
}

// A constraint of TAPI rejects rows while the new table is filled (no trigger,
// so the table is replaced, not refilled in place): whether any row reached
// the new table decides between a rebuild with failures and a rollback.
TEST_P(RunTest, ConstraintRejectingRowsOfTheNewTable) {
  const struct {
    const char* check;
    int exit_code;
    std::vector<test::Row> tapi;  // AD_DSN, NUMMER afterwards
  } cases[] = {
      {"NUMMER IS NULL OR NUMMER <> '0891'", 2, {{"K2", "0892"}}},
      {"NUMMER IS NULL", 3, {{"old", std::nullopt}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.check);
    auto install = Install();
    install->Exec("INSERT INTO TAPI (DSN, AD_DSN) VALUES ('{old}', 'old')");
    if (GetParam() == Provider::kSQLite) {
      install->Exec("ALTER TABLE TAPI RENAME TO TAPI_BEFORE");
      install->Exec("CREATE TABLE TAPI (DSN VARCHAR(38) PRIMARY KEY, AD_DSN VARCHAR(38) NOT NULL, "
                    "NUMMER VARCHAR(255), BEMERKUNG VARCHAR(255), contactTypeDsn VARCHAR(38), "
                    "CHECK (" + std::string(c.check) + "))");
      install->Exec("INSERT INTO TAPI SELECT * FROM TAPI_BEFORE");
      install->Exec("DROP TABLE TAPI_BEFORE");
    } else {
      install->Exec("ALTER TABLE TAPI ADD CONSTRAINT tapi_check CHECK (" + std::string(c.check) + ")");
    }
    AddContact(*install, "K1", "A", "089 1");
    install->Exec("INSERT INTO AD (DSN, Kennung) VALUES ('N1', 'B')");
    AddContact(*install, "K2", "C", "089 2");
    BatchProgram p;
    const auto r = p.Run({install->path()});
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_EQ(Occurrences(r.err, kFailure), c.exit_code == 2 ? 1u : 3u) << r.err;
    EXPECT_THAT(p.Log(), ::testing::Not(::testing::Contains(StartsWith("Rebuild in place|"))));
    EXPECT_EQ(install->Query("SELECT AD_DSN, NUMMER FROM TAPI ORDER BY AD_DSN"), c.tapi);
  }
}

// Failures at the start say nothing about the contacts after them.
TEST_P(RunTest, FailuresAtTheStartDoNotEndTheRebuild) {
  auto install = Install();
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  // Keys K1000..K1029 in the order of their Kennung: the first ten are rejected.
  AddFailingTrigger(*install, "reject_first", "INSERT", "first ones rejected",
                    "NEW.AD_DSN < 'K1010'");
  for (int i = 0; i < 30; ++i) {
    const std::string n = std::to_string(1000 + i);
    AddContact(*install, "K" + n, n, "089 " + n);
  }
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(r.out, "Fonwerk: Tapi wurde mit Fehlern neu aufgebaut. Fehlgeschlagene Kontakte: 10\n");
  EXPECT_EQ(Occurrences(r.err, "first ones rejected"), 10u) << r.err;
  EXPECT_EQ(Occurrences(r.err, kFailure), 10u) << r.err;
  EXPECT_EQ(p.Log().back(), kFinish);
  const auto rows = install->Query("SELECT AD_DSN FROM TAPI ORDER BY AD_DSN");
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(rows.front(), test::Row{"K1010"});
  EXPECT_EQ(rows.back(), test::Row{"K1029"});
}

// PostgreSQL folds unquoted names to lower case: a Kennung created quoted in
// mixed case must still order the walk.
TEST(MixedCaseTest, KennungQuotedInMixedCaseOnPostgres) {
  auto install = TestInstall::Create(Provider::kPostgreSQL);
  install->Exec("ALTER TABLE AD RENAME COLUMN kennung TO \"Kennung\"");
  install->Exec("INSERT INTO AD (DSN, \"Kennung\", TELEFON) VALUES ('K2', 'B', '089 2'), "
                "('K1', 'A', '089 1')");
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto log = p.Log();
  EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
              ElementsAre("Truncate Table TAPI", "AD|00000000|A|", "AD|00000001|B|", kFinish));
  EXPECT_THAT(install->Query("SELECT AD_DSN, NUMMER FROM TAPI ORDER BY NUMMER"),
              ElementsAre(test::Row{"K1", "0891"}, test::Row{"K2", "0892"}));
}

// A session does not make a database of an empty file: the rebuild finds no
// table and the file keeps its size.
TEST(NoDatabaseTest, EmptyFileStaysEmpty) {
  auto install = TestInstall::Create(Provider::kSQLite);
  const fs::path db = fs::path(install->path()) / "SQL" / "korvana.db";
  // The -wal and -shm files the creating session left go with the database.
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
  std::ofstream(db, std::ios::binary).flush();
  ASSERT_EQ(fs::file_size(db), 0u);
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3) << r.out;
  EXPECT_EQ(Occurrences(r.err, kFailure), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("no such table"));
  EXPECT_THAT(r.err, HasSubstr(kKept));
  EXPECT_EQ(fs::file_size(db), 0u);
  EXPECT_FALSE(fs::exists(db.string() + "-wal"));
}

TEST(NoDatabaseTest, FileThatIsNoDatabaseIsReportedOnceAndLeftAlone) {
  auto install = TestInstall::Create(Provider::kSQLite);
  const fs::path db = fs::path(install->path()) / "SQL" / "korvana.db";
  fs::remove(db);
  std::ofstream(db, std::ios::binary) << std::string(4096, 'x');
  BatchProgram p;
  const auto r = p.Run({install->path()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(Occurrences(r.err, kFailure), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("not a database"));
  EXPECT_THAT(r.err, HasSubstr(db.string()));
  EXPECT_EQ(fs::file_size(db), 4096u);
  EXPECT_THAT(p.Log(), ::testing::Contains(AllOf(StartsWith("Fehler|"), HasSubstr("not a database"))));
}

// --- one rebuild of an installation at a time; logs that are in use ---

void FillContacts(TestInstall& install, int count) {
  if (install.provider() == Provider::kSQLite) {
    install.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                 std::to_string(count) +
                 ") INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'K' || i, printf('%08d', i), "
                 "'089 ' || i FROM n");
  } else {
    install.Exec("INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'K' || i, lpad(i::text, 8, '0'), "
                 "'089 ' || i FROM generate_series(1, " + std::to_string(count) + ") AS i");
  }
}

// Starts the program on `install_path` and waits until its log shows the walk.
pid_t StartRebuild(const BatchProgram& p, const std::string& install_path) {
  const pid_t pid = Spawn(p, install_path);
  for (int i = 0; i < 6000; ++i) {
    for (const auto& line : p.Log(false)) {
      if (line.rfind("AD|", 0) == 0) return pid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(RunTest, SecondRebuildOfTheSameInstallationStopsAtOnce) {
  constexpr int kContacts = 150000;
  auto install = Install();
  FillContacts(*install, kContacts);
  BatchProgram first;
  BatchProgram second;  // its own log: only the installation is shared
  const pid_t pid = StartRebuild(first, install->path());
  ASSERT_GT(pid, 0);
  const auto r = second.Run({install->path()});
  const int first_status = WaitFor(pid);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Tapi wird bereits neu aufgebaut"));
  EXPECT_THAT(second.Log().back(), StartsWith("Fehler|Tapi wird bereits neu aufgebaut"));
  EXPECT_THAT(second.Log(), ::testing::Not(::testing::Contains("++++ FonwerkTable ++++")));
  ASSERT_EQ(first_status, 0) << "the second run must not harm the first";
  const auto log = first.Log();
  EXPECT_EQ(log.back(), kFinish);
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("AD|", 0) == 0; }),
            kContacts);
  EXPECT_EQ(install->Query("SELECT count(*) FROM TAPI"), std::vector<test::Row>{{std::to_string(kContacts)}});
  // Once the first is done the installation is free again.
  EXPECT_EQ(second.Run({install->path()}).exit_code, 0);
}

TEST(SharedLogTest, RunsOnTwoInstallationsKeepEachOthersLog) {
  auto busy = TestInstall::Create(Provider::kSQLite);
  FillContacts(*busy, 150000);
  auto other = TestInstall::Create(Provider::kSQLite);
  FillContacts(*other, 10);
  const fs::path state = fs::path(other->path()) / "state";
  BatchProgram p;
  const pid_t pid = StartRebuild(p, busy->path());
  ASSERT_GT(pid, 0);
  test::EnvOverrides env = p.Environment();
  env["XDG_STATE_HOME"] = state.string();
  const auto r = test::RunProgram(p.program(), {other->path()}, "", env);
  EXPECT_EQ(WaitFor(pid), 0);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The later run says where its log went; the running one keeps its own.
  ASSERT_THAT(r.err, HasSubstr("gehört einem laufenden Aufbau; dieses Protokoll steht in '" +
                               (state / "fonwerk").string() + "/Fonwerk-"));
  const auto log = p.Log();
  EXPECT_EQ(log[1], "Command|" + busy->path());
  EXPECT_EQ(log.back(), kFinish);
  std::vector<fs::path> own;
  for (const auto& entry : fs::directory_iterator(state / "fonwerk")) own.push_back(entry.path());
  ASSERT_EQ(own.size(), 1u);
  const auto other_log = LogTexts(own[0]);
  EXPECT_EQ(other_log[1], "Command|" + other->path());
  EXPECT_EQ(other_log.back(), kFinish);
}

TEST(LogPlacementTest, LogOptionAndEnvironment) {
  auto install = TestInstall::Create(Provider::kSQLite);
  FillContacts(*install, 3);
  BatchProgram p(BatchProgram::kCopy);
  const fs::path folder = fs::path(install->path());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> environment;
    fs::path expected;
  };
  const std::vector<Case> cases = {
      {"--log", {"--log", (folder / "a.log").string(), install->path()}, std::nullopt, folder / "a.log"},
      {"--log=", {"--log=" + (folder / "b.log").string(), install->path()}, std::nullopt, folder / "b.log"},
      {"FONWERK_LOG", {install->path()}, (folder / "c.log").string(), folder / "c.log"},
      {"--log before FONWERK_LOG", {"--log", (folder / "d.log").string(), install->path()},
       (folder / "e.log").string(), folder / "d.log"},
      {"beside the program", {install->path()}, std::nullopt, p.log_path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(p.log_path());
    const auto r = test::RunProgram(p.program(), c.args, "",
                                    {{"KORVANA_REGISTRY", p.registry()}, {"FONWERK_LOG", c.environment}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto log = LogTexts(c.expected);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[1], "Command|" + install->path());
    EXPECT_EQ(log.back(), kFinish);
    if (c.expected != p.log_path()) {
      EXPECT_FALSE(fs::exists(p.log_path()));
    }
  }
}

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The log replaces only an earlier run's log or an empty file. Anything else
// in its place (the installation's own files, a link, a pipe) is refused with
// status 64 before anything is written, and the installation is not rebuilt.
TEST(LogPlacementTest, OnlyAnEarlierLogOrAnEmptyFileIsReplaced) {
  auto install = TestInstall::Create(Provider::kSQLite);
  FillContacts(*install, 3);
  install->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{old}', 'old', '999')");
  BatchProgram p(BatchProgram::kCopy);
  const fs::path sql = fs::path(install->path()) / "SQL";
  const fs::path earlier = p.folder() / "earlier.log";
  ASSERT_EQ(test::RunProgram(p.program(), {"--log", earlier.string(), "/nonexistent"}).exit_code, 1);
  const fs::path empty = p.folder() / "empty.log";
  std::ofstream(empty).flush();
  const fs::path text = p.folder() / "notes.txt";
  std::ofstream(text) << "notes\r\n*** START ***\r\n";
  const fs::path link = p.folder() / "link.log";
  fs::create_symlink(earlier, link);
  const fs::path pipe = p.folder() / "pipe.log";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

  enum How { kOption, kEnvironment, kBeside };
  const struct {
    const char* name;
    fs::path file;
    How how;
    bool replaced;
  } cases[] = {
      {"the database", sql / "korvana.db", kOption, false},
      {"SQL.INI", sql / "SQL.INI", kEnvironment, false},
      {"a text file beside the program", p.log_path(), kBeside, false},
      {"a link to a log", link, kOption, false},
      {"a pipe", pipe, kOption, false},
      {"a log of an earlier run", earlier, kOption, true},
      {"an empty file", empty, kEnvironment, true},
  };
  std::ofstream(p.log_path()) << "kept\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = fs::is_fifo(c.file) ? "" : FileBytes(c.file);
    std::vector<std::string> args = {install->path()};
    if (c.how == kOption) args.insert(args.begin(), {"--log", c.file.string()});
    const auto r = test::RunProgram(
        p.program(), args, "",
        {{"KORVANA_REGISTRY", p.registry()},
         {"FONWERK_LOG", c.how == kEnvironment ? std::optional(c.file.string()) : std::nullopt}});
    if (c.replaced) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      const auto log = LogTexts(c.file);
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log[1], "Command|" + install->path());
      continue;
    }
    EXPECT_EQ(r.exit_code, 64) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("fonwerk: Die Datei '" + c.file.string() +
                                  "' ist kein Protokoll von Fonwerk ("));
    if (!fs::is_fifo(c.file)) {
      EXPECT_EQ(FileBytes(c.file), before);
    }
    EXPECT_EQ(install->Query("SELECT DSN FROM TAPI"), std::vector<test::Row>{{"{old}"}});
  }
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_fifo(pipe));
  // The database still is one: a rebuild with a log of its own works.
  EXPECT_EQ(p.Run({"--log", (p.folder() / "own.log").string(), install->path()}).exit_code, 0);
  EXPECT_EQ(install->Query("SELECT count(*) FROM TAPI"), std::vector<test::Row>{{"3"}});
}

TEST(CommandLineTest, HelpVersionAndUsageErrors) {
  BatchProgram p;
  const auto help = p.Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* part : {"Usage: fonwerk [--log PATH] [INSTALLATION]", "SQL.INI", "KORVANA_REGISTRY",
                           "FONWERK_LOG", "XDG_STATE_HOME", "Exit status", "  3 "}) {
    EXPECT_THAT(help.out, HasSubstr(part));
  }
  EXPECT_FALSE(fs::exists(p.log_path())) << "--help starts no run";
  const auto version = p.Run({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("fonwerk [0-9]+\\.[0-9]+.*\n"));
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--log"},
                                                std::vector<std::string>{"--log="}}) {
    const auto r = p.Run(wrong);
    EXPECT_EQ(r.exit_code, 64);
    EXPECT_THAT(r.err, StartsWith("fonwerk: --log"));
  }
}

// Words before the path that look like options are options or usage errors;
// the path itself (after the options, or after "--") is taken literally.
TEST(CommandLineTest, UnknownOptionsAndPathsThatLookLikeOptions) {
  BatchProgram p;
  const std::string log = (p.folder() / "own.log").string();
  const std::string usage = "Aufruf: fonwerk [--log PATH] [INSTALLATION] (fonwerk --help zeigt mehr)\n";
  const std::string kWaitReadersError =
      "fonwerk: --wait-readers braucht eine Zahl von Sekunden (0 bis 2592000)\n";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string out;  // a part of standard output
    std::string err;  // all of standard error
  } cases[] = {
      {{"--bogus"}, 64, "", "fonwerk: unbekannte Option '--bogus'\n" + usage},
      {{"--bogus", "/srv/korvana"}, 64, "", "fonwerk: unbekannte Option '--bogus'\n" + usage},
      {{"--log", log, "--verbose=1", "/srv"}, 64, "", "fonwerk: unbekannte Option '--verbose=1'\n" + usage},
      {{"--version", "--help"}, 0, "fonwerk " FONWERK_VERSION "\n", ""},
      {{"--help", "--version"}, 0, "Usage: fonwerk [--log PATH] [INSTALLATION]", ""},
      {{"--log=" + log, "--help"}, 0, "Usage: fonwerk", ""},
      {{"--help", "--bogus"}, 0, "Usage: fonwerk", ""},
      {{"./--bogus"}, 1, "", "Fonwerk: Pfad nicht gefunden './--bogus'\n"},
      {{"--", "--bogus"}, 1, "", "Fonwerk: Pfad nicht gefunden '--bogus'\n"},
      {{"/nonexistent", "--bogus", "-h"}, 1, "", "Fonwerk: Pfad nicht gefunden '/nonexistent --bogus -h'\n"},
      {{"-h", "x"}, 1, "", "Fonwerk: Pfad nicht gefunden '-h x'\n"},
      {{"--wait-readers", "10", "/nonexistent"}, 1, "",
       "Fonwerk: Pfad nicht gefunden '/nonexistent'\n"},
      {{"--wait-readers=0", "--log", log + ".other", "/nonexistent"}, 1, "",
       "Fonwerk: Pfad nicht gefunden '/nonexistent'\n"},
      {{"--wait-readers", "soon", "/srv"}, 64, "", kWaitReadersError + usage},
      {{"--wait-readers=-1", "/srv"}, 64, "", kWaitReadersError + usage},
      {{"--wait-readers=2592001", "/srv"}, 64, "", kWaitReadersError + usage},
      {{"--wait-readers"}, 64, "", kWaitReadersError + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    fs::remove(p.log_path());
    const auto r = p.Run(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_THAT(r.out, HasSubstr(c.out));
    if (c.exit_code != 1) {
      EXPECT_FALSE(fs::exists(p.log_path())) << "no run is started";
      EXPECT_FALSE(fs::exists(log)) << "no run is started";
    }
  }
}


}  // namespace
}  // namespace fonwerk
