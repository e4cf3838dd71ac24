// fonwerkctl: the built program run against real installations, and the
// pieces of its reverse lookup that decide which rows are read.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "com/util.h"
#include "ctl/cli.h"
#include "ctl/reverse_lookup.h"
#include "db/connection_string.h"
#include "phone/rebuild_lock.h"
#include "phone/stored_number.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"
#include "tools/install.h"

namespace fonwerk {
namespace {

using test::ProgramResult;
using test::Provider;
using test::SqlLiteral;
using test::TestInstall;
using ::testing::HasSubstr;
using ::testing::Not;

// --- the reverse lookup's pieces ---

// The settings of a German installation: Plus 00, code 49, VAZ 0, Suspress.
cCanonicalTelephone GermanSettings() {
  cCanonicalTelephone settings;
  settings.Plus = "00";
  settings.code = "49";
  settings.VAZ = "0";
  settings.Suspress = true;
  return settings;
}

// The harvesting stores what phone/stored_number.h gives; the lookup must ask
// for the same form.
TEST(StoredNumberTest, TheLookupReducesIncomingNumbersTheSameWay) {
  com::cUtil util;
  const cCanonicalTelephone rules = GermanSettings();
  for (const char* number : {"+49 (0)89 123456", "0049 89 123456", "(+49) 89 1", "089-1 ext 2"}) {
    EXPECT_EQ(ctl::NormaliseIncoming(number, rules, util), StoredNumber(number, rules, util));
  }
}

TEST(ReverseLookupTest, IncomingNumbersTakeTheStoredForm) {
  com::cUtil util;
  cCanonicalTelephone settings = GermanSettings();
  const std::pair<std::string, std::string> cases[] = {
      {"+49 89 123456", "089123456"},
      {"089/123456", "089123456"},
      {" +49 89 1", "0891"},
      {"0049 (89) 1", "0891"},
      {"+43 1 234", "00431234"},
      {"+49+49", "00049"},  // only a leading prefix is national
      {"Zentrale", ""},
  };
  for (const auto& [incoming, stored] : cases) {
    EXPECT_EQ(ctl::NormaliseIncoming(incoming, settings, util), stored) << incoming;
  }
  settings.Suspress = false;
  EXPECT_EQ(ctl::NormaliseIncoming("+49 89 123456", settings, util), "004989123456");
}

// On a table of some size, the lookup statements read TAPI through an index on NUMMER.
class LookupPlanTest : public testing::TestWithParam<Provider> {
 protected:
  void SetUp() override {
    install_ = TestInstall::Create(GetParam());
    const bool sqlite = GetParam() == Provider::kSQLite;
    const std::string rows =
        sqlite ? "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < 20000) "
                 "SELECT "
               : "SELECT ";
    const std::string from = sqlite ? " FROM s" : " FROM generate_series(1, 20000) AS s(g)";
    const std::string padded = sqlite ? "printf('%09d', g)" : "lpad(g::text, 9, '0')";
    install_->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER, contactTypeDsn) " + rows +
                   "'N' || g, 'A' || g, " + padded + ", 'x'" + from);
    install_->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER, contactTypeDsn) " + rows +
                   "'E' || g, 'A' || g, 'user' || g || '@example.com', "
                   "'{C451E716-7025-4EE9-8579-E2D0C6E26888}'" +
                   from);
    install_->Exec(sqlite ? "ANALYZE" : "ANALYZE TAPI");
  }

  // The plan of `query`. On PostgreSQL the generic plan of the prepared
  // statement: the one a session uses once it has run the query a few times.
  std::string Plan(const ctl::LookupQuery& query) {
    const bool sqlite = GetParam() == Provider::kSQLite;
    std::vector<test::Row> rows;
    if (sqlite) {
      rows = install_->Query("EXPLAIN QUERY PLAN " + query.sql);
    } else {
      std::string numbered;
      int n = 0;
      for (const char c : query.sql)
        numbered += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
      std::string values;
      for (const Variant& param : query.params) {
        values += (values.empty() ? "" : ", ") + SqlLiteral(param.ToText());
      }
      install_->Exec("SET plan_cache_mode = force_generic_plan");
      install_->Exec("PREPARE fonwerk_plan AS " + numbered);
      rows = install_->Query("EXPLAIN EXECUTE fonwerk_plan(" + values + ")");
      install_->Exec("DEALLOCATE fonwerk_plan");
    }
    std::string plan;
    for (const test::Row& row : rows) {
      for (const auto& value : row) plan += value.value_or("") + " ";
      plan += "\n";
    }
    return plan;
  }

  std::unique_ptr<TestInstall> install_;
};

