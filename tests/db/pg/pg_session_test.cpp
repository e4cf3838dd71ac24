// PostgreSQL provider against a real server (FONWERK_TEST_PG). Every test
// works in a database of its own, created and dropped around it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "db/session_providers.h"

namespace fonwerk::ado {
namespace {

constexpr const char* kTapiSchema =
    "CREATE TABLE TAPI (DSN VARCHAR(38) PRIMARY KEY, AD_DSN VARCHAR(38), NUMMER VARCHAR(255), "
    "BEMERKUNG VARCHAR(255), contactTypeDsn VARCHAR(38))";

// Rejects every row of the contact 'bad' with a message of its own.
constexpr const char* kRejectingTrigger = R"sql(
CREATE FUNCTION reject_bad() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.ad_dsn = 'bad' THEN
    RAISE EXCEPTION 'contact % is not welcome', NEW.ad_dsn;
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER tapi_reject BEFORE INSERT ON tapi FOR EACH ROW EXECUTE FUNCTION reject_bad();
)sql";

class PgSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("FONWERK_TEST_PG");
    if (server == nullptr || *server == '\0') {
      FAIL() << "FONWERK_TEST_PG is not set: these tests need a PostgreSQL server "
                "(run them through ctest, which starts scripts/pg-test-server.sh)";
    }
    static int counter = 0;
    database_ = "fwp_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    admin_ = OpenPostgresSession(ConnectionString::Parse(server));
    admin_->Execute("CREATE DATABASE " + database_);
    params_ = ConnectionString::Parse(server);
    params_.Set("Database", database_);
  }

  void TearDown() override {
    if (admin_) admin_->Execute("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
  }

  std::unique_ptr<Session> Open() { return OpenPostgresSession(params_); }

  static int64_t Scalar(Session& session, const std::string& sql) {
    std::vector<Variant> row;
    auto cursor = session.Query(sql, false);
    EXPECT_TRUE(cursor->Next(row)) << sql;
    return row.at(0).ToInteger();
  }

  // A batch of `rows` TAPI rows of `contact`; BEMERKUNG is left unset.
  static RowBatch TapiBatch(Session& session, const std::string& contact, int rows) {
    RowBatch batch{"TAPI", session.TableColumns("TAPI"), {}};
    for (int i = 0; i < rows; ++i) {
      batch.rows.push_back({Variant(contact + "-" + std::to_string(i)), Variant(contact),
                            Variant(std::to_string(4930000 + i)), Variant(), Variant("type")});
    }
    return batch;
  }

  std::unique_ptr<Session> admin_;
  ConnectionString params_;
  std::string database_;
};

TEST_F(PgSessionTest, FailingBatchesInAPipelinedTransactionAreReportedOnceAndSkipped) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->Execute(kRejectingTrigger);
  session->BeginTransaction();
  // 1300 batches span three groups; two of them fail, in different ways.
  for (int contact = 0; contact < 1300; ++contact) {
    std::string key = "c" + std::to_string(contact);
    RowBatch batch = TapiBatch(*session, key, 3);
    // Rows that set another choice of columns take statements of their own.
    if (contact % 7 == 0) batch.rows[0][3] = Variant("remark");
    if (contact == 700) batch.rows[1][1] = Variant("bad");    // the trigger rejects this row
    if (contact == 1100) batch.rows[2][0] = Variant("c5-0");  // a key that is already taken
    session->StoreRows(std::move(batch), "tag-" + key);
  }
  session->CommitTransaction();

  const std::vector<StoreFailure> failures = session->TakeStoreFailures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].tag, "tag-c700");
  EXPECT_NE(failures[0].description.find("contact bad is not welcome"), std::string::npos)
      << failures[0].description;
  EXPECT_EQ(failures[1].tag, "tag-c1100");
  EXPECT_NE(failures[1].description.find("duplicate key"), std::string::npos)
      << failures[1].description;
  EXPECT_TRUE(session->TakeStoreFailures().empty());

  // The failed batches are gone whole, everything else is committed.
  auto reader = Open();
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi"), 1298 * 3);
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi where ad_dsn in ('c700', 'c1100')"), 0);
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi where ad_dsn in ('c699', 'c701', 'c1299')"),
            9);
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi where bemerkung = 'remark'"), 185);
}

