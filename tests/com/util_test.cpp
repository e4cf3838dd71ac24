#include "com/util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/guid.h"

namespace fonwerk::com {
namespace {

TEST(UtilK, GivesEmptyTextForNullAndEmptyAndTextOtherwise) {
  cUtil util;
  EXPECT_EQ(util.k(Variant()), "");
  EXPECT_EQ(util.k(Variant::Null()), "");
  EXPECT_EQ(util.k(Variant("  K1 ")), "  K1 ");
  EXPECT_EQ(util.k(Variant(int64_t{4711})), "4711");
  EXPECT_EQ(util.k(Variant(true)), "True");
  EXPECT_EQ(util.k(Variant(false)), "False");
}

TEST(UtilDigits, KeepOnlyAsciiDigits) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"abc", ""},
      {"+49 (89) 123-456", "4989123456"},
      {"0x1F/09", "0109"},
      {"\xD9\xA1\xD9\xA2", ""},  // Arabic-Indic digits one and two
      {"\xEF\xBC\x91"
       "5",
       "5"},  // fullwidth one, then an ASCII five
      {"12\t34\r\n5", "12345"},
  };
  cUtil util;
  for (const Case& c : cases) {
    EXPECT_EQ(util.nur_zahlen(c.in), c.out) << c.in;
    EXPECT_EQ(util.NurZahlen(c.in), c.out) << c.in;
  }
}

TEST(UtilBeg, IsAnExactBeginsWithTestGivingABoolean) {
  struct Case {
    std::string text, start;
    bool result;
  };
  const std::vector<Case> cases = {
      {"+4989", "+49", true}, {"+4989", "+43", false}, {"abc", "A", false},    {"abc", "", true},
      {"", "", true},         {"ab", "abc", false},    {"0049", "0049", true},
  };
  cUtil util;
  for (const Case& c : cases) {
    const Variant result = util.BEG(c.text, c.start);
    EXPECT_EQ(result.type(), Variant::Type::kBoolean);
    EXPECT_EQ(result, Variant(c.result)) << c.text << " / " << c.start;
  }
}

TEST(UtilSqlUid, QuotesTheKeyAndDoublesEveryQuote) {
  struct Case {
    Variant key;
    std::string literal;
  };
  const std::vector<Case> cases = {
      {Variant("abc"), "'abc'"},
      {Variant("O'Brien"), "'O''Brien'"},
      {Variant("''"), "''''''"},
      {Variant("a\\'"), "'a\\'''"},
      {Variant("{1FEB2033-7850}"), "'{1FEB2033-7850}'"},
      {Variant(""), "''"},
      {Variant(int64_t{7}), "'7'"},
      {Variant::Null(), "NULL"},
  };
  cUtil util;
  for (const Case& c : cases) EXPECT_EQ(util.SqlUid(c.key), c.literal) << c.literal;
}

TEST(UtilSqlUid, RejectsANulByte) {
  cUtil util;
  try {
    util.SqlUid(Variant(std::string("a\0b", 3)));
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), errnum::kInvalidProcedureCall);
  }
}

struct ListCase {
  std::string list, separator;
  std::vector<std::string> items;
};

const std::vector<ListCase>& ListCases() {
  static const std::vector<ListCase> cases = {
      {"", "\r\n", {""}},
      {"a", "|", {"a"}},
      {"a|b", "|", {"a", "b"}},
      {"|", "|", {"", ""}},
      {"a\r\n\r\nb\r\n", "\r\n", {"a", "", "b", ""}},
      {"a\rb\n", "\r\n", {"a\rb\n"}},
      {"aaaaa", "aa", {"", "", "a"}},
      {"x\ty\t", "\t", {"x", "y", ""}},
      {"a|b", "", {"a|b"}},
  };
  return cases;
}

TEST(UtilStrList, CountIncludesEmptyItems) {
  cUtil util;
  for (const ListCase& c : ListCases()) {
    EXPECT_EQ(util.StrListCount(c.list, c.separator), static_cast<int32_t>(c.items.size()))
        << c.list;
  }
}

TEST(UtilStrList, NrGivesEachItemAndEmptyTextOutsideTheList) {
  cUtil util;
  for (const ListCase& c : ListCases()) {
    const int32_t count = static_cast<int32_t>(c.items.size());
    for (int32_t i = 1; i <= count; ++i) {
      EXPECT_EQ(util.StrListNr(c.list, c.separator, i), c.items[i - 1]) << c.list << " #" << i;
    }
    EXPECT_EQ(util.StrListNr(c.list, c.separator, count + 1), "") << c.list;
    EXPECT_EQ(util.StrListNr(c.list, c.separator, 0), "") << c.list;
    EXPECT_EQ(util.StrListNr(c.list, c.separator, -1), "") << c.list;
  }
}

