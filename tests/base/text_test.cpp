// The shared text helpers: byte-wise, ASCII-only case rules, UTF-8 untouched.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/text.h"

namespace fonwerk::text {
namespace {

using ::testing::ElementsAre;

TEST(TextTest, CaseRulesTouchAsciiLettersOnly) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"PostgreSQL", "postgresql", true}, {"", "", true},          {"a", "", false},
      {"TAPI", "TAP", false},             {"ÄB", "äb", false},     // UTF-8 letters keep their case
      {"[x]", "{X}", false},              // '[' and '{' are 32 apart, yet no letters
      {"Straße", "STRAßE", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
  }
  EXPECT_EQ(AsciiLower("ÄBC-Zz@"), "Äbc-zz@");
  EXPECT_EQ(UpperAscii("äbc-zz"), "äBC-ZZ");
}

TEST(TextTest, ContainsNoCaseFindsWordsAnywhere) {
  EXPECT_TRUE(ContainsNoCase("CREATE TRIGGER t AFTER insert ON TAPI", "INSERT"));
  EXPECT_TRUE(ContainsNoCase("abc", ""));
  EXPECT_TRUE(ContainsNoCase("abc", "ABC"));
  EXPECT_FALSE(ContainsNoCase("ab", "abc"));
  EXPECT_FALSE(ContainsNoCase("a b c", "ab"));
}

TEST(TextTest, QuotingDoublesTheQuoteAndRefusesNul) {
  EXPECT_EQ(SqlQuote("O'Brien"), "'O''Brien'");
  EXPECT_EQ(SqlQuote(""), "''");
  EXPECT_EQ(SqlQuote("a\\b"), "'a\\b'");  // backslashes stay literal
  EXPECT_EQ(DoubleQuoted("my \"table\""), "\"my \"\"table\"\"\"");
  EXPECT_EQ(DoubleQuoted(""), "\"\"");
  const std::string with_nul("a\0b", 3);
  try {
    SqlQuote(with_nul);
    ADD_FAILURE() << "a NUL byte was quoted";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kInvalidProcedureCall);
  }
  EXPECT_THROW(RequireNoNul(with_nul), Error);
  EXPECT_NO_THROW(RequireNoNul("ä'\\"));
}

TEST(TextTest, SplitKeepsEmptyPieces) {
  EXPECT_THAT(Split("a\t\tb\t", '\t'), ElementsAre("a", "", "b", ""));
  EXPECT_THAT(Split("", '\t'), ElementsAre(""));
  EXPECT_THAT(Split("abc", '|'), ElementsAre("abc"));
}

TEST(TextTest, EndOfQuotedSkipsDoubledQuotesAndOptionallyBackslashes) {
  struct Case {
    std::string_view text;
    size_t open;
    bool backslashes;
    size_t end;
  };
  const Case cases[] = {
      {"'abc' x", 0, false, 5},
      {"x 'it''s' y", 2, false, 9},    // a doubled quote is part of the text
      {"\"a\"\"b\"", 0, false, 6},     // the same for double quotes
      {"'a\\' b'", 0, false, 4},       // a backslash is an ordinary character ...
      {"'a\\' b'", 0, true, 7},        // ... unless escapes are on
      {"'unterminated", 0, false, 13},
      {"''", 0, false, 2},
      {"'''", 0, false, 3},            // a doubled quote, then the text ends unclosed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EndOfQuoted(c.text, c.open, c.backslashes), c.end) << c.text;
  }
}

TEST(TextTest, TrimReplaceAndLeftChars) {
  EXPECT_EQ(TrimBlanks("  a b \t "), "a b \t");  // blanks only, not tabs
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(ReplaceAll("a--b--", "--", "-"), "a-b-");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");  // left to right, no overlap
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(LeftChars("Müller", 2), "Mü");         // characters, not bytes
  EXPECT_EQ(LeftChars("Müller", 0), "Müller");     // no declared width
  EXPECT_EQ(LeftChars("ab", 5), "ab");
}

}  // namespace
}  // namespace fonwerk::text