// Texts that COPY's text format must escape, and their stored form.
struct CopyCase {
  Variant value;
  Variant stored;
};

std::vector<CopyCase> CopyCases() {
  return {
      {Variant("back\\slash"), Variant("back\\slash")},
      {Variant("tab\there"), Variant("tab\there")},
      {Variant("line\nbreak\r\n"), Variant("line\nbreak\r\n")},
      {Variant("\\N"), Variant("\\N")},
      {Variant("\\\\"), Variant("\\\\")},
      {Variant("\\t\\x"), Variant("\\t\\x")},
      {Variant("Gr\xc3\xbc\xc3\x9f Gott"), Variant("Gr\xc3\xbc\xc3\x9f Gott")},
      {Variant(std::string("cut\0here", 8)), Variant("cut")},
      {Variant(""), Variant("")},
      {Variant::Null(), Variant::Null()},
  };
}

TEST_F(PgSessionTest, UniformBatchesKeepEveryValueAndARejectedBatchIsLeftOutAlone) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->Execute(kRejectingTrigger);
  const std::vector<CopyCase> cases = CopyCases();
  session->BeginTransaction();
  // Every row sets the same columns, so whole groups go by COPY; a rejected
  // row undoes its group, which must come back without that contact only.
  for (int contact = 0; contact < 1200; ++contact) {
    std::string key = "c" + std::to_string(contact);
    RowBatch batch = TapiBatch(*session, key, 3);
    for (auto& row : batch.rows) row[3] = cases[contact % cases.size()].value;
    if (contact == 600) batch.rows[1][1] = Variant("bad");
    if (contact == 1150) batch.rows[0][0] = Variant("c3-0");
    session->StoreRows(std::move(batch), "tag-" + key);
  }
  session->CommitTransaction();

  const std::vector<StoreFailure> failures = session->TakeStoreFailures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].tag, "tag-c600");
  EXPECT_NE(failures[0].description.find("contact bad is not welcome"), std::string::npos);
  EXPECT_EQ(failures[1].tag, "tag-c1150");
  EXPECT_NE(failures[1].description.find("duplicate key"), std::string::npos);

  auto reader = Open();
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi"), 1198 * 3);
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi where ad_dsn in ('c600', 'c1150')"), 0);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string key = "c" + std::to_string(i + cases.size());
    std::vector<Variant> row;
    auto cursor = reader->Query("select bemerkung from tapi where dsn = '" + key + "-2'", false);
    ASSERT_TRUE(cursor->Next(row)) << key;
    EXPECT_EQ(row[0].IsNull(), cases[i].stored.IsNull()) << "case " << i;
    if (!cases[i].stored.IsNull()) {
      EXPECT_EQ(row[0].ToText(), cases[i].stored.ToText()) << "case " << i;
    }
  }
}

TEST_F(PgSessionTest, QueuedRowsLeavingColumnsUnsetGetTheirDefaultsOrNull) {
  auto session = Open();
  session->Execute(
      "CREATE TABLE kv (k VARCHAR(10) PRIMARY KEY, a VARCHAR(10), d VARCHAR(10) DEFAULT 'dflt', "
      "n INTEGER DEFAULT 7)");
  const std::vector<ColumnInfo> columns = session->TableColumns("kv");
  const Variant unset;
  // Rows of one batch: key, a, d, n; an unset column takes its default.
  const std::vector<std::vector<std::vector<Variant>>> batches = {
      {{Variant("k1"), Variant("x"), unset, unset}, {Variant("k2"), unset, unset, unset}},
      {{Variant("k3"), unset, Variant("own"), unset}, {Variant("k4"), unset, unset, Variant(1)}},
      {{Variant("k5"), Variant::Null(), Variant("own"), Variant(2)}},
  };
  session->BeginTransaction();
  for (const auto& rows : batches) session->StoreRows(RowBatch{"kv", columns, rows}, "kv");
  session->CommitTransaction();
  EXPECT_TRUE(session->TakeStoreFailures().empty());

  std::vector<std::string> stored;
  std::vector<Variant> row;
  auto cursor = session->Query(
      "select k || '|' || coalesce(a, '<null>') || '|' || coalesce(d, '<null>') || '|' || n "
      "from kv order by k",
      false);
  while (cursor->Next(row)) stored.push_back(row[0].ToText());
  EXPECT_EQ(stored, (std::vector<std::string>{"k1|x|dflt|7", "k2|<null>|dflt|7",
                                              "k3|<null>|own|7", "k4|<null>|dflt|1",
                                              "k5|<null>|own|2"}));
}

