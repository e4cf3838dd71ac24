// The dialling form and the display forms of numbers, with the country list
// of a real installation, and their behaviour when a component fails.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <span>
#include <string>

#include "base/errors.h"
#include "com/component_factory.h"
#include "com/util.h"
#include "phone/canonical_telephone.h"
#include "tests/phone/canonical_peer.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using test::Provider;
using test::TestInstall;

// Countries beside the shipped list: a two-digit code that begins with the
// shipped code 1, a four-digit code, and a code stored with a leading zero.
void AddTestCountries(TestInstall& install) {
  const struct {
    const char* alort;
    const char* name;
    const char* short_code;
    const char* code;
  } countries[] = {
      {"land0012", "Zwoelfland", "ZZA", "12"},
      {"land1684", "Samoa-Test", "ZZB", "1684"},
      {"land0998", "Usbekistan", "UZB", "0998"},
  };
  for (const auto& country : countries) {
    install.Exec(std::string("INSERT INTO postorte (alort, oname, ozusatz) VALUES ('") +
                 country.alort + "', '" + country.name + "', '" + country.short_code + "')");
    install.Exec(std::string("INSERT INTO postplz (alort, plz, vorwahl) VALUES ('") +
                 country.alort + "', NULL, '" + country.code + "')");
  }
}

// One installation per provider for the whole suite; every test makes its
// own instance and Init.
class FormattingTest : public testing::TestWithParam<Provider> {
 protected:
  static void TearDownTestSuite() { installs_.clear(); }

  static TestInstall& Install(Provider provider) {
    auto& install = installs_[provider];
    if (!install) {
      install = TestInstall::Create(provider);
      AddTestCountries(*install);
    }
    return *install;
  }

  // An initialised instance with the defaults Plus 00, code 49, VAZ 0, Suspress True.
  cCanonicalTelephone Initialised() {
    cCanonicalTelephone phone;
    phone.Init(Install(GetParam()).connect_string());
    return phone;
  }

 private:
  static std::map<Provider, std::unique_ptr<TestInstall>> installs_;
};
std::map<Provider, std::unique_ptr<TestInstall>> FormattingTest::installs_;

struct Case {
  std::string input;
  std::string expected;
};

// What the formatting functions do with their argument besides returning the result.
enum class Argument { kHoldsTheResult, kIsLeftAlone };

// Runs `format` on a copy of every input and checks the result and the copy.
template <typename Format>
void ExpectFormats(std::span<const Case> cases, Format format, Argument argument) {
  for (const Case& c : cases) {
    std::string value = c.input;
    EXPECT_EQ(format(value), c.expected) << c.input;
    EXPECT_EQ(value, argument == Argument::kHoldsTheResult ? c.expected : c.input)
        << (argument == Argument::kHoldsTheResult ? "the argument holds the result: "
                                                  : "the argument is left alone: ")
        << c.input;
  }
}

TEST_P(FormattingTest, DialNumberWithTheDefaults) {
  cCanonicalTelephone phone = Initialised();
  const Case cases[] = {
      {"089/123456", "089123456"},
      {"+49 89 123456", "089123456"},
      {"+43 1 234567", "00431234567"},
      {"0043 1 234567", "00431234567"},
      {"+49 (0)89 123456", "0089123456"},  // the bracketed trunk prefix stays
      {"+4989+49", "0890"},                // every "+49" is replaced
      {"+43+1", "0043001"},                // every "+" is replaced
      {"49 89", "4989"},
      {"", ""},
      {"Zentrale", ""},
  };
  ExpectFormats(cases, [&](std::string& value) { return phone.GetCanonicalDialNumer(value); },
                Argument::kHoldsTheResult);
}

// Without an own country code (a country list that could not be read) no
// number counts as national: "+" alone must not be taken for "+" and the code.
TEST_P(FormattingTest, DialNumberWithoutOwnCountryCode) {
  cCanonicalTelephone phone = Initialised();
  phone.code = "";
  const Case cases[] = {
      {"+43 1 234567", "00431234567"},
      {"+49 89 123456", "004989123456"},
      {"+43+1", "0043001"},
      {"089/123456", "089123456"},
      {"0043 1 234567", "00431234567"},
  };
  ExpectFormats(cases, [&](std::string& value) { return phone.GetCanonicalDialNumer(value); },
                Argument::kHoldsTheResult);
}

