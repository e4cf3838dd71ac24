#include "com/dbini.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "com/dal.h"
#include "tests/services/component_test_support.h"

namespace fonwerk::com {
namespace {

using fonwerk::testing::TestDatabase;

constexpr const char* kSection = "Canonical_Phone";

// The same contract on both providers: a fresh database per test.
class DbIniTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    ini_ = std::make_unique<cDbIni>();
    ini_->Init(db_->connect_string());
  }
  void TearDown() override {
    ini_.reset();
    dal_.reset();
  }

  const std::string& cs() const { return db_->connect_string(); }
  bool TableExists() {
    ado::Connection connection;
    connection.SetConnectionString(cs());
    connection.Open();
    try {
      connection.session().TableColumns("DBINI");
      return true;
    } catch (const DbError&) {
      return false;
    }
  }
  // The KEYVALUE texts stored for `key`, in any case of the names.
  std::vector<std::string> Stored(const std::string& key) {
    RecordsetRef rs = dal_->GetRecordset(
        cs(), "SELECT KEYVALUE FROM DBINI WHERE LOWER(KEYNAME)=LOWER('" + key + "')");
    std::vector<std::string> values;
    for (; !rs->Eof(); rs->MoveNext()) values.push_back(rs->Fields(0).Value().ToText());
    return values;
  }
  void Write(const std::string& key, std::string value) { ini_->WriteStr(kSection, key, value, 0); }

  std::unique_ptr<TestDatabase> db_;  // goes last
  std::unique_ptr<cDbIni> ini_;
  std::unique_ptr<cDal> dal_ = std::make_unique<cDal>();
};

TEST_P(DbIniTest, WithoutTheTableEveryReadGivesTheDefault) {
  EXPECT_EQ(ini_->GetBool(kSection, "Active", false, 0), Variant(false));
  EXPECT_EQ(ini_->GetBool(kSection, "Suspress", true, 0), Variant(true));
  EXPECT_EQ(ini_->GetStr(kSection, "Plus", "00", 0), Variant("00"));
  EXPECT_FALSE(TableExists());  // reading creates nothing
}

TEST_P(DbIniTest, TheFirstWriteCreatesTheTable) {
  Write("Plus", "+");
  EXPECT_TRUE(TableExists());
  EXPECT_EQ(ini_->GetStr(kSection, "Plus", "00", 0), Variant("+"));
  EXPECT_EQ(ini_->GetStr(kSection, "VAZ", "0", 0), Variant("0"));  // other keys: defaults
}

TEST_P(DbIniTest, TextsComeBackExactly) {
  const std::vector<std::string> values = {
      "", "0049", "O'Brien", "a''b\\'c", "  blank  ", "ä€\t\r\nx", "x); DROP TABLE DBINI; --"};
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string key = "Key" + std::to_string(i);
    Write(key, values[i]);
    const Variant read = ini_->GetStr(kSection, key, "<default>", 0);
    EXPECT_TRUE(read.IsText());
    EXPECT_EQ(read, Variant(values[i])) << i;
  }
  EXPECT_TRUE(TableExists());
}

// Names that a statement built by quoting could confuse: each key keeps its
// own row, and a write replaces that row only.
TEST_P(DbIniTest, NamesWithQuotesBackslashesAndUmlautsAreKeptApart) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"O'Brien", "Plus"},     {"O'Brien", "Plus'"},     {"Sec\\", "Key\\'"},
      {"x') OR ('1'='1", "k"}, {"Grüße ☎", "Schlüssel"}, {kSection, "a''b"},
  };
  for (size_t i = 0; i < names.size(); ++i) {
    std::string value = "v" + std::to_string(i) + "'\\";
    ini_->WriteStr(names[i].first, names[i].second, value, 0);
  }
  std::string again = "again";
  ini_->WriteStr("O'BRIEN", "plus", again, 0);  // ASCII case does not count
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string expected = i == 0 ? "again" : "v" + std::to_string(i) + "'\\";
    EXPECT_EQ(ini_->GetStr(names[i].first, names[i].second, "<default>", 0), Variant(expected))
        << names[i].first << " / " << names[i].second;
  }
  RecordsetRef rs = dal_->GetRecordset(cs(), "SELECT count(*) FROM DBINI");
  EXPECT_EQ(rs->Fields(0).Value().ToInteger(), static_cast<int64_t>(names.size()));
}