TEST_F(PgSessionTest, RulesOfTheTableApplyToQueuedRows) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->Execute("CREATE TABLE parked (dsn VARCHAR(38))");
  session->Execute(
      "CREATE RULE park AS ON INSERT TO tapi WHERE NEW.ad_dsn = 'parked' "
      "DO INSTEAD INSERT INTO parked VALUES (NEW.dsn)");
  session->BeginTransaction();
  for (const char* contact : {"a", "parked", "b"}) {
    session->StoreRows(TapiBatch(*session, contact, 2), contact);
  }
  session->CommitTransaction();
  EXPECT_TRUE(session->TakeStoreFailures().empty());
  EXPECT_EQ(Scalar(*session, "select count(*) from tapi"), 4);
  EXPECT_EQ(Scalar(*session, "select count(*) from parked"), 2);
}

TEST_F(PgSessionTest, FailingBatchOutsideATransactionThrowsAndStoresNothingOfIt) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->Execute(kRejectingTrigger);
  RowBatch batch = TapiBatch(*session, "one", 3);
  batch.rows[2][1] = Variant("bad");
  try {
    session->StoreRows(std::move(batch), "one");
    FAIL() << "the trigger's rejection was not reported";
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kStatement);
    EXPECT_EQ(error.sqlstate(), "P0001");
    EXPECT_NE(error.description().find("contact bad is not welcome"), std::string::npos);
  }
  EXPECT_EQ(Scalar(*session, "select count(*) from tapi"), 0);
  session->StoreRows(TapiBatch(*session, "two", 2), "two");
  EXPECT_EQ(Scalar(*session, "select count(*) from tapi"), 2);
}

TEST_F(PgSessionTest, LostConnectionIsAConnectionErrorNotAStoreFailure) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->BeginTransaction();
  session->StoreRows(TapiBatch(*session, "before", 2), "before");
  const int64_t pid = Scalar(*session, "select pg_backend_pid()");

  auto killer = Open();
  EXPECT_EQ(Scalar(*killer, "select pg_terminate_backend(" + std::to_string(pid) + ", 10000)::int"),
            1);

  auto store_and_flush = [&] {
    for (int i = 0; i < 10; ++i) session->StoreRows(TapiBatch(*session, "after", 2), "after");
    session->FlushStores();
  };
  try {
    store_and_flush();
    FAIL() << "the lost connection was not reported";
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kConnection) << error.description();
  }
  EXPECT_TRUE(session->TakeStoreFailures().empty());
  EXPECT_FALSE(session->InTransaction());
  try {
    session->Execute("select 1");
    FAIL() << "the session was used after its connection was lost";
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kConnection);
  }
  EXPECT_NO_THROW(session->RollbackTransaction());
  EXPECT_EQ(Scalar(*killer, "select count(*) from tapi"), 0);
}

