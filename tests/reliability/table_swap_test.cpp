// The rebuild that fills a new TAPI and swaps it in, run through the real
// program on both providers: the new table carries the old one's whole
// definition (compared in the catalog before and after), the checks of the
// old table still reject a contact's rows as that contact's, the rebuild
// runs in place (and says so once) where a swap would break what depends on
// TAPI, and a SIGKILL in the filling, the index builds or the swap leaves the
// old table complete with its definition.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"

namespace fonwerk::reliability {
namespace {

constexpr const char* kInPlace = "Rebuild in place|";

// The catalog's description of TAPI: every entry of sqlite_master with its
// text and the statistics rows; on PostgreSQL columns, constraints, indexes,
// triggers, owner, rights and comment.
std::vector<test::Row> Catalog(TestInstall& install) {
  if (install.provider() == Provider::kSQLite) {
    std::vector<test::Row> rows = install.Query(
        "SELECT type, name, tbl_name, sql FROM sqlite_master WHERE tbl_name = 'TAPI' "
        "ORDER BY type, name");
    if (install.Query("SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").empty()) {
      return rows;
    }
    for (test::Row& row : install.Query("SELECT tbl, idx, stat FROM sqlite_stat1 "
                                        "WHERE tbl = 'TAPI' ORDER BY idx")) {
      rows.push_back(std::move(row));
    }
    return rows;
  }
  std::vector<test::Row> rows;
  for (const char* sql : {
           "SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull::text, "
           "pg_get_expr(d.adbin, d.adrelid), col_description(a.attrelid, a.attnum) "
           "FROM pg_attribute a LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid "
           "AND d.adnum = a.attnum WHERE a.attrelid = 'tapi'::regclass AND a.attnum > 0 "
           "AND NOT a.attisdropped ORDER BY a.attnum",
           "SELECT conname, pg_get_constraintdef(oid) FROM pg_constraint "
           "WHERE conrelid = 'tapi'::regclass ORDER BY conname",
           "SELECT pg_get_indexdef(indexrelid) FROM pg_index "
           "WHERE indrelid = 'tapi'::regclass ORDER BY 1",
           "SELECT pg_get_triggerdef(oid) FROM pg_trigger "
           "WHERE tgrelid = 'tapi'::regclass AND NOT tgisinternal ORDER BY 1",
           "SELECT pg_get_userbyid(relowner), obj_description(oid, 'pg_class'), "
           "relpersistence::text FROM pg_class WHERE oid = 'tapi'::regclass",
           "SELECT pg_get_userbyid(a.grantee), a.privilege_type, a.is_grantable::text "
           "FROM pg_class c, aclexplode(c.relacl) a WHERE c.oid = 'tapi'::regclass "
           "ORDER BY 1, 2"}) {
    for (test::Row& row : install.Query(sql)) rows.push_back(std::move(row));
    rows.push_back({"--"});
  }
  return rows;
}

// Tables the rebuild makes for itself must never outlive it.
std::vector<test::Row> LeftOverTables(TestInstall& install) {
  return install.Query(install.provider() == Provider::kSQLite
                           ? "SELECT name FROM sqlite_master WHERE name LIKE 'fonwerk_new%'"
                           : "SELECT relname FROM pg_class WHERE relname LIKE 'fonwerk_new%'");
}

int InPlaceLines(const ProgramCopy& program) {
  int lines = 0;
  for (const std::string& line : program.LogTexts()) lines += line.starts_with(kInPlace) ? 1 : 0;
  return lines;
}

std::string RoleName(const std::string& what) {
  static int counter = 0;
  return "fw_" + what + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

// Roles are the server's, not the database's: they go when the test ends.
class Roles {
 public:
  explicit Roles(TestInstall& install) : install_(install) {}
  ~Roles() {
    for (const std::string& role : roles_) {
      try {
        install_.Exec("REASSIGN OWNED BY " + role + " TO CURRENT_USER");
        install_.Exec("DROP OWNED BY " + role);
        install_.Exec("DROP ROLE " + role);
      } catch (const std::exception& error) {
        std::cerr << "role " << role << " stays: " << error.what() << "\n";
      }
    }
  }
  std::string Create(const std::string& what) {
    roles_.push_back(RoleName(what));
    install_.Exec("CREATE ROLE " + roles_.back());
    return roles_.back();
  }

 private:
  TestInstall& install_;
  std::vector<std::string> roles_;
};

class TableSwapTest : public ::testing::TestWithParam<Provider> {
 protected:
  bool sqlite() const { return GetParam() == Provider::kSQLite; }
};

// A TAPI dressed up beyond the shipped schema comes back exactly as it was,
// and its insert trigger fires for every new row.
TEST_P(TableSwapTest, NewTableCarriesTheWholeDefinition) {
  auto install = TestInstall::Create(GetParam());
  Roles roles(*install);
  AddContacts(*install, 300);
  install->Exec("CREATE TABLE tapi_audit (nummer VARCHAR(255))");
  install->Exec("CREATE INDEX tapi_bemerkung ON TAPI (BEMERKUNG) WHERE BEMERKUNG IS NOT NULL");
  install->Exec("CREATE UNIQUE INDEX tapi_contact_number ON TAPI (AD_DSN, NUMMER)");
  install->Exec("CREATE INDEX tapi_type_number ON TAPI (contactTypeDsn, NUMMER DESC)");
  if (sqlite()) {
    // (Insert triggers make SQLite rebuild in place: see DependentsOfTapi.)
    install->Exec("CREATE TRIGGER tapi_no_update BEFORE UPDATE OF NUMMER ON TAPI "
                  "BEGIN SELECT RAISE(ABORT, 'no updates'); END");
    install->Exec("ANALYZE");
  } else {
    install->Exec("CREATE FUNCTION tapi_audit() RETURNS trigger LANGUAGE plpgsql AS "
                  "'BEGIN INSERT INTO tapi_audit VALUES (NEW.nummer); RETURN NEW; END'");
    install->Exec("CREATE TRIGGER tapi_audit_insert AFTER INSERT ON TAPI FOR EACH ROW "
                  "EXECUTE FUNCTION tapi_audit()");
    install->Exec("ALTER TABLE TAPI ADD CONSTRAINT tapi_number_length "
                  "CHECK (length(NUMMER) < 200)");
    install->Exec("COMMENT ON TABLE TAPI IS 'reverse lookup'");
    install->Exec("COMMENT ON COLUMN TAPI.NUMMER IS 'digits or address'");
    const std::string owner = roles.Create("owner");
    const std::string reader = roles.Create("reader");
    const std::string writer = roles.Create("writer");
    install->Exec("ALTER TABLE TAPI OWNER TO " + owner);
    install->Exec("GRANT SELECT ON TAPI TO " + reader);
    install->Exec("GRANT SELECT, INSERT ON TAPI TO " + writer + " WITH GRANT OPTION");
    install->Exec("GRANT SELECT ON TAPI TO PUBLIC");
  }
  ReplaceTapi(*install, 5);
  const std::vector<test::Row> before = Catalog(*install);
  install->Exec("DELETE FROM tapi_audit");

  ProgramCopy program;
  const test::ProgramResult run = program.Run(install->path());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(InPlaceLines(program), 0);
  EXPECT_EQ(Catalog(*install), before);
  EXPECT_TRUE(LeftOverTables(*install).empty());
  EXPECT_EQ(TapiContent(*install, false).size(), 1200u);
  if (sqlite()) {
    // The update trigger came back and is in force.
    EXPECT_THROW(install->Exec("UPDATE TAPI SET NUMMER = '1' WHERE rowid = 1"), std::exception);
  }
  if (!sqlite()) {
    EXPECT_EQ(install->Query("SELECT count(*) FROM tapi_audit"), std::vector<test::Row>{{"1200"}});
  }
  if (sqlite()) {
    EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});
  }