TEST(FormattingListTest, UnreadableCountryListLeavesNoOwnCodeAndNumbersStayInternational) {
  auto install = TestInstall::Create(Provider::kSQLite);
  install->Exec("DROP TABLE postplz");
  cCanonicalTelephone phone;
  phone.Init(install->connect_string());
  ASSERT_EQ(phone.code, "");
  std::string number = "+43 1 234567";
  EXPECT_EQ(phone.GetCanonicalDialNumer(number), "00431234567");
}

TEST_P(FormattingTest, TelefonFormatWithTheDefaults) {
  cCanonicalTelephone phone = Initialised();
  const Case cases[] = {
      {"089 123456", "+49(89)\t123456"},
      {"089/123456", "+49(89)\t123456"},
      {"089-123456", "+49(89)\t123456"},
      {"00431 234567", "+43(1)\t234567"},
      {"0043 1 234567", "+43()\t1 234567"},
      {"+49 89 123456", "+49\t89 123456"},
      {"089/123 456", "+49(89123)\t456"},  // a blank wins over an earlier slash
      {"089-12/34", "+49(8912)\t34"},      // a slash wins over an earlier hyphen
      {"089-12-34", "+49(89)\t12-34"},
      {"089  123456", "+49(89)\t 123456"},  // the subscriber part is not trimmed
      {"123456", "123456"},
      {"", ""},
      {"   ", ""},
      {" 089 123", "\t089 123"},
      {"(089) 123", "+49(89)\t123"},
  };
  ExpectFormats(cases, [&](std::string& value) { return phone.GetCanonicalTelefonFormat(value); },
                Argument::kIsLeftAlone);
}

TEST_P(FormattingTest, PrefixFormatWithTheDefaults) {
  cCanonicalTelephone phone = Initialised();
  const Case cases[] = {
      {"(089)", "+49(89)"},
      {"089", "+49(89)"},
      {"0 89", "+49(89)"},
      {"0", "+49()"},
      {"123", "123"},
      {"", ""},
      {"+49(89", "+49(89)"},
      {"+49(89  ", "+49(89)"},   // trimmed before the bracket is closed
      {"+49(89) ", "+49(89) "},  // already closed once trimmed: left as it is
      {"+43 1", "+43 1"},
      {"00431", "+43(1)"},
      {"004989", "+49(89)"},
      {"0043", "+43()"},
      {"0071234", "+7(1234)"},      // one-digit code
      {"00352 12", "+352(12)"},     // three-digit code
      {"001684633", "+1684(633)"},  // four-digit code
      {"00121234", "+12(1234)"},    // 12 wins over 1
      {"0019", "+1(9)"},            // only 1 fits
      {"0042022", "+420(22)"},      // 420 keeps its inner zero
      {"0099871", "+998(71)"},      // stored as 0998
      {"0099", "0099"},             // neither 99 nor 9 is known
      {"0096", "0096"},
      {"00", "00"},
  };
  ExpectFormats(cases, [&](std::string& value) { return phone.GetCanonicalPrefixFormat(value); },
                Argument::kHoldsTheResult);
}

TEST_P(FormattingTest, SuspressFalseKeepsTheTrunkPrefixInTheBrackets) {
  cCanonicalTelephone phone = Initialised();
  phone.Suspress = false;
  const Case prefixes[] = {
      {"089", "+49(089)"}, {"(089)", "+49(089)"}, {"0", "+49(0)"},
      {"00431", "+43(1)"}, {"123", "123"},
  };
  for (const Case& c : prefixes) {
    std::string prefix = c.input;
    EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), c.expected) << c.input;
  }
  std::string value = "089 123456";
  EXPECT_EQ(phone.GetCanonicalTelefonFormat(value), "+49(089)\t123456");
  std::string number = "+49 89 123456";
  EXPECT_EQ(phone.GetCanonicalDialNumer(number), "089123456");  // the dial form ignores it
}

