// The lookup service's workers.

#include "ctl/lookup_workers.h"

#include "base/errors.h"
#include "base/text.h"
#include "com/component_factory.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::ctl {
namespace {

template <class T>
std::shared_ptr<T> Create(const char* prog_id) {
  return com::ComponentFactory::Instance().Create<T>(prog_id);
}

// The worker's own connection string; on SQLite read-only, so that an
// account that may only read the database file can look up. After a
// Reopen the name carries the generation, so that no session pooled under
// an earlier string can be handed out again.
std::string WorkerConnectString(const std::string& connect, std::size_t slot,
                                std::uint64_t generation) {
  ConnectionString parsed = ConnectionString::Parse(connect);
  std::string name = "fonwerkctl serve " + std::to_string(slot + 1);
  if (generation > 0) name += "." + std::to_string(generation);
  parsed.Set("Application Name", name);
  if (text::AsciiLower(parsed.Get("Provider").value_or("")) == "sqlite") parsed.Set("Mode", "Read");
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

bool ConnectionLost(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const DbError& error) {
    return error.connection_lost();
  } catch (...) {
    return false;
  }
}

}  // namespace

LookupWorkers::LookupWorkers(std::string connect, const cCanonicalTelephone& settings,
                             std::size_t count)
    : connect_(std::move(connect)), slots_(count), opened_in_(count, 0) {
  CopySettings(settings, settings_);
  for (std::size_t slot = count; slot > 0; --slot) free_.push_back(slot - 1);
}

LookupWorkers::~LookupWorkers() = default;

std::size_t LookupWorkers::Borrow() {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [this] { return !free_.empty(); });
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

void LookupWorkers::Reopen(std::string connect, const cCanonicalTelephone& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connect_ = std::move(connect);
    CopySettings(settings, settings_);
  }
  Reopen();
}

std::size_t LookupWorkers::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.size() - free_.size();
}

// The slot is lent to the calling thread, so it is read and written without
// the lock; the configuration is copied under it.
Installation& LookupWorkers::Opened(std::size_t slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t generation = generation_;
  if (slots_[slot] && opened_in_[slot] == generation) return *slots_[slot];
  const std::string connect = WorkerConnectString(connect_, slot, generation);
  cCanonicalTelephone settings;
  CopySettings(settings_, settings);
  lock.unlock();
  slots_[slot].reset();
  slots_[slot] = OpenWorker(connect, settings);
  opened_in_[slot] = generation;
  return *slots_[slot];
}

void LookupWorkers::Drop(std::size_t slot) {
  slots_[slot].reset();
  // The lost session is still pooled under the worker's connection string;
  // without it the next open connects anew. Other workers keep the sessions
  // they hold.
  ado::ResetSessionPool();
}

void LookupWorkers::Run(const std::function<void(Installation&)>& work) {
  const std::size_t slot = Borrow();
  struct Lent {
    LookupWorkers& workers;
    std::size_t slot;
    ~Lent() { workers.GiveBack(slot); }
  } lent{*this, slot};

  for (int attempt = 1;; ++attempt) {
    try {
      work(Opened(slot));
      return;
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      if (!ConnectionLost(failure)) throw;
      Drop(slot);
      ++reconnections_;
      if (attempt == 2) throw;
    }
  }
}

}  // namespace fonwerk::ctl