TEST_P(LookupPlanTest, NumberAndAddressSearchesUseTheIndexes) {
  // A number's query: its prefixes and the switchboards written -0.
  std::vector<std::string> candidates = ctl::NumberCandidates("00001234567", 255);
  for (const std::string& switchboard : ctl::SwitchboardCandidates("00001234567", 255)) {
    candidates.push_back(switchboard);
  }
  const std::string numbers = Plan(ctl::NumberQuery(candidates));
  const ctl::AddressCompare no_case = GetParam() == Provider::kSQLite
                                          ? ctl::AddressCompare::kCollateNoCase
                                          : ctl::AddressCompare::kLowerOfAddresses;
  const std::string addresses = Plan(ctl::AddressQuery("User77@Example.com", no_case));
  if (GetParam() == Provider::kSQLite) {
    EXPECT_THAT(numbers, HasSubstr("INDEX TAPI_NUMMER ")) << numbers;
    EXPECT_THAT(addresses, HasSubstr("INDEX TAPI_NUMMER_LIKE")) << addresses;
    for (const std::string* plan : {&numbers, &addresses}) {
      EXPECT_THAT(*plan, Not(HasSubstr("SCAN TAPI"))) << *plan;
    }
  } else {
    EXPECT_THAT(numbers, HasSubstr("on tapi_nummer ")) << numbers;
    EXPECT_THAT(addresses, HasSubstr("on tapi_nummer_lower")) << addresses;
    for (const std::string* plan : {&numbers, &addresses}) {
      EXPECT_THAT(*plan, HasSubstr("Index")) << *plan;
      EXPECT_THAT(*plan, Not(HasSubstr("Seq Scan on tapi"))) << *plan;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Providers, LookupPlanTest, test::BothProviders(), test::ProviderParamName);

// --- the command line, in process ---

ctl::Parsed Parse(std::vector<const char*> args, std::string* err_text = nullptr) {
  args.insert(args.begin(), "fonwerkctl");
  std::ostringstream out;
  std::ostringstream err;
  ctl::Parsed parsed = ctl::ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err);
  if (err_text != nullptr) *err_text = err.str();
  return parsed;
}

TEST(CommandLineTest, WordsAreJoinedAndOptionsMayFollowTheCommand) {
  ctl::Parsed parsed = Parse({"dial", "+49", "89", "123456", "--plus", "011"});
  ASSERT_TRUE(parsed.request);
  EXPECT_EQ(parsed.request->command, ctl::Command::kDial);
  EXPECT_EQ(parsed.request->argument, "+49 89 123456");
  EXPECT_EQ(parsed.request->overrides.plus, "011");
  EXPECT_FALSE(parsed.request->overrides.suspress);

  parsed = Parse({"--suspress", "FALSE", "phones", "K1", "K2", "--row", "3"});
  ASSERT_TRUE(parsed.request);
  EXPECT_EQ(parsed.request->argument, "K1|K2");
  EXPECT_EQ(parsed.request->row, 3);
  EXPECT_EQ(parsed.request->overrides.suspress, false);

  parsed = Parse({"config", "set", "active=yes", "PLUS=011", "Suspress=0", "VAZ="});
  ASSERT_TRUE(parsed.request);
  EXPECT_EQ(parsed.request->command, ctl::Command::kConfigSet);
  ASSERT_EQ(parsed.request->settings.size(), 4u);
  EXPECT_TRUE(parsed.request->settings[0].flag);
  EXPECT_EQ(parsed.request->settings[1].text, "011");
  EXPECT_FALSE(parsed.request->settings[2].flag);
  EXPECT_EQ(parsed.request->settings[3].text, "");
}

TEST(CommandLineTest, BadArgumentsGiveOneLineAndStatus64) {
  const std::vector<std::vector<const char*>> bad = {
      {},
      {"call", "089"},
      {"phones", "K1", "--row", "three"},
      {"--suspress", "maybe", "dial", "1"},
      {"config", "set", "code=43"},
      {"config", "set", "Plus"},
      {"--plus", "011", "config", "set", "VAZ=1"},
      {"refresh", "K1", "K2"},
      {"refresh", "K1", "--wait", "soon"},
      {"sync", "K1"},
      {"sync", "--fast"},
      {"nosuchcmd"},
      {"config", "set", "Plus=0x"},
      {"config", "set", "Plus="},
      {"config", "set", "VAZ=1a"},
      {"--code", "4a", "dial", "1"},
      {"--code", "", "dial", "1"},
      {"--plus", "+", "dial", "1"},
      {"--vaz", " 0", "dial", "1"},
      {"watch", "--enable", "--disable"},
      {"watch", "--interval", "0"},
      {"watch", "--enable", "--interval", "5"},
      {"watch", "K1"},
  };
  for (const auto& args : bad) {
    std::string err;
    const ctl::Parsed parsed = Parse(args, &err);
    EXPECT_FALSE(parsed.request);
    EXPECT_EQ(parsed.exit_status, ctl::kExitUsage) << err;
    EXPECT_THAT(err, ::testing::StartsWith("fonwerkctl: "));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(CommandLineTest, RejectedValuesAndCommandsAreNamed) {
  const struct {
    std::vector<const char*> args;
    std::vector<std::string> named;
  } cases[] = {
      {{"nosuchcmd"}, {"unknown command", "'nosuchcmd'"}},
      {{"--install", "/x", "--plus", "011", "frobnicate", "1"},
       {"unknown command", "'frobnicate'"}},
      {{"config", "set", "Plus=0x"}, {"Plus", "'0x'"}},
      {{"config", "set", "plus="}, {"Plus", "''"}},
      {{"config", "set", "VAZ=o"}, {"VAZ", "'o'"}},
      {{"--code", "4 3", "config"}, {"--code", "'4 3'"}},
      {{"--plus", "", "config"}, {"--plus", "''"}},
      {{"--vaz", "-1", "config"}, {"--vaz", "'-1'"}},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(Parse(c.args, &err).exit_status, ctl::kExitUsage) << c.args.front();
    for (const std::string& text : c.named) EXPECT_THAT(err, HasSubstr(text)) << err;
  }
}

TEST(CommandLineTest, WatchTakesEnableDisableOrAnInterval) {
  const struct {
    std::vector<const char*> args;
    ctl::WatchAction action;
    int32_t interval;
  } cases[] = {
      {{"watch"}, ctl::WatchAction::kFollow, 60},
      {{"watch", "--interval", "5"}, ctl::WatchAction::kFollow, 5},
      {{"watch", "--enable"}, ctl::WatchAction::kEnable, 60},
      {{"watch", "--disable"}, ctl::WatchAction::kDisable, 60},
  };
  for (const auto& c : cases) {
    const ctl::Parsed parsed = Parse(c.args);
    ASSERT_TRUE(parsed.request) << c.args.back();
    EXPECT_EQ(parsed.request->command, ctl::Command::kWatch);
    EXPECT_EQ(parsed.request->watch, c.action) << c.args.back();
    EXPECT_EQ(parsed.request->interval, c.interval) << c.args.back();
  }
  const ctl::Parsed serve = Parse({"serve", "--watch"});
  ASSERT_TRUE(serve.request);
  EXPECT_TRUE(serve.request->serve_watch);
  EXPECT_FALSE(Parse({"serve"}).request->serve_watch);
}

TEST(CommandLineTest, DigitsAreAcceptedAndATrunkPrefixMayBeEmpty) {
  ctl::Parsed parsed = Parse({"--plus", "011", "--code", "1", "--vaz", "", "dial", "1"});
  ASSERT_TRUE(parsed.request);
  EXPECT_EQ(parsed.request->overrides.plus, "011");
  EXPECT_EQ(parsed.request->overrides.code, "1");
  EXPECT_EQ(parsed.request->overrides.vaz, "");
  parsed = Parse({"config", "set", "VAZ=", "Plus=810"});
  ASSERT_TRUE(parsed.request);
  EXPECT_EQ(parsed.request->settings.at(0).text, "");
  EXPECT_EQ(parsed.request->settings.at(1).text, "810");
}

// --- the program ---

class FonwerkctlTest : public testing::TestWithParam<Provider> {
 protected:
  void SetUp() override { install_ = TestInstall::Create(GetParam()); }

  ProgramResult Ctl(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--install", install_->path()});
    return test::RunProgram(test::BinaryPath("fonwerkctl"), args, input);
  }

  struct Contact {
    std::string dsn;
    std::optional<std::string> name, name2, company, telefon, fax, email;
  };

  void AddContact(const Contact& c) {
    install_->Exec(
        "INSERT INTO AD (DSN, IDX_NAME, IDX_NAME2, IDX_FIRMA, TELEFON, FAX, EMAIL) "
        "VALUES (" +
        SqlLiteral(c.dsn) + ", " + SqlLiteral(c.name) + ", " + SqlLiteral(c.name2) + ", " +
        SqlLiteral(c.company) + ", " + SqlLiteral(c.telefon) + ", " + SqlLiteral(c.fax) + ", " +
        SqlLiteral(c.email) + ")");
  }

  // Four contacts with their TAPI rows written by `refresh`.
  void AddHarvestedContacts() {
    AddContact({"K1", "Meier", "Hans", "Meier GmbH",
                "089\t123456\tZentrale\r\n0171\t5551234\tMobil", "089 123456-99",
                "Max.Meier@Example.com"});
    AddContact({"K2", "Schulz", "", std::nullopt, "089 12\t3\tKurz", std::nullopt, std::nullopt});
    AddContact({"K3", "Kurz", std::nullopt, std::nullopt, "0891", std::nullopt, "a_b@x.de"});
    AddContact({"K4", "Zweit", std::nullopt, "Meier GmbH", std::nullopt, std::nullopt,
                "MAX.MEIER@EXAMPLE.COM"});
    for (const char* key : {"K1", "K2", "K3", "K4"}) {
      const ProgramResult refreshed = Ctl({"refresh", key});
      ASSERT_EQ(refreshed.exit_code, 0) << refreshed.err;
    }
  }

  // Makes TAPI reject rows with the number `nummer` ("rejected by test").
  void RejectNumber(const std::string& nummer) {
    if (GetParam() == Provider::kSQLite) {
      install_->Exec("CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI WHEN NEW.NUMMER = '" +
                     nummer + "' BEGIN SELECT RAISE(ABORT, 'rejected by test'); END");
    } else {
      install_->Exec(
          "CREATE FUNCTION tapi_reject() RETURNS trigger LANGUAGE plpgsql AS "
          "'BEGIN IF NEW.nummer = ''" +
          nummer + "'' THEN RAISE EXCEPTION ''rejected by test''; END IF; RETURN NEW; END'");
      install_->Exec(
          "CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI "
          "FOR EACH ROW EXECUTE FUNCTION tapi_reject()");
    }
  }

  std::vector<std::string> TapiKeys(const std::string& contact) {
    std::vector<std::string> keys;
    for (const test::Row& row :
         install_->Query("SELECT DSN FROM TAPI WHERE AD_DSN = '" + contact + "' ORDER BY DSN")) {
      keys.push_back(row.at(0).value_or(""));
    }
    return keys;
  }

  std::unique_ptr<TestInstall> install_;
};

TEST_P(FonwerkctlTest, ConfigShowsAndStoresTheSettings) {
  ProgramResult shown = Ctl({"config"});
  EXPECT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_EQ(shown.out, "Enabled=False\nPlus=00\ncode=49\nVAZ=0\nSuspress=True\n");

  ProgramResult set = Ctl({"config", "set", "Active=true", "Plus=011", "Suspress=false"});
  EXPECT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(set.out, "Enabled=True\nPlus=011\ncode=49\nVAZ=0\nSuspress=False\n");

  shown = Ctl({"config"});
  EXPECT_EQ(shown.out, "Enabled=True\nPlus=011\ncode=49\nVAZ=0\nSuspress=False\n");

  // Options change this run only.
  shown = Ctl({"--plus", "0", "--code", "43", "--vaz", "", "--suspress", "true", "config"});
  EXPECT_EQ(shown.out, "Enabled=True\nPlus=0\ncode=43\nVAZ=\nSuspress=True\n");
  shown = Ctl({"config"});
  EXPECT_EQ(shown.out, "Enabled=True\nPlus=011\ncode=49\nVAZ=0\nSuspress=False\n");
}

TEST_P(FonwerkctlTest, FormattingCommandsPrintTheResult) {
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"dial", "+49", "89", "123456"}, "089123456\n"},
      {{"dial", "+43 1 234567"}, "00431234567\n"},
      {{"format", "089 123456"}, "+49(89)\t123456\n"},
      {{"format", "089  123456"}, "+49(89)\t 123456\n"},
      {{"format", "0043 1 234567"}, "+43()\t1 234567\n"},
      {{"prefix", "00431"}, "+43(1)\n"},
      {{"prefix", "(089)"}, "+49(89)\n"},
      {{"--suspress", "false", "prefix", "089"}, "+49(089)\n"},
      {{"--plus", "011", "--code", "1", "--vaz", "1", "prefix", "1212"}, "+1(212)\n"},
      {{"--plus", "011", "--code", "1", "--vaz", "1", "dial", "+44 20 7946"}, "01144207946\n"},
      {{"where-phone", "O'Brien"}, " (TAPI.NUMMER Like 'O''Brien%') \n"},
      {{"where-email", "max_m"}, " (TAPI.NUMMER Like '%max_m%') \n"},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Ctl(c.args);
    EXPECT_EQ(result.exit_code, 0) << c.args.back() << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.args.back();
  }
}

