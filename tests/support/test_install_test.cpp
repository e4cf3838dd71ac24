// Tests of the installation tooling and the test support library: both kinds
// of installation on real databases, the shipped data, and the program runner.

#include "tests/support/test_install.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "tests/support/providers.h"
#include "tools/install.h"

namespace fonwerk::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

}  // namespace

// Lets gtest name the provider in failure messages.
void PrintTo(Provider provider, std::ostream* os) { *os << ProviderName(provider); }

namespace {

const char kCountryQuery[] =
    "SELECT RIGHT(postorte.alort,4) AS Id, postorte.oname AS Land, postorte.ozusatz AS LandKurz, "
    "postplz.vorwahl As Vorwahl FROM postplz INNER JOIN postorte ON postplz.alort = "
    "postorte.alort WHERE postorte.alort LIKE 'land%' ORDER BY postorte.oname ";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Country rows of the shipped file, as the country query should return them
// before ordering: Id, Land, LandKurz, Vorwahl.
std::vector<Row> ExpectedCountries() {
  const install::TsvTable tsv = install::ReadTsv(install::DefaultSqlDir() / "countries.tsv");
  std::vector<Row> rows;
  for (const auto& r : tsv.rows) {
    if (r[0]->rfind("land", 0) == 0) rows.push_back({r[0]->substr(4), r[1], r[2], r[4]});
  }
  return rows;
}

Row FindByLandKurz(const std::vector<Row>& rows, const std::string& code) {
  for (const Row& row : rows) {
    if (row[2] == code) return row;
  }
  return {};
}

// ---------------------------------------------------------------- both providers

class TestInstallTest : public ::testing::TestWithParam<Provider> {};

TEST_P(TestInstallTest, CountryQueryListsCountriesOnlyInNameOrder) {
  auto inst = TestInstall::Create(GetParam());
  const std::vector<Row> rows = inst->Query(kCountryQuery);
  std::vector<Row> expected = ExpectedCountries();
  ASSERT_EQ(rows.size(), expected.size());

  std::vector<Row> sorted_rows = rows;
  std::sort(sorted_rows.begin(), sorted_rows.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted_rows, expected);

  std::vector<std::string> names;
  for (const Row& row : rows) names.push_back(*row[1]);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << "names not in code-point order";

  EXPECT_EQ(FindByLandKurz(rows, "DEU"), (Row{"0049", "Deutschland", "DEU", "49"}));
  EXPECT_EQ(FindByLandKurz(rows, "AUT"), (Row{"0043", "Österreich", "AUT", "43"}));
  EXPECT_EQ(FindByLandKurz(rows, "CZE"), (Row{"0420", "Tschechien", "CZE", "420"}));
  for (const Row& row : rows) EXPECT_NE(row[1], "Berlin") << "a place passed the land% filter";
}

TEST_P(TestInstallTest, PlacesAreLoadedBesideTheCountries) {
  auto inst = TestInstall::Create(GetParam());
  const auto zuerich = inst->Query(
      "SELECT postorte.oname, postplz.plz FROM postorte INNER JOIN postplz ON postplz.alort = "
      "postorte.alort WHERE postorte.alort = 'ort04400' ORDER BY postplz.plz");
  EXPECT_EQ(zuerich, (std::vector<Row>{{"Zürich", "8001"}, {"Zürich", "8002"}}));
  const auto country_plz = inst->Query("SELECT plz FROM postplz WHERE alort = 'land0049'");
  EXPECT_EQ(country_plz, (std::vector<Row>{{std::nullopt}}));
}

TEST_P(TestInstallTest, StdHoldsTheOwnCountryAndSqlIniNamesTheDatabase) {
  Options options;
  options.land = "AUT";
  auto inst = TestInstall::Create(GetParam(), options);
  EXPECT_EQ(inst->Query("SELECT Land FROM STD"), (std::vector<Row>{{"AUT"}}));

  const std::string ini = ReadText(inst->sql_ini_path());
  EXPECT_THAT(ini, HasSubstr("[Database]\n"));
  if (GetParam() == Provider::kSQLite) {
    EXPECT_THAT(ini, HasSubstr("Provider=SQLite\nData Source=korvana.db\n"));
    EXPECT_TRUE(fs::exists(inst->path() + "/SQL/korvana.db"));
    EXPECT_EQ(inst->connect_string(),
              "Provider=SQLite;Data Source=" + inst->path() + "/SQL/korvana.db");
  } else {
    const auto database = ConnectionString::Parse(inst->connect_string()).Get("Database");
    ASSERT_TRUE(database.has_value());
    EXPECT_THAT(*database, ::testing::StartsWith("fwi_" + std::to_string(getpid()) + "_"));
    EXPECT_THAT(ini, HasSubstr("Provider=PostgreSQL\n"));
    EXPECT_THAT(ini, HasSubstr("\nDatabase=" + *database + "\n"));
  }
}

TEST_P(TestInstallTest, DemoContactsRoundTripExactly) {
  Options options;
  options.demo = true;
  auto inst = TestInstall::Create(GetParam(), options);
  const install::TsvTable tsv = install::ReadTsv(install::DefaultSqlDir() / "demo_contacts.tsv");
  ASSERT_GE(tsv.rows.size(), 24u);

  std::string columns;
  for (const auto& name : tsv.columns) columns += (columns.empty() ? "" : ", ") + name;
  for (const auto& expected : tsv.rows) {
    const auto rows =
        inst->Query("SELECT " + columns + " FROM AD WHERE DSN = " + SqlLiteral(*expected[0]));
    ASSERT_EQ(rows.size(), 1u) << *expected[0];
    EXPECT_EQ(rows[0], expected) << *expected[0];
  }
  EXPECT_EQ(inst->Query("SELECT count(*) FROM AD"),
            (std::vector<Row>{{std::to_string(tsv.rows.size())}}));
}

TEST_P(TestInstallTest, WithoutSchemaTheDatabaseIsEmpty) {
  Options options;
  options.schema = false;
  auto inst = TestInstall::Create(GetParam(), options);
  EXPECT_THROW(inst->Query("SELECT count(*) FROM AD"), DbError);
  inst->Exec("CREATE TABLE probe (x VARCHAR(5))");
  EXPECT_EQ(inst->Query("SELECT count(*) FROM probe"), (std::vector<Row>{{"0"}}));
}

TEST_P(TestInstallTest, TapiSearchesUseAnIndex) {
  auto inst = TestInstall::Create(GetParam());
  const bool sqlite = GetParam() == Provider::kSQLite;
  if (!sqlite) inst->Exec("SET enable_seqscan = off");
  // The plan as one lower-case text.
  auto plan = [&](const std::string& where) {
    std::string text;
    for (const Row& row : inst->Query((sqlite ? "EXPLAIN QUERY PLAN " : "EXPLAIN ") +
                                      std::string("SELECT * FROM TAPI WHERE ") + where)) {
      for (const auto& value : row) text += value.value_or("") + " ";
    }
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  const std::pair<const char*, const char*> kSearches[] = {
      {"NUMMER = '089123456'", "tapi_nummer"},
      {" (TAPI.NUMMER Like '0891%') ", "tapi_nummer"},
      {"AD_DSN = '{X}'", "tapi_ad_dsn"},
  };
  for (const auto& [where, index] : kSearches) {
    const std::string text = plan(where);
    EXPECT_THAT(text, HasSubstr(index)) << where;
    // The condition itself is answered by the index, not filtered after a full scan.
    EXPECT_THAT(text, HasSubstr(sqlite ? "search tapi using index" : "index cond")) << where;
  }
}

TEST_P(TestInstallTest, DestructorRemovesFolderAndDatabase) {
  auto inst = TestInstall::Create(GetParam());
  const std::string path = inst->path();
  const std::string connect_string = inst->connect_string();
  ASSERT_TRUE(fs::exists(inst->sql_ini_path()));
  inst.reset();
  EXPECT_FALSE(fs::exists(path));
  if (GetParam() == Provider::kPostgreSQL) {
    EXPECT_FALSE(install::PostgresDatabaseExists(connect_string));
  }
}

TEST_P(TestInstallTest, ExistingDatabaseIsRefusedUnlessForced) {
  Options options;
  options.demo = true;
  auto inst = TestInstall::Create(GetParam(), options);
  install::Options again;
  if (GetParam() == Provider::kSQLite) {
    EXPECT_THROW(install::InstallSqlite(inst->path(), again), install::InstallError);
    again.force = true;
    install::InstallSqlite(inst->path(), again);
  } else {
    EXPECT_THROW(install::InstallPostgres(inst->path(), inst->connect_string(), again),
                 install::InstallError);
    again.force = true;
    install::InstallPostgres(inst->path(), inst->connect_string(), again);
  }
  // The forced installation starts afresh: no demo contacts this time.
  EXPECT_EQ(inst->Query("SELECT count(*) FROM AD"), (std::vector<Row>{{"0"}}));
  EXPECT_EQ(inst->Query("SELECT count(*) FROM STD"), (std::vector<Row>{{"1"}}));
}

INSTANTIATE_TEST_SUITE_P(Providers, TestInstallTest, test::BothProviders(),
                         test::ProviderParamName);

TEST(TestInstallCrossProvider, CountryListsAgreeRowForRow) {
  auto sqlite = TestInstall::Create(Provider::kSQLite);
  auto postgres = TestInstall::Create(Provider::kPostgreSQL);
  EXPECT_EQ(sqlite->Query(kCountryQuery), postgres->Query(kCountryQuery));
  const char kOrder[] = "SELECT Kennung FROM AD ORDER BY Kennung";
  Options demo;
  demo.demo = true;
  auto sqlite_demo = TestInstall::Create(Provider::kSQLite, demo);
  auto postgres_demo = TestInstall::Create(Provider::kPostgreSQL, demo);
  EXPECT_EQ(sqlite_demo->Query(kOrder), postgres_demo->Query(kOrder));
}

// ---------------------------------------------------------------- script and data files

TEST(SplitSqlScriptTest, SplitsAtSemicolonsOutsideQuotesAndComments) {
  struct Case {
    const char* script;
    std::vector<std::string> statements;
  };
  const Case kCases[] = {
      {"CREATE TABLE a (x INT);\nCREATE TABLE b (y INT);\n",
       {"CREATE TABLE a (x INT)", "CREATE TABLE b (y INT)"}},
      {"-- note; not a statement\nSELECT 1;", {"SELECT 1"}},
      {"SELECT 'a;b', \"c;d\";SELECT 'it''s; fine'",
       {"SELECT 'a;b', \"c;d\"", "SELECT 'it''s; fine'"}},
      {"SELECT /* x; y */ 2;;\n  ;", {"SELECT   2"}},
      {"SELECT '-- not a comment'; -- trailing", {"SELECT '-- not a comment'"}},
      {"   \n-- only a comment\n", {}},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(install::SplitSqlScript(c.script), c.statements) << c.script;
  }
}

TEST(SplitSqlScriptTest, ShippedSchemasDefineTheSameTables) {
  auto tables = [](const std::string& provider) {
    std::vector<std::string> names;
    const auto statements = install::SplitSqlScript(
        ReadText((install::DefaultSqlDir() / provider / "schema.sql").string()));
    for (const auto& s : statements) {
      if (s.rfind("CREATE TABLE ", 0) == 0) names.push_back(s.substr(13, s.find(' ', 13) - 13));
    }
    return names;
  };
  const auto sqlite = tables("sqlite");
  EXPECT_EQ(sqlite, tables("postgres"));
  EXPECT_EQ(sqlite,
            (std::vector<std::string>{"AD", "TAPI", "STD", "postorte", "postplz", "DBINI"}));
}

class TsvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fonwerk-tsv-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Write(const std::string& text) {
    const fs::path file = dir_ / "data.tsv";
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
  fs::path dir_;
};

TEST_F(TsvTest, UnescapesValuesAndReadsNulls) {
  const auto table =
      install::ReadTsv(Write("# comment\na\tb\tc\n\n1\\r\\n2\tx\\ty\\\\z\t\\N\n\t\\\\N\t \r\n"));
  EXPECT_EQ(table.columns, (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(table.rows[0], (Row{"1\r\n2", "x\ty\\z", std::nullopt}));
  EXPECT_EQ(table.rows[1], (Row{"", "\\N", " "}));
}

TEST_F(TsvTest, RejectsBadRowsNamingTheLine) {
  const std::pair<const char*, const char*> kBad[] = {
      {"a\tb\n1\n", "data.tsv:2"},
      {"a\n#\n\\q\n", "data.tsv:3: unknown escape"},
      {"# only comments\n", "no header"},
  };
  for (const auto& [text, message] : kBad) {
    try {
      install::ReadTsv(Write(text));
      ADD_FAILURE() << "accepted: " << text;
    } catch (const install::InstallError& e) {
      EXPECT_THAT(e.what(), HasSubstr(message));
    }
  }
}

// ---------------------------------------------------------------- programs

TEST(RunProgramTest, SeparatesOutputStreamsAndReportsTheExitStatus) {
  const auto result = RunProgram("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out, "out\n");
  EXPECT_EQ(result.err, "err\n");
  EXPECT_FALSE(result.timed_out);
}

TEST(RunProgramTest, MovesLargeInputAndOutputWithoutDeadlock) {
  std::string input;
  for (int i = 0; input.size() < (1u << 20); ++i) input += "Zeile " + std::to_string(i) + "\n";
  const auto echoed = RunProgram("/bin/cat", {}, input);
  EXPECT_EQ(echoed.exit_code, 0);
  EXPECT_EQ(echoed.out, input);
  // A program that never reads its input must not break the runner.
  const auto ignoring = RunProgram("/bin/true", {}, input);
  EXPECT_EQ(ignoring.exit_code, 0);
}

TEST(RunProgramTest, AppliesEnvironmentOverridesAndArguments) {
  ::setenv("FONWERK_RUNPROGRAM_PROBE", "inherited", 1);
  const auto result = RunProgram(
      "/bin/sh", {"-c", "echo \"[$FONWERK_RUNPROGRAM_PROBE][${FW_NEW:-unset}][$1]\"", "sh", "a b"},
      "", {{"FONWERK_RUNPROGRAM_PROBE", std::nullopt}, {"FW_NEW", "neu"}});
  EXPECT_EQ(result.out, "[][neu][a b]\n");
  const auto inherited = RunProgram("/bin/sh", {"-c", "echo $FONWERK_RUNPROGRAM_PROBE"});
  EXPECT_EQ(inherited.out, "inherited\n");
  ::unsetenv("FONWERK_RUNPROGRAM_PROBE");
}

TEST(RunProgramTest, FailsToStartAMissingProgramAndKillsOnTimeout) {
  EXPECT_THROW(RunProgram("/nonexistent/program", {}), std::runtime_error);
  const auto result = RunProgram("/bin/sleep", {"30"}, "", {}, 1);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_code, 128 + 9);
}

TEST(MkinstallTest, CreatesRefusesAndReplacesASqliteInstallation) {
  auto scratch = TestInstall::Create(Provider::kSQLite, Options{.schema = false});
  const std::string dir = scratch->path() + "/neu";
  const std::string tool = BinaryPath("fonwerk-mkinstall");

  const auto created = RunProgram(tool, {"--sqlite", dir, "--demo", "--land", "CHE"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  EXPECT_THAT(created.out, HasSubstr(dir));
  auto session =
      install::OpenUnpooledSession("Provider=SQLite;Data Source=" + dir + "/SQL/korvana.db");
  auto cursor = session->Query("SELECT Land FROM STD", false);
  std::vector<Variant> row;
  ASSERT_TRUE(cursor->Next(row));
  EXPECT_EQ(row[0].ToText(), "CHE");
  cursor.reset();
  session.reset();

  const auto refused = RunProgram(tool, {"--sqlite", dir});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_THAT(refused.err, HasSubstr("exists already"));

  const auto replaced = RunProgram(tool, {"--sqlite", dir, "--force"});
  EXPECT_EQ(replaced.exit_code, 0) << replaced.err;

  const auto neither = RunProgram(tool, {dir});
  EXPECT_NE(neither.exit_code, 0);
}

TEST(MkinstallTest, CreatesAPostgresInstallationFromAConnectionStringWithoutProvider) {
  auto scratch = TestInstall::Create(Provider::kPostgreSQL, Options{.schema = false});
  // A second database on the same server, dropped again at the end.
  ConnectionString params = ConnectionString::Parse(scratch->connect_string());
  params.Set("Database", *params.Get("Database") + "_mk");
  const std::string connect_string = params.ToString();
  struct Dropper {
    std::string cs;
    ~Dropper() {
      try {
        install::DropPostgresDatabase(cs);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    }
  } dropper{connect_string};

  std::string without_provider = connect_string.substr(connect_string.find(';') + 1);
  const std::string dir = scratch->path() + "/pg";
  const auto created =
      RunProgram(BinaryPath("fonwerk-mkinstall"), {"--postgres", without_provider, dir, "--demo"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  EXPECT_THAT(ReadText(dir + "/SQL/SQL.INI"), HasSubstr("Provider=PostgreSQL\n"));
  auto session = install::OpenUnpooledSession(connect_string);
  auto cursor = session->Query("SELECT count(*) FROM AD WHERE TELEFON IS NOT NULL", false);
  std::vector<Variant> row;
  ASSERT_TRUE(cursor->Next(row));
  EXPECT_GT(row[0].ToInteger(), 20);
}

}  // namespace
}  // namespace fonwerk::test
