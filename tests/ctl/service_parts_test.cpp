// The lookup service's parts in process: the listen address, the secret, the
// request parameters, the JSON form and the answers of LookupService on a
// real installation.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "base/errors.h"
#include "ctl/cli.h"
#include "ctl/http_server.h"
#include "ctl/lookup_json.h"
#include "ctl/lookup_service.h"
#include "ctl/lookup_workers.h"
#include "ctl/serve.h"
#include "ctl/service_secret.h"
#include "phone/canonical_telephone.h"
#include "tests/support/providers.h"
#include "tests/support/test_install.h"

namespace fonwerk {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;
using test::Provider;
using test::TestInstall;

TEST(ListenAddressTest, HostAndPortOrAUsageError) {
  const struct {
    const char* text;
    const char* host;
    int port;
  } good[] = {{"127.0.0.1:8080", "127.0.0.1", 8080},
              {"localhost:0", "localhost", 0},
              {"[::1]:65535", "::1", 65535},
              {"0.0.0.0:80", "0.0.0.0", 80}};
  for (const auto& c : good) {
    const ctl::ListenAddress address = ctl::ParseListenAddress(c.text);
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
  }
  for (const char* bad :
       {"8080", ":8080", "host:", "host:65536", "host:80a", "host:-1", "[]:80", "host:123456"}) {
    EXPECT_THROW(ctl::ParseListenAddress(bad), ctl::UsageError) << bad;
  }
}

TEST(ServiceSecretTest, OnlyLoopbackHostsCountAsLoopback) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "localhost", "::1", "[::1]"}) {
    EXPECT_TRUE(ctl::IsLoopbackHost(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "128.0.0.1", "10.0.0.1", "example.org", "127.0.0",
                           "localhost.example.org", ""}) {
    EXPECT_FALSE(ctl::IsLoopbackHost(host)) << host;
  }
}

TEST(ServiceSecretTest, SecretMatchesOnlyItself) {
  EXPECT_TRUE(ctl::SecretMatches("s3cret", "s3cret"));
  for (const char* other : {"", "s3cre", "s3cret ", "S3cret", "s3cret\n", "x"}) {
    EXPECT_FALSE(ctl::SecretMatches("s3cret", other)) << other;
  }
}

class TokenFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("fonwerk-token-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& content, mode_t mode) {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
    return path;
  }

  std::filesystem::path folder_;
};

TEST_F(TokenFileTest, TheFirstLineOfAnOwnerOnlyFileIsTheSecret) {
  EXPECT_EQ(ctl::LoadSecret(Write("ok", "  s3cret \r\nsecond line\n", 0600)), "s3cret");
  EXPECT_EQ(ctl::LoadSecret(Write("ro", "abc", 0400)), "abc");
}

TEST_F(TokenFileTest, OtherFilesAreRefusedWithoutShowingTheSecret) {
  const struct {
    std::string path;
    const char* cause;
  } refused[] = {
      {Write("group", "hidden-value", 0640), "chmod 600"},
      {Write("world", "hidden-value", 0604), "chmod 600"},
      {Write("empty", "\n", 0600), "empty"},
      {(folder_ / "missing").string(), "cannot read"},
      {folder_.string(), "not a regular file"},
  };
  for (const auto& r : refused) {
    try {
      ctl::LoadSecret(r.path);
      ADD_FAILURE() << r.path << " was accepted";
    } catch (const Error& error) {
      EXPECT_THAT(error.what(), HasSubstr(r.cause)) << r.path;
      EXPECT_THAT(error.what(), HasSubstr(r.path));
      EXPECT_THAT(error.what(), ::testing::Not(HasSubstr("hidden-value")));
    }
  }
}

TEST_F(TokenFileTest, WithoutAFileTheEnvironmentNamesTheSecret) {
  ::setenv("FONWERK_TOKEN", "from-env", 1);
  EXPECT_EQ(ctl::LoadSecret(std::nullopt), "from-env");
  EXPECT_EQ(ctl::LoadSecret(Write("f", "from-file", 0600)), "from-file");
  ::unsetenv("FONWERK_TOKEN");
  EXPECT_EQ(ctl::LoadSecret(std::nullopt), "");
}

