// Harvesting one contact into TAPI rows, on real databases.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "com/component_factory.h"
#include "com/dal.h"
#include "com/util.h"
#include "phone/canonical_telephone.h"
#include "tests/phone/canonical_peer.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using test::Provider;
using test::TestInstall;
using Opt = std::optional<std::string>;

constexpr const char* kType1 = "{1FEB2033-7850-44A0-919C-75BCC50F99B8}";
constexpr const char* kType2 = "{074FBB74-EE19-44D5-9608-5B55D1F39DF4}";
constexpr const char* kType3 = "{C30AEB5A-85F8-4335-B321-598AAEC8F40A}";
constexpr const char* kType4 = "{53E57451-2D06-4927-B55A-2A25E5DCBA41}";
constexpr const char* kTypeOther = "{A0D59022-A36F-4F39-B049-D71477532307}";
constexpr const char* kTypeFax = "{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}";
constexpr const char* kTypeEmail = "{C451E716-7025-4EE9-8579-E2D0C6E26888}";

struct TapiRow {
  Opt nummer;
  Opt bemerkung;
  Opt type;
  bool operator==(const TapiRow&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TapiRow& row) {
  auto show = [](const Opt& v) { return v ? "'" + *v + "'" : std::string("NULL"); };
  return os << "{" << show(row.nummer) << ", " << show(row.bemerkung) << ", " << show(row.type)
            << "}";
}

struct Contact {
  Opt telefon;
  Opt fax;
  Opt email;
  Opt weitemail;
};

std::string Literal(const Opt& value) {
  if (!value) return "NULL";
  std::string out = "'";
  for (char ch : *value) {
    if (ch == '\'') out += '\'';
    out += ch;
  }
  return out + "'";
}

class HarvestingTest : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override {
    install_ = TestInstall::Create(GetParam());
    canonical_.Init(install_->connect_string());
  }

  void AddContact(const std::string& key, const Contact& contact) {
    install_->Exec("INSERT INTO AD (DSN, Kennung, TELEFON, FAX, EMAIL, WEITEMAIL) VALUES (" +
                   Literal(key) + ", " + Literal(key) + ", " + Literal(contact.telefon) + ", " +
                   Literal(contact.fax) + ", " + Literal(contact.email) + ", " +
                   Literal(contact.weitemail) + ")");
  }

  com::RecordsetRef OpenContact(const std::string& key) {
    auto dal = com::ComponentFactory::Instance().Create<com::IDal>(com::progid::kDal);
    return dal->GetRecordset(install_->connect_string(),
                             "SELECT * FROM AD WHERE DSN=" + Literal(key));
  }

  void Harvest(const std::string& key, bool remove, bool write) {
    auto rs = OpenContact(key);
    canonical_.SaveTapiNumbers(rs, remove, write);
  }

  // The rows HarvestTapiRows derives for the contact, without writing them.
  std::vector<TapiRow> Derived(const std::string& key) {
    auto rs = OpenContact(key);
    std::vector<fonwerk::TapiRow> derived;
    canonical_.HarvestTapiRows(*rs, canonical_.TapiColumnWidths(), derived);
    std::vector<TapiRow> rows;
    for (const fonwerk::TapiRow& row : derived) {
      rows.push_back(
          {row.nummer, row.has_bemerkung ? Opt(row.bemerkung) : Opt(), std::string(row.type)});
    }
    return rows;
  }

  // The contact's rows in the order they were written (the keys are time-ordered).
  std::vector<TapiRow> Rows(const std::string& key) {
    std::vector<TapiRow> rows;
    for (const auto& r : install_->Query("SELECT NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI "
                                         "WHERE AD_DSN=" +
                                         Literal(key) + " ORDER BY DSN")) {
      rows.push_back({r[0], r[1], r[2]});
    }
    return rows;
  }

  std::unique_ptr<TestInstall> install_;
  cCanonicalTelephone canonical_;
};

struct HarvestCase {
  const char* name;
  Contact contact;
  bool suspress;
  std::vector<TapiRow> expected;
};

