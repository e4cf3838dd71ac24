#pragma once
// The database sessions of the lookup service: a fixed number of workers,
// each an Installation of its own (its own pooled session, cDal and cUtil),
// lent to one request at a time.
//
// Each worker opens its session under a connection string of its own (the
// installation's, plus "Application Name=fonwerkctl serve <n>", with
// ".<generation>" after a Reopen, and on SQLite "Mode=Read"), so the
// process's session pool, which shares one session per connection string,
// gives every worker a session of its own. A worker is opened on first use.
//
// Every request has a time budget (WorkerOptions::budget). Borrowing a
// worker waits at most until one attempt no longer fits in it, and every
// attempt is bounded by `attempt` (PostgreSQL: the session's
// statement_timeout and lock_timeout; SQLite: Session::SetDeadline). A
// request that cannot be answered in time throws LookupTimeout.
//
// With a replica, the work runs there first. When the replica cannot answer
// within its attempt (a replay waiting for a lock, a statement cancelled by
// a recovery conflict, the replica down), the work is asked of the primary
// ([Database]) and ReplicaFallbacks() counts it; after such a failure the
// primary answers alone for a short rest (each answer counted the same way).
//
// A worker whose connection was lost is dropped (with the process's session
// pool, so that the next open connects anew) and the work is tried once
// more on a freshly opened worker, as it is after a statement cancelled by a
// recovery conflict (SQLSTATE 40001): the first request after the database
// came back is answered. Reopen() makes every worker open anew (with a new
// configuration) when it is next lent; the requests in hand finish on the
// sessions they have. On SQLite the workers open the file read-only.
//
// Thread use: Run may be called from any number of threads at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "ctl/installation.h"
#include "phone/canonical_telephone.h"

namespace fonwerk::ctl {

// A request that could not be answered within its budget.
class LookupTimeout : public Error {
 public:
  explicit LookupTimeout(const std::string& description) : Error(errnum::kProvider, description) {}
};

struct WorkerOptions {
  std::chrono::milliseconds budget{800};  // serve --budget-ms
  std::optional<std::string> replica;     // [Replica] of SQL.INI: where lookups read
};

class LookupWorkers {
 public:
  // `connect` is the installation's connection string ([Database]); of
  // `settings` the members Enabled, Plus, code, VAZ and Suspress are copied
  // to every worker. REQUIRES: count > 0. Opens nothing yet.
  LookupWorkers(std::string connect, const cCanonicalTelephone& settings, std::size_t count,
                WorkerOptions options = {});
  ~LookupWorkers();
  LookupWorkers(const LookupWorkers&) = delete;
  LookupWorkers& operator=(const LookupWorkers&) = delete;

  // Runs `work` on a free worker within the budget. Throws LookupTimeout
  // when no worker was free in time or the database did not answer in time;
  // otherwise what `work` throws (a lost connection, DbError kConnection,
  // only when the second try failed too or no worker could be opened).
  void Run(const std::function<void(Installation&)>& work);

  // From the next lookup on, every worker opens its session anew, with
  // `connect` and `settings` when given. Thread-safe.
  void Reopen();
  void Reopen(std::string connect, std::optional<std::string> replica,
              const cCanonicalTelephone& settings);

  std::size_t size() const { return slots_.size(); }
  // Requests the replica could not answer in time, answered by the primary.
  uint64_t ReplicaFallbacks() const { return replica_fallbacks_.load(); }
  // Requests that ended in LookupTimeout.
  uint64_t Timeouts() const { return timeouts_.load(); }
  std::size_t busy();                                                    // workers lent now
  std::uint64_t reconnections() const { return reconnections_.load(); }  // after lost connections

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    std::unique_ptr<Installation> primary;
    std::unique_ptr<Installation> replica;
  };
  enum class Source { kPrimary, kReplica };

  std::size_t Borrow(Clock::time_point deadline);
  void GiveBack(std::size_t slot);
  Installation& Opened(std::size_t slot, Source source);
  void Drop(std::size_t slot, Source source);
  // One attempt on `source`; returns the failure, or null when `work` ran.
  std::exception_ptr Attempt(std::size_t slot, Source source,
                             const std::function<void(Installation&)>& work);
  bool HasReplica();
  bool ReplicaResting() const;
  [[noreturn]] void TimedOut(const std::string& description);

  std::string connect_;  // guarded by mutex_, as are replica_, settings_ and generation_
  std::optional<std::string> replica_;
  cCanonicalTelephone settings_;
  std::chrono::milliseconds budget_;
  std::chrono::milliseconds attempt_;
  std::uint64_t generation_ = 0;          // raised by Reopen
  std::vector<Slot> slots_;
  std::vector<std::uint64_t> opened_in_;  // the generation each slot opened in
  std::atomic<std::uint64_t> reconnections_{0};
  std::vector<std::size_t> free_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::atomic<uint64_t> replica_fallbacks_{0};
  std::atomic<uint64_t> timeouts_{0};
  std::atomic<int64_t> replica_rest_until_{0};  // Clock ticks; lost replica: primary only
};

}  // namespace fonwerk::ctl