  // The second rebuild starts from the swapped table and ends the same.
  ASSERT_EQ(program.Run(install->path()).exit_code, 0);
  EXPECT_EQ(Catalog(*install), before);
}

// The old table's unique index is in force while the rows are stored: the
// contact that breaks it is reported and passed over, the others stay.
TEST_P(TableSwapTest, UniqueIndexRejectsTheContactThatBreaksIt) {
  auto install = TestInstall::Create(GetParam());
  AddContacts(*install, 40);
  install->Exec("CREATE UNIQUE INDEX tapi_contact_number ON TAPI (AD_DSN, NUMMER)");
  install->Exec("INSERT INTO AD (DSN, Kennung, TELEFON) VALUES ('TWICE', '00000020x', "
                "'089 777' || " + std::string(sqlite() ? "char(13) || char(10)" : "chr(13) || chr(10)") +
                " || '089 777')");
  ProgramCopy program;
  const test::ProgramResult run = program.Run(install->path());
  EXPECT_EQ(run.exit_code, 2) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Fehlgeschlagene Kontakte: 1"));
  if (!sqlite()) {
    EXPECT_THAT(run.err, HasSubstr("AD_DSN TWICE"));
  }
  EXPECT_EQ(InPlaceLines(program), 0);
  EXPECT_TRUE(install->Query("SELECT * FROM TAPI WHERE AD_DSN = 'TWICE'").empty());
  EXPECT_EQ(TapiContent(*install, false).size(), 160u);
}

// What depends on TAPI decides between the swap and the rebuild in place.
TEST_P(TableSwapTest, DependentsOfTapi) {
  struct Case {
    const char* name;
    std::vector<std::string> sqlite;  // none: the case is PostgreSQL's only
    std::vector<std::string> postgres;
    bool in_place_sqlite;
    bool in_place_postgres;
  };
  const std::string view = "CREATE VIEW tapi_numbers AS SELECT AD_DSN, NUMMER FROM TAPI";
  const std::string note = "CREATE TABLE tapi_note (dsn VARCHAR(38) REFERENCES TAPI (DSN), note TEXT)";
  const std::vector<Case> cases = {
      // SQLite resolves a view's names when it is used: the swap leaves it working.
      {"view", {view}, {view}, false, true},
      {"foreign key of another table", {note}, {note}, true, true},
      // Both resolve the name in a trigger body when it runs.
      {"trigger of another table that writes into TAPI",
       {"CREATE TABLE feed (n TEXT)",
        "CREATE TRIGGER feed_tapi AFTER INSERT ON feed BEGIN "
        "INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('{F}', 'feed', NEW.n); END"},
       {"CREATE TABLE feed (n TEXT)",
        "CREATE FUNCTION feed_tapi() RETURNS trigger LANGUAGE plpgsql AS 'BEGIN "
        "INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES (''{F}'', ''feed'', NEW.n); RETURN NEW; END'",
        "CREATE TRIGGER feed_tapi AFTER INSERT ON feed FOR EACH ROW EXECUTE FUNCTION feed_tapi()"},
       false,
       false},
      {"sequence owned by a column", {}, {"ALTER TABLE TAPI ADD COLUMN serial_no SERIAL"}, false,
       true},
      {"insert trigger",
       {"CREATE TABLE tapi_audit (n TEXT)",
        "CREATE TRIGGER tapi_audit AFTER INSERT ON TAPI BEGIN INSERT INTO tapi_audit VALUES (NEW.NUMMER); END"},
       {},
       true,
       false},
      {"rule", {}, {"CREATE RULE tapi_keep AS ON UPDATE TO TAPI DO INSTEAD NOTHING"}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string>& statements = sqlite() ? c.sqlite : c.postgres;
    if (statements.empty()) continue;
    auto install = TestInstall::Create(GetParam());
    AddContacts(*install, 25);
    for (const std::string& sql : statements) install->Exec(sql);
    const std::vector<test::Row> before = Catalog(*install);
    ProgramCopy program;
    const test::ProgramResult run = program.Run(install->path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const bool in_place = sqlite() ? c.in_place_sqlite : c.in_place_postgres;
    EXPECT_EQ(InPlaceLines(program), in_place ? 1 : 0);
    if (in_place) {
      // Said once, just before the first contact line.
      const std::vector<std::string> lines = program.LogTexts();
      const auto first_contact = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
        return ContactIndex(line) == 0;
      });
      ASSERT_NE(first_contact, lines.begin());
      EXPECT_THAT(*(first_contact - 1), StartsWith(kInPlace));
    }
    EXPECT_EQ(Catalog(*install), before);
    EXPECT_TRUE(LeftOverTables(*install).empty());
    EXPECT_EQ(TapiContent(*install, false).size(), 100u);
    if (statements.front() == view) {
      EXPECT_EQ(install->Query("SELECT count(*) FROM tapi_numbers"), std::vector<test::Row>{{"100"}});
    }
    if (std::string(c.name).starts_with("trigger")) {
      install->Exec("INSERT INTO feed VALUES ('0815')");
      EXPECT_EQ(install->Query("SELECT AD_DSN FROM TAPI WHERE NUMMER = '0815'"),
                std::vector<test::Row>{{"feed"}});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Providers, TableSwapTest, test::BothProviders(), test::ProviderParamName);

// --- SIGKILL while the new table is filled, indexed and swapped in ---

uint32_t Seed() {
  if (const char* text = std::getenv("FONWERK_RELIABILITY_SEED"); text != nullptr && *text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  }
  return std::random_device{}();
}

// The statement the rebuild's PostgreSQL session is running, or "".
std::string ActiveStatement(TestInstall& install) {
  const std::vector<test::Row> rows = install.Query(
      "SELECT query FROM pg_stat_activity WHERE datname = current_database() "
      "AND pid <> pg_backend_pid() AND state = 'active' AND backend_type = 'client backend'");
  for (const test::Row& row : rows) {
    if (row.at(0) && !row.at(0)->starts_with("Select * From AD")) return *row.at(0);
  }
  return {};
}

void WaitForSessionsToEnd(TestInstall& install) {
  for (int i = 0; i < 600; ++i) {
    const auto others = install.Query(
        "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
        "AND pid <> pg_backend_pid()");
    if (others.at(0).at(0) == std::optional<std::string>("0")) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  FAIL() << "the killed program's sessions did not end within 30 s";
}

class SwapKillTest : public ::testing::TestWithParam<Provider> {};

TEST_P(SwapKillTest, KillInTheFillIndexBuildOrSwapKeepsTheOldTable) {
  const bool sqlite = GetParam() == Provider::kSQLite;
  constexpr int kContacts = kSanitized ? 4000 : 20000;
  constexpr int kKills = kSanitized ? 8 : 16;
  auto install = TestInstall::Create(GetParam());
  AddContacts(*install, kContacts);
  install->Exec("CREATE INDEX tapi_bemerkung ON TAPI (BEMERKUNG, NUMMER)");
  install->Exec("CREATE INDEX tapi_type ON TAPI (contactTypeDsn, AD_DSN)");
  ProgramCopy program;

  // A complete run, for the new table and for the time its end takes.
  Child complete(program.program(), {install->path()});
  LogFollower follow(program.log_path());
  Clock::time_point last_contact{};
  while (!complete.Ended()) {
    for (const std::string& line : follow.NewLines()) {
      if (ContactIndex(line) == kContacts - 1) last_contact = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const auto finish = Clock::now() - last_contact;
  ASSERT_EQ(complete.Wait(std::chrono::seconds(1)), 0) << complete.Err();
  const std::vector<test::Row> new_table = TapiContent(*install, false);
  ASSERT_EQ(new_table.size(), 4u * kContacts);
  ReplaceTapi(*install, 7);
  const std::vector<test::Row> old_table = TapiContent(*install, true);
  const std::vector<test::Row> definition = Catalog(*install);

  const uint32_t seed = Seed();
  std::mt19937 random(seed);
  const auto finish_us = std::chrono::duration_cast<std::chrono::microseconds>(finish).count();
  std::cout << "seed " << seed << " (FONWERK_RELIABILITY_SEED), end of the run " << finish_us / 1000
            << " ms after the last contact\n";
  // PostgreSQL: the statement to kill in; SQLite: a moment after the walk.
  const std::vector<std::string> targets = {"COPY", "CREATE INDEX", "ANALYZE", "DROP TABLE",
                                            "RENAME"};
  std::map<std::string, int> hits;
  int old_kept = 0;
  int killed = 0;
  for (int attempt = 0; killed < kKills && attempt < 2 * kKills; ++attempt) {
    const std::string target = sqlite ? "" : targets[attempt % targets.size()];
    const auto delay = std::chrono::microseconds(
        std::uniform_int_distribution<int64_t>(0, std::max<int64_t>(finish_us, 1))(random));
    program.RemoveLog();
    Child child(program.program(), {install->path()});
    LogFollower log(program.log_path());
    bool aimed = false;
    std::string seen;
    while (!aimed && !child.Ended()) {
      if (sqlite) {
        for (const std::string& line : log.NewLines()) aimed = aimed || ContactIndex(line) == kContacts - 1;
        if (aimed) std::this_thread::sleep_for(delay);
      } else {
        seen = ActiveStatement(*install);
        aimed = seen.find(target) != std::string::npos;
      }
      if (!aimed) std::this_thread::sleep_for(std::chrono::microseconds(sqlite ? 200 : 0));
    }
    child.Kill(SIGKILL);
    ASSERT_TRUE(child.Wait(std::chrono::seconds(30)).has_value());
    if (!sqlite) WaitForSessionsToEnd(*install);
    if (!child.Signalled()) {
      EXPECT_EQ(TapiContent(*install, false), new_table);
      ReplaceTapi(*install, 7);
      continue;
    }
    ++killed;
    ++hits[sqlite ? "after the walk" : target];
    EXPECT_TRUE(LeftOverTables(*install).empty());
    EXPECT_EQ(Catalog(*install), definition) << "kill " << attempt << " in " << seen;
    if (sqlite) {
      EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});
    }
    if (TapiContent(*install, true) == old_table) {
      ++old_kept;
      continue;
    }
    // Only a kill after the commit may find the new table.
    EXPECT_EQ(TapiContent(*install, false), new_table) << "kill " << attempt << " in " << seen;
    ReplaceTapi(*install, 7);
  }
  for (const auto& [where, count] : hits) std::cout << "  " << count << " kills in " << where << "\n";
  std::cout << "  " << old_kept << " kills left the old table\n";
  EXPECT_GE(killed, kKills / 2);
  EXPECT_GE(old_kept, killed / 2);
  if (!sqlite) {
    EXPECT_GE(hits["COPY"], 1);
    EXPECT_GE(hits["CREATE INDEX"], 1);
  }
  ExpectCompleteRebuild(program, *install, new_table);
}

INSTANTIATE_TEST_SUITE_P(Providers, SwapKillTest, test::BothProviders(), test::ProviderParamName);

}  // namespace
}  // namespace fonwerk::reliability