const HarvestCase kCases[] = {
    {"OwnCountryWithBlank",
     {"+49 89\t123456\tZentrale", {}, {}, {}},
     true,
     {{"089123456", "Zentrale", kType1}}},
    {"OwnCountryKeptWithoutSuspress",
     {"+49 89\t123456\tZentrale", {}, {}, {}},
     false,
     {{"004989123456", "Zentrale", kType1}}},
    // Own-country numbers are national however the prefix is written, so
    // that every form of the number finds them.
    {"BracketedPrefixIsShortened", {"(+49) 89\t123\tx", {}, {}, {}}, true,
     {{"089123", "x", kType1}}},
    {"PlusWrittenAsZeros", {"0049 89\t1", {}, {}, {}}, true, {{"0891", "", kType1}}},
    {"SeparatorInsidePrefixIsShortened", {"00 49 89\t1", {}, {}, {}}, true, {{"0891", "", kType1}}},
    {"ForeignNumbers", {"+43 1\t234567\tWien\r\n0043 1 234567", {}, {}, {}}, true,
     {{"00431234567", "Wien", kType1}, {"00431234567", "", kType2}}},
    {"LineWithoutTab", {"089/123 456", {}, {}, {}}, true, {{"089123456", "", kType1}}},
    {"RemarkKeepsItsLeadingBlanks",
     {"  089\t 1 \t  Mobil  ", {}, {}, {}},
     true,
     {{"0891", "  Mobil", kType1}}},
    {"EmptyTelefonWithFax", {"", "089 999", {}, {}}, true, {{"089999", "Fax", kTypeFax}}},
    {"NullTelefonWithFax", {{}, "+49 89 999", {}, {}}, true, {{"089999", "Fax", kTypeFax}}},
    {"LineWithoutDigitsStillCounts",
     {"0891\tx\ta\r\nkeine Nummer\r\n0893\t\tc", "", {}, {}},
     true,
     {{"0891", "a", kType1}, {"0893", "c", kType3}}},
    {"BlankAndEmptyLinesCount",
     {"\r\n   \r\n\t\tnur Bemerkung\r\n0894", {}, {}, {}},
     true,
     {{"0894", "", kType4}}},
    {"SixLinesShareTheLastType",
     {"1\r\n2\r\n3\r\n4\r\n5\r\n6", "7", {}, {}},
     true,
     {{"1", "", kType1},
      {"2", "", kType2},
      {"3", "", kType3},
      {"4", "", kType4},
      {"5", "", kTypeOther},
      {"6", "", kTypeOther},
      {"7", "Fax", kTypeFax}}},
    {"BlankEmailGivesNoRow", {{}, {}, "   ", {}}, true, {}},
    // Addresses are stored without the blanks and line breaks around them, so
    // that the bare address finds them; a line of blanks gives no row.
    {"EmailIsStoredTrimmed", {{}, {}, " a@b.de \r", {}}, true, {{"a@b.de", {}, kTypeEmail}}},
    {"FurtherEmailsWithEmptyAndBlankLines",
     {{}, {}, "a@b.de", "x@y.de \r\n\r\n  \r\n\tz@y.de\n"}, true,
     {{"a@b.de", {}, kTypeEmail}, {"x@y.de", {}, kTypeEmail}, {"z@y.de", {}, kTypeEmail}}},
    {"EmailOfLineBreaksGivesNoRow", {{}, {}, "\r\n", {}}, true, {}},
    {"BlankFurtherEmailGivesNoRow", {{}, {}, {}, "   "}, true, {}},
    {"NullEverywhere", {{}, {}, {}, {}}, true, {}},
    {"FaxWithTabIsSplit", {{}, "089\t5", {}, {}}, true, {{"089", "5", kTypeFax}}},
};

