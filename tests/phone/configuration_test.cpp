// Loading and storing the canonical configuration, on real databases, and the
// failure consequences that only a failing component can produce.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "com/component_factory.h"
#include "phone/canonical_telephone.h"
#include "tests/phone/canonical_peer.h"
#include "tests/phone/run_log_capture.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using test::Provider;
using test::TestInstall;
using ::testing::ElementsAre;

class ConfigurationTest : public ::testing::TestWithParam<Provider> {
 protected:
  std::unique_ptr<TestInstall> Install(const std::string& land = "DEU") {
    test::Options options;
    options.land = land;
    return TestInstall::Create(GetParam(), options);
  }
};

// The code Init leaves on an object whose code was `before`.
std::string CodeAfterInit(const TestInstall& install, const std::string& before) {
  cCanonicalTelephone c;
  c.code = before;
  c.Init(install.connect_string());
  return c.code;
}

TEST_P(ConfigurationTest, OwnCountryGivesItsCodeAndTheLogShowsIt) {
  auto install = Install("AUT");
  test::RunLogCapture log;
  cCanonicalTelephone c;
  c.SetRunLog(log.Sink());
  c.Init(install->connect_string());
  EXPECT_EQ(c.code, "43");
  EXPECT_THAT(log.Texts(),
              ElementsAre("++++ INIT ++++", "Code|43", "Plus|00", "VAZ|0", "Suspress|True"));
}

TEST_P(ConfigurationTest, NullOrEmptyLandMeansGermany) {
  for (const char* update : {"UPDATE STD SET Land = NULL", "UPDATE STD SET Land = ''"}) {
    auto install = Install("AUT");
    install->Exec(update);
    cCanonicalTelephone c;
    c.Init(install->connect_string());
    EXPECT_EQ(c.code, "49") << update;
  }
}

TEST_P(ConfigurationTest, UnknownShortCodeFallsBackTo49) {
  auto install = Install("ZZZ");
  EXPECT_EQ(CodeAfterInit(*install, "7"), "49");
}

TEST_P(ConfigurationTest, SeveralMatchingCountriesTakeTheFirstByName) {
  auto install = Install("XYZ");
  install->Exec("INSERT INTO postorte (alort, oname, ozusatz) VALUES ('land9991', 'Zland', 'XYZ')");
  install->Exec("INSERT INTO postorte (alort, oname, ozusatz) VALUES ('land9992', 'Aland', 'XYZ')");
  install->Exec("INSERT INTO postplz (alort, plz, vorwahl) VALUES ('land9991', '0', '991')");
  install->Exec("INSERT INTO postplz (alort, plz, vorwahl) VALUES ('land9992', '0', '992')");
  cCanonicalTelephone c;
  c.Init(install->connect_string());
  EXPECT_EQ(c.code, "992");
}

// The stored settings as a new object's Init reads them.
struct Settings {
  bool enabled;
  std::string plus, vaz;
  bool suspress;
  bool operator==(const Settings&) const = default;
  friend void PrintTo(const Settings& s, std::ostream* out) {
    *out << "{Enabled " << s.enabled << ", Plus '" << s.plus << "', VAZ '" << s.vaz
         << "', Suspress " << s.suspress << "}";
  }
};

Settings SettingsAfterInit(const std::string& connect_string) {
  cCanonicalTelephone c;
  c.Init(connect_string);
  return {c.Enabled, c.Plus, c.VAZ, c.Suspress};
}

TEST_P(ConfigurationTest, NoStoredSettingsGiveTheDefaults) {
  auto install = Install();
  EXPECT_EQ(SettingsAfterInit(install->connect_string()), (Settings{false, "00", "0", true}));
}

TEST_P(ConfigurationTest, StoredSettingsSurviveInitButCodeDoesNot) {
  auto install = Install();
  {
    cCanonicalTelephone c;
    c.Init(install->connect_string());
    c.Enabled = true;
    c.Plus = "011";
    c.VAZ = "1";
    c.Suspress = false;
    c.code = "99";
    c.SetCanonicalConfiguration();
    c.Init(install->connect_string());
    EXPECT_EQ(c.code, "49");  // never stored, derived anew
  }
  EXPECT_EQ(SettingsAfterInit(install->connect_string()), (Settings{true, "011", "1", false}));
}

TEST_P(ConfigurationTest, CountryListIsUnfilteredAndOnItsFirstRow) {
  auto install = Install("AUT");
  cCanonicalTelephone c;
  c.Init(install->connect_string());
  auto& list = CanonicalTelephoneTestPeer::CountryList(c);
  ASSERT_TRUE(list);
  const auto first_by_name = install->Query(
      "SELECT postorte.oname FROM postplz INNER JOIN postorte ON postplz.alort = postorte.alort "
      "WHERE postorte.alort LIKE 'land%' ORDER BY postorte.oname");
  ASSERT_FALSE(first_by_name.empty());
  ASSERT_FALSE(list->Eof());
  EXPECT_EQ(list->Fields("Land").Value().ToText(), first_by_name.front().front().value());
  int rows = 0;
  for (; !list->Eof(); list->MoveNext()) ++rows;
  EXPECT_EQ(rows, static_cast<int>(first_by_name.size()));
}

TEST_P(ConfigurationTest, UnreadableOrEmptyStdTakesTheFirstCountryByName) {
  for (const char* breakage : {"DROP TABLE STD", "DELETE FROM STD"}) {
    auto install = Install("AUT");
    install->Exec(breakage);
    const auto first = install->Query(
        "SELECT postplz.vorwahl FROM postplz INNER JOIN postorte ON postplz.alort = postorte.alort "
        "WHERE postorte.alort LIKE 'land%' ORDER BY postorte.oname");
    cCanonicalTelephone c;
    c.Init(install->connect_string());
    EXPECT_EQ(c.code, first.front().front().value()) << breakage;
  }
}

