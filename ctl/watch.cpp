// `fonwerkctl watch`.

#include "ctl/watch.h"

#include <signal.h>

#include <atomic>
#include <ostream>
#include <thread>

#include "ctl/follower.h"
#include "phone/change_capture.h"
#include "phone/rebuild_lock.h"

namespace fonwerk::ctl {
namespace {

// Blocks SIGTERM and SIGINT in this thread and the threads it starts, and
// stops `follower` from a thread of its own when one of them arrives.
class StopOnSignal {
 public:
  explicit StopOnSignal(Follower& follower) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals_, &old_);
    thread_ = std::thread([this, &follower] {
      const timespec tick{0, 100 * 1000 * 1000};
      while (!done_) {
        if (sigtimedwait(&signals_, nullptr, &tick) > 0) {
          follower.Stop();
          return;
        }
      }
    });
  }
  ~StopOnSignal() {
    done_ = true;
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t signals_{};
  sigset_t old_{};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Installs or removes the change capture under the one-writer lock, so that
// it does not meet a rebuild half-way.
int ChangeCapture(bool enable, Installation& installation, std::ostream& out, std::ostream& err) {
  RebuildLock lock;
  if (lock.TryAcquire(installation.connect) == RebuildLock::Outcome::kHeld) {
    err << "fonwerkctl: a rebuild of the lookup table is running; try again when it has ended\n";
    return kExitNoMatch;
  }
  ado::Session& session = installation.connection->session();
  if (enable) {
    capture::Enable(session);
    out << "change capture enabled\n";
  } else {
    capture::Disable(session);
    out << "change capture disabled\n";
  }
  return kExitMatched;
}

}  // namespace

int Watch(const Request& request, Installation& installation, std::ostream& out,
          std::ostream& err) {
  if (request.watch != WatchAction::kFollow) {
    return ChangeCapture(request.watch == WatchAction::kEnable, installation, out, err);
  }
  FollowerOptions options;
  options.interval = std::chrono::seconds(request.interval);
  Follower follower(installation.connect, installation.phone, err, options);
  const StopOnSignal stop(follower);
  follower.Run();
  return kExitMatched;
}

}  // namespace fonwerk::ctl
