// The lookup service's workers.

#include "ctl/lookup_workers.h"

#include <algorithm>
#include <cstdlib>

#include "base/text.h"
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

// The worker's own connection string; on SQLite read-only, so that an
// account that may only read the database file can look up. After a Reopen
// the name carries the generation, so that no session pooled under an
// earlier string can be handed out again.
std::string WorkerConnectString(const std::string& connect, std::size_t slot,
                                std::uint64_t generation, std::chrono::milliseconds attempt) {
  ConnectionString parsed = ConnectionString::Parse(connect);
  std::string name = ProgramName() + " " + std::to_string(slot + 1);
  if (generation > 0) name += "." + std::to_string(generation);
  parsed.Set("Application Name", name);
  if (text::AsciiLower(parsed.Get("Provider").value_or("")) == "sqlite") parsed.Set("Mode", "Read");
  parsed.Set("Statement Timeout", std::to_string(attempt.count()));
  parsed.Set("Lock Timeout", std::to_string(std::max<int64_t>(1, attempt.count() * 3 / 4)));
  parsed.Set("Connect Timeout", kConnectTimeoutSeconds);
  return parsed.ToString();
}

void CopySettings(const cCanonicalTelephone& from, cCanonicalTelephone& to) {
  to.Enabled = from.Enabled;
  to.Plus = from.Plus;
  to.code = from.code;
  to.VAZ = from.VAZ;
  to.Suspress = from.Suspress;
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
  CopySettings(settings, worker->phone);
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
      slots_(count),
      opened_in_(count, 0) {
  CopySettings(settings, settings_);
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

void LookupWorkers::Reopen() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  // Without the pooled sessions the workers' next opens connect anew.
  ado::ResetSessionPool();
}

void LookupWorkers::Reopen(std::string connect, std::optional<std::string> replica,
                           const cCanonicalTelephone& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connect_ = std::move(connect);
    replica_ = std::move(replica);
    CopySettings(settings, settings_);
  }
  Reopen();
}

std::size_t LookupWorkers::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.size() - free_.size();
}

// The slot is lent to the calling thread, so it is read and written without
// the lock; the configuration is copied under it. A slot opened before the
// last Reopen opens anew.
Installation& LookupWorkers::Opened(std::size_t slot, Source source) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t generation = generation_;
  if (opened_in_[slot] != generation) {
    slots_[slot].primary.reset();
    slots_[slot].replica.reset();
    opened_in_[slot] = generation;
  }
  std::unique_ptr<Installation>& worker =
      source == Source::kReplica ? slots_[slot].replica : slots_[slot].primary;
  if (worker) return *worker;
  const std::string connect = WorkerConnectString(
      source == Source::kReplica && replica_ ? *replica_ : connect_, slot, generation, attempt_);
  cCanonicalTelephone settings;
  CopySettings(settings_, settings);
  lock.unlock();
  worker = OpenWorker(connect, settings);
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

bool LookupWorkers::HasReplica() {
  std::lock_guard<std::mutex> lock(mutex_);
  return replica_.has_value();
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
  if (HasReplica()) {
    source = ReplicaResting() ? Source::kPrimary : Source::kReplica;
    if (source == Source::kPrimary) ++replica_fallbacks_;
  }
  for (int attempt = 1;; ++attempt) {
    const std::exception_ptr failure = Attempt(slot, source, work);
    if (!failure) return;
    const Failure kind = Classify(failure);
    if (kind == Failure::kOther) std::rethrow_exception(failure);
    if (kind == Failure::kLost) {
      Drop(slot, source);
      ++reconnections_;
    }
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
