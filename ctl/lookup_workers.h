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
// When its database connection is lost, the worker is dropped (with the
// process's session pool, so that the next open connects anew) and the work
// is tried once more on a freshly opened worker: the first request after the
// database came back is answered. Reopen() makes every worker open anew (with
// a new configuration) when it is next lent; the requests in hand finish on
// the sessions they have. On SQLite the workers open the file read-only.
//
// Thread use: Run may be called from any number of threads at once.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ctl/installation.h"
#include "phone/canonical_telephone.h"

namespace fonwerk::ctl {

class LookupWorkers {
 public:
  // `connect` is the installation's connection string; of `settings` the
  // members Enabled, Plus, code, VAZ and Suspress are copied to every worker.
  // REQUIRES: count > 0. Opens nothing yet.
  LookupWorkers(std::string connect, const cCanonicalTelephone& settings, std::size_t count);
  ~LookupWorkers();
  LookupWorkers(const LookupWorkers&) = delete;
  LookupWorkers& operator=(const LookupWorkers&) = delete;

  // Runs `work` on a free worker, waiting while all are busy. Throws what
  // `work` throws; a lost connection (DbError kConnection) only when the
  // second try on a new worker failed too, or the worker could not be opened.
  void Run(const std::function<void(Installation&)>& work);

  // From the next lookup on, every worker opens its session anew, with
  // `connect` and `settings` when given. Thread-safe.
  void Reopen();
  void Reopen(std::string connect, const cCanonicalTelephone& settings);

  std::size_t size() const { return slots_.size(); }
  std::size_t busy();                                                    // workers lent now
  std::uint64_t reconnections() const { return reconnections_.load(); }  // after lost connections

 private:
  std::size_t Borrow();
  void GiveBack(std::size_t slot);
  Installation& Opened(std::size_t slot);
  void Drop(std::size_t slot);

  std::string connect_;  // guarded by mutex_, as are settings_ and generation_
  cCanonicalTelephone settings_;
  std::uint64_t generation_ = 0;                      // raised by Reopen
  std::vector<std::unique_ptr<Installation>> slots_;  // nullptr: not open
  std::vector<std::uint64_t> opened_in_;              // the generation each slot opened in
  std::atomic<std::uint64_t> reconnections_{0};
  std::vector<std::size_t> free_;
  std::mutex mutex_;
  std::condition_variable freed_;
};

}  // namespace fonwerk::ctl