TEST_P(HarvestingTest, Cases) {
  int n = 0;
  for (const HarvestCase& c : kCases) {
    const std::string key = "K" + std::to_string(n++);
    AddContact(key, c.contact);
    canonical_.Suspress = c.suspress;
    Harvest(key, false, true);
    EXPECT_EQ(Rows(key), c.expected) << c.name;
    // The rows the differential refresh compares are the ones written.
    EXPECT_EQ(Derived(key), c.expected) << c.name;
  }
}

TEST_P(HarvestingTest, RowsCarryNewKeysAndTheContactKey) {
  AddContact("O'Brien \"1\"", {"089\t1\r\n089\t2", "", "a@b.de", {}});
  Harvest("O'Brien \"1\"", false, true);
  const auto rows = install_->Query("SELECT DSN, AD_DSN FROM TAPI");
  ASSERT_EQ(rows.size(), 3u);
  std::set<std::string> keys;
  for (const auto& row : rows) {
    ASSERT_TRUE(row[0]);
    EXPECT_THAT(*row[0], ::testing::MatchesRegex(
                             "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}"));
    keys.insert(*row[0]);
    EXPECT_EQ(row[1], Opt("O'Brien \"1\""));
  }
  EXPECT_EQ(keys.size(), 3u);
}

TEST_P(HarvestingTest, DeleteRemovesOnlyThatContactsRows) {
  // Keys a statement built by quoting could get wrong.
  const std::vector<std::string> keys = {"A'1",  "A'2",          "C:\\x\\", "\\'",
                                         "a''b", "x' OR '1'='1", "Grüße ☎"};
  for (const std::string& key : keys) {
    AddContact(key, {"0891", {}, {}, {}});
    Harvest(key, false, true);
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    Harvest(keys[i], true, false);
    for (size_t j = 0; j < keys.size(); ++j) {
      EXPECT_EQ(Rows(keys[j]).size(), j <= i ? 0u : 1u) << keys[i] << " deleted, " << keys[j];
    }
  }

  Harvest("A'2", true, true);
  Harvest("A'2", true, true);  // delete and write: the rows are replaced, not doubled
  EXPECT_EQ(Rows("A'2").size(), 1u);
}

TEST_P(HarvestingTest, NoDeleteWhenTheContactRecordsetIsNotOnARow) {
  AddContact("B1", {"0891", {}, {}, {}});
  Harvest("B1", false, true);
  auto rs = OpenContact("B1");
  rs->MoveNext();  // past the only row
  canonical_.SaveTapiNumbers(rs, true, false);
  EXPECT_EQ(Rows("B1").size(), 1u);
}

TEST_P(HarvestingTest, ValuesAreCutToTheColumnWidth) {
  install_->Exec("DROP TABLE TAPI");
  install_->Exec(
      "CREATE TABLE TAPI (DSN VARCHAR(38) PRIMARY KEY, AD_DSN VARCHAR(38) NOT NULL, "
      "NUMMER VARCHAR(6), BEMERKUNG VARCHAR(4), contactTypeDsn VARCHAR(38))");
  AddContact("C1", {"0891234567\t\tÄußerst wichtig", {}, "langer.name@example.de", {}});
  Harvest("C1", false, true);
  EXPECT_THAT(Rows("C1"), ::testing::ElementsAre(TapiRow{"089123", "Äuße", kType1},
                                                 TapiRow{"langer", {}, kTypeEmail}));
  EXPECT_EQ(Derived("C1"), Rows("C1"));
}

TEST_P(HarvestingTest, BothFlagsFalseDoNothing) {
  AddContact("D1", {"0891", {}, {}, {}});
  Harvest("D1", false, false);
  EXPECT_TRUE(Rows("D1").empty());
}

TEST_P(HarvestingTest, MissingColumnFailsAndWritesNothing) {
  install_->Exec("CREATE TABLE AD2 (DSN VARCHAR(38), TELEFON TEXT)");
  install_->Exec("INSERT INTO AD2 VALUES ('E1', '0891')");
  auto dal = com::ComponentFactory::Instance().Create<com::IDal>(com::progid::kDal);
  auto rs = dal->GetRecordset(install_->connect_string(), "SELECT * FROM AD2");
  EXPECT_THROW(canonical_.SaveTapiNumbers(rs, false, true), Error);
  EXPECT_TRUE(Rows("E1").empty());
}