TEST(RequestedNumberTest, TheFirstNameThatIsPresentCounts) {
  using Params = std::multimap<std::string, std::string>;
  const struct {
    Params params;
    std::optional<std::string> number;
  } cases[] = {
      {{{"number", "089 1"}}, "089 1"},
      {{{"phone", "1"}}, "1"},
      {{{"phoneNumber", "2"}}, "2"},
      {{{"telephone", "3"}}, "3"},
      {{{"telephone", "3"}, {"number", "0"}}, "0"},
      {{{"number", "first"}, {"number", "second"}}, "first"},
      {{{"number", ""}, {"phone", "1"}}, std::nullopt},  // present but empty
      {{{"number", "   "}}, std::nullopt},
      {{{"Number", "1"}}, std::nullopt},  // names compare exactly
      {{{"token", "1"}}, std::nullopt},
      {{}, std::nullopt},
      {{{"number", std::string(ctl::kLongestNumber, '1')}}, std::string(ctl::kLongestNumber, '1')},
      {{{"number", std::string(ctl::kLongestNumber + 1, '1')}}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ctl::RequestedNumber(c.params), c.number)
        << (c.params.empty() ? "(none)" : c.params.begin()->first);
  }
}

TEST(RequestTargetTest, PathAndParametersAreDecoded) {
  using Params = std::multimap<std::string, std::string>;
  const struct {
    const char* target;
    const char* path;
    Params params;
  } cases[] = {
      {"/lookup?number=%2B49%20(0)89%20123456", "/lookup", {{"number", "+49 (0)89 123456"}}},
      {"/lookup?number=089+123456", "/lookup", {{"number", "089 123456"}}},
      {"/lookup?phone=1&phone=2&x", "/lookup", {{"phone", "1"}, {"phone", "2"}, {"x", ""}}},
      {"/health", "/health", {}},
      {"/health?", "/health", {}},
      {"/he%61lth", "/health", {}},
      {"/lookup?number=50%", "/lookup", {{"number", "50%"}}},  // a stray % stays
      {"/lookup?number=a%40b.de&token=s%3Dx", "/lookup", {{"number", "a@b.de"}, {"token", "s=x"}}},
  };
  for (const auto& c : cases) {
    const auto split = ctl::SplitTarget(c.target);
    ASSERT_TRUE(split.has_value()) << c.target;
    EXPECT_EQ(split->first, c.path) << c.target;
    EXPECT_EQ(split->second, c.params) << c.target;
  }
  for (const char* bad : {"", "lookup?number=1", "http://host/lookup", "*"}) {
    EXPECT_FALSE(ctl::SplitTarget(bad).has_value()) << bad;
  }
}

TEST(RequestTargetTest, TheSecretIsLeftOutOfLoggedTargets) {
  const struct {
    const char* target;
    const char* logged;
  } cases[] = {
      {"/lookup?number=1&token=secret", "/lookup?number=1"},
      {"/lookup?token=secret&number=1", "/lookup?number=1"},
      {"/lookup?token=a&number=1&token=b", "/lookup?number=1"},
      {"/health?token", "/health"},
      {"/lookup?%74oken=secret&number=1", "/lookup?number=1"},
      {"/lookup?tokens=1&mytoken=2", "/lookup?tokens=1&mytoken=2"},
      {"/lookup?number=token%3Dx", "/lookup?number=token%3Dx"},
      {"/health", "/health"},
  };
  for (const auto& c : cases) EXPECT_EQ(ctl::WithoutToken(c.target), c.logged) << c.target;
}