TEST_F(PgSessionTest, StreamingCursorFetchesInBlocksOnItsOwnConnection) {
  auto session = Open();
  session->Execute("create table big (id integer primary key, name text)");
  session->Execute("insert into big select g, 'row ' || g from generate_series(1, 50000) g");

  auto cursor = session->Query("select id, name from big order by id", true);
  std::vector<Variant> row;
  ASSERT_TRUE(cursor->Next(row));
  EXPECT_EQ(row[0], Variant(int64_t{1}));
  // A second backend of this database holds the cursor and fetches in blocks,
  // while the session itself stays free for writes.
  const std::string fetching =
      "select count(*) from pg_stat_activity where datname = current_database() and "
      "pid <> pg_backend_pid() and query like 'FETCH FORWARD 1000 %'";
  EXPECT_EQ(Scalar(*session, fetching), 1);
  session->BeginTransaction();
  session->Execute("insert into big values (50001, 'uncommitted')");

  int64_t count = 1;
  while (cursor->Next(row)) {
    ++count;
    ASSERT_EQ(row[0], Variant(count));
    ASSERT_EQ(row[1], Variant("row " + std::to_string(count)));
  }
  EXPECT_EQ(count, 50000);
  EXPECT_FALSE(cursor->Next(row));
  EXPECT_EQ(Scalar(*session, fetching), 0) << "the cursor's connection outlived its last row";

  // A new streaming cursor sees committed data only.
  std::vector<Variant> total;
  ASSERT_TRUE(session->Query("select count(*) from big", true)->Next(total));
  EXPECT_EQ(total[0], Variant(int64_t{50000}));
  session->CommitTransaction();
  ASSERT_TRUE(session->Query("select count(*) from big", true)->Next(total));
  EXPECT_EQ(total[0], Variant(int64_t{50001}));
}

TEST_F(PgSessionTest, ColumnsAndValuesFollowTheTypes) {
  auto session = Open();
  session->Execute(
      "create domain short_text as varchar(20);"
      "create table t (id integer generated always as identity, code char(10) not null,"
      " name varchar(38) default 'x', free varchar, note text, amount numeric(10,2),"
      " ratio float8, flag boolean, big bigint, small smallint, alias short_text,"
      " twice integer generated always as (small * 2) stored)");
  session->Execute(
      "insert into t (code, name, free, note, amount, ratio, flag, big, small, alias) values"
      " ('ab', 'Name', 'f', 'n', 12.5, 0.25, true, 9000000000, 7, 'al'),"
      " ('cd', null, null, null, null, null, null, null, null, null)");

  struct Expected {
    const char* name;
    int32_t size;
    bool is_text;
    bool not_null;
    bool has_default;
    Variant first;
  };
  const std::vector<Expected> expected{
      {"id", -1, false, true, true, Variant(int64_t{1})},
      {"code", 10, true, true, false, Variant("ab        ")},
      {"name", 38, true, false, true, Variant("Name")},
      {"free", -1, true, false, false, Variant("f")},
      {"note", -1, true, false, false, Variant("n")},
      {"amount", -1, false, false, false, Variant(12.5)},
      {"ratio", -1, false, false, false, Variant(0.25)},
      {"flag", -1, false, false, false, Variant(true)},
      {"big", -1, false, false, false, Variant(int64_t{9000000000})},
      {"small", -1, false, false, false, Variant(int64_t{7})},
      {"alias", 20, true, false, false, Variant("al")},
      {"twice", -1, false, false, true, Variant(int64_t{14})},
  };

  const std::vector<ColumnInfo>& table = session->TableColumns("T");
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(table[i].name, expected[i].name);
    EXPECT_EQ(table[i].defined_size, expected[i].size);
    EXPECT_EQ(table[i].is_text, expected[i].is_text);
    EXPECT_EQ(table[i].not_null, expected[i].not_null);
    EXPECT_EQ(table[i].has_default, expected[i].has_default);
  }

  for (bool streaming : {false, true}) {
    SCOPED_TRACE(streaming ? "streaming" : "static");
    auto cursor = session->Query("select * from t order by id", streaming);
    std::vector<Variant> first;
    std::vector<Variant> second;
    ASSERT_TRUE(cursor->Next(first));
    ASSERT_TRUE(cursor->Next(second));
    EXPECT_FALSE(cursor->Next(second));
    const std::vector<ColumnInfo>& columns = cursor->Columns();
    ASSERT_EQ(columns.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(columns[i].name, expected[i].name);
      EXPECT_EQ(columns[i].defined_size, expected[i].size);
      EXPECT_EQ(first[i], expected[i].first);
    }
    EXPECT_EQ(second[2], Variant::Null());
    EXPECT_EQ(second[7], Variant::Null());
  }

  // Without rows the columns are still described.
  for (bool streaming : {false, true}) {
    auto empty = session->Query("select code, name from t where false", streaming);
    ASSERT_EQ(empty->Columns().size(), 2u);
    EXPECT_EQ(empty->Columns()[1].defined_size, 38);
  }
}