TEST_P(FonwerkctlTest, PhonesPrintsTheTableAndTheRowNumber) {
  AddContact({"K1", "Meier", "Hans", "Meier GmbH", "089\t1\r\n\t\tleer\r\n089\t2\tMobil",
              std::nullopt, std::nullopt});
  ProgramResult result = Ctl({"phones", "K1", "--row", "3"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "K1\tMeier/Hans\tMeier GmbH\t\t0891\r\nK1\tMeier/Hans\tMeier GmbH\tMobil\t0892\r\n");
  EXPECT_EQ(result.err, "row=2\n");

  result = Ctl({"phones", "K1"});
  EXPECT_EQ(result.err, "");

  result = Ctl({"phones", "nobody", "--row", "4"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "row=4\n");
}

TEST_P(FonwerkctlTest, RefreshRewritesOneContactsRows) {
  AddHarvestedContacts();
  const std::vector<std::string> before = TapiKeys("K1");
  EXPECT_EQ(before.size(), 4u);  // two lines, the fax, the address

  const ProgramResult again = Ctl({"refresh", "K1"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out, "4\n");
  const std::vector<std::string> after = TapiKeys("K1");
  EXPECT_EQ(after.size(), 4u);
  EXPECT_NE(after, before);  // deleted and written anew
  EXPECT_EQ(TapiKeys("K2").size(), 1u);

  const ProgramResult unknown = Ctl({"refresh", "K9"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_THAT(unknown.err, HasSubstr("K9"));
  EXPECT_EQ(unknown.out, "");
}

TEST_P(FonwerkctlTest, RefreshThatFailsToWriteKeepsTheOldRows) {
  AddHarvestedContacts();
  const std::vector<std::string> before = TapiKeys("K1");
  RejectNumber("01715551234");
  const ProgramResult failed = Ctl({"refresh", "K1"});
  EXPECT_EQ(failed.exit_code, 3);
  EXPECT_THAT(failed.err, HasSubstr("fonwerkctl: "));
  EXPECT_THAT(failed.err, HasSubstr("rejected by test"));
  EXPECT_EQ(TapiKeys("K1"), before);  // the delete was rolled back with the write
}

// A table without a column the harvesting needs stops the refresh before it
// deletes anything, with one line naming table and column.
TEST_P(FonwerkctlTest, RefreshOnATableLackingAColumnKeepsTheRowsAndNamesIt) {
  AddHarvestedContacts();
  const auto all_rows = [this] { return install_->Query("SELECT * FROM TAPI ORDER BY 1"); };
  const std::vector<test::Row> before = all_rows();
  ASSERT_FALSE(before.empty());
  const struct {
    std::string table;
    std::string column;
  } cases[] = {
      {"AD", "TELEFON"},  {"AD", "FAX"},      {"AD", "WEITEMAIL"},   {"AD", "DSN"},
      {"TAPI", "NUMMER"}, {"TAPI", "AD_DSN"}, {"TAPI", "BEMERKUNG"}, {"TAPI", "contactTypeDsn"},
  };
  for (const auto& c : cases) {
    install_->Exec("ALTER TABLE " + c.table + " RENAME COLUMN " + c.column + " TO gone");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"refresh", "K1"}, std::vector<std::string>{"sync", "--full"}}) {
      const ProgramResult result = Ctl(command);
      EXPECT_EQ(result.exit_code, 3) << c.column << ": " << result.err;
      EXPECT_THAT(result.err, HasSubstr("table " + c.table + " has no column " + c.column));
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(all_rows(), before) << c.column;
    }
    install_->Exec("ALTER TABLE " + c.table + " RENAME COLUMN gone TO " + c.column);
  }

  install_->Exec("ALTER TABLE TAPI RENAME TO tapi_away");
  const ProgramResult no_table = Ctl({"refresh", "K1"});
  install_->Exec("ALTER TABLE tapi_away RENAME TO TAPI");
  EXPECT_EQ(no_table.exit_code, 3);
  EXPECT_THAT(no_table.err, HasSubstr("table TAPI cannot be read: "));
  EXPECT_EQ(std::count(no_table.err.begin(), no_table.err.end(), '\n'), 1) << no_table.err;
  EXPECT_EQ(all_rows(), before);

  // Column names match without regard to case (PostgreSQL's are lower case anyway).
  if (GetParam() == Provider::kSQLite) {
    install_->Exec("ALTER TABLE AD RENAME COLUMN TELEFON TO telefon_x");
    install_->Exec("ALTER TABLE AD RENAME COLUMN telefon_x TO telefon");
  }
  const ProgramResult lower = Ctl({"refresh", "K1"});
  EXPECT_EQ(lower.exit_code, 0) << lower.err;
  EXPECT_EQ(lower.out, "4\n");
}

// An installation whose database cannot be opened: one line that names the
// database, status 3, and nothing else happens.
TEST_P(FonwerkctlTest, DatabaseThatCannotBeOpenedIsNamedOnce) {
  const std::string other = install_->path() + "/other";
  std::string name;  // what the message must name
  if (GetParam() == Provider::kSQLite) {
    std::filesystem::create_directories(other + "/SQL");
    std::ofstream(other + "/SQL/garbage.db") << "this is no database, just text\n";
    install::WriteSqliteIni(other, "garbage.db");
    name = other + "/SQL/garbage.db";
  }
  ConnectionString params = ConnectionString::Parse(install_->connect_string());
  if (GetParam() == Provider::kPostgreSQL) {
    ConnectionString missing_db = params;
    missing_db.Set("Database", *params.Get("Database") + "_missing");
    install::WritePostgresIni(other, missing_db.ToString());
    name = *missing_db.Get("Database");
  }
  const std::vector<std::vector<std::string>> commands = {{"refresh", "K1"}, {"config"}};
  for (std::vector<std::string> args : commands) {
    args.insert(args.begin(), {"--install", other});
    const ProgramResult result = test::RunProgram(test::BinaryPath("fonwerkctl"), args);
    EXPECT_EQ(result.exit_code, 3) << result.err;
    EXPECT_THAT(result.err, ::testing::StartsWith("fonwerkctl: "));
    EXPECT_THAT(result.err, HasSubstr(name));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
  }
  if (GetParam() == Provider::kPostgreSQL) {
    // A login the server refuses (here: a role it does not know) is named with
    // the database it was meant for. The test server trusts every local role, so
    // a wrong password cannot be shown; libpq reports it on the same path.
    params.Set("User ID", "fonwerk_no_such_role");
    install::WritePostgresIni(other, params.ToString());
    const ProgramResult refused =
        test::RunProgram(test::BinaryPath("fonwerkctl"), {"--install", other, "refresh", "K1"});
    EXPECT_EQ(refused.exit_code, 3);
    EXPECT_THAT(refused.err, HasSubstr("cannot open the database " + *params.Get("Database")));
    EXPECT_THAT(refused.err, HasSubstr("fonwerk_no_such_role"));
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  }
}

TEST_P(FonwerkctlTest, ConfigSetRejectsNonDigitsAndStoresNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"config", "set", "Active=true", "Plus=+"},
      {"config", "set", "VAZ=null"},
      {"config", "set", "Plus="},
  };
  for (const auto& args : bad) {
    const ProgramResult result = Ctl(args);
    EXPECT_EQ(result.exit_code, 64) << args.back();
    EXPECT_THAT(result.err, HasSubstr(args.back().substr(args.back().find('=') + 1))) << result.err;
  }
  EXPECT_EQ(Ctl({"config"}).out, "Enabled=False\nPlus=00\ncode=49\nVAZ=0\nSuspress=True\n");
  // A country without trunk prefix stores an empty VAZ.
  const ProgramResult empty_vaz = Ctl({"config", "set", "VAZ="});
  EXPECT_EQ(empty_vaz.exit_code, 0) << empty_vaz.err;
  EXPECT_EQ(empty_vaz.out, "Enabled=False\nPlus=00\ncode=49\nVAZ=\nSuspress=True\n");
}

