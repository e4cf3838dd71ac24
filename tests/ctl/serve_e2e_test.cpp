// `fonwerkctl serve`, the built program, against real installations on both
// providers: every number form, misses and refusals, many clients at once, a
// rebuild while clients ask, the database stopped and started under the
// service, SIGTERM; slow and idle clients, pipelining, the limits of every
// method, HTTPS, /metrics, SIGHUP, the SQLite file replaced or removed, an
// account that may only read; and the lookup command's JSON and batch forms.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ctl/http_server.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"
#include "tools/install.h"

namespace fonwerk {
namespace {

using json = nlohmann::json;
using reliability::Child;
using test::ProgramResult;
using test::Provider;
using test::TestInstall;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

struct Reply {
  int status = 0;  // 0: no answer (connection refused or closed)
  std::string body;
};

// A running `fonwerkctl --install DIR serve --listen 127.0.0.1:0 ...`; the
// port it took is read from its log line. With a `runner` (a program and its
// arguments, such as setpriv) the service is started through it.
class Service {
 public:
  Service(const std::string& install, std::vector<std::string> args = {},
          const std::map<std::string, std::string>& env = {},
          std::vector<std::string> runner = {}) {
    args.insert(args.begin(), {"--install", install, "serve"});
    if (std::find(args.begin(), args.end(), "--listen") == args.end()) {
      args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    }
    std::string program = test::BinaryPath("fonwerkctl");
    if (!runner.empty()) {
      args.insert(args.begin(), program);
      args.insert(args.begin(), runner.begin() + 1, runner.end());
      program = runner.front();
    }
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    child_ = std::make_unique<Child>(program, args);
    for (const auto& [name, value] : env) ::unsetenv(name.c_str());
  }

