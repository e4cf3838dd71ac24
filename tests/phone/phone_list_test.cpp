// The contact phone list on real databases, and the text removal behind it.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/errors.h"
#include "phone/canonical_telephone.h"
#include "tests/phone/canonical_peer.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using Peer = CanonicalTelephoneTestPeer;
using test::Provider;
using test::SqlLiteral;
using test::TestInstall;

// --- RemoveString ---

// The removal as its rule reads: remove the leftmost occurrence, then search
// again from the beginning, until none is left.
std::string ReferenceRemove(std::string text, const std::string& remove) {
  for (auto at = text.find(remove); at != std::string::npos; at = text.find(remove)) {
    text.erase(at, remove.size());
  }
  return text;
}

// Every text over `alphabet` of length 0 to `max_length`.
std::vector<std::string> AllTexts(const std::string& alphabet, std::size_t max_length) {
  std::vector<std::string> texts{""};
  for (std::size_t begin = 0; texts[begin].size() < max_length; ++begin) {
    for (const char c : alphabet) texts.push_back(texts[begin] + c);
  }
  return texts;
}

TEST(RemoveStringTest, AgreesWithTheRepeatedSearch) {
  const cCanonicalTelephone phone;
  // Every short text over two letters, against patterns that overlap themselves.
  for (const std::string& text : AllTexts("ab", 11)) {
    for (const std::string remove : {"a", "ab", "aa", "aba", "abab", "aab", "baab", "abaab"}) {
      ASSERT_EQ(Peer::RemoveString(phone, text, remove), ReferenceRemove(text, remove))
          << "text " << text << ", remove " << remove;
    }
  }
  // Random longer texts, line breaks among them.
  std::mt19937 random(20240611);
  const struct {
    std::string alphabet;
    std::vector<std::string> removes;
  } sets[] = {
      {"\r\nx", {"\r\n", "\r", "\n\r", "\r\n\r\n", "\r\nx\r\n"}},
      {"abc", {"abc", "abcab", "cabca", "aabcaa", "bcb"}},
  };
  for (const auto& set : sets) {
    std::uniform_int_distribution<std::size_t> pick(0, set.alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 40);
    for (int round = 0; round < 4000; ++round) {
      std::string text;
      for (std::size_t n = length(random); n > 0; --n) text += set.alphabet[pick(random)];
      for (const std::string& remove : set.removes) {
        ASSERT_EQ(Peer::RemoveString(phone, text, remove), ReferenceRemove(text, remove));
      }
    }
  }
}

TEST(RemoveStringTest, RemovesWhatRemovalsForm) {
  const cCanonicalTelephone phone;
  EXPECT_EQ(Peer::RemoveString(phone, "\r\r\n\n", "\r\n"), "");
  EXPECT_EQ(Peer::RemoveString(phone, "ABCabc", "abc"), "ABC");  // case counts
  EXPECT_EQ(Peer::RemoveString(phone, "text", ""), "text");
  EXPECT_EQ(Peer::RemoveString(phone, "", "x"), "");
}

// Long texts: the results only (their speed is measured in bench/).
TEST(RemoveStringTest, LongTexts) {
  const cCanonicalTelephone phone;
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "line text\r\n";  // 1.1 MB, 100,000 separators
  const std::string result = Peer::RemoveString(phone, text, "\r\n");
  EXPECT_EQ(result.size(), text.size() - 200000);
  EXPECT_EQ(result.find("\r\n"), std::string::npos);

  // A pattern that overlaps itself and a text full of near misses.
  const std::string remove = std::string(500, 'a') + "b" + std::string(499, 'a');
  const std::string near_misses(1000000, 'a');
  EXPECT_EQ(Peer::RemoveString(phone, near_misses, remove), near_misses);
}

// --- GetPhone ---

struct Contact {
  std::string dsn;
  std::optional<std::string> name;
  std::optional<std::string> name2;
  std::optional<std::string> company;
  std::optional<std::string> telefon;
};

class PhoneListTest : public testing::TestWithParam<Provider> {
 protected:
  static void TearDownTestSuite() { installs_.clear(); }

  void SetUp() override {
    auto& install = installs_[GetParam()];
    if (!install) install = TestInstall::Create(GetParam());
    install_ = install.get();
    install_->Exec("DELETE FROM AD");
    phone_.Init(install_->connect_string());
  }

