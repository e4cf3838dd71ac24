#include "com/dal.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "com/util.h"
#include "tests/services/component_test_support.h"

namespace fonwerk::com {
namespace {

using fonwerk::testing::TestDatabase;

// A table shaped like TAPI, with one NOT NULL column that has a default.
constexpr const char* kCreateTable =
    "CREATE TABLE PHONES (DSN VARCHAR(38) NOT NULL PRIMARY KEY, AD_DSN VARCHAR(38), "
    "NUMMER VARCHAR(20) NOT NULL, BEMERKUNG VARCHAR(20) NOT NULL, "
    "KIND VARCHAR(10) NOT NULL DEFAULT 'std', RANK INTEGER)";

class DalTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    dal_ = std::make_unique<cDal>();
    dal_->ExecQuery(cs(), kCreateTable);
  }
  void TearDown() override { dal_.reset(); }

  const std::string& cs() const { return db_->connect_string(); }

  // Adds a row to `rs` with the given columns set, then MdbNoNullFields.
  void AddRow(RecordsetRef& rs, const std::map<std::string, Variant>& values) {
    rs->AddNew();
    for (const auto& [name, value] : values) rs->Fields(name).SetValue(value);
    dal_->MdbNoNullFields(rs);
  }
  // "DSN|AD_DSN|NUMMER|BEMERKUNG|KIND" per row, NULL as <null>, in DSN order.
  std::vector<std::string> Rows() {
    RecordsetRef rs = dal_->GetRecordset(
        cs(), "SELECT DSN, AD_DSN, NUMMER, BEMERKUNG, KIND FROM PHONES ORDER BY DSN");
    std::vector<std::string> rows;
    cUtil util;
    for (; !rs->Eof(); rs->MoveNext()) {
      std::string row;
      for (int32_t i = 0; i < rs->FieldCount(); ++i) {
        const Variant& value = rs->Fields(i).Value();
        row += (i ? "|" : "") + (value.IsNull() ? std::string("<null>") : util.k(value));
      }
      rows.push_back(row);
    }
    return rows;
  }

  std::unique_ptr<TestDatabase> db_;  // goes last
  std::unique_ptr<cDal> dal_;
};

TEST_P(DalTest, GetRecordsetGivesAStaticRecordset) {
  dal_->ExecQuery(cs(), "INSERT INTO PHONES (DSN, NUMMER, BEMERKUNG) VALUES ('a', '1', 'x')");
  dal_->ExecQuery(cs(), "INSERT INTO PHONES (DSN, NUMMER, BEMERKUNG) VALUES ('b', '2', 'y')");
  RecordsetRef rs = dal_->GetRecordset(cs(), "SELECT DSN, NUMMER FROM PHONES ORDER BY DSN");
  ASSERT_TRUE(rs->IsOpen());
  rs->SetFilter(Variant("NUMMER='2'"));
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Fields("dsn").Value(), Variant("b"));
  rs->SetFilter(Variant(int64_t{0}));
  rs->MoveNext();
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  rs->MoveFirst();
  EXPECT_EQ(rs->Fields(0).Value(), Variant("a"));
}

TEST_P(DalTest, ARejectedStatementThrowsTheProvidersMessage) {
  try {
    dal_->ExecQuery(cs(), "INSERT INTO NO_SUCH_TABLE VALUES (1)");
    FAIL() << "no error";
  } catch (const DbError& error) {
    EXPECT_NE(text::AsciiLower(error.description()).find("no_such_table"), std::string::npos)
        << error.description();
  }
  EXPECT_THROW(dal_->GetRecordset(cs(), "SELECT nonsense FROM PHONES"), DbError);
  EXPECT_THROW(dal_->OpenEmptyTable(cs(), "NO_SUCH_TABLE", 4), DbError);
}

TEST_P(DalTest, MdbValidDyIsTrueOnlyOnARow) {
  RecordsetRef none;
  EXPECT_EQ(dal_->MdbValidDy(none), Variant(false));
  RecordsetRef empty = dal_->GetRecordset(cs(), "SELECT * FROM PHONES");
  EXPECT_EQ(dal_->MdbValidDy(empty), Variant(false));
  dal_->ExecQuery(cs(), "INSERT INTO PHONES (DSN, NUMMER, BEMERKUNG) VALUES ('a', '1', 'x')");
  RecordsetRef rs = dal_->GetRecordset(cs(), "SELECT * FROM PHONES");
  const Variant valid = dal_->MdbValidDy(rs);
  EXPECT_EQ(valid.type(), Variant::Type::kBoolean);
  EXPECT_EQ(valid, Variant(true));
  rs->Close();
  EXPECT_EQ(dal_->MdbValidDy(rs), Variant(false));
}

TEST_P(DalTest, OpenEmptyTableHasAllColumnsAndNoRows) {
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  ASSERT_TRUE(rs->IsOpen());
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(rs->FieldCount(), 6);
  EXPECT_EQ(rs->Fields("nummer").DefinedSize(), 20);
}