TEST(UtilStrList, ItemsGivesTheWholeListAtOnce) {
  cUtil util;
  for (const ListCase& c : ListCases()) {
    EXPECT_EQ(util.StrListItems(c.list, c.separator), c.items) << c.list;
  }
}

TEST(UtilStrList, ItemsHandlesAVeryLongList) {
  // Item-by-item access would take minutes here; one pass takes milliseconds.
  std::string list;
  const int count = 400000;
  for (int i = 0; i < count; ++i) list += std::to_string(i) + "\r\n";
  cUtil util;
  const std::vector<std::string> items = util.StrListItems(list, "\r\n");
  ASSERT_EQ(items.size(), static_cast<size_t>(count + 1));
  EXPECT_EQ(items[123456], "123456");
  EXPECT_EQ(items.back(), "");
  EXPECT_EQ(util.StrListCount(list, "\r\n"), count + 1);
}

TEST(UtilCutRight, DropsTheTailAndTheBlanksAroundIt) {
  struct Case {
    std::string text, tail, result;
  };
  const std::vector<Case> cases = {
      {"DSN='a' OR ", "OR", "DSN='a'"},
      {"DSN='a' OR DSN='b' OR ", "OR", "DSN='a' OR DSN='b'"},
      {"DSN='a' OR", "OR", "DSN='a'"},
      {"OR   ", "OR", ""},
      {"", "OR", ""},
      {"a OR b", "OR", "a OR b"},
      {"DSN='a' or ", "OR", "DSN='a' or "},
      {"x  ", "", "x  "},
      {"R", "OR", "R"},
  };
  cUtil util;
  for (const Case& c : cases) {
    std::string text = c.text;
    util.CutRight(text, c.tail);
    EXPECT_EQ(text, c.result) << "'" << c.text << "'";
  }
}

TEST(UtilLanguagePack, ReturnsTheGermanTextUnchanged) {
  cUtil util;
  std::shared_ptr<ILanguagePack> pack = util.LanguagePack();
  ASSERT_NE(pack, nullptr);
  EXPECT_EQ(pack->TranslateString("Erstelle TAPI-Tabelle neu"), "Erstelle TAPI-Tabelle neu");
  EXPECT_EQ(pack->TranslateString("Fehler beim Aufbau aufgetreten."),
            "Fehler beim Aufbau aufgetreten.");
}

TEST(UtilMsgInfo, WritesTheTextAndANewlineToStandardError) {
  cUtil util;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  util.MsgInfo("Fehler beim Aufbau aufgetreten. kaputt");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Fehler beim Aufbau aufgetreten. kaputt\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

bool IsGuidText(const std::string& guid) {
  if (guid.size() != 38 || guid.front() != '{' || guid.back() != '}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const char c = guid[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

TEST(Guid, HasTheVersion7LayoutInUpperCaseHex) {
  for (int i = 0; i < 1000; ++i) {
    const std::string guid = NewGUID();
    ASSERT_TRUE(IsGuidText(guid)) << guid;
    EXPECT_EQ(guid[15], '7') << guid;
    EXPECT_NE(std::string("89AB").find(guid[20]), std::string::npos) << guid;
  }
}

TEST(Guid, StartsWithTheCurrentUnixTimeInMilliseconds) {
  using namespace std::chrono;
  const auto ms = [] {
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  const long long before = ms();
  const std::string guid = NewGUID();
  const long long after = ms();
  const long long stamp = std::stoll(guid.substr(1, 8) + guid.substr(10, 4), nullptr, 16);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after + 1);
}

TEST(Guid, SortsAscendingInCreationOrderAndNeverRepeats) {
  // Far more identifiers than milliseconds pass: the counter keeps the order.
  std::string previous = NewGUID();
  std::set<std::string> seen{previous};
  for (int i = 0; i < 200000; ++i) {
    std::string next = NewGUID();
    ASSERT_LT(previous, next);
    ASSERT_TRUE(seen.insert(next).second);
    previous = std::move(next);
  }
}

TEST(Guid, AForkedChildDoesNotRepeatItsParent) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  NewGUID();  // the generator exists before the fork
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string guid = NewGUID();
    (void)!write(fds[1], guid.data(), guid.size());
    _exit(0);
  }
  const std::string parent = NewGUID();
  close(fds[1]);
  std::string from_child(38, '\0');
  ASSERT_EQ(read(fds[0], from_child.data(), from_child.size()), 38);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(IsGuidText(from_child));
  EXPECT_NE(from_child.substr(20), parent.substr(20));
}

}  // namespace
}  // namespace fonwerk::com