  void Add(const Contact& c) {
    install_->Exec("INSERT INTO AD (DSN, IDX_NAME, IDX_NAME2, IDX_FIRMA, TELEFON) VALUES (" +
                   SqlLiteral(c.dsn) + ", " + SqlLiteral(c.name) + ", " + SqlLiteral(c.name2) +
                   ", " + SqlLiteral(c.company) + ", " + SqlLiteral(c.telefon) + ")");
  }

  // The table for `key`, with the row number translated from `row`.
  std::string Phones(const std::string& key, int32_t& row) { return phone_.GetPhone(key, row); }

  TestInstall* install_ = nullptr;
  cCanonicalTelephone phone_;

 private:
  static std::map<Provider, std::unique_ptr<TestInstall>> installs_;
};
std::map<Provider, std::unique_ptr<TestInstall>> PhoneListTest::installs_;

const std::string kNumberGapNumber = "089\t123456\tBuero\r\n\t\tnur Bemerkung\r\n0171\t999\tMobil";

TEST_P(PhoneListTest, EachNumberedLineBecomesATableLine) {
  Add({"K1", "Meier", "", "Meier GmbH", kNumberGapNumber});
  int32_t row = 0;
  EXPECT_EQ(Phones("K1", row),
            "K1\tMeier\tMeier GmbH\tBuero\t089123456\r\n"
            "K1\tMeier\tMeier GmbH\tMobil\t0171999\r\n");
  EXPECT_EQ(phone_.GetPhone("K1"), Phones("K1", row));  // the row number changes nothing else
}

TEST_P(PhoneListTest, NumbersAreTrimmedAndJoinedButNotCanonicalised) {
  Add({"K1", "N", std::nullopt, std::nullopt,
       "089 \t 123456\t B\xC3\xBCro \r\n"
       "  +49 (89)\t 12-34 \t Zentrale\r\n"
       "0171 999\r\n"
       "   \t  \tnur Bemerkung\r\n"
       "\t5\t\tmore"});
  EXPECT_EQ(phone_.GetPhone("K1"),
            "K1\tN\t\tB\xC3\xBCro\t089123456\r\n"
            "K1\tN\t\tZentrale\t+49 (89)12-34\r\n"
            "K1\tN\t\t\t0171 999\r\n"
            "K1\tN\t\t\t5\r\n");
}

TEST_P(PhoneListTest, NamesLoseTheTableSeparators) {
  const struct {
    Contact contact;
    std::string name;
    std::string company;
  } cases[] = {
      {{"A", "Mueller\tHans", std::nullopt, "Firma\r\nZwei", "1"}, "MuellerHans", "FirmaZwei"},
      {{"B", "x\r\t\ny", "", "a\rb", "1"}, "x\ny", "ab"},
      {{"C", "Name", "  ", std::nullopt, "1"}, "Name/  ", ""},
      {{"D", std::nullopt, "Zweit\tname", "F", "1"}, "/Zweitname", "F"},
      {{"E", "Name", "\r\n", "F", "1"}, "Name", "F"},  // nothing left of the second name
  };
  for (const auto& c : cases) {
    Add(c.contact);
    EXPECT_EQ(phone_.GetPhone(c.contact.dsn),
              c.contact.dsn + "\t" + c.name + "\t" + c.company + "\t\t1\r\n")
        << c.contact.dsn;
  }
}

TEST_P(PhoneListTest, RowNumberFollowsTheLinesWithNumbers) {
  const struct {
    std::optional<std::string> telefon;
    int32_t entry;
    int32_t expected;
  } cases[] = {
      {kNumberGapNumber, 3, 2},  // the line without number before it moves it up
      {kNumberGapNumber, 2, 1},
      {kNumberGapNumber, 1, 1},
      {kNumberGapNumber, 5, 2},  // cut to the lines written
      {kNumberGapNumber, 0, 0},  // 1 or less is never changed
      {kNumberGapNumber, -4, -4},
      {"089\t1\r\n089\t2", 5, 2},
      {"089\t1\r\n089\t2", 2, 2},
      {"\t\tnur Bemerkung", 4, 0},
      {"\t\tnur Bemerkung", 1, 1},
      {"\t\tnur Bemerkung", 0, 0},
      {"\t\tnur Bemerkung", -1, -1},
      {std::nullopt, 4, 0},
      {"\t\t\r\n\t\t\r\n089\t1", 2, 1},
      {"\t\t\r\n\t\t\r\n089\t1", 3, 1},
      {"089\t1\r\n\t\r\n089\t2\r\n\r\n089\t3", 4, 2},
      {"089\t1\r\n\t\r\n089\t2\r\n\r\n089\t3", 5, 3},
      {"089\t1\r\n\t\r\n089\t2\r\n\r\n089\t3", 2, 1},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string key = "R" + std::to_string(++n);
    Add({key, "N", "", "", c.telefon});
    int32_t row = c.entry;
    Phones(key, row);
    EXPECT_EQ(row, c.expected) << key << " entry " << c.entry;
  }
}

