// The follower of AD's recorded changes.

#include "ctl/follower.h"

#include <algorithm>
#include <ostream>

#include "base/errors.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"
#include "phone/harvest_columns.h"
#include "phone/tapi_sync.h"

namespace fonwerk::ctl {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kBatchRecords = 500;
// SQLite: how often PRAGMA data_version is asked (a read of the connection's
// own state, no I/O), well within the latency a change may take.
constexpr milliseconds kSqlitePoll{20};
// PostgreSQL: the longest wait on the socket before the stop flag is seen.
constexpr milliseconds kNotificationWait{200};
// Without a sign of a change the queue is read anyway this often.
constexpr milliseconds kQueueCheck{5000};
// While a rebuild holds the lock.
constexpr milliseconds kLockRetry{200};
constexpr milliseconds kFirstReconnect{250};
constexpr milliseconds kLastReconnect{5000};

std::string FollowerConnectString(const std::string& connect) {
  ConnectionString parsed = ConnectionString::Parse(connect);
  parsed.Set("Application Name", "fonwerkctl watch");
  return parsed.ToString();
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

// Changes when another connection commits to the database.
int64_t DataVersion(ado::Session& session) {
  std::vector<Variant> row;
  session.Query("PRAGMA data_version", false)->Next(row);
  return row.at(0).ToInteger();
}

bool Lost(const std::exception& error) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  return db_error != nullptr && db_error->connection_lost();
}

}  // namespace

Follower::Follower(std::string connect, const cCanonicalTelephone& settings, std::ostream& err,
                   FollowerOptions options)
    : connect_(FollowerConnectString(connect)), err_(err), options_(std::move(options)) {
  settings_.Plus = settings.Plus;
  settings_.code = settings.code;
  settings_.VAZ = settings.VAZ;
  settings_.Suspress = settings.Suspress;
}

Follower::~Follower() { Disconnect(); }

FollowerStats Follower::Stats() const {
  std::lock_guard<std::mutex> lock(stats_mutex_);
  FollowerStats stats;
  stats.changes_applied = applied_;
  stats.capture = capture_;
  if (oldest_) {
    stats.oldest_unapplied_seconds = std::chrono::duration<double>(Clock::now() - *oldest_).count();
  }
  return stats;
}

void Follower::Say(const std::string& line) {
  // One write per line: the lookup service's threads write to the same stream.
  err_ << (options_.name + ": " + OneLine(line) + "\n") << std::flush;
}

void Follower::Run() {
  milliseconds backoff = kFirstReconnect;
  while (!stopping_) {
    try {
      Connect();
      if (!last_failure_.empty()) Say("working again");
      last_failure_.clear();
      backoff = kFirstReconnect;
      Follow();
    } catch (const std::exception& error) {
      if (!connected_once_ && !Lost(error)) throw;
      const std::string failure = OneLine(error.what());
      if (failure != last_failure_) {
        Say((Lost(error) ? "the database went away: " : "") + failure + "; trying again");
      }
      last_failure_ = failure;
      Disconnect();
      Pause(backoff);
      backoff = std::min(backoff * 2, kLastReconnect);
    }
  }
  Disconnect();
}

void Follower::Connect() {
  connection_ = std::make_unique<ado::Connection>();
  connection_->SetConnectionString(connect_);
  connection_->Open();
  ado::Session& session = connection_->session();
  RequireHarvestColumns(session);
  phone_ = std::make_unique<cCanonicalTelephone>();
  phone_->Init(connect_);
  phone_->Plus = settings_.Plus;
  phone_->code = settings_.code;
  phone_->VAZ = settings_.VAZ;
  phone_->Suspress = settings_.Suspress;
  const bool capture = capture::Enabled(session);
  if (capture && session.ProviderName() == "PostgreSQL") {
    session.Execute(std::string("LISTEN ") + capture::kChangeChannel);
  }
  data_version_.reset();
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    capture_ = capture;
  }
  connected_once_ = true;
}

void Follower::Disconnect() {
  lock_.Release();
  phone_.reset();
  connection_.reset();
  // The lost session is still pooled under the follower's connection string;
  // without it the next Connect() connects anew. Others keep the sessions
  // they hold.
  ado::ResetSessionPool();
}

void Follower::Follow() {
  if (!capture_) {
    if (announced_ != Mode::kInterval) {
      Say("change capture is not enabled on AD (fonwerkctl watch --enable); refreshing the "
          "whole table every " +
          std::to_string(options_.interval.count()) + " s");
    }
    announced_ = Mode::kInterval;
    return RefreshEveryInterval();
  }
  // At start, what changed while no one followed; a rebuild that holds the
  // lock is waited for.
  while (!caught_up_ && !stopping_) {
    caught_up_ = SyncWholeTable();
    if (!caught_up_) Pause(kLockRetry);
  }
  if (announced_ != Mode::kChanges) Say("following the changes of AD");
  announced_ = Mode::kChanges;
  FollowChanges();
}

