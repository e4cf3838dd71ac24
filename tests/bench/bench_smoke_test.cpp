// Smoke run of the benchmark programs on small data: the generator fills AD,
// the real fonwerk and the baseline each rebuild TAPI, and both must give the
// same rows (as a multiset of AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn), each
// with unique GUID texts in DSN. The baseline's ratio is only meaningful while
// this holds.

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <regex>
#include <set>
#include <sstream>

#include "bench/contact_generator.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

namespace fs = std::filesystem;
using test::Provider;
using test::Row;
using test::TestInstall;

constexpr int kContacts = 2000;
constexpr int kTimeoutSeconds = 600;  // the machine may be busy

// The rows of TAPI without DSN, sorted (a multiset); checks DSN on the way.
std::vector<Row> TapiRows(TestInstall& install) {
  static const std::regex kGuid(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  std::vector<Row> rows;
  std::set<std::string> dsns;
  for (Row& row :
       install.Query("SELECT DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI")) {
    const std::string dsn = row[0].value_or("");
    EXPECT_TRUE(std::regex_match(dsn, kGuid)) << "DSN '" << dsn << "'";
    EXPECT_TRUE(dsns.insert(dsn).second) << "DSN twice: " << dsn;
    row.erase(row.begin());
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::string Show(const Row& row) {
  std::ostringstream out;
  for (const auto& value : row) out << (value ? "'" + *value + "'" : "NULL") << " ";
  return out.str();
}

// The first few rows that only one of the two multisets holds.
std::string Difference(const std::vector<Row>& fonwerk, const std::vector<Row>& baseline) {
  std::vector<Row> only_fonwerk, only_baseline;
  std::set_difference(fonwerk.begin(), fonwerk.end(), baseline.begin(), baseline.end(),
                      std::back_inserter(only_fonwerk));
  std::set_difference(baseline.begin(), baseline.end(), fonwerk.begin(), fonwerk.end(),
                      std::back_inserter(only_baseline));
  std::ostringstream out;
  for (size_t i = 0; i < std::min<size_t>(only_fonwerk.size(), 5); ++i) {
    out << "only fonwerk:  " << Show(only_fonwerk[i]) << "\n";
  }
  for (size_t i = 0; i < std::min<size_t>(only_baseline.size(), 5); ++i) {
    out << "only baseline: " << Show(only_baseline[i]) << "\n";
  }
  return out.str();
}

size_t Characters(const std::string& utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

test::ProgramResult RunChecked(const std::string& program, const std::vector<std::string>& args) {
  test::ProgramResult result = test::RunProgram(program, args, "", {}, kTimeoutSeconds);
  EXPECT_EQ(result.exit_code, 0) << program << "\n" << result.out << result.err;
  return result;
}

class BenchSmokeTest : public ::testing::TestWithParam<Provider> {};

TEST_P(BenchSmokeTest, FonwerkAndBaselineWriteTheSameRows) {
  auto install = TestInstall::Create(GetParam());
  const std::string connect = install->connect_string();

  RunChecked(FONWERK_GEN_PATH, {"--connect", connect, "--count", std::to_string(kContacts)});
  const std::vector<Row> counts =
      install->Query("SELECT count(*), count(DISTINCT Kennung) FROM AD");
  ASSERT_EQ(counts.at(0), (Row{std::to_string(kContacts), std::to_string(kContacts)}));

  const test::TempFolder log_folder("fonwerk-smoke");
  const test::ProgramResult rebuild = RunChecked(
      test::BinaryPath("fonwerk"), {"--log", log_folder.File("Fonwerk.log"), install->path()});
  ASSERT_EQ(rebuild.exit_code, 0);
  const std::vector<Row> from_fonwerk = TapiRows(*install);

  const test::ProgramResult baseline = RunChecked(FONWERK_BASELINE_PATH, {"--connect", connect});
  ASSERT_EQ(baseline.exit_code, 0);
  const std::vector<Row> from_baseline = TapiRows(*install);
  EXPECT_NE(baseline.out.find("rows=" + std::to_string(from_baseline.size())), std::string::npos)
      << baseline.out;

  // The data must reach every branch of the rules for the comparison to mean much.
  std::set<std::string> types;
  size_t longest_remark = 0;  // in characters
  for (const Row& row : from_baseline) {
    types.insert(row[3].value_or(""));
    if (row[2]) longest_remark = std::max(longest_remark, Characters(*row[2]));
  }
  EXPECT_EQ(types.size(), 7u) << "lines 1 to 4, later lines, fax and e-mail";
  EXPECT_EQ(longest_remark, 255u) << "the long remarks are cut to the column width";
  EXPECT_GT(from_baseline.size(), static_cast<size_t>(3 * kContacts));

  ASSERT_EQ(from_fonwerk.size(), from_baseline.size()) << Difference(from_fonwerk, from_baseline);
  EXPECT_TRUE(from_fonwerk == from_baseline) << Difference(from_fonwerk, from_baseline);
}

// What a caller may present for a stored row, and the row it must find.
struct Question {
  std::string text;
  std::string ad_dsn;
  std::string nummer;
};

// For every TAPI row: its own NUMMER; for an own-country number (national
// form, 0...) also the +49 form, the tel: and the sip: URI; for a foreign one
// (00...) the + form; for an address the address in capitals with blanks
// around it.
std::vector<Question> QuestionsFor(TestInstall& install) {
  std::vector<Question> questions;
  for (const Row& row : install.Query("SELECT AD_DSN, NUMMER, contactTypeDsn FROM TAPI")) {
    const std::string ad_dsn = row[0].value_or("");
    const std::string nummer = row[1].value_or("");
    if (row[2] == "{C451E716-7025-4EE9-8579-E2D0C6E26888}") {
      std::string upper = nummer;
      for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      questions.push_back({" " + upper + " ", ad_dsn, nummer});
      continue;
    }
    questions.push_back({nummer, ad_dsn, nummer});
    if (nummer.starts_with("00")) {
      questions.push_back({"+" + nummer.substr(2), ad_dsn, nummer});
    } else if (nummer.starts_with("0")) {
      const std::string national = nummer.substr(1);
      for (const std::string& form :
           {"+49" + national, "tel:+49-" + national, "sip:+49" + national + "@pbx.example.com"}) {
        questions.push_back({form, ad_dsn, nummer});
      }
    }
  }
  return questions;
}

// After a rebuild of generated contacts, every row is found by every form of
// its number or address (fonwerkctl lookup -, one process for all).
TEST_P(BenchSmokeTest, EveryGeneratedRowIsFoundByEveryFormOfItsNumber) {
  auto install = TestInstall::Create(GetParam());
  RunChecked(FONWERK_GEN_PATH,
             {"--connect", install->connect_string(), "--count", std::to_string(kContacts)});
  const test::TempFolder log_folder("fonwerk-smoke");
  RunChecked(test::BinaryPath("fonwerk"),
             {"--log", log_folder.File("Fonwerk.log"), install->path()});

  // The contacts write own-country numbers with their prefix in every way,
  // and none is stored in international form.
  EXPECT_NE(install->Query("SELECT count(*) FROM AD WHERE TELEFON LIKE '%(+49)%'")[0][0], "0");
  EXPECT_NE(install->Query("SELECT count(*) FROM AD WHERE TELEFON LIKE '%00 49%'")[0][0], "0");
  EXPECT_EQ(install->Query("SELECT count(*) FROM TAPI WHERE NUMMER LIKE '0049%'")[0][0], "0");

  const std::vector<Question> questions = QuestionsFor(*install);
  ASSERT_GT(questions.size(), static_cast<size_t>(4 * kContacts));
  std::string input;
  for (const Question& question : questions) input += question.text + "\n";
  const test::ProgramResult answers =
      test::RunProgram(test::BinaryPath("fonwerkctl"),
                       {"--install", install->path(), "lookup", "-"}, input, {}, kTimeoutSeconds);
  ASSERT_EQ(answers.exit_code, 0) << answers.err;

  std::istringstream lines(answers.out);
  size_t answered = 0;
  size_t missed = 0;
  for (std::string line; std::getline(lines, line) && answered < questions.size(); ++answered) {
    const Question& question = questions[answered];
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    bool found = false;
    // number, count, then AD_DSN, name, company, NUMMER, BEMERKUNG per match
    for (size_t i = 2; i + 3 < fields.size(); i += 5) {
      found = found || (fields[i] == question.ad_dsn && fields[i + 3] == question.nummer);
    }
    if (!found && ++missed <= 10) {
      ADD_FAILURE() << "'" << question.text << "' does not find " << question.ad_dsn << " "
                    << question.nummer << ": " << line;
    }
  }
  EXPECT_EQ(answered, questions.size());
  EXPECT_EQ(missed, 0u) << "of " << questions.size();
}

INSTANTIATE_TEST_SUITE_P(Providers, BenchSmokeTest, test::BothProviders(), test::ProviderParamName);

TEST(ContactGeneratorTest, TheSeedFixesTheSequence) {
  bench::ContactGenerator first(7), second(7), other(8);
  for (int i = 0; i < 200; ++i) {
    const bench::Contact a = first.Next();
    const bench::Contact b = second.Next();
    const bench::Contact c = other.Next();
    ASSERT_EQ(a.Values(), b.Values()) << "contact " << i;
    EXPECT_NE(a.dsn, c.dsn) << "contact " << i;
  }
}

// The figures of the load client's report line, by name.
std::map<std::string, double> LoadFigures(const std::string& out) {
  std::map<std::string, double> figures;
  static const std::regex kFigure("([a-z0-9_]+)=([0-9.]+)");
  for (std::sregex_iterator it(out.begin(), out.end(), kFigure), end; it != end; ++it) {
    figures[(*it)[1]] = std::stod((*it)[2]);
  }
  return figures;
}

// The load client against a server that counts what it is asked: on a
// schedule it sends exactly rate x duration requests, each with one of the
// values, and it counts answers other than 200 as failures.
TEST(ServeLoadTest, ScheduledRequestsAreSentAsPlannedAndRefusalsCountAsFailures) {
  httplib::Server server;
  std::atomic<int> asked{0};
  std::mutex seen_mutex;
  std::set<std::string> seen;
  server.Get("/lookup", [&](const httplib::Request& req, httplib::Response& res) {
    ++asked;
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      seen.insert(req.get_param_value("number"));
    }
    res.set_content("{}", "application/json");
  });
  server.set_tcp_nodelay(true);
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });

  test::TempFolder folder;
  const std::string values = folder.Write("values.txt", "0891\n0892\n%2B49%2089\n");
  const std::string load = FONWERK_SERVE_LOAD_PATH;
  const std::vector<std::string> common{"--port", std::to_string(port), "--values", values,
                                        "--clients", "4", "--duration", "1"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    return test::RunProgram(load, args);
  };

  const test::ProgramResult scheduled = run({"--rate", "200"});
  ASSERT_EQ(scheduled.exit_code, 0) << scheduled.err;
  std::map<std::string, double> figures = LoadFigures(scheduled.out);
  EXPECT_EQ(figures["requests"], 200) << scheduled.out;
  EXPECT_EQ(figures["failures"], 0) << scheduled.out;
  EXPECT_EQ(asked.load(), 200);
  EXPECT_EQ(seen, (std::set<std::string>{"0891", "0892", "+49 89"}));
  EXPECT_GE(figures["p99_us"], figures["median_us"]);
  EXPECT_GE(figures["max_us"], figures["p99_us"]);

  const test::ProgramResult refused = run({"--rate", "0", "--path", "/nosuch?number="});
  ASSERT_EQ(refused.exit_code, 0) << refused.err;
  figures = LoadFigures(refused.out);
  EXPECT_GT(figures["requests"], 0) << refused.out;
  EXPECT_EQ(figures["failures"], figures["requests"]) << refused.out;

  EXPECT_EQ(run({"--rate", "-1"}).exit_code, 64);
  server.stop();
  serving.join();
}

}  // namespace
}  // namespace fonwerk
