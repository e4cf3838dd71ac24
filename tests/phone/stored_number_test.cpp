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
                   {"0049 (89) 1", "0891"},  // brackets around the area code stay
                   {"+4989 (0)1", "08901"},  // no country code of four digits
                   {"089 (0)1", "08901"},    // no country code at all
                   {"+49+49", "00049"},
                   {"+43 1 234", "00431234"},
                   {"Zentrale", ""},
                   {"", ""},
               });
  // Without VAZ (or Plus) there is no bracketed trunk prefix to recognise.
  ExpectStored(Rules("00", "49", "", true), {{"+49 (0)89 1", "0891"}, {"+49 ()89 1", "891"}});
  ExpectStored(Rules("", "49", "0", true), {{"+49 (0)89 1", "00891"}});
}

// Own-country numbers in international form are stored nationally however
// the prefix is written, so that the national and the +49 form find them;
// a stored number reduces to itself, so that its own digits find it too.
TEST(StoredNumberTest, OwnCountryInternationalFormsBecomeNational) {
  const cCanonicalTelephone german = Rules("00", "49", "0", true);
  ExpectStored(german, {
                           {"(+49) 89 123", "089123"},
                           {"(+49) (0)89 123", "089123"},
                           {"(0049) 711 123", "0711123"},
                           {"00 49 711 123", "0711123"},
                           {"00 49 (0) 711 123", "0711123"},
                           {"+ 49 (0)89", "089"},
                           {"+49-(0)89-123", "089123"},
                           {"Tel. +49 89 123", "089123"},
                           {"00491520101899", "01520101899"},
                           {"0049 049 1", "01"},     // reduced until no prefix is left
                           {"(+43) 1 234", "00431234"},  // foreign numbers stay international
                           {"000 49 89", "0004989"},  // 0004989: not the prefix 0049
                       });
  com::cUtil util;
  for (const char* stored : {"089123", "0711123", "00431234", "00049", "0004989", "01"}) {
    EXPECT_EQ(StoredNumber(stored, german, util), stored);
    EXPECT_EQ(StoredNumber(std::string("+49") + (stored + 1), german, util), stored)
        << "+49 form of " << stored;
  }
  // Without Suspress nothing is national; without Plus no bracket is dropped.
  ExpectStored(Rules("00", "49", "0", false), {{"(+49) 89 123", "004989123"}});
  ExpectStored(Rules("", "49", "0", true), {{"(49) (0)89", "0089"}});
  // A trunk prefix as long as the own prefix: one round, and no endless loop.
  ExpectStored(Rules("0", "1", "01", true), {{"01 01 5", "01015"}});
}

// Addresses are stored without the blanks and line breaks around them.
TEST(StoredNumberTest, AddressesLoseTheBlanksAndLineBreaksAroundThem) {
  for (const auto& [address, stored] : std::vector<std::pair<std::string, std::string>>{
           {" a@b.de ", "a@b.de"},
           {"a@b.de\r", "a@b.de"},
           {"\t A.B@c.de \r\n", "A.B@c.de"},
           {"a b@c.de", "a b@c.de"},
           {" \r\n ", ""},
       }) {
    EXPECT_EQ(StoredAddress(address), stored) << "'" << address << "'";
  }
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
  EXPECT_THAT(stored, ::testing::ElementsAre("089123456", "00442079460000", "089123",
                                             "08912345612", "08912345699"));
}

INSTANTIATE_TEST_SUITE_P(Providers, StoredNumberHarvestTest, test::BothProviders(),
                         test::ProviderParamName);

}  // namespace
}  // namespace fonwerk
