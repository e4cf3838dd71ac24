// The data-access contract, run unchanged over both providers: every test gets
// a database of its own (a fresh SQLite file, or a fresh database on the test
// PostgreSQL server named by FONWERK_TEST_PG).

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "base/errors.h"
#include "com/ado.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "tests/support/test_database.h"

namespace fonwerk::ado {
namespace {

namespace fs = std::filesystem;

using test::Provider;
using test::TestDatabase;

// Statements whose form differs between the providers.
struct Dialect {
  std::string auto_key_column;              // a key the database fills itself
  std::vector<std::string> reject_trigger;  // rejects TAPI rows whose NUMMER is 'bad'
};

Dialect DialectOf(const std::string& provider) {
  if (provider == "SQLite") {
    return {"ID INTEGER PRIMARY KEY",
            {"CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI WHEN NEW.NUMMER = 'bad' "
             "BEGIN SELECT RAISE(ABORT, 'number rejected'); END"}};
  }
  return {"ID SERIAL PRIMARY KEY",
          {"CREATE FUNCTION tapi_reject() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
           "IF NEW.nummer = 'bad' THEN RAISE EXCEPTION 'number rejected'; END IF; "
           "RETURN NEW; END $$",
           "CREATE TRIGGER tapi_reject BEFORE INSERT ON TAPI FOR EACH ROW "
           "EXECUTE FUNCTION tapi_reject()"}};
}

const char* const kSchema[] = {
    "CREATE TABLE AD (DSN VARCHAR(38) NOT NULL PRIMARY KEY, Kennung VARCHAR(20), TELEFON TEXT, "
    "FAX VARCHAR(60), EMAIL VARCHAR(120), WEITEMAIL TEXT, IDX_NAME VARCHAR(60), "
    "IDX_NAME2 VARCHAR(60), IDX_FIRMA VARCHAR(60))",
    "CREATE TABLE TAPI (DSN VARCHAR(38) NOT NULL PRIMARY KEY, AD_DSN VARCHAR(38) NOT NULL, "
    "NUMMER VARCHAR(50) NOT NULL, BEMERKUNG VARCHAR(100), "
    "contactTypeDsn CHAR(38) NOT NULL DEFAULT '')",
    "CREATE TABLE STD (Land VARCHAR(3))",
    "CREATE TABLE postorte (alort VARCHAR(12) NOT NULL PRIMARY KEY, oname VARCHAR(60), "
    "ozusatz VARCHAR(3))",
    "CREATE TABLE postplz (alort VARCHAR(12) NOT NULL, vorwahl VARCHAR(10))",
    "INSERT INTO STD (Land) VALUES ('AUT')",
    "INSERT INTO postorte VALUES ('land0049', 'Deutschland', 'DEU'), "
    "('land0043', 'Oesterreich', 'AUT'), ('land0041', 'Schweiz', 'CHE'), "
    "('land0599', 'Curaçao', NULL), ('land0056', 'O''Higgins', 'OHI'), "
    "('ort80331', 'Muenchen', 'DEU')",
    "INSERT INTO postplz VALUES ('land0049', '49'), ('land0043', '43'), ('land0041', '41'), "
    "('land0599', '599'), ('land0056', '56'), ('ort80331', '089')",
};

const char kCountryQuery[] =
    "SELECT RIGHT(postorte.alort,4) AS Id, postorte.oname AS Land, postorte.ozusatz AS LandKurz, "
    "postplz.vorwahl As Vorwahl FROM postplz INNER JOIN postorte ON postplz.alort = "
    "postorte.alort WHERE postorte.alort LIKE 'land%' ORDER BY postorte.oname ";

// Text of a value for comparisons; Null shows as "<null>".
std::string Show(const Variant& value) { return value.IsNull() ? "<null>" : value.ToText(); }

// ------------------------------------------------------------------ fixture

class AdoContractTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    conn_.SetConnectionString(db_->connect_string());
    conn_.Open();
    for (const char* sql : kSchema) conn_.Execute(sql);
  }

  void TearDown() override {
    conn_.Close();
    ResetSessionPool();
    db_.reset();
  }

  // All rows of `sql` as texts, read through a static recordset.
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    Recordset rs;
    rs.Open(sql, conn_, CursorType::kStatic);
    std::vector<std::vector<std::string>> rows;
    for (; !rs.Eof(); rs.MoveNext()) rows.push_back(CurrentRow(rs));
    return rows;
  }
  static std::vector<std::string> CurrentRow(Recordset& rs) {
    std::vector<std::string> row;
    for (int32_t i = 0; i < rs.FieldCount(); ++i) row.push_back(Show(rs.Fields(i).Value()));
    return row;
  }
  int64_t Count(const std::string& table) {
    Recordset rs;
    rs.Open("SELECT count(*) FROM " + table, conn_);
    return rs.Fields(0).Value().ToInteger();
  }
  std::set<std::string> Numbers() {
    std::set<std::string> numbers;
    for (const auto& row : Rows("SELECT NUMMER FROM TAPI")) numbers.insert(row[0]);
    return numbers;
  }

  using Row = std::vector<std::pair<std::string, Variant>>;
  static Row TapiRow(const std::string& dsn, const std::string& nummer) {
    return {{"DSN", dsn}, {"AD_DSN", "{A}"}, {"NUMMER", nummer}};
  }
  // Rows added to a table recordset and taken over as one batch.
  RowBatch Batch(const std::string& table, const std::vector<Row>& rows) {
    Recordset rs;
    rs.OpenEmptyTable(table, conn_);
    for (const Row& row : rows) {
      rs.AddNew();
      for (const auto& [name, value] : row) rs.Fields(name).SetValue(value);
    }
    return rs.TakeAddedRows();
  }
  // Stores the batches and returns every failure, thrown or deferred.
  std::vector<StoreFailure> StoreAll(std::vector<std::pair<std::string, RowBatch>> batches) {
    std::vector<StoreFailure> failures;
    for (auto& [tag, batch] : batches) {
      try {
        conn_.session().StoreRows(std::move(batch), tag);
      } catch (const DbError& error) {
        EXPECT_EQ(error.kind(), DbError::Kind::kStatement) << error.what();
        failures.push_back({tag, error.description()});
      }
    }
    conn_.FlushStores();
    for (StoreFailure& failure : conn_.TakeStoreFailures()) failures.push_back(std::move(failure));
    return failures;
  }

  std::unique_ptr<TestDatabase> db_;
  Connection conn_;
};