TEST_P(DbIniTest, BooleansAreStoredAsOneAndZero) {
  bool on = true;
  bool off = false;
  ini_->WriteBool(kSection, "Active", on, 0);
  ini_->WriteBool(kSection, "Suspress", off, 0);
  EXPECT_EQ(Stored("Active"), std::vector<std::string>{"1"});
  EXPECT_EQ(Stored("Suspress"), std::vector<std::string>{"0"});
  const Variant active = ini_->GetBool(kSection, "Active", false, 0);
  EXPECT_EQ(active.type(), Variant::Type::kBoolean);
  EXPECT_EQ(active, Variant(true));
  EXPECT_EQ(ini_->GetBool(kSection, "Suspress", true, 0), Variant(false));
}

TEST_P(DbIniTest, ReadingAcceptsTheOtherBooleanForms) {
  struct Case {
    std::string stored;
    bool default_value;
    bool read;
  };
  const std::vector<Case> cases = {
      {"-1", false, true},    {"TRUE", false, true}, {"true", false, true},
      {"False", true, false}, {" 0 ", true, false},  {"2", false, true},
      {"ja", true, true},     {"ja", false, false},  {"", false, false},
  };
  for (const Case& c : cases) {
    Write("Active", c.stored);
    EXPECT_EQ(ini_->GetBool(kSection, "Active", c.default_value, 0), Variant(c.read))
        << "'" << c.stored << "'";
  }
}

TEST_P(DbIniTest, AWriteReplacesTheValueWhateverTheCaseOfTheNames) {
  Write("Plus", "00");
  std::string plus = "+";
  ini_->WriteStr("CANONICAL_PHONE", "plus", plus, 0);
  EXPECT_EQ(Stored("Plus"), std::vector<std::string>{"+"});
  EXPECT_EQ(ini_->GetStr("canonical_phone", "PLUS", "00", 0), Variant("+"));
  EXPECT_EQ(ini_->GetStr("Other_Section", "Plus", "default", 0), Variant("default"));
}

TEST_P(DbIniTest, ANullValueReadsAsNothingStored) {
  Write("Plus", "x");
  dal_->ExecQuery(cs(), "UPDATE DBINI SET KEYVALUE = NULL");
  EXPECT_EQ(ini_->GetStr(kSection, "Plus", "00", 0), Variant("00"));
  EXPECT_EQ(ini_->GetBool(kSection, "Plus", true, 0), Variant(true));
}

TEST_P(DbIniTest, AWriteJoinsATransactionOpenOnTheSession) {
  Write("VAZ", "0");
  ado::Connection connection;
  connection.SetConnectionString(cs());
  connection.Open();
  connection.BeginTrans();
  Write("VAZ", "9");
  EXPECT_EQ(ini_->GetStr(kSection, "VAZ", "", 0), Variant("9"));
  connection.RollbackTrans();
  EXPECT_EQ(ini_->GetStr(kSection, "VAZ", "", 0), Variant("0"));
}

TEST_P(DbIniTest, AFailedWriteLeavesTheOldValue) {
  Write("Plus", "00");
  // A trigger rejects the new row after the old one was deleted.
  if (GetParam() == testing::kSqlite) {
    dal_->ExecQuery(cs(),
                    "CREATE TRIGGER reject BEFORE INSERT ON DBINI WHEN NEW.KEYVALUE = 'boom' "
                    "BEGIN SELECT RAISE(ABORT, 'rejected by trigger'); END");
  } else {
    dal_->ExecQuery(cs(),
                    "CREATE FUNCTION reject() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                    "IF NEW.KEYVALUE = 'boom' THEN RAISE EXCEPTION 'rejected by trigger'; END IF; "
                    "RETURN NEW; END $$");
    dal_->ExecQuery(cs(),
                    "CREATE TRIGGER reject BEFORE INSERT ON DBINI "
                    "FOR EACH ROW EXECUTE FUNCTION reject()");
  }
  try {
    Write("Plus", "boom");
    FAIL() << "no error";
  } catch (const DbError& error) {
    EXPECT_NE(error.description().find("rejected by trigger"), std::string::npos)
        << error.description();
  }
  EXPECT_EQ(ini_->GetStr(kSection, "Plus", "", 0), Variant("00"));
  std::string with_nul("a\0b", 3);
  EXPECT_THROW(ini_->WriteStr(kSection, "Plus", with_nul, 0), Error);
  EXPECT_EQ(ini_->GetStr(kSection, "Plus", "", 0), Variant("00"));
}

INSTANTIATE_TEST_SUITE_P(Providers, DbIniTest,
                         ::testing::Values(testing::kSqlite, testing::kPostgres));

TEST(DbIni, InitFailsForADatabaseThatCannotBeOpened) {
  testing::TempDir dir;
  cDbIni ini;
  EXPECT_THROW(ini.Init("Provider=SQLite;Data Source=" + dir.File("missing.db")), DbError);
}

}  // namespace
}  // namespace fonwerk::com
