// The search conditions on TAPI.NUMMER: their exact text, and what they find
// when a real database runs them.

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "phone/canonical_telephone.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

struct FragmentCase {
  std::string input;
  std::string phone;  // expected pattern of sql_WhereLikePhoneNumber
  std::string email;  // expected pattern of sql_WhereLikeEMail
};

void PrintTo(const FragmentCase& c, std::ostream* out) { *out << '"' << c.input << '"'; }

std::string Condition(const std::string& pattern) {
  return " (TAPI.NUMMER Like '" + pattern + "') ";
}

class FragmentText : public testing::TestWithParam<FragmentCase> {};

TEST_P(FragmentText, IsTheLikeConditionOfTheEscapedPattern) {
  // A new instance: the fragments need no Init.
  const cCanonicalTelephone phone;
  const FragmentCase& c = GetParam();
  const Variant by_phone = phone.sql_WhereLikePhoneNumber(c.input);
  const Variant by_email = phone.sql_WhereLikeEMail(c.input);
  ASSERT_TRUE(by_phone.IsText());
  ASSERT_TRUE(by_email.IsText());
  EXPECT_EQ(by_phone.text(), Condition(c.phone));
  EXPECT_EQ(by_email.text(), Condition(c.email));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FragmentText,
    testing::Values(FragmentCase{"abc", "abc%", "%abc%"}, FragmentCase{"", "%", "%%"},
                    FragmentCase{"O'Brien", "O''Brien%", "%O''Brien%"},
                    FragmentCase{"a''b", "a''''b%", "%a''''b%"}, FragmentCase{"'", "''%", "%''%"},
                    FragmentCase{"max_muster@example.com", "max_muster@example.com%",
                                 "%max_muster@example.com%"},
                    FragmentCase{" 089 ", " 089 %", "% 089 %"},
                    FragmentCase{"50%", "50%%", "%50%%"},
                    FragmentCase{"+49 (0)89", "+49 (0)89%", "%+49 (0)89%"},
                    FragmentCase{"back\\slash", "back\\slash%", "%back\\slash%"}),
    // Case numbers as names: the inputs hold characters test names may not.
    [](const testing::TestParamInfo<FragmentCase>& param) {
      return "case" + std::to_string(param.index);
    });

// What the conditions find when a database runs them: the quotes are
// doubled correctly, and "%" and "_" act as wildcards.
class FragmentQueryTest : public testing::TestWithParam<test::Provider> {
 protected:
  void SetUp() override {
    install_ = test::TestInstall::Create(GetParam());
    int n = 0;
    for (const char* nummer :
         {"089123456", "0891", "0089123", "max.muster@example.com", "maxXmuster@example.com",
          "o'brien@example.com", "50%rabatt", "501"}) {
      install_->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('T" + std::to_string(++n) +
                     "', 'A', '" + Quoted(nummer) + "')");
    }
    install_->Exec("INSERT INTO TAPI (DSN, AD_DSN, NUMMER) VALUES ('T0', 'A', NULL)");
  }

  static std::string Quoted(const std::string& text) {
    std::string quoted;
    for (const char c : text) {
      quoted += c;
      if (c == '\'') quoted += '\'';
    }
    return quoted;
  }

  std::vector<std::string> Found(const Variant& condition) {
    std::vector<std::string> found;
    for (const test::Row& row :
         install_->Query("SELECT NUMMER FROM TAPI WHERE" + condition.text() + "ORDER BY NUMMER")) {
      found.push_back(row.at(0).value_or("NULL"));
    }
    return found;
  }

  std::unique_ptr<test::TestInstall> install_;
  const cCanonicalTelephone phone_;
};

TEST_P(FragmentQueryTest, PhoneConditionFindsStoredValuesBeginningWithTheText) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Found(phone_.sql_WhereLikePhoneNumber("0891")), (V{"0891", "089123456"}));
  EXPECT_EQ(Found(phone_.sql_WhereLikePhoneNumber("123")), V{});
  EXPECT_EQ(Found(phone_.sql_WhereLikePhoneNumber("50%")), (V{"50%rabatt", "501"}));
  EXPECT_EQ(Found(phone_.sql_WhereLikePhoneNumber("")).size(), 8u);  // all but NULL
}

TEST_P(FragmentQueryTest, EmailConditionFindsStoredValuesContainingTheText) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("muster@")),
            (V{"max.muster@example.com", "maxXmuster@example.com"}));
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("x_muster")),
            (V{"max.muster@example.com", "maxXmuster@example.com"}));
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("x.muster")), V{"max.muster@example.com"});
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("o'brien")), V{"o'brien@example.com"});
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("123")), (V{"0089123", "089123456"}));
  EXPECT_EQ(Found(phone_.sql_WhereLikeEMail("")).size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Providers, FragmentQueryTest, test::BothProviders(),
                         test::ProviderParamName);

}  // namespace
}  // namespace fonwerk
