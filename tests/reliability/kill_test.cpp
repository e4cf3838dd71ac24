// SIGKILL at random points of a rebuild, on both providers: before the walk
// (start-up, Init, counting, truncation), in the walk and after it (the last
// contact, the commit, the final log line). After every kill TAPI must hold
// exactly the rows it held before, or, once the walk had reached its last
// contact, exactly the complete new table; never a mixture. The database must
// stay usable: the next rebuild runs to the end.
//
// The random points are reproducible: the seed is printed, and the
// environment variable FONWERK_RELIABILITY_SEED sets it.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "tests/reliability/reliability_support.h"
#include "tests/support/providers.h"

namespace fonwerk::reliability {
namespace {

constexpr int kContacts = kSanitized ? 1500 : 5000;
// Spread over three ways of choosing the point; fewer under the sanitizers,
// where every run is slower and memory errors, not numbers, are the point.
constexpr int kKills = kSanitized ? 12 : 24;
constexpr int kOldRows = 7;

uint32_t Seed() {
  if (const char* text = std::getenv("FONWERK_RELIABILITY_SEED"); text != nullptr && *text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  }
  return std::random_device{}();
}

// Lines of the run log before the first contact line: START, Command,
// ConnectionString, five of Init, FonwerkTable, Count, Truncate.
constexpr int kLinesBeforeWalk = 11;

// How the moment of a kill is chosen.
enum class Aim {
  kEarly,        // when a random one of the lines before the walk appears
  kContact,      // when the line of a random contact appears
  kLastContact,  // a random 0..30 ms after the line of the last contact appears
};

// A PostgreSQL backend may still finish a COMMIT its killed client had
// sent: waits until the killed program's sessions are gone (at most 30 s)
// before a test looks. True at once on SQLite.
bool SessionsEnded(TestInstall& install) {
  if (install.provider() != Provider::kPostgreSQL) return true;
  for (int i = 0; i < 600; ++i) {
    const auto others = install.Query(
        "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
        "AND pid <> pg_backend_pid()");
    if (others.at(0).at(0) == std::optional<std::string>("0")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class KillTest : public ::testing::TestWithParam<Provider> {};

TEST_P(KillTest, EveryKillLeavesTheOldTableOrTheCompleteNewOne) {
  auto install = TestInstall::Create(GetParam());
  AddContacts(*install, kContacts);
  ProgramCopy program;

  const auto started = Clock::now();
  const test::ProgramResult complete = program.Run(install->path());
  const auto complete_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  ASSERT_EQ(complete.exit_code, 0) << complete.err;
  ASSERT_EQ(static_cast<int>(program.LogTexts().size()), kLinesBeforeWalk + kContacts + 1);
  const std::vector<test::Row> new_table = TapiContent(*install, false);
  ASSERT_EQ(new_table.size(), 4u * kContacts);
  ReplaceTapi(*install, kOldRows);
  const std::vector<test::Row> old_table = TapiContent(*install, true);

  const uint32_t seed = Seed();
  std::cout << "seed " << seed << " (FONWERK_RELIABILITY_SEED), complete run " << complete_ms
            << " ms\n";
  std::mt19937 random(seed);
  std::map<Phase, int> kills;
  int finished_first = 0;
  int killed = 0;
  int committed = 0;  // kills that came after the commit

  for (int attempt = 0; killed < kKills && attempt < 2 * kKills; ++attempt) {
    const Aim aim = static_cast<Aim>(attempt % 3);
    const int target = std::uniform_int_distribution<int>(0, kContacts - 2)(random);
    const int early_lines = std::uniform_int_distribution<int>(0, kLinesBeforeWalk)(random);
    const auto extra = std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 30)(random));

    program.RemoveLog();
    Child child(program.program(), {install->path()});
    LogFollower log(program.log_path());
    int lines = 0;
    bool aimed = false;
    while (!aimed && !child.Ended()) {
      for (const std::string& line : log.NewLines()) {
        ++lines;
        const int index = ContactIndex(line);
        if (aim == Aim::kContact) aimed = aimed || index == target;
        if (aim == Aim::kLastContact) aimed = aimed || index == kContacts - 1;
      }
      if (aim == Aim::kEarly) aimed = lines >= early_lines;
      if (aimed && aim == Aim::kLastContact) std::this_thread::sleep_for(extra);
      if (!aimed) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    child.Kill(SIGKILL);
    const std::optional<int> status = child.Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());

    ASSERT_TRUE(SessionsEnded(*install)) << "the killed program's sessions did not end within 30 s";
    const Phase phase = PhaseOf(program.LogTexts(), kContacts);
    if (!child.Signalled()) {
      // The rebuild ended before the kill: it must have been complete.
      ++finished_first;
      EXPECT_EQ(*status, 0) << child.Err();
      EXPECT_EQ(TapiContent(*install, false), new_table);
      ReplaceTapi(*install, kOldRows);
      continue;
    }
    ++kills[phase];
    ++killed;
    const std::vector<test::Row> now = TapiContent(*install, true);
    if (now != old_table) {
      EXPECT_EQ(TapiContent(*install, false), new_table)
          << "kill " << attempt << " " << PhaseName(phase) << ": TAPI holds " << now.size()
          << " rows, neither the old table nor the new one";
      EXPECT_TRUE(phase == Phase::kAfterWalk || phase == Phase::kFinished)
          << "the new table was committed before the walk ended (" << PhaseName(phase) << ")";
      ++committed;
      ReplaceTapi(*install, kOldRows);
    }
    if (GetParam() == Provider::kSQLite) {
      EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});
    }
  }