// Expects `action` to throw DbError of `kind` whose text holds `fragment`.
void ExpectDbError(const std::function<void()>& action, DbError::Kind kind,
                   const std::string& fragment) {
  try {
    action();
    ADD_FAILURE() << "no error; expected one containing: " << fragment;
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), kind) << error.what();
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

// -------------------------------------------------------------------- tests

TEST_P(AdoContractTest, CountryQueryRunsUnchangedAndFiltersToTheOwnCountry) {
  Recordset std_rs;
  std_rs.Open("SELECT * FROM STD", conn_, CursorType::kStatic);
  EXPECT_EQ(std_rs.Fields("LAND").Value().ToText(), "AUT");

  EXPECT_EQ(Rows(kCountryQuery),
            (std::vector<std::vector<std::string>>{{"0599", "Curaçao", "<null>", "599"},
                                                   {"0049", "Deutschland", "DEU", "49"},
                                                   {"0056", "O'Higgins", "OHI", "56"},
                                                   {"0043", "Oesterreich", "AUT", "43"},
                                                   {"0041", "Schweiz", "CHE", "41"}}));
  Recordset land;
  land.Open(kCountryQuery, conn_, CursorType::kStatic);
  land.SetFilter(Variant(int32_t{0}));
  land.SetFilter("LandKurz='" + std_rs.Fields("Land").Value().ToText() + "'");
  ASSERT_FALSE(land.Eof());
  EXPECT_EQ(land.Fields(3).Value().ToText(), "43");
  land.SetFilter(Variant(int32_t{0}));
  EXPECT_EQ(land.Fields("land").Value().ToText(), "Curaçao");
}

TEST_P(AdoContractTest, RightCountsCharactersAndPassesNull) {
  EXPECT_EQ(Rows("SELECT RIGHT(oname, 3), RIGHT(ozusatz, 2), RIGHT('abc', 5) FROM postorte "
                 "WHERE alort = 'land0599'"),
            (std::vector<std::vector<std::string>>{{"çao", "<null>", "abc"}}));
}

TEST_P(AdoContractTest, RebuildStatementsCountWalkAndTruncate) {
  StoreAll({{"ad", Batch("AD", {{{"DSN", "{B}"}, {"Kennung", "K2"}},
                                {{"DSN", "{A}"}, {"Kennung", "K1"}},
                                {{"DSN", "{C}"}, {"Kennung", "K3"}}})},
            {"tapi", Batch("TAPI", {TapiRow("{T1}", "089"), TapiRow("{T2}", "0711")})}});
  Recordset rs;
  rs.Open("Select count(*) from ad", conn_, CursorType::kForwardOnly, LockType::kReadOnly);
  EXPECT_EQ(rs.Fields(0).Value().ToText(), "3");
  rs.Close();

  rs.Open("Select * From AD order by kennung", conn_, CursorType::kForwardOnly);
  conn_.Execute("Truncate Table TAPI");
  EXPECT_EQ(Count("TAPI"), 0);
  std::vector<std::string> order;
  for (; !rs.Eof(); rs.MoveNext()) order.push_back(rs.Fields("Kennung").Value().ToText());
  EXPECT_EQ(order, (std::vector<std::string>{"K1", "K2", "K3"}));
  ExpectDbError([&] { rs.MoveNext(); }, DbError::Kind::kUsage, "EOF");
  ExpectDbError([&] { rs.MoveFirst(); }, DbError::Kind::kUsage, "MoveFirst");
}

TEST_P(AdoContractTest, ContactStatementsDeleteSelectAndMatch) {
  StoreAll({{"ad", Batch("AD", {{{"DSN", "{A}"}}, {{"DSN", "{B}"}}, {{"DSN", "{C}"}}})},
            {"tapi", Batch("TAPI", {TapiRow("{T1}", "089123"),
                                    TapiRow("{T2}", "0711"),
                                    {{"DSN", "{T3}"}, {"AD_DSN", "{B}"}, {"NUMMER", "0891"}}})}});
  EXPECT_EQ(Rows("SELECT NUMMER FROM TAPI WHERE  (TAPI.NUMMER Like '089%') ").size(), 2u);
  conn_.Execute("DELETE FROM TAPI Where AD_DSN='{A}'");
  EXPECT_EQ(Numbers(), (std::set<std::string>{"0891"}));
  EXPECT_EQ(Rows("Select * From AD Where DSN='{A}' OR DSN='{C}' ORDER BY DSN"),
            (std::vector<std::vector<std::string>>{{"{A}", "<null>", "<null>", "<null>", "<null>",
                                                    "<null>", "<null>", "<null>", "<null>"},
                                                   {"{C}", "<null>", "<null>", "<null>", "<null>",
                                                    "<null>", "<null>", "<null>", "<null>"}}));
}

TEST_P(AdoContractTest, StreamingCursorWalksManyRowsWhileTheSessionWrites) {
  constexpr int kContacts = 20000;
  std::vector<Row> contacts;
  for (int i = 0; i < kContacts; ++i) {
    const int n = static_cast<int>((static_cast<int64_t>(i) * 7919) % kContacts);  // shuffled
    char kennung[16];
    std::snprintf(kennung, sizeof kennung, "K%05d", n);
    contacts.push_back({{"DSN", "{" + std::to_string(n) + "}"}, {"Kennung", kennung}});
  }
  ASSERT_TRUE(StoreAll({{"ad", Batch("AD", contacts)}}).empty());

  // As the rebuild does: one transaction around the walk and the writes.
  conn_.BeginTrans();
  Recordset rs;
  rs.Open("Select * From AD order by kennung", conn_);
  conn_.Execute("Truncate Table TAPI");
  int walked = 0;
  for (; !rs.Eof(); rs.MoveNext(), ++walked) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "K%05d", walked);
    ASSERT_EQ(rs.Fields("kennung").Value().ToText(), expected);
    const std::string dsn = rs.Fields("DSN").Value().ToText();
    conn_.session().StoreRows(Batch("TAPI", {TapiRow(dsn, expected)}), dsn);
  }
  conn_.CommitTrans();
  EXPECT_EQ(walked, kContacts);
  EXPECT_TRUE(conn_.TakeStoreFailures().empty());
  EXPECT_EQ(Count("TAPI"), kContacts);
}