void Follower::FollowChanges() {
  while (!stopping_) {
    if (!ApplyQueue()) {
      Pause(kLockRetry);
      continue;
    }
    AwaitChange(kQueueCheck);
  }
}

void Follower::NoteOldest(const std::vector<capture::Change>& pending) {
  std::lock_guard<std::mutex> lock(stats_mutex_);
  if (pending.empty()) {
    oldest_.reset();
    return;
  }
  const auto age = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(pending.front().age_seconds));
  oldest_ = Clock::now() - age;
}

bool Follower::ApplyQueue() {
  ado::Session& session = connection_->session();
  while (!stopping_) {
    // Looked at without the lock: a rebuild that starts now is not kept
    // waiting by a follower that has nothing to do.
    if (session.ProviderName() == "SQLite") data_version_ = DataVersion(session);
    const std::vector<capture::Change> pending = capture::ReadChanges(session, 1);
    NoteOldest(pending);
    if (pending.empty()) return true;
    if (lock_.TryAcquire(connect_) == RebuildLock::Outcome::kHeld) return false;
    try {
      ApplyBatch();
    } catch (...) {
      lock_.Release();
      throw;
    }
    // Given up only after the commit: a rebuild that takes the lock next
    // reads AD and TAPI with this batch in them.
    lock_.Release();
  }
  return true;
}

void Follower::ApplyBatch() {
  ado::Transaction transaction(*connection_);
  ado::Session& session = connection_->session();
  const std::vector<capture::Change> changes = capture::ReadChanges(session, kBatchRecords);
  std::vector<int64_t> seqs;
  std::vector<std::string> keys;
  bool everything = false;  // AD was truncated
  for (const capture::Change& change : changes) {
    seqs.push_back(change.seq);
    if (change.key) {
      keys.push_back(*change.key);
    } else {
      everything = true;
    }
  }
  TapiSync sync(*phone_, *connection_);
  sync.Prepare();
  TapiSyncResult result = sync.RefreshContacts(keys);
  if (everything) result += sync.SyncTable(false);
  capture::DeleteChanges(session, seqs);
  transaction.Commit();
  // Reported once: the records of a rejected contact are gone with the batch.
  ReportFailures(result);
  std::lock_guard<std::mutex> lock(stats_mutex_);
  applied_ += seqs.size();
}

bool Follower::SyncWholeTable() {
  if (lock_.TryAcquire(connect_) == RebuildLock::Outcome::kHeld) return false;
  try {
    ado::Transaction transaction(*connection_);
    TapiSync sync(*phone_, *connection_);
    sync.Prepare();
    const TapiSyncResult result = sync.SyncTable(false);
    if (result.written) {
      transaction.Commit();
    } else {
      transaction.Rollback();
    }
    ReportFailures(result);
  } catch (...) {
    lock_.Release();
    throw;
  }
  lock_.Release();
  return true;
}

void Follower::ReportFailures(const TapiSyncResult& result) {
  for (const TapiSyncFailure& failure : result.failed) {
    // A whole-table refresh meets the same rejected contact every time.
    if (reported_.insert(failure.key + "\n" + failure.message).second) {
      Say("the rows of the contact " + failure.key +
          " were rejected, it keeps its old rows: " + failure.message);
    }
  }
}

void Follower::RefreshEveryInterval() {
  while (!stopping_) {
    if (!SyncWholeTable()) {
      Pause(kLockRetry);
      continue;
    }
    Pause(std::chrono::duration_cast<milliseconds>(options_.interval));
    // Enabled meanwhile: Run() connects again and follows the changes.
    if (capture::Enabled(connection_->session())) return;
  }
}

void Follower::AwaitChange(milliseconds longest) {
  ado::Session& session = connection_->session();
  const Clock::time_point until = Clock::now() + longest;
  if (session.ProviderName() == "PostgreSQL") {
    while (!stopping_ && Clock::now() < until) {
      if (session.AwaitNotification(kNotificationWait)) return;
    }
    return;
  }
  // The version was read before the queue was: a commit after that reading
  // shows as a new version.
  while (!stopping_ && Clock::now() < until) {
    const int64_t version = DataVersion(session);
    const bool changed = data_version_ && *data_version_ != version;
    data_version_ = version;
    if (changed) return;
    Pause(kSqlitePoll);
  }
}

bool Follower::Pause(milliseconds duration) {
  const Clock::time_point until = Clock::now() + duration;
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, milliseconds(50)));
  }
  return false;
}

FollowerThread::FollowerThread(std::string connect, const cCanonicalTelephone& settings,
                               std::ostream& err, FollowerOptions options)
    : follower_(std::move(connect), settings, err, std::move(options)), thread_([this, &err] {
        try {
          follower_.Run();
        } catch (const std::exception& error) {
          // The lookups go on without it.
          err << ("fonwerkctl serve: the follower could not start: " + OneLine(error.what()) + "\n")
              << std::flush;
        }
      }) {}

FollowerThread::~FollowerThread() {
  follower_.Stop();
  thread_.join();
}

}  // namespace fonwerk::ctl
