// The watcher (`fonwerkctl watch`) under stress, on both providers: a random
// stream of edits of AD from several writers while the watcher is killed
// with SIGKILL and started again, a full rebuild while it runs, and (on
// PostgreSQL) the database server stopped and started under it. Each time,
// TAPI must end as a full rebuild of the final AD makes it (ignoring DSN).
//
// The stream is reproducible: the seed is printed, and the environment
// variable FONWERK_RELIABILITY_SEED sets it. FONWERK_WATCH_EDITS sets the
// number of edits (10,000 unless told; 1,500 under the sanitizers).

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

#include "base/errors.h"
#include "db/session.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"
#include "tools/install.h"

namespace fonwerk::reliability {
namespace {

constexpr int kWriters = 3;
constexpr int kFirstContacts = 300;

int Edits() {
  if (const char* text = std::getenv("FONWERK_WATCH_EDITS"); text != nullptr && *text) {
    return std::atoi(text);
  }
  return kSanitized ? 1500 : 10000;
}

uint32_t Seed() {
  if (const char* text = std::getenv("FONWERK_RELIABILITY_SEED"); text != nullptr && *text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  }
  return std::random_device{}();
}

// One writer: edits the contacts it owns (so that writers do not wait for
// one another's rows), each edit a statement of its own or, now and then,
// several in one transaction.
class Writer {
 public:
  Writer(const std::string& connect, int number, uint32_t seed)
      : session_(install::OpenUnpooledSession(connect)), number_(number), random_(seed) {
    for (int i = 1 + number; i <= kFirstContacts; i += kWriters)
      keys_.push_back("K" + std::to_string(i));
  }

  void Edit() {
    const int kind = Pick(12);
    if (kind == 0 || keys_.size() < 5) return Insert();
    const std::size_t at = static_cast<std::size_t>(Pick(static_cast<int>(keys_.size())));
    const std::string key = Literal(keys_[at]);
    switch (kind) {
      case 1:
        Run("DELETE FROM AD WHERE DSN = " + key);
        keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(at));
        return;
      case 2: {
        const std::string renamed = NewKey();
        Run("UPDATE AD SET DSN = " + Literal(renamed) + " WHERE DSN = " + key);
        keys_[at] = renamed;
        return;
      }
      case 3:
      case 4:
        return Run("UPDATE AD SET TELEFON = " + Phones() + " WHERE DSN = " + key);
      case 5:
        return Run("UPDATE AD SET FAX = " + Maybe("07" + std::to_string(Pick(99999))) +
                   " WHERE DSN = " + key);
      case 6:
        return Run("UPDATE AD SET EMAIL = " + Maybe("e" + std::to_string(Pick(999)) + "@x.de") +
                   " WHERE DSN = " + key);
      case 7:
        return Run("UPDATE AD SET WEITEMAIL = " + Addresses() + " WHERE DSN = " + key);
      case 8:
        return Run("UPDATE AD SET NOTIZ = 'n" + std::to_string(Pick(999)) + "', IDX_NAME = 'x' " +
                   "WHERE DSN = " + key);
      case 9: {  // several columns and contacts in one transaction
        const std::string other =
            Literal(keys_[static_cast<std::size_t>(Pick(static_cast<int>(keys_.size())))]);
        return InTransaction(
            {"UPDATE AD SET TELEFON = " + Phones() + ", EMAIL = NULL WHERE DSN = " + key,
             "UPDATE AD SET WEITEMAIL = " + Addresses() + " WHERE DSN = " + other});
      }
      default:
        return Run("UPDATE AD SET TELEFON = " + Phones() + ", FAX = NULL WHERE DSN = " + key);
    }
  }

 private:
  int Pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }
  std::string NewKey() { return "W" + std::to_string(number_) + "_" + std::to_string(++made_); }
  std::string Maybe(const std::string& value) { return Pick(5) == 0 ? "NULL" : Literal(value); }