// A forward-only walk on SQLite reads through the session itself, so it sees
// the transaction's own writes. On PostgreSQL it streams through a connection
// of its own (the session stays free for writes during the walk) and so sees
// committed data only.
TEST_P(AdoContractTest, StreamingQueryInsideATransaction) {
  conn_.BeginTrans();
  conn_.Execute("INSERT INTO STD (Land) VALUES ('CHE')");
  Recordset rs;
  rs.Open("SELECT Land FROM STD ORDER BY Land", conn_, CursorType::kForwardOnly);
  std::vector<std::string> seen;
  for (; !rs.Eof(); rs.MoveNext()) seen.push_back(rs.Fields(0).Value().ToText());
  rs.Close();
  conn_.RollbackTrans();
  const std::vector<std::string> expected =
      GetParam() == "SQLite" ? std::vector<std::string>{"AUT", "CHE"}
                             : std::vector<std::string>{"AUT"};
  EXPECT_EQ(seen, expected);
}

struct FilterCase {
  Variant filter;
  std::vector<std::string> countries;  // visible Land values; empty when rejected
  bool rejected = false;
};

TEST_P(AdoContractTest, FilterAcceptsColumnEqualsQuotedTextAndRejectsTheRest) {
  const std::vector<std::string> all = {"Curaçao", "Deutschland", "O'Higgins", "Oesterreich",
                                        "Schweiz"};
  const FilterCase cases[] = {
      {"LandKurz='AUT'", {"Oesterreich"}},
      {"  landkurz =  'AUT' ", {"Oesterreich"}},
      {"LandKurz='aut'", {}},
      {"Land='O''Higgins'", {"O'Higgins"}},
      {"Vorwahl='49'", {"Deutschland"}},
      {"LandKurz=''", {}},  // Null never matches
      {Variant(int32_t{0}), all},
      {Variant(), all},
      {"", all},
      {"LandKurz=AUT", {}, true},
      {"LandKurz='AUT", {}, true},
      {"LandKurz='A'B'", {}, true},
      {"LandKurz='AUT' AND Land='x'", {}, true},
      {"Kuerzel='AUT'", {}, true},
      {"LandKurz", {}, true},
      {Variant(int32_t{1}), {}, true},
      {Variant(true), {}, true},
      {Variant::Null(), {}, true},
  };
  Recordset rs;
  rs.Open(kCountryQuery, conn_, CursorType::kStatic);
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(Show(c.filter));
    rs.SetFilter("LandKurz='CHE'");
    rs.MoveNext();  // leaves the first row, so the reset to it is seen
    if (c.rejected) {
      ExpectDbError([&] { rs.SetFilter(c.filter); }, DbError::Kind::kUsage, "Filter rejected");
      EXPECT_TRUE(rs.Eof());  // the previous filter and position stay
      rs.MoveFirst();
      EXPECT_EQ(rs.Fields("Land").Value().ToText(), "Schweiz");
      continue;
    }
    rs.SetFilter(c.filter);
    std::vector<std::string> seen;
    for (; !rs.Eof(); rs.MoveNext()) seen.push_back(rs.Fields("Land").Value().ToText());
    EXPECT_EQ(seen, c.countries);
  }
}

TEST_P(AdoContractTest, DefinedSizeAndTableColumnsComeFromTheDeclaredTypes) {
  conn_.Execute("CREATE TABLE KEYED (" + DialectOf(GetParam()).auto_key_column + ", X TEXT)");
  Recordset tapi;
  tapi.OpenEmptyTable("TAPI", conn_);
  EXPECT_EQ(tapi.Fields("NUMMER").DefinedSize(), 50);
  EXPECT_EQ(tapi.Fields("bemerkung").DefinedSize(), 100);
  EXPECT_EQ(tapi.Fields("contactTypeDsn").DefinedSize(), 38);
  const std::vector<ColumnInfo>& columns = tapi.Columns();
  ASSERT_EQ(columns.size(), 5u);
  EXPECT_TRUE(columns[2].not_null && columns[2].is_text && !columns[2].has_default);
  EXPECT_FALSE(columns[3].not_null);
  EXPECT_TRUE(columns[4].not_null && columns[4].has_default);
  EXPECT_TRUE(conn_.session().TableColumns("KEYED")[0].has_default);

  Recordset ad;
  ad.OpenEmptyTable("AD", conn_);
  EXPECT_EQ(ad.Fields("TELEFON").DefinedSize(), -1);
  ExpectDbError([&] { ad.OpenEmptyTable("NO_SUCH_TABLE", conn_); }, DbError::Kind::kUsage, "open");
  Recordset other;
  EXPECT_THROW(other.OpenEmptyTable("NO_SUCH_TABLE", conn_), DbError);

  Recordset query;
  query.Open("SELECT NUMMER, BEMERKUNG, 1 AS n FROM TAPI", conn_, CursorType::kStatic);
  EXPECT_EQ(query.Fields(0).DefinedSize(), 50);
  EXPECT_EQ(query.Fields(1).DefinedSize(), 100);
  EXPECT_EQ(query.Fields(2).DefinedSize(), -1);
}

TEST_P(AdoContractTest, NullsAndUnsetFieldsAreStoredAndReadBack) {
  Row explicit_null = TapiRow("{N}", "1");
  explicit_null.emplace_back("BEMERKUNG", Variant::Null());
  ASSERT_TRUE(StoreAll({{"t", Batch("TAPI", {explicit_null, TapiRow("{U}", "2")})}}).empty());
  Recordset rs;
  rs.Open("SELECT DSN, BEMERKUNG, contactTypeDsn FROM TAPI ORDER BY DSN", conn_);
  std::vector<std::vector<std::string>> rows;
  for (; !rs.Eof(); rs.MoveNext()) {
    EXPECT_TRUE(rs.Fields("BEMERKUNG").Value().IsNull());
    try {
      rs.Fields("BEMERKUNG").Value().ToText();
      ADD_FAILURE() << "Null converted to text";
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), errnum::kInvalidUseOfNull);
    }
    rows.push_back(CurrentRow(rs));
  }
  // The unset contactTypeDsn takes the column default; CHAR may pad it with blanks.
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][2].find_first_not_of(' '), std::string::npos);
}