  // Waits for the listening line; false when the program ended first or 30 s passed.
  bool WaitUntilListening() {
    static const std::regex listening("listening on https?://127\\.0\\.0\\.1:([0-9]+)/");
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      std::smatch found;
      const std::string err = child_->Err();
      if (std::regex_search(err, found, listening)) {
        port_ = std::stoi(found[1]);
        return true;
      }
      if (child_->Ended()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  Reply Get(const std::string& target, const httplib::Headers& headers = {}) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    client.set_url_encode(false);  // the targets here are encoded already
    const httplib::Result result = client.Get(target.c_str(), headers);
    if (!result) return {};
    return {result->status, result->body};
  }

  int port() const { return port_; }
  Child& child() { return *child_; }

 private:
  std::unique_ptr<Child> child_;
  int port_ = 0;
};

std::string Encoded(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The "dsn:nummer" of every match of a 200 answer, or "status N" otherwise.
std::vector<std::string> Found(const Reply& reply) {
  if (reply.status != 200) return {"status " + std::to_string(reply.status) + " " + reply.body};
  std::vector<std::string> found;
  const json body = json::parse(reply.body);
  for (const json& match : body.at("matches")) {
    found.push_back(match.at("dsn").get<std::string>() + ":" +
                    match.at("nummer").get<std::string>());
  }
  return found;
}

// A new connection to the service on loopback, with a receive timeout of
// `timeout`; -1 when it cannot be made.
int Connect(int port, std::chrono::seconds timeout = std::chrono::seconds(5)) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const timeval limit{static_cast<time_t>(timeout.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// What comes back on `fd` until the server closes it (or the receive timeout passes).
std::string ReadToEnd(int fd) {
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  return answer;
}

// Sends raw bytes on a new connection (and with `close_sending` ends the
// sending side) and returns what comes back until the server closes it (or 5 s pass).
std::string RawExchange(int port, const std::string& bytes, bool close_sending = false) {
  const int fd = Connect(port);
  if (fd < 0) return "connect failed";
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (close_sending) ::shutdown(fd, SHUT_WR);
  std::string answer = ReadToEnd(fd);
  ::close(fd);
  return answer;
}

// The status codes of the answers in `raw`, in order.
std::vector<int> Statuses(const std::string& raw) {
  static const std::regex status_line("HTTP/1\\.[01] ([0-9]{3}) ");
  std::vector<int> statuses;
  for (auto it = std::sregex_iterator(raw.begin(), raw.end(), status_line);
       it != std::sregex_iterator(); ++it) {
    statuses.push_back(std::stoi((*it)[1]));
  }
  return statuses;
}

// The samples of a Prometheus text page: "name{labels}" -> value.
std::map<std::string, double> Samples(const std::string& page) {
  std::map<std::string, double> samples;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return samples;
}

std::string Literal(const std::optional<std::string>& value) {
  return value ? reliability::Literal(*value) : "NULL";
}

class ServeTest : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override { install_ = TestInstall::Create(GetParam()); }

  void AddContact(const std::string& dsn, const std::string& kennung, const std::string& name,
                  std::optional<std::string> telefon, std::optional<std::string> fax,
                  std::optional<std::string> email) {
    install_->Exec("INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON, FAX, EMAIL) VALUES (" +
                   Literal(dsn) + ", " + Literal(kennung) + ", " + Literal(name) + ", " +
                   Literal(telefon) + ", " + Literal(fax) + ", " + Literal(email) + ")");
  }

  // Three contacts in the notations users write, harvested by a real rebuild.
  void AddHarvestedContacts() {
    AddContact("K1", "MEIER", "Meier", "+49 (0)89\t123456\tZentrale\r\n0171 5551234",
               "089 123456-99", "Max.Meier@Example.com");
    AddContact("K2", "SCHULZ", "Schulz", "+44 (0)20 7946 0000\r\n089 123456 Durchwahl 12",
               std::nullopt, std::nullopt);
    AddContact("K3", "KURZ", "Kurz", "0891", std::nullopt, "max.meier@example.com");
    Rebuild();
  }

  void Rebuild() {
    const ProgramResult rebuilt = program_.Run(install_->path());
    ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.out << rebuilt.err;
  }

  std::unique_ptr<Service> Start(std::vector<std::string> args = {},
                                 const std::map<std::string, std::string>& env = {}) {
    auto service = std::make_unique<Service>(install_->path(), std::move(args), env);
    EXPECT_TRUE(service->WaitUntilListening()) << service->child().Err();
    return service;
  }

  ProgramResult Ctl(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> all{"--install", install_->path()};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProgram(test::BinaryPath("fonwerkctl"), all, input);
  }

  std::unique_ptr<TestInstall> install_;
  reliability::ProgramCopy program_;
};

TEST_P(ServeTest, EveryNumberFormFindsItsContact) {
  AddContact("K4", "AMT", "Amt", "089 23456-0\t\tZentrale", std::nullopt, " Info@Amt.de \r\n");
  AddHarvestedContacts();
  auto service = Start();
  const std::string k1 = "K1:089123456";
  const struct {
    std::string query;
    std::vector<std::string> found;
  } cases[] = {
      {"number=" + Encoded("+49 89 123456"), {k1}},
      {"number=" + Encoded("0049 89 123456"), {k1}},
      {"number=" + Encoded("089 123456"), {k1}},
      {"number=" + Encoded("+49 (0)89 123456"), {k1}},
      {"number=089%2F123456", {k1}},
      {"number=" + Encoded("089 123456-99"), {"K1:08912345699"}},       // the fax, direct dial
      {"number=" + Encoded("089 123456 ext. 12"), {"K2:08912345612"}},  // stored as Durchwahl 12
      {"number=" + Encoded("089 123456 Durchwahl 77"), {k1}},           // the switchboard
      {"number=" + Encoded("089 123456-7"), {k1}},
      {"number=" + Encoded("+44 20 7946 0000"), {"K2:00442079460000"}},  // stored from "(0)"
      {"number=" + Encoded("0044 (0)20 7946 0000"), {"K2:00442079460000"}},
      {"phone=" + Encoded("0171 5551234"), {"K1:01715551234"}},
      {"phoneNumber=01715551234", {"K1:01715551234"}},
      {"telephone=" + Encoded("+49 171 5551234"), {"K1:01715551234"}},
      {"number=0891", {"K3:0891"}},
      {"number=" + Encoded("MAX.meier@EXAMPLE.com"),
       {"K1:Max.Meier@Example.com", "K3:max.meier@example.com"}},
      {"number=0711%20999999", {}},
      {"number=08912", {}},
      {"number=nobody%40example.com", {}},
      // A "+" the client did not encode arrives as a blank.
      {"number=+4989123456", {k1}},
      {"number=+49+89+123456", {k1}},
      {"number=+49+(0)89+123456", {k1}},
      {"number=sip:+4989123456@pbx.example.com", {k1}},
      // URIs as telephone systems send them.
      {"number=" + Encoded("tel:+49-89-123456;ext=99"), {"K1:08912345699"}},
      {"number=" + Encoded("\"Meier\" <sip:+4989123456@pbx.example.com;user=phone>;tag=7"), {k1}},
      {"number=" + Encoded("sips:0171-5551234@[2001:db8::1]:5061"), {"K1:01715551234"}},
      {"number=anonymous", {}},
      {"number=" + Encoded("sip:anonymous@anonymous.invalid"), {}},
      {"number=" + Encoded("tel:+49-89-1234x"), {}},
      // The switchboard written -0, for its direct lines and itself.
      {"number=" + Encoded("089 23456-17"), {"K4:089234560"}},
      {"number=08923456", {"K4:089234560"}},
      {"number=+4989234560", {"K4:089234560"}},
      // An address stored with blanks and a line break around it.
      {"number=" + Encoded(" INFO@amt.de\r\n"), {"K4:Info@Amt.de"}},
  };
  for (const auto& c : cases) {
    const Reply reply = service->Get("/lookup?" + c.query);
    EXPECT_EQ(Found(reply), c.found) << c.query << " answered " << reply.body;
  }
}

TEST_P(ServeTest, TheAnswerIsTheObjectOfLookupJson) {
  AddHarvestedContacts();
  auto service = Start();
  const Reply reply = service->Get("/lookup?number=" + Encoded("+49 (0)89 123456"));
  ASSERT_EQ(reply.status, 200);
  const json body = json::parse(reply.body);
  EXPECT_EQ(body["number"], "+49 (0)89 123456");
  ASSERT_EQ(body["matches"].size(), 1u);
  EXPECT_EQ(body["matches"][0], (json{{"dsn", "K1"},
                                      {"kennung", "MEIER"},
                                      {"name", "Meier"},
                                      {"firma", ""},
                                      {"nummer", "089123456"},
                                      {"bemerkung", "Zentrale"},
                                      {"type", "telefon"}}));

  const ProgramResult cli = Ctl({"lookup", "--json", "+49 (0)89 123456"});
  EXPECT_EQ(cli.exit_code, 0) << cli.err;
  EXPECT_EQ(cli.out, reply.body + "\n");
  // The number is answered as it was read: with the "+" sent unencoded.
  const Reply unencoded = service->Get("/lookup?number=+49+(0)89+123456");
  EXPECT_EQ(unencoded.body, reply.body) << unencoded.body;

  const ProgramResult miss = Ctl({"lookup", "--json", "0711 1"});
  EXPECT_EQ(miss.exit_code, 1);
  EXPECT_EQ(miss.out, R"({"number":"0711 1","matches":[]})"
                      "\n");
}

TEST_P(ServeTest, RefusalsAreJsonAndDoNoHarm) {
  AddHarvestedContacts();
  auto service = Start();
  const std::vector<std::string> bad_numbers = {
      "/lookup", "/lookup?number=", "/lookup?number=%20%20", "/lookup?nummer=089123456",
      "/lookup?number=" + std::string(300, '1')};
  for (const std::string& target : bad_numbers) {
    const Reply reply = service->Get(target);
    EXPECT_EQ(reply.status, 400) << target;
    EXPECT_TRUE(json::parse(reply.body).contains("error")) << target;
  }
  for (const char* target :
       {"/", "/lookup/", "/lookups?number=1", "/health/x", "/LOOKUP?number=1"}) {
    EXPECT_EQ(service->Get(target).status, 404) << target;
  }
  const Reply long_uri = service->Get("/lookup?number=" + std::string(20000, '1'));
  EXPECT_EQ(long_uri.status, 414);
  EXPECT_TRUE(json::parse(long_uri.body).contains("error"));

  httplib::Client client("127.0.0.1", service->port());
  const auto posted =
      client.Post("/lookup?number=089123456", std::string(100000, 'x'), "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 413);

  EXPECT_THAT(RawExchange(service->port(), "GARBAGE\r\n\r\n"), HasSubstr("400"));
  EXPECT_THAT(RawExchange(service->port(),
                          "GET /health HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n"),
              ::testing::Not(HasSubstr("200 OK")));
  RawExchange(service->port(), "GET /lookup?number=0", true);  // cut off in the request line

  // The service goes on answering.
  EXPECT_EQ(Found(service->Get("/lookup?number=089123456")),
            std::vector<std::string>{"K1:089123456"});
  EXPECT_EQ(service->Get("/health").body, R"({"status":"ok"})");
  EXPECT_FALSE(service->child().Ended());
}

TEST_P(ServeTest, ManyClientsAtOnceGetTheirOwnAnswers) {
  reliability::AddContacts(*install_, 200);
  Rebuild();
  auto service = Start({"--sessions", "3"});
  constexpr int kClients = 8;
  constexpr int kRequests = 150;
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", service->port());  // one keep-alive connection
      client.set_keep_alive(true);
      client.set_url_encode(false);
      for (int r = 0; r < kRequests; ++r) {
        const int i = 1 + (c * kRequests + r) % 200;
        const std::string number =
            (r % 2 == 0 ? "+49 171 " : "k") + std::to_string(i) + (r % 2 == 0 ? "" : "@EXAMPLE.de");
        const auto result = client.Get(("/lookup?number=" + Encoded(number)).c_str());
        const std::string expected = "K" + std::to_string(i);
        if (result && result->status == 200 && json::parse(result->body)["matches"].size() == 1 &&
            json::parse(result->body)["matches"][0]["dsn"] == expected) {
          ++answered;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kClients * kRequests);
}

TEST_P(ServeTest, ARebuildWhileClientsAskNeverShowsAHalfTable) {
  constexpr int kContacts = reliability::kSanitized ? 1000 : 4000;
  reliability::AddContacts(*install_, kContacts);
  Rebuild();
  auto service = Start();
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0};
  std::vector<std::string> wrong;
  std::mutex wrong_mutex;
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", service->port());
      client.set_url_encode(false);
      for (int r = 0; !stop; ++r) {
        // The last contacts are harvested last: a half-built table lacks them.
        const int i = kContacts - (c * 997 + r) % 50;
        const auto result = client.Get(("/lookup?number=089%20" + std::to_string(i)).c_str());
        ++asked;
        // With few contacts another contact's fax (089 9<j>) carries the same
        // number, so the contact asked for must be among the matches, not alone.
        bool right = result && result->status == 200;
        if (right) {
          const json matches = json::parse(result->body)["matches"];
          right = std::any_of(matches.begin(), matches.end(), [&](const json& match) {
            return match["dsn"] == "K" + std::to_string(i);
          });
        }
        if (!right) {
          std::lock_guard<std::mutex> lock(wrong_mutex);
          wrong.push_back(result ? std::to_string(result->status) + " " + result->body
                                 : "no answer");
        }
      }
    });
  }
  for (int run = 0; run < 2; ++run) Rebuild();
  const int during = asked.load();
  stop = true;
  for (std::thread& client : clients) client.join();
  EXPECT_GT(during, 20) << "too few requests during the rebuilds to tell anything";
  EXPECT_THAT(wrong, ::testing::IsEmpty());
}

TEST_P(ServeTest, SigtermAndSigintEndTheServiceWithStatusZero) {
  AddHarvestedContacts();
  for (const int signal_number : {SIGTERM, SIGINT}) {
    auto service = Start();
    ASSERT_EQ(service->Get("/health").status, 200);
    service->child().Kill(signal_number);
    const std::optional<int> status = service->child().Wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the service did not stop on signal " << signal_number;
    EXPECT_EQ(*status, 0) << service->child().Err();
    EXPECT_THAT(service->child().Err(), HasSubstr("stopped"));
    EXPECT_EQ(service->Get("/health").status, 0);  // nothing listens any more
  }
}

TEST_P(ServeTest, ASecretGuardsEveryRequestAndIsNeverLogged) {
  AddHarvestedContacts();
  const std::string secret = "very-secret-value-42";
  auto service = Start({}, {{"FONWERK_TOKEN", secret}});
  EXPECT_EQ(service->Get("/lookup?number=089123456").status, 401);
  EXPECT_EQ(service->Get("/health").status, 401);
  EXPECT_EQ(service->Get("/lookup?number=089123456", {{"X-API-Key", "wrong"}}).status, 401);
  EXPECT_EQ(service->Get("/lookup?number=089123456&token=wrong").status, 401);
  EXPECT_EQ(Found(service->Get("/lookup?number=089123456", {{"X-API-Key", secret}})),
            std::vector<std::string>{"K1:089123456"});
  EXPECT_EQ(Found(service->Get("/lookup?number=089123456&token=" + secret)),
            std::vector<std::string>{"K1:089123456"});
  EXPECT_EQ(
      Found(service->Get("/lookup?number=089123456", {{"Authorization", "Bearer " + secret}})),
      std::vector<std::string>{"K1:089123456"});
  EXPECT_EQ(service->Get("/health", {{"Authorization", "Bearer wrong"}}).status, 401);
  EXPECT_EQ(service->Get("/health", {{"Authorization", "Basic " + secret}}).status, 401);
  EXPECT_EQ(service->Get("/metrics").status, 401);
  EXPECT_EQ(service->Get("/metrics", {{"Authorization", "Bearer " + secret}}).status, 200);
  service->child().Kill(SIGTERM);
  ASSERT_TRUE(service->child().Wait(std::chrono::seconds(20)).has_value());
  EXPECT_THAT(service->child().Err() + service->child().Out(), ::testing::Not(HasSubstr(secret)));
}

TEST_P(ServeTest, BeyondLoopbackOnlyWithASecretFromAnOwnerOnlyFile) {
  Child refused(test::BinaryPath("fonwerkctl"),
                {"--install", install_->path(), "serve", "--listen", "0.0.0.0:0"});
  const std::optional<int> status = refused.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 3);
  EXPECT_THAT(refused.Err(), HasSubstr("without a shared secret"));