// cUtil and cDal that record the calls the harvesting makes, in order.
class RecordingUtil : public com::cUtil {
 public:
  explicit RecordingUtil(std::vector<std::string>& calls) : calls_(calls) {}
  int32_t StrListCount(const std::string& list, const std::string& separator) override {
    calls_.push_back("StrListCount(" + Show(list) + ")");
    return cUtil::StrListCount(list, separator);
  }
  std::string StrListNr(const std::string& list, const std::string& separator,
                        int32_t position) override {
    calls_.push_back("StrListNr(" + Show(list) + "," + Show(separator) + "," +
                     std::to_string(position) + ")");
    return cUtil::StrListNr(list, separator, position);
  }
  std::vector<std::string> StrListItems(const std::string& list,
                                        const std::string& separator) override {
    calls_.push_back("StrListItems(" + Show(list) + ")");
    return cUtil::StrListItems(list, separator);
  }
  std::string NurZahlen(const std::string& text) override {
    calls_.push_back("NurZahlen(" + text + ")");
    return cUtil::NurZahlen(text);
  }
  std::string NewGUID() override {
    calls_.push_back("NewGUID");
    char guid[16];
    std::snprintf(guid, sizeof guid, "{G%06d}", ++guids_);  // ascending, as real ones
    return guid;
  }

 private:
  // Separators made visible.
  static std::string Show(const std::string& text) {
    std::string out;
    for (char c : text)
      out += c == '\t'   ? std::string("<T>")
             : c == '\r' ? std::string("<R>")
             : c == '\n' ? std::string("<N>")
                         : std::string(1, c);
    return out;
  }
  std::vector<std::string>& calls_;
  int guids_ = 0;
};

class RecordingDal : public com::cDal {
 public:
  explicit RecordingDal(std::vector<std::string>& calls) : calls_(calls) {}
  com::RecordsetRef OpenEmptyTable(const std::string& connect, const std::string& table,
                                   int32_t mode) override {
    calls_.push_back("OpenEmptyTable(" + table + "," + std::to_string(mode) + ")");
    return cDal::OpenEmptyTable(connect, table, mode);
  }
  void MdbNoNullFields(com::RecordsetRef& rs) override {
    calls_.push_back("MdbNoNullFields");
    cDal::MdbNoNullFields(rs);
  }
  void UpdateRecordSet(const std::string& connect, com::RecordsetRef& rs) override {
    calls_.push_back("UpdateRecordSet(" + std::to_string(rs->AddedRowCount()) + ")");
    cDal::UpdateRecordSet(connect, rs);
  }

 private:
  std::vector<std::string>& calls_;
};