TEST_P(AdoContractTest, FailingBatchInsideATransactionIsUndoneAloneAndTheRestIsKept) {
  for (const std::string& sql : DialectOf(GetParam()).reject_trigger) conn_.Execute(sql);
  conn_.BeginTrans();
  const std::vector<StoreFailure> failures =
      StoreAll({{"c1", Batch("TAPI", {TapiRow("{1}", "ok1")})},
                {"c2", Batch("TAPI", {TapiRow("{2}", "ok2"), TapiRow("{3}", "bad")})},
                {"c3", Batch("TAPI", {TapiRow("{4}", "ok3a"), TapiRow("{5}", "ok3b")})}});
  conn_.CommitTrans();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].tag, "c2");
  EXPECT_NE(failures[0].description.find("number rejected"), std::string::npos)
      << failures[0].description;
  EXPECT_EQ(Numbers(), (std::set<std::string>{"ok1", "ok3a", "ok3b"}));
}

// Without a trigger the rejection comes from the table itself (a taken key,
// a missing value): the batch's earlier rows must go as well. A trigger made
// in the middle of the transaction must then count for the later batches:
// its own writes are part of what a failed batch takes back.
TEST_P(AdoContractTest, BatchRejectedByTheTableIsUndoneAloneAndLaterTriggersCount) {
  conn_.Execute("CREATE TABLE SEEN (DSN VARCHAR(38))");
  conn_.BeginTrans();
  std::vector<StoreFailure> failures = StoreAll(
      {{"c1", Batch("TAPI", {TapiRow("{1}", "ok1")})},
       {"c2", Batch("TAPI", {TapiRow("{2}", "ok2"), TapiRow("{3}", "ok2b"), TapiRow("{1}", "dup")})},
       {"c3", Batch("TAPI", {TapiRow("{4}", "ok3")})},
       {"c4", Batch("TAPI", {TapiRow("{5}", "ok4"), {{"DSN", "{6}"}, {"AD_DSN", "{A}"}}})}});
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].tag, "c2");
  EXPECT_EQ(failures[1].tag, "c4");
  EXPECT_EQ(Numbers(), (std::set<std::string>{"ok1", "ok3"}));

  const bool sqlite = GetParam() == "SQLite";
  conn_.Execute(sqlite ? "CREATE TRIGGER tapi_seen AFTER INSERT ON TAPI "
                         "BEGIN INSERT INTO SEEN VALUES (NEW.DSN); END"
                       : "CREATE FUNCTION tapi_seen() RETURNS trigger LANGUAGE plpgsql AS $$ "
                         "BEGIN INSERT INTO seen VALUES (NEW.dsn); RETURN NEW; END $$");
  if (!sqlite) {
    conn_.Execute("CREATE TRIGGER tapi_seen AFTER INSERT ON TAPI FOR EACH ROW "
                  "EXECUTE FUNCTION tapi_seen()");
  }
  failures = StoreAll({{"c5", Batch("TAPI", {TapiRow("{7}", "ok5"), TapiRow("{4}", "dup")})},
                       {"c6", Batch("TAPI", {TapiRow("{8}", "ok6")})}});
  conn_.CommitTrans();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].tag, "c5");
  EXPECT_EQ(Numbers(), (std::set<std::string>{"ok1", "ok3", "ok6"}));
  std::set<std::string> seen;
  for (const auto& row : Rows("SELECT DSN FROM SEEN")) seen.insert(row[0]);
  EXPECT_EQ(seen, (std::set<std::string>{"{8}"}));
}

TEST_P(AdoContractTest, FailingBatchOutsideATransactionThrowsAndStoresNothing) {
  for (const std::string& sql : DialectOf(GetParam()).reject_trigger) conn_.Execute(sql);
  ExpectDbError(
      [&] {
        conn_.session().StoreRows(Batch("TAPI", {TapiRow("{1}", "ok"), TapiRow("{2}", "bad")}),
                                  "c1");
      },
      DbError::Kind::kStatement, "number rejected");
  EXPECT_FALSE(conn_.session().InTransaction());
  EXPECT_EQ(Count("TAPI"), 0);
  ASSERT_TRUE(StoreAll({{"c2", Batch("TAPI", {TapiRow("{3}", "later")})}}).empty());
  EXPECT_EQ(Numbers(), (std::set<std::string>{"later"}));
}

TEST_P(AdoContractTest, ProviderErrorsCarryTheProvidersMessage) {
  ExpectDbError([&] { conn_.Execute("SELEC 1"); }, DbError::Kind::kStatement, "syntax error");
  Recordset rs;
  ExpectDbError([&] { rs.Open("SELECT * FROM no_such_table", conn_); }, DbError::Kind::kStatement,
                "no_such_table");
  EXPECT_FALSE(rs.IsOpen());
  EXPECT_EQ(Count("STD"), 1);  // the session goes on
}

TEST_P(AdoContractTest, FieldsAreFoundWithoutRegardToCaseOrNamedInTheError) {
  Recordset rs;
  rs.Open("SELECT * FROM STD", conn_, CursorType::kStatic);
  EXPECT_EQ(rs.Fields("lAnD").Name(), rs.Fields(0).Name());
  const std::pair<std::function<void()>, std::string> lookups[] = {
      {[&] { rs.Fields("Vorwahl"); }, "ordinal: Vorwahl"}, {[&] { rs.Fields(7); }, "ordinal: 7"}};
  for (const auto& [lookup, named] : lookups) {
    try {
      lookup();
      ADD_FAILURE() << "found " << named;
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), errnum::kItemNotFound);
      EXPECT_NE(error.description().find("Item cannot be found in the collection"),
                std::string::npos);
      EXPECT_NE(error.description().find(named), std::string::npos) << error.description();
    }
  }
}

TEST_P(AdoContractTest, RecordsetModesAllowOnlyTheirOwnOperations) {
  Recordset rs;
  ExpectDbError([&] { rs.Eof(); }, DbError::Kind::kUsage, "closed");
  rs.Open("SELECT * FROM STD", conn_, CursorType::kStatic);
  ExpectDbError([&] { rs.AddNew(); }, DbError::Kind::kUsage, "AddNew");
  ExpectDbError([&] { rs.Fields(0).SetValue("DEU"); }, DbError::Kind::kUsage, "added");
  rs.Close();
  rs.Close();  // closing twice is harmless

  rs.OpenEmptyTable("TAPI", conn_);
  EXPECT_TRUE(rs.IsTable());
  EXPECT_TRUE(rs.Eof());
  rs.AddNew();
  rs.Fields("NUMMER").SetValue("1");
  EXPECT_EQ(rs.Fields("nummer").Value().ToText(), "1");
  EXPECT_TRUE(rs.Fields("DSN").Value().IsEmpty());
  ExpectDbError([&] { rs.SetFilter("NUMMER='1'"); }, DbError::Kind::kUsage, "Filter");
  const RowBatch batch = rs.TakeAddedRows();
  EXPECT_EQ(batch.table, "TAPI");
  ASSERT_EQ(batch.rows.size(), 1u);
  EXPECT_EQ(batch.rows[0][2], Variant("1"));
  EXPECT_TRUE(rs.Eof());
  ExpectDbError([&] { rs.Fields("NUMMER").SetValue("2"); }, DbError::Kind::kUsage, "added");
}