TEST_P(PhoneListTest, TwoKeysGiveBothContactsEachInFieldOrder) {
  Add({"K1", "Eins", "", "", "1\t1\r\n1\t2"});
  Add({"K2", "Zwei", "", "", "2\t1\r\n2\t2"});
  Add({"K3", "Drei", "", "", "3\t1"});
  int32_t row = 0;
  const std::string table = Phones("K1|K2", row);
  const std::string first = "K1\tEins\t\t\t11\r\nK1\tEins\t\t\t12\r\n";
  const std::string second = "K2\tZwei\t\t\t21\r\nK2\tZwei\t\t\t22\r\n";
  EXPECT_TRUE(table == first + second || table == second + first) << table;
}

TEST_P(PhoneListTest, RowNumberRulesRunForEachContactInTurn) {
  Add({"K1", "Eins", "", "", kNumberGapNumber});
  Add({"K2", "Zwei", "", "", "\t\t\r\n089\t1"});
  // Either order: K1 takes 3 to 2 and K2's empty first line takes it to 1, or
  // K2 takes 3 to 2, then cuts it to its one written line.
  int32_t row = 3;
  Phones("K1|K2", row);
  EXPECT_EQ(row, 1);
}

TEST_P(PhoneListTest, KeysAreQuotedAsLiterals) {
  Add({"O'Hara", "Scarlett", "", "", "1\t2"});
  Add({"x' OR 'a'='a", "Injected", "", "", "9\t9"});
  EXPECT_EQ(phone_.GetPhone("O'Hara"), "O'Hara\tScarlett\t\t\t12\r\n");
  EXPECT_EQ(phone_.GetPhone("' OR ''='"), "");
}

TEST_P(PhoneListTest, NothingFoundLeavesTheRowNumber) {
  Add({"K1", "Eins", "", "", "\t\tnur Bemerkung"});
  for (const std::string keys : {"nobody", "", "nobody|nobody else"}) {
    int32_t row = 4;
    EXPECT_EQ(Phones(keys, row), "") << keys;
    EXPECT_EQ(row, 4) << keys;
  }
  int32_t row = 4;
  EXPECT_EQ(Phones("K1", row), "");  // found, but nothing with a number
  EXPECT_EQ(row, 0);
}

INSTANTIATE_TEST_SUITE_P(Providers, PhoneListTest, test::BothProviders(), test::ProviderParamName);

TEST(PhoneListFailureTest, MissingColumnEndsTheCallWithTheError) {
  auto install = TestInstall::Create(Provider::kSQLite);
  install->Exec("INSERT INTO AD (DSN, IDX_NAME, TELEFON) VALUES ('K1', 'N', '\t\t\r\n1\t2')");
  install->Exec("ALTER TABLE AD DROP COLUMN IDX_FIRMA");
  cCanonicalTelephone phone;
  phone.Init(install->connect_string());
  int32_t row = 3;
  EXPECT_THROW(phone.GetPhone("K1", row), Error);
  EXPECT_EQ(row, 3);
}

TEST(PhoneListFailureTest, BeforeInitTheFirstComponentCallFails) {
  cCanonicalTelephone phone;
  int32_t row = 3;
  EXPECT_THROW(phone.GetPhone("K1", row), Error);
  EXPECT_EQ(row, 3);
}

TEST(StripSeparatorsTest, RemovesCrLfThenTabThenCarriageReturn) {
  cCanonicalTelephone phone;
  phone.Init("");  // sets the separators; nothing else is needed here
  const std::pair<std::string, std::string> cases[] = {
      {"Hans\tMeier", "HansMeier"}, {"a\r\t\nb", "a\nb"},  // CR, tab, LF: only the line feed stays
      {"a\r\r\n\nb", "ab"},  // the CR LF that a removal forms goes too
      {"a\n\rb", "a\nb"},           {"\r\n\t\r", ""},     {" blank ", " blank "},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(Peer::StripSeparators(phone, text), expected);
  }
}

}  // namespace
}  // namespace fonwerk