TEST_P(ConfigurationTest, ShortCodeWithApostropheLeavesTheListUnfiltered) {
  auto install = Install("A'T");
  const auto first = install->Query(
      "SELECT postplz.vorwahl FROM postplz INNER JOIN postorte ON postplz.alort = postorte.alort "
      "WHERE postorte.alort LIKE 'land%' ORDER BY postorte.oname");
  cCanonicalTelephone c;
  c.Init(install->connect_string());
  EXPECT_EQ(c.code, first.front().front().value());
}

TEST_P(ConfigurationTest, UnreadableCountryListKeepsTheEarlierCode) {
  auto install = Install("AUT");
  install->Exec("DROP TABLE postplz");
  test::RunLogCapture log;
  cCanonicalTelephone c;
  c.SetRunLog(log.Sink());
  c.Init(install->connect_string());
  EXPECT_EQ(c.code, "");  // no fallback: the list could not be read at all
  EXPECT_EQ(log.Texts().at(1), "Code|");
  c.code = "43";
  c.Init(install->connect_string());
  EXPECT_EQ(c.code, "43");
}

TEST_P(ConfigurationTest, NullDiallingCodeKeepsTheEarlierCode) {
  auto install = Install("AUT");
  install->Exec("UPDATE postplz SET vorwahl = NULL WHERE alort IN "
                "(SELECT alort FROM postorte WHERE ozusatz = 'AUT')");
  EXPECT_EQ(CodeAfterInit(*install, "31"), "31");
}

TEST_P(ConfigurationTest, CheckInitRunsInitOnlyWithoutAConnection) {
  auto install = Install("AUT");
  cCanonicalTelephone c;
  c.CheckInit(install->connect_string());
  EXPECT_EQ(c.code, "43");
  c.code = "1";
  c.CheckInit("Provider=SQLite;Data Source=/nonexistent.db");
  EXPECT_EQ(c.code, "1");  // already initialised: nothing happens

  cCanonicalTelephone empty;
  empty.Init("");
  EXPECT_EQ(CanonicalTelephoneTestPeer::Connect(empty), "");
  empty.CheckInit(install->connect_string());
  EXPECT_EQ(empty.code, "43");
}

INSTANTIATE_TEST_SUITE_P(Providers, ConfigurationTest, test::BothProviders(),
                         test::ProviderParamName);

// --- failures that need a component double ---

// A settings store whose Boolean reads fail and whose writes record what they got.
class FailingBoolIni : public com::IDbIni {
 public:
  void Init(const std::string&) override {}
  Variant GetBool(const std::string&, const std::string&, bool, int16_t) override {
    throw Error(errnum::kProvider, "settings store unavailable");
  }
  Variant GetStr(const std::string&, const std::string& key, const std::string&, int16_t) override {
    return Variant("stored-" + key);
  }
  void WriteBool(const std::string&, const std::string& key, bool&, int16_t) override {
    writes.push_back(key);
    throw Error(errnum::kProvider, "read-only store");
  }
  void WriteStr(const std::string&, const std::string& key, std::string& value, int16_t) override {
    writes.push_back(key + "=" + value);
  }
  static inline std::vector<std::string> writes;
};

TEST(ConfigurationFailureTest, FailingSettingsReadLeavesTheMemberAsItWas) {
  auto install = TestInstall::Create(Provider::kSQLite);
  auto guard = com::ComponentFactory::Instance().Override(
      com::progid::kDbIni, [] { return std::make_shared<FailingBoolIni>(); });
  test::RunLogCapture log;
  cCanonicalTelephone c;
  c.SetRunLog(log.Sink());
  c.Init(install->connect_string());
  EXPECT_FALSE(c.Enabled);
  EXPECT_FALSE(c.Suspress);  // the default True is never applied
  EXPECT_EQ(c.Plus, "stored-Plus");
  EXPECT_EQ(c.VAZ, "stored-VAZ");
  EXPECT_EQ(log.Texts().back(), "Suspress|False");
}

TEST(ConfigurationFailureTest, FailingWritesAreSkippedAndTheRestAreMade) {
  auto install = TestInstall::Create(Provider::kSQLite);
  auto guard = com::ComponentFactory::Instance().Override(
      com::progid::kDbIni, [] { return std::make_shared<FailingBoolIni>(); });
  FailingBoolIni::writes.clear();
  cCanonicalTelephone c;
  c.Init(install->connect_string());
  c.Plus = "00";
  c.VAZ = "0";
  c.SetCanonicalConfiguration();
  EXPECT_THAT(FailingBoolIni::writes, ElementsAre("Active", "Plus=00", "VAZ=0", "Suspress"));
}

TEST(ConfigurationFailureTest, ComponentsThatCannotBeCreatedLeaveInitQuiet) {
  auto install = TestInstall::Create(Provider::kSQLite, {.land = "AUT"});
  auto no_dal = com::ComponentFactory::Instance().Override(
      com::progid::kDal, []() -> std::shared_ptr<com::Component> { throw Error(5, "no dal"); });
  test::RunLogCapture log;
  cCanonicalTelephone c;
  c.SetRunLog(log.Sink());
  c.code = "31";
  EXPECT_NO_THROW(c.Init(install->connect_string()));
  EXPECT_EQ(c.code, "31");  // nothing could be read
  EXPECT_EQ(c.Plus, "00");  // the settings store still works
  EXPECT_EQ(log.Texts().size(), 5u);
}

}  // namespace
}  // namespace fonwerk