TEST_P(AdoContractTest, ConnectionsWithOneStringShareTheSessionAndItsTransaction) {
  Connection other;
  other.SetConnectionString(db_->connect_string());
  other.Open();
  EXPECT_EQ(&other.session(), &conn_.session());

  conn_.BeginTrans();
  other.Execute("INSERT INTO STD (Land) VALUES ('CHE')");
  conn_.RollbackTrans();
  EXPECT_EQ(Count("STD"), 1);
  {
    Connection scoped;
    scoped.SetConnectionString(db_->connect_string());
    scoped.Open();
    scoped.BeginTrans();
    other.Execute("INSERT INTO STD (Land) VALUES ('CHE')");
  }  // rolled back: never committed
  EXPECT_FALSE(conn_.session().InTransaction());
  EXPECT_EQ(Count("STD"), 1);
}

TEST_P(AdoContractTest, TransactionEndsAsItsOwnerSaysAndRollsBackWhatWasLeftOpen) {
  const auto insert = [&](const std::string& land) {
    conn_.Execute("INSERT INTO STD (Land) VALUES ('" + land + "')");
  };
  {
    Transaction left_open(conn_);
    insert("CHE");
  }
  EXPECT_FALSE(conn_.session().InTransaction());
  {
    Transaction rolled_back(conn_);
    insert("ITA");
    rolled_back.Rollback();
    EXPECT_FALSE(conn_.session().InTransaction());
    insert("FRA");  // after the rollback: outside any transaction, and kept
  }
  {
    Transaction committed(conn_);
    insert("DEU");
    committed.Commit();
  }
  {
    // One the database ended already is only forgotten.
    Transaction ended(conn_);
    insert("ESP");
    conn_.session().RollbackTransaction();
    EXPECT_NO_THROW(ended.Rollback());
  }
  {
    // A second one cannot begin inside it, and the first goes on.
    Transaction outer(conn_);
    EXPECT_THROW(Transaction inner(conn_), DbError);
    insert("POL");
    outer.Commit();
  }
  EXPECT_FALSE(conn_.session().InTransaction());
  EXPECT_EQ(Rows("SELECT Land FROM STD ORDER BY Land"),
            (std::vector<std::vector<std::string>>{{"AUT"}, {"DEU"}, {"FRA"}, {"POL"}}));
}

// SQLite keeps the transaction open after a COMMIT that a deferred check
// refused, PostgreSQL ends it: either way nothing of it may stay.
TEST_P(AdoContractTest, ACommitThatFailsLeavesNothingOfTheTransaction) {
  if (GetParam() == "SQLite") conn_.Execute("PRAGMA foreign_keys=ON");
  conn_.Execute("CREATE TABLE PARENT (ID INTEGER PRIMARY KEY)");
  conn_.Execute(
      "CREATE TABLE CHILD (PARENT_ID INTEGER REFERENCES PARENT (ID) "
      "DEFERRABLE INITIALLY DEFERRED)");
  {
    Transaction transaction(conn_);
    conn_.Execute("INSERT INTO STD (Land) VALUES ('CHE')");
    conn_.Execute("INSERT INTO CHILD (PARENT_ID) VALUES (7)");
    EXPECT_THROW(transaction.Commit(), DbError);
  }
  EXPECT_FALSE(conn_.session().InTransaction());
  EXPECT_EQ(Count("STD"), 1);
  EXPECT_EQ(Count("CHILD"), 0);
}

TEST_P(AdoContractTest, BoundParametersArriveAsTheyAre) {
  const std::vector<std::string> texts = {
      "O'Brien",      "it''s",        "C:\\temp\\", "\\'); DELETE FROM TAPI; --",
      "x' OR '1'='1", "Grüße ☎ 東京", "?",          "",
      "$1 $$ :a @b"};
  for (size_t i = 0; i < texts.size(); ++i) {
    conn_.Execute(
        "INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG) VALUES (?, ?, ?, ?)",
        {Variant("k" + std::to_string(i)), Variant("{A}"), Variant(texts[i]), Variant::Null()});
  }
  std::vector<std::vector<std::string>> expected;
  for (const std::string& text : texts) expected.push_back({text, "<null>"});
  EXPECT_EQ(Rows("SELECT NUMMER, BEMERKUNG FROM TAPI ORDER BY DSN"), expected);

  // The same values find their rows again, and only those.
  conn_.Execute("DELETE FROM TAPI WHERE NUMMER=?", {Variant("x' OR '1'='1")});
  EXPECT_EQ(Count("TAPI"), static_cast<int64_t>(texts.size()) - 1);

  // A ? in a literal, a quoted name or a comment is no placeholder; RIGHT is
  // translated around the placeholders as in any other statement.
  conn_.Execute(
      "UPDATE TAPI SET BEMERKUNG = 'why?' || RIGHT(?, 3) /* ? */ WHERE \"nummer\" = ? "
      "-- ?\n",
      {Variant("Grüße"), Variant("it''s")});
  EXPECT_EQ(Rows("SELECT BEMERKUNG FROM TAPI WHERE DSN='k1'"),
            (std::vector<std::vector<std::string>>{{"why?üße"}}));
  if (GetParam() == "PostgreSQL") {
    conn_.Execute("UPDATE TAPI SET BEMERKUNG = E'\\'?' || $$?$$ || $q$ ? $q$ WHERE DSN = ?",
                  {Variant("k2")});
    EXPECT_EQ(Rows("SELECT BEMERKUNG FROM TAPI WHERE DSN='k2'"),
              (std::vector<std::vector<std::string>>{{"'?? ? "}}));
  }

  // Numbers and Booleans (as 1 and 0); Empty is NULL.
  conn_.Execute("INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG) VALUES (?, ?, ?, ?)",
                {Variant(int64_t{42}), Variant(true), Variant(2.5), Variant()});
  EXPECT_EQ(Rows("SELECT AD_DSN, NUMMER, BEMERKUNG FROM TAPI WHERE DSN='42'"),
            (std::vector<std::vector<std::string>>{{"1", "2.5", "<null>"}}));

  const std::string two = "UPDATE TAPI SET NUMMER = ? WHERE DSN = ?";
  ExpectDbError([&] { conn_.Execute(two, {Variant("1")}); }, DbError::Kind::kUsage, "placeholders");
  ExpectDbError(
      [&] {
        conn_.Execute(two, {Variant("1"), Variant("k0"), Variant("x")});
      },
      DbError::Kind::kUsage, "placeholders");
  try {
    conn_.Execute(two, {Variant(std::string("a\0b", 3)), Variant("k0")});
    ADD_FAILURE() << "a NUL byte was bound";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kInvalidProcedureCall) << error.what();
  }
  EXPECT_EQ(Rows("SELECT NUMMER FROM TAPI WHERE DSN='k0'"),
            (std::vector<std::vector<std::string>>{{"O'Brien"}}));
}