// The component calls of one contact, with the values they get: the calls and
// their order are what the harvesting promises the component library. The
// contact is harvested through a forward-only recordset, as the rebuild does,
// twice over (the second time with the row storage of the first).
TEST_P(HarvestingTest, ComponentCallsAreMadeInOrderWithTheirValues) {
  std::vector<std::string> calls;
  auto util_guard = com::ComponentFactory::Instance().Override(
      com::progid::kUtil, [&calls] { return std::make_shared<RecordingUtil>(calls); });
  auto dal_guard = com::ComponentFactory::Instance().Override(
      com::progid::kDal, [&calls] { return std::make_shared<RecordingDal>(calls); });
  cCanonicalTelephone canonical;
  canonical.Init(install_->connect_string());
  AddContact("R1", {"+49 89\t123\tZentrale\r\nkeine", "089 9", " a@b.de", "x@y\r\n\r\nz@y"});
  AddContact("R2", {"+49 89\t123\tZentrale\r\nkeine", "089 9", " a@b.de", "x@y\r\n\r\nz@y"});
  const std::vector<std::string> expected = {
      "OpenEmptyTable(TAPI,4)",
      "StrListCount(+49 89<T>123<T>Zentrale<R><N>keine<R><N><T>089 9<T>Fax)",
      "StrListItems(+49 89<T>123<T>Zentrale<R><N>keine<R><N><T>089 9<T>Fax)",
      "StrListNr(+49 89<T>123<T>Zentrale,<T>,1)",
      "StrListNr(+49 89<T>123<T>Zentrale,<T>,2)",
      "NurZahlen(0 89123)",
      "StrListNr(+49 89<T>123<T>Zentrale,<T>,3)",
      "NewGUID",
      "MdbNoNullFields",
      "StrListNr(keine,<T>,1)",
      "StrListNr(keine,<T>,2)",
      "NurZahlen(keine)",
      "StrListNr(keine,<T>,3)",
      "StrListNr(<T>089 9<T>Fax,<T>,1)",
      "StrListNr(<T>089 9<T>Fax,<T>,2)",
      "NurZahlen(089 9)",
      "StrListNr(<T>089 9<T>Fax,<T>,3)",
      "NewGUID",
      "MdbNoNullFields",
      "NewGUID",
      "MdbNoNullFields",
      "StrListCount(x@y<R><N><R><N>z@y)",
      "StrListItems(x@y<R><N><R><N>z@y)",
      "NewGUID",
      "MdbNoNullFields",
      "NewGUID",
      "MdbNoNullFields",
      "UpdateRecordSet(5)",
  };
  ado::Connection connection;
  connection.SetConnectionString(install_->connect_string());
  connection.Open();
  auto contacts = std::make_shared<ado::Recordset>();
  contacts->Open("SELECT * FROM AD WHERE DSN IN ('R1', 'R2') ORDER BY DSN", connection);
  for (const char* key : {"R1", "R2"}) {
    ASSERT_FALSE(contacts->Eof());
    calls.clear();
    canonical.SaveTapiNumbers(contacts, false, true);
    EXPECT_EQ(calls, expected) << key;
    EXPECT_EQ(Rows(key), (std::vector<TapiRow>{{"089123", "Zentrale", kType1},
                                               {"0899", "Fax", kTypeFax},
                                               {"a@b.de", {}, kTypeEmail},
                                               {"x@y", {}, kTypeEmail},
                                               {"z@y", {}, kTypeEmail}}))
        << key;
    contacts->MoveNext();
  }
}

INSTANTIATE_TEST_SUITE_P(Providers, HarvestingTest, test::BothProviders(), test::ProviderParamName);

TEST(ContactTypeTest, KeysAreCaseInsensitiveAndUnknownKeysShareOneType) {
  cCanonicalTelephone c;
  const std::pair<const char*, const char*> cases[] = {
      {"1", kType1},      {"2", kType2},     {"3", kType3},     {"4", kType4},
      {"5", kTypeOther},  {"7", kTypeOther}, {"8", kTypeOther}, {"0", kTypeOther},
      {"", kTypeOther},   {"fax", kTypeFax}, {"FAX", kTypeFax}, {"eMail", kTypeEmail},
      {" 1", kTypeOther},
  };
  for (const auto& [key, type] : cases) EXPECT_EQ(c.GetContactTypeDsn(key).ToText(), type) << key;
}

TEST(JoinTrimmedTest, TrimsBlanksOnlyAndKeepsTheInnerOnes) {
  cCanonicalTelephone c;
  EXPECT_EQ(CanonicalTelephoneTestPeer::JoinTrimmed(c, " +49 89 ", " 123 "), "+49 89123");
  EXPECT_EQ(CanonicalTelephoneTestPeer::JoinTrimmed(c, "\t1 ", " 2\t"), "\t12\t");
  EXPECT_EQ(CanonicalTelephoneTestPeer::JoinTrimmed(c, "   ", ""), "");
}

TEST(HarvestingBeforeInitTest, FailsAtItsFirstComponentCall) {
  cCanonicalTelephone c;
  com::RecordsetRef none;
  EXPECT_THROW(c.SaveTapiNumbers(none, true, true), Error);
}

}  // namespace
}  // namespace fonwerk
