// The one number reduction shared by the harvesting and the reverse lookup
// (tests/ctl/fonwerkctl_e2e_test.cpp checks that the lookup uses it), and what
// the harvesting stores with it.

#include "phone/stored_number.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/component_factory.h"
#include "com/util.h"
#include "phone/canonical_telephone.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using test::Provider;
using test::TestInstall;

cCanonicalTelephone Rules(std::string plus, std::string code, std::string vaz, bool suspress) {
  cCanonicalTelephone rules;
  rules.Plus = std::move(plus);
  rules.code = std::move(code);
  rules.VAZ = std::move(vaz);
  rules.Suspress = suspress;
  return rules;
}

struct Case {
  const char* number;
  const char* stored;
};

void ExpectStored(const cCanonicalTelephone& rules, const std::vector<Case>& cases) {
  com::cUtil util;
  for (const Case& c : cases) {
    EXPECT_EQ(StoredNumber(c.number, rules, util), c.stored) << "'" << c.number << "'";
  }
}

TEST(StoredNumberTest, BracketedTrunkZeroAfterACountryCodeIsDropped) {
  ExpectStored(Rules("00", "49", "0", true), {
                                                 {"+49 (0)89 123456", "089123456"},
                                                 {"+49(0)89 123456", "089123456"},
                                                 {"0049 (0)89 123456", "089123456"},
                                                 {"+49  (0) 89/123456", "089123456"},
                                                 {" +49 (0)89 123456 ", "089123456"},
                                                 {"+44 (0)20 7946 0000", "00442079460000"},
                                                 {"+352 (0)621 123", "00352621123"},
                                             });
  ExpectStored(Rules("00", "49", "0", false), {{"+49 (0)89 123456", "004989123456"}});
  // The trunk prefix of the configuration is what stands in the brackets.
  ExpectStored(Rules("011", "1", "1", true),
               {{"+1 (1)212 555", "1212555"}, {"+1 (0)212 555", "10212555"}});
}

TEST(StoredNumberTest, OtherFormsKeepTheirStoredForm) {
  ExpectStored(Rules("00", "49", "0", true),
               {
                   {"+49 89 123456", "089123456"},
                   {"089/123456", "089123456"},
                   {"0049 (89) 1", "0891"},        // brackets around the area code stay
                   {"(+49) 89 123", "004989123"},  // the prefix test fails on the bracket
                   {"+4989 (0)1", "08901"},        // no country code of four digits
                   {"089 (0)1", "08901"},          // no country code at all
                   {"+ 49 (0)89", "0049089"},      // a blank after + ends the prefix
                   {"00 49 89 1", "0049891"},      // a separator inside the prefix keeps it
                   {"+49+49", "00049"},
                   {"+43 1 234", "00431234"},
                   {"Zentrale", ""},
                   {"", ""},
               });
  // Without VAZ (or Plus) there is no bracketed trunk prefix to recognise.
  ExpectStored(Rules("00", "49", "", true), {{"+49 (0)89 1", "0891"}, {"+49 ()89 1", "891"}});
  ExpectStored(Rules("", "49", "0", true), {{"+49 (0)89 1", "00891"}});
}

TEST(StoredNumberTest, ExtensionMarkersLeaveTheDirectDialDigits) {
  ExpectStored(Rules("00", "49", "0", true), {
                                                 {"089 123456-12", "08912345612"},
                                                 {"089 123456 ext. 12", "08912345612"},
                                                 {"089 123456 Durchwahl 12", "08912345612"},
                                                 {"+49 (0)89 123456 x12", "08912345612"},
                                             });
}

// What the harvesting writes for telephone lines, read back from TAPI.
class StoredNumberHarvestTest : public ::testing::TestWithParam<Provider> {};

TEST_P(StoredNumberHarvestTest, HarvestingStoresTheFormTheLookupAsksFor) {
  auto install = TestInstall::Create(GetParam());
  install->Exec(
      "INSERT INTO AD (DSN, TELEFON, FAX) VALUES ('K1', '+49 (0)89\t123456\tZentrale\r\n"
      "+44 (0)20 7946 0000\r\n(+49) 89\t123\r\n089 123456 Durchwahl 12', '+49 (0)89 123456-99')");
  cCanonicalTelephone phone;
  phone.Init(install->connect_string());
  auto dal = com::ComponentFactory::Instance().Create<com::IDal>(com::progid::kDal);
  com::RecordsetRef contact =
      dal->GetRecordset(install->connect_string(), "SELECT * FROM AD WHERE DSN = 'K1'");
  phone.SaveTapiNumbers(contact, false, true);

  std::vector<std::string> stored;
  for (const test::Row& row : install->Query("SELECT NUMMER FROM TAPI ORDER BY DSN")) {
    stored.push_back(row.at(0).value_or("NULL"));
  }
  EXPECT_THAT(stored, ::testing::ElementsAre("089123456", "00442079460000", "004989123",
                                             "08912345612", "08912345699"));
}

INSTANTIATE_TEST_SUITE_P(Providers, StoredNumberHarvestTest, test::BothProviders(),
                         test::ProviderParamName);

}  // namespace
}  // namespace fonwerk