// Queries with placeholders keep their prepared statements: every call must
// still see its own values, the table as it is now, and an error must not
// spoil the statement for the next call.
TEST_P(AdoContractTest, PreparedQueriesAnswerEachCallWithItsOwnValuesAndTheCurrentTable) {
  for (const char* dsn : {"a", "b", "c"}) {
    conn_.Execute("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES (?, '{A}', ?)",
                  {Variant(dsn), Variant(std::string("n-") + dsn)});
  }
  auto ask = [&](const std::vector<Variant>& params) {
    Recordset rs;
    rs.Open("SELECT DSN FROM TAPI WHERE NUMMER IN (?, ?) ORDER BY DSN", params, conn_);
    std::vector<std::vector<std::string>> rows;
    for (; !rs.Eof(); rs.MoveNext()) rows.push_back(CurrentRow(rs));
    return rows;
  };
  using Rows = std::vector<std::vector<std::string>>;
  const struct {
    std::vector<Variant> params;
    Rows expected;
  } cases[] = {
      {{Variant("n-a"), Variant("n-c")}, {{"a"}, {"c"}}},
      {{Variant("n-b"), Variant("none")}, {{"b"}}},
      {{Variant("n-a' OR '1'='1"), Variant("")}, {}},
      {{Variant::Null(), Variant("n-c")}, {{"c"}}},
      {{Variant("n-a"), Variant("n-b")}, {{"a"}, {"b"}}},
  };
  for (int round = 0; round < 2; ++round) {  // the second round runs on kept statements
    for (const auto& c : cases) EXPECT_EQ(ask(c.params), c.expected);
  }

  // Two cursors of one query text open at once each read their own rows.
  Session& session = conn_.session();
  const std::string text = "SELECT NUMMER FROM TAPI WHERE DSN >= ? ORDER BY DSN";
  std::unique_ptr<Cursor> first = session.PreparedQuery(text, {Variant("a")});
  std::unique_ptr<Cursor> second = session.PreparedQuery(text, {Variant("c")});
  std::vector<Variant> row;
  ASSERT_TRUE(first->Next(row));
  EXPECT_EQ(row[0].ToText(), "n-a");
  ASSERT_TRUE(second->Next(row));
  EXPECT_EQ(row[0].ToText(), "n-c");
  EXPECT_FALSE(second->Next(row));
  ASSERT_TRUE(first->Next(row));
  EXPECT_EQ(row[0].ToText(), "n-b");
  first.reset();
  second.reset();

  // Wrong numbers of values are refused, and the statement still serves.
  ExpectDbError([&] { ask({Variant("n-a")}); }, DbError::Kind::kUsage, "placeholders");
  EXPECT_EQ(ask({Variant("n-a"), Variant("x")}), (Rows{{"a"}}));

  // The table replaced by another of a different shape, as a rebuild may:
  // the kept statement reads the new table.
  const std::string all = "SELECT * FROM TAPI WHERE DSN = ?";
  Recordset before;
  before.Open(all, {Variant("b")}, conn_);
  const int32_t old_columns = before.FieldCount();
  before.Close();
  conn_.Execute("DROP TABLE TAPI");
  conn_.Execute(
      "CREATE TABLE TAPI (DSN VARCHAR(38) PRIMARY KEY, AD_DSN VARCHAR(38), NUMMER VARCHAR(255), "
      "BEMERKUNG VARCHAR(255), contactTypeDsn VARCHAR(38), EXTRA VARCHAR(10))");
  conn_.Execute("INSERT INTO TAPI (DSN, AD_DSN, NUMMER, EXTRA) VALUES ('b', '{B}', 'neu', 'x')");
  Recordset after;
  after.Open(all, {Variant("b")}, conn_);
  EXPECT_EQ(after.FieldCount(), old_columns + 1);
  ASSERT_FALSE(after.Eof());
  EXPECT_EQ(after.Fields("NUMMER").Value().ToText(), "neu");
  EXPECT_EQ(ask({Variant("neu"), Variant("n-a")}), (Rows{{"b"}}));
}

