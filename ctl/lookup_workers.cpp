// The lookup service's workers.

#include "ctl/lookup_workers.h"

#include <algorithm>
#include <cstdlib>

#include "com/component_factory.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::ctl {
namespace {

// How long lookups go to the primary alone after the replica failed one.
constexpr std::chrono::seconds kReplicaRest{1};
// libpq's shortest connect_timeout (a smaller value counts as 2).
constexpr const char* kConnectTimeoutSeconds = "2";

template <class T>
std::shared_ptr<T> Create(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

std::string WorkerConnectString(const std::string& connect, std::size_t slot,
                                std::chrono::milliseconds attempt) {
  ConnectionString parsed = ConnectionString::Parse(connect);
  parsed.Set("Application Name", ProgramName() + " " + std::to_string(slot + 1));
  parsed.Set("Statement Timeout", std::to_string(attempt.count()));
  parsed.Set("Lock Timeout", std::to_string(std::max<int64_t>(1, attempt.count() * 3 / 4)));
  parsed.Set("Connect Timeout", kConnectTimeoutSeconds);
  return parsed.ToString();
}

std::unique_ptr<Installation> OpenWorker(const std::string& connect,
                                         const cCanonicalTelephone& settings) {
  auto worker = std::make_unique<Installation>();
  worker->connect = connect;
  worker->connection = std::make_unique<ado::Connection>();
  worker->connection->SetConnectionString(connect);
  worker->connection->Open();
  worker->util = Create<com::IUtil>(com::progid::kUtil);
  worker->dal = Create<com::IDal>(com::progid::kDal);
  worker->phone.Enabled = settings.Enabled;
  worker->phone.Plus = settings.Plus;
  worker->phone.code = settings.code;
  worker->phone.VAZ = settings.VAZ;
  worker->phone.Suspress = settings.Suspress;
  return worker;
}

// What became of an attempt that failed.
enum class Failure {
  kLost,      // the connection is gone: open anew and try once more
  kConflict,  // cancelled by a recovery conflict or a deadlock: try once more
  kTimedOut,  // the attempt's time ran out (a lock, a slow or busy database)
  kOther,     // the statement failed: no other try would do better
};

bool IsSqliteCode(const std::string& code, std::initializer_list<int> primaries) {
  // SQLite's codes are numbers of at most four digits; SQLSTATEs have five characters.
  if (code.empty() || code.size() > 4 || code.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int primary = std::atoi(code.c_str()) & 0xff;
  return std::find(primaries.begin(), primaries.end(), primary) != primaries.end();
}

Failure Classify(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const DbError& error) {
    const std::string& code = error.sqlstate();
    if (error.connection_lost()) return Failure::kLost;
    if (code == "40001" || code == "40P01") return Failure::kConflict;
    // query_canceled (statement_timeout), lock_not_available (lock_timeout);
    // SQLite: SQLITE_BUSY, SQLITE_LOCKED, SQLITE_INTERRUPT (the deadline).
    if (code == "57014" || code == "55P03" || IsSqliteCode(code, {5, 6, 9})) {
      return Failure::kTimedOut;
    }
  } catch (...) {
  }
  return Failure::kOther;
}

std::string MessageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown failure";
  }
}

}  // namespace

LookupWorkers::LookupWorkers(std::string connect, const cCanonicalTelephone& settings,
                             std::size_t count, WorkerOptions options)
    : connect_(std::move(connect)),
      replica_(std::move(options.replica)),
      budget_(std::max(options.budget, std::chrono::milliseconds(1))),
      attempt_(std::max<std::chrono::milliseconds>(budget_ * 2 / 5, std::chrono::milliseconds(1))),
      slots_(count) {
  settings_.Enabled = settings.Enabled;
  settings_.Plus = settings.Plus;
  settings_.code = settings.code;
  settings_.VAZ = settings.VAZ;
  settings_.Suspress = settings.Suspress;
  for (std::size_t slot = count; slot > 0; --slot) free_.push_back(slot - 1);
}