TEST_P(FormattingTest, SettingsOfOtherLengths) {
  cCanonicalTelephone phone = Initialised();
  // North American dialling: Plus 011, code 1, trunk prefix 1.
  phone.Plus = "011";
  phone.code = "1";
  phone.VAZ = "1";
  const Case prefixes[] = {
      {"011431", "+43(1)"},  // candidates start after the three-character Plus
      {"01149", "+49()"},   {"0114989", "+49(89)"},
      {"1212", "+1(212)"},  {"00431", "00431"},  // 00 is not this Plus and not the trunk prefix
  };
  for (const Case& c : prefixes) {
    std::string prefix = c.input;
    EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), c.expected) << c.input;
  }
  std::string number = "+44 20 7946";
  EXPECT_EQ(phone.GetCanonicalDialNumer(number), "01144207946");
  number = "+1 212 555";
  EXPECT_EQ(phone.GetCanonicalDialNumer(number), "1212555");

  phone.Suspress = false;
  std::string national = "1212";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(national), "+1(1212)");

  // A two-character trunk prefix is compared and dropped as a whole.
  phone.Plus = "00";
  phone.code = "49";
  phone.VAZ = "01";
  phone.Suspress = true;
  std::string two = "01891";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(two), "+49(891)");
  two = "0891";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(two), "0891");
}

TEST_P(FormattingTest, EmptySettingsMarkNothing) {
  cCanonicalTelephone phone = Initialised();
  phone.Plus = "0";
  phone.VAZ = "";
  std::string prefix = "0431";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), "+43(1)");  // a one-character Plus
  prefix = "89";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), "89");  // an empty VAZ never matches

  phone.Plus = "";
  phone.VAZ = "0";
  prefix = "0431";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), "+49(431)");  // an empty Plus never matches
  prefix = "431";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), "431");
}

TEST_P(FormattingTest, TheCountryListIsReadWholeOnEveryCall) {
  cCanonicalTelephone phone = Initialised();
  std::string first = "00431";
  std::string second = "00431";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(first), "+43(1)");
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(second), "+43(1)");
  // A filter left on the list (here: Austria only) is cleared first.
  CanonicalTelephoneTestPeer::CountryList(phone)->SetFilter(Variant("LandKurz='AUT'"));
  std::string german = "004989";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(german), "+49(89)");
}

INSTANTIATE_TEST_SUITE_P(Providers, FormattingTest, test::BothProviders(), test::ProviderParamName);

TEST(FormattingListTest, AnEmptyCountryListKnowsNoCode) {
  auto install = TestInstall::Create(Provider::kSQLite, {.countries = false});
  cCanonicalTelephone phone;
  phone.Init(install->connect_string());
  std::string prefix = "00431";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(prefix), "00431");
}

TEST(FormattingListTest, AMissingCountryListFailsForForeignPartsOnly) {
  auto install = TestInstall::Create(Provider::kSQLite);
  install->Exec("DROP TABLE postplz");
  cCanonicalTelephone phone;
  phone.Init(install->connect_string());
  phone.code = "49";
  std::string foreign = "(0043) 1";
  EXPECT_THROW(phone.GetCanonicalPrefixFormat(foreign), Error);
  EXPECT_EQ(foreign, "00431");  // the digits had been stored
  std::string national = "089";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(national), "+49(89)");
}

// --- failing components ---

// The real text utilities, with chosen operations made to fail.
class FlakyUtil : public com::cUtil {
 public:
  bool fail_beg = false;          // every BEG fails
  bool fail_beg_on_plus = false;  // BEG fails when asked about "+" alone
  bool null_beg = false;          // BEG answers Null
  bool fail_digits = false;
  bool fail_k = false;

  Variant BEG(const std::string& text, const std::string& start) override {
    if (fail_beg || (fail_beg_on_plus && start == "+")) throw Error(5, "BEG failed");
    if (null_beg) return Variant::Null();
    return cUtil::BEG(text, start);
  }
  std::string nur_zahlen(const std::string& text) override {
    if (fail_digits) throw Error(5, "nur_zahlen failed");
    return cUtil::nur_zahlen(text);
  }
  std::string k(const Variant& value) override {
    if (fail_k) throw Error(5, "k failed");
    return cUtil::k(value);
  }
};

class FormattingFailureTest : public testing::Test {
 protected:
  void SetUp() override {
    install_ = TestInstall::Create(Provider::kSQLite);
    auto guard =
        com::ComponentFactory::Instance().Override(com::progid::kUtil, [this] { return util_; });
    phone_.Init(install_->connect_string());
    ASSERT_EQ(phone_.code, "49");
  }

  std::unique_ptr<TestInstall> install_;
  std::shared_ptr<FlakyUtil> util_ = std::make_shared<FlakyUtil>();
  cCanonicalTelephone phone_;
};