  // One to three lines "number TAB TAB remark"; sometimes a number that two
  // contacts share.
  std::string Phones() {
    std::string lines;
    for (int line = Pick(3); line >= 0; --line) {
      if (!lines.empty()) lines += "\r\n";
      lines += Pick(10) == 0 ? "089 1000" : "+49 30 " + std::to_string(Pick(9999999));
      lines += "\t\tR" + std::to_string(Pick(9));
    }
    return Maybe(lines);
  }

  std::string Addresses() {
    return Maybe("a" + std::to_string(Pick(99)) + "@x.de\r\nb" + std::to_string(Pick(99)) +
                 "@x.de");
  }

  void Insert() {
    const std::string key = NewKey();
    Run("INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON, FAX, EMAIL, WEITEMAIL) VALUES (" +
        Literal(key) + ", 'K', 'N', " + Phones() + ", " + Maybe("0711 5") + ", " +
        Maybe(key + "@x.de") + ", " + Addresses() + ")");
    keys_.push_back(key);
  }

  void Run(const std::string& sql) { InTransaction({sql}); }

  // Runs `statements` in one transaction; one that SQLite found busy for
  // longer than its wait (writers queue for the one write lock) is tried again.
  void InTransaction(const std::vector<std::string>& statements) {
    for (int attempt = 1;; ++attempt) {
      try {
        session_->BeginTransaction();
        for (const std::string& sql : statements) session_->Execute(sql);
        session_->CommitTransaction();
        return;
      } catch (const DbError& error) {
        if (session_->InTransaction()) session_->RollbackTransaction();
        const bool busy = error.description().find("locked") != std::string::npos;
        if (!busy || attempt == 20) throw;
      }
    }
  }

  std::unique_ptr<ado::Session> session_;
  int number_;
  std::mt19937 random_;
  std::vector<std::string> keys_;
  int made_ = 0;
};

class WatchTest : public ::testing::TestWithParam<Provider> {
 protected:
  void SetUp() override {
    install_ = TestInstall::Create(GetParam());
    AddContacts(*install_, kFirstContacts);
    const test::ProgramResult rebuilt = program_.Run(install_->path());
    ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
    const test::ProgramResult enabled = RunCtl(install_->path(), {"watch", "--enable"});
    ASSERT_EQ(enabled.exit_code, 0) << enabled.err;
  }

  // Waits until the watcher has applied every record, stops it with SIGTERM
  // (status 0), and expects TAPI to hold what a full rebuild makes of AD now.
  void ExpectRebuildsTable(Child& watcher) {
    EXPECT_TRUE(WaitUntil([&] { return QueuedChanges(*install_) == 0; }, std::chrono::seconds(120)))
        << watcher.Err();
    const std::vector<test::Row> followed = TapiContent(*install_, false);
    watcher.Kill(SIGTERM);
    EXPECT_EQ(watcher.Wait(std::chrono::seconds(30)), 0) << watcher.Err();
    ExpectCompleteRebuild(program_, *install_, followed);
  }

  std::unique_ptr<TestInstall> install_;
  ProgramCopy program_;
};

TEST_P(WatchTest, RandomEditsWithTheWatcherKilledTwiceEndAsARebuild) {
  const uint32_t seed = Seed();
  const int edits = Edits();
  std::cout << "seed " << seed << " (FONWERK_RELIABILITY_SEED), " << edits << " edits\n";
  auto watcher = StartWatcher(install_->path());
  std::atomic<int> done{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> writers;
  const auto started = Clock::now();
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      try {
        Writer writer(install_->connect_string(), w, seed + static_cast<uint32_t>(w));
        while (done.fetch_add(1) < edits) writer.Edit();
      } catch (const std::exception& error) {
        std::cerr << "writer " << w << ": " << error.what() << "\n";
        failed = true;
      }
    });
  }
  for (const int share : {3, 2}) {
    EXPECT_TRUE(
        WaitUntil([&] { return done.load() >= edits - edits / share; }, std::chrono::seconds(300)));
    watcher->Kill(SIGKILL);
    EXPECT_EQ(watcher->Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    watcher = StartWatcher(install_->path());
  }
  for (std::thread& writer : writers) writer.join();
  std::cout << "edits written in " << std::chrono::duration<double>(Clock::now() - started).count()
            << " s\n";
  ASSERT_FALSE(failed);
  ExpectRebuildsTable(*watcher);
  EXPECT_EQ(watcher->Err().find("rejected"), std::string::npos) << watcher->Err();
}

