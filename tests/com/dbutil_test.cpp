#include "com/dbutil.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "db/connection_string.h"
#include "tests/com/component_test_support.h"

namespace fonwerk::com {
namespace {

using fonwerk::testing::TempDir;

class DbUtilTest : public ::testing::Test {
 protected:
  // Writes SQL/SQL.INI and returns its path.
  std::string WriteIni(const std::string& content) {
    std::filesystem::create_directories(dir_.File("SQL"));
    return dir_.Write("SQL/SQL.INI", content);
  }
  ConnectionString Connect(const std::string& ini) {
    return ConnectionString::Parse(cDBUtil().GetConnectString(ini, 4802719).ToText());
  }
  // The error GetConnectString throws for `ini`.
  Error ErrorOf(const std::string& ini) {
    try {
      cDBUtil().GetConnectString(ini, 4802719);
    } catch (const Error& error) {
      return error;
    }
    ADD_FAILURE() << "no error for " << ini;
    return Error(0, "");
  }
  TempDir dir_;
};

TEST_F(DbUtilTest, SqliteDataSourceIsTakenFromTheIniFolder) {
  const std::string ini = WriteIni(
      "; Korvana database\n"
      "[Database]\n"
      "Provider=SQLite\n"
      "Data Source=korvana.db      ; relative paths are relative to the SQL folder\n");
  EXPECT_EQ(cDBUtil().GetConnectString(ini, 4802719).ToText(),
            "Provider=SQLite;Data Source=" + dir_.File("SQL/korvana.db"));
}

TEST_F(DbUtilTest, SqliteDataSourceIsMadeAbsoluteAndTidy) {
  struct Case {
    std::string data_source, path;
  };
  const std::vector<Case> cases = {
      {"./data/../korvana.db", dir_.File("SQL/korvana.db")},
      {"../db/korvana.db", dir_.File("db/korvana.db")},
      {"/var/lib/korvana/k.db", "/var/lib/korvana/k.db"},
      {"my;file.db", dir_.File("SQL/my;file.db")},
  };
  for (const Case& c : cases) {
    const std::string ini = WriteIni("[Database]\nProvider=SQLite\nData Source=" + c.data_source);
    EXPECT_EQ(Connect(ini).Get("Data Source"), c.path) << c.data_source;
  }
}

TEST_F(DbUtilTest, AcceptsAFileWrittenOnWindows) {
  const std::string ini =
      WriteIni("\xEF\xBB\xBF[Database]\r\nProvider=SQLite\r\nData Source=korvana.db\r\n");
  EXPECT_EQ(Connect(ini).Get("Data Source"), dir_.File("SQL/korvana.db"));
}

TEST_F(DbUtilTest, NamesAndProviderMatchWithoutRegardToCase) {
  const std::string ini = WriteIni("[DATABASE]\nprovider=sqlite\n  data source = k.db\n");
  ConnectionString params = Connect(ini);
  EXPECT_EQ(params.Get("Provider"), "SQLite");
  EXPECT_EQ(params.Get("Data Source"), dir_.File("SQL/k.db"));
}

TEST_F(DbUtilTest, PostgresKeysAreCarriedOverAndQuotedWhenNeeded) {
  const std::string ini = WriteIni(
      "[Database]\nProvider=PostgreSQL\nHost=db.example.org\nPort=5433\n"
      "Database=korvana\nUser ID=fonwerk\nPassword=se;cr\"et\n");
  const std::string text = cDBUtil().GetConnectString(ini, 0).ToText();
  EXPECT_EQ(text.rfind("Provider=PostgreSQL;Host=db.example.org;Port=5433;Database=korvana;"
                       "User ID=fonwerk;Password=",
                       0),
            0u)
      << text;
  EXPECT_EQ(ConnectionString::Parse(text).Get("Password"), "se;cr\"et");
}

TEST_F(DbUtilTest, PostgresNeedsOnlyTheDatabase) {
  const std::string ini = WriteIni("[Database]\nProvider=PostgreSQL\nDatabase=korvana\n");
  EXPECT_EQ(cDBUtil().GetConnectString(ini, 4802719).ToText(),
            "Provider=PostgreSQL;Database=korvana");
}

TEST_F(DbUtilTest, EveryFaultIsAnErrorNamingCauseAndFile) {
  struct Case {
    std::string content, cause;
  };
  const std::vector<Case> cases = {
      {"[Database]\nData Source=k.db\n", "Provider fehlt"},
      {"[Other]\nProvider=SQLite\nData Source=k.db\n", "Provider fehlt"},
      {"[Database]\nProvider=Oracle\n", "Oracle"},
      {"[Database]\nProvider=SQLite\n", "Data Source fehlt"},
      {"[Database]\nProvider=SQLite\nData Source=\n", "Data Source fehlt"},
      {"[Database]\nProvider=PostgreSQL\nHost=localhost\n", "Database fehlt"},
      {"[Database]\nProvider=SQLite\nData Source k.db\n", "Zeile 3"},
  };
  for (const Case& c : cases) {
    const std::string ini = WriteIni(c.content);
    const Error error = ErrorOf(ini);
    EXPECT_NE(error.description().find(c.cause), std::string::npos) << error.description();
    EXPECT_NE(error.description().find(ini), std::string::npos) << error.description();
  }
}

TEST_F(DbUtilTest, AMissingOrUnreadableFileIsAnError) {
  const std::string missing = dir_.File("SQL/SQL.INI");
  const Error not_found = ErrorOf(missing);
  EXPECT_EQ(not_found.number(), errnum::kFileNotFound);
  EXPECT_NE(not_found.description().find(missing), std::string::npos);

  std::filesystem::create_directories(dir_.File("folder.ini"));
  const Error folder = ErrorOf(dir_.File("folder.ini"));
  EXPECT_NE(folder.description().find(dir_.File("folder.ini")), std::string::npos);
}

TEST_F(DbUtilTest, ReplicaTakesItsOwnKeysAndTheRestFromDatabase) {
  const std::string primary =
      "[Database]\nProvider=PostgreSQL\nHost=db1\nPort=5432\nDatabase=korvana\n"
      "User ID=korvana\nPassword=a;b\n";
  struct Case {
    std::string replica_section;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"", std::nullopt},
      {"[Replica]\nHost=db2\n",
       "Provider=PostgreSQL;Host=db2;Port=5432;Database=korvana;User ID=korvana;Password=\"a;b\""},
      {"[replica]\nhost=db3\nPort=5433\nUser ID=reader\nPassword=r\n",
       "Provider=PostgreSQL;Host=db3;Port=5433;Database=korvana;User ID=reader;Password=r"},
      // A section without keys names no other server.
      {"[Replica]\n; nothing yet\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replica_section);
    const std::string ini = WriteIni(primary + c.replica_section);
    EXPECT_EQ(ReplicaConnectString(ini), c.expected);
    // [Database] itself is untouched by the replica.
    EXPECT_EQ(Connect(ini).Get("Host"), "db1");
  }
  EXPECT_THROW(ReplicaConnectString(WriteIni("[Replica]\nHost=db2\n")), Error);
}

}  // namespace
}  // namespace fonwerk::com