  for (const auto& [phase, count] : kills) {
    std::cout << "  " << count << " kills " << PhaseName(phase) << "\n";
  }
  std::cout << "  " << committed << " kills came after the commit (TAPI held the new table)\n"
            << "  " << finished_first << " runs ended before their kill\n";
  EXPECT_GE(killed, kKills * 5 / 6);
  EXPECT_GE(kills[Phase::kBeforeWalk], 1);
  EXPECT_GE(kills[Phase::kInWalk], 1);
  EXPECT_GE(kills[Phase::kAfterWalk] + kills[Phase::kFinished], 1);

  // Whatever the kills left behind, the next rebuild runs to the end.
  ExpectCompleteRebuild(program, *install, new_table);
}

// SIGKILL at random moments of fonwerkctl sync. AD is switched between two
// states (every third contact's TELEFON); after each kill TAPI must hold
// exactly the rows of the state before or those of the new one, never a
// mixture, and the next sync must bring it to the new one.
TEST_P(KillTest, EveryKillOfSyncLeavesTheOldRowsOrTheNewOnes) {
  auto install = TestInstall::Create(GetParam());
  AddContacts(*install, kContacts);
  const std::string some = " WHERE CAST(Kennung AS INTEGER) % 3 = 0";
  install->Exec("UPDATE AD SET NOTIZ = TELEFON" + some);
  const std::string to_state[2] = {"UPDATE AD SET TELEFON = NOTIZ" + some,
                                   "UPDATE AD SET TELEFON = '030 ' || Kennung" + some};
  std::vector<test::Row> content[2];
  int64_t sync_ms = 0;
  for (int state : {0, 1}) {
    install->Exec(to_state[state]);
    const auto started = Clock::now();
    const test::ProgramResult synced = RunCtl(install->path(), {"sync"});
    sync_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    ASSERT_EQ(synced.exit_code, 0) << synced.err;
    content[state] = TapiContent(*install, false);
  }
  ASSERT_NE(content[0], content[1]);

  const uint32_t seed = Seed();
  std::cout << "seed " << seed << " (FONWERK_RELIABILITY_SEED), sync " << sync_ms << " ms\n";
  std::mt19937 random(seed);
  int state = 1;
  int killed = 0, kept_old = 0;
  for (int attempt = 0; attempt < kKills / 2; ++attempt) {
    const int next = 1 - state;
    install->Exec(to_state[next]);
    Child child(test::BinaryPath("fonwerkctl"), {"--install", install->path(), "sync"});
    std::this_thread::sleep_for(std::chrono::milliseconds(
        std::uniform_int_distribution<int64_t>(0, sync_ms * 3 / 2)(random)));
    child.Kill(SIGKILL);
    const std::optional<int> status = child.Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(SessionsEnded(*install));
    const std::vector<test::Row> now = TapiContent(*install, false);
    if (child.Signalled()) {
      ++killed;
      kept_old += now == content[state] ? 1 : 0;
      EXPECT_TRUE(now == content[state] || now == content[next])
          << "kill " << attempt << ": TAPI holds " << now.size() << " rows, a mixture";
    } else {
      EXPECT_EQ(*status, 0) << child.Err();
      EXPECT_EQ(now, content[next]);
    }
    if (GetParam() == Provider::kSQLite) {
      EXPECT_EQ(install->Query("PRAGMA integrity_check"), std::vector<test::Row>{{"ok"}});
    }
    const test::ProgramResult after = RunCtl(install->path(), {"sync"});
    EXPECT_EQ(after.exit_code, 0) << after.err;
    EXPECT_EQ(TapiContent(*install, false), content[next]) << "after kill " << attempt;
    state = next;
  }
  std::cout << "  " << killed << " syncs killed, " << kept_old << " of them left the old rows\n";
  EXPECT_GE(killed, 1);
}

INSTANTIATE_TEST_SUITE_P(Providers, KillTest, test::BothProviders(), test::ProviderParamName);

}  // namespace
}  // namespace fonwerk::reliability