// A forward-only recordset reads a column when it is asked for on a row: a
// column read on one row and not on the next, or first read rows later, must
// still give the value of the row the recordset stands on, Null as Null.
TEST_P(AdoContractTest, ForwardOnlyColumnsReadOnDemandGiveTheCurrentRowsValues) {
  conn_.Execute(
      "INSERT INTO AD (DSN, Kennung, TELEFON, FAX, EMAIL) VALUES "
      "('{1}', 'K1', 'eins', NULL, 'a@b.de'), "
      "('{2}', 'K2', NULL, 'fax zwei', 'eine ziemlich lange Adresse@example.de'), "
      "('{3}', 'K3', 'drei', '', NULL), "
      "('{4}', 'K4', NULL, NULL, 'x@y.de')");
  Recordset rs;
  rs.Open("SELECT DSN, TELEFON, FAX, EMAIL, Kennung FROM AD ORDER BY Kennung", conn_);
  // Which columns are read on which row (row 4 reads FAX for the first time
  // since row 2, and EMAIL only there).
  const std::vector<std::vector<std::string>> reads = {
      {"TELEFON", "DSN"}, {"FAX", "TELEFON", "TELEFON"}, {"DSN"}, {"FAX", "EMAIL", "TELEFON"}};
  const std::vector<std::map<std::string, std::string>> expected = {
      {{"TELEFON", "eins"}, {"DSN", "{1}"}},
      {{"FAX", "fax zwei"}, {"TELEFON", "<null>"}},
      {{"DSN", "{3}"}},
      {{"FAX", "<null>"}, {"EMAIL", "x@y.de"}, {"TELEFON", "<null>"}}};
  for (size_t row = 0; row < reads.size(); ++row) {
    ASSERT_FALSE(rs.Eof()) << "row " << row;
    for (const std::string& column : reads[row]) {
      const Variant& value = rs.Fields(column).Value();
      EXPECT_FALSE(value.IsEmpty()) << column << " on row " << row;
      EXPECT_EQ(Show(value), expected[row].at(column)) << column << " on row " << row;
    }
    rs.MoveNext();
  }
  EXPECT_TRUE(rs.Eof());
  ExpectDbError([&] { rs.Fields("DSN").Value(); }, DbError::Kind::kUsage, "current record");
}

// A value copied out of a row keeps it after the recordset moves on, and a
// column read twice on a row (an integer one too) gives the same value.
TEST_P(AdoContractTest, ForwardOnlyValuesCopiedOutSurviveTheMove) {
  conn_.Execute("INSERT INTO AD (DSN, Kennung) VALUES ('{1}', 'K1'), ('{2}', 'K2')");
  Recordset rs;
  rs.Open("SELECT DSN, 41 + 1 AS answer FROM AD ORDER BY Kennung", conn_);
  const Variant first = rs.Fields("DSN").Value();
  EXPECT_EQ(rs.Fields("answer").Value(), Variant(int64_t{42}));
  EXPECT_EQ(rs.Fields("answer").Value().ToText(), "42");
  EXPECT_EQ(rs.Fields("answer").Value(), Variant(int64_t{42}));
  rs.MoveNext();
  EXPECT_EQ(rs.Fields("DSN").Value(), Variant("{2}"));
  EXPECT_EQ(first, Variant("{1}"));
}

// Table recordsets fill the storage of rows stored before: a reused row must
// start unset (so that defaults apply), and a shorter text must not keep the
// tail of a longer one.
TEST_P(AdoContractTest, RecycledRowsStartUnsetAndHoldExactlyTheNewValues) {
  Recordset first;
  first.OpenEmptyTable("TAPI", conn_);
  for (const char* dsn : {"{1}", "{2}"}) {
    first.AddNew();
    first.Fields("DSN").SetText(dsn);
    first.Fields("AD_DSN").SetValue(Variant("{A}"));
    first.Fields("NUMMER").SetText("a much longer number than the next one");
    first.Fields("BEMERKUNG").SetText("a remark that the next rows do not have");
    first.Fields("contactTypeDsn").SetText("{TYPE}");
  }
  RowBatch batch = first.TakeAddedRows();
  first.Close();
  conn_.session().StoreRows(std::move(batch), "c1");
  RecycleRows(batch.rows);
  EXPECT_TRUE(batch.rows.empty());

  Recordset second;
  second.OpenEmptyTable("TAPI", conn_);
  for (const char* dsn : {"{3}", "{4}", "{5}"}) {
    second.AddNew();
    for (int32_t i = 0; i < second.FieldCount(); ++i) {
      EXPECT_TRUE(second.Fields(i).Value().IsEmpty()) << second.Fields(i).Name();
    }
    second.Fields("DSN").SetText(dsn);
    second.Fields("AD_DSN").SetValue(Variant("{B}"));
    second.Fields("NUMMER").SetText("12");
  }
  ASSERT_TRUE(StoreAll({{"c2", second.TakeAddedRows()}}).empty());
  EXPECT_EQ(Rows("SELECT DSN, NUMMER, BEMERKUNG, trim(contactTypeDsn) FROM TAPI "
                 "WHERE AD_DSN = '{B}' ORDER BY DSN"),
            (std::vector<std::vector<std::string>>{
                {"{3}", "12", "<null>", ""}, {"{4}", "12", "<null>", ""}, {"{5}", "12", "<null>", ""}}));
  EXPECT_EQ(Count("TAPI"), 5);
}

INSTANTIATE_TEST_SUITE_P(Providers, AdoContractTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& param_info) { return param_info.param; });

// ------------------------------------------------------- opening and SQLite

void ExpectOpenFails(const std::string& connect_string, DbError::Kind kind,
                     const std::string& fragment) {
  ExpectDbError([&] { OpenSession(connect_string); }, kind, fragment);
}

TEST(SessionPoolTest, ProviderIsChosenByNameAndUnknownOnesAreNamed) {
  ExpectOpenFails("Provider=Oracle;Data Source=/x.db", DbError::Kind::kUsage, "Oracle");
  ExpectOpenFails("Data Source=/x.db", DbError::Kind::kUsage, "provider");
  ExpectOpenFails("Provider=SQLite;Data Source=relative.db", DbError::Kind::kUsage, "relative.db");
  TestDatabase db(Provider::kSQLite);
  const std::string upper = "Provider=SQLITE;Data Source=" + (db.folder() / "test.db").string();
  const std::shared_ptr<Session> first = OpenSession(upper);
  EXPECT_EQ(first->ProviderName(), "SQLite");
  EXPECT_EQ(OpenSession(upper), first);
  ResetSessionPool();
  EXPECT_NE(OpenSession(upper), first);
  ResetSessionPool();
}

TEST(SqliteSessionTest, MissingOrForeignFileIsAnErrorAndNothingIsCreated) {
  TestDatabase db(Provider::kSQLite);
  const fs::path missing = db.folder() / "missing.db";
  ExpectOpenFails("Provider=SQLite;Data Source=" + missing.string(), DbError::Kind::kConnection,
                  missing.string());
  EXPECT_FALSE(fs::exists(missing));
  const fs::path text = db.folder() / "notes.txt";
  std::ofstream(text) << "this is not a database, but it is long enough to have a header\n";
  ExpectOpenFails("Provider=SQLite;Data Source=" + text.string(), DbError::Kind::kConnection,
                  text.string());
}