TEST_F(FormattingFailureTest, FailingOwnCountryTestMakesItsReplacementAndSkipsTheForeignOne) {
  util_->fail_beg = true;
  const Case cases[] = {
      {"+49 89 123456", "089123456"}, {"+43 1 234567", "431234567"},  // no "+" became 00
  };
  ExpectFormats(cases, [&](std::string& value) { return phone_.GetCanonicalDialNumer(value); },
                Argument::kHoldsTheResult);
}

TEST_F(FormattingFailureTest, FailingTestWithoutOwnCodeStillMakesTheForeignReplacement) {
  util_->fail_beg = true;
  phone_.code = "";
  std::string number = "+43 1 234567";
  EXPECT_EQ(phone_.GetCanonicalDialNumer(number), "00431234567");
}

TEST_F(FormattingFailureTest, FailingForeignTestMakesItsReplacement) {
  util_->fail_beg_on_plus = true;
  std::string number = "0043+1";  // the test would say no: it does not begin with "+"
  EXPECT_EQ(phone_.GetCanonicalDialNumer(number), "0043001");
}

TEST_F(FormattingFailureTest, NullAnswerOfBegCountsAsFalse) {
  util_->null_beg = true;
  std::string number = "+49 89";
  EXPECT_EQ(phone_.GetCanonicalDialNumer(number), "4989");
}

TEST_F(FormattingFailureTest, FailingDigitsStepKeepsTheSeparators) {
  util_->fail_digits = true;
  std::string number = "+43 1/234";
  EXPECT_EQ(phone_.GetCanonicalDialNumer(number), "0043 1/234");
  EXPECT_EQ(number, "0043 1/234");
}

TEST_F(FormattingFailureTest, DisplayFormsLetTheFailureOut) {
  util_->fail_digits = true;
  std::string prefix = "(089)";
  EXPECT_THROW(phone_.GetCanonicalPrefixFormat(prefix), Error);
  EXPECT_EQ(prefix, "(089)");
  std::string value = "089 123";
  EXPECT_THROW(phone_.GetCanonicalTelefonFormat(value), Error);
  EXPECT_EQ(value, "089 123");
  util_->fail_digits = false;
  util_->fail_beg = true;
  prefix = "(089)";
  EXPECT_THROW(phone_.GetCanonicalPrefixFormat(prefix), Error);
  EXPECT_EQ(prefix, "089");  // the digits had been stored
  // A text already in display form needs no component at all.
  std::string shown = "+49(89";
  EXPECT_EQ(phone_.GetCanonicalPrefixFormat(shown), "+49(89)");
}

TEST_F(FormattingFailureTest, FailureWhileReadingTheListLeavesTheDigits) {
  util_->fail_k = true;
  std::string prefix = "(0043) 1";
  EXPECT_THROW(phone_.GetCanonicalPrefixFormat(prefix), Error);
  EXPECT_EQ(prefix, "00431");
  std::string national = "089";  // the list is not read for a national part
  EXPECT_EQ(phone_.GetCanonicalPrefixFormat(national), "+49(89)");
}

TEST(FormattingBeforeInitTest, DialFormOnlyLosesItsPlusSigns) {
  cCanonicalTelephone phone;
  std::string number = "+49 (0)89 123-456 +1";
  EXPECT_EQ(phone.GetCanonicalDialNumer(number), "49 (0)89 123-456 1");
  EXPECT_EQ(number, "49 (0)89 123-456 1");
}

TEST(FormattingBeforeInitTest, DisplayFormsFailAtTheirFirstComponentCall) {
  cCanonicalTelephone phone;
  std::string prefix = "089";
  EXPECT_THROW(phone.GetCanonicalPrefixFormat(prefix), Error);
  EXPECT_EQ(prefix, "089");
  std::string value = "089 123";
  EXPECT_THROW(phone.GetCanonicalTelefonFormat(value), Error);
  EXPECT_EQ(value, "089 123");
  // Texts that need no component call come through.
  std::string shown = "+49(89";
  EXPECT_EQ(phone.GetCanonicalPrefixFormat(shown), "+49(89)");
  std::string plain = "123456";
  EXPECT_EQ(phone.GetCanonicalTelefonFormat(plain), "123456");
}

}  // namespace
}  // namespace fonwerk