LookupWorkers::~LookupWorkers() = default;

std::size_t LookupWorkers::Borrow(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!freed_.wait_until(lock, deadline, [this] { return !free_.empty(); })) {
    TimedOut("all " + std::to_string(slots_.size()) + " database sessions stayed busy for " +
             std::to_string((budget_ - attempt_).count()) + " ms");
  }
  const std::size_t slot = free_.back();
  free_.pop_back();
  return slot;
}

void LookupWorkers::GiveBack(std::size_t slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(slot);
  }
  freed_.notify_one();
}

// The slot is lent to the calling thread, so it is read and written without the lock.
Installation& LookupWorkers::Opened(std::size_t slot, Source source) {
  std::unique_ptr<Installation>& worker =
      source == Source::kReplica ? slots_[slot].replica : slots_[slot].primary;
  if (!worker) {
    const std::string& connect = source == Source::kReplica ? *replica_ : connect_;
    worker = OpenWorker(WorkerConnectString(connect, slot, attempt_), settings_);
  }
  return *worker;
}

void LookupWorkers::Drop(std::size_t slot, Source source) {
  (source == Source::kReplica ? slots_[slot].replica : slots_[slot].primary).reset();
  // The lost session is still pooled under the worker's connection string;
  // without it the next open connects anew. Other workers keep the sessions
  // they hold.
  ado::ResetSessionPool();
}

void LookupWorkers::TimedOut(const std::string& description) {
  ++timeouts_;
  throw LookupTimeout(description);
}

bool LookupWorkers::ReplicaResting() const {
  return Clock::now().time_since_epoch().count() < replica_rest_until_.load();
}

std::exception_ptr LookupWorkers::Attempt(std::size_t slot, Source source,
                                          const std::function<void(Installation&)>& work) {
  try {
    Installation& worker = Opened(slot, source);
    ado::Session& session = worker.connection->session();
    session.SetDeadline(Clock::now() + attempt_);
    struct Lifted {
      ado::Session& session;
      ~Lifted() { session.SetDeadline(std::nullopt); }
    } lifted{session};
    work(worker);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

void LookupWorkers::Run(const std::function<void(Installation&)>& work) {
  const Clock::time_point deadline = Clock::now() + budget_;
  const std::size_t slot = Borrow(deadline - attempt_);
  struct Lent {
    LookupWorkers& workers;
    std::size_t slot;
    ~Lent() { workers.GiveBack(slot); }
  } lent{*this, slot};

  Source source = Source::kPrimary;
  if (replica_) {
    source = ReplicaResting() ? Source::kPrimary : Source::kReplica;
    if (source == Source::kPrimary) ++replica_fallbacks_;
  }
  for (int attempt = 1;; ++attempt) {
    const std::exception_ptr failure = Attempt(slot, source, work);
    if (!failure) return;
    const Failure kind = Classify(failure);
    if (kind == Failure::kOther) std::rethrow_exception(failure);
    if (kind == Failure::kLost) Drop(slot, source);
    // A replica that is away or held up by its replay is asked again after a rest.
    if (source == Source::kReplica) {
      replica_rest_until_ = (Clock::now() + kReplicaRest).time_since_epoch().count();
    }
    const bool again = source == Source::kReplica || kind != Failure::kTimedOut;
    if (attempt == 2 || !again) {
      if (kind != Failure::kTimedOut) std::rethrow_exception(failure);
      TimedOut("no answer within " + std::to_string(budget_.count()) +
               " ms: " + MessageOf(failure));
    }
    if (Clock::now() + attempt_ > deadline) {
      TimedOut("no answer within " + std::to_string(budget_.count()) +
               " ms: " + MessageOf(failure));
    }
    if (source == Source::kReplica) {
      source = Source::kPrimary;
      ++replica_fallbacks_;
    }
  }
}

}  // namespace fonwerk::ctl
