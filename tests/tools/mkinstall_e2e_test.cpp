// fonwerk-mkinstall: the built program's command line, its refusal of an
// unknown own country, and the mode of an SQL.INI that holds a password.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/variant.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "tests/support/test_install.h"
#include "tools/install.h"

namespace fonwerk::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

ProgramResult Mkinstall(const std::vector<std::string>& args) {
  return RunProgram(BinaryPath("fonwerk-mkinstall"), args);
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int ModeOf(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
  return static_cast<int>(info.st_mode & 07777);
}

// Sets the process's umask (inherited by the programs it starts) for one scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t old_;
};

class MkinstallProgramTest : public testing::Test {
 protected:
  void SetUp() override { scratch_ = TestInstall::Create(Provider::kSQLite, {.schema = false}); }
  std::string Dir(const std::string& name) const { return scratch_->path() + "/" + name; }

  std::unique_ptr<TestInstall> scratch_;
};

TEST_F(MkinstallProgramTest, UsageErrorsNameTheProgramAndCreateNothing) {
  const std::string dir = Dir("neu");
  const struct {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{}, "DIR"},
      {{"--sqlite"}, "DIR"},
      {{"--bogus", "--sqlite", dir}, "--bogus"},
      {{dir}, "--sqlite or --postgres"},
      {{"--sqlite", "--postgres", "Host=x", dir}, "--postgres"},
      {{"--sqlite", dir, "--land", "XXX"}, "--land XXX is not in the country list"},
      {{"--sqlite", dir, "--land", "deu"}, "did you mean DEU?"},
      {{"--sqlite", dir, "--land", ""}, "is not in the country list"},
      {{"--postgres", "Host=nowhere", dir, "--land", "Germany"}, "Germany"},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Mkinstall(c.args);
    EXPECT_EQ(result.exit_code, 64) << c.named << ": " << result.err;
    EXPECT_THAT(result.err, StartsWith("fonwerk-mkinstall: "));
    EXPECT_THAT(result.err, HasSubstr(c.named));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(dir)) << c.named;
  }
}

