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
#include "phone/incoming_number.h"
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
                           {"0049 049 1", "01"},         // reduced until no prefix is left
                           {"(+43) 1 234", "00431234"},  // foreign numbers stay international
                           {"000 49 89", "0004989"},     // 0004989: not the prefix 0049
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

TEST(StoredNumberTest, ExtensionMarkersLeaveTheDirectDialDigits) {
  ExpectStored(Rules("00", "49", "0", true), {
                                                 {"089 123456-12", "08912345612"},
                                                 {"089 123456 ext. 12", "08912345612"},
                                                 {"089 123456 Durchwahl 12", "08912345612"},
                                                 {"+49 (0)89 123456 x12", "08912345612"},
                                             });
}

// The incoming rule: what a caller's identification names, in every form it
// arrives in. Numbers come out in stored form; nothing but the number part
// of a URI ever gives digits.
TEST(IncomingNumberTest, EveryFormNamesTheRightNumberAndNothingElseGivesDigits) {
  using Kind = IncomingNumber::Kind;
  const struct {
    const char* text;
    Kind kind;
    const char* value;
  } cases[] = {
      // Numbers as typed keep today's reading.
      {"  +49 89 123456\r\n", Kind::kNumber, "089123456"},
      {"089 123456 ext. 12", Kind::kNumber, "08912345612"},
      {"(+49) 89 123", Kind::kNumber, "089123"},
      {"00491520101899", Kind::kNumber, "01520101899"},
      {"Tel: 089 123456-7", Kind::kNumber, "0891234567"},  // a label, not a URI
      // tel: URIs.
      {"tel:+49-89-1234567", Kind::kNumber, "0891234567"},
      {"TEL:+49.89.(123)4567", Kind::kNumber, "0891234567"},
      {"tel:+49-89-123456;ext=22", Kind::kNumber, "08912345622"},
      {"tel:+49-89-123456;isub=5;npdi;rn=+49-30-9;EXT=2-2", Kind::kNumber, "08912345622"},
      {"tel:1234567;phone-context=+49-89", Kind::kNumber, "0891234567"},
      {"tel:1234567;phone-context=pbx.example.com", Kind::kNumber, "1234567"},
      {"tel:%2B44-20-7946-0000", Kind::kNumber, "00442079460000"},
      // sip: and sips: URIs, bare or in a name-addr: the user part only.
      {"sip:+49301234567@pbx.example.com", Kind::kNumber, "0301234567"},
      {"sips:+49301234567@pbx.example.com:5061;transport=tls", Kind::kNumber, "0301234567"},
      {"<sip:+49301234567@10.0.0.1;user=phone>", Kind::kNumber, "0301234567"},
      {"\"Raum 12 <3>\" <sip:0891234567@[2001:db8::1]:5060>;tag=99", Kind::kNumber, "0891234567"},
      {"Zentrale <SIP:+49-89-123456;ext=17@pbx;user=phone>", Kind::kNumber, "08912345617"},
      {"sip:0891234567:secret99@host", Kind::kNumber, "0891234567"},
      {"sip:%2B49%2089%20123456@host", Kind::kNumber, "089123456"},
      // Withheld callers and URIs that name no number: a miss, never digits
      // from the host, port, parameters or display name.
      {"anonymous", Kind::kNone, ""},
      {"Unknown", Kind::kNone, ""},
      {"restricted", Kind::kNone, ""},
      {"withheld", Kind::kNone, ""},
      {"private", Kind::kNone, ""},
      {" \r\n", Kind::kNone, ""},
      {"sip:anonymous@anonymous.invalid", Kind::kNone, ""},
      {"\"Raum 12\" <sip:anonymous@pbx89.example.com:5060>;tag=123", Kind::kNone, ""},
      {"sip:pbx.example.com:5060", Kind::kNone, ""},
      {"sip:alice49@10.89.1.23", Kind::kNone, ""},
      {"tel:*31#0891234567", Kind::kNone, ""},
      {"tel:+49-89-1234567x", Kind::kNone, ""},
      {"tel:+49891234567;ext=abc", Kind::kNone, ""},
      {"sip:+49891234567%4@host", Kind::kNone, ""},
      {"tel:", Kind::kNone, ""},
      // E-mail addresses, without what stands around them.
      {" Max.Meier@Example.com \r\n", Kind::kAddress, "Max.Meier@Example.com"},
      {"Hans Meier <h.meier@example.com>", Kind::kAddress, "h.meier@example.com"},
      {"mailto:h.meier%40example.com?subject=Hallo", Kind::kAddress, "h.meier@example.com"},
  };
  com::cUtil util;
  const cCanonicalTelephone german = Rules("00", "49", "0", true);
  for (const auto& c : cases) {
    const IncomingNumber incoming = ReadIncoming(c.text, german, util);
    EXPECT_EQ(incoming.kind, c.kind) << "'" << c.text << "'";
    EXPECT_EQ(incoming.value, c.value) << "'" << c.text << "'";
  }

  // A "+" sent unencoded in a query string arrives as a blank.
  for (const auto& [sent, read] : std::vector<std::pair<std::string, std::string>>{
           {" 49891234567", "+49891234567"},
           {" 49 89 1234567", "+49 89 1234567"},
           {"sip: 4930123@pbx", "sip:+4930123@pbx"},
           {"TEL: 49-89-1", "TEL:+49-89-1"},
           {"  49", "  49"},
           {" x49", " x49"},
           {"089 1", "089 1"},
           {" ", " "},
       }) {
    EXPECT_EQ(WithUnencodedPlus(sent), read) << "'" << sent << "'";
  }
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
  EXPECT_THAT(stored, ::testing::ElementsAre("089123456", "00442079460000", "089123", "08912345612",
                                             "08912345699"));
}

INSTANTIATE_TEST_SUITE_P(Providers, StoredNumberHarvestTest, test::BothProviders(),
                         test::ProviderParamName);

}  // namespace
}  // namespace fonwerk