  const std::string token_file = install_->path() + "/token";
  std::ofstream(token_file) << "file-secret\n";
  ::chmod(token_file.c_str(), 0644);
  Child readable(test::BinaryPath("fonwerkctl"),
                 {"--install", install_->path(), "serve", "--listen", "0.0.0.0:0", "--token-file",
                  token_file});
  ASSERT_EQ(readable.Wait(std::chrono::seconds(30)), std::optional<int>(3));
  EXPECT_THAT(readable.Err(), HasSubstr("chmod 600"));

  ::chmod(token_file.c_str(), 0600);
  Child guarded(test::BinaryPath("fonwerkctl"), {"--install", install_->path(), "serve", "--listen",
                                                 "0.0.0.0:0", "--token-file", token_file});
  std::smatch found;
  const std::regex listening("listening on http://0\\.0\\.0\\.0:([0-9]+)/");
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::string err;
  while (Clock::now() < deadline && !std::regex_search(err = guarded.Err(), found, listening)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::regex_search(err, found, listening)) << err;
  // One warning: the secret would cross the network in clear text.
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  EXPECT_THAT(err, HasSubstr("warning: listening on 0.0.0.0 without TLS"));
  httplib::Client client("127.0.0.1", std::stoi(found[1]));
  EXPECT_EQ(client.Get("/health")->status, 401);
  EXPECT_EQ(client.Get("/health", {{"X-API-Key", "file-secret"}})->status, 200);
  guarded.Kill(SIGTERM);
  EXPECT_EQ(guarded.Wait(std::chrono::seconds(20)), std::optional<int>(0));
}

TEST_P(ServeTest, BatchLookupAnswersEveryLineInOrder) {
  AddHarvestedContacts();
  const std::string input = "+49 (0)89 123456\r\n0711 1\n\nmax.MEIER@example.com\n0891";
  const ProgramResult text = Ctl({"lookup", "-"}, input);
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.out,
            "+49 (0)89 123456\t1\tK1\tMeier\t\t089123456\tZentrale\n"
            "0711 1\t0\n"
            "\t0\n"
            "max.MEIER@example.com\t2\tK1\tMeier\t\tMax.Meier@Example.com\t"
            "\tK3\tKurz\t\tmax.meier@example.com\t\n"
            "0891\t1\tK3\tKurz\t\t0891\t\n");