TEST_F(MkinstallProgramTest, HelpAndVersionExitZero) {
  const ProgramResult help = Mkinstall({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* text : {"--sqlite", "--postgres", "--land", "--force", "--version", "0600",
                           "Exit status"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  const ProgramResult version = Mkinstall({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "fonwerk-mkinstall " FONWERK_VERSION "\n");
}

TEST_F(MkinstallProgramTest, AKnownCountryIsStored) {
  const std::string dir = Dir("ita");
  const ProgramResult created = Mkinstall({"--sqlite", dir, "--land", "ITA"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  auto session = install::OpenUnpooledSession("Provider=SQLite;Data Source=" + dir +
                                              "/SQL/korvana.db");
  auto cursor = session->Query("SELECT Land FROM STD", false);
  std::vector<Variant> row;
  ASSERT_TRUE(cursor->Next(row));
  EXPECT_EQ(row[0].ToText(), "ITA");
}

// With --watch the new installation records the changes of AD (the demo
// contacts, loaded before, are not in the queue).
TEST_F(MkinstallProgramTest, WatchEnablesTheChangeCapture) {
  const std::string dir = Dir("watched");
  const ProgramResult created = Mkinstall({"--sqlite", dir, "--demo", "--watch"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  auto session = install::OpenUnpooledSession("Provider=SQLite;Data Source=" + dir +
                                              "/SQL/korvana.db");
  const auto queued = [&] {
    std::vector<Variant> row;
    session->Query("SELECT count(*) FROM FONWERK_AD_CHANGES", false)->Next(row);
    return row.at(0).ToInteger();
  };
  EXPECT_EQ(queued(), 0);
  session->Execute("INSERT INTO AD (DSN, TELEFON) VALUES ('new', '089 1')");
  EXPECT_EQ(queued(), 1);
}

TEST(CountryShortCodesTest, OnlyCountryRowsCountAndEachOnce) {
  const std::vector<std::string> codes = install::CountryShortCodes(install::DefaultSqlDir());
  EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
  EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
  for (const char* code : {"DEU", "AUT", "CHE", "ITA", "USA"}) {
    EXPECT_NE(std::find(codes.begin(), codes.end(), code), codes.end()) << code;
  }
  EXPECT_EQ(std::find(codes.begin(), codes.end(), ""), codes.end());
}

// PostgreSQL installations whose SQL.INI may hold a password.
class MkinstallPasswordTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_ = TestInstall::Create(Provider::kPostgreSQL, {.schema = false});
    ConnectionString params = ConnectionString::Parse(scratch_->connect_string());
    params.Set("Database", *params.Get("Database") + "_mk");
    connect_ = params;
  }
  void TearDown() override { install::DropPostgresDatabase(connect_.ToString()); }

  // The connection string as the command line takes it, with `password`
  // (none when empty).
  std::string Connection(const std::string& password) const {
    ConnectionString params = connect_;
    if (!password.empty()) params.Set("Password", password);
    return params.ToString();
  }

  std::unique_ptr<TestInstall> scratch_;
  ConnectionString connect_;
};

TEST_F(MkinstallPasswordTest, SqlIniWithAPasswordIsForItsOwnerOnly) {
  Umask umask(022);
  const std::string dir = scratch_->path() + "/pg";
  const fs::path ini = fs::path(dir) / "SQL" / "SQL.INI";
  const struct {
    std::string password;
    int mode;
  } cases[] = {
      {"geheim", 0600},
      {"", 0644},         // nothing secret: the umask decides
      {"s;cr\"et", 0600},  // and an older readable file is replaced, not reused
  };
  for (const auto& c : cases) {
    const ProgramResult result =
        Mkinstall({"--postgres", Connection(c.password), dir, "--force", "--no-countries"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(ModeOf(ini), c.mode) << c.password;
    if (!c.password.empty()) {
      EXPECT_THAT(result.out, Not(HasSubstr(c.password)));
    }
  }
  // Nothing else is left in the folder (no temporary file).
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(dir) / "SQL")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"SQL.INI"});
}

// An SQL.INI in the folder holds someone's connection settings: it is not
// replaced without --force, and nothing else is created then either.
TEST_F(MkinstallPasswordTest, ExistingSqlIniIsKeptUnlessForced) {
  const std::string own = "; hand-written\n[Database]\nProvider=PostgreSQL\nHost=db.example\n"
                          "Database=korvana\n";
  const struct {
    const char* provider;
    std::vector<std::string> args;
    std::string written;  // a part of the SQL.INI the forced run writes
  } cases[] = {
      {"SQLite", {"--sqlite", scratch_->path() + "/lite", "--no-countries"}, "Provider=SQLite"},
      {"PostgreSQL", {"--postgres", Connection(""), scratch_->path() + "/pg", "--no-countries"},
       "Database=" + *connect_.Get("Database")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider);
    const fs::path dir = c.args[c.args.size() - 2];
    const fs::path ini = dir / "SQL" / "SQL.INI";
    fs::create_directories(ini.parent_path());
    { std::ofstream(ini, std::ios::binary) << own; }

    const ProgramResult refused = Mkinstall(c.args);
    EXPECT_EQ(refused.exit_code, 1) << refused.err;
    EXPECT_EQ(refused.err,
              "fonwerk-mkinstall: the file " + ini.string() + " exists already (--force replaces it)\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(ReadText(ini), own);
    EXPECT_FALSE(fs::exists(dir / "SQL" / "korvana.db"));
    EXPECT_FALSE(install::PostgresDatabaseExists(connect_.ToString()));

    std::vector<std::string> forced_args = c.args;
    forced_args.push_back("--force");
    const ProgramResult forced = Mkinstall(forced_args);
    EXPECT_EQ(forced.exit_code, 0) << forced.err;
    EXPECT_THAT(ReadText(ini), HasSubstr(c.written));
  }
}

}  // namespace
}  // namespace fonwerk::test
