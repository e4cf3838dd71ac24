#pragma once
// The right to rebuild one installation's lookup table, held by one process at
// a time (fonwerk, and fonwerkctl while it writes TAPI: sync, refresh): on SQLite an flock on a
// lock file beside the database file
// ("<database>.lock"), on PostgreSQL a session-level advisory lock in the
// database. Either is released by Release() or the destructor, and in any
// case when the process ends, however it ends.

#include <chrono>
#include <memory>
#include <string>

#include "base/unique_fd.h"

namespace fonwerk::ado {
class Connection;
}

namespace fonwerk {

class RebuildLock {
 public:
  enum class Outcome {
    kAcquired,   // this process holds the lock until the object goes
    kHeld,       // another process is rebuilding the same database
    kUnchecked,  // the lock could not be asked for (the database cannot be reached,
                 // the lock file cannot be created); the rebuild itself will tell
  };

  RebuildLock();
  ~RebuildLock();
  RebuildLock(const RebuildLock&) = delete;
  RebuildLock& operator=(const RebuildLock&) = delete;

  // Tries, without waiting, to take the lock of the database behind
  // `connect_string`. Never throws for a database that cannot be reached.
  Outcome TryAcquire(const std::string& connect_string);
  // The same, asking again every 100 ms while another process holds the
  // lock, for at most `wait`; kHeld when it was held all that time.
  Outcome Acquire(const std::string& connect_string, std::chrono::milliseconds wait);

  // Gives the lock up (nothing happens when none is held). Never throws.
  void Release();

 private:
  platform::UniqueFd lock_file_;
  std::unique_ptr<ado::Connection> session_;  // holds the advisory lock's session open
  bool advisory_held_ = false;
};

}  // namespace fonwerk
