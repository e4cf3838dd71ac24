#pragma once
// The follower: keeps TAPI current while it runs. With change capture on AD
// (phone/change_capture.h) it applies the recorded changes: each batch of
// records in one transaction that brings the rows of exactly the contacts
// named up to date and deletes the records, so that a follower killed at any
// moment loses nothing and applying a record twice does no harm. It wakes on
// PostgreSQL's notification, and on SQLite when `PRAGMA data_version` of its
// kept connection says another connection committed. Without change capture
// it says so once and brings the whole table up to date every `interval`.
//
// It writes only while it holds the one-writer lock of the installation
// (phone/rebuild_lock.h), so a rebuild's swap never puts an older snapshot
// over its rows; while a rebuild holds the lock it waits, and the records
// made meanwhile are applied after it. It connects anew after the database
// went away. A contact whose rows the database rejects keeps its old rows
// and is reported once; its records are dropped with the batch.
//
// At start it brings the whole table up to date by difference (TapiSync,
// phone/tapi_sync.h), which also applies what changed while no follower ran;
// each batch brings the contacts it names up to date by difference too, so
// rows that did not change keep their DSN.
//
// Thread use: Run() on one thread; Stop() and Stats() from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "com/ado.h"
#include "phone/canonical_telephone.h"
#include "phone/change_capture.h"
#include "phone/rebuild_lock.h"
#include "phone/tapi_sync.h"

namespace fonwerk::ctl {

// For a later /metrics.
struct FollowerStats {
  uint64_t changes_applied = 0;         // records of the change capture applied
  double oldest_unapplied_seconds = 0;  // age of the oldest recorded change not applied yet
  bool capture = false;                 // change capture was found enabled
};

struct FollowerOptions {
  std::chrono::seconds interval{60};      // whole-table refresh without change capture
  std::string name = "fonwerkctl watch";  // leads every message
};

class Follower {
 public:
  // `connect` is the installation's connection string; of `settings` the
  // members Plus, code, VAZ and Suspress are used for the harvesting.
  // Messages go to `err`, one line each. Opens nothing yet.
  Follower(std::string connect, const cCanonicalTelephone& settings, std::ostream& err,
           FollowerOptions options = {});
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // Follows until Stop(); the batch in hand is finished first. Throws when
  // the first start fails for another reason than a lost connection (a
  // column of the harvesting is missing, ...); later failures are reported
  // and tried again.
  void Run();
  void Stop() { stopping_ = true; }
  FollowerStats Stats() const;

 private:
  void Connect();
  void Disconnect();
  void Follow();
  void FollowChanges();
  // Applies records until the queue is empty or Stop(); false when a
  // rebuild holds the lock (the records stay).
  bool ApplyQueue();
  void ApplyBatch();
  // The differential refresh of the whole table under the lock; false when
  // a rebuild holds the lock.
  bool SyncWholeTable();
  void RefreshEveryInterval();
  void ReportFailures(const TapiSyncResult& result);
  // Waits until a change may have been recorded, at most `longest`.
  void AwaitChange(std::chrono::milliseconds longest);
  // Sleeps `duration` in small steps; false when Stop() came meanwhile.
  bool Pause(std::chrono::milliseconds duration);
  void Say(const std::string& line);
  void NoteOldest(const std::vector<capture::Change>& pending);

  std::string connect_;  // with an application name of its own: a session of its own
  cCanonicalTelephone settings_;
  std::ostream& err_;
  FollowerOptions options_;
  std::atomic<bool> stopping_{false};

  std::unique_ptr<ado::Connection> connection_;
  std::unique_ptr<cCanonicalTelephone> phone_;  // harvests into connection_'s session
  RebuildLock lock_;
  bool capture_ = false;
  bool connected_once_ = false;
  // What was said last: following the changes, or refreshing every interval
  // (said again when the change capture was enabled or removed meanwhile).
  enum class Mode { kNone, kChanges, kInterval };
  Mode announced_ = Mode::kNone;
  bool caught_up_ = false;               // the start-up refresh of the whole table is done
  std::set<std::string> reported_;       // rejected contacts told of (key, message)
  std::optional<int64_t> data_version_;  // SQLite: the last PRAGMA data_version
  std::string last_failure_;             // reported already; not again until another

  mutable std::mutex stats_mutex_;
  uint64_t applied_ = 0;
  std::optional<std::chrono::steady_clock::time_point> oldest_;
};

// A follower on a thread of its own, for the lookup service: started by the
// constructor, stopped (after its batch in hand) and joined by the destructor.
class FollowerThread {
 public:
  FollowerThread(std::string connect, const cCanonicalTelephone& settings, std::ostream& err,
                 FollowerOptions options);
  ~FollowerThread();
  FollowerThread(const FollowerThread&) = delete;
  FollowerThread& operator=(const FollowerThread&) = delete;

  FollowerStats Stats() const { return follower_.Stats(); }

 private:
  Follower follower_;
  std::thread thread_;
};

}  // namespace fonwerk::ctl