TEST(LookupJsonTest, TheObjectHasTheDocumentedMembersInOrder) {
  ctl::Match match{"K1",
                   "Meier/Hans",
                   "Meier GmbH",
                   "089123456",
                   "Zentrale",
                   "M-1",
                   "{1FEB2033-7850-44A0-919C-75BCC50F99B8}"};
  EXPECT_EQ(ctl::LookupJson("+49 89 123456", {match}),
            R"({"number":"+49 89 123456","matches":[{"dsn":"K1","kennung":"M-1",)"
            R"("name":"Meier/Hans","firma":"Meier GmbH","nummer":"089123456",)"
            R"("bemerkung":"Zentrale","type":"telefon"}]})");
  EXPECT_EQ(ctl::LookupJson("x\"\\\n", {}), R"({"number":"x\"\\\n","matches":[]})");
  // Bytes that are not UTF-8 do not break the JSON.
  EXPECT_EQ(json::parse(ctl::LookupJson("\xff\xfe", {}))["number"], "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(LookupJsonTest, KindsOfRows) {
  EXPECT_EQ(ctl::MatchKind("{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}"), "fax");
  EXPECT_EQ(ctl::MatchKind("{C451E716-7025-4EE9-8579-E2D0C6E26888}"), "email");
  EXPECT_EQ(ctl::MatchKind("{53E57451-2D06-4927-B55A-2A25E5DCBA41}"), "telefon");
  EXPECT_EQ(ctl::MatchKind("{A0D59022-A36F-4F39-B049-D71477532307}"), "telefon");
  EXPECT_EQ(ctl::MatchKind("{00000000-0000-0000-0000-000000000000}"), "sonstig");
  EXPECT_EQ(ctl::MatchKind(""), "sonstig");
}

// LookupService on a real installation, without HTTP.
class LookupServiceTest : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override {
    install_ = TestInstall::Create(GetParam());
    install_->Exec(
        "INSERT INTO AD (DSN, Kennung, IDX_NAME, IDX_FIRMA) VALUES ('K1', 'M1', 'Meier', 'GmbH')");
    install_->Exec(
        "INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn) VALUES "
        "('T1', 'K1', '089123456', 'Zentrale', '{1FEB2033-7850-44A0-919C-75BCC50F99B8}')");
    settings_.Plus = "00";
    settings_.code = "49";
    settings_.VAZ = "0";
    settings_.Suspress = true;
  }

  ctl::ServiceResponse Ask(const ctl::LookupService& service, const std::string& path,
                           std::multimap<std::string, std::string> params = {},
                           std::optional<std::string> key = std::nullopt) {
    return service.Handle({path, std::move(params), std::move(key)});
  }

  std::unique_ptr<TestInstall> install_;
  cCanonicalTelephone settings_;
};

TEST_P(LookupServiceTest, AnswersLookupsHealthAndRefusals) {
  ctl::LookupWorkers workers(install_->connect_string(), settings_, 2);
  const ctl::LookupService service(workers, "");
  ctl::ServiceResponse answer = Ask(service, "/lookup", {{"phone", "+49 (0)89 123456"}});
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(json::parse(answer.body)["matches"][0]["dsn"], "K1") << answer.body;
  answer = Ask(service, "/lookup", {{"number", "0711 1"}});
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, R"({"number":"0711 1","matches":[]})");
  EXPECT_EQ(Ask(service, "/lookup").status, 400);
  EXPECT_EQ(Ask(service, "/lookups", {{"number", "1"}}).status, 404);
  EXPECT_EQ(Ask(service, "/health").body, R"({"status":"ok"})");
}

TEST_P(LookupServiceTest, WithASecretEveryRequestCarriesIt) {
  ctl::LookupWorkers workers(install_->connect_string(), settings_, 1);
  const ctl::LookupService service(workers, "s3cret");
  EXPECT_EQ(Ask(service, "/health").status, 401);
  EXPECT_EQ(Ask(service, "/nowhere").status, 401);
  EXPECT_EQ(Ask(service, "/health", {}, "wrong").status, 401);
  EXPECT_EQ(Ask(service, "/health", {{"token", "wrong"}}).status, 401);
  // The header counts before the parameter.
  EXPECT_EQ(Ask(service, "/health", {{"token", "s3cret"}}, "wrong").status, 401);
  EXPECT_EQ(Ask(service, "/health", {}, "s3cret").status, 200);
  EXPECT_EQ(Ask(service, "/health", {{"token", "s3cret"}}).status, 200);
  EXPECT_EQ(Ask(service, "/lookup", {{"token", "s3cret"}, {"number", "089123456"}}).status, 200);
  EXPECT_THAT(Ask(service, "/health").body, ::testing::Not(HasSubstr("s3cret")));
}