TEST_P(DalTest, UpdateRecordSetStoresTheAddedRowsAndCloses) {
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  AddRow(rs, {{"DSN", "g1"}, {"AD_DSN", "K1"}, {"NUMMER", "089123"}, {"BEMERKUNG", "Büro"}});
  AddRow(rs, {{"DSN", "g2"}, {"AD_DSN", "K1"}, {"NUMMER", "a@b.de"}, {"KIND", "mail"}});
  dal_->UpdateRecordSet(cs(), rs);
  ASSERT_NE(rs, nullptr);
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"g1|K1|089123|Büro|std", "g2|K1|a@b.de||mail"}));
}

TEST_P(DalTest, MdbNoNullFieldsFillsOnlyNotNullTextWithoutDefault) {
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  AddRow(rs, {{"DSN", "g1"}, {"BEMERKUNG", Variant::Null()}});
  EXPECT_EQ(rs->Fields("NUMMER").Value(), Variant(""));
  EXPECT_EQ(rs->Fields("BEMERKUNG").Value(), Variant(""));
  EXPECT_TRUE(rs->Fields("AD_DSN").Value().IsEmpty());  // may be NULL
  EXPECT_TRUE(rs->Fields("KIND").Value().IsEmpty());    // the database's default applies
  EXPECT_TRUE(rs->Fields("RANK").Value().IsEmpty());
  dal_->UpdateRecordSet(cs(), rs);
  EXPECT_EQ(Rows(), std::vector<std::string>{"g1|<null>|||std"});
}

TEST_P(DalTest, AnEmptyRecordsetIsJustClosed) {
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  dal_->UpdateRecordSet(cs(), rs);
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_TRUE(Rows().empty());
  RecordsetRef none;
  EXPECT_THROW(dal_->UpdateRecordSet(cs(), none), Error);
  EXPECT_THROW(dal_->MdbNoNullFields(none), Error);
}

TEST_P(DalTest, AFailedStoreOutsideATransactionStoresNothingOfTheBatch) {
  dal_->ExecQuery(cs(), "INSERT INTO PHONES (DSN, NUMMER, BEMERKUNG) VALUES ('g2', '1', 'x')");
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  AddRow(rs, {{"DSN", "g1"}, {"AD_DSN", "K1"}});
  AddRow(rs, {{"DSN", "g2"}, {"AD_DSN", "K1"}});  // duplicate key
  EXPECT_THROW(dal_->UpdateRecordSet(cs(), rs), DbError);
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_EQ(Rows(), std::vector<std::string>{"g2|<null>|1|x|std"});
}

TEST_P(DalTest, InsideATransactionAFailedStoreIsReportedWithItsContactKey) {
  dal_->ExecQuery(cs(), "INSERT INTO PHONES (DSN, NUMMER, BEMERKUNG) VALUES ('dup', '1', 'x')");
  ado::Connection connection;
  connection.SetConnectionString(cs());
  connection.Open();
  connection.BeginTrans();

  RecordsetRef bad = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  AddRow(bad, {{"DSN", "b1"}, {"AD_DSN", "K1"}});
  AddRow(bad, {{"DSN", "dup"}, {"AD_DSN", "K1"}});
  bool thrown = false;
  try {
    dal_->UpdateRecordSet(cs(), bad);
  } catch (const DbError& error) {
    thrown = true;  // a provider may report at once instead of deferring
    EXPECT_FALSE(error.connection_lost());
  }
  RecordsetRef good = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  AddRow(good, {{"DSN", "g1"}, {"AD_DSN", "K2"}});
  dal_->UpdateRecordSet(cs(), good);
  connection.CommitTrans();

  const std::vector<ado::StoreFailure> failures = connection.TakeStoreFailures();
  if (thrown) {
    EXPECT_TRUE(failures.empty());
  } else {
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].tag, "K1");
  }
  EXPECT_EQ(Rows(), (std::vector<std::string>{"dup|<null>|1|x|std", "g1|K2|||std"}));
}

TEST_P(DalTest, SqlUidSelectsExactlyItsKey) {
  const std::vector<std::string> keys = {"plain", "O'Brien", "''", "\\",           "a\\'b",
                                         "ä€",    "%",       "_",  "x' OR '1'='1", "x'; --"};
  RecordsetRef rs = dal_->OpenEmptyTable(cs(), "PHONES", 4);
  for (size_t i = 0; i < keys.size(); ++i) {
    AddRow(rs, {{"DSN", "g" + std::to_string(i)}, {"AD_DSN", keys[i]}});
  }
  dal_->UpdateRecordSet(cs(), rs);

  cUtil util;
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string literal = util.SqlUid(Variant(keys[i]));
    RecordsetRef found = dal_->GetRecordset(cs(), "SELECT DSN FROM PHONES WHERE AD_DSN=" + literal);
    ASSERT_FALSE(found->Eof()) << keys[i];
    EXPECT_EQ(found->Fields(0).Value(), Variant("g" + std::to_string(i))) << keys[i];
    found->MoveNext();
    EXPECT_TRUE(found->Eof()) << keys[i];
  }
  dal_->ExecQuery(cs(), "DELETE FROM PHONES WHERE AD_DSN=" + util.SqlUid(Variant("''")));
  EXPECT_EQ(Rows().size(), keys.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(Providers, DalTest,
                         ::testing::Values(testing::kSqlite, testing::kPostgres));

}  // namespace
}  // namespace fonwerk::com