TEST(SqliteSessionTest, StatementsAreTranslatedOnlyWhereSqliteLacksTheConstruct) {
  TestDatabase db(Provider::kSQLite);
  const std::shared_ptr<Session> session = OpenSession(db.connect_string());
  session->Execute("CREATE TABLE t (x TEXT); INSERT INTO t VALUES ('a'), ('b')");
  session->Execute("  truncate   TABLE  t ; ");
  std::vector<Variant> row;
  EXPECT_FALSE(session->Query("SELECT * FROM t", true)->Next(row));

  auto cursor = session->Query(
      "SELECT 'right(x)' AS \"right(\", right ('Ab€c', 2) /* RIGHT( */, RIGHT(NULL, 1), "
      "RIGHT('abc', -1), RIGHT(x, 1) FROM (SELECT 'xyz' AS x)",
      false);
  ASSERT_TRUE(cursor->Next(row));
  EXPECT_EQ(row, (std::vector<Variant>{"right(x)", "€c", Variant::Null(), "bc", "z"}));
  EXPECT_EQ(cursor->Columns()[0].name, "right(");

  ASSERT_TRUE(session->Query("PRAGMA journal_mode", false)->Next(row));
  EXPECT_EQ(row[0], Variant("wal"));
  ResetSessionPool();
}

TEST(SqliteSessionTest, LockedDatabaseFailsAfterABoundedWaitWhileReadersSeeCommittedRows) {
  TestDatabase db(Provider::kSQLite);
  const std::string path = (db.folder() / "test.db").string();
  const std::shared_ptr<Session> writer = OpenSession("Provider=SQLite;Data Source=" + path);
  const std::shared_ptr<Session> other = OpenSession("Data Source=" + path + ";Provider=SQLite");
  ASSERT_NE(writer, other);
  writer->Execute("CREATE TABLE TAPI (NUMMER VARCHAR(50)); INSERT INTO TAPI VALUES ('1')");
  writer->BeginTransaction();
  writer->Execute("Truncate Table TAPI");

  std::vector<Variant> row;
  ASSERT_TRUE(other->Query("SELECT count(*) FROM TAPI", true)->Next(row));
  EXPECT_EQ(row[0], Variant(int64_t{1}));  // the old rows, without waiting

  RowBatch batch{"TAPI", other->TableColumns("TAPI"), {{Variant("2")}}};
  const auto start = std::chrono::steady_clock::now();
  ExpectDbError([&] { other->StoreRows(std::move(batch), "x"); }, DbError::Kind::kStatement,
                "locked");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(4));
  EXPECT_LT(waited, std::chrono::seconds(15));
  writer->RollbackTransaction();
  ResetSessionPool();
}

// ------------------------------------------- SQLite: stores without savepoint
//
// Inside a transaction a store into a plain table is undone by deleting its
// rows; a table with a trigger needs a savepoint. Which one a table is, is
// cached while the schema cannot have changed. A trigger that records every
// insert in SEEN tells which way a failing store was undone: with the wrong
// one, the failed batch's earlier rows stay in SEEN.
class SqliteStoreCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (db_.folder() / "test.db").string();
    session_ = OpenSession(db_.connect_string());
    session_->Execute(
        "CREATE TABLE TAPI (DSN VARCHAR(38) NOT NULL PRIMARY KEY, NUMMER VARCHAR(50));"
        "CREATE TABLE SEEN (DSN VARCHAR(38))");
  }
  void TearDown() override {
    session_.reset();
    ResetSessionPool();
  }

  // Stores rows with the given keys as one batch; false when it was rejected.
  bool Store(Session& session, const std::vector<std::string>& keys) {
    RowBatch batch{"TAPI", session.TableColumns("TAPI"), {}};
    for (const std::string& key : keys) batch.rows.push_back({Variant(key), Variant("n")});
    try {
      session.StoreRows(std::move(batch), "t");
      return true;
    } catch (const DbError&) {
      return false;
    }
  }
  std::set<std::string> Column(const std::string& sql) {
    std::set<std::string> values;
    std::vector<Variant> row;
    for (auto cursor = session_->Query(sql, false); cursor->Next(row);) values.insert(row[0].ToText());
    return values;
  }
  static constexpr const char* kTrigger =
      "CREATE TRIGGER tapi_seen AFTER INSERT ON TAPI BEGIN INSERT INTO SEEN VALUES (NEW.DSN); END";

  TestDatabase db_{Provider::kSQLite};
  std::string path_;
  std::shared_ptr<Session> session_;
};

TEST_F(SqliteStoreCacheTest, TriggerMadeByAnotherConnectionBetweenTransactionsCounts) {
  session_->BeginTransaction();
  ASSERT_TRUE(Store(*session_, {"{1}"}));  // the plain table is found undoable by rowid
  session_->CommitTransaction();

  const std::shared_ptr<Session> other = OpenSession("Data Source=" + path_ + ";Provider=SQLite");
  ASSERT_NE(other, session_);
  other->Execute(kTrigger);

  session_->BeginTransaction();
  EXPECT_FALSE(Store(*session_, {"{2}", "{1}"}));  // {1} is taken
  EXPECT_TRUE(Store(*session_, {"{3}"}));
  session_->CommitTransaction();
  EXPECT_EQ(Column("SELECT DSN FROM TAPI"), (std::set<std::string>{"{1}", "{3}"}));
  EXPECT_EQ(Column("SELECT DSN FROM SEEN"), (std::set<std::string>{"{3}"}));
}

TEST_F(SqliteStoreCacheTest, TriggerBroughtBackByRollingBackToASavepointCounts) {
  session_->Execute(kTrigger);
  session_->BeginTransaction();
  session_->Execute("SAVEPOINT before_drop");
  session_->Execute("DROP TRIGGER tapi_seen");
  ASSERT_TRUE(Store(*session_, {"{1}"}));  // now a plain table
  session_->Execute("ROLLBACK TO before_drop");  // the trigger is back, {1} gone
  ASSERT_TRUE(Store(*session_, {"{1}"}));
  EXPECT_FALSE(Store(*session_, {"{2}", "{1}"}));
  session_->Execute("RELEASE before_drop");
  session_->CommitTransaction();
  EXPECT_EQ(Column("SELECT DSN FROM TAPI"), (std::set<std::string>{"{1}"}));
  EXPECT_EQ(Column("SELECT DSN FROM SEEN"), (std::set<std::string>{"{1}"}));
}

}  // namespace
}  // namespace fonwerk::ado