  const ProgramResult as_json = Ctl({"lookup", "--json", "-"}, input);
  EXPECT_EQ(as_json.exit_code, 0) << as_json.err;
  std::vector<std::string> lines;
  std::istringstream out(as_json.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << as_json.out;
  EXPECT_EQ(json::parse(lines[0])["matches"][0]["dsn"], "K1");
  EXPECT_EQ(lines[1], R"({"number":"0711 1","matches":[]})");
  EXPECT_EQ(lines[2], R"({"number":"","matches":[]})");
  EXPECT_EQ(json::parse(lines[3])["matches"].size(), 2u);
  EXPECT_EQ(json::parse(lines[4])["matches"][0]["nummer"], "0891");

  const ProgramResult none = Ctl({"lookup", "-"}, "0711 1\n");
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, "0711 1\t0\n");
}

TEST_P(ServeTest, RefreshTakesAKennung) {
  AddHarvestedContacts();
  install_->Exec("UPDATE AD SET TELEFON = '089 55555' WHERE DSN = 'K3'");
  const ProgramResult refreshed = Ctl({"refresh", "--kennung", "KURZ"});
  EXPECT_EQ(refreshed.exit_code, 0) << refreshed.err;
  EXPECT_EQ(refreshed.out, "2\n");  // the new number and the address
  EXPECT_EQ(Ctl({"lookup", "08955555"}).out, "K3\tKurz\t\t08955555\t\n");

  const ProgramResult unknown = Ctl({"refresh", "--kennung", "NIEMAND"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_THAT(unknown.err, HasSubstr("NIEMAND"));

  AddContact("K4", "KURZ", "Kurz 2", "1", std::nullopt, std::nullopt);
  const ProgramResult twice = Ctl({"refresh", "--kennung", "KURZ"});
  EXPECT_EQ(twice.exit_code, 1);
  EXPECT_THAT(twice.err, HasSubstr("2 contacts"));
  EXPECT_THAT(twice.err, HasSubstr("K3"));
  EXPECT_THAT(twice.err, HasSubstr("K4"));

  EXPECT_EQ(Ctl({"refresh"}).exit_code, 64);
  EXPECT_EQ(Ctl({"refresh", "K1", "--kennung", "MEIER"}).exit_code, 64);
}

// With --watch the service answers with what AD holds now: a changed, a
// new and a deleted contact, and a change of AD's key.
TEST_P(ServeTest, WithWatchTheAnswersFollowTheContacts) {
  AddHarvestedContacts();
  ASSERT_EQ(Ctl({"watch", "--enable"}).exit_code, 0);
  auto service = Start({"--watch"});
  ASSERT_TRUE(reliability::WaitUntil([&] {
    return service->child().Err().find("following the changes") != std::string::npos;
  })) << service->child().Err();
  const struct {
    std::string sql;
    std::string number;
    std::vector<std::string> found;
  } cases[] = {
      {"UPDATE AD SET TELEFON = '0711 123456' WHERE DSN = 'K3'", "0711123456", {"K3:0711123456"}},
      {"UPDATE AD SET TELEFON = '0711 5' WHERE DSN = 'K3'", "0711123456", {}},
      {"INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON) VALUES ('K9', 'NEU', 'Neu', '0800 9')",
       "08009",
       {"K9:08009"}},
      {"UPDATE AD SET DSN = 'K8' WHERE DSN = 'K9'", "08009", {"K8:08009"}},
      {"DELETE FROM AD WHERE DSN = 'K1'", "089123456", {}},
  };
  for (const auto& c : cases) {
    install_->Exec(c.sql);
    EXPECT_TRUE(reliability::WaitUntil([&] {
      return Found(service->Get("/lookup?number=" + c.number)) == c.found;
    })) << c.sql
        << "\n"
        << service->child().Err();
  }
  // The metrics show what the follower applied, and nothing left waiting.
  std::map<std::string, double> samples;
  EXPECT_TRUE(reliability::WaitUntil([&] {
    samples = Samples(service->Get("/metrics").body);
    return samples["fonwerk_follower_changes_applied_total"] >= 5 &&
           samples["fonwerk_follower_oldest_unapplied_seconds"] == 0;
  })) << service->Get("/metrics").body;
  EXPECT_EQ(samples.at("fonwerk_lookup_timeouts_total"), 0);
  service->child().Kill(SIGTERM);
  EXPECT_EQ(service->child().Wait(std::chrono::seconds(30)), 0) << service->child().Err();
  EXPECT_EQ(reliability::QueuedChanges(*install_), 0);
}

TEST_P(ServeTest, SlowAndIdleClientsDoNotHoldUpALookup) {
  AddHarvestedContacts();
  ctl::RaiseOpenFileLimit();  // the test holds over a thousand connections
  auto service = Start();
  std::vector<int> held;
  // 64 clients that send half a request and wait.
  for (int i = 0; i < 64; ++i) {
    const int fd = Connect(service->port());
    ASSERT_GE(fd, 0);
    const std::string half = "GET /lookup?number=089123456 HTTP/1.1\r\nHost: x\r\n";
    ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    held.push_back(fd);
  }
  // 1,000 kept-alive connections, a quarter after a request, the rest idle from the start.
  for (int i = 0; i < 1000; ++i) {
    const int fd = Connect(service->port());
    ASSERT_GE(fd, 0) << "connection " << i;
    if (i % 4 == 0) {
      const std::string asked = "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n";
      ::send(fd, asked.data(), asked.size(), MSG_NOSIGNAL);
      char buffer[1024];
      ASSERT_GT(::recv(fd, buffer, sizeof buffer, 0), 0) << "connection " << i;
    }
    held.push_back(fd);
  }
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    const Reply reply = service->Get("/lookup?number=089123456");
    const auto took = Clock::now() - start;
    EXPECT_EQ(Found(reply), std::vector<std::string>{"K1:089123456"});
    EXPECT_LT(took, std::chrono::seconds(1)) << "lookup " << i;  // blocked: many seconds
  }
  // All of them are still open, held by the service.
  EXPECT_GE(Samples(service->Get("/metrics").body).at("fonwerk_connections_open"), 1064);
  // A half-sent request is given up after the header's time limit (5 s).
  const auto start = Clock::now();
  EXPECT_EQ(ReadToEnd(held.front()), "");
  const auto waited = Clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(5));
  for (const int fd : held) ::close(fd);
  EXPECT_EQ(service->Get("/health").status, 200);
}

TEST_P(ServeTest, PipelinedRequestsAreAnsweredInOrder) {
  AddHarvestedContacts();
  auto service = Start();
  const std::string raw =
      RawExchange(service->port(),
                  "GET /lookup?number=0891 HTTP/1.1\r\nHost: x\r\n\r\n"
                  "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"
                  "GET /lookup?number=01715551234 HTTP/1.1\r\nHost: x\r\n\r\n"
                  "HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n"
                  "GET /lookup?number=0891234569 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(Statuses(raw), (std::vector<int>{200, 404, 200, 200, 200})) << raw;
  const std::size_t first = raw.find("\"K3\"");
  const std::size_t second = raw.find("\"K1\"");
  const std::size_t miss = raw.find(R"("number":"0891234569","matches":[])");
  EXPECT_NE(first, std::string::npos) << raw;
  EXPECT_LT(first, second) << raw;
  EXPECT_LT(second, miss) << raw;
  EXPECT_EQ(raw.find("\"status\""), std::string::npos) << "HEAD answered with a body: " << raw;
}

TEST_P(ServeTest, EveryRefusalIsAnsweredAndClosesTheConnection) {
  AddHarvestedContacts();
  auto service = Start();
  const std::string big(5000, 'x');
  const std::string small(100, 'x');
  const std::string next = "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";  // never answered
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {"GET /lookup?number=0891 HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"HEAD /health HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"POST /lookup?number=0891 HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"PUT /lookup HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"DELETE /lookup HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"OPTIONS / HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + big, 413},
      {"GET /health HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1388\r\n" + big + "\r\n0\r\n\r\n",
       413},
      {"POST /lookup?number=0891 HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + small, 405},
      {"DELETE /lookup?number=0891 HTTP/1.1\r\n\r\n", 405},
      {"GET /lookup?number=" + std::string(9000, '1') + " HTTP/1.1\r\n\r\n", 414},
      {"GET /health HTTP/1.1\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n", 431},
      {"GARBAGE\r\n\r\n", 400},
      {"GET /health HTTP/1.1\r\nContent-Length: x\r\n\r\n", 400},
      {"GET health HTTP/1.1\r\n\r\n", 400},
  };
  for (const auto& c : cases) {
    const std::string shown = c.request.substr(0, 40);
    const auto start = Clock::now();
    const std::string raw = RawExchange(service->port(), c.request + next);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << shown << ": left open";
    EXPECT_EQ(Statuses(raw), std::vector<int>{c.status}) << shown << "\n" << raw;
    const std::size_t body = raw.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos) << shown;
    if (c.request.rfind("HEAD", 0) != 0) {
      EXPECT_TRUE(json::parse(raw.substr(body + 4)).contains("error")) << shown;
    }
  }
  // A body within the limit is read, and the GET answered.
  const std::string within = RawExchange(
      service->port(),
      "GET /lookup?number=0891 HTTP/1.1\r\nContent-Length: 100\r\nConnection: close\r\n\r\n" +
          small);
  EXPECT_EQ(Statuses(within), std::vector<int>{200}) << within;
  EXPECT_EQ(Found(service->Get("/lookup?number=0891")), std::vector<std::string>{"K3:0891"});
}

TEST_P(ServeTest, HttpsWithACertificateForTheHost) {
  AddHarvestedContacts();
  const std::string cert = install_->path() + "/cert.pem";
  const std::string key = install_->path() + "/key.pem";
  const ProgramResult made = test::RunProgram(
      "/usr/bin/openssl",
      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
       "-subj", "/CN=fonwerk test", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  const std::string secret = "tls-secret-7";
  auto service = Start({"--tls-cert", cert, "--tls-key", key}, {{"FONWERK_TOKEN", secret}});
  EXPECT_THAT(service->child().Err(), HasSubstr("listening on https://127.0.0.1:"));

  httplib::SSLClient client("127.0.0.1", service->port());
  client.set_ca_cert_path(cert.c_str());
  client.enable_server_certificate_verification(true);
  const auto found = client.Get("/lookup?number=089123456", {{"X-API-Key", secret}});
  ASSERT_TRUE(found) << httplib::to_string(found.error());
  EXPECT_EQ(Found({found->status, found->body}), std::vector<std::string>{"K1:089123456"});
  const auto refused = client.Get("/health");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);

  // Plain HTTP on the port gets no answer; a wrong key file stops the start.
  EXPECT_EQ(service->Get("/health").status, 0);
  Child wrong(test::BinaryPath("fonwerkctl"),
              {"--install", install_->path(), "serve", "--listen", "127.0.0.1:0", "--tls-cert",
               cert, "--tls-key", cert});
  EXPECT_EQ(wrong.Wait(std::chrono::seconds(30)), std::optional<int>(3));
  EXPECT_THAT(wrong.Err(), HasSubstr("cannot use the TLS key"));
  EXPECT_EQ(Ctl({"serve", "--tls-cert", cert}).exit_code, 64);
}

TEST_P(ServeTest, MetricsCountRequestsLookupsAndRows) {
  AddHarvestedContacts();
  const std::string access_log = install_->path() + "/access.log";
  auto service = Start({"--access-log", access_log}, {{"FONWERK_TOKEN", "metrics-secret"}});
  const httplib::Headers key{{"X-API-Key", "metrics-secret"}};
  const Reply before = service->Get("/metrics", key);
  ASSERT_EQ(before.status, 200) << before.body;
  const std::map<std::string, double> was = Samples(before.body);
  EXPECT_EQ(was.at("fonwerk_sessions"), 4);
  const std::optional<std::string> rows = install_->Query("SELECT count(*) FROM TAPI").at(0).at(0);
  EXPECT_EQ(was.at("fonwerk_tapi_rows"), std::stod(rows.value()));

  EXPECT_EQ(service->Get("/lookup?number=089123456", key).status, 200);
  EXPECT_EQ(service->Get("/lookup?phone=0891", key).status, 200);
  EXPECT_EQ(service->Get("/lookup?number=07111", key).status, 200);
  EXPECT_EQ(service->Get("/lookup?number=", key).status, 400);
  EXPECT_EQ(service->Get("/nothing", key).status, 404);
  EXPECT_EQ(service->Get("/lookup?number=0891&token=metrics-secret").status, 200);
  const std::map<std::string, double> now = Samples(service->Get("/metrics", key).body);
  const auto grew = [&](const std::string& name) {
    return now.at(name) - (was.count(name) != 0 ? was.at(name) : 0.0);
  };
  EXPECT_EQ(grew(R"(fonwerk_http_requests_total{path="/lookup",status="200"})"), 4);
  EXPECT_EQ(grew(R"(fonwerk_http_requests_total{path="/lookup",status="400"})"), 1);
  EXPECT_EQ(grew(R"(fonwerk_http_requests_total{path="other",status="404"})"), 1);
  EXPECT_EQ(grew(R"(fonwerk_http_requests_total{path="/metrics",status="200"})"), 1);
  EXPECT_EQ(grew(R"(fonwerk_lookups_total{result="matched"})"), 3);
  EXPECT_EQ(grew(R"(fonwerk_lookups_total{result="missed"})"), 1);
  EXPECT_EQ(grew("fonwerk_http_request_duration_seconds_count"), 7);
  EXPECT_EQ(now.at("fonwerk_database_errors_total"), 0);
  EXPECT_EQ(now.at("fonwerk_sessions_busy"), 0);
  EXPECT_GE(now.at("fonwerk_connections_open"), 1);

  // The access log: one line per request, the secret left out.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // flushed every second
  std::ifstream in(access_log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                            "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z 127\\.0\\.0\\.1:[0-9]+ GET "
                            "/lookup\\?number=089123456 200 [0-9]+"));
  EXPECT_THAT(lines[6], ::testing::EndsWith(""));
  EXPECT_THAT(lines[6], HasSubstr(" GET /lookup?number=0891 200 "));
  for (const std::string& line : lines) EXPECT_THAT(line, ::testing::Not(HasSubstr("secret")));
  EXPECT_THAT(service->child().Err(),
              ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z fonwerkctl serve: "
                                      "listening on .*\n"));
  // Under the journal, which stamps lines itself, the service does not.
  auto journaled = Start({}, {{"JOURNAL_STREAM", "8:12345"}});
  EXPECT_EQ(journaled->child().Err().rfind("fonwerkctl serve: listening on http://", 0), 0u)
      << journaled->child().Err();
}