TEST_F(PgSessionTest, ErrorsCarryTheProvidersTextAndKind) {
  auto session = Open();
  try {
    session->Execute("select * from no_such_table");
    FAIL();
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kStatement);
    EXPECT_EQ(error.sqlstate(), "42P01");
    EXPECT_NE(error.description().find("relation \"no_such_table\" does not exist"),
              std::string::npos);
    EXPECT_NE(error.description().back(), '\n');
  }
  try {
    session->TableColumns("No_Such_Table");
    FAIL();
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kStatement);
    EXPECT_NE(error.description().find("No_Such_Table"), std::string::npos);
  }

  ConnectionString missing = params_;
  missing.Set("Database", database_ + "_missing");
  try {
    OpenPostgresSession(missing);
    FAIL();
  } catch (const DbError& error) {
    EXPECT_EQ(error.kind(), DbError::Kind::kConnection);
    EXPECT_NE(error.description().find(database_ + "_missing"), std::string::npos);
  }

  // Keys match without regard to case.
  ConnectionString lower;
  for (const char* key : {"host", "port", "user id"}) lower.Set(key, *params_.Get(key));
  lower.Set("DATABASE", database_);
  EXPECT_EQ(Scalar(*OpenPostgresSession(lower), "select 41 + 1"), 42);
}

TEST_F(PgSessionTest, TransactionKeepsOrderAndSurvivesAFailedStatement) {
  auto session = Open();
  session->Execute(kTapiSchema);
  session->StoreRows(TapiBatch(*session, "old", 4), "old");

  session->BeginTransaction();
  session->Execute("Truncate Table TAPI");
  // Another session keeps seeing the old rows, without waiting for a lock.
  auto reader = Open();
  reader->Execute("SET lock_timeout = '2s'");
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi"), 4);

  for (int i = 0; i < 3; ++i) session->StoreRows(TapiBatch(*session, "new", 0), "empty");
  session->StoreRows(TapiBatch(*session, "new", 2), "new");
  // The queued rows are written before the statement that follows them.
  session->Execute("update tapi set bemerkung = 'seen'");
  EXPECT_THROW(session->Execute("select * from no_such_table"), DbError);
  EXPECT_EQ(Scalar(*session, "select count(*) from tapi where bemerkung = 'seen'"), 2);
  session->CommitTransaction();
  EXPECT_EQ(Scalar(*reader, "select count(*) from tapi"), 2);

  session->BeginTransaction();
  for (int i = 0; i < 5; ++i)
    session->StoreRows(TapiBatch(*session, "gone" + std::to_string(i), 2), "x");
  session->RollbackTransaction();
  EXPECT_FALSE(session->InTransaction());
  session->StoreRows(TapiBatch(*session, "after", 1), "after");
  EXPECT_EQ(Scalar(*session, "select count(*) from tapi"), 3);

  // Outside a transaction TRUNCATE stays TRUNCATE (it resets the identity too).
  session->Execute("create table seq (id integer generated always as identity, v text)");
  session->Execute("insert into seq (v) values ('a')");
  session->Execute("truncate table seq restart identity");
  session->Execute("insert into seq (v) values ('b')");
  EXPECT_EQ(Scalar(*session, "select id from seq"), 1);
}

}  // namespace
}  // namespace fonwerk::ado