// A change committed while a rebuild runs is applied after it: the watcher
// waits for the rebuild's lock, and the rebuild leaves the queue alone.
TEST_P(WatchTest, AChangeDuringARebuildIsAppliedAfterIt) {
  // Enough contacts for a rebuild that takes a while, added without capture.
  ASSERT_EQ(RunCtl(install_->path(), {"watch", "--disable"}).exit_code, 0);
  install_->Exec(GetParam() == Provider::kSQLite
                     ? "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "20000) INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'B' || i, 'B', "
                       "'0711 ' || i FROM n"
                     : "INSERT INTO AD (DSN, Kennung, TELEFON) SELECT 'B' || i, 'B', '0711 ' || i "
                       "FROM generate_series(1, 20000) AS i");
  ASSERT_EQ(RunCtl(install_->path(), {"watch", "--enable"}).exit_code, 0);
  auto watcher = StartWatcher(install_->path());
  ASSERT_TRUE(WaitUntil([&] { return QueuedChanges(*install_) == 0; }, std::chrono::seconds(60)));

  program_.RemoveLog();
  Child rebuild(program_.program(), {install_->path()});
  LogFollower log(program_.log_path());
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const std::string& line : log.NewLines()) {
          if (ContactIndex(line) >= 100) return true;
        }
        return rebuild.Ended();
      },
      std::chrono::seconds(60)));
  // SQLite's rebuild keeps writers out until it commits, which may outlast
  // the test session's busy timeout: the write is then tried again.
  ASSERT_TRUE(WaitUntil(
      [&] {
        try {
          install_->Exec("UPDATE AD SET TELEFON = '0800 4711' WHERE DSN = 'K1'");
          return true;
        } catch (const DbError& error) {
          if (error.description().find("locked") == std::string::npos) throw;
          return false;
        }
      },
      std::chrono::seconds(300)));
  if (GetParam() == Provider::kPostgreSQL) {
    // SQLite's rebuild keeps other writers out until it commits; PostgreSQL's does not.
    EXPECT_FALSE(rebuild.Ended()) << "the rebuild ended before the change: the test proves nothing";
  }
  EXPECT_EQ(rebuild.Wait(std::chrono::seconds(120)), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return !install_->Query("SELECT 1 FROM TAPI WHERE AD_DSN = 'K1' AND NUMMER = '08004711'")
                .empty();
  })) << watcher->Err();
  ExpectRebuildsTable(*watcher);
}

INSTANTIATE_TEST_SUITE_P(Providers, WatchTest, test::BothProviders(), test::ProviderParamName);

// The server stopped and started under the watcher: it says so, connects
// anew, and applies what is recorded after the restart.
TEST(WatchServerTest, TheWatcherConnectsAgainAfterTheServerCameBack) {
  ThrowawayServer server(7);
  auto install = InstallOn(server);
  AddContacts(*install, 20);
  ASSERT_EQ(RunCtl(install->path(), {"watch", "--enable"}).exit_code, 0);
  auto watcher = StartWatcher(install->path());
  server.Stop("fast");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  server.Start();
  {
    std::unique_ptr<ado::Session> session = install::OpenUnpooledSession(install->connect_string());
    session->Execute("UPDATE AD SET TELEFON = '0800 4711' WHERE DSN = 'K2'");
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const test::Row& row : TapiContent(install->connect_string(), false)) {
          if (row.at(0) == "K2" && row.at(1) == "08004711") return true;
        }
        return false;
      },
      std::chrono::seconds(30)))
      << watcher->Err();
  EXPECT_NE(watcher->Err().find("the database went away"), std::string::npos) << watcher->Err();
  watcher->Kill(SIGTERM);
  EXPECT_EQ(watcher->Wait(std::chrono::seconds(30)), 0) << watcher->Err();
}

}  // namespace
}  // namespace fonwerk::reliability