TEST_P(ServeTest, SighupReadsTheSettingsAnewWithoutDroppingRequests) {
  AddHarvestedContacts();
  auto service = Start();
  const std::string international = "/lookup?number=" + Encoded("+49 89 123456");
  ASSERT_EQ(Found(service->Get(international)), std::vector<std::string>{"K1:089123456"});
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0};
  std::atomic<int> failed{0};
  std::thread client([&] {
    httplib::Client keep("127.0.0.1", service->port());
    while (!stop) {
      const auto answer = keep.Get("/lookup?number=0891");
      ++asked;
      if (!answer || answer->status != 200) ++failed;
    }
  });
  // Without Suspress the country's own prefix stays: +49 89 ... is 004989...,
  // which is not stored.
  ASSERT_EQ(Ctl({"config", "set", "Suspress=false"}).exit_code, 0);
  EXPECT_EQ(Found(service->Get(international)), std::vector<std::string>{"K1:089123456"});
  service->child().Kill(SIGHUP);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline && !Found(service->Get(international)).empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(Found(service->Get(international)), std::vector<std::string>{});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop = true;
  client.join();
  EXPECT_GT(asked.load(), 10);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_FALSE(service->child().Ended());
  EXPECT_THAT(service->child().Err(), HasSubstr("configuration reloaded"));
  const std::map<std::string, double> samples = Samples(service->Get("/metrics").body);
  EXPECT_EQ(samples.at("fonwerk_database_reopens_total"), 1);

  // A configuration that cannot be read leaves the one in force.
  const std::string ini = install_->sql_ini_path();
  ASSERT_EQ(::rename(ini.c_str(), (ini + ".away").c_str()), 0);
  service->child().Kill(SIGHUP);
  const auto waited = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < waited &&
         service->child().Err().find("reloading failed") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_THAT(service->child().Err(), HasSubstr("reloading failed, the configuration stays"));
  ASSERT_EQ(::rename((ini + ".away").c_str(), ini.c_str()), 0);
  EXPECT_EQ(Found(service->Get("/lookup?number=0891")), std::vector<std::string>{"K3:0891"});
  EXPECT_EQ(Found(service->Get(international)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Providers, ServeTest, test::BothProviders(), test::ProviderParamName);

// A TCP port nobody listens on now; the private server only uses it to name
// its socket file, so a port taken later by someone else does no harm.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The offset from the suite's server port that ThrowawayServer takes, for a free port.
int FreePortOffset() {
  const ConnectionString shared = ConnectionString::Parse(std::getenv("FONWERK_TEST_PG"));
  return FreePort() - std::stoi(shared.Get("Port").value_or("5432"));
}

TEST(ServeDatabaseTest, TheServiceReconnectsAfterThePostgreSqlServerWasStopped) {
  reliability::ThrowawayServer server(FreePortOffset());
  std::unique_ptr<TestInstall> install = reliability::InstallOn(server);
  reliability::AddContacts(*install, 50);
  reliability::ProgramCopy program;
  ASSERT_EQ(program.Run(install->path()).exit_code, 0);
  Service service(install->path(), {"--sessions", "2"});
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  const std::vector<std::string> k7{"K7:0897"};
  ASSERT_EQ(Found(service.Get("/lookup?number=0897")), k7);

  for (const std::string mode : {"fast", "immediate"}) {
    SCOPED_TRACE(mode);
    server.Stop(mode);
    const Reply down = service.Get("/lookup?number=0897");
    EXPECT_EQ(down.status, 503) << down.body;
    EXPECT_THAT(json::parse(down.body)["error"].get<std::string>(),
                HasSubstr("database unavailable"));
    const Reply health = service.Get("/health");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(json::parse(health.body)["status"], "unavailable");

    server.Start();
    // The first requests after the restart are answered: every session
    // notices the lost connection and connects anew.
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(Found(service.Get("/lookup?number=0897")), k7) << "request " << i;
    }
    EXPECT_EQ(service.Get("/health").status, 200);
  }
  EXPECT_FALSE(service.child().Ended());
  const std::map<std::string, double> samples = Samples(service.Get("/metrics").body);
  EXPECT_GE(samples.at("fonwerk_database_reconnections_total"), 2);  // once a stop at least
  EXPECT_GE(samples.at("fonwerk_database_errors_total"), 4);  // a lookup and a health check a stop
  EXPECT_EQ(samples.at(R"(fonwerk_http_requests_total{path="/health",status="503"})"), 2);
}