TEST_P(FonwerkctlTest, LookupFindsTheContactBehindANumber) {
  AddHarvestedContacts();
  const std::string k1 = "K1\tMeier/Hans\tMeier GmbH\t";
  const std::string k4 = "K4\tZweit\tMeier GmbH\tMAX.MEIER@EXAMPLE.COM\t\n";
  const struct {
    std::string incoming;
    int exit_code;
    std::string out;
  } cases[] = {
      {"+49 89 123456", 0, k1 + "089123456\tZentrale\n"},
      {"089/123456", 0, k1 + "089123456\tZentrale\n"},
      {"089 123456-99", 0, k1 + "08912345699\tFax\n"},
      {"089 123456-77", 0, k1 + "089123456\tZentrale\n"},  // the switchboard
      {"089 123 999", 0, "K2\tSchulz\t\t089123\tKurz\n"},  // a six-digit prefix
      {"0891 555555", 1, ""},                              // 0891 is too short to count
      {"0891", 0, "K3\tKurz\t\t0891\t\n"},                 // but matches exactly
      {"08912", 1, ""},
      {"max.meier@example.com", 0, k1 + "Max.Meier@Example.com\t\n" + k4},
      {"Max.Meier@Example.com", 0, k1 + "Max.Meier@Example.com\t\n" + k4},
      {"MAX.meier@example.COM", 0, k1 + "Max.Meier@Example.com\t\n" + k4},
      {"meier@example.com", 1, ""},
      {"Max_Meier@Example.com", 1, ""},  // an underscore is no wildcard here
      {"A_B@x.de", 0, "K3\tKurz\t\ta_b@x.de\t\n"},
      {"aXb@x.de", 1, ""},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Ctl({"lookup", c.incoming});
    EXPECT_EQ(result.exit_code, c.exit_code) << c.incoming << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.incoming;
  }
  // The options apply: without Suspress the own country stays international.
  const ProgramResult international = Ctl({"--suspress", "false", "lookup", "+49 89 123456"});
  EXPECT_EQ(international.exit_code, 1);
}

// A URI names the contact of its number, never a shorter stored number that
// its other characters would make (here Bauer's, also in the international
// form an older rebuild wrote); `lookup -` reads every line by the same rule.
TEST_P(FonwerkctlTest, LookupOfAUriNeverNamesAWrongCaller) {
  AddContact(
      {"K5", "Müller", std::nullopt, std::nullopt, "+49 30 1234567", std::nullopt, std::nullopt});
  AddContact(
      {"K6", "Bauer", std::nullopt, std::nullopt, "(+49) 30\t123", std::nullopt, std::nullopt});
  for (const char* key : {"K5", "K6"}) ASSERT_EQ(Ctl({"refresh", key}).exit_code, 0);
  install_->Exec(
      "INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn) VALUES "
      "('OLD', 'K6', '004930123', 'alt', '{1FEB2033-7850-44A0-919C-75BCC50F99B8}')");
  const std::string mueller = "K5\tMüller\t\t0301234567\t\n";
  const std::string bauer = "K6\tBauer\t\t030123\t\n";
  const std::string input =
      "tel:+49-30-1234567\r\n\"Anruf\" <sip:+49301234567@10.0.0.30:5060;user=phone>\n"
      "tel:+49-30-1234567x\nsip:bauer@10.30.1.23\ntel:+49-30-123\n004930123\nwithheld\n";
  const ProgramResult lines = Ctl({"lookup", "-"}, input);
  EXPECT_EQ(lines.exit_code, 0) << lines.err;
  EXPECT_EQ(lines.out, "tel:+49-30-1234567\t1\t" + mueller +
                           "\"Anruf\" <sip:+49301234567@10.0.0.30:5060;user=phone>\t1\t" + mueller +
                           "tel:+49-30-1234567x\t0\nsip:bauer@10.30.1.23\t0\n"
                           "tel:+49-30-123\t1\t" +
                           bauer + "004930123\t1\t" + bauer + "withheld\t0\n");
  const ProgramResult one = Ctl({"lookup", "sip:+49301234567@pbx.example.com"});
  EXPECT_EQ(one.exit_code, 0) << one.err;
  EXPECT_EQ(one.out, mueller);
  EXPECT_EQ(Ctl({"lookup", "sip:anonymous@anonymous.invalid"}).exit_code, 1);
}