TEST_P(LookupServiceTest, AMissingTableIsAFailureAndHealthSaysSo) {
  ctl::LookupWorkers workers(install_->connect_string(), settings_, 1);
  const ctl::LookupService service(workers, "");
  install_->Exec("DROP TABLE TAPI");
  const ctl::ServiceResponse lookup = Ask(service, "/lookup", {{"number", "089123456"}});
  EXPECT_EQ(lookup.status, 500);
  EXPECT_THAT(json::parse(lookup.body)["error"].get<std::string>(), HasSubstr("lookup failed"));
  const ctl::ServiceResponse health = Ask(service, "/health");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(json::parse(health.body)["status"], "unavailable");
}

// A lookup blocked by a lock on TAPI held in another session is answered 503
// within about its budget, as is /health; once the lock is gone both are
// answered again. (Readers of a SQLite database in WAL mode are not blocked
// by another session's writes.)
TEST_P(LookupServiceTest, ALookupThatCannotBeAnsweredInTimeIs503) {
  if (GetParam() == Provider::kSQLite) GTEST_SKIP() << "no lock blocks a SQLite reader";
  ctl::LookupWorkers workers(install_->connect_string(), settings_, 1,
                             {std::chrono::milliseconds(300), std::nullopt});
  const ctl::LookupService service(workers, "");
  ASSERT_EQ(Ask(service, "/lookup", {{"number", "089123456"}}).status, 200);
  install_->Exec("BEGIN");
  install_->Exec("LOCK TABLE TAPI IN ACCESS EXCLUSIVE MODE");
  for (const char* path : {"/lookup", "/health"}) {
    SCOPED_TRACE(path);
    const auto began = std::chrono::steady_clock::now();
    const ctl::ServiceResponse answer = Ask(service, path, {{"number", "089123456"}});
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(answer.status, 503) << answer.body;
    EXPECT_THAT(answer.body, HasSubstr("no answer within 300 ms")) << answer.body;
    EXPECT_LT(took, std::chrono::milliseconds(1500));
  }
  install_->Exec("COMMIT");
  EXPECT_EQ(workers.Timeouts(), 2u);
  EXPECT_EQ(Ask(service, "/lookup", {{"number", "089123456"}}).status, 200);
  EXPECT_EQ(Ask(service, "/health").status, 200);
}

// A replica that cannot be reached (no such server or file) leaves every
// lookup to the primary, and each is counted.
TEST_P(LookupServiceTest, AReplicaThatCannotAnswerLeavesTheLookupsToThePrimary) {
  const std::string replica = GetParam() == Provider::kSQLite
                                  ? "Provider=SQLite;Data Source=/nonexistent/korvana.db"
                                  : "Provider=PostgreSQL;Host=/nonexistent;Port=1;Database=x";
  ctl::LookupWorkers workers(install_->connect_string(), settings_, 2,
                             {std::chrono::milliseconds(800), replica});
  const ctl::LookupService service(workers, "");
  for (int i = 1; i <= 3; ++i) {
    const ctl::ServiceResponse answer = Ask(service, "/lookup", {{"number", "089123456"}});
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(json::parse(answer.body)["matches"][0]["dsn"], "K1") << answer.body;
    EXPECT_EQ(workers.ReplicaFallbacks(), static_cast<uint64_t>(i));
  }
  EXPECT_EQ(Ask(service, "/health").status, 200);
}

INSTANTIATE_TEST_SUITE_P(Providers, LookupServiceTest, test::BothProviders(),
                         test::ProviderParamName);

}  // namespace
}  // namespace fonwerk