TEST(ServeDatabaseTest, SigtermFinishesTheRequestsInFlight) {
  auto install = TestInstall::Create(Provider::kPostgreSQL);
  reliability::AddContacts(*install, 20);
  reliability::ProgramCopy program;
  ASSERT_EQ(program.Run(install->path()).exit_code, 0);
  // A budget that outlasts the lock below: the request stays in flight.
  Service service(install->path(), {"--budget-ms", "6000"});
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  ASSERT_EQ(service.Get("/health").status, 200);

  // A lock that holds the lookup's read of TAPI until the test lets go.
  install->Exec("BEGIN");
  install->Exec("LOCK TABLE TAPI IN ACCESS EXCLUSIVE MODE");
  Reply in_flight;
  std::thread client([&] { in_flight = service.Get("/lookup?number=0897"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  service.child().Kill(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(service.child().Ended()) << "the service ended with a request in flight";
  install->Exec("COMMIT");
  client.join();
  EXPECT_EQ(Found(in_flight), std::vector<std::string>{"K7:0897"});
  EXPECT_EQ(service.child().Wait(std::chrono::seconds(20)), std::optional<int>(0));
}

// ------------------------------------------ lookups while TAPI is held: primary and hot standby

// A report: a transaction on a session named "report" that reads TAPI and
// keeps it open for `hold` (as a report tool, a pg_dump or an idle admin
// session does).
class Report {
 public:
  Report(const std::string& connect, std::chrono::milliseconds hold)
      : thread_([this, connect, hold] {
          try {
            ConnectionString params = ConnectionString::Parse(connect);
            params.Set("Application Name", "report");
            auto session = install::OpenUnpooledSession(params.ToString());
            session->Execute("BEGIN");
            session->Query("SELECT count(*) FROM TAPI", false);
            started_ = true;
            std::this_thread::sleep_for(hold);
            session->Execute("COMMIT");
          } catch (const std::exception& error) {
            ADD_FAILURE() << "the report failed: " << error.what();
            started_ = true;
          }
          ended_ = true;
        }) {
    while (!started_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~Report() { thread_.join(); }
  bool ended() const { return ended_; }

 private:
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

// Lookups of a stored number from one client, one every 20 ms, until Stop().
class Prober {
 public:
  explicit Prober(const Service& service)
      : thread_([this, &service] {
          while (!stop_) {
            const auto began = Clock::now();
            const Reply reply = service.Get("/lookup?number=0897");
            const auto took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
            std::lock_guard<std::mutex> lock(mutex_);
            ++asked_;
            slowest_ = std::max(slowest_, took);
            if (Found(reply) != std::vector<std::string>{"K7:0897"})
              failures_.push_back(reply.body);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~Prober() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Stops and checks: answers all found the contact, none took a second.
  void StopAndExpectEveryAnswerInTime() {
    Stop();
    EXPECT_GT(asked_, 20);
    EXPECT_LT(slowest_.count(), 1000) << "of " << asked_ << " lookups";
    EXPECT_THAT(failures_, ::testing::IsEmpty()) << "of " << asked_ << " lookups";
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  int asked_ = 0;
  std::chrono::milliseconds slowest_{0};
  std::vector<std::string> failures_;
  std::thread thread_;
};

// A PostgreSQL primary and its streaming hot standby of the test's own, with
// an installation of 50 contacts rebuilt once on the primary.
class StandbyPairTest : public ::testing::Test {
 protected:
  StandbyPairTest()
      : primary_(FreePortOffset()),
        standby_(primary_, FreePortOffset()),
        install_(reliability::InstallOn(primary_)) {}

  void SetUp() override {
    reliability::AddContacts(*install_, 50);
    ASSERT_EQ(program_.Run(install_->path()).exit_code, 0);
    database_ = ConnectionString::Parse(install_->connect_string()).Get("Database").value();
    standby_.CatchUp(primary_);
  }

  // Lookups read from the standby: SQL.INI names it in [Replica].
  void ReadFromStandby() {
    const ConnectionString standby = ConnectionString::Parse(standby_.connect_string());
    std::ofstream(install_->sql_ini_path(), std::ios::app)
        << "\n[Replica]\nHost=" << *standby.Get("Host") << "\nPort=" << *standby.Get("Port")
        << "\n";
  }

  // The application names of the sessions on `server`'s installation database.
  std::string Sessions(const reliability::ThrowawayServer& server) {
    return server.Ask(database_,
                      "SELECT string_agg(application_name, ',' ORDER BY application_name)"
                      " FROM pg_stat_activity WHERE datname = current_database()");
  }

  reliability::ThrowawayServer primary_;
  reliability::ThrowawayServer standby_;
  std::unique_ptr<TestInstall> install_;
  reliability::ProgramCopy program_;
  std::string database_;
};

TEST_F(StandbyPairTest, AReportHoldingTapiStallsNoLookupDuringARebuild) {
  struct Case {
    const char* name;
    bool report_on_standby;
    bool service_reads_standby;
    const char* wait_readers;
    int status;  // of the rebuild
  };
  const Case cases[] = {
      {"report on the primary, rebuild waits", false, false, "30", 0},
      {"report on the primary, rebuild gives up", false, false, "1", 3},
      {"report on the standby the service reads", true, true, "30", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.service_reads_standby) ReadFromStandby();
    const std::vector<test::Row> before = reliability::TapiContent(*install_, true);
    Service service(install_->path(), {"--sessions", "2"});
    ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
    Prober prober(service);
    std::optional<int> status;
    {
      const reliability::ThrowawayServer& reported = c.report_on_standby ? standby_ : primary_;
      const Report report(reported.ConnectTo(database_), std::chrono::seconds(3));
      Child fonwerk(program_.program(), {"--wait-readers", c.wait_readers, install_->path()});
      if (!c.report_on_standby) {
        // The waiting rebuild, the report and the service show who they are.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_THAT(Sessions(primary_), ::testing::AllOf(HasSubstr("fonwerk,"), HasSubstr("report"),
                                                         HasSubstr("fonwerkctl serve 1")));
      }
      status = fonwerk.Wait(std::chrono::seconds(60));
      EXPECT_EQ(status, std::optional<int>(c.status)) << fonwerk.Err();
      EXPECT_EQ(report.ended(), c.status == 0 && !c.report_on_standby) << "rebuild ended too early";
      if (!c.report_on_standby) {
        EXPECT_THAT(fonwerk.Err(), HasSubstr("TAPI wird gelesen von 'report' (pid "));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    prober.StopAndExpectEveryAnswerInTime();
    if (c.status == 0) {
      EXPECT_EQ(reliability::TapiContent(*install_, false).size(), 200u);
    } else {
      EXPECT_EQ(reliability::TapiContent(*install_, true), before) << "the old table was not kept";
    }
    if (c.service_reads_standby) {
      EXPECT_THAT(Sessions(standby_), HasSubstr("fonwerkctl serve 1"));
      standby_.CatchUp(primary_);
      EXPECT_EQ(reliability::TapiContent(standby_.ConnectTo(database_), true),
                reliability::TapiContent(*install_, true));
    }
  }
}

TEST_F(StandbyPairTest, WithTheStandbyStoppedLookupsAreAnsweredByThePrimary) {
  ReadFromStandby();
  Service service(install_->path(), {"--sessions", "2"});
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  const std::vector<std::string> k7{"K7:0897"};
  ASSERT_EQ(Found(service.Get("/lookup?number=0897")), k7);
  EXPECT_THAT(Sessions(standby_), HasSubstr("fonwerkctl serve"));

  standby_.Stop("fast");
  Prober prober(service);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(service.Get("/health").status, 200);
  const ProgramResult lookup = reliability::RunCtl(install_->path(), {"lookup", "0897"});
  EXPECT_EQ(lookup.exit_code, 0) << lookup.err;
  EXPECT_THAT(lookup.out, HasSubstr("K7"));
  standby_.Start();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  prober.StopAndExpectEveryAnswerInTime();
  EXPECT_THAT(Sessions(primary_), HasSubstr("fonwerkctl serve"));
}

// A sync writes rows, never swaps the table: a report on either server
// holds up neither it nor a lookup, and the service that reads the standby
// answers the synced change once it is replayed there.
TEST_F(StandbyPairTest, AReportHoldingTapiStallsNeitherSyncNorLookups) {
  ReadFromStandby();
  Service service(install_->path(), {"--sessions", "2"});
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  Prober prober(service);
  for (const bool on_standby : {false, true}) {
    SCOPED_TRACE(on_standby ? "report on the standby" : "report on the primary");
    const reliability::ThrowawayServer& reported = on_standby ? standby_ : primary_;
    const Report report(reported.ConnectTo(database_), std::chrono::seconds(3));
    const std::string number = on_standby ? "0711 2222" : "0711 1111";
    install_->Exec("UPDATE AD SET FAX = '" + number + "' WHERE DSN = 'K3'");
    const ProgramResult sync = reliability::RunCtl(install_->path(), {"sync"});
    EXPECT_EQ(sync.exit_code, 0) << sync.err;
    EXPECT_FALSE(report.ended()) << "the sync waited for the report";
    const std::string digits = on_standby ? "07112222" : "07111111";
    EXPECT_TRUE(reliability::WaitUntil([&] {
      return Found(service.Get("/lookup?number=" + digits)) ==
             std::vector<std::string>{"K3:" + digits};
    })) << service.child().Err();
  }
  prober.StopAndExpectEveryAnswerInTime();
}

// A SQLite installation with `contacts` contacts (K<i> answers 089 <i>),
// harvested by a real rebuild.
std::unique_ptr<TestInstall> HarvestedSqlite(int contacts) {
  auto install = TestInstall::Create(Provider::kSQLite);
  reliability::AddContacts(*install, contacts);
  reliability::ProgramCopy program;
  EXPECT_EQ(program.Run(install->path()).exit_code, 0);
  return install;
}

// Runs `sql` on the SQLite file `file` with the sqlite3 program.
void Exec(const std::string& file, const std::string& sql) {
  const ProgramResult done = test::RunProgram("/usr/bin/sqlite3", {file, sql});
  ASSERT_EQ(done.exit_code, 0) << done.err;
}

std::string SqliteFile(const TestInstall& install) {
  return ConnectionString::Parse(install.connect_string()).Get("Data Source").value();
}

// Asks `target` until the answer has `status` (or 10 s pass); the last answer.
Reply AskUntil(const Service& service, const std::string& target, int status) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  Reply reply = service.Get(target);
  while (reply.status != status && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reply = service.Get(target);
  }
  return reply;
}

TEST(ServeSqliteFileTest, AReplacedFileIsServedAndARemovedOneIsUnhealthy) {
  auto install = HarvestedSqlite(50);
  auto newer = HarvestedSqlite(60);
  const std::string file = SqliteFile(*install);
  Service service(install->path());
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  ASSERT_EQ(Found(service.Get("/lookup?number=08955")), std::vector<std::string>{});

  // The new file is made whole beside the old one and moved over it, the
  // old one's log checkpointed away as its writers leave it.
  const std::string made = install->path() + "/new.db";
  newer->Exec("VACUUM INTO " + reliability::Literal(made));
  install->Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  ASSERT_EQ(::rename(made.c_str(), file.c_str()), 0);
  const auto start = Clock::now();
  Reply reply = service.Get("/lookup?number=08955");
  while (reply.status == 200 && Found(reply).empty() &&
         Clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reply = service.Get("/lookup?number=08955");
  }
  EXPECT_EQ(Found(reply), std::vector<std::string>{"K55:08955"});
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  ASSERT_EQ(::unlink(file.c_str()), 0);
  const Reply gone = AskUntil(service, "/health", 503);
  EXPECT_EQ(gone.status, 503);
  EXPECT_EQ(json::parse(gone.body)["status"], "unavailable");
  EXPECT_EQ(service.Get("/lookup?number=0897").status, 503);

  newer->Exec("VACUUM INTO " + reliability::Literal(made));
  ASSERT_EQ(::rename(made.c_str(), file.c_str()), 0);
  EXPECT_EQ(AskUntil(service, "/health", 200).status, 200);
  EXPECT_EQ(Found(service.Get("/lookup?number=08955")), std::vector<std::string>{"K55:08955"});
  EXPECT_THAT(service.child().Err(), HasSubstr("was replaced or removed"));
}

TEST(ServeSqliteFileTest, AnAccountThatMayOnlyReadLooksUp) {
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr || ::access("/usr/bin/setpriv", X_OK) != 0 || ::geteuid() != 0) {
    GTEST_SKIP() << "needs root, the user nobody and setpriv to run the service as another user";
  }
  auto install = HarvestedSqlite(50);
  // An installation of its own whose database no session of the test holds:
  // its files are as the writers leave them.
  test::TempFolder reader("fonwerk-reader");
  std::filesystem::create_directory(reader.File("SQL"));
  const std::string file = reader.File("SQL/korvana.db");
  install->Exec("VACUUM INTO " + reliability::Literal(file));
  std::ifstream ini_in(install->sql_ini_path());
  std::string ini((std::istreambuf_iterator<char>(ini_in)), std::istreambuf_iterator<char>());
  reader.Write("SQL/SQL.INI", ini);  // names korvana.db beside it
  reliability::ProgramCopy program;
  const ProgramResult rebuilt = program.Run(reader.path());
  ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.out << rebuilt.err;
  ASSERT_EQ(::access((file + "-shm").c_str(), F_OK), 0) << "the writer removed its -shm file";
  ASSERT_EQ(::access((file + "-wal").c_str(), F_OK), 0) << "the writer removed its -wal file";
  // Everything readable, nothing writable for others, as an installation
  // owned by the writers' account is.
  for (const std::string& path : {reader.path(), reader.File("SQL")}) ::chmod(path.c_str(), 0755);
  for (const std::string& path : {reader.File("SQL/SQL.INI"), file, file + "-wal", file + "-shm"}) {
    ::chmod(path.c_str(), 0644);
  }
  Service service(reader.path(), {"--sessions", "2"}, {},
                  {"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                   "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"});
  ASSERT_TRUE(service.WaitUntilListening()) << service.child().Err();
  EXPECT_EQ(Found(service.Get("/lookup?number=0897")), std::vector<std::string>{"K7:0897"});
  EXPECT_EQ(service.Get("/health").status, 200);
  EXPECT_THAT(service.child().Err(), ::testing::Not(HasSubstr("readonly")));

  // A rebuild by the writers is seen by the reader.
  Exec(file, "UPDATE AD SET TELEFON = '089 4711' WHERE DSN = 'K7'");
  ASSERT_EQ(program.Run(reader.path()).exit_code, 0);
  EXPECT_EQ(Found(service.Get("/lookup?number=0894711")), std::vector<std::string>{"K7:0894711"});
}

}  // namespace
}  // namespace fonwerk