TEST_P(FonwerkctlTest, FailuresGiveStatus3AndTheCause) {
  // A missing installation is no failure but a stop, as in fonwerk.
  const ProgramResult missing = test::RunProgram(
      test::BinaryPath("fonwerkctl"), {"--install", install_->path() + "/nowhere", "config"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_THAT(missing.err, ::testing::StartsWith("fonwerkctl: "));
  EXPECT_EQ(missing.out, "");

  install_->Exec("DROP TABLE AD");
  const ProgramResult no_table = Ctl({"phones", "K1"});
  EXPECT_EQ(no_table.exit_code, 3);
  EXPECT_THAT(no_table.err, ::testing::StartsWith("fonwerkctl: "));
}

// --- change capture and the follower ---

// The names of the change capture's objects in the catalog (lower case).
std::set<std::string> CaptureObjects(TestInstall& install) {
  const std::string sql =
      install.provider() == Provider::kSQLite
          ? "SELECT lower(name) FROM sqlite_master WHERE name LIKE 'fonwerk%'"
          : "SELECT relname::text FROM pg_class WHERE relname LIKE 'fonwerk%' UNION ALL "
            "SELECT tgname::text FROM pg_trigger WHERE tgname LIKE 'fonwerk%' UNION ALL "
            "SELECT proname::text FROM pg_proc WHERE proname LIKE 'fonwerk%'";
  std::set<std::string> names;
  for (const test::Row& row : install.Query(sql)) names.insert(row.at(0).value_or(""));
  return names;
}

using reliability::QueuedChanges;

// Enabling twice and disabling twice succeed; the capture and the index it
// made on TAPI survive a full rebuild, which replaces TAPI; disabling leaves
// nothing behind and AD is written as before.
TEST_P(FonwerkctlTest, WatchEnableAndDisableAreIdempotentAndSurviveARebuild) {
  AddHarvestedContacts();
  install_->Exec("DROP INDEX TAPI_AD_DSN");  // the follower needs one: enabling makes it
  for (int round = 0; round < 2; ++round) {
    const ProgramResult enabled = Ctl({"watch", "--enable"});
    EXPECT_EQ(enabled.exit_code, 0) << enabled.err;
    EXPECT_EQ(enabled.out, "change capture enabled\n");
  }
  const std::set<std::string> objects = CaptureObjects(*install_);
  for (const char* name :
       {"fonwerk_ad_changes", "fonwerk_tapi_ad_dsn", "fonwerk_ad_changes_update"}) {
    EXPECT_EQ(objects.count(name), 1u) << name;
  }
  test::TempFolder log_folder("fonwerkctl-watch-log");
  const ProgramResult rebuilt = test::RunProgram(test::BinaryPath("fonwerk"), {install_->path()},
                                                 "", {{"FONWERK_LOG", log_folder.File("log")}});
  ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
  EXPECT_EQ(CaptureObjects(*install_), objects);
  install_->Exec("UPDATE AD SET TELEFON = '0711 1' WHERE DSN = 'K2'");
  EXPECT_EQ(QueuedChanges(*install_), 1);

  for (int round = 0; round < 2; ++round) {
    const ProgramResult disabled = Ctl({"watch", "--disable"});
    EXPECT_EQ(disabled.exit_code, 0) << disabled.err;
    EXPECT_EQ(disabled.out, "change capture disabled\n");
    EXPECT_EQ(CaptureObjects(*install_), std::set<std::string>{});
  }
  install_->Exec("UPDATE AD SET TELEFON = '0711 2' WHERE DSN = 'K2'");
  install_->Exec("DELETE FROM AD WHERE DSN = 'K2'");
}

// The same writes to AD, with and without change capture, return the same
// rows, counts, last insert rowid and errors; the queue records exactly the
// changes of harvested columns.
TEST_P(FonwerkctlTest, WritesToAdReturnTheSameWithChangeCapture) {
  const bool sqlite = GetParam() == Provider::kSQLite;
  auto captured = TestInstall::Create(GetParam());
  const ProgramResult enabled = test::RunProgram(
      test::BinaryPath("fonwerkctl"), {"--install", captured->path(), "watch", "--enable"});
  ASSERT_EQ(enabled.exit_code, 0) << enabled.err;
  const struct {
    std::string sql;
    int recorded;  // queue records the write adds
  } writes[] = {
      {"INSERT INTO AD (DSN, Kennung, TELEFON) VALUES ('W1', 'A', '089 1'), ('W2', 'B', NULL) "
       "RETURNING DSN, Kennung",
       2},
      {"UPDATE AD SET TELEFON = '089 2', FAX = '3' WHERE DSN IN ('W1', 'W2') RETURNING DSN", 2},
      {"UPDATE AD SET TELEFON = '089 2' WHERE DSN = 'W1' RETURNING DSN", 0},  // no change
      {"UPDATE AD SET NOTIZ = 'read by nobody' RETURNING DSN, NOTIZ", 0},
      {"UPDATE AD SET EMAIL = 'a@b.de', WEITEMAIL = 'c@d.de' WHERE DSN = 'W1' RETURNING DSN", 1},
      {"UPDATE AD SET DSN = 'W3' WHERE DSN = 'W2' RETURNING DSN", 2},  // the old and the new key
      {"INSERT INTO AD (DSN) VALUES ('W1')", 0},                       // rejected
      {"UPDATE AD SET DSN = 'W1' WHERE DSN = 'W3'", 0},                // rejected
      {"DELETE FROM AD WHERE DSN IN ('W1', 'nobody') RETURNING DSN", 1},
      {"DELETE FROM AD WHERE DSN = 'nobody' RETURNING DSN", 0},
  };
  int64_t expected_records = 0;
  for (const auto& write : writes) {
    std::vector<std::string> answers[2];
    TestInstall* installs[2] = {install_.get(), captured.get()};
    for (int i = 0; i < 2; ++i) {
      try {
        for (const test::Row& row : installs[i]->Query(write.sql)) {
          for (const auto& value : row) answers[i].push_back(value.value_or("NULL"));
        }
      } catch (const std::exception& error) {
        answers[i].push_back(std::string("error: ") + error.what());
      }
      if (sqlite) {
        const std::vector<test::Row> counts =
            installs[i]->Query("SELECT changes(), last_insert_rowid()");
        for (const auto& value : counts.at(0)) answers[i].push_back(value.value_or("NULL"));
      }
    }
    EXPECT_EQ(answers[0], answers[1]) << write.sql;
    expected_records += write.recorded;
    EXPECT_EQ(QueuedChanges(*captured), expected_records) << write.sql;
  }
}

// A running watcher applies every kind of change of AD, each to exactly its
// contact; an update of a column the harvesting does not read touches nothing.
TEST_P(FonwerkctlTest, WatchAppliesInsertsUpdatesDeletesAndKeyChanges) {
  AddHarvestedContacts();
  // Changed before anything recorded changes: the watcher's start brings it up to date.
  install_->Exec("UPDATE AD SET FAX = '0711 9' WHERE DSN = 'K2'");
  ASSERT_EQ(Ctl({"watch", "--enable"}).exit_code, 0);
  const std::unique_ptr<reliability::Child> watcher = reliability::StartWatcher(install_->path());
  const auto until = [](const std::function<bool()>& done) { return reliability::WaitUntil(done); };
  const auto numbers = [this](const std::string& contact) {
    std::vector<std::string> found;
    for (const test::Row& row : install_->Query("SELECT NUMMER FROM TAPI WHERE AD_DSN = " +
                                                SqlLiteral(contact) + " ORDER BY NUMMER")) {
      found.push_back(row.at(0).value_or(""));
    }
    return found;
  };
  EXPECT_EQ(numbers("K2"), (std::vector<std::string>{"07119", "089123"}));
  const struct {
    std::string sql;
    std::string contact;
    std::vector<std::string> numbers;
  } cases[] = {
      {"INSERT INTO AD (DSN, TELEFON, EMAIL) VALUES ('K5', '0711\t1\tZentrale', 'k5@x.de')",
       "K5",
       {"07111", "k5@x.de"}},
      {"UPDATE AD SET TELEFON = '0711 22\r\n+49 30 3' WHERE DSN = 'K2'",
       "K2",
       {"0303", "071122", "07119"}},
      {"UPDATE AD SET FAX = '0711 4' WHERE DSN = 'K3'", "K3", {"07114", "0891", "a_b@x.de"}},
      {"UPDATE AD SET EMAIL = NULL, WEITEMAIL = 'a@b.de\r\nc@d.de' WHERE DSN = 'K4'",
       "K4",
       {"a@b.de", "c@d.de"}},
      {"UPDATE AD SET DSN = 'K6' WHERE DSN = 'K5'", "K6", {"07111", "k5@x.de"}},
      {"", "K5", {}},  // the old key has no rows left
      {"DELETE FROM AD WHERE DSN = 'K1'", "K1", {}},
  };
  for (const auto& c : cases) {
    if (!c.sql.empty()) install_->Exec(c.sql);
    EXPECT_TRUE(until([&] { return numbers(c.contact) == c.numbers; }))
        << c.sql << ": " << ::testing::PrintToString(numbers(c.contact)) << "\n"
        << watcher->Err();
  }
  const std::vector<std::string> kept = TapiKeys("K2");
  install_->Exec("UPDATE AD SET NOTIZ = 'unread', IDX_NAME = 'Schulze' WHERE DSN = 'K2'");
  EXPECT_TRUE(until([&] { return QueuedChanges(*install_) == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(TapiKeys("K2"), kept);

  // What the watcher made is what a full rebuild makes.
  const std::vector<test::Row> followed = reliability::TapiContent(*install_, false);
  watcher->Kill(SIGTERM);
  EXPECT_EQ(watcher->Wait(std::chrono::seconds(10)), 0) << watcher->Err();
  test::TempFolder log_folder("fonwerkctl-watch-log");
  ASSERT_EQ(test::RunProgram(test::BinaryPath("fonwerk"), {install_->path()}, "",
                             {{"FONWERK_LOG", log_folder.File("log")}})
                .exit_code,
            0);
  EXPECT_EQ(reliability::TapiContent(*install_, false), followed);
}

// A contact whose rows TAPI rejects keeps its old rows and is named once;
// the watcher goes on with the others.
TEST_P(FonwerkctlTest, WatchReportsARejectedContactOnceAndGoesOn) {
  AddHarvestedContacts();
  ASSERT_EQ(Ctl({"watch", "--enable"}).exit_code, 0);
  RejectNumber("0800666");
  const std::vector<std::string> before = TapiKeys("K2");
  const std::unique_ptr<reliability::Child> watcher = reliability::StartWatcher(install_->path());
  install_->Exec("UPDATE AD SET TELEFON = '0800 666' WHERE DSN = 'K2'");
  install_->Exec("UPDATE AD SET TELEFON = '0800 777' WHERE DSN = 'K3'");
  EXPECT_TRUE(reliability::WaitUntil([&] {
    return !install_->Query("SELECT 1 FROM TAPI WHERE AD_DSN = 'K3' AND NUMMER = '0800777'")
                .empty();
  })) << watcher->Err();
  EXPECT_TRUE(reliability::WaitUntil([&] { return reliability::QueuedChanges(*install_) == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(TapiKeys("K2"), before);
  watcher->Kill(SIGTERM);
  EXPECT_EQ(watcher->Wait(std::chrono::seconds(10)), 0);
  const std::string err = watcher->Err();
  EXPECT_THAT(err, HasSubstr("contact K2 were rejected"));
  EXPECT_THAT(err, HasSubstr("rejected by test"));
  EXPECT_EQ(err.find("contact K2"), err.rfind("contact K2")) << err;
}

// Without change capture the watcher says so once and refreshes the whole
// table every --interval seconds.
TEST_P(FonwerkctlTest, WatchWithoutChangeCaptureRefreshesEveryInterval) {
  AddHarvestedContacts();
  reliability::Child watcher(test::BinaryPath("fonwerkctl"),
                             {"--install", install_->path(), "watch", "--interval", "1"});
  install_->Exec("UPDATE AD SET TELEFON = '0711 77' WHERE DSN = 'K3'");
  EXPECT_TRUE(reliability::WaitUntil([&] {
    return !install_->Query("SELECT 1 FROM TAPI WHERE AD_DSN = 'K3' AND NUMMER = '071177'").empty();
  })) << watcher.Err();
  install_->Exec("DELETE FROM AD WHERE DSN = 'K4'");
  EXPECT_TRUE(reliability::WaitUntil([&] { return TapiKeys("K4").empty(); })) << watcher.Err();
  // Enabled meanwhile: the watcher follows the changes from its next round on.
  ASSERT_EQ(Ctl({"watch", "--enable"}).exit_code, 0);
  EXPECT_TRUE(reliability::WaitUntil([&] {
    return watcher.Err().find("following the changes") != std::string::npos;
  })) << watcher.Err();
  install_->Exec("UPDATE AD SET TELEFON = '0711 88' WHERE DSN = 'K3'");
  EXPECT_TRUE(reliability::WaitUntil([&] {
    return !install_->Query("SELECT 1 FROM TAPI WHERE AD_DSN = 'K3' AND NUMMER = '071188'").empty();
  })) << watcher.Err();
  watcher.Kill(SIGTERM);
  EXPECT_EQ(watcher.Wait(std::chrono::seconds(10)), 0);
  const std::string err = watcher.Err();
  EXPECT_EQ(err.find("change capture is not enabled"), err.rfind("change capture is not enabled"))
      << err;
  EXPECT_THAT(err, HasSubstr("fonwerkctl watch: change capture is not enabled on AD"));
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}

INSTANTIATE_TEST_SUITE_P(Providers, FonwerkctlTest, test::BothProviders(), test::ProviderParamName);

// --- sync: the differential refresh ---

constexpr const char* kFaxType = "{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}";

// The rows of TAPI without their keys (BEMERKUNG Null as ''), in one order.
std::vector<test::Row> TapiContent(TestInstall& install) {
  return install.Query(
      "SELECT AD_DSN, NUMMER, COALESCE(BEMERKUNG, ''), contactTypeDsn FROM TAPI "
      "ORDER BY 1, 2, 3, 4");
}

std::set<std::string> TapiRowKeys(TestInstall& install) {
  std::set<std::string> keys;
  for (const test::Row& row : install.Query("SELECT DSN FROM TAPI")) keys.insert(*row.at(0));
  return keys;
}

size_t Missing(const std::set<std::string>& from, const std::set<std::string>& in) {
  return static_cast<size_t>(std::count_if(from.begin(), from.end(),
                                           [&](const std::string& key) { return !in.count(key); }));
}

// What any committed write would change: on SQLite the size and time of the
// database file and its write-ahead log, on PostgreSQL the transaction that
// wrote each row of TAPI and of the side tables.
std::string WriteFootprint(TestInstall& install) {
  if (install.provider() == Provider::kSQLite) {
    const std::string db = *ConnectionString::Parse(install.connect_string()).Get("Data Source");
    std::string footprint;
    for (const std::string& file : {db, db + "-wal"}) {
      std::error_code error;
      const auto size = std::filesystem::file_size(file, error);
      const auto time = std::filesystem::last_write_time(file, error);
      footprint +=
          std::to_string(size) + "@" + std::to_string(time.time_since_epoch().count()) + " ";
    }
    return footprint;
  }
  std::string footprint;
  for (const test::Row& row :
       install.Query("SELECT 'T', DSN, xmin::text FROM TAPI UNION ALL "
                     "SELECT 'S', AD_DSN, xmin::text FROM TAPI_SYNC UNION ALL "
                     "SELECT 'M', NAME, xmin::text FROM TAPI_SYNC_STATE ORDER BY 1, 2")) {
    footprint += *row.at(0) + *row.at(1) + "=" + *row.at(2) + " ";
  }
  return footprint;
}

class SyncTest : public FonwerkctlTest {
 protected:
  // Runs sync --json (and `args`); the summary it prints.
  nlohmann::json Sync(std::vector<std::string> args = {}, int expected_status = 0) {
    args.insert(args.begin(), {"sync", "--json"});
    const ProgramResult result = Ctl(args);
    EXPECT_EQ(result.exit_code, expected_status) << result.err;
    if (expected_status == 0) EXPECT_EQ(result.err, "");
    return nlohmann::json::parse(result.out);
  }

  ProgramResult Rebuild() {
    return test::RunProgram(test::BinaryPath("fonwerk"),
                            {"--log", install_->path() + "/Fonwerk.log", install_->path()});
  }
};

TEST_P(SyncTest, WritesOnlyTheDifferenceAndEndsAsARebuildWould) {
  AddHarvestedContacts();
  nlohmann::json summary = Sync();
  EXPECT_EQ(summary["contacts_compared"], 4);
  EXPECT_EQ(summary["contacts_changed"], 0);   // refresh wrote what sync derives
  EXPECT_TRUE(summary["compared_with_tapi"]);  // nothing was known of TAPI yet

  const struct {
    const char* change;
    std::string sql;
    int changed, inserted, deleted;
  } steps[] = {
      {"a new contact", "INSERT INTO AD (DSN, TELEFON, EMAIL) VALUES ('K5', '030 12345', 'k@x.de')",
       1, 2, 0},
      {"TELEFON",
       "UPDATE AD SET TELEFON = '089\t123456\tZentrale\r\n0171\t5559999\tMobil' "
       "WHERE DSN = 'K1'",
       1, 1, 1},
      {"FAX", "UPDATE AD SET FAX = '089 777' WHERE DSN = 'K2'", 1, 1, 0},
      {"EMAIL", "UPDATE AD SET EMAIL = 'neu@x.de' WHERE DSN = 'K3'", 1, 1, 1},
      {"WEITEMAIL", "UPDATE AD SET WEITEMAIL = 'a@x.de\r\nb@x.de' WHERE DSN = 'K4'", 1, 2, 0},
      {"columns the harvesting does not read", "UPDATE AD SET IDX_NAME = 'Anders', NOTIZ = 'x'", 0,
       0, 0},
      {"a contact deleted", "DELETE FROM AD WHERE DSN = 'K2'", 1, 0, 2},
  };
  for (const auto& step : steps) {
    const std::set<std::string> before = TapiRowKeys(*install_);
    install_->Exec(step.sql);
    const std::string untouched = WriteFootprint(*install_);
    summary = Sync();
    EXPECT_EQ(summary["contacts_compared"], 5)
        << step.change;  // K1..K5, one of them gone at the end
    EXPECT_EQ(summary["contacts_changed"], step.changed) << step.change;
    EXPECT_EQ(summary["rows_inserted"], step.inserted) << step.change;
    EXPECT_EQ(summary["rows_deleted"], step.deleted) << step.change;
    EXPECT_FALSE(summary["compared_with_tapi"]) << step.change;
    // Every other row keeps its key.
    const std::set<std::string> after = TapiRowKeys(*install_);
    EXPECT_EQ(Missing(before, after), static_cast<size_t>(step.deleted)) << step.change;
    EXPECT_EQ(Missing(after, before), static_cast<size_t>(step.inserted)) << step.change;
    if (step.changed == 0) EXPECT_EQ(WriteFootprint(*install_), untouched) << step.change;

    // A second sync right after finds nothing and writes nothing.
    const std::string footprint = WriteFootprint(*install_);
    summary = Sync();
    EXPECT_EQ(summary["contacts_changed"], 0) << step.change;
    EXPECT_EQ(WriteFootprint(*install_), footprint) << step.change;
  }

  // The table is what a rebuild makes of AD; after a rebuild sync compares
  // everything once, finds it equal and keeps the rebuild's keys.
  const std::vector<test::Row> synced = TapiContent(*install_);
  ASSERT_EQ(Rebuild().exit_code, 0);
  EXPECT_EQ(TapiContent(*install_), synced);
  const std::set<std::string> rebuilt = TapiRowKeys(*install_);
  summary = Sync();
  EXPECT_TRUE(summary["compared_with_tapi"]);
  EXPECT_EQ(summary["contacts_changed"], 0);
  EXPECT_EQ(TapiRowKeys(*install_), rebuilt);

  // A contact changed before a rebuild and changed back after it: its rows
  // are the rebuild's, not those its fingerprint was taken of.
  install_->Exec("UPDATE AD SET TELEFON = '040 1' WHERE DSN = 'K1'");
  ASSERT_EQ(Rebuild().exit_code, 0);
  install_->Exec(
      "UPDATE AD SET TELEFON = '089\t123456\tZentrale\r\n0171\t5559999\tMobil' WHERE DSN = 'K1'");
  summary = Sync();
  EXPECT_EQ(summary["contacts_changed"], 1);
  EXPECT_EQ(TapiContent(*install_), synced);
}

// Also: a TAPI without an index on AD_DSN is read in passes over the table.
TEST_P(SyncTest, FullRepairsRowsChangedByHand) {
  AddHarvestedContacts();
  install_->Exec("DROP INDEX TAPI_AD_DSN");
  Sync();
  const std::vector<test::Row> synced = TapiContent(*install_);
  install_->Exec(std::string("UPDATE TAPI SET NUMMER = '999' WHERE AD_DSN = 'K1' AND "
                             "contactTypeDsn = '") +
                 kFaxType + "'");
  install_->Exec("DELETE FROM TAPI WHERE AD_DSN = 'K3' AND NUMMER LIKE '%@%'");
  // A key between the smallest and the largest: sync sees no sign of the edits.
  install_->Exec(
      "INSERT INTO TAPI (DSN, AD_DSN, NUMMER, contactTypeDsn) "
      "SELECT substr(min(DSN), 1, 37) || '~', 'GONE', '0301', 'x' FROM TAPI");
  // Without --full the fingerprints say that nothing changed.
  nlohmann::json summary = Sync();
  EXPECT_EQ(summary["contacts_changed"], 0);
  EXPECT_NE(TapiContent(*install_), synced);

  summary = Sync({"--full"});
  EXPECT_TRUE(summary["compared_with_tapi"]);
  EXPECT_EQ(summary["contacts_compared"], 5);  // four contacts and the one gone
  EXPECT_EQ(summary["contacts_changed"], 3);
  EXPECT_EQ(summary["rows_inserted"], 2);
  EXPECT_EQ(summary["rows_deleted"], 2);
  EXPECT_EQ(TapiContent(*install_), synced);
}

TEST_P(SyncTest, ContactsTheDatabaseRejectsKeepTheirRows) {
  AddHarvestedContacts();
  Sync();
  const std::vector<std::string> k1 = TapiKeys("K1");
  if (GetParam() == Provider::kSQLite) {
    install_->Exec(
        "CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI WHEN NEW.NUMMER = '0301234' "
        "BEGIN SELECT RAISE(ABORT, 'rejected by test'); END");
  } else {
    install_->Exec(
        "CREATE FUNCTION tapi_reject() RETURNS trigger LANGUAGE plpgsql AS "
        "'BEGIN IF NEW.nummer = ''0301234'' THEN "
        "RAISE EXCEPTION ''rejected by test''; END IF; RETURN NEW; END'");
    install_->Exec(
        "CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI "
        "FOR EACH ROW EXECUTE FUNCTION tapi_reject()");
  }
  install_->Exec("UPDATE AD SET TELEFON = '030 1234' WHERE DSN = 'K1'");
  install_->Exec("UPDATE AD SET EMAIL = 'neu@x.de' WHERE DSN = 'K3'");
  const ProgramResult failed = Ctl({"sync"});
  EXPECT_EQ(failed.exit_code, 2);
  EXPECT_THAT(failed.err, HasSubstr("K1"));
  EXPECT_THAT(failed.err, HasSubstr("rejected by test"));
  EXPECT_THAT(failed.out, HasSubstr("1 changed"));
  EXPECT_THAT(failed.out, HasSubstr("1 failed"));
  EXPECT_EQ(TapiKeys("K1"), k1);
  EXPECT_EQ(install_->Query("SELECT NUMMER FROM TAPI WHERE AD_DSN = 'K3' AND NUMMER LIKE '%@%'"),
            (std::vector<test::Row>{{"neu@x.de"}}));

  // The failed contact is tried again by the next sync.
  install_->Exec(GetParam() == Provider::kSQLite ? "DROP TRIGGER tapi_reject"
                                                 : "DROP TRIGGER tapi_reject ON TAPI");
  const nlohmann::json summary = Sync();
  EXPECT_EQ(summary["contacts_changed"], 1);
  EXPECT_EQ(
      install_->Query("SELECT NUMMER FROM TAPI WHERE AD_DSN = 'K1' AND NUMMER = '0301234'").size(),
      1u);
}

// refresh keeps the fingerprint of the contact it rewrote: a contact changed
// and refreshed, then changed back, is found by the next sync, which still
// walks by fingerprints (refresh kept TAPI's marker too).
TEST_P(SyncTest, RefreshKeepsTheFingerprintsOfSync) {
  AddHarvestedContacts();
  Sync();
  const std::vector<test::Row> synced = TapiContent(*install_);
  install_->Exec("UPDATE AD SET TELEFON = '040 1' WHERE DSN = 'K1'");
  ASSERT_EQ(Ctl({"refresh", "K1"}).exit_code, 0);
  install_->Exec(
      "UPDATE AD SET TELEFON = '089\t123456\tZentrale\r\n0171\t5551234\tMobil' "
      "WHERE DSN = 'K1'");
  const nlohmann::json summary = Sync();
  EXPECT_FALSE(summary["compared_with_tapi"]);
  EXPECT_EQ(summary["contacts_changed"], 1);
  EXPECT_EQ(TapiContent(*install_), synced);
}

// sync, refresh and fonwerk share the installation's one-writer lock: held
// here by the test, as a running rebuild or sync holds it.
TEST_P(SyncTest, SyncRefreshAndRebuildShareOneLock) {
  AddHarvestedContacts();
  const std::vector<test::Row> rows = TapiContent(*install_);
  auto lock = std::make_unique<RebuildLock>();
  ASSERT_EQ(lock->TryAcquire(install_->connect_string()), RebuildLock::Outcome::kAcquired);

  const ProgramResult sync = Ctl({"sync"});
  EXPECT_EQ(sync.exit_code, 1);
  EXPECT_THAT(sync.err, HasSubstr("being rebuilt"));
  EXPECT_EQ(sync.out, "");
  EXPECT_EQ(Rebuild().exit_code, 1);
  const ProgramResult refresh = Ctl({"refresh", "K1", "--wait", "0"});
  EXPECT_EQ(refresh.exit_code, 1);
  EXPECT_THAT(refresh.err, HasSubstr("being rebuilt"));
  EXPECT_EQ(TapiContent(*install_), rows);

  // refresh waits for the lock.
  reliability::Child waiting(test::BinaryPath("fonwerkctl"),
                             {"--install", install_->path(), "refresh", "K1", "--wait", "30"});
  EXPECT_EQ(waiting.Wait(std::chrono::milliseconds(700)), std::nullopt);
  lock.reset();
  EXPECT_EQ(waiting.Wait(std::chrono::seconds(30)), 0) << waiting.Err();
  EXPECT_EQ(waiting.Out(), "4\n");
}

INSTANTIATE_TEST_SUITE_P(Providers, SyncTest, test::BothProviders(), test::ProviderParamName);

TEST(FonwerkctlProgramTest, HelpExplainsEveryCommand) {
  const ProgramResult help = test::RunProgram(test::BinaryPath("fonwerkctl"), {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* command :
       {"config set", "dial", "format", "prefix", "phones", "--row", "where-phone", "where-email",
        "refresh", "lookup", "--install", "sync", "--full", "--wait", "--plus", "--code", "--vaz",
        "--suspress", "Exit status", "watch --enable | --disable", "watch [--interval SECONDS]",
        "With --watch"}) {
    EXPECT_THAT(help.out, HasSubstr(command));
  }
  const ProgramResult bad = test::RunProgram(test::BinaryPath("fonwerkctl"), {"dial"});
  EXPECT_EQ(bad.exit_code, 64);
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
}

TEST(FonwerkctlProgramTest, VersionAndUnknownCommand) {
  const ProgramResult version = test::RunProgram(test::BinaryPath("fonwerkctl"), {"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "fonwerkctl " FONWERK_VERSION "\n");
  EXPECT_EQ(version.err, "");

  const ProgramResult unknown = test::RunProgram(test::BinaryPath("fonwerkctl"), {"nosuchcmd"});
  EXPECT_EQ(unknown.exit_code, 64);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "fonwerkctl: unknown command 'nosuchcmd' (see fonwerkctl --help)\n");
}

TEST(FonwerkctlProgramTest, WithoutInstallTheRegistryNamesTheInstallation) {
  auto install = TestInstall::Create(Provider::kSQLite, {.land = "AUT"});
  const std::string registry = install->path() + "/registry.ini";
  std::ofstream(registry) << "[HKEY_LOCAL_MACHINE\\Software\\Korvana]\nPath=" << install->path()
                          << "\n";
  const ProgramResult result = test::RunProgram(test::BinaryPath("fonwerkctl"), {"config"}, "",
                                                {{"KORVANA_REGISTRY", registry}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("code=43\n"));

  const ProgramResult none =
      test::RunProgram(test::BinaryPath("fonwerkctl"), {"config"}, "",
                       {{"KORVANA_REGISTRY", install->path() + "/none.ini"}});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_THAT(none.err, HasSubstr("--install"));
  // No run log is written beside the program.
  EXPECT_FALSE(std::filesystem::exists(
      std::filesystem::path(test::BinaryPath("fonwerkctl")).parent_path() / "Fonwerk.log"));
}

// An installation that cannot be found stops fonwerkctl with the status that
// fonwerk gives for the same cause, and one line that says what is missing.
TEST(FonwerkctlProgramTest, MissingInstallationGivesFonwerksStatus) {
  test::TempFolder folder("fonwerkctl-missing");
  std::filesystem::create_directories(folder.File("bare"));  // no SQL/SQL.INI in it
  std::filesystem::create_directories(folder.File("half/SQL"));
  const test::EnvOverrides env = {{"KORVANA_REGISTRY", folder.File("no-registry.ini")},
                                  {"FONWERK_LOG", folder.File("Fonwerk.log")}};
  const struct {
    const char* cause;
    std::string path;  // empty: from the registry, which names none
    std::string said;  // a part of fonwerkctl's line
  } cases[] = {
      {"no path", "", "--install PATH"},
      {"no folder", folder.File("none"), folder.File("none") + "/SQL/SQL.INI"},
      {"no SQL folder", folder.File("bare"), folder.File("bare") + "/SQL/SQL.INI"},
      {"no SQL.INI", folder.File("half"), folder.File("half") + "/SQL/SQL.INI"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cause);
    const std::vector<std::string> batch_args =
        c.path.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.path};
    const ProgramResult batch = test::RunProgram(test::BinaryPath("fonwerk"), batch_args, "", env);
    EXPECT_EQ(batch.exit_code, 1) << batch.err;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"config"}, std::vector<std::string>{"lookup", "089 1"}}) {
      std::vector<std::string> args;
      if (!c.path.empty()) args = {"--install", c.path};
      args.insert(args.end(), command.begin(), command.end());
      const ProgramResult ctl = test::RunProgram(test::BinaryPath("fonwerkctl"), args, "", env);
      EXPECT_EQ(ctl.exit_code, batch.exit_code) << command.front() << ": " << ctl.err;
      EXPECT_EQ(ctl.out, "");
      EXPECT_THAT(ctl.err, ::testing::StartsWith("fonwerkctl: "));
      EXPECT_THAT(ctl.err, HasSubstr(c.said));
      EXPECT_EQ(std::count(ctl.err.begin(), ctl.err.end(), '\n'), 1) << ctl.err;
    }
  }
}

// Other failures to open the installation stay failures (status 3).
TEST(FonwerkctlProgramTest, UnusableSqlIniIsAFailure) {
  test::TempFolder folder("fonwerkctl-ini");
  std::filesystem::create_directories(folder.File("SQL"));
  folder.Write("SQL/SQL.INI", "[Database]\nProvider=Oracle\n");
  const ProgramResult ctl =
      test::RunProgram(test::BinaryPath("fonwerkctl"), {"--install", folder.path(), "config"});
  EXPECT_EQ(ctl.exit_code, 3) << ctl.err;
  EXPECT_THAT(ctl.err, HasSubstr("Oracle"));
}

}  // namespace
}  // namespace fonwerk
